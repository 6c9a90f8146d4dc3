// Page size, the image buffer, the input's bytes, file identity, opening files, and output files that
// replace their target only once complete: POSIX here, the Windows calls behind _WIN32.
// Large files are mapped rather than copied, and the image comes from fresh zeroed pages, because
// page faults and copies, not the relocations, dominate the run time on large inputs.
#include "osdep.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {

// What a copy is read to at most: a pipe or a device may never end, and an image of fewer than
// 4 GiB comes from far smaller files.
constexpr size_t max_copy_size = size_t{1} << 30;

// Reads the whole file through the C library: also serves pipes and devices, which have no size to
// trust and cannot be mapped. The first bytes are checked before the rest is read, so that a device
// full of zeros is refused at once.
int read_copy(osdep_input *in, const char *path, osdep_prefix_check check) {
    std::FILE *f = std::fopen(path, "rb");
    if (f == nullptr)
        return -1;
    bool ok = true;
    try {
        uint8_t chunk[65536];
        size_t first = check.accept != nullptr && check.size < sizeof chunk ? check.size : sizeof chunk;
        size_t n = std::fread(chunk, 1, first, f);
        ok = check.accept == nullptr || check.accept(chunk, n);
        for (; ok && n > 0 && in->copy.size() <= max_copy_size; n = std::fread(chunk, 1, sizeof chunk, f))
            in->copy.insert(in->copy.end(), chunk, chunk + n);
        ok = ok && in->copy.size() <= max_copy_size && std::ferror(f) == 0;
        if (!ok)
            errno = EINVAL;
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        ok = false;
    }
    std::fclose(f);
    if (!ok)
        return -1;
    in->bytes = in->copy.data();
    in->size = in->copy.size();
    return 0;
}

#ifndef _WIN32
size_t round_up(size_t size, size_t align) {
    return (size + align - 1) & ~(align - 1);
}

// Transparent huge pages cut the faults on a large image by 512; smaller ones are not worth it.
constexpr size_t huge_page = size_t{2} << 20;

// The mapped input, for the SIGBUS handler: set before the handler is installed, cleared after it
// is removed.
uintptr_t mapped_start, mapped_end;
struct sigaction previous_sigbus;

// Reading a page of the mapping that the file no longer covers (another process truncated it)
// raises SIGBUS. Report that like any unreadable input; leave other faults to the default action.
void on_sigbus(int, siginfo_t *info, void *) {
    auto addr = reinterpret_cast<uintptr_t>(info->si_addr);
    if (addr >= mapped_start && addr < mapped_end) {
        static const char message[] = "ERROR: Input file shrank while it was being read\n";
        ssize_t written = write(STDERR_FILENO, message, sizeof message - 1);
        (void)written;
        _exit(1);
    }
    signal(SIGBUS, SIG_DFL);  // the access is repeated on return and takes the default action
}

bool map_file(osdep_input *in, const char *path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    void *mapping = MAP_FAILED;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
        static_cast<uint64_t>(st.st_size) <= SIZE_MAX)
        mapping = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    close(fd);
    if (mapping == MAP_FAILED)
        return false;
    in->mapping = mapping;
    in->bytes = static_cast<const uint8_t *>(mapping);
    in->size = static_cast<uint64_t>(st.st_size);
    mapped_start = reinterpret_cast<uintptr_t>(mapping);
    mapped_end = mapped_start + static_cast<size_t>(st.st_size);
    struct sigaction action {};
    action.sa_sigaction = on_sigbus;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, &previous_sigbus);
    return true;
}

void unmap_file(osdep_input *in) {
    sigaction(SIGBUS, &previous_sigbus, nullptr);
    mapped_start = mapped_end = 0;
    munmap(in->mapping, static_cast<size_t>(in->size));
}
#else
// A mapped file cannot be truncated on Windows (the system refuses while a view exists), so the
// view never loses its pages.
bool map_file(osdep_input *in, const char *path) {
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

void unmap_file(osdep_input *in) {
    UnmapViewOfFile(in->mapping);
}

bool file_id(const char *path, BY_HANDLE_FILE_INFORMATION *info) {
    HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bool ok = GetFileInformationByHandle(file, info) != 0;
    CloseHandle(file);
    return ok;
}
#endif

}  // namespace

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
    // Committed pages come zeroed, aligned to the allocation granularity (64 KiB).
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    if (alignment > info.dwAllocationGranularity) {
        errno = EINVAL;
        return nullptr;
    }
    void *block = VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (block == nullptr)
        errno = ENOMEM;
    return block;
#else
    const size_t page = osdep_get_pagesize();
    size_t align = alignment > page ? alignment : page;
    const bool huge = bytes >= huge_page;
    if (huge && align < huge_page)
        align = huge_page;
    const size_t length = round_up(bytes, page);
    // Map enough to slide the start to the alignment, then give back both ends.
    if (length > SIZE_MAX - align) {
        errno = ENOMEM;
        return nullptr;
    }
    const size_t span = length + align - page;
    void *mapping = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED)
        return nullptr;
    auto start = reinterpret_cast<uintptr_t>(mapping);
    uintptr_t aligned = (start + align - 1) & ~(uintptr_t{align} - 1);
    if (aligned != start)
        munmap(mapping, aligned - start);
    if (start + span != aligned + length)
        munmap(reinterpret_cast<void *>(aligned + length), start + span - (aligned + length));
#ifdef MADV_HUGEPAGE
    if (huge)
        madvise(reinterpret_cast<void *>(aligned), length, MADV_HUGEPAGE);  // advice; ignored where not offered
#endif
    return reinterpret_cast<void *>(aligned);
#endif
}

void osdep_aligned_free(void *block, uint32_t size) {
#ifdef _WIN32
    (void)size;
    VirtualFree(block, 0, MEM_RELEASE);
#else
    munmap(block, round_up(size != 0 ? size : 1, osdep_get_pagesize()));
#endif
}

int osdep_input_open(osdep_input *in, const char *path, bool copy, osdep_prefix_check check) {
    *in = osdep_input{};
    if (!copy && map_file(in, path))
        return 0;
    return read_copy(in, path, check);
}

void osdep_input_close(osdep_input *in) {
    if (in->mapping != nullptr)
        unmap_file(in);
    *in = osdep_input{};
}

#ifdef _WIN32
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
#else
namespace {

// The directory part of path ("." when it has none) and its last component. Built by construction:
// g++ 12 at -O3 sees overlapping copies in an inlined string assignment that cannot happen.
struct path_parts {
    std::string directory, name;
};
path_parts split_path(const char *path) {
    const char *slash = strrchr(path, '/');
    if (slash == nullptr)
        return {std::string("."), std::string(path)};
    size_t directory_length = slash == path ? 1 : static_cast<size_t>(slash - path);
    return {std::string(path, directory_length), std::string(slash + 1)};
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
        path_parts parts_a = split_path(a), parts_b = split_path(b);
        if (stat(parts_a.directory.c_str(), &st_a) != 0 || stat(parts_b.directory.c_str(), &st_b) != 0)
            return strcmp(a, b) == 0;
        return parts_a.name == parts_b.name && st_a.st_dev == st_b.st_dev && st_a.st_ino == st_b.st_ino;
    } catch (const std::bad_alloc &) {
        return strcmp(a, b) == 0;
    }
}
#endif

namespace {

#ifdef _WIN32
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
        out->file = osdep_fopen(path, "wb");
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
