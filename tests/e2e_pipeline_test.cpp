// End-to-end tests of the pipeline as a whole: the line each failing stage adds, the static check, the
// options that demand or forbid the relocation tables, the lookups in the dynamic section and the
// entry-point file. The virtual space stages have their own tables (e2e_vspace_test.cpp), and so do
// the output files (e2e_output_test.cpp).
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "support/elfbuild.h"
#include "support/run.h"

namespace {

using elfbuild::BuiltPie;
using elfbuild::Bytes;
using elfbuild::Format;
using elfbuild::Pie;

constexpr uint32_t R_PPC_RELATIVE = 22, R_PPC64_RELATIVE = 22;  // Power psABIs
constexpr uint64_t no_section_addr = 0x7000000;                  // an address no section holds
constexpr uint64_t beyond_file = 0x40000000;                     // an sh_offset past the end of the input

// For each kind, a machine whose relative type the tool applies: i386, PowerPC, x86-64, PowerPC64.
uint32_t relative_type(Format f) {
    if (f.elfclass == 32) return f.msb ? R_PPC_RELATIVE : elfbuild::R_386_RELATIVE;
    return f.msb ? R_PPC64_RELATIVE : elfbuild::R_X86_64_RELATIVE;
}
uint16_t machine(Format f) {
    if (f.elfclass == 32) return f.msb ? elfbuild::EM_PPC : elfbuild::EM_386;
    return f.msb ? elfbuild::EM_PPC64 : elfbuild::EM_X86_64;
}

enum Tables : unsigned { no_tables = 0, main_table = 1, plt_table = 2, both_tables = 3 };

// .text at 0x1000, .data at 0x2000 with two words: the main table's RELATIVE entry patches the first,
// the PLT table's the second. The image spans 0x1000..0x3000.
Pie pie(Format f, unsigned tables) {
    Pie p;
    p.fmt = f;
    p.machine = machine(f);
    for (uint8_t i = 0; i < 0x20; ++i) p.text.push_back(static_cast<uint8_t>(0xa0 + i));
    p.data = Bytes(2 * elfbuild::word_size(f), 0);
    p.data_addr = 0x2000;
    if (tables & main_table) p.relocs = {{.offset = 0x2000, .type = relative_type(f), .addend = 0x1004}};
    if (tables & plt_table)
        p.plt_relocs = {{.offset = 0x2000 + elfbuild::word_size(f), .type = relative_type(f), .addend = 0x1008}};
    return p;
}

// The image loaded at 0x80000000: 0x1004 and 0x1008 move by 0x80000000 - 0x1000.
Bytes relocated(const BuiltPie &b, unsigned tables) {
    Bytes img = b.image();
    const unsigned w = elfbuild::word_size(b.fmt);
    if (tables & main_table) elfbuild::put(img, b.image_off(0x2000), w, 0x80000004, b.fmt.msb);
    if (tables & plt_table) elfbuild::put(img, b.image_off(0x2000 + w), w, 0x80000008, b.fmt.msb);
    return img;
}

Bytes rebuilt(BuiltPie b, const std::function<void(elfbuild::Elf &)> &edit) {
    edit(b.elf);
    return elfbuild::build(b.elf);
}

// One run: in.elf is the input; entry.txt is where --output-entry points when a row asks for it.
struct Case {
    Bytes input;
    std::vector<std::string> options = {};  // before ADDRESS and INPUT
    int status = 0;
    std::string out = {}, err = {};
    std::optional<Bytes> image = {};        // in.elf.out; none: not written
    std::optional<std::string> entry = {};  // entry.txt; none: not written
    std::string address = "0x80000000";
};

Case fails(Bytes input, std::string err, std::vector<std::string> options = {}) {
    return {.input = std::move(input), .options = std::move(options), .status = 1, .err = std::move(err)};
}

Case succeeds(const BuiltPie &b, unsigned tables, std::vector<std::string> options = {}) {
    return {.input = b.bytes, .options = std::move(options), .image = relocated(b, tables)};
}

struct Row {
    const char *name;
    std::function<Case(Format)> make;
};
void PrintTo(const Row &row, std::ostream *os) { *os << row.name; }

std::string row_name(const testing::TestParamInfo<std::tuple<Row, Format>> &info) {
    return std::string(std::get<0>(info.param).name) + "_" + elfbuild::format_name(std::get<1>(info.param));
}

void run_case(const Case &c) {
    testrun::TempDir dir;
    dir.write("in.elf", c.input);
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {c.address, "in.elf"});
    const testrun::Result r = testrun::run_pieshift_as("pieshift", args, dir.path);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    if (c.image) {
        ASSERT_TRUE(dir.exists("in.elf.out"));
        EXPECT_EQ(dir.read("in.elf.out"), *c.image);
    } else {
        EXPECT_FALSE(dir.exists("in.elf.out"));
    }
    if (c.entry) {
        ASSERT_TRUE(dir.exists("entry.txt"));
        const Bytes text = dir.read("entry.txt");
        EXPECT_EQ(std::string(text.begin(), text.end()), *c.entry);
    } else {
        EXPECT_FALSE(dir.exists("entry.txt"));
    }
}

class RowTest : public testing::TestWithParam<std::tuple<Row, Format>> {
 protected:
    void run() { run_case(std::get<0>(GetParam()).make(std::get<1>(GetParam()))); }
};

// Every table runs in each of the four kinds.
#define INSTANTIATE_ROWS(Suite, table)                                                                               \
    INSTANTIATE_TEST_SUITE_P(E2e, Suite,                                                                             \
                             testing::Combine(testing::ValuesIn(table), testing::ValuesIn(elfbuild::all_formats())), \
                             row_name)

// ---- Each stage's failure, and the order of the stages.

const Row stage_rows[] = {
    {"no_dynamic_section",
     [](Format f) {
         return fails(rebuilt(build_pie(pie(f, both_tables)),
                              [](elfbuild::Elf &e) { elfbuild::section(e, ".dynamic").type = elfbuild::SHT_NOTE; }),
                      "ERROR: Dynamic section not found\n");
     }},
    {"symtab_information_incomplete",
     [](Format f) {
         Pie p = pie(f, both_tables);
         p.dyn_set[elfbuild::DT_SYMENT] = std::nullopt;
         return fails(build_pie(p).bytes,
                      "ERROR: Incomplete symtab information in DYNAMIC\nERROR: DT_SYMENT is missing\n"
                      "ERROR: Could not load symtab information\n");
     }},
    {"needed_refused",
     [](Format f) {
         Pie p = pie(f, both_tables);
         p.needed = {"libc.so.6"};
         return fails(build_pie(p).bytes, "ERROR: Input is not static\n");
     }},
    {"needed_accepted_with_force_dynamic",
     [](Format f) {
         Pie p = pie(f, both_tables);
         p.needed = {"libc.so.6"};
         return succeeds(build_pie(p), both_tables, {"--force-dynamic"});
     }},
    // The sections have been copied when the static check refuses the input.
    {"needed_checked_after_copy",
     [](Format f) {
         Pie p = pie(f, both_tables);
         p.needed = {"libc.so.6"};
         Case c = fails(build_pie(p).bytes, "ERROR: Input is not static\n", {"-vv"});
         c.out = "Relocating 'in.elf' to 0x80000000, and save to 'in.elf.out'\n"
                 "Search dynamic section...\nDetermine virtual space...\nVirtual space: 0x1000..0x3000\n"
                 "Copy section contents to output space...\n"
                 "  Section #1 [.text], 32 octets at 0x1000 (rel 0x0)\n"
                 "  Section #2 [.data], " +
                 std::to_string(p.data.size()) + " octets at 0x2000 (rel 0x1000)\nDone.\n";
         return c;
     }},
    {"copy_failure_comes_before_static_check",
     [](Format f) {
         Pie p = pie(f, both_tables);
         p.needed = {"libc.so.6"};
         return fails(rebuilt(build_pie(p),
                              [](elfbuild::Elf &e) { elfbuild::section(e, ".text").offset = beyond_file; }),
                      "ERROR: Could not copy sections\n");
     }},
    {"main_table_failure",
     [](Format f) {
         Pie p = pie(f, both_tables);
         p.dyn_set[elfbuild::DT_RELA] = no_section_addr;
         return fails(build_pie(p).bytes, "ERROR: Could not found RELA section\nERROR: Failed to apply relocations\n");
     }},
    {"plt_table_failure",
     [](Format f) {
         Pie p = pie(f, both_tables);
         p.dyn_set[elfbuild::DT_JMPREL] = std::nullopt;
         return fails(build_pie(p).bytes,
                      "ERROR: DT_JMPREL is not found in DYNAMIC\nERROR: Failed to apply relocations\n");
     }},
    {"both_tables_applied", [](Format f) { return succeeds(build_pie(pie(f, both_tables)), both_tables); }},
};

class PipelineStages : public RowTest {};
TEST_P(PipelineStages, Run) { run(); }
INSTANTIATE_ROWS(PipelineStages, stage_rows);

// ---- --expect-rel, --no-expect-rel, --expect-pltrel and --no-expect-pltrel, alone and in pairs, with
// and without each table. The main table's check comes first.

const std::string rel_missing = "ERROR: REL/RELA section is not present\n";
const std::string rel_unexpected = "ERROR: REL/RELA section is present, but it is unexpected\n";
const std::string plt_missing = "ERROR: PLTREL section is not present\n";
const std::string plt_unexpected = "ERROR: PLTREL section is present, but it is unexpected\n";

Row expect_row(const char *name, std::vector<std::string> options, unsigned tables, std::string err = "") {
    return {name, [=](Format f) {
                const BuiltPie b = build_pie(pie(f, tables));
                return err.empty() ? succeeds(b, tables, options) : fails(b.bytes, err, options);
            }};
}

const Row expect_rows[] = {
    expect_row("no_options_no_tables", {}, no_tables),
    expect_row("expect_rel_without_tables", {"--expect-rel"}, no_tables, rel_missing),
    expect_row("expect_rel_with_plt_table_only", {"--expect-rel"}, plt_table, rel_missing),
    expect_row("expect_rel_with_main_table", {"--expect-rel"}, main_table),
    expect_row("no_expect_rel_with_main_table", {"--no-expect-rel"}, main_table, rel_unexpected),
    expect_row("no_expect_rel_with_plt_table_only", {"--no-expect-rel"}, plt_table),
    expect_row("expect_pltrel_with_main_table_only", {"--expect-pltrel"}, main_table, plt_missing),
    expect_row("expect_pltrel_with_plt_table", {"--expect-pltrel"}, plt_table),
    expect_row("no_expect_pltrel_with_plt_table", {"--no-expect-pltrel"}, plt_table, plt_unexpected),
    expect_row("no_expect_pltrel_with_main_table_only", {"--no-expect-pltrel"}, main_table),
    expect_row("expect_and_no_expect_rel_without_tables", {"--expect-rel", "--no-expect-rel"}, no_tables,
               rel_missing),
    expect_row("expect_and_no_expect_rel_with_main_table", {"--expect-rel", "--no-expect-rel"}, main_table,
               rel_unexpected),
    expect_row("expect_and_no_expect_pltrel_without_tables", {"--expect-pltrel", "--no-expect-pltrel"}, no_tables,
               plt_missing),
    expect_row("expect_and_no_expect_pltrel_with_plt_table", {"--expect-pltrel", "--no-expect-pltrel"}, plt_table,
               plt_unexpected),
    expect_row("expect_both_with_both_tables", {"--expect-rel", "--expect-pltrel"}, both_tables),
    expect_row("expect_both_without_tables", {"--expect-rel", "--expect-pltrel"}, no_tables, rel_missing),
    expect_row("expect_both_with_main_table_only", {"--expect-rel", "--expect-pltrel"}, main_table, plt_missing),
    expect_row("no_expect_both_without_tables", {"--no-expect-rel", "--no-expect-pltrel"}, no_tables),
    expect_row("no_expect_both_with_both_tables", {"--no-expect-rel", "--no-expect-pltrel"}, both_tables,
               rel_unexpected),
    expect_row("no_expect_both_with_plt_table_only", {"--no-expect-rel", "--no-expect-pltrel"}, plt_table,
               plt_unexpected),
    expect_row("expect_rel_no_expect_pltrel_with_main_table", {"--expect-rel", "--no-expect-pltrel"}, main_table),
    expect_row("expect_rel_no_expect_pltrel_with_both_tables", {"--expect-rel", "--no-expect-pltrel"}, both_tables,
               plt_unexpected),
    expect_row("no_expect_rel_expect_pltrel_with_plt_table", {"--no-expect-rel", "--expect-pltrel"}, plt_table),
    expect_row("no_expect_rel_expect_pltrel_without_tables", {"--no-expect-rel", "--expect-pltrel"}, no_tables,
               plt_missing),
};

class ExpectOptions : public RowTest {};
TEST_P(ExpectOptions, Run) { run(); }
INSTANTIATE_ROWS(ExpectOptions, expect_rows);

// ---- Lookups in the dynamic section: every entry that its size holds is examined, in index order.

// The main table's tags removed from their place and given again by `entries`.
Pie pie_with_main_table_tags(Format f, const std::function<std::vector<std::pair<uint64_t, uint64_t>>(
                                           const BuiltPie &)> &entries) {
    Pie p = pie(f, main_table);
    const BuiltPie first = build_pie(p);  // the table's address does not depend on the dynamic entries
    p.dyn_set = {{elfbuild::DT_RELA, std::nullopt},
                 {elfbuild::DT_RELASZ, std::nullopt},
                 {elfbuild::DT_RELAENT, std::nullopt}};
    p.extra_dyn = entries(first);
    return p;
}

std::vector<std::pair<uint64_t, uint64_t>> main_table_tags(const BuiltPie &b) {
    return {{elfbuild::DT_RELA, b.reltab_addr},
            {elfbuild::DT_RELASZ, b.reltab_size},
            {elfbuild::DT_RELAENT, elfbuild::rela_size(b.fmt)}};
}

// A REL main table patching the first .data word (its addend, 0x1004, stands there), and a RELA table
// named by DT_RELA patching the second: the PLT table of the builder, moved to the main tags.
Pie pie_rel_and_rela(Format f) {
    Pie p = pie(f, both_tables);
    p.rela = false;
    p.data = elfbuild::word(f, 0x1004);
    elfbuild::append(p.data, elfbuild::word(f, 0));
    const BuiltPie first = build_pie(p);
    p.dyn_set = {{elfbuild::DT_PLTREL, std::nullopt},
                 {elfbuild::DT_JMPREL, std::nullopt},
                 {elfbuild::DT_PLTRELSZ, std::nullopt},
                 {elfbuild::DT_RELA, first.plttab_addr},
                 {elfbuild::DT_RELASZ, first.plttab_size}};
    return p;
}

Case rel_and_rela_case(const Pie &p, uint64_t word0, uint64_t word1) {
    const BuiltPie b = build_pie(p);
    Bytes img = b.image();
    const unsigned w = elfbuild::word_size(b.fmt);
    elfbuild::put(img, b.image_off(0x2000), w, word0, b.fmt.msb);
    elfbuild::put(img, b.image_off(0x2000 + w), w, word1, b.fmt.msb);
    return {.input = b.bytes, .image = img};
}

const Row lookup_rows[] = {
    {"rel_wins_over_rela", [](Format f) { return rel_and_rela_case(pie_rel_and_rela(f), 0x80000004, 0); }},
    {"rela_applied_without_rel",
     [](Format f) {
         Pie p = pie_rel_and_rela(f);
         p.dyn_set[elfbuild::DT_REL] = std::nullopt;
         return rel_and_rela_case(p, 0x1004, 0x80000008);
     }},
    {"needed_after_dt_null_found",
     [](Format f) {
         Pie p = pie(f, both_tables);
         p.extra_dyn = {{elfbuild::DT_NULL, 0}, {elfbuild::DT_NEEDED, 0}};
         return fails(build_pie(p).bytes, "ERROR: Input is not static\n");
     }},
    {"table_tags_after_dt_null_found",
     [](Format f) {
         const Pie p = pie_with_main_table_tags(f, [](const BuiltPie &b) {
             auto tags = main_table_tags(b);
             tags.insert(tags.begin(), {{elfbuild::DT_NULL, 0}, {elfbuild::DT_NULL, 0}});
             return tags;
         });
         return succeeds(build_pie(p), main_table);
     }},
    {"first_of_two_tags_wins",
     [](Format f) {
         Pie p = pie(f, main_table);
         p.extra_dyn = {{elfbuild::DT_RELA, no_section_addr}};
         return succeeds(build_pie(p), main_table);
     }},
    {"first_of_two_tags_wins_when_wrong",
     [](Format f) {
         const Pie p = pie_with_main_table_tags(f, [](const BuiltPie &b) {
             auto tags = main_table_tags(b);
             tags.insert(tags.begin(), {elfbuild::DT_RELA, no_section_addr});
             return tags;
         });
         return fails(build_pie(p).bytes, "ERROR: Could not found RELA section\nERROR: Failed to apply relocations\n");
     }},
    // One byte short of a whole DT_NEEDED entry follows DT_NULL.
    {"partial_trailing_entry_ignored",
     [](Format f) {
         const BuiltPie b = build_pie(pie(f, both_tables));
         return Case{.input = rebuilt(b,
                                      [f](elfbuild::Elf &e) {
                                          Bytes &d = elfbuild::section(e, ".dynamic").data;
                                          elfbuild::append(d, elfbuild::word(f, elfbuild::DT_NEEDED));
                                          d.resize(d.size() + elfbuild::word_size(f) - 1, 0);
                                      }),
                     .image = relocated(b, both_tables)};
     }},
    // The low bits of these tags are DT_NEEDED's; the tag is compared whole.
    {"tag_compared_in_full",
     [](Format f) {
         Pie p = pie(f, both_tables);
         p.extra_dyn = {{f.elfclass == 64 ? 0x100000001 : 0x80000001, 0}};
         return succeeds(build_pie(p), both_tables);
     }},
    {"dynamic_section_outside_file",
     [](Format f) {
         return fails(rebuilt(build_pie(pie(f, both_tables)),
                              [](elfbuild::Elf &e) { elfbuild::section(e, ".dynamic").offset = beyond_file; }),
                      "ERROR: Could not get dynamic\n");
     }},
};

class DynamicLookups : public RowTest {};
TEST_P(DynamicLookups, Run) { run(); }
INSTANTIATE_ROWS(DynamicLookups, lookup_rows);

// ---- The entry point: e_entry moved as every address is, modulo 2^64, whatever the class.

// .text at 0x10000, 0x2000 bytes; .data at 0x12000. No relocation tables.
BuiltPie entry_pie(Format f, uint64_t entry) {
    Pie p;
    p.fmt = f;
    p.machine = machine(f);
    p.text = Bytes(0x2000, 0xc3);
    p.data = Bytes(0x10, 0x5a);
    p.text_addr = 0x10000;
    p.entry = entry;
    return build_pie(p);
}

Case entry_case(Format f, uint64_t entry, std::string address, std::string written,
                std::vector<std::string> options = {"--output-entry", "entry.txt"}) {
    const BuiltPie b = entry_pie(f, entry);
    return {.input = b.bytes, .options = std::move(options), .image = b.image(), .entry = std::move(written),
            .address = std::move(address)};
}

const std::string entry_progress = "Relocating 'in.elf' to 0x80000000, and save to 'in.elf.out'\n"
                                   "Search dynamic section...\nDetermine virtual space...\n"
                                   "Virtual space: 0x10000..0x13000\nCopy section contents to output space...\n";
const std::string entry_sections = "  Section #1 [.text], 8192 octets at 0x10000 (rel 0x0)\n"
                                   "  Section #2 [.data], 16 octets at 0x12000 (rel 0x2000)\nDone.\n";

const Row entry_rows[] = {
    {"entry_moves_with_image", [](Format f) { return entry_case(f, 0x11234, "0x80000000", "0x80001234\n"); }},
    {"entry_below_start_wraps",
     [](Format f) { return entry_case(f, 0x100, "0", "0xffffffffffff0100\n"); }},
    {"entry_wraps_past_top",
     [](Format f) { return entry_case(f, 0x11234, "0xfffffffffffff000", "0x234\n"); }},
    {"entry_progress_at_v",
     [](Format f) {
         Case c = entry_case(f, 0x11234, "0x80000000", "0x80001234\n", {"-v", "--output-entry", "entry.txt"});
         c.out = entry_progress + "Saving entry point...\n";
         return c;
     }},
    {"entry_values_at_vv",
     [](Format f) {
         Case c = entry_case(f, 0x11234, "0x80000000", "0x80001234\n", {"-vv", "--output-entry", "entry.txt"});
         c.out = entry_progress + entry_sections + "Saving entry point...\n  0x80001234 (old: 0x11234)\nDone.\n";
         return c;
     }},
    {"no_entry_file_without_option",
     [](Format f) {
         Case c = entry_case(f, 0x11234, "0x80000000", "", {"-vv"});
         c.entry = std::nullopt;
         c.out = entry_progress + entry_sections;
         return c;
     }},
};

class EntryPoint : public RowTest {};
TEST_P(EntryPoint, Run) { run(); }
INSTANTIATE_ROWS(EntryPoint, entry_rows);

}  // namespace
