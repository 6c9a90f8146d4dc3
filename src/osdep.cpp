// Page size, aligned allocation and file identity: POSIX here, the Windows calls behind _WIN32.
#include "osdep.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <malloc.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
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

namespace {

#ifdef _WIN32
// True when path names something that is not a plain file on disk: a device such as NUL or CON, a
// pipe, a console. Names that do not exist yet are plain files to be.
bool written_directly(const char *path) {
    HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    bool direct = GetFileType(h) != FILE_TYPE_DISK;
    CloseHandle(h);
    return direct;
}

FILE *open_temp(std::string *temp_path, const std::string &target) {
    for (int attempt = 0; attempt < 100; attempt++) {
        std::string name = target + ".XXXXXX";
        if (_mktemp_s(name.data(), name.size() + 1) != 0)
            return nullptr;
        int fd = _open(name.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            return nullptr;
        }
        FILE *f = _fdopen(fd, "wb");
        if (f == nullptr) {
            _close(fd);
            _unlink(name.c_str());
            return nullptr;
        }
        *temp_path = name;
        return f;
    }
    return nullptr;
}

int replace(const char *temp_path, const char *target) {
    if (MoveFileExA(temp_path, target, MOVEFILE_REPLACE_EXISTING) != 0)
        return 0;
    errno = EACCES;
    return -1;
}
#else
// Whether path is written directly, and the name to replace: a symbolic link is followed, so that
// the file it names gets the new contents, not the link a new file.
bool written_directly(const char *path, std::string *target, mode_t *mode) {
    struct stat st;
    if (stat(path, &st) != 0) {
        *target = path;
        mode_t mask = umask(0);
        umask(mask);
        *mode = 0666 & ~mask;  // what creating the file would have given it
        return false;
    }
    if (!S_ISREG(st.st_mode))
        return true;
    char *resolved = realpath(path, nullptr);
    *target = resolved != nullptr ? resolved : path;
    free(resolved);
    *mode = st.st_mode & 07777;
    return false;
}

FILE *open_temp(std::string *temp_path, const std::string &target, mode_t mode) {
    std::string name = target + ".XXXXXX";
    int fd = mkstemp(name.data());
    if (fd < 0)
        return nullptr;
    FILE *f = fchmod(fd, mode) == 0 ? fdopen(fd, "wb") : nullptr;
    if (f == nullptr) {
        int saved = errno;
        close(fd);
        unlink(name.c_str());
        errno = saved;
        return nullptr;
    }
    *temp_path = name;
    return f;
}

int replace(const char *temp_path, const char *target) {
    return rename(temp_path, target);
}
#endif

void remove_temp(osdep_output *out) {
    if (!out->temp_path.empty()) {
        int saved = errno;
        remove(out->temp_path.c_str());
        errno = saved;
    }
}

}  // namespace

int osdep_output_open(osdep_output *out, const char *path) {
    out->file = nullptr;
    out->temp_path.clear();
    out->target.clear();
    try {
#ifdef _WIN32
        bool direct = written_directly(path);
        out->target = path;
        if (!direct)
            out->file = open_temp(&out->temp_path, out->target);
#else
        // A file size limit makes a write fail with EFBIG instead of ending the process before it
        // could remove its temporary file.
        signal(SIGXFSZ, SIG_IGN);
        mode_t mode = 0;
        bool direct = written_directly(path, &out->target, &mode);
        if (!direct)
            out->file = open_temp(&out->temp_path, out->target, mode);
#endif
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        return -1;
    }
    // Where no file can be made beside the target (a directory we may not write to, though the file
    // itself is writable), write in place as before.
    if (out->file == nullptr) {
        out->temp_path.clear();
        out->file = fopen(path, "wb");
    }
    return out->file != nullptr ? 0 : -1;
}

int osdep_output_commit(osdep_output *out) {
    int closed = fclose(out->file);
    out->file = nullptr;
    if (closed != 0 || (!out->temp_path.empty() && replace(out->temp_path.c_str(), out->target.c_str()) != 0)) {
        remove_temp(out);
        return -1;
    }
    return 0;
}

void osdep_output_discard(osdep_output *out) {
    if (out->file != nullptr) {
        int saved = errno;
        fclose(out->file);
        errno = saved;
        out->file = nullptr;
    }
    remove_temp(out);
}
