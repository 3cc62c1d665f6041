// Starting a dialog command.  A dialog is one shell command line; when the
// line is a plain "yad ..." word list (every text in it quoted), yad is
// started directly with the words the shell would have given it, one process
// and one shell start-up fewer per dialog.  Anything else, and any line whose
// program cannot be started that way, goes through the shell as before, so
// what the user sees (an error from the shell included) stays the same.  The
// redirections zpm's own lines end with, " 2>/dev/null" and " >/dev/null
// 2>&1", are carried out for yad the same way.
#ifndef ZPM_UI_DIALOG_RUN_H
#define ZPM_UI_DIALOG_RUN_H

#include <string>

namespace zpm::ui {

// As std::system(cmd): the wait status of the command.
int run_dialog(const std::string &cmd);

// As popen(cmd, "w"), writing text (when not null) and pclose: the wait
// status, -1 when the command cannot be started.
int run_dialog_with_input(const std::string &cmd, const char *text);

// As popen(cmd, "r"), reading the first line (without its line end, at most
// 1023 bytes), and pclose: false when the command cannot be started or
// prints nothing.
bool run_dialog_first_line(const std::string &cmd, std::string *line);

} // namespace zpm::ui

#endif
