// End-to-end tests of the virtual space: which sections make up the image, how its bounds are rounded
// to the alignment of the PT_LOAD segments that hold them, the size limit and the section copy.
// Inputs are composed section by section, with a dynamic section that names nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <fstream>
#include <iterator>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "support/elfbuild.h"
#include "support/run.h"

namespace {

namespace eb = elfbuild;
using eb::Bytes;
using eb::Format;
using eb::Section;
using eb::Segment;

constexpr Format L32{32, false}, M32{32, true}, L64{64, false}, M64{64, true};
constexpr uint64_t A = eb::SHF_ALLOC, AX = eb::SHF_ALLOC | eb::SHF_EXECINSTR, WA = eb::SHF_ALLOC | eb::SHF_WRITE;
constexpr uint32_t SHT_FINI_ARRAY = 15, SHT_PREINIT_ARRAY = 16;  // gABI

// Distinct bytes, so that a section copied to the wrong offset or from the wrong place shows.
Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i);
    return b;
}

// An image of `size` zero bytes with `parts` laid in at their offsets.
Bytes image(size_t size, const std::vector<std::pair<size_t, Bytes>> &parts) {
    Bytes img(size, 0);
    for (const auto &[off, bytes] : parts) std::ranges::copy(bytes, img.begin() + static_cast<std::ptrdiff_t>(off));
    return img;
}

Section sec(const char *name, uint64_t flags, uint64_t addr, Bytes data, uint32_t type = eb::SHT_PROGBITS) {
    return {.name = name, .type = type, .flags = flags, .addr = addr, .data = std::move(data)};
}
Section bss(uint64_t addr, uint64_t size) {
    return {.name = ".bss", .type = eb::SHT_NOBITS, .flags = WA, .addr = addr, .size = size};
}
Segment load(uint64_t vaddr, uint64_t memsz, uint64_t align = 0x1000) {
    return {.vaddr = vaddr, .memsz = memsz, .align = align};
}

// What -v prints before the bounds are known, and then up to the copy.
const std::string to_bounds = "Relocating 'in.elf' to 0x80000000, and save to 'in.elf.out'\n"
                              "Search dynamic section...\nDetermine virtual space...\n";
std::string to_copy(const std::string &bounds) {
    return to_bounds + "Virtual space: " + bounds + "\nCopy section contents to output space...\n";
}

const std::string no_load = "ERROR: Virtual address not found in LOAD phdr\nERROR: Could not determine virtual space\n";
const std::string too_large = "ERROR: Virtual space is too large\n";

// One kind per row: the bounds do not depend on class or byte order, except for sizes only ELF64 holds.
struct Row {
    const char *name;
    Format kind;
    std::vector<Section> sections;
    std::vector<Segment> segments;
    std::string out;                  // at -v, or at -vv when `vv`
    std::string err = {};             // exit status 1 when not empty
    std::optional<Bytes> image = {};  // none: no file may be written
    bool vv = false;
};
void PrintTo(const Row &row, std::ostream *os) { *os << row.name; }

// The row's sections, then a dynamic section outside the image with DT_NULL alone.
Bytes input_of(const Row &row) {
    eb::Elf e{.fmt = row.kind, .sections = row.sections, .segments = row.segments};
    e.sections.push_back({.name = ".dynamic", .type = eb::SHT_DYNAMIC, .flags = WA, .addr = 0x70000000,
                          .data = eb::dyn(row.kind, {{eb::DT_NULL, 0}}), .addralign = 8});
    return eb::build(e);
}

const Row rows[] = {
    // Read-only .rodata is left out, and so are a note and a non-allocated section far above, which
    // no PT_LOAD holds. Sections are numbered by header index, so #2 and #4 are missing.
    {"text_data_bss_rodata_layout", L32,
     {sec(".text", AX, 0x1000, pattern(0x500, 0x10)), sec(".rodata", A, 0x2000, pattern(0x40, 0x80)),
      sec(".data", WA, 0x3000, pattern(0x100, 0x40)), bss(0x3100, 0x200),
      sec(".note", WA, 0x7000, pattern(0x10, 4), eb::SHT_NOTE),
      sec(".notalloc", eb::SHF_WRITE | eb::SHF_EXECINSTR, 0x6000, pattern(0x10, 3))},
     {load(0x1000, 0x1040), load(0x3000, 0x300)},
     to_copy("0x1000..0x4000") + "  Section #1 [.text], 1280 octets at 0x1000 (rel 0x0)\n"
                               "  Section #3 [.data], 256 octets at 0x3000 (rel 0x2000)\nDone.\n",
     "", image(0x3000, {{0, pattern(0x500, 0x10)}, {0x2000, pattern(0x100, 0x40)}}), true},
    {"only_read_only_sections", M32, {sec(".text", A, 0x1000, pattern(0x10, 1))}, {load(0x1000, 0x1000)}, to_bounds,
     "ERROR: Could not determine virtual space\n"},
    // .bss has bytes in the file at its sh_offset; they must not reach the image.
    {"nobits_widens_bounds_and_stays_zero", L64,
     {sec(".text", AX, 0x1000, pattern(0x10, 1)), sec(".bss", WA, 0x2000, pattern(0x1800, 0x5a), eb::SHT_NOBITS)},
     {load(0x1000, 0x2800)}, to_copy("0x1000..0x4000"), "", image(0x3000, {{0, pattern(0x10, 1)}})},
    // The lower section comes second: it is copied later, over the first, and lowers the start.
    {"overlap_higher_index_wins", M64,
     {sec(".b", WA, 0x1010, Bytes(0x20, 0x22)), sec(".a", AX, 0x1000, Bytes(0x20, 0x11))}, {load(0x1000, 0x30, 1)},
     to_copy("0x1000..0x1030"), "", image(0x30, {{0, Bytes(0x20, 0x11)}, {0x20, Bytes(0x10, 0x22)}})},
    // 0x1234..0x3001: each bound rounds out to the alignment of its own segment; 0 counts as 1.
    {"align_0x1000_start_1_end", L32,
     {sec(".text", AX, 0x1234, pattern(0x10, 1)), sec(".data", WA, 0x3000, pattern(1, 2))},
     {load(0x1000, 0x1000, 0x1000), load(0x3000, 0x10, 1)}, to_copy("0x1000..0x3001"), "",
     image(0x2001, {{0x234, pattern(0x10, 1)}, {0x2000, pattern(1, 2)}})},
    {"align_0_start_0x1000_end", M32,
     {sec(".text", AX, 0x1234, pattern(0x10, 1)), sec(".data", WA, 0x3000, pattern(1, 2))},
     {load(0x1000, 0x1000, 0), load(0x3000, 0x10, 0x1000)}, to_copy("0x1234..0x4000"), "",
     image(0x2dcc, {{0, pattern(0x10, 1)}, {0x1dcc, pattern(1, 2)}})},
    // Only a PT_NOTE holds the start.
    {"lowest_section_outside_every_load", L64, {sec(".text", AX, 0x1000, pattern(0x10, 1))},
     {load(0x2000, 0x1000), {.type = eb::PT_NOTE, .vaddr = 0x1000, .memsz = 0x1000}}, to_bounds, no_load},
    {"end_at_segment_end_accepted", M64, {sec(".text", AX, 0x1000, pattern(0x100, 1))}, {load(0x1000, 0x100, 1)},
     to_copy("0x1000..0x1100"), "", pattern(0x100, 1)},
    {"end_one_past_segment_end_rejected", L32, {sec(".text", AX, 0x1000, pattern(0x100, 1))},
     {load(0x1000, 0xff, 1)}, to_bounds, no_load},
    // 2^32 bytes; in ELF32 the end only fits 64 bits. A second segment holds it, as p_memsz has 32 bits.
    {"space_of_4_gib_too_large", M32, {sec(".text", AX, 0x1000, pattern(0x10, 1)), bss(0x1010, 0xfffffff0)},
     {load(0x1000, 0x10, 1), load(0x80000000, 0x80001000, 1)}, to_bounds + "Virtual space: 0x1000..0x100001000\n",
     too_large},
    // sh_addr + sh_size wraps below sh_addr: the end lies below the start, the difference is huge.
    {"end_below_start_too_large", L64,
     {{.name = ".text", .flags = AX, .addr = 0x1000, .data = pattern(0x10, 1), .size = 0xfffffffffffffff0}},
     {load(0, 0x2000, 1)}, to_bounds + "Virtual space: 0x1000..0xff0\n", too_large},
    {"empty_space_writes_empty_image", M64, {sec(".text", AX, 0x1000, {})}, {load(0x1000, 0)},
     to_copy("0x1000..0x1000"), "", Bytes{}},
    // Arrays of pointers are data: they widen the bounds and are copied like SHT_PROGBITS.
    {"init_fini_preinit_arrays_copied", L32,
     {sec(".text", AX, 0x1000, pattern(0x10, 1)), sec(".init_array", WA, 0x2000, pattern(8, 2), eb::SHT_INIT_ARRAY),
      sec(".preinit_array", WA, 0x2008, pattern(8, 3), SHT_PREINIT_ARRAY),
      sec(".fini_array", WA, 0x3000, pattern(8, 4), SHT_FINI_ARRAY)},
     {load(0x1000, 0x2008)}, to_copy("0x1000..0x4000"), "",
     image(0x3000, {{0, pattern(0x10, 1)}, {0x1000, pattern(8, 2)}, {0x1008, pattern(8, 3)}, {0x2000, pattern(8, 4)}})},
    // .text's end wraps to 0x800, so .data sets the bounds and .text reaches far outside them. Its
    // sh_name points past .shstrtab.
    {"section_beyond_space_not_copied", M64,
     {{.name = ".text", .flags = AX, .addr = 0x1000, .data = pattern(0x10, 1), .size = 0xfffffffffffff800,
       .name_off = 0xffff},
      sec(".data", WA, 0x2000, pattern(0x10, 2))},
     {load(0, 0x3000)}, to_copy("0x1000..0x3000"),
     "ERROR: Section #1 [?] (0xfffffffffffff800 octets at 0x1000) does not fit in the virtual space\n"
     "ERROR: Could not copy sections\n"},
};

class VirtualSpace : public testing::TestWithParam<Row> {};

TEST_P(VirtualSpace, Run) {
    const Row &row = GetParam();
    testrun::TempDir dir;
    dir.write("in.elf", input_of(row));
    const testrun::Result r =
        testrun::run_pieshift_as("pieshift", {row.vv ? "-vv" : "-v", "0x80000000", "in.elf"}, dir.path);
    EXPECT_EQ(r.status, row.err.empty() ? 0 : 1);
    EXPECT_EQ(r.out, row.out);
    EXPECT_EQ(r.err, row.err);
    ASSERT_EQ(dir.exists("in.elf.out"), row.image.has_value());
    if (row.image) {
        EXPECT_EQ(dir.read("in.elf.out"), *row.image);
    }
}

INSTANTIATE_TEST_SUITE_P(E2e, VirtualSpace, testing::ValuesIn(rows), [](const testing::TestParamInfo<Row> &info) {
    return std::string(info.param.name) + "_" + eb::format_name(info.param.kind);
});

// 2^32 - 1 bytes is the largest space: it passes the size check and goes on to be allocated. The
// allocation is made to fail, under an address-space limit or the sanitizer allocator's own limit,
// so that the test neither takes 4 GiB nor writes them out. A sanitized binary reserves terabytes of
// shadow address space, which an address-space limit would break.
TEST(VirtualSpaceLimit, largest_space_passes_size_check) {
    std::ifstream bin(testrun::pieshift_path(), std::ios::binary);
    const std::string bytes(std::istreambuf_iterator<char>(bin), {});
    const bool sanitized = bytes.find("__asan_init") != std::string::npos;
    const std::string script =
        std::string(sanitized ? "export ASAN_OPTIONS=\"$ASAN_OPTIONS:allocator_may_return_null=1:"
                                "max_allocation_size_mb=1024\"; "
                              : "ulimit -v 1048576 || exit 99; ") +
        "export LSAN_OPTIONS=suppressions=" PIESHIFT_SOURCE_DIR "/tests/lsan.supp:print_suppressions=0; "
        "exec \"$0\" \"$@\"";
    const Row row{"largest", L32, {sec(".text", AX, 0x1000, pattern(0x10, 1)), bss(0x1010, 0xffffffef)},
                  {load(0x1000, 0xffffffff, 1)}, ""};
    testrun::TempDir dir;
    dir.write("in.elf", input_of(row));
    const testrun::Result r =
        testrun::run_tool("sh", {"-c", script, testrun::pieshift_path(), "-v", "0x80000000", "in.elf"}, dir.path);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, to_bounds + "Virtual space: 0x1000..0x100000fff\n");
    // The sanitizer allocator warns on its own line before returning null.
    const std::string expected = "ERROR: Could not allocate output space: Cannot allocate memory\n";
    EXPECT_TRUE(sanitized ? r.err.ends_with(expected) : r.err == expected) << r.err;
    EXPECT_FALSE(dir.exists("in.elf.out"));
}

}  // namespace
