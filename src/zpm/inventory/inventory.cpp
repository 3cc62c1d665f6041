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

// Reads installed/<name>/<file> within the 256-character path limit.
char *read_inv_file(const char *name, const char *file) {
    char path[256];
    int n =
        snprintf(path, sizeof path, "%s/%s/%s", zpm::paths::installed_dir().c_str(), name, file);
    if (n < 0 || n >= static_cast<int>(sizeof path)) {
        zlogf(ZLOG_DEBUG, "Filename <%s> too long, skipping entry %s", path, name);
        return nullptr;
    }
    int size = 0;
    char *buf = _read_file(path, &size);
    if (buf)
        buf[size] = '\0';
    return buf;
}

// Walks installed/ with the listings' skips; calls f(zpi) for each package
// loaded (f takes ownership).  Returns false when the directory cannot be read.
template <class F> bool walk_installed(F f) {
    std::string dir = zpm::paths::installed_dir();
    DIR *d = opendir(dir.c_str());
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
        ZPI *zpi = zpm_zpl_info(nullptr, de->d_name);
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

// Reads a whole open file into s; false on a read error.
bool slurp(int fd, std::string &s) {
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        s.append(buf, static_cast<size_t>(n));
    }
}

} // namespace

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
    std::string path = zpm::paths::lock_file();
    if (lock_fd < 0)
        lock_fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0640);
    if (lock_fd < 0) {
        zlogf(ZLOG_ERROR, "Could not open lock file %s", path.c_str());
        return -1;
    }
    if (lseek(lock_fd, 0, SEEK_SET) != 0 || lockf(lock_fd, F_TLOCK, 0) != 0) {
        zlogf(ZLOG_ERROR, "Could not lock lock file %s", path.c_str());
        drop_lock_fd();
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
        unlink(path.c_str());
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
    if (!zpm::pkg::plain_name(name))
        return nullptr;
    char *desc = read_inv_file(name, "desc.txt");
    if (!desc)
        return nullptr;
    char *inst = read_inv_file(name, "inst.txt");
    if (!inst) {
        free(desc);
        return nullptr;
    }
    ZPI *zpi = zpk_info_parse(name, 2, desc, inst);
    free(desc);
    free(inst);
    return zpi;
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
    Dir d(opendir(dir.c_str()));
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
        int fd = openat(dirfd(d.get()), de->d_name, O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            zlogf(ZLOG_ERROR, "Failure opening <%s> for reading: %s", de->d_name, strerror(errno));
            continue;
        }
        zlogf(ZLOG_DEBUG, "Checking in <%s>", de->d_name);
        text.clear();
        bool read_ok = slurp(fd, text);
        close(fd);
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
    std::string path = zpm::paths::fileindex_dir() + "/" + zpi->name;
    File f(fopen(path.c_str(), "re"));
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
    std::string path = zpm::paths::install_log();
    File f(fopen(path.c_str(), "ae"));
    if (!f) {
        zlogf(ZLOG_ERROR, "zpm_log_action: failed to open %s for writing: %s", path.c_str(),
              strerror(errno));
        return;
    }
    fprintf(f.get(), "%s\n", buf);
    if (fflush(f.get()) != 0 || fclose(f.release()) != 0)
        zlogf(ZLOG_ERROR, "zpm_log_action: failed to write %s: %s", path.c_str(), strerror(errno));
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
