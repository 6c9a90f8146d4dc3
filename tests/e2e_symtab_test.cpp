// The dynamic symbol table end to end: binding it through DT_STRTAB, DT_SYMTAB and DT_SYMENT, and
// reading a relocation's symbol and name through the binding. A GLOB_DAT entry with addend 0x10 at
// 0x2000 shows which symbol and name were read.
#include <gtest/gtest.h>

#include "support/e2e_rows.h"

namespace {

using namespace e2e;
const std::string bind_failed = "ERROR: Could not load symtab information\n";
const std::string no_sym_1 = "ERROR: Could not get symbol info for sym 1\n";

eb::Pie glob_dat(F f, std::vector<eb::PieSym> syms, uint64_t index) {
    eb::Pie p = pie(f);
    p.dynsyms = std::move(syms);
    p.relocs = {{0x2000, index, eb::R_X86_64_GLOB_DAT, 0x10}};
    return p;
}

Case bind_failing(const eb::Pie &p, const std::string &err) {
    return Case{eb::build_pie(p).bytes, {}, 1, "", err + bind_failed};
}

// Rows whose one changed dynamic entry makes the binding fail.
struct Bad {
    const char *name;
    F fmt;
    uint64_t tag, value;
    const char *err;
};
const Bad bad[] = {
    {"strtab_in_no_section", L32, eb::DT_STRTAB, nowhere, "ERROR: Section not found for DT_STRTAB at 0x900000\n"},
    {"symtab_in_no_section", B64, eb::DT_SYMTAB, nowhere, "ERROR: Section not found for DT_SYMTAB at 0x900000\n"},
    // Its low half is the right entry size: it must not be taken for it.
    {"syment_with_high_bits", L64, eb::DT_SYMENT, 0x100000018, "ERROR: DT_SYMENT value is too large: 0x100000018\n"},
    // One below the class's record, and zero, which must be refused before anything divides by it.
    {"syment_15", B32, eb::DT_SYMENT, 15, "ERROR: DT_SYMENT value (15) is smaller than expected\n"},
    {"syment_23", L64, eb::DT_SYMENT, 23, "ERROR: DT_SYMENT value (23) is smaller than expected\n"},
    {"syment_0", L32, eb::DT_SYMENT, 0, "ERROR: DT_SYMENT value (0) is smaller than expected\n"},
};

std::vector<Row> rows() {
    std::vector<Row> r = {
        {"no_symtab_tags_bind_silently", {B32}, [](F f) {
             eb::Pie p = pie(f);
             p.symtab = false;
             return applied(p, {});
         }},
        // With the record size as stride, symbol 2 would be read from padding.
        {"syment_32_is_the_stride", {B64}, [](F f) {
             eb::Pie p = glob_dat(f, {sym("a", 1, 0x1100), sym("b", 1, 0x1200)}, 2);
             p.syment = 32;
             return applied(p, {{0x2000, 0x1210 + bias}});
         }},
        // The table starts one entry into its section, so index 1 is the section's second symbol.
        {"symtab_starts_inside_its_section", {L32}, [](F f) {
             eb::Pie p = glob_dat(f, {sym("a", 1, 0x1100), sym("b", 1, 0x1200)}, 1);
             p.dyn_set[eb::DT_SYMTAB] = eb::build_pie(p).dynsym_addr + eb::sym_size(f);
             return applied(p, {{0x2000, 0x1210 + bias}});
         }},
        // Names count from DT_STRTAB, not from the section: st_name 1 is "bar" there.
        {"strtab_starts_inside_its_section", {B64}, [](F f) {
             eb::Pie p = glob_dat(f, {sym("", eb::SHN_UNDEF, 0)}, 1);
             p.dynsyms[0].name_off = 1;
             p.dynstr = eb::Bytes{0, 'f', 'o', 'o', 0, 'b', 'a', 'r', 0};
             p.dyn_set[eb::DT_STRTAB] = eb::build_pie(p).dynstr_addr + 4;
             return applied(p, {{0x2000, 0x5010}}, {"-d", "bar=0x5000"});
         }},
        // A nameless symbol read after a named one: the earlier name must not stay.
        {"symbol_without_name", {L64}, [](F f) {
             eb::Pie p = glob_dat(f, {sym("foo", eb::SHN_UNDEF, 0), sym("", eb::SHN_UNDEF, 0)}, 1);
             p.relocs.push_back({0x2008, 2, eb::R_X86_64_GLOB_DAT, 0});
             return failing(p, "ERROR: Symbol \"\" is undefined\n", {"-d", "foo=0x5000"});
         }},
        // 0x20000001 * 24 wraps 32 bits to 24, symbol 1's offset: the index must be refused instead.
        {"index_above_max_sym_index", {B64}, [](F f) {
             return failing(glob_dat(f, {sym("a", 1, 0x1100)}, 0x20000001),
                            "ERROR: Could not get symbol info for sym 536870913\n");
         }},
        // A name must end inside its section, at an offset that does not wrap 32 bits.
        {"name_without_nul_before_section_end", {L32}, [](F f) {
             eb::Pie p = glob_dat(f, {sym("", 1, 0x1100)}, 1);
             p.dynsyms[0].name_off = 1;
             p.dynstr = eb::Bytes{0, 'f', 'o', 'o'};
             return failing(p, no_sym_1);
         }},
        {"name_offset_past_section_end", {B32}, [](F f) {
             eb::Pie p = glob_dat(f, {sym("", 1, 0x1100)}, 1);
             p.dynsyms[0].name_off = 0x100;
             return failing(p, no_sym_1);
         }},
        // Wrapped, DT_STRTAB + st_name would name the empty string at offset 0.
        {"name_offset_wrapping_32_bits", {L64}, [](F f) {
             eb::Pie p = glob_dat(f, {sym("", 1, 0x1100)}, 1);
             p.dynsyms[0].name_off = 0xffffffff;
             p.dynstr = eb::Bytes{0, 'a', 0};
             p.dyn_set[eb::DT_STRTAB] = eb::build_pie(p).dynstr_addr + 1;
             return failing(p, no_sym_1);
         }},
    };
    for (const Bad &b : bad)
        r.push_back({b.name, {b.fmt}, [b](F f) {
                         eb::Pie p = pie(f);
                         p.dyn_set[b.tag] = b.value;
                         return bind_failing(p, b.err);
                     }});
    // Each way of giving some but not all of the three tags: every missing one is named, in tag order.
    struct Tag {
        uint64_t tag;
        std::string name, missing;
    };
    const Tag tags[] = {{eb::DT_STRTAB, "DT_STRTAB", "ERROR: DT_STRTAB is missing\n"},
                        {eb::DT_SYMTAB, "DT_SYMTAB", "ERROR: DT_SYMTAB is missing\n"},
                        {eb::DT_SYMENT, "DT_SYMENT", "ERROR: DT_SYMENT is missing\n"}};
    for (unsigned present = 1; present < 7; ++present) {
        std::string name = "only";
        for (unsigned t = 0; t < 3; ++t)
            if (present & (1u << t)) name += "_" + tags[t].name;
        r.push_back({name, {eb::all_formats()[present % 4]}, [present, tags](F f) {
                         eb::Pie p = pie(f);
                         std::string err = "ERROR: Incomplete symtab information in DYNAMIC\n";
                         for (unsigned t = 0; t < 3; ++t)
                             if (!(present & (1u << t))) {
                                 p.dyn_set[tags[t].tag] = std::nullopt;
                                 err += tags[t].missing;
                             }
                         return bind_failing(p, err);
                     }});
    }
    return r;
}

class SymtabBinding : public testing::TestWithParam<Param> {};
TEST_P(SymtabBinding, Run) { run(GetParam().make(GetParam().fmt)); }
INSTANTIATE_TEST_SUITE_P(Rows, SymtabBinding, testing::ValuesIn(params(rows())), param_name);

}  // namespace
