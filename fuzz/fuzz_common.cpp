// The fuzz targets' shared setup. The memory cap lives in the sanitizer's default options: an
// allocation above it fails as if memory ran out, so an input that asks for a large but legal image
// takes the tool's own allocation-failure path, while the size checks before it still run.
#include "fuzz_common.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "pieshift.h"

extern "C" const char *__asan_default_options() {
    return "allocator_may_return_null=1:max_allocation_size_mb=64:detect_leaks=1";
}

namespace fuzz {

namespace {

std::string make_scratch_dir() {
    const char *tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/pieshift-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        perror("mkdtemp");
        abort();
    }
    return pattern;
}

struct scratch {
    std::string path = make_scratch_dir();
    ~scratch() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

[[noreturn]] void throw_exit(int status) {
    throw exit_request{status};
}

}  // namespace

const std::string &scratch_dir() {
    static scratch dir;
    return dir.path;
}

void write_file(const std::string &path, const uint8_t *data, size_t size) {
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr || (size != 0 && fwrite(data, size, 1, f) != 1) || fclose(f) != 0) {
        perror(path.c_str());
        abort();
    }
}

void route_exits() {
    pieshift_set_exit_hook(throw_exit);
}

}  // namespace fuzz
