// zpm-tty: zpm without a display.  Runs zpm with the terminal stand-in for
// the dialog program first on PATH, so that messages, forms and tables come
// out as text on standard output and questions are asked on the terminal.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "wrap.h"
#include "zpm_build.h"

namespace {

const char kHelp[] =
    "Usage: zpm-tty [zpm options] [names]\n"
    "Runs zpm without a display: every dialog is shown as text on standard output,\n"
    "and questions are asked on the terminal (/dev/tty).  Without a terminal a\n"
    "question is answered no and a choice is not made; use -d or -f to take the\n"
    "defaults.  A list or search with -o outform=csv or outform=ldif prints its\n"
    "rows as colon-separated values or LDIF.  The stand-in lies in " ZPM_BACKEND_DIR "/tty.\n"
    "zpm's own usage follows.\n\n";

// zpm beside this program, else the one on PATH.
std::string zpm_program() {
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        self[n] = '\0';
        std::string dir(self);
        dir.erase(dir.rfind('/') + 1);
        if (access((dir + "zpm").c_str(), X_OK) == 0)
            return dir + "zpm";
    }
    return "zpm";
}

} // namespace

int main(int argc, char **argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    for (const auto &a : args)
        if (a == "-h" || a == "--help") {
            fputs(kHelp, stdout);
            fflush(stdout);
        }
    zpmtty::Wrapped w = zpmtty::wrap_args(args);
    const char *path = getenv("PATH");
    std::string newpath = std::string(ZPM_BACKEND_DIR) + "/tty:" + (path ? path : "/usr/bin:/bin");
    int out = dup(1); // the stand-in's text goes here, wherever zpm sends its output
    if (setenv("PATH", newpath.c_str(), 1) != 0 ||
        (out >= 0 && setenv("ZPM_TTY_OUT", std::to_string(out).c_str(), 1) != 0) ||
        (w.table_form.empty() ? unsetenv("ZPM_TTY_TABLE")
                              : setenv("ZPM_TTY_TABLE", w.table_form.c_str(), 1)) != 0) {
        perror("zpm-tty");
        return 1;
    }
    std::string prog = zpm_program();
    std::vector<char *> av{const_cast<char *>("zpm")};
    for (auto &a : w.args)
        av.push_back(a.data());
    av.push_back(nullptr);
    if (prog.find('/') != std::string::npos)
        execv(prog.c_str(), av.data());
    else
        execvp(prog.c_str(), av.data());
    fprintf(stderr, "zpm-tty: cannot run %s: %s\n", prog.c_str(), strerror(errno));
    return 127;
}
