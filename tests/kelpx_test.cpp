// The ELF layer's calls that the tool itself does not make, on a built PIE: loading from a file or
// a copy, section bytes and names; and its owning string.
#include "kelpx.h"

#include <gtest/gtest.h>

#include "support/pie.h"
#include "support/run.h"

using namespace pie;
using std::tuple;

TEST(Kelpx, LibraryCalls) {
    const testrun::TempDir dir;
    const Built b =
        build(B64, {.rels = {{0x300, 0, RR, 5}}, .plt = {{0x308, 0, RR}}, .plt_rela = false});
    dir.write("in", b.bytes);
    kelpx_handle elf{}, copy{};
    std::string bytes = b.bytes;
    ASSERT_EQ(kelpx_load(&elf, dir.file("none").c_str()), -1);
    ASSERT_EQ(kelpx_load(&elf, dir.file("in").c_str()) |
                  kelpx_load_memory(&copy, (const uint8_t *)bytes.data(), bytes.size()),
              0);
    bytes.assign(bytes.size(), '\0');  // the copy outlives its source
    kelpx_section data, names;
    ASSERT_EQ(kelpx_get_section(&copy, &data, 2) | kelpx_get_section(&elf, &names, 9),
              0);
    char got[4] = {};
    EXPECT_EQ((tuple{kelpx_section_data_read(&data, got, 0x3d, 3, 0), std::string(got),
                     kelpx_section_data_read(&data, got, 0x3e, 3, 0),
                     kelpx_section_data_read(&data, got, 0, 1, 1)}),
              tuple(1, "=>?", 0, 0));
    // Names in .shstrtab: ".text" at 1, past its end; grown past 16 bytes, then reused in place.
    kelp_string s;
    const char *text = nullptr;
    size_t n = 0;
    ASSERT_EQ(kelp_string_init(&s, 0), 1);
    EXPECT_EQ((tuple{kelpx_section_data_readname(&names, &s, 2), std::string(s.text),
                     kelpx_section_data_readname(&names, &s, 999),
                     kelpx_section_data_name_at(&names, 1, &text, &n), n,
                     kelpx_section_data_name_at(&names, 999, &text, &n)}),
              tuple(0, "text", -1, 0, 5u, -1));
    const std::string big(40, 'x');
    ASSERT_EQ(kelp_string_assign(&s, big.data(), 40) | kelp_string_assign(&s, "ab", 2), 0);
    kelp_string_clear(&s);
    EXPECT_EQ(tuple(s.text[0], s.length, s.capacity), tuple('\0', 0u, 64u));
    kelp_string_free(&s);
    EXPECT_EQ(kelp_string_init(&s, 1), 0);
}
