// Real linker output against the ELF layer: for each target machine, a static PIE built with clang
// and lld is read through kelpx and through llvm-readelf, and the two listings must agree on
// sections, segments, dynamic entries, relocations and dynamic symbols. The image base has the top
// address bit set, so a layer that sign-extends a 32-bit word or truncates a 64-bit one shows.
#include <gtest/gtest.h>

#include <cctype>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "kelpx.h"
#include "support/run.h"
#include "support/toolchain.h"

namespace {

namespace eb = elfbuild;
using Lines = std::vector<std::string>;

// One line per record, the fields in the same order on both sides.
struct Listing {
    Lines sections, segments, dynamic, relocations, dynsyms;
};

std::string text(const std::string &s) { return s; }
std::string text(uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%" PRIx64, v);
    return buf;
}
template <typename... T>
std::string line(const T &...fields) {
    std::string out;
    ((out += text(fields) + " "), ...);
    return out;
}

// ---- llvm-readelf's LLVM style: "Key: value" lines in "Section {"-like blocks, indented two per level

// The number in the last parentheses ("SHT_RELA (0x4)", "ext_var (3)"), else the whole value.
uint64_t num(const std::string &v) {
    const size_t open = v.rfind('(');
    return std::stoull(open == std::string::npos ? v : v.substr(open + 1), nullptr, 0);
}
std::string name(const std::string &v) { return v.substr(0, v.rfind(" (")); }

// Dynamic values that readelf prints by name; only those lld writes for the targets here.
const std::map<std::string, uint64_t> dyn_value_names = {
    {"RELA", eb::DT_RELA}, {"REL", eb::DT_REL}, {"PIE", 0x08000000 /* DF_1_PIE */}, {"NOTPOT", 2 /* RHF_NOTPOT */}};

Listing read_readelf(const std::string &out) {
    Listing want;
    std::string top;                        // the outermost list being read: "Sections", "DynamicSymbols", ...
    std::map<std::string, std::string> f;  // the fields of the record being read
    uint64_t rel_section = 0;
    std::istringstream in(out);
    for (std::string raw; std::getline(in, raw);) {
        const size_t indent = raw.find_first_not_of(' ');
        if (indent == std::string::npos) {
            continue;
        }
        const std::string l = raw.substr(indent);
        if (indent == 0) {
            top = l.substr(0, l.find(' '));
        } else if (top == "DynamicSection" && l.rfind("0x", 0) == 0) {  // "0x0000000A STRSZ 100 (bytes)"
            std::istringstream words(l);
            std::string tag, tag_name, word;
            words >> tag >> tag_name;
            uint64_t d_un = 0;
            bool understood = true;
            while (words >> word && word != "(bytes)") {
                if (std::isdigit(static_cast<unsigned char>(word[0])) != 0) {
                    d_un = std::stoull(word, nullptr, 0);
                } else if (const auto it = dyn_value_names.find(word); it != dyn_value_names.end()) {
                    d_un |= it->second;  // a flag word lists each set bit
                } else {
                    understood = false;
                }
            }
            EXPECT_TRUE(understood) << "dynamic value not understood: " << l;
            want.dynamic.push_back(line(num(tag), d_un));
        } else if (top == "Relocations" && indent == 2 && l != "}") {  // "Section (5) .rela.dyn {"
            rel_section = num(l.substr(0, l.find(')')));
        } else if (const size_t colon = l.find(": "); colon != std::string::npos) {
            f[l.substr(0, colon)] = l.substr(colon + 2);
        } else if (const size_t list = l.find(" [ "); list != std::string::npos) {  // "Flags [ (0x6)"
            f[l.substr(0, list)] = l.substr(list + 3);
        } else if (l == "}" && !f.empty()) {
            if (top == "Sections") {
                want.sections.push_back(line(name(f["Name"]), num(f["Type"]), num(f["Flags"]) & 0xffffffffu,
                                             num(f["Address"]), num(f["Size"])));
            } else if (top == "ProgramHeaders") {
                want.segments.push_back(
                    line(num(f["Type"]), num(f["VirtualAddress"]), num(f["MemSize"]), num(f["Alignment"])));
            } else if (top == "Relocations") {
                // REL entries print no addend, and the layer reports 0 for them.
                want.relocations.push_back(line(rel_section, num(f["Offset"]), num(f["Type"]), num(f["Symbol"]),
                                                f.count("Addend") != 0 ? num(f["Addend"]) : 0));
            } else if (top == "DynamicSymbols") {
                want.dynsyms.push_back(line(name(f["Name"]), num(f["Value"]), num(f["Section"]),
                                            (num(f["Binding"]) << 4) | num(f["Type"])));
            }
            f.clear();
        }
    }
    return want;
}

// ---- the same through the layer

Listing read_layer(const kelpx_handle *elf) {
    Listing have;
    std::vector<kelpx_section> secs(kelpx_get_num_of_sections(elf));
    for (uint32_t i = 0; i < secs.size(); ++i) {
        kelpx_section &s = secs[i];
        EXPECT_EQ(kelpx_get_section(elf, &s, i), 0) << "section " << i;
        const kelp_string *n = kelpx_section_get_name_str(&s);
        have.sections.push_back(line(n != nullptr && n->text != nullptr ? std::string(n->text, n->length) : "?",
                                     kelpx_section_get_type(&s), kelpx_section_get_flags(&s),
                                     kelpx_section_get_addr(&s), kelpx_section_get_size(&s)));
    }
    for (uint32_t i = 0; i < kelpx_get_num_of_programs(elf); ++i) {
        kelpx_program p{};
        EXPECT_EQ(kelpx_get_program(elf, &p, i), 0) << "segment " << i;
        have.segments.push_back(line(kelpx_program_get_type(&p), kelpx_program_get_vaddr(&p),
                                     kelpx_program_get_memsz(&p), kelpx_program_get_align(&p)));
    }
    // An ELF32 addend may come back zero- or sign-extended; readelf shows its 32 bits.
    const uint64_t addend_mask = elf->elfclass == eb::ELFCLASS32 ? 0xffffffffu : UINT64_MAX;
    for (const kelpx_section &s : secs) {
        const uint32_t type = kelpx_section_get_type(&s);
        const uint64_t size = kelpx_section_get_size(&s);
        if (kelpx_section_is_dynamic(&s) != 0) {  // up to and including DT_NULL, as readelf lists it
            kelpx_dyn d{};
            for (uint32_t i = 0; kelpx_section_get_dyn(&s, &d, i) == 0; ++i) {
                have.dynamic.push_back(line(kelpx_dyn_get_tag(&d), kelpx_dyn_get_val(&d)));
                if (kelpx_dyn_get_tag(&d) == eb::DT_NULL) {
                    break;
                }
            }
        } else if (type == eb::SHT_REL || type == eb::SHT_RELA) {
            const bool rela = type == eb::SHT_RELA;
            const uint32_t ent = rela ? kelpx_get_sizeof_Rela(elf) : kelpx_get_sizeof_Rel(elf);
            for (uint32_t off = 0; uint64_t{off} + ent <= size; off += ent) {
                kelpx_rel r{};
                EXPECT_EQ(rela ? kelpx_section_get_rela_offs(&s, &r, off) : kelpx_section_get_rel_offs(&s, &r, off), 0);
                have.relocations.push_back(line(uint64_t{s.index}, kelpx_rel_get_offset(&r), kelpx_rel_get_r_type(&r),
                                                kelpx_rel_get_r_sym(&r), kelpx_rel_get_addend(&r) & addend_mask));
            }
        } else if (type == eb::SHT_DYNSYM && s.sh_link < secs.size()) {
            const uint32_t ent = kelpx_get_sizeof_Sym(elf);
            for (uint32_t off = 0; uint64_t{off} + ent <= size; off += ent) {
                kelpx_sym y{};
                kelp_string n{};
                EXPECT_EQ(kelpx_section_get_sym_offs(&s, &y, off), 0);
                if (kelp_string_init(&n, 0) == 0) {
                    ADD_FAILURE() << "out of memory";
                    break;
                }
                EXPECT_EQ(kelpx_section_data_readname(&secs[s.sh_link], &n, kelpx_sym_get_name_offs(&y)), 0);
                have.dynsyms.push_back(line(std::string(n.text, n.length), kelpx_sym_get_value(&y),
                                            kelpx_sym_get_shndx(&y), kelpx_sym_get_info(&y)));
                kelp_string_free(&n);
            }
        }
    }
    return have;
}

void expect_same(const char *what, const Lines &have, const Lines &want) {
    EXPECT_EQ(have.size(), want.size()) << "number of " << what;
    for (size_t i = 0; i < have.size() && i < want.size(); ++i) {
        EXPECT_EQ(have[i], want[i]) << what << "[" << i << "]";
    }
}

class ToolchainLayerTest : public testing::TestWithParam<toolchain::Target> {};

TEST_P(ToolchainLayerTest, LayerAgreesWithReadelf) {
    const toolchain::Target &target = GetParam();
    if (std::getenv("PIESHIFT_SKIP_TOOLCHAIN_TESTS") != nullptr) {
        GTEST_SKIP() << "PIESHIFT_SKIP_TOOLCHAIN_TESTS is set";
    }
    toolchain::Tools tools;
    if (auto missing = toolchain::find_tools(&tools)) {
        FAIL() << *missing << " (set PIESHIFT_SKIP_TOOLCHAIN_TESTS to skip these tests)";
    }
    const testrun::TempDir dir;
    const std::string elf_path = dir.file("sample.elf");
    // --export-dynamic adds defined symbols, with high addresses, to the undefined ones in .dynsym.
    const std::string base = target.bits == 64 ? "0xffffffff80000000" : "0x80000000";
    auto error = toolchain::build_static_pie(target, {std::string(PIESHIFT_SOURCE_DIR) + "/tests/data/e2e_undefs.c"},
                                             elf_path, {"-z", "undefs", "--export-dynamic", "--image-base=" + base});
    ASSERT_FALSE(error) << *error;
    const testrun::Result listing =
        testrun::run_tool(tools.readelf, {"--elf-output-style=LLVM", "--sections", "--program-headers",
                                          "--dynamic-table", "--relocations", "--expand-relocs", "--dyn-syms", elf_path});
    ASSERT_EQ(listing.status, 0) << listing.err;
    const Listing want = read_readelf(listing.out);
    // The sample must still give symbol-free and symbol-naming relocations, else little is compared.
    ASSERT_GT(want.relocations.size(), 2u);
    ASSERT_GT(want.dynsyms.size(), 2u);

    kelpx_handle elf{};
    ASSERT_EQ(kelpx_load(&elf, elf_path.c_str()), 0);
    EXPECT_EQ(elf.elfclass, target.bits == 64 ? eb::ELFCLASS64 : eb::ELFCLASS32);
    EXPECT_EQ(elf.msb, target.big_endian ? 1 : 0);
    const Listing have = read_layer(&elf);
    kelpx_unload(&elf);
    expect_same("sections", have.sections, want.sections);
    expect_same("segments", have.segments, want.segments);
    expect_same("dynamic entries", have.dynamic, want.dynamic);
    expect_same("relocations", have.relocations, want.relocations);
    expect_same("dynamic symbols", have.dynsyms, want.dynsyms);
}

INSTANTIATE_TEST_SUITE_P(Targets, ToolchainLayerTest, testing::ValuesIn(toolchain::targets()),
                         [](const testing::TestParamInfo<toolchain::Target> &info) { return info.param.name; });

}  // namespace
