// Relocation tables end to end: which table each dynamic entry designates, the size and entry-size
// checks, the stride and bounds of the walk, and where REL addends come from. Inputs are x86-64
// static PIEs in each ELF kind (the x32 record serves ELF32), with RELATIVE entries unless a row
// needs another type.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "context.h"
#include "find.h"
#include "kelpx.h"
#include "rel.h"
#include "support/elfbuild.h"
#include "support/run.h"

namespace {

namespace eb = elfbuild;

// With .text at 0x1000, the image's first byte, every address moves by 0x7ffff000.
constexpr uint64_t target = 0x80000000;
constexpr uint64_t bias = target - 0x1000;
constexpr uint32_t RELATIVE = eb::R_X86_64_RELATIVE, JUMP_SLOT = eb::R_X86_64_JUMP_SLOT;
constexpr uint64_t nowhere = 0x900000;  // an address that no section holds
const std::string failed = "ERROR: Failed to apply relocations\n";

std::string hex(uint64_t v) {
    char buf[24];
    snprintf(buf, sizeof buf, "0x%" PRIx64, v);
    return buf;
}

// What one row expects of one run. No image: the run must leave no output file.
struct Case {
    eb::Bytes input;
    std::vector<std::string> opts = {};
    int status = 0;
    std::string out = {}, err = {};
    std::optional<eb::Bytes> image = {};
};

eb::Pie pie(eb::Format f) {
    eb::Pie p;
    p.fmt = f;
    p.text = eb::Bytes(0x40, 0x90);
    p.data = eb::Bytes(0x40, 0);
    return p;
}

// Success: the unrelocated image with each (address, value) stored as a word of the input's kind.
Case applied(const eb::BuiltPie &b, const std::vector<std::pair<uint64_t, uint64_t>> &stores,
             std::vector<std::string> opts = {}) {
    eb::Bytes img = b.image();
    for (const auto &[at, v] : stores) eb::put(img, b.image_off(at), eb::word_size(b.fmt), v, b.fmt.msb);
    return Case{b.bytes, std::move(opts), 0, "", "", img};
}

Case failing(const eb::BuiltPie &b, const std::string &err, std::vector<std::string> opts = {}) {
    return Case{b.bytes, std::move(opts), 1, "", err + failed, std::nullopt};
}

// The progress lines of the stages before the relocations, for "in.elf" relocated to `target`.
std::string preamble(const eb::BuiltPie &b, int verbose) {
    std::string s = "Relocating 'in.elf' to " + hex(target) + ", and save to 'in.elf.out'\n" +
                    "Search dynamic section...\nDetermine virtual space...\nVirtual space: " + hex(b.vspace_start) +
                    ".." + hex(b.vspace_end) + "\nCopy section contents to output space...\n";
    if (verbose >= 2) {
        eb::Elf e = b.elf;
        for (const auto &[index, name] : {std::pair{1, ".text"}, std::pair{2, ".data"}}) {
            const eb::Section &sec = eb::section(e, name);
            s += "  Section #" + std::to_string(index) + " [" + name + "], " + std::to_string(sec.data.size()) +
                 " octets at " + hex(sec.addr) + " (rel " + hex(sec.addr - b.vspace_start) + ")\n";
        }
        s += "Done.\n";
    }
    return s;
}

testing::AssertionResult same_bytes(const eb::Bytes &got, const eb::Bytes &want) {
    if (got.size() != want.size())
        return testing::AssertionFailure() << "size " << got.size() << ", want " << want.size();
    for (size_t i = 0; i < got.size(); ++i)
        if (got[i] != want[i])
            return testing::AssertionFailure() << "byte at image offset " << hex(i) << " is " << hex(got[i])
                                               << ", want " << hex(want[i]);
    return testing::AssertionSuccess();
}

struct Row {
    std::string name;
    std::vector<eb::Format> kinds;
    std::function<Case(eb::Format)> make;
};
struct Param {
    const Row *row;
    eb::Format fmt;
};
void PrintTo(const Param &p, std::ostream *os) { *os << p.row->name << " " << eb::format_name(p.fmt); }

const std::vector<eb::Format> all = eb::all_formats();
const std::vector<eb::Format> two = {{64, false}, {32, true}};  // behaviour that depends on neither
const std::vector<eb::Format> elf64 = {{64, false}, {64, true}};

enum class Table { rela, rel, plt_rela, plt_rel };

// An input whose `t` table has two RELATIVE entries, at 0x2000 and 0x2010, with addends 1 and 2
// (in the image as well, for REL tables).
eb::Pie with_table(eb::Format f, Table t) {
    eb::Pie p = pie(f);
    eb::put(p.data, 0, eb::word_size(f), 1, f.msb);
    eb::put(p.data, 0x10, eb::word_size(f), 2, f.msb);
    const std::vector<eb::Reloc> relocs = {{0x2000, 0, RELATIVE, 1}, {0x2010, 0, RELATIVE, 2}};
    (t == Table::rela || t == Table::rel ? p.relocs : p.plt_relocs) = relocs;
    p.rela = t == Table::rela;
    p.plt_rela = t == Table::plt_rela;
    return p;
}

Case both_applied(const eb::BuiltPie &b, std::vector<std::string> opts = {}) {
    return applied(b, {{0x2000, 1 + bias}, {0x2010, 2 + bias}}, std::move(opts));
}

// Rows that change one dynamic entry of a with_table() input and expect the run to fail.
struct Override {
    const char *name;
    Table table;
    uint64_t tag;
    std::optional<uint64_t> value;  // none: the entry is dropped
    const char *err;
    bool elf64_only = false;
};
const Override overrides[] = {
    {"pltrel_value_neither_rel_nor_rela", Table::plt_rela, eb::DT_PLTREL, 9,
     "ERROR: Relocation type 0x9 is not implemented in DT_PLTREL\n"},
    // DT_RELA or DT_REL in the low half only: the value is compared whole.
    {"pltrel_value_with_high_bits_over_rela", Table::plt_rela, eb::DT_PLTREL, 0x100000007,
     "ERROR: Relocation type 0x100000007 is not implemented in DT_PLTREL\n", true},
    {"pltrel_value_with_high_bits_over_rel", Table::plt_rel, eb::DT_PLTREL, 0x100000011,
     "ERROR: Relocation type 0x100000011 is not implemented in DT_PLTREL\n", true},
    {"pltrel_without_jmprel", Table::plt_rela, eb::DT_JMPREL, std::nullopt,
     "ERROR: DT_JMPREL is not found in DYNAMIC\n"},
    {"rela_table_in_no_section", Table::rela, eb::DT_RELA, nowhere, "ERROR: Could not found RELA section\n"},
    {"rel_table_in_no_section", Table::rel, eb::DT_REL, nowhere, "ERROR: Could not found REL section\n"},
    {"plt_table_in_no_section", Table::plt_rel, eb::DT_JMPREL, nowhere, "ERROR: Could not found PLTREL section\n"},
    {"relasz_missing", Table::rela, eb::DT_RELASZ, std::nullopt, "ERROR: DT_RELASZ not found\n"},
    {"relsz_missing", Table::rel, eb::DT_RELSZ, std::nullopt, "ERROR: DT_RELSZ not found\n"},
    {"pltrelsz_missing", Table::plt_rela, eb::DT_PLTRELSZ, std::nullopt, "ERROR: DT_PLTRELSZ not found\n"},
    {"relaent_missing", Table::rela, eb::DT_RELAENT, std::nullopt, "ERROR: DT_RELAENT not found\n"},
    {"relent_missing", Table::rel, eb::DT_RELENT, std::nullopt, "ERROR: DT_RELENT not found\n"},
    // The PLT table has no entry-size tag of its own.
    {"plt_rela_table_needs_relaent", Table::plt_rela, eb::DT_RELAENT, std::nullopt, "ERROR: DT_RELAENT not found\n"},
    {"plt_rel_table_needs_relent", Table::plt_rel, eb::DT_RELENT, std::nullopt, "ERROR: DT_RELENT not found\n"},
    {"relaent_zero", Table::rela, eb::DT_RELAENT, 0, "ERROR: DT_RELAENT is smaller than expected\n"},
    // On ELF64 these are the ELF32 record sizes.
    {"relaent_of_elf32_on_elf64", Table::rela, eb::DT_RELAENT, 12, "ERROR: DT_RELAENT is smaller than expected\n",
     true},
    {"relent_of_elf32_on_elf64", Table::rel, eb::DT_RELENT, 8, "ERROR: DT_RELENT is smaller than expected\n", true},
    {"plt_relent_of_elf32_on_elf64", Table::plt_rel, eb::DT_RELENT, 8,
     "ERROR: DT_RELENT is smaller than expected\n", true},
};

std::vector<Row> make_rows() {
    std::vector<Row> r = {
        // The second addend is negative: it must be sign-extended from the class's width.
        {"rel_table_takes_addends_from_image", all,
         [](eb::Format f) {
             eb::Pie p = with_table(f, Table::rel);
             eb::put(p.data, 0x10, eb::word_size(f), 0 - uint64_t{0x10}, f.msb);
             return applied(eb::build_pie(p), {{0x2000, 1 + bias}, {0x2010, bias - 0x10}});
         }},
        {"rela_table_applied", all,
         [](eb::Format f) { return both_applied(eb::build_pie(with_table(f, Table::rela))); }},
        {"plt_rela_table_applied", all,
         [](eb::Format f) { return both_applied(eb::build_pie(with_table(f, Table::plt_rela))); }},
        {"plt_rel_table_takes_addends_from_image", all,
         [](eb::Format f) { return both_applied(eb::build_pie(with_table(f, Table::plt_rel))); }},
        // A symbol type in the PLT table: symbol 0's value (0) plus the addend.
        {"plt_rela_jump_slot", two,
         [](eb::Format f) {
             eb::Pie p = pie(f);
             p.plt_relocs = {{0x2000, 0, JUMP_SLOT, 0x99}};
             return applied(eb::build_pie(p), {{0x2000, 0x99}});
         }},
        // The PLT table comes second, so its REL addend is what the main table stored there.
        {"plt_rel_addend_sees_main_table_store", all,
         [](eb::Format f) {
             eb::Pie p = with_table(f, Table::rel);
             p.plt_rela = false;
             p.plt_relocs = {{0x2000, 0, RELATIVE}};
             return applied(eb::build_pie(p), {{0x2000, 1 + 2 * bias}, {0x2010, 2 + bias}});
         }},
        {"rel_entries_on_same_place_chain", all,
         [](eb::Format f) {
             eb::Pie p = with_table(f, Table::rel);
             p.relocs[1].offset = 0x2000;
             return applied(eb::build_pie(p), {{0x2000, 1 + 2 * bias}});
         }},
        {"relaent_below_class_minimum", all,
         [](eb::Format f) {
             eb::Pie p = with_table(f, Table::rela);
             p.dyn_set[eb::DT_RELAENT] = eb::rela_size(f) - 1;
             return failing(eb::build_pie(p), "ERROR: DT_RELAENT is smaller than expected\n");
         }},
        {"relent_below_class_minimum", all,
         [](eb::Format f) {
             eb::Pie p = with_table(f, Table::rel);
             p.dyn_set[eb::DT_RELENT] = eb::rel_size(f) - 1;
             return failing(eb::build_pie(p), "ERROR: DT_RELENT is smaller than expected\n");
         }},
        // The padding between the records is zeros: read as an entry, it is an unhandled type.
        {"larger_relaent_sets_the_stride", all,
         [](eb::Format f) {
             eb::Pie p = with_table(f, Table::rela);
             p.relaent = eb::rela_size(f) + 8;
             return both_applied(eb::build_pie(p));
         }},
        {"larger_relent_sets_the_stride", all,
         [](eb::Format f) {
             eb::Pie p = with_table(f, Table::rel);
             p.relent = eb::rel_size(f) + 8;
             return both_applied(eb::build_pie(p));
         }},
        {"relasz_not_multiple_of_relaent", all,
         [](eb::Format f) {
             eb::Pie p = with_table(f, Table::rela);
             p.dyn_set[eb::DT_RELASZ] = eb::rela_size(f) + 6;
             return failing(eb::build_pie(p), "ERROR: DT_RELASZ is not multiple of DT_RELAENT\n");
         }},
        {"relsz_not_multiple_of_relent", two,
         [](eb::Format f) {
             eb::Pie p = with_table(f, Table::rel);
             p.dyn_set[eb::DT_RELSZ] = eb::rel_size(f) + 4;
             return failing(eb::build_pie(p), "ERROR: DT_RELSZ is not multiple of DT_RELENT\n");
         }},
        {"pltrelsz_not_multiple_of_relaent", two,
         [](eb::Format f) {
             eb::Pie p = with_table(f, Table::plt_rela);
             p.dyn_set[eb::DT_PLTRELSZ] = eb::rela_size(f) + 6;
             return failing(eb::build_pie(p), "ERROR: DT_PLTRELSZ is not multiple of DT_RELAENT\n");
         }},
        {"pltrelsz_not_multiple_of_relent", two,
         [](eb::Format f) {
             eb::Pie p = with_table(f, Table::plt_rel);
             p.dyn_set[eb::DT_PLTRELSZ] = 2 * eb::rel_size(f) - 1;
             return failing(eb::build_pie(p), "ERROR: DT_PLTRELSZ is not multiple of DT_RELENT\n");
         }},
        // Only 6 bytes of the second entry lie inside DT_RELASZ; it is read whole.
        {"ignore_unaligned_relsz_reads_partial_last_entry", all,
         [](eb::Format f) {
             eb::Pie p = with_table(f, Table::rela);
             p.dyn_set[eb::DT_RELASZ] = eb::rela_size(f) + 6;
             return both_applied(eb::build_pie(p), {"--ignore-unaligned-relsz"});
         }},
        {"ignore_unaligned_relsz_partial_entry_past_section", all,
         [](eb::Format f) {
             eb::Pie p = with_table(f, Table::rela);
             p.relocs.pop_back();
             p.dyn_set[eb::DT_RELASZ] = eb::rela_size(f) + 6;
             const std::string at = hex(eb::rela_size(f));
             return failing(eb::build_pie(p), "ERROR: Could not read RELA entry from " + at + " (rel " + at + ")\n",
                            {"--ignore-unaligned-relsz"});
         }},
        {"relasz_above_4gib_counts_low_bits", elf64,
         [](eb::Format f) {
             eb::Pie p = with_table(f, Table::rela);
             p.dyn_set[eb::DT_RELASZ] = (uint64_t{1} << 32) + 2 * eb::rela_size(f);
             return both_applied(eb::build_pie(p));
         }},
        {"relasz_of_4gib_is_an_empty_table", elf64,
         [](eb::Format f) {
             eb::Pie p = with_table(f, Table::rela);
             p.dyn_set[eb::DT_RELASZ] = uint64_t{1} << 32;
             return applied(eb::build_pie(p), {});
         }},
        {"relent_above_4gib_counts_low_bits", elf64,
         [](eb::Format f) {
             eb::Pie p = with_table(f, Table::rel);
             p.dyn_set[eb::DT_RELENT] = (uint64_t{1} << 32) + eb::rel_size(f);
             return both_applied(eb::build_pie(p));
         }},
        {"empty_table_traced_at_v", two,
         [](eb::Format f) {
             eb::Pie p = pie(f);
             p.force_reltab = true;
             const eb::BuiltPie b = eb::build_pie(p);
             Case c = applied(b, {}, {"-v"});
             c.out = preamble(b, 1) + "Apply relocations at " + hex(b.reltab_addr) + "...\n";
             return c;
         }},
        {"empty_table_traced_at_vv", two,
         [](eb::Format f) {
             eb::Pie p = pie(f);
             p.force_reltab = true;
             const eb::BuiltPie b = eb::build_pie(p);
             Case c = applied(b, {}, {"-vv"});
             c.out = preamble(b, 2) + "Apply relocations at " + hex(b.reltab_addr) + "...\nDone.\n";
             return c;
         }},
        // The addend is 8 bytes wide and only 4 of them lie inside the image.
        {"rel_addend_past_vspace_end", elf64,
         [](eb::Format f) {
             eb::Pie p = with_table(f, Table::rel);
             p.relocs[1].offset = eb::build_pie(p).vspace_end - 4;
             return failing(eb::build_pie(p), "ERROR: r_offset " + hex(p.relocs[1].offset) +
                                                  " is out of bounds\nERROR: Could not get addend for REL entry "
                                                  "at 0x10 (rel 0x10)\n");
         }},
        {"rel_addend_in_last_word", all,
         [](eb::Format f) {
             eb::Pie p = pie(f);
             p.rela = false;
             const uint64_t r_offset = eb::build_pie(p).vspace_end - eb::word_size(f);
             p.relocs = {{r_offset, 0, RELATIVE}};
             return applied(eb::build_pie(p), {{r_offset, bias}});
         }},
        {"rel_addend_one_byte_past_last_word", all,
         [](eb::Format f) {
             eb::Pie p = pie(f);
             p.rela = false;
             const uint64_t r_offset = eb::build_pie(p).vspace_end - eb::word_size(f) + 1;
             p.relocs = {{r_offset, 0, RELATIVE}};
             return failing(eb::build_pie(p), "ERROR: r_offset " + hex(r_offset) +
                                                  " is out of bounds\nERROR: Could not get addend for REL entry "
                                                  "at 0x0 (rel 0x0)\n");
         }},
        {"rel_addend_below_vspace_start", two,
         [](eb::Format f) {
             eb::Pie p = with_table(f, Table::rel);
             p.relocs[0].offset = 0xffc;
             return failing(eb::build_pie(p), "ERROR: r_offset 0xffc is out of bounds\n"
                                              "ERROR: Could not get addend for REL entry at 0x0 (rel 0x0)\n");
         }},
        {"plt_rel_addend_out_of_bounds", two,
         [](eb::Format f) {
             eb::Pie p = with_table(f, Table::plt_rel);
             p.plt_relocs[1].offset = nowhere;
             const std::string at = hex(eb::rel_size(f));
             return failing(eb::build_pie(p), "ERROR: r_offset " + hex(nowhere) +
                                                  " is out of bounds\nERROR: Could not get addend for PLTREL "
                                                  "entry at " + at + " (rel " + at + ")\n");
         }},
        // Entries are read relative to the section holding the table's first byte, which here
        // holds only the first of the two.
        {"table_runs_past_its_section", all,
         [](eb::Format f) {
             eb::Pie p = with_table(f, Table::rela);
             const unsigned size = eb::rela_size(f);
             p.dyn_set[eb::DT_RELA] = eb::build_pie(p).reltab_addr + size;
             return failing(eb::build_pie(p), "ERROR: Could not read RELA entry from " + hex(2 * size) +
                                                  " (rel " + hex(size) + ")\n");
         }},
        {"unsupported_machine", elf64,
         [](eb::Format f) {
             eb::Pie p = with_table(f, Table::rela);
             p.machine = eb::EM_AARCH64;
             return failing(eb::build_pie(p), "ERROR: Relocations of machine 183, ELF64, are not supported\n");
         }},
        {"unsupported_machine_elf32", {{32, false}, {32, true}},
         [](eb::Format f) {
             eb::Pie p = with_table(f, Table::rel);
             p.machine = eb::EM_MIPS;
             return failing(eb::build_pie(p), "ERROR: Relocations of machine 8, ELF32, are not supported\n");
         }},
        {"unsupported_machine_empty_table_passes", elf64,
         [](eb::Format f) {
             eb::Pie p = pie(f);
             p.machine = eb::EM_AARCH64;
             p.force_reltab = true;
             return applied(eb::build_pie(p), {});
         }},
    };
    for (const Override &o : overrides)
        r.push_back({o.name, o.elf64_only ? elf64 : two, [o](eb::Format f) {
                         eb::Pie p = with_table(f, o.table);
                         p.dyn_set[o.tag] = o.value;
                         return failing(eb::build_pie(p), o.err);
                     }});
    return r;
}

const std::vector<Row> &rows() {
    static const std::vector<Row> r = make_rows();
    return r;
}

std::vector<Param> params() {
    std::vector<Param> out;
    for (const Row &row : rows())
        for (const eb::Format f : row.kinds) out.push_back({&row, f});
    return out;
}

class RelocationTables : public testing::TestWithParam<Param> {};

TEST_P(RelocationTables, Run) {
    const Case c = GetParam().row->make(GetParam().fmt);
    testrun::TempDir dir;
    dir.write("in.elf", c.input);
    std::vector<std::string> args = c.opts;
    args.push_back(hex(target));
    args.push_back("in.elf");
    const testrun::Result r = testrun::run_pieshift(args, dir.path);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    if (c.image) {
        ASSERT_TRUE(dir.exists("in.elf.out"));
        EXPECT_TRUE(same_bytes(dir.read("in.elf.out"), *c.image));
    } else {
        EXPECT_FALSE(dir.exists("in.elf.out"));
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, RelocationTables, testing::ValuesIn(params()),
                         [](const testing::TestParamInfo<Param> &info) {
                             return info.param.row->name + "_" + eb::format_name(info.param.fmt);
                         });

// The pipeline only ever hands over DT_REL, DT_RELA or DT_PLTREL; any other tag, even one whose low
// half is DT_REL, is refused before a table is looked for.
TEST(RelocationTablesDirect, UnknownTagIsRefused) {
    const eb::BuiltPie b = eb::build_pie(pie({64, false}));
    kelpx_handle elf{};
    ASSERT_EQ(kelpx_load_memory(&elf, b.bytes.data(), b.bytes.size()), 0);
    context ctx{};
    kelpx_section dynamic_info{};
    ASSERT_EQ(find_dynamic(&ctx, &elf, &dynamic_info), 0);
    const kelpx_dyn entry{0x100000011, b.text_addr};
    testing::internal::CaptureStderr();
    const int result = apply_relocations(&ctx, &elf, &dynamic_info, &entry);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR: Tag 0x100000011 is not a known relocation tag\n");
    EXPECT_EQ(result, -1);
    kelpx_unload(&elf);
}

}  // namespace
