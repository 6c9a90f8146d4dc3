// End-to-end tests of the pipeline on one small static PIE: the line each failing stage adds, the
// static check, the options that demand or forbid the relocation tables, lookups in the dynamic
// section, the entry point and the output files. The virtual space has its own table (e2e_vspace_test.cpp).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "support/elfbuild.h"
#include "support/run.h"

namespace {

namespace eb = elfbuild;
using eb::Bytes;
using eb::Format;
using eb::Pie;

constexpr Format L32{32, false}, M32{32, true}, L64{64, false}, M64{64, true};
constexpr uint32_t R_PPC_RELATIVE = 22, R_PPC64_RELATIVE = 22;  // Power psABIs
constexpr uint64_t no_section_addr = 0x7000000;                  // an address no section holds
constexpr uint64_t beyond_file = 0x40000000;                     // an sh_offset past the end of the input

enum Tables : unsigned { no_tables = 0, main_table = 1, plt_table = 2, both_tables = 3 };

const Bytes text = {0x55, 0x48, 0x89, 0xe5, 0x90, 0x90, 0x90, 0x90, 0x0f, 0x0b, 0xc3, 0x00, 0x01, 0x02, 0x03, 0x04};

// .text at 0x1000; .data at 0x2000: a word the main (RELA) table relocates with addend 0x1004, a word
// holding the addend 0x1008 of the PLT (REL) table's entry, four bytes 0xab; then 0x10 bytes of .bss.
// The machine of each kind applies its relative type: i386, PowerPC, x86-64, PowerPC64.
Pie pie(Format f, unsigned tables = both_tables, std::map<uint64_t, std::optional<uint64_t>> dyn_set = {},
        std::vector<std::string> needed = {}) {
    const bool is32 = f.elfclass == 32;
    const uint32_t relative = is32 ? (f.msb ? R_PPC_RELATIVE : eb::R_386_RELATIVE)
                                   : (f.msb ? R_PPC64_RELATIVE : eb::R_X86_64_RELATIVE);
    Pie p{.fmt = f, .machine = is32 ? (f.msb ? eb::EM_PPC : eb::EM_386) : (f.msb ? eb::EM_PPC64 : eb::EM_X86_64),
          .text = text, .data = eb::word(f, 0), .bss_size = 0x10, .data_addr = 0x2000, .needed = std::move(needed),
          .plt_rela = false, .dyn_set = std::move(dyn_set)};
    eb::append(p.data, eb::word(f, 0x1008));
    p.data.insert(p.data.end(), 4, 0xab);
    if (tables & main_table) p.relocs = {{.offset = 0x2000, .type = relative, .addend = 0x1004}};
    if (tables & plt_table) p.plt_relocs = {{.offset = 0x2000 + eb::word_size(f), .type = relative}};
    return p;
}

// pie() loaded at 0x80000000 with the given tables applied, written out by hand.
Bytes image(Format f, unsigned tables = both_tables) {
    const unsigned w = eb::word_size(f);
    Bytes img(0x2000, 0);
    std::copy(text.begin(), text.end(), img.begin());
    eb::put(img, 0x1000, w, tables & main_table ? 0x80000004 : 0, f.msb);
    eb::put(img, 0x1000 + w, w, tables & plt_table ? 0x80000008 : 0x1008, f.msb);
    std::fill_n(img.begin() + 0x1000 + 2 * w, 4, 0xab);
    return img;
}

// What -vv prints up to the end of the copy.
std::string copied_at_vv(Format f) {
    return "Relocating 'in.elf' to 0x80000000, and save to 'in.elf.out'\nSearch dynamic section...\n"
           "Determine virtual space...\nVirtual space: 0x1000..0x3000\nCopy section contents to output space...\n"
           "  Section #1 [.text], 16 octets at 0x1000 (rel 0x0)\n  Section #2 [.data], " +
           std::to_string(2 * eb::word_size(f) + 4) + " octets at 0x2000 (rel 0x1000)\nDone.\n";
}

Bytes in(const Pie &p) { return eb::build_pie(p).bytes; }
Bytes edited(const Pie &p, const std::function<void(eb::Elf &)> &edit) {
    eb::BuiltPie b = eb::build_pie(p);
    edit(b.elf);
    return eb::build(b.elf);
}
Bytes txt(const std::string &s) { return Bytes(s.begin(), s.end()); }

using Files = std::vector<std::pair<std::string, std::optional<Bytes>>>;  // none: the file must not exist

// One run in a fresh directory holding in.elf (and `before`); `after` lists the files to compare.
struct Case {
    Bytes input;
    std::vector<std::string> options = {};  // before ADDRESS and INPUT
    int status = 0;
    std::string out = {}, err = {};
    Files after = {};
    std::string address = "0x80000000";
    std::vector<std::pair<std::string, Bytes>> before = {};
};

Case ok(const Pie &p, Bytes img, std::vector<std::string> options = {}) {
    return {.input = in(p), .options = std::move(options), .after = {{"in.elf.out", std::move(img)}}};
}
Case fails(Bytes input, std::string err, std::vector<std::string> options = {}) {
    return {.input = std::move(input), .options = std::move(options), .status = 1, .err = std::move(err),
            .after = {{"in.elf.out", std::nullopt}}};
}

// Rows whose behaviour depends on class or byte order run in all four kinds; the others in one each.
struct Row {
    const char *name;
    std::vector<Format> kinds;
    std::function<Case(Format)> make;
};
using Param = std::pair<Row, Format>;
void PrintTo(const Param &p, std::ostream *os) { *os << p.first.name; }

template <size_t N>
std::vector<Param> expand(const Row (&rows)[N]) {
    std::vector<Param> v;
    for (const Row &r : rows)
        for (Format f : r.kinds) v.emplace_back(r, f);
    return v;
}

const std::string rel_missing = "ERROR: REL/RELA section is not present\n";
const std::string rel_unexpected = "ERROR: REL/RELA section is present, but it is unexpected\n";
const std::string plt_missing = "ERROR: PLTREL section is not present\n";
const std::string plt_unexpected = "ERROR: PLTREL section is present, but it is unexpected\n";
const std::string not_static = "ERROR: Input is not static\n";
const std::string save_failed = "ERROR: Could not save output.\n";
const std::string disk_full = "ERROR: Could write: No space left on device\n";
const std::vector<std::string> libc = {"libc.so.6"};

Row expect(const char *name, Format kind, const char *option, unsigned tables, std::string err = "") {
    return {name, {kind}, [=](Format f) {
                const Pie p = pie(f, tables);
                return err.empty() ? ok(p, image(f, tables), {option}) : fails(in(p), err, {option});
            }};
}

// The entry-point file; no tables, so that the image does not depend on ADDRESS.
Case entry(Format f, uint64_t e_entry, std::string address, const std::string &written) {
    Pie p = pie(f, no_tables);
    p.entry = e_entry;
    return {.input = in(p), .options = {"--output-entry", "entry.txt"},
            .after = {{"in.elf.out", image(f, no_tables)}, {"entry.txt", txt(written)}}, .address = std::move(address)};
}

const Row stage_rows[] = {
    {"no_dynamic_section", {L32}, [](Format f) {
         return fails(edited(pie(f), [](eb::Elf &e) { eb::section(e, ".dynamic").type = eb::SHT_NOTE; }),
                      "ERROR: Dynamic section not found\n");
     }},
    {"symtab_incomplete", {M32}, [](Format f) {
         return fails(in(pie(f, both_tables, {{eb::DT_SYMENT, std::nullopt}})),
                      "ERROR: Incomplete symtab information in DYNAMIC\nERROR: DT_SYMENT is missing\n"
                      "ERROR: Could not load symtab information\n");
     }},
    {"copy_failure_before_static_check", {L64}, [](Format f) {
         const auto text_outside_file = [](eb::Elf &e) { eb::section(e, ".text").offset = beyond_file; };
         return fails(edited(pie(f, both_tables, {}, libc), text_outside_file), "ERROR: Could not copy sections\n");
     }},
    // The sections have been copied when the static check refuses the input.
    {"static_check_after_copy", {M64}, [](Format f) {
         Case c = fails(in(pie(f, both_tables, {}, libc)), not_static, {"-vv"});
         c.out = copied_at_vv(f);
         return c;
     }},
    {"force_dynamic_accepts_needed", {L32},
     [](Format f) { return ok(pie(f, both_tables, {}, libc), image(f), {"--force-dynamic"}); }},
    {"main_table_failure", {M32}, [](Format f) {
         return fails(in(pie(f, both_tables, {{eb::DT_RELA, no_section_addr}})),
                      "ERROR: Could not found RELA section\nERROR: Failed to apply relocations\n");
     }},
    {"plt_table_failure", {L64}, [](Format f) {
         return fails(in(pie(f, both_tables, {{eb::DT_JMPREL, std::nullopt}})),
                      "ERROR: DT_JMPREL is not found in DYNAMIC\nERROR: Failed to apply relocations\n");
     }},
    // Each flag with its table present and absent (the other table present instead).
    expect("expect_rel_absent", M64, "--expect-rel", plt_table, rel_missing),
    expect("expect_rel_present", L32, "--expect-rel", main_table),
    expect("no_expect_rel_present", M32, "--no-expect-rel", main_table, rel_unexpected),
    expect("no_expect_rel_absent", L64, "--no-expect-rel", plt_table),
    expect("expect_pltrel_absent", M64, "--expect-pltrel", main_table, plt_missing),
    expect("expect_pltrel_present", L32, "--expect-pltrel", plt_table),
    expect("no_expect_pltrel_present", M32, "--no-expect-pltrel", plt_table, plt_unexpected),
    expect("no_expect_pltrel_absent", L64, "--no-expect-pltrel", main_table),
};

const Row lookup_rows[] = {
    // The PLT's REL table named by DT_REL, after the main table's DT_RELA: only the REL table applies.
    {"rel_wins_over_rela", {M64}, [](Format f) {
         const eb::BuiltPie b = eb::build_pie(pie(f));  // the tables' addresses do not depend on the tags
         return ok(pie(f, both_tables, {{eb::DT_PLTREL, std::nullopt}, {eb::DT_JMPREL, std::nullopt},
                                        {eb::DT_PLTRELSZ, std::nullopt}, {eb::DT_REL, b.plttab_addr},
                                        {eb::DT_RELSZ, b.plttab_size}}),
                   image(f, plt_table));
     }},
    {"needed_after_dt_null_found", {L32}, [](Format f) {
         Pie p = pie(f);
         p.extra_dyn = {{eb::DT_NULL, 0}, {eb::DT_NEEDED, 0}};
         return fails(in(p), not_static);
     }},
    {"first_of_two_tags_wins", {M32}, [](Format f) {
         Pie p = pie(f);
         p.extra_dyn = {{eb::DT_RELA, no_section_addr}};
         return ok(p, image(f));
     }},
    // The low 32 bits are DT_NEEDED's; an ELF64 tag is compared whole.
    {"tag_compared_in_full", {L64}, [](Format f) {
         Pie p = pie(f);
         p.extra_dyn = {{0x100000001, 0}};
         return ok(p, image(f));
     }},
    {"dynamic_section_outside_file", {M64}, [](Format f) {
         return fails(edited(pie(f), [](eb::Elf &e) { eb::section(e, ".dynamic").offset = beyond_file; }),
                      "ERROR: Could not get dynamic\n");
     }},
};

const Row output_rows[] = {
    // Words read (REL addends) and stored in each word size and byte order.
    {"image_bytes", eb::all_formats(), [](Format f) { return ok(pie(f), image(f)); }},
    {"entry_at_vv", {L64}, [](Format f) {
         Case c = entry(f, 0x2234, "0x80000000", "0x80001234\n");
         c.options.insert(c.options.begin(), "-vv");
         c.out = copied_at_vv(f) + "Saving entry point...\n  0x80001234 (old: 0x2234)\nDone.\n";
         return c;
     }},
    // The entry moves modulo 2^64 whatever the class: ELF32 rows show a 32-bit computation.
    {"entry_zero", {M32}, [](Format f) { return entry(f, 0x1000, "0", "0x0\n"); }},
    {"entry_wraps_below_zero", {L32}, [](Format f) { return entry(f, 0xfff, "0", "0xffffffffffffffff\n"); }},
    {"entry_wraps_past_top", {M32}, [](Format f) { return entry(f, 0x2234, "0xfffffffffffff000", "0x234\n"); }},
    {"longer_image_file_truncated", {L64}, [](Format f) {
         Case c = ok(pie(f), image(f));
         c.before = {{"in.elf.out", Bytes(0x5000, 0xee)}};
         return c;
     }},
    // No entry-point file is attempted once the image has failed.
    {"image_open_fails", {M64}, [](Format f) {
         Case c = fails(in(pie(f)),
                        "ERROR: Could not open 'nodir/out' for write: No such file or directory\n" + save_failed,
                        {"-o", "nodir/out", "--output-entry", "entry.txt"});
         c.after.emplace_back("entry.txt", std::nullopt);
         return c;
     }},
    // 8 KiB: more than the stream buffers, so the write itself fails.
    {"image_write_fails", {L32}, [](Format f) {
         Case c = fails(in(pie(f)), disk_full + save_failed, {"-o", "/dev/full", "--output-entry", "entry.txt"});
         c.after.emplace_back("entry.txt", std::nullopt);
         return c;
     }},
    // A few bytes stay in the stream's buffer until the file is closed, and the close fails.
    {"image_close_fails", {M32}, [](Format f) {
         Pie p = pie(f, no_tables);
         p.align = 1;
         return fails(in(p), disk_full + save_failed, {"-o", "/dev/full"});
     }},
    {"entry_close_fails_image_stays", {L64}, [](Format f) {
         Case c = ok(pie(f), image(f), {"--output-entry", "/dev/full"});
         c.status = 1;
         c.err = disk_full + "ERROR: Could not save entry point to '/dev/full'.\n";
         return c;
     }},
    // The input is read whole before anything is written.
    {"image_overwrites_input", {M64}, [](Format f) {
         Case c = ok(pie(f), image(f), {"-o", "in.elf"});
         c.after = {{"in.elf", image(f)}, {"in.elf.out", std::nullopt}};
         return c;
     }},
    {"entry_overwrites_input", {L32}, [](Format f) {
         Case c = ok(pie(f), image(f), {"--output-entry", "in.elf"});
         c.after.emplace_back("in.elf", txt("0x80000000\n"));
         return c;
     }},
    {"entry_written_after_image_over_input", {M32}, [](Format f) {
         Case c = ok(pie(f), image(f), {"-o", "in.elf", "--output-entry", "in.elf"});
         c.after = {{"in.elf", txt("0x80000000\n")}, {"in.elf.out", std::nullopt}};
         return c;
     }},
};

class Pipeline : public testing::TestWithParam<Param> {};

TEST_P(Pipeline, Run) {
    const Case c = GetParam().first.make(GetParam().second);
    if (std::ranges::find(c.options, "/dev/full") != c.options.end() && !std::filesystem::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full here";
    testrun::TempDir dir;
    dir.write("in.elf", c.input);
    for (const auto &[name, bytes] : c.before) dir.write(name, bytes);
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {c.address, "in.elf"});
    const testrun::Result r = testrun::run_pieshift_as("pieshift", args, dir.path);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    for (const auto &[name, bytes] : c.after) {
        SCOPED_TRACE(name);
        ASSERT_EQ(dir.exists(name), bytes.has_value());
        if (bytes) {
            EXPECT_EQ(dir.read(name), *bytes);
        }
    }
}

std::string row_name(const testing::TestParamInfo<Param> &info) {
    return std::string(info.param.first.name) + "_" + eb::format_name(info.param.second);
}
INSTANTIATE_TEST_SUITE_P(Stages, Pipeline, testing::ValuesIn(expand(stage_rows)), row_name);
INSTANTIATE_TEST_SUITE_P(Lookups, Pipeline, testing::ValuesIn(expand(lookup_rows)), row_name);
INSTANTIATE_TEST_SUITE_P(Output, Pipeline, testing::ValuesIn(expand(output_rows)), row_name);

}  // namespace
