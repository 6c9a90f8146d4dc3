// htsumax: open-addressing hash table from caller-owned key pointers to 64-bit values.
// Relies only on the caller's hash and equality functions and on a zeroing allocator; running out
// of memory is reported through results, never thrown.
#include "htsumax.h"

#include "htsumax_testhook.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>

static constexpr uint32_t initial_capacity = 8;
static constexpr uint32_t max_capacity = uint32_t{1} << 31;

static void *system_calloc(size_t count, size_t size) {
    return std::calloc(count, size);
}

static htsumax_calloc_fn alloc_zeroed = system_calloc;

htsumax_calloc_fn htsumax_set_calloc(htsumax_calloc_fn fn) {
    const htsumax_calloc_fn previous = alloc_zeroed;
    alloc_zeroed = fn ? fn : system_calloc;
    return previous;
}

// A zeroed slot is an empty one.
static htsumax_entry *alloc_slots(uint32_t capacity) {
    return static_cast<htsumax_entry *>(alloc_zeroed(capacity, sizeof(htsumax_entry)));
}

// Steps of 1, 2, 3, ... from h meet every slot of a power-of-two array within capacity probes,
// so each walk below ends as long as one empty slot is left.
static htsumax_entry *find_slot(htsumax *t, const void *k, uint32_t h) {
    htsumax_entry *first_deleted = nullptr;
    uint32_t pos = h;
    for (uint32_t step = 1;; ++step) {
        htsumax_entry *e = &t->slots[pos & t->mask];
        if (e->state == 0)
            return first_deleted ? first_deleted : e;
        if (e->state < 0) {
            if (!first_deleted)
                first_deleted = e;
        } else if (e->hash == h && t->equal(e->key, k)) {
            return e;
        }
        pos += step;
    }
}

static htsumax_entry *first_empty(htsumax_entry *slots, uint32_t mask, uint32_t h) {
    uint32_t pos = h;
    for (uint32_t step = 1; slots[pos & mask].state != 0; ++step)
        pos += step;
    return &slots[pos & mask];
}

// Moves the first `length` used slots of src into dst, which has no deleted slots. Stored hashes
// stand in for the keys, so neither caller function runs.
static void place_all(htsumax_entry *dst, uint32_t mask, const htsumax_entry *src, uint32_t length) {
    for (uint32_t moved = 0; moved < length; ++src) {
        if (src->state > 0) {
            *first_empty(dst, mask, src->hash) = *src;
            ++moved;
        }
    }
}

static int rebuild(htsumax *t, uint32_t minsize) {
    // length stays below the 2^31 capacity cap, so doubling it cannot wrap.
    const uint32_t target = std::max(2 * t->length, minsize);
    uint32_t capacity = initial_capacity;
    while (capacity < target && capacity < max_capacity)
        capacity <<= 1;
    htsumax_entry *slots = alloc_slots(capacity);
    if (!slots)
        return -1;
    place_all(slots, capacity - 1, t->slots, t->length);
    std::free(t->slots);
    t->slots = slots;
    t->mask = capacity - 1;
    t->fill = t->length;
    return 0;
}

// Quadrupling keeps small tables from rebuilding often; past 65536 entries doubling bounds the
// size of one allocation.
static uint32_t growth_demand(uint32_t length) {
    return length <= 65536 ? length * 4 : length * 2;
}

static void grow_if_needed(htsumax *t) {
    // 4 * length needs 64 bits once a table holds 2^30 entries.
    if (t->fill > t->mask - (t->mask >> 2) || uint64_t{t->fill} > 4 * uint64_t{t->length})
        (void)rebuild(t, growth_demand(t->length));  // on failure the old array serves on
}

// Gives the used slot holding k, or adds (k, v) and gives null. An addition never takes the last
// empty slot: lookups of absent keys need it to stop. Only failed growths leave a table there, so
// one more growth is tried before the addition is refused (null, k not added).
static htsumax_entry *find_or_add(htsumax *t, const void *k, uint64_t v) {
    const uint32_t h = t->hash(k);
    htsumax_entry *e = find_slot(t, k, h);
    if (e->state > 0)
        return e;
    if (e->state == 0 && t->fill == t->mask) {
        if (rebuild(t, growth_demand(t->length + 1)) != 0 || t->fill == t->mask)
            return nullptr;
        e = first_empty(t->slots, t->mask, h);  // k is absent and the new array has no deleted slot
    }
    if (e->state == 0)
        ++t->fill;
    ++t->length;
    *e = htsumax_entry{1, h, k, v};
    grow_if_needed(t);
    return nullptr;
}

static htsumax_entry *lookup(htsumax *t, const void *k) {
    htsumax_entry *e = find_slot(t, k, t->hash(k));
    return e->state > 0 ? e : nullptr;
}

static htsumax_entry *next_used(htsumax *t, uint32_t from) {
    for (uint32_t i = from; i <= t->mask; ++i) {
        if (t->slots[i].state > 0)
            return &t->slots[i];
    }
    return nullptr;
}

int htsumax_init(htsumax *t, htsumax_hash_fn hash, htsumax_equal_fn equal) {
    *t = htsumax{initial_capacity - 1, 0, 0, alloc_slots(initial_capacity), hash, equal};
    return t->slots ? 0 : -1;
}

void htsumax_uninit(htsumax *t) {
    std::free(t->slots);
    t->slots = nullptr;
}

htsumax *htsumax_alloc(htsumax_hash_fn hash, htsumax_equal_fn equal) {
    auto *t = static_cast<htsumax *>(alloc_zeroed(1, sizeof(htsumax)));
    if (t && htsumax_init(t, hash, equal) != 0) {
        std::free(t);
        t = nullptr;
    }
    return t;
}

void htsumax_free(htsumax *t) {
    if (!t)
        return;
    std::free(t->slots);
    std::free(t);
}

int htsumax_clear(htsumax *t) {
    htsumax_entry *slots = alloc_slots(initial_capacity);
    t->fill = 0;
    t->length = 0;
    if (!slots) {
        std::fill_n(t->slots, size_t{t->mask} + 1, htsumax_entry{});
        return -1;
    }
    std::free(t->slots);
    t->slots = slots;
    t->mask = initial_capacity - 1;
    return 0;
}

htsumax *htsumax_copy(const htsumax *t) {
    auto *c = static_cast<htsumax *>(alloc_zeroed(1, sizeof(htsumax)));
    if (!c)
        return nullptr;
    htsumax_entry *slots = alloc_slots(t->mask + 1);
    if (!slots) {
        std::free(c);
        return nullptr;
    }
    place_all(slots, t->mask, t->slots, t->length);
    *c = htsumax{t->mask, t->length, t->length, slots, t->hash, t->equal};
    return c;
}

int htsumax_resize(htsumax *t, uint32_t minsize) {
    return rebuild(t, minsize);
}

int htsumax_has(htsumax *t, const void *k) {
    return lookup(t, k) ? 1 : 0;
}

uint64_t htsumax_get(htsumax *t, const void *k) {
    const htsumax_entry *e = lookup(t, k);
    return e ? e->value : 0;
}

htsumax_entry *htsumax_getentry(htsumax *t, const void *k) {
    return lookup(t, k);
}

htsumax_entry *htsumax_insert(htsumax *t, const void *k, uint64_t v) {
    return find_or_add(t, k, v);
}

void htsumax_set(htsumax *t, const void *k, uint64_t v) {
    if (htsumax_entry *e = find_or_add(t, k, v))
        e->value = v;
}

uint64_t htsumax_pop(htsumax *t, const void *k) {
    const htsumax_entry *e = htsumax_popentry(t, k);
    return e ? e->value : 0;
}

htsumax_entry *htsumax_popentry(htsumax *t, const void *k) {
    htsumax_entry *e = lookup(t, k);
    htsumax_delentry(t, e);
    return e;
}

// The slot keeps its hash, key and value, so a popped entry stays readable until reused.
void htsumax_delentry(htsumax *t, htsumax_entry *e) {
    if (e && e->state > 0) {
        e->state = -1;
        --t->length;
    }
}

htsumax_entry *htsumax_first(htsumax *t) {
    return t->length ? next_used(t, 0) : nullptr;
}

htsumax_entry *htsumax_next(htsumax *t, htsumax_entry *e) {
    return next_used(t, static_cast<uint32_t>(e - t->slots) + 1);
}

uint32_t htsumax_length(const htsumax *t) {
    return t->length;
}

uint32_t htsumax_fill(const htsumax *t) {
    return t->fill;
}

uint32_t htsumax_size(const htsumax *t) {
    return t->mask + 1;
}

int htsumax_isused(const htsumax_entry *e) {
    return e->state > 0 ? 1 : 0;
}

int htsumax_isempty(const htsumax_entry *e) {
    return e->state == 0 ? 1 : 0;
}

int htsumax_isdeleted(const htsumax_entry *e) {
    return e->state < 0 ? 1 : 0;
}
