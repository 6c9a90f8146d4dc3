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
const char *const D64 = "-d ext_var=0xfedc000090001000 -d ext_table=0xfedc000090002000 -d ext_func=0xfedc000090003001 0xffffffff80000000";
const char *const PTR = "e2e_pointers.c e2e_pointers_lib.c", *const UND = "e2e_undefs.c";
// GNU ld resolves undefined references itself under -z undefs, leaving NONE entries; -E keeps them for -d.
const Row rows[] = {
    {"x86_64_pointers", "x86_64-linux-gnu", "ld.lld", PTR, "", "", "--include-readonly 0xffffffff80000000"},
    {"x86_64_undefs", "x86_64-linux-gnu", "ld.lld", UND, "", "-z undefs", D64},
    {"x86_64_undefined", "x86_64-linux-gnu", "ld.lld", UND, "", "-z undefs", "0", "ERROR: Symbol \"ext_var\" is undefined\n"},
    {"x86_64_gnu_pointers", "x86_64-linux-gnu", "x86_64-linux-gnu-ld", PTR, "", "", "--include-readonly 0x80000000"},
    {"x86_64_gnu_undefs", "x86_64-linux-gnu", "x86_64-linux-gnu-ld", UND, "", "-z undefs -E", D64},
    {"i386_pointers", "i386-linux-gnu", "ld.lld", PTR, "", "", "--include-readonly 0x12340000"},
    {"i386_undefs", "i386-linux-gnu", "ld.lld", UND, "", "-z undefs", D32},
    {"i386_gnu_pointers", "i386-linux-gnu", "i686-linux-gnu-ld", PTR, "", "", "--include-readonly 0x12340000"},
    {"i386_gnu_undefs", "i386-linux-gnu", "i686-linux-gnu-ld", UND, "", "-z undefs -E", D32},
    {"arm_pointers", "armv7-linux-gnueabihf", "ld.lld", PTR, "-marm", "", "--include-readonly 0x80000000"},
    {"arm_undefs", "armv7-linux-gnueabihf", "ld.lld", UND, "-marm", "-z undefs", D32},
    {"arm_gnu_pointers", "armv7-linux-gnueabihf", "arm-linux-gnueabihf-ld", PTR, "-marm", "", "--include-readonly 0x80000000"},
    {"arm_gnu_undefs", "armv7-linux-gnueabihf", "arm-linux-gnueabihf-ld", UND, "-marm", "-z undefs -E", D32},
    {"arm_gnu_resolved", "armv7-linux-gnueabihf", "arm-linux-gnueabihf-ld", UND, "-marm", "-z undefs", "0x80000000"},
    {"aarch64_pointers", "aarch64-linux-gnu", "ld.lld", PTR, "", "", "--include-readonly 0xffffffff80000000"},
    {"aarch64_undefs", "aarch64-linux-gnu", "ld.lld", UND, "", "-z undefs", D64},
    {"aarch64_gnu_pointers", "aarch64-linux-gnu", "aarch64-linux-gnu-ld", PTR, "", "", "--include-readonly 0xffffffff80000000"},
    {"aarch64_gnu_undefs", "aarch64-linux-gnu", "aarch64-linux-gnu-ld", UND, "", "-z undefs -E", D64},
    {"aarch64_gnu_resolved", "aarch64-linux-gnu", "aarch64-linux-gnu-ld", UND, "", "-z undefs", "0x80000000"},
    {"riscv32_pointers", "riscv32-linux-gnu", "ld.lld", PTR, "", "", "--include-readonly 0x80000000"},
    {"riscv64_pointers", "riscv64-linux-gnu", "ld.lld", PTR, "", "", "--include-readonly 0x80000000"},
    {"riscv64_undefs", "riscv64-linux-gnu", "ld.lld", UND, "", "-z undefs", D64},
    {"riscv64_gnu_pointers", "riscv64-linux-gnu", "riscv64-linux-gnu-ld", PTR, "", "", "--include-readonly 0x80000000"},
    {"riscv64_gnu_undefs", "riscv64-linux-gnu", "riscv64-linux-gnu-ld", UND, "", "-z undefs -E", D64},
    {"ppc_pointers", "powerpc-linux-gnu", "ld.lld", PTR, "", "", "--include-readonly 0x80000000"},
    {"ppc_undefs", "powerpc-linux-gnu", "ld.lld", UND, "", "-z undefs", D32},
    {"ppc_gnu_pointers", "powerpc-linux-gnu", "powerpc-linux-gnu-ld", PTR, "", "", "--include-readonly 0x80000000"},
    {"ppc_gnu_undefs", "powerpc-linux-gnu", "powerpc-linux-gnu-ld", UND, "", "-z undefs -E", D32},
    {"ppc64le_pointers", "powerpc64le-linux-gnu", "ld.lld", PTR, "", "", "--include-readonly 0xffffffff80000000"},
    {"ppc64le_undefs", "powerpc64le-linux-gnu", "ld.lld", UND, "", "-z undefs", D64},
    {"ppc64le_gnu_pointers", "powerpc64le-linux-gnu", "powerpc64le-linux-gnu-ld", PTR, "", "", "--include-readonly 0xffffffff80000000"},
    {"ppc64le_gnu_undefs", "powerpc64le-linux-gnu", "powerpc64le-linux-gnu-ld", UND, "", "-z undefs -E", D64},
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
        row.linker + " -static -pie --no-dynamic-linker -z norelro --entry=_start " + row.ldflags +
        (std::string(row.linker) == "ld.lld" ? " --image-base" : " -Ttext-segment") + "=0x400000 *.o -o elf && " +
        "llvm-readelf --elf-output-style=LLVM -h -S -l -r --dyn-syms --expand-relocs elf"}, dir.path);
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
    // The image: allocated writable or executable sections (any, with --include-readonly), widened to
    // their PT_LOADs' alignment.
    const std::string file = dir.read("elf");
    uint64_t lo = UINT64_MAX, hi = 0, entry = 0;
    const bool readonly = std::string(row.options).starts_with("--include-readonly");
    auto in_image = [&](auto &f) { return (num(f, "Flags") & 2) && (readonly || (num(f, "Flags") & 5)) &&
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
    // Relocated words: none for a NONE entry; a relative one is its addend plus the load bias, any other
    // the symbol's value (the user's, else the input's own moved by the bias) plus the addend, but a REL
    // PLT slot (a lazy-binding stub's address) is the value alone. A REL addend is the word as linked.
    // A word of the class, stored in its byte order.
    std::map<std::string, uint64_t> defs, own;
    std::vector<std::string> options = testrun::split(row.options);
    for (size_t i = 0; i + 1 < options.size(); i++)
        if (options[i] == "-d") defs[options[i + 1].substr(0, options[i + 1].find('='))] = std::stoull(options[i + 1].substr(options[i + 1].find('=') + 1), nullptr, 0);
    const pie::Built linked{{"", file[4] == 2 ? 8u : 4u, file[5] == 2, 0, 0, 0, 0, 0}, want, {}};
    for (auto &[kind, f] : blocks) {
        if (f.count("Entry")) entry = num(f, "Entry");
        if (kind == "Symbol" && f["Section"] != "Undefined") own[f["Name"]] = num(f, "Value");
    }
    // At the row's address and at one below the link address (0x400000).
    for (const uint64_t address : {uint64_t{std::stoull(options.back(), nullptr, 0)}, uint64_t{0x100000}}) {
        pie::Built image = linked;
        for (auto &[kind, f] : blocks) {
            if (kind != "Relocation" || f["Type"].ends_with("_NONE")) continue;
            const uint64_t off = num(f, "Offset") - lo;
            const bool relative = f["Type"].ends_with("_RELATIVE"), slot = f["Type"].ends_with("_SLOT") && !f.count("Addend");
            uint64_t v = f.count("Addend") ? num(f, "Addend") : slot ? 0 : linked.get(off, linked.k.w);
            const std::string &sym = f["Symbol"];
            EXPECT_TRUE(relative || defs.count(sym) || own.count(sym) || !row.err.empty()) << f["Type"] << " names " << sym << ", which nothing defines";
            image.put(off, linked.k.w, v + (relative ? address - lo : defs.count(sym) ? defs[sym] : own[sym] + address - lo));
        }
        options.back() = (std::ostringstream() << "0x" << std::hex << address).str();
        std::vector<std::string> args = {"-o", "img", "--output-entry", "entry"};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back("elf");
        const testrun::Result r = testrun::run_pieshift(args, dir.path);
        const std::string fail = row.err.empty() ? "" : row.err + "ERROR: Failed to apply relocations\n";
        EXPECT_EQ(std::tuple(r.status, r.out, r.err), std::tuple(fail.empty() ? 0 : 1, "", fail)) << options.back();
        EXPECT_EQ(dir.read("img"), fail.empty() ? image.bytes : "") << options.back();
        EXPECT_EQ(dir.read("entry"), fail.empty() ? (std::ostringstream() << "0x" << std::hex << entry - lo + address << "\n").str() : "");
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, Toolchain, testing::ValuesIn(rows), [](const auto &info) { return std::string(info.param.name); });

}  // namespace
