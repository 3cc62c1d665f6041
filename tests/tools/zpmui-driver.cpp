// Drives zpm's dialog functions from the command line, for the shell tests:
//
//   zpmui-driver [-v VOTE] info TEXT [CONFIRM]      prints the dialog's exit status
//   zpmui-driver [-v VOTE] write TEXT [CONFIRM]     (TEXT goes to yad's standard input)
//   zpmui-driver [-v VOTE] file PATH
//   zpmui-driver [-v VOTE] yesno QUESTION [DEFAULT] prints 1 (yes) or 0 (no)
//   zpmui-driver [-v VOTE] form HEADING KEY=VALUE...
//   zpmui-driver [-v VOTE] select PROMPT DEFAULT KEY=VALUE...  prints the key, or "(null)"
//   zpmui-driver [-v VOTE] table HEADER COL,COL,... VAL,VAL,... ...  prints the chosen row's ID
//                                                    (rows get IDs 1, 2, ...)
//
// Exit status 0 when the dialog ran, 2 on bad usage, 1 when the interface cannot start.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "ekva.h"
#include "getopts.h"
#include "zpmui.h"

namespace {

// Exit status of a dialog from a wait status; -1 when it did not exit.
int exit_of(int st) { return (st != -1 && WIFEXITED(st)) ? WEXITSTATUS(st) : -1; }

s_ekva **pairs(char **from, char **to) {
    s_ekva **e = ekva_new(16, 3);
    for (char **p = from; p < to; p++) {
        const char *eq = std::strchr(*p, '=');
        std::string key = eq ? std::string(*p, static_cast<size_t>(eq - *p)) : std::string(*p);
        ekva_addval(&e, key.c_str(), eq ? eq + 1 : nullptr, 3);
    }
    return e;
}

// One comma-separated list as ekva entries (keys: the texts, or "cN").
s_ekva **split(const char *list, bool as_keys) {
    s_ekva **e = ekva_new(16, 3);
    std::string s = list;
    size_t start = 0;
    for (int n = 0; start <= s.size(); n++) {
        size_t end = s.find(',', start);
        if (end == std::string::npos)
            end = s.size();
        std::string item = s.substr(start, end - start);
        if (as_keys)
            ekva_addval(&e, item.c_str(), nullptr, 3);
        else
            ekva_addval(&e, ("c" + std::to_string(n)).c_str(), item.c_str(), 3);
        start = end + 1;
    }
    return e;
}

int table(int argc, char **argv) {
    if (argc < 2)
        return 2;
    s_ekva **head = split(argv[1], true);
    int r = zpmui_write_table_new(zpmui, argv[0], head);
    ekva_free(head);
    if (r != 0)
        return 1;
    for (int i = 2; i < argc; i++) {
        s_ekva **row = split(argv[i], false);
        zpmui_write_table_add(zpmui, row, i - 1);
        ekva_free(row);
    }
    std::printf("%d\n", zpmui_write_table_end(zpmui, nullptr));
    return 0;
}

int run(const std::string &cmd, int argc, char **argv) {
    auto arg = [&](int i, int def) { return argc > i ? std::atoi(argv[i]) : def; };
    if (argc < 1)
        return 2;
    if (cmd == "info")
        std::printf("%d\n", exit_of(zpmui_write_info(zpmui, argv[0], arg(1, 0))));
    else if (cmd == "write")
        std::printf("%d\n", exit_of(zpmui_write(zpmui, argv[0], arg(1, 1))));
    else if (cmd == "file")
        std::printf("%d\n", exit_of(zpmui_write_file(zpmui, argv[0], 1)));
    else if (cmd == "yesno")
        std::printf("%d\n", zpmui_yesno(zpmui, argv[0], arg(1, 1)));
    else if (cmd == "form") {
        s_ekva **e = pairs(argv + 1, argv + argc);
        std::printf("%d\n", exit_of(zpmui_write_form(zpmui, argv[0], e)));
        ekva_free(e);
    } else if (cmd == "select" && argc >= 2) {
        s_ekva **e = pairs(argv + 2, argv + argc);
        char *key = zpmui_select(zpmui, argv[0], e, argv[1], 0);
        std::printf("%s\n", key ? key : "(null)");
        ekva_free(e);
    } else if (cmd == "table")
        return table(argc, argv);
    else
        return 2;
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    int i = 1;
    if (argc > 2 && std::strcmp(argv[1], "-v") == 0) {
        vote_mode = std::atoi(argv[2]);
        i = 3;
    }
    if (i >= argc) {
        std::fprintf(stderr, "usage: zpmui-driver [-v VOTE] info|write|file|yesno|form|select|"
                             "table ARGS...\n");
        return 2;
    }
    zpmui = zpmui_init("zpm: Zorvek Package Manager");
    if (!zpmui) {
        std::fprintf(stderr, "Failed to initualize user interface\n");
        return 1;
    }
    int r = run(argv[i], argc - i - 1, argv + i + 1);
    std::fflush(stdout);
    zpmui_free(zpmui);
    return r;
}
