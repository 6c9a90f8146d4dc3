// kelpbase: the byte-level foundation under kelpx. Bounds checks that cannot wrap, byte-order-aware
// integer access built from single bytes (no host order or alignment assumed), and the owning string.
#pragma once

#include <cstddef>
#include <cstdint>

// True when [off, off + size) lies inside [0, avail). Never computes off + size, so it cannot wrap.
constexpr bool kelpbase_fits(uint64_t off, uint64_t size, uint64_t avail) {
    return size <= avail && off <= avail - size;
}

// msb: non-zero for big-endian (ELFDATA2MSB) data.
uint16_t kelpbase_get_u16(const uint8_t *p, int msb);
uint32_t kelpbase_get_u32(const uint8_t *p, int msb);
uint64_t kelpbase_get_u64(const uint8_t *p, int msb);
// width 4 or 8 bytes, zero-extended.
uint64_t kelpbase_get_word(const uint8_t *p, unsigned width, int msb);
// Stores the low width*8 bits of value.
void kelpbase_put_word(uint8_t *p, unsigned width, uint64_t value, int msb);

// A text with its length. text is always NUL-terminated (never null once initialised). owned != 0
// when the string holds its own heap buffer; strings handed out by the library (section names)
// borrow memory that the loaded file owns and must not be freed by the caller.
struct kelp_string {
    char *text;
    size_t length;
    size_t capacity;
    int owned;
};

// Prepares an empty string. flags must be 0. Non-zero = ready, 0 = out of memory.
int kelp_string_init(kelp_string *s, int flags);
// Empties the string, keeping its buffer.
void kelp_string_clear(kelp_string *s);
// Replaces the contents with len bytes from src plus a NUL. 0 = done, -1 = out of memory.
[[nodiscard]] int kelp_string_assign(kelp_string *s, const char *src, size_t len);
// Releases the buffer; the string must be initialised again before further use.
void kelp_string_free(kelp_string *s);

const char *kelpbase_get_version();
