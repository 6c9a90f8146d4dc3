// End-to-end tests of the two output files: the image byte for byte, the entry-point line, files that
// exist already, paths that cannot be written, and outputs that name the input itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "support/elfbuild.h"
#include "support/run.h"

namespace {

using elfbuild::BuiltPie;
using elfbuild::Bytes;
using elfbuild::Format;
using elfbuild::Pie;

constexpr uint32_t R_PPC_RELATIVE = 22, R_PPC64_RELATIVE = 22;  // Power psABIs

// For each kind, a machine whose relative type the tool applies: i386, PowerPC, x86-64, PowerPC64.
Pie base_pie(Format f) {
    Pie p;
    p.fmt = f;
    if (f.elfclass == 32)
        p.machine = f.msb ? elfbuild::EM_PPC : elfbuild::EM_386;
    else
        p.machine = f.msb ? elfbuild::EM_PPC64 : elfbuild::EM_X86_64;
    return p;
}
uint32_t relative_type(Format f) {
    if (f.elfclass == 32) return f.msb ? R_PPC_RELATIVE : elfbuild::R_386_RELATIVE;
    return f.msb ? R_PPC64_RELATIVE : elfbuild::R_X86_64_RELATIVE;
}

const Bytes text = {0x55, 0x48, 0x89, 0xe5, 0x90, 0x90, 0x90, 0x90, 0x0f, 0x0b, 0xc3, 0x00, 0x01, 0x02, 0x03, 0x04};

// .text at 0x1000; .data at 0x2000: a word for a RELA entry (addend 0x1004), a word holding a REL
// entry's addend 0x1008, four bytes 0xab; 0x10 bytes of .bss.
Pie relocating_pie(Format f) {
    Pie p = base_pie(f);
    const unsigned w = elfbuild::word_size(f);
    p.text = text;
    p.data = elfbuild::word(f, 0);
    elfbuild::append(p.data, elfbuild::word(f, 0x1008));
    p.data.insert(p.data.end(), 4, 0xab);
    p.data_addr = 0x2000;
    p.bss_size = 0x10;
    p.relocs = {{.offset = 0x2000, .type = relative_type(f), .addend = 0x1004}};
    p.plt_relocs = {{.offset = 0x2000 + w, .type = relative_type(f)}};
    p.plt_rela = false;
    return p;
}

// relocating_pie loaded at 0x80000000, written out by hand.
Bytes relocating_image(Format f) {
    const unsigned w = elfbuild::word_size(f);
    Bytes img(0x2000, 0);
    std::copy(text.begin(), text.end(), img.begin());
    elfbuild::put(img, 0x1000, w, 0x80000004, f.msb);
    elfbuild::put(img, 0x1000 + w, w, 0x80000008, f.msb);
    std::fill_n(img.begin() + 0x1000 + 2 * w, 4, 0xab);
    return img;
}

Bytes text_bytes(const std::string &s) { return Bytes(s.begin(), s.end()); }

using Files = std::vector<std::pair<std::string, std::optional<Bytes>>>;  // none: the file must not exist

struct Case {
    Bytes input;
    std::vector<std::string> options;
    int status = 0;
    std::string err = {};
    Files after = {};
    std::vector<std::pair<std::string, Bytes>> before = {};  // written before the run
    std::string address = "0x80000000";
};

struct Row {
    const char *name;
    Case (*make)(Format);
};
void PrintTo(const Row &row, std::ostream *os) { *os << row.name; }

const std::string no_dir = "ERROR: Could not open 'nodir/out' for write: No such file or directory\n";
const std::string disk_full = "ERROR: Could write: No space left on device\n";

const Row rows[] = {
    {"image_bytes",
     [](Format f) {
         return Case{build_pie(relocating_pie(f)).bytes, {}, 0, "", {{"in.elf.out", relocating_image(f)}}};
     }},
    {"entry_zero",
     [](Format f) {
         return Case{.input = build_pie(relocating_pie(f)).bytes,
                     .options = {"--output-entry", "entry.txt"},
                     .after = {{"entry.txt", Bytes{0x30, 0x78, 0x30, 0x0a}}},
                     .address = "0"};
     }},
    {"entry_all_ones",
     [](Format f) {
         Pie p = relocating_pie(f);
         p.entry = 0xfff;
         return Case{.input = build_pie(p).bytes,
                     .options = {"--output-entry", "entry.txt"},
                     .after = {{"entry.txt", text_bytes("0xffffffffffffffff\n")}},
                     .address = "0"};
     }},
    {"longer_image_file_truncated",
     [](Format f) {
         return Case{.input = build_pie(relocating_pie(f)).bytes,
                     .options = {},
                     .after = {{"in.elf.out", relocating_image(f)}},
                     .before = {{"in.elf.out", Bytes(0x5000, 0xee)}}};
     }},
    {"longer_entry_file_truncated",
     [](Format f) {
         return Case{.input = build_pie(relocating_pie(f)).bytes,
                     .options = {"--output-entry", "entry.txt"},
                     .after = {{"entry.txt", text_bytes("0x80000000\n")}},
                     .before = {{"entry.txt", Bytes(64, 'x')}}};
     }},
    // Every section empty at 0x1000: the space is 0x1000..0x1000.
    {"empty_image_truncates_file",
     [](Format f) {
         Pie p = base_pie(f);
         p.data_addr = 0x1000;
         return Case{.input = build_pie(p).bytes,
                     .options = {},
                     .after = {{"in.elf.out", Bytes{}}},
                     .before = {{"in.elf.out", Bytes(0x100, 0xee)}}};
     }},
    // No entry-point file is attempted once the image has failed.
    {"image_directory_missing",
     [](Format f) {
         return Case{build_pie(relocating_pie(f)).bytes,
                     {"-o", "nodir/out", "--output-entry", "entry.txt"},
                     1,
                     no_dir + "ERROR: Could not save output.\n",
                     {{"in.elf.out", std::nullopt}, {"entry.txt", std::nullopt}}};
     }},
    {"image_path_is_directory",
     [](Format f) {
         return Case{build_pie(relocating_pie(f)).bytes,
                     {"-o", "."},
                     1,
                     "ERROR: Could not open '.' for write: Is a directory\nERROR: Could not save output.\n",
                     {{"in.elf.out", std::nullopt}}};
     }},
    // 8 KiB: more than the stream buffers, so the write itself fails.
    {"image_write_fails",
     [](Format f) {
         return Case{build_pie(relocating_pie(f)).bytes,
                     {"-o", "/dev/full", "--output-entry", "entry.txt"},
                     1,
                     disk_full + "ERROR: Could not save output.\n",
                     {{"entry.txt", std::nullopt}}};
     }},
    // A few bytes stay in the stream's buffer until the file is closed, and the close fails.
    {"image_close_fails",
     [](Format f) {
         Pie p = base_pie(f);
         p.text = text;
         p.align = 1;
         return Case{build_pie(p).bytes, {"-o", "/dev/full"}, 1, disk_full + "ERROR: Could not save output.\n", {}};
     }},
    {"entry_directory_missing",
     [](Format f) {
         return Case{build_pie(relocating_pie(f)).bytes,
                     {"--output-entry", "nodir/out"},
                     1,
                     no_dir + "ERROR: Could not save entry point to 'nodir/out'.\n",
                     {{"in.elf.out", relocating_image(f)}}};
     }},
    {"entry_close_fails",
     [](Format f) {
         return Case{build_pie(relocating_pie(f)).bytes,
                     {"--output-entry", "/dev/full"},
                     1,
                     disk_full + "ERROR: Could not save entry point to '/dev/full'.\n",
                     {{"in.elf.out", relocating_image(f)}}};
     }},
    // The input is read whole before anything is written.
    {"image_overwrites_input",
     [](Format f) {
         return Case{build_pie(relocating_pie(f)).bytes,
                     {"-o", "in.elf"},
                     0,
                     "",
                     {{"in.elf", relocating_image(f)}, {"in.elf.out", std::nullopt}}};
     }},
    {"entry_overwrites_input",
     [](Format f) {
         return Case{build_pie(relocating_pie(f)).bytes,
                     {"--output-entry", "in.elf"},
                     0,
                     "",
                     {{"in.elf", text_bytes("0x80000000\n")}, {"in.elf.out", relocating_image(f)}}};
     }},
    {"entry_written_after_image_over_input",
     [](Format f) {
         return Case{build_pie(relocating_pie(f)).bytes,
                     {"-o", "in.elf", "--output-entry", "in.elf"},
                     0,
                     "",
                     {{"in.elf", text_bytes("0x80000000\n")}}};
     }},
};

std::string row_name(const testing::TestParamInfo<std::tuple<Row, Format>> &info) {
    return std::string(std::get<0>(info.param).name) + "_" + elfbuild::format_name(std::get<1>(info.param));
}

class OutputFiles : public testing::TestWithParam<std::tuple<Row, Format>> {};

TEST_P(OutputFiles, Run) {
    const Case c = std::get<0>(GetParam()).make(std::get<1>(GetParam()));
    if (std::find(c.options.begin(), c.options.end(), "/dev/full") != c.options.end() &&
        !std::filesystem::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full here";
    testrun::TempDir dir;
    dir.write("in.elf", c.input);
    for (const auto &[name, bytes] : c.before) dir.write(name, bytes);
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {c.address, "in.elf"});
    const testrun::Result r = testrun::run_pieshift_as("pieshift", args, dir.path);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err);
    for (const auto &[name, bytes] : c.after) {
        SCOPED_TRACE(name);
        if (!bytes) {
            EXPECT_FALSE(dir.exists(name));
            continue;
        }
        ASSERT_TRUE(dir.exists(name));
        EXPECT_EQ(dir.read(name), *bytes);
    }
}

INSTANTIATE_TEST_SUITE_P(E2e, OutputFiles,
                         testing::Combine(testing::ValuesIn(rows), testing::ValuesIn(elfbuild::all_formats())),
                         row_name);

}  // namespace
