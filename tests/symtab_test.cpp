// The symbol table in process: the name hash, and what a binding to a loaded input allows once it is
// dropped, which no run of the tool can show.
#include <gtest/gtest.h>

#include <cstdint>

#include "context.h"
#include "find.h"
#include "kelpx.h"
#include "support/elfbuild.h"
#include "symtab.h"

uint32_t symtab_pjw_hash_for_test(const char *s);

namespace {

namespace eb = elfbuild;

struct hash_row {
    const char *text;
    uint32_t hash;
};
void PrintTo(const hash_row &row, std::ostream *os) { *os << '"' << row.text << '"'; }

class PjwHash : public testing::TestWithParam<hash_row> {};
TEST_P(PjwHash, MatchesTheElfHash) { EXPECT_EQ(symtab_pjw_hash_for_test(GetParam().text), GetParam().hash); }
// Bytes from 0x80 count sign-extended, which also brings the top nibble's fold into play.
INSTANTIATE_TEST_SUITE_P(Names, PjwHash,
                         testing::Values(hash_row{"", 0}, hash_row{"abc", 0x6783}, hash_row{"\xE9", 0x0FFFFF19}));

// The input is unloaded once the relocations are done: a dropped binding reads no symbol, while the
// user's definitions stay.
TEST(Symtab, DropEndsSymbolReadsButKeepsDefinitions) {
    eb::Pie p;
    p.text = eb::Bytes(0x40, 0x90);
    p.dynsyms = {{"foo", eb::st_info(eb::STB_GLOBAL, eb::STT_FUNC), eb::pie_shndx_text, 0x1010}};
    const eb::Bytes bytes = eb::build_pie(p).bytes;
    kelpx_handle elf{};
    ASSERT_EQ(kelpx_load_memory(&elf, bytes.data(), bytes.size()), 0);
    context ctx{};
    kelpx_section dynamic_info{};
    ASSERT_EQ(find_dynamic(&ctx, &elf, &dynamic_info), 0);
    // The tool never releases its table and the module has no way to; a static keeps it reachable
    // for leak checks.
    static symtab *const t = symtab_create();
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(symtab_add(t, "foo", 0x5000), 0);
    ASSERT_EQ(symtab_find_symtab(t, &ctx, &elf, &dynamic_info), 0);
    kelp_string name{};
    ASSERT_NE(kelp_string_init(&name, 0), 0);
    kelpx_sym sym{};
    ASSERT_EQ(symtab_get_sym(t, &sym, &name, 1), 0);
    EXPECT_STREQ(name.text, "foo");
    symtab_drop_section_reference(t);
    EXPECT_EQ(symtab_get_sym(t, &sym, &name, 0), -1);
    EXPECT_EQ(symtab_get_sym(t, &sym, &name, 1), -1);
    uint64_t value = 0;
    EXPECT_EQ(symtab_redefine(t, &value, "foo"), 0);
    EXPECT_EQ(value, 0x5000u);
    kelp_string_free(&name);
    kelpx_unload(&elf);
}

}  // namespace
