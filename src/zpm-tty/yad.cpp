// The terminal stand-in for the dialog program, installed as "yad" in a
// directory of its own that zpm-tty puts first on PATH.  It understands the
// dialogs zpm starts and answers them as the dialog program would (exit
// status, what it prints): messages, forms and tables become text on the
// output zpm-tty handed down (ZPM_TTY_OUT, else standard output), questions
// and choices are asked on the terminal.  Without a terminal a question is
// refused: no is answered and no choice is made, and standard error says so.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "cres.h"
#include "dialog.h"
#include "zpm_build.h"

using namespace zpmtty;

namespace {

constexpr int kTimeoutStatus = 70; // what the dialog program ends with on --timeout

// Where text goes: the output zpm-tty handed down, since zpm sends the
// dialog program's own output of forms and tables elsewhere.
FILE *text_out() {
    const char *fd_text = getenv("ZPM_TTY_OUT");
    if (fd_text && *fd_text) {
        char *end = nullptr;
        long fd = strtol(fd_text, &end, 10);
        if (*end == '\0' && fd > 2 && fcntl(static_cast<int>(fd), F_GETFD) >= 0)
            if (FILE *f = fdopen(static_cast<int>(fd), "w"))
                return f;
    }
    return stdout;
}

std::string slurp(FILE *in) {
    std::string all;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, in)) > 0)
        all.append(buf, n);
    return all;
}

// Asks on the terminal; false when there is none or it ends.
bool ask(const std::string &prompt, std::string *reply) {
    File tty(fopen("/dev/tty", "r+e"));
    if (!tty)
        return false;
    fputs(prompt.c_str(), tty.get());
    fflush(tty.get());
    char line[4096];
    if (!fgets(line, sizeof line, tty.get()))
        return false;
    *reply = line;
    return true;
}

void refuse(const char *what, const std::string &text, const char *hint) {
    fprintf(stderr, "zpm-tty: no terminal to answer on, %s: %s\n(%s)\n", what, text.c_str(), hint);
}

int question(const Dialog &d) {
    std::string reply;
    for (int tries = 0; tries < 5; tries++) {
        if (!ask(d.text + (d.text.empty() || d.text.back() == '\n' ? "" : "\n") + "[y/n] ",
                 &reply)) {
            refuse("answering no", d.text, "-d or -f takes the default answers without asking");
            return 1;
        }
        int yes = yes_no(reply);
        if (yes >= 0)
            return yes ? 0 : 1;
    }
    return 1;
}

int entry(const Dialog &d) {
    std::string prompt = d.text + "\n";
    for (size_t i = 0; i < d.values.size(); i++)
        prompt += "  " + std::to_string(i + 1) + ") " + d.values[i] + "\n";
    prompt += "Choice (number): ";
    std::string reply;
    for (int tries = 0; tries < 5; tries++) {
        if (!ask(prompt, &reply)) {
            refuse("choosing nothing", d.text, "-f takes the default choice without asking");
            return 1;
        }
        std::string chosen = choice(d.values, reply);
        if (!chosen.empty()) {
            printf("%s\n", chosen.c_str());
            return 0;
        }
    }
    return 1;
}

TableForm table_form() {
    const char *f = getenv("ZPM_TTY_TABLE");
    if (f && !strcmp(f, "csv"))
        return TableForm::csv;
    if (f && !strcmp(f, "ldif"))
        return TableForm::ldif;
    return TableForm::text;
}

int text_info(const Dialog &d, FILE *out) {
    if (d.filename.empty()) {
        print_text(out, slurp(stdin));
        return 0;
    }
    File f(fopen(d.filename.c_str(), "re"));
    if (!f) {
        fprintf(stderr, "zpm-tty: cannot read %s\n", d.filename.c_str());
        return 1;
    }
    print_text(out, slurp(f.get()));
    return 0;
}

const char kHelp[] =
    "Usage: yad DIALOG-OPTIONS...\n"
    "The terminal stand-in for the dialog program, for zpm-tty: it shows the dialogs\n"
    "zpm starts as text and asks their questions on the terminal.  Run zpm-tty, not\n"
    "this program.\n";

} // namespace

int main(int argc, char **argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    Dialog d = parse(args);
    FILE *out = text_out();
    switch (d.kind) {
    case Kind::version:
        printf("%s (zpm-tty)\n", ZPM_VERSION);
        return 0;
    case Kind::help:
        fputs(kHelp, stdout);
        return 0;
    case Kind::text_info:
        return text_info(d, out);
    case Kind::info:
        print_text(out, d.text);
        return d.timeout ? kTimeoutStatus : 0;
    case Kind::form:
        print_form(out, d);
        return 0;
    case Kind::list:
        print_table(out, d, rows_of(slurp(stdin), d.columns.size()), table_form());
        return 0; // closed without a choice: nothing printed
    case Kind::question:
        return question(d);
    case Kind::entry:
        return entry(d);
    case Kind::unknown:
        break;
    }
    fprintf(stderr, "zpm-tty: a dialog this stand-in does not know:");
    for (const auto &a : args)
        fprintf(stderr, " %s", a.c_str());
    fputc('\n', stderr);
    return 1;
}
