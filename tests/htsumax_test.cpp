// The hash table's contract where the end-to-end runs cannot reach it: with growth failing it
// never takes the last empty slot but refuses the addition.
#include "htsumax.h"
#include "htsumax_testhook.h"
#include "symtab.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <vector>

namespace {

struct Key {
    uint32_t hash;
    int id;
};  // the test picks each key's hash; equality looks at id
uint32_t key_hash(const void *k) { return static_cast<const Key *>(k)->hash; }
int key_equal(const void *a, const void *b) {
    return static_cast<const Key *>(a)->id == static_cast<const Key *>(b)->id;
}
int allowed = INT_MAX;  // allocations that may still succeed
void *limited_calloc(size_t n, size_t size) {
    return allowed-- > 0 ? std::calloc(n, size) : nullptr;
}

struct Htsumax : testing::Test {
    void SetUp() override {
        allowed = INT_MAX, htsumax_set_calloc(limited_calloc);
        ASSERT_EQ(htsumax_init(&t, key_hash, key_equal), 0);
    }
    void TearDown() override { htsumax_uninit(&t), htsumax_set_calloc(nullptr); }
    htsumax t{};
    std::vector<Key> keys = std::vector<Key>(600);
    Key *key(int id, uint32_t hash) { return &(keys[size_t(id)] = {hash, id}); }
    void add(int id, uint32_t hash, uint64_t v = 0) {
        ASSERT_EQ(htsumax_insert(&t, key(id, hash), v), nullptr) << id;
    }
};

TEST_F(Htsumax, FailedGrowthKeepsTheLastEmptySlot) {
    for (int i = 0; i < 6; ++i) add(i, uint32_t(i));
    allowed = 0;
    add(6, 6);  // the 7th stands although growth failed
    EXPECT_EQ(htsumax_insert(&t, key(7, 7), 0), nullptr);
    htsumax_set(&t, key(8, 7), 0);
    EXPECT_EQ(std::tuple(htsumax_has(&t, &keys[7]), htsumax_get(&t, &keys[8]),
                         htsumax_pop(&t, &keys[8]), htsumax_length(&t), htsumax_size(&t)),
              std::tuple(0, 0u, 0u, 7u, 8u));
    htsumax_pop(&t, &keys[3]);
    add(7, 3);  // a deleted slot on the key's path may be reused
    EXPECT_EQ(std::tuple(htsumax_has(&t, &keys[7]), htsumax_has(&t, key(9, 3)), htsumax_length(&t)),
              std::tuple(1, 0, 7u));
    EXPECT_EQ(htsumax_clear(&t), -1);  // keeps the old slots, emptied
    EXPECT_EQ(std::pair(htsumax_length(&t), htsumax_has(&t, &keys[0])), std::pair(0u, 0));
    allowed = INT_MAX;
    for (int i = 0; i < 7; ++i) add(i, keys[size_t(i)].hash);
    EXPECT_EQ(htsumax_size(&t), 32u);  // grown at three quarters full
    htsumax_pop(&t, &keys[0]);
    ASSERT_EQ(htsumax_resize(&t, 0), 0);  // drops the deleted slot; twice the entries, rounded up
    EXPECT_EQ(std::tuple(htsumax_fill(&t), htsumax_has(&t, &keys[0]), htsumax_size(&t)),
              std::tuple(6u, 0, 16u));
    ASSERT_EQ(htsumax_clear(&t), 0);
    EXPECT_EQ(htsumax_size(&t), 8u);
}

// A table on the heap, and its copy: every entry, no deleted slot.
TEST_F(Htsumax, HeapTableAndCopy) {
    htsumax *h = htsumax_alloc(key_hash, key_equal);
    ASSERT_NE(h, nullptr);
    for (int i = 0; i < 3; ++i) htsumax_insert(h, key(i, 1), uint64_t(i));  // slots 1, 2, 4
    const htsumax_entry *gone = htsumax_popentry(h, &keys[1]);
    htsumax *c = htsumax_copy(h);
    const htsumax_entry *kept = htsumax_getentry(c, &keys[2]);
    EXPECT_EQ(std::tuple(htsumax_isdeleted(gone), htsumax_isused(kept), kept->value,
                         htsumax_fill(c), htsumax_isempty(&c->slots[0])),
              std::tuple(1, 1, 2u, 2u, 1));
    htsumax_free(h), htsumax_free(c);
}

// The names' hash is SipHash-1-3: bytes 0 to 14 under the key of bytes 0 to 15.
TEST(Siphash, Vector) {
    const uint64_t key[2] = {0x0706050403020100, 0x0f0e0d0c0b0a0908};
    const uint8_t b[15] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14};
    EXPECT_EQ(symtab_siphash(key, b, 15), 0xd320d86d2a519956);
}

}  // namespace
