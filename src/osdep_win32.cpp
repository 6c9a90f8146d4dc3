// osdep on Windows, in the order of osdep_posix.cpp: mapping the input, file identity, the temporary
// file that replaces an output, opening files, and the image buffer.
#ifdef _WIN32

// Declares rand_s, the C library's call into the system's random source.
#define _CRT_RAND_S
#include <stdlib.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "osdep.h"
#include "osdep_sys.h"

// Input

// A mapped file cannot be truncated on Windows (the system refuses while a view exists), so the
// view never loses its pages.
bool osdep_sys_map(osdep_input *in, const char *path) {
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER size;
    void *view = nullptr;
    if (GetFileType(file) == FILE_TYPE_DISK && GetFileSizeEx(file, &size) && size.QuadPart > 0 &&
        static_cast<uint64_t>(size.QuadPart) <= SIZE_MAX) {
        HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
        if (mapping != nullptr) {
            view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
            CloseHandle(mapping);  // the view keeps the mapping alive
        }
    }
    CloseHandle(file);
    if (view == nullptr)
        return false;
    in->mapping = view;
    in->bytes = static_cast<const uint8_t *>(view);
    in->size = static_cast<uint64_t>(size.QuadPart);
    return true;
}

void osdep_sys_unmap(osdep_input *in) {
    UnmapViewOfFile(in->mapping);
}

// Windows refuses to open a directory with "access denied"; say what the trouble is.
FILE *osdep_fopen(const char *path, const char *mode) {
    FILE *f = fopen(path, mode);
    struct _stat64 st;
    if (f == nullptr && errno == EACCES && _stat64(path, &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFDIR)
        errno = EISDIR;
    return f;
}

// File identity

namespace {

bool file_id(const char *path, BY_HANDLE_FILE_INFORMATION *info) {
    HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bool ok = GetFileInformationByHandle(file, info) != 0;
    CloseHandle(file);
    return ok;
}

}  // namespace

bool osdep_same_file(const char *a, const char *b) {
    // Devices (NUL, CON) take any number of writes; only a regular file loses what was written first.
    struct _stat64 st;
    if (_stat64(a, &st) == 0 && (st.st_mode & _S_IFREG) == 0)
        return false;
    BY_HANDLE_FILE_INFORMATION ia, ib;
    bool has_a = file_id(a, &ia), has_b = file_id(b, &ib);
    if (has_a && has_b)
        return ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber && ia.nFileIndexHigh == ib.nFileIndexHigh &&
               ia.nFileIndexLow == ib.nFileIndexLow;
    if (has_a || has_b)
        return false;
    // Neither exists yet: compare the full paths, as the file system does, without regard to case.
    char full_a[_MAX_PATH], full_b[_MAX_PATH];
    if (_fullpath(full_a, a, sizeof full_a) == nullptr || _fullpath(full_b, b, sizeof full_b) == nullptr)
        return strcmp(a, b) == 0;
    return _stricmp(full_a, full_b) == 0;
}

// Output

namespace {

// True when path names something that is not a plain file on disk: a device such as NUL or CON, a
// pipe, a console, a directory (refused when opened). Names that do not exist yet are plain files to be.
bool written_directly(const char *path) {
    HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info;
    bool direct = GetFileType(h) != FILE_TYPE_DISK ||
                  (GetFileInformationByHandle(h, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
    CloseHandle(h);
    return direct;
}

// Removes the temporary files, then lets the signal end the process as it would have. Windows has
// no SIGHUP; closing the console raises SIGBREAK's relative, which the C library does not report.
void on_fatal_signal(int sig) {
    for (const char *volatile &slot : osdep_pending) {
        const char *path = slot;
        if (path != nullptr)
            _unlink(path);
    }
    signal(sig, SIG_DFL);
    raise(sig);
}

}  // namespace

void osdep_sys_guard_signals() {
    static bool guarded = false;
    if (guarded)
        return;
    guarded = true;
    for (int sig : {SIGINT, SIGTERM, SIGBREAK}) {
        if (signal(sig, on_fatal_signal) == SIG_IGN)
            signal(sig, SIG_IGN);
    }
}

// The C library offers no way to hold its signals back: the short window between making the file and
// registering its name stays open here.
void osdep_sys_hold_signals(bool) {}

FILE *osdep_sys_open_temp(const char *path, std::string *temp_path, std::string *target, bool *direct,
                          bool *exists) {
    *direct = written_directly(path);
    if (*direct)
        return nullptr;
    *exists = GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
    *target = path;
    for (int attempt = 0; attempt < 100; attempt++) {
        std::string name = *target + ".XXXXXX";
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

int osdep_sys_replace(const char *temp_path, const char *target) {
    if (MoveFileExA(temp_path, target, MOVEFILE_REPLACE_EXISTING) != 0)
        return 0;
    errno = EACCES;
    return -1;
}

// Image

// The image is built in memory and written when complete.
uint8_t *osdep_sys_map_output(FILE *, uint32_t) {
    return nullptr;
}

void osdep_sys_unmap_output(uint8_t *, uint32_t) {}

int osdep_sys_put(FILE *, uint8_t *, uint64_t, const uint8_t *, size_t) {
    errno = ENOSYS;
    return -1;
}

void osdep_advise_sequential(const uint8_t *, uint64_t) {}

// Randomness

void osdep_random_key(uint64_t key[2]) {
    for (int i = 0; i < 2; i++) {
        unsigned high = 0, low = 0;
        if (rand_s(&high) != 0 || rand_s(&low) != 0) {
            LARGE_INTEGER counter;
            QueryPerformanceCounter(&counter);
            high = static_cast<unsigned>(counter.QuadPart) ^ GetCurrentProcessId();
            low = static_cast<unsigned>(reinterpret_cast<uintptr_t>(&counter)) ^ static_cast<unsigned>(i);
        }
        key[i] = uint64_t{high} << 32 | low;
    }
}

// Memory

uint32_t osdep_get_pagesize() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return static_cast<uint32_t>(info.dwPageSize);
}

void *osdep_aligned_alloc(uint32_t alignment, uint32_t size) {
    // Committed pages come zeroed, aligned to the allocation granularity (64 KiB). An empty image is
    // valid; ask for one byte so that the block is real.
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    if (alignment > info.dwAllocationGranularity) {
        errno = EINVAL;
        return nullptr;
    }
    void *block = VirtualAlloc(nullptr, size != 0 ? size : 1, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (block == nullptr)
        errno = ENOMEM;
    return block;
}

void osdep_aligned_free(void *block, uint32_t) {
    VirtualFree(block, 0, MEM_RELEASE);
}

#endif  // _WIN32
