// Linear searches over the loaded input: its dynamic section, a dynamic entry by tag, and the
// PT_LOAD segment or section that holds a virtual address.
#pragma once

#include <cstdint>

#include "context.h"
#include "kelpx.h"

// 0 when a dynamic section was found (record filled); -1 otherwise.
[[nodiscard]] int find_dynamic(context *ctx, const kelpx_handle *elf, kelpx_section *dynamic_info);
// Index of the first entry from `first` on with d_tag == tag (dyn filled when not null); -1 when none.
// An entry that cannot be read ends the process with status 1.
[[nodiscard]] int64_t find_dyn_dt(const kelpx_handle *elf, const kelpx_section *dynamic_info, kelpx_dyn *dyn,
                                  uint32_t first, uint32_t tag);
// 0 when a PT_LOAD segment holds address, its end included; -1 otherwise.
[[nodiscard]] int find_phdr_addr(const kelpx_handle *elf, kelpx_program *program, uint64_t address);
// 0 when a section's [sh_addr, sh_addr + sh_size) holds address; -1 otherwise.
[[nodiscard]] int find_section_addr(const kelpx_handle *elf, kelpx_section *section, uint64_t address);
