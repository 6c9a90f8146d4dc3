// kelpx: the per-machine relocation records behind kelpx_get_relevant_rels. Machines, names, numbers
// and the kinds of the applied types come only from machines/registry.def and the .def files it
// lists; the builders below prove each record consistent while compiling, so nothing here is checked
// at run time, and adding a machine changes nothing in this file.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <utility>

#include "kelpx.h"

namespace {

constexpr uint8_t ELFCLASS32 = 1;
constexpr uint8_t ELFCLASS64 = 2;
// 64-bit Power ABI version in e_flags: 0 = unspecified (old ELFv1 objects), 1 = ELFv1, 2 = ELFv2.
constexpr uint32_t EF_PPC64_ABI = 3;

// How a machine's variant is picked, and the names its KELP_APPLY lines give the two variants.
enum class kelp_pick : uint8_t {
    by_class,      // elf32, elf64: the ELF class
    by_ppc64_abi,  // elfv1, elfv2: the ABI bits of e_flags, in ELF64 only
};
constexpr auto variant_names(kelp_pick pick) {
    using namespace std::string_view_literals;
    return pick == kelp_pick::by_class ? std::array{"elf32"sv, "elf64"sv} : std::array{"elfv1"sv, "elfv2"sv};
}

// The variant of the machine that fits elf (an index into variant_names), or -1.
int variant_of(kelp_pick pick, const kelpx_handle *elf) {
    switch (pick) {
    case kelp_pick::by_class:
        if (elf->elfclass == ELFCLASS32) return 0;
        if (elf->elfclass == ELFCLASS64) return 1;
        return -1;
    case kelp_pick::by_ppc64_abi:
        if (elf->elfclass != ELFCLASS64) return -1;
        switch (elf->e_flags & EF_PPC64_ABI) {
        case 0:
        case 1:
            return 0;
        case 2:
            return 1;
        default:
            return -1;
        }
    }
    return -1;
}

// Deliberately not constexpr: reaching it while a record is being built is not a constant
// expression, so the build stops, and the diagnostic shows this call with its reason.
[[noreturn]] void reloc_table_fault(const char *reason) {
    (void)reason;
    std::abort();
}

// Every line of every .def, in registry order: each KELP_MACHINE line starts a machine, and the
// lines after it belong to it. The literal's length comes from sizeof, which keeps the compile-time
// work well inside the step limits that compilers put on constant evaluation.
#define KELP_MACHINE(name, number, pick) table.machine(number, kelp_pick::pick);
#define KELP_RELOC(name, number) table.reloc(std::string_view(#name, sizeof(#name) - 1), number);
#define KELP_APPLY(variant, kind, name) \
    table.apply(#variant, kelpx_rel_kind::kind, std::string_view(#name, sizeof(#name) - 1));
#define KELP_GOT(variant, local_gotno, local_gotno_tag, gotsym, gotsym_tag, symtabno, symtabno_tag) \
    table.implicit_got(#variant, {#local_gotno, #gotsym, #symtabno, local_gotno_tag, gotsym_tag, symtabno_tag});
template <class Table>
constexpr void expand_registry(Table &table) {
#include "machines/registry.def"
}
#undef KELP_MACHINE
#undef KELP_RELOC
#undef KELP_APPLY
#undef KELP_GOT

// First pass: the number of machines.
struct machine_counter {
    std::size_t count = 0;
    constexpr void machine(unsigned, kelp_pick) { ++count; }
    constexpr void reloc(std::string_view, unsigned long long) {
        if (count == 0) reloc_table_fault("relocation line before the first KELP_MACHINE line");
    }
    constexpr void apply(std::string_view, kelpx_rel_kind, std::string_view) {
        if (count == 0) reloc_table_fault("relocation line before the first KELP_MACHINE line");
    }
    constexpr void implicit_got(std::string_view, const kelpx_implicit_got &) {
        if (count == 0) reloc_table_fault("relocation line before the first KELP_MACHINE line");
    }
};
constexpr std::size_t num_machines = [] {
    machine_counter counter;
    expand_registry(counter);
    return counter.count;
}();

// What the second pass learns of each machine: its e_machine and pick, the highest relocation number
// plus one (the size of its info table), and which of its two variants it has.
struct machine_facts {
    uint16_t e_machine = 0;
    kelp_pick pick = kelp_pick::by_class;
    std::size_t span = 0;
    std::array<bool, 2> has_variant{};
};
struct machine_survey {
    std::array<machine_facts, num_machines> facts{};
    std::size_t current = 0;  // one past the machine the lines belong to

    constexpr void machine(unsigned number, kelp_pick pick) {
        if (number > 0xffff) reloc_table_fault("e_machine of 65536 or more");
        for (std::size_t m = 0; m < current; ++m)
            if (facts[m].e_machine == number) reloc_table_fault("two registry lines for one e_machine");
        facts[current++] = {static_cast<uint16_t>(number), pick, 0, {}};
    }
    constexpr void reloc(std::string_view, unsigned long long number) {
        if (number >= 0x10000) reloc_table_fault("relocation number of 65536 or more");
        machine_facts &f = facts[current - 1];
        f.span = std::max(f.span, static_cast<std::size_t>(number) + 1);
    }
    constexpr void apply(std::string_view variant, kelpx_rel_kind, std::string_view) {
        machine_facts &f = facts[current - 1];
        const auto names = variant_names(f.pick);
        const auto found = std::find(names.begin(), names.end(), variant);
        if (found == names.end()) reloc_table_fault("variant that the machine's pick does not name");
        f.has_variant[static_cast<std::size_t>(found - names.begin())] = true;
    }
    constexpr void implicit_got(std::string_view variant, const kelpx_implicit_got &) {
        const auto names = variant_names(facts[current - 1].pick);
        if (std::find(names.begin(), names.end(), variant) == names.end())
            reloc_table_fault("variant that the machine's pick does not name");
    }
};
constexpr auto survey = [] {
    machine_survey s;
    expand_registry(s);
    return s.facts;
}();

// Third pass, once per machine and variant: the machine's KELP_RELOC lines fill the names, then each
// of its KELP_APPLY lines (they come last) has its name resolved to a number, and the lines of the
// variant asked for set the kinds. Lines of other machines pass by.
template <std::size_t N>
class table_builder {
public:
    constexpr table_builder(std::size_t machine, std::string_view variant) : machine_(machine), variant_(variant) {}

    constexpr void machine(unsigned, kelp_pick) { ++current_; }

    constexpr void reloc(std::string_view name, unsigned long long number) {
        if (current_ != machine_ + 1) return;
        // Applied names were resolved against the lines above; a later line could add a second number.
        if (apply_seen_) reloc_table_fault("KELP_RELOC after a KELP_APPLY line");
        const auto slot = static_cast<std::size_t>(number);
        if (info_[slot].name != nullptr) reloc_table_fault("two names for one relocation number");
        info_[slot].name = name.data();
        names_[slot] = name;
    }

    // Every line of the machine is checked, also those of the variant not being built.
    constexpr void apply(std::string_view variant, kelpx_rel_kind kind, std::string_view name) {
        if (current_ != machine_ + 1) return;
        apply_seen_ = true;
        const std::size_t number = number_of(name);
        if (variant != variant_) return;
        if (info_[number].kind != kelpx_rel_kind::unapplied) reloc_table_fault("two kinds for one type");
        info_[number].kind = kind;
        has_relative_ = has_relative_ || kind == kelpx_rel_kind::relative || kind == kelpx_rel_kind::sym_or_relative;
    }
    constexpr void implicit_got(std::string_view, const kelpx_implicit_got &) {}

    constexpr std::array<relevant_rels_info, N> finish() const {
        // Every static PIE has relative relocations; a variant without one is a typo in its name.
        if (!has_relative_) reloc_table_fault("no relative type for this variant");
        return info_;
    }

private:
    // The one number named name; a name listed twice would make the choice ambiguous.
    constexpr std::size_t number_of(std::string_view name) const {
        std::size_t found = N;
        for (std::size_t number = 0; number < N; ++number) {
            if (info_[number].name == nullptr || names_[number] != name) continue;
            if (found != N) reloc_table_fault("applied type is listed under two numbers");
            found = number;
        }
        if (found == N) reloc_table_fault("applied type has no KELP_RELOC line");
        return found;
    }

    std::size_t machine_;
    std::string_view variant_;
    std::size_t current_ = 0;
    std::array<relevant_rels_info, N> info_{};
    std::array<std::string_view, N> names_{};  // info_'s names with their lengths, for cheap compares
    bool apply_seen_ = false;
    bool has_relative_ = false;
};

// Fourth pass, once per machine and variant: its KELP_GOT line, if it has one.
struct got_finder {
    std::size_t machine_;
    std::string_view variant_;
    std::size_t current_ = 0;
    kelpx_implicit_got got{};
    bool found = false;

    constexpr void machine(unsigned, kelp_pick) { ++current_; }
    constexpr void reloc(std::string_view, unsigned long long) {}
    constexpr void apply(std::string_view, kelpx_rel_kind, std::string_view) {}
    constexpr void implicit_got(std::string_view variant, const kelpx_implicit_got &rule) {
        if (current_ != machine_ + 1 || variant != variant_) return;
        if (found) reloc_table_fault("two GOT rules for one variant");
        got = rule;
        found = true;
    }
};

// The record of variant V of machine M, built only where the machine has that variant.
template <std::size_t M, std::size_t V>
struct variant_record {
    static constexpr auto info = [] {
        table_builder<survey[M].span> table(M, variant_names(survey[M].pick)[V]);
        expand_registry(table);
        return table.finish();
    }();
    static constexpr got_finder got = [] {
        got_finder finder{M, variant_names(survey[M].pick)[V]};
        expand_registry(finder);
        return finder;
    }();
    static constexpr relevant_rels record{static_cast<uint32_t>(info.size()), info.data(),
                                          got.found ? &got.got : nullptr};
};
template <std::size_t M, std::size_t V>
constexpr const relevant_rels *record_of() {
    if constexpr (survey[M].has_variant[V])
        return &variant_record<M, V>::record;
    else
        return nullptr;
}

struct machine_entry {
    uint16_t e_machine;
    kelp_pick pick;
    std::array<const relevant_rels *, 2> variants;  // null where the machine lacks the variant
};
template <std::size_t... M>
constexpr std::array<machine_entry, sizeof...(M)> entries_of(std::index_sequence<M...>) {
    return {{{survey[M].e_machine, survey[M].pick, {record_of<M, 0>(), record_of<M, 1>()}}...}};
}
constexpr auto registry = entries_of(std::make_index_sequence<num_machines>{});

}  // namespace

const relevant_rels *kelpx_get_relevant_rels(const kelpx_handle *elf) {
    for (const machine_entry &entry : registry) {
        if (entry.e_machine != elf->e_machine) continue;
        const int variant = variant_of(entry.pick, elf);
        return variant < 0 ? nullptr : entry.variants[static_cast<std::size_t>(variant)];
    }
    return nullptr;
}
