// The symbol table. The input's symbols are never copied: each request reads one entry through the
// loaded file, so a binding lives only as long as the input stays loaded.
#include "symtab.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "find.h"
#include "kelpx_elf.h"
#include "osdep.h"

namespace {

// The key of every hash of this run. A fixed hash (the PJW hash of ELF hash sections, say) lets a
// crafted symbol file give every name one value, and each addition then compares with all the others.
struct hash_key_t {
    uint64_t k[2];
};
const hash_key_t &hash_key() {
    static const hash_key_t key = [] {
        hash_key_t drawn{};
        osdep_random_key(drawn.k);
        return drawn;
    }();
    return key;
}

uint64_t rotl(uint64_t x, int bits) {
    return x << bits | x >> (64 - bits);
}

struct sip_state {
    uint64_t v0, v1, v2, v3;
    void round() {
        v0 += v1, v1 = rotl(v1, 13), v1 ^= v0, v0 = rotl(v0, 32);
        v2 += v3, v3 = rotl(v3, 16), v3 ^= v2;
        v0 += v3, v3 = rotl(v3, 21), v3 ^= v0;
        v2 += v1, v1 = rotl(v1, 17), v1 ^= v2, v2 = rotl(v2, 32);
    }
    void absorb(uint64_t m) {
        v3 ^= m;
        round();
        v0 ^= m;
    }
};

}  // namespace

uint64_t symtab_siphash(const uint64_t key[2], const uint8_t *p, size_t n) {
    sip_state s{key[0] ^ 0x736f6d6570736575u, key[1] ^ 0x646f72616e646f6du, key[0] ^ 0x6c7967656e657261u,
                key[1] ^ 0x7465646279746573u};
    const size_t whole = n - n % 8;
    for (size_t i = 0; i < whole; i += 8)
        s.absorb(kelpbase_get_u64(p + i, 0));
    uint64_t last = uint64_t{n} << 56;
    for (size_t i = 0; i < n % 8; i++)
        last |= uint64_t{p[whole + i]} << (8 * i);
    s.absorb(last);
    s.v2 ^= 0xff;
    s.round(), s.round(), s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

namespace {

uint32_t name_hash(const void *key) {
    const char *name = static_cast<const char *>(key);
    uint64_t h = symtab_siphash(hash_key().k, reinterpret_cast<const uint8_t *>(name), strlen(name));
    return static_cast<uint32_t>(h ^ h >> 32);
}

int cstring_equal(const void *a, const void *b) {
    return strcmp(static_cast<const char *>(a), static_cast<const char *>(b)) == 0 ? 1 : 0;
}

// Every NUL byte of the string table, in order: the end of the name at any offset is then the
// first one at or after it, found by a search. Scanning from each offset instead would cost the
// length of a long name once per symbol that points into it.
int find_nuls(symtab *t) {
    const kelpx_section &s = t->strtab_section;
    const auto *bytes = reinterpret_cast<const char *>(s.data);
    const auto size = static_cast<size_t>(s.data_size);
    try {
        t->nuls.reserve(static_cast<size_t>(std::count(bytes, bytes + size, '\0')));
        for (const char *p = bytes; (p = static_cast<const char *>(memchr(p, 0, size - static_cast<size_t>(p - bytes)))) != nullptr; p++)
            t->nuls.push_back(static_cast<uint32_t>(p - bytes));
    } catch (const std::bad_alloc &) {
        return -1;
    }
    t->nuls_found = true;
    return 0;
}

}  // namespace

uint64_t symtab_hash_number(uint64_t value) {
    uint8_t bytes[8];
    kelpbase_put_word(bytes, 8, value, 0);
    return symtab_siphash(hash_key().k, bytes, sizeof bytes);
}

symtab *symtab_create() {
    auto *t = new (std::nothrow) symtab{};
    if (t == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    if (htsumax_init(&t->defs, name_hash, cstring_equal) != 0) {
        delete t;
        errno = ENOMEM;
        return nullptr;
    }
    return t;
}

void symtab_destroy(symtab *t) {
    if (t == nullptr)
        return;
    for (htsumax_entry *e = htsumax_first(&t->defs); e != nullptr; e = htsumax_next(&t->defs, e))
        free(const_cast<void *>(e->key));
    htsumax_uninit(&t->defs);
    delete t;
}

int symtab_find_symtab(symtab *t, const kelpx_handle *elf, const kelpx_section *dynamic_info) {
    kelpx_dyn strtab_dyn, symtab_dyn, syment_dyn;
    bool has_strtab = find_dyn_dt(elf, dynamic_info, &strtab_dyn, 0, elf::DT_STRTAB) >= 0;
    bool has_symtab = find_dyn_dt(elf, dynamic_info, &symtab_dyn, 0, elf::DT_SYMTAB) >= 0;
    bool has_syment = find_dyn_dt(elf, dynamic_info, &syment_dyn, 0, elf::DT_SYMENT) >= 0;
    if (!has_strtab && !has_symtab && !has_syment)
        return 0;
    if (!has_strtab || !has_symtab || !has_syment) {
        fputs("ERROR: Incomplete symtab information in DYNAMIC\n", stderr);
        if (!has_strtab)
            fputs("ERROR: DT_STRTAB is missing\n", stderr);
        if (!has_symtab)
            fputs("ERROR: DT_SYMTAB is missing\n", stderr);
        if (!has_syment)
            fputs("ERROR: DT_SYMENT is missing\n", stderr);
        return -1;
    }

    // Offsets inside a section's data count only their low 32 bits.
    uint64_t strtab_addr = kelpx_dyn_get_ptr(&strtab_dyn);
    if (find_section_addr(elf, &t->strtab_section, strtab_addr) != 0) {
        fprintf(stderr, "ERROR: Section not found for DT_STRTAB at 0x%" PRIx64 "\n", strtab_addr);
        return -1;
    }
    t->strtab_offset = static_cast<uint32_t>(strtab_addr - kelpx_section_get_addr(&t->strtab_section));

    uint64_t symtab_addr = kelpx_dyn_get_ptr(&symtab_dyn);
    if (find_section_addr(elf, &t->symtab_section, symtab_addr) != 0) {
        fprintf(stderr, "ERROR: Section not found for DT_SYMTAB at 0x%" PRIx64 "\n", symtab_addr);
        return -1;
    }
    t->symtab_offset = static_cast<uint32_t>(symtab_addr - kelpx_section_get_addr(&t->symtab_section));

    uint64_t syment = kelpx_dyn_get_val(&syment_dyn);
    if (syment > 0xFFFFFFFFu) {
        fprintf(stderr, "ERROR: DT_SYMENT value is too large: 0x%" PRIx64 "\n", syment);
        return -1;
    }
    if (syment < kelpx_get_sizeof_Sym(elf)) {
        fprintf(stderr, "ERROR: DT_SYMENT value (%" PRIu64 ") is smaller than expected\n", syment);
        return -1;
    }
    t->syment = static_cast<uint32_t>(syment);
    t->nuls.clear();
    t->nuls_found = false;
    t->max_sym_index = (0xFFFFFFFFu - t->symtab_offset) / t->syment;
    return 0;
}

int symtab_read_sym(symtab *t, kelpx_sym *sym, uint64_t index) {
    if (t->syment == 0 && index == 0) {  // without a table there is only the null symbol
        *sym = kelpx_sym{};
        return 0;
    }
    if (t->syment == 0 || index > t->max_sym_index)
        return -1;
    // max_sym_index rules out a wrap here.
    uint32_t sym_off = t->symtab_offset + static_cast<uint32_t>(index) * t->syment;
    return kelpx_section_get_sym_offs(&t->symtab_section, sym, sym_off);
}

int symtab_get_name(symtab *t, uint32_t st_name, const char **name, size_t *name_length) {
    if (st_name == 0) {
        *name = "";
        *name_length = 0;
        return 0;
    }
    uint64_t name_off = uint64_t{t->strtab_offset} + st_name;
    if (t->syment == 0 || name_off >= t->strtab_section.data_size || t->strtab_section.data == nullptr)
        return -1;
    if (!t->nuls_found && find_nuls(t) != 0)
        return -1;
    auto end = std::lower_bound(t->nuls.begin(), t->nuls.end(), name_off);
    if (end == t->nuls.end())
        return -1;
    *name = reinterpret_cast<const char *>(t->strtab_section.data) + name_off;
    *name_length = *end - name_off;
    return 0;
}

int symtab_redefine(symtab *t, uint64_t *value, const char *name, size_t name_length) {
    if (name_length >= t->def_lengths.size() || !t->def_lengths[name_length])
        return -1;
    htsumax_entry *e = htsumax_getentry(&t->defs, name);
    if (e == nullptr)
        return -1;
    *value = e->value;
    return 0;
}

int symtab_add(symtab *t, const char *name, uint64_t value) {
    htsumax_entry *e = htsumax_getentry(&t->defs, name);
    if (e != nullptr) {
        e->value = value;
        return 0;
    }
    size_t size = strlen(name) + 1;
    try {
        if (size > t->def_lengths.size())
            t->def_lengths.resize(size);
    } catch (const std::bad_alloc &) {
        return -1;
    }
    auto *copy = static_cast<char *>(malloc(size));
    if (copy == nullptr)
        return -1;
    memcpy(copy, name, size);
    // The table refuses an addition only when it could not grow; its length then stays as it was.
    uint32_t length = htsumax_length(&t->defs);
    if (htsumax_insert(&t->defs, copy, value) != nullptr || htsumax_length(&t->defs) == length) {
        free(copy);
        return -1;
    }
    t->def_lengths[size - 1] = true;
    return 0;
}

void symtab_drop_section_reference(symtab *t) {
    t->syment = 0;
    t->nuls = {};
    t->nuls_found = false;
}
