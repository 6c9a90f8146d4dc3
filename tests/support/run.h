// Runs programs as a user would: stdin at end of file, stdout and stderr captured separately, the
// whole process group killed after a few seconds, so that a hang fails its test, and soon.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace testrun {

inline std::vector<std::string> split(const std::string &s) {
    std::vector<std::string> words;
    std::istringstream in(s);
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

struct Result {
    int status = -1;
    std::string out, err;
};  // status: exit status, or 128 + signal

inline Result run(std::vector<std::string> argv, const std::string &cwd = "", int seconds = 8) {
    std::vector<char *> args;
    for (std::string &a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        const int in = open("/dev/null", O_RDONLY);
        if (in >= 0 && dup2(in, 0) == 0 && dup2(out[1], 1) == 1 && dup2(err[1], 2) == 2 &&
            (cwd.empty() || chdir(cwd.c_str()) == 0))
            execvp(args[0], args.data());
        _exit(127);
    }
    close(out[1]), close(err[1]);
    Result r;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + std::chrono::seconds(seconds);
    for (char buf[4096]; fds[0].fd >= 0 || fds[1].fd >= 0;) {
        const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        if (poll(fds, 2, int(std::max<int64_t>(left, 0))) == 0) {
            kill(-pid, SIGKILL);
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            const ssize_t n =
                fds[i].fd >= 0 && fds[i].revents ? read(fds[i].fd, buf, sizeof buf) : 1;
            if (n > 0 && fds[i].revents)
                (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
            if (n <= 0) close(fds[i].fd), fds[i].fd = -1;
        }
    }
    int ws = 0;
    waitpid(pid, &ws, 0);
    r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
    return r;
}

// The binary under test: PIESHIFT_TEST_BIN (default the built one), behind PIESHIFT_TEST_WRAPPER if
// set (e.g. "wine", whose console writes "\r\n" for "\n").
inline std::string bin() {
    return std::getenv("PIESHIFT_TEST_BIN") ? std::getenv("PIESHIFT_TEST_BIN") : PIESHIFT_BIN;
}
inline Result run_pieshift(const std::vector<std::string> &args, const std::string &cwd) {
    const char *wrapper = std::getenv("PIESHIFT_TEST_WRAPPER");
    std::vector<std::string> argv = split(wrapper ? wrapper : "");
    argv.push_back(bin());
    argv.insert(argv.end(), args.begin(), args.end());
    Result r = run(argv, cwd);
    // wine hands the program its path as Windows writes it (Z:\dir\pieshift.exe); read it back as
    // ours.
    std::string dos_path = "Z:" + bin();
    std::replace(dos_path.begin(), dos_path.end(), '/', '\\');
    for (std::string *s : {&r.out, &r.err}) {
        for (size_t at; wrapper && *wrapper && (at = s->find("\r\n")) != std::string::npos;)
            s->erase(at, 1);
        for (size_t at; wrapper && *wrapper && (at = s->find(dos_path)) != std::string::npos;)
            s->replace(at, dos_path.size(), bin());
    }
    return r;
}

// A fresh directory, removed with its contents.
struct TempDir {
    std::string path = std::filesystem::temp_directory_path() / "pieshift-XXXXXX";
    TempDir() {
        if (!mkdtemp(path.data())) throw std::runtime_error("mkdtemp " + path);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string file(const std::string &name) const { return path + "/" + name; }
    void write(const std::string &name, const std::string &bytes) const {
        std::ofstream(file(name), std::ios::binary) << bytes;
    }
    std::string read(const std::string &name) const {
        return (std::ostringstream() << std::ifstream(file(name), std::ios::binary).rdbuf()).str();
    }
};

}  // namespace testrun
