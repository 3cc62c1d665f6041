#include "dialog.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "ldiflib.h"

namespace zpmtty {

namespace {

// Options of yad that take a value, given as "--opt=value" or "--opt value".
const char *const kWithValue[] = {"title",        "text",        "image",         "entry-text",
                                  "filename",     "timeout",     "column",        "field",
                                  "button",       "width",       "height",        "fontname",
                                  "print-column", "hide-column", "buttons-layout"};

bool takes_value(const std::string &opt) {
    for (const char *o : kWithValue)
        if (opt == o)
            return true;
    return false;
}

void take(Dialog &d, const std::string &opt, const std::string &val, bool *question) {
    if (opt == "title")
        d.title = val;
    else if (opt == "text")
        d.text = val;
    else if (opt == "filename")
        d.filename = val;
    else if (opt == "timeout")
        d.timeout = true;
    else if (opt == "column")
        d.columns.push_back(val);
    else if (opt == "field")
        d.fields.push_back(val.size() >= 3 && val.compare(val.size() - 3, 3, ":RO") == 0
                               ? val.substr(0, val.size() - 3)
                               : val);
    else if (opt == "entry-text")
        d.values.push_back(val);
    else if (opt == "button" && val.rfind("gtk-yes", 0) == 0)
        *question = true;
}

Kind kind_of(const std::string &flag) {
    if (flag == "version")
        return Kind::version;
    if (flag == "help")
        return Kind::help;
    if (flag == "text-info")
        return Kind::text_info;
    if (flag == "form")
        return Kind::form;
    if (flag == "entry")
        return Kind::entry;
    if (flag == "list")
        return Kind::list;
    return Kind::unknown;
}

const char kHint[] =
    "Select an entry by either double clicking it or else a single click and the press ok";

} // namespace

Dialog parse(const std::vector<std::string> &args) {
    Dialog d;
    bool question = false, any_kind = false;
    for (size_t i = 0; i < args.size(); i++) {
        const std::string &a = args[i];
        if (a.rfind("--", 0) != 0) {
            d.values.push_back(a); // form values, further entry choices
            continue;
        }
        std::string opt = a.substr(2), val;
        size_t eq = opt.find('=');
        if (eq != std::string::npos) {
            val = opt.substr(eq + 1);
            opt.resize(eq);
        } else if (takes_value(opt) && i + 1 < args.size()) {
            val = args[++i];
        } else {
            Kind k = kind_of(opt);
            if (k != Kind::unknown && !any_kind) {
                d.kind = k;
                any_kind = true;
            }
            continue;
        }
        take(d, opt, val, &question);
    }
    if (!any_kind && question)
        d.kind = Kind::question;
    else if (!any_kind && !d.text.empty())
        d.kind = Kind::info;
    return d;
}

std::vector<std::vector<std::string>> rows_of(const std::string &data, size_t columns) {
    std::vector<std::vector<std::string>> rows;
    if (columns == 0)
        return rows;
    std::vector<std::string> row;
    size_t start = 0;
    while (start < data.size()) {
        size_t end = data.find('\n', start);
        if (end == std::string::npos)
            end = data.size();
        row.push_back(data.substr(start, end - start));
        start = end + 1;
        if (row.size() == columns) {
            rows.push_back(std::move(row));
            row.clear();
        }
    }
    if (!row.empty()) { // a cut row still shows what came
        row.resize(columns);
        rows.push_back(std::move(row));
    }
    return rows;
}

namespace {

void print_aligned(FILE *out, const std::vector<std::string> &titles,
                   const std::vector<std::vector<std::string>> &rows) {
    std::vector<size_t> width(titles.size());
    for (size_t c = 0; c < titles.size(); c++) {
        width[c] = titles[c].size();
        for (const auto &r : rows)
            width[c] = std::max(width[c], r[c + 1].size());
    }
    auto line = [&](auto cell) {
        std::string s;
        for (size_t c = 0; c < titles.size(); c++) {
            std::string v = cell(c);
            s += v;
            if (c + 1 < titles.size())
                s += std::string(width[c] - v.size() + 2, ' ');
        }
        while (!s.empty() && s.back() == ' ')
            s.pop_back();
        std::fprintf(out, "%s\n", s.c_str());
    };
    line([&](size_t c) { return titles[c]; });
    line([&](size_t c) { return std::string(titles[c].size(), '-'); });
    for (const auto &r : rows)
        line([&](size_t c) { return r[c + 1]; });
}

// The package schema's attribute for a column of zpm's package tables.
std::string attribute_of(const std::string &title) {
    static const char *const map[][2] = {{"Name", "ezpkName"},
                                         {"Variant", "ezpkVariant"},
                                         {"Version", "ezpkVersion"},
                                         {"Description", "ezpkDescription"},
                                         {"Dependencies", "ezpkDependency"}};
    for (const auto &m : map)
        if (title == m[0])
            return m[1];
    return title;
}

void print_ldif(FILE *out, const std::vector<std::string> &titles,
                const std::vector<std::vector<std::string>> &rows) {
    for (const auto &r : rows) {
        std::fprintf(out, "dn: ezpkName=%s,dc=zorvek,dc=org\n", r[1].c_str());
        for (size_t c = 0; c < titles.size(); c++) {
            const std::string attr = attribute_of(titles[c]);
            const std::string &v = r[c + 1];
            size_t from = 0;
            // Dependencies come joined by ","; the schema has one value each.
            while (!v.empty() && from <= v.size()) {
                size_t to = attr == "ezpkDependency" ? v.find(',', from) : std::string::npos;
                if (to == std::string::npos)
                    to = v.size();
                std::string one = v.substr(from, to - from);
                if (!one.empty())
                    ldif_fwrite(out, attr.c_str(), one.c_str(), 0, 0);
                from = to + 1;
            }
        }
        std::fputs("\n", out);
    }
}

} // namespace

void print_table(FILE *out, const Dialog &d, const std::vector<std::vector<std::string>> &rows,
                 TableForm form) {
    std::vector<std::string> titles(d.columns.begin() + (d.columns.empty() ? 0 : 1),
                                    d.columns.end());
    if (form == TableForm::csv) {
        for (const auto &r : rows) {
            std::string s;
            for (size_t c = 1; c < r.size(); c++)
                s += (c > 1 ? ":" : "") + r[c];
            std::fprintf(out, "%s\n", s.c_str());
        }
    } else if (form == TableForm::ldif) {
        print_ldif(out, titles, rows);
    } else {
        std::string text = d.text;
        size_t hint = text.find(kHint);
        if (hint != std::string::npos)
            text.erase(hint);
        while (!text.empty() && text.back() == '\n')
            text.pop_back();
        if (!text.empty())
            std::fprintf(out, "%s\n\n", text.c_str());
        print_aligned(out, titles, rows);
    }
    std::fflush(out);
}

void print_form(FILE *out, const Dialog &d) {
    size_t width = 0;
    for (const auto &f : d.fields)
        width = std::max(width, f.size() + 1);
    if (!d.text.empty())
        std::fprintf(out, "%s\n\n", d.text.c_str());
    for (size_t i = 0; i < d.fields.size(); i++) {
        std::string label = d.fields[i].empty() ? "" : d.fields[i] + ":";
        const std::string value = i < d.values.size() ? d.values[i] : "";
        std::fprintf(out, "%-*s %s\n", static_cast<int>(width), label.c_str(), value.c_str());
    }
    std::fflush(out);
}

void print_text(FILE *out, const std::string &text) {
    std::fputs(text.c_str(), out);
    if (!text.empty() && text.back() != '\n')
        std::fputc('\n', out);
    std::fflush(out);
}

int yes_no(const std::string &reply) {
    std::string r = reply;
    while (!r.empty() && (r.back() == '\n' || r.back() == '\r' || r.back() == ' '))
        r.pop_back();
    if (!strcasecmp(r.c_str(), "y") || !strcasecmp(r.c_str(), "yes"))
        return 1;
    if (!strcasecmp(r.c_str(), "n") || !strcasecmp(r.c_str(), "no"))
        return 0;
    return -1;
}

std::string choice(const std::vector<std::string> &choices, const std::string &reply) {
    std::string r = reply;
    while (!r.empty() && (r.back() == '\n' || r.back() == '\r' || r.back() == ' '))
        r.pop_back();
    if (r.empty())
        return "";
    char *end = nullptr;
    long n = std::strtol(r.c_str(), &end, 10);
    if (*end == '\0' && n >= 1 && static_cast<size_t>(n) <= choices.size())
        return choices[static_cast<size_t>(n) - 1];
    for (const auto &c : choices)
        if (c == r)
            return c;
    return "";
}

} // namespace zpmtty
