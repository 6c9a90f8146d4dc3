// kelpx: the per-machine relocation records behind kelpx_get_relevant_rels. Names, numbers and the
// three applied types come only from machines/*.def; the builder below proves each record consistent
// while compiling, so nothing here is checked at run time.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <type_traits>

#include "kelpx.h"

namespace {

// e_machine and EI_CLASS values from the ELF gABI, so that the build needs no <elf.h>.
constexpr uint16_t EM_386 = 3;
constexpr uint16_t EM_PPC = 20;
constexpr uint16_t EM_PPC64 = 21;
constexpr uint16_t EM_S390 = 22;
constexpr uint16_t EM_ARM = 40;
constexpr uint16_t EM_X86_64 = 62;
constexpr uint16_t EM_AARCH64 = 183;
constexpr uint16_t EM_RISCV = 243;
constexpr uint16_t EM_LOONGARCH = 258;
constexpr uint8_t ELFCLASS32 = 1;
constexpr uint8_t ELFCLASS64 = 2;
// 64-bit Power ABI version in e_flags: 0 = unspecified (old ELFv1 objects), 1 = ELFv1, 2 = ELFv2.
constexpr uint32_t EF_PPC64_ABI = 3;

constexpr std::size_t num_types = std::extent_v<decltype(relevant_rels::info)>;

// Deliberately not constexpr: reaching it while a record is being built is not a constant
// expression, so the build stops, and the diagnostic shows this call with its reason.
[[noreturn]] void reloc_table_fault(const char *reason) {
    (void)reason;
    std::abort();
}

// Collects one .def: KELP_RELOC lines fill the names, then each KELP_APPLY line (they come last) has
// its names resolved to numbers, and the line whose variant was asked for sets the applied types.
class table_builder {
public:
    constexpr explicit table_builder(std::string_view variant) : variant_(variant) {}

    constexpr void reloc(std::string_view name, unsigned long long number) {
        if (number >= num_types) reloc_table_fault("relocation number is 256 or more");
        // Applied names were resolved against the lines above; a later line could add a second number.
        if (apply_seen_) reloc_table_fault("KELP_RELOC after a KELP_APPLY line");
        const auto slot = static_cast<std::size_t>(number);
        if (table_.info[slot].name != nullptr) reloc_table_fault("two names for one relocation number");
        table_.info[slot].name = name.data();
        names_[slot] = name;
    }

    // Every line is checked, also those of variants not being built.
    constexpr void apply(std::string_view variant, std::string_view relative, std::string_view symbol_a,
                         std::string_view symbol_b) {
        apply_seen_ = true;
        const uint8_t relative_type = number_of(relative);
        const uint8_t symbol_type_a = number_of(symbol_a);
        const uint8_t symbol_type_b = number_of(symbol_b);
        if (relative_type == symbol_type_a || relative_type == symbol_type_b)
            reloc_table_fault("the relative type is also a symbol type");
        if (variant != variant_) return;
        if (applied_) reloc_table_fault("two KELP_APPLY lines for one variant");
        applied_ = true;
        table_.relative_type = relative_type;
        table_.symbol_type_a = symbol_type_a;
        table_.symbol_type_b = symbol_type_b;
    }

    constexpr relevant_rels finish() const {
        if (!applied_) reloc_table_fault("no KELP_APPLY line for this variant");
        return table_;
    }

private:
    // The one number named name; a name listed twice would make the choice ambiguous.
    constexpr uint8_t number_of(std::string_view name) const {
        std::size_t found = num_types;
        for (std::size_t number = 0; number < num_types; ++number) {
            if (table_.info[number].name == nullptr || names_[number] != name) continue;
            if (found != num_types) reloc_table_fault("applied type is listed under two numbers");
            found = number;
        }
        if (found == num_types) reloc_table_fault("applied type has no KELP_RELOC line");
        return static_cast<uint8_t>(found);
    }

    std::string_view variant_;
    relevant_rels table_{};
    std::string_view names_[num_types]{};  // table_'s names with their lengths, for cheap compares
    bool apply_seen_ = false;
    bool applied_ = false;
};

// The literal's length comes from sizeof, which keeps the compile-time work well inside the step
// limits that compilers put on constant evaluation.
#define KELP_RELOC(name, number) table.reloc(std::string_view(#name, sizeof(#name) - 1), number);
#define KELP_APPLY(variant, relative, symbol_a, symbol_b) table.apply(#variant, #relative, #symbol_a, #symbol_b);

constexpr relevant_rels build_x86_64(std::string_view variant) {
    table_builder table(variant);
#include "machines/x86_64.def"
    return table.finish();
}

constexpr relevant_rels build_i386(std::string_view variant) {
    table_builder table(variant);
#include "machines/i386.def"
    return table.finish();
}

constexpr relevant_rels build_arm(std::string_view variant) {
    table_builder table(variant);
#include "machines/arm.def"
    return table.finish();
}

constexpr relevant_rels build_riscv(std::string_view variant) {
    table_builder table(variant);
#include "machines/riscv.def"
    return table.finish();
}

constexpr relevant_rels build_ppc(std::string_view variant) {
    table_builder table(variant);
#include "machines/ppc.def"
    return table.finish();
}

constexpr relevant_rels build_ppc64(std::string_view variant) {
    table_builder table(variant);
#include "machines/ppc64.def"
    return table.finish();
}

constexpr relevant_rels build_s390(std::string_view variant) {
    table_builder table(variant);
#include "machines/s390.def"
    return table.finish();
}

constexpr relevant_rels build_loongarch(std::string_view variant) {
    table_builder table(variant);
#include "machines/loongarch.def"
    return table.finish();
}

constexpr relevant_rels build_aarch64(std::string_view variant) {
    table_builder table(variant);
#include "machines/aarch64.def"
    return table.finish();
}

#undef KELP_RELOC
#undef KELP_APPLY

constexpr relevant_rels x86_64_elf64 = build_x86_64("elf64");
constexpr relevant_rels x86_64_elf32 = build_x86_64("elf32");
constexpr relevant_rels i386_elf32 = build_i386("elf32");
constexpr relevant_rels arm_elf32 = build_arm("elf32");
constexpr relevant_rels riscv_elf32 = build_riscv("elf32");
constexpr relevant_rels riscv_elf64 = build_riscv("elf64");
constexpr relevant_rels ppc_elf32 = build_ppc("elf32");
constexpr relevant_rels ppc64_elfv1 = build_ppc64("elfv1");
constexpr relevant_rels ppc64_elfv2 = build_ppc64("elfv2");
constexpr relevant_rels s390_elf64 = build_s390("elf64");
constexpr relevant_rels loongarch_elf32 = build_loongarch("elf32");
constexpr relevant_rels loongarch_elf64 = build_loongarch("elf64");
constexpr relevant_rels aarch64_elf32 = build_aarch64("elf32");

// Picks the record of the class: elf32 or elf64 where the machine has one, else null.
constexpr const relevant_rels *by_class(uint8_t elfclass, const relevant_rels *elf32, const relevant_rels *elf64) {
    if (elfclass == ELFCLASS32) return elf32;
    if (elfclass == ELFCLASS64) return elf64;
    return nullptr;
}

}  // namespace

// Machines left out on purpose: MIPS, whose R_MIPS_REL32 is relative or symbolic depending on its
// symbol, which three fixed types cannot say; and AArch64 LP64, whose dynamic types are 1024 and up.
const relevant_rels *kelpx_get_relevant_rels(const kelpx_handle *elf) {
    switch (elf->e_machine) {
    case EM_X86_64:
        return by_class(elf->elfclass, &x86_64_elf32, &x86_64_elf64);
    case EM_386:
        return by_class(elf->elfclass, &i386_elf32, nullptr);
    case EM_ARM:
        return by_class(elf->elfclass, &arm_elf32, nullptr);
    case EM_RISCV:
        return by_class(elf->elfclass, &riscv_elf32, &riscv_elf64);
    case EM_PPC:
        return by_class(elf->elfclass, &ppc_elf32, nullptr);
    case EM_PPC64:
        if (elf->elfclass != ELFCLASS64) return nullptr;
        switch (elf->e_flags & EF_PPC64_ABI) {
        case 0:
        case 1:
            return &ppc64_elfv1;
        case 2:
            return &ppc64_elfv2;
        default:
            return nullptr;
        }
    case EM_S390:
        return by_class(elf->elfclass, nullptr, &s390_elf64);
    case EM_LOONGARCH:
        return by_class(elf->elfclass, &loongarch_elf32, &loongarch_elf64);
    case EM_AARCH64:
        return by_class(elf->elfclass, &aarch64_elf32, nullptr);
    default:
        return nullptr;
    }
}
