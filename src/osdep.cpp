// The parts of osdep that every system shares: reading a copy of the input where it cannot be mapped,
// and writing an output through a temporary file. The system calls beneath them sit in osdep_posix.cpp
// and osdep_win32.cpp, behind osdep_sys.h.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "osdep.h"
#include "osdep_sys.h"

// Input

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

}  // namespace

int osdep_input_open(osdep_input *in, const char *path, bool copy, osdep_prefix_check check) {
    *in = osdep_input{};
    if (!copy && osdep_sys_map(in, path))
        return 0;
    return read_copy(in, path, check);
}

void osdep_input_close(osdep_input *in) {
    if (in->mapping != nullptr)
        osdep_sys_unmap(in);
    *in = osdep_input{};
}

// Output

const char *volatile osdep_pending[osdep_max_pending];

namespace {

void set_pending(const char *old_path, const char *new_path) {
    for (const char *volatile &slot : osdep_pending) {
        if (slot == old_path) {
            slot = new_path;
            return;
        }
    }
}

void remove_temp(osdep_output *out) {
    if (!out->temp_path.empty()) {
        int saved = errno;
        remove(out->temp_path.c_str());
        set_pending(out->temp_path.c_str(), nullptr);
        out->temp_path.clear();
        errno = saved;
    }
}

// A temporary file beside path, its name known to the signal handler before the file exists. -1 when
// none is made: *direct tells that path is no regular file, to be written directly; *exists that it
// is an existing regular file.
int open_temp(osdep_output *out, const char *path, bool *direct, bool *exists) {
    out->file = nullptr;
    out->temp_path.clear();
    out->target.clear();
    out->no_temp = false;
    osdep_sys_guard_signals();
    osdep_sys_hold_signals(true);
    try {
        out->file = osdep_sys_open_temp(path, &out->temp_path, &out->target, direct, exists);
    } catch (const std::bad_alloc &) {
        out->file = nullptr;
        errno = ENOMEM;
    }
    if (out->file != nullptr)
        set_pending(nullptr, out->temp_path.c_str());
    int saved = errno;
    osdep_sys_hold_signals(false);
    errno = saved;
    if (out->file != nullptr)
        return 0;
    out->temp_path.clear();
    return -1;
}

}  // namespace

int osdep_output_open(osdep_output *out, const char *path) {
    bool direct = false, exists = false;
    if (open_temp(out, path, &direct, &exists) == 0)
        return 0;
    if (!direct) {
        out->no_temp = exists;
        return -1;
    }
    out->file = osdep_fopen(path, "wb");
    return out->file != nullptr ? 0 : -1;
}

int osdep_output_close(osdep_output *out) {
    int closed = fclose(out->file);
    out->file = nullptr;
    if (closed != 0) {
        remove_temp(out);
        return -1;
    }
    return 0;
}

int osdep_output_commit(osdep_output *out) {
    if (out->temp_path.empty())
        return 0;
    if (osdep_sys_replace(out->temp_path.c_str(), out->target.c_str()) != 0) {
        remove_temp(out);
        return -1;
    }
    set_pending(out->temp_path.c_str(), nullptr);
    out->temp_path.clear();
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

// Image

int osdep_image_open(osdep_image *image, const char *path, uint32_t size, bool in_file) {
    image->bytes = nullptr;
    image->size = size;
    image->in_file = false;
    image->out.file = nullptr;
    image->error = 0;
    bool direct = false, exists = false;
    // An empty image has no pages to map; it is written as an empty file from memory.
    if (in_file && size != 0 && open_temp(&image->out, path, &direct, &exists) == 0) {
        image->bytes = osdep_sys_map_output(image->out.file, size);
        image->in_file = image->bytes != nullptr;
        if (image->in_file)
            return 0;
        osdep_output_discard(&image->out);
    }
    image->bytes = static_cast<uint8_t *>(osdep_aligned_alloc(osdep_get_pagesize(), size));
    return image->bytes != nullptr ? 0 : -1;
}

void osdep_image_put(osdep_image *image, uint32_t off, const uint8_t *src, uint32_t n) {
    if (!image->in_file) {
        memcpy(image->bytes + off, src, n);
        return;
    }
    if (image->error == 0 && osdep_sys_put(image->out.file, image->bytes, off, src, n) != 0)
        image->error = errno;
}

int osdep_image_finish(osdep_image *image) {
    osdep_sys_unmap_output(image->bytes, image->size);
    image->bytes = nullptr;
    if (image->error != 0) {
        osdep_output_discard(&image->out);
        errno = image->error;
        return -1;
    }
    return osdep_output_close(&image->out);
}

void osdep_image_close(osdep_image *image) {
    if (image->in_file) {
        if (image->bytes != nullptr)
            osdep_sys_unmap_output(image->bytes, image->size);
        osdep_output_discard(&image->out);  // nothing left to remove once renamed
    } else if (image->bytes != nullptr) {
        osdep_aligned_free(image->bytes, image->size);
    }
    image->bytes = nullptr;
    image->in_file = false;
}
