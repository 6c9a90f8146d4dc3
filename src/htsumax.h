// htsumax: an open-addressing hash table from key pointers to unsigned 64-bit values. Callers
// supply the hash and equality functions; the table never reads through a key and never owns one.
// Triangular probing over a power-of-two slot array; removals leave deleted markers.
//
// Choices of ours:
// - An addition never fills the last empty slot, since every probe must end at one. When the
//   growth that would normally follow has failed so often that only one empty slot is left, the
//   addition is refused: htsumax_insert returns null and htsumax_set does nothing, and the key is
//   not in the table (htsumax_has tells). Removals and lookups keep working.
// - htsumax_clear keeps the old slot array, emptied, when a new 8-slot array cannot be allocated,
//   and reports that by returning -1 (0 otherwise). The table is empty and usable either way.
#pragma once

#include <cstdint>

struct htsumax_entry {
    int32_t state;  // 0 empty, > 0 used, < 0 deleted
    uint32_t hash;
    const void *key;
    uint64_t value;
};

using htsumax_hash_fn = uint32_t (*)(const void *key);
using htsumax_equal_fn = int (*)(const void *stored_key, const void *key);

struct htsumax {
    uint32_t mask;
    uint32_t fill;
    uint32_t length;
    htsumax_entry *slots;
    htsumax_hash_fn hash;
    htsumax_equal_fn equal;
};

[[nodiscard]] int htsumax_init(htsumax *t, htsumax_hash_fn hash, htsumax_equal_fn equal);
void htsumax_uninit(htsumax *t);
htsumax *htsumax_alloc(htsumax_hash_fn hash, htsumax_equal_fn equal);
void htsumax_free(htsumax *t);
int htsumax_clear(htsumax *t);
htsumax *htsumax_copy(const htsumax *t);
[[nodiscard]] int htsumax_resize(htsumax *t, uint32_t minsize);
int htsumax_has(htsumax *t, const void *k);
uint64_t htsumax_get(htsumax *t, const void *k);
htsumax_entry *htsumax_getentry(htsumax *t, const void *k);
htsumax_entry *htsumax_insert(htsumax *t, const void *k, uint64_t v);
void htsumax_set(htsumax *t, const void *k, uint64_t v);
uint64_t htsumax_pop(htsumax *t, const void *k);
htsumax_entry *htsumax_popentry(htsumax *t, const void *k);
void htsumax_delentry(htsumax *t, htsumax_entry *e);
htsumax_entry *htsumax_first(htsumax *t);
htsumax_entry *htsumax_next(htsumax *t, htsumax_entry *e);
uint32_t htsumax_length(const htsumax *t);
uint32_t htsumax_fill(const htsumax *t);
uint32_t htsumax_size(const htsumax *t);
int htsumax_isused(const htsumax_entry *e);
int htsumax_isempty(const htsumax_entry *e);
int htsumax_isdeleted(const htsumax_entry *e);
