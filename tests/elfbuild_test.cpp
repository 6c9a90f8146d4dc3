// elfbuild and testrun: llvm-readelf, an independent reader, must see in each of the four ELF kinds what
// the builder was asked to write; and the runner must report status and both streams faithfully.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/elfbuild.h"
#include "support/run.h"

namespace {

namespace eb = elfbuild;
using testrun::Result;

Result readelf(const testrun::TempDir &dir, const eb::Bytes &file, const std::vector<std::string> &opts) {
    dir.write("in.elf", file);
    std::vector<std::string> args = opts;
    args.push_back("-W");
    args.push_back(dir.file("in.elf"));
    return testrun::run_tool("llvm-readelf", args);
}

// Fails with the whole output when `needle` is missing.
void expect_has(const std::string &out, const std::string &needle) {
    EXPECT_NE(out.find(needle), std::string::npos) << "missing: " << needle << "\nin:\n" << out;
}

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
    eb::Pie p;
    p.fmt = f;
    p.machine = is64 ? eb::EM_X86_64 : eb::EM_386;
    p.text = eb::Bytes(0x40, 0x90);
    p.data = eb::Bytes(0x18, 0);
    p.bss_size = 0x30;
    p.dynsyms = {{"foo", eb::st_info(eb::STB_GLOBAL, eb::STT_FUNC), eb::pie_shndx_text, 0x1010, 4},
                 {"bar", eb::st_info(eb::STB_WEAK, eb::STT_OBJECT), eb::SHN_UNDEF, 0}};
    const uint32_t relative = is64 ? eb::R_X86_64_RELATIVE : eb::R_386_RELATIVE;
    const uint32_t abs = is64 ? eb::R_X86_64_64 : eb::R_386_32;
    const uint32_t jump = is64 ? eb::R_X86_64_JUMP_SLOT : eb::R_386_JMP_SLOT;
    p.relocs = {{0x2000, 0, relative, 0x1010}, {0x2008, 1, abs, 4}};
    p.plt_relocs = {{0x2010, 2, jump}};
    p.plt_rela = false;
    p.needed = {"libc.so"};
    const eb::BuiltPie b = eb::build_pie(p);
    ASSERT_EQ(b.data_addr, 0x2000u);
    EXPECT_EQ(b.vspace_start, 0x1000u);
    EXPECT_EQ(b.vspace_end, 0x3000u);
    const eb::Bytes img = b.image();
    ASSERT_EQ(img.size(), 0x2000u);
    EXPECT_EQ(img[0], 0x90);
    EXPECT_EQ(img[0x40], 0);

    testrun::TempDir dir;
    const Result r = readelf(dir, b.bytes, {"-h", "-S", "-l", "-d", "-r", "--dyn-syms"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");  // no warning: every table is where its headers say
    expect_has(r.out, is64 ? "ELF64" : "ELF32");
    expect_has(r.out, f.msb ? "big endian" : "little endian");
    expect_has(r.out, "Number of section headers:         10");
    for (const char *s : {".text             PROGBITS", ".data             PROGBITS", ".bss              NOBITS",
                          ".dynsym           DYNSYM", ".dynstr           STRTAB", ".rela.dyn         RELA",
                          ".rel.plt          REL", ".dynamic          DYNAMIC", ".shstrtab         STRTAB"})
        expect_has(r.out, s);
    expect_has(r.out, "   01     .data .bss \n");
    expect_has(r.out, "   02     .dynsym .dynstr .rela.dyn .rel.plt .dynamic \n");
    expect_has(r.out, "(NEEDED)   Shared library: [libc.so]");
    expect_has(r.out, "(RELASZ)   " + std::to_string(2 * eb::rela_size(f)) + " (bytes)");
    expect_has(r.out, "(PLTREL)   REL");
    expect_has(r.out, "(RELENT)   " + std::to_string(eb::rel_size(f)) + " (bytes)");
    expect_has(r.out, "(JMPREL)   0x" + hex(b.plttab_addr, 1));
    expect_has(r.out, hex(0x2008, aw) + "  " + hex(uint64_t{1} << (is64 ? 32 : 8) | abs, aw));
    expect_has(r.out, is64 ? "R_X86_64_JUMP_SLOT" : "R_386_JUMP_SLOT");
    expect_has(r.out, "bar");
    expect_has(r.out, hex(0x1010, aw) + "     4 FUNC    GLOBAL DEFAULT     1 foo");
}

// Extended numbering: the real counts move into section 0.
TEST_P(FourKinds, ExtendedNumbering) {
    eb::Elf e;
    e.fmt = GetParam();
    e.extended_numbering = true;
    e.phnum = 5;
    e.e_phnum = 0;  // llvm-readelf 14 does not resolve PN_XNUM and would look for 0xffff program headers
    e.sections = {{.name = ".text", .flags = eb::SHF_ALLOC | eb::SHF_EXECINSTR, .data = {1}}};
    testrun::TempDir dir;
    const Result r = readelf(dir, eb::build(e), {"-h", "-S"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    expect_has(r.out, "Number of section headers:         0 (3)");
    expect_has(r.out, "Section header string table index: 65535 (2)");
    expect_has(r.out, "  [ 0]                   NULL            " + hex(0, GetParam().elfclass == 64 ? 16 : 8) +
                          " 000000 000003 00      2   5  0");
}

// Unset segment offsets and sizes follow the sections that lie in the segment.
TEST_P(FourKinds, SegmentsDeriveFromSections) {
    const eb::Format f = GetParam();
    eb::Elf e;
    e.fmt = f;
    e.sections = {{.name = ".text",
                   .flags = eb::SHF_ALLOC | eb::SHF_EXECINSTR,
                   .addr = 0x1000,
                   .data = eb::Bytes(0x20, 0xcc),
                   .addralign = 16},
                  {.name = ".data", .flags = eb::SHF_ALLOC | eb::SHF_WRITE, .addr = 0x1030, .data = eb::Bytes(8, 1)}};
    e.segments = {{.type = eb::PT_LOAD, .flags = eb::PF_R | eb::PF_X, .vaddr = 0x1000, .memsz = 0x40},
                  {.type = eb::PT_NOTE, .vaddr = 0x5000}};
    eb::Layout lay;
    const eb::Bytes bytes = eb::build(e, &lay);
    testrun::TempDir dir;
    const Result r = readelf(dir, bytes, {"-l"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const bool is64 = f.elfclass == 64;
    const int aw = is64 ? 16 : 8, sw = is64 ? 6 : 5;
    // .data follows .text directly in the file, not at its address distance: .text, the lowest, anchors.
    ASSERT_EQ(lay.sh_offset[2], lay.sh_offset[1] + 0x20);
    expect_has(r.out, "LOAD           0x" + hex(lay.sh_offset[1], 6) + " 0x" + hex(0x1000, aw) + " 0x" +
                          hex(0x1000, aw) + " 0x" + hex(0x28, sw) + " 0x" + hex(0x40, sw) + " R E 0x1000");
    expect_has(r.out, "NOTE           0x000000 0x" + hex(0x5000, aw));
    expect_has(r.out, "   00     .text .data \n");
}

INSTANTIATE_TEST_SUITE_P(All, FourKinds, testing::ValuesIn(eb::all_formats()),
                         [](const testing::TestParamInfo<eb::Format> &i) { return eb::format_name(i.param); });

// Overrides reach the bytes even when they make the file nonsense.
TEST(ElfBuild, MalformedFieldsLandVerbatim) {
    eb::Elf e;
    e.fmt = {32, true};
    e.shoff = 0xfffffff0;
    e.shnum = 0x1234;
    e.ident_data = 7;
    e.sections = {{.name = ".bad", .data = {1, 2, 3}, .size = 0xffffffff, .offset = 0xfffffffd, .name_off = 0x9999}};
    e.file_size = 0x300;
    eb::Layout lay;
    const eb::Bytes b = eb::build(e, &lay);
    ASSERT_EQ(b.size(), 0x300u);
    EXPECT_EQ(b[5], 7);
    EXPECT_EQ(eb::get(b, 32, 4, true), 0xfffffff0u);  // e_shoff
    EXPECT_EQ(eb::get(b, 48, 2, true), 0x1234u);      // e_shnum
    const size_t sh1 = static_cast<size_t>(lay.shoff) + eb::shdr_size(e.fmt);
    EXPECT_EQ(eb::get(b, sh1, 4, true), 0x9999u);           // sh_name
    EXPECT_EQ(eb::get(b, sh1 + 16, 4, true), 0xfffffffdu);  // sh_offset
    EXPECT_EQ(eb::get(b, sh1 + 20, 4, true), 0xffffffffu);  // sh_size
}

TEST(ElfBuild, RelocInfoPerClass) {
    const eb::Bytes r32 = eb::rel({32, true}, {{0x10, 0x123456, 0x1ff}});
    EXPECT_EQ(eb::get(r32, 4, 4, true), 0x123456ffu);  // the type keeps its low 8 bits
    const eb::Bytes r64 = eb::rela({64, false}, {{0x10, 3, 1027, 5}}, 32);
    ASSERT_EQ(r64.size(), 32u);
    EXPECT_EQ(eb::get(r64, 8, 8, false), 0x0000000300000403u);
    EXPECT_EQ(eb::get(r64, 16, 8, false), 5u);
}

struct RunRow {
    const char *name;
    const char *script;
    int status;
    size_t out_size, err_size;
};

class Runner : public testing::TestWithParam<RunRow> {};

TEST_P(Runner, ReportsStatusAndBothStreams) {
    const RunRow &row = GetParam();
    const Result r = testrun::run_tool("bash", {"-c", row.script});
    EXPECT_EQ(r.status, row.status);
    EXPECT_EQ(r.out.size(), row.out_size);
    EXPECT_EQ(r.err.size(), row.err_size);
    EXPECT_FALSE(r.timed_out);
}

INSTANTIATE_TEST_SUITE_P(All, Runner,
                         testing::Values(RunRow{"minus_one_is_255", "exit -1", 255, 0, 0},
                                         RunRow{"signal_is_128_plus", "kill -SEGV $$", 128 + 11, 0, 0},
                                         // Far more than a pipe holds, on both streams at once: must not deadlock.
                                         RunRow{"large_both_streams",
                                                "head -c 1000000 /dev/zero; head -c 700000 /dev/zero >&2; exit 3", 3,
                                                1000000, 700000},
                                         RunRow{"stdin_is_at_eof", "cat; echo -n x", 0, 1, 0}),
                         [](const testing::TestParamInfo<RunRow> &i) { return std::string(i.param.name); });

TEST(Runner, MissingProgramIs127) {
    const Result r = testrun::run_tool("/nonexistent/tool", {});
    EXPECT_EQ(r.status, 127);
    EXPECT_NE(r.err.find("/nonexistent/tool"), std::string::npos);
}

}  // namespace
