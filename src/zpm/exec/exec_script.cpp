// Package scripts and ldconfig, started directly (never through a shell)
// with standard input from /dev/null and no descriptor of zpm's beyond the
// standard three; a package script that runs longer than the configured
// bound is killed with its process group.
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cres.h"
#include "exec_common.h"
#include "loglib.h"
#include "paths.h"

extern char **environ;

namespace zpm::exec {

namespace {

int script_timeout = 0; // seconds; 0: no bound

// What a started program gets: the command, its environment, its working
// directory, whether its errors are discarded and whether it gets a process
// group of its own (so that a watchdog can stop it with all it started).
struct Child {
    std::vector<char *> argv, env;
    const char *dir = nullptr;
    const char *root_dir = nullptr; // chrooted into first, when set
    bool quiet = false;
    bool group = false;
};

// In the child between fork and exec: only calls that are safe there.
[[noreturn]] void become(const Child &c, const struct sigaction &old_int,
                         const struct sigaction &old_quit) {
    sigaction(SIGINT, &old_int, nullptr);
    sigaction(SIGQUIT, &old_quit, nullptr);
    signal(SIGPIPE, SIG_DFL);
    if (c.group)
        setpgid(0, 0);
    int null_fd = open("/dev/null", O_RDWR); // before a target root, which may have none
    if (c.root_dir && (chroot(c.root_dir) != 0 || chdir("/") != 0))
        _exit(127); // the target root cannot be entered: nothing to run there
    if (c.dir && chdir(c.dir) != 0)
        _exit(2); // what "cd" in a shell gives
    if (null_fd >= 0) {
        dup2(null_fd, 0);
        if (c.quiet)
            dup2(null_fd, 2);
    }
    if (close_range(3, ~0U, 0) != 0)
        for (int fd = 3; fd < 65536; fd++)
            close(fd);
    execve(c.argv[0], c.argv.data(), c.env.data());
    _exit(errno == ENOENT || errno == ENOTDIR ? 127 : 126); // as a shell reports it
}

// Milliseconds from start to now.
long elapsed_ms(const struct timespec &start) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1000L + (now.tv_nsec - start.tv_nsec) / 1000000L;
}

// Waits for pid until bound seconds have passed; then kills its process
// group.  The wait status, or -1 when the bound struck or waiting failed.
int wait_until(pid_t pid, int bound, const char *what) {
    Fd pfd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    int status = -1;
    for (;;) {
        pid_t got = waitpid(pid, &status, WNOHANG);
        if (got == pid)
            return status;
        if (got < 0 && errno != EINTR)
            return -1;
        long left = bound * 1000L - elapsed_ms(start);
        if (left <= 0)
            break;
        struct pollfd p = {pfd.get(), POLLIN, 0};
        if (pfd.get() < 0 || poll(&p, 1, static_cast<int>(left)) < 0)
            usleep(left < 20 ? static_cast<useconds_t>(left) * 1000 : 20000);
    }
    zlogf(ZLOG_ERROR, "%s ran longer than %d seconds, stopping it", what, bound);
    kill(-pid, SIGKILL);
    return -1;
}

// Waits for pid (bounded when bound > 0).  The wait status, or -1.
int wait_bounded(pid_t pid, int bound, const char *what) {
    int status = bound > 0 ? wait_until(pid, bound, what) : -1;
    if (status != -1)
        return status;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return status;
}

// Starts the program and waits for it, as system() would: SIGINT and SIGQUIT
// are ignored meanwhile.  Returns the wait status, or -1 when it cannot
// start.  bound: seconds it may run (0: no bound).
int spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env,
          const char *dir, bool quiet, int bound, const char *root_dir = nullptr) {
    Child c;
    for (const auto &a : argv)
        c.argv.push_back(const_cast<char *>(a.c_str()));
    c.argv.push_back(nullptr);
    for (const auto &e : env)
        c.env.push_back(const_cast<char *>(e.c_str()));
    c.env.push_back(nullptr);
    c.dir = dir;
    c.root_dir = root_dir;
    c.quiet = quiet;
    c.group = bound > 0;
    struct sigaction ign = {}, old_int, old_quit;
    ign.sa_handler = SIG_IGN;
    sigemptyset(&ign.sa_mask);
    sigaction(SIGINT, &ign, &old_int);
    sigaction(SIGQUIT, &ign, &old_quit);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0)
        become(c, old_int, old_quit);
    if (pid > 0 && c.group)
        setpgid(pid, pid); // also here: the watchdog may need the group at once
    int status = pid > 0 ? wait_bounded(pid, bound, argv.back().c_str()) : -1;
    sigaction(SIGINT, &old_int, nullptr);
    sigaction(SIGQUIT, &old_quit, nullptr);
    return status;
}

// zpm's own environment with PATH and the assigned names replaced.
std::vector<std::string> script_env(const std::vector<std::string> &assigns) {
    std::vector<std::string> env;
    auto assigned = [&](const char *e) {
        const char *eq = strchr(e, '=');
        size_t len = eq ? static_cast<size_t>(eq - e) : strlen(e);
        for (const auto &a : assigns)
            if (a.compare(0, len + 1, std::string(e, len) + "=") == 0)
                return true;
        return len == 4 && !strncmp(e, "PATH", 4);
    };
    for (char **e = environ; e && *e; e++)
        if (!assigned(*e))
            env.emplace_back(*e);
    env.push_back("PATH=" + zpm::paths::inside(zpm::paths::script_dir()));
    env.insert(env.end(), assigns.begin(), assigns.end());
    return env;
}

} // namespace

void set_script_timeout(int seconds) {
    script_timeout = seconds > 0 ? seconds : 0;
}

namespace {

// With a target root, scripts run chrooted into it (the target root itself
// when one is active, else null) and see every path from inside.
const char *script_root() {
    return zpm::paths::target_root_active() ? zpm::paths::root().c_str() : nullptr;
}

std::vector<std::string> inside_assigns(const std::vector<std::string> &assigns) {
    std::vector<std::string> out;
    for (const auto &a : assigns) {
        size_t eq = a.find('=');
        out.push_back(eq == std::string::npos
                          ? a
                          : a.substr(0, eq + 1) + zpm::paths::inside(a.substr(eq + 1)));
    }
    return out;
}

} // namespace

int run_script(const char *who, const std::vector<std::string> &given_assigns,
               const std::string &given_script) {
    const std::vector<std::string> assigns = inside_assigns(given_assigns);
    const std::string script = zpm::paths::inside(given_script);
    const std::string sd = zpm::paths::inside(zpm::paths::script_dir());
    std::string line = "cd " + sd + " && PATH=" + sd + " ";
    for (const auto &a : assigns)
        line += a + " ";
    line += sd + "/ash " + script;
    zlogf(ZLOG_DEBUG, "%scmdline: %s", who, line.c_str());
    return spawn({sd + "/ash", script}, script_env(assigns), sd.c_str(), false, script_timeout,
                 script_root());
}

void run_ldconfig() {
    std::vector<std::string> env;
    for (char **e = environ; e && *e; e++)
        env.emplace_back(*e);
    if (zpm::paths::target_root_active())
        spawn({zpm::paths::ldconfig(), "-r", zpm::paths::root()}, env, nullptr, true, 0);
    else
        spawn({zpm::paths::ldconfig()}, env, nullptr, true, 0);
}

} // namespace zpm::exec
