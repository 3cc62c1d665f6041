// Repository index: writer (through the LDIF writer, so the index is in the
// same dialect as every other description) and a single-pass reader.  The
// reader does not go through the per-attribute scans of the description
// parser: a catalogue of ten thousand packages has to load in milliseconds.
#include "repo_index.h"

#include <algorithm>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

namespace zpcrepo {

namespace {

constexpr const char *kBaseDn = "dc=zorvek,dc=org";

// Reads the logical lines of an index: folds (newline + one space) joined, a
// trailing \r cut.  The text is given whole, or read from a file through a
// window that moves along it (an index below kSplitIndexBytes is read that
// way; a larger one is read whole, to be parsed on two threads).  A line is a view into the text or
// the window, valid until the next call; a folded one is assembled in a buffer of the reader's own.
class Lines {
  public:
    explicit Lines(std::string_view text) : data_(text.data()), size_(text.size()) {}
    explicit Lines(int fd) : fd_(fd), eof_(false) {}

    bool next(std::string_view &line) {
        size_t stop = 0;
        if (!have(1))
            return false;
        find_end(stop);
        if (!folded(stop)) {
            line = std::string_view(data_ + pos_, stop);
            pos_ += std::min(stop + 1, size_ - pos_);
        } else {
            joined_.assign(data_ + pos_, stop);
            while (folded(stop)) {
                pos_ += stop + 2; // past the newline and the fold's space
                find_end(stop);
                joined_.append(data_ + pos_, stop);
            }
            pos_ += std::min(stop + 1, size_ - pos_);
            line = joined_;
        }
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        return true;
    }
    // The errno of a failed read of the file, or 0.
    int error() const { return err_; }

  private:
    static constexpr size_t kWindow = 1 << 18;

    // Whether n bytes from the current position are there, reading on as needed.
    bool have(size_t n) {
        while (size_ - pos_ < n && !eof_)
            fill();
        return size_ - pos_ >= n;
    }
    void fill() {
        size_t rest = size_ - pos_;
        if (buf_.size() < rest + kWindow / 2)
            buf_.resize(std::max(kWindow, 2 * (rest + kWindow / 2)));
        memmove(buf_.data(), buf_.data() + pos_, rest);
        pos_ = 0;
        ssize_t n;
        do
            n = read(fd_, buf_.data() + rest, buf_.size() - rest);
        while (n < 0 && errno == EINTR);
        if (n <= 0) {
            eof_ = true;
            err_ = n < 0 ? errno : 0;
        }
        size_ = rest + static_cast<size_t>(n > 0 ? n : 0);
        data_ = buf_.data();
    }
    // The length of the physical line at the position: up to its newline,
    // or to the end of the text.
    void find_end(size_t &stop) {
        size_t from = 0;
        for (;;) {
            const void *nl = memchr(data_ + pos_ + from, '\n', size_ - pos_ - from);
            if (nl) {
                stop = static_cast<size_t>(static_cast<const char *>(nl) - (data_ + pos_));
                return;
            }
            from = size_ - pos_;
            if (eof_) {
                stop = from;
                return;
            }
            fill();
        }
    }
    // A newline at stop followed by a space: the next physical line continues.
    bool folded(size_t stop) { return have(stop + 2) && data_[pos_ + stop + 1] == ' '; }

    const char *data_ = nullptr;
    size_t size_ = 0, pos_ = 0;
    int fd_ = -1, err_ = 0;
    bool eof_ = true;
    std::vector<char> buf_;
    std::string joined_;
};

// Splits "name: value" / "name:: base64"; false when the value does not
// decode.  A decoded value lives in scratch.
bool split_attr(std::string_view l, std::string_view &name, std::string_view &value,
                std::string &scratch) {
    size_t colon = l.find(':');
    if (colon == std::string_view::npos) {
        name = l;
        value = {};
        return true;
    }
    name = l.substr(0, colon);
    bool b64 = colon + 1 < l.size() && l[colon + 1] == ':';
    size_t start = colon + (b64 ? 3 : 2);
    value = start < l.size() ? l.substr(start) : std::string_view();
    if (!b64)
        return true;
    std::string coded(value);
    scratch.assign(coded.size() + 1, '\0');
    int n = lutil_b64_pton(coded.c_str(), reinterpret_cast<unsigned char *>(scratch.data()),
                           scratch.size());
    if (n < 0)
        return false;
    scratch.resize(static_cast<size_t>(n));
    value = scratch;
    return true;
}

// The value as a C string ends at its first NUL, as strdup would copy it.
std::string_view c_text(std::string_view v) {
    if (v.empty()) // its data may be null, which strnlen must not see
        return v;
    return v.substr(0, strnlen(v.data(), v.size()));
}

// Digits only (strtoull alone takes blanks and a sign), within a signed
// 64-bit size as zpm reads them.
bool parse_u64(std::string_view view, uint64_t &out) {
    const std::string v(view);
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

char *dup_text(std::string_view v) {
    v = c_text(v);
    char *s = static_cast<char *>(malloc(v.size() + 1));
    if (s) {
        if (!v.empty()) // an empty view's data may be null, which memcpy must not see
            memcpy(s, v.data(), v.size());
        s[v.size()] = '\0';
    }
    return s;
}

void set_str(char *&field, std::string_view v) {
    free(field);
    field = dup_text(v);
}

// An entry under construction; the dependency strings are its own until
// the entry is finished.
struct Entry {
    ZpiPtr zpi;
    std::vector<char *> deps;
    bool format_ok = false;
    const char *bad = nullptr;

    Entry() = default;
    Entry(const Entry &) = delete;
    Entry &operator=(const Entry &) = delete;
    ~Entry() { drop_deps(); }
    void drop_deps() {
        for (char *d : deps)
            free(d);
        deps.clear();
    }
    // Starts a new entry; false when out of memory.
    bool reset() {
        drop_deps();
        format_ok = false;
        bad = nullptr;
        zpi.reset(static_cast<ZPI *>(calloc(1, sizeof(ZPI))));
        if (zpi)
            zpi->removable = 1;
        return zpi != nullptr;
    }
};

enum class Attr { other, text, format, arch, dep, datasize, filesize };

// What a line's attribute is, and the record's field for a plain text.
struct AttrKind {
    Attr attr;
    char *ZPI::*field;
};

// The attribute a line sets, its name compared as a C string without regard
// to case; most lines are told from the others by the name's length alone.
AttrKind attr_of(std::string_view n) {
    static constexpr std::pair<std::string_view, AttrKind> kNames[] = {
        {"ezpkDependency", {Attr::dep, nullptr}},
        {"ezpkName", {Attr::text, &ZPI::name}},
        {"ezpmVersion", {Attr::format, nullptr}},
        {"ezpkVersion", {Attr::text, &ZPI::version}},
        {"ezpkArchitecture", {Attr::arch, nullptr}},
        {"ezpkDataSize", {Attr::datasize, nullptr}},
        {"ezpkFileSize", {Attr::filesize, nullptr}},
        {"ezpkFileHash", {Attr::text, &ZPI::filehash}},
        {"ezpkRelativeURI", {Attr::text, &ZPI::rel_uri}},
        {"ezpkVariant", {Attr::text, &ZPI::variant}},
        {"ezpkCreator", {Attr::text, &ZPI::creator}},
        {"ezpkDescription", {Attr::text, &ZPI::desc}},
    };
    n = c_text(n);
    // Indexes written here spell the names as above: an exact comparison
    // settles nearly every line before the one that ignores case.
    for (const auto &[text, kind] : kNames)
        if (n == text)
            return kind;
    for (const auto &[text, kind] : kNames)
        if (n.size() == text.size() && strncasecmp(n.data(), text.data(), n.size()) == 0)
            return kind;
    return {Attr::other, nullptr};
}

void apply_attr(Entry &e, std::string_view name, std::string_view v) {
    ZPI *z = e.zpi.get();
    AttrKind kind = attr_of(name);
    switch (kind.attr) {
    case Attr::text:
        set_str(z->*kind.field, v);
        break;
    case Attr::format:
        e.format_ok = v == "1.0";
        break;
    case Attr::arch:
        z->arch = zpk_arch_getid(std::string(c_text(v)).c_str());
        break;
    case Attr::dep:
        if (char *d = dup_text(v))
            e.deps.push_back(d);
        break;
    case Attr::datasize:
        if (!parse_u64(v, z->datasize))
            e.bad = "bad data size";
        break;
    case Attr::filesize:
        if (!parse_u64(v, z->filesize))
            e.bad = "bad file size";
        break;
    case Attr::other:
        break;
    }
    // ezpkAbsoluteURI is for other readers of the index; this one derives the
    // location from the directory the index lives in.
}

// The relative URI names a file directly inside the repository directory.
bool plain_file_name(const char *s) {
    return s && *s && s[0] != '.' && !strchr(s, '/');
}

const char *entry_fault(const Entry &e) {
    const ZPI *z = e.zpi.get();
    if (e.bad)
        return e.bad;
    if (!e.format_ok)
        return "missing or unknown ezpmVersion";
    if (!z->name || !*z->name || !z->version || !*z->version)
        return "entry without name or version";
    if (z->arch == 0 || z->arch == ZPK_ARCH_UNKNOWN)
        return "entry without a known architecture";
    if (!is_hash(z->filehash) || z->filesize == 0)
        return "entry without file hash or size";
    if (!plain_file_name(z->rel_uri))
        return "entry with an unusable relative URI";
    return nullptr;
}

bool finish_entry(const std::string &dir, Entry &e, std::string &why) {
    if (const char *fault = entry_fault(e)) {
        why = fault;
        return false;
    }
    ZPI *z = e.zpi.get();
    if (!e.deps.empty()) {
        z->deps = static_cast<char **>(calloc(e.deps.size() + 1, sizeof(char *)));
        if (z->deps) {
            std::copy(e.deps.begin(), e.deps.end(), z->deps);
            e.deps.clear();
        }
    }
    size_t rel = strlen(z->rel_uri);
    z->abs_uri = static_cast<char *>(malloc(dir.size() + rel + 2));
    if (z->abs_uri) {
        if (!dir.empty())
            memcpy(z->abs_uri, dir.data(), dir.size());
        z->abs_uri[dir.size()] = '/';
        memcpy(z->abs_uri + dir.size() + 1, z->rel_uri, rel + 1);
    }
    return true;
}

bool trailer_count(std::string_view view, long &count) {
    const std::string l(view);
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

// The state of one pass over an index.
struct Parse {
    Parse(const std::string &d, std::vector<ZpiPtr> &o, std::string &w) : dir(d), out(o), why(w) {}
    const std::string &dir;
    std::vector<ZpiPtr> &out;
    std::string &why;
    Entry cur;
    bool in_entry = false;
    long expect = -1;
    std::string scratch;

    bool close_entry() {
        in_entry = false;
        if (!finish_entry(dir, cur, why))
            return false;
        out.push_back(std::move(cur.zpi));
        return true;
    }
    // One line after the header; false ends the pass (why set).
    bool line(std::string_view l) {
        if (expect >= 0) {
            why = "text after the end of the index";
            return false;
        }
        if (l.empty())
            return !in_entry || close_entry();
        if (l[0] == '#') {
            if (!in_entry)
                trailer_count(l, expect);
            return true;
        }
        std::string_view name, value;
        if (!split_attr(l, name, value, scratch)) {
            why = "undecodable value";
            return false;
        }
        if (name == "dn") {
            if (in_entry && !close_entry())
                return false;
            if (!cur.reset()) {
                why = "out of memory";
                return false;
            }
            in_entry = true;
            return true;
        }
        if (!in_entry) {
            why = "attribute outside an entry";
            return false;
        }
        apply_attr(cur, name, value);
        return true;
    }
};

} // namespace

namespace {

// Runs p over the lines, the header first when head.
void run_parse(Parse &p, Lines &lines, bool head) {
    std::string_view l;
    if (head && (!lines.next(l) || l != kIndexHeader)) {
        p.why = "no index header";
        return;
    }
    while (lines.next(l) && p.line(l)) {
    }
    if (lines.error())
        p.why = strerror(lines.error());
}

// The checks at the end of the index (p's pass reached it, counted total).
ReadStatus conclude(const Parse &p, size_t total, std::vector<ZpiPtr> &out, std::string &why) {
    if (why.empty() && p.in_entry)
        why = "index ends inside an entry";
    if (why.empty() && p.expect != static_cast<long>(total))
        why = p.expect < 0 ? "index has no end line" : "entry count does not match";
    if (!why.empty()) {
        out.clear();
        return ReadStatus::corrupt;
    }
    return ReadStatus::ok;
}

ReadStatus parse_lines(const std::string &dir, Lines &lines, std::vector<ZpiPtr> &out,
                       std::string &why) {
    out.clear();
    Parse p(dir, out, why);
    run_parse(p, lines, true);
    return conclude(p, out.size(), out, why);
}

// Where a large index can be cut in two for two threads: the first entry
// that begins (after an empty line) past the middle; npos when none.  A
// pass over the second part starts as the single pass would reach it:
// between entries, no end line seen.
size_t cut_point(std::string_view text) {
    size_t at = text.find("\n\ndn: ", text.size() / 2);
    return at == std::string_view::npos ? at : at + 2;
}

// The two parts of text parsed side by side; the same records, and the
// same first fault, as one pass over it.
ReadStatus parse_halves(const std::string &dir, std::string_view text, size_t cut,
                        std::vector<ZpiPtr> &out, std::string &why) {
    std::vector<ZpiPtr> tail;
    std::string tail_why;
    Parse second(dir, tail, tail_why);
    Lines second_lines(text.substr(cut));
    // What the thread throws (memory running out) is thrown here, after it
    // was joined, as a single pass would have thrown it.
    std::exception_ptr failed;
    std::thread worker;
    try {
        worker = std::thread([&] {
            try {
                run_parse(second, second_lines, false);
            } catch (...) {
                failed = std::current_exception();
            }
        });
    } catch (const std::system_error &) {
        Lines lines(text);
        return parse_lines(dir, lines, out, why);
    }
    out.clear();
    Parse first(dir, out, why);
    Lines first_lines(text.substr(0, cut));
    try {
        run_parse(first, first_lines, true);
    } catch (...) {
        worker.join();
        throw;
    }
    worker.join();
    if (failed)
        std::rethrow_exception(failed);
    if (!why.empty()) {
        out.clear();
        return ReadStatus::corrupt;
    }
    why = tail_why;
    out.reserve(out.size() + tail.size());
    for (ZpiPtr &z : tail)
        out.push_back(std::move(z));
    return conclude(second, out.size(), out, why);
}

} // namespace

ReadStatus parse_index(const std::string &dir, std::string_view text, std::vector<ZpiPtr> &out,
                       std::string &why, size_t split_from) {
    size_t cut = text.size() >= split_from && std::thread::hardware_concurrency() > 1
                     ? cut_point(text)
                     : std::string_view::npos;
    if (cut != std::string_view::npos)
        return parse_halves(dir, text, cut, out, why);
    Lines lines(text);
    return parse_lines(dir, lines, out, why);
}

namespace {

// The whole file open at fd (size bytes by its fstat, read on to its end
// should it have grown meanwhile); false with errno.
bool read_whole(int fd, size_t size, std::string &text) {
    text.resize(size + 1);
    size_t got = 0;
    for (;;) {
        if (got == text.size())
            text.resize(2 * text.size());
        ssize_t n = read(fd, text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0) {
            text.resize(got);
            return true;
        }
        got += static_cast<size_t>(n);
    }
}

} // namespace

ReadStatus read_index(const std::string &dir, std::vector<ZpiPtr> &out, std::string &why,
                      const std::string &from_dir) {
    std::string path = (from_dir.empty() ? dir : from_dir) + "/" + kIndexName;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        why = strerror(errno);
        return errno == ENOENT ? ReadStatus::missing : ReadStatus::corrupt;
    }
    ReadStatus st;
    struct stat sb;
    std::string text;
    // A large index is read whole and parsed on two cores; else as a stream.
    if (fstat(fd, &sb) == 0 && S_ISREG(sb.st_mode) &&
        static_cast<uint64_t>(sb.st_size) >= kSplitIndexBytes &&
        std::thread::hardware_concurrency() > 1) {
        if (read_whole(fd, static_cast<size_t>(sb.st_size), text)) {
            st = parse_index(dir, text, out, why);
        } else {
            why = strerror(errno);
            out.clear();
            st = ReadStatus::corrupt;
        }
    } else {
        Lines lines(fd);
        st = parse_lines(dir, lines, out, why);
    }
    close(fd);
    return st;
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
