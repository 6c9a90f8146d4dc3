// The relocation pipeline: from the loaded input to the saved image and entry-point files.
#pragma once

#include "context.h"
#include "kelpx.h"

// Runs every stage in order; 0 on success, 1 after the first failing stage has reported.
[[nodiscard]] int pieshift(context *ctx, const kelpx_handle *elf);
