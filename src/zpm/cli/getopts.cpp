// Command line: the option table, the option scanner and its usage text, the
// -o options string with its readers, and the options help.
#include "getopts.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>
#include <vector>

#include "zpmconf.h"

int option_index = 1;
int dry_run = 0;

namespace {

// The table's strings are never written; the record keeps plain char*.
char *S(const char *s) { return const_cast<char *>(s); }

} // namespace

const struct options zpm_option_table[] = {
    {1, S("help"), S("show extended usage"), S("H"), 0},
    {2, S("install"), S("install packages"), S("I"), 0},
    {3, S("update"), S("update packages"), S("U"), 0},
    {4, S("delete"), S("delete package"), S("D"), 0},
    {5, S("query"), S("query a package"), S("Q"), 0},
    {6, S("search"), S("search a package"), S("S"), 0},
    {7, S("list"), S("List packages"), S("L"), 0},
    {8, S("refresh"), S("Refresh package store"), S("R"), 0},
    {9, S("pin"), S("Pin an installed packace"), S("P"), 0},
    {10, S("file"), S("Find package containing file"), S("F"), 0},
    {11, S("contents"), S("List contents of package"), S("C"), 0},
    {21, S("walk"), S("Walk all dependencies of package"), S("W"), 0},
    {12, S("interactiv"), S("Ask about anything (default)"), S("i"), 0},
    {13, S("defaults"), S("Use defaults, else ask"), S("d"), 0},
    {14, S("force"), S("Never ask, abort if neccessary"), S("f"), 0},
    {15, S("refresh"), S("refresh catalogue before action"), S("r"), 0},
    {16, S("dry-run"), S("only pretend"), S("n"), 0},
    {22, S("logfile"), S("log to this file"), S("l"), 1},
    {17, S("options"), S("options, see -o help for details"), S("o"), 1},
    {18, S("verbose"), S("Show verbose output"), S("v"), 0},
    {20, S("version"), S("Show version information"), S("V"), 0},
    {0, nullptr, nullptr, nullptr, 0},
};

/* ------------------------------------------------------------ scanner */

namespace {

bool is_end_row(const struct options &o) {
    return o.number == 0 && !o.name && !o.description && !o.shortName && o.args == 0;
}

// Index of the first row naming arg ("--name" or "-short"), or -1.
int find_row(const struct options *opts, const char *arg) {
    if (arg[0] != '-')
        return -1;
    bool dashdash = arg[1] == '-';
    for (int i = 0; !is_end_row(opts[i]); i++) {
        if (dashdash && opts[i].name && std::strcmp(opts[i].name, arg + 2) == 0)
            return i;
        if (opts[i].shortName && std::strcmp(opts[i].shortName, arg + 1) == 0)
            return i;
    }
    return -1;
}

[[noreturn]] void usage_exit(const char *prog, struct options *opts) {
    getopts_usage(prog, opts);
    std::exit(0);
}

} // namespace

int getopts(int argc, char **argv, struct options *opts, char **args) {
    if (argc == 1 || option_index == argc)
        return 0;
    // "-h" anywhere, even among the names, asks for the usage.
    for (int i = 1; i < argc; i++)
        if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0)
            usage_exit(argv[0], opts);
    *args = nullptr;
    if (option_index > argc || option_index < 1)
        return 0;
    const char *arg = argv[option_index];
    int row = is_end_row(opts[0]) ? -1 : find_row(opts, arg);
    if (row < 0) {
        if (arg[0] != '-')
            return 0; // the names begin here
        *args = strdup(arg);
        if (!*args)
            return -1;
        option_index++;
        return -2;
    }
    if (opts[row].args == 1) {
        option_index++;
        if (option_index >= argc)
            usage_exit(argv[0], opts);
        if (find_row(opts, argv[option_index]) >= 0)
            usage_exit(argv[0], opts);
        *args = strdup(argv[option_index]);
        if (!*args)
            return -1;
    }
    option_index++;
    return opts[row].number;
}

/* ------------------------------------------------------------- usage */

namespace {

void usage_row(const struct options &o) {
    std::string col;
    const char *arg = o.args ? " <args>" : "";
    if (o.name && o.shortName)
        col = std::string("--") + o.name + ",\t-" + o.shortName + (o.args ? " <args>\t\t" : "\t\t\t");
    else if (o.name)
        col = std::string("--") + o.name + arg + "\t\t\t";
    else if (o.shortName)
        col = std::string("\t\t-") + o.shortName + (o.args ? " <args>\t\t" : "\t\t\t");
    else
        return;
    std::printf("  %s%s\n", col.c_str(), o.description ? o.description : "");
}

} // namespace

int getopts_usage(const char *progName, struct options *opts) {
    std::printf("Usage: %s [options]\n\n", progName);
    std::printf("  --help,\t-h\t\t\tDisplays this information\n");
    // A row is shown, and the listing goes on while the row after it has a
    // description; the all-zero end row stops it.
    for (int i = 0; opts && !is_end_row(opts[i]); i++) {
        usage_row(opts[i]);
        if (!opts[i + 1].description)
            break;
    }
    return 1;
}

/* ---------------------------------------------------- options string */

namespace {

// Adds one "key=value" item; items without "=" or with an empty key are
// ignored.
void add_item(s_ekva ***ekva, const std::string &item) {
    std::vector<char> line(item.begin(), item.end());
    line.push_back('\0');
    std::vector<char> key(line.size()), val(line.size());
    _split_line(line.data(), key.data(), val.data());
    if (key[0] == '\0')
        return;
    if (ekva_addval(ekva, key.data(), val.data(), 2) < 1)
        std::fprintf(stderr, "Failed to add value <%s> for key <%s>\n", val.data(), key.data());
}

} // namespace

s_ekva **zpmopts_str2ekva(s_ekva **ekva, const char *str, char delim) {
    if (!ekva) {
        ekva = ekva_new(static_cast<int>(std::strlen(str)), 2);
        if (!ekva)
            return nullptr;
    }
    std::string s(str);
    size_t start = 0;
    while (start <= s.size()) {
        size_t end = s.find(delim, start);
        if (end == std::string::npos)
            end = s.size();
        if (end > start)
            add_item(&ekva, s.substr(start, end - start));
        start = end + 1;
    }
    return ekva;
}

/* ----------------------------------------------------------- readers */

namespace {

const char *opt_value(s_ekva **opts, const char *key) {
    return opts ? ekva_getval(opts, key) : nullptr;
}

} // namespace

int zpm_get_votemode(s_ekva **zpm_opt_user, int opt_vote_mode) {
    if (opt_vote_mode >= 1)
        return opt_vote_mode;
    const char *v = opt_value(zpm_opt_user, "vote");
    if (v && strcasecmp(v, "defaults") == 0)
        return 2;
    if (v && strcasecmp(v, "force") == 0)
        return 3;
    return 1; // "ask", any other value, or no key
}

int zpk_verify(s_ekva **zpm_opt_user) {
    const char *v = opt_value(zpm_opt_user, "verify");
    return (v && strcasecmp(v, "false") == 0) ? 0 : 1;
}

int zpm_debug(s_ekva **zpm_opt_user) {
    const char *v = opt_value(zpm_opt_user, "debug");
    return (v && strcasecmp(v, "true") == 0) ? 1 : 0;
}

char *zpm_get_variant(s_ekva **zpm_opt_user) {
    return const_cast<char *>(opt_value(zpm_opt_user, "variant"));
}

int zpm_get_outform(s_ekva **zpm_opt_user, int mode) {
    const char *v = opt_value(zpm_opt_user, "outform");
    if (v) {
        switch (v[0]) { // the first letter alone decides, case-sensitive
        case 'c':
            return 4;
        case 'l':
            return 2;
        case 'x':
            return 3;
        default:
            break;
        }
    }
    if (mode == 5)
        return 6;
    if (mode == 4 || mode == 6)
        return 5;
    return 1;
}

/* ------------------------------------------------------ options help */

namespace {

enum HelpRow { H_VARIANT, H_VOTE, H_INCDIR, H_DEBUG, H_OUTFORM, H_VERIFY, H_VERSION, H_END };

struct HelpSection {
    int mode;
    const char *heading;
    HelpRow rows[5];
};

const HelpSection kHelpSections[] = {
    {1, "\nOptions for mode -I (install):", {H_VARIANT, H_VOTE, H_INCDIR, H_DEBUG, H_END}},
    {2, "\nOptions for mode -U (update):", {H_VARIANT, H_VOTE, H_INCDIR, H_DEBUG, H_END}},
    {3, "\nOptions for mode -D (delete):", {H_DEBUG, H_END}},
    {4, "\nOptions for mode -S (search):", {H_VARIANT, H_OUTFORM, H_DEBUG, H_END}},
    {5, "\nOptions for mode -Q (query):", {H_OUTFORM, H_VERIFY, H_DEBUG, H_END}},
    {6, "\nOptions for mode -L (list):", {H_OUTFORM, H_DEBUG, H_END}},
    {7, "\nOptions for mode -R (refresh):", {H_DEBUG, H_END}},
    {8, "\nOptions for mode -P (pin):", {H_VERSION, H_DEBUG, H_END}},
};

void help_row(HelpRow row) {
    static const char *const kText[][2] = {
        {"variant", "variant to use. On empty value, use default variant."},
        {"vote", "what to do on multiple possible candidates:"},
        {"incdir", "look for dependencies in this directory."},
        {"debug", "true: run in debug mode. This will produce loads of messages. Default is false"},
        {"outform", "output format, one of: text, csv, xml, ldif."},
        {"verify", "true: verify the package's signature. false: don't verify. Default is true"},
        {"version", "pin to given version instead of current."},
    };
    std::printf("  %-15s: %s\n", kText[row][0], kText[row][1]);
    if (row != H_VOTE)
        return;
    std::printf("  %-15s  - %-10s: %s\n", " ", "ask", "ask the user, this is the default");
    std::printf("  %-15s  - %-10s: %s\n", " ", "defaults",
                "vote for default choice if defined, else ask");
    std::printf("  %-15s  - %-10s: %s\n", " ", "force",
                "vote for default choice if defined, else abort");
}

} // namespace

void zpm_opt_help(int zpm_mode) {
    std::printf("\nOptions are specified in the form of:");
    std::printf(" -o \"opt1=val1,opt2=val2,opt3=val3,...\"\n");
    for (const HelpSection &sec : kHelpSections) {
        if (zpm_mode != 0 && zpm_mode != sec.mode)
            continue;
        std::printf("%s\n", sec.heading);
        for (int i = 0; sec.rows[i] != H_END; i++)
            help_row(sec.rows[i]);
    }
    std::printf("\n");
}
