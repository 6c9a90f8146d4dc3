// Page size, aligned allocation and file identity: POSIX here, the Windows calls behind _WIN32.
#include "osdep.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

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

#ifdef _WIN32
bool osdep_same_file(const char *a, const char *b) {
    // Devices (NUL, CON) take any number of writes; only a regular file loses what was written first.
    struct _stat64 st;
    if (_stat64(a, &st) == 0 && (st.st_mode & _S_IFREG) == 0)
        return false;
    // No inode numbers here: compare the full paths, as the file system does, without regard to case.
    char full_a[_MAX_PATH], full_b[_MAX_PATH];
    if (_fullpath(full_a, a, sizeof full_a) == nullptr || _fullpath(full_b, b, sizeof full_b) == nullptr)
        return strcmp(a, b) == 0;
    return _stricmp(full_a, full_b) == 0;
}
#else
namespace {

// The directory part of path ("." when it has none) and its last component.
void split_path(const char *path, std::string *directory, std::string *name) {
    const char *slash = strrchr(path, '/');
    if (slash == nullptr) {
        *directory = ".";
        *name = path;
        return;
    }
    *directory = slash == path ? std::string("/") : std::string(path, static_cast<size_t>(slash - path));
    *name = slash + 1;
}

}  // namespace

bool osdep_same_file(const char *a, const char *b) {
    struct stat st_a, st_b;
    bool has_a = stat(a, &st_a) == 0;
    bool has_b = stat(b, &st_b) == 0;
    // A device or FIFO takes both writes in turn (/dev/stdout, /dev/null); only a regular file would
    // lose what was written first.
    if (has_a && has_b)
        return S_ISREG(st_a.st_mode) && st_a.st_dev == st_b.st_dev && st_a.st_ino == st_b.st_ino;
    if (has_a || has_b)
        return false;
    // Neither exists yet: one name in one directory, however the directory is spelt.
    try {
        std::string dir_a, name_a, dir_b, name_b;
        split_path(a, &dir_a, &name_a);
        split_path(b, &dir_b, &name_b);
        if (stat(dir_a.c_str(), &st_a) != 0 || stat(dir_b.c_str(), &st_b) != 0)
            return strcmp(a, b) == 0;
        return name_a == name_b && st_a.st_dev == st_b.st_dev && st_a.st_ino == st_b.st_ino;
    } catch (const std::bad_alloc &) {
        return strcmp(a, b) == 0;
    }
}
#endif
