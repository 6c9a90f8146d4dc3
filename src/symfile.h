// Symbol files: plain-text lists of values and names, read into the symbol table, and the unsigned
// number syntax shared by every number the user gives.
#pragma once

#include <cstdint>

#include "context.h"
#include "symtab.h"

// Reads text as strtoull with base 0 does; true only when the whole, non-empty text is consumed and
// its value fits 64 bits.
[[nodiscard]] bool symfile_parse_u64(const char *text, uint64_t *value);
// Loads every record of the file `path` (value in field symval_field, name in field symname_field).
[[nodiscard]] int symfile_load(context *ctx, symtab *t, const char *path, int32_t symval_field,
                               int32_t symname_field);
