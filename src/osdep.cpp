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

namespace {

void remove_temp(osdep_output *out) {
    if (!out->temp_path.empty()) {
        int saved = errno;
        remove(out->temp_path.c_str());
        errno = saved;
    }
}

// A temporary file beside path; -1 when path is written directly or no file can be made beside it.
int open_temp(osdep_output *out, const char *path) {
    out->file = nullptr;
    out->temp_path.clear();
    out->target.clear();
    try {
        out->file = osdep_sys_open_temp(path, &out->temp_path, &out->target);
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        return -1;
    }
    return out->file != nullptr ? 0 : -1;
}

}  // namespace

int osdep_output_open(osdep_output *out, const char *path) {
    out->file = nullptr;
    out->temp_path.clear();
    out->target.clear();
    try {
        out->file = osdep_sys_open_temp(path, &out->temp_path, &out->target);
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
    if (closed != 0 ||
        (!out->temp_path.empty() && osdep_sys_replace(out->temp_path.c_str(), out->target.c_str()) != 0)) {
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

// Image

int osdep_image_open(osdep_image *image, const char *path, uint32_t size, bool in_file) {
    image->bytes = nullptr;
    image->size = size;
    image->out.file = nullptr;
    image->error = 0;
    // An empty image has no pages to map; it is written as an empty file from memory.
    if (in_file && size != 0 && open_temp(&image->out, path) == 0) {
        image->bytes = osdep_sys_map_output(image->out.file, size);
        if (image->bytes != nullptr)
            return 0;
        osdep_output_discard(&image->out);
    }
    image->bytes = static_cast<uint8_t *>(osdep_aligned_alloc(osdep_get_pagesize(), size));
    return image->bytes != nullptr ? 0 : -1;
}

void osdep_image_put(osdep_image *image, uint32_t off, const uint8_t *src, uint32_t n) {
    if (!osdep_image_in_file(image)) {
        memcpy(image->bytes + off, src, n);
        return;
    }
    if (image->error == 0 && osdep_sys_put(image->out.file, image->bytes, off, src, n) != 0)
        image->error = errno;
}

int osdep_image_commit(osdep_image *image) {
    osdep_sys_unmap_output(image->bytes, image->size);
    image->bytes = nullptr;
    if (image->error != 0) {
        osdep_output_discard(&image->out);
        errno = image->error;
        return -1;
    }
    return osdep_output_commit(&image->out);
}

void osdep_image_close(osdep_image *image) {
    if (image->bytes == nullptr)
        return;
    if (osdep_image_in_file(image)) {
        osdep_sys_unmap_output(image->bytes, image->size);
        osdep_output_discard(&image->out);
    } else {
        osdep_aligned_free(image->bytes, image->size);
    }
    image->bytes = nullptr;
}
