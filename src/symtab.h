// The symbol table: the input's dynamic symbols, read on demand by index through the loaded file,
// and the user's definitions (-d, -f), held by name in a hash table.
#pragma once

#include <cstdint>
#include <vector>

#include "context.h"
#include "htsumax.h"
#include "kelpx.h"

struct symtab {
    kelpx_section strtab_section;
    kelpx_section symtab_section;
    uint32_t strtab_offset;  // where DT_STRTAB begins inside strtab_section's data
    uint32_t symtab_offset;  // where DT_SYMTAB begins inside symtab_section's data
    uint32_t syment;         // 0: unbound, no dynamic symbols readable
    uint32_t max_sym_index;  // keeps symtab_offset + index * syment within 32 bits
    std::vector<uint32_t> nuls;  // offsets of the NUL bytes in strtab_section's data, found on first use
    bool nuls_found;
    htsumax defs;                    // name -> value; keys are heap copies owned here
    std::vector<bool> def_lengths;   // [n]: some defined name has n bytes; no other name needs a lookup
};

// A new, empty, unbound table; null with errno set when memory runs out.
symtab *symtab_create();
// Frees the table and its copies of the names. A run never needs it (the process ends instead); a
// harness that runs the tool many times in one process does.
void symtab_destroy(symtab *t);
// Binds the table to the input's dynamic symbol table (DT_STRTAB, DT_SYMTAB, DT_SYMENT). 0 also when
// the input has none of the three.
[[nodiscard]] int symtab_find_symtab(symtab *t, const kelpx_handle *elf, const kelpx_section *dynamic_info);
// Reads dynamic symbol `index` alone.
[[nodiscard]] int symtab_read_sym(symtab *t, kelpx_sym *sym, uint64_t index);
// Points *name at the name at st_name inside the loaded file (empty when st_name is 0). Costs a
// search among the string table's NUL bytes, not a scan of the name. -1 with memory run out too.
[[nodiscard]] int symtab_get_name(symtab *t, uint32_t st_name, const char **name, size_t *name_length);
// 0 and *value set when the user defined `name`, of name_length bytes; -1 and *value untouched otherwise.
[[nodiscard]] int symtab_redefine(symtab *t, uint64_t *value, const char *name, size_t name_length);
// SipHash-1-3 (Aumasson and Bernstein) of n bytes under the key key[0], key[1] (the key's bytes
// 0-7 and 8-15, little-endian): without the key, finding colliding inputs costs as much as guessing it.
uint64_t symtab_siphash(const uint64_t key[2], const uint8_t *p, size_t n);
// A hash of value that differs per run, for tables keyed by numbers read from the input.
uint64_t symtab_hash_number(uint64_t value);
// Adds or replaces a definition; the table keeps its own copy of the name.
[[nodiscard]] int symtab_add(symtab *t, const char *name, uint64_t value);
// Forgets the binding into the loaded file, before it is unloaded. Definitions stay.
void symtab_drop_section_reference(symtab *t);
