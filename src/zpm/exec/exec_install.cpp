// Installing: a whole transaction (fetch, dependencies from the end of the
// list, the head, configuration scripts) and one package (unpack, verify,
// scripts, files with backups, links and modes, registration).
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

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

int check_local(ZPM *zpm, char **data_files, char ***copy_files, std::vector<bool> *none);
int install_zpk(ZPM *zpm, ZPT **zpt, ZPI *zpi, char *candidate, bool absent);

bool installed(ZPM *zpm, const char *name) {
    ZpiPtr zpi(zpm_zpl_info(zpm, name));
    return zpi != nullptr;
}

int add_script(const Stage &st, const char *script) {
    return run_script("zpm_install_zpk: ", {"ZPM_MODE=INSTALL", "ZPK_STAGE_NEW=" + st.new_dir},
                      st.new_dir + "/init/" + script);
}

// Copies the data files into place; on a failure rolls back what was
// written before it.  false on failure.  keep: the post-install script
// will look at the unpacked package, so staged files stay where they are.
// Every file replaced is saved first, and the placed files are on disk
// before the package is registered.
bool copy_data(char **copy, const Stage &st, int keep) {
    zpm::fs::Placement pl(st.old_dir);
    if (!save_targets(pl, copy, [&](const char *path) {
            zlogf(ZLOG_ERROR, "zpm_install_zpk: Failed to install %s to %s",
                  (st.new_dir + "/data" + (path ? path : "")).c_str(), path ? path : "");
        })) {
        rollback(on_disk(copy, 0), st.old_dir);
        return false;
    }
    const auto count = static_cast<unsigned long long>(arr_count(copy));
    size_t i = 0;
    for (; copy && copy[i]; i++) {
        zpm::hook_progress(nullptr, zpm::ProgressPhase::place, i, count);
        const std::string src = st.new_dir + "/data" + copy[i];
        const std::string dst = zpm::paths::target(copy[i]);
        zlogf(ZLOG_DEBUG, "zpm_install_zpk: copying %s to %s with backup of %s", src.c_str(),
              dst.c_str(), st.old_dir.c_str());
        int n = src.size() < 2048 && dst.size() < 2048 ? pl.place(dst, src, keep) : -1;
        if (n < 0) {
            zlogf(ZLOG_ERROR, "zpm_install_zpk: Failed to install %s to %s", src.c_str(),
                  dst.c_str());
            rollback(on_disk(copy, i), st.old_dir);
            return false;
        }
        zlogf(ZLOG_DEBUG, "zpm_install_zpk: Copied %d bytes from %s to %s", n, src.c_str(),
              dst.c_str());
    }
    if (pl.sync_placed() != 0) {
        rollback(on_disk(copy, i), st.old_dir);
        return false;
    }
    return true;
}

// The message of each step of writing the inventory entry, followed by the
// package.
const char *entry_message(EntryStep step) {
    switch (step) {
    case EntryStep::info:
        return "zpm_install_zpk: Failed to copy info files for package ";
    case EntryStep::data_hash:
        return "zpm_install_zpk: Failed to copy data hash file for package ";
    case EntryStep::init:
        return "zpm_install_zpk: Failed to copy init files for package ";
    case EntryStep::init_hash:
        return "zpm_install_zpk: Failed to copy init hash file for package ";
    case EntryStep::index:
        return "zpm_install_zpk: Failed to write fileindex for package ";
    case EntryStep::record:
        break;
    }
    return "zpm_install_zpk: Failed to write install info for package ";
}

// The record of a new install: now, and whether the package was asked for.
Record install_record(const ZPI *zpi, const char *candidate) {
    const bool own = !strcmp(zpi->name, candidate);
    Record rec = {{"ezpkInstallTime", std::to_string(static_cast<long>(time(nullptr)))},
                  {"ezpkInstallType", own ? "X" : "D"}};
    if (!own)
        rec.emplace_back("ezpkInstallHead", candidate);
    return rec;
}

// Writes the inventory entry into a directory made for it (made tells
// whether it was); empty, or the step that failed.  The install record is
// written last: the package counts as installed from the moment it appears.
std::optional<EntryFailure> register_pkg(const ZPI *zpi, const char *candidate, const Forks &fk,
                                         char **copy, const Stage &st, bool *made) {
    const std::string where = zpm::paths::installed_dir(), entry_at = where + "/" + zpi->name;
    Fd inst = zpm::inv::open_area(zpm::paths::kInstalledDir);
    if (inst.get() < 0 || mkdirat(inst.get(), zpi->name, 0755) != 0)
        return EntryFailure{EntryStep::info, zpm::error_now("make", entry_at)};
    *made = true;
    Fd entry = zpm::inv::open_dir(inst.get(), zpi->name);
    if (entry.get() < 0)
        return EntryFailure{EntryStep::info, zpm::error_now("open", entry_at)};
    if (auto f = copy_entry(fk, st, entry.get(), entry_at))
        return f;
    if (copy) {
        zlogf(ZLOG_DEBUG, "zpm_install_zpk: Writing fileindex for <%s> to <%s/%s>", zpi->name,
              zpm::paths::fileindex_dir().c_str(), zpi->name);
        if (auto e = write_index(zpi->name, copy))
            return EntryFailure{EntryStep::index, *e};
    }
    // Everything of the entry (and the files placed on this file system)
    // is on disk before the install record makes it count.
    if (auto e = zpm::inv::sync_all(inst.get(), where))
        return EntryFailure{EntryStep::record, *e};
    if (auto e = zpm::inv::write_at(entry.get(), entry_at, "inst.txt",
                                    record_text(install_record(zpi, candidate))))
        return EntryFailure{EntryStep::record, *e};
    return {};
}

// Undoes a registration that failed: the install record first (the package
// must not count as installed while its files go), then the files, then the
// entry and the file index, when this install made them.
void unregister(const ZPI *zpi, bool made, const std::vector<std::string> &written,
                const Stage &st) {
    const std::string idir = inst_dir(zpi->name);
    if (made)
        unlink((idir + "/inst.txt").c_str());
    rollback(written, st.old_dir);
    if (!made)
        return;
    zpm_zpf_rmdir(idir.c_str());
    unlink(index_path(zpi->name).c_str());
}

// The journal of an install: every path it writes, and whether something
// was there (which is backed up before it is replaced).  none: the paths
// the check found nothing at just before, with no question asked since.
Journal install_journal(const ZPI *zpi, char **copy, const std::vector<bool> &none) {
    Journal j;
    j.op = "install";
    j.name = zpi->name;
    j.puname = zpm::pkg::uname(zpi);
    for (size_t i = 0; copy && copy[i]; i++) {
        struct stat sb;
        const bool there =
            !(i < none.size() && none[i]) && lstat(zpm::paths::target(copy[i]).c_str(), &sb) == 0;
        j.paths.emplace_back(there ? 'r' : 'n', copy[i]);
    }
    return j;
}

// From the first file written to the registration; the result of the
// install.  The change's journal is open.
int place_and_register(ZPT **zpt, ZPI *zpi, const char *candidate, const Stage &st, Forks &fk,
                       char **copy) {
    if (!copy_data(copy, st, in_array(fk.init, "/99-add.sh")))
        return -1;
    apply_links_perms(fk.info, st.new_dir, "zpm_install_zpk");
    const auto written = on_disk(copy, static_cast<size_t>(arr_count(copy)));
    zlogf(ZLOG_DEBUG, "zpm_install_zpk: Looking for post-install script");
    if (in_array(fk.init, "/99-add.sh")) {
        zlogf(ZLOG_DEBUG, "zpm_install_zpk: Found post-install script, will execute");
        if (int rc = add_script(st, "99-add.sh")) {
            zlogf(ZLOG_ERROR, "zpm_install_zpk: post-install script got an error, aborting");
            rollback(written, st.old_dir);
            return rc;
        }
        zlogf(ZLOG_DEBUG, "zpm_install_zpk: post-install script successfully executed");
    }
    zlogf(ZLOG_DEBUG, "Registering %s for candidate %s", zpi->name, candidate);
    bool made = false;
    if (auto fail = register_pkg(zpi, candidate, fk, copy, st, &made)) {
        zlogf(ZLOG_DEBUG, "zpm_install_zpk: %s", fail->cause.text().c_str());
        zlogf(ZLOG_ERROR, "%s%s", entry_message(fail->step), zpm::pkg::uname(zpi).c_str());
        unregister(zpi, made, written, st);
        return -1;
    }
    refresh_linker_cache("zpm_install_zpk");
    register_cfg(zpt, fk.init, zpi->name, "zpm_install_zpk");
    return 0;
}

// Steps after the unpacked package was verified; the result of the install.
int install_verified(ZPM *zpm, ZPT **zpt, ZPI *zpi, const char *candidate, const Stage &st,
                     Forks &fk, Change &change) {
    zlogf(ZLOG_DEBUG, "zpm_install_zpk: Looking for pre-install script");
    if (in_array(fk.init, "/00-add.sh")) {
        zlogf(ZLOG_DEBUG, "zpm_install_zpk: Found pre-install script, will execute");
        if (int rc = add_script(st, "00-add.sh")) {
            zlogf(ZLOG_ERROR, "zpm_install_zpk: pre-install script got an error, aborting");
            return rc;
        }
        zlogf(ZLOG_DEBUG, "zpm_install_zpk: pre-install script successfully executed");
    }
    char **raw = nullptr;
    std::vector<bool> none;
    if (fk.data && check_local(zpm, fk.data, &raw, &none) != 0) {
        zlogf(ZLOG_DEBUG, "zpm_install_zpk: Aborting");
        return -1;
    }
    ArrPtr copy(raw);
    if (!change.begin(install_journal(zpi, copy.get(), none), "zpm_install_zpk"))
        return -1;
    int rc = place_and_register(zpt, zpi, candidate, st, fk, copy.get());
    change.end();
    return rc;
}

// Removes what an install cut off before its record was written left, and
// what is in the way of the entry without being one: an entry directory
// without description or install record, a link in its place, and then the
// file index beside it.  A whole entry that could not be read stays and
// makes the registration fail.
void drop_unfinished(const char *name) {
    // Both areas from one open of the inventory.
    Fd inv = zpm::inv::open_root();
    Fd inst = inv.get() < 0
                  ? Fd(-1)
                  : zpm::inv::open_dir(inv.get(), zpm::paths::below_inv(zpm::paths::kInstalledDir));
    Fd idx = inv.get() < 0
                 ? Fd(-1)
                 : zpm::inv::open_dir(inv.get(), zpm::paths::below_inv(zpm::paths::kFileIndexDir));
    struct stat sb;
    if (inst.get() >= 0 && fstatat(inst.get(), name, &sb, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISDIR(sb.st_mode)) {
            Fd entry = zpm::inv::open_dir(inst.get(), name);
            if (fstatat(entry.get(), "inst.txt", &sb, AT_SYMLINK_NOFOLLOW) == 0 &&
                fstatat(entry.get(), "desc.txt", &sb, AT_SYMLINK_NOFOLLOW) == 0)
                return;
        } else {
            zlogf(ZLOG_WARNING, "Removing %s: it is not an inventory entry",
                  inst_dir(name).c_str());
        }
        zpm_zpf_rmdir(inst_dir(name).c_str());
    }
    if (idx.get() >= 0 && fstatat(idx.get(), name, &sb, AT_SYMLINK_NOFOLLOW) == 0 &&
        !S_ISDIR(sb.st_mode))
        unlinkat(idx.get(), name, 0);
}

// Installs one record of the transaction unless a package of its name is
// there already; logs and records the outcome.
int install_unless_present(ZPM *zpm, ZPT **zpt, ZPI *zpi, char *candidate, ZPC * /*zpc*/,
                           bool dependency) {
    const std::string uname = zpm::pkg::uname(zpi);
    if (installed(zpm, zpi->name)) {
        zlogf(ZLOG_DEBUG, "Skipping installation of %s, was already installed", uname.c_str());
        return 0;
    }
    int rc = install_zpk(zpm, zpt, zpi, candidate, true);
    if (!dependency)
        zlogf(ZLOG_DEBUG, "rc of zpm_install_zpk for %s: %d\n", uname.c_str(), rc);
    if (rc) {
        zlogf(ZLOG_ERROR, "Installation of %s failed with rc=%d\n", uname.c_str(), rc);
        return rc;
    }
    zpm_log_action(1, nullptr, uname.c_str(), dependency ? candidate : nullptr);
    zlogf(ZLOG_INFO, dependency ? "Installation of %s succeeded" : "Installation of %s succeeded\n",
          uname.c_str());
    return 0;
}

} // namespace

// Links and modes of the new version; their results are only logged.
void zpm::exec::apply_links_perms(char **info, const std::string &new_dir, const char *who) {
    for (size_t i = 0; info && info[i]; i++) {
        if (!strcmp(info[i], "/link.txt")) {
            zlogf(ZLOG_DEBUG, "%s: Found link.txt, calling zpm_zpf_links", who);
            const std::string list = zpm::paths::inside(new_dir + "/info/link.txt");
            int rc = in_target_root([&] { return zpm_zpf_links(list.c_str(), 1, 1); });
            zlogf(ZLOG_DEBUG, "%s: rc of zpm_zpf_links: %d", who, rc);
        } else if (!strcmp(info[i], "/perm.txt")) {
            zlogf(ZLOG_DEBUG, "%s: Found perm.txt, calling zpm_zpf_perms", who);
            const std::string list = zpm::paths::inside(new_dir + "/info/perm.txt");
            int rc = in_target_root([&] { return zpm_zpf_perms(list.c_str()); });
            zlogf(ZLOG_DEBUG, "%s: rc of zpm_zpf_perms: %d", who, rc);
        }
    }
}

// Remembers the package's configuration script for the end of the transaction.
void zpm::exec::register_cfg(ZPT **zpt, char **init, const char *name, const char *who) {
    for (size_t i = 0; init && init[i]; i++) {
        if (strcmp(init[i], "/99-cfg.sh") != 0)
            continue;
        if (!(*zpt)->cfg_scripts)
            (*zpt)->cfg_scripts = ekva_new(2, EKVA_ADD_KEEP);
        ekva_addval(&(*zpt)->cfg_scripts, name, "99-cfg.sh", 0);
        zlogf(ZLOG_DEBUG, "%s: Found 99-cfg, registered", who);
    }
}

void zpm::exec::refresh_linker_cache(const char *who) {
    if (have_so) {
        zlogf(ZLOG_DEBUG, "%s: calling ldconfig", who);
        run_ldconfig();
    }
    have_so = 0;
}

int zpm::exec::install_dep(ZPM *zpm, ZPT **zpt, ZPD *zpd, ZPC *zpc) {
    return install_unless_present(zpm, zpt, zpd->zpi, zpd->candidate, zpc, true);
}

extern "C" int zpm_install_zpk(ZPM *zpm, ZPT **zpt, ZPI *zpi, char *candidate, ZPC * /*zpc*/) {
    return install_zpk(zpm, zpt, zpi, candidate, false);
}

namespace {

// zpm_install_zpk; absent: the caller found the package not installed just
// before.
int install_zpk(ZPM *zpm, ZPT **zpt, ZPI *zpi, char *candidate, bool absent) {
    have_so = 0;
    if (!zpi || !plain_name(zpi->name)) {
        zlogf(ZLOG_ERROR, "zpm_install_zpk: %s cannot be installed under that name",
              zpi && zpi->name ? zpi->name : "(null)");
        return -1;
    }
    Stage st;
    if (!stage_of(zpi, &st) || !stage_free(st, "zpm_install_zpk"))
        return -1;
    if (!candidate)
        candidate = zpi->name;
    // An install cut off before its record was written leaves an entry and
    // a file index that belong to no installed package; the index would
    // claim the package's own files for it.
    if (absent || !installed(zpm, zpi->name))
        drop_unfinished(zpi->name);
    Forks fk;
    if (int rc = unpack_checked(st, zpi, "zpm_install_zpk", "of", &fk))
        return rc;
    Change change(st);
    int rc = install_verified(zpm, zpt, zpi, candidate, st, fk, change);
    if (!change.keeps_stage())
        drop_stage(st);
    return rc;
}

} // namespace

extern "C" int zpm_exe_install(ZPM *zpm, ZPT **zpt, ZPC *zpc) {
    ZPT *t = *zpt;
    zpm::exec::prefetch(t, zpc);
    if (fetch(t->zpi, t->zpk_stat, zpc, "zpm_exe_install") != 0)
        return -1;
    if (t->all_zpds) {
        for (int i = 0; i < t->num_zpds && t->all_zpds[i]; i++) {
            ZPD *d = t->all_zpds[i];
            if (!d->zpi || d->status == 'I')
                continue;
            zlogf(ZLOG_DEBUG, "-  %-25s Status: %c, URI: %s\n", zpm::pkg::uname(d->zpi).c_str(),
                  d->status, d->zpi->abs_uri ? d->zpi->abs_uri : "(null)");
            if (fetch(d->zpi, d->status, zpc, "zpm_exe_install") != 0)
                return -1;
        }
        zlogf(ZLOG_DEBUG, "zpm_exe_install: Number of deps: %d", t->num_zpds);
        for (int i = dep_count(t) - 1; i >= 0; i--) {
            ZPD *d = t->all_zpds[i];
            if (!d->zpi)
                continue;
            if (int rc = install_dep(zpm, zpt, d, zpc))
                return rc;
        }
    }
    if (int rc = install_unless_present(zpm, zpt, t->zpi, t->zpi->name, zpc, false))
        return rc;
    return zpm_scripts_exe(zpt);
}

namespace {

// Whether something stands at the data file path: looked at without
// following a link, and through a link only (stat fails wherever lstat
// does, and sees the same as lstat elsewhere).  *none: nothing at all.
bool in_the_way(const char *path, bool *none) {
    const std::string target = zpm::paths::target(path);
    struct stat sb;
    *none = lstat(target.c_str(), &sb) != 0;
    return !*none && (!S_ISLNK(sb.st_mode) || stat(target.c_str(), &sb) == 0);
}

// Decides on path, which is in the way: kept in out (*k counts) to be
// overwritten, skipped, or (a reason) the installation stops.
const char *decide(ZPM *zpm, const char *path, s_ekva **choices, char **out, size_t *k) {
    CharBuf owner(zpm_file_owner(zpm, path));
    if (owner) {
        zlogf(ZLOG_ERROR, "aborting installation, %s exists and belongs to package %s", path,
              owner.get());
        return "owned";
    }
    const char *ans = ask_existing(path, choices);
    if (!ans)
        zlogf(ZLOG_ERROR, "aborting installation, no choice made on already existing file");
    else if (!strcmp(ans, "a"))
        zlogf(ZLOG_ERROR, "aborting installation due to user request");
    if (!ans || !strcmp(ans, "a"))
        return "aborted";
    if (!strcmp(ans, "r")) {
        out[(*k)++] = strdup(path);
        zlogf(ZLOG_ERROR, "Ok, will overwrite %s", path);
    } else {
        zlogf(ZLOG_ERROR, "Ok, will skip writing %s to disk", path);
    }
    return nullptr;
}

// zpm_chk_local_insert; *none (when given) tells of each path kept whether
// nothing at all stood there, and is left empty once a question was asked.
int check_local(ZPM *zpm, char **data_files, char ***copy_files, std::vector<bool> *none) {
    if (!data_files) {
        *copy_files = nullptr;
        return 0;
    }
    char **out = static_cast<char **>(calloc(arr_count(data_files) + 1, sizeof(char *)));
    if (!out) {
        *copy_files = nullptr;
        return -1;
    }
    *copy_files = out;
    EkvaPtr choices = file_choices();
    std::vector<bool> seen;
    bool asked = false;
    size_t k = 0;
    for (size_t i = 0; data_files[i]; i++) {
        const char *path = data_files[i];
        zlogf(ZLOG_DEBUG, "zpm_chk_local_insert: Checking for local existence of %s", path);
        bool nothing = false;
        if (!in_the_way(path, &nothing)) {
            out[k++] = strdup(path);
            seen.push_back(nothing);
            continue;
        }
        asked = true;
        if (decide(zpm, path, choices.get(), out, &k)) {
            arr_free(out);
            *copy_files = nullptr;
            return -1;
        }
    }
    if (none && !asked)
        *none = std::move(seen);
    return 0;
}

} // namespace

extern "C" int zpm_chk_local_insert(ZPM *zpm, char **data_files, char ***copy_files) {
    return check_local(zpm, data_files, copy_files, nullptr);
}

extern "C" int zpm_scripts_exe(ZPT **zpt) {
    s_ekva **cfg = zpt && *zpt ? (*zpt)->cfg_scripts : nullptr;
    std::vector<std::pair<std::string, std::string>> todo;
    for (size_t i = 0; cfg && cfg[i]; i++)
        if (cfg[i]->key && strncmp(cfg[i]->key, "#EKVA_10:", 9) != 0)
            todo.emplace_back(cfg[i]->key, cfg[i]->val ? cfg[i]->val : "");
    zlogf(ZLOG_DEBUG, "zpm_scripts_exe: found %d scripts to configure",
          static_cast<int>(todo.size()));
    for (const auto &[pkg, script] : todo) {
        zlogf(ZLOG_DEBUG, "zpm_scripts_exe: Found script %s for zpk %s to execute", script.c_str(),
              pkg.c_str());
        char dir[1810];
        snprintf(dir, sizeof dir, "%.900s/%.900s", zpm::paths::installed_dir().c_str(),
                 pkg.c_str());
        int rc = run_script("zpm_scripts_exe: ", {std::string("ZPM_ZPKDIR=") + dir},
                            std::string(dir) + "/init/" + script);
        zlogf(ZLOG_INFO, "Configured %s, rc = %d", pkg.c_str(), rc);
    }
    return 0;
}
