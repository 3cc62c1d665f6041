#include "dialog_run.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string_view>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "shell.h"
#include "util.h"

extern char **environ;

namespace zpm::ui {

namespace {

// A plain yad command line: its words and where its output goes.
struct YadLine {
    std::vector<std::string> words;
    bool quiet_out = false; // >/dev/null
    bool quiet_err = false; // 2>/dev/null
};

bool ends_with(std::string_view s, std::string_view end) {
    return s.size() >= end.size() && s.substr(s.size() - end.size()) == end;
}

// The line's words when it is a plain yad command, with at most one of the
// trailing redirections zpm writes; false for anything else.
bool yad_line(std::string_view cmd, YadLine *y) {
    if (ends_with(cmd, " >/dev/null 2>&1")) {
        y->quiet_out = y->quiet_err = true;
        cmd.remove_suffix(std::string_view(" >/dev/null 2>&1").size());
    } else if (ends_with(cmd, " 2>/dev/null")) {
        y->quiet_err = true;
        cmd.remove_suffix(std::string_view(" 2>/dev/null").size());
    }
    return shell_words(cmd, &y->words) && y->words[0] == "yad";
}

int wait_for(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return status;
}

// Starts the line with in_fd (when >= 0) as standard input and out_fd (when
// >= 0) as standard output; -1 when it cannot be started.
pid_t spawn_line(YadLine &y, int in_fd, int out_fd, const posix_spawnattr_t *attr) {
    std::vector<char *> argv;
    for (std::string &w : y.words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    if (posix_spawn_file_actions_init(&fa) != 0)
        return -1;
    if (in_fd >= 0)
        posix_spawn_file_actions_adddup2(&fa, in_fd, 0);
    if (out_fd >= 0)
        posix_spawn_file_actions_adddup2(&fa, out_fd, 1);
    if (y.quiet_out)
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    if (y.quiet_err)
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, argv[0], &fa, attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    return rc == 0 ? pid : -1;
}

// While a dialog runs zpm, like the shell's caller, ignores the keyboard's
// interrupt and quit and keeps SIGCHLD blocked; the dialog gets them back.
class SystemSignals {
  public:
    SystemSignals() {
        struct sigaction ign {};
        ign.sa_handler = SIG_IGN;
        sigemptyset(&ign.sa_mask);
        sigaction(SIGINT, &ign, &int_);
        sigaction(SIGQUIT, &ign, &quit_);
        sigset_t chld;
        sigemptyset(&chld);
        sigaddset(&chld, SIGCHLD);
        sigprocmask(SIG_BLOCK, &chld, &mask_);
        posix_spawnattr_init(&attr_);
        // As the shell's caller does: what zpm was started with ignored
        // stays ignored in the dialog.
        sigset_t def;
        sigemptyset(&def);
        if (int_.sa_handler != SIG_IGN)
            sigaddset(&def, SIGINT);
        if (quit_.sa_handler != SIG_IGN)
            sigaddset(&def, SIGQUIT);
        posix_spawnattr_setsigdefault(&attr_, &def);
        posix_spawnattr_setsigmask(&attr_, &mask_);
        posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    }
    ~SystemSignals() {
        posix_spawnattr_destroy(&attr_);
        sigaction(SIGINT, &int_, nullptr);
        sigaction(SIGQUIT, &quit_, nullptr);
        sigprocmask(SIG_SETMASK, &mask_, nullptr);
    }
    SystemSignals(const SystemSignals &) = delete;
    SystemSignals &operator=(const SystemSignals &) = delete;
    const posix_spawnattr_t *attr() const { return &attr_; }

  private:
    struct sigaction int_ {
    }, quit_{};
    sigset_t mask_{};
    posix_spawnattr_t attr_{};
};

} // namespace

int run_dialog(const std::string &cmd) {
    YadLine y;
    if (yad_line(cmd, &y)) {
        SystemSignals during;
        pid_t pid = spawn_line(y, -1, -1, during.attr());
        if (pid > 0)
            return wait_for(pid);
    }
    return std::system(cmd.c_str());
}

int run_dialog_with_input(const std::string &cmd, const char *text) {
    YadLine y;
    int fds[2];
    if (yad_line(cmd, &y) && pipe2(fds, O_CLOEXEC) == 0) {
        pid_t pid = spawn_line(y, fds[0], -1, nullptr);
        ::close(fds[0]);
        if (pid > 0) {
            if (text)
                zpm::write_all(fds[1], text, std::strlen(text));
            ::close(fds[1]);
            return wait_for(pid);
        }
        ::close(fds[1]);
    }
    FILE *p = popen(cmd.c_str(), "w");
    if (!p)
        return -1;
    if (text)
        std::fputs(text, p);
    return pclose(p);
}

namespace {

bool first_line(FILE *f, std::string *line) {
    char buf[1024];
    if (!std::fgets(buf, sizeof buf, f) || buf[0] == '\0')
        return false;
    size_t n = std::strlen(buf);
    if (buf[n - 1] == '\n')
        buf[n - 1] = '\0';
    *line = buf;
    return true;
}

} // namespace

bool run_dialog_first_line(const std::string &cmd, std::string *line) {
    YadLine y;
    int fds[2];
    if (yad_line(cmd, &y) && pipe2(fds, O_CLOEXEC) == 0) {
        pid_t pid = spawn_line(y, -1, fds[1], nullptr);
        ::close(fds[1]);
        if (pid > 0) {
            FILE *f = fdopen(fds[0], "r");
            bool got = f && first_line(f, line);
            if (f)
                std::fclose(f); // before the wait: a dialog that says more stops
            else
                ::close(fds[0]);
            wait_for(pid);
            return got;
        }
        ::close(fds[0]);
    }
    FILE *p = popen(cmd.c_str(), "r");
    if (!p)
        return false;
    bool got = first_line(p, line);
    pclose(p);
    return got;
}

} // namespace zpm::ui
