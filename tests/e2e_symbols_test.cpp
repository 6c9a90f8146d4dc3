// End-to-end tests of the symbol options: -d, -f and its file format, -F, -v as far as the symbol file
// loader goes, and -V. A definition is judged by its effect: each run that gets through relocates a probe
// PIE whose relocations name the symbols, and the words stored in the image must be the defined values.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "kelpbase.h"
#include "kelpx.h"
#include "support/elfbuild.h"
#include "support/run.h"

namespace {

namespace eb = elfbuild;
using testrun::Result;
using testrun::TempDir;

constexpr uint64_t all_ones = ~uint64_t{0};

// ---- The probe: ELF64 LSB x86-64 with one 8-byte slot in .data per name below, each relocated against
// an undefined symbol of that name (GLOB_DAT in .rela.dyn for the first four, JUMP_SLOT in .rela.plt for
// the rest, addend 0), so a slot holds exactly the value the symbol was given. "" is an unnamed symbol
// (st_name 0), reachable only by -d =VAL; "a\fb" and "#x" are names a symbol file must keep as text.
const std::vector<std::string> probe_names = {"A", "B", "C", "", "a\fb", "0x10", "#x", "start_of_code"};
constexpr uint64_t probe_data = 0x2000;
constexpr size_t probe_main_relocs = 4;

const eb::BuiltPie &probe() {
    static const eb::BuiltPie built = [] {
        eb::Pie p;
        p.text = eb::Bytes(16, 0x90);
        p.data_addr = probe_data;
        p.data = eb::Bytes(8 * probe_names.size(), 0);
        for (size_t i = 0; i < probe_names.size(); ++i) {
            p.dynsyms.push_back({.name = probe_names[i], .info = eb::st_info(eb::STB_GLOBAL, eb::STT_NOTYPE)});
            const eb::Reloc r{.offset = probe_data + 8 * i,
                              .sym = i + 1,
                              .type = i < probe_main_relocs ? eb::R_X86_64_GLOB_DAT : eb::R_X86_64_JUMP_SLOT};
            (i < probe_main_relocs ? p.relocs : p.plt_relocs).push_back(r);
        }
        return eb::build_pie(p);
    }();
    return built;
}

// The operands and options every row ends with. --ignore-undefined lets a row define only the names it
// is about; the other slots then keep st_value, 0. ADDRESS differs from the image's start, so a
// definition wrongly moved like an address would show.
const std::vector<std::string> probe_tail = {"--ignore-undefined", "-o", "out.bin", "0x10000", "probe.elf"};

eb::Bytes probe_image(const std::map<std::string, uint64_t> &defs) {
    const eb::BuiltPie &b = probe();
    eb::Bytes image = b.image();
    for (size_t i = 0; i < probe_names.size(); ++i) {
        const auto it = defs.find(probe_names[i]);
        eb::put(image, b.image_off(probe_data + 8 * i), 8, it == defs.end() ? 0 : it->second, false);
    }
    return image;
}

std::string version_lines() {
    return std::string("pieshift v0.7.0\n") + "kelpbase v" + kelpbase_get_version() + "\n" + "kelpx  v" +
           kelpx_get_version() + "\n";
}

// ---- One row: the options before the probe's tail, the files of the run's directory (a name ending in
// "/" makes a directory), and what must come out. `defs` set: the run relocates the probe and every
// slot must hold its name's value (0 when absent); unset: no image may be written.
struct Row {
    const char *name;
    std::vector<std::string> args;
    std::vector<std::pair<std::string, std::string>> files;
    int status;
    std::string out, err;
    std::optional<std::map<std::string, uint64_t>> defs;
};

void PrintTo(const Row &row, std::ostream *os) { *os << row.name; }

using Files = std::vector<std::pair<std::string, std::string>>;
using Defs = std::map<std::string, uint64_t>;

Row defines(const char *name, std::vector<std::string> args, Files files, Defs defs) {
    return {name, std::move(args), std::move(files), 0, "", "", std::move(defs)};
}
Row fails(const char *name, std::vector<std::string> args, Files files, std::string err, std::string out = "") {
    return {name, std::move(args), std::move(files), 1, std::move(out), std::move(err), std::nullopt};
}
// Runs whose options end with -V: what the loader printed before it, then the version lines.
Row prints(const char *name, std::vector<std::string> args, Files files, std::string out) {
    return {name, std::move(args), std::move(files), 0, std::move(out) + version_lines(), "", std::nullopt};
}

// Pads s with blanks to n characters.
std::string pad(const std::string &s, size_t n) { return s + std::string(n - s.size(), ' '); }

std::string load_failed(const std::string &file) { return "ERROR: Could not load symfile '" + file + "'\n"; }
std::string bad_value(const std::string &file, long line, const std::string &field) {
    return "ERROR: Symbol value syntax error in line " + std::to_string(line) + ": \"" + field + "\"\n" +
           load_failed(file);
}
std::string incomplete(const std::string &file, long line) {
    return "ERROR: Incomplete record in line " + std::to_string(line) + "\n" + load_failed(file);
}

class SymbolOptions : public testing::TestWithParam<Row> {};

TEST_P(SymbolOptions, Run) {
    const Row &row = GetParam();
    TempDir dir;
    dir.write("probe.elf", probe().bytes);
    for (const auto &[name, text] : row.files) {
        if (name.ends_with('/'))
            std::filesystem::create_directory(dir.file(name.substr(0, name.size() - 1)));
        else
            dir.write_text(name, text);
    }
    std::vector<std::string> args = row.args;
    args.insert(args.end(), probe_tail.begin(), probe_tail.end());

    const Result r = testrun::run_pieshift_as("pieshift", args, dir.path);
    EXPECT_EQ(r.status, row.status);
    EXPECT_EQ(r.out, row.out);
    EXPECT_EQ(r.err, row.err);
    if (!row.defs) {
        EXPECT_FALSE(dir.exists("out.bin"));
        return;
    }
    ASSERT_TRUE(dir.exists("out.bin"));
    const eb::Bytes got = dir.read("out.bin");
    const eb::Bytes want = probe_image(*row.defs);
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < probe_names.size(); ++i) {
        const size_t off = probe().image_off(probe_data + 8 * i);
        EXPECT_EQ(eb::get(got, off, 8, false), eb::get(want, off, 8, false)) << "symbol \"" << probe_names[i] << "\"";
    }
    EXPECT_EQ(got, want);
}

std::string row_name(const testing::TestParamInfo<Row> &info) { return info.param.name; }

// ---- -d SYM=VAL: the value syntax, the name, and every way the word can be wrong.
const Row define_rows[] = {
    defines("hex", {"-d", "A=0x10"}, {}, {{"A", 16}}),
    defines("hex_upper_prefix_and_digits", {"-d", "A=0X1F"}, {}, {{"A", 31}}),
    defines("octal", {"-d", "A=010"}, {}, {{"A", 8}}),
    defines("decimal", {"-d", "A=4096"}, {}, {{"A", 4096}}),
    defines("minus_one_is_all_ones", {"-d", "A=-1"}, {}, {{"A", all_ones}}),
    defines("negative_wraps", {"-d", "A=-0x10"}, {}, {{"A", all_ones - 15}}),
    defines("plus_sign", {"-d", "A=+0x10"}, {}, {{"A", 16}}),
    defines("leading_blank_skipped", {"-d", "A= 16"}, {}, {{"A", 16}}),
    defines("largest_value", {"-d", "A=0xfedcba9876543210"}, {}, {{"A", 0xfedcba9876543210}}),
    defines("too_large_hex_reads_all_ones", {"-d", "A=0x10000000000000000"}, {}, {{"A", all_ones}}),
    defines("too_large_decimal_reads_all_ones", {"-d", "A=18446744073709551616"}, {}, {{"A", all_ones}}),
    defines("too_large_negative_reads_all_ones", {"-d", "A=-18446744073709551616"}, {}, {{"A", all_ones}}),
    defines("empty_name", {"-d", "=5"}, {}, {{"", 5}}),
    defines("name_is_any_text_before_first_equal", {"-d", "a\fb=7", "-d", "#x=8"}, {}, {{"a\fb", 7}, {"#x", 8}}),
    defines("name_is_case_sensitive", {"-d", "a=1"}, {}, {}),
    defines("several_names", {"-d", "A=1", "--define", "B=2", "-d", "C=3"}, {}, {{"A", 1}, {"B", 2}, {"C", 3}}),
    defines("grouped_letters_take_words_in_turn", {"-dd", "A=1", "B=2"}, {}, {{"A", 1}, {"B", 2}}),
    defines("later_define_wins", {"-d", "A=1", "-d", "B=5", "-d", "A=2"}, {}, {{"A", 2}, {"B", 5}}),

    fails("missing_equal_sign", {"-d", "A"}, {}, "ERROR: Missing equal sign ('=') from symbol definition: \"A\"\n"),
    fails("missing_value", {"-d", "A="}, {}, "ERROR: Missing symbol value from definition: \"A=\"\n"),
    fails("equal_sign_alone", {"--define", "="}, {}, "ERROR: Missing symbol value from definition: \"=\"\n"),
    fails("second_equal_sign", {"-d", "A=1=2"}, {}, "ERROR: Value syntax error in symbol definition: \"A=1=2\"\n"),
    fails("hex_prefix_without_digit", {"-d", "A=0x"}, {}, "ERROR: Value syntax error in symbol definition: \"A=0x\"\n"),
    fails("octal_with_8", {"-d", "A=08"}, {}, "ERROR: Value syntax error in symbol definition: \"A=08\"\n"),
    fails("trailing_garbage", {"-d", "A=12abc"}, {}, "ERROR: Value syntax error in symbol definition: \"A=12abc\"\n"),
    fails("trailing_blank", {"-d", "A=1 "}, {}, "ERROR: Value syntax error in symbol definition: \"A=1 \"\n"),
    fails("blank_value", {"-d", "A= "}, {}, "ERROR: Value syntax error in symbol definition: \"A= \"\n"),
    fails("sign_alone", {"-d", "A=-"}, {}, "ERROR: Value syntax error in symbol definition: \"A=-\"\n"),
    // The first failing option ends the run: neither the later -d nor the later --help is looked at.
    fails("first_failure_ends_run", {"-d", "A=1", "-d", "B", "-d", "C=", "--help"}, {},
          "ERROR: Missing equal sign ('=') from symbol definition: \"B\"\n"),
};
INSTANTIATE_TEST_SUITE_P(Define, SymbolOptions, testing::ValuesIn(define_rows), row_name);

// ---- Which definition wins: the last one met on the command line, whether from -d or from a file.
const Files a_sym = {{"a.sym", "0x11 A\n0x12 B\n"}};
const Row precedence_rows[] = {
    defines("record_replaces_earlier_define", {"-d", "A=1", "-f", "a.sym"}, a_sym, {{"A", 0x11}, {"B", 0x12}}),
    defines("later_define_replaces_record", {"-f", "a.sym", "-d", "A=3"}, a_sym, {{"A", 3}, {"B", 0x12}}),
    defines("later_record_in_same_file_wins", {"-f", "a.sym"}, {{"a.sym", "0x1 A\n0x2 B\n0x3 A\n"}},
            {{"A", 3}, {"B", 2}}),
    defines("later_file_wins", {"-f", "a.sym", "--symfile", "b.sym"}, {a_sym[0], {"b.sym", "0x21 B\n0x23 C\n"}},
            {{"A", 0x11}, {"B", 0x21}, {"C", 0x23}}),
    defines("same_file_twice", {"-f", "a.sym", "-d", "A=9", "-f", "a.sym"}, a_sym, {{"A", 0x11}, {"B", 0x12}}),
    defines("grouped_define_and_symfile", {"-df", "A=1", "a.sym", "-d", "C=7"}, a_sym,
            {{"A", 0x11}, {"B", 0x12}, {"C", 7}}),
};
INSTANTIATE_TEST_SUITE_P(Precedence, SymbolOptions, testing::ValuesIn(precedence_rows), row_name);

// ---- -F STYLE:SYMVAL:SYMNAME. n.sym has the name first and the value second.
const Files n_sym = {{"n.sym", "A 0x21 extra\n"}};
const Files comments_sym = {{"c.sym", "# only a comment\n\n"}};
const Defs n_sym_defs = {{"A", 0x21}};
const Row format_rows[] = {
    defines("value_and_name_swapped", {"-F", "field:2:1", "-f", "n.sym"}, n_sym, n_sym_defs),
    defines("long_form", {"--symfile-format", "field:2:1", "--symfile", "n.sym"}, n_sym, n_sym_defs),
    defines("doubled_colon", {"-F", "field::2:1", "-f", "n.sym"}, n_sym, n_sym_defs),
    defines("leading_colon", {"-F", ":field:2:1", "-f", "n.sym"}, n_sym, n_sym_defs),
    defines("trailing_colon", {"-F", "field:2:1:", "-f", "n.sym"}, n_sym, n_sym_defs),
    defines("fourth_token_ignored", {"-F", "field:2:1:9", "-f", "n.sym"}, n_sym, n_sym_defs),
    defines("fourth_token_not_checked", {"-F", "field:2:1:x:", "-f", "n.sym"}, n_sym, n_sym_defs),
    defines("hex_field_number", {"-F", "field:0x2:1", "-f", "n.sym"}, n_sym, n_sym_defs),
    defines("octal_field_number", {"-F", "field:02:01", "-f", "n.sym"}, n_sym, n_sym_defs),
    defines("signed_field_number", {"-F", "field:+2: 1", "-f", "n.sym"}, n_sym, n_sym_defs),
    defines("grouped_letters", {"-Ff", "field:2:1", "n.sym"}, n_sym, n_sym_defs),
    defines("later_format_replaces_earlier", {"-F", "field:3:3", "-F", "field:2:1", "-f", "n.sym"}, n_sym, n_sym_defs),
    defines("same_field_for_both", {"-F", "field:1:1", "-f", "v.sym"}, {{"v.sym", "0x10\n"}}, {{"0x10", 16}}),
    defines("third_field", {"-F", "field:3:1", "-f", "v.sym"}, {{"v.sym", "B x 0x33 y\n"}}, {{"B", 0x33}}),
    // -F reaches only the -f options after it.
    defines("format_applies_to_later_files_only", {"-f", "a.sym", "-F", "field:2:1", "-f", "n.sym"},
            {a_sym[0], n_sym[0]}, {{"A", 0x21}, {"B", 0x12}}),
    defines("format_after_last_file_has_no_effect", {"-f", "a.sym", "-F", "field:2:1"}, a_sym,
            {{"A", 0x11}, {"B", 0x12}}),
    fails("earlier_file_keeps_default_format", {"-f", "n.sym", "-F", "field:2:1"}, n_sym,
          bad_value("n.sym", 1, "A")),

    fails("two_tokens", {"-F", "field:2"}, {}, "ERROR: Invalid argument to -F, --symfile-format\n"),
    fails("one_token", {"-F", "field"}, {}, "ERROR: Invalid argument to -F, --symfile-format\n"),
    fails("empty_word", {"--symfile-format", ""}, {}, "ERROR: Invalid argument to -F, --symfile-format\n"),
    fails("colons_only", {"-F", ":::"}, {}, "ERROR: Invalid argument to -F, --symfile-format\n"),
    fails("empty_tokens_do_not_count", {"-F", "field::2::"}, {}, "ERROR: Invalid argument to -F, --symfile-format\n"),
    fails("style_case_matters", {"-F", "Field:1:2"}, {}, "ERROR: \"Field\" is not a known symfile format style\n"),
    fails("style_must_be_whole", {"-F", "fields:1:2"}, {}, "ERROR: \"fields\" is not a known symfile format style\n"),
    fails("style_checked_before_numbers", {"-F", "x:y:z"}, {}, "ERROR: \"x\" is not a known symfile format style\n"),
    fails("bad_symval", {"-F", "field:1a:2"}, {}, "ERROR: Could not set symval field: \"1a\" is not a valid number\n"),
    fails("bad_symname", {"-F", "field:1:x"}, {}, "ERROR: Could not set symname field: \"x\" is not a valid number\n"),
    fails("symval_checked_first", {"-F", "field:y:x"}, {},
          "ERROR: Could not set symval field: \"y\" is not a valid number\n"),
    fails("octal_field_with_8", {"-F", "field:08:1"}, {},
          "ERROR: Could not set symval field: \"08\" is not a valid number\n"),
    fails("hex_prefix_without_digit", {"-F", "field:1:0x"}, {},
          "ERROR: Could not set symname field: \"0x\" is not a valid number\n"),
    fails("failing_format_ends_run", {"-F", "field", "-f", "n.sym"}, n_sym,
          "ERROR: Invalid argument to -F, --symfile-format\n"),

    // Numbers beyond 32 bits are clamped, not cut to their low bits: 2^32 + 2 must not act as field 2.
    fails("huge_field_number_clamped", {"-F", "field:4294967298:1", "-f", "n.sym"}, n_sym, incomplete("n.sym", 1)),
    prints("clamped_numbers_shown", {"-v", "-F", "field:99999999999:-99999999999", "-f", "c.sym", "-V"}, comments_sym,
           "Loading symbol file 'c.sym' (format is field:2147483647:-2147483648)\n"),
    // A field number of 0 or below is accepted; then no record is ever complete.
    fails("field_zero_fails_on_first_record", {"-F", "field:0:2", "-f", "z.sym"},
          {{"z.sym", "# head\n\n0x11 A\n0x12 B\n"}}, incomplete("z.sym", 3)),
    fails("negative_field_fails_on_first_record", {"-F", "field:1:-1", "-f", "n.sym"}, n_sym, incomplete("n.sym", 1)),
    defines("field_zero_loads_file_of_comments", {"-F", "field:0:2", "-f", "c.sym", "-d", "A=4"}, comments_sym,
            {{"A", 4}}),
};
INSTANTIATE_TEST_SUITE_P(Format, SymbolOptions, testing::ValuesIn(format_rows), row_name);

// ---- The symbol file format, under the default field:1:2 unless a row says otherwise.
const std::string line300 = pad(pad("0x11 A", 255) + "0x12 B", 300) + "\n";
const std::string line255 = pad("0x11 A", 255) + "\n";
const Row file_rows[] = {
    defines("documented_example", {"-f", "s.sym"}, {{"s.sym", "0x1000 start_of_code\n"}}, {{"start_of_code", 0x1000}}),
    defines("empty_file", {"-f", "s.sym"}, {{"s.sym", ""}}, {}),
    defines("crlf_line_ends", {"-f", "s.sym"}, {{"s.sym", "0x11 A\r\n\r\n0x12 B\r\n"}}, {{"A", 0x11}, {"B", 0x12}}),
    defines("tabs_and_blanks", {"-f", "s.sym"}, {{"s.sym", "\t 0x11\t\tA \t\n"}}, {{"A", 0x11}}),
    defines("vertical_tab_separates", {"-f", "s.sym"}, {{"s.sym", "\v0x11\vA\v\n"}}, {{"A", 0x11}}),
    defines("form_feed_is_part_of_a_name", {"-f", "s.sym"}, {{"s.sym", "0x11 a\fb\n"}}, {{"a\fb", 0x11}}),
    fails("form_feed_is_part_of_a_value", {"-f", "s.sym"}, {{"s.sym", "0x11\f A\n"}},
          bad_value("s.sym", 1, "0x11\f")),
    defines("comments_and_blank_lines_skipped", {"-f", "s.sym"},
            {{"s.sym", "#\n  # x\n#0x13 C\n\t#\n\n   \n \t\v\r\n0x11 A\n"}}, {{"A", 0x11}}),
    defines("hash_in_later_field_is_text", {"-f", "s.sym"}, {{"s.sym", "0x11 A #comment\n0x12 #x\n"}},
            {{"A", 0x11}, {"#x", 0x12}}),
    defines("further_fields_ignored", {"-f", "s.sym"}, {{"s.sym", "0x11 A B C 0x99\n"}}, {{"A", 0x11}}),
    defines("last_line_without_line_feed", {"-f", "s.sym"}, {{"s.sym", "0x11 A\n0x12 B"}}, {{"A", 0x11}, {"B", 0x12}}),
    defines("value_syntax", {"-f", "s.sym"}, {{"s.sym", "010 A\n-1 B\n0X1f C\n+0x12 #x\n"}},
            {{"A", 8}, {"B", all_ones}, {"C", 31}, {"#x", 0x12}}),
    defines("too_large_value_reads_all_ones", {"-f", "s.sym"},
            {{"s.sym", "0x10000000000000000 A\n-99999999999999999999 B\n"}}, {{"A", all_ones}, {"B", all_ones}}),

    // Lines are read in pieces of at most 255 characters; each piece counts as a line of its own.
    defines("line_of_300_is_two_records", {"-f", "s.sym"}, {{"s.sym", line300}}, {{"A", 0x11}, {"B", 0x12}}),
    fails("line_of_300_shifts_numbering", {"-f", "s.sym"}, {{"s.sym", line300 + "C\n"}}, incomplete("s.sym", 3)),
    fails("second_piece_judged_alone", {"-f", "s.sym"}, {{"s.sym", pad("0x11 A", 255) + "tail\n"}},
          incomplete("s.sym", 2)),
    fails("piece_boundary_cuts_record", {"-f", "s.sym"}, {{"s.sym", pad("", 250) + "0x11 A\n"}},
          incomplete("s.sym", 1)),
    fails("line_of_255_leaves_blank_line", {"-f", "s.sym"}, {{"s.sym", line255 + "C\n"}}, incomplete("s.sym", 3)),
    fails("line_of_254_is_one_line", {"-f", "s.sym"}, {{"s.sym", pad("0x11 A", 254) + "\nC\n"}},
          incomplete("s.sym", 2)),

    fails("incomplete_record", {"-f", "s.sym"}, {{"s.sym", "A\n"}}, incomplete("s.sym", 1)),
    fails("incomplete_record_counts_blank_and_comment_lines", {"-f", "s.sym"},
          {{"s.sym", "0x11 A\n\n# c\n   \n0x12\n0x13 C\n"}}, incomplete("s.sym", 5)),
    fails("field_beyond_line", {"-F", "field:1:5", "-f", "s.sym"}, {{"s.sym", "0x11 A B C\n"}},
          incomplete("s.sym", 1)),
    fails("value_with_hash", {"-f", "s.sym"}, {{"s.sym", "0x11 A\n\n0x10#x B\n"}},
          bad_value("s.sym", 3, "0x10#x")),
    fails("octal_value_with_8", {"-f", "s.sym"}, {{"s.sym", "# c\n08 B\n"}}, bad_value("s.sym", 2, "08")),
    fails("hex_prefix_without_digit", {"-f", "s.sym"}, {{"s.sym", "0x A\n"}}, bad_value("s.sym", 1, "0x")),
    fails("value_in_second_field", {"-F", "field:2:1", "-f", "s.sym"}, {{"s.sym", "A 1\r\nB 2z\r\n"}},
          bad_value("s.sym", 2, "2z")),
    // Nothing after the failing line is read: its error stands, not a later one.
    fails("first_bad_line_ends_load", {"-f", "s.sym"}, {{"s.sym", "x A\nB\n"}}, bad_value("s.sym", 1, "x")),

    fails("missing_file", {"-d", "A=1", "-f", "none.sym"}, {},
          "ERROR: Could not open 'none.sym' for reading: No such file or directory\n" + load_failed("none.sym")),
    fails("missing_file_in_missing_directory", {"-f", "no/s.sym"}, {},
          "ERROR: Could not open 'no/s.sym' for reading: No such file or directory\n" + load_failed("no/s.sym")),
    fails("directory_as_file", {"-f", "sub"}, {{"sub/", ""}},
          "ERROR: Could not read 'sub': Is a directory\n" + load_failed("sub")),
};
INSTANTIATE_TEST_SUITE_P(File, SymbolOptions, testing::ValuesIn(file_rows), row_name);

// ---- Loader progress by verbosity, and -V. -V ends these runs, so stdout holds only the loader's lines.
const Files ab_sym = {{"a.sym", "0x11 A\n# c\n-1 B\n"}, {"b.sym", "B 0x22\n"}};
const Row verbose_rows[] = {
    prints("version_alone", {"-V"}, {}, ""),
    prints("version_long", {"--version"}, {}, ""),
    prints("version_after_definitions", {"-d", "A=1", "-f", "a.sym", "-F", "field:2:1", "-V"}, ab_sym, ""),
    // Nothing after -V is examined: not the bad -d, not the letter x, not the operands.
    prints("version_ends_scan", {"-V", "-d", "A"}, {}, ""),
    prints("version_in_group", {"-vVx"}, {}, ""),
    fails("failure_before_version", {"-d", "A", "-V"}, {},
          "ERROR: Missing equal sign ('=') from symbol definition: \"A\"\n"),

    prints("level_1_names_file_and_format", {"-v", "-f", "a.sym", "-V"}, ab_sym,
           "Loading symbol file 'a.sym' (format is field:1:2)\n"),
    prints("level_2_lists_symbols", {"-vv", "-f", "a.sym", "-V"}, ab_sym,
           "Loading symbol file 'a.sym' (format is field:1:2)\n"
           "  A = 0x11\n"
           "  B = 0xffffffffffffffff\n"
           "Done.\n"),
    prints("level_3_adds_nothing", {"-vvv", "-F", "field:2:1", "-f", "b.sym", "-V"}, ab_sym,
           "Loading symbol file 'b.sym' (format is field:2:1)\n"
           "  B = 0x22\n"
           "Done.\n"),
    prints("empty_file_at_level_2", {"-vv", "-f", "e.sym", "-V"}, {{"e.sym", "\n# c\n"}},
           "Loading symbol file 'e.sym' (format is field:1:2)\nDone.\n"),
    prints("define_prints_nothing", {"-vv", "-d", "A=1", "-V"}, {}, ""),
    // -v counts for the -f options after it only.
    prints("verbosity_reaches_later_files_only", {"-f", "a.sym", "-v", "-f", "a.sym", "-v", "-F", "field:2:1", "-f",
                                                  "b.sym", "-V"},
           ab_sym,
           "Loading symbol file 'a.sym' (format is field:1:2)\n"
           "Loading symbol file 'b.sym' (format is field:2:1)\n"
           "  B = 0x22\n"
           "Done.\n"),
    // The loading line comes before the file is opened; records before a failing line are listed.
    fails("loading_line_before_open", {"-v", "-f", "none.sym"}, {},
          "ERROR: Could not open 'none.sym' for reading: No such file or directory\n" + load_failed("none.sym"),
          "Loading symbol file 'none.sym' (format is field:1:2)\n"),
    fails("records_before_failure_listed", {"-vv", "-f", "f.sym"}, {{"f.sym", "0x11 A\n0x12 B\nC\n"}},
          incomplete("f.sym", 3), "Loading symbol file 'f.sym' (format is field:1:2)\n  A = 0x11\n  B = 0x12\n"),
};
INSTANTIATE_TEST_SUITE_P(Verbose, SymbolOptions, testing::ValuesIn(verbose_rows), row_name);

// ---- The definitions reach the relocations in every ELF kind, and -f and the same -d options give the
// same image. Each kind uses a machine of its own with its two symbol types; A is undefined, B is an
// undefined weak symbol and C is defined by the input, which a definition must still override.
struct Machine {
    uint16_t machine;
    bool rela;
    uint32_t type_a, type_b;  // the main table uses type_a; the PLT table, if any, type_b
    bool plt;
};

Machine machine_for(eb::Format f) {
    if (f.elfclass == 32)
        return f.msb ? Machine{eb::EM_PPC, true, 1 /* R_PPC_ADDR32 */, 21 /* R_PPC_JMP_SLOT */, true}
                     : Machine{eb::EM_386, false, eb::R_386_GLOB_DAT, eb::R_386_32, false};
    return f.msb ? Machine{22 /* EM_S390 */, true, 10 /* R_390_GLOB_DAT */, 11 /* R_390_JMP_SLOT */, true}
                 : Machine{eb::EM_X86_64, true, eb::R_X86_64_GLOB_DAT, eb::R_X86_64_JUMP_SLOT, true};
}

class DefinitionsTakeEffect : public testing::TestWithParam<eb::Format> {};

TEST_P(DefinitionsTakeEffect, FileAndDefinesGiveSameImage) {
    const eb::Format f = GetParam();
    const Machine m = machine_for(f);
    const unsigned w = eb::word_size(f);
    constexpr uint64_t data = 0x2000, c_addr = 0x1008;

    eb::Pie p;
    p.fmt = f;
    p.machine = m.machine;
    p.text = eb::Bytes(16, 0);
    p.data_addr = data;
    p.data = eb::Bytes(3 * w, 0);
    p.rela = p.plt_rela = m.rela;
    p.dynsyms = {{.name = "A", .info = eb::st_info(eb::STB_GLOBAL, eb::STT_OBJECT)},
                 {.name = "B", .info = eb::st_info(eb::STB_WEAK, eb::STT_FUNC)},
                 {.name = "C", .info = eb::st_info(eb::STB_GLOBAL, eb::STT_OBJECT), .shndx = eb::pie_shndx_text,
                  .value = c_addr}};
    // Slot 2 carries an addend of 8: in r_addend, or in the slot itself for REL.
    p.relocs = {{data, 1, m.type_a, 0}, {data + 2 * w, 3, m.type_a, 8}};
    (m.plt ? p.plt_relocs : p.relocs).push_back({data + w, 2, m.type_b, 0});
    if (!m.rela)
        eb::put(p.data, 2 * w, w, 8, f.msb);
    const eb::BuiltPie b = eb::build_pie(p);

    // -1 and 0x80000000 fit an ELF32 word as sign- and zero-extended values.
    const uint64_t mask = w == 8 ? all_ones : 0xffffffff;
    eb::Bytes want = b.image();
    eb::put(want, b.image_off(data), w, 0x12345678, f.msb);
    eb::put(want, b.image_off(data + w), w, all_ones & mask, f.msb);
    eb::put(want, b.image_off(data + 2 * w), w, 0x80000008, f.msb);

    TempDir dir;
    dir.write("in.elf", b.bytes);
    dir.write_text("defs.sym", "# the same as the -d options\n0x12345678 A\n-1\tB\n0x80000000 C\n");
    const auto run = [&](std::vector<std::string> args, const std::string &out) {
        args.insert(args.end(), {"-o", out, "0x40000", "in.elf"});
        return testrun::run_pieshift_as("pieshift", args, dir.path);
    };

    const Result none = run({}, "none.bin");
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err, "ERROR: Symbol \"A\" is undefined\nERROR: Failed to apply relocations\n");

    const Result from_file = run({"-f", "defs.sym"}, "file.bin");
    EXPECT_EQ(from_file.status, 0);
    EXPECT_EQ(from_file.out, "");
    EXPECT_EQ(from_file.err, "");
    ASSERT_TRUE(dir.exists("file.bin"));
    EXPECT_EQ(dir.read("file.bin"), want);

    const Result from_defines = run({"-d", "A=0x12345678", "-d", "B=-1", "-d", "C=0x80000000"}, "defines.bin");
    EXPECT_EQ(from_defines.status, 0);
    EXPECT_EQ(from_defines.out, "");
    EXPECT_EQ(from_defines.err, "");
    ASSERT_TRUE(dir.exists("defines.bin"));
    EXPECT_EQ(dir.read("defines.bin"), dir.read("file.bin"));
}

INSTANTIATE_TEST_SUITE_P(AllKinds, DefinitionsTakeEffect, testing::ValuesIn(eb::all_formats()),
                         [](const auto &info) { return eb::format_name(info.param); });

}  // namespace
