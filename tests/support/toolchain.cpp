// toolchain: the target table, tool lookup and the static PIE build. Relies on testrun for child
// processes, and on clang/lld targeting each machine without a sysroot, which holds because the
// programs are freestanding.
#include "support/toolchain.h"

#include <sys/stat.h>
#include <unistd.h>

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

static bool is_executable(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// The first of names found in a directory of PATH.
static std::string find_program(std::initializer_list<const char *> names) {
    const char *path_env = std::getenv("PATH");
    const std::string path = path_env != nullptr ? path_env : "/usr/local/bin:/usr/bin:/bin";
    for (const char *name : names) {
        size_t begin = 0;
        while (begin <= path.size()) {
            size_t end = path.find(':', begin);
            if (end == std::string::npos) {
                end = path.size();
            }
            const std::string dir = end > begin ? path.substr(begin, end - begin) : ".";
            if (is_executable(dir + "/" + name)) {
                return dir + "/" + name;
            }
            begin = end + 1;
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
                                      std::pair{&tools->readelf, "llvm-readelf"}}) {
        if (found->empty()) {
            missing += missing.empty() ? name : std::string(", ") + name;
        }
    }
    if (missing.empty()) {
        return std::nullopt;
    }
    return "not found on PATH: " + missing;
}

// Nothing when the command exits with 0; otherwise the command line, its status and its stderr.
static std::optional<std::string> run_checked(const std::string &program, const std::vector<std::string> &args) {
    const testrun::Result result = testrun::run_tool(program, args);
    if (result.status == 0) {
        return std::nullopt;
    }
    std::string text = program;
    for (const std::string &arg : args) {
        text += " " + arg;
    }
    return text + "\nexit status " + std::to_string(result.status) + "\n" + result.err;
}

std::optional<std::string> build_static_pie(const Target &target, const std::vector<std::string> &c_sources,
                                            const std::string &out_path,
                                            const std::vector<std::string> &extra_ldflags) {
    Tools tools;
    if (auto missing = find_tools(&tools)) {
        return missing;
    }
    if (c_sources.empty()) {
        return std::string("build_static_pie: no sources");
    }

    std::vector<std::string> objects;
    for (size_t i = 0; i < c_sources.size(); ++i) {
        std::string object = out_path + "." + std::to_string(i) + ".o";
        std::vector<std::string> args = {"--target=" + target.triple, "-ffreestanding", "-fno-builtin",
                                         "-nostdlib", "-fPIE", "-O1"};
        args.insert(args.end(), target.cflags.begin(), target.cflags.end());
        args.insert(args.end(), {"-c", c_sources[i], "-o", object});
        if (auto error = run_checked(tools.clang, args)) {
            return "compiling for " + target.name + " failed: " + *error;
        }
        objects.push_back(std::move(object));
    }

    // MIPS defaults the entry to __start; naming it keeps e_entry meaningful on every machine.
    std::vector<std::string> args = {"-static", "-pie", "--no-dynamic-linker", "-z", "norelro", "--entry=_start"};
    args.insert(args.end(), extra_ldflags.begin(), extra_ldflags.end());
    args.insert(args.end(), objects.begin(), objects.end());
    args.insert(args.end(), {"-o", out_path});
    if (auto error = run_checked(tools.lld, args)) {
        return "linking for " + target.name + " failed: " + *error;
    }
    return std::nullopt;
}

}  // namespace toolchain
