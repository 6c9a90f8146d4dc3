// Relocation tables end to end: which table each dynamic entry designates, the size and entry-size
// checks, the stride and bounds of the walk, and where REL addends come from. Inputs are x86-64
// static PIEs (the x32 record serves ELF32) with RELATIVE entries.
#include <gtest/gtest.h>

#include "context.h"
#include "find.h"
#include "kelpx.h"
#include "rel.h"
#include "support/e2e_rows.h"

namespace {

using namespace e2e;
constexpr uint32_t RELATIVE = eb::R_X86_64_RELATIVE;
const std::string smaller = " is smaller than expected\n";

enum class Table { rela, rel, plt_rela, plt_rel };

// An input whose `t` table has two entries, at 0x2000 and 0x2010, with addends 1 and -0x10 (in the
// image as well, for REL tables): the negative one must be sign-extended from the class's width.
eb::Pie with_table(F f, Table t) {
    eb::Pie p = pie(f);
    eb::put(p.data, 0, eb::word_size(f), 1, f.msb);
    eb::put(p.data, 0x10, eb::word_size(f), 0 - uint64_t{0x10}, f.msb);
    const std::vector<eb::Reloc> relocs = {{0x2000, 0, RELATIVE, 1}, {0x2010, 0, RELATIVE, 0 - uint64_t{0x10}}};
    (t == Table::rela || t == Table::rel ? p.relocs : p.plt_relocs) = relocs;
    p.rela = t == Table::rela;
    p.plt_rela = t == Table::plt_rela;
    return p;
}
const Stores both = {{0x2000, 1 + bias}, {0x2010, bias - 0x10}};

// Rows that change one dynamic entry of a with_table() input and expect the run to fail. Entry sizes
// and table sizes are chosen for the row's class.
struct Override {
    const char *name;
    F fmt;
    Table table;
    uint64_t tag;
    std::optional<uint64_t> value;  // none: the entry is dropped
    std::string err;
};
const Override overrides[] = {
    {"pltrel_neither_rel_nor_rela", L32, Table::plt_rela, eb::DT_PLTREL, 9,
     "ERROR: Relocation type 0x9 is not implemented in DT_PLTREL\n"},
    // DT_REL in the low half only: the value is compared whole.
    {"pltrel_rel_with_high_bits", B64, Table::plt_rel, eb::DT_PLTREL, 0x100000011,
     "ERROR: Relocation type 0x100000011 is not implemented in DT_PLTREL\n"},
    {"pltrel_without_jmprel", B32, Table::plt_rela, eb::DT_JMPREL, {}, "ERROR: DT_JMPREL is not found in DYNAMIC\n"},
    {"rela_in_no_section", L64, Table::rela, eb::DT_RELA, nowhere, "ERROR: Could not found RELA section\n"},
    {"rel_in_no_section", L32, Table::rel, eb::DT_REL, nowhere, "ERROR: Could not found REL section\n"},
    {"plt_in_no_section", B64, Table::plt_rel, eb::DT_JMPREL, nowhere, "ERROR: Could not found PLTREL section\n"},
    {"relasz_missing", B32, Table::rela, eb::DT_RELASZ, {}, "ERROR: DT_RELASZ not found\n"},
    {"relsz_missing", L64, Table::rel, eb::DT_RELSZ, {}, "ERROR: DT_RELSZ not found\n"},
    {"pltrelsz_missing", L32, Table::plt_rela, eb::DT_PLTRELSZ, {}, "ERROR: DT_PLTRELSZ not found\n"},
    {"relaent_missing", B64, Table::rela, eb::DT_RELAENT, {}, "ERROR: DT_RELAENT not found\n"},
    {"relent_missing", B32, Table::rel, eb::DT_RELENT, {}, "ERROR: DT_RELENT not found\n"},
    // One byte below the class's record, and zero, which must be refused before anything divides by it.
    {"relaent_11", L32, Table::rela, eb::DT_RELAENT, 11, "ERROR: DT_RELAENT" + smaller},
    {"relaent_23", B64, Table::rela, eb::DT_RELAENT, 23, "ERROR: DT_RELAENT" + smaller},
    {"relaent_0", L64, Table::rela, eb::DT_RELAENT, 0, "ERROR: DT_RELAENT" + smaller},
    {"relent_7", B32, Table::rel, eb::DT_RELENT, 7, "ERROR: DT_RELENT" + smaller},
    {"relent_15", L64, Table::rel, eb::DT_RELENT, 15, "ERROR: DT_RELENT" + smaller},
    {"relasz_not_multiple", B32, Table::rela, eb::DT_RELASZ, 18, "ERROR: DT_RELASZ is not multiple of DT_RELAENT\n"},
    {"relsz_not_multiple", L64, Table::rel, eb::DT_RELSZ, 20, "ERROR: DT_RELSZ is not multiple of DT_RELENT\n"},
    {"pltrelsz_not_multiple_of_relaent", L32, Table::plt_rela, eb::DT_PLTRELSZ, 18,
     "ERROR: DT_PLTRELSZ is not multiple of DT_RELAENT\n"},
    {"pltrelsz_not_multiple_of_relent", B64, Table::plt_rel, eb::DT_PLTRELSZ, 31,
     "ERROR: DT_PLTRELSZ is not multiple of DT_RELENT\n"},
};

// A REL input whose one entry lies `past` bytes beyond the start of the image's last word, which holds
// addend 5. The addend is a word of the class.
eb::Pie rel_at_last_word(F f, uint64_t past) {
    eb::Pie p = pie(f);
    p.data = eb::Bytes(0x1000, 0);
    eb::put(p.data, 0x1000 - eb::word_size(f), eb::word_size(f), 5, f.msb);
    p.rela = false;
    p.relocs = {{last_word(p) + past, 0, RELATIVE}};
    return p;
}

std::vector<Row> rows() {
    std::vector<Row> r = {
        // Entry records, REL addend words and their signs depend on class and byte order.
        {"rel_table", eb::all_formats(), [](F f) { return applied(with_table(f, Table::rel), both); }},
        {"rela_table", eb::all_formats(), [](F f) { return applied(with_table(f, Table::rela), both); }},
        {"plt_rel_table", {B32}, [](F f) { return applied(with_table(f, Table::plt_rel), both); }},
        // With a symbol type as well: symbol 0's value (0) plus the addend.
        {"plt_rela_table", {L64}, [](F f) {
             eb::Pie p = with_table(f, Table::plt_rela);
             p.plt_relocs.push_back({0x2020, 0, eb::R_X86_64_JUMP_SLOT, 0x99});
             return applied(p, {{0x2000, 1 + bias}, {0x2010, bias - 0x10}, {0x2020, 0x99}});
         }},
        // A REL addend is what the entries before stored there, in the same table or the main one.
        {"rel_entries_on_same_place_chain", {L32}, [](F f) {
             eb::Pie p = with_table(f, Table::rel);
             p.relocs[1].offset = 0x2000;
             return applied(p, {{0x2000, 1 + 2 * bias}});
         }},
        {"plt_rel_sees_main_table_store", {B64}, [](F f) {
             eb::Pie p = with_table(f, Table::rel);
             p.plt_rela = false;
             p.plt_relocs = {{0x2010, 0, RELATIVE}};
             return applied(p, {{0x2000, 1 + bias}, {0x2010, 2 * bias - 0x10}});
         }},
        // The padding between records is zeros: read as an entry, R_X86_64_NONE would fail.
        {"larger_relaent_is_the_stride", {B32}, [](F f) {
             eb::Pie p = with_table(f, Table::rela);
             p.relaent = 20;
             return applied(p, both);
         }},
        {"larger_relent_is_the_stride", {L64}, [](F f) {
             eb::Pie p = with_table(f, Table::rel);
             p.relent = 24;
             return applied(p, both);
         }},
        // Only 6 bytes of the second entry lie inside DT_RELASZ: it is read whole, from its section.
        {"ignore_unaligned_relsz_reads_partial_entry", {L64}, [](F f) {
             eb::Pie p = with_table(f, Table::rela);
             p.dyn_set[eb::DT_RELASZ] = 30;
             return applied(p, both, {"--ignore-unaligned-relsz"});
         }},
        {"ignore_unaligned_relsz_partial_entry_past_section", {B32}, [](F f) {
             eb::Pie p = with_table(f, Table::rela);
             p.relocs.pop_back();
             p.dyn_set[eb::DT_RELASZ] = 18;
             return failing(p, "ERROR: Could not read RELA entry from 0xc (rel 0xc)\n", {"--ignore-unaligned-relsz"});
         }},
        // Entries are read from the section that holds the table's first byte; here it holds one.
        {"table_runs_past_its_section", {L32}, [](F f) {
             eb::Pie p = with_table(f, Table::rela);
             p.dyn_set[eb::DT_RELA] = eb::build_pie(p).reltab_addr + 12;
             return failing(p, "ERROR: Could not read RELA entry from 0x18 (rel 0xc)\n");
         }},
        // Table and entry sizes count only their low 32 bits.
        {"relasz_of_4gib_is_empty", {B64}, [](F f) {
             eb::Pie p = with_table(f, Table::rela);
             p.dyn_set[eb::DT_RELASZ] = uint64_t{1} << 32;
             return applied(p, {});
         }},
        {"relent_above_4gib", {L64}, [](F f) {
             eb::Pie p = with_table(f, Table::rel);
             p.dyn_set[eb::DT_RELENT] = (uint64_t{1} << 32) + 16;
             return applied(p, both);
         }},
        {"rel_addend_in_last_word", {L32, B64}, [](F f) {
             const eb::Pie p = rel_at_last_word(f, 0);
             return applied(p, {{p.relocs[0].offset, 5 + bias}});
         }},
        {"rel_addend_one_byte_past_last_word", {B32, L64}, [](F f) {
             const eb::Pie p = rel_at_last_word(f, 1);
             return failing(p, "ERROR: r_offset " + hex(p.relocs[0].offset) + " is out of bounds\n" +
                                   "ERROR: Could not get addend for REL entry at 0x0 (rel 0x0)\n");
         }},
        {"unsupported_machine", {L64, B32}, [](F f) {
             eb::Pie p = with_table(f, Table::rela);
             p.machine = f.elfclass == 64 ? eb::EM_AARCH64 : eb::EM_MIPS;
             return failing(p, f.elfclass == 64 ? "ERROR: Relocations of machine 183, ELF64, are not supported\n"
                                                : "ERROR: Relocations of machine 8, ELF32, are not supported\n");
         }},
        // An empty table needs no machine record.
        {"unsupported_machine_empty_table", {B64}, [](F f) {
             eb::Pie p = pie(f, eb::EM_AARCH64);
             p.force_reltab = true;
             return applied(p, {});
         }},
    };
    for (const Override &o : overrides)
        r.push_back({o.name, {o.fmt}, [o](F f) {
                         eb::Pie p = with_table(f, o.table);
                         p.dyn_set[o.tag] = o.value;
                         return failing(p, o.err);
                     }});
    return r;
}

class RelocationTables : public testing::TestWithParam<Param> {};
TEST_P(RelocationTables, Run) { run(GetParam().make(GetParam().fmt)); }
INSTANTIATE_TEST_SUITE_P(Rows, RelocationTables, testing::ValuesIn(params(rows())), param_name);

// The pipeline hands over only DT_REL, DT_RELA or DT_PLTREL; any other tag, even one whose low half
// is DT_REL, is refused before a table is looked for.
TEST(RelocationTablesDirect, UnknownTagIsRefused) {
    const eb::BuiltPie b = eb::build_pie(pie(L64));
    kelpx_handle elf{};
    ASSERT_EQ(kelpx_load_memory(&elf, b.bytes.data(), b.bytes.size()), 0);
    context ctx{};
    kelpx_section dynamic_info{};
    ASSERT_EQ(find_dynamic(&ctx, &elf, &dynamic_info), 0);
    const kelpx_dyn entry{0x100000011, b.text_addr};
    testing::internal::CaptureStderr();
    EXPECT_EQ(apply_relocations(&ctx, &elf, &dynamic_info, &entry), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR: Tag 0x100000011 is not a known relocation tag\n");
    kelpx_unload(&elf);
}

}  // namespace
