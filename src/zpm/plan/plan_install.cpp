// Planning of install, update and walk requests into transactions.
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>

#include "catalogue.h"
#include "hooks.h"
#include "inventory.h"
#include "loglib.h"
#include "plan.h"
#include "plan_common.h"
#include "zpf.h"
#include "zpk.h"
#include "zpm.h"

using zpm::pkg::uname;

namespace {

ZPT *store(ZPT **zpt, ZPT *t) {
    if (zpt)
        *zpt = t;
    return t;
}

// The head of an install or walk: a package file, or the catalogue's pick.
ZPI *head_of(ZPM *zpm, ZPC *zpc, char *zpk_name, char *variant, bool &is_file) {
    is_file = zpk_file_is_zpk(zpk_name);
    if (is_file)
        return zpm_zpf_info(zpk_name, 1);
    return zpm_findone_zpc(zpm, zpk_name, variant, zpc);
}

void log_records(ZPD **list, bool only_with_zpi) {
    for (int i = 0; list && list[i]; i++)
        if (list[i]->zpi || !only_with_zpi)
            zlogf(ZLOG_DEBUG, "Found dep %s for cand %s, status: %c", list[i]->dependency,
                  list[i]->candidate, list[i]->status);
}

void plan_failed(const char *what, const char *zpk_name, ZPD **list) {
    // what: one of the callers' literal formats, each with one %s
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    zlogf(ZLOG_DEBUG, what, zpk_name);
#pragma GCC diagnostic pop
    log_records(list, true);
    zpm::plan::free_zpds(list);
}

std::string fold(const char *s) {
    std::string r = s ? s : "";
    for (char &c : r)
        c = (char)std::tolower((unsigned char)c);
    return r;
}

// Sums the sizes of the records, each name once (names compared without
// regard to case, the request itself counting as processed for "User").
void count_once(ZPT *t, bool with_installed) {
    std::unordered_map<std::string, std::string> done;
    done[fold(t->zpk_name)] = "User";
    for (int i = 0; t->all_zpds && t->all_zpds[i]; i++) {
        ZPD *d = t->all_zpds[i];
        if (d->status == 'I' && !with_installed)
            continue;
        zlogf(ZLOG_DEBUG, "Found dep %s for cand %s, status: %c", d->dependency, d->candidate,
              d->status);
        if (!d->zpi)
            continue;
        auto it = done.find(fold(d->dependency));
        if (it != done.end()) {
            zlogf(ZLOG_DEBUG, "Skipping %s for %s, already processed for %s", d->dependency,
                  d->candidate, it->second.c_str());
            continue;
        }
        done[fold(d->dependency)] = d->candidate ? d->candidate : "";
        zlogf(ZLOG_DEBUG, "Adding %lu to tot_file_size", (unsigned long)d->zpi->filesize);
        zlogf(ZLOG_DEBUG, "Adding %lu to tot_data_size", (unsigned long)d->zpi->datasize);
        t->tot_file_size += d->zpi->filesize;
        t->tot_data_size += d->zpi->datasize;
    }
}

// Builds the transaction of a successful install or walk check.
ZPT *finish_plan(const char *zpk_name, bool is_file, char action, ZPI *head, int num, ZPD **list,
                 bool with_installed) {
    ZPT *t = zpm::plan::new_zpt(zpk_name, is_file ? 'L' : 'R', action, head, num, nullptr);
    if (!t) {
        zpm::plan::free_zpds(list);
        return nullptr;
    }
    zlogf(ZLOG_DEBUG, "Check for %s was successful, total of dependencies found: %d", zpk_name,
          num);
    if (list && num >= 1)
        zpds_sort(head, &list);
    t->all_zpds = list;
    count_once(t, with_installed);
    return t;
}

} // namespace

ZPT *zpm_pre_install(ZPM *zpm, ZPC *zpc, char *zpk_name, char *variant, char **dep_dirs,
                     ZPT **zpt) {
    store(zpt, nullptr);
    bool is_file = false;
    ZpiPtr head(head_of(zpm, zpc, zpk_name, variant, is_file));
    if (!head) {
        zlogf(ZLOG_INFO,
              is_file ? "%s is not a valid package file, skipping"
                      : "%s was not found in the package catalogue",
              zpk_name);
        return nullptr;
    }
    if (ZpiPtr inst{zpm_zpl_info(zpm, head->name)}) {
        zlogf(ZLOG_INFO, "%s is already installed", zpk_name);
        return nullptr;
    }
    int num = 0;
    ZPD **list = nullptr;
    if (zpm_chk_install(zpm, head.get(), zpc, dep_dirs, &num, &list) != 0) {
        plan_failed("%s cannot be installed", zpk_name, list);
        return nullptr;
    }
    return store(zpt, finish_plan(zpk_name, is_file, 'I', head.release(), num, list, false));
}

ZPT *zpm_walk(ZPM *zpm, ZPC *zpc, char *zpk_name, char *variant, char **dep_dirs, ZPT **zpt) {
    store(zpt, nullptr);
    bool is_file = false;
    ZpiPtr head(head_of(zpm, zpc, zpk_name, variant, is_file));
    if (!head) {
        zpm::hook_note(std::string(zpk_name) +
                          (is_file ? " is not a valid package file\n"
                                   : " was not found in the package catalogue\n"));
        return nullptr;
    }
    int num = 0;
    ZPD **list = nullptr;
    if (zpm_chk_walk(zpm, head.get(), zpc, dep_dirs, &num, &list) != 0) {
        plan_failed("%s cannot be installed", zpk_name, list);
        return nullptr;
    }
    log_records(list, false);
    return store(zpt, finish_plan(zpk_name, is_file, 0, head.release(), num, list, true));
}

namespace {

// The installed record an update starts from; null (after its message)
// when the request is no package file or not installed.
ZPI *installed_for_update(ZPM *zpm, char *zpk_name, ZpiPtr &file) {
    const char *name = zpk_name;
    if (zpk_file_is_zpk(zpk_name)) {
        file.reset(zpm_zpf_info(zpk_name, 1));
        if (!file) {
            zlogf(ZLOG_INFO, "%s is not a valid package file", zpk_name);
            return nullptr;
        }
        name = file->name;
    }
    ZPI *inst = zpm_zpl_info(zpm, name);
    if (!inst)
        zlogf(ZLOG_INFO, "%s is not installed", name);
    return inst;
}

// True when selection under the variant rules prefers new over installed.
bool is_upgrade(ZPI *inst, ZPI *fresh, const char *variant) {
    std::string o = uname(inst), n = uname(fresh);
    zlogf(ZLOG_DEBUG, "installed version: %s, available version: %s", o.c_str(), n.c_str());
    if (o == n) {
        zlogf(ZLOG_DEBUG, "Nothing to do, keeping %s", o.c_str());
        return false;
    }
    ZPI *pair[3] = {inst, fresh, nullptr};
    if (zpm_findone(inst->name, variant, pair) != 1) {
        zlogf(ZLOG_DEBUG, "Nothing to do, keeping %s", o.c_str());
        return false;
    }
    zlogf(ZLOG_DEBUG, "Ok, we'll try to upgrade %s to %s", o.c_str(), n.c_str());
    return true;
}

void count_all(ZPT *t) {
    for (int i = 0; t->all_zpds && t->all_zpds[i]; i++) {
        ZPD *d = t->all_zpds[i];
        zlogf(ZLOG_DEBUG, "Found dep %s for cand %s, status: %c", d->dependency, d->candidate,
              d->status);
        if (!d->zpi)
            continue;
        zlogf(ZLOG_DEBUG, "Adding %lu to tot_file_size", (unsigned long)d->zpi->filesize);
        zlogf(ZLOG_DEBUG, "Adding %lu to tot_data_size", (unsigned long)d->zpi->datasize);
        t->tot_file_size += d->zpi->filesize;
        t->tot_data_size += d->zpi->datasize;
    }
}

} // namespace

ZPT *zpm_pre_update(ZPM *zpm, ZPC *zpc, char *zpk_name, char *variant, char **dep_dirs, ZPT **zpt) {
    store(zpt, nullptr);
    ZpiPtr file;
    ZpiPtr inst(installed_for_update(zpm, zpk_name, file));
    if (!inst)
        return nullptr;
    char *vcheck = variant ? variant : inst->variant;
    ZpiPtr fresh(file ? file.release() : zpm_findone_zpc(zpm, zpk_name, vcheck, zpc));
    bool is_file = zpk_file_is_zpk(zpk_name);
    if (!fresh) {
        if (vcheck)
            zlogf(ZLOG_DEBUG, "%s, variant %s was not found in the package catalogue", zpk_name,
                  vcheck);
        else
            zlogf(ZLOG_DEBUG, "%s was not found in the package catalogue", zpk_name);
        return nullptr;
    }
    if (!is_upgrade(inst.get(), fresh.get(), vcheck))
        return nullptr;
    int num = 0;
    ZPD **list = nullptr;
    if (zpm_chk_install(zpm, fresh.get(), zpc, dep_dirs, &num, &list) != 0) {
        plan_failed("%s cannot be updated", zpk_name, list);
        return nullptr;
    }
    ZPT *t = zpm::plan::new_zpt(zpk_name, is_file ? 'L' : 'R', 'U', fresh.release(), num, list);
    if (!t)
        return nullptr;
    zlogf(ZLOG_DEBUG, "Check for %s was successful, total of dependencies found: %d", zpk_name,
          num);
    count_all(t);
    return store(zpt, t);
}
