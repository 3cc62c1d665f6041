/* zpc-dirs: the default catalogue back end.  It serves package files kept in
 * local directories.
 *
 * Configuration (/etc/zpm.conf):
 *   zpc_dirs = /srv/zpk/main:/srv/zpk/extra
 *       The repository directories, separated by ':' or ','; blanks around a
 *       name are ignored.  Default: /var/lib/zpm/repo.  Directories are
 *       searched in the order given.
 *
 * Repository format: a directory of package files ("*.zpk", regular files or
 * links to them, directly inside it) and one index "index.ldif" beside them.
 * The index is LDIF in the dialect of package descriptions:
 *
 *   # zpc-dirs index 1
 *   <empty line>
 *   one entry per package, in file-name order, each ended by an empty line:
 *     dn: ezpkUid=<unique name>,dc=zorvek,dc=org
 *     ezpmVersion: 1.0
 *     ezpkName, ezpkVariant (when set), ezpkVersion, ezpkArchitecture,
 *     ezpkCreator, ezpkDescription (when set), ezpkDependency (one per
 *     dependency), ezpkDataSize, ezpkFileSize, ezpkFileHash,
 *     ezpkAbsoluteURI (where the file was when indexed),
 *     ezpkRelativeURI (the file name, relative to the index's directory)
 *   # end of index, entries: <count>
 *
 * Readers locate a package by its relative URI against the place the index
 * came from, so the same directory can be copied elsewhere or served over
 * HTTP unchanged.  The end line guards against an index cut short.
 *
 * Refresh rescans every directory and rewrites its index (a temporary file
 * renamed into place, so a crash never leaves half an index).  Searches read
 * the indexes only; a directory without an index gets one first, and a
 * corrupt index is rebuilt.  Package files that cannot be read are skipped
 * with a warning.  A new package in a directory is seen after a refresh
 * (zpm -R, or -r with an action).
 */
#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <cstdarg>

#include "repo_index.h"

using zpcdirs::Dir;
using zpcdirs::File;
using zpcdirs::logf;
using zpcdirs::ZpiPtr;
using zpcdirs::kDebug;
using zpcdirs::kError;
using zpcdirs::kWarning;

namespace {

struct DirsConn {
    ZPC zpc{}; // first member: zpm sees a ZPC
    std::vector<std::string> dirs;
    std::vector<ZpiPtr> entries;
    bool loaded = false;
};

DirsConn *conn_of(ZPC *zpc) {
    return reinterpret_cast<DirsConn *>(zpc);
}

std::string trim(const std::string &s) {
    size_t a = s.find_first_not_of(" \t");
    if (a == std::string::npos)
        return {};
    size_t b = s.find_last_not_of(" \t");
    return s.substr(a, b - a + 1);
}

std::vector<std::string> parse_dirs(const char *value) {
    std::vector<std::string> dirs;
    std::string v = value ? value : "";
    size_t start = 0;
    while (start <= v.size()) {
        size_t end = v.find_first_of(":,", start);
        if (end == std::string::npos)
            end = v.size();
        std::string d = trim(v.substr(start, end - start));
        while (d.size() > 1 && d.back() == '/')
            d.pop_back();
        if (!d.empty())
            dirs.push_back(d);
        start = end + 1;
    }
    if (dirs.empty())
        dirs.push_back(std::string(zpm_root_prefix()) + "/var/lib/zpm/repo");
    return dirs;
}

bool has_zpk_suffix(const char *name) {
    size_t n = strlen(name);
    return n > 4 && name[0] != '.' && strcmp(name + n - 4, ".zpk") == 0;
}

// Package file names of dir, sorted; false when dir cannot be read.
bool list_packages(const std::string &dir, std::vector<std::string> &names) {
    Dir d(opendir(dir.c_str()));
    if (!d) {
        logf(kWarning, "zpc-dirs: cannot read directory %s: %s", dir.c_str(), strerror(errno));
        return false;
    }
    while (dirent *de = readdir(d.get())) {
        struct stat st;
        std::string path = dir + "/" + de->d_name;
        if (has_zpk_suffix(de->d_name) && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
            names.push_back(de->d_name);
    }
    std::sort(names.begin(), names.end());
    return true;
}

// Reads every package file of dir; the records' locations are made
// relative to dir.
std::vector<ZpiPtr> scan_dir(const std::string &dir, const std::vector<std::string> &names) {
    std::vector<ZpiPtr> out;
    for (const std::string &n : names) {
        std::string path = dir + "/" + n;
        ZpiPtr z(zpm_zpf_info(path.c_str(), 0));
        if (!z) {
            logf(kWarning, "zpc-dirs: skipping %s: not a readable package file", path.c_str());
            continue;
        }
        free(z->rel_uri);
        z->rel_uri = strdup(n.c_str());
        free(z->abs_uri);
        z->abs_uri = strdup(path.c_str());
        out.push_back(std::move(z));
    }
    return out;
}

// Rebuilds the index of one directory; its records go to out either way.
bool refresh_dir(const std::string &dir, std::vector<ZpiPtr> &out) {
    std::vector<std::string> names;
    if (!list_packages(dir, names))
        return false;
    std::vector<ZpiPtr> zpis = scan_dir(dir, names);
    std::string why;
    bool ok = zpcdirs::write_index(dir, zpis, why);
    if (!ok)
        logf(kWarning, "zpc-dirs: %s", why.c_str());
    else
        logf(kDebug, "zpc-dirs: indexed %zu packages in %s", zpis.size(), dir.c_str());
    for (ZpiPtr &z : zpis)
        out.push_back(std::move(z));
    return ok;
}

void load_dir(const std::string &dir, std::vector<ZpiPtr> &out) {
    std::vector<ZpiPtr> zpis;
    std::string why;
    switch (zpcdirs::read_index(dir, zpis, why)) {
    case zpcdirs::ReadStatus::ok:
        for (ZpiPtr &z : zpis)
            out.push_back(std::move(z));
        return;
    case zpcdirs::ReadStatus::missing:
        logf(kDebug, "zpc-dirs: no index in %s, building one", dir.c_str());
        break;
    case zpcdirs::ReadStatus::corrupt:
        logf(kWarning, "zpc-dirs: index of %s is corrupt (%s), rebuilding it", dir.c_str(),
              why.c_str());
        break;
    }
    refresh_dir(dir, out);
}

// Sorted by name (stable: directory and file order kept within a name), so
// callers that sort again find the work done.
void sort_by_name(std::vector<ZpiPtr> &v) {
    std::stable_sort(v.begin(), v.end(),
                     [](const ZpiPtr &a, const ZpiPtr &b) { return strcmp(a->name, b->name) < 0; });
}

void ensure_loaded(DirsConn *c) {
    if (c->loaded)
        return;
    c->entries.clear();
    for (const std::string &d : c->dirs)
        load_dir(d, c->entries);
    sort_by_name(c->entries);
    c->loaded = true;
}

bool accepts(const ZPI *z, const char *name, bool pattern, const char *variant, const char *version,
             int arch) {
    if (strcmp(z->name, name) != 0 && (!pattern || fnmatch(name, z->name, 0) != 0))
        return false;
    if (!zpk_variant_accepts(z, variant))
        return false;
    if (version && strcmp(z->version, version) != 0)
        return false;
    return arch == 0 || (z->arch & arch) != 0;
}

// The file behind a record, only when it lies directly in a configured
// directory: a record handed back to us never makes us read another file.
std::string package_path(const DirsConn *c, const ZPI *z) {
    if (!z || !z->abs_uri)
        return {};
    std::string abs = z->abs_uri;
    for (const std::string &d : c->dirs) {
        if (abs.size() > d.size() + 1 && abs.compare(0, d.size(), d) == 0 && abs[d.size()] == '/') {
            std::string rest = abs.substr(d.size() + 1);
            if (rest.find('/') == std::string::npos && rest[0] != '.')
                return abs;
        }
    }
    return {};
}

ZPC *connect_impl(s_ekva **conf) {
    auto *c = new DirsConn();
    c->dirs = parse_dirs(conf ? ekva_getval(conf, "zpc_dirs") : nullptr);
    const char *dn = conf ? ekva_getval(conf, "dist_name") : nullptr;
    const char *dv = conf ? ekva_getval(conf, "dist_vers") : nullptr;
    const char *an = conf ? ekva_getval(conf, "arch_name") : nullptr;
    c->zpc.dist_name = dn ? strdup(dn) : nullptr;
    c->zpc.dist_vers = dv ? strdup(dv) : nullptr;
    c->zpc.arch = an ? zpk_arch_getid(an) : ZPK_ARCH_ANY;
    for (const std::string &d : c->dirs)
        logf(kDebug, "zpc-dirs: using directory %s", d.c_str());
    return &c->zpc;
}

int findpkg_impl(DirsConn *c, const char *name, const char *variant, const char *version, int arch,
                 ZPI ***list) {
    ensure_loaded(c);
    // Without special characters a pattern matches only its own text.
    bool pattern = strpbrk(name, "*?[\\") != nullptr;
    // A request for everything (zpm filling its cache) takes the records
    // themselves instead of copies, which halves the cost of a large
    // catalogue; the next search reads the index again.
    bool hand_over = strcmp(name, "*") == 0;
    std::vector<ZPI *> found;
    for (ZpiPtr &z : c->entries) {
        if (!accepts(z.get(), name, pattern, variant, version, arch))
            continue;
        if (ZPI *rec = hand_over ? z.release() : zpk_info_copy(z.get()))
            found.push_back(rec);
    }
    if (hand_over) {
        c->entries.clear();
        c->loaded = false;
    }
    if (found.empty())
        return 0;
    ZPI **arr = static_cast<ZPI **>(calloc(found.size() + 1, sizeof(ZPI *)));
    if (!arr) {
        for (ZPI *z : found)
            zpk_info_free(z);
        return 0;
    }
    std::copy(found.begin(), found.end(), arr);
    *list = arr;
    return static_cast<int>(found.size());
}

int readpkg_impl(DirsConn *c, ZPI *zpi, FILE *out) {
    std::string path = package_path(c, zpi);
    if (path.empty()) {
        logf(kError, "zpc-dirs: no package file for %s",
              zpi && zpi->name ? zpi->name : "(unnamed)");
        return -1;
    }
    File in(fopen(path.c_str(), "rbe"));
    if (!in) {
        logf(kError, "zpc-dirs: cannot open %s: %s", path.c_str(), strerror(errno));
        return -1;
    }
    char buf[65536];
    long long total = 0;
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, in.get())) > 0) {
        if (fwrite(buf, 1, n, out) != n) {
            logf(kError, "zpc-dirs: failed writing %s: %s", path.c_str(), strerror(errno));
            return -1;
        }
        total += static_cast<long long>(n);
    }
    if (ferror(in.get())) {
        logf(kError, "zpc-dirs: failed reading %s", path.c_str());
        return -1;
    }
    return total > 0x7fffffffLL ? -1 : static_cast<int>(total);
}

} // namespace

namespace zpcdirs {

namespace {
s_zpmlog *the_log = nullptr;
}

void set_log(s_zpmlog *log) {
    the_log = log;
}

void logf(int level, const char *fmt, ...) {
    if (!the_log)
        return;
    char text[2001];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    log_write(the_log, level, text);
}

} // namespace zpcdirs

// Exceptions (out of memory in the containers) stop at this boundary.
extern "C" {

__attribute__((visibility("default"))) ZPC *zpc_connect(s_ekva **conf, s_zpmlog *log) {
    zpcdirs::set_log(log);
    try {
        return connect_impl(conf);
    } catch (...) {
        logf(kError, "zpc-dirs: cannot connect: out of memory");
        return nullptr;
    }
}

__attribute__((visibility("default"))) int zpc_refresh(ZPC *zpc) {
    if (!zpc)
        return -1;
    DirsConn *c = conn_of(zpc);
    try {
        std::vector<ZpiPtr> all;
        bool ok = true;
        for (const std::string &d : c->dirs)
            ok = refresh_dir(d, all) && ok;
        sort_by_name(all);
        c->entries = std::move(all);
        c->loaded = true;
        return ok ? 0 : -1;
    } catch (...) {
        logf(kError, "zpc-dirs: refresh failed: out of memory");
        return -1;
    }
}

__attribute__((visibility("default"))) int
zpc_findpkg(ZPC *zpc, char *name, char *variant, char *version, int arch, s_ekva **, ZPI ***list) {
    if (!zpc || !name || !list)
        return 0;
    try {
        return findpkg_impl(conn_of(zpc), name, variant, version, arch, list);
    } catch (...) {
        logf(kError, "zpc-dirs: search failed: out of memory");
        return 0;
    }
}

__attribute__((visibility("default"))) int zpc_readpkg(ZPC *zpc, ZPI *zpi, FILE *out) {
    if (!zpc || !out)
        return -1;
    try {
        return readpkg_impl(conn_of(zpc), zpi, out);
    } catch (...) {
        return -1;
    }
}

__attribute__((visibility("default"))) int zpc_abi_version(void) {
    return ZPC_ABI_VERSION;
}

__attribute__((visibility("default"))) int zpc_release(ZPC *zpc) {
    if (!zpc)
        return 0;
    DirsConn *c = conn_of(zpc);
    free(c->zpc.dist_name);
    free(c->zpc.dist_vers);
    delete c;
    return 0;
}

} // extern "C"
