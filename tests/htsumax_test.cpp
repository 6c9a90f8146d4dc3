// htsumax: where keys land under chosen hashes, growth and rebuilds, how often the caller's functions
// run, removals, iteration, copies, and every path where an allocation fails.
#include "htsumax.h"
#include "htsumax_testhook.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace {

// A key carries its hash, so a test decides where keys collide; equality looks only at id.
struct Key {
    uint32_t hash;
    int id;
};

int hash_calls, equal_calls;
const void *last_stored;  // first argument of the latest equality call

uint32_t key_hash(const void *k) {
    ++hash_calls;
    return static_cast<const Key *>(k)->hash;
}

int key_equal(const void *stored, const void *k) {
    ++equal_calls;
    last_stored = stored;
    return static_cast<const Key *>(stored)->id == static_cast<const Key *>(k)->id;
}

// Lets `allowed` more allocations succeed (negative: all), then fails every one.
int allowed_allocs = -1;

void *limited_calloc(size_t count, size_t size) {
    if (allowed_allocs > 0)
        --allowed_allocs;
    else if (allowed_allocs == 0)
        return nullptr;
    return std::calloc(count, size);
}

struct AllocLimit {
    explicit AllocLimit(int allowed) {
        allowed_allocs = allowed;
        htsumax_set_calloc(limited_calloc);
    }
    ~AllocLimit() { htsumax_set_calloc(nullptr); }
};

// Used slots as "index:key", deleted ones as "index:-".
std::string layout(const htsumax &t) {
    std::string s;
    for (uint32_t i = 0; i <= t.mask; ++i) {
        const htsumax_entry &e = t.slots[i];
        if (!htsumax_isempty(&e))
            s += (s.empty() ? "" : " ") + std::to_string(i) + ':' +
                 (htsumax_isused(&e) ? static_cast<char>('a' + static_cast<const Key *>(e.key)->id) : '-');
    }
    return s;
}

struct Htsumax : ::testing::Test {
    void SetUp() override {
        ASSERT_EQ(htsumax_init(&t, key_hash, key_equal), 0);
        for (size_t i = 0; i < keys.size(); ++i)
            keys[i] = {0, static_cast<int>(i)};
        hash_calls = equal_calls = 0;
    }
    void TearDown() override { htsumax_uninit(&t); }

    Key *key(char c) { return &keys[static_cast<size_t>(c - 'a')]; }

    // "+a8" inserts key a, first giving it hash 8 (without a number the hash stays); "=a8" sets it;
    // "-a" pops it; "r100" resizes with minimum 100.
    void run(const std::string &ops) {
        std::istringstream in(ops);
        for (std::string op; in >> op;) {
            if (op[0] == 'r') {
                ASSERT_EQ(htsumax_resize(&t, static_cast<uint32_t>(std::stoul(op.substr(1)))), 0);
                continue;
            }
            Key *k = key(op[1]);
            if (op.size() > 2)
                k->hash = static_cast<uint32_t>(std::stoul(op.substr(2)));
            if (op[0] == '+')
                ASSERT_EQ(htsumax_insert(&t, k, 1), nullptr) << op;
            else if (op[0] == '=')
                htsumax_set(&t, k, 1);
            else
                htsumax_pop(&t, k);
        }
    }

    htsumax t{};
    std::array<Key, 26> keys{};
};

struct LayoutRow {
    const char *name, *ops, *layout;
    uint32_t size, fill, length;
    int hash_calls, equal_calls;
};

struct HtsumaxLayout : Htsumax, ::testing::WithParamInterface<LayoutRow> {};

TEST_P(HtsumaxLayout, KeysLandAndStayReachable) {
    const LayoutRow &row = GetParam();
    run(row.ops);
    EXPECT_EQ(layout(t), row.layout);
    EXPECT_EQ((std::array{htsumax_size(&t), htsumax_fill(&t), htsumax_length(&t)}),
              (std::array{row.size, row.fill, row.length}));
    EXPECT_EQ(hash_calls, row.hash_calls);    // once per keyed operation, never in a rebuild
    EXPECT_EQ(equal_calls, row.equal_calls);  // only where the stored hash matches
    // Every entry is found through an equal key at another address, past any deleted slots.
    uint32_t found = 0;
    for (const Key &k : keys) {
        const Key twin = k;
        if (const htsumax_entry *e = htsumax_getentry(&t, &twin)) {
            EXPECT_EQ(e->key, &k);
            EXPECT_EQ(last_stored, &k);  // the stored key is passed first
            ++found;
        }
    }
    EXPECT_EQ(found, row.length);
}

const LayoutRow layout_rows[] = {
    {"collisions_follow_triangular_steps", "+a0 +b8 +c16 +d24", "0:a 1:b 3:c 6:d", 8, 4, 4, 4, 0},
    {"probes_wrap_around_the_end", "+a6 +b14 +c22 +d30", "1:c 4:d 6:a 7:b", 8, 4, 4, 4, 0},
    {"hash_sums_wrap_at_2_32", "+a4294967295 +b4294967287 +c4294967279", "0:b 2:c 7:a", 8, 3, 3, 3, 0},
    {"equal_hashes_compare_keys", "+a0 +b0 -b", "0:a 1:-", 8, 2, 1, 3, 3},
    {"set_overwrites_in_place", "=a0 =a0 =b8", "0:a 1:b", 8, 2, 2, 3, 1},
    {"removed_slot_is_reused", "+a0 +b8 +c16 -b +d24", "0:a 1:d 3:c", 8, 3, 3, 5, 1},
    {"first_deleted_slot_wins", "+a0 +b8 +c16 -b -c +d24", "0:a 1:d 3:-", 8, 3, 2, 6, 2},
    {"readded_key_takes_its_old_slot", "+a0 +b8 -a +a", "0:a 1:b", 8, 2, 2, 4, 1},
    {"lookup_passes_deleted_slots", "+a0 +b8 +c16 +d24 -a -b -c", "0:- 1:- 3:- 6:d", 8, 4, 1, 7, 3},
    {"seventh_addition_reprobes_into_32", "+a0 +b8 +c16 +d24 +e32 +f40 +g48", "0:a 1:e 8:b 9:f 16:c 17:g 24:d",
     32, 7, 7, 7, 0},
    {"deleted_slots_force_compaction", "+a0 +b1 +c2 +d3 +e4 +f5 +g6 -a -b -c -d -e -f -g +h7", "7:h", 8, 1, 1,
     15, 7},
    {"resize_shrinks_and_drops_deleted", "+a0 +b1 +c2 +d3 +e4 +f5 +g6 -d -e -f -g r0", "0:a 1:b 2:c", 8, 3, 3,
     11, 4},
    {"resize_keeps_twice_length", "+a0 +b1 +c2 +d3 +e4 +f5 +g6 r0", "0:a 1:b 2:c 3:d 4:e 5:f 6:g", 16, 7, 7, 7, 0},
    {"resize_grows_to_power_of_two", "+a0 +b33 r100", "0:a 33:b", 128, 2, 2, 2, 0},
};

INSTANTIATE_TEST_SUITE_P(Rows, HtsumaxLayout, ::testing::ValuesIn(layout_rows),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(Htsumax, GrowthThresholds) {
    std::vector<Key> many(97);
    for (uint32_t i = 0; i < 97; ++i) {
        many[i] = {i * 2654435761u, static_cast<int>(i)};
        ASSERT_EQ(htsumax_insert(&t, &many[i], i), nullptr);
        const uint32_t n = i + 1;
        EXPECT_EQ(htsumax_size(&t), n < 7 ? 8u : n < 25 ? 32u : n < 97 ? 128u : 512u) << n << " additions";
        EXPECT_EQ(htsumax_fill(&t), n);
    }
    for (uint32_t i = 0; i < 97; ++i)
        EXPECT_EQ(htsumax_get(&t, &many[i]), i);
}

TEST_F(Htsumax, ValuesThroughInsertSetGetAndRemovals) {
    Key *a = key('a'), *b = key('b'), *absent = key('c');
    ASSERT_EQ(htsumax_insert(&t, a, 5), nullptr);
    const htsumax_entry *e = htsumax_insert(&t, a, 9);
    EXPECT_EQ(e ? e->value : 0, 5u);
    htsumax_set(&t, a, 9);
    htsumax_set(&t, b, 0);
    EXPECT_EQ(htsumax_get(&t, a), 9u);
    EXPECT_EQ((std::array{htsumax_get(&t, b), htsumax_get(&t, absent), htsumax_pop(&t, absent)}),
              (std::array<uint64_t, 3>{}));
    EXPECT_EQ((std::array{htsumax_has(&t, b), htsumax_has(&t, absent)}), (std::array{1, 0}));
    EXPECT_EQ(htsumax_pop(&t, a), 9u);
    htsumax_entry *p = htsumax_popentry(&t, b);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->key, b);
    EXPECT_EQ(htsumax_popentry(&t, b), nullptr);
    htsumax_delentry(&t, p);            // deleted
    htsumax_delentry(&t, &t.slots[5]);  // empty
    EXPECT_EQ(layout(t), "0:- 1:-");
    EXPECT_EQ((std::array{htsumax_fill(&t), htsumax_length(&t)}), (std::array{2u, 0u}));
}

TEST_F(Htsumax, IterationIsSlotOrderAndSurvivesRemovingTheCurrentEntry) {
    for (int removal : {0, 1, 2}) {  // none, htsumax_delentry, htsumax_popentry
        run("+a5 +b1 +c13 +d3 -d");   // 1:b 3:- 5:a 6:c
        std::string seen;
        for (htsumax_entry *e = htsumax_first(&t); e && seen.size() < 8; e = htsumax_next(&t, e)) {
            seen += static_cast<char>('a' + static_cast<const Key *>(e->key)->id);
            if (removal == 1) {
                htsumax_delentry(&t, e);
            } else if (removal == 2) {
                EXPECT_EQ(htsumax_popentry(&t, e->key), e);
            }
        }
        EXPECT_EQ(seen, "bac") << removal;
        EXPECT_EQ(htsumax_first(&t) == nullptr, removal != 0);
        ASSERT_EQ(htsumax_clear(&t), 0);
    }
}

TEST_F(Htsumax, CopyKeepsCapacityDropsDeletedAndSharesKeys) {
    run("+a0 +b1 +c2 +d3 +e4 +f5 +g32 -a -b -c -d -e =f");  // 32 slots: 5:f 6:g behind deleted 0..4
    hash_calls = equal_calls = 0;
    htsumax *c = htsumax_copy(&t);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(hash_calls + equal_calls, 0);
    EXPECT_EQ(layout(*c), "0:g 5:f");
    EXPECT_EQ((std::array{htsumax_size(c), htsumax_fill(c), htsumax_length(c)}), (std::array{32u, 2u, 2u}));
    htsumax_set(c, key('f'), 8);
    EXPECT_EQ((std::array{htsumax_get(&t, key('f')), htsumax_get(c, key('f'))}), (std::array<uint64_t, 2>{1, 8}));
    htsumax_free(c);
}

TEST(HtsumaxAllocation, InitAllocAndCopyFailWhole) {
    htsumax *src = htsumax_alloc(key_hash, key_equal);
    ASSERT_NE(src, nullptr);
    for (int allowed : {0, 1}) {  // the record, then the slot array; a leak shows under ASan
        AllocLimit limit(allowed);
        EXPECT_EQ(htsumax_alloc(key_hash, key_equal), nullptr) << allowed;
        allowed_allocs = allowed;
        EXPECT_EQ(htsumax_copy(src), nullptr) << allowed;
    }
    htsumax_free(src);
    htsumax t;
    AllocLimit none(0);
    EXPECT_EQ(htsumax_init(&t, key_hash, key_equal), -1);
}

TEST_F(Htsumax, FailedAllocationsLeaveAUsableTable) {
    {
        AllocLimit none(0);
        run("+a0 +b1 +c2 +d3 +e4 +f5 +g6");  // the seventh addition stands without growing
        const htsumax_entry *slots = t.slots;
        EXPECT_EQ(htsumax_resize(&t, 100), -1);
        EXPECT_EQ(t.slots, slots);
        EXPECT_EQ(htsumax_insert(&t, key('h'), 1), nullptr);  // refused: only one empty slot is left
        htsumax_set(&t, key('h'), 1);
        EXPECT_EQ(htsumax_has(&t, key('h')), 0);
        run("-c +i2");  // a deleted slot may still be reused
        EXPECT_EQ(layout(t), "0:a 1:b 2:i 3:d 4:e 5:f 6:g");
        EXPECT_EQ(htsumax_fill(&t), 7u);
    }
    // With memory back, growth comes before taking the last empty slot.
    EXPECT_EQ(htsumax_insert(&t, key('h'), 1), nullptr);
    EXPECT_EQ((std::array{htsumax_size(&t), htsumax_length(&t)}), (std::array{32u, 8u}));
    {
        AllocLimit none(0);
        EXPECT_EQ(htsumax_clear(&t), -1);
        EXPECT_EQ((std::array{htsumax_size(&t), htsumax_fill(&t), htsumax_length(&t)}), (std::array{32u, 0u, 0u}));
        EXPECT_EQ(layout(t), "");
        run("+a0");
        EXPECT_EQ(htsumax_has(&t, key('a')), 1);
    }
    EXPECT_EQ(htsumax_clear(&t), 0);
    EXPECT_EQ(htsumax_size(&t), 8u);
}

}  // namespace
