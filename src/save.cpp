// Writes the image and the entry-point file in binary mode, so nothing is translated on the way out.
#include "save.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "osdep.h"

namespace {

// One whole write, then a checked close: a close that fails (a full disk found when the last
// buffered bytes are flushed) means the file is incomplete. A regular target is replaced only by a
// complete file, at save_commit; on failure it keeps what it held.
int write_file(osdep_output *out, const char *path, const void *bytes, size_t size) {
    if (osdep_output_open(out, path) != 0) {
        if (out->no_temp)
            fprintf(stderr, "ERROR: Could not make a temporary file beside '%s', which stays as it was: %s\n", path,
                    strerror(errno));
        else
            fprintf(stderr, "ERROR: Could not open '%s' for write: %s\n", path, strerror(errno));
        return -1;
    }
    // An empty image is written as an empty file; fwrite of no bytes reports 0 items. The flush before
    // the close matters: some C libraries do not report a failed flush from fclose.
    if ((size != 0 && fwrite(bytes, size, 1, out->file) != 1) || fflush(out->file) != 0) {
        int saved_errno = errno;
        osdep_output_discard(out);
        fprintf(stderr, "ERROR: Could write: %s\n", strerror(saved_errno));
        return -1;
    }
    if (osdep_output_close(out) != 0) {
        fprintf(stderr, "ERROR: Could write: %s\n", strerror(errno));
        return -1;
    }
    return 0;
}

}  // namespace

int save(context *ctx, osdep_output *out) {
    if (!osdep_image_in_file(ctx->image))
        return write_file(out, ctx->output_path, ctx->vspace, ctx->image_size);
    ctx->vspace = nullptr;
    if (osdep_image_finish(ctx->image) != 0) {
        fprintf(stderr, "ERROR: Could write: %s\n", strerror(errno));
        return -1;
    }
    return 0;
}

int save_bytes(osdep_output *out, const char *path, const void *bytes, size_t size) {
    return write_file(out, path, bytes, size);
}

int save_address(osdep_output *out, const char *path, uint64_t value) {
    char line[64];
    int length = snprintf(line, sizeof line, "0x%" PRIx64 "\n", value);
    if (length < 0) {
        fputs("ERROR: Formatting error\n", stderr);
        return -1;
    }
    return write_file(out, path, line, static_cast<size_t>(length));
}

int save_commit(osdep_output *out) {
    if (osdep_output_commit(out) != 0) {
        fprintf(stderr, "ERROR: Could write: %s\n", strerror(errno));
        return -1;
    }
    return 0;
}
