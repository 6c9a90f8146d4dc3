// The symbol table. The input's symbols are never copied: each request reads one entry through the
// loaded file, so a binding lives only as long as the input stays loaded.
#include "symtab.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "find.h"
#include "kelpx_elf.h"

namespace {

// The PJW hash as ELF hash sections use it, over signed bytes.
uint32_t pjw_hash(const void *key) {
    uint32_t h = 0;
    for (const char *p = static_cast<const char *>(key); *p != '\0'; p++) {
        auto byte = static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(*p)));
        h = (h << 4) + byte;
        uint32_t g = h & 0xF0000000u;
        if (g != 0)
            h = (h & 0x0FFFFFFFu) ^ (g >> 24);
    }
    return h;
}

int cstring_equal(const void *a, const void *b) {
    return strcmp(static_cast<const char *>(a), static_cast<const char *>(b)) == 0 ? 1 : 0;
}

}  // namespace

symtab *symtab_create() {
    auto *t = static_cast<symtab *>(calloc(1, sizeof(symtab)));
    if (t == nullptr)
        return nullptr;
    if (htsumax_init(&t->defs, pjw_hash, cstring_equal) != 0) {
        free(t);
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
    free(t);
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
    t->max_sym_index = (0xFFFFFFFFu - t->symtab_offset) / t->syment;
    return 0;
}

int symtab_get_sym(symtab *t, kelpx_sym *sym, const char **name, size_t *name_length, uint64_t index) {
    if (t->syment == 0 || index > t->max_sym_index)
        return -1;
    // max_sym_index rules out a wrap here.
    uint32_t sym_off = t->symtab_offset + static_cast<uint32_t>(index) * t->syment;
    if (kelpx_section_get_sym_offs(&t->symtab_section, sym, sym_off) != 0)
        return -1;
    uint32_t st_name = kelpx_sym_get_name_offs(sym);
    if (st_name == 0) {
        *name = "";
        *name_length = 0;
        return 0;
    }
    uint64_t name_off = uint64_t{t->strtab_offset} + st_name;
    if (name_off > 0xFFFFFFFFu)
        return -1;
    return kelpx_section_data_name_at(&t->strtab_section, static_cast<uint32_t>(name_off), name, name_length);
}

int symtab_redefine(symtab *t, uint64_t *value, const char *name) {
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
    if (size - 1 > t->longest_def)
        t->longest_def = size - 1;
    return 0;
}

void symtab_drop_section_reference(symtab *t) {
    t->syment = 0;
}
