// pieshift run as a user runs it, on static PIEs that clang and lld build for each machine. What the
// image must hold is worked out without the tool: llvm-objcopy extracts the sections' bytes,
// llvm-readelf lists the relocations, and lld itself computes the relocated words when it links the
// same objects at the target address.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/run.h"
#include "support/toolchain.h"

namespace {

using elfbuild::Bytes;

const std::string data_dir = std::string(PIESHIFT_SOURCE_DIR) + "/tests/data/";

std::string hex(uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

// ---- tools

struct Tools : toolchain::Tools {
    std::string objcopy;
};

// llvm-objcopy is looked for beside llvm-readelf, with the same version suffix.
std::optional<std::string> find_all_tools(Tools *tools) {
    if (auto missing = toolchain::find_tools(tools)) {
        return missing;
    }
    const size_t slash = tools->readelf.rfind('/');
    std::string name = tools->readelf.substr(slash + 1);
    name.replace(name.find("readelf"), 7, "objcopy");
    tools->objcopy = tools->readelf.substr(0, slash + 1) + name;
    if (access(tools->objcopy.c_str(), X_OK) != 0) {
        return "not found: " + tools->objcopy;
    }
    return std::nullopt;
}

// For SetUp: skips when asked to, fails when a tool is missing, so that a machine without the
// toolchain cannot pass these tests by accident.
void require_tools(Tools *tools) {
    if (std::getenv("PIESHIFT_SKIP_TOOLCHAIN_TESTS") != nullptr) {
        GTEST_SKIP() << "PIESHIFT_SKIP_TOOLCHAIN_TESTS is set";
    }
    if (auto missing = find_all_tools(tools)) {
        FAIL() << *missing << " (set PIESHIFT_SKIP_TOOLCHAIN_TESTS to skip these tests)";
    }
}

std::optional<toolchain::Target> target_named(const std::string &name) {
    for (const toolchain::Target &t : toolchain::targets()) {
        if (t.name == name) {
            return t;
        }
    }
    return std::nullopt;
}

std::optional<std::string> run_checked(const std::string &program, const std::vector<std::string> &args) {
    const testrun::Result r = testrun::run_tool(program, args);
    if (r.status == 0) {
        return std::nullopt;
    }
    std::string text = program;
    for (const std::string &a : args) {
        text += " " + a;
    }
    return text + "\nexit status " + std::to_string(r.status) + "\n" + r.err;
}

// The compile and link steps of toolchain::build_static_pie, apart, so that one set of objects can
// be linked at several image bases.
std::optional<std::string> compile(const Tools &tools, const toolchain::Target &target, const std::string &source,
                                   const std::string &object) {
    std::vector<std::string> args = {"--target=" + target.triple, "-ffreestanding", "-fno-builtin", "-nostdlib",
                                     "-fPIE", "-O1"};
    args.insert(args.end(), target.cflags.begin(), target.cflags.end());
    args.insert(args.end(), {"-c", source, "-o", object});
    return run_checked(tools.clang, args);
}

std::optional<std::string> link(const Tools &tools, const std::vector<std::string> &objects, const std::string &out,
                                const std::vector<std::string> &flags) {
    std::vector<std::string> args = {"-static", "-pie", "--no-dynamic-linker", "-z", "norelro", "--entry=_start"};
    args.insert(args.end(), flags.begin(), flags.end());
    args.insert(args.end(), objects.begin(), objects.end());
    args.insert(args.end(), {"-o", out});
    return run_checked(tools.lld, args);
}

// ---- what llvm-readelf says of a file

struct Section {
    std::string name, type, flags;
    uint64_t addr = 0, size = 0;
};

struct Load {
    uint64_t vaddr = 0, memsz = 0, align = 0;
};

struct Reloc {
    uint64_t offset = 0;
    std::string type;
    std::string symbol;              // empty for symbol 0
    std::optional<uint64_t> addend;  // RELA only
};

struct Elf {
    uint64_t entry = 0;
    std::vector<Section> sections;
    std::vector<Load> loads;
    std::vector<Reloc> relocs;  // in file order: the DT_REL/DT_RELA table, then the PLT table
    // The image: every allocated section that is writable or executable, from the lowest to the
    // highest such address, widened to the alignment of the PT_LOAD segments that hold the two ends.
    uint64_t vspace_start = 0, vspace_end = 0;
    std::vector<Section> copied;  // the image's sections that have contents
};

std::vector<std::string_view> words_of(std::string_view line) {
    std::vector<std::string_view> words;
    size_t i = 0;
    while (true) {
        i = line.find_first_not_of(" \t", i);
        if (i == std::string_view::npos) {
            return words;
        }
        const size_t end = std::min(line.find_first_of(" \t", i), line.size());
        words.push_back(line.substr(i, end - i));
        i = end;
    }
}

std::optional<uint64_t> parse_hex(std::string_view s) {
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        s.remove_prefix(2);
    }
    uint64_t v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v, 16);
    if (ec != std::errc() || end != s.data() + s.size() || s.empty()) {
        return std::nullopt;
    }
    return v;
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

bool in_image(const Section &s) {
    const bool type = s.type == "PROGBITS" || s.type == "NOBITS" || s.type == "INIT_ARRAY" ||
                      s.type == "FINI_ARRAY" || s.type == "PREINIT_ARRAY";
    return type && s.flags.find('A') != std::string::npos && s.flags.find_first_of("WX") != std::string::npos;
}

void describe(const Tools &tools, const std::string &path, Elf *elf) {
    const testrun::Result gnu = testrun::run_tool(tools.readelf, {"--file-header", "--sections", "--segments",
                                                                   "--wide", path});
    ASSERT_EQ(gnu.status, 0) << gnu.err;
    for (const std::string &line : lines_of(gnu.out)) {
        const std::vector<std::string_view> w = words_of(line);
        if (line.find("Entry point address:") != std::string::npos) {
            ASSERT_TRUE(parse_hex(w.back())) << line;
            elf->entry = *parse_hex(w.back());
        } else if (!w.empty() && w[0] == "LOAD") {
            // LOAD offset vaddr paddr filesz memsz flags... align; the flags may hold blanks.
            ASSERT_GE(w.size(), 8u) << line;
            ASSERT_TRUE(parse_hex(w[2]) && parse_hex(w[5]) && parse_hex(w.back())) << line;
            elf->loads.push_back({*parse_hex(w[2]), *parse_hex(w[5]), *parse_hex(w.back())});
        } else if (!w.empty() && w[0].front() == '[' && line.find(']') != std::string::npos && w[0] != "[Nr]") {
            // [ n] name type address offset size entsize [flags] link info align
            const std::vector<std::string_view> f = words_of(std::string_view(line).substr(line.find(']') + 1));
            if (f.size() != 9 && f.size() != 10) {
                continue;  // the null section, which has no name
            }
            ASSERT_TRUE(parse_hex(f[2]) && parse_hex(f[4])) << line;
            elf->sections.push_back({std::string(f[0]), std::string(f[1]), f.size() == 10 ? std::string(f[6]) : "",
                                     *parse_hex(f[2]), *parse_hex(f[4])});
        }
    }

    const testrun::Result llvm = testrun::run_tool(
        tools.readelf, {"--elf-output-style=LLVM", "--relocations", "--expand-relocs", path});
    ASSERT_EQ(llvm.status, 0) << llvm.err;
    for (const std::string &line : lines_of(llvm.out)) {
        const std::vector<std::string_view> w = words_of(line);
        if (w.size() == 2 && w[0] == "Relocation" && w[1] == "{") {
            elf->relocs.emplace_back();
        } else if (w.size() >= 2 && !elf->relocs.empty()) {
            Reloc &r = elf->relocs.back();
            if (w[0] == "Offset:") {
                ASSERT_TRUE(parse_hex(w[1])) << line;
                r.offset = *parse_hex(w[1]);
            } else if (w[0] == "Type:") {
                r.type = w[1];
            } else if (w[0] == "Symbol:") {
                r.symbol = w[1] == "-" ? "" : std::string(w[1]);
            } else if (w[0] == "Addend:") {
                ASSERT_TRUE(parse_hex(w[1])) << line;
                r.addend = *parse_hex(w[1]);
            }
        }
    }

    bool any = false;
    for (const Section &s : elf->sections) {
        if (!in_image(s)) {
            continue;
        }
        elf->vspace_start = any ? std::min(elf->vspace_start, s.addr) : s.addr;
        elf->vspace_end = any ? std::max(elf->vspace_end, s.addr + s.size) : s.addr + s.size;
        any = true;
        if (s.type != "NOBITS" && s.size != 0) {
            elf->copied.push_back(s);
        }
    }
    ASSERT_TRUE(any) << path << " has no writable or executable section";
    auto align_of = [&](uint64_t addr) -> std::optional<uint64_t> {
        for (const Load &l : elf->loads) {
            if (l.vaddr <= addr && addr - l.vaddr <= l.memsz) {
                return l.align == 0 ? 1 : l.align;
            }
        }
        return std::nullopt;
    };
    const auto start_align = align_of(elf->vspace_start), end_align = align_of(elf->vspace_end);
    ASSERT_TRUE(start_align && end_align) << path << ": the image's ends lie in no PT_LOAD segment";
    elf->vspace_start &= ~(*start_align - 1);
    elf->vspace_end = (elf->vspace_end + *end_align - 1) & ~(*end_align - 1);
}

// The image as linked, before any relocation: llvm-objcopy's flat copy of the image's sections (it
// fills the gaps between them with zeros), placed at its address in an otherwise zero virtual space.
void unrelocated_image(const Tools &tools, const std::string &path, const Elf &elf, Bytes *image) {
    const std::string bin = path + ".sections.bin";
    std::vector<std::string> args = {"-O", "binary"};
    uint64_t first = UINT64_MAX, last = 0;
    for (const Section &s : elf.copied) {
        args.push_back("--only-section=" + s.name);
        first = std::min(first, s.addr);
        last = std::max(last, s.addr + s.size);
    }
    args.insert(args.end(), {path, bin});
    ASSERT_FALSE(elf.copied.empty()) << path << ": no section with contents in the image";
    if (auto error = run_checked(tools.objcopy, args)) {
        FAIL() << *error;
    }
    std::ifstream in(bin, std::ios::binary);
    const Bytes flat{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    ASSERT_EQ(flat.size(), last - first) << "llvm-objcopy's copy of " << path << " does not span its sections";
    image->assign(elf.vspace_end - elf.vspace_start, 0);
    std::copy(flat.begin(), flat.end(), image->begin() + static_cast<std::ptrdiff_t>(first - elf.vspace_start));
}

// ---- target words

unsigned word_size(const toolchain::Target &t) { return t.bits / 8; }

uint64_t get_word(const Bytes &b, uint64_t off, const toolchain::Target &t) {
    uint64_t v = 0;
    for (unsigned i = 0; i < word_size(t); ++i) {
        const unsigned byte = t.big_endian ? i : word_size(t) - 1 - i;
        v = v << 8 | b.at(off + byte);
    }
    return v;
}

void put_word(Bytes &b, uint64_t off, const toolchain::Target &t, uint64_t v) {
    for (unsigned i = 0; i < word_size(t); ++i) {
        const unsigned byte = t.big_endian ? word_size(t) - 1 - i : i;
        b.at(off + byte) = static_cast<uint8_t>(v >> (8 * i));
    }
}

using Words = std::vector<std::pair<uint64_t, uint64_t>>;  // offset in the image, value

// What a loader writes at each relocation, by the psABIs' formulas: a relative word is its addend
// plus the load bias; every other type here names a symbol that the user defined, and gets its value
// plus the addend. A REL entry's addend is the word as linked. Nothing of pieshift takes part.
Words formula_words(const Elf &in, const Bytes &unrelocated, const toolchain::Target &t, uint64_t address,
                    const std::map<std::string, uint64_t> &defs) {
    const uint64_t mask = t.bits == 64 ? UINT64_MAX : 0xffffffffu;
    Words words;
    for (const Reloc &r : in.relocs) {
        const uint64_t off = r.offset - in.vspace_start;
        if (r.offset < in.vspace_start || off > unrelocated.size() - word_size(t)) {
            ADD_FAILURE() << r.type << " at " << hex(r.offset) << " lies outside the image";
            continue;
        }
        const uint64_t addend = r.addend ? *r.addend : get_word(unrelocated, off, t);
        const std::string_view type = r.type;
        if (type.size() > 9 && type.substr(type.size() - 9) == "_RELATIVE") {
            words.emplace_back(off, (addend + address - in.vspace_start) & mask);
        } else if (const auto def = defs.find(r.symbol); def != defs.end()) {
            words.emplace_back(off, (def->second + addend) & mask);
        } else {
            ADD_FAILURE() << r.type << " at " << hex(r.offset) << " names '" << r.symbol
                          << "', which the test does not define";
        }
    }
    return words;
}

Bytes patched(Bytes image, const Words &words, const toolchain::Target &t) {
    for (const auto &[off, value] : words) {
        put_word(image, off, t, value);
    }
    return image;
}

void expect_image(const Bytes &have, const Bytes &want, uint64_t vspace_start, const std::string &against) {
    ASSERT_EQ(have.size(), want.size()) << "image size, against " << against;
    size_t differ = 0;
    std::ostringstream shown;
    for (size_t i = 0; i < have.size(); ++i) {
        if (have[i] != want[i] && ++differ <= 8) {
            shown << "\n  " << hex(vspace_start + i) << " (offset " << hex(i) << "): have " << hex(have[i])
                  << ", want " << hex(want[i]);
        }
    }
    EXPECT_EQ(differ, 0u) << "bytes differ from " << against << ":" << shown.str();
}

// A successful run writes the image and the entry file and says nothing.
void run_ok(const std::vector<std::string> &args) {
    const testrun::Result r = testrun::run_pieshift(args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

std::string text_of(const testrun::TempDir &dir, const std::string &name) {
    const Bytes b = dir.read(name);
    return std::string(b.begin(), b.end());
}

// ---- 1. No dynamic relocation: the image is the sections' bytes, zero elsewhere

struct PlainRow {
    const char *machine;
};

void PrintTo(const PlainRow &row, std::ostream *os) { *os << row.machine; }

class PlainImage : public testing::TestWithParam<PlainRow> {
protected:
    void SetUp() override { require_tools(&tools_); }
    Tools tools_;
};

TEST_P(PlainImage, EqualsSectionBytesAsLinked) {
    const auto target = target_named(GetParam().machine);
    ASSERT_TRUE(target) << "no toolchain target " << GetParam().machine;
    const testrun::TempDir dir;
    const std::string elf_path = dir.file("plain.elf");
    if (auto error = toolchain::build_static_pie(*target, {data_dir + "e2e_plain.c"}, elf_path, {})) {
        FAIL() << *error;
    }
    Elf in;
    ASSERT_NO_FATAL_FAILURE(describe(tools_, elf_path, &in));
    ASSERT_TRUE(in.relocs.empty()) << "the plain program has dynamic relocations";
    Bytes want;
    ASSERT_NO_FATAL_FAILURE(unrelocated_image(tools_, elf_path, in, &want));

    ASSERT_NO_FATAL_FAILURE(run_ok({"-o", dir.file("image"), "0x80000000", elf_path}));
    expect_image(dir.read("image"), want, in.vspace_start, "llvm-objcopy -O binary of the image's sections");
}

// ppc's position-independent code keeps addresses in .got2, so its plain program is not plain.
INSTANTIATE_TEST_SUITE_P(Toolchain, PlainImage,
                         testing::Values(PlainRow{"x86_64"}, PlainRow{"i386"}, PlainRow{"arm"}, PlainRow{"riscv32"},
                                         PlainRow{"riscv64"}, PlainRow{"ppc64le"}),
                         [](const testing::TestParamInfo<PlainRow> &info) { return std::string(info.param.machine); });

// ---- 2. Pointers in data, relocated to several addresses

// The independent check: lld links the same objects again as a static PIE whose image base puts the
// image's first byte at ADDRESS, and with --apply-dynamic-relocs writes into each relocated word
// the value it has at that base. The shift is a multiple of the maximum page size, so the layout
// moves whole and only those words differ. Every other byte must stay as linked: lld also writes
// words that depend on its own image base without a dynamic relocation (the address of _DYNAMIC in
// the first GOT word, the TOC base), and a loader leaves those alone, so they are taken from the
// original link. The psABI formulas over llvm-readelf's relocation list give the same words a
// second time.
struct RelocateRow {
    const char *machine;
};

void PrintTo(const RelocateRow &row, std::ostream *os) { *os << row.machine; }

class Relocate : public testing::TestWithParam<RelocateRow> {
protected:
    void SetUp() override { require_tools(&tools_); }
    Tools tools_;
};

constexpr uint64_t link_base = 0x400000;

TEST_P(Relocate, MatchesLldAtEachAddress) {
    const auto target = target_named(GetParam().machine);
    ASSERT_TRUE(target) << "no toolchain target " << GetParam().machine;
    const testrun::TempDir dir;
    std::vector<std::string> objects;
    for (const char *source : {"e2e_pointers.c", "e2e_pointers_lib.c"}) {
        objects.push_back(dir.file(std::string(source) + ".o"));
        if (auto error = compile(tools_, *target, data_dir + source, objects.back())) {
            FAIL() << *error;
        }
    }
    const std::string elf_path = dir.file("pointers.elf");
    if (auto error = link(tools_, objects, elf_path, {"--image-base=" + hex(link_base)})) {
        FAIL() << *error;
    }
    Elf in;
    ASSERT_NO_FATAL_FAILURE(describe(tools_, elf_path, &in));
    ASSERT_GE(in.relocs.size(), 15u) << "the program has too few dynamic relocations to be worth relocating";
    Bytes unrelocated;
    ASSERT_NO_FATAL_FAILURE(unrelocated_image(tools_, elf_path, in, &unrelocated));

    // One below the link address, two above, and for 64-bit machines one that needs all 64 bits.
    std::vector<uint64_t> addresses = {0x100000, 0x12340000, 0x80000000};
    if (target->bits == 64) {
        addresses.push_back(0xffffffff80000000);
    }
    for (const uint64_t address : addresses) {
        SCOPED_TRACE("ADDRESS " + hex(address));
        const std::string relinked_path = dir.file("relinked-" + hex(address) + ".elf");
        const uint64_t base = address - (in.vspace_start - link_base);
        const std::vector<std::string> flags = {"--image-base=" + hex(base), "--apply-dynamic-relocs"};
        if (auto error = link(tools_, objects, relinked_path, flags)) {
            FAIL() << *error;
        }
        Elf relinked;
        ASSERT_NO_FATAL_FAILURE(describe(tools_, relinked_path, &relinked));
        ASSERT_EQ(relinked.vspace_start, address) << "lld did not move the layout whole";
        ASSERT_EQ(relinked.vspace_end - relinked.vspace_start, in.vspace_end - in.vspace_start);
        Bytes lld_image;
        ASSERT_NO_FATAL_FAILURE(unrelocated_image(tools_, relinked_path, relinked, &lld_image));
        Words lld_words;
        for (const Reloc &r : in.relocs) {
            const uint64_t off = r.offset - in.vspace_start;
            lld_words.emplace_back(off, get_word(lld_image, off, *target));
        }

        const std::string image = "image-" + hex(address), entry = "entry-" + hex(address);
        ASSERT_NO_FATAL_FAILURE(
            run_ok({"-o", dir.file(image), "--output-entry", dir.file(entry), hex(address), elf_path}));
        const Bytes have = dir.read(image);
        expect_image(have, patched(unrelocated, lld_words, *target), in.vspace_start,
                     "lld's relocated words over the original link");
        expect_image(have, patched(unrelocated, formula_words(in, unrelocated, *target, address, {}), *target),
                     in.vspace_start, "the relocation formulas over llvm-readelf's list");
        EXPECT_EQ(text_of(dir, entry), hex(relinked.entry) + "\n");
    }
}

INSTANTIATE_TEST_SUITE_P(Toolchain, Relocate,
                         testing::Values(RelocateRow{"x86_64"}, RelocateRow{"i386"}, RelocateRow{"arm"},
                                         RelocateRow{"riscv32"}, RelocateRow{"riscv64"}, RelocateRow{"ppc"},
                                         RelocateRow{"ppc64le"}),
                         [](const testing::TestParamInfo<RelocateRow> &info) {
                             return std::string(info.param.machine);
                         });

// ---- 3, 4. Undefined symbols supplied by the user

struct UndefsRow {
    const char *machine;
    std::vector<std::string> cflags;  // which kinds of slot e2e_undefs.c leaves out
};

void PrintTo(const UndefsRow &row, std::ostream *os) { *os << row.machine; }

class UndefinedSymbols : public testing::TestWithParam<UndefsRow> {
protected:
    void SetUp() override { require_tools(&tools_); }
    Tools tools_;
};

// Values that need every bit of the word, so that a truncated or sign-extended store shows.
std::map<std::string, uint64_t> user_definitions(const toolchain::Target &t) {
    const uint64_t high = t.bits == 64 ? 0xfedc000000000000 : 0;
    return {{"ext_var", high | 0x90001000}, {"ext_table", high | 0x90002000}, {"ext_func", high | 0x90003001}};
}

void build_undefs(const UndefsRow &row, const testrun::TempDir &dir, toolchain::Target *target,
                  std::string *elf_path) {
    const auto found = target_named(row.machine);
    ASSERT_TRUE(found) << "no toolchain target " << row.machine;
    *target = *found;
    target->cflags.insert(target->cflags.end(), row.cflags.begin(), row.cflags.end());
    *elf_path = dir.file("undefs.elf");
    if (auto error = toolchain::build_static_pie(*target, {data_dir + "e2e_undefs.c"}, *elf_path, {"-z", "undefs"})) {
        FAIL() << *error;
    }
}

TEST_P(UndefinedSymbols, AreFilledFromDefinitionsOrRefused) {
    const testrun::TempDir dir;
    toolchain::Target target;
    std::string elf_path;
    ASSERT_NO_FATAL_FAILURE(build_undefs(GetParam(), dir, &target, &elf_path));
    Elf in;
    ASSERT_NO_FATAL_FAILURE(describe(tools_, elf_path, &in));
    Bytes unrelocated;
    ASSERT_NO_FATAL_FAILURE(unrelocated_image(tools_, elf_path, in, &unrelocated));
    const std::map<std::string, uint64_t> defs = user_definitions(target);
    std::string first_named;
    for (const Reloc &r : in.relocs) {
        if (!r.symbol.empty() && first_named.empty()) {
            first_named = r.symbol;
        }
    }
    for (const auto &[name, value] : defs) {
        const bool referenced = std::any_of(in.relocs.begin(), in.relocs.end(),
                                            [&, n = name](const Reloc &r) { return r.symbol == n; });
        ASSERT_TRUE(referenced) << "no dynamic relocation names " << name;
    }

    {
        SCOPED_TRACE("without definitions");
        const testrun::Result r = testrun::run_pieshift({"-o", dir.file("refused"), "0x80000000", elf_path});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "ERROR: Symbol \"" + first_named + "\" is undefined\nERROR: Failed to apply relocations\n");
        EXPECT_FALSE(dir.exists("refused")) << "an image was written although relocation failed";
    }

    std::vector<std::string> define_args;
    std::string symfile = "# the board's symbols\n";
    for (const auto &[name, value] : defs) {
        define_args.insert(define_args.end(), {"-d", name + "=" + hex(value)});
        symfile += hex(value) + "\t" + name + "  from the board's map\n";
    }
    dir.write_text("board.sym", symfile);
    for (const uint64_t address : {uint64_t{0x100000}, uint64_t{0x80000000}}) {
        SCOPED_TRACE("ADDRESS " + hex(address));
        const std::string by_d = "image-d-" + hex(address), by_f = "image-f-" + hex(address);
        std::vector<std::string> args = define_args;
        args.insert(args.end(), {"-o", dir.file(by_d), hex(address), elf_path});
        ASSERT_NO_FATAL_FAILURE(run_ok(args));
        const Bytes have = dir.read(by_d);
        expect_image(have, patched(unrelocated, formula_words(in, unrelocated, target, address, defs), target),
                     in.vspace_start, "the relocation formulas over llvm-readelf's list");

        ASSERT_NO_FATAL_FAILURE(run_ok({"-f", dir.file("board.sym"), "-o", dir.file(by_f), hex(address), elf_path}));
        expect_image(dir.read(by_f), have, in.vspace_start, "the image made with the same values given by -d");
    }
}

// Every kind of slot that the machine's applied relocation types cover: x86_64 fills data slots with
// R_X86_64_64, which it does not apply; i386 and arm leave the lazy-binding address in a PLT slot,
// which a REL loader must not take for an addend.
INSTANTIATE_TEST_SUITE_P(
    Toolchain, UndefinedSymbols,
    testing::Values(UndefsRow{"x86_64", {"-DNO_DATA_SLOTS"}}, UndefsRow{"i386", {"-DNO_PLT_CALL"}},
                    UndefsRow{"arm", {"-DNO_PLT_CALL"}}, UndefsRow{"riscv32", {}}, UndefsRow{"riscv64", {}},
                    UndefsRow{"ppc", {}}, UndefsRow{"ppc64le", {}}),
    [](const testing::TestParamInfo<UndefsRow> &info) { return std::string(info.param.machine); });

// The slots that those machines cannot fill must stop the run, never leave a word unrelocated.
struct UnhandledRow {
    const char *name;
    const char *machine;
    std::string err;
};

void PrintTo(const UnhandledRow &row, std::ostream *os) { *os << row.name; }

class UnhandledSlot : public testing::TestWithParam<UnhandledRow> {
protected:
    void SetUp() override { require_tools(&tools_); }
    Tools tools_;
};

TEST_P(UnhandledSlot, StopsTheRun) {
    const testrun::TempDir dir;
    toolchain::Target target;
    std::string elf_path;
    ASSERT_NO_FATAL_FAILURE(build_undefs({GetParam().machine, {}}, dir, &target, &elf_path));
    std::vector<std::string> args;
    for (const auto &[name, value] : user_definitions(target)) {
        args.insert(args.end(), {"-d", name + "=" + hex(value)});
    }
    args.insert(args.end(), {"-o", dir.file("image"), "0x80000000", elf_path});
    const testrun::Result r = testrun::run_pieshift(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, GetParam().err + "ERROR: Failed to apply relocations\n");
    EXPECT_FALSE(dir.exists("image"));
}

INSTANTIATE_TEST_SUITE_P(
    Toolchain, UnhandledSlot,
    testing::Values(UnhandledRow{"x86_64_data_slot", "x86_64", "ERROR: R_X86_64_64 is not handled\n"},
                    UnhandledRow{"i386_plt_slot", "i386", "ERROR: R_386_JMP_SLOT is not handled\n"},
                    UnhandledRow{"arm_plt_slot", "arm", "ERROR: R_ARM_JUMP_SLOT is not handled\n"}),
    [](const testing::TestParamInfo<UnhandledRow> &info) { return std::string(info.param.name); });

// ---- 5. The bundled example, built as the `example` target builds it

class Example : public testing::Test {
protected:
    void SetUp() override { require_tools(&tools_); }
    Tools tools_;
};

// The flags of the `example` target; --ld-path only names the ld.lld that was found, which may carry
// a version suffix.
TEST_F(Example, RelocatesWithItsSymbolFile) {
    const testrun::TempDir dir;
    const std::string source = std::string(PIESHIFT_SOURCE_DIR) + "/examples/";
    const std::string elf_path = dir.file("sample.elf");
    if (auto error = run_checked(tools_.clang, {"--target=x86_64-linux-gnu", "-ffreestanding", "-fno-builtin",
                                                "-nostdlib", "-fPIE", "-O1", "-fuse-ld=lld", "--ld-path=" + tools_.lld,
                                                "-static-pie", "-Wl,--no-dynamic-linker", "-Wl,-z,undefs",
                                                "-Wl,-z,norelro", "-Wl,--image-base=0x100000", "-o", elf_path,
                                                source + "sample.c"})) {
        FAIL() << *error;
    }
    const auto x86_64 = target_named("x86_64");
    ASSERT_TRUE(x86_64) << "no toolchain target x86_64";
    Elf in;
    ASSERT_NO_FATAL_FAILURE(describe(tools_, elf_path, &in));
    Bytes unrelocated;
    ASSERT_NO_FATAL_FAILURE(unrelocated_image(tools_, elf_path, in, &unrelocated));

    const uint64_t address = 0x40000000;
    ASSERT_NO_FATAL_FAILURE(run_ok({"-f", source + "sample.sym", "-o", dir.file("image"), "--output-entry",
                                    dir.file("entry"), hex(address), elf_path}));
    // The values that examples/sample.sym gives.
    const std::map<std::string, uint64_t> board = {{"uart_base", 0x10000000}, {"board_reset", 0x80000400}};
    const Words words = formula_words(in, unrelocated, *x86_64, address, board);
    for (const auto &[name, value] : board) {
        const bool filled = std::any_of(in.relocs.begin(), in.relocs.end(),
                                        [&, n = name](const Reloc &r) { return r.symbol == n; });
        EXPECT_TRUE(filled) << "the example no longer refers to " << name;
    }
    expect_image(dir.read("image"), patched(unrelocated, words, *x86_64), in.vspace_start,
                 "the relocation formulas over llvm-readelf's list");
    EXPECT_EQ(text_of(dir, "entry"), hex(in.entry - in.vspace_start + address) + "\n");
}

}  // namespace
