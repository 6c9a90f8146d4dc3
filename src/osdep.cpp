// Page size, aligned allocation and opening files: POSIX here, the Windows calls behind _WIN32.
#include "osdep.h"

#include <cerrno>
#include <cstdlib>

#include <sys/stat.h>

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

FILE *osdep_fopen(const char *path, const char *mode) {
    FILE *f = fopen(path, mode);
#ifdef _WIN32
    // Windows refuses to open a directory with "access denied"; say what the trouble is.
    struct _stat64 st;
    if (f == nullptr && errno == EACCES && _stat64(path, &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFDIR)
        errno = EISDIR;
#else
    // POSIX opens a directory for reading and fails only at the first read; fail at once, as above.
    struct stat st;
    if (f != nullptr && fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) {
        fclose(f);
        f = nullptr;
        errno = EISDIR;
    }
#endif
    return f;
}
