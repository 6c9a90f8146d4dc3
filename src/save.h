// The two output files: the image and the relocated entry point.
#pragma once

#include <cstdint>

#include "context.h"

// Writes vspace_size bytes of vspace to output_path.
[[nodiscard]] int save(context *ctx);
// Writes "0x<hex>\n" to path.
[[nodiscard]] int save_address(const char *path, uint64_t value);
