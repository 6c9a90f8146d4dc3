// The symbol table in process: the name hash, user definitions, and what a binding to a loaded
// input allows before and after it is dropped.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "context.h"
#include "find.h"
#include "kelpx.h"
#include "support/elfbuild.h"
#include "symtab.h"

uint32_t symtab_pjw_hash_for_test(const char *s);

namespace {

namespace eb = elfbuild;

// A new table. The tool never releases its table and the module has no way to; keeping every table
// reachable from a list that is never destroyed stops leak checks from counting them.
symtab *new_table() {
    static auto *kept = new std::vector<symtab *>;
    symtab *t = symtab_create();
    if (t != nullptr) kept->push_back(t);
    return t;
}

struct hash_row {
    const char *text;
    uint32_t hash;
};
void PrintTo(const hash_row &row, std::ostream *os) { *os << '"' << row.text << '"'; }

class PjwHash : public testing::TestWithParam<hash_row> {};

TEST_P(PjwHash, MatchesTheElfHash) { EXPECT_EQ(symtab_pjw_hash_for_test(GetParam().text), GetParam().hash); }

// Bytes from 0x80 count sign-extended; long names fold their top nibble back in.
INSTANTIATE_TEST_SUITE_P(Names, PjwHash,
                         testing::Values(hash_row{"", 0}, hash_row{"abc", 0x6783}, hash_row{"\xE9", 0x0FFFFF19},
                                         hash_row{"printf", 0x077905A6},
                                         hash_row{"__libc_start_main", 0x0177FF8E},
                                         hash_row{"\xE9\xE9\xE9\xE9\xE9\xE9\xE9\xE9", 0x088886F9}));

TEST(SymtabDefinitions, LaterDefinitionReplacesEarlier) {
    symtab *t = new_table();
    ASSERT_NE(t, nullptr);
    char name[] = "foo";
    ASSERT_EQ(symtab_add(t, name, 1), 0);
    name[0] = 'x';  // the table keeps its own copy
    ASSERT_EQ(symtab_add(t, "foo", 2), 0);

    uint64_t value = 0;
    EXPECT_EQ(symtab_redefine(t, &value, "foo"), 0);
    EXPECT_EQ(value, 2u);
    value = 77;
    for (const char *other : {"xoo", "Foo", "fo", "foo ", ""}) {
        EXPECT_EQ(symtab_redefine(t, &value, other), -1) << other;
        EXPECT_EQ(value, 77u) << other;
    }
}

TEST(SymtabDefinitions, ManyNamesSurviveGrowth) {
    symtab *t = new_table();
    ASSERT_NE(t, nullptr);
    for (uint64_t i = 0; i < 500; ++i) ASSERT_EQ(symtab_add(t, ("sym" + std::to_string(i)).c_str(), i), 0);
    for (uint64_t i = 0; i < 500; ++i) {
        uint64_t value = ~uint64_t{0};
        ASSERT_EQ(symtab_redefine(t, &value, ("sym" + std::to_string(i)).c_str()), 0) << i;
        EXPECT_EQ(value, i);
    }
}

class SymtabBound : public testing::Test {
 protected:
    void SetUp() override {
        eb::Pie p;
        p.text = eb::Bytes(0x40, 0x90);
        p.dynsyms = {{"foo", eb::st_info(eb::STB_GLOBAL, eb::STT_FUNC), eb::pie_shndx_text, 0x1010}};
        bytes_ = eb::build_pie(p).bytes;
        ASSERT_EQ(kelpx_load_memory(&elf_, bytes_.data(), bytes_.size()), 0);
        kelpx_section dynamic_info{};
        ASSERT_EQ(find_dynamic(&ctx_, &elf_, &dynamic_info), 0);
        t_ = new_table();
        ASSERT_NE(t_, nullptr);
        ASSERT_EQ(symtab_add(t_, "foo", 0x5000), 0);
        ASSERT_EQ(symtab_find_symtab(t_, &ctx_, &elf_, &dynamic_info), 0);
        ASSERT_NE(kelp_string_init(&name_, 0), 0);
    }
    void TearDown() override {
        kelp_string_free(&name_);
        kelpx_unload(&elf_);
    }

    eb::Bytes bytes_;
    kelpx_handle elf_{};
    context ctx_{};
    symtab *t_ = nullptr;
    kelp_string name_{};
};

TEST_F(SymtabBound, ReadsSymbolAndName) {
    kelpx_sym sym{};
    ASSERT_EQ(symtab_get_sym(t_, &sym, &name_, 1), 0);
    EXPECT_STREQ(name_.text, "foo");
    EXPECT_EQ(kelpx_sym_get_value(&sym), 0x1010u);
    ASSERT_EQ(symtab_get_sym(t_, &sym, &name_, 0), 0);
    EXPECT_STREQ(name_.text, "");  // the previous name is cleared
}

// The index is 64 bits wide: cut to 32, 2^32 + 1 would read symbol 1.
TEST_F(SymtabBound, IndexOf4GibAndMoreIsRefused) {
    kelpx_sym sym{};
    EXPECT_EQ(symtab_get_sym(t_, &sym, &name_, (uint64_t{1} << 32) + 1), -1);
    EXPECT_EQ(symtab_get_sym(t_, &sym, &name_, 2), -1);  // past the section's data
}

TEST_F(SymtabBound, DropEndsSymbolReadsButKeepsDefinitions) {
    symtab_drop_section_reference(t_);
    kelpx_sym sym{};
    EXPECT_EQ(symtab_get_sym(t_, &sym, &name_, 0), -1);
    EXPECT_EQ(symtab_get_sym(t_, &sym, &name_, 1), -1);
    uint64_t value = 0;
    EXPECT_EQ(symtab_redefine(t_, &value, "foo"), 0);
    EXPECT_EQ(value, 0x5000u);
}

TEST(SymtabUnbound, ReadsNoSymbol) {
    symtab *t = new_table();
    ASSERT_NE(t, nullptr);
    kelp_string name{};
    ASSERT_NE(kelp_string_init(&name, 0), 0);
    kelpx_sym sym{};
    EXPECT_EQ(symtab_get_sym(t, &sym, &name, 0), -1);
    kelp_string_free(&name);
}

}  // namespace
