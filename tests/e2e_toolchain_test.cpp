// pieshift run as a user runs it, on static PIEs that clang and lld build for each machine. What the
// image must hold is worked out without the tool: llvm-objcopy extracts the sections' bytes, and the
// psABI formulas over llvm-readelf's relocation list give the relocated words.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/run.h"
#include "support/toolchain.h"

namespace {

using elfbuild::Bytes;
using Defs = std::map<std::string, uint64_t>;
using Fields = std::map<std::string, std::string>;

std::string hex(uint64_t v) { return (std::ostringstream() << "0x" << std::hex << v).str(); }

struct Tools : toolchain::Tools {
    std::string objcopy;
};

// Skips when asked to and fails when a tool is missing, so that a machine without the toolchain cannot
// pass these tests by accident. llvm-objcopy is taken from beside llvm-readelf, with the same suffix.
void require_tools(Tools *tools) {
    if (std::getenv("PIESHIFT_SKIP_TOOLCHAIN_TESTS") != nullptr) {
        GTEST_SKIP() << "PIESHIFT_SKIP_TOOLCHAIN_TESTS is set";
    }
    if (auto missing = toolchain::find_tools(tools)) {
        FAIL() << *missing << " (set PIESHIFT_SKIP_TOOLCHAIN_TESTS to skip these tests)";
    }
    tools->objcopy = tools->readelf;
    tools->objcopy.replace(tools->objcopy.rfind("readelf"), 7, "objcopy");
}

struct Reloc {
    uint64_t offset = 0;
    std::string type, symbol;        // symbol is empty for symbol 0
    std::optional<uint64_t> addend;  // RELA only
};

// A static PIE as llvm-readelf and llvm-objcopy see it.
struct Program {
    std::string path;
    uint64_t entry = 0;
    std::vector<Reloc> relocs;  // in file order: the DT_REL/DT_RELA table, then the PLT table
    // The image: every allocated section that is writable or executable, from the lowest to the
    // highest such address, widened to the alignment of the PT_LOAD segments that hold the two ends.
    uint64_t vspace_start = 0, vspace_end = 0;
    Bytes unrelocated;  // the image as linked
};

uint64_t num(const Fields &f, const char *key) { return std::stoull(f.at(key), nullptr, 0); }

// llvm-readelf's LLVM style prints each header as a "Kind {" block of "Key: value" lines. A block is
// kept as its kind and the first word of each value; a line "Flags [ (0x6)" keeps the number.
void describe(const Tools &tools, Program *p) {
    const testrun::Result r =
        testrun::run_tool(tools.readelf, {"--elf-output-style=LLVM", "--file-header", "--sections", "--segments",
                                          "--relocations", "--expand-relocs", p->path});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::pair<std::string, Fields>> blocks;
    std::istringstream text(r.out);
    for (std::string line; std::getline(text, line);) {
        std::string key, value, flags;
        std::istringstream(line) >> key >> value >> flags;
        if (value == "{") {
            blocks.push_back({key, {}});
        } else if (!blocks.empty() && key == "Flags" && flags.size() > 2) {
            blocks.back().second[key] = flags.substr(1, flags.size() - 2);
        } else if (!blocks.empty() && key.size() > 1 && key.back() == ':') {
            blocks.back().second[key.substr(0, key.size() - 1)] = value;
        }
    }
    static const std::set<std::string> image_types = {"SHT_PROGBITS", "SHT_NOBITS", "SHT_INIT_ARRAY", "SHT_FINI_ARRAY",
                                                      "SHT_PREINIT_ARRAY"};
    std::vector<std::string> objcopy_args = {"-O", "binary"};
    uint64_t lo = UINT64_MAX, hi = 0, copied_lo = UINT64_MAX, copied_hi = 0;
    for (const auto &[kind, f] : blocks) {
        if (f.count("Entry") != 0) {
            p->entry = num(f, "Entry");
        } else if (kind == "Relocation") {
            const std::string &sym = f.at("Symbol");
            p->relocs.push_back({num(f, "Offset"), f.at("Type"), sym == "-" ? "" : sym,
                                 f.count("Addend") != 0 ? std::optional(num(f, "Addend")) : std::nullopt});
        } else if (kind == "Section" && image_types.count(f.at("Type")) != 0 &&
                   (num(f, "Flags") & elfbuild::SHF_ALLOC) != 0 &&
                   (num(f, "Flags") & (elfbuild::SHF_WRITE | elfbuild::SHF_EXECINSTR)) != 0) {
            const uint64_t addr = num(f, "Address"), end = addr + num(f, "Size");
            lo = std::min(lo, addr), hi = std::max(hi, end);
            if (f.at("Type") != "SHT_NOBITS" && end != addr) {
                objcopy_args.push_back("--only-section=" + f.at("Name"));
                copied_lo = std::min(copied_lo, addr), copied_hi = std::max(copied_hi, end);
            }
        }
    }
    auto align_of = [&](uint64_t addr) -> uint64_t {
        for (const auto &[kind, l] : blocks) {
            if (kind == "ProgramHeader" && l.at("Type") == "PT_LOAD" && num(l, "VirtualAddress") <= addr &&
                addr - num(l, "VirtualAddress") <= num(l, "MemSize")) {
                return std::max<uint64_t>(num(l, "Alignment"), 1);
            }
        }
        ADD_FAILURE() << p->path << ": " << hex(addr) << ", an end of the image, lies in no PT_LOAD segment";
        return 1;
    };
    p->vspace_start = lo & ~(align_of(lo) - 1);
    p->vspace_end = (hi + align_of(hi) - 1) & ~(align_of(hi) - 1);

    // llvm-objcopy's flat copy of those sections fills the gaps between them with zeros.
    const std::string bin = p->path + ".sections.bin";
    objcopy_args.insert(objcopy_args.end(), {p->path, bin});
    const testrun::Result copied = testrun::run_tool(tools.objcopy, objcopy_args);
    ASSERT_EQ(copied.status, 0) << copied.err;
    std::ifstream in(bin, std::ios::binary);
    const Bytes flat{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    ASSERT_EQ(flat.size(), copied_hi - copied_lo) << "llvm-objcopy's copy does not span the sections";
    p->unrelocated.assign(p->vspace_end - p->vspace_start, 0);
    std::copy(flat.begin(), flat.end(),
              p->unrelocated.begin() + static_cast<std::ptrdiff_t>(copied_lo - p->vspace_start));
}

uint64_t get_word(const Bytes &b, uint64_t off, const toolchain::Target &t) {
    uint64_t v = 0;
    for (unsigned i = 0; i < t.bits / 8; ++i) {
        v = v << 8 | b.at(off + (t.big_endian ? i : t.bits / 8 - 1 - i));
    }
    return v;
}

// What a loader leaves in the image, by the psABIs' formulas: a relative word is its addend plus the
// load bias; every other type names a symbol that the user defined, and gets its value plus the
// addend. A REL entry's addend is the word as linked. Only the word's low bytes are stored.
Bytes relocated(const Program &p, const toolchain::Target &t, uint64_t address, const Defs &defs) {
    Bytes image = p.unrelocated;
    for (const Reloc &r : p.relocs) {
        const uint64_t off = r.offset - p.vspace_start;  // at() fails a word outside the image
        const uint64_t addend = r.addend ? *r.addend : get_word(p.unrelocated, off, t);
        const auto def = defs.find(r.symbol);
        if (!r.type.ends_with("_RELATIVE") && def == defs.end()) {
            ADD_FAILURE() << r.type << " at " << hex(r.offset) << " names '" << r.symbol
                          << "', which the test does not define";
            continue;
        }
        const uint64_t v = addend + (def == defs.end() ? address - p.vspace_start : def->second);
        for (unsigned i = 0; i < t.bits / 8; ++i) {
            image.at(off + (t.big_endian ? t.bits / 8 - 1 - i : i)) = static_cast<uint8_t>(v >> (8 * i));
        }
    }
    return image;
}

void expect_image(const Bytes &have, const Bytes &want, uint64_t vspace_start, const std::string &against) {
    ASSERT_EQ(have.size(), want.size()) << "image size, against " << against;
    const size_t at = static_cast<size_t>(std::mismatch(have.begin(), have.end(), want.begin()).first - have.begin());
    EXPECT_EQ(at, have.size()) << "bytes differ from " << against << ", the first at " << hex(vspace_start + at)
                               << ": have " << hex(have[at]) << ", want " << hex(want[at]);
}

// A successful run writes its files and says nothing.
void run_ok(const std::vector<std::string> &args) {
    const testrun::Result r = testrun::run_pieshift(args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

struct Row {
    const char *machine;
    std::vector<std::string> undefs_cflags = {};  // which kinds of slot e2e_undefs.c leaves out
    std::string unhandled = {};                   // the message for those slots, where the test checks it
};

void PrintTo(const Row &row, std::ostream *os) { *os << row.machine; }

class Toolchain : public testing::TestWithParam<Row> {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(require_tools(&tools_));
        const auto &all = toolchain::targets();
        const auto it =
            std::find_if(all.begin(), all.end(), [](const auto &t) { return t.name == GetParam().machine; });
        ASSERT_NE(it, all.end()) << "no toolchain target " << GetParam().machine;
        target_ = *it;
    }

    void build(const std::vector<std::string> &sources, const std::vector<std::string> &cflags,
               const std::vector<std::string> &ldflags, const std::string &name, Program *p) {
        toolchain::Target t = target_;
        t.cflags.insert(t.cflags.end(), cflags.begin(), cflags.end());
        std::vector<std::string> paths;
        for (const std::string &s : sources) {
            paths.push_back(std::string(PIESHIFT_SOURCE_DIR) + "/tests/data/" + s);
        }
        p->path = dir_.file(name);
        if (auto error = toolchain::build_static_pie(t, paths, p->path, ldflags)) {
            FAIL() << *error;
        }
        ASSERT_NO_FATAL_FAILURE(describe(tools_, p));
    }

    // A refused run says why on stderr and writes no image.
    void expect_refused(std::vector<std::string> args, const std::string &elf, const std::string &err) {
        args.insert(args.end(), {"-o", dir_.file("refused"), "0x80000000", elf});
        const testrun::Result r = testrun::run_pieshift(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, err + "ERROR: Failed to apply relocations\n");
        EXPECT_FALSE(dir_.exists("refused")) << "an image was written although relocation failed";
    }

    Tools tools_;
    toolchain::Target target_;
    const testrun::TempDir dir_;
};

// With no dynamic relocation the image is llvm-objcopy's copy of its sections, zero elsewhere. ppc's
// position-independent code keeps addresses in .got2, so there the few relocated words differ.
TEST_P(Toolchain, PlainProgramIsItsSections) {
    Program p;
    ASSERT_NO_FATAL_FAILURE(build({"e2e_plain.c"}, {}, {}, "plain.elf", &p));
    EXPECT_EQ(p.relocs.empty(), target_.name != "ppc") << "dynamic relocations in the plain program";
    ASSERT_NO_FATAL_FAILURE(run_ok({"-o", dir_.file("image"), "0x80000000", p.path}));
    expect_image(dir_.read("image"), relocated(p, target_, 0x80000000, {}), p.vspace_start,
                 "llvm-objcopy -O binary of the image's sections");
}

// Pointers in data, function pointer tables and GOT slots, relocated below and above the link address
// and, on 64-bit machines, to an address that needs all 64 bits.
TEST_P(Toolchain, RelocatesPointersToEachAddress) {
    Program p;
    ASSERT_NO_FATAL_FAILURE(
        build({"e2e_pointers.c", "e2e_pointers_lib.c"}, {}, {"--image-base=0x400000"}, "pointers.elf", &p));
    ASSERT_GE(p.relocs.size(), 15u) << "the program has too few dynamic relocations to be worth relocating";
    std::vector<uint64_t> addresses = {0x100000, 0x12340000, 0x80000000};
    if (target_.bits == 64) {
        addresses.push_back(0xffffffff80000000);
    }
    for (const uint64_t address : addresses) {
        SCOPED_TRACE("ADDRESS " + hex(address));
        const std::string image = "image-" + hex(address), entry = "entry-" + hex(address);
        ASSERT_NO_FATAL_FAILURE(
            run_ok({"-o", dir_.file(image), "--output-entry", dir_.file(entry), hex(address), p.path}));
        expect_image(dir_.read(image), relocated(p, target_, address, {}), p.vspace_start,
                     "the relocation formulas over llvm-readelf's list");
        const Bytes entry_text = dir_.read(entry);
        EXPECT_EQ(std::string(entry_text.begin(), entry_text.end()), hex(p.entry - p.vspace_start + address) + "\n");
    }
}

// Symbols that -z undefs leaves undefined: refused without definitions, filled with value plus addend
// from -d, and the same from a symbol file.
TEST_P(Toolchain, FillsUndefinedSymbolsFromTheUser) {
    Program p;
    ASSERT_NO_FATAL_FAILURE(build({"e2e_undefs.c"}, GetParam().undefs_cflags, {"-z", "undefs"}, "undefs.elf", &p));
    // Values that need every bit of the word, so that a truncated or sign-extended store shows.
    const uint64_t high = target_.bits == 64 ? 0xfedc000000000000 : 0;
    const Defs defs = {
        {"ext_var", high | 0x90001000}, {"ext_table", high | 0x90002000}, {"ext_func", high | 0x90003001}};
    std::vector<std::string> define_args;
    std::string symfile = "# the board's symbols\n";
    for (const auto &[name, value] : defs) {
        ASSERT_TRUE(std::any_of(p.relocs.begin(), p.relocs.end(), [n = name](const Reloc &r) { return r.symbol == n; }))
            << "no dynamic relocation names " << name;
        define_args.insert(define_args.end(), {"-d", name + "=" + hex(value)});
        symfile += hex(value) + "\t" + name + "  from the board's map\n";
    }
    const auto named = std::find_if(p.relocs.begin(), p.relocs.end(), [](const Reloc &r) { return !r.symbol.empty(); });
    expect_refused({}, p.path, "ERROR: Symbol \"" + named->symbol + "\" is undefined\n");

    dir_.write_text("board.sym", symfile);
    for (const uint64_t address : {uint64_t{0x100000}, uint64_t{0x80000000}}) {
        SCOPED_TRACE("ADDRESS " + hex(address));
        const std::string by_d = "image-d-" + hex(address), by_f = "image-f-" + hex(address);
        std::vector<std::string> args = define_args;
        args.insert(args.end(), {"-o", dir_.file(by_d), hex(address), p.path});
        ASSERT_NO_FATAL_FAILURE(run_ok(args));
        expect_image(dir_.read(by_d), relocated(p, target_, address, defs), p.vspace_start,
                     "the relocation formulas over llvm-readelf's list");
        ASSERT_NO_FATAL_FAILURE(run_ok({"-f", dir_.file("board.sym"), "-o", dir_.file(by_f), hex(address), p.path}));
        expect_image(dir_.read(by_f), dir_.read(by_d), p.vspace_start,
                     "the image made with the same values given by -d");
    }

    // The slots that the row leaves out must stop the run, never leave a word unrelocated.
    if (!GetParam().unhandled.empty()) {
        Program all;
        ASSERT_NO_FATAL_FAILURE(build({"e2e_undefs.c"}, {}, {"-z", "undefs"}, "all-slots.elf", &all));
        expect_refused(define_args, all.path, GetParam().unhandled);
    }
}

// x86_64 fills data slots with R_X86_64_64, which it does not apply; i386 and arm leave the
// lazy-binding address in a PLT slot, which a REL loader must not take for an addend.
INSTANTIATE_TEST_SUITE_P(Toolchain, Toolchain,
                         testing::Values(Row{"x86_64", {"-DNO_DATA_SLOTS"}, "ERROR: R_X86_64_64 is not handled\n"},
                                         Row{"i386", {"-DNO_PLT_CALL"}, "ERROR: R_386_JMP_SLOT is not handled\n"},
                                         Row{"arm", {"-DNO_PLT_CALL"}}, Row{"riscv32"}, Row{"riscv64"}, Row{"ppc"},
                                         Row{"ppc64le"}),
                         [](const testing::TestParamInfo<Row> &info) { return std::string(info.param.machine); });

}  // namespace
