// End-to-end tests of the virtual space: which sections make up the image, how its bounds are rounded
// to the alignment of the PT_LOAD segments that hold them, the size limit and the section copy.
// Inputs are composed section by section, with a dynamic section that names nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <cstddef>
#include <cstdio>
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

using elfbuild::Bytes;
using elfbuild::Format;
using elfbuild::Section;
using elfbuild::Segment;

constexpr uint64_t A = elfbuild::SHF_ALLOC;
constexpr uint64_t AX = elfbuild::SHF_ALLOC | elfbuild::SHF_EXECINSTR;
constexpr uint64_t WA = elfbuild::SHF_ALLOC | elfbuild::SHF_WRITE;
constexpr uint32_t NOBITS = elfbuild::SHT_NOBITS;
constexpr uint32_t SHT_FINI_ARRAY = 15, SHT_PREINIT_ARRAY = 16;  // gABI
constexpr uint64_t beyond_file = 0x40000000;  // an sh_offset far past the end of every input here

// Distinct bytes, so that a section copied to the wrong offset or from the wrong place shows.
Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i);
    return b;
}

// An image of `size` zero bytes with `parts` laid in at their offsets.
Bytes image(size_t size, const std::vector<std::pair<size_t, Bytes>> &parts) {
    Bytes img(size, 0);
    for (const auto &[off, bytes] : parts)
        std::copy(bytes.begin(), bytes.end(), img.begin() + static_cast<std::ptrdiff_t>(off));
    return img;
}

std::string hex(uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%" PRIx64, v);
    return buf;
}

// What -v prints before the bounds are known, and then up to the copy.
const std::string relocating = "Relocating 'in.elf' to 0x80000000, and save to 'in.elf.out'\n";
const std::string to_bounds = relocating + "Search dynamic section...\nDetermine virtual space...\n";
std::string to_copy(uint64_t start, uint64_t end) {
    return to_bounds + "Virtual space: " + hex(start) + ".." + hex(end) +
           "\nCopy section contents to output space...\n";
}

const std::string no_load = "ERROR: Virtual address not found in LOAD phdr\nERROR: Could not determine virtual space\n";

struct Row {
    const char *name;
    std::vector<Section> sections;
    std::vector<Segment> segments;
    int status;
    std::string out;              // at -v, or at -vv when `vv`
    std::string err;
    std::optional<Bytes> image;   // the image file; none: no file may be written
    bool vv = false;
    bool elf64_only = false;      // needs an sh_size that only ELF64 can hold
    std::optional<uint32_t> phnum = {};
};
void PrintTo(const Row &row, std::ostream *os) { *os << row.name; }

std::string row_name(const testing::TestParamInfo<std::tuple<Row, Format>> &info) {
    return std::string(std::get<0>(info.param).name) + "_" + elfbuild::format_name(std::get<1>(info.param));
}

// The input: the row's sections, then a dynamic section outside the image with DT_NULL alone.
Bytes input_of(const Row &row, Format f) {
    elfbuild::Elf e{.fmt = f, .sections = row.sections, .segments = row.segments, .phnum = row.phnum};
    e.sections.push_back({.name = ".dynamic",
                          .type = elfbuild::SHT_DYNAMIC,
                          .flags = WA,
                          .addr = 0x70000000,
                          .data = elfbuild::dyn(f, {{elfbuild::DT_NULL, 0}}),
                          .addralign = 8});
    return elfbuild::build(e);
}

const Row rows[] = {
    // .text at 0x1000 (AX), read-only data at 0x2000, .data at 0x3000, .bss after it: the bounds are
    // 0x1000..0x4000. The section lines number sections by header index, so #2 and #4 are missing.
    {"text_data_bss_rodata_layout",
     {{.name = ".text", .flags = AX, .addr = 0x1000, .data = pattern(0x500, 0x10)},
      {.name = ".rodata", .flags = A, .addr = 0x2000, .data = pattern(0x40, 0x80)},
      {.name = ".data", .flags = WA, .addr = 0x3000, .data = pattern(0x100, 0x40)},
      {.name = ".bss", .type = NOBITS, .flags = WA, .addr = 0x3100, .size = 0x200}},
     {{.vaddr = 0x1000, .memsz = 0x1040}, {.vaddr = 0x3000, .memsz = 0x300}},
     0,
     to_copy(0x1000, 0x4000) + "  Section #1 [.text], 1280 octets at 0x1000 (rel 0x0)\n"
                               "  Section #3 [.data], 256 octets at 0x3000 (rel 0x2000)\nDone.\n",
     "",
     image(0x3000, {{0, pattern(0x500, 0x10)}, {0x2000, pattern(0x100, 0x40)}}),
     true},
    // Lying above .text, each of these would widen the bounds if it counted.
    {"read_only_non_alloc_and_other_types_left_out",
     {{.name = ".text", .flags = AX, .addr = 0x1000, .data = pattern(0x10, 1)},
      {.name = ".rodata", .flags = A, .addr = 0x5000, .data = pattern(0x10, 2)},
      {.name = ".notalloc", .flags = elfbuild::SHF_WRITE | elfbuild::SHF_EXECINSTR, .addr = 0x6000,
       .data = pattern(0x10, 3)},
      {.name = ".note", .type = elfbuild::SHT_NOTE, .flags = WA, .addr = 0x7000, .data = pattern(0x10, 4)}},
     {{.vaddr = 0x1000, .memsz = 0x7000}},
     0,
     to_copy(0x1000, 0x2000),
     "",
     image(0x1000, {{0, pattern(0x10, 1)}})},
    {"only_read_only_sections",
     {{.name = ".text", .flags = A, .addr = 0x1000, .data = pattern(0x10, 1)},
      {.name = ".data", .flags = A, .addr = 0x2000, .data = pattern(0x10, 2)}},
     {{.vaddr = 0x1000, .memsz = 0x2000}},
     1,
     to_bounds,
     "ERROR: Could not determine virtual space\n",
     std::nullopt},
    // .bss has bytes in the file at its sh_offset; they must not reach the image.
    {"nobits_widens_bounds_but_is_not_copied",
     {{.name = ".text", .flags = AX, .addr = 0x1000, .data = pattern(0x10, 1)},
      {.name = ".bss", .type = NOBITS, .flags = WA, .addr = 0x2000, .data = pattern(0x1800, 0x5a)}},
     {{.vaddr = 0x1000, .memsz = 0x2800}},
     0,
     to_copy(0x1000, 0x4000),
     "",
     image(0x3000, {{0, pattern(0x10, 1)}})},
    {"overlap_higher_index_wins",
     {{.name = ".a", .flags = AX, .addr = 0x1000, .data = Bytes(0x20, 0x11)},
      {.name = ".b", .flags = WA, .addr = 0x1010, .data = Bytes(0x20, 0x22)}},
     {{.vaddr = 0x1000, .memsz = 0x30}},
     0,
     to_copy(0x1000, 0x2000),
     "",
     image(0x1000, {{0, Bytes(0x10, 0x11)}, {0x10, Bytes(0x20, 0x22)}})},
    {"overlap_higher_index_wins_at_lower_address",
     {{.name = ".b", .flags = WA, .addr = 0x1010, .data = Bytes(0x20, 0x22)},
      {.name = ".a", .flags = AX, .addr = 0x1000, .data = Bytes(0x20, 0x11)}},
     {{.vaddr = 0x1000, .memsz = 0x30}},
     0,
     to_copy(0x1000, 0x2000),
     "",
     image(0x1000, {{0, Bytes(0x20, 0x11)}, {0x20, Bytes(0x10, 0x22)}})},
    // The lowest section comes last in the table: later sections lower the start too.
    {"lowest_section_last_in_table",
     {{.name = ".data", .flags = WA, .addr = 0x3000, .data = pattern(0x10, 2)},
      {.name = ".text", .flags = AX, .addr = 0x1000, .data = pattern(0x10, 1)}},
     {{.vaddr = 0x1000, .memsz = 0x2010}},
     0,
     to_copy(0x1000, 0x4000),
     "",
     image(0x3000, {{0, pattern(0x10, 1)}, {0x2000, pattern(0x10, 2)}})},
    // 0x1234..0x3001 in one segment.
    {"align_0x1000_rounds_outwards",
     {{.name = ".text", .flags = AX, .addr = 0x1234, .data = pattern(0x1dcd, 7)}},
     {{.vaddr = 0x1000, .memsz = 0x3000, .align = 0x1000}},
     0,
     to_copy(0x1000, 0x4000),
     "",
     image(0x3000, {{0x234, pattern(0x1dcd, 7)}})},
    {"align_1_leaves_bounds",
     {{.name = ".text", .flags = AX, .addr = 0x1234, .data = pattern(0x1dcd, 7)}},
     {{.vaddr = 0x1000, .memsz = 0x3000, .align = 1}},
     0,
     to_copy(0x1234, 0x3001),
     "",
     pattern(0x1dcd, 7)},
    {"align_0_counts_as_1",
     {{.name = ".text", .flags = AX, .addr = 0x1234, .data = pattern(0x1dcd, 7)}},
     {{.vaddr = 0x1000, .memsz = 0x3000, .align = 0}},
     0,
     to_copy(0x1234, 0x3001),
     "",
     pattern(0x1dcd, 7)},
    {"start_and_end_use_own_segment_alignment",
     {{.name = ".text", .flags = AX, .addr = 0x1234, .data = pattern(0x10, 1)},
      {.name = ".data", .flags = WA, .addr = 0x3000, .data = pattern(1, 2)}},
     {{.vaddr = 0x1000, .memsz = 0x1000, .align = 0x10}, {.vaddr = 0x3000, .memsz = 0x10, .align = 0x1000}},
     0,
     to_copy(0x1230, 0x4000),
     "",
     image(0x2dd0, {{4, pattern(0x10, 1)}, {0x1dd0, pattern(1, 2)}})},
    // A PT_DYNAMIC holding the section comes first; only the PT_LOAD's alignment counts.
    {"non_load_segments_ignored",
     {{.name = ".text", .flags = AX, .addr = 0x1234, .data = pattern(0x10, 1)}},
     {{.type = elfbuild::PT_DYNAMIC, .vaddr = 0x1000, .memsz = 0x1000, .align = 0x1000},
      {.vaddr = 0x1200, .memsz = 0x100, .align = 0x10}},
     0,
     to_copy(0x1230, 0x1250),
     "",
     image(0x20, {{4, pattern(0x10, 1)}})},
    {"lowest_section_outside_every_load",
     {{.name = ".text", .flags = AX, .addr = 0x1000, .data = pattern(0x10, 1)},
      {.name = ".data", .flags = WA, .addr = 0x9000, .data = pattern(0x10, 2)}},
     {{.vaddr = 0x2000, .memsz = 0x1000}, {.type = elfbuild::PT_NOTE, .vaddr = 0x1000, .memsz = 0x1000}},
     1,
     to_bounds,
     no_load,
     std::nullopt},
    {"highest_end_outside_every_load",
     {{.name = ".text", .flags = AX, .addr = 0x1000, .data = pattern(0x100, 1)},
      {.name = ".data", .flags = WA, .addr = 0x2000, .data = pattern(0x10, 2)}},
     {{.vaddr = 0x1000, .memsz = 0x100}},
     1,
     to_bounds,
     no_load,
     std::nullopt},
    {"end_equal_to_segment_end_accepted",
     {{.name = ".text", .flags = AX, .addr = 0x1000, .data = pattern(0x100, 1)}},
     {{.vaddr = 0x1000, .memsz = 0x100, .align = 1}},
     0,
     to_copy(0x1000, 0x1100),
     "",
     pattern(0x100, 1)},
    {"end_one_past_segment_end_rejected",
     {{.name = ".text", .flags = AX, .addr = 0x1000, .data = pattern(0x100, 1)}},
     {{.vaddr = 0x1000, .memsz = 0xff, .align = 1}},
     1,
     to_bounds,
     no_load,
     std::nullopt},
    // The end 0x1100 is both the first segment's end and the second's start: the first one holds it.
    {"end_at_segment_boundary_uses_first_segment",
     {{.name = ".text", .flags = AX, .addr = 0x1000, .data = pattern(0x100, 1)}},
     {{.vaddr = 0x1000, .memsz = 0x100, .align = 0x10}, {.vaddr = 0x1100, .memsz = 0x100, .align = 0x1000}},
     0,
     to_copy(0x1000, 0x1100),
     "",
     pattern(0x100, 1)},
    {"start_at_segment_boundary_uses_first_segment",
     {{.name = ".text", .flags = AX, .addr = 0x1100, .data = pattern(0x10, 1)}},
     {{.vaddr = 0x1000, .memsz = 0x100, .align = 0x1000}, {.vaddr = 0x1100, .memsz = 0x100, .align = 0x10}},
     0,
     to_copy(0x1000, 0x1110),
     "",
     image(0x110, {{0x100, pattern(0x10, 1)}})},
    // The program header table claims more entries than the file holds: the loader refuses the file
    // before any lookup could meet an unreadable header.
    {"phdr_table_past_end_of_file",
     {{.name = ".text", .flags = AX, .addr = 0x1000, .data = pattern(0x10, 1)}},
     {{.vaddr = 0x1000, .memsz = 0x10}},
     255,
     relocating,
     "pieshift: Could not load 'in.elf' as ELF\n",
     std::nullopt,
     false,
     false,
     1000},
    {"space_of_4_gib_too_large",
     {{.name = ".text", .flags = AX, .addr = 0x1000, .data = pattern(0x10, 1)},
      {.name = ".bss", .type = NOBITS, .flags = WA, .addr = 0x1010, .size = 0xfffffff0}},
     // Two segments, so that ELF32 with its 32-bit p_memsz reaches the end too.
     {{.vaddr = 0x1000, .memsz = 0x10, .align = 1}, {.vaddr = 0x80000000, .memsz = 0x80001000, .align = 1}},
     1,
     to_bounds + "Virtual space: 0x1000..0x100001000\n",
     "ERROR: Virtual space is too large\n",
     std::nullopt},
    // sh_addr + sh_size wraps below sh_addr: the end lies below the start, the difference is huge.
    {"end_below_start_too_large",
     {{.name = ".text", .flags = AX, .addr = 0x1000, .data = pattern(0x10, 1), .size = 0xfffffffffffffff0}},
     {{.vaddr = 0, .memsz = 0x2000, .align = 1}},
     1,
     to_bounds + "Virtual space: 0x1000..0xff0\n",
     "ERROR: Virtual space is too large\n",
     std::nullopt,
     false,
     true},
    {"empty_space_writes_empty_image",
     {{.name = ".text", .flags = AX, .addr = 0x1000}},
     {{.vaddr = 0x1000, .memsz = 0}},
     0,
     to_copy(0x1000, 0x1000),
     "",
     Bytes{}},
    // Arrays of pointers are data: they widen the bounds and are copied like SHT_PROGBITS.
    {"init_fini_preinit_arrays_copied",
     {{.name = ".text", .flags = AX, .addr = 0x1000, .data = pattern(0x10, 1)},
      {.name = ".init_array", .type = elfbuild::SHT_INIT_ARRAY, .flags = WA, .addr = 0x2000, .data = pattern(8, 2)},
      {.name = ".preinit_array", .type = SHT_PREINIT_ARRAY, .flags = WA, .addr = 0x2008, .data = pattern(8, 3)},
      {.name = ".fini_array", .type = SHT_FINI_ARRAY, .flags = WA, .addr = 0x3000, .data = pattern(8, 4)}},
     {{.vaddr = 0x1000, .memsz = 0x2008}},
     0,
     to_copy(0x1000, 0x4000),
     "",
     image(0x3000, {{0, pattern(0x10, 1)}, {0x1000, pattern(8, 2)}, {0x1008, pattern(8, 3)}, {0x2000, pattern(8, 4)}})},
    // .text's end wraps to 0x800, so .data sets the bounds and .text reaches far outside them.
    {"section_beyond_space_not_copied",
     {{.name = ".text", .flags = AX, .addr = 0x1000, .data = pattern(0x10, 1), .size = 0xfffffffffffff800},
      {.name = ".data", .flags = WA, .addr = 0x2000, .data = pattern(0x10, 2)}},
     {{.vaddr = 0, .memsz = 0x3000}},
     1,
     to_copy(0x1000, 0x3000),
     "ERROR: Section #1 [.text] (0xfffffffffffff800 octets at 0x1000) does not fit in the virtual space\n"
     "ERROR: Could not copy sections\n",
     std::nullopt,
     false,
     true},
    {"section_contents_outside_file",
     {{.name = ".text", .flags = AX, .addr = 0x1000, .data = pattern(0x10, 1), .offset = beyond_file}},
     {{.vaddr = 0x1000, .memsz = 0x10}},
     1,
     to_copy(0x1000, 0x2000),
     "ERROR: Could not copy sections\n",
     std::nullopt},
    // sh_name points past .shstrtab.
    {"section_without_name_shown_as_question_mark",
     {{.name = ".text", .flags = AX, .addr = 0x1000, .data = pattern(0x10, 1), .name_off = 0xffff}},
     {{.vaddr = 0x1000, .memsz = 0x10}},
     0,
     to_copy(0x1000, 0x2000) + "  Section #1 [?], 16 octets at 0x1000 (rel 0x0)\nDone.\n",
     "",
     image(0x1000, {{0, pattern(0x10, 1)}}),
     true},
};

std::vector<Row> rows_where(bool elf64_only) {
    std::vector<Row> v;
    std::copy_if(std::begin(rows), std::end(rows), std::back_inserter(v),
                 [&](const Row &r) { return r.elf64_only == elf64_only; });
    return v;
}

const std::vector<Format> elf64_formats = {{64, false}, {64, true}};

class VirtualSpace : public testing::TestWithParam<std::tuple<Row, Format>> {};

TEST_P(VirtualSpace, Run) {
    const auto &[row, fmt] = GetParam();
    testrun::TempDir dir;
    dir.write("in.elf", input_of(row, fmt));
    const testrun::Result r =
        testrun::run_pieshift_as("pieshift", {row.vv ? "-vv" : "-v", "0x80000000", "in.elf"}, dir.path);
    EXPECT_EQ(r.status, row.status);
    EXPECT_EQ(r.out, row.out);
    EXPECT_EQ(r.err, row.err);
    if (row.image) {
        ASSERT_TRUE(dir.exists("in.elf.out"));
        EXPECT_EQ(dir.read("in.elf.out"), *row.image);
    } else {
        EXPECT_FALSE(dir.exists("in.elf.out"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    E2e, VirtualSpace,
    testing::Combine(testing::ValuesIn(rows_where(false)), testing::ValuesIn(elfbuild::all_formats())), row_name);
INSTANTIATE_TEST_SUITE_P(
    E2eElf64, VirtualSpace,
    testing::Combine(testing::ValuesIn(rows_where(true)), testing::ValuesIn(elf64_formats)), row_name);

// A sanitized binary reserves terabytes of shadow address space, which an address-space limit breaks.
bool binary_is_sanitized() {
    std::ifstream in(testrun::pieshift_path(), std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    return bytes.find("__asan_init") != std::string::npos;
}

// 2^32 - 1 bytes is the largest space: it passes the size check and goes on to be allocated. The
// allocation is made to fail, under an address-space limit or the sanitizer allocator's own limit,
// so that the test neither takes 4 GiB nor writes them out.
TEST(VirtualSpaceLimit, largest_space_passes_size_check) {
    const bool sanitized = binary_is_sanitized();
    const std::string limit = sanitized
                                  ? "export ASAN_OPTIONS=\"$ASAN_OPTIONS:allocator_may_return_null=1:"
                                    "max_allocation_size_mb=1024\"; "
                                  : "ulimit -v 1048576 || exit 99; ";
    const std::string script = limit + "export LSAN_OPTIONS=suppressions=" PIESHIFT_SOURCE_DIR
                                       "/tests/lsan.supp:print_suppressions=0; exec \"$0\" \"$@\"";
    for (const Format fmt : elfbuild::all_formats()) {
        SCOPED_TRACE(elfbuild::format_name(fmt));
        const Row row{"largest",
                      {{.name = ".text", .flags = AX, .addr = 0x1000, .data = pattern(0x10, 1)},
                       {.name = ".bss", .type = NOBITS, .flags = WA, .addr = 0x1010, .size = 0xffffffef}},
                      {{.vaddr = 0x1000, .memsz = 0xffffffff, .align = 1}},
                      1, "", "", std::nullopt};
        testrun::TempDir dir;
        dir.write("in.elf", input_of(row, fmt));
        const testrun::Result r = testrun::run_tool(
            "sh", {"-c", script, testrun::pieshift_path(), "-v", "0x80000000", "in.elf"}, dir.path);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, to_bounds + "Virtual space: 0x1000..0x100000fff\n");
        const std::string expected = "ERROR: Could not allocate output space: Cannot allocate memory\n";
        // The sanitizer allocator warns on its own line before returning null.
        if (sanitized)
            EXPECT_TRUE(r.err.ends_with(expected)) << r.err;
        else
            EXPECT_EQ(r.err, expected);
        EXPECT_FALSE(dir.exists("in.elf.out"));
    }
}

}  // namespace
