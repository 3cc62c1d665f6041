// The dialogs zpm starts, read from a yad command line, and how the terminal
// stand-in shows them: messages and tables as text, questions on the
// terminal.
#ifndef ZPM_TTY_DIALOG_H
#define ZPM_TTY_DIALOG_H

#include <cstdio>
#include <string>
#include <vector>

namespace zpmtty {

enum class Kind { version, help, text_info, info, question, form, entry, list, unknown };

struct Dialog {
    Kind kind = Kind::unknown;
    std::string title;
    std::string text;
    std::string filename;             // --text-info --filename=
    bool timeout = false;             // --timeout: the message closes by itself
    std::vector<std::string> fields;  // --form: labels ("" repeats the one before)
    std::vector<std::string> columns; // --list: titles, the hidden ID first
    std::vector<std::string> values;  // form values, or the entry's choices
};

// Reads a yad command line (without the program name).
Dialog parse(const std::vector<std::string> &args);

// How a table is printed: aligned columns, colon-separated values, or LDIF.
enum class TableForm { text, csv, ldif };

// The rows of a list's data (one value per line, the ID first, as yad
// reads it) as rows of values.
std::vector<std::vector<std::string>> rows_of(const std::string &data, size_t columns);

// Writes a table without its hidden ID column.  The text form starts with
// the dialog's text less its selection hint.
void print_table(FILE *out, const Dialog &d, const std::vector<std::vector<std::string>> &rows,
                 TableForm form);
// Writes a form as "Label: value" lines under its heading.
void print_form(FILE *out, const Dialog &d);
// Writes a message, ended by a line end.
void print_text(FILE *out, const std::string &text);

// The answer to a yes/no question from a reply line: 1 yes, 0 no, -1 neither.
int yes_no(const std::string &reply);
// The chosen value of an entry from a reply line (a number or the value
// itself); "" when the reply names none.
std::string choice(const std::vector<std::string> &choices, const std::string &reply);

} // namespace zpmtty

#endif
