// The hash table's contract: keys on one probe path stay reachable past deleted slots, deleted
// slots are reused, the table grows at its load thresholds, and with growth failing it never takes
// the last empty slot but refuses the addition.
#include "htsumax.h"
#include "htsumax_testhook.h"

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

TEST_F(Htsumax, OneProbePathPastDeletedSlots) {
    for (int i = 0; i < 6; ++i) add(i, i < 5 ? 8 * uint32_t(i) : 0, uint64_t(i) + 10);
    const Key twin0{0, 0}, twin5{0, 5};  // equal keys at other addresses; 0 and 5 share a hash
    EXPECT_EQ(htsumax_get(&t, &twin0) + htsumax_get(&t, &twin5), 10u + 15u);
    EXPECT_EQ(htsumax_insert(&t, &keys[2], 99)->value, 12u);  // present: kept
    htsumax_set(&t, &keys[3], 33);
    EXPECT_EQ(htsumax_pop(&t, &keys[1]) + htsumax_pop(&t, &keys[2]) + htsumax_pop(&t, &keys[1]),
              11u + 12u);
    EXPECT_EQ(htsumax_get(&t, &keys[3]) + htsumax_get(&t, &keys[4]) + htsumax_get(&t, &keys[5]),
              33u + 14u + 15u);
    EXPECT_EQ(std::tuple(htsumax_has(&t, &keys[1]), htsumax_length(&t), htsumax_fill(&t)),
              std::tuple(0, 4u, 6u));
    add(2, 16, 22);  // into a deleted slot: fill stays
    EXPECT_EQ(std::tuple(htsumax_get(&t, &keys[2]), htsumax_length(&t), htsumax_fill(&t),
                         htsumax_size(&t)),
              std::tuple(uint64_t{22}, 5u, 6u, 8u));
    int seen = 0;
    for (htsumax_entry *e = htsumax_first(&t); e && seen < 64; e = htsumax_next(&t, e))
        seen += 1 << static_cast<const Key *>(e->key)->id;
    EXPECT_EQ(seen, 0b111101);
    ASSERT_EQ(htsumax_resize(&t, 0), 0);  // drops the deleted slots
    EXPECT_EQ(std::pair(htsumax_fill(&t), htsumax_get(&t, &keys[5])), std::pair(5u, uint64_t{15}));
}

TEST_F(Htsumax, GrowsAtThresholds) {
    for (int n = 1; n <= 97; ++n) {
        add(n, uint32_t(n) * 2654435761u);
        EXPECT_EQ(htsumax_size(&t), n < 7 ? 8u : n < 25 ? 32u : n < 97 ? 128u : 512u) << n;
    }
    for (int n = 1; n <= 97; ++n) EXPECT_TRUE(htsumax_has(&t, &keys[size_t(n)])) << n;
}

TEST_F(Htsumax, FailedGrowthKeepsTheLastEmptySlot) {
    for (int i = 0; i < 6; ++i) add(i, uint32_t(i));
    allowed = 0;
    add(6, 6);  // the 7th stands although growth failed
    EXPECT_EQ(htsumax_insert(&t, key(7, 7), 0), nullptr);
    htsumax_set(&t, key(8, 7), 0);
    EXPECT_EQ(std::tuple(htsumax_has(&t, &keys[7]), htsumax_has(&t, &keys[8]), htsumax_length(&t),
                         htsumax_size(&t)),
              std::tuple(0, 0, 7u, 8u));
    htsumax_pop(&t, &keys[3]);
    add(7, 3);  // a deleted slot on the key's path may be reused
    EXPECT_EQ(std::pair(htsumax_has(&t, &keys[7]), htsumax_length(&t)), std::pair(1, 7u));
    EXPECT_EQ(htsumax_clear(&t), -1);  // keeps the old slots, emptied
    EXPECT_EQ(std::pair(htsumax_length(&t), htsumax_has(&t, &keys[0])), std::pair(0u, 0));
    allowed = INT_MAX;
    for (int i = 0; i < 9; ++i) add(i, keys[size_t(i)].hash);
    EXPECT_EQ(std::pair(htsumax_length(&t), htsumax_size(&t)), std::pair(9u, 32u));
}

}  // namespace
