// End-to-end tests of the symbol options: -d, -f and its file format, -F, and the loader's progress lines.
// A definition is judged by its effect: each run that gets through relocates a probe PIE whose relocations
// name the symbols, and the words stored in the image must be the defined values.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kelpbase.h"
#include "kelpx.h"
#include "support/elfbuild.h"
#include "support/run.h"

namespace {

namespace eb = elfbuild;

constexpr uint64_t all_ones = ~uint64_t{0};

// The probe: ELF64 LSB x86-64 with one 8-byte slot in .data per name, each a GLOB_DAT against an undefined
// symbol of that name, so a slot holds exactly the value the symbol was given. "" is an unnamed symbol
// (st_name 0), reachable only by -d =VAL; "0x10" is what field:1:1 names a symbol.
const std::vector<std::string> probe_names = {"A", "B", "C", "", "0x10"};
const eb::BuiltPie &probe() {
    static const eb::BuiltPie built = [] {
        eb::Pie p;
        p.text = eb::Bytes(16, 0x90);
        p.data = eb::Bytes(8 * probe_names.size(), 0);
        for (uint64_t i = 0; i < probe_names.size(); ++i) {
            p.dynsyms.push_back({.name = probe_names[i], .info = eb::st_info(eb::STB_GLOBAL, eb::STT_NOTYPE)});
            p.relocs.push_back({.offset = 0x2000 + 8 * i, .sym = i + 1, .type = eb::R_X86_64_GLOB_DAT});
        }
        return eb::build_pie(p);
    }();
    return built;
}

// Every row ends with these. --ignore-undefined lets a row define only the names it is about; the other
// slots keep 0. ADDRESS differs from the image's start, so a value wrongly moved like an address shows.
const std::vector<std::string> probe_tail = {"--ignore-undefined", "-o", "out.bin", "0x10000", "probe.elf"};

using Files = std::vector<std::pair<std::string, std::string>>;  // a name ending in "/" makes a directory
using Defs = std::map<std::string, uint64_t>;

// `defs` set: the run relocates the probe and each slot holds its name's value; unset: no image is written.
struct Row {
    const char *name;
    std::vector<std::string> args;
    Files files;
    int status;
    std::string out, err;
    std::optional<Defs> defs;
};
void PrintTo(const Row &row, std::ostream *os) { *os << row.name; }

Row defines(const char *name, std::vector<std::string> args, Files files, Defs defs) {
    return {name, std::move(args), std::move(files), 0, "", "", std::move(defs)};
}
Row fails(const char *name, std::vector<std::string> args, Files files, std::string err, std::string out = "") {
    return {name, std::move(args), std::move(files), 1, std::move(out), std::move(err), std::nullopt};
}
// Runs whose options end with -V: stdout holds what the loader printed, then the version lines.
Row prints(const char *name, std::vector<std::string> args, Files files, std::string out) {
    out += std::string("pieshift v0.7.0\nkelpbase v") + kelpbase_get_version() + "\nkelpx  v" + kelpx_get_version() +
           "\n";
    return {name, std::move(args), std::move(files), 0, std::move(out), "", std::nullopt};
}

std::string pad(const std::string &s, size_t n) { return s + std::string(n - s.size(), ' '); }
std::string load_failed(const std::string &file) { return "ERROR: Could not load symfile '" + file + "'\n"; }
std::string incomplete(const std::string &file, long line) {
    return "ERROR: Incomplete record in line " + std::to_string(line) + "\n" + load_failed(file);
}

class SymbolOptions : public testing::TestWithParam<Row> {};

TEST_P(SymbolOptions, Run) {
    const Row &row = GetParam();
    testrun::TempDir dir;
    dir.write("probe.elf", probe().bytes);
    for (const auto &[name, text] : row.files) {
        if (name.ends_with('/'))
            std::filesystem::create_directory(dir.file(name.substr(0, name.size() - 1)));
        else
            dir.write_text(name, text);
    }
    std::vector<std::string> args = row.args;
    args.insert(args.end(), probe_tail.begin(), probe_tail.end());
    const testrun::Result r = testrun::run_pieshift_as("pieshift", args, dir.path);
    EXPECT_EQ(r.status, row.status);
    EXPECT_EQ(r.out, row.out);
    EXPECT_EQ(r.err, row.err);
    ASSERT_EQ(dir.exists("out.bin"), row.defs.has_value());
    if (!row.defs) return;
    eb::Bytes want = probe().image();
    for (size_t i = 0; i < probe_names.size(); ++i) {
        const auto it = row.defs->find(probe_names[i]);
        eb::put(want, probe().image_off(0x2000 + 8 * i), 8, it == row.defs->end() ? 0 : it->second, false);
    }
    EXPECT_EQ(dir.read("out.bin"), want);
}

const Files a_sym = {{"a.sym", "0x11 A\n0x12 B\n"}}, n_sym = {{"n.sym", "A 0x21 extra\n"}};
const std::string line255 = pad("0x11 A", 255) + "\n", line300 = pad(pad("0x11 A", 255) + "0x12 B", 300) + "\n";
const Row rows[] = {
    // ---- -d SYM=VAL, and which definition wins: the last one met, whether from -d or from a file.
    defines("define_forms", {"-d", "A=0X1F", "--define", "B=010", "-d", "C=-1", "-d", "=5"}, {},
            {{"A", 31}, {"B", 8}, {"C", all_ones}, {"", 5}}),
    fails("define_no_equal", {"-d", "A"}, {}, "ERROR: Missing equal sign ('=') from symbol definition: \"A\"\n"),
    fails("define_missing_value", {"-d", "A="}, {}, "ERROR: Missing symbol value from definition: \"A=\"\n"),
    fails("define_two_equals", {"-d", "A=1=2"}, {}, "ERROR: Value syntax error in symbol definition: \"A=1=2\"\n"),
    defines("later_record_or_define_wins", {"-d", "A=1", "-f", "a.sym", "-d", "B=3", "-d", "C=1", "-d", "C=2"},
            {{"a.sym", "0x1 A\n0x11 A\n0x12 B\n"}}, {{"A", 0x11}, {"B", 3}, {"C", 2}}),

    // ---- -F STYLE:SYMVAL:SYMNAME is split at runs of ":", its numbers read as C literals; a 4th token is ignored.
    defines("F_tokens", {"--symfile-format", "::field::0x2:01:x", "-f", "n.sym"}, n_sym, {{"A", 0x21}}),
    defines("F_only_affects_later_files", {"-f", "a.sym", "-F", "field:2:1", "-f", "n.sym"}, {a_sym[0], n_sym[0]},
            {{"A", 0x21}, {"B", 0x12}}),
    defines("F_same_field_for_value_and_name", {"-F", "field:1:1", "-f", "v.sym"}, {{"v.sym", "0x10\n"}},
            {{"0x10", 16}}),
    fails("F_empty_tokens_do_not_count", {"-F", "field::2::"}, {}, "ERROR: Invalid argument to -F, --symfile-format\n"),
    fails("F_style_case_checked_first", {"-F", "Field:y:z"}, {},
          "ERROR: \"Field\" is not a known symfile format style\n"),
    fails("F_symval_checked_before_symname", {"-F", "field:1a:x"}, {},
          "ERROR: Could not set symval field: \"1a\" is not a valid number\n"),
    fails("F_bad_symname", {"-F", "field:1:0x"}, {},
          "ERROR: Could not set symname field: \"0x\" is not a valid number\n"),
    // Field numbers beyond 32 bits are clamped, not cut to their low bits: 2^32 + 2 must not act as 2.
    fails("F_huge_field_clamped", {"-F", "field:4294967298:1", "-f", "n.sym"}, n_sym, incomplete("n.sym", 1)),
    prints("F_clamped_numbers_shown", {"-v", "-F", "field:99999999999:-99999999999", "-f", "c.sym", "-V"},
           {{"c.sym", "# only a comment\n"}}, "Loading symbol file 'c.sym' (format is field:2147483647:-2147483648)\n"),
    // Field 0 is accepted, but then no record is ever complete; comment and blank lines are counted.
    fails("F_field_zero", {"-F", "field:0:2", "-f", "z.sym"}, {{"z.sym", "# c\n\n0x11 A\n"}}, incomplete("z.sym", 3)),

    // ---- The symbol file, under the default field:1:2. Fields are split at blanks, tabs, CR, LF and VT.
    defines("separators_and_line_ends", {"-f", "s.sym"}, {{"s.sym", "\t 0x11\t\vA \r\n\r\n0x12 B"}},
            {{"A", 0x11}, {"B", 0x12}}),
    defines("comments_and_blank_lines", {"-f", "s.sym"}, {{"s.sym", "#\n  # x\n#0x13 C\n\t#\n\n \t\v\r\n0x11 A\n"}},
            {{"A", 0x11}}),
    // Lines are read in pieces of at most 255 characters; each piece counts as a line of its own.
    defines("line_of_300_is_two_records", {"-f", "s.sym"}, {{"s.sym", line300}}, {{"A", 0x11}, {"B", 0x12}}),
    fails("line_of_255_leaves_blank_line", {"-f", "s.sym"}, {{"s.sym", line255 + "C\n"}}, incomplete("s.sym", 3)),
    fails("line_of_254_is_one_line", {"-f", "s.sym"}, {{"s.sym", pad("0x11 A", 254) + "\nC\n"}},
          incomplete("s.sym", 2)),
    fails("bad_value_after_comment", {"-f", "s.sym"}, {{"s.sym", "# c\n08 B\n"}},
          "ERROR: Symbol value syntax error in line 2: \"08\"\n" + load_failed("s.sym")),
    fails("bad_value_in_second_field", {"-F", "field:2:1", "-f", "s.sym"}, {{"s.sym", "A 1\r\nB 2z\r\n"}},
          "ERROR: Symbol value syntax error in line 2: \"2z\"\n" + load_failed("s.sym")),
    // The loading line comes before the file is opened.
    fails("missing_file", {"-v", "-f", "none.sym"}, {},
          "ERROR: Could not open 'none.sym' for reading: No such file or directory\n" + load_failed("none.sym"),
          "Loading symbol file 'none.sym' (format is field:1:2)\n"),
    fails("directory_as_file", {"-f", "sub"}, {{"sub/", ""}},
          "ERROR: Could not read 'sub': Is a directory\n" + load_failed("sub")),

    // ---- Loader progress: -v counts for the -f options after it only, and -V ends the run.
    prints("progress_by_level",
           {"-f", "a.sym", "-v", "-f", "a.sym", "-v", "-F", "field:2:1", "-f", "b.sym", "-f", "e.sym", "-V"},
           {a_sym[0], {"b.sym", "# c\nB -1\n"}, {"e.sym", ""}},
           "Loading symbol file 'a.sym' (format is field:1:2)\n"
           "Loading symbol file 'b.sym' (format is field:2:1)\n  B = 0xffffffffffffffff\nDone.\n"
           "Loading symbol file 'e.sym' (format is field:2:1)\nDone.\n"),
};
INSTANTIATE_TEST_SUITE_P(Symbols, SymbolOptions, testing::ValuesIn(rows),
                         [](const auto &info) { return info.param.name; });

// -f and the same definitions as -d options give the same image, here for ELF32 REL, where addends sit in
// the slots and values keep their low 32 bits. A is undefined, and C is
// defined by the input, which a definition must still override.
TEST(SymbolFile, GivesSameImageAsDefines) {
    eb::Pie p;
    p.fmt = {32, false};
    p.machine = eb::EM_386;
    p.rela = false;
    p.text = eb::Bytes(16, 0);
    p.data = {0, 0, 0, 0, 8, 0, 0, 0};  // C's slot holds its addend, 8
    p.dynsyms = {{.name = "A", .info = eb::st_info(eb::STB_GLOBAL, eb::STT_OBJECT)},
                 {.name = "C", .info = eb::st_info(eb::STB_GLOBAL, eb::STT_OBJECT), .shndx = eb::pie_shndx_text,
                  .value = 0x1008}};
    p.relocs = {{0x2000, 1, eb::R_386_GLOB_DAT, 0}, {0x2004, 2, eb::R_386_GLOB_DAT, 0}};
    const eb::BuiltPie b = eb::build_pie(p);
    eb::Bytes want = b.image();
    eb::put(want, b.image_off(0x2000), 4, 0xffffffff, false);
    eb::put(want, b.image_off(0x2004), 4, 0x80000008, false);

    testrun::TempDir dir;
    dir.write("in.elf", b.bytes);
    dir.write_text("defs.sym", "-1\tA\n0x80000000 C\n");
    for (const auto &[out, args] : {std::pair<std::string, std::vector<std::string>>{"file.bin", {"-f", "defs.sym"}},
                                    {"defines.bin", {"-d", "A=-1", "-d", "C=0x80000000"}}}) {
        std::vector<std::string> argv = args;
        argv.insert(argv.end(), {"-o", out, "0x40000", "in.elf"});
        const testrun::Result r = testrun::run_pieshift_as("pieshift", argv, dir.path);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        ASSERT_TRUE(dir.exists(out));
        EXPECT_EQ(dir.read(out), want) << out;
    }
}

}  // namespace
