// The two output files: the image and the relocated entry point.
#pragma once

#include <cstddef>
#include <cstdint>

#include "context.h"
#include "osdep.h"

// Each writes a complete file that takes its name only at save_commit, so that the image and the entry
// file are either both replaced or neither is.
// Writes image_size bytes of vspace to output_path, through out. An image built inside its temporary
// file is only closed: out is then that file, ctx->image->out.
[[nodiscard]] int save(context *ctx, osdep_output *out);
// Writes size bytes to path, as save writes the image.
[[nodiscard]] int save_bytes(osdep_output *out, const char *path, const void *bytes, size_t size);
// Writes "0x<hex>\n" to path.
[[nodiscard]] int save_address(osdep_output *out, const char *path, uint64_t value);
// Gives a written file its name; -1 after a message.
[[nodiscard]] int save_commit(osdep_output *out);
