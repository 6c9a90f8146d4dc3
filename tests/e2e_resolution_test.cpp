// Resolving and storing relocation entries end to end: the value of each applied type, the
// undefined-symbol policy, the bounds of the store, the per-entry traces, and the applied types
// of each supported machine.
#include <gtest/gtest.h>

#include <array>
#include <cinttypes>
#include <cstdio>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "support/elfbuild.h"
#include "support/run.h"

namespace {

namespace eb = elfbuild;

// With .text at 0x1000, the image's first byte, every address moves by 0x7ffff000.
constexpr uint64_t target = 0x80000000;
constexpr uint64_t bias = target - 0x1000;
constexpr uint32_t RELATIVE = eb::R_X86_64_RELATIVE, GLOB_DAT = eb::R_X86_64_GLOB_DAT,
                   JUMP_SLOT = eb::R_X86_64_JUMP_SLOT;
const std::string failed = "ERROR: Failed to apply relocations\n";

std::string hex(uint64_t v) {
    char buf[24];
    snprintf(buf, sizeof buf, "0x%" PRIx64, v);
    return buf;
}

// What one row expects of one run. No image: the run must leave no output file.
struct Case {
    eb::Bytes input;
    std::vector<std::string> opts = {};
    uint64_t address = target;
    int status = 0;
    std::string out = {}, err = {};
    std::optional<eb::Bytes> image = {};
};

eb::Pie pie(eb::Format f, uint16_t machine = eb::EM_X86_64) {
    eb::Pie p;
    p.fmt = f;
    p.machine = machine;
    p.text = eb::Bytes(0x40, 0x90);
    p.data = eb::Bytes(0x40, 0);
    return p;
}

eb::PieSym global(const char *name, uint16_t shndx, uint64_t value) {
    return {name, eb::st_info(eb::STB_GLOBAL, eb::STT_NOTYPE), shndx, value};
}
eb::PieSym weak(const char *name, uint16_t shndx, uint64_t value) {
    return {name, eb::st_info(eb::STB_WEAK, eb::STT_NOTYPE), shndx, value};
}

// Success: the unrelocated image with each (address, value) stored as a word of the input's kind.
Case applied(const eb::BuiltPie &b, const std::vector<std::pair<uint64_t, uint64_t>> &stores,
             std::vector<std::string> opts = {}) {
    eb::Bytes img = b.image();
    for (const auto &[at, v] : stores) eb::put(img, b.image_off(at), eb::word_size(b.fmt), v, b.fmt.msb);
    return Case{b.bytes, std::move(opts), target, 0, "", "", img};
}

Case failing(const eb::BuiltPie &b, const std::string &err, std::vector<std::string> opts = {}) {
    return Case{b.bytes, std::move(opts), target, 1, "", err + failed, std::nullopt};
}

// The progress lines of the stages before the relocations, for "in.elf" relocated to `target`.
std::string preamble(const eb::BuiltPie &b, int verbose) {
    std::string s = "Relocating 'in.elf' to " + hex(target) + ", and save to 'in.elf.out'\n" +
                    "Search dynamic section...\nDetermine virtual space...\nVirtual space: " + hex(b.vspace_start) +
                    ".." + hex(b.vspace_end) + "\nCopy section contents to output space...\n";
    if (verbose >= 2) {
        eb::Elf e = b.elf;
        for (const auto &[index, name] : {std::pair{1, ".text"}, std::pair{2, ".data"}}) {
            const eb::Section &sec = eb::section(e, name);
            s += "  Section #" + std::to_string(index) + " [" + name + "], " + std::to_string(sec.data.size()) +
                 " octets at " + hex(sec.addr) + " (rel " + hex(sec.addr - b.vspace_start) + ")\n";
        }
        s += "Done.\n";
    }
    return s;
}

testing::AssertionResult same_bytes(const eb::Bytes &got, const eb::Bytes &want) {
    if (got.size() != want.size())
        return testing::AssertionFailure() << "size " << got.size() << ", want " << want.size();
    for (size_t i = 0; i < got.size(); ++i)
        if (got[i] != want[i])
            return testing::AssertionFailure() << "byte at image offset " << hex(i) << " is " << hex(got[i])
                                               << ", want " << hex(want[i]);
    return testing::AssertionSuccess();
}

struct Row {
    std::string name;
    std::vector<eb::Format> kinds;
    std::function<Case(eb::Format)> make;
};
struct Param {
    const Row *row;
    eb::Format fmt;
};
void PrintTo(const Param &p, std::ostream *os) { *os << p.row->name << " " << eb::format_name(p.fmt); }

const std::vector<eb::Format> all = eb::all_formats();
const std::vector<eb::Format> two = {{64, false}, {32, true}};
const std::vector<eb::Format> elf32 = {{32, false}, {32, true}};
const std::vector<eb::Format> elf64 = {{64, false}, {64, true}};

// Each kind of symbol under each policy option, on one GLOB_DAT entry with addend 0x10. A missing
// value: the run fails with the undefined-symbol message.
void add_policy_rows(std::vector<Row> &rows) {
    struct Kind {
        const char *name;
        eb::PieSym sym;
        std::vector<std::string> opts;
        std::array<std::optional<uint64_t>, 3> value;  // no option, --ignore-weak, --ignore-undefined
    };
    const eb::PieSym defined = global("foo", eb::pie_shndx_text, 0x1010);
    const std::vector<Kind> kinds = {
        {"defined_by_input", defined, {}, {{0x1020 + bias, 0x1020 + bias, 0x1020 + bias}}},
        {"defined_by_input_and_d", defined, {"-d", "foo=0x5000"}, {{0x5010, 0x5010, 0x5010}}},
        {"undefined", global("foo", eb::SHN_UNDEF, 0x40), {}, {{std::nullopt, std::nullopt, 0x50}}},
        {"undefined_and_d", global("foo", eb::SHN_UNDEF, 0x40), {"-d", "foo=0x5000"}, {{0x5010, 0x5010, 0x5010}}},
        {"undefined_weak", weak("foo", eb::SHN_UNDEF, 0x40), {}, {{std::nullopt, 0x50, 0x50}}},
    };
    const std::array<std::pair<const char *, const char *>, 3> flags = {
        {{"no_flag", nullptr}, {"ignore_weak", "--ignore-weak"}, {"ignore_undefined", "--ignore-undefined"}}};
    for (const Kind &k : kinds)
        for (size_t i = 0; i < flags.size(); ++i)
            rows.push_back({std::string(k.name) + "_" + flags[i].first, two, [k, i, flags](eb::Format f) {
                                eb::Pie p = pie(f);
                                p.dynsyms = {k.sym};
                                p.relocs = {{0x2000, 1, GLOB_DAT, 0x10}};
                                std::vector<std::string> opts = k.opts;
                                if (flags[i].second != nullptr) opts.push_back(flags[i].second);
                                const eb::BuiltPie b = eb::build_pie(p);
                                if (!k.value[i]) return failing(b, "ERROR: Symbol \"foo\" is undefined\n", opts);
                                return applied(b, {{0x2000, *k.value[i]}}, opts);
                            }});
}

// An input of `machine` with one entry of each applied type (relative, then the two symbol types),
// against a symbol that the input defines; REL addends are put in the image.
Case machine_case(eb::Format f, uint16_t machine, uint32_t e_flags, bool rela, std::array<uint32_t, 3> types) {
    eb::Pie p = pie(f, machine);
    const unsigned w = eb::word_size(f);
    p.dynsyms = {global("foo", eb::pie_shndx_text, 0x1020)};
    p.rela = rela;
    p.relocs = {{0x2000, 0, types[0], 0x1010}, {0x2000 + w, 1, types[1], 4}, {0x2000 + 2 * w, 1, types[2], 8}};
    if (!rela)
        for (unsigned i = 0; i < 3; ++i) eb::put(p.data, i * w, w, p.relocs[i].addend, f.msb);
    eb::BuiltPie b = eb::build_pie(p);
    b.elf.flags = e_flags;
    b.bytes = eb::build(b.elf);
    return applied(b, {{0x2000, 0x1010 + bias}, {0x2000 + w, 0x1024 + bias}, {0x2000 + 2 * w, 0x1028 + bias}});
}

// A type that the machine names but does not apply.
Case not_handled(eb::Format f, uint16_t machine, uint32_t e_flags, bool rela, uint32_t type, const char *name) {
    eb::Pie p = pie(f, machine);
    p.dynsyms = {global("foo", eb::pie_shndx_text, 0x1020)};
    p.rela = rela;
    p.relocs = {{0x2000, 1, type}};
    eb::BuiltPie b = eb::build_pie(p);
    b.elf.flags = e_flags;
    b.bytes = eb::build(b.elf);
    return failing(b, std::string("ERROR: ") + name + " is not handled\n");
}

// One entry of each outcome, traced at `verbose`.
Case traced(eb::Format f, int verbose) {
    eb::Pie p = pie(f);
    p.dynsyms = {global("def", eb::pie_shndx_text, 0x1010), global("redef", eb::pie_shndx_text, 0x1020),
                 weak("weak", eb::SHN_UNDEF, 0), global("undef", eb::SHN_UNDEF, 0x40)};
    p.relocs = {{0x2000, 0, RELATIVE, 0x10},
                {0x2008, 1, GLOB_DAT, 0},
                {0x2010, 2, GLOB_DAT, 4},
                {0x2018, 3, JUMP_SLOT, 0},
                {0x2020, 4, GLOB_DAT, 0}};
    const eb::BuiltPie b = eb::build_pie(p);
    const std::string v = "-" + std::string(static_cast<size_t>(verbose), 'v');
    Case c = applied(b, {{0x2000, 0x10 + bias}, {0x2008, 0x1010 + bias}, {0x2010, 0x5004}, {0x2018, 0}, {0x2020, 0x40}},
                     {"--ignore-undefined", "-d", "redef=0x5000", v});
    const auto at = [&](int level, const std::string &line) { return verbose >= level ? line : std::string(); };
    const auto store = [&](uint64_t value, uint64_t r_offset) {
        return at(3, "    " + hex(value) + " -> " + hex(r_offset) + " (rel " + hex(r_offset - 0x1000) + ")\n");
    };
    c.out = preamble(b, verbose) + "Apply relocations at " + hex(b.reltab_addr) + "...\n";
    if (verbose >= 2) {
        c.out += "  R_X86_64_RELATIVE, 0x0 + 0x10\n" + store(0x10 + bias, 0x2000);
        c.out += "  R_X86_64_GLOB_DAT, 0x1010 (def) + 0x0\n" + store(0x1010 + bias, 0x2008);
        c.out += "  R_X86_64_GLOB_DAT, 0x1020 (redef) + 0x4\n" + at(4, "    Symbol redefined to 0x5000\n") +
                 store(0x5004, 0x2010);
        c.out += "  R_X86_64_JUMP_SLOT, 0x0 (weak) + 0x0\n" + at(4, "    Keep undefined weak symbol as 0x0\n") +
                 store(0, 0x2018);
        c.out += "  R_X86_64_GLOB_DAT, 0x40 (undef) + 0x0\n" + at(4, "    Keep undefined symbol as 0x40\n") +
                 store(0x40, 0x2020);
        c.out += "Done.\n";
    }
    return c;
}

std::vector<Row> make_rows() {
    std::vector<Row> r = {
        // The load bias is ADDRESS - vspace_start, modulo 2^64.
        {"relative_address_above_start", all,
         [](eb::Format f) {
             eb::Pie p = pie(f);
             p.text_addr = 0;
             p.relocs = {{0x1000, 0, RELATIVE, 0x1234}};
             Case c = applied(eb::build_pie(p), {{0x1000, 0x9234}});
             c.address = 0x8000;
             return c;
         }},
        {"relative_address_equal_to_start", two,
         [](eb::Format f) {
             eb::Pie p = pie(f);
             p.relocs = {{0x2000, 0, RELATIVE, 0x1234}};
             Case c = applied(eb::build_pie(p), {{0x2000, 0x1234}});
             c.address = 0x1000;
             return c;
         }},
        // 0x10 - 0x1000 wraps; an ELF32 image holds its low half, which is the same address there.
        {"relative_address_below_start_wraps", all,
         [](eb::Format f) {
             eb::Pie p = pie(f);
             p.relocs = {{0x2000, 0, RELATIVE, 0x10}};
             Case c = applied(eb::build_pie(p), {{0x2000, 0 - uint64_t{0xff0}}});
             c.address = 0;
             return c;
         }},
        {"rela_negative_addend", all,
         [](eb::Format f) {
             eb::Pie p = pie(f);
             p.relocs = {{0x2000, 0, RELATIVE, 0 - uint64_t{0x10}}};
             return applied(eb::build_pie(p), {{0x2000, bias - 0x10}});
         }},
        {"relative_entry_with_undefined_symbol", two,
         [](eb::Format f) {
             eb::Pie p = pie(f);
             p.dynsyms = {global("foo", eb::SHN_UNDEF, 0)};
             p.relocs = {{0x2000, 1, RELATIVE, 0x10}};
             return failing(eb::build_pie(p), "ERROR: Symbol \"foo\" is undefined\n");
         }},
        {"type_300", elf64,
         [](eb::Format f) {
             eb::Pie p = pie(f);
             p.relocs = {{.offset = 0x2000, .info = 300}};
             return failing(eb::build_pie(p), "ERROR: No relocation info for type 300\n");
         }},
        // The type is checked before the symbol, which here does not exist.
        {"unnamed_type", all,
         [](eb::Format f) {
             eb::Pie p = pie(f);
             p.relocs = {{0x2000, 9, 200}};
             return failing(eb::build_pie(p), "ERROR: No relocation info for type 200\n");
         }},
        {"named_type_not_applied", two,
         [](eb::Format f) {
             eb::Pie p = pie(f);
             p.relocs = {{0x2000, 0, eb::R_X86_64_64}};
             return failing(eb::build_pie(p), "ERROR: R_X86_64_64 is not handled\n");
         }},
        {"none_type_not_skipped", two,
         [](eb::Format f) {
             eb::Pie p = pie(f);
             p.relocs = {{0x2000, 0, eb::R_X86_64_NONE}};
             return failing(eb::build_pie(p), "ERROR: R_X86_64_NONE is not handled\n");
         }},
        {"type_not_applied_with_undefined_symbol", two,
         [](eb::Format f) {
             eb::Pie p = pie(f);
             p.dynsyms = {global("foo", eb::SHN_UNDEF, 0)};
             p.relocs = {{0x2000, 1, eb::R_X86_64_64}};
             return failing(eb::build_pie(p), "ERROR: Symbol \"foo\" is undefined\n");
         }},
        // Symbol 0 is undefined, yet no policy applies to it, and its value is not moved.
        {"symbol_index_0_stores_its_value_plus_addend", all,
         [](eb::Format f) {
             eb::Pie p = pie(f);
             p.relocs = {{0x2000, 0, GLOB_DAT, 0x10}};
             eb::BuiltPie b = eb::build_pie(p);
             eb::put(eb::section(b.elf, ".dynsym").data, f.elfclass == 64 ? 8 : 4, eb::word_size(f), 0x777, f.msb);
             b.bytes = eb::build(b.elf);
             return applied(b, {{0x2000, 0x787}});
         }},
        {"no_dynamic_symbol_table", two,
         [](eb::Format f) {
             eb::Pie p = pie(f);
             p.symtab = false;
             p.relocs = {{0x2000, 0, RELATIVE, 0x10}};
             return failing(eb::build_pie(p), "ERROR: Could not get symbol info for sym 0\n");
         }},
        {"symbol_index_past_the_table", two,
         [](eb::Format f) {
             eb::Pie p = pie(f);
             p.relocs = {{0x2000, 2, GLOB_DAT}};
             return failing(eb::build_pie(p), "ERROR: Could not get symbol info for sym 2\n");
         }},
        {"absolute_symbol_does_not_move", two,
         [](eb::Format f) {
             eb::Pie p = pie(f);
             p.dynsyms = {global("foo", eb::SHN_ABS, 0x1234)};
             p.relocs = {{0x2000, 1, GLOB_DAT, 0x10}};
             return applied(eb::build_pie(p), {{0x2000, 0x1244}});
         }},
        {"store_in_last_word", all,
         [](eb::Format f) {
             eb::Pie p = pie(f);
             const uint64_t r_offset = eb::build_pie(p).vspace_end - eb::word_size(f);
             p.relocs = {{r_offset, 0, RELATIVE, 0x10}};
             return applied(eb::build_pie(p), {{r_offset, 0x10 + bias}});
         }},
        {"store_one_byte_past_last_word", all,
         [](eb::Format f) {
             eb::Pie p = pie(f);
             const uint64_t r_offset = eb::build_pie(p).vspace_end - eb::word_size(f) + 1;
             p.relocs = {{r_offset, 0, RELATIVE, 0x10}};
             return failing(eb::build_pie(p), "ERROR: r_offset " + hex(r_offset) + " is out of bounds\n");
         }},
        {"store_below_vspace_start", two,
         [](eb::Format f) {
             eb::Pie p = pie(f);
             p.relocs = {{0xffc, 0, RELATIVE, 0x10}};
             return failing(eb::build_pie(p), "ERROR: r_offset 0xffc is out of bounds\n");
         }},
        // r_offset + W would wrap past 2^64 into the image.
        {"store_at_top_of_address_space", elf64,
         [](eb::Format f) {
             eb::Pie p = pie(f);
             p.relocs = {{0xfffffffffffffffc, 0, RELATIVE, 0x10}};
             return failing(eb::build_pie(p), "ERROR: r_offset 0xfffffffffffffffc is out of bounds\n");
         }},
        {"elf32_refuses_value_above_32_bits", elf32,
         [](eb::Format f) {
             eb::Pie p = pie(f);
             p.relocs = {{0x2000, 0, RELATIVE, 0x10}};
             Case c = failing(eb::build_pie(p), "ERROR: Could not store 0x100000010 to 0x2000 (rel 0x1000)\n");
             c.address = 0x100001000;
             return c;
         }},
        {"elf64_stores_value_above_32_bits", elf64,
         [](eb::Format f) {
             eb::Pie p = pie(f);
             p.relocs = {{0x2000, 0, RELATIVE, 0x10}};
             Case c = applied(eb::build_pie(p), {{0x2000, 0x100000010}});
             c.address = 0x100001000;
             return c;
         }},
        {"elf32_refuses_defined_value_above_32_bits", elf32,
         [](eb::Format f) {
             eb::Pie p = pie(f);
             p.dynsyms = {global("foo", eb::SHN_UNDEF, 0)};
             p.relocs = {{0x2000, 1, GLOB_DAT, 0x10}};
             return failing(eb::build_pie(p), "ERROR: Could not store 0x100000010 to 0x2000 (rel 0x1000)\n",
                            {"-d", "foo=0x100000000"});
         }},
        {"elf32_stores_sign_extended_value", elf32,
         [](eb::Format f) {
             eb::Pie p = pie(f);
             p.dynsyms = {global("foo", eb::SHN_UNDEF, 0)};
             p.relocs = {{0x2000, 1, GLOB_DAT, 0x10}};
             return applied(eb::build_pie(p), {{0x2000, 0x80000010}}, {"-d", "foo=0xffffffff80000000"});
         }},
        {"traces_at_v", two, [](eb::Format f) { return traced(f, 1); }},
        {"traces_at_vv", two, [](eb::Format f) { return traced(f, 2); }},
        {"traces_at_vvv", two, [](eb::Format f) { return traced(f, 3); }},
        {"traces_at_vvvv", two, [](eb::Format f) { return traced(f, 4); }},
        {"i386", {{32, false}},
         [](eb::Format f) {
             return machine_case(f, eb::EM_386, 0, false, {eb::R_386_RELATIVE, eb::R_386_32, eb::R_386_GLOB_DAT});
         }},
        {"i386_jmp_slot_not_applied", {{32, false}},
         [](eb::Format f) { return not_handled(f, eb::EM_386, 0, false, eb::R_386_JMP_SLOT, "R_386_JMP_SLOT"); }},
        {"arm", elf32,
         [](eb::Format f) {
             return machine_case(f, eb::EM_ARM, 0, false, {eb::R_ARM_RELATIVE, eb::R_ARM_ABS32, eb::R_ARM_GLOB_DAT});
         }},
        {"arm_jump_slot_not_applied", {{32, false}},
         [](eb::Format f) { return not_handled(f, eb::EM_ARM, 0, false, eb::R_ARM_JUMP_SLOT, "R_ARM_JUMP_SLOT"); }},
        // R_PPC_RELATIVE 22, R_PPC_ADDR32 1, R_PPC_JMP_SLOT 21, R_PPC_GLOB_DAT 20.
        {"ppc", {{32, true}}, [](eb::Format f) { return machine_case(f, eb::EM_PPC, 0, true, {22, 1, 21}); }},
        {"ppc_glob_dat_not_applied", {{32, true}},
         [](eb::Format f) { return not_handled(f, eb::EM_PPC, 0, true, 20, "R_PPC_GLOB_DAT"); }},
        // R_PPC64_RELATIVE 22, R_PPC64_ADDR64 38, R_PPC64_GLOB_DAT 20, R_PPC64_JMP_SLOT 21. The ABI
        // version in e_flags decides which of the last two is applied.
        {"ppc64_elfv1", {{64, true}},
         [](eb::Format f) { return machine_case(f, eb::EM_PPC64, 1, true, {22, 38, 20}); }},
        {"ppc64_elfv1_jmp_slot_not_applied", {{64, true}},
         [](eb::Format f) { return not_handled(f, eb::EM_PPC64, 1, true, 21, "R_PPC64_JMP_SLOT"); }},
        {"ppc64_elfv2", {{64, true}},
         [](eb::Format f) { return machine_case(f, eb::EM_PPC64, 2, true, {22, 38, 21}); }},
        {"ppc64_elfv2_glob_dat_not_applied", {{64, true}},
         [](eb::Format f) { return not_handled(f, eb::EM_PPC64, 2, true, 20, "R_PPC64_GLOB_DAT"); }},
        {"x86_64", all,
         [](eb::Format f) { return machine_case(f, eb::EM_X86_64, 0, true, {RELATIVE, GLOB_DAT, JUMP_SLOT}); }},
    };
    add_policy_rows(r);
    return r;
}

const std::vector<Row> &rows() {
    static const std::vector<Row> r = make_rows();
    return r;
}

std::vector<Param> params() {
    std::vector<Param> out;
    for (const Row &row : rows())
        for (const eb::Format f : row.kinds) out.push_back({&row, f});
    return out;
}

class Resolution : public testing::TestWithParam<Param> {};

TEST_P(Resolution, Run) {
    const Case c = GetParam().row->make(GetParam().fmt);
    testrun::TempDir dir;
    dir.write("in.elf", c.input);
    std::vector<std::string> args = c.opts;
    args.push_back(hex(c.address));
    args.push_back("in.elf");
    const testrun::Result r = testrun::run_pieshift(args, dir.path);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    if (c.image) {
        ASSERT_TRUE(dir.exists("in.elf.out"));
        EXPECT_TRUE(same_bytes(dir.read("in.elf.out"), *c.image));
    } else {
        EXPECT_FALSE(dir.exists("in.elf.out"));
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, Resolution, testing::ValuesIn(params()),
                         [](const testing::TestParamInfo<Param> &info) {
                             return info.param.row->name + "_" + eb::format_name(info.param.fmt);
                         });

}  // namespace
