#include "dialog_run.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "shell.h"
#include "util.h"

extern char **environ;

namespace zpm::ui {

namespace {

// The words of a plain yad command line; false for anything else.
bool yad_words(const std::string &cmd, std::vector<std::string> *words) {
    return shell_words(cmd, words) && (*words)[0] == "yad";
}

int wait_for(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return status;
}

// Starts words with in_fd (when >= 0) as standard input; -1 when it cannot
// be started.
pid_t spawn_words(std::vector<std::string> &words, int in_fd, const posix_spawnattr_t *attr) {
    std::vector<char *> argv;
    for (std::string &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    if (posix_spawn_file_actions_init(&fa) != 0)
        return -1;
    if (in_fd >= 0)
        posix_spawn_file_actions_adddup2(&fa, in_fd, 0);
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
        sigset_t def;
        sigemptyset(&def);
        sigaddset(&def, SIGINT);
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
    std::vector<std::string> words;
    if (yad_words(cmd, &words)) {
        SystemSignals during;
        pid_t pid = spawn_words(words, -1, during.attr());
        if (pid > 0)
            return wait_for(pid);
    }
    return std::system(cmd.c_str());
}

int run_dialog_with_input(const std::string &cmd, const char *text) {
    std::vector<std::string> words;
    int fds[2];
    if (yad_words(cmd, &words) && pipe2(fds, O_CLOEXEC) == 0) {
        pid_t pid = spawn_words(words, fds[0], nullptr);
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

} // namespace zpm::ui
