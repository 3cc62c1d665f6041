// Configuration file reader: key=value lines and "include <file>" lines.
// It runs before the log exists, so every message goes to standard error.
#include "zpmconf.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <utility>
#include <vector>

#include "cres.h"

namespace {

constexpr int kMaxEntries = 1024;
// Includes nest at most this deep; deeper ones are reported and skipped.
constexpr int kMaxIncludeDepth = 16;
constexpr const char *kIncludeWord = "include ";
constexpr size_t kIncludeLen = 8;

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}
bool is_quote(char c) {
    return c == '"' || c == '\'';
}

// Files being read on the current include chain, to stop include loops.
using FileId = std::pair<dev_t, ino_t>;

struct ReadState {
    std::vector<FileId> chain;
};

s_ekva **read_file_into(s_ekva **conf, const char *name, ReadState *st, bool nested);

// Reads the file named by an include line; keeps the current table when the
// nested read yields none (it has then reported why).
s_ekva **follow_include(s_ekva **conf, const char *line, ReadState *st) {
    std::string name(line + kIncludeLen);
    _clean_val(name.data());
    name.resize(strlen(name.c_str()));
    if (st->chain.size() >= size_t(kMaxIncludeDepth)) {
        fprintf(stderr, "Include nesting deeper than %d levels, skipping <%s>\n", kMaxIncludeDepth,
                name.c_str());
        return conf;
    }
    s_ekva **nested = read_file_into(conf, name.c_str(), st, true);
    return nested ? nested : conf;
}

void store_pair(s_ekva ***conf, int *count, const char *key, const char *val) {
    if (*count > kMaxEntries - 1) {
        fprintf(stderr, "Maximum of %d entires reached\n", kMaxEntries);
        return;
    }
    int n = ekva_addval(conf, key, val, EKVA_ADD_REPLACE);
    if (n < 1)
        fprintf(stderr, "Failed to add value <%s> for key <%s>\n", val, key);
    else
        *count = n;
}

// An include must name a regular file that is not already being read: a
// device such as /dev/zero never ends and a loop never finishes.
bool may_read(FILE *f, const char *name, ReadState *st, bool nested, FileId *id) {
    struct stat sb {};
    if (fstat(fileno(f), &sb) != 0)
        return true;
    *id = {sb.st_dev, sb.st_ino};
    if (nested && !S_ISREG(sb.st_mode)) {
        fprintf(stderr, "Failed to open <%s>: %s\n", name, "Not a regular file");
        return false;
    }
    for (const FileId &seen : st->chain) {
        if (seen == *id) {
            fprintf(stderr, "Skipping include of <%s>: it is already being read\n", name);
            return false;
        }
    }
    return true;
}

// getline's buffer, sized by the longest line so far.
struct LineBuf {
    char *p = nullptr;
    size_t cap = 0;
    LineBuf() = default;
    LineBuf(const LineBuf &) = delete;
    LineBuf &operator=(const LineBuf &) = delete;
    ~LineBuf() { free(p); }
};

s_ekva **read_lines(s_ekva **conf, FILE *f, ReadState *st) {
    int count = ekva_nument(conf);
    LineBuf buf;
    ssize_t got;
    while ((got = getline(&buf.p, &buf.cap, f)) >= 0) {
        char *line = buf.p;
        if (got > 0 && line[got - 1] == '\n')
            line[got - 1] = '\0';
        size_t len = strlen(line); // a NUL byte ends the line's text
        std::vector<char> key(len + 1), val(len + 1);
        _split_line(line, key.data(), val.data());
        if (key[0] == '\0') {
            if (strncasecmp(line, kIncludeWord, kIncludeLen) == 0)
                conf = follow_include(conf, line, st);
            continue;
        }
        store_pair(&conf, &count, key.data(), val.data());
    }
    return conf;
}

s_ekva **read_file_into(s_ekva **conf, const char *name, ReadState *st, bool nested) {
    File f(fopen(name, "r"));
    if (!f) {
        fprintf(stderr, "Failed to open <%s>: %s\n", name, strerror(errno));
        return nullptr;
    }
    FileId id{0, 0};
    if (!may_read(f.get(), name, st, nested, &id))
        return nullptr;
    if (!conf && !(conf = ekva_new(kMaxEntries, EKVA_ADD_REPLACE)))
        return nullptr;
    st->chain.push_back(id);
    conf = read_lines(conf, f.get(), st);
    st->chain.pop_back();
    return conf;
}

} // namespace

s_ekva **zpmconf_read(s_ekva **zpmconf, const char *config_filename) {
    if (!config_filename) {
        fputs("No config file specified\n", stderr);
        return nullptr;
    }
    ReadState st;
    return read_file_into(zpmconf, config_filename, &st, false);
}

void _clean_key(char *key) {
    if (!key || !*key)
        return;
    char *start = key;
    while (is_blank(*start))
        start++;
    size_t len = 0;
    while (start[len] && !is_blank(start[len]))
        len++;
    memmove(key, start, len);
    key[len] = '\0';
}

// Quoted value: up to the next quote of either kind that does not follow a
// backslash; a quote after a backslash replaces the backslash.
static void unquote(char *val, const char *body) {
    std::string out;
    for (const char *p = body; *p; p++) {
        if (is_quote(*p)) {
            if (p == body || p[-1] != '\\')
                break;
            out.back() = *p;
            continue;
        }
        out.push_back(*p);
    }
    memcpy(val, out.c_str(), out.size() + 1);
}

static void trim_trailing_spaces(char *val) {
    size_t len = strlen(val);
    while (len > 0 && val[len - 1] == ' ') {
        fprintf(stderr, "Remove trailing space in <%s>\n", val);
        val[--len] = '\0';
        fprintf(stderr, "Removed trailing space: <%s>\n", val);
    }
}

void _clean_val(char *val) {
    if (!val || !*val)
        return;
    char *start = val;
    while (is_blank(*start))
        start++;
    memmove(val, start, strlen(start) + 1);
    if (is_quote(val[0])) {
        std::string body(val + 1);
        unquote(val, body.c_str());
        return;
    }
    trim_trailing_spaces(val);
}

void _split_line(char *line, char *key, char *val) {
    const char *eq = line ? strchr(line, '=') : nullptr;
    if (!eq) {
        key[0] = '\0';
        val[0] = '\0';
        return;
    }
    size_t klen = size_t(eq - line);
    memcpy(key, line, klen);
    key[klen] = '\0';
    strcpy(val, eq + 1);
    if (*key)
        _clean_key(key);
    if (*val)
        _clean_val(val);
}
