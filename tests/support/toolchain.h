// toolchain: builds small freestanding static PIEs with clang and lld for each machine the tests
// cover, so that tests can check pieshift and its ELF layer against real linker output. Needs clang,
// ld.lld and llvm-readelf on PATH (or under their -14 names); nothing here skips when they are missing.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace toolchain {

struct Target {
    std::string name;                 // short, usable in a test name: "x86_64", "ppc64le"
    std::string triple;               // clang --target
    std::vector<std::string> cflags;  // added to the common compile flags
    unsigned bits;                    // ELF class of the output: 32 or 64
    bool big_endian;
};

// Every machine the tests build for: both classes, both byte orders, REL and RELA users.
const std::vector<Target> &targets();

struct Tools {
    std::string clang;
    std::string lld;
    std::string readelf;
};

// Finds clang, ld.lld and llvm-readelf (full paths). On failure returns a text naming each missing tool.
std::optional<std::string> find_tools(Tools *tools);

// Compiles each C source file and links them into a static PIE at out_path that enters at _start.
// extra_ldflags go to ld.lld before the objects (for example "-z", "undefs", "--image-base=0x10000").
// The objects are written next to out_path. Returns nothing on success, else the failing command and
// its diagnostics.
std::optional<std::string> build_static_pie(const Target &target, const std::vector<std::string> &c_sources,
                                            const std::string &out_path,
                                            const std::vector<std::string> &extra_ldflags);

}  // namespace toolchain
