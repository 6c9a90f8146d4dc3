// htsumax: where keys land under chosen hashes, growth and rebuilds, how often the caller's functions
// run, removals, iteration, copies, and every path where an allocation fails.
#include "htsumax.h"
#include "htsumax_testhook.h"

#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cstdlib>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

// A key carries its hash, so a test decides where keys collide; equality looks only at id.
struct Key { uint32_t hash; int id; };
int hash_calls, equal_calls;
const void *last_stored;  // first argument of the latest equality call

uint32_t key_hash(const void *k) { return ++hash_calls, static_cast<const Key *>(k)->hash; }
int key_equal(const void *stored, const void *k) {
    ++equal_calls, last_stored = stored;
    return static_cast<const Key *>(stored)->id == static_cast<const Key *>(k)->id;
}
char letter(const htsumax_entry &e) { return static_cast<char>('a' + static_cast<const Key *>(e.key)->id); }

int allowed_allocs;  // how many more allocations may succeed
void *limited_calloc(size_t count, size_t size) { return allowed_allocs-- > 0 ? std::calloc(count, size) : nullptr; }

// Used slots as "index:key", deleted ones as "index:-".
std::string layout(const htsumax &t) {
    std::string s;
    for (uint32_t i = 0; i <= t.mask; ++i)
        if (!htsumax_isempty(&t.slots[i]))
            s += (s.empty() ? "" : " ") + std::to_string(i) + ':' +
                 (htsumax_isused(&t.slots[i]) ? letter(t.slots[i]) : '-');
    return s;
}

struct Htsumax : ::testing::Test {
    void SetUp() override {
        allowed_allocs = INT_MAX, htsumax_set_calloc(limited_calloc);
        ASSERT_EQ(htsumax_init(&t, key_hash, key_equal), 0);
        for (int i = 0; i < 26; ++i) keys[static_cast<size_t>(i)].id = i;
        hash_calls = equal_calls = 0;
    }
    void TearDown() override { htsumax_uninit(&t), htsumax_set_calloc(nullptr); }
    Key *key(char c) { return &keys[static_cast<size_t>(c - 'a')]; }
    // "+a8" inserts key a, first giving it hash 8 (without a number the hash stays); "=a8" sets it; "-a" pops
    // it. "r100" resizes with minimum 100, "x" clears, "c" replaces the table by its copy and "a" by a new
    // one; operations that fail are listed in `failed`. "!2" lets 2 more allocations succeed.
    void run(const std::string &ops) {
        std::istringstream in(ops);
        for (std::string op; in >> op;) {
            Key *k = op.size() > 1 && op[1] >= 'a' ? key(op[1]) : nullptr;
            if (k != nullptr && op.size() > 2)
                k->hash = static_cast<uint32_t>(std::stoul(op.substr(2)));
            htsumax *n = nullptr;
            bool ok = true;
            switch (op[0]) {
            case '+': ok = htsumax_insert(&t, k, 1) == nullptr; break;  // non-null: the key was there
            case '=': htsumax_set(&t, k, 1); break;
            case '-': htsumax_pop(&t, k); break;
            case 'r': ok = htsumax_resize(&t, static_cast<uint32_t>(std::stoul(op.substr(1)))) == 0; break;
            case 'x': ok = htsumax_clear(&t) == 0; break;
            case 'c': ok = (n = htsumax_copy(&t)) != nullptr; break;
            case 'a': ok = (n = htsumax_alloc(key_hash, key_equal)) != nullptr; break;
            case '!': allowed_allocs = std::stoi(op.substr(1)); break;
            }
            if (n != nullptr)
                htsumax_uninit(&t), t = *n, n->slots = nullptr, htsumax_free(n);
            if (!ok)
                failed += (failed.empty() ? "" : " ") + op;
        }
    }
    htsumax t{};
    std::array<Key, 26> keys{};
    std::string failed;
};

struct Row { const char *name, *ops, *layout, *failed; uint32_t size, fill, length; int hash_calls, equal_calls; };

struct HtsumaxRows : Htsumax, ::testing::WithParamInterface<Row> {};

TEST_P(HtsumaxRows, KeysLandStayReachableAndIterate) {
    const Row &row = GetParam();
    run(row.ops);
    EXPECT_EQ(std::tuple(layout(t), failed, htsumax_size(&t), htsumax_fill(&t), htsumax_length(&t)),
              std::tuple(std::string(row.layout), std::string(row.failed), row.size, row.fill, row.length));
    // Once per keyed operation, never in a rebuild or a copy; equality only where the stored hash matches.
    EXPECT_EQ(std::pair(hash_calls, equal_calls), std::pair(row.hash_calls, row.equal_calls));
    std::string seen, want;  // want: the keys in slot order
    for (const char c : std::string(row.layout))
        want += c >= 'a' ? std::string(1, c) : "";
    // Every entry is found through an equal key at another address, past any deleted slots, and the
    // stored key is passed first.
    for (const Key &k : keys) {
        const Key twin = k;
        const htsumax_entry *e = htsumax_getentry(&t, &twin);
        const bool listed = want.find(static_cast<char>('a' + k.id)) != std::string::npos;
        EXPECT_TRUE(e ? listed && e->key == &k && last_stored == &k : !listed) << k.id;
    }
    // Iteration goes in slot order, also when it removes every other entry as it meets it.
    for (htsumax_entry *e = htsumax_first(&t); e && seen.size() <= 26; e = htsumax_next(&t, e)) {
        seen += letter(*e);
        if (seen.size() % 2 == 1)
            htsumax_delentry(&t, e);
    }
    EXPECT_EQ(std::pair(seen, htsumax_length(&t)), std::pair(want, uint32_t(want.size() / 2)));
}

// Counts: fill and length after the operations, calls of the hash and equality functions.
const Row rows[] = {
    {"collisions_follow_triangular_steps", "+a0 +b8 +c16 +d24", "0:a 1:b 3:c 6:d", "", 8, 4, 4, 4, 0},
    {"probes_wrap_around_the_end", "+a6 +b14 +c22 +d30", "1:c 4:d 6:a 7:b", "", 8, 4, 4, 4, 0},
    {"equal_hashes_compare_keys", "+a0 +b0 -b", "0:a 1:-", "", 8, 2, 1, 3, 3},
    {"first_deleted_slot_is_reused", "+a0 +b8 +c16 -b -c +d24", "0:a 1:d 3:-", "", 8, 3, 2, 6, 2},
    {"lookup_passes_deleted_slots", "+a0 +b8 +c16 +d24 -a -b -c", "0:- 1:- 3:- 6:d", "", 8, 4, 1, 7, 3},
    {"grows_on_7th_addition", "+a0 +b8 +c16 +d24 +e32 +f40 +g48", "0:a 1:e 8:b 9:f 16:c 17:g 24:d", "", 32, 7, 7, 7, 0},
    {"deleted_slots_compacted", "+a0 +b1 +c2 +d3 +e4 +f5 +g6 -a -b -c -d -e -f -g +h7", "7:h", "", 8, 1, 1, 15, 7},
    {"resize_drops_deleted", "+a0 +b1 +c2 +d3 +e4 +f5 +g6 -d -e -f -g r0", "0:a 1:b 2:c", "", 8, 3, 3, 11, 4},
    {"resize_keeps_twice_length", "+a0 +b1 +c2 +d3 +e4 +f5 +g6 r0", "0:a 1:b 2:c 3:d 4:e 5:f 6:g", "", 16, 7, 7, 7, 0},
    {"resize_grows_to_power_of_two", "+a0 +b33 r100", "0:a 33:b", "", 128, 2, 2, 2, 0},
    {"clear_returns_to_8_slots", "+a0 +b1 +c2 +d3 +e4 +f5 +g6 x", "", "", 8, 0, 0, 7, 0},
    {"copy_keeps_size_drops_deleted", "+a0 +b1 +c2 +d3 +e4 +f5 +g32 -a -b -c -d -e c", "0:g 5:f", "", 32, 2, 2, 12, 5},
    // The record, then the slot array: each failure leaves nothing behind (a leak shows under ASan).
    {"alloc_and_copy_fail_whole", "+a0 !0 a c !1 a !1 c", "0:a", "a c a c", 8, 1, 1, 1, 0},
    // With growth failing, the seventh addition stands, but none may take the last empty slot; a
    // deleted slot may still be reused.
    {"full_table_refuses_additions", "+a0 +b1 +c2 +d3 +e4 +f5 !0 +g6 r100 +h7 =h7 -c +i2",
     "0:a 1:b 2:i 3:d 4:e 5:f 6:g", "r100", 8, 7, 7, 11, 1},
    {"growth_comes_back_with_memory", "+a0 +b1 +c2 +d3 +e4 +f5 !0 +g6 +h7 !99 +h7", "0:a 1:b 2:c 3:d 4:e 5:f 6:g 7:h",
     "", 32, 8, 8, 9, 0},
    {"failed_clear_empties_the_old_slots", "+a0 +b1 +c2 +d3 +e4 +f5 +g6 !0 x +a0", "0:a", "x", 32, 1, 1, 8, 0},
};

INSTANTIATE_TEST_SUITE_P(Rows, HtsumaxRows, ::testing::ValuesIn(rows),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(Htsumax, GrowthThresholds) {
    std::vector<Key> many(97);
    for (uint32_t n = 1; n <= 97; ++n) {
        many[n - 1] = {n * 2654435761u, static_cast<int>(n)};
        ASSERT_EQ(htsumax_insert(&t, &many[n - 1], n), nullptr);
        EXPECT_EQ(htsumax_size(&t), n < 7 ? 8u : n < 25 ? 32u : n < 97 ? 128u : 512u) << n << " additions";
    }
}

TEST_F(Htsumax, InsertKeepsSetOverwritesRemovalsGiveTheEntry) {
    Key *a = key('a'), *b = key('b'), *absent = key('c');
    ASSERT_EQ(htsumax_insert(&t, a, 5), nullptr);
    const htsumax_entry *e = htsumax_insert(&t, a, 9);  // present: gives the entry, unchanged
    EXPECT_EQ(e ? e->value : 0, 5u);
    htsumax_set(&t, a, 9);
    htsumax_set(&t, b, 0);
    EXPECT_EQ((std::array<uint64_t, 5>{htsumax_get(&t, a), htsumax_get(&t, b), htsumax_get(&t, absent),
                                       htsumax_pop(&t, absent), htsumax_length(&t)}),
              (std::array<uint64_t, 5>{9, 0, 0, 0, 2}));
    EXPECT_EQ((std::array{htsumax_has(&t, b), htsumax_has(&t, absent)}), (std::array{1, 0}));
    EXPECT_EQ(htsumax_pop(&t, a), 9u);
    htsumax_entry *p = htsumax_popentry(&t, b);
    EXPECT_EQ(p ? p->key : nullptr, b);
    htsumax_delentry(&t, p);            // deleted already
    htsumax_delentry(&t, &t.slots[5]);  // empty
    EXPECT_EQ(std::tuple(layout(t), htsumax_fill(&t), htsumax_length(&t)), std::tuple("0:- 1:-", 2u, 0u));
}

}  // namespace
