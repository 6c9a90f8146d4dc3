// What depends on the operating system: the input's bytes, file identity, output files that replace
// their target only once complete, and the image buffer. osdep.cpp holds what every system shares;
// osdep_posix.cpp and osdep_win32.cpp the system calls behind it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Input

// The bytes of an input file: a read-only mapping where the system can map the file, or a copy read
// into memory (pipes, devices, or when asked for).
struct osdep_input {
    const uint8_t *bytes;
    uint64_t size;
    void *mapping;               // null when the bytes are the copy
    std::vector<uint8_t> copy;
};

// Tells from the first bytes of a file whether the rest is worth reading; none when accept is null.
struct osdep_prefix_check {
    uint32_t size;
    bool (*accept)(const uint8_t *bytes, uint64_t size);
};
// Fills in from path; copy forces a private copy. A copy is refused when its first check.size bytes
// fail the check, before the rest is read, and read to 1 GiB at most: a pipe or a device may never
// end. 0, or -1 with errno set when the file cannot be read or is refused.
// While a mapping is held, a file that shrinks underneath ends the process with one "ERROR: " line
// and status 1 instead of a crash.
[[nodiscard]] int osdep_input_open(osdep_input *in, const char *path, bool copy, osdep_prefix_check check = {});
void osdep_input_close(osdep_input *in);
// fopen that refuses a directory the same way on every system: null with errno EISDIR.
FILE *osdep_fopen(const char *path, const char *mode);

// File identity

// True when writing to path a and then to path b would replace the regular file written first: both
// name one existing regular file (through links too), or neither exists and both name one entry of
// one directory.
bool osdep_same_file(const char *a, const char *b);

// Output

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

// Memory

uint32_t osdep_get_pagesize();
// size bytes aligned to alignment (a power of two), zero-filled: pages fresh from the system, so that
// nothing has to clear them and pages that stay zero cost nothing. Null with errno set on failure.
// A size of 0 still gives a distinct block that osdep_aligned_free accepts.
void *osdep_aligned_alloc(uint32_t alignment, uint32_t size);
// Releases a block from osdep_aligned_alloc; size as given there.
void osdep_aligned_free(void *block, uint32_t size);
