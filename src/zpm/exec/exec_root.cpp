// Work done by path inside a target root: a child process chrooted into it
// does it, so that no absolute path of a package's lists reaches the host.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

#include "exec_common.h"
#include "loglib.h"
#include "paths.h"

namespace zpm::exec {

int in_target_root(const std::function<int()> &fn) {
    if (!zpm::paths::target_root_active())
        return fn() == 0 ? 0 : -1;
    fflush(nullptr); // the child must not write what the parent buffered
    pid_t pid = fork();
    if (pid < 0) {
        zlogf(ZLOG_ERROR, "Cannot start a process for the target root: %s", strerror(errno));
        return -1;
    }
    if (pid == 0) {
        const std::string &root = zpm::paths::root();
        if (chroot(root.c_str()) != 0 || chdir("/") != 0) {
            zlogf(ZLOG_ERROR, "Cannot enter the target root %s: %s", root.c_str(), strerror(errno));
            _exit(1);
        }
        int rc = fn();
        fflush(nullptr);
        _exit(rc == 0 ? 0 : 1);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : -1;
}

} // namespace zpm::exec
