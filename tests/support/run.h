// Runs programs as a user would: a child process with stdin at end of file, stdout and stderr
// captured separately, killed after a time limit so a hang fails its test instead of the suite.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace testrun {

struct Result {
    int status = -1;  // exit status, or 128 + signal
    std::string out, err;
};

inline Result run(std::vector<std::string> argv, const std::string &cwd = "", int seconds = 60) {
    std::vector<char *> args;
    for (std::string &a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        const int in = open("/dev/null", O_RDONLY);
        if (in < 0 || dup2(in, 0) < 0 || dup2(out[1], 1) < 0 || dup2(err[1], 2) < 0) _exit(127);
        if ((cwd.empty() || chdir(cwd.c_str()) == 0)) execvp(args[0], args.data());
        _exit(127);
    }
    close(out[1]), close(err[1]);
    Result r;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (poll(fds, 2, static_cast<int>(std::max<long long>(left.count(), 0))) <= 0 && left.count() <= 0) {
            kill(pid, SIGKILL);
            break;
        }
        for (int i = 0; i < 2; ++i) {
            char buf[4096];
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
            else close(fds[i].fd), fds[i].fd = -1;
        }
    }
    for (const pollfd &p : fds) if (p.fd >= 0) close(p.fd);
    int ws = 0;
    waitpid(pid, &ws, 0);
    r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
    return r;
}

// The binary under test: PIESHIFT_TEST_BIN (default the built one), behind PIESHIFT_TEST_WRAPPER if set
// (e.g. "wine"), whose console turns "\n" into "\r\n".
inline std::string bin() {
    const char *b = std::getenv("PIESHIFT_TEST_BIN");
    return b && *b ? b : PIESHIFT_BIN;
}
inline Result run_pieshift(const std::vector<std::string> &args, const std::string &cwd) {
    std::vector<std::string> argv;
    const char *wrapper = std::getenv("PIESHIFT_TEST_WRAPPER");
    std::istringstream words(wrapper ? wrapper : "");
    for (std::string w; words >> w;) argv.push_back(w);
    argv.push_back(bin());
    argv.insert(argv.end(), args.begin(), args.end());
    Result r = run(argv, cwd);
    for (std::string *s : {&r.out, &r.err})
        for (size_t at; wrapper && *wrapper && (at = s->find("\r\n")) != std::string::npos;) s->erase(at, 1);
    return r;
}

// A fresh directory, removed with its contents.
struct TempDir {
    std::string path = std::filesystem::temp_directory_path() / "pieshift-XXXXXX";
    TempDir() { if (!mkdtemp(path.data())) path.clear(); }
    ~TempDir() { std::error_code ec; std::filesystem::remove_all(path, ec); }
    std::string file(const std::string &name) const { return path + "/" + name; }
    void write(const std::string &name, const std::string &bytes) const {
        std::ofstream(file(name), std::ios::binary) << bytes;
    }
    std::string read(const std::string &name) const {
        std::ifstream f(file(name), std::ios::binary);
        return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
    }
};

}  // namespace testrun
