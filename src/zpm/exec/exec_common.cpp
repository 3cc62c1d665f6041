// Shared steps of the executors: stage paths and fetching, package scripts
// run without a shell, the header check, inventory paths and registration
// files.
#include "exec_common.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <sys/stat.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

#include "catalogue.h"
#include "cres.h"
#include "digest_memo.h"
#include "exec.h"
#include "fsops.h"
#include "hooks.h"
#include "invfs.h"
#include "ldiflib.h"
#include "loglib.h"
#include "paths.h"
#include "recptr.h"
#include "util.h"
#include "zpf.h"
#include "zpf_hasher.h"
#include "zpk.h"

// Set while a package that brought a shared library is installed.
int have_so = 0;

namespace zpm::exec {

namespace {

constexpr size_t kStagePathMax = 1024;

// snprintf into a buffer of size bytes; false when the text did not fit.
bool fits(std::string *out, size_t size, const char *fmt, const char *a, const char *b) {
    std::vector<char> buf(size);
    // fmt: one of the callers' literal path formats, each with two %s
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    int n = snprintf(buf.data(), size, fmt, a, b);
#pragma GCC diagnostic pop
    if (n < 0 || static_cast<size_t>(n) >= size)
        return false;
    out->assign(buf.data(), static_cast<size_t>(n));
    return true;
}

// While a back end writes a package into the stage, the bytes that have
// arrived are reported five times a second: the catalogue interface says
// nothing until the whole file is there.
class FetchWatch {
  public:
    FetchWatch(const char *name, int fd, unsigned long long total) {
        try {
            thread_ = std::thread([this, name, fd, total] { watch(name, fd, total); });
        } catch (const std::system_error &) {
            // No thread, no running count: the fetch goes on all the same.
        }
    }
    FetchWatch(const FetchWatch &) = delete;
    FetchWatch &operator=(const FetchWatch &) = delete;
    ~FetchWatch() {
        if (!thread_.joinable())
            return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }

  private:
    void watch(const char *name, int fd, unsigned long long total) {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!wake_.wait_for(lock, std::chrono::milliseconds(200), [this] { return stop_; })) {
            struct stat sb {};
            if (fstat(fd, &sb) != 0 || sb.st_size <= 0)
                continue;
            auto got = static_cast<unsigned long long>(sb.st_size);
            try {
                zpm::hook_progress(name, zpm::ProgressPhase::fetch, got < total ? got : total,
                                   total);
            } catch (...) {
                return; // a window that cannot be told is no reason to end zpm
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};

} // namespace

void each_index_line(FILE *f, const char *what, const std::function<bool(const char *)> &line) {
    char *buf = nullptr;
    size_t cap = 0;
    ssize_t n;
    while ((n = getline(&buf, &cap, f)) >= 0) {
        if (n > 0 && buf[n - 1] == '\n')
            buf[--n] = '\0';
        if (n == 0)
            continue;
        if (static_cast<size_t>(n) > kIndexLineMax) {
            zlogf(ZLOG_WARNING, "Skipping a line of %d characters in %s", static_cast<int>(n),
                  what);
            continue;
        }
        if (!line(buf))
            break;
    }
    free(buf);
}

namespace {
bool restore_failed = false;
} // namespace

void note_restore_failure() {
    restore_failed = true;
}

bool take_restore_failure() {
    bool was = restore_failed;
    restore_failed = false;
    return was;
}

EkvaPtr file_choices() {
    s_ekva **c = ekva_new(4, EKVA_ADD_APPEND);
    ekva_addval(&c, "l", "leave existing file", EKVA_ADD_APPEND);
    ekva_addval(&c, "r", "replace existing file", EKVA_ADD_APPEND);
    ekva_addval(&c, "a", "abort installation", EKVA_ADD_APPEND);
    return EkvaPtr(c);
}

const char *ask_existing(const char *path, s_ekva **choices) {
    static char def[] = "r";
    const std::string prompt = cut(std::string("The file ") + path +
                                       " already exists on the filesystem. Choose your action",
                                   2040);
    return zpm::hook_choose(prompt.c_str(), choices, def);
}

int dep_count(const ZPT *zpt) {
    int n = 0;
    while (zpt->all_zpds && n < zpt->num_zpds && zpt->all_zpds[n])
        n++;
    return n;
}

void make_dir(const std::string &path, int mode) {
    std::string copy = path;
    zpm_zpf_mkdir(copy.data(), mode);
}

std::string cut(const std::string &s, size_t size) {
    return s.size() < size ? s : s.substr(0, size ? size - 1 : 0);
}

bool stage_of(const ZPI *zpi, Stage *st) {
    const char *p = zpi ? zpk_puname(zpi) : nullptr;
    return stage_named(p ? p : "", st);
}

bool stage_named(const std::string &puname, Stage *st) {
    const char *u = puname.c_str();
    if (!*u || strchr(u, '/') || !strcmp(u, ".") || !strcmp(u, "..")) {
        zlogf(ZLOG_ERROR, "Package name %s cannot name a file in the stage area", u);
        return false;
    }
    const std::string stage = zpm::paths::stage_dir();
    const char *s = stage.c_str();
    if (!fits(&st->file, kStagePathMax, "%s/%s.zpk", s, u) ||
        !fits(&st->zpk_dir, kStagePathMax, "%s/%s", s, u) ||
        !fits(&st->new_dir, kStagePathMax, "%s/%s/new", s, u) ||
        !fits(&st->old_dir, kStagePathMax, "%s/%s/old", s, u)) {
        zlogf(ZLOG_ERROR, "Stage paths for %s are too long", u);
        return false;
    }
    return true;
}

bool prepare_stage(const Stage &st, const char *who) {
    const std::string where = zpm::paths::stage_dir();
    const std::string puname = st.zpk_dir.substr(where.size() + 1);
    Fd stage = zpm::inv::open_area(zpm::paths::kStageDir);
    zpm::Failure fail;
    if (stage.get() < 0)
        fail = zpm::error_now("open", where);
    Fd dir = fail ? Fd(-1) : fresh_dir(stage.get(), where, puname, &fail);
    for (const char *sub : {"new", "old"})
        if (!fail && mkdirat(dir.get(), sub, 0755) != 0)
            fail = zpm::error_now("make", st.zpk_dir + "/" + sub);
    if (fail)
        zlogf(ZLOG_ERROR, "%s: cannot prepare the stage directory: %s", who, fail->text().c_str());
    return !fail;
}

namespace {

// The stage file's temporary name, opened afresh for writing.
FILE *open_stage_tmp(int stage, const std::string &name) {
    const std::string tmp = zpm::inv::tmp_name(name);
    const int how = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int fd = openat(stage, tmp.c_str(), how, 0666);
    // One left behind goes first; a name that cannot go fails as before.
    if (fd < 0) {
        if (unlinkat(stage, tmp.c_str(), 0) != 0 && errno != ENOENT)
            return nullptr;
        fd = openat(stage, tmp.c_str(), how, 0666);
    }
    FILE *f = fd < 0 ? nullptr : fdopen(fd, "w");
    if (fd >= 0 && !f)
        close(fd);
    return f;
}

// Closes the temporary file and renames it to name (over whatever is there,
// a link included); false with errno when it could not be written.
bool commit_stage_tmp(int stage, FILE *f, const std::string &name) {
    const std::string tmp = zpm::inv::tmp_name(name);
    bool ok = fclose(f) == 0 && renameat(stage, tmp.c_str(), stage, name.c_str()) == 0;
    if (!ok) {
        int err = errno;
        unlinkat(stage, tmp.c_str(), 0);
        errno = err;
    }
    return ok;
}

// The temporary file given up after a failure.
void drop_stage_tmp(int stage, FILE *f, const std::string &name) {
    int err = errno;
    fclose(f);
    unlinkat(stage, zpm::inv::tmp_name(name).c_str(), 0);
    errno = err;
}

// Copies what follows in's position to out's by reading and writing; tap
// (when given) sees every block once it is written.
bool read_write(int in, int out, const std::function<void(const char *, size_t)> &tap = {}) {
    std::vector<char> buf(1 << 17);
    for (;;) {
        ssize_t n = read(in, buf.data(), buf.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n == 0;
        if (!zpm::write_all(out, buf.data(), static_cast<size_t>(n)))
            return false;
        if (tap)
            tap(buf.data(), static_cast<size_t>(n));
    }
}

// Copies what follows in's position to out's: in the kernel where it can,
// by reading and writing where it cannot (another file system, an older
// kernel, a file system without the call).
bool copy_bytes(int in, int out) {
    for (;;) {
        ssize_t n = copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
        if (n > 0 || (n < 0 && errno == EINTR))
            continue;
        if (n == 0)
            return true;
        if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP)
            return false;
        break;
    }
    return read_write(in, out);
}

// Copies what follows in's position to out by reading and writing, the
// digest taken from the very bytes written (on the hashing thread for a
// large file); "" as digest when they are not sb's size.
bool copy_hashed(int in, int out, const struct stat &sb, std::string *hex) {
    zpm::pkg::Hasher hasher;
    hasher.begin();
    int64_t off = 0;
    if (!read_write(in, out, [&](const char *p, size_t n) {
            hasher.add(p, n, off);
            off += static_cast<int64_t>(n);
        }))
        return false;
    hasher.end(sb);
    auto done = hasher.results();
    *hex = done.empty() ? "" : done[0].second;
    return true;
}

// Copies the package file at src (a regular file) to out.  *proven tells
// whether what planning learnt of src (*facts) holds for the copy: only
// when the bytes written to the copy have the digest remembered for src.
bool copy_local(const char *src, int out, zpm::memo::PackageFacts *facts, bool *proven) {
    Fd in(src ? open(src, O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1);
    struct stat sb;
    if (in.get() < 0 || fstat(in.get(), &sb) != 0 || !S_ISREG(sb.st_mode))
        return false;
    *proven = false;
    if (!zpm::memo::lookup_package(sb, facts))
        return copy_bytes(in.get(), out);
    std::string hex;
    if (!copy_hashed(in.get(), out, sb, &hex))
        return false;
    *proven = !hex.empty() && facts->digest == hex;
    return true;
}

// Brings a local package into the stage (f: its temporary file, open).
int fetch_local(const ZPI *zpi, int stage, FILE *f, const std::string &name,
                const std::string &file, const char *who) {
    // Kept open to learn the copy's times once it is closed and renamed.
    Fd copy(f ? dup(fileno(f)) : -1);
    zpm::memo::PackageFacts facts;
    bool proven = false;
    const bool copied = copy.get() >= 0 && copy_local(zpi->abs_uri, fileno(f), &facts, &proven);
    if (f && !copied)
        drop_stage_tmp(stage, f, name);
    if (!copied || !commit_stage_tmp(stage, f, name)) {
        zlogf(ZLOG_ERROR, "%s: Failed to copy %s to %s", who,
              zpi->abs_uri ? zpi->abs_uri : "(null)", file.c_str());
        return -1;
    }
    struct stat st;
    if (proven && fstat(copy.get(), &st) == 0)
        zpm::memo::record_package(st, facts);
    return 0;
}

} // namespace

int fetch(const ZPI *zpi, char status, ZPC *zpc, const char *who) {
    if (status != 'R' && status != 'L')
        return 0;
    Stage st;
    if (!stage_of(zpi, &st))
        return -1;
    zpm::hook_progress(zpi->name, zpm::ProgressPhase::fetch, 0, zpi->filesize);
    ZPI *rec = const_cast<ZPI *>(zpi);
    if (status == 'R' && zpm_stage_have_zpk(st.file.data(), rec) == 1)
        return 0;
    // Written under a temporary name and renamed into place: a link planted
    // at the stage file's name is replaced, never written through.
    const std::string name = st.file.substr(zpm::paths::stage_dir().size() + 1);
    Fd stage = zpm::inv::open_area(zpm::paths::kStageDir);
    FILE *f = stage.get() < 0 ? nullptr : open_stage_tmp(stage.get(), name);
    if (!f && status == 'R')
        zlogf(ZLOG_ERROR, "%s: Failed to open %s for writing: %s", who, st.file.c_str(),
              strerror(errno));
    if (status == 'L')
        return fetch_local(zpi, stage.get(), f, name, st.file, who);
    if (!f)
        return -1;
    int got = -1;
    if (pzpm_zpc_readpkg) {
        FetchWatch watch(zpi->name, fileno(f), zpi->filesize);
        got = pzpm_zpc_readpkg(zpc, rec, f);
    }
    // A stream that cannot be written out did not receive what the count says.
    bool written = commit_stage_tmp(stage.get(), f, name);
    if (!written || static_cast<long long>(got) != static_cast<long long>(zpi->filesize)) {
        zlogf(ZLOG_ERROR, "%s: Failed to get %lu bytes from zpc_readpkg into %s. rc = %d", who,
              static_cast<unsigned long>(zpi->filesize), st.file.c_str(), got);
        return -1;
    }
    return 0;
}

std::string inst_dir(const char *name, const char *fmt) {
    char buf[2048];
    // fmt: one of the callers' literal path formats, each with two %s
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    snprintf(buf, sizeof buf, fmt, zpm::paths::installed_dir().c_str(), name ? name : "");
#pragma GCC diagnostic pop
    return buf;
}

std::string index_path(const char *name, const char *fmt) {
    std::string out;
    if (!fits(&out, 2048, fmt, zpm::paths::fileindex_dir().c_str(), name ? name : ""))
        out = cut(zpm::paths::fileindex_dir() + "/" + (name ? name : ""), 2048);
    return out;
}

/* ------------------------------------------------- checks and registration */

namespace {

bool same_text(const char *a, const char *b) {
    return (a ? a : std::string()) == (b ? b : std::string());
}

bool same_deps(char **a, char **b) {
    int n = arr_count(a);
    if (n != arr_count(b))
        return false;
    for (int i = 0; i < n; i++)
        if (strcmp(a[i], b[i]) != 0)
            return false;
    return true;
}

// The first field in which two descriptions differ, or null.
const char *differing_field(const ZPI *h, const ZPI *s) {
    if (!same_text(h->name, s->name))
        return "name";
    if (!same_text(h->variant, s->variant))
        return "variant";
    if (!same_text(h->version, s->version))
        return "version";
    if (h->arch != s->arch)
        return "architecture";
    if (!same_deps(h->deps, s->deps))
        return "dependencies";
    return nullptr;
}

} // namespace

bool header_matches(const Stage &st, const ZPI *zpi, const char *who) {
    ZpiPtr head(zpm::pkg::read_head(st.file.c_str()));
    const std::string desc_path = st.new_dir + "/info/desc.txt";
    int size = 0;
    CharBuf text(_read_file(desc_path.c_str(), &size));
    ZpiPtr signed_desc;
    if (text) {
        text.get()[size] = '\0';
        signed_desc.reset(zpk_info_parse(nullptr, 3, text.get(), nullptr));
    }
    const char *field = nullptr;
    if (!head || !signed_desc)
        field = "description";
    else if (!(field = differing_field(head.get(), signed_desc.get())) &&
             !same_text(zpi->name, signed_desc->name))
        field = "name";
    if (!field)
        return true;
    zlogf(ZLOG_ERROR,
          "%s: the %s in the header of %s differs from its signed description, refusing it", who,
          field, st.file.c_str());
    return false;
}

int unpack_checked(const Stage &st, const ZPI *zpi, const char *who, const char *of, Forks *fk) {
    zlogf(ZLOG_DEBUG, "%s: Will unpack %s to %s", who, st.file.c_str(), st.new_dir.c_str());
    if (!prepare_stage(st, who))
        return -1;
    zpm::hook_progress(zpi->name, zpm::ProgressPhase::unpack, 0, 1);
    int rc = zpm_zpf_extract(st.file.c_str(), st.new_dir.c_str(), 1);
    zpm::hook_progress(zpi->name, zpm::ProgressPhase::check, 0, 1);
    if (rc)
        zlogf(ZLOG_ERROR, "%s: Failure unpacking %s to %s", who, st.file.c_str(),
              st.new_dir.c_str());
    else if ((rc = zpm_chk_all_files(const_cast<char *>(st.new_dir.c_str()), &fk->data, &fk->info,
                                     &fk->init)))
        zlogf(ZLOG_ERROR, "%s: Failure checking files %s %s in %s", who, of, st.file.c_str(),
              st.new_dir.c_str());
    else if (!header_matches(st, zpi, who))
        rc = -1;
    return rc;
}

} // namespace zpm::exec
