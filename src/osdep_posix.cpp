// osdep on POSIX systems: mapping the input, file identity, the temporary file that replaces an
// output, opening files, and the image buffer. Large files are mapped rather than copied, and the
// image comes from fresh zeroed pages, because page faults and copies, not the relocations, dominate
// the run time on large inputs.
#ifndef _WIN32

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "osdep.h"
#include "osdep_sys.h"

// Input

namespace {

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

}  // namespace

bool osdep_sys_map(osdep_input *in, const char *path) {
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

void osdep_sys_unmap(osdep_input *in) {
    sigaction(SIGBUS, &previous_sigbus, nullptr);
    mapped_start = mapped_end = 0;
    munmap(in->mapping, static_cast<size_t>(in->size));
}

// POSIX opens a directory for reading and fails only at the first read; fail at once, as Windows does.
FILE *osdep_fopen(const char *path, const char *mode) {
    FILE *f = fopen(path, mode);
    struct stat st;
    if (f != nullptr && fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) {
        fclose(f);
        f = nullptr;
        errno = EISDIR;
    }
    return f;
}

// File identity

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

// Output

namespace {

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

}  // namespace

FILE *osdep_sys_open_temp(const char *path, std::string *temp_path, std::string *target) {
    // A file size limit makes a write fail with EFBIG instead of ending the process before it could
    // remove its temporary file.
    signal(SIGXFSZ, SIG_IGN);
    mode_t mode = 0;
    if (written_directly(path, target, &mode))
        return nullptr;
    std::string name = *target + ".XXXXXX";
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

int osdep_sys_replace(const char *temp_path, const char *target) {
    return rename(temp_path, target);
}

// Image

uint8_t *osdep_sys_map_output(FILE *f, uint32_t size) {
#ifdef __linux__
    int fd = fileno(f);
    // Blocks written back from a shared mapping have no one to report a full disk to: the pages are
    // lost, or a fault raises SIGBUS. Reserved first, they cannot run out. Where they cannot be
    // reserved the image is built in memory.
    if (fallocate(fd, 0, 0, static_cast<off_t>(size)) != 0)
        return nullptr;
    void *mapping = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return mapping != MAP_FAILED ? static_cast<uint8_t *>(mapping) : nullptr;
#else
    // posix_fallocate is missing on some systems, and elsewhere writes every block where the file
    // system cannot reserve them: memory serves as well.
    (void)f;
    (void)size;
    return nullptr;
#endif
}

void osdep_sys_unmap_output(uint8_t *bytes, uint32_t size) {
    munmap(bytes, size);
}

namespace {

// Maps the pages of [bytes, bytes + size) ahead of use, in one call instead of a fault per page (and
// a fault costs far more under some hypervisors). Advice only: older systems refuse it.
void populate(const uint8_t *bytes, size_t size, [[maybe_unused]] bool write) {
#ifdef MADV_POPULATE_WRITE
    const uintptr_t page = osdep_get_pagesize();
    const uintptr_t start = reinterpret_cast<uintptr_t>(bytes) & ~(page - 1);
    const uintptr_t end = reinterpret_cast<uintptr_t>(bytes) + size;
    madvise(reinterpret_cast<void *>(start), end - start, write ? MADV_POPULATE_WRITE : MADV_POPULATE_READ);
#else
    (void)bytes;
    (void)size;
#endif
}

}  // namespace

int osdep_sys_put(FILE *f, uint8_t *mapping, uint64_t off, const uint8_t *src, size_t n) {
    int fd = fileno(f);
    populate(src, n, false);
    // Relocations patch these pages next.
    uint8_t *dest = mapping + off;
    const size_t dest_size = n;
    while (n > 0) {
        ssize_t written = pwrite(fd, src, n, static_cast<off_t>(off));
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && errno == EFAULT) {
            // The input shrank under its mapping. Copied through the output's mapping, the read
            // faults as any other read of the input does, and is reported the same way.
            memcpy(mapping + off, src, n);
            break;
        }
        if (written <= 0) {
            if (written == 0)
                errno = EIO;
            return -1;
        }
        src += written;
        off += static_cast<uint64_t>(written);
        n -= static_cast<size_t>(written);
    }
    populate(dest, dest_size, true);
    return 0;
}

void osdep_advise_sequential(const uint8_t *bytes, uint64_t size) {
    const uintptr_t page = osdep_get_pagesize();
    const auto start = reinterpret_cast<uintptr_t>(bytes) & ~(page - 1);
    const uintptr_t end = reinterpret_cast<uintptr_t>(bytes) + static_cast<uintptr_t>(size);
    // Advice only: a range that is not mapped, or a system that does not take it, changes nothing.
    madvise(reinterpret_cast<void *>(start), end - start, MADV_SEQUENTIAL);
    madvise(reinterpret_cast<void *>(start), end - start, MADV_WILLNEED);
}

// Memory

namespace {

size_t round_up(size_t size, size_t align) {
    return (size + align - 1) & ~(align - 1);
}

// Transparent huge pages cut the faults on a large image by 512; smaller ones are not worth it.
constexpr size_t huge_page = size_t{2} << 20;

}  // namespace

uint32_t osdep_get_pagesize() {
    long pagesize = sysconf(_SC_PAGESIZE);
    return pagesize > 0 ? static_cast<uint32_t>(pagesize) : 4096u;
}

void *osdep_aligned_alloc(uint32_t alignment, uint32_t size) {
    // An empty image is valid; ask for one byte so that the block is real.
    const size_t bytes = size != 0 ? size : 1;
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
}

void osdep_aligned_free(void *block, uint32_t size) {
    munmap(block, round_up(size != 0 ? size : 1, osdep_get_pagesize()));
}

#endif  // !_WIN32
