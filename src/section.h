// The virtual space: which sections make up the image, where its bounds lie, and copying their
// contents into the buffer.
#pragma once

#include "context.h"
#include "kelpx.h"

// Sets vspace_start and vspace_end from the qualifying sections and the PT_LOAD alignments.
[[nodiscard]] int determine_vspace(context *ctx, const kelpx_handle *elf);
// Copies every qualifying section with file contents into vspace.
[[nodiscard]] int copy_sections(context *ctx, const kelpx_handle *elf);
