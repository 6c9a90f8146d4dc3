// testrun: child processes for end-to-end tests. Both output pipes are drained with poll(), so a child
// that fills one pipe while we wait on the other cannot deadlock, and a time limit turns a hang into a
// failed test.
#include "support/run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#ifndef PIESHIFT_BIN
#error "PIESHIFT_BIN must name the pieshift binary"
#endif
#ifndef PIESHIFT_SOURCE_DIR
#error "PIESHIFT_SOURCE_DIR must name the source tree"
#endif

extern char **environ;

namespace testrun {
namespace {

struct Fd {
    int fd = -1;
    ~Fd() { reset(); }
    void reset() {
        if (fd >= 0) close(fd);
        fd = -1;
    }
};

// Runs in the forked child, so it allocates nothing.
[[noreturn]] void child_fail(const char *what, const char *arg) {
    const char *err = std::strerror(errno);
    for (const char *s : {"testrun: ", what, " ", arg, ": ", err, "\n"}) {
        [[maybe_unused]] ssize_t n = write(2, s, std::strlen(s));
    }
    _exit(127);
}

// The environment for pieshift: the test's own, with the leak-check suppressions for the symbol table
// added. Harmless when the binary is not instrumented.
std::vector<std::string> pieshift_env() {
    std::vector<std::string> env;
    std::string lsan = "LSAN_OPTIONS=";
    for (char **e = environ; *e; ++e) {
        if (std::strncmp(*e, "LSAN_OPTIONS=", 13) == 0)
            lsan = std::string(*e) + ":";
        else
            env.emplace_back(*e);
    }
    // print_suppressions=0: LSan would otherwise report the matched suppressions on stderr, which
    // tests compare byte for byte.
    lsan += "suppressions=" PIESHIFT_SOURCE_DIR "/tests/lsan.supp:print_suppressions=0";
    env.push_back(lsan);
    return env;
}

Result run(const std::string &path, const std::string &argv0, const std::vector<std::string> &args,
           const std::string &cwd, const std::vector<std::string> *env) {
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(argv0.c_str()));
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char *> envp;
    if (env) {
        for (const std::string &e : *env) envp.push_back(const_cast<char *>(e.c_str()));
        envp.push_back(nullptr);
    }

    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        throw std::runtime_error("pipe failed");
    }
    Fd in_r{in[0]}, in_w{in[1]}, out_r{out[0]}, out_w{out[1]}, err_r{err[0]}, err_w{err[1]};

    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        // Lift the ends above 2 first: when the test itself runs without a standard stream, a pipe end
        // may already sit on 0, 1 or 2, and a direct dup2 would clobber it or keep its close-on-exec.
        const int high[3] = {fcntl(in[0], F_DUPFD_CLOEXEC, 3), fcntl(out[1], F_DUPFD_CLOEXEC, 3),
                             fcntl(err[1], F_DUPFD_CLOEXEC, 3)};
        for (int i = 0; i < 3; ++i)
            if (high[i] < 0 || dup2(high[i], i) < 0) _exit(127);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) child_fail("chdir", cwd.c_str());
        if (env)
            execve(path.c_str(), argv.data(), envp.data());
        else
            execvp(path.c_str(), argv.data());
        child_fail("exec", path.c_str());
    }
    // Only the child keeps these ends; closing stdin's write end gives it end of file at once.
    in_r.reset();
    in_w.reset();
    out_w.reset();
    err_w.reset();

    Result r{0, "", ""};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(run_time_limit_seconds);
    char buf[65536];
    while (out_r.fd >= 0 || err_r.fd >= 0) {
        pollfd fds[2] = {{out_r.fd, POLLIN, 0}, {err_r.fd, POLLIN, 0}};
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        const int rc = poll(fds, 2, r.timed_out ? -1 : static_cast<int>(std::max<long long>(left.count(), 0)));
        if (rc < 0 && errno == EINTR) continue;
        if (rc < 0) {
            kill(pid, SIGKILL);
            out_r.reset();
            err_r.reset();
            break;
        }
        if (rc == 0 && !r.timed_out) {
            kill(pid, SIGKILL);
            r.timed_out = true;
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                (i == 0 ? out_r : err_r).reset();
                continue;
            }
            (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
        }
    }

    int ws = 0;
    while (waitpid(pid, &ws, 0) < 0) {
        if (errno != EINTR) throw std::runtime_error("waitpid failed");
    }
    if (WIFEXITED(ws))
        r.status = WEXITSTATUS(ws);
    else if (WIFSIGNALED(ws))
        r.status = 128 + WTERMSIG(ws);
    return r;
}

}  // namespace

std::string pieshift_path() { return PIESHIFT_BIN; }

Result run_pieshift(const std::vector<std::string> &args, const std::string &cwd) {
    return run_pieshift_as(PIESHIFT_BIN, args, cwd);
}

Result run_pieshift_as(const std::string &argv0, const std::vector<std::string> &args, const std::string &cwd) {
    const std::vector<std::string> env = pieshift_env();
    return run(PIESHIFT_BIN, argv0, args, cwd, &env);
}

Result run_tool(const std::string &program, const std::vector<std::string> &args, const std::string &cwd) {
    return run(program, program, args, cwd, nullptr);
}

TempDir::TempDir() {
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/pieshift-test-XXXXXX";
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed: " + tmpl);
    path = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

std::string TempDir::file(const std::string &name) const { return path + "/" + name; }

void TempDir::write(const std::string &name, const elfbuild::Bytes &b) const {
    std::ofstream f(file(name), std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char *>(b.data()), static_cast<std::streamsize>(b.size()));
    if (!f) throw std::runtime_error("cannot write " + file(name));
}

void TempDir::write_text(const std::string &name, const std::string &s) const {
    write(name, elfbuild::Bytes(s.begin(), s.end()));
}

elfbuild::Bytes TempDir::read(const std::string &name) const {
    std::ifstream f(file(name), std::ios::binary);
    if (!f) throw std::runtime_error("cannot read " + file(name));
    return elfbuild::Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

bool TempDir::exists(const std::string &name) const {
    std::error_code ec;
    return std::filesystem::exists(file(name), ec);
}

}  // namespace testrun
