#include "wrap.h"

#include <strings.h>

namespace zpmtty {

namespace {

std::string trim(const std::string &s) {
    size_t b = s.find_first_not_of(" \t"), e = s.find_last_not_of(" \t");
    return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

// The key of an options-string item as zpm reads it (text before the first
// "=", cut at its first blank), or "" for an item without "=".
std::string key_of(const std::string &item, std::string *value) {
    size_t eq = item.find('=');
    if (eq == std::string::npos)
        return "";
    std::string key = trim(item.substr(0, eq));
    key = key.substr(0, key.find_first_of(" \t"));
    *value = trim(item.substr(eq + 1));
    if (!value->empty() && (value->front() == '"' || value->front() == '\''))
        value->erase(0, 1);
    return key;
}

// Removes the outform items; the form the last one asks for, or "".
std::string take_outform(std::string *options) {
    std::string form, kept, item;
    size_t start = 0;
    while (start <= options->size()) {
        size_t end = options->find(',', start);
        if (end == std::string::npos)
            end = options->size();
        item = options->substr(start, end - start);
        start = end + 1;
        std::string value;
        if (!strcasecmp(key_of(item, &value).c_str(), "outform")) {
            form = value.empty() ? "" : value[0] == 'c' ? "csv" : value[0] == 'l' ? "ldif" : "";
            continue;
        }
        if (!item.empty())
            kept += (kept.empty() ? "" : ",") + item;
    }
    if (!form.empty())
        *options = kept;
    return form;
}

bool is_listing(const std::string &a) {
    return a == "-L" || a == "--list" || a == "-S" || a == "--search";
}

} // namespace

Wrapped wrap_args(const std::vector<std::string> &args) {
    Wrapped w{args, ""};
    long options_at = -1;
    bool listing = false;
    for (size_t i = 0; i < args.size(); i++) {
        const std::string &a = args[i];
        if (a.empty() || a[0] != '-')
            break; // the names begin
        if ((a == "-o" || a == "--options" || a == "-l" || a == "--logfile") &&
            i + 1 < args.size()) {
            if (a == "-o" || a == "--options")
                options_at = static_cast<long>(i + 1);
            i++;
            continue;
        }
        if (is_listing(a))
            listing = true;
    }
    if (!listing || options_at < 0)
        return w;
    std::string options = args[static_cast<size_t>(options_at)];
    if (options == "help")
        return w;
    std::string form = take_outform(&options);
    if (form.empty())
        return w;
    w.args[static_cast<size_t>(options_at)] = options;
    w.table_form = form;
    return w;
}

} // namespace zpmtty
