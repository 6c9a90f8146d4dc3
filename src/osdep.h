// What depends on the operating system: the page size, the image buffer, the input's bytes, and
// opening the other files.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

uint32_t osdep_get_pagesize();
// size bytes aligned to alignment (a power of two), zero-filled: pages fresh from the system, so that
// nothing has to clear them and pages that stay zero cost nothing. Null with errno set on failure.
// A size of 0 still gives a distinct block that osdep_aligned_free accepts.
void *osdep_aligned_alloc(uint32_t alignment, uint32_t size);
// Releases a block from osdep_aligned_alloc; size as given there.
void osdep_aligned_free(void *block, uint32_t size);

// The bytes of an input file: a read-only mapping where the system can map the file, or a copy read
// into memory (pipes, devices, or when asked for).
struct osdep_input {
    const uint8_t *bytes;
    uint64_t size;
    void *mapping;               // null when the bytes are the copy
    std::vector<uint8_t> copy;
};

// Fills in from path; copy forces a private copy. 0, or -1 with errno set when the file cannot be read.
// While a mapping is held, a file that shrinks underneath ends the process with one "ERROR: " line
// and status 1 instead of a crash.
[[nodiscard]] int osdep_input_open(osdep_input *in, const char *path, bool copy);
void osdep_input_close(osdep_input *in);
// True when both paths name one existing file (through links too).
bool osdep_same_file(const char *a, const char *b);
// fopen that refuses a directory the same way on every system: null with errno EISDIR.
FILE *osdep_fopen(const char *path, const char *mode);
