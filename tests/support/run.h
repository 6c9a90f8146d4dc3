// testrun: runs the built pieshift (or another program) as a child process for end-to-end tests, with
// stdout and stderr captured separately and stdin at end of file, and gives tests a scratch directory.
// POSIX only (fork/exec); the binary's path comes from the PIESHIFT_BIN compile definition.
#pragma once

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "support/elfbuild.h"

namespace testrun {

struct Result {
    int status = 0;          // as a shell sees it: exit(-1) gives 255, death by signal N gives 128 + N
    std::string out, err;    // everything written to stdout and stderr
    bool timed_out = false;  // killed after the time limit (status is then 128 + SIGKILL)
};

// Runs pieshift with `args` and argv[0] `argv0`, e.g. "pieshift" to pin messages that show the program
// name. `cwd` empty keeps the test's directory. Leak checks ignore the symbol table, which the tool never
// frees on purpose (tests/lsan.supp).
Result run_pieshift_as(const std::string &argv0, const std::vector<std::string> &args, const std::string &cwd = "");
// argv[0] is the binary's path, as a user calling it by path would see it.
inline Result run_pieshift(const std::vector<std::string> &args, const std::string &cwd = "") {
    return run_pieshift_as(PIESHIFT_BIN, args, cwd);
}
// Any program, found on PATH when `program` has no slash (llvm-readelf and the like).
Result run_tool(const std::string &program, const std::vector<std::string> &args, const std::string &cwd = "");

inline std::string pieshift_path() { return PIESHIFT_BIN; }

// Every run is killed after this many seconds, so a hanging tool fails its test instead of the suite.
inline constexpr int run_time_limit_seconds = 60;

// A fresh directory, removed with its contents on destruction.
struct TempDir {
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    std::string path;
    std::string file(const std::string &name) const { return path + "/" + name; }
    void write(const std::string &name, const elfbuild::Bytes &b) const;
    void write_text(const std::string &name, const std::string &s) const;
    elfbuild::Bytes read(const std::string &name) const;  // throws std::runtime_error when unreadable
    bool exists(const std::string &name) const {
        std::error_code ec;
        return std::filesystem::exists(file(name), ec);
    }
};

}  // namespace testrun
