// osdep on POSIX systems: mapping the input, file identity, the temporary file that replaces an
// output, opening files, and the image buffer. Large files are mapped rather than copied, and the
// image comes from fresh zeroed pages, because page faults and copies, not the relocations, dominate
// the run time on large inputs.
#ifndef _WIN32

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
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

// The mapped input, for the SIGBUS handler: set before the handler is installed, cleared after.
uintptr_t mapped_start, mapped_end;
struct sigaction previous_sigbus;

void remove_temporary_files() {  // from a signal handler
    for (const char *volatile &slot : osdep_pending)
        if (const char *path = slot)
            unlink(path);
}

// Reading a page of the mapping that the file no longer covers (another process truncated it)
// raises SIGBUS. Report that like any unreadable input; leave other faults to the default action.
void on_sigbus(int, siginfo_t *info, void *) {
    auto addr = reinterpret_cast<uintptr_t>(info->si_addr);
    if (addr >= mapped_start && addr < mapped_end) {
        static const char message[] = "ERROR: Input file shrank while it was being read\n";
        ssize_t written = write(STDERR_FILENO, message, sizeof message - 1);
        (void)written;
        remove_temporary_files();
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

// The name that writing to path ends up at: symbolic links followed, a dangling one too (to the name
// it would create). False with errno set on a loop or an unreadable link.
bool resolve_links(const char *path, std::string *resolved) {
    *resolved = path;
    for (int hops = 0; hops < 40; hops++) {
        struct stat st;
        if (lstat(resolved->c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return true;
        std::string link(st.st_size > 0 ? static_cast<size_t>(st.st_size) + 1 : 4096, '\0');
        ssize_t length = readlink(resolved->c_str(), link.data(), link.size());
        if (length < 0)
            return false;
        if (static_cast<size_t>(length) >= link.size()) {
            errno = ENAMETOOLONG;  // the link changed while it was read
            return false;
        }
        link.resize(static_cast<size_t>(length));
        size_t slash = resolved->rfind('/');
        if (link.empty() || link[0] == '/' || slash == std::string::npos)
            *resolved = link;
        else
            *resolved = resolved->substr(0, slash + 1) + link;
    }
    errno = ELOOP;
    return false;
}

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

bool osdep_same_file(const char *path_a, const char *path_b) {
    try {
        std::string resolved_a, resolved_b;
        if (!resolve_links(path_a, &resolved_a) || !resolve_links(path_b, &resolved_b))
            return strcmp(path_a, path_b) == 0;
        const char *a = resolved_a.c_str(), *b = resolved_b.c_str();
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
        path_parts parts_a = split_path(a), parts_b = split_path(b);
        if (stat(parts_a.directory.c_str(), &st_a) != 0 || stat(parts_b.directory.c_str(), &st_b) != 0)
            return strcmp(a, b) == 0;
        return parts_a.name == parts_b.name && st_a.st_dev == st_b.st_dev && st_a.st_ino == st_b.st_ino;
    } catch (const std::bad_alloc &) {
        return strcmp(path_a, path_b) == 0;
    }
}

// Output

namespace {

// Removes the temporary files, then lets the signal end the process as it would have.
void on_fatal_signal(int sig) {
    remove_temporary_files();
    signal(sig, SIG_DFL);
    raise(sig);  // delivered when the handler returns
}

}  // namespace

void osdep_sys_guard_signals() {
    static bool guarded = false;
    if (guarded)
        return;
    guarded = true;
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction previous {};
        if (sigaction(sig, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN)
            continue;
        struct sigaction action {};
        action.sa_handler = on_fatal_signal;
        sigemptyset(&action.sa_mask);
        sigaction(sig, &action, nullptr);
    }
}

void osdep_sys_hold_signals(bool hold) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT), sigaddset(&set, SIGTERM), sigaddset(&set, SIGHUP);
    sigprocmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

FILE *osdep_sys_open_temp(const char *path, std::string *temp_path, std::string *target, bool *direct,
                          bool *exists) {
    // A file size limit makes a write fail with EFBIG instead of ending the process before it could
    // remove its temporary file.
    signal(SIGXFSZ, SIG_IGN);
    *direct = *exists = false;
    if (!resolve_links(path, target))
        return nullptr;
    struct stat st;
    mode_t mode;
    if (stat(target->c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) {
            *direct = true;
            return nullptr;
        }
        mode = st.st_mode & 07777;
        *exists = true;
    } else {
        mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;  // what creating the file would have given it
    }
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

// Randomness

void osdep_random_key(uint64_t key[2]) {
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    bool ok = fd >= 0 && read(fd, key, 2 * sizeof key[0]) == static_cast<ssize_t>(2 * sizeof key[0]);
    if (fd >= 0)
        close(fd);
    if (ok)
        return;
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    key[0] = static_cast<uint64_t>(now.tv_nsec) * 0x9e3779b97f4a7c15u ^ static_cast<uint64_t>(now.tv_sec);
    key[1] = reinterpret_cast<uintptr_t>(&now) ^ static_cast<uint64_t>(getpid()) << 32;
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
