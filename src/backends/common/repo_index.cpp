// Repository index: writer (through the LDIF writer, so the index is in the
// same dialect as every other description) and a single-pass reader.  The
// reader does not go through the per-attribute scans of the description
// parser: a catalogue of ten thousand packages has to load in milliseconds.
#include "repo_index.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zpcrepo {

namespace {

constexpr const char *kBaseDn = "dc=zorvek,dc=org";

// One logical line: folds (newline + one space) removed, a trailing \r cut.
struct Line {
    std::string text;
    bool blank() const { return text.empty(); }
};

// Reads the logical line at pos; advances pos.  false at the end of text.
bool next_line(const std::string &t, size_t &pos, Line &line) {
    if (pos >= t.size())
        return false;
    line.text.clear();
    for (;;) {
        size_t nl = t.find('\n', pos);
        size_t end = nl == std::string::npos ? t.size() : nl;
        line.text.append(t, pos, end - pos);
        pos = nl == std::string::npos ? t.size() : nl + 1;
        if (nl == std::string::npos || pos >= t.size() || t[pos] != ' ')
            break;
        pos++; // a fold: the next physical line continues this one
    }
    if (!line.text.empty() && line.text.back() == '\r')
        line.text.pop_back();
    return true;
}

// Splits "name: value" / "name:: base64"; false when the value does not decode.
bool split_attr(const std::string &l, std::string &name, std::string &value) {
    size_t colon = l.find(':');
    if (colon == std::string::npos) {
        name = l;
        value.clear();
        return true;
    }
    name.assign(l, 0, colon);
    bool b64 = colon + 1 < l.size() && l[colon + 1] == ':';
    size_t start = colon + (b64 ? 3 : 2);
    value = start < l.size() ? l.substr(start) : std::string();
    if (!b64)
        return true;
    std::string out(value.size() + 1, '\0');
    int n =
        lutil_b64_pton(value.c_str(), reinterpret_cast<unsigned char *>(out.data()), out.size());
    if (n < 0)
        return false;
    out.resize(static_cast<size_t>(n));
    value = std::move(out);
    return true;
}

// Digits only (strtoull alone takes blanks and a sign), within a signed
// 64-bit size as zpm reads them.
bool parse_u64(const std::string &v, uint64_t &out) {
    if (v.empty() || v.find_first_not_of("0123456789") != std::string::npos)
        return false;
    char *end = nullptr;
    errno = 0;
    unsigned long long x = strtoull(v.c_str(), &end, 10);
    if (errno || *end || x > static_cast<unsigned long long>(INT64_MAX))
        return false;
    out = x;
    return true;
}

bool is_hash(const char *h) {
    if (!h || strlen(h) != 40)
        return false;
    for (const char *p = h; *p; p++)
        if (!((*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'f')))
            return false;
    return true;
}

void set_str(char *&field, const std::string &v) {
    free(field);
    field = strdup(v.c_str());
}

// An entry under construction.
struct Entry {
    ZpiPtr zpi;
    std::vector<std::string> deps;
    bool format_ok = false;
    std::string bad;
};

void apply_attr(Entry &e, const std::string &name, const std::string &v) {
    ZPI *z = e.zpi.get();
    const char *n = name.c_str();
    if (!strcasecmp(n, "ezpmVersion"))
        e.format_ok = v == "1.0";
    else if (!strcasecmp(n, "ezpkName"))
        set_str(z->name, v);
    else if (!strcasecmp(n, "ezpkVariant"))
        set_str(z->variant, v);
    else if (!strcasecmp(n, "ezpkVersion"))
        set_str(z->version, v);
    else if (!strcasecmp(n, "ezpkArchitecture"))
        z->arch = zpk_arch_getid(v.c_str());
    else if (!strcasecmp(n, "ezpkCreator"))
        set_str(z->creator, v);
    else if (!strcasecmp(n, "ezpkDescription"))
        set_str(z->desc, v);
    else if (!strcasecmp(n, "ezpkDependency"))
        e.deps.push_back(v);
    else if (!strcasecmp(n, "ezpkDataSize") && !parse_u64(v, z->datasize))
        e.bad = "bad data size";
    else if (!strcasecmp(n, "ezpkFileSize") && !parse_u64(v, z->filesize))
        e.bad = "bad file size";
    else if (!strcasecmp(n, "ezpkFileHash"))
        set_str(z->filehash, v);
    else if (!strcasecmp(n, "ezpkRelativeURI"))
        set_str(z->rel_uri, v);
    // ezpkAbsoluteURI is for other readers of the index; this one derives the
    // location from the directory the index lives in.
}

// The relative URI names a file directly inside the repository directory.
bool plain_file_name(const char *s) {
    return s && *s && s[0] != '.' && !strchr(s, '/');
}

bool finish_entry(const std::string &dir, Entry &e, std::string &why) {
    ZPI *z = e.zpi.get();
    if (!e.bad.empty())
        why = e.bad;
    else if (!e.format_ok)
        why = "missing or unknown ezpmVersion";
    else if (!z->name || !*z->name || !z->version || !*z->version)
        why = "entry without name or version";
    else if (z->arch == 0 || z->arch == ZPK_ARCH_UNKNOWN)
        why = "entry without a known architecture";
    else if (!is_hash(z->filehash) || z->filesize == 0)
        why = "entry without file hash or size";
    else if (!plain_file_name(z->rel_uri))
        why = "entry with an unusable relative URI";
    if (!why.empty())
        return false;
    if (!e.deps.empty()) {
        z->deps = static_cast<char **>(calloc(e.deps.size() + 1, sizeof(char *)));
        for (size_t i = 0; z->deps && i < e.deps.size(); i++)
            z->deps[i] = strdup(e.deps[i].c_str());
    }
    set_str(z->abs_uri, dir + "/" + z->rel_uri);
    return true;
}

Entry new_entry() {
    Entry e;
    e.zpi.reset(static_cast<ZPI *>(calloc(1, sizeof(ZPI))));
    if (e.zpi)
        e.zpi->removable = 1;
    return e;
}

bool trailer_count(const std::string &l, long &count) {
    size_t tl = strlen(kIndexTrailer);
    if (l.compare(0, tl, kIndexTrailer) != 0)
        return false;
    char *end = nullptr;
    long n = strtol(l.c_str() + tl, &end, 10);
    if (!end || *end != '\0' || end == l.c_str() + tl || n < 0)
        return false;
    count = n;
    return true;
}

} // namespace

ReadStatus parse_index(const std::string &dir, const std::string &text, std::vector<ZpiPtr> &out,
                       std::string &why) {
    out.clear();
    size_t pos = 0;
    Line line;
    if (!next_line(text, pos, line) || line.text != kIndexHeader) {
        why = "no index header";
        return ReadStatus::corrupt;
    }
    Entry cur;
    bool in_entry = false;
    long expect = -1;
    std::string name, value;
    auto close_entry = [&]() {
        in_entry = false;
        if (!finish_entry(dir, cur, why))
            return false;
        out.push_back(std::move(cur.zpi));
        return true;
    };
    while (next_line(text, pos, line)) {
        if (expect >= 0) {
            why = "text after the end of the index";
            break;
        }
        if (line.blank()) {
            if (in_entry && !close_entry())
                break;
            continue;
        }
        if (line.text[0] == '#') {
            if (!in_entry)
                trailer_count(line.text, expect);
            continue;
        }
        if (!split_attr(line.text, name, value)) {
            why = "undecodable value";
            break;
        }
        if (name == "dn") {
            if (in_entry && !close_entry())
                break;
            cur = new_entry();
            if (!cur.zpi) {
                why = "out of memory";
                break;
            }
            in_entry = true;
            continue;
        }
        if (!in_entry) {
            why = "attribute outside an entry";
            break;
        }
        apply_attr(cur, name, value);
    }
    if (why.empty() && in_entry)
        why = "index ends inside an entry";
    if (why.empty() && expect != static_cast<long>(out.size()))
        why = expect < 0 ? "index has no end line" : "entry count does not match";
    if (!why.empty()) {
        out.clear();
        return ReadStatus::corrupt;
    }
    return ReadStatus::ok;
}

ReadStatus read_index(const std::string &dir, std::vector<ZpiPtr> &out, std::string &why,
                      const std::string &from_dir) {
    std::string path = (from_dir.empty() ? dir : from_dir) + "/" + kIndexName;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        why = strerror(errno);
        return errno == ENOENT ? ReadStatus::missing : ReadStatus::corrupt;
    }
    std::string text;
    struct stat st;
    if (fstat(fd, &st) == 0 && st.st_size > 0)
        text.reserve(static_cast<size_t>(st.st_size) + 1);
    char buf[1 << 16];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        text.append(buf, static_cast<size_t>(n));
    int err = errno;
    close(fd);
    if (n < 0) {
        why = strerror(err);
        return ReadStatus::corrupt;
    }
    return parse_index(dir, text, out, why);
}

namespace {

bool put(FILE *f, const char *attr, const char *value) {
    if (!value)
        return true;
    return ldif_fwrite(f, attr, value, 0, 0) > 0;
}

bool write_entry(FILE *f, const ZPI *z, const std::string &dir) {
    std::string dn = std::string("ezpkUid=") + zpk_puname(z) + "," + kBaseDn;
    char num[32];
    bool ok = put(f, "dn", dn.c_str()) && put(f, "ezpmVersion", "1.0") &&
              put(f, "ezpkName", z->name) && put(f, "ezpkVariant", z->variant) &&
              put(f, "ezpkVersion", z->version) &&
              put(f, "ezpkArchitecture", zpk_arch_getname(z->arch)) &&
              put(f, "ezpkCreator", z->creator) && put(f, "ezpkDescription", z->desc);
    for (char **d = z->deps; ok && d && *d; d++)
        ok = put(f, "ezpkDependency", *d);
    snprintf(num, sizeof num, "%llu", static_cast<unsigned long long>(z->datasize));
    ok = ok && put(f, "ezpkDataSize", num);
    snprintf(num, sizeof num, "%llu", static_cast<unsigned long long>(z->filesize));
    std::string abs = dir + "/" + (z->rel_uri ? z->rel_uri : "");
    ok = ok && put(f, "ezpkFileSize", num) && put(f, "ezpkFileHash", z->filehash) &&
         put(f, "ezpkAbsoluteURI", abs.c_str()) && put(f, "ezpkRelativeURI", z->rel_uri);
    return ok && fputc('\n', f) != EOF;
}

} // namespace

bool write_index(const std::string &dir, const std::vector<ZpiPtr> &zpis, std::string &why,
                 const std::string &to_dir) {
    const std::string &out_dir = to_dir.empty() ? dir : to_dir;
    std::string tmpl = out_dir + "/.index.ldif.XXXXXX";
    int fd = mkstemp(tmpl.data());
    if (fd < 0) {
        int err = errno;
        why = std::string("cannot create ") + tmpl + ": " + strerror(err);
        errno = err;
        return false;
    }
    fchmod(fd, 0644);
    File f(fdopen(fd, "w"));
    if (!f) {
        close(fd);
        unlink(tmpl.c_str());
        why = strerror(errno);
        return false;
    }
    bool ok = fprintf(f.get(), "%s\n\n", kIndexHeader) > 0;
    for (const ZpiPtr &z : zpis)
        ok = ok && write_entry(f.get(), z.get(), dir);
    ok = ok && fprintf(f.get(), "%s%zu\n", kIndexTrailer, zpis.size()) > 0;
    ok = ok && fflush(f.get()) == 0 && fsync(fileno(f.get())) == 0;
    int err = ok ? 0 : errno;
    if (fclose(f.release()) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && rename(tmpl.c_str(), (out_dir + "/" + kIndexName).c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (ok)
        return true;
    why = std::string("cannot write index in ") + out_dir + ": " + strerror(err);
    unlink(tmpl.c_str());
    errno = err;
    return false;
}

} // namespace zpcrepo
