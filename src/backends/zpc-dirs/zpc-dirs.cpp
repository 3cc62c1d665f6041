/* zpc-dirs: the default catalogue back end.  It serves package files kept in
 * local directories.
 *
 * Configuration (/etc/zpm.conf):
 *   zpc_dirs = /srv/zpk/main:/srv/zpk/extra
 *       The repository directories, separated by ':' or ','; blanks around a
 *       name are ignored.  Default: /var/lib/zpm/repo.  Directories are
 *       searched in the order given.
 *   zpc_dirs_cache = /var/cache/zpm/zpc-dirs
 *       Where the index of a directory that cannot be written (a read-only
 *       mount, another owner's directory) is kept instead, one subdirectory
 *       per repository.  Default: /var/cache/zpm/zpc-dirs.
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
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "repo_index.h"

using zpcrepo::File;
using zpcrepo::logf;
using zpcrepo::ZpiPtr;
using zpcrepo::kDebug;
using zpcrepo::kError;
using zpcrepo::kInfo;
using zpcrepo::kWarning;

namespace {

constexpr const char *kDefaultCache = "/var/cache/zpm/zpc-dirs";

struct DirsConn {
    ZPC zpc{}; // first member: zpm sees a ZPC
    std::vector<std::string> dirs;
    std::string cache; // indexes of directories that cannot be written
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

// Where the index of a directory that cannot be written is kept: a
// directory of the cache named after the repository's path, every byte
// outside [A-Za-z0-9_-] (and a leading dot) written as %XX.
std::string kept_dir(const DirsConn *c, const std::string &dir) {
    std::string name;
    for (unsigned char ch : dir) {
        if (isalnum(ch) || ch == '_' || ch == '-' || (ch == '.' && !name.empty())) {
            name += static_cast<char>(ch);
        } else {
            char hex[4];
            snprintf(hex, sizeof hex, "%%%02X", ch);
            name += hex;
        }
    }
    return c->cache + "/" + name;
}

bool make_dirs(const std::string &path) {
    for (size_t pos = 1; pos <= path.size(); pos++) {
        if (pos < path.size() && path[pos] != '/')
            continue;
        if (mkdir(path.substr(0, pos).c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

bool cannot_write(int err) {
    return err == EACCES || err == EROFS || err == EPERM;
}

// Writes the index of dir into dir itself, or into the cache when dir is
// not writable (a repository zpm only reads); a copy kept in the cache
// before goes once dir takes its index again.
bool store_index(const DirsConn *c, const std::string &dir, const std::vector<ZpiPtr> &zpis) {
    std::string why;
    const std::string keep = kept_dir(c, dir);
    if (zpcrepo::write_index(dir, zpis, why)) {
        if (unlink((keep + "/" + zpcrepo::kIndexName).c_str()) == 0)
            rmdir(keep.c_str());
        return true;
    }
    if (!cannot_write(errno)) {
        logf(kWarning, "%s", why.c_str());
        return false;
    }
    std::string why_kept;
    if (!make_dirs(keep) || !zpcrepo::write_index(dir, zpis, why_kept, keep)) {
        logf(kWarning, "%s; %s", why.c_str(),
             why_kept.empty() ? strerror(errno) : why_kept.c_str());
        return false;
    }
    logf(kInfo, "%s is not writable, its index is kept in %s", dir.c_str(), keep.c_str());
    return true;
}

// Rebuilds the index of one directory; its records go to out either way.
bool refresh_dir(const DirsConn *c, const std::string &dir, std::vector<ZpiPtr> &out) {
    std::vector<std::string> names;
    if (!zpcrepo::list_packages(dir, names))
        return false;
    std::vector<ZpiPtr> zpis = zpcrepo::scan_dir(dir, names);
    bool ok = store_index(c, dir, zpis);
    if (ok)
        logf(kDebug, "indexed %zu packages in %s", zpis.size(), dir.c_str());
    for (ZpiPtr &z : zpis)
        out.push_back(std::move(z));
    return ok;
}

// The kept copy when there is one at least as new as the directory's own.
std::string index_source(const DirsConn *c, const std::string &dir) {
    const std::string keep = kept_dir(c, dir);
    struct stat kst, dst;
    if (stat((keep + "/" + zpcrepo::kIndexName).c_str(), &kst) != 0)
        return {};
    if (stat((dir + "/" + zpcrepo::kIndexName).c_str(), &dst) != 0)
        return keep;
    const timespec &k = kst.st_mtim, &d = dst.st_mtim;
    bool newer = k.tv_sec > d.tv_sec || (k.tv_sec == d.tv_sec && k.tv_nsec >= d.tv_nsec);
    return newer ? keep : std::string();
}

void load_dir(const DirsConn *c, const std::string &dir, std::vector<ZpiPtr> &out) {
    std::vector<ZpiPtr> zpis;
    std::string why;
    switch (zpcrepo::read_index(dir, zpis, why, index_source(c, dir))) {
    case zpcrepo::ReadStatus::ok:
        for (ZpiPtr &z : zpis)
            out.push_back(std::move(z));
        return;
    case zpcrepo::ReadStatus::missing:
        logf(kDebug, "no index in %s, building one", dir.c_str());
        break;
    case zpcrepo::ReadStatus::corrupt:
        logf(kWarning, "index of %s is corrupt (%s), rebuilding it", dir.c_str(), why.c_str());
        break;
    }
    refresh_dir(c, dir, out);
}

void ensure_loaded(DirsConn *c) {
    if (c->loaded)
        return;
    c->entries.clear();
    for (const std::string &d : c->dirs)
        load_dir(c, d, c->entries);
    zpcrepo::sort_by_name(c->entries);
    c->loaded = true;
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
    const char *cache = conf ? ekva_getval(conf, "zpc_dirs_cache") : nullptr;
    c->cache = cache && *cache ? cache : std::string(zpm_root_prefix()) + kDefaultCache;
    const char *dn = conf ? ekva_getval(conf, "dist_name") : nullptr;
    const char *dv = conf ? ekva_getval(conf, "dist_vers") : nullptr;
    const char *an = conf ? ekva_getval(conf, "arch_name") : nullptr;
    c->zpc.dist_name = dn ? strdup(dn) : nullptr;
    c->zpc.dist_vers = dv ? strdup(dv) : nullptr;
    c->zpc.arch = an ? zpk_arch_getid(an) : ZPK_ARCH_ANY;
    for (const std::string &d : c->dirs)
        logf(kDebug, "using directory %s", d.c_str());
    return &c->zpc;
}

int findpkg_impl(DirsConn *c, const char *name, const char *variant, const char *version, int arch,
                 ZPI ***list) {
    ensure_loaded(c);
    int n = zpcrepo::find_records(c->entries, name, variant, version, arch, list);
    if (strcmp(name, "*") == 0)
        c->loaded = false; // the records went to zpm
    return n;
}

int readpkg_impl(DirsConn *c, ZPI *zpi, FILE *out) {
    std::string path = package_path(c, zpi);
    if (path.empty()) {
        logf(kError, "no package file for %s",
              zpi && zpi->name ? zpi->name : "(unnamed)");
        return -1;
    }
    File in(fopen(path.c_str(), "rbe"));
    if (!in) {
        logf(kError, "cannot open %s: %s", path.c_str(), strerror(errno));
        return -1;
    }
    char buf[65536];
    long long total = 0;
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, in.get())) > 0) {
        if (fwrite(buf, 1, n, out) != n) {
            logf(kError, "failed writing %s: %s", path.c_str(), strerror(errno));
            return -1;
        }
        total += static_cast<long long>(n);
    }
    if (ferror(in.get())) {
        logf(kError, "failed reading %s", path.c_str());
        return -1;
    }
    return total > 0x7fffffffLL ? -1 : static_cast<int>(total);
}

} // namespace

// Exceptions (out of memory in the containers) stop at this boundary.
extern "C" {

__attribute__((visibility("default"))) ZPC *zpc_connect(s_ekva **conf, s_zpmlog *log) {
    zpcrepo::set_log(log, "zpc-dirs");
    try {
        return connect_impl(conf);
    } catch (...) {
        logf(kError, "cannot connect: out of memory");
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
            ok = refresh_dir(c, d, all) && ok;
        zpcrepo::sort_by_name(all);
        c->entries = std::move(all);
        c->loaded = true;
        return ok ? 0 : -1;
    } catch (...) {
        logf(kError, "refresh failed: out of memory");
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
        logf(kError, "search failed: out of memory");
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
