// What depends on the operating system: the page size, page-aligned allocation, and file identity.
#pragma once

#include <cstdint>

uint32_t osdep_get_pagesize();
// size bytes aligned to alignment (a power of two), not cleared; null with errno set on failure.
// A size of 0 still gives a distinct block that osdep_aligned_free accepts.
void *osdep_aligned_alloc(uint32_t alignment, uint32_t size);
void osdep_aligned_free(void *block);
// True when writing to path a and then to path b would replace the regular file written first: both
// name one existing regular file, or neither exists and both name one entry of one directory.
bool osdep_same_file(const char *a, const char *b);
