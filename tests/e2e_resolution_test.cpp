// Resolving and storing relocation entries end to end: the value of each applied type, the
// undefined-symbol policy, the bounds of the store, the per-entry traces, and the applied types of
// each supported machine.
#include <gtest/gtest.h>

#include <array>

#include "support/e2e_rows.h"

namespace {

using namespace e2e;
constexpr uint32_t RELATIVE = eb::R_X86_64_RELATIVE, GLOB_DAT = eb::R_X86_64_GLOB_DAT,
                   JUMP_SLOT = eb::R_X86_64_JUMP_SLOT;
const std::string foo_undefined = "ERROR: Symbol \"foo\" is undefined\n";

// An x86-64 input whose one entry, at r_offset with addend 0x10, has `type` and symbol `index` of `syms`.
eb::Pie one(F f, uint32_t type, uint64_t index = 0, std::vector<eb::PieSym> syms = {}, uint64_t r_offset = 0x2000) {
    eb::Pie p = pie(f);
    p.dynsyms = std::move(syms);
    p.relocs = {{r_offset, index, type, 0x10}};
    return p;
}

// One RELATIVE entry at 0x2000 relocated to `address`.
Case relative_to(uint64_t address, F f, uint64_t value) {
    Case c = applied(one(f, RELATIVE), {{0x2000, value}});
    c.address = address;
    return c;
}

// Each kind of symbol under each policy option, on one GLOB_DAT entry; no value: the run fails.
void add_policy_rows(std::vector<Row> &rows) {
    struct Kind {
        const char *name;
        eb::PieSym sym;
        Opts opts;
        std::array<std::optional<uint64_t>, 3> value;  // no option, --ignore-weak, --ignore-undefined
    };
    const eb::PieSym defined = sym("foo", eb::pie_shndx_text, 0x1010), undefined = sym("foo", eb::SHN_UNDEF, 0x40);
    const Kind kinds[] = {
        {"defined_by_input", defined, {}, {{0x1020 + bias, 0x1020 + bias, 0x1020 + bias}}},
        {"defined_by_input_and_d", defined, {"-d", "foo=0x5000"}, {{0x5010, 0x5010, 0x5010}}},
        {"undefined", undefined, {}, {{std::nullopt, std::nullopt, 0x50}}},
        {"undefined_and_d", undefined, {"-d", "foo=0x5000"}, {{0x5010, 0x5010, 0x5010}}},
        {"undefined_weak", sym("foo", eb::SHN_UNDEF, 0x40, eb::STB_WEAK), {}, {{std::nullopt, 0x50, 0x50}}},
    };
    const char *flags[] = {nullptr, "--ignore-weak", "--ignore-undefined"};
    const char *flag_names[] = {"_no_flag", "_ignore_weak", "_ignore_undefined"};
    size_t n = 0;
    for (const Kind &k : kinds)
        for (size_t i = 0; i < 3; ++i)
            rows.push_back({k.name + std::string(flag_names[i]), {eb::all_formats()[n++ % 4]}, [k, i, flags](F f) {
                                Opts opts = k.opts;
                                if (flags[i] != nullptr) opts.push_back(flags[i]);
                                const eb::Pie p = one(f, GLOB_DAT, 1, {k.sym});
                                return k.value[i] ? applied(p, {{0x2000, *k.value[i]}}, opts)
                                                  : failing(p, foo_undefined, opts);
                            }});
}

// One entry of each outcome, traced at `verbose`.
Case traced(F f, int verbose) {
    eb::Pie p = pie(f);
    p.dynsyms = {sym("def", eb::pie_shndx_text, 0x1010), sym("redef", eb::pie_shndx_text, 0x1020),
                 sym("weak", eb::SHN_UNDEF, 0, eb::STB_WEAK), sym("undef", eb::SHN_UNDEF, 0x40)};
    p.relocs = {{0x2000, 0, RELATIVE, 0x10}, {0x2008, 1, GLOB_DAT, 0}, {0x2010, 2, GLOB_DAT, 4},
                {0x2018, 3, JUMP_SLOT, 0}, {0x2020, 4, GLOB_DAT, 0}};
    const eb::BuiltPie b = eb::build_pie(p);
    const Stores stores = {
        {0x2000, 0x10 + bias}, {0x2008, 0x1010 + bias}, {0x2010, 0x5004}, {0x2018, 0}, {0x2020, 0x40}};
    Case c = applied(b, stores, {"--ignore-undefined", "-d", "redef=0x5000", "-" + std::string(size_t(verbose), 'v')});
    const auto at = [&](int level, const std::string &line) { return verbose >= level ? line : std::string(); };
    const auto store = [&](uint64_t value, uint64_t r_offset) {
        return at(3, "    " + hex(value) + " -> " + hex(r_offset) + " (rel " + hex(r_offset - 0x1000) + ")\n");
    };
    c.out = preamble(b, verbose) + "Apply relocations at " + hex(b.reltab_addr) + "...\n" +
            at(2, "  R_X86_64_RELATIVE, 0x0 + 0x10\n") + store(0x10 + bias, 0x2000) +
            at(2, "  R_X86_64_GLOB_DAT, 0x1010 (def) + 0x0\n") + store(0x1010 + bias, 0x2008) +
            at(2, "  R_X86_64_GLOB_DAT, 0x1020 (redef) + 0x4\n") + at(4, "    Symbol redefined to 0x5000\n") +
            store(0x5004, 0x2010) + at(2, "  R_X86_64_JUMP_SLOT, 0x0 (weak) + 0x0\n") +
            at(4, "    Keep undefined weak symbol as 0x0\n") + store(0, 0x2018) +
            at(2, "  R_X86_64_GLOB_DAT, 0x40 (undef) + 0x0\n") + at(4, "    Keep undefined symbol as 0x40\n") +
            store(0x40, 0x2020) + at(2, "Done.\n");
    return c;
}

// Each machine's applied types (relative, then the two symbol types) on one input against a symbol
// that it defines, and a type the machine names but does not apply. REL addends are in the image.
// R_PPC_RELATIVE 22, R_PPC_ADDR32 1, R_PPC_GLOB_DAT 20, R_PPC_JMP_SLOT 21; R_PPC64_ADDR64 38. The ABI
// version in ppc64's e_flags decides which of GLOB_DAT and JMP_SLOT is applied.
struct Machine {
    const char *name;
    F fmt;
    uint16_t machine;
    uint32_t e_flags;
    bool rela;
    std::array<uint32_t, 3> types;
    uint32_t unapplied;
    const char *unapplied_name;
};
const Machine machines[] = {
    {"x86_64", B64, eb::EM_X86_64, 0, true, {RELATIVE, GLOB_DAT, JUMP_SLOT}, eb::R_X86_64_64, "R_X86_64_64"},
    {"i386", L32, eb::EM_386, 0, false, {eb::R_386_RELATIVE, eb::R_386_32, eb::R_386_GLOB_DAT}, eb::R_386_JMP_SLOT,
     "R_386_JMP_SLOT"},
    {"arm", B32, eb::EM_ARM, 0, false, {eb::R_ARM_RELATIVE, eb::R_ARM_ABS32, eb::R_ARM_GLOB_DAT},
     eb::R_ARM_JUMP_SLOT, "R_ARM_JUMP_SLOT"},
    {"ppc", B32, eb::EM_PPC, 0, true, {22, 1, 21}, 20, "R_PPC_GLOB_DAT"},
    {"ppc64_elfv1", B64, eb::EM_PPC64, 1, true, {22, 38, 20}, 21, "R_PPC64_JMP_SLOT"},
    {"ppc64_elfv2", L64, eb::EM_PPC64, 2, true, {22, 38, 21}, 20, "R_PPC64_GLOB_DAT"},
};

Case machine_case(const Machine &m, bool unapplied) {
    eb::Pie p = pie(m.fmt, m.machine);
    const unsigned w = eb::word_size(m.fmt);
    p.dynsyms = {sym("foo", eb::pie_shndx_text, 0x1020)};
    p.rela = m.rela;
    p.relocs = {{0x2000, 0, m.types[0], 0x1010}, {0x2000 + w, 1, m.types[1], 4}, {0x2000 + 2 * w, 1, m.types[2], 8}};
    if (unapplied) p.relocs = {{0x2000, 1, m.unapplied}};
    if (!m.rela)
        for (const eb::Reloc &r : p.relocs) eb::put(p.data, r.offset - 0x2000, w, r.addend, m.fmt.msb);
    eb::BuiltPie b = eb::build_pie(p);
    b.elf.flags = m.e_flags;
    b.bytes = eb::build(b.elf);
    if (unapplied) return failing(b, std::string("ERROR: ") + m.unapplied_name + " is not handled\n");
    return applied(b, {{0x2000, 0x1010 + bias}, {0x2000 + w, 0x1024 + bias}, {0x2000 + 2 * w, 0x1028 + bias}});
}

std::vector<Row> rows() {
    const eb::PieSym undefined_foo = sym("foo", eb::SHN_UNDEF, 0);
    std::vector<Row> r = {
        // RELATIVE stores addend + ADDRESS - vspace_start modulo 2^64; an ELF32 word holds the wrapped
        // value's low half, which is the same address there.
        {"relative_address_above_start", {L64}, [](F f) { return relative_to(0x8000, f, 0x7010); }},
        {"relative_address_equal_to_start", {B32}, [](F f) { return relative_to(0x1000, f, 0x10); }},
        {"relative_address_below_start", {L32, B64}, [](F f) { return relative_to(0, f, 0 - uint64_t{0xff0}); }},
        // An ELF32 word refuses a value that needs more than 32 bits; an ELF64 word takes it.
        {"value_above_32_bits", {B32, L64}, [](F f) {
             if (f.elfclass == 64) return relative_to(0x100001000, f, 0x100000010);
             Case c = failing(one(f, RELATIVE), "ERROR: Could not store 0x100000010 to 0x2000 (rel 0x1000)\n");
             c.address = 0x100001000;
             return c;
         }},
        // The policy covers the relative type, and comes before the type is judged.
        {"relative_with_undefined_symbol", {L64},
         [=](F f) { return failing(one(f, RELATIVE, 1, {undefined_foo}), foo_undefined); }},
        {"unapplied_type_with_undefined_symbol", {L32},
         [=](F f) { return failing(one(f, eb::R_X86_64_64, 1, {undefined_foo}), foo_undefined); }},
        // Type 200 has no name, 300 lies past the table; both are judged before the symbol (index 9 is none).
        {"type_200", {B32}, [](F f) { return failing(one(f, 200, 9), "ERROR: No relocation info for type 200\n"); }},
        {"type_300", {B64}, [](F f) { return failing(one(f, 300, 9), "ERROR: No relocation info for type 300\n"); }},
        {"none_type_not_skipped", {L32},
         [](F f) { return failing(one(f, eb::R_X86_64_NONE), "ERROR: R_X86_64_NONE is not handled\n"); }},
        // Symbol 0 is undefined, yet no policy applies to it, and its value does not move.
        {"symbol_0_stores_its_value_plus_addend", {B32}, [](F f) {
             eb::BuiltPie b = eb::build_pie(one(f, GLOB_DAT));
             eb::put(eb::section(b.elf, ".dynsym").data, f.elfclass == 64 ? 8 : 4, eb::word_size(f), 0x777, f.msb);
             b.bytes = eb::build(b.elf);
             return applied(b, {{0x2000, 0x787}});
         }},
        {"no_dynamic_symbol_table", {L64}, [](F f) {
             eb::Pie p = one(f, RELATIVE);
             p.symtab = false;
             return failing(p, "ERROR: Could not get symbol info for sym 0\n");
         }},
        {"absolute_symbol_does_not_move", {B64},
         [](F f) { return applied(one(f, GLOB_DAT, 1, {sym("foo", eb::SHN_ABS, 0x1234)}), {{0x2000, 0x1244}}); }},
        // The store is a word of the class: into the last one of the image, not one byte further, nor
        // below the image, nor where r_offset + W wraps past 2^64 into it.
        {"store_in_last_word", {B32, L64}, [](F f) {
             const uint64_t at = last_word(pie(f));
             return applied(one(f, RELATIVE, 0, {}, at), {{at, 0x10 + bias}});
         }},
        {"store_one_byte_past_last_word", {L32, B64}, [](F f) {
             const uint64_t at = last_word(pie(f)) + 1;
             return failing(one(f, RELATIVE, 0, {}, at), "ERROR: r_offset " + hex(at) + " is out of bounds\n");
         }},
        {"store_below_vspace_start", {L64},
         [](F f) { return failing(one(f, RELATIVE, 0, {}, 0xffc), "ERROR: r_offset 0xffc is out of bounds\n"); }},
        {"store_at_top_of_address_space", {B64}, [](F f) {
             return failing(one(f, RELATIVE, 0, {}, 0xfffffffffffffffc),
                            "ERROR: r_offset 0xfffffffffffffffc is out of bounds\n");
         }},
    };
    for (int v = 1; v <= 4; ++v)
        r.push_back({"traces_at_" + std::string(size_t(v), 'v'), {eb::all_formats()[size_t(v - 1)]},
                     [v](F f) { return traced(f, v); }});
    for (const Machine &m : machines)
        for (const bool unapplied : {false, true})
            r.push_back({m.name + std::string(unapplied ? "_unapplied_type" : ""), {m.fmt},
                         [&m, unapplied](F) { return machine_case(m, unapplied); }});
    add_policy_rows(r);
    return r;
}

class Resolution : public testing::TestWithParam<Param> {};
TEST_P(Resolution, Run) { run(GetParam().make(GetParam().fmt)); }
INSTANTIATE_TEST_SUITE_P(Rows, Resolution, testing::ValuesIn(params(rows())), param_name);

}  // namespace
