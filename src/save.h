// The two output files: the image and the relocated entry point.
#pragma once

#include <cstddef>
#include <cstdint>

#include "context.h"

// Writes image_size bytes of vspace to output_path.
[[nodiscard]] int save(context *ctx);
// Writes size bytes to path, as save writes the image.
[[nodiscard]] int save_bytes(const char *path, const void *bytes, size_t size);
// Writes "0x<hex>\n" to path.
[[nodiscard]] int save_address(context *ctx, const char *path, uint64_t value);
