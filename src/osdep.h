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
// name one existing regular file, or neither exists and both name one entry of one directory.
// Symbolic links are followed first, dangling ones too, as writing would follow them.
bool osdep_same_file(const char *a, const char *b);

// Output

// An output file being written. A regular file (or a name not yet taken) is written to a temporary
// file beside it, renamed over it by osdep_output_commit, so that no failure or signal leaves it half
// written; anything else (a terminal, a FIFO, a device) is written directly, as it cannot be replaced.
// A symbolic link is followed, so the file it names gets the contents. A temporary file not yet
// renamed is removed when SIGINT, SIGTERM or SIGHUP ends the process.
struct osdep_output {
    FILE *file;
    std::string temp_path;  // empty when written directly
    std::string target;     // the name the temporary file takes
    bool no_temp;           // set when opening failed because no temporary file could be made
};
// Opens path for binary writing; -1 with errno set on failure. A regular file is never written in
// place: when no temporary file can be made beside it, this fails (no_temp) and the file stays as it was.
[[nodiscard]] int osdep_output_open(osdep_output *out, const char *path);
// Closes the file; -1 with errno set when the close fails, and then the temporary file is removed.
[[nodiscard]] int osdep_output_close(osdep_output *out);
// Renames a closed temporary file over its target. -1 with errno set when the rename fails: the
// temporary file is then removed and the target left as it was.
[[nodiscard]] int osdep_output_commit(osdep_output *out);
// Closes the file if open and removes a temporary file; the target stays as it was.
void osdep_output_discard(osdep_output *out);

// Image

// The image being built. Where the output is a regular file that a temporary file replaces, and the
// system can reserve the file's blocks and map it shared, the image is built inside that temporary
// file: section bytes go in by the kernel, relocations patch the mapped pages, and what nothing covers
// is never written. Elsewhere (devices, pipes, other systems, no room for the file) it is zeroed memory
// that save writes out when complete; either way the bytes are the same.
struct osdep_image {
    uint8_t *bytes;     // size bytes, zero where nothing was put
    uint32_t size;
    bool in_file;       // bytes map the temporary file of out
    osdep_output out;
    int error;          // errno of the first put that failed, reported by osdep_image_finish
};
// Opens an image of size bytes for the output path; in_file false keeps it in memory. -1 with errno set
// only when the memory cannot be had: where the file cannot be used, the image falls back to memory.
[[nodiscard]] int osdep_image_open(osdep_image *image, const char *path, uint32_t size, bool in_file);
inline bool osdep_image_in_file(const osdep_image *image) { return image->in_file; }
// Puts n bytes from src (in the input) at offset off of the image, which must hold them.
void osdep_image_put(osdep_image *image, uint32_t off, const uint8_t *src, uint32_t n);
// For an image in its file: unmaps it and closes the file, which then waits in out for
// osdep_output_commit. -1 with errno set when a put failed or the close does; the temporary file is
// then removed and the output left as it was.
[[nodiscard]] int osdep_image_finish(osdep_image *image);
// Releases the image; a temporary file not renamed is removed.
void osdep_image_close(osdep_image *image);

// Advice that [bytes, bytes + size) of a mapped input is about to be read once, front to back.
void osdep_advise_sequential(const uint8_t *bytes, uint64_t size);

// Randomness

// Fills key with bytes from the system's random source, for hashes that a crafted input must not be
// able to collide; where that source fails, with the clock and addresses mixed, which differ per run.
void osdep_random_key(uint64_t key[2]);

// Memory

uint32_t osdep_get_pagesize();
// size bytes aligned to alignment (a power of two), zero-filled: pages fresh from the system, so that
// nothing has to clear them and pages that stay zero cost nothing. Null with errno set on failure.
// A size of 0 still gives a distinct block that osdep_aligned_free accepts.
void *osdep_aligned_alloc(uint32_t alignment, uint32_t size);
// Releases a block from osdep_aligned_alloc; size as given there.
void osdep_aligned_free(void *block, uint32_t size);
