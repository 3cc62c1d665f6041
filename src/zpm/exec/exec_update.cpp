// Updating: a transaction (fetch, new dependencies, the head) and one
// package replaced in place: new files written and old ones removed with
// backups, the new inventory entry built beside the old one and switched in.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>

#include "cres.h"
#include "exec.h"
#include "exec_common.h"
#include "exec_prefetch.h"
#include "fsops.h"
#include "hooks.h"
#include "inventory.h"
#include "invfs.h"
#include "journal.h"
#include "loglib.h"
#include "paths.h"
#include "plan_common.h"
#include "recptr.h"
#include "zpf.h"

using namespace zpm::exec;

namespace {

std::unordered_set<std::string> as_set(char **list) {
    std::unordered_set<std::string> set;
    for (size_t i = 0; list && list[i]; i++)
        set.insert(list[i]);
    return set;
}

bool on_disk_now(const char *path) {
    struct stat sb;
    return stat(zpm::paths::target(path).c_str(), &sb) == 0;
}

int update_script(const Stage &st, const char *script) {
    if (!strcmp(script, "00-add.sh"))
        return run_script("zpm_update_zpk: ", {"ZPK_STAGE_NEW=" + st.new_dir, "ZPM_MODE=UPDATE"},
                          st.new_dir + "/init/00-add.sh");
    return run_script(
        "zpm_update_zpk: ",
        {"ZPM_MODE=UPDATE", "ZPM_ZPKDIR=" + st.new_dir, "ZPK_STAGE_NEW=" + st.new_dir},
        st.new_dir + "/init/99-add.sh");
}

// Writes the new files; on a failure rolls back those written before it.
// keep: the post-install script will look at the unpacked package.  Every
// file replaced is saved first, and the new files are on disk before the
// new version is registered.
bool write_new(char **add, const Stage &st, int keep) {
    zpm::fs::Placement pl(st.old_dir);
    if (!save_targets(pl, add, [&](const char *path) {
            zlogf(ZLOG_ERROR, "Failure installing %s to %s",
                  (st.new_dir + "/data" + (path ? path : "")).c_str(), path ? path : "");
        })) {
        rollback(on_disk(add, 0), st.old_dir);
        return false;
    }
    const auto count = static_cast<unsigned long long>(arr_count(add));
    size_t i = 0;
    for (; add && add[i]; i++) {
        zpm::hook_progress(nullptr, zpm::ProgressPhase::place, i, count);
        zlogf(ZLOG_DEBUG, "zpm_update_zpk: Processing add_files[%d]", static_cast<int>(i));
        const std::string src = st.new_dir + "/data" + add[i];
        const std::string dst = zpm::paths::target(add[i]);
        zlogf(ZLOG_DEBUG, "zpm_update_zpk: copying %s to %s with backup of %s", src.c_str(),
              dst.c_str(), st.old_dir.c_str());
        int n = src.size() < 2048 && dst.size() < 2048 ? pl.place(dst, src, keep) : -1;
        if (n < 0) {
            zlogf(ZLOG_ERROR, "Failure installing %s to %s", src.c_str(), dst.c_str());
            rollback(on_disk(add, i), st.old_dir);
            return false;
        }
        zlogf(ZLOG_DEBUG, "zpm_update_zpk: Copied %d bytes from %s to %s", n, src.c_str(),
              dst.c_str());
    }
    if (pl.sync_placed() != 0) {
        rollback(on_disk(add, i), st.old_dir);
        return false;
    }
    return true;
}

// Removes the old files that the new version no longer has: every one is
// saved first, and removed only once all backups are on disk.
bool remove_old(char **del, char **add, const Stage &st) {
    zpm::fs::Placement pl(st.old_dir);
    std::vector<Removal> found;
    std::string bad;
    for (size_t i = 0; bad.empty() && del && del[i]; i++) {
        zlogf(ZLOG_DEBUG, "zpm_update_zpk: Found %s to delete", del[i]);
        Removal r{del[i]};
        r.found = pl.save_for_removal(zpm::paths::target(del[i]), r.err);
        if (r.found == zpm::fs::Found::failed)
            bad = del[i];
        else if (r.found != zpm::fs::Found::nothing)
            found.push_back(r);
    }
    if (bad.empty() && pl.sync_saved() != 0)
        bad = found.front().path; // nothing to sync without a backup
    if (!bad.empty()) {
        zlogf(ZLOG_ERROR, "Failure backing up previous version of %s, will rollback and abort.",
              bad.c_str());
        rollback(on_disk(add, static_cast<size_t>(arr_count(add))), st.old_dir);
        return false;
    }
    remove_saved(pl, found, [](const char *path, const char *why) {
        zlogf(ZLOG_WARNING, "Failed to remove old file %s: %s, continuing", path, why);
    });
    return true;
}

// The install record of the new version: install time, type and head of
// the old one, its update times and now.
Record update_record(const ZPI *old_zpi) {
    Record rec;
    rec.emplace_back("ezpkInstallTime", std::to_string(static_cast<long>(old_zpi->install_time)));
    rec.emplace_back("ezpkInstallType",
                     old_zpi->install_type ? std::string(1, old_zpi->install_type) : "");
    if (old_zpi->install_head)
        rec.emplace_back("ezpkInstallHead", old_zpi->install_head);
    for (const time_t *t = old_zpi->update_time; t && *t; t++)
        rec.emplace_back("ezpkUpdateTime", std::to_string(static_cast<long>(*t)));
    rec.emplace_back("ezpkUpdateTime", std::to_string(static_cast<long>(time(nullptr))));
    return rec;
}

// The message of each step of building the new entry, followed by the
// package; null for the info files, whose failure is told by the message
// of the whole registration alone.
const char *entry_message(EntryStep step) {
    switch (step) {
    case EntryStep::info:
        return nullptr;
    case EntryStep::data_hash:
        return "zpm_update_zpk: Failed to copy data hash file for package ";
    case EntryStep::init:
        return "zpm_update_zpk: Failed to copy init files for package ";
    case EntryStep::init_hash:
        return "zpm_update_zpk: Failed to copy init hash file for package ";
    case EntryStep::index:
        return "zpm_update_zpk: Failed to write fileindex for package ";
    case EntryStep::record:
        break;
    }
    return "zpm_update_zpk: Failed to write install info for package ";
}

// Builds the new entry beside the old one; empty, or the step that failed.
// The install record goes last: a whole new entry is known by it.
std::optional<EntryFailure> build_entry(const Forks &fk, char **add, const Stage &st,
                                        const std::string &name, const std::string &record) {
    const std::string where = zpm::paths::installed_dir(), nname = "." + name + ".new";
    const std::string at = where + "/" + nname;
    Fd inst = zpm::inv::open_area(zpm::paths::kInstalledDir);
    zpm::Failure fail;
    if (inst.get() < 0)
        return EntryFailure{EntryStep::info, zpm::error_now("open", where)};
    Fd entry = fresh_dir(inst.get(), where, nname, &fail); // left by an interrupted update
    if (fail)
        return EntryFailure{EntryStep::info, *fail};
    if (auto f = copy_entry(fk, st, entry.get(), at))
        return f;
    if (add)
        if (auto e = write_index(nname, add))
            return EntryFailure{EntryStep::index, *e};
    // Everything of the entry (and the files placed on this file system)
    // is on disk before the install record makes it count.
    if (auto e = zpm::inv::sync_all(inst.get(), where))
        return EntryFailure{EntryStep::record, *e};
    if (auto e = zpm::inv::write_at(entry.get(), at, "inst.txt", record))
        return EntryFailure{EntryStep::record, *e};
    return {};
}

// Gives up the new entry: its install record first (while it is there, the
// next run would complete the update), then the files, then the entry and
// its file index.
void abandon_new(const std::string &name, const std::vector<std::string> &written,
                 const Stage &st) {
    const std::string ndir = inst_dir(name.c_str(), "%.1000s/.%.1000s.new");
    unlink((ndir + "/inst.txt").c_str());
    rollback(written, st.old_dir);
    zpm_zpf_rmdir(ndir.c_str());
    unlink(index_path(name.c_str(), "%s/.%s.new").c_str());
}

// The journal of an update: the paths it writes (and whether something was
// there), those it removes, and how its new entry and file index are known.
Journal update_journal(const ZPI *old_zpi, const ZPI *new_zpi, char **add, char **del,
                       const std::string &record) {
    Journal j;
    j.op = "update";
    j.name = new_zpi->name;
    j.puname = zpm::pkg::uname(new_zpi);
    j.old_puname = zpm::pkg::uname(old_zpi);
    j.record = text_sum(record);
    j.index = add ? text_sum(lines_text(add)) : "";
    struct stat sb;
    j.had_index = lstat(index_path(new_zpi->name).c_str(), &sb) == 0;
    for (size_t i = 0; add && add[i]; i++)
        j.paths.emplace_back(lstat(zpm::paths::target(add[i]).c_str(), &sb) == 0 ? 'r' : 'n',
                             add[i]);
    for (size_t i = 0; del && del[i]; i++)
        j.paths.emplace_back('d', del[i]);
    return j;
}

// Registers the new version; false when the update failed (then rolled
// back, or, with keep set, left for the next run to complete).
bool register_new(const ZPI *new_zpi, const Forks &fk, char **add, const Stage &st,
                  const Journal &j, const std::string &record,
                  const std::vector<std::string> &written, bool *keep) {
    zlogf(ZLOG_DEBUG, "Registering %s ", new_zpi->name);
    if (auto fail = build_entry(fk, add, st, new_zpi->name, record)) {
        const std::string uname = zpm::pkg::uname(new_zpi);
        zlogf(ZLOG_DEBUG, "zpm_update_zpk: %s", fail->cause.text().c_str());
        const char *msg = entry_message(fail->step);
        if (msg)
            zlogf(ZLOG_ERROR, "%s%s", msg, uname.c_str());
        if (!msg || fail->step == EntryStep::data_hash)
            zlogf(ZLOG_ERROR, "Failed to register package %s in local inventory", uname.c_str());
        abandon_new(new_zpi->name, written, st);
        return false;
    }
    auto e = switch_in(j);
    if (!e)
        return true;
    zlogf(ZLOG_ERROR, "zpm_update_zpk: Failed to switch to the new entry of %s: %s", new_zpi->name,
          e->text().c_str());
    if (auto back = switch_back(j)) {
        zlogf(ZLOG_ERROR, "zpm_update_zpk: Cannot put the entry of %s back either: %s",
              new_zpi->name, back->text().c_str());
        *keep = true;
        return false;
    }
    abandon_new(new_zpi->name, written, st);
    return false;
}

// From the first file written to the switch; the result of the update.  The
// change's journal is open.
int replace_and_switch(ZPT **zpt, const ZPI *new_zpi, const Stage &st, Forks &fk, char **add,
                       char **del, const Journal &j, const std::string &record, bool *keep) {
    if (!write_new(add, st, in_array(fk.init, "/99-add.sh")) || !remove_old(del, add, st))
        return -1;
    apply_links_perms(fk.info, st.new_dir, "zpm_update_zpk");
    const auto written = on_disk(add, static_cast<size_t>(arr_count(add)));
    zlogf(ZLOG_DEBUG, "zpm_update_zpk: Looking for post-install script");
    if (in_array(fk.init, "/99-add.sh")) {
        zlogf(ZLOG_DEBUG, "zpm_update_zpk: Found post-install script, will execute");
        if (update_script(st, "99-add.sh") != 0) {
            zlogf(ZLOG_ERROR, "Post-Install script ended with errors, aborting update");
            rollback(written, st.old_dir);
            return -1;
        }
        zlogf(ZLOG_DEBUG, "zpm_update_zpk: post-install script successfully executed");
    }
    if (!register_new(new_zpi, fk, add, st, j, record, written, keep))
        return -1;
    refresh_linker_cache("zpm_update_zpk");
    register_cfg(zpt, fk.init, new_zpi->name, "zpm_update_zpk");
    return 0;
}

int update_verified(ZPM *zpm, ZPT **zpt, const ZPI *old_zpi, const ZPI *new_zpi, const Stage &st,
                    Forks &fk, Change &change) {
    ArrPtr old_files(zpm_zpl_file_list(zpm, const_cast<ZPI *>(old_zpi)));
    if (in_array(fk.init, "/00-add.sh")) {
        zlogf(ZLOG_DEBUG, "zpm_update_zpk: Found pre-install script, will execute");
        if (int rc = update_script(st, "00-add.sh")) {
            zlogf(ZLOG_ERROR, "Pre-Install script ended with errors, aborting update");
            return rc;
        }
        zlogf(ZLOG_DEBUG, "zpm_update_zpk: pre-install script successfully executed");
    }
    char **raw_del = nullptr, **raw_add = nullptr;
    if (int rc = zpm_chk_local_update(zpm, old_files.get(), fk.data, &raw_del, &raw_add)) {
        zlogf(ZLOG_ERROR, "Failure processing update, rc=%d", rc);
        return rc;
    }
    ArrPtr del(raw_del), add(raw_add);
    const std::string record = record_text(update_record(old_zpi));
    const Journal j = update_journal(old_zpi, new_zpi, add.get(), del.get(), record);
    if (!change.begin(j, "zpm_update_zpk"))
        return -1;
    bool keep = false;
    int rc = replace_and_switch(zpt, new_zpi, st, fk, add.get(), del.get(), j, record, &keep);
    change.end(keep);
    return rc;
}

} // namespace

extern "C" int zpm_update_zpk(ZPM *zpm, ZPT **zpt, ZPI *old_zpi, ZPI *new_zpi, ZPC * /*zpc*/) {
    have_so = 0;
    if (!old_zpi || !new_zpi || !plain_name(new_zpi->name) || !old_zpi->name ||
        strcmp(old_zpi->name, new_zpi->name) != 0) {
        zlogf(ZLOG_ERROR, "zpm_update_zpk: %s cannot be updated under that name",
              new_zpi && new_zpi->name ? new_zpi->name : "(null)");
        return -1;
    }
    Stage st;
    if (!stage_of(new_zpi, &st) || !stage_free(st, "zpm_update_zpk"))
        return -1;
    Forks fk;
    if (int rc = unpack_checked(st, new_zpi, "zpm_update_zpk", "for", &fk))
        return rc;
    Change change(st);
    int rc = update_verified(zpm, zpt, old_zpi, new_zpi, st, fk, change);
    if (!change.keeps_stage())
        drop_stage(st);
    return rc;
}

extern "C" int zpm_exe_update(ZPM *zpm, ZPT **zpt, ZPC *zpc) {
    ZPT *t = *zpt;
    zpm::exec::prefetch(t, zpc);
    if (fetch(t->zpi, t->zpk_stat, zpc, "zpm_exe_update") != 0)
        return -1;
    for (int i = 0; t->all_zpds && i < t->num_zpds && t->all_zpds[i]; i++) {
        ZPD *d = t->all_zpds[i];
        if (d->zpi && d->status != 'I' && fetch(d->zpi, d->status, zpc, "zpm_exe_update") != 0)
            return -1;
    }
    if (t->all_zpds) {
        zlogf(ZLOG_DEBUG, "zpm_exe_update: Number of deps: %d", t->num_zpds);
        for (int i = dep_count(t) - 1; i >= 0; i--) {
            ZPD *d = t->all_zpds[i];
            if (!d->zpi || d->action != 'I')
                continue;
            if (int rc = install_dep(zpm, zpt, d, zpc))
                return rc;
        }
    }
    const std::string new_uname = zpm::pkg::uname(t->zpi);
    ZpiPtr old(zpm_zpl_info(zpm, t->zpi->name));
    if (!old) {
        zlogf(ZLOG_DEBUG, "Skipping update of %s, is not installed", new_uname.c_str());
        return 99;
    }
    int rc = zpm_update_zpk(zpm, zpt, old.get(), t->zpi, zpc);
    if (rc == 0)
        zpm_log_action(2, zpm::pkg::uname(old.get()).c_str(), new_uname.c_str(), nullptr);
    old.reset();
    zlogf(ZLOG_INFO, "rc of zpm_update_zpk for %s: %d\n", new_uname.c_str(), rc);
    if (rc)
        return rc;
    zpm_scripts_exe(zpt);
    return 0;
}

extern "C" int zpm_chk_local_update(ZPM *zpm, char **old_files, char **new_files,
                                    char ***pdel_files, char ***padd_files) {
    char **del = old_files ? static_cast<char **>(calloc(arr_count(old_files) + 1, sizeof(char *)))
                           : nullptr;
    char **add = new_files ? static_cast<char **>(calloc(arr_count(new_files) + 1, sizeof(char *)))
                           : nullptr;
    *pdel_files = del;
    *padd_files = add;
    if ((old_files && !del) || (new_files && !add)) {
        arr_free(del);
        arr_free(add);
        *pdel_files = *padd_files = nullptr;
        return -1;
    }
    if (!old_files && !new_files)
        return 0;
    const auto old_set = as_set(old_files), new_set = as_set(new_files);
    EkvaPtr choices = file_choices();
    size_t na = 0, nd = 0;
    for (size_t i = 0; new_files && new_files[i]; i++) {
        const char *path = new_files[i];
        zlogf(ZLOG_DEBUG, "zpm_chk_local_update: Checking for local existence of %s", path);
        if (!on_disk_now(path)) {
            add[na++] = strdup(path);
            zlogf(ZLOG_DEBUG, "zpm_chk_local_update: %s is not on disk, adding it to add_files",
                  path);
            continue;
        }
        if (old_set.count(path)) {
            add[na++] = strdup(path);
            zlogf(ZLOG_DEBUG,
                  "zpm_chk_local_update: %s is on disk and belongs to the old package, adding it "
                  "to add_files",
                  path);
            continue;
        }
        CharBuf owner(zpm_file_owner(zpm, path));
        const char *ans = nullptr;
        if (owner) {
            zlogf(ZLOG_DEBUG,
                  "zpm_chk_local_update: %s is on disk and belongs to package %s, aborting", path,
                  owner.get());
        } else {
            ans = ask_existing(path, choices.get());
            if (!ans || !strcmp(ans, "a"))
                zlogf(ZLOG_ERROR,
                      "aborting installation on already existing file not belonging to any "
                      "package");
        }
        if (owner || !ans || !strcmp(ans, "a")) {
            arr_free(del);
            arr_free(add);
            *pdel_files = *padd_files = nullptr;
            return -1;
        }
        if (!strcmp(ans, "r")) {
            add[na++] = strdup(path);
            zlogf(ZLOG_DEBUG,
                  "zpm_chk_local_update: %s is on disk, but does not belong to any package, will "
                  "overwrite",
                  path);
        } else {
            zlogf(ZLOG_DEBUG,
                  "zpm_chk_local_update: %s is on disk, but does not belong to any package, "
                  "skipping",
                  path);
        }
    }
    for (size_t i = 0; old_files && old_files[i]; i++) {
        if (!on_disk_now(old_files[i]) || new_set.count(old_files[i]))
            continue;
        del[nd++] = strdup(old_files[i]);
        zlogf(ZLOG_DEBUG, "zpm_chk_local_update: %s is not in new files, adding it to del_files",
              old_files[i]);
    }
    return 0;
}
