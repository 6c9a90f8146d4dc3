// Page size and aligned allocation: POSIX here, the Windows calls behind _WIN32.
#include "osdep.h"

#include <cerrno>
#include <cstdlib>

#ifdef _WIN32
#include <malloc.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

uint32_t osdep_get_pagesize() {
#ifdef _WIN32
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return static_cast<uint32_t>(info.dwPageSize);
#else
    long pagesize = sysconf(_SC_PAGESIZE);
    return pagesize > 0 ? static_cast<uint32_t>(pagesize) : 4096u;
#endif
}

void *osdep_aligned_alloc(uint32_t alignment, uint32_t size) {
    // An empty image is valid; ask for one byte so that the block is real.
    size_t bytes = size != 0 ? size : 1;
#ifdef _WIN32
    return _aligned_malloc(bytes, alignment);  // sets errno on failure
#else
    void *block = nullptr;
    size_t align = alignment >= sizeof(void *) ? alignment : sizeof(void *);
    int rc = posix_memalign(&block, align, bytes);
    if (rc != 0) {
        errno = rc;  // posix_memalign reports through its result, not errno
        return nullptr;
    }
    return block;
#endif
}

void osdep_aligned_free(void *block) {
#ifdef _WIN32
    _aligned_free(block);
#else
    free(block);
#endif
}
