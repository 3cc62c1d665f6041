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
#include "fsops.h"
#include "hooks.h"
#include "inventory.h"
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
// keep: the post-install script will look at the unpacked package.
bool write_new(char **add, const Stage &st, int keep) {
    const auto count = static_cast<unsigned long long>(arr_count(add));
    for (size_t i = 0; add && add[i]; i++) {
        zpm::hook_progress(nullptr, zpm::ProgressPhase::place, i, count);
        zlogf(ZLOG_DEBUG, "zpm_update_zpk: Processing add_files[%d]", static_cast<int>(i));
        const std::string src = st.new_dir + "/data" + add[i];
        const std::string dst = zpm::paths::target(add[i]);
        zlogf(ZLOG_DEBUG, "zpm_update_zpk: copying %s to %s with backup of %s", src.c_str(),
              dst.c_str(), st.old_dir.c_str());
        int n = src.size() < 2048 && dst.size() < 2048
                    ? zpm_zpf_place(dst.c_str(), src.c_str(), st.old_dir.c_str(), keep)
                    : -1;
        if (n < 0) {
            zlogf(ZLOG_ERROR, "Failure installing %s to %s", src.c_str(), dst.c_str());
            rollback(on_disk(add, i), st.old_dir);
            return false;
        }
        zlogf(ZLOG_DEBUG, "zpm_update_zpk: Copied %d bytes from %s to %s", n, src.c_str(),
              dst.c_str());
    }
    return true;
}

// Removes the old files that the new version no longer has.
bool remove_old(char **del, char **add, const Stage &st) {
    for (size_t i = 0; del && del[i]; i++) {
        zlogf(ZLOG_DEBUG, "zpm_update_zpk: Found %s to delete", del[i]);
        const std::string file = zpm::paths::target(del[i]);
        struct stat sb;
        if (stat(file.c_str(), &sb) != 0)
            continue;
        // A directory where a file was is not removed, so there is nothing to save.
        if (!S_ISDIR(sb.st_mode) && !save_to_backup(file, st.old_dir)) {
            zlogf(ZLOG_ERROR, "Failure backing up previous version of %s, will rollback and abort.",
                  del[i]);
            rollback(on_disk(add, static_cast<size_t>(arr_count(add))), st.old_dir);
            return false;
        }
        if (unlink(file.c_str()) != 0)
            zlogf(ZLOG_WARNING, "Failed to remove old file %s: %s, continuing", del[i],
                  strerror(errno));
    }
    return true;
}

// The install record of the new version: install time, type and head of
// the old one, its update times and now.
std::vector<std::pair<const char *, std::string>> update_record(const ZPI *old_zpi) {
    std::vector<std::pair<const char *, std::string>> rec;
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

// The message of each step of building the new entry.
const char *entry_message(EntryStep step) {
    switch (step) {
    case EntryStep::info:
        return "Failed to register package %s in local inventory";
    case EntryStep::data_hash:
        return "zpm_update_zpk: Failed to copy data hash file for package %s";
    case EntryStep::init:
        return "zpm_update_zpk: Failed to copy init files for package %s";
    case EntryStep::init_hash:
        return "zpm_update_zpk: Failed to copy init hash file for package %s";
    case EntryStep::index:
        return "zpm_update_zpk: Failed to write fileindex for package %s";
    case EntryStep::record:
        break;
    }
    return "zpm_update_zpk: Failed to write install info for package %s";
}

// Builds the new entry beside the old one; empty, or the step that failed.
std::optional<EntryFailure> build_entry(const ZPI *old_zpi, const Forks &fk, char **add,
                                        const Stage &st, const std::string &ndir,
                                        const std::string &nidx) {
    zpm_zpf_rmdir(ndir.c_str()); // left by an interrupted update
    make_dir(ndir, 0755);
    make_dir(cut(ndir, 1001) + "/hash", 0755);
    if (auto f = copy_entry(fk, st, ndir, cut(ndir, 1001) + "/init"))
        return f;
    if (auto e = write_inst(ndir, update_record(old_zpi)))
        return EntryFailure{EntryStep::record, *e};
    if (add)
        if (auto e = write_lines(nidx, add))
            return EntryFailure{EntryStep::index, *e};
    return {};
}

// Puts from in the place of to and moves what was there to aside, such that
// a name is registered at every moment: an exchange of the two, then the
// old one renamed aside.  Without an exchange (or without anything at to),
// two renames.
void swap_in(const std::string &from, const std::string &to, const std::string &aside) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_EXCHANGE) == 0) {
        rename(from.c_str(), aside.c_str());
        return;
    }
    rename(to.c_str(), aside.c_str());
    rename(from.c_str(), to.c_str());
}

// Registers the new version.  The file index goes first: an update cut off
// in between leaves the old entry registered with the new index, which a
// repeated update puts right.
void switch_entries(const char *name, bool new_index) {
    const std::string idir = inst_dir(name), odir = inst_dir(name, "%.1000s/.%.1000s.old"),
                      ndir = inst_dir(name, "%.1000s/.%.1000s.new");
    const std::string idx = index_path(name), oidx = index_path(name, "%s/.%s.old"),
                      nidx = index_path(name, "%s/.%s.new");
    zpm_zpf_rmdir(odir.c_str());
    unlink(oidx.c_str());
    if (new_index)
        swap_in(nidx, idx, oidx);
    else
        rename(idx.c_str(), oidx.c_str());
    swap_in(ndir, idir, odir);
}

int update_verified(ZPM *zpm, ZPT **zpt, const ZPI *old_zpi, const ZPI *new_zpi, const Stage &st,
                    Forks &fk) {
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
    if (!write_new(add.get(), st, in_array(fk.init, "/99-add.sh")) ||
        !remove_old(del.get(), add.get(), st))
        return -1;
    apply_links_perms(fk.info, st.new_dir, "zpm_update_zpk");
    const auto written = on_disk(add.get(), static_cast<size_t>(arr_count(add.get())));
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
    zlogf(ZLOG_DEBUG, "Registering %s ", new_zpi->name);
    const std::string ndir = inst_dir(new_zpi->name, "%.1000s/.%.1000s.new");
    const std::string nidx = index_path(new_zpi->name, "%s/.%s.new");
    if (auto fail = build_entry(old_zpi, fk, add.get(), st, ndir, nidx)) {
        const std::string uname = zpm::pkg::uname(new_zpi);
        zlogf(ZLOG_DEBUG, "zpm_update_zpk: %s", fail->cause.text().c_str());
        zlogf(ZLOG_ERROR, entry_message(fail->step), uname.c_str());
        if (fail->step == EntryStep::data_hash)
            zlogf(ZLOG_ERROR, "Failed to register package %s in local inventory", uname.c_str());
        rollback(written, st.old_dir);
        zpm_zpf_rmdir(ndir.c_str());
        unlink(nidx.c_str());
        return -1;
    }
    switch_entries(new_zpi->name, add != nullptr);
    refresh_linker_cache("zpm_update_zpk");
    register_cfg(zpt, fk.init, new_zpi->name, "zpm_update_zpk");
    return 0;
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
    if (!stage_of(new_zpi, &st))
        return -1;
    Forks fk;
    if (int rc = unpack_checked(st, new_zpi, "zpm_update_zpk", "for", &fk))
        return rc;
    int rc = update_verified(zpm, zpt, old_zpi, new_zpi, st, fk);
    zpm_zpf_rmdir(st.zpk_dir.c_str());
    return rc;
}

extern "C" int zpm_exe_update(ZPM *zpm, ZPT **zpt, ZPC *zpc) {
    ZPT *t = *zpt;
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
