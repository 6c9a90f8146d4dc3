// elfbuild and testrun against independent readers: llvm-readelf must see in each of the four ELF kinds
// the PIE the builder was asked to write, and the runner must report a status as a shell does.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/elfbuild.h"
#include "support/run.h"

namespace {

namespace eb = elfbuild;

std::string hex(uint64_t v, int width) {
    char buf[32];
    snprintf(buf, sizeof buf, "%0*llx", width, static_cast<unsigned long long>(v));
    return buf;
}

class FourKinds : public testing::TestWithParam<eb::Format> {};

TEST_P(FourKinds, PieReadsBackThroughReadelf) {
    const eb::Format f = GetParam();
    const bool is64 = f.elfclass == 64;
    const int aw = is64 ? 16 : 8;  // readelf's address column width
    const uint32_t abs = is64 ? eb::R_X86_64_64 : eb::R_386_32;
    const eb::BuiltPie b = eb::build_pie(
        {.fmt = f, .machine = is64 ? eb::EM_X86_64 : eb::EM_386, .text = eb::Bytes(0x40, 0x90),
         .data = eb::Bytes(0x18, 0), .bss_size = 0x30,
         .dynsyms = {{"foo", eb::st_info(eb::STB_GLOBAL, eb::STT_FUNC), eb::pie_shndx_text, 0x1010, 4},
                     {"bar", eb::st_info(eb::STB_WEAK, eb::STT_OBJECT), eb::SHN_UNDEF, 0}},
         .needed = {"libc.so"},
         .relocs = {{0x2000, 0, is64 ? eb::R_X86_64_RELATIVE : eb::R_386_RELATIVE, 0x1010}, {0x2008, 1, abs, 4}},
         .plt_relocs = {{0x2010, 2, is64 ? eb::R_X86_64_JUMP_SLOT : eb::R_386_JMP_SLOT}},
         .plt_rela = false});
    const eb::Bytes img = b.image();
    EXPECT_EQ(b.vspace_start, 0x1000u);
    ASSERT_EQ(img.size(), 0x2000u);  // .text at 0x1000, .data and .bss at 0x2000
    EXPECT_EQ(img[0], 0x90);
    EXPECT_EQ(img[0x40], 0);

    testrun::TempDir dir;
    dir.write("in.elf", b.bytes);
    const testrun::Result r =
        testrun::run_tool("llvm-readelf", {"-h", "-S", "-l", "-d", "-r", "--dyn-syms", "-W", dir.file("in.elf")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");  // no warning: every table is where its headers say
    const std::vector<std::string> wanted = {
        is64 ? "ELF64" : "ELF32", f.msb ? "big endian" : "little endian", "Number of section headers:         10",
        ".text             PROGBITS", ".data             PROGBITS", ".bss              NOBITS",
        ".dynsym           DYNSYM", ".dynstr           STRTAB", ".rela.dyn         RELA", ".rel.plt          REL",
        ".dynamic          DYNAMIC", ".shstrtab         STRTAB", "   01     .data .bss \n",
        "   02     .dynsym .dynstr .rela.dyn .rel.plt .dynamic \n", "(NEEDED)   Shared library: [libc.so]",
        "(RELASZ)   " + std::to_string(2 * eb::rela_size(f)) + " (bytes)", "(PLTREL)   REL",
        "(RELENT)   " + std::to_string(eb::rel_size(f)) + " (bytes)", "(JMPREL)   0x" + hex(b.plttab_addr, 1),
        hex(0x2008, aw) + "  " + hex(uint64_t{1} << (is64 ? 32 : 8) | abs, aw),
        is64 ? "R_X86_64_JUMP_SLOT" : "R_386_JUMP_SLOT", "OBJECT  WEAK   DEFAULT   UND bar",
        hex(0x1010, aw) + "     4 FUNC    GLOBAL DEFAULT     1 foo"};
    for (const std::string &s : wanted) {
        EXPECT_NE(r.out.find(s), std::string::npos) << "missing: " << s << "\nin:\n" << r.out;
    }
}

INSTANTIATE_TEST_SUITE_P(All, FourKinds, testing::ValuesIn(eb::all_formats()),
                         [](const testing::TestParamInfo<eb::Format> &i) { return eb::format_name(i.param); });

// The end-to-end rows expect 255 for exit(-1), as a shell shows it.
TEST(Runner, MinusOneIs255) { EXPECT_EQ(testrun::run_tool("bash", {"-c", "exit -1"}).status, 255); }

}  // namespace
