// End-to-end tests of the command line: option grammar, operands and ADDRESS syntax, the default output
// name, help, version and verbosity, and an INPUT that is missing or not ELF. Each row runs the tool in a
// fresh directory holding the same inputs and compares the exit status, stdout, stderr, the set of files
// left behind and the bytes of the image written.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "kelpbase.h"
#include "kelpx.h"
#include "support/elfbuild.h"
#include "support/run.h"

namespace {

namespace eb = elfbuild;

// in.elf has one relative relocation, whose stored word shows which ADDRESS was parsed; sym.elf adds
// references to the undefined ext_a and ext_b, which the rows set to 0x1234 and 0x5678.
eb::BuiltPie build_input(bool syms) {
    eb::Pie p;
    p.text = eb::Bytes(0x40, 0x90);
    p.data = eb::Bytes(24, 0);
    p.relocs = {{0x2000, 0, eb::R_X86_64_RELATIVE, 0x1010}};
    for (uint64_t i = 1; syms && i <= 2; i++) {
        p.dynsyms.push_back({.name = i == 1 ? "ext_a" : "ext_b", .info = eb::st_info(eb::STB_GLOBAL, eb::STT_NOTYPE)});
        p.relocs.push_back({0x2000 + 8 * i, i, eb::R_X86_64_GLOB_DAT, 0});
    }
    return eb::build_pie(p);
}
const eb::BuiltPie &input(bool syms) {
    static const eb::BuiltPie plain = build_input(false), with_syms = build_input(true);
    return syms ? with_syms : plain;
}

// The default output name adds 4 characters, and a path component may have 255.
const std::string name251 = std::string(247, 'n') + ".elf", name252 = std::string(248, 'n') + ".elf";

void write_inputs(const testrun::TempDir &dir) {
    for (const std::string &name : {std::string("in.elf"), name251, name252}) dir.write(name, input(false).bytes);
    dir.write("sym.elf", input(true).bytes);
    dir.write_text("syms.txt", "0x5678 ext_b\n");
    dir.write_text("notelf.txt", "not an ELF file\n");
}

std::set<std::string> list_dir(const std::string &path) {
    std::set<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(path)) names.insert(entry.path().filename().string());
    return names;
}

// The image of in.elf or sym.elf relocated to `address`: the relative word is address + 0x10 modulo 2^64.
eb::Bytes expected_image(bool syms, uint64_t address) {
    const eb::BuiltPie &b = input(syms);
    eb::Bytes img = b.image();
    eb::put(img, b.image_off(0x2000), 8, address + 0x10, false);
    if (syms) {
        eb::put(img, b.image_off(0x2008), 8, 0x1234, false);
        eb::put(img, b.image_off(0x2010), 8, 0x5678, false);
    }
    return img;
}

// A run on sym.elf relocated to 0x180000000 (wider than 32 bits, as the printed values must be) with
// "-f syms.txt -d ext_a=0x1234" after the v's, at each verbosity level.
constexpr uint64_t syms_address = 0x180000000;
std::string syms_trace(int level, const std::string &output = "sym.elf.out") {
    auto at = [level](int min, const std::string &line) { return level >= min ? line : std::string(); };
    char reltab[64];
    std::snprintf(reltab, sizeof reltab, "Apply relocations at 0x%llx...\n",
                  static_cast<unsigned long long>(input(true).reltab_addr));
    return at(1, "Loading symbol file 'syms.txt' (format is field:1:2)\n") + at(2, "  ext_b = 0x5678\nDone.\n") +
           at(1, "Relocating 'sym.elf' to 0x180000000, and save to '" + output + "'\n") +
           at(1, "Search dynamic section...\nDetermine virtual space...\nVirtual space: 0x1000..0x3000\n") +
           at(1, "Copy section contents to output space...\n") +
           at(2, "  Section #1 [.text], 64 octets at 0x1000 (rel 0x0)\n") +
           at(2, "  Section #2 [.data], 24 octets at 0x2000 (rel 0x1000)\nDone.\n") + at(1, reltab) +
           at(2, "  R_X86_64_RELATIVE, 0x0 + 0x1010\n") + at(3, "    0x180000010 -> 0x2000 (rel 0x1000)\n") +
           at(2, "  R_X86_64_GLOB_DAT, 0x0 (ext_a) + 0x0\n") + at(4, "    Symbol redefined to 0x1234\n") +
           at(3, "    0x1234 -> 0x2008 (rel 0x1008)\n") + at(2, "  R_X86_64_GLOB_DAT, 0x0 (ext_b) + 0x0\n") +
           at(4, "    Symbol redefined to 0x5678\n") + at(3, "    0x5678 -> 0x2010 (rel 0x1010)\n") + at(2, "Done.\n");
}

constexpr char help_text[] =
    "Relocate and export statically linked PIE.\n\n"
    "  -d, --define SYM=VAL\n           define a symbol, which will override existing symbols, or will be\n"
    "           used for undefined symbols\n"
    "  --expect-pltrel\n           expect that PLTREL is present in SHT_DYNAMIC\n"
    "  --expect-rel\n           expect that REL/RELA is present in SHT_DYNAMIC\n"
    "  -f, --symfile FILE\n           load symbol table from file with format specified with -F (empty\n"
    "           lines and lines starting with # are ignored)\n"
    "  -F, --symfile-format STYLE:SYMVAL:SYMNAME\n"
    "           set symfile format by specifying the symbol value and symbol name\n"
    "           position in the line (lines are delimited by whitespaces); fields\n"
    "           are numbered from 1; the only STYLE available is \"field\"; default\n"
    "           format is \"field:1:2\"\n"
    "  --force-dynamic\n           continue processing even if input is not statically linked\n"
    "  --help   show help and exit\n"
    "  --ignore-unaligned-relsz\n           do not stop if DT_RELSZ is not multiple of DT_RELENT\n"
    "  --ignore-undefined\n           ignore all undefined references (implies --ignore-weak)\n"
    "  --ignore-weak\n           ignore undefined weak references\n"
    "  --no-expect-pltrel\n           expect that PLTREL is NOT present in SHT_DYNAMIC\n"
    "  --no-expect-rel\n           expect that REL/RELA is NOT present in SHT_DYNAMIC\n"
    "  -o FILE  set output file name\n"
    "  --output-entry FILE\n           output relocated entry point into FILE\n"
    "  -v       be verbose, and more\n"
    "  -V, --version\n           show version information and exit\n";

const std::string version = std::string("pieshift v0.7.0\nkelpbase v") + kelpbase_get_version() + "\nkelpx  v" +
                            kelpx_get_version() + "\n";
const std::string bad_address = "ERROR: Unknown target address format\n",
                  missing_equal = "ERROR: Missing equal sign ('=') from symbol definition: \"A\"\n";
std::string tool(const std::string &message) { return "pieshift: " + message + "\n"; }
std::string enoent(const std::string &input) { return tool(input + ": " + std::strerror(ENOENT)); }
std::string missing_operand(const std::string &prog) {
    return prog + ": missing operand\nType \"" + prog + " --help\" for usage\n";
}

// `image` names the file the run writes: its INPUT (the last word) relocated to `address`.
struct Row {
    std::string name;
    std::vector<std::string> args = {};
    int status = 0;
    std::string out = {}, err = {}, image = {};
    uint64_t address = 0;
    std::string argv0 = "pieshift";
};
void PrintTo(const Row &r, std::ostream *os) { *os << r.name; }

Row ok(std::string name, std::vector<std::string> args, std::string image, uint64_t address, std::string out = "") {
    return {.name = name, .args = args, .out = out, .image = image, .address = address};
}
Row fails(std::string name, std::vector<std::string> args, std::string err, int status = 1, std::string out = "") {
    return {.name = name, .args = args, .status = status, .out = out, .err = err};
}
Row verbosity(std::string name, std::vector<std::string> vs, int level) {
    vs.insert(vs.end(), {"-f", "syms.txt", "-d", "ext_a=0x1234", "0x180000000", "sym.elf"});
    return ok(name, vs, "sym.elf.out", syms_address, syms_trace(level));
}

class Driver : public testing::TestWithParam<Row> {};

TEST_P(Driver, Run) {
    const Row &r = GetParam();
    testrun::TempDir dir;
    write_inputs(dir);
    std::set<std::string> files = list_dir(dir.path);
    const testrun::Result res = testrun::run_pieshift_as(r.argv0, r.args, dir.path);
    ASSERT_FALSE(res.timed_out);
    EXPECT_EQ(res.status, r.status);
    EXPECT_EQ(res.out, r.out);
    EXPECT_EQ(res.err, r.err);
    // Nothing but the expected image is created, on failure as on success.
    if (!r.image.empty()) files.insert(r.image);
    EXPECT_EQ(list_dir(dir.path), files);
    if (!r.image.empty() && dir.exists(r.image)) {
        EXPECT_EQ(dir.read(r.image), expected_image(r.args.back() == "sym.elf", r.address)) << r.image;
    }
}

const Row rows[] = {
    // ---- Option grammar. Letters that take an argument take the following words in turn.
    ok("vdfo_take_words_in_turn", {"-vdfo", "ext_a=0x1234", "syms.txt", "out.bin", "0x180000000", "sym.elf"},
       "out.bin", syms_address, syms_trace(1, "out.bin")),
    // -ofile is -o, -f, -i...: the letters after o are options, not its argument.
    fails("ofile_is_o_then_letters", {"-ofile", "out.bin", "syms.txt", "0x1000", "in.elf"}, tool("Invalid option: -i")),
    ok("o_takes_dash_word_as_file", {"-o", "-v", "0x1000", "in.elf"}, "-v", 0x1000),
    fails("long_option_abbreviated", {"--hel"}, tool("Invalid argument: --hel")),
    fails("long_option_with_extra_letter", {"--helpx"}, tool("Invalid argument: --helpx")),
    fails("long_option_joined_with_equals", {"--define=A=1"}, tool("Invalid argument: --define=A=1")),
    fails("double_dash_is_no_end_of_options", {"--", "0x1000", "in.elf"}, tool("Invalid argument: --")),
    fails("lone_dash", {"-", "0x1000", "in.elf"}, tool("Invalid argument: -")),
    // -v has taken effect, but nothing is printed before the failure.
    fails("vx_fails_on_x", {"-vx", "0x1000", "in.elf"}, tool("Invalid option: -x")),
    // Options end at the first operand.
    fails("option_after_operands_is_operand", {"0x1000", "in.elf", "-v"}, tool("unexpected operand: \"-v\"")),
    fails("option_as_input_is_input", {"0x1000", "-v"}, enoent("-v"), 255),
    fails("o_last", {"-o"}, tool("Missing argument")),
    fails("of_with_one_word", {"-of", "out.bin"}, tool("Missing argument")),
    fails("define_last", {"--define"}, tool("Missing argument")),

    // ---- Operand count and ADDRESS syntax. The count is checked before ADDRESS is read.
    fails("no_words", {}, missing_operand("pieshift")),
    fails("one_bad_operand", {"zz"}, missing_operand("pieshift")),
    fails("three_operands", {"0x1000", "in.elf", "extra"}, tool("unexpected operand: \"extra\"")),
    fails("four_operands_name_the_third", {"a", "b", "c", "d"}, tool("unexpected operand: \"c\"")),
    {.name = "program_name_from_argv0", .status = 1, .err = missing_operand("./bin/pieshift"),
     .argv0 = "./bin/pieshift"},
    ok("address_hex_upper_prefix_mixed_digits", {"0XaBc", "in.elf"}, "in.elf.out", 0xabc),
    ok("address_octal", {"010", "in.elf"}, "in.elf.out", 8),
    ok("address_blank_and_plus", {"\t +0x10", "in.elf"}, "in.elf.out", 16),
    // A minus sign negates modulo 2^64, and the relocated word wraps with it; too large reads as all ones.
    ok("address_minus_wraps", {" -0x10", "in.elf"}, "in.elf.out", 0 - uint64_t{0x10}),
    ok("address_too_large", {"0x10000000000000000", "in.elf"}, "in.elf.out", ~uint64_t{0}),
    fails("address_prefix_without_digit", {"0x", "in.elf"}, bad_address),
    fails("address_bad_octal_digit", {"08", "in.elf"}, bad_address),
    fails("address_empty", {"", "in.elf"}, bad_address),
    fails("address_trailing_blank", {"16 ", "in.elf"}, bad_address),
    fails("address_with_leading_dash_is_option", {"-1", "in.elf"}, tool("Invalid option: -1")),
    // ADDRESS is read before INPUT is looked at, and before the output name is settled.
    fails("bad_address_before_missing_input", {"zz", "missing.elf"}, bad_address),
    fails("bad_address_before_long_input", {"zz", name252}, bad_address),

    // ---- Default output name; a long one is refused before the "Relocating" line.
    ok("input_of_251_characters", {"0x1000", name251}, name251 + ".out", 0x1000),
    fails("input_of_252_characters", {"-v", "0x1000", name252}, "ERROR: Input file path is too long.\n"),
    ok("o_lifts_limit", {"-o", "out.bin", "0x1000", name252}, "out.bin", 0x1000),
    // The input is read whole before the image is written over it.
    ok("o_naming_input_overwrites_it", {"-o", "in.elf", "0x1000", "in.elf"}, "in.elf", 0x1000),

    // ---- Help and version end the scan: nothing after them is looked at, but what came before counts.
    {.name = "help", .args = {"-vv", "-d", "A=1", "--help", "-x", "0x1000", "in.elf"},
     .out = "Usage: /opt/pieshift [OPTION]... ADDRESS INPUT\n" + std::string(help_text), .argv0 = "/opt/pieshift"},
    fails("failing_definition_before_help", {"-d", "A", "--help"}, missing_equal),
    {.name = "V_amid_options", .args = {"-d", "A=1", "-vVx", "--bogus", "0x1000"}, .out = version},
    {.name = "version_long", .args = {"--version"}, .out = version},
    fails("failing_definition_before_V", {"-d", "A", "-V"}, missing_equal),

    // ---- Verbosity; a byte-sized counter without the cap at 100 would wrap to quiet at 256.
    verbosity("level_1_stages", {"-v"}, 1),
    verbosity("level_2_sections_entries_symbols", {"-vv"}, 2),
    verbosity("level_3_adds_up_across_words", {"-v", "--force-dynamic", "-vv"}, 3),
    verbosity("level_4_symbol_policy", {"-vvvv"}, 4),
    verbosity("256_v_capped_at_100", {"-" + std::string(256, 'v')}, 4),

    // ---- INPUT missing or not ELF: status -1, seen as 255, after the "Relocating" line.
    fails("input_missing", {"-v", "0x1000", "missing.elf"}, enoent("missing.elf"), 255,
          "Relocating 'missing.elf' to 0x1000, and save to 'missing.elf.out'\n"),
    fails("input_text", {"-v", "-o", "out.bin", "0x1000", "notelf.txt"}, tool("Could not load 'notelf.txt' as ELF"),
          255, "Relocating 'notelf.txt' to 0x1000, and save to 'out.bin'\n"),
    fails("input_directory", {"0x1000", "."}, tool("Could not load '.' as ELF"), 255),
};
INSTANTIATE_TEST_SUITE_P(Driver, Driver, testing::ValuesIn(rows), [](const auto &info) { return info.param.name; });

}  // namespace
