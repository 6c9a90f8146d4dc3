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
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <utility>

extern char **environ;

namespace testrun {
namespace {

// The three pipes as (read end, write end): stdin, stdout, stderr. Closed on every way out.
struct Pipes {
    int fd[6] = {-1, -1, -1, -1, -1, -1};
    ~Pipes() { for (int i = 0; i < 6; ++i) reset(i); }
    void reset(int i) { close(std::exchange(fd[i], -1)); }  // close(-1) only fails with EBADF
};

// Runs in the forked child, so it allocates nothing.
[[noreturn]] void child_fail(const char *what, const char *arg) {
    const char *err = std::strerror(errno);
    for (const char *s : {"testrun: ", what, " ", arg, ": ", err, "\n"}) [[maybe_unused]] ssize_t n = write(2, s, std::strlen(s));
    _exit(127);
}

Result run(const std::string &path, const std::string &argv0, const std::vector<std::string> &args,
           const std::string &cwd, const std::vector<std::string> *env) {
    std::vector<char *> argv{const_cast<char *>(argv0.c_str())}, envp;
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    for (size_t i = 0; env && i < env->size(); ++i) envp.push_back(const_cast<char *>((*env)[i].c_str()));
    envp.push_back(nullptr);

    Pipes p;
    for (int i = 0; i < 6; i += 2)
        if (pipe2(p.fd + i, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        // Lift the ends above 2 first: when the test itself runs without a standard stream, a pipe end
        // may already sit on 0, 1 or 2, and a direct dup2 would clobber it or keep its close-on-exec.
        const int high[3] = {fcntl(p.fd[0], F_DUPFD_CLOEXEC, 3), fcntl(p.fd[3], F_DUPFD_CLOEXEC, 3), fcntl(p.fd[5], F_DUPFD_CLOEXEC, 3)};
        for (int i = 0; i < 3; ++i)
            if (high[i] < 0 || dup2(high[i], i) < 0) _exit(127);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) child_fail("chdir", cwd.c_str());
        env ? execve(path.c_str(), argv.data(), envp.data()) : execvp(path.c_str(), argv.data());
        child_fail("exec", path.c_str());
    }
    // Only the child keeps these ends; closing stdin's write end gives it end of file at once.
    for (int i : {0, 1, 3, 5}) p.reset(i);

    Result r;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(run_time_limit_seconds);
    char buf[65536];
    while (p.fd[2] >= 0 || p.fd[4] >= 0) {
        pollfd fds[2] = {{p.fd[2], POLLIN, 0}, {p.fd[4], POLLIN, 0}};
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        const int rc = poll(fds, 2, r.timed_out ? -1 : static_cast<int>(std::max<long long>(left.count(), 0)));
        if (rc < 0 && errno == EINTR) continue;
        if (rc <= 0) kill(pid, SIGKILL);
        if (rc < 0) break;
        if (rc == 0) r.timed_out = true;
        for (int i = 0; i < 2 && rc > 0; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) p.reset(2 + 2 * i);
            if (n > 0) (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
        }
    }

    int ws = 0;
    while (waitpid(pid, &ws, 0) < 0) if (errno != EINTR) throw std::runtime_error("waitpid failed");
    r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : WIFSIGNALED(ws) ? 128 + WTERMSIG(ws) : 0;
    return r;
}

}  // namespace

// The test's own environment plus the leak-check suppressions for the symbol table (harmless when the
// binary is not instrumented). print_suppressions=0: LSan would otherwise report the matched
// suppressions on stderr, which tests compare byte for byte.
Result run_pieshift_as(const std::string &argv0, const std::vector<std::string> &args, const std::string &cwd) {
    std::vector<std::string> env;
    std::string lsan = "LSAN_OPTIONS=";
    for (char **e = environ; *e; ++e)
        if (std::strncmp(*e, "LSAN_OPTIONS=", 13) != 0) env.emplace_back(*e); else lsan = std::string(*e) + ":";
    env.push_back(lsan + "suppressions=" PIESHIFT_SOURCE_DIR "/tests/lsan.supp:print_suppressions=0");
    return run(PIESHIFT_BIN, argv0, args, cwd, &env);
}

Result run_tool(const std::string &program, const std::vector<std::string> &args, const std::string &cwd) {
    return run(program, program, args, cwd, nullptr);
}

TempDir::TempDir() {
    const char *base = getenv("TMPDIR");
    path = std::string(base && *base ? base : "/tmp") + "/pieshift-test-XXXXXX";
    if (!mkdtemp(path.data())) throw std::runtime_error("mkdtemp failed: " + path);
}

TempDir::~TempDir() { std::error_code ec; std::filesystem::remove_all(path, ec); }

void TempDir::write(const std::string &name, const elfbuild::Bytes &b) const {
    std::ofstream f(file(name), std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char *>(b.data()), static_cast<std::streamsize>(b.size()));
    if (!f) throw std::runtime_error("cannot write " + file(name));
}

void TempDir::write_text(const std::string &name, const std::string &s) const { write(name, {s.begin(), s.end()}); }

elfbuild::Bytes TempDir::read(const std::string &name) const {
    std::ifstream f(file(name), std::ios::binary);
    if (!f) throw std::runtime_error("cannot read " + file(name));
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

}  // namespace testrun
