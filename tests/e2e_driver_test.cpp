// End-to-end tests of the command line: option grammar, operands and ADDRESS syntax, the default output
// name, help, version and verbosity, and an INPUT that is missing or not ELF. Each row runs the built
// binary in a fresh directory holding the same inputs, and compares the exit status, stdout, stderr and
// the files the run leaves behind, byte for byte.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "kelpbase.h"
#include "kelpx.h"
#include "support/elfbuild.h"
#include "support/run.h"

namespace {

namespace eb = elfbuild;

// ---- The inputs every run's directory holds

// Values the symbol options give the two undefined symbols of sym.elf.
constexpr uint64_t ext_a_value = 0x1234, ext_b_value = 0x5678;

struct Inputs {
    eb::BuiltPie plain;  // one relative relocation: its stored word shows which ADDRESS was parsed
    eb::BuiltPie syms;   // the same, plus references to the undefined ext_a and ext_b
};

const Inputs &inputs() {
    static const Inputs in = [] {
        eb::Pie p;
        p.text_addr = 0x1000;
        p.data_addr = 0x2000;
        p.text = eb::Bytes(0x40, 0x90);
        p.data = eb::Bytes(16, 0);
        p.relocs = {{0x2000, 0, eb::R_X86_64_RELATIVE, 0x1010}};
        Inputs r;
        r.plain = eb::build_pie(p);
        p.data = eb::Bytes(24, 0);
        p.dynsyms = {{"ext_a", eb::st_info(eb::STB_GLOBAL, eb::STT_NOTYPE), eb::SHN_UNDEF, 0},
                     {"ext_b", eb::st_info(eb::STB_GLOBAL, eb::STT_NOTYPE), eb::SHN_UNDEF, 0}};
        p.relocs.push_back({0x2008, 1, eb::R_X86_64_GLOB_DAT, 0});
        p.relocs.push_back({0x2010, 2, eb::R_X86_64_GLOB_DAT, 0});
        r.syms = eb::build_pie(p);
        return r;
    }();
    return in;
}

// A file name of exactly n characters. The default output name adds 4, and a path component may have 255.
std::string name_of_length(size_t n) { return std::string(n - 4, 'n') + ".elf"; }
const std::string name251 = name_of_length(251), name252 = name_of_length(252);
// 266 characters that still name in.elf.
std::string long_path() {
    std::string p;
    for (int i = 0; i < 130; i++) p += "./";
    return p + "in.elf";
}

void write_inputs(const testrun::TempDir &dir) {
    const Inputs &in = inputs();
    for (const std::string &name : {std::string("in.elf"), std::string("-in.elf"), std::string("a.out"), name251,
                                    name252})
        dir.write(name, in.plain.bytes);
    dir.write("sym.elf", in.syms.bytes);
    dir.write("trunc.elf", eb::Bytes(in.plain.bytes.begin(), in.plain.bytes.begin() + 40));
    dir.write_text("syms.txt", "0x5678 ext_b\n");
    dir.write_text("notelf.txt", "not an ELF file\n");
    dir.write_text("empty", "");
}

std::set<std::string> list_dir(const std::string &path) {
    std::set<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(path)) names.insert(entry.path().filename().string());
    return names;
}

// The image of plain or syms relocated to `address`: the relative word is address + 0x10 modulo 2^64.
eb::Bytes expected_image(bool syms, uint64_t address) {
    const eb::BuiltPie &b = syms ? inputs().syms : inputs().plain;
    eb::Bytes img = b.image();
    eb::put(img, b.image_off(0x2000), 8, address + 0x10, false);
    if (syms) {
        eb::put(img, b.image_off(0x2008), 8, ext_a_value, false);
        eb::put(img, b.image_off(0x2010), 8, ext_b_value, false);
    }
    return img;
}

// ---- Expected texts

std::string hex(uint64_t v) {
    char buf[20];
    std::snprintf(buf, sizeof buf, "%llx", static_cast<unsigned long long>(v));
    return buf;
}

std::string relocating(const std::string &input, uint64_t address, const std::string &output) {
    return "Relocating '" + input + "' to 0x" + hex(address) + ", and save to '" + output + "'\n";
}

// What a successful run on in.elf prints after the "Relocating" line at verbosity 1.
std::string plain_stages() {
    return "Search dynamic section...\n"
           "Determine virtual space...\n"
           "Virtual space: 0x1000..0x3000\n"
           "Copy section contents to output space...\n"
           "Apply relocations at 0x" +
           hex(inputs().plain.reltab_addr) + "...\n";
}

// A run on sym.elf with "-f syms.txt -d ext_a=0x1234" after the v's, relocated to 0x80000000, at each
// verbosity level.
std::string syms_trace(int level) {
    auto at = [level](int min, const std::string &line) { return level >= min ? line : std::string(); };
    return at(1, "Loading symbol file 'syms.txt' (format is field:1:2)\n") + at(2, "  ext_b = 0x5678\n") +
           at(2, "Done.\n") + at(1, relocating("sym.elf", 0x80000000, "sym.elf.out")) +
           at(1, "Search dynamic section...\n") + at(1, "Determine virtual space...\n") +
           at(1, "Virtual space: 0x1000..0x3000\n") + at(1, "Copy section contents to output space...\n") +
           at(2, "  Section #1 [.text], 64 octets at 0x1000 (rel 0x0)\n") +
           at(2, "  Section #2 [.data], 24 octets at 0x2000 (rel 0x1000)\n") + at(2, "Done.\n") +
           at(1, "Apply relocations at 0x" + hex(inputs().syms.reltab_addr) + "...\n") +
           at(2, "  R_X86_64_RELATIVE, 0x0 + 0x1010\n") + at(3, "    0x80000010 -> 0x2000 (rel 0x1000)\n") +
           at(2, "  R_X86_64_GLOB_DAT, 0x0 (ext_a) + 0x0\n") + at(4, "    Symbol redefined to 0x1234\n") +
           at(3, "    0x1234 -> 0x2008 (rel 0x1008)\n") + at(2, "  R_X86_64_GLOB_DAT, 0x0 (ext_b) + 0x0\n") +
           at(4, "    Symbol redefined to 0x5678\n") + at(3, "    0x5678 -> 0x2010 (rel 0x1010)\n") +
           at(2, "Done.\n");
}

constexpr char help_text[] =
    "Relocate and export statically linked PIE.\n"
    "\n"
    "  -d, --define SYM=VAL\n"
    "           define a symbol, which will override existing symbols, or will be\n"
    "           used for undefined symbols\n"
    "  --expect-pltrel\n"
    "           expect that PLTREL is present in SHT_DYNAMIC\n"
    "  --expect-rel\n"
    "           expect that REL/RELA is present in SHT_DYNAMIC\n"
    "  -f, --symfile FILE\n"
    "           load symbol table from file with format specified with -F (empty\n"
    "           lines and lines starting with # are ignored)\n"
    "  -F, --symfile-format STYLE:SYMVAL:SYMNAME\n"
    "           set symfile format by specifying the symbol value and symbol name\n"
    "           position in the line (lines are delimited by whitespaces); fields\n"
    "           are numbered from 1; the only STYLE available is \"field\"; default\n"
    "           format is \"field:1:2\"\n"
    "  --force-dynamic\n"
    "           continue processing even if input is not statically linked\n"
    "  --help   show help and exit\n"
    "  --ignore-unaligned-relsz\n"
    "           do not stop if DT_RELSZ is not multiple of DT_RELENT\n"
    "  --ignore-undefined\n"
    "           ignore all undefined references (implies --ignore-weak)\n"
    "  --ignore-weak\n"
    "           ignore undefined weak references\n"
    "  --no-expect-pltrel\n"
    "           expect that PLTREL is NOT present in SHT_DYNAMIC\n"
    "  --no-expect-rel\n"
    "           expect that REL/RELA is NOT present in SHT_DYNAMIC\n"
    "  -o FILE  set output file name\n"
    "  --output-entry FILE\n"
    "           output relocated entry point into FILE\n"
    "  -v       be verbose, and more\n"
    "  -V, --version\n"
    "           show version information and exit\n";
static_assert(sizeof help_text - 1 == 1505);

std::string help(const std::string &progname = "pieshift") {
    return "Usage: " + progname + " [OPTION]... ADDRESS INPUT\n" + help_text;
}

std::string version() {
    return std::string("pieshift v0.7.0\n") + "kelpbase v" + kelpbase_get_version() + "\n" + "kelpx  v" +
           kelpx_get_version() + "\n";
}

std::string missing_operand(const std::string &progname = "pieshift") {
    return progname + ": missing operand\nType \"" + progname + " --help\" for usage\n";
}
const std::string missing_argument = "pieshift: Missing argument\n";
std::string invalid_argument(const std::string &word) { return "pieshift: Invalid argument: " + word + "\n"; }
std::string invalid_option(char c) { return std::string("pieshift: Invalid option: -") + c + "\n"; }
std::string unexpected_operand(const std::string &word) { return "pieshift: unexpected operand: \"" + word + "\"\n"; }
const std::string bad_address = "ERROR: Unknown target address format\n";
const std::string too_long = "ERROR: Input file path is too long.\n";
std::string cannot_query(const std::string &input, int err) {
    return "pieshift: " + input + ": " + std::strerror(err) + "\n";
}
std::string not_elf(const std::string &input) { return "pieshift: Could not load '" + input + "' as ELF\n"; }

// ---- Rows

enum class Image { none, plain, syms };

struct Row {
    std::string name;
    std::vector<std::string> args;
    int status = 0;
    std::string out = {}, err = {};
    Image image = Image::none;   // which input's relocated image the run writes...
    std::string image_file = {};  // ...into this file of the run's directory
    uint64_t address = 0;         // ...relocated to this ADDRESS
    std::map<std::string, std::string> text_files = {};  // further files the run writes, with their text
    std::string argv0 = "pieshift";
};

void PrintTo(const Row &r, std::ostream *os) { *os << r.name; }

// A successful quiet run on in.elf.
Row ok(std::string name, std::vector<std::string> args, std::string image_file, uint64_t address) {
    return {.name = std::move(name), .args = std::move(args), .image = Image::plain,
            .image_file = std::move(image_file), .address = address};
}
Row fails(std::string name, std::vector<std::string> args, std::string err, int status = 1) {
    return {.name = std::move(name), .args = std::move(args), .status = status, .err = std::move(err)};
}

class DriverRun : public testing::TestWithParam<Row> {
 protected:
    void check(const Row &r) {
        testrun::TempDir dir;
        write_inputs(dir);
        std::set<std::string> files = list_dir(dir.path);
        const testrun::Result res = testrun::run_pieshift_as(r.argv0, r.args, dir.path);
        ASSERT_FALSE(res.timed_out);
        EXPECT_EQ(res.status, r.status);
        EXPECT_EQ(res.out, r.out);
        EXPECT_EQ(res.err, r.err);

        // Nothing but the expected files is created, on failure as on success.
        if (r.image != Image::none) files.insert(r.image_file);
        for (const auto &[name, text] : r.text_files) files.insert(name);
        EXPECT_EQ(list_dir(dir.path), files);
        if (r.image != Image::none && dir.exists(r.image_file)) {
            EXPECT_EQ(dir.read(r.image_file), expected_image(r.image == Image::syms, r.address)) << r.image_file;
        }
        for (const auto &[name, text] : r.text_files)
            if (dir.exists(name)) {
                const eb::Bytes got = dir.read(name);
                EXPECT_EQ(std::string(got.begin(), got.end()), text) << name;
            }
    }
};

std::string row_name(const testing::TestParamInfo<Row> &info) { return info.param.name; }

#define DRIVER_TABLE(Suite, rows)                               \
    class Suite : public DriverRun {};                          \
    TEST_P(Suite, Run) { check(GetParam()); }                   \
    INSTANTIATE_TEST_SUITE_P(Driver, Suite, testing::ValuesIn(rows()), row_name)

// ---- Option grammar and its messages

std::vector<Row> grammar_rows() {
    const std::string verbose_out = relocating("in.elf", 0x1000, "out.bin") + plain_stages();
    return {
        // Letters that take an argument take the following words in turn.
        {.name = "vo_takes_file_after_group", .args = {"-vo", "out.bin", "0x1000", "in.elf"}, .out = verbose_out,
         .image = Image::plain, .image_file = "out.bin", .address = 0x1000},
        {.name = "ov_takes_file_after_group", .args = {"-ov", "out.bin", "0x1000", "in.elf"}, .out = verbose_out,
         .image = Image::plain, .image_file = "out.bin", .address = 0x1000},
        {.name = "df_takes_define_then_symfile",
         .args = {"-df", "ext_a=0x1234", "syms.txt", "0x80000000", "sym.elf"},
         .image = Image::syms, .image_file = "sym.elf.out", .address = 0x80000000},
        {.name = "dd_takes_two_definitions",
         .args = {"-dd", "ext_a=0x1234", "ext_b=0x5678", "0x80000000", "sym.elf"},
         .image = Image::syms, .image_file = "sym.elf.out", .address = 0x80000000},
        // -ofile is -o, then -f, -i...: the letters after o are options, not its argument.
        fails("ofile_is_o_then_letters", {"-ofile", "out.bin", "syms.txt", "0x1000", "in.elf"}, invalid_option('i')),
        // An option's argument is the next word whatever its first character.
        ok("o_takes_dash_word_as_file", {"-o", "-v", "0x1000", "in.elf"}, "-v", 0x1000),
        fails("d_takes_dash_word_as_definition", {"-d", "-v", "0x1000", "in.elf"},
              "ERROR: Missing equal sign ('=') from symbol definition: \"-v\"\n"),
        {.name = "output_entry_takes_dash_word_as_file",
         .args = {"--output-entry", "--help", "0x80000000", "in.elf"}, .image = Image::plain,
         .image_file = "in.elf.out", .address = 0x80000000, .text_files = {{"--help", "0x80000000\n"}}},
        ok("repeated_o_keeps_last", {"-o", "a.bin", "-o", "b.bin", "0x1000", "in.elf"}, "b.bin", 0x1000),
        // Long options match whole names only, case included.
        fails("long_option_with_extra_letter", {"--helpx"}, invalid_argument("--helpx")),
        fails("long_option_abbreviated", {"--hel"}, invalid_argument("--hel")),
        fails("long_option_wrong_case", {"--Help"}, invalid_argument("--Help")),
        fails("long_option_joined_with_equals", {"--define=A=1", "0x1000", "in.elf"}, invalid_argument("--define=A=1")),
        fails("long_option_three_dashes", {"---help"}, invalid_argument("---help")),
        fails("double_dash_is_no_end_of_options", {"--", "0x1000", "in.elf"}, invalid_argument("--")),
        fails("lone_dash", {"-", "0x1000", "in.elf"}, invalid_argument("-")),
        fails("unknown_letter", {"-x", "0x1000", "in.elf"}, invalid_option('x')),
        fails("no_h_option", {"-h"}, invalid_option('h')),
        // -v has taken effect, but nothing is printed before the failure.
        fails("vx_fails_on_x", {"-vx", "0x1000", "in.elf"}, invalid_option('x')),
        fails("xV_fails_before_version", {"-xV"}, invalid_option('x')),
        fails("letter_after_valid_ones_fails", {"-vdx", "A=1"}, invalid_option('x')),
        // Options end at the first operand.
        fails("option_after_operands_is_operand", {"0x1000", "in.elf", "-v"}, unexpected_operand("-v")),
        fails("help_after_operands_is_operand", {"0x1000", "in.elf", "--help"}, unexpected_operand("--help")),
        fails("option_as_input_is_input", {"0x1000", "-v"}, cannot_query("-v", ENOENT), 255),
        fails("option_between_operands_is_input", {"0x1000", "-v", "in.elf"}, unexpected_operand("in.elf")),
        ok("input_beginning_with_dash", {"0x1000", "-in.elf"}, "-in.elf.out", 0x1000),
        // Missing arguments.
        fails("o_last", {"-o"}, missing_argument),
        fails("of_with_one_word", {"-of", "out.bin"}, missing_argument),
        fails("vo_last", {"-vo"}, missing_argument),
        fails("d_last", {"-d"}, missing_argument),
        fails("f_last", {"-f"}, missing_argument),
        fails("F_last", {"-F"}, missing_argument),
        fails("define_last", {"--define"}, missing_argument),
        fails("symfile_last", {"--symfile"}, missing_argument),
        fails("symfile_format_last", {"--symfile-format"}, missing_argument),
        fails("output_entry_last", {"--output-entry"}, missing_argument),
        // The long flag options are known names; none of them changes a plain run.
        ok("flag_options_accepted",
           {"--force-dynamic", "--ignore-undefined", "--ignore-weak", "--ignore-unaligned-relsz", "--expect-rel",
            "--no-expect-pltrel", "0x1000", "in.elf"},
           "in.elf.out", 0x1000),
    };
}
DRIVER_TABLE(OptionGrammar, grammar_rows);

// ---- Operand count and ADDRESS syntax

std::vector<Row> operand_rows() {
    constexpr uint64_t all_ones = ~uint64_t{0};
    return {
        fails("no_words", {}, missing_operand()),
        fails("only_options", {"-v", "-d", "A=1"}, missing_operand()),
        fails("only_o_with_its_file", {"-o", "out.bin"}, missing_operand()),
        fails("one_operand", {"0x1000"}, missing_operand()),
        // The count is checked before ADDRESS is read.
        fails("one_bad_operand", {"zz"}, missing_operand()),
        fails("three_operands", {"0x1000", "in.elf", "extra"}, unexpected_operand("extra")),
        fails("four_operands_name_the_third", {"a", "b", "c", "d"}, unexpected_operand("c")),
        {.name = "program_name_from_argv0", .args = {}, .status = 1, .err = missing_operand("./bin/pieshift"),
         .argv0 = "./bin/pieshift"},

        ok("address_hex", {"0x10", "in.elf"}, "in.elf.out", 0x10),
        ok("address_hex_upper_prefix", {"0X1f", "in.elf"}, "in.elf.out", 0x1f),
        ok("address_hex_mixed_case_digits", {"0xAbC", "in.elf"}, "in.elf.out", 0xabc),
        ok("address_decimal", {"4096", "in.elf"}, "in.elf.out", 4096),
        ok("address_octal", {"010", "in.elf"}, "in.elf.out", 8),
        ok("address_zero", {"0", "in.elf"}, "in.elf.out", 0),
        ok("address_leading_blank", {" 16", "in.elf"}, "in.elf.out", 16),
        ok("address_leading_tab_and_newline", {"\t\n16", "in.elf"}, "in.elf.out", 16),
        ok("address_plus_sign", {"+0x10", "in.elf"}, "in.elf.out", 16),
        // A minus sign negates modulo 2^64; the relocated word wraps with it.
        ok("address_minus_one_after_blank", {" -1", "in.elf"}, "in.elf.out", all_ones),
        ok("address_minus_hex_after_blank", {" -0x10", "in.elf"}, "in.elf.out", 0 - uint64_t{0x10}),
        ok("address_largest", {"18446744073709551615", "in.elf"}, "in.elf.out", all_ones),
        ok("address_largest_hex", {"0xffffffffffffffff", "in.elf"}, "in.elf.out", all_ones),
        // Too large for 64 bits reads as all ones, whatever the sign.
        ok("address_decimal_too_large", {"18446744073709551616", "in.elf"}, "in.elf.out", all_ones),
        ok("address_hex_too_large", {"0x10000000000000000", "in.elf"}, "in.elf.out", all_ones),
        ok("address_negative_too_large", {" -99999999999999999999", "in.elf"}, "in.elf.out", all_ones),
        {.name = "address_all_ones_in_relocating_line", .args = {"-v", " -1", "in.elf"},
         .out = relocating("in.elf", all_ones, "in.elf.out") + plain_stages(), .image = Image::plain,
         .image_file = "in.elf.out", .address = all_ones},

        fails("address_prefix_without_digit", {"0x", "in.elf"}, bad_address),
        fails("address_trailing_letters", {"12abc", "in.elf"}, bad_address),
        fails("address_bad_octal_digit", {"08", "in.elf"}, bad_address),
        fails("address_empty", {"", "in.elf"}, bad_address),
        fails("address_bad_hex_digit", {"0x1g", "in.elf"}, bad_address),
        fails("address_trailing_blank", {"16 ", "in.elf"}, bad_address),
        fails("address_blank_only", {" ", "in.elf"}, bad_address),
        fails("address_sign_only", {"+", "in.elf"}, bad_address),
        fails("address_two_signs", {"+-1", "in.elf"}, bad_address),
        fails("address_sign_after_prefix", {"0x-1", "in.elf"}, bad_address),
        fails("address_word", {"abc", "in.elf"}, bad_address),
        fails("address_fraction", {"1.5", "in.elf"}, bad_address),
        // ADDRESS cannot begin with a dash: such a word is an option.
        fails("address_with_leading_dash_is_option", {"-1", "in.elf"}, invalid_option('1')),
        // ADDRESS is read before INPUT is looked at, and before the output name is settled.
        fails("bad_address_before_missing_input", {"zz", "missing.elf"}, bad_address),
        fails("bad_address_before_long_input", {"zz", name252}, bad_address),
    };
}
DRIVER_TABLE(Operands, operand_rows);

// ---- Default output name

std::vector<Row> output_name_rows() {
    return {
        ok("input_plus_out", {"0x1000", "in.elf"}, "in.elf.out", 0x1000),
        ok("suffix_of_input_kept", {"0x1000", "a.out"}, "a.out.out", 0x1000),
        ok("input_of_251_characters", {"0x1000", name251}, name251 + ".out", 0x1000),
        fails("input_of_252_characters", {"0x1000", name252}, too_long),
        fails("too_long_path_naming_existing_file", {"0x1000", long_path()}, too_long),
        // Failing there, before the "Relocating" line.
        fails("too_long_before_relocating_line", {"-v", "0x1000", name252}, too_long),
        ok("o_lifts_limit", {"-o", "out.bin", "0x1000", name252}, "out.bin", 0x1000),
        ok("o_lifts_limit_for_long_path", {"-o", "out.bin", "0x1000", long_path()}, "out.bin", 0x1000),
        // The input is read whole before the image is written over it.
        ok("o_naming_input_overwrites_it", {"-o", "in.elf", "0x1000", "in.elf"}, "in.elf", 0x1000),
    };
}
DRIVER_TABLE(DefaultOutputName, output_name_rows);

// ---- Help and version

std::vector<Row> help_version_rows() {
    return {
        {.name = "help", .args = {"--help"}, .out = help()},
        {.name = "help_with_program_path", .args = {"--help"}, .out = help("/opt/tools/pieshift"),
         .argv0 = "/opt/tools/pieshift"},
        {.name = "help_after_options", .args = {"-vv", "--ignore-weak", "--help"}, .out = help()},
        {.name = "help_ends_run_before_later_words", .args = {"--help", "-x", "0x1000", "in.elf"}, .out = help()},
        {.name = "help_after_definition", .args = {"-d", "A=1", "--help"}, .out = help()},
        fails("failing_definition_before_help", {"-d", "A", "--help"},
              "ERROR: Missing equal sign ('=') from symbol definition: \"A\"\n"),
        fails("invalid_option_before_help", {"-x", "--help"}, invalid_option('x')),

        {.name = "V", .args = {"-V"}, .out = version()},
        {.name = "version", .args = {"--version"}, .out = version()},
        {.name = "V_with_operands_after", .args = {"-V", "0x1000", "in.elf"}, .out = version()},
        {.name = "version_with_bad_option_after", .args = {"--version", "--bogus", "-x"}, .out = version()},
        {.name = "V_before_bad_letter_in_group", .args = {"-Vx"}, .out = version()},
        {.name = "V_after_letters_in_group", .args = {"-vV"}, .out = version()},
        {.name = "V_after_definition", .args = {"-d", "A=1", "-V"}, .out = version()},
        fails("failing_definition_before_V", {"-d", "A", "-V"},
              "ERROR: Missing equal sign ('=') from symbol definition: \"A\"\n"),
    };
}
DRIVER_TABLE(HelpAndVersion, help_version_rows);

TEST(HelpText, Has1505CharactersAfterUsageLine) {
    const testrun::Result res = testrun::run_pieshift_as("pieshift", {"--help"});
    const std::string usage = "Usage: pieshift [OPTION]... ADDRESS INPUT\n";
    ASSERT_EQ(res.out.substr(0, usage.size()), usage);
    EXPECT_EQ(res.out.size() - usage.size(), 1505u);
}

// ---- Verbosity

Row verbosity(std::string name, std::vector<std::string> vs, int level) {
    for (const char *w : {"-f", "syms.txt", "-d", "ext_a=0x1234", "0x80000000", "sym.elf"}) vs.push_back(w);
    return {.name = std::move(name), .args = std::move(vs), .out = syms_trace(level), .image = Image::syms,
            .image_file = "sym.elf.out", .address = 0x80000000};
}

std::vector<Row> verbosity_rows() {
    std::vector<Row> rows = {
        verbosity("level_0_quiet", {}, 0),
        verbosity("level_1_stages", {"-v"}, 1),
        verbosity("level_2_sections_entries_symbols", {"-vv"}, 2),
        verbosity("level_3_stored_values", {"-vvv"}, 3),
        verbosity("level_4_symbol_policy", {"-vvvv"}, 4),
        verbosity("levels_add_up_across_words", {"-v", "-vv", "--force-dynamic", "-v"}, 4),
        verbosity("level_5_as_4", {"-vvvvv"}, 4),
        // A counter that overflowed past 100 would go quiet or negative.
        verbosity("150_v_capped_at_100", {"-" + std::string(150, 'v')}, 4),
        verbosity("300_v_words_capped_at_100", std::vector<std::string>(300, "-v"), 4),
    };
    // -v after -f leaves the symbol file's loading silent.
    rows.push_back({.name = "v_after_symfile_leaves_it_silent",
                    .args = {"-f", "syms.txt", "-v", "-d", "ext_a=0x1234", "0x80000000", "sym.elf"},
                    .out = syms_trace(1).substr(syms_trace(1).find("Relocating")), .image = Image::syms,
                    .image_file = "sym.elf.out", .address = 0x80000000});
    return rows;
}
DRIVER_TABLE(Verbosity, verbosity_rows);

// ---- INPUT missing or not ELF: status -1, seen as 255

std::vector<Row> input_rows() {
    return {
        fails("input_missing", {"0x1000", "missing.elf"}, cannot_query("missing.elf", ENOENT), 255),
        fails("input_under_a_file", {"0x1000", "in.elf/x"}, cannot_query("in.elf/x", ENOTDIR), 255),
        fails("input_empty_word", {"0x1000", ""}, cannot_query("", ENOENT), 255),
        fails("input_missing_with_o", {"-o", "out.bin", "0x1000", "missing.elf"}, cannot_query("missing.elf", ENOENT),
              255),
        // The "Relocating" line comes before INPUT is looked at.
        {.name = "relocating_line_before_missing_input", .args = {"-v", "0x1000", "missing.elf"}, .status = 255,
         .out = relocating("missing.elf", 0x1000, "missing.elf.out"), .err = cannot_query("missing.elf", ENOENT)},
        fails("input_text", {"0x1000", "notelf.txt"}, not_elf("notelf.txt"), 255),
        fails("input_empty_file", {"0x1000", "empty"}, not_elf("empty"), 255),
        fails("input_truncated_elf", {"0x1000", "trunc.elf"}, not_elf("trunc.elf"), 255),
        fails("input_directory", {"0x1000", "."}, not_elf("."), 255),
        fails("input_text_with_o", {"-o", "out.bin", "0x1000", "notelf.txt"}, not_elf("notelf.txt"), 255),
        {.name = "relocating_line_before_not_elf", .args = {"-v", "-o", "out.bin", "0x1000", "notelf.txt"},
         .status = 255, .out = relocating("notelf.txt", 0x1000, "out.bin"), .err = not_elf("notelf.txt")},
    };
}
DRIVER_TABLE(InputFile, input_rows);

// ---- ADDRESS reaches the image in every ELF kind

struct AddressCase {
    const char *name;
    const char *text;
    uint64_t value;
};
void PrintTo(const AddressCase &a, std::ostream *os) { *os << '"' << a.text << '"'; }

// A machine per kind that has a relative type (numbers from the psABIs); i386 keeps its addends in place.
struct Target {
    uint16_t machine;
    uint32_t relative;
    bool rela;
};
Target target_for(eb::Format f) {
    if (f.elfclass == 32) return f.msb ? Target{eb::EM_PPC, 22, true} : Target{eb::EM_386, eb::R_386_RELATIVE, false};
    return f.msb ? Target{eb::EM_PPC64, 22, true} : Target{eb::EM_X86_64, eb::R_X86_64_RELATIVE, true};
}

class AddressInEveryFormat : public testing::TestWithParam<std::tuple<eb::Format, AddressCase>> {};

TEST_P(AddressInEveryFormat, RelativeWordMovesByAddress) {
    const auto &[fmt, address] = GetParam();
    const Target t = target_for(fmt);
    eb::Pie p;
    p.fmt = fmt;
    p.machine = t.machine;
    p.rela = t.rela;
    p.text_addr = 0x1000;
    p.data_addr = 0x2000;
    p.text = eb::Bytes(0x40, 0x90);
    p.data = eb::Bytes(16, 0);
    if (!t.rela) eb::put(p.data, 0, eb::word_size(fmt), 0x1010, fmt.msb);
    p.relocs = {{0x2000, 0, t.relative, t.rela ? 0x1010u : 0u}};
    const eb::BuiltPie b = eb::build_pie(p);
    testrun::TempDir dir;
    dir.write("in.elf", b.bytes);

    const testrun::Result res =
        testrun::run_pieshift_as("pieshift", {"-o", "out.bin", address.text, "in.elf"}, dir.path);
    EXPECT_EQ(res.status, 0);
    EXPECT_EQ(res.out, "");
    EXPECT_EQ(res.err, "");
    // 0x1010 - 0x1000 + ADDRESS, in the input's word size and byte order. The negative ADDRESS gives a
    // sign-extended 32-bit value, which an ELF32 word holds.
    eb::Bytes want = b.image();
    eb::put(want, b.image_off(0x2000), eb::word_size(fmt), address.value + 0x10, fmt.msb);
    ASSERT_TRUE(dir.exists("out.bin"));
    EXPECT_EQ(dir.read("out.bin"), want);
}

INSTANTIATE_TEST_SUITE_P(Driver, AddressInEveryFormat,
                         testing::Combine(testing::ValuesIn(eb::all_formats()),
                                          testing::Values(AddressCase{"high", "0x80000000", 0x80000000},
                                                          AddressCase{"negative", " -0x20", 0 - uint64_t{0x20}})),
                         [](const auto &info) {
                             return eb::format_name(std::get<0>(info.param)) + "_" + std::get<1>(info.param).name;
                         });

}  // namespace
