// kelpx_get_relevant_rels: which record each (machine, class, e_flags) gets, and that the record's
// applied types and names are the machine's own. The handle is filled by hand; no file is loaded.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kelpx.h"

namespace {

constexpr uint16_t EM_MIPS = 8;
constexpr uint16_t EM_386 = 3;
constexpr uint16_t EM_PPC = 20;
constexpr uint16_t EM_PPC64 = 21;
constexpr uint16_t EM_S390 = 22;
constexpr uint16_t EM_ARM = 40;
constexpr uint16_t EM_X86_64 = 62;
constexpr uint16_t EM_AARCH64 = 183;
constexpr uint16_t EM_RISCV = 243;
constexpr uint16_t EM_LOONGARCH = 258;

const relevant_rels *rels_for(uint16_t e_machine, uint8_t elfclass, uint32_t e_flags) {
    kelpx_handle h{};
    h.e_machine = e_machine;
    h.elfclass = elfclass;
    h.e_flags = e_flags;
    return kelpx_get_relevant_rels(&h);
}

std::string name_at(const relevant_rels *rels, unsigned number) {
    const char *name = rels->info[number].name;
    return name != nullptr ? name : "(null)";
}

struct supported_row {
    const char *label;
    uint16_t e_machine;
    uint8_t elfclass;
    uint32_t e_flags;
    const char *relative;
    const char *symbol_a;
    const char *symbol_b;
    std::vector<std::pair<unsigned, const char *>> named;  // other types, looked up by number
    unsigned unnamed;                                       // a number the machine leaves unassigned
    const char *prefix;                                     // every name of the machine starts so
};
void PrintTo(const supported_row &row, std::ostream *os) { *os << row.label; }

class RelevantRelsSupported : public testing::TestWithParam<supported_row> {};

TEST_P(RelevantRelsSupported, AppliedTypesAndNames) {
    const supported_row &row = GetParam();
    const relevant_rels *rels = rels_for(row.e_machine, row.elfclass, row.e_flags);
    ASSERT_NE(rels, nullptr);

    EXPECT_EQ(name_at(rels, rels->relative_type), row.relative);
    EXPECT_EQ(name_at(rels, rels->symbol_type_a), row.symbol_a);
    EXPECT_EQ(name_at(rels, rels->symbol_type_b), row.symbol_b);
    for (const auto &[number, name] : row.named) EXPECT_EQ(name_at(rels, number), name) << "type " << number;
    EXPECT_EQ(rels->info[row.unnamed].name, nullptr) << "type " << row.unnamed;

    // A line pasted from another machine's list would show here as a foreign prefix.
    for (unsigned number = 0; number < 256; ++number) {
        const char *name = rels->info[number].name;
        if (name != nullptr) {
            EXPECT_TRUE(std::string_view(name).starts_with(row.prefix)) << number << " " << name;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Machines, RelevantRelsSupported,
    testing::Values(
        supported_row{"x86_64", EM_X86_64, 2, 0, "R_X86_64_RELATIVE", "R_X86_64_GLOB_DAT", "R_X86_64_JUMP_SLOT",
                      {{0, "R_X86_64_NONE"}, {1, "R_X86_64_64"}, {37, "R_X86_64_IRELATIVE"}}, 200, "R_X86_64_"},
        supported_row{"x32", EM_X86_64, 1, 0, "R_X86_64_RELATIVE", "R_X86_64_GLOB_DAT", "R_X86_64_JUMP_SLOT",
                      {{10, "R_X86_64_32"}}, 255, "R_X86_64_"},
        supported_row{"i386", EM_386, 1, 0, "R_386_RELATIVE", "R_386_32", "R_386_GLOB_DAT",
                      {{7, "R_386_JMP_SLOT"}, {8, "R_386_RELATIVE"}, {43, "R_386_GOT32X"}}, 12, "R_386_"},
        supported_row{"arm", EM_ARM, 1, 0x05000000, "R_ARM_RELATIVE", "R_ARM_ABS32", "R_ARM_GLOB_DAT",
                      {{2, "R_ARM_ABS32"}, {13, "R_ARM_TLS_DESC"}, {22, "R_ARM_JUMP_SLOT"}, {255, "R_ARM_RBASE"}},
                      150, "R_ARM_"},
        supported_row{"riscv32", EM_RISCV, 1, 0, "R_RISCV_RELATIVE", "R_RISCV_32", "R_RISCV_JUMP_SLOT",
                      {{2, "R_RISCV_64"}, {58, "R_RISCV_IRELATIVE"}}, 100, "R_RISCV_"},
        supported_row{"riscv64", EM_RISCV, 2, 0x5, "R_RISCV_RELATIVE", "R_RISCV_64", "R_RISCV_JUMP_SLOT",
                      {{1, "R_RISCV_32"}}, 150, "R_RISCV_"},
        supported_row{"ppc", EM_PPC, 1, 0, "R_PPC_RELATIVE", "R_PPC_ADDR32", "R_PPC_JMP_SLOT",
                      {{20, "R_PPC_GLOB_DAT"}, {255, "R_PPC_TOC16"}}, 97, "R_PPC_"},
        supported_row{"ppc64_elfv2", EM_PPC64, 2, 2, "R_PPC64_RELATIVE", "R_PPC64_ADDR64", "R_PPC64_JMP_SLOT",
                      {{20, "R_PPC64_GLOB_DAT"}, {248, "R_PPC64_IRELATIVE"}}, 18, "R_PPC64_"},
        // Only the low two bits name the ABI; other flag bits must not change the choice.
        supported_row{"ppc64_elfv2_other_flags", EM_PPC64, 2, 0x80000006, "R_PPC64_RELATIVE", "R_PPC64_ADDR64",
                      "R_PPC64_JMP_SLOT", {}, 18, "R_PPC64_"},
        supported_row{"ppc64_elfv1", EM_PPC64, 2, 1, "R_PPC64_RELATIVE", "R_PPC64_ADDR64", "R_PPC64_GLOB_DAT",
                      {{21, "R_PPC64_JMP_SLOT"}}, 18, "R_PPC64_"},
        supported_row{"ppc64_abi_unspecified", EM_PPC64, 2, 0, "R_PPC64_RELATIVE", "R_PPC64_ADDR64",
                      "R_PPC64_GLOB_DAT", {}, 18, "R_PPC64_"},
        supported_row{"s390x", EM_S390, 2, 0, "R_390_RELATIVE", "R_390_GLOB_DAT", "R_390_JMP_SLOT",
                      {{22, "R_390_64"}, {61, "R_390_IRELATIVE"}}, 200, "R_390_"},
        supported_row{"loongarch32", EM_LOONGARCH, 1, 0, "R_LARCH_RELATIVE", "R_LARCH_32", "R_LARCH_JUMP_SLOT",
                      {{2, "R_LARCH_64"}}, 200, "R_LARCH_"},
        supported_row{"loongarch64", EM_LOONGARCH, 2, 0x43, "R_LARCH_RELATIVE", "R_LARCH_64", "R_LARCH_JUMP_SLOT",
                      {{1, "R_LARCH_32"}, {12, "R_LARCH_IRELATIVE"}}, 200, "R_LARCH_"},
        supported_row{"aarch64_ilp32", EM_AARCH64, 1, 0, "R_AARCH64_P32_RELATIVE", "R_AARCH64_P32_GLOB_DAT",
                      "R_AARCH64_P32_JUMP_SLOT",
                      {{0, "R_AARCH64_NONE"}, {1, "R_AARCH64_P32_ABS32"}, {184, "R_AARCH64_P32_TLS_DTPMOD"},
                       {185, "R_AARCH64_P32_TLS_DTPREL"}},
                      179, "R_AARCH64_"}),
    [](const testing::TestParamInfo<supported_row> &info) { return std::string(info.param.label); });

struct unsupported_row {
    const char *label;
    uint16_t e_machine;
    uint8_t elfclass;
    uint32_t e_flags;
};
void PrintTo(const unsupported_row &row, std::ostream *os) { *os << row.label; }

class RelevantRelsUnsupported : public testing::TestWithParam<unsupported_row> {};

TEST_P(RelevantRelsUnsupported, NoRecord) {
    const unsupported_row &row = GetParam();
    EXPECT_EQ(rels_for(row.e_machine, row.elfclass, row.e_flags), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Machines, RelevantRelsUnsupported,
    testing::Values(unsupported_row{"mips32", EM_MIPS, 1, 0}, unsupported_row{"mips64", EM_MIPS, 2, 0},
                    unsupported_row{"aarch64_lp64", EM_AARCH64, 2, 0},
                    unsupported_row{"unknown_machine", 0xbeef, 2, 0}, unsupported_row{"em_none", 0, 1, 0},
                    unsupported_row{"i386_class64", EM_386, 2, 0}, unsupported_row{"arm_class64", EM_ARM, 2, 0},
                    unsupported_row{"ppc_class64", EM_PPC, 2, 0}, unsupported_row{"s390_class32", EM_S390, 1, 0},
                    unsupported_row{"ppc64_class32", EM_PPC64, 1, 2},
                    unsupported_row{"ppc64_abi3", EM_PPC64, 2, 3},
                    unsupported_row{"x86_64_class_none", EM_X86_64, 0, 0},
                    unsupported_row{"riscv_class3", EM_RISCV, 3, 0}),
    [](const testing::TestParamInfo<unsupported_row> &info) { return std::string(info.param.label); });

}  // namespace
