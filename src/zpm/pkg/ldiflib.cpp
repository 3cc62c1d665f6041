// LDIF reader and writer for package descriptions, inventory records and
// the ldif report.  Diagnostics go straight to standard error.
//
// Work buffers are sized by the line being read rather than by the whole
// buffer, so a caller's bufsize that is too small cannot cause an overrun, and
// every value handed out carries a spare terminating NUL after its length.
#include "ldiflib.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cres.h"

namespace {

constexpr const char *kFileScheme = "file://";
constexpr size_t kMaxRefPath = 1999;
constexpr size_t kFoldWidth = 77; // characters of a physical line before its "\n"

// One logical line: folds ("\n" plus one space) removed, a "\r" before the
// line end dropped.  Returns where the next line starts.
const char *next_logical_line(const char *p, std::string *line) {
    line->clear();
    const char *start = p;
    while (*p) {
        if (*p != '\n') {
            line->push_back(*p++);
            continue;
        }
        if (p[1] == ' ') {
            p += 2;
            continue;
        }
        break;
    }
    if (p > start && p[-1] == '\r' && !line->empty())
        line->pop_back();
    return *p == '\n' ? p + 1 : p;
}

char *dup_bytes(const char *data, size_t len) {
    char *out = static_cast<char *>(malloc(len + 1));
    if (!out)
        return nullptr;
    if (len)
        memcpy(out, data, len);
    out[len] = '\0';
    return out;
}

// Reads a whole regular file of the size fstat reports.  Nothing else is
// read: a device such as /dev/zero or a FIFO could block or never end.
char *read_whole_file(const char *path, int *len) {
    *len = 0;
    Fd fd(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat sb {};
    if (fd.get() < 0 || fstat(fd.get(), &sb) != 0 || !S_ISREG(sb.st_mode) || sb.st_size < 0 ||
        sb.st_size >= INT_MAX)
        return nullptr;
    size_t size = static_cast<size_t>(sb.st_size), got = 0;
    char *buf = static_cast<char *>(malloc(size + 1));
    while (buf && got < size) {
        ssize_t n = read(fd.get(), buf + got, size - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            free(buf);
            return nullptr;
        }
        got += static_cast<size_t>(n);
    }
    if (!buf)
        return nullptr;
    buf[size] = '\0';
    *len = static_cast<int>(size);
    return buf;
}

struct Parsed {
    std::string attr;
    std::string value; // raw text after the separator
    enum Kind { kText, kBase64, kFileRef } kind = kText;
};

Parsed split_attribute(const std::string &line) {
    Parsed p;
    size_t colon = line.find(':');
    if (colon == std::string::npos) {
        p.attr = line;
        return p;
    }
    p.attr = line.substr(0, colon);
    size_t skip = colon + 1; // the separator
    char next = colon + 1 < line.size() ? line[colon + 1] : '\0';
    if (next == ':' || next == '<') {
        p.kind = next == ':' ? Parsed::kBase64 : Parsed::kFileRef;
        skip++;
    } else if (p.attr.find(";binary") != std::string::npos) {
        p.kind = Parsed::kFileRef;
    }
    skip++; // the one character after the separator, whatever it is
    if (skip < line.size())
        p.value = line.substr(skip);
    return p;
}

// Decodes a base64 value; null when it does not decode to at least one byte.
char *decode_value(const std::string &text, int *len) {
    char *out = static_cast<char *>(malloc(text.size() + 1));
    if (!out)
        return nullptr;
    int n = lutil_b64_pton(text.c_str(), reinterpret_cast<unsigned char *>(out), text.size());
    if (n < 1) {
        free(out);
        return nullptr;
    }
    out[n] = '\0';
    *len = n;
    return out;
}

// File references are for trusted text only; readers of descriptions that
// came with a package switch them off (see ldif_file_refs).
bool g_file_refs = true;

char *file_ref_value(const std::string &text, int *len) {
    if (!g_file_refs)
        return dup_bytes("", 0);
    std::string path = text.compare(0, strlen(kFileScheme), kFileScheme) == 0
                           ? text.substr(strlen(kFileScheme))
                           : text;
    if (path.size() > kMaxRefPath)
        path.resize(kMaxRefPath);
    char *data = read_whole_file(path.c_str(), len);
    return data ? data : dup_bytes("", 0);
}

char *make_value(const Parsed &p, int *len, int *type) {
    *len = 0;
    if (p.kind == Parsed::kBase64) {
        *type = 1;
        return decode_value(p.value, len);
    }
    if (p.kind == Parsed::kFileRef) {
        *type = 1;
        return file_ref_value(p.value, len);
    }
    *len = static_cast<int>(strlen(p.value.c_str()));
    return dup_bytes(p.value.c_str(), size_t(*len));
}

void clear_outputs(char **attr, char **value, int *len_value) {
    if (attr)
        *attr = nullptr;
    if (value)
        *value = nullptr;
    if (len_value)
        *len_value = 0;
}

} // namespace

int ldif_file_refs(int allow) {
    int before = g_file_refs ? 1 : 0;
    g_file_refs = allow != 0;
    return before;
}

char *ldif_parse(char *buffer, int /*bufsize*/, char **attr, char **value, int *len_value,
                 int *type) {
    if (type)
        *type = 0;
    clear_outputs(attr, value, len_value);
    if (!buffer || !*buffer || !attr || !value || !len_value || !type)
        return nullptr;
    std::string line;
    char *next = const_cast<char *>(next_logical_line(buffer, &line));
    Parsed p;
    if (line.empty() || line[0] == '#') {
        p.attr = line.empty() ? "" : "#";
        p.value = p.attr;
    } else {
        p = split_attribute(line);
    }
    char *a = dup_bytes(p.attr.c_str(), strlen(p.attr.c_str()));
    char *v = a ? make_value(p, len_value, type) : nullptr;
    if (!v) {
        free(a);
        *len_value = 0;
        return nullptr;
    }
    *attr = a;
    *value = v;
    return next;
}

namespace {

bool needs_base64(const char *value) {
    unsigned char first = static_cast<unsigned char>(value[0]);
    if (first == ':' || first == '<' || first == ' ')
        return true;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(value); *p; p++)
        if (*p == '\n' || *p == '\r' || *p >= 128)
            return true;
    return false;
}

// Base64 text of the value in a work buffer of max(3 * len, 9) bytes.
bool encode_value(const char *value, int len, std::string *out) {
    size_t size = len > 3 ? size_t(len) * 3 : 9;
    CharBuf work(static_cast<char *>(malloc(size)));
    if (!work) {
        fputs("Failed to allocate base64 buffer\n", stderr);
        return false;
    }
    int want = (len + 2) / 3 * 4;
    int got = lutil_b64_ntop(reinterpret_cast<const unsigned char *>(value), size_t(len),
                             work.get(), size);
    if (got != want) {
        fprintf(stderr, "Failed to encode binary value: %d\n", got);
        return false;
    }
    out->assign(work.get(), size_t(got));
    return true;
}

// "<attr><sep><value>\n", folded into physical lines of at most 77
// characters: the first as full as it goes, then one space and 76 more each.
std::string fold_line(const char *attr, const char *sep, const std::string &value) {
    std::string head = std::string(attr) + sep;
    if (head.size() + value.size() + 1 <= kFoldWidth + 1)
        return head + value + "\n";
    size_t first = head.size() < kFoldWidth ? kFoldWidth - head.size() : 0;
    std::string out = head + value.substr(0, first) + "\n";
    for (size_t pos = first; pos < value.size(); pos += kFoldWidth - 1)
        out += " " + value.substr(pos, kFoldWidth - 1) + "\n";
    return out;
}

// The text of one attribute line; false when the value cannot be encoded.
bool build_line(const char *attr, const char *value, int len_value, int type, std::string *line) {
    if (!attr || !*attr) {
        *line = "\n";
        return true;
    }
    if (!value)
        value = "";
    if (type != 1 && !needs_base64(value)) {
        *line = fold_line(attr, ": ", value);
        return true;
    }
    int len = type == 1 ? len_value : static_cast<int>(strlen(value));
    std::string encoded;
    if (len < 0 || len > INT_MAX / 4 - 3) {
        fprintf(stderr, "Failed to encode binary value: %d\n", -1);
        return false;
    }
    if (!encode_value(value, len, &encoded))
        return false;
    *line = fold_line(attr, ":: ", encoded);
    return true;
}

} // namespace

char *ldif_write(char *buffer, int *buf_len, const char *attr, const char *value, int len_value,
                 int type) {
    if (!buf_len)
        return nullptr;
    std::string line;
    size_t used = *buf_len > 0 ? size_t(*buf_len) : 0;
    if (!build_line(attr, value, len_value, type, &line)) {
        if (used > 0)
            free(buffer);
        return nullptr;
    }
    if (used + line.size() >= size_t(INT_MAX))
        return nullptr;
    char *grown = static_cast<char *>(realloc(used > 0 ? buffer : nullptr, used + line.size() + 1));
    if (!grown)
        return nullptr;
    memcpy(grown + used, line.c_str(), line.size() + 1);
    *buf_len = static_cast<int>(used + line.size());
    return grown;
}

int ldif_fwrite(FILE *outfile, const char *attr, const char *value, int len_value, int type) {
    if (type == 0)
        len_value = value ? static_cast<int>(strlen(value)) : 0;
    int len = 0;
    CharBuf text(ldif_write(nullptr, &len, attr, value, len_value, type));
    if (!text || !outfile)
        return 0;
    return static_cast<int>(fwrite(text.get(), 1, size_t(len), outfile));
}

char *ldif_get_entry(char *buffer, int /*bufsize*/, char **entry, int *len_entry) {
    if (entry)
        *entry = nullptr;
    if (len_entry)
        *len_entry = 0;
    if (!buffer || !*buffer || !entry || !len_entry)
        return nullptr;
    std::string text, line;
    bool started = false;
    const char *p = buffer;
    while (*p) {
        p = next_logical_line(p, &line);
        if (line.empty())
            break;
        if (!started && line.compare(0, 3, "dn:") != 0)
            continue;
        started = true;
        text += line + "\n";
    }
    if (started) {
        *entry = dup_bytes(text.data(), text.size());
        if (!*entry)
            return nullptr;
        *len_entry = static_cast<int>(text.size());
    }
    return const_cast<char *>(p);
}

namespace {

// Walks the first entry for lines named attr (case ignored, "dn" never
// counted); stops at the seq-th one when seq > 0 and hands its value over.
int scan_attr(char *buf, int size, const char *attr, int seq, char **ret_value) {
    int count = 0;
    char *p = buf, *name = nullptr, *value = nullptr;
    int len = 0, type = 0;
    for (bool first = true;; first = false) {
        p = ldif_parse(p, size, &name, &value, &len, &type);
        if (!p) {
            if (first)
                fputs("Failed to parse job buffer", stderr);
            return count;
        }
        bool empty = name[0] == '\0';
        bool comment = name[0] == '#';
        bool match =
            !empty && !comment && attr && strcmp(name, "dn") != 0 && strcasecmp(name, attr) == 0;
        free(name);
        if (match && ++count == seq) {
            *ret_value = value;
            return len;
        }
        free(value);
        if (empty)
            return count;
    }
}

} // namespace

int _ldif_count_attr(char *ldif_buffer, int ldif_size, const char *attr) {
    return scan_attr(ldif_buffer, ldif_size, attr, 0, nullptr);
}

int _ldif_get_attr(char *ldif_buffer, int ldif_size, const char *attr, char **ret_value, int seq) {
    if (!ret_value)
        return 0;
    *ret_value = nullptr;
    if (seq < 1) {
        scan_attr(ldif_buffer, ldif_size, attr, 0, nullptr);
        return 0;
    }
    int len = scan_attr(ldif_buffer, ldif_size, attr, seq, ret_value);
    return *ret_value ? len : 0;
}

namespace zpm::ldif {

namespace {

std::string lower(const char *s) {
    std::string out = s ? s : "";
    for (char &c : out)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return out;
}

} // namespace

Entry::Entry(char *buf, int size) {
    char *p = buf;
    for (bool first = true;; first = false) {
        char *name = nullptr, *value = nullptr;
        int len = 0, type = 0;
        p = ldif_parse(p, size, &name, &value, &len, &type);
        if (!p) {
            if (first)
                fputs("Failed to parse job buffer", stderr);
            return;
        }
        const bool empty = name[0] == '\0';
        if (!empty && name[0] != '#' && strcmp(name, "dn") != 0)
            values_[lower(name)].emplace_back(value, static_cast<size_t>(len > 0 ? len : 0));
        free(name);
        free(value);
        if (empty)
            return;
    }
}

const std::vector<std::string> &Entry::all(const char *attr) const {
    static const std::vector<std::string> none;
    auto it = attr ? values_.find(lower(attr)) : values_.end();
    return it == values_.end() ? none : it->second;
}

const std::string *Entry::get(const char *attr, int seq) const {
    const std::vector<std::string> &v = all(attr);
    return seq >= 1 && static_cast<size_t>(seq) <= v.size() ? &v[static_cast<size_t>(seq) - 1]
                                                            : nullptr;
}

} // namespace zpm::ldif

char *_read_file(const char *filename, int *buffer_bytes) {
    int len = 0;
    char *buf = filename ? read_whole_file(filename, &len) : nullptr;
    if (buffer_bytes)
        *buffer_bytes = buf ? len : 0;
    return buf;
}
