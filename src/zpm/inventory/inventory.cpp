// The inventory: the installed-package store under the inventory directory,
// its lock and its install log.  Read side only; transactions write entries.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "arr.h"
#include "cres.h"
#include "inventory.h"
#include "invfs.h"
#include "ldiflib.h"
#include "loglib.h"
#include "util.h"
#include "paths.h"
#include "zpk.h"
#include "zpm.h"
#include "zpmconf.h"

namespace {

// The lock lives as long as this descriptor: closing any descriptor of the
// file would drop the process's lockf lock, so one is kept for the process.
int lock_fd = -1;

void drop_lock_fd() {
    if (lock_fd >= 0)
        close(lock_fd);
    lock_fd = -1;
}

// The holder removes the lock file when it closes the inventory.  A process
// that opened the file just before may then lock the removed file while a
// third locks a new one, so a lock counts only while its descriptor is still
// the file at the path; otherwise the file is opened afresh.
constexpr int kLockTries = 100;

enum class LockTry { locked, held, stale, failed };

bool is_file_at(int dfd, const char *name, int fd) {
    struct stat at, of;
    return fstatat(dfd, name, &at, AT_SYMLINK_NOFOLLOW) == 0 && fstat(fd, &of) == 0 &&
           at.st_dev == of.st_dev && at.st_ino == of.st_ino;
}

LockTry try_lock(int inv, const char *name) {
    const int flags = O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    Fd fd(openat(inv, name, flags, 0640));
    if (fd.get() < 0 && errno == ELOOP)
        return zpm::inv::drop_link(inv, zpm::paths::inv_dir(), name) ? LockTry::stale
                                                                     : LockTry::failed;
    struct stat st;
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return LockTry::failed;
    if (lockf(fd.get(), F_TLOCK, 0) != 0)
        return LockTry::held;
    if (!is_file_at(inv, name, fd.get()))
        return LockTry::stale;
    lock_fd = fd.release(); // closing it would drop the lock
    return LockTry::locked;
}

constexpr int kListStart = 300;
constexpr int kFileListStart = 20;

// A NULL-terminated C array grown by doubling, as the listings log it.
// release() hands the array over; otherwise the destructor frees it with
// the element's own free function.
template <class T, void (*FreeElem)(T)> class GrowArray {
  public:
    explicit GrowArray(int start) : cap_(start) {}
    ~GrowArray() {
        for (int i = 0; i < n_; i++)
            FreeElem(arr_[i]);
        free(arr_);
    }
    GrowArray(const GrowArray &) = delete;
    GrowArray &operator=(const GrowArray &) = delete;

    bool push(T v) {
        if (!arr_) {
            zlogf(ZLOG_DEBUG, "Allocating space for %d entries", cap_);
            arr_ = static_cast<T *>(calloc(cap_ + 1, sizeof(T)));
        } else if (n_ == cap_) {
            zlogf(ZLOG_DEBUG, "Reallocation space for %d entries", cap_ * 2);
            T *grown = static_cast<T *>(realloc(arr_, (cap_ * 2 + 1) * sizeof(T)));
            if (!grown)
                return fail(v, cap_ * 2);
            arr_ = grown;
            cap_ *= 2;
        }
        if (!arr_)
            return fail(v, cap_);
        arr_[n_++] = v;
        arr_[n_] = nullptr;
        return true;
    }
    int size() const { return n_; }
    T *data() { return arr_; }
    T *release() {
        T *a = arr_;
        arr_ = nullptr;
        n_ = 0;
        return a;
    }

  private:
    bool fail(T v, int want) {
        zlogf(ZLOG_DEBUG, "Failed to allocate space for %d entries", want);
        FreeElem(v);
        return false;
    }
    T *arr_ = nullptr;
    int n_ = 0;
    int cap_;
};

void free_str(char *s) {
    free(s);
}
void free_zpi(ZPI *z) {
    zpk_info_free(z);
}

char *dup_or_null(const char *s) {
    return s ? strdup(s) : nullptr;
}

// Entry type as the directory read reports it; file systems that do not
// report one are asked with lstat so their listings are not empty.
unsigned char entry_type(int dfd, const dirent *de) {
    if (de->d_type != DT_UNKNOWN)
        return de->d_type;
    struct stat st;
    if (fstatat(dfd, de->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return DT_UNKNOWN;
    if (S_ISDIR(st.st_mode))
        return DT_DIR;
    return S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
}

// Whether installed/<name>/<file> fits the 256-character path limit.
bool inv_path_fits(const char *name, const char *file) {
    char path[256];
    int n =
        snprintf(path, sizeof path, "%s/%s/%s", zpm::paths::installed_dir().c_str(), name, file);
    if (n >= 0 && n < static_cast<int>(sizeof path))
        return true;
    zlogf(ZLOG_DEBUG, "Filename <%s> too long, skipping entry %s", path, name);
    return false;
}

// Reads file of the open entry directory: never through a link, and only a
// regular file.  A fresh NUL-terminated copy, or null.
char *read_inv_file(int entry, const char *file) {
    std::string text;
    if (entry < 0 || !zpm::inv::read_at(entry, file, &text))
        return nullptr;
    char *buf = static_cast<char *>(malloc(text.size() + 1));
    if (buf) {
        memcpy(buf, text.data(), text.size());
        buf[text.size()] = '\0';
    }
    return buf;
}

// Loads the installed package name from its entry below the open installed
// directory area; null when it is not installed or unreadable.
ZPI *load_entry(int area, const char *name) {
    if (!zpm::pkg::plain_name(name) || !inv_path_fits(name, "desc.txt"))
        return nullptr;
    Fd entry = area < 0 ? Fd(-1) : zpm::inv::open_dir(area, name);
    char *desc = read_inv_file(entry.get(), "desc.txt");
    if (!desc)
        return nullptr;
    char *inst = inv_path_fits(name, "inst.txt") ? read_inv_file(entry.get(), "inst.txt") : nullptr;
    if (!inst) {
        free(desc);
        return nullptr;
    }
    ZPI *zpi = zpk_info_parse(name, 2, desc, inst);
    free(desc);
    free(inst);
    return zpi;
}

// Walks installed/ with the listings' skips; calls f(zpi) for each package
// loaded (f takes ownership).  Returns false when the directory cannot be read.
template <class F> bool walk_installed(F f) {
    std::string dir = zpm::paths::installed_dir();
    Fd area = zpm::inv::open_area(zpm::paths::kInstalledDir, false);
    DIR *d = area.get() < 0 ? nullptr : zpm::inv::open_stream(area.get());
    if (!d) {
        zlogf(ZLOG_WARNING, "Failure opening <%s> for reading: %s", dir.c_str(), strerror(errno));
        return false;
    }
    while (dirent *de = readdir(d)) {
        if (entry_type(dirfd(d), de) != DT_DIR) {
            zlogf(ZLOG_DEBUG, "Omitting non-directory %s", de->d_name);
            continue;
        }
        if (de->d_name[0] == '.')
            continue;
        ZPI *zpi = load_entry(area.get(), de->d_name);
        if (!zpi) {
            zlogf(ZLOG_DEBUG, "Failure parsing info for %s, skipping entry", de->d_name);
            continue;
        }
        f(zpi);
    }
    if (closedir(d) != 0)
        zlogf(ZLOG_WARNING, "Failure closing <%s>: %s", dir.c_str(), strerror(errno));
    return true;
}

// Strips a newline at the last or the next-to-last position.
void strip_newline(char *line, size_t len) {
    if (len >= 1 && line[len - 1] == '\n')
        line[len - 1] = '\0';
    else if (len >= 2 && line[len - 2] == '\n')
        line[len - 2] = '\0';
}

// True when text (len bytes) holds a line equal to want.  Whole lines are
// compared: a tail of a long path is not the path.
bool has_line(const char *text, size_t len, const char *want, size_t wlen) {
    const char *end = text + len;
    const char *p = text;
    while (p < end) {
        const char *nl = static_cast<const char *>(memchr(p, '\n', end - p));
        const char *le = nl ? nl : end;
        size_t ll = le - p;
        if (ll > 0 && p[ll - 1] == '\r' && ll - 1 == wlen)
            ll--; // a line ended by "\r\n"
        if (ll == wlen && memcmp(p, want, wlen) == 0)
            return true;
        if (!nl)
            break;
        p = nl + 1;
    }
    return false;
}

// Appends one line to the install log and syncs it; never through a link.
void append_install_log(const std::string &line) {
    Fd inv = zpm::inv::open_root();
    const char *name = zpm::paths::below_inv(zpm::paths::kInstallLog);
    zpm::Failure fail =
        inv.get() < 0 ? zpm::Failure(zpm::error_now("open", zpm::paths::inv_dir()))
                      : zpm::inv::append_at(inv.get(), zpm::paths::inv_dir(), name, line + "\n");
    if (fail && fail->call == "open")
        zlogf(ZLOG_ERROR, "zpm_log_action: failed to open %s for writing: %s",
              zpm::paths::install_log().c_str(), strerror(fail->err));
    else if (fail)
        zlogf(ZLOG_ERROR, "zpm_log_action: failed to write %s: %s",
              zpm::paths::install_log().c_str(), strerror(fail->err));
}

} // namespace

void zpm::inv::log_event(const std::string &event) {
    append_install_log(zpm::time_stamp(time(nullptr)) + ": " + event);
}

extern "C" {

ZPM *zpm_open(const char *path_name) {
    std::string conf_path = zpm::paths::conf_file();
    s_ekva **conf = zpmconf_read(nullptr, conf_path.c_str());
    if (!conf) {
        zlogf(ZLOG_ERROR, "Failed to read zpm config %s", conf_path.c_str());
        return nullptr;
    }
    ZPM *zpm = static_cast<ZPM *>(calloc(1, sizeof(ZPM)));
    if (!zpm) {
        ekva_free(conf);
        return nullptr;
    }
    zpm->path_name = strdup(path_name ? path_name : zpm::paths::kInvDir);
    const char *arch = ekva_getval(conf, "arch_name");
    if (!arch)
        zlogf(ZLOG_ERROR, "Failed to get arch_name from config");
    else if ((zpm->arch = zpk_arch_getid(arch)) == ZPK_ARCH_UNKNOWN)
        zlogf(ZLOG_ERROR, "Invalid architecture specified: %s", arch);
    if (!arch || zpm->arch == ZPK_ARCH_UNKNOWN) {
        zpm_close(zpm);
        ekva_free(conf);
        return nullptr;
    }
    zpm->dist_name = dup_or_null(ekva_getval(conf, "dist_name"));
    zpm->dist_vers = dup_or_null(ekva_getval(conf, "dist_vers"));
    zpm->zpm_vers = dup_or_null(ekva_getval(conf, "zpm_vers"));
    ekva_free(conf);
    return zpm;
}

int zpm_lock(ZPM *zpm) {
    const std::string path = zpm::paths::lock_file();
    const char *name = zpm::paths::below_inv(zpm::paths::kLockFile);
    Fd inv = zpm::inv::open_root();
    for (int tries = 0; lock_fd < 0 && tries < kLockTries; tries++) {
        switch (inv.get() < 0 ? LockTry::failed : try_lock(inv.get(), name)) {
        case LockTry::locked:
            break;
        case LockTry::stale:
            continue;
        case LockTry::failed:
            zlogf(ZLOG_ERROR, "Could not open lock file %s", path.c_str());
            return -1;
        case LockTry::held:
            zlogf(ZLOG_ERROR, "Could not lock lock file %s", path.c_str());
            return -1;
        }
    }
    if (lock_fd < 0) {
        zlogf(ZLOG_ERROR, "Could not lock lock file %s", path.c_str());
        return -1;
    }
    char pid[32];
    int len = snprintf(pid, sizeof pid, "%d\n", static_cast<int>(getpid()));
    // Truncate after writing: a shorter pid must not leave digits of an
    // older, longer one behind.
    if (pwrite(lock_fd, pid, len, 0) != len || ftruncate(lock_fd, len) != 0) {
        zlogf(ZLOG_ERROR, "Could not write lock file %s: %s", path.c_str(), strerror(errno));
        drop_lock_fd();
        return -1;
    }
    zlogf(ZLOG_DEBUG, "Wrote lock file %s", path.c_str());
    if (zpm)
        zpm->lock = 1;
    return 0;
}

int zpm_close(ZPM *zpm) {
    if (!zpm)
        return 0;
    if (zpm->lock == 1) {
        std::string path = zpm::paths::lock_file();
        Fd inv = zpm::inv::open_root();
        const char *name = zpm::paths::below_inv(zpm::paths::kLockFile);
        // Only while the lock is still held: a waiting process that opened
        // the file before then finds it gone and starts over.
        if (inv.get() >= 0 && lock_fd >= 0 && is_file_at(inv.get(), name, lock_fd))
            unlinkat(inv.get(), name, 0);
        zlogf(ZLOG_DEBUG, "Removed lock file %s", path.c_str());
        // The file is gone; dropping the descriptor lets a later handle of
        // this process lock a fresh one.
        drop_lock_fd();
    }
    free(zpm->path_name);
    free(zpm->dist_name);
    free(zpm->dist_vers);
    free(zpm->zpm_vers);
    free(zpm);
    return 0;
}

ZPI *zpm_zpl_info(ZPM *, const char *name) {
    Fd area = zpm::inv::open_area(zpm::paths::kInstalledDir, false);
    return load_entry(area.get(), name);
}

int zpm_list_zpi(ZPM *, const char *wild, int sort, ZPI ***list) {
    GrowArray<ZPI *, free_zpi> out(kListStart);
    bool ok = walk_installed([&](ZPI *zpi) {
        if (!zpm_zpi_match(zpi, wild)) {
            zlogf(ZLOG_DEBUG, "Local package %s does not match wildcard %s", zpi->name,
                  wild ? wild : "(null)");
            zpk_info_free(zpi);
            return;
        }
        out.push(zpi);
    });
    if (!ok)
        return 0;
    int n = out.size();
    zlogf(ZLOG_DEBUG, "Found %d packages", n);
    if (n == 0)
        return 0;
    ZPI **arr = out.release();
    if (sort && n >= 2) {
        zlogf(ZLOG_DEBUG, "Sorting packages");
        zpm_zpi_list_sort(&arr);
    }
    *list = arr;
    return n;
}

char **zpm_list_arr(ZPM *, int sort) {
    GrowArray<char *, free_str> out(kListStart);
    bool failed = false;
    walk_installed([&](ZPI *zpi) {
        char *name = zpi->name ? strdup(zpi->name) : nullptr;
        zpk_info_free(zpi);
        if (!failed && name && !out.push(name))
            failed = true;
        else if (failed || !name)
            free(name);
    });
    if (failed || out.size() == 0)
        return nullptr;
    if (sort && out.size() >= 2)
        std::stable_sort(out.data(), out.data() + out.size(),
                         [](const char *a, const char *b) { return strcmp(a, b) < 0; });
    return out.release();
}

char *zpm_file_owner(ZPM *, const char *filename) {
    std::string dir = zpm::paths::fileindex_dir();
    Fd area = zpm::inv::open_area(zpm::paths::kFileIndexDir, false);
    Dir d(area.get() < 0 ? nullptr : zpm::inv::open_stream(area.get()));
    if (!d) {
        zlogf(ZLOG_ERROR, "Failure opening <%s> for reading: %s", dir.c_str(), strerror(errno));
        return nullptr;
    }
    if (!filename)
        return nullptr;
    size_t wlen = strlen(filename);
    std::string text;
    while (dirent *de = readdir(d.get())) {
        if (entry_type(dirfd(d.get()), de) != DT_REG) {
            zlogf(ZLOG_DEBUG, "Omitting non-file %s", de->d_name);
            continue;
        }
        if (de->d_name[0] == '.') {
            zlogf(ZLOG_DEBUG, "Omitting backup file %s", de->d_name);
            continue;
        }
        Fd fd = zpm::inv::open_regular(dirfd(d.get()), de->d_name);
        if (fd.get() < 0) {
            zlogf(ZLOG_ERROR, "Failure opening <%s> for reading: %s", de->d_name, strerror(errno));
            continue;
        }
        zlogf(ZLOG_DEBUG, "Checking in <%s>", de->d_name);
        bool read_ok = zpm::inv::read_all(fd.get(), &text);
        if (read_ok && has_line(text.data(), text.size(), filename, wlen)) {
            zlogf(ZLOG_DEBUG, "Found <%s> in <%s>", filename, de->d_name);
            return strdup(de->d_name);
        }
    }
    return nullptr;
}

char **zpm_zpl_file_list(ZPM *, ZPI *zpi) {
    if (!zpi || !zpm::pkg::plain_name(zpi->name))
        return nullptr;
    Fd area = zpm::inv::open_area(zpm::paths::kFileIndexDir, false);
    Fd fd = area.get() < 0 ? Fd(-1) : zpm::inv::open_regular(area.get(), zpi->name);
    File f(fd.get() < 0 ? nullptr : fdopen(fd.get(), "r"));
    if (f)
        fd.release();
    if (!f) {
        zlogf(ZLOG_DEBUG, "zpm_zpl_file_list: %s contains no files", zpi->name);
        return nullptr;
    }
    GrowArray<char *, free_str> out(kFileListStart);
    char *line = nullptr;
    size_t cap = 0;
    ssize_t len;
    // Whole lines: a path cut into pieces would name files that are not the
    // package's (and a delete would act on them).
    while ((len = getline(&line, &cap, f.get())) > 0) {
        strip_newline(line, static_cast<size_t>(len));
        if (!*line)
            continue;
        zlogf(ZLOG_DEBUG, "zpm_zpl_file_list: Found %s", line);
        char *copy = strdup(line);
        if (!copy || !out.push(copy)) {
            free(line);
            return nullptr;
        }
    }
    free(line);
    return out.size() ? out.release() : nullptr;
}

char **zpm_zpl_index(ZPM *zpm, const char *name) {
    ZPI *zpi = zpm_zpl_info(zpm, name);
    if (!zpi)
        return nullptr;
    char **files = zpm_zpl_file_list(zpm, zpi);
    zpk_info_free(zpi);
    return files;
}

void zpm_log_action(int action, const char *puname_old, const char *puname_new,
                    const char *candidate) {
    const std::string now = zpm::time_stamp(time(nullptr));
    const char *stamp = now.c_str();
    if (!puname_new) {
        zlogf(ZLOG_ERROR, "zpm_log_action: No zpk_puname_new specified");
        return;
    }
    if (action == 2 && !puname_old) {
        zlogf(ZLOG_ERROR, "zpm_log_action: No zpk_puname_old specified");
        return;
    }
    if (action < 1 || action > 3) {
        zlogf(ZLOG_ERROR, "zpm_log_action: invalid action specified");
        return;
    }
    char buf[4096];
    if (action == 1 && !candidate)
        snprintf(buf, sizeof buf, "%s: installed %s as requested by user", stamp, puname_new);
    else if (action == 1)
        snprintf(buf, sizeof buf, "%s: installed %s as dependency of %s", stamp, puname_new,
                 candidate);
    else if (action == 2 && !candidate)
        snprintf(buf, sizeof buf, "%s: updated %s to %s as requested by user", stamp, puname_old,
                 puname_new);
    else if (action == 2)
        snprintf(buf, sizeof buf, "%s: updated %s to %s as dependency of %s", stamp, puname_old,
                 puname_new, candidate);
    else if (!candidate)
        snprintf(buf, sizeof buf, "%s: deleted %s as requested by user", stamp, puname_new);
    else
        snprintf(buf, sizeof buf, "%s: deleted %s as dependency of %s", stamp, puname_new,
                 candidate);
    append_install_log(buf);
}

const char *zpk_stat_desc(char stat) {
    switch (stat) {
    case 'I':
        return "installed";
    case 'R':
        return "available remotely";
    case 'L':
        return "available locally";
    default:
        return "unavailable";
    }
}

} // extern "C"
