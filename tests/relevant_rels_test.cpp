// kelpx_get_relevant_rels: which record each (machine, class, e_flags) gets, and that the record's
// applied types and names are the machine's own. The handle is filled by hand; no file is loaded.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>

#include "kelpx.h"

namespace {

constexpr uint16_t EM_386 = 3, EM_MIPS = 8, EM_PPC = 20, EM_PPC64 = 21, EM_S390 = 22, EM_ARM = 40, EM_X86_64 = 62,
                   EM_AARCH64 = 183, EM_RISCV = 243, EM_LOONGARCH = 258;

const relevant_rels *rels_for(uint16_t e_machine, uint8_t elfclass, uint32_t e_flags) {
    kelpx_handle h{};
    h.e_machine = e_machine, h.elfclass = elfclass, h.e_flags = e_flags;
    return kelpx_get_relevant_rels(&h);
}

std::string name_at(const relevant_rels *r, unsigned number) {
    return r->info[number].name != nullptr ? r->info[number].name : "(null)";
}

struct Row {
    const char *label; uint16_t e_machine; uint8_t elfclass; uint32_t e_flags;
    const char *relative = nullptr, *symbol_a = nullptr, *symbol_b = nullptr;  // the applied types; null: no record
    unsigned number = 0; const char *name = nullptr;  // another type looked up by number, "(null)" if unnamed
};

const Row rows[] = {
    {"x86_64", EM_X86_64, 2, 0, "R_X86_64_RELATIVE", "R_X86_64_GLOB_DAT", "R_X86_64_JUMP_SLOT", 200, "(null)"},
    {"x32", EM_X86_64, 1, 0, "R_X86_64_RELATIVE", "R_X86_64_GLOB_DAT", "R_X86_64_JUMP_SLOT"},
    {"i386", EM_386, 1, 0, "R_386_RELATIVE", "R_386_32", "R_386_GLOB_DAT", 8, "R_386_RELATIVE"},
    {"arm", EM_ARM, 1, 0x05000000, "R_ARM_RELATIVE", "R_ARM_ABS32", "R_ARM_GLOB_DAT", 2, "R_ARM_ABS32"},
    {"riscv32", EM_RISCV, 1, 0, "R_RISCV_RELATIVE", "R_RISCV_32", "R_RISCV_JUMP_SLOT"},
    {"riscv64", EM_RISCV, 2, 0x5, "R_RISCV_RELATIVE", "R_RISCV_64", "R_RISCV_JUMP_SLOT"},
    {"ppc", EM_PPC, 1, 0, "R_PPC_RELATIVE", "R_PPC_ADDR32", "R_PPC_JMP_SLOT", 255, "R_PPC_TOC16"},
    {"ppc64_elfv2", EM_PPC64, 2, 2, "R_PPC64_RELATIVE", "R_PPC64_ADDR64", "R_PPC64_JMP_SLOT"},
    // Only the low two bits name the ABI; other flag bits must not change the choice.
    {"ppc64_elfv2_other_flags", EM_PPC64, 2, 0x80000006, "R_PPC64_RELATIVE", "R_PPC64_ADDR64", "R_PPC64_JMP_SLOT"},
    {"ppc64_elfv1", EM_PPC64, 2, 1, "R_PPC64_RELATIVE", "R_PPC64_ADDR64", "R_PPC64_GLOB_DAT"},
    {"ppc64_abi_unspecified", EM_PPC64, 2, 0, "R_PPC64_RELATIVE", "R_PPC64_ADDR64", "R_PPC64_GLOB_DAT"},
    {"s390x", EM_S390, 2, 0, "R_390_RELATIVE", "R_390_GLOB_DAT", "R_390_JMP_SLOT"},
    {"loongarch32", EM_LOONGARCH, 1, 0, "R_LARCH_RELATIVE", "R_LARCH_32", "R_LARCH_JUMP_SLOT"},
    {"loongarch64", EM_LOONGARCH, 2, 0x43, "R_LARCH_RELATIVE", "R_LARCH_64", "R_LARCH_JUMP_SLOT"},
    {"aarch64_ilp32", EM_AARCH64, 1, 0, "R_AARCH64_P32_RELATIVE", "R_AARCH64_P32_GLOB_DAT", "R_AARCH64_P32_JUMP_SLOT"},
    // No record: MIPS and AArch64 LP64 on purpose, a class the machine lacks, an unknown ABI or machine.
    {"mips32", EM_MIPS, 1, 0}, {"aarch64_lp64", EM_AARCH64, 2, 0}, {"unknown_machine", 0xbeef, 2, 0},
    {"i386_class64", EM_386, 2, 0}, {"arm_class64", EM_ARM, 2, 0}, {"ppc_class64", EM_PPC, 2, 0},
    {"s390_class32", EM_S390, 1, 0}, {"ppc64_class32", EM_PPC64, 1, 2}, {"ppc64_abi3", EM_PPC64, 2, 3},
    {"x86_64_class_none", EM_X86_64, 0, 0}, {"riscv_class3", EM_RISCV, 3, 0},
};

class RelevantRels : public testing::TestWithParam<Row> {};

TEST_P(RelevantRels, AppliedTypesAndNames) {
    const Row &row = GetParam();
    const relevant_rels *rels = rels_for(row.e_machine, row.elfclass, row.e_flags);
    ASSERT_EQ(rels == nullptr, row.relative == nullptr);
    if (rels == nullptr)
        return;
    EXPECT_EQ(std::tuple(name_at(rels, rels->relative_type), name_at(rels, rels->symbol_type_a),
                         name_at(rels, rels->symbol_type_b), row.name ? name_at(rels, row.number) : ""),
              std::tuple(std::string(row.relative), std::string(row.symbol_a), std::string(row.symbol_b),
                         std::string(row.name ? row.name : "")));
}

INSTANTIATE_TEST_SUITE_P(Machines, RelevantRels, testing::ValuesIn(rows),
                         [](const testing::TestParamInfo<Row> &info) { return std::string(info.param.label); });

}  // namespace
