// toolchain: the target table, tool lookup and the static PIE build. Relies on testrun for child
// processes, and on clang/lld targeting each machine without a sysroot, which holds because the
// programs are freestanding.
#include "support/toolchain.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <initializer_list>
#include <utility>

#include "support/run.h"

namespace toolchain {

const std::vector<Target> &targets() {
    static const std::vector<Target> table = {
        {"x86_64", "x86_64-linux-gnu", {}, 64, false},
        {"i386", "i386-linux-gnu", {}, 32, false},
        {"arm", "armv7-linux-gnueabihf", {"-marm"}, 32, false},  // A32 code, not Thumb
        {"riscv32", "riscv32-linux-gnu", {}, 32, false},
        {"riscv64", "riscv64-linux-gnu", {}, 64, false},
        {"ppc", "powerpc-linux-gnu", {}, 32, true},
        {"ppc64le", "powerpc64le-linux-gnu", {}, 64, false},
        {"mips", "mips-linux-gnu", {}, 32, true},
    };
    return table;
}

// The first of names found in a directory of PATH (an empty entry is the current directory).
static std::string find_program(std::initializer_list<const char *> names) {
    const char *path_env = std::getenv("PATH");
    const std::string path = path_env != nullptr ? path_env : "/usr/local/bin:/usr/bin:/bin";
    for (const char *name : names) {
        for (size_t begin = 0, end = 0; begin <= path.size(); begin = end + 1) {
            end = std::min(path.find(':', begin), path.size());
            const std::string file = (end > begin ? path.substr(begin, end - begin) : ".") + "/" + name;
            struct stat st {};
            if (stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(file.c_str(), X_OK) == 0) return file;
        }
    }
    return {};
}

std::optional<std::string> find_tools(Tools *tools) {
    tools->clang = find_program({"clang", "clang-14"});
    tools->lld = find_program({"ld.lld", "ld.lld-14"});
    tools->readelf = find_program({"llvm-readelf", "llvm-readelf-14"});
    std::string missing;
    for (const auto &[found, name] : {std::pair{&tools->clang, "clang"}, std::pair{&tools->lld, "ld.lld"},
                                      std::pair{&tools->readelf, "llvm-readelf"}})
        if (found->empty()) missing += missing.empty() ? name : std::string(", ") + name;
    if (missing.empty()) return std::nullopt;
    return "not found on PATH: " + missing;
}

// Nothing when the command exits with 0; otherwise the command line, its status and its stderr.
static std::optional<std::string> run_checked(const std::string &program, const std::vector<std::string> &args) {
    const testrun::Result result = testrun::run_tool(program, args);
    if (result.status == 0) return std::nullopt;
    std::string text = program;
    for (const std::string &arg : args) text += " " + arg;
    return text + "\nexit status " + std::to_string(result.status) + "\n" + result.err;
}

std::optional<std::string> build_static_pie(const Target &target, const std::vector<std::string> &c_sources,
                                            const std::string &out_path,
                                            const std::vector<std::string> &extra_ldflags) {
    Tools tools;
    if (auto missing = find_tools(&tools)) return missing;
    if (c_sources.empty()) return std::string("build_static_pie: no sources");

    // MIPS defaults the entry to __start; naming it keeps e_entry meaningful on every machine.
    std::vector<std::string> link = {"-static", "-pie", "--no-dynamic-linker", "-z", "norelro", "--entry=_start"};
    link.insert(link.end(), extra_ldflags.begin(), extra_ldflags.end());
    for (size_t i = 0; i < c_sources.size(); ++i) {
        std::string object = out_path + "." + std::to_string(i) + ".o";
        std::vector<std::string> args = {"--target=" + target.triple, "-ffreestanding", "-fno-builtin",
                                         "-nostdlib", "-fPIE", "-O1"};
        args.insert(args.end(), target.cflags.begin(), target.cflags.end());
        args.insert(args.end(), {"-c", c_sources[i], "-o", object});
        if (auto error = run_checked(tools.clang, args)) return "compiling for " + target.name + " failed: " + *error;
        link.push_back(std::move(object));
    }
    link.insert(link.end(), {"-o", out_path});
    if (auto error = run_checked(tools.lld, link)) return "linking for " + target.name + " failed: " + *error;
    return std::nullopt;
}

}  // namespace toolchain
