// What depends on the operating system: the page size, page-aligned allocation, file identity, and
// output files that replace their target only once complete.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

uint32_t osdep_get_pagesize();
// size bytes aligned to alignment (a power of two), not cleared; null with errno set on failure.
// A size of 0 still gives a distinct block that osdep_aligned_free accepts.
void *osdep_aligned_alloc(uint32_t alignment, uint32_t size);
void osdep_aligned_free(void *block);
// True when writing to path a and then to path b would replace the regular file written first: both
// name one existing regular file, or neither exists and both name one entry of one directory.
bool osdep_same_file(const char *a, const char *b);

// An output file being written. A regular file (or a name not yet taken) is written to a temporary
// file beside it, renamed over it by osdep_output_commit; anything else (a terminal, a FIFO, a device)
// is written directly, as it cannot be replaced.
struct osdep_output {
    FILE *file;
    std::string temp_path;  // empty when written directly
    std::string target;     // the name the temporary file takes
};
// Opens path for binary writing; -1 with errno set on failure.
[[nodiscard]] int osdep_output_open(osdep_output *out, const char *path);
// Closes the file and, for a temporary file, renames it over its target. -1 with errno set when the
// close or the rename fails: the temporary file is then removed and the target left as it was.
[[nodiscard]] int osdep_output_commit(osdep_output *out);
// Closes the file and removes a temporary file; the target stays as it was.
void osdep_output_discard(osdep_output *out);
