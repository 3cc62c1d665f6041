// Dependency resolution: one dependency at a time (installed, then the
// dependency directories, then the catalogue), and the recursive checks of
// install and walk that collect every dependency into one flat list.
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "catalogue.h"
#include "inventory.h"
#include "loglib.h"
#include "plan.h"
#include "plan_common.h"
#include "zpm.h"

ZPD *zpm_get_dependency(ZPM *zpm, const char *cand, const char *dep_name, ZPC *zpc, char **dep_dirs,
                        ZPD **dep_zpk) {
    ZPD *d = *dep_zpk;
    zlogf(ZLOG_DEBUG, "Checking dep %s for canditate %s\n", dep_name, cand);
    d->status = 'U';
    d->action = 0;
    d->dependency = strdup(dep_name);
    d->candidate = strdup(cand);
    d->version = nullptr;
    d->zpi = nullptr;
    d->depth = 99;
    d->circular = 0;
    zlogf(ZLOG_DEBUG, "Setting status of dep %s for canditate %s to %c", dep_name, cand, d->status);
    if ((d->zpi = zpm_zpl_info(zpm, dep_name))) {
        d->status = 'I';
        d->action = 'N';
        zlogf(ZLOG_DEBUG, "ok, dependency %s was found already installed", dep_name);
        return d;
    }
    zlogf(ZLOG_DEBUG, "ok, dependency %s in not yet installed", dep_name);
    if (dep_dirs) {
        if ((d->zpi = zpm_findone_dirs(zpm, dep_name, nullptr, dep_dirs))) {
            d->status = 'L';
            d->action = 'I';
            zlogf(ZLOG_DEBUG, "ok, dependency %s was found locally", dep_name);
            return d;
        }
        zlogf(ZLOG_DEBUG, "No package for %s in directories found", dep_name);
    } else {
        zlogf(ZLOG_DEBUG, "ok, no directories to search in specified");
    }
    if ((d->zpi = zpm_findone_zpc(zpm, const_cast<char *>(dep_name), nullptr, zpc))) {
        d->status = 'R';
        d->action = 'I';
        zlogf(ZLOG_DEBUG, "ok, dependency %s was found in catalogue", dep_name);
    } else {
        zlogf(ZLOG_DEBUG, "No package for %s in catalogue found", dep_name);
    }
    return d;
}

namespace {

// One planning run shares its next free slot and an index of the dependency
// names already in the list (so marking repeats costs no scan of the list).
struct RunState {
    ZPD **list = nullptr;
    int next = 0;
    std::unordered_map<std::string, std::vector<int>> by_name;
};
RunState g_run;

void start_run(ZPD **list) {
    g_run = RunState();
    g_run.list = list;
}

// Re-reads the state from a list that this run did not build.
void sync_run(ZPD **list) {
    int n = g_run.next;
    if (g_run.list == list && !list[n] && (n == 0 || list[n - 1]))
        return;
    start_run(list);
    for (n = 0; list[n]; n++)
        g_run.by_name[list[n]->dependency ? list[n]->dependency : ""].push_back(n);
    g_run.next = n;
}

struct CheckKind {
    const char *pfx;
    bool walk;
};
const CheckKind kInstall{"zpm_chk_install", false};
const CheckKind kWalk{"zpm_chk_walk", true};

int check(const CheckKind &k, ZPM *zpm, ZPI *cand, ZPC *zpc, char **dep_dirs, int *num_zpds,
          ZPD ***all_zpds);

// Makes room for n more records; false when memory ran out.
bool grow(const CheckKind &k, int n, int *num_zpds, ZPD ***all_zpds) {
    if (!*all_zpds) {
        ZPD **list = static_cast<ZPD **>(calloc(n + 1, sizeof(ZPD *)));
        if (!list)
            return false;
        *all_zpds = list;
        *num_zpds = n;
        start_run(list);
        zlogf(ZLOG_DEBUG, "%s: Initially allocating space for %d zpds, setting counter to %d",
              k.pfx, n, 0);
        return true;
    }
    sync_run(*all_zpds);
    int total = *num_zpds + n;
    if (total < g_run.next) // a list whose count was not kept by this run
        total = g_run.next + n;
    ZPD **list = static_cast<ZPD **>(realloc(*all_zpds, (total + 1) * sizeof(ZPD *)));
    if (!list)
        return false;
    *all_zpds = g_run.list = list;
    *num_zpds = total;
    zlogf(ZLOG_DEBUG,
          k.walk ? "%s Reallocating space for %d zpds, setting counter to %d"
                 : "%s: Reallocating space for %d zpds, setting counter to %d",
          k.pfx, total, g_run.next);
    return true;
}

// Marks the records already named dep as circular; true when there was one.
bool mark_seen(const char *dep) {
    auto it = g_run.by_name.find(dep);
    if (it == g_run.by_name.end())
        return false;
    for (int i : it->second)
        g_run.list[i]->circular = 1;
    return true;
}

// Resolves one dependency and stores it at the next free slot.
ZPD *store_dep(const CheckKind &k, ZPM *zpm, ZPI *cand, const char *dep, ZPC *zpc,
               char **dep_dirs) {
    ZPD *d = static_cast<ZPD *>(calloc(1, sizeof(ZPD)));
    if (!d)
        return nullptr;
    zpm_get_dependency(zpm, cand->name, dep, zpc, dep_dirs, &d);
    zlogf(ZLOG_DEBUG, "%s: Storing dependency %s with index %d", k.pfx, dep, g_run.next);
    g_run.list[g_run.next] = d;
    g_run.by_name[dep].push_back(g_run.next);
    g_run.list[++g_run.next] = nullptr;
    return d;
}

// What to do after a dependency was stored: 0 go on, 99 fail.
int descend(const CheckKind &k, ZPM *zpm, ZPD *d, ZPI *cand, ZPC *zpc, char **dep_dirs,
            int *num_zpds, ZPD ***all_zpds) {
    switch (d->status) {
    case 'U':
        zlogf(ZLOG_INFO, "%s: Failed to resovle dependency %s for %s", k.pfx, d->dependency,
              cand->name);
        return 99;
    case 'I':
        zlogf(ZLOG_DEBUG, "%s: Resolved dependeny internally", k.pfx);
        if (!k.walk)
            return 0;
        return check(kWalk, zpm, d->zpi, zpc, dep_dirs, num_zpds, all_zpds) ? 99 : 0;
    default:
        if (k.walk)
            zlogf(ZLOG_DEBUG, "%s: Resolved depeneny, status = %c", k.pfx, d->status);
        else
            zlogf(ZLOG_DEBUG, "%s: Resolved depeneny externally, status = %c", k.pfx, d->status);
        return check(kInstall, zpm, d->zpi, zpc, dep_dirs, num_zpds, all_zpds) ? 99 : 0;
    }
}

int check(const CheckKind &k, ZPM *zpm, ZPI *cand, ZPC *zpc, char **dep_dirs, int *num_zpds,
          ZPD ***all_zpds) {
    zlogf(ZLOG_DEBUG, "%s: Checking candidate <%s>", k.pfx, cand->name);
    if (cand->arch != zpm->arch && cand->arch != ZPK_ARCH_ANY) {
        zlogf(ZLOG_INFO, "Package arch %s doesn't match local arch %s, bye",
              zpm::pkg::arch_name(cand->arch), zpm::pkg::arch_name(zpm->arch));
        return 99;
    }
    int n = zpm::plan::count_deps(cand->deps);
    if (n == 0) {
        zlogf(ZLOG_DEBUG, "%s: ok, canidate <%s> has no new dependencies, total of deps: %d", k.pfx,
              cand->name, *num_zpds);
        return 0;
    }
    zlogf(ZLOG_DEBUG, "%s: ok, canidate <%s> has %02d dependencies", k.pfx, cand->name, n);
    if (!grow(k, n, num_zpds, all_zpds))
        return 99;
    for (int i = 0; i < n; i++) {
        const char *dep = cand->deps[i];
        zlogf(ZLOG_DEBUG, "%s: Got dependency %s", k.pfx, dep);
        bool seen = mark_seen(dep);
        ZPD *d = store_dep(k, zpm, cand, dep, zpc, dep_dirs);
        if (!d)
            return 99;
        if (seen) {
            zlogf(ZLOG_DEBUG, "%s: Found circular dependency %s", k.pfx, dep);
            continue;
        }
        if (descend(k, zpm, d, cand, zpc, dep_dirs, num_zpds, all_zpds))
            return 99;
    }
    return 0;
}

} // namespace

int zpm_chk_install(ZPM *zpm, ZPI *cand, ZPC *zpc, char **dep_dirs, int *num_zpds,
                    ZPD ***all_zpds) {
    return check(kInstall, zpm, cand, zpc, dep_dirs, num_zpds, all_zpds);
}

int zpm_chk_walk(ZPM *zpm, ZPI *cand, ZPC *zpc, char **dep_dirs, int *num_zpds, ZPD ***all_zpds) {
    return check(kWalk, zpm, cand, zpc, dep_dirs, num_zpds, all_zpds);
}
