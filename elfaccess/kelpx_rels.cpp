// kelpx: the per-machine relocation records behind kelpx_get_relevant_rels. Names, numbers and the
// kinds of the applied types come only from machines/*.def; the builder below proves each record
// consistent while compiling, so nothing here is checked at run time.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "kelpx.h"

namespace {

// e_machine and EI_CLASS values from the ELF gABI, so that the build needs no <elf.h>.
constexpr uint16_t EM_386 = 3;
constexpr uint16_t EM_MIPS = 8;
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

// Deliberately not constexpr: reaching it while a record is being built is not a constant
// expression, so the build stops, and the diagnostic shows this call with its reason.
[[noreturn]] void reloc_table_fault(const char *reason) {
    (void)reason;
    std::abort();
}

// First pass over a .def: the highest number plus one, the size of the machine's info table.
struct span_counter {
    std::size_t span = 0;
    constexpr void reloc(std::string_view, unsigned long long number) {
        if (number >= 0x10000) reloc_table_fault("relocation number of 65536 or more");
        span = std::max(span, static_cast<std::size_t>(number) + 1);
    }
    constexpr void apply(std::string_view, kelpx_rel_kind, std::string_view) {}
    constexpr void implicit_got(std::string_view, const kelpx_implicit_got &) {}
};

// The GOT rule of one variant, if its .def names one.
struct got_finder {
    std::string_view variant;
    kelpx_implicit_got got{};
    constexpr void reloc(std::string_view, unsigned long long) {}
    constexpr void apply(std::string_view, kelpx_rel_kind, std::string_view) {}
    constexpr void implicit_got(std::string_view of, const kelpx_implicit_got &rule) {
        if (of != variant) return;
        if (got.local_gotno_name != nullptr) reloc_table_fault("two GOT rules for one variant");
        got = rule;
    }
};

// Second pass: KELP_RELOC lines fill the names, then each KELP_APPLY line (they come last) has its
// name resolved to a number, and the lines of the variant asked for set the kinds.
template <std::size_t N>
class table_builder {
public:
    constexpr explicit table_builder(std::string_view variant) : variant_(variant) {}

    constexpr void reloc(std::string_view name, unsigned long long number) {
        // Applied names were resolved against the lines above; a later line could add a second number.
        if (apply_seen_) reloc_table_fault("KELP_RELOC after a KELP_APPLY line");
        const auto slot = static_cast<std::size_t>(number);
        if (info_[slot].name != nullptr) reloc_table_fault("two names for one relocation number");
        info_[slot].name = name.data();
        names_[slot] = name;
    }

    // Every line is checked, also those of variants not being built.
    constexpr void apply(std::string_view variant, kelpx_rel_kind kind, std::string_view name) {
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

    std::string_view variant_;
    std::array<relevant_rels_info, N> info_{};
    std::array<std::string_view, N> names_{};  // info_'s names with their lengths, for cheap compares
    bool apply_seen_ = false;
    bool has_relative_ = false;
};

// The literal's length comes from sizeof, which keeps the compile-time work well inside the step
// limits that compilers put on constant evaluation.
#define KELP_RELOC(name, number) table.reloc(std::string_view(#name, sizeof(#name) - 1), number);
#define KELP_APPLY(variant, kind, name) \
    table.apply(#variant, kelpx_rel_kind::kind, std::string_view(#name, sizeof(#name) - 1));
#define KELP_GOT(variant, local_gotno, local_gotno_tag, gotsym, gotsym_tag, symtabno, symtabno_tag) \
    table.implicit_got(#variant, {#local_gotno, #gotsym, #symtabno, local_gotno_tag, gotsym_tag, symtabno_tag});

// One struct per machine: its .def, expanded once to size the table and once per variant to fill it.
struct x86_64_def {
    template <class Table>
    static constexpr void expand(Table &table) {
#include "machines/x86_64.def"
    }
};
struct i386_def {
    template <class Table>
    static constexpr void expand(Table &table) {
#include "machines/i386.def"
    }
};
struct arm_def {
    template <class Table>
    static constexpr void expand(Table &table) {
#include "machines/arm.def"
    }
};
struct riscv_def {
    template <class Table>
    static constexpr void expand(Table &table) {
#include "machines/riscv.def"
    }
};
struct ppc_def {
    template <class Table>
    static constexpr void expand(Table &table) {
#include "machines/ppc.def"
    }
};
struct ppc64_def {
    template <class Table>
    static constexpr void expand(Table &table) {
#include "machines/ppc64.def"
    }
};
struct s390_def {
    template <class Table>
    static constexpr void expand(Table &table) {
#include "machines/s390.def"
    }
};
struct loongarch_def {
    template <class Table>
    static constexpr void expand(Table &table) {
#include "machines/loongarch.def"
    }
};
struct aarch64_def {
    template <class Table>
    static constexpr void expand(Table &table) {
#include "machines/aarch64.def"
    }
};

struct mips_def {
    template <class Table>
    static constexpr void expand(Table &table) {
#include "machines/mips.def"
    }
};

#undef KELP_RELOC
#undef KELP_APPLY
#undef KELP_GOT

template <class Def>
constexpr std::size_t span_of() {
    span_counter counter;
    Def::expand(counter);
    return counter.span;
}

template <class Def>
constexpr auto info_of(std::string_view variant) {
    table_builder<span_of<Def>()> table(variant);
    Def::expand(table);
    return table.finish();
}

template <class Def>
constexpr kelpx_implicit_got got_of(std::string_view variant) {
    got_finder finder{variant};
    Def::expand(finder);
    if (finder.got.local_gotno_name == nullptr) reloc_table_fault("no GOT rule for this variant");
    return finder.got;
}

template <std::size_t N>
constexpr relevant_rels record_of(const std::array<relevant_rels_info, N> &info,
                                  const kelpx_implicit_got *implicit_got = nullptr) {
    return {static_cast<uint32_t>(N), info.data(), implicit_got};
}

constexpr auto x86_64_elf64_info = info_of<x86_64_def>("elf64");
constexpr auto x86_64_elf32_info = info_of<x86_64_def>("elf32");
constexpr auto i386_elf32_info = info_of<i386_def>("elf32");
constexpr auto arm_elf32_info = info_of<arm_def>("elf32");
constexpr auto riscv_elf32_info = info_of<riscv_def>("elf32");
constexpr auto riscv_elf64_info = info_of<riscv_def>("elf64");
constexpr auto ppc_elf32_info = info_of<ppc_def>("elf32");
constexpr auto ppc64_elfv1_info = info_of<ppc64_def>("elfv1");
constexpr auto ppc64_elfv2_info = info_of<ppc64_def>("elfv2");
constexpr auto s390_elf64_info = info_of<s390_def>("elf64");
constexpr auto loongarch_elf32_info = info_of<loongarch_def>("elf32");
constexpr auto loongarch_elf64_info = info_of<loongarch_def>("elf64");
constexpr auto aarch64_elf32_info = info_of<aarch64_def>("elf32");
constexpr auto aarch64_elf64_info = info_of<aarch64_def>("elf64");
constexpr auto mips_elf32_info = info_of<mips_def>("elf32");
constexpr kelpx_implicit_got mips_elf32_got = got_of<mips_def>("elf32");

constexpr relevant_rels x86_64_elf64 = record_of(x86_64_elf64_info);
constexpr relevant_rels x86_64_elf32 = record_of(x86_64_elf32_info);
constexpr relevant_rels i386_elf32 = record_of(i386_elf32_info);
constexpr relevant_rels arm_elf32 = record_of(arm_elf32_info);
constexpr relevant_rels riscv_elf32 = record_of(riscv_elf32_info);
constexpr relevant_rels riscv_elf64 = record_of(riscv_elf64_info);
constexpr relevant_rels ppc_elf32 = record_of(ppc_elf32_info);
constexpr relevant_rels ppc64_elfv1 = record_of(ppc64_elfv1_info);
constexpr relevant_rels ppc64_elfv2 = record_of(ppc64_elfv2_info);
constexpr relevant_rels s390_elf64 = record_of(s390_elf64_info);
constexpr relevant_rels loongarch_elf32 = record_of(loongarch_elf32_info);
constexpr relevant_rels loongarch_elf64 = record_of(loongarch_elf64_info);
constexpr relevant_rels aarch64_elf32 = record_of(aarch64_elf32_info);
constexpr relevant_rels aarch64_elf64 = record_of(aarch64_elf64_info);
constexpr relevant_rels mips_elf32 = record_of(mips_elf32_info, &mips_elf32_got);

// Picks the record of the class: elf32 or elf64 where the machine has one, else null.
constexpr const relevant_rels *by_class(uint8_t elfclass, const relevant_rels *elf32, const relevant_rels *elf64) {
    if (elfclass == ELFCLASS32) return elf32;
    if (elfclass == ELFCLASS64) return elf64;
    return nullptr;
}

}  // namespace

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
        return by_class(elf->elfclass, &aarch64_elf32, &aarch64_elf64);
    case EM_MIPS:  // both byte orders; 64-bit MIPS packs three types into r_info
        return by_class(elf->elfclass, &mips_elf32, nullptr);
    default:
        return nullptr;
    }
}
