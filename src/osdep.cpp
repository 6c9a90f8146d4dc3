// Page size, the image buffer, the input's bytes and opening files: POSIX here, the Windows calls
// behind _WIN32.
// Large files are mapped rather than copied, and the image comes from fresh zeroed pages, because
// page faults and copies, not the relocations, dominate the run time on large inputs.
#include "osdep.h"

#include <cerrno>
#include <cstdio>
#include <new>

#ifdef _WIN32
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// Reads the whole file through the C library: also serves pipes and devices, which have no size to
// trust and cannot be mapped.
int read_copy(osdep_input *in, const char *path) {
    std::FILE *f = std::fopen(path, "rb");
    if (f == nullptr)
        return -1;
    bool ok = true;
    try {
        uint8_t chunk[65536];
        size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0)
            in->copy.insert(in->copy.end(), chunk, chunk + n);
        ok = std::ferror(f) == 0;
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

int osdep_input_open(osdep_input *in, const char *path, bool copy) {
    *in = osdep_input{};
    if (!copy && map_file(in, path))
        return 0;
    return read_copy(in, path);
}

void osdep_input_close(osdep_input *in) {
    if (in->mapping != nullptr)
        unmap_file(in);
    *in = osdep_input{};
}

bool osdep_same_file(const char *a, const char *b) {
#ifdef _WIN32
    BY_HANDLE_FILE_INFORMATION ia, ib;
    return file_id(a, &ia) && file_id(b, &ib) && ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
           ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
#else
    struct stat sa, sb;
    return stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
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
