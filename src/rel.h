// The relocation engine: walks one relocation table of the input and applies each entry to the
// virtual space.
#pragma once

#include <cstdint>

#include "context.h"
#include "kelpx.h"

// Applies the table that dyn_entry (DT_REL, DT_RELA or DT_PLTREL) designates. 0 when every entry
// was applied; -1 after a message.
[[nodiscard]] int apply_relocations(context *ctx, const kelpx_handle *elf, const kelpx_section *dynamic_info,
                                    const kelpx_dyn *dyn_entry);
