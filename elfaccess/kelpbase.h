// kelpbase: the byte-level foundation under kelpx. Bounds checks that cannot wrap, byte-order-aware
// integer access built from single bytes (no host order or alignment assumed), and the owning string.
#pragma once

#include <cstddef>
#include <cstdint>

// True when [off, off + size) lies inside [0, avail). Never computes off + size, so it cannot wrap.
constexpr bool kelpbase_fits(uint64_t off, uint64_t size, uint64_t avail) {
    return size <= avail && off <= avail - size;
}

// Byte-order helpers, inline because the relocation walk calls them for every field. Values are
// built from single bytes with shifts and swapped with shifts and masks, patterns that compilers turn
// into one load or store and one byte swap, without assuming the host's order or alignment.
constexpr uint16_t kelpbase_swap16(uint16_t v) {
    return static_cast<uint16_t>(v >> 8 | v << 8);
}

constexpr uint32_t kelpbase_swap32(uint32_t v) {
    v = v >> 16 | v << 16;
    return (v & 0xff00ff00u) >> 8 | (v & 0x00ff00ffu) << 8;
}

constexpr uint64_t kelpbase_swap64(uint64_t v) {
    v = v >> 32 | v << 32;
    v = (v & 0xffff0000ffff0000u) >> 16 | (v & 0x0000ffff0000ffffu) << 16;
    return (v & 0xff00ff00ff00ff00u) >> 8 | (v & 0x00ff00ff00ff00ffu) << 8;
}

// msb: non-zero for big-endian (ELFDATA2MSB) data.
inline uint16_t kelpbase_get_u16(const uint8_t *p, int msb) {
    const auto v = static_cast<uint16_t>(p[1] << 8 | p[0]);
    return msb ? kelpbase_swap16(v) : v;
}

inline uint32_t kelpbase_get_u32(const uint8_t *p, int msb) {
    const uint32_t v = uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | uint32_t{p[0]};
    return msb ? kelpbase_swap32(v) : v;
}

inline uint64_t kelpbase_get_u64(const uint8_t *p, int msb) {
    const uint64_t v = uint64_t{p[7]} << 56 | uint64_t{p[6]} << 48 | uint64_t{p[5]} << 40 | uint64_t{p[4]} << 32 |
                       uint64_t{p[3]} << 24 | uint64_t{p[2]} << 16 | uint64_t{p[1]} << 8 | uint64_t{p[0]};
    return msb ? kelpbase_swap64(v) : v;
}

// width 1 to 8 bytes, zero-extended.
inline uint64_t kelpbase_get_word(const uint8_t *p, unsigned width, int msb) {
    switch (width) {
    case 8: return kelpbase_get_u64(p, msb);
    case 4: return kelpbase_get_u32(p, msb);
    case 2: return kelpbase_get_u16(p, msb);
    default: break;
    }
    uint64_t value = 0;
    for (unsigned i = 0; i < width; ++i)
        value = value << 8 | p[msb ? i : width - 1 - i];
    return value;
}

// Stores the low width*8 bits of value (width 1 to 8).
inline void kelpbase_put_word(uint8_t *p, unsigned width, uint64_t value, int msb) {
    if (width == 8) {
        const uint64_t v = msb ? kelpbase_swap64(value) : value;
        for (unsigned i = 0; i < 8; ++i)
            p[i] = static_cast<uint8_t>(v >> (8 * i));
        return;
    }
    if (width == 4) {
        const auto low = static_cast<uint32_t>(value);
        const uint32_t v = msb ? kelpbase_swap32(low) : low;
        for (unsigned i = 0; i < 4; ++i)
            p[i] = static_cast<uint8_t>(v >> (8 * i));
        return;
    }
    // Byte i counts from the least significant end.
    for (unsigned i = 0; i < width; ++i)
        p[msb ? width - 1 - i : i] = static_cast<uint8_t>(value >> (8 * i));
}

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
