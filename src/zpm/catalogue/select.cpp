// Candidate selection: one package out of the versions and variants a name
// stands for, from the catalogue or from directories of package files.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "catalogue.h"
#include "loglib.h"
#include "recptr.h"
#include "zpf.h"
#include "zpk.h"
#include "zpm.h"

using zpm::pkg::uname;

namespace {

// The walk over the records keeps this much state between records.
struct Pick {
    int sel = -1;
    bool fallback_allowed = false;
    const char *fb_variant = nullptr; // variant of a fallback selection
};

const char *variant_of(const ZPI *z) {
    return z->variant ? z->variant : "";
}

// A same-variant comparison: the newer record wins, the first among equals.
void keep_newer(Pick &p, ZPI **list, int i, const char *where) {
    ZPI *cur = list[p.sel], *rec = list[i];
    int cmp = strverscmp(rec->version ? rec->version : "", cur->version ? cur->version : "");
    std::string s = uname(cur), r = uname(rec);
    if (cmp > 0) {
        zlogf(ZLOG_DEBUG, "zpm_findone: Replacing %s with %s in %s, as this is newer", s.c_str(),
              r.c_str(), where);
        p.sel = i;
    } else if (cmp < 0) {
        zlogf(ZLOG_DEBUG, "zpm_findone: Keeping %s instead of %s in %s, as this is older",
              s.c_str(), r.c_str(), where);
    } else {
        zlogf(ZLOG_DEBUG, "zpm_findone: Keeping %s instead of %s in %s, first is first", s.c_str(),
              r.c_str(), where);
    }
}

void pick_specific(Pick &p, ZPI **list, int i, const char *variant) {
    ZPI *rec = list[i];
    std::string r = uname(rec);
    if (p.sel < 0) {
        if (rec->variant && strcmp(rec->variant, variant) == 0) {
            zlogf(ZLOG_DEBUG, "zpm_findone: Initiallly selecting %s variant for %s", variant,
                  r.c_str());
            p.sel = i;
        } else {
            zlogf(ZLOG_DEBUG, "zpm_findone: Initiallly skipping %s due to variant mismatch",
                  r.c_str());
        }
        return;
    }
    std::string s = uname(list[p.sel]);
    const char *sv = variant_of(list[p.sel]);
    if (!rec->variant) {
        zlogf(ZLOG_DEBUG,
              "zpm_findone: Skipping %s of default variant, as %s was in the relevant %s variant",
              r.c_str(), s.c_str(), sv);
    } else if (strcmp(rec->variant, variant) != 0) {
        zlogf(ZLOG_DEBUG,
              "zpm_findone: Skipping %s of %s variant, as %s was in the relevant %s variant",
              r.c_str(), rec->variant, s.c_str(), sv);
    } else {
        std::string where = std::string("the ") + variant + " variant";
        keep_newer(p, list, i, where.c_str());
    }
}

void pick_first_default(Pick &p, ZPI **list, int i) {
    ZPI *rec = list[i];
    std::string r = uname(rec);
    if (!rec->variant) {
        zlogf(ZLOG_DEBUG, "zpm_findone: Initiallly selecting default variant for %s", r.c_str());
        p.sel = i;
        p.fallback_allowed = false;
    } else if (p.fallback_allowed) {
        zlogf(ZLOG_DEBUG, "zpm_findone: Initiallly selecting fallback variant %s for %s",
              rec->variant, r.c_str());
        p.sel = i;
        p.fb_variant = rec->variant;
    } else {
        zlogf(ZLOG_DEBUG, "zpm_findone: Initiallly skipping %s due to variant mismatch", r.c_str());
    }
}

void pick_default(Pick &p, ZPI **list, int i) {
    if (p.sel < 0)
        return pick_first_default(p, list, i);
    ZPI *rec = list[i];
    std::string r = uname(rec), s = uname(list[p.sel]);
    if (!rec->variant) {
        if (p.fb_variant) {
            zlogf(ZLOG_DEBUG,
                  "zpm_findone: Default variant found: %s, overriding fallback variant %s: %s",
                  r.c_str(), p.fb_variant, s.c_str());
            p.sel = i;
            p.fallback_allowed = false;
            p.fb_variant = nullptr;
        } else {
            keep_newer(p, list, i, "the default variant");
        }
    } else if (!p.fallback_allowed) {
        zlogf(ZLOG_DEBUG,
              "zpm_findone: Keeping %s instead of %s of variant %s, no fallback allowed (anymore)",
              s.c_str(), r.c_str(), rec->variant);
    } else if (!p.fb_variant || strcmp(rec->variant, p.fb_variant) != 0) {
        zlogf(ZLOG_DEBUG,
              "zpm_findone: Skipping both %s and %s and set no fallback allowed, as only one "
              "fallback can exist",
              r.c_str(), s.c_str());
        p.sel = -1;
        p.fallback_allowed = false;
        p.fb_variant = nullptr;
    } else {
        std::string where = std::string("the fallback variant ") + rec->variant;
        keep_newer(p, list, i, where.c_str());
    }
}

ZPI **to_c_list(std::vector<ZPI *> &v) {
    if (v.empty())
        return nullptr;
    ZPI **arr = static_cast<ZPI **>(calloc(v.size() + 1, sizeof(ZPI *)));
    if (!arr) {
        for (ZPI *z : v)
            zpk_info_free(z);
        return nullptr;
    }
    for (size_t i = 0; i < v.size(); i++)
        arr[i] = v[i];
    return arr;
}

// Keeps the record at idx, frees the others and the array.
ZPI *take_one(ZPI **list, int idx) {
    ZPI *keep = nullptr;
    for (int i = 0; list && list[i]; i++) {
        if (i == idx)
            keep = list[i];
        else
            zpk_info_free(list[i]);
    }
    free(list);
    return keep;
}

} // namespace

int zpm_findone(const char *pkg_name, const char *variant, ZPI **zpi_list) {
    int n = 0;
    for (; zpi_list && zpi_list[n]; n++)
        zlogf(ZLOG_DEBUG, "zpm_findone: [%d]: %s", n, uname(zpi_list[n]).c_str());
    const char *name = pkg_name ? pkg_name : "";
    bool specific = variant && *variant && strcmp(variant, "default") != 0;
    if (specific)
        zlogf(ZLOG_DEBUG,
              "zpm_findone: Number of packages to check for %s (%s variant specified): %d", name,
              variant, n);
    else if (variant)
        zlogf(ZLOG_DEBUG,
              "zpm_findone: Number of packages to check for %s (default variant specified): %d",
              name, n);
    else
        zlogf(ZLOG_DEBUG,
              "zpm_findone: Number of packages to check for %s (no variant specified): %d", name,
              n);
    Pick p;
    p.fallback_allowed = (variant == nullptr);
    for (int i = 0; i < n; i++) {
        if (specific)
            pick_specific(p, zpi_list, i, variant);
        else
            pick_default(p, zpi_list, i);
    }
    return p.sel;
}

ZPI *zpm_findone_zpc(ZPM *zpm, char *pkg_name, char *variant, ZPC *zpc) {
    (void)zpm;
    ZPI **list = nullptr;
    int n = zpm_findpkg(zpc, pkg_name, variant, nullptr, 5, nullptr, &list);
    zlogf(ZLOG_DEBUG, "Number of packages returned for %s: %d", pkg_name, n);
    if (!list)
        return nullptr;
    return take_one(list, zpm_findone(pkg_name, variant, list));
}

namespace {

// Reads one directory entry as a candidate; null when it does not qualify.
ZPI *dir_candidate(ZPM *zpm, const char *dir, const char *entry, const char *pkg_name,
                   const char *variant) {
    char path[256];
    int len = snprintf(path, sizeof path, "%s/%s", dir, entry);
    if (len < 0 || len >= (int)sizeof path) {
        zlogf(ZLOG_DEBUG, "Filename <%s> too long, skipping entry", path);
        return nullptr;
    }
    if (!zpk_file_is_zpk(path)) {
        zlogf(ZLOG_DEBUG, "Found file %s, skipping", path);
        return nullptr;
    }
    ZpiPtr zpi(zpm_zpf_info(path, 0));
    if (!zpi) {
        zlogf(ZLOG_DEBUG, "Skipping %s, failed to read info", path);
        return nullptr;
    }
    if (!zpi->name || strcmp(zpi->name, pkg_name) != 0)
        return nullptr;
    const char *local = zpm::pkg::arch_name(zpm->arch);
    if (zpi->arch != zpm->arch && zpi->arch != ZPK_ARCH_ANY) {
        zlogf(ZLOG_DEBUG, "Package arch %s doesn't match local arch %s, skipping",
              zpm::pkg::arch_name(zpi->arch), local);
        return nullptr;
    }
    zlogf(ZLOG_DEBUG, "Package arch %s matches local arch %s", zpm::pkg::arch_name(zpi->arch),
          local);
    if (!zpk_variant_accepts(zpi.get(), variant))
        return nullptr;
    zlogf(ZLOG_DEBUG, "Storing %s, package name %s matches %s", path, zpi->name, pkg_name);
    free(zpi->rel_uri);
    zpi->rel_uri = strdup(path);
    free(zpi->abs_uri);
    zpi->abs_uri = realpath(path, nullptr);
    return zpi.release();
}

void scan_dir(ZPM *zpm, const char *dir, const char *pkg_name, const char *variant,
              std::vector<ZPI *> &out) {
    zlogf(ZLOG_DEBUG, "Scanning directory %s", dir);
    Dir d(opendir(dir));
    if (!d) {
        zlogf(ZLOG_INFO, "Failure opening <%s> for reading: %s", dir, strerror(errno));
        return;
    }
    while (struct dirent *de = readdir(d.get())) {
        if (de->d_type != DT_REG) {
            if (de->d_type != DT_UNKNOWN)
                continue;
            // Some file systems do not report the type in the entry.
            struct stat st;
            std::string p = std::string(dir) + "/" + de->d_name;
            if (stat(p.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
                continue;
        }
        if (ZPI *z = dir_candidate(zpm, dir, de->d_name, pkg_name, variant))
            out.push_back(z);
    }
}

} // namespace

ZPI **zpm_findall_dirs(ZPM *zpm, const char *pkg_name, const char *variant, char **dep_dirs) {
    if (variant)
        zlogf(ZLOG_DEBUG, "Looking for package %s, variant %s", pkg_name, variant);
    else
        zlogf(ZLOG_DEBUG, "Looking for package %s", pkg_name);
    if (!dep_dirs)
        return nullptr;
    std::vector<ZPI *> found;
    for (int i = 0; dep_dirs[i]; i++)
        scan_dir(zpm, dep_dirs[i], pkg_name, variant, found);
    fprintf(stderr, "Stored %d zpis\n", (int)found.size());
    return to_c_list(found);
}

ZPI *zpm_findone_dirs(ZPM *zpm, const char *pkg_name, const char *variant, char **dep_dirs) {
    ZPI **list = zpm_findall_dirs(zpm, pkg_name, variant, dep_dirs);
    if (!list)
        return nullptr;
    return take_one(list, zpm_findone(pkg_name, variant, list));
}
