// What depends on the operating system: the page size and page-aligned allocation.
#pragma once

#include <cstdint>
#include <cstdio>

uint32_t osdep_get_pagesize();
// size bytes aligned to alignment (a power of two), not cleared; null with errno set on failure.
// A size of 0 still gives a distinct block that osdep_aligned_free accepts.
void *osdep_aligned_alloc(uint32_t alignment, uint32_t size);
void osdep_aligned_free(void *block);
// fopen that refuses a directory the same way on every system: null with errno EISDIR.
FILE *osdep_fopen(const char *path, const char *mode);
