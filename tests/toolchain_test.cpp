// Static PIEs that clang and a real linker build from tests/data, relocated by the tool and checked
// word by word against the relocation formulas over llvm-readelf's listing; every other byte of the
// image must be the input's section bytes. A row whose tools are missing is skipped.
#include <gtest/gtest.h>

#include <map>

#include "support/pie.h"
#include "support/run.h"

namespace {

struct Row {
    const char *name, *triple, *linker, *sources, *cflags, *ldflags, *options;
    std::string err = "";  // for a refused run, before "ERROR: Failed to apply relocations"
};
const char *const D32 = "-d ext_var=0x90001000 -d ext_table=0x90002000 -d ext_func=0x90003001 0x80000000";
const char *const D64 = "-d ext_var=0xfedc000090001000 -d ext_table=0xfedc000090002000 -d ext_func=0xfedc000090003001 0x100000";
const char *const PTR = "e2e_pointers.c e2e_pointers_lib.c";
const Row rows[] = {
    {"x86_64_pointers", "x86_64-linux-gnu", "ld.lld", PTR, "", "--image-base=0x400000", "0xffffffff80000000"},
    {"x86_64_undefs", "x86_64-linux-gnu", "ld.lld", "e2e_undefs.c", "-DNO_DATA_SLOTS", "-z undefs", D64},
    {"x86_64_data_slots", "x86_64-linux-gnu", "ld.lld", "e2e_undefs.c", "", "-z undefs", D64, "ERROR: R_X86_64_64 is not handled\n"},
    {"x86_64_undefined", "x86_64-linux-gnu", "ld.lld", "e2e_undefs.c", "-DNO_DATA_SLOTS", "-z undefs", "0", "ERROR: Symbol \"ext_var\" is undefined\n"},
    {"i386_pointers", "i386-linux-gnu", "ld.lld", PTR, "", "", "0x12340000"},
    {"i386_undefs", "i386-linux-gnu", "ld.lld", "e2e_undefs.c", "-DNO_PLT_CALL", "-z undefs", D32},
    {"i386_plt_call", "i386-linux-gnu", "ld.lld", "e2e_undefs.c", "", "-z undefs", D32, "ERROR: R_386_JMP_SLOT is not handled\n"},
    {"arm_pointers", "armv7-linux-gnueabihf", "ld.lld", PTR, "-marm", "", "0x100000"},
    {"arm_undefs", "armv7-linux-gnueabihf", "ld.lld", "e2e_undefs.c", "-marm -DNO_PLT_CALL", "-z undefs", D32},
    {"riscv32_pointers", "riscv32-linux-gnu", "ld.lld", PTR, "", "", "0x80000000"},
    {"riscv64_undefs", "riscv64-linux-gnu", "ld.lld", "e2e_undefs.c", "", "-z undefs", D64},
    {"ppc_undefs", "powerpc-linux-gnu", "ld.lld", "e2e_undefs.c", "", "-z undefs", D32},
    {"ppc64le_pointers", "powerpc64le-linux-gnu", "ld.lld", PTR, "", "", "0xffffffff80000000"},
    {"ppc64le_undefs", "powerpc64le-linux-gnu", "ld.lld", "e2e_undefs.c", "", "-z undefs", D64},
};

uint64_t num(std::map<std::string, std::string> &f, const char *key) { return std::stoull(f[key], nullptr, 0); }

class Toolchain : public testing::TestWithParam<Row> {};

TEST_P(Toolchain, RelocatesLikeALoader) {
    const Row &row = GetParam();
    for (const char *tool : {"clang", row.linker, "llvm-readelf"})
        if (testrun::run({tool, "--version"}).status == 127) GTEST_SKIP() << tool << " not found";
    const testrun::TempDir dir;
    const testrun::Result listed = testrun::run({"sh", "-c", std::string("for s in ") + row.sources + "; do clang --target=" + row.triple +
        " -ffreestanding -fno-builtin -nostdlib -fPIE -O1 " + row.cflags + " -c " PIESHIFT_SOURCE_DIR "/tests/data/$s -o $s.o || exit; done && " +
        row.linker + " -static -pie --no-dynamic-linker -z norelro --entry=_start " + row.ldflags + " *.o -o elf && " +
        "llvm-readelf --elf-output-style=LLVM -h -S -l -r --expand-relocs elf"}, dir.path);
    ASSERT_EQ(listed.status, 0) << listed.err;
    // llvm-readelf's LLVM style: "Kind {" opens a block of "Key: value" lines ("Flags [ (0x3)" keeps the number).
    std::vector<std::pair<std::string, std::map<std::string, std::string>>> blocks;
    std::istringstream text(listed.out);
    for (std::string line, key, value, flags; std::getline(text, line);) {
        std::istringstream(line) >> key >> value >> flags;
        if (value == "{") blocks.push_back({key, {}});
        else if (!blocks.empty() && key.back() == ':') blocks.back().second[key.substr(0, key.size() - 1)] = value;
        else if (!blocks.empty() && key == "Flags" && flags.size() > 2) blocks.back().second[key] = flags.substr(1, flags.size() - 2);
    }
    // The image: allocated writable or executable sections, widened to their PT_LOADs' alignment.
    const std::string file = dir.read("elf");
    uint64_t lo = UINT64_MAX, hi = 0, entry = 0, address = std::stoull(testrun::split(row.options).back(), nullptr, 0);
    auto in_image = [](auto &f) { return (num(f, "Flags") & 2) && (num(f, "Flags") & 5) &&
        std::string("SHT_NOBITS SHT_PROGBITS SHT_INIT_ARRAY SHT_FINI_ARRAY SHT_PREINIT_ARRAY").find(f["Type"]) != std::string::npos; };
    for (auto &[kind, f] : blocks)
        if (kind == "Section" && in_image(f)) lo = std::min(lo, num(f, "Address")), hi = std::max(hi, num(f, "Address") + num(f, "Size"));
    auto align = [&](uint64_t addr) {
        for (auto &[kind, f] : blocks)
            if (kind == "ProgramHeader" && f["Type"] == "PT_LOAD" && num(f, "VirtualAddress") <= addr && addr <= num(f, "VirtualAddress") + num(f, "MemSize"))
                return std::max<uint64_t>(num(f, "Alignment"), 1);
        return uint64_t{0};
    };
    ASSERT_NE(align(lo) * align(hi), 0u);
    lo &= ~(align(lo) - 1), hi = (hi + align(hi) - 1) & ~(align(hi) - 1);
    std::string want(hi - lo, '\0');
    for (auto &[kind, f] : blocks)
        if (kind == "Section" && in_image(f) && f["Type"] != "SHT_NOBITS")
            want.replace(num(f, "Address") - lo, num(f, "Size"), file.substr(num(f, "Offset"), num(f, "Size")));
    // Relocated words: a relative one is its addend plus the load bias, any other the user's value plus
    // the addend. A REL addend is the word as linked. A word of the class, stored in its byte order.
    std::map<std::string, uint64_t> defs;
    const std::vector<std::string> options = testrun::split(row.options);
    for (size_t i = 0; i + 1 < options.size(); i += 2)
        defs[options[i + 1].substr(0, options[i + 1].find('='))] = std::stoull(options[i + 1].substr(options[i + 1].find('=') + 1), nullptr, 0);
    const pie::Built linked{{"", file[4] == 2 ? 8u : 4u, file[5] == 2, 0, 0, 0, 0, 0}, want, {}};
    pie::Built image = linked;
    for (auto &[kind, f] : blocks) {
        if (f.count("Entry")) entry = num(f, "Entry");
        if (kind != "Relocation") continue;
        const uint64_t off = num(f, "Offset") - lo;
        uint64_t v = f.count("Addend") ? num(f, "Addend") : linked.get(off, linked.k.w);
        const bool relative = f["Type"].ends_with("_RELATIVE");
        EXPECT_TRUE(relative || defs.count(f["Symbol"]) || !row.err.empty()) << f["Type"] << " names " << f["Symbol"] << ", which the row does not define";
        v += relative ? address - lo : defs[f["Symbol"]];
        image.put(off, linked.k.w, v);
    }
    const testrun::Result r = testrun::run_pieshift(testrun::split("-o img --output-entry entry " + std::string(row.options) + " elf"), dir.path);
    const std::string fail = row.err.empty() ? "" : row.err + "ERROR: Failed to apply relocations\n";
    EXPECT_EQ(std::tuple(r.status, r.out, r.err), std::tuple(fail.empty() ? 0 : 1, "", fail));
    EXPECT_EQ(dir.read("img"), fail.empty() ? image.bytes : "");
    EXPECT_EQ(dir.read("entry"), fail.empty() ? (std::ostringstream() << "0x" << std::hex << entry - lo + address << "\n").str() : "");
}

INSTANTIATE_TEST_SUITE_P(Rows, Toolchain, testing::ValuesIn(rows), [](const auto &info) { return std::string(info.param.name); });

}  // namespace
