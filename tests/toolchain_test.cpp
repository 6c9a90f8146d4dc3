// Static PIEs that clang and a real linker build from tests/data, relocated by the tool. The
// expected image comes from llvm-readelf alone: its segment map says which sections lie in which
// PT_LOAD, the loader's view of the file (p_offset, p_filesz, p_memsz) gives their bytes and each
// REL addend, and its relocation and symbol listings give the words. Rows lacking a tool skip.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "support/pie.h"
#include "support/run.h"

namespace {

using namespace testrun;

// What the program is and how it is linked. GNU ld resolves undefined references itself under
// -z undefs (leaving NONE entries); -E keeps them as dynamic symbols for -d.
struct Variant {
    const char *name, *sources, *ldflags;
    bool readonly = false, defines = false;
};
const Variant variants[] = {{"pointers", "e2e_pointers.c e2e_pointers_lib.c", "--build-id", true},
                             {"undefs", "e2e_undefs.c", "-z undefs", false, true}};

// Each machine's variants, linked by lld (where it can) and by its GNU ld (with its options for
// another class).
struct Machine {
    const char *name, *triple, *gnu_ld, *cflags = "";  // gnu_ld "": triple + "-ld"
    bool lld = true;
};
const Machine machines[] = {
    {"x86_64", "x86_64-linux-gnu", "", "-funwind-tables"},
    {"i386", "i386-linux-gnu", "i686-linux-gnu-ld"},
    {"arm", "armv7-linux-gnueabihf", "arm-linux-gnueabihf-ld", "-marm"},
    {"aarch64", "aarch64-linux-gnu", ""},
    {"riscv32", "riscv32-linux-gnu", "riscv64-linux-gnu-ld -m elf32lriscv"},
    {"riscv64", "riscv64-linux-gnu", ""},
    {"ppc", "powerpc-linux-gnu", ""},
    {"ppc64le", "powerpc64le-linux-gnu", ""},
    {"ppc64_elfv1", "powerpc64-linux-gnu", "", "-DNO_DIRECT_CALL", false},
    {"s390x", "s390x-linux-gnu", "", "", false},
    {"x32", "x86_64-linux-gnux32", "x86_64-linux-gnu-ld -m elf32_x86_64", "", false},
    {"mips", "mips-linux-gnu", ""},
    {"mipsel", "mipsel-linux-gnu", ""},
};

struct Row {
    const Machine *m;
    bool lld;
    const Variant *v;
};
std::vector<Row> rows() {
    std::vector<Row> rows;
    for (const Machine &m : machines)
        for (const bool lld : {true, false})
            for (const Variant &v : variants)
                if (m.lld || !lld) rows.push_back({&m, lld, &v});
    return rows;
}
std::string name(const testing::TestParamInfo<Row> &info) {
    return info.param.m->name + std::string(info.param.lld ? "_lld_" : "_gnu_") +
           info.param.v->name;
}

using Fields = std::map<std::string, std::string>;
uint64_t num(const std::string &s) { return std::stoull(s, nullptr, 0); }
uint64_t num(const Fields &f, const char *key) { return num(f.at(key)); }
std::string hex(uint64_t v) { return (std::ostringstream() << "0x" << std::hex << v).str(); }

// llvm-readelf's LLVM style: "Kind {" opens a block of "Key: value" lines ("Flags [ (0x3)" keeps
// the number); then its GNU style program headers and segment map.
struct Listing {
    std::vector<std::pair<std::string, Fields>> blocks;
    struct Load {
        uint64_t offset, vaddr, filesz, memsz, align;
    };
    std::vector<Load> loads;
    std::map<std::string, size_t> in;  // section name -> the PT_LOAD holding it
};
Listing parse(const std::string &text) {
    Listing l;
    std::istringstream lines(text);
    std::vector<int> load_of;  // program header index -> index in loads, or -1
    bool phdrs = false;
    for (std::string line; std::getline(lines, line);) {
        const std::vector<std::string> w = split(line);
        const std::string key = w.empty() ? "" : w[0], value = w.size() > 1 ? w[1] : "";
        if (key == "Type" && value == "Offset") {
            phdrs = true;
        } else if (phdrs) {
            phdrs = !w.empty();
            if (phdrs) load_of.push_back(key == "LOAD" ? int(l.loads.size()) : -1);
            if (key == "LOAD")
                l.loads.push_back({num(w[1]), num(w[2]), num(w[4]), num(w[5]), num(w.back())});
        } else if (value == "{") {
            l.blocks.push_back({key, {}});
        } else if (key.size() == 2 && isdigit(key[0]) && !load_of.empty()) {
            for (size_t i = 1; i < w.size(); i++)
                if (load_of.at(std::stoul(key)) >= 0) l.in[w[i]] = size_t(load_of[std::stoul(key)]);
        } else if (!l.blocks.empty() && key.ends_with(':')) {
            l.blocks.back().second[key.substr(0, key.size() - 1)] = value;
        } else if (!l.blocks.empty() && key == "Flags" && w.size() > 2) {
            l.blocks.back().second[key] = w[2].substr(1, w[2].size() - 2);
        }
    }
    return l;
}

class Toolchain : public testing::TestWithParam<Row> {};

TEST_P(Toolchain, RelocatesLikeALoader) {
    const auto [m, lld, v] = GetParam();
    const std::string ld = lld ? "ld.lld" : *m->gnu_ld ? m->gnu_ld : m->triple + std::string("-ld");
    for (const std::string &tool : split("clang llvm-readelf " + split(ld)[0]))
        if (run({tool, "--version"}).status == 127) GTEST_SKIP() << tool << " not found";
    const TempDir dir;
    const std::string script =
        std::string("for s in ") + v->sources + "; do clang --target=" + m->triple +
        " -ffreestanding -fno-builtin -nostdlib -fPIE -O1 " + m->cflags +
        " -c " PIESHIFT_SOURCE_DIR "/tests/data/$s -o $s.o || exit; done && " + ld +
        " -static -pie --no-dynamic-linker -z norelro --entry=_start " + v->ldflags +
        (lld ? " --image-base" : v->defines ? " -E -Ttext-segment" : " -Ttext-segment") +
        "=0x400000 *.o -o elf && llvm-readelf --elf-output-style=LLVM -h -S -r --dyn-syms"
        " --expand-relocs " + (std::string(m->triple).starts_with("mips") ? "-A" : "") +
        " elf && llvm-readelf -l elf";
    // PIESHIFT_TOOLCHAIN_CACHE keeps each row's program and listing between runs (plant_faults).
    const char *cache = std::getenv("PIESHIFT_TOOLCHAIN_CACHE");
    const std::string k = cache ? cache + ("/" + name({GetParam(), 0})) : "k";
    const Result listed = run({"sh", "-c", "[ -f " + k + ".elf ] || { (" + script + ") >" + k +
                               ".txt && cp elf " + k + ".elf; } && cp " + k + ".elf elf && cat " +
                               k + ".txt"}, dir.path, 50);
    ASSERT_EQ(listed.status, 0) << listed.err;
    const Listing l = parse(listed.out);
    const std::string file = dir.read("elf");
    const pie::Kind kind{"", file.at(4) == 2 ? 8u : 4u, file.at(5) == 2, 0, 0, 0, 0, 0, 0};
    // Memory as a loader maps it: file bytes up to p_filesz, zeros up to p_memsz.
    auto mem = [&](uint64_t addr, uint64_t size) {
        for (const auto &s : l.loads) {
            const uint64_t off = addr - s.vaddr;
            if (addr < s.vaddr || off + size > s.memsz) continue;
            const std::string bytes =
                off < s.filesz ? file.substr(s.offset + off, s.filesz - off) : "";
            return bytes.substr(0, size).append(size - std::min(size, bytes.size()), '\0');
        }
        ADD_FAILURE() << hex(addr) << " is in no PT_LOAD";
        return std::string(size, '\0');
    };
    // The image: the PT_LOAD-mapped sections of the program's own types, writable or executable
    // (for --include-readonly, any but the loader's tables), from the lowest to the highest end,
    // widened to their PT_LOADs' alignment; only their contents are copied.
    const std::set<std::string> data = {"SHT_PROGBITS", "SHT_NOBITS", "SHT_INIT_ARRAY",
                                        "SHT_FINI_ARRAY", "SHT_PREINIT_ARRAY"};
    const std::set<std::string> loader = {"SHT_DYNAMIC", "SHT_DYNSYM", "SHT_STRTAB", "SHT_HASH",
                                          "SHT_GNU_HASH", "SHT_REL", "SHT_RELA"};
    std::vector<const Fields *> image;
    uint64_t lo = UINT64_MAX, hi = 0, lo_align = 1, hi_align = 1, entry = 0;
    std::map<std::string, uint64_t> own, defs;  // absolute symbols are not moved: bias 0
    std::map<std::string, bool> moved;
    for (const auto &[block, f] : l.blocks) {
        if (f.count("Entry")) entry = num(f, "Entry");
        if (block == "Symbol" && f.at("Section") != "Undefined")
            own[f.at("Name")] = num(f, "Value"),
            moved[f.at("Name")] = f.at("Section") != "Absolute";
        if (block != "Section" || !l.in.count(f.at("Name")) || !(num(f, "Flags") & SHF_ALLOC) ||
            (v->readonly ? loader.count(f.at("Type")) || f.at("Name") == ".interp"
                         : !data.count(f.at("Type")) ||
                               !(num(f, "Flags") & (SHF_WRITE | SHF_EXECINSTR))))
            continue;
        image.push_back(&f);
        const uint64_t at = num(f, "Address"), end = at + num(f, "Size");
        const uint64_t align = std::max<uint64_t>(l.loads[l.in.at(f.at("Name"))].align, 1);
        if (at < lo) lo = at, lo_align = align;
        if (end > hi) hi = end, hi_align = align;
    }
    ASSERT_FALSE(image.empty());
    lo &= ~(lo_align - 1), hi = (hi + hi_align - 1) & ~(hi_align - 1);
    pie::Built linked{kind, std::string(hi - lo, '\0'), {}};
    for (const Fields *f : image)
        if (f->at("Type") != "SHT_NOBITS")
            linked.bytes.replace(num(*f, "Address") - lo, num(*f, "Size"),
                                 mem(num(*f, "Address"), num(*f, "Size")));
    std::vector<std::string> args = {"-o", "img", "--output-entry", "entry"};
    if (v->readonly) args.push_back("--include-readonly");
    for (const std::string sym : {"ext_var", "ext_table", "ext_func"})
        if (v->defines) {  // an odd function address, as Thumb code has
            defs[sym] = (kind.w == 8 ? 0xfedc000090001000 : 0x90001000) + 0x1000 * defs.size() +
                        (sym == "ext_func");
            args.insert(args.end(), {"-d", sym + "=" + hex(defs[sym])});
        }
    // Relocated words, as the psABIs define them: none for a NONE entry; a relative one (or one of
    // symbol 0) is its addend plus the load bias, any other the symbol's value (the user's, else
    // the input's own moved by the bias unless absolute) plus the addend, but a REL GOT or PLT slot
    // is the value alone. A REL addend is the word as linked. The MIPS GOT entries llvm-readelf
    // lists (-A) are relocated by the loader alone: local ones move by the bias, global ones get
    // their symbol's value; the reserved ones stay.
    for (const uint64_t address : {kind.w == 8 ? 0xffffffff80000000 : 0x80000000, 0x100000ul}) {
        pie::Built want = linked;
        const uint64_t bias = address - lo;
        for (const auto &[block, f] : l.blocks) {
            const bool got = block == "Entry" && !f.count("Purpose");
            if (!got && (block != "Relocation" || f.at("Type").ends_with("_NONE"))) continue;
            const std::string type = got ? "" : f.at("Type");
            const std::string sym = !got ? f.at("Symbol") : f.count("Name") ? f.at("Name") : "-";
            const bool rela = f.count("Addend");
            const bool relative = type.ends_with("_RELATIVE") || sym == "-";
            const bool slot = got || (!rela && (type.ends_with("_SLOT") || type.ends_with("_DAT")));
            const uint64_t r_offset = num(f, got ? "Address" : "Offset");
            const uint64_t as_linked = pie::Built{kind, mem(r_offset, kind.w), {}}.get(0, kind.w);
            uint64_t word = rela ? num(f, "Addend") : slot && !relative ? 0 : as_linked;
            word += relative ? bias
                    : defs.count(sym)           ? defs[sym]
                                                : own[sym] + moved[sym] * bias;
            want.put(r_offset - lo, kind.w, word);
        }
        std::vector<std::string> argv = args;
        argv.insert(argv.end(), {hex(address), "elf"});
        const Result r = run_pieshift(argv, dir.path);
        EXPECT_EQ(std::tuple(r.status, r.out, r.err), std::tuple(0, "", "")) << hex(address);
        EXPECT_TRUE(dir.read("img") == want.bytes) << "the image differs at " << hex(address);
        EXPECT_EQ(dir.read("entry"), hex(entry - lo + address) + "\n");
    }
}

INSTANTIATE_TEST_SUITE_P(Real, Toolchain, testing::ValuesIn(rows()), name);

}  // namespace
