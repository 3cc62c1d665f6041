// Planning of a removal: nothing another installed package still requires
// may go, and with the package go the dependencies installed only for it.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "hooks.h"
#include "inventory.h"
#include "loglib.h"
#include "paths.h"
#include "plan.h"
#include "plan_common.h"
#include "zpk.h"
#include "zpm.h"

namespace {

// Loads one entry of the installed directory; null when it is no package.
ZPI *load_entry(ZPM *zpm, const std::string &dir, struct dirent *de) {
    if (de->d_name[0] == '.')
        return nullptr;
    if (de->d_type != DT_DIR && de->d_type != DT_UNKNOWN) {
        zlogf(ZLOG_DEBUG, "Omitting non-directory %s", de->d_name);
        return nullptr;
    }
    (void)dir;
    ZPI *zpi = zpm_zpl_info(zpm, de->d_name);
    if (!zpi)
        zlogf(ZLOG_DEBUG, "Failure parsing info for %s, skipping entry", de->d_name);
    return zpi;
}

using Counts = std::function<bool(const ZPI *)>;

// Installed packages that list name among their dependencies, once for each
// time they list it.  The search ends when `limit` of them pass `counts`;
// those that do not count are collected but never end the search, so a
// requirer the caller accepts cannot hide one it would refuse.
std::vector<ZPI *> requirers(ZPM *zpm, const char *name, int limit, const Counts &counts) {
    std::vector<ZPI *> out;
    std::string dir = zpm::paths::installed_dir();
    Dir d(opendir(dir.c_str()));
    if (!d) {
        zlogf(ZLOG_WARNING, "Failure opening <%s> for reading: %s", dir.c_str(), strerror(errno));
        return out;
    }
    int counted = 0;
    while (counted < limit) {
        struct dirent *de = readdir(d.get());
        if (!de)
            break;
        ZpiPtr zpi(load_entry(zpm, dir, de));
        if (!zpi)
            continue;
        for (int i = 0; zpi->deps && zpi->deps[i] && counted < limit; i++) {
            if (strcmp(zpi->deps[i], name) != 0)
                continue;
            out.push_back(zpk_info_copy(zpi.get()));
            if (counts(out.back()))
                counted++;
        }
    }
    if (closedir(d.release()) != 0)
        zlogf(ZLOG_WARNING, "zpm_chk_delete_reqs: Failure closing directory %s", dir.c_str());
    return out;
}

ZPI **to_c_list(std::vector<ZPI *> &v) {
    if (v.empty())
        return nullptr;
    ZPI **arr = static_cast<ZPI **>(calloc(v.size() + 1, sizeof(ZPI *)));
    for (size_t i = 0; arr && i < v.size(); i++)
        arr[i] = v[i];
    if (!arr)
        for (ZPI *z : v)
            zpk_info_free(z);
    return arr;
}

void free_all(std::vector<ZPI *> &v) {
    for (ZPI *z : v)
        zpk_info_free(z);
    v.clear();
}

} // namespace

ZPI **zpm_chk_delete_reqs(ZPM *zpm, ZPI *candidate) {
    std::vector<ZPI *> v = requirers(zpm, candidate->name, 2, [](const ZPI *) { return true; });
    return to_c_list(v);
}

namespace {

// Capacity of the record list of the running delete check.
int g_capacity = 0;

// Room for one more record, whatever the nested checks appended meanwhile.
bool ensure_room(int *num_zpds, ZPD ***all_zpds) {
    if (*num_zpds < g_capacity)
        return true;
    int cap = *num_zpds + 1;
    ZPD **list = static_cast<ZPD **>(realloc(*all_zpds, (cap + 1) * sizeof(ZPD *)));
    if (!list)
        return false;
    *all_zpds = list;
    g_capacity = cap;
    return true;
}

bool prepare_list(const char *pfx, int n, int *num_zpds, ZPD ***all_zpds) {
    if (!*all_zpds) {
        *all_zpds = static_cast<ZPD **>(calloc(n + 1, sizeof(ZPD *)));
        if (!*all_zpds)
            return false;
        g_capacity = n;
        zlogf(ZLOG_DEBUG, "%s: Initially allocating space for %d zpds, setting counter to %d", pfx,
              n, 0);
        return true;
    }
    int want = *num_zpds + n;
    if (want < g_capacity) {
        zlogf(ZLOG_DEBUG,
              "%s: Not reallocating space, as we already have %d and this run could only go to %d",
              pfx, g_capacity, want);
        return true;
    }
    ZPD **list = static_cast<ZPD **>(realloc(*all_zpds, (want + 1) * sizeof(ZPD *)));
    if (!list)
        return false;
    *all_zpds = list;
    g_capacity = want;
    zlogf(ZLOG_DEBUG, "%s: Reallocating space for %d zpds, setting counter to %d", pfx, want,
          *num_zpds);
    return true;
}

bool in_list(ZPD **list, const char *dep) {
    for (int i = 0; list && list[i]; i++)
        if (list[i]->dependency && strcmp(list[i]->dependency, dep) == 0)
            return true;
    return false;
}

// Whether the dependency's install record lets it go with cand.
bool installed_for(ZPM *zpm, const ZPI *cand, const ZPI *dep) {
    if (dep->install_type != 'D') {
        zlogf(ZLOG_DEBUG, "zpm_chk_delete_deps: Nope, %s WAS installed explicitely", dep->name);
        return false;
    }
    const char *head = dep->install_head ? dep->install_head : "";
    if (strcmp(head, cand->name) == 0) {
        zlogf(ZLOG_DEBUG, "zpm_chk_delete_deps: Ok, %s WAS installed as dependency of %s",
              dep->name, cand->name);
        return true;
    }
    if (ZpiPtr h{zpm_zpl_info(zpm, head)}) {
        zlogf(ZLOG_DEBUG,
              "zpm_chk_delete_deps: Nope, %s was installed as a dependency of %s, which is still "
              "installed",
              dep->name, head);
        return false;
    }
    zlogf(ZLOG_DEBUG,
          "zpm_chk_delete_deps: Ok, %s was installed as a dependency of %s, which is not installed "
          "anymore",
          dep->name, head);
    return true;
}

// Whether a package other than cand still requires dep.
bool required_elsewhere(ZPM *zpm, const ZPI *cand, const ZPI *dep) {
    auto other = [cand](const ZPI *r) { return !r->name || strcmp(r->name, cand->name) != 0; };
    std::vector<ZPI *> reqs = requirers(zpm, dep->name, 2, other);
    bool kept = false;
    for (ZPI *r : reqs) {
        if (!other(r))
            continue;
        zlogf(ZLOG_DEBUG, "zpm_chk_delete_deps: Skipping dependency %s, %s also depends on it",
              dep->name, r->name);
        kept = true;
    }
    free_all(reqs);
    return kept;
}

// Checks one dependency of cand; returns it (installed record) when it goes.
ZPI *removable(ZPM *zpm, ZPI *cand, const char *dep, ZPD **list) {
    zlogf(ZLOG_DEBUG, "zpm_chk_delete_deps: Got dependency %s", dep);
    if (in_list(list, dep)) {
        zlogf(ZLOG_DEBUG, "zpm_chk_delete_deps: found circular dependency on %s", dep);
        return nullptr;
    }
    ZpiPtr inst(zpm_zpl_info(zpm, dep));
    if (!inst) {
        zlogf(ZLOG_WARNING,
              "zpm_chk_delete_deps: dependency %s has already ben deleted, this should not really "
              "happen",
              dep);
        return nullptr;
    }
    if (!installed_for(zpm, cand, inst.get()) || required_elsewhere(zpm, cand, inst.get()))
        return nullptr;
    zlogf(ZLOG_DEBUG, "zpm_chk_delete_deps: %s seems not to be required by anybody else, adding it",
          dep);
    return inst.release();
}

} // namespace

int zpm_chk_delete_deps(ZPM *zpm, ZPI *cand, int *num_zpds, ZPD ***all_zpds) {
    zlogf(ZLOG_DEBUG, "zpm_chk_delete_deps: Checking candidate <%s>", cand->name);
    int n = zpm::plan::count_deps(cand->deps);
    if (n == 0) {
        zlogf(ZLOG_DEBUG,
              "zpm_chk_install: ok, canidate <%s> has no new dependencies, total of deps: %d",
              cand->name, *num_zpds);
        return 0;
    }
    zlogf(ZLOG_DEBUG, "zpm_chk_delete_deps: ok, candidate <%s> has %02d dependencies", cand->name,
          n);
    if (!prepare_list("zpm_chk_delete_deps", n, num_zpds, all_zpds))
        return 0;
    for (int i = 0; i < n; i++) {
        ZPI *inst = removable(zpm, cand, cand->deps[i], *all_zpds);
        if (!inst)
            continue;
        ZPD *d = static_cast<ZPD *>(calloc(1, sizeof(ZPD)));
        if (!d || !ensure_room(num_zpds, all_zpds)) {
            free(d);
            zpk_info_free(inst);
            return 0;
        }
        *d = ZPD{'I', 'D', strdup(cand->deps[i]), strdup(cand->name), nullptr, inst, 99, 0};
        (*all_zpds)[(*num_zpds)++] = d;
        (*all_zpds)[*num_zpds] = nullptr;
        zlogf(ZLOG_DEBUG, "zpm_chk_delete_deps: we now have a total of %d deps", *num_zpds);
        zpm_chk_delete_deps(zpm, inst, num_zpds, all_zpds);
    }
    return 0;
}

namespace {

ZPT *finish_delete(ZPM *zpm, char *zpk_name, ZPI *inst, ZPT **zpt) {
    int num = 0;
    ZPD **list = nullptr;
    zpm_chk_delete_deps(zpm, inst, &num, &list);
    zlogf(ZLOG_DEBUG, "%s can be removed along with %d deps", zpk_name, num);
    if (num == 0) {
        free(list);
        list = nullptr;
    }
    ZPT *t = zpm::plan::new_zpt(zpk_name, 'L', 'D', inst, num, list);
    if (!t)
        return nullptr;
    for (int i = 0; list && list[i]; i++) {
        t->tot_file_size += list[i]->zpi->filesize;
        t->tot_data_size += list[i]->zpi->datasize;
    }
    zlogf(ZLOG_DEBUG, "Check for %s was successful, total of dependencies found: %d", zpk_name,
          num);
    if (zpt)
        *zpt = t;
    return t;
}

} // namespace

ZPT *zpm_pre_delete(ZPM *zpm, char *zpk_name, ZPT **zpt) {
    if (zpt)
        *zpt = nullptr;
    ZpiPtr inst(zpm_zpl_info(zpm, zpk_name));
    if (!inst) {
        zpm::hook_note(std::string(zpk_name) + " is not installed, skipping\n");
        return nullptr;
    }
    // A requirer installed for this very package goes with it; any other
    // refuses the removal.  Accepted ones never end the search.
    auto refuses = [zpk_name](const ZPI *r) {
        return !r->install_head || strcmp(r->install_head, zpk_name) != 0;
    };
    std::vector<ZPI *> reqs = requirers(zpm, zpk_name, 2, refuses);
    if (!reqs.empty())
        zlogf(ZLOG_DEBUG, "zpm_pre_delete: found dependent packages for %s", zpk_name);
    bool refused = false;
    for (ZPI *r : reqs) {
        if (!refuses(r)) {
            zlogf(ZLOG_DEBUG, "%s is a circular dependency of %s, allowing", r->name, zpk_name);
            continue;
        }
        zpm::hook_note(std::string(zpk_name) + " cannot be deleted, " + r->name +
                          " depends on it\n");
        refused = true;
    }
    free_all(reqs);
    if (refused)
        return nullptr;
    zpm::hook_note(std::string(zpk_name) + " can be deleted, nothing depends on it\n");
    return finish_delete(zpm, zpk_name, inst.release(), zpt);
}
