// The dynamic symbol table end to end: binding it through DT_STRTAB, DT_SYMTAB and DT_SYMENT, and
// reading a relocation's symbol and name through the binding. Inputs are x86-64 static PIEs; a
// GLOB_DAT entry with addend 0x10 at 0x2000 shows which symbol and name were read.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "support/elfbuild.h"
#include "support/run.h"

namespace {

namespace eb = elfbuild;

// With .text at 0x1000, the image's first byte, every address moves by 0x7ffff000.
constexpr uint64_t target = 0x80000000;
constexpr uint64_t bias = target - 0x1000;
constexpr uint64_t nowhere = 0x900000;  // an address that no section holds
const std::string bind_failed = "ERROR: Could not load symtab information\n";
const std::string reloc_failed = "ERROR: Failed to apply relocations\n";

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
    std::string err = {};
    std::optional<eb::Bytes> image = {};
};

eb::Pie pie(eb::Format f) {
    eb::Pie p;
    p.fmt = f;
    p.text = eb::Bytes(0x40, 0x90);
    p.data = eb::Bytes(0x40, 0);
    return p;
}

eb::PieSym global(const char *name, uint16_t shndx, uint64_t value) {
    return {name, eb::st_info(eb::STB_GLOBAL, eb::STT_NOTYPE), shndx, value};
}

// An input whose one entry is a GLOB_DAT against symbol `index` of `syms`.
eb::Pie glob_dat(eb::Format f, std::vector<eb::PieSym> syms, uint64_t index) {
    eb::Pie p = pie(f);
    p.dynsyms = std::move(syms);
    p.relocs = {{0x2000, index, eb::R_X86_64_GLOB_DAT, 0x10}};
    return p;
}

Case stored(const eb::BuiltPie &b, uint64_t value, std::vector<std::string> opts = {}) {
    eb::Bytes img = b.image();
    eb::put(img, b.image_off(0x2000), eb::word_size(b.fmt), value, b.fmt.msb);
    return Case{b.bytes, std::move(opts), 0, "", img};
}

Case bind_failing(const eb::BuiltPie &b, const std::string &err) {
    return Case{b.bytes, {}, 1, err + bind_failed, std::nullopt};
}

Case reloc_failing(const eb::BuiltPie &b, const std::string &err, std::vector<std::string> opts = {}) {
    return Case{b.bytes, std::move(opts), 1, err + reloc_failed, std::nullopt};
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
const std::vector<eb::Format> two = {{64, false}, {32, true}};
const std::vector<eb::Format> elf64 = {{64, false}, {64, true}};

// Each way of giving some but not all of the three tags: the missing ones are listed in tag order.
void add_missing_tag_rows(std::vector<Row> &rows) {
    struct Tag {
        uint64_t tag;
        const char *name;
        const char *missing;
    };
    const std::vector<Tag> tags = {{eb::DT_STRTAB, "DT_STRTAB", "ERROR: DT_STRTAB is missing\n"},
                                   {eb::DT_SYMTAB, "DT_SYMTAB", "ERROR: DT_SYMTAB is missing\n"},
                                   {eb::DT_SYMENT, "DT_SYMENT", "ERROR: DT_SYMENT is missing\n"}};
    for (unsigned present = 1; present < 7; ++present) {
        std::string name = "only";
        for (unsigned t = 0; t < 3; ++t)
            if (present & (1u << t)) name += std::string("_") + tags[t].name;
        rows.push_back({name, two, [present, tags](eb::Format f) {
                            eb::Pie p = pie(f);
                            std::string err = "ERROR: Incomplete symtab information in DYNAMIC\n";
                            for (unsigned t = 0; t < 3; ++t) {
                                if (present & (1u << t)) continue;
                                p.dyn_set[tags[t].tag] = std::nullopt;
                                err += tags[t].missing;
                            }
                            return bind_failing(eb::build_pie(p), err);
                        }});
    }
}

std::vector<Row> make_rows() {
    std::vector<Row> r = {
        {"no_symtab_tags_bind_silently", two,
         [](eb::Format f) {
             eb::Pie p = pie(f);
             p.symtab = false;
             const eb::BuiltPie b = eb::build_pie(p);
             return Case{b.bytes, {}, 0, "", b.image()};
         }},
        {"strtab_in_no_section", two,
         [](eb::Format f) {
             eb::Pie p = pie(f);
             p.dyn_set[eb::DT_STRTAB] = nowhere;
             return bind_failing(eb::build_pie(p), "ERROR: Section not found for DT_STRTAB at 0x900000\n");
         }},
        // DT_STRTAB is judged first.
        {"strtab_and_symtab_in_no_section", two,
         [](eb::Format f) {
             eb::Pie p = pie(f);
             p.dyn_set[eb::DT_STRTAB] = nowhere;
             p.dyn_set[eb::DT_SYMTAB] = nowhere + 0x100;
             return bind_failing(eb::build_pie(p), "ERROR: Section not found for DT_STRTAB at 0x900000\n");
         }},
        {"symtab_in_no_section", two,
         [](eb::Format f) {
             eb::Pie p = pie(f);
             p.dyn_set[eb::DT_SYMTAB] = nowhere;
             return bind_failing(eb::build_pie(p), "ERROR: Section not found for DT_SYMTAB at 0x900000\n");
         }},
        {"syment_of_4gib_too_large", elf64,
         [](eb::Format f) {
             eb::Pie p = pie(f);
             p.dyn_set[eb::DT_SYMENT] = uint64_t{1} << 32;
             return bind_failing(eb::build_pie(p), "ERROR: DT_SYMENT value is too large: 0x100000000\n");
         }},
        // Its low half is the right entry size: it must not be taken for it.
        {"syment_with_high_bits_too_large", elf64,
         [](eb::Format f) {
             eb::Pie p = pie(f);
             p.dyn_set[eb::DT_SYMENT] = (uint64_t{1} << 32) + eb::sym_size(f);
             return bind_failing(eb::build_pie(p), "ERROR: DT_SYMENT value is too large: 0x100000018\n");
         }},
        {"syment_8_on_elf64", elf64,
         [](eb::Format f) {
             eb::Pie p = pie(f);
             p.dyn_set[eb::DT_SYMENT] = 8;
             return bind_failing(eb::build_pie(p), "ERROR: DT_SYMENT value (8) is smaller than expected\n");
         }},
        {"syment_15_on_elf32", {{32, false}, {32, true}},
         [](eb::Format f) {
             eb::Pie p = pie(f);
             p.dyn_set[eb::DT_SYMENT] = 15;
             return bind_failing(eb::build_pie(p), "ERROR: DT_SYMENT value (15) is smaller than expected\n");
         }},
        {"syment_0", two,
         [](eb::Format f) {
             eb::Pie p = pie(f);
             p.dyn_set[eb::DT_SYMENT] = 0;
             return bind_failing(eb::build_pie(p), "ERROR: DT_SYMENT value (0) is smaller than expected\n");
         }},
        // With the record size as stride, symbol 2 would be read from padding.
        {"syment_32_is_the_stride", all,
         [](eb::Format f) {
             eb::Pie p = glob_dat(f, {global("a", 1, 0x1100), global("b", 1, 0x1200)}, 2);
             p.syment = 32;
             return stored(eb::build_pie(p), 0x1210 + bias);
         }},
        // The table starts one entry into its section, so index 1 is the section's second symbol.
        {"symtab_starts_inside_its_section", two,
         [](eb::Format f) {
             eb::Pie p = glob_dat(f, {global("a", 1, 0x1100), global("b", 1, 0x1200)}, 1);
             p.dyn_set[eb::DT_SYMTAB] = eb::build_pie(p).dynsym_addr + eb::sym_size(f);
             return stored(eb::build_pie(p), 0x1210 + bias);
         }},
        // Names count from DT_STRTAB, not from the section: st_name 1 is "bar" there.
        {"strtab_starts_inside_its_section", two,
         [](eb::Format f) {
             eb::Pie p = glob_dat(f, {global("", eb::SHN_UNDEF, 0)}, 1);
             p.dynsyms[0].name_off = 1;
             p.dynstr = eb::Bytes{0, 'f', 'o', 'o', 0, 'b', 'a', 'r', 0};
             p.dyn_set[eb::DT_STRTAB] = eb::build_pie(p).dynstr_addr + 4;
             return stored(eb::build_pie(p), 0x5010, {"-d", "bar=0x5000"});
         }},
        {"defined_symbol_without_name", two,
         [](eb::Format f) {
             eb::Pie p = glob_dat(f, {global("", 1, 0x1100)}, 1);
             return stored(eb::build_pie(p), 0x1110 + bias);
         }},
        {"undefined_symbol_without_name", two,
         [](eb::Format f) {
             return reloc_failing(eb::build_pie(glob_dat(f, {global("", eb::SHN_UNDEF, 0)}, 1)),
                                  "ERROR: Symbol \"\" is undefined\n");
         }},
        // 0x20000001 * 24 wraps 32 bits to 24, symbol 1's offset: the index must be refused instead.
        {"index_above_max_sym_index", elf64,
         [](eb::Format f) {
             return reloc_failing(eb::build_pie(glob_dat(f, {global("a", 1, 0x1100)}, 0x20000001)),
                                  "ERROR: Could not get symbol info for sym 536870913\n");
         }},
        {"name_without_nul_before_section_end", two,
         [](eb::Format f) {
             eb::Pie p = glob_dat(f, {global("", 1, 0x1100)}, 1);
             p.dynsyms[0].name_off = 1;
             p.dynstr = eb::Bytes{0, 'f', 'o', 'o'};
             return reloc_failing(eb::build_pie(p), "ERROR: Could not get symbol info for sym 1\n");
         }},
        {"name_offset_past_section_end", two,
         [](eb::Format f) {
             eb::Pie p = glob_dat(f, {global("", 1, 0x1100)}, 1);
             p.dynsyms[0].name_off = 0x100;
             return reloc_failing(eb::build_pie(p), "ERROR: Could not get symbol info for sym 1\n");
         }},
        // DT_STRTAB + st_name passes 2^32; wrapped, it would name the empty string at offset 0.
        {"name_offset_wrapping_32_bits", two,
         [](eb::Format f) {
             eb::Pie p = glob_dat(f, {global("", 1, 0x1100)}, 1);
             p.dynsyms[0].name_off = 0xffffffff;
             p.dynstr = eb::Bytes{0, 'a', 0};
             p.dyn_set[eb::DT_STRTAB] = eb::build_pie(p).dynstr_addr + 1;
             return reloc_failing(eb::build_pie(p), "ERROR: Could not get symbol info for sym 1\n");
         }},
    };
    add_missing_tag_rows(r);
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

class SymtabBinding : public testing::TestWithParam<Param> {};

TEST_P(SymtabBinding, Run) {
    const Case c = GetParam().row->make(GetParam().fmt);
    testrun::TempDir dir;
    dir.write("in.elf", c.input);
    std::vector<std::string> args = c.opts;
    args.push_back(hex(target));
    args.push_back("in.elf");
    const testrun::Result r = testrun::run_pieshift(args, dir.path);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err);
    if (c.image) {
        ASSERT_TRUE(dir.exists("in.elf.out"));
        EXPECT_TRUE(same_bytes(dir.read("in.elf.out"), *c.image));
    } else {
        EXPECT_FALSE(dir.exists("in.elf.out"));
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, SymtabBinding, testing::ValuesIn(params()),
                         [](const testing::TestParamInfo<Param> &info) {
                             return info.param.row->name + "_" + eb::format_name(info.param.fmt);
                         });

}  // namespace
