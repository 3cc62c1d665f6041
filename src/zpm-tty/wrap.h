// What zpm-tty hands to zpm.
#ifndef ZPM_TTY_WRAP_H
#define ZPM_TTY_WRAP_H

#include <string>
#include <vector>

namespace zpmtty {

struct Wrapped {
    std::vector<std::string> args; // zpm's arguments, without the program name
    std::string table_form;        // "csv", "ldif" or "" (ZPM_TTY_TABLE)
};

// zpm writes a list or search result in its csv or ldif form as a text table
// with fixed columns; for a terminal that is to be piped, zpm-tty asks zpm for
// the table dialog instead (the outform items leave the options string) and
// has the stand-in print its rows in the form asked for.  Every other command
// line is handed on unchanged.
Wrapped wrap_args(const std::vector<std::string> &args);

} // namespace zpmtty

#endif
