// Removing packages: every removed file is first saved in the backup
// directory, so a failure can put it back (exec_rollback.cpp).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "cres.h"
#include "exec.h"
#include "exec_common.h"
#include "fsops.h"
#include "inventory.h"
#include "invfs.h"
#include "journal.h"
#include "loglib.h"
#include "paths.h"
#include "plan_common.h"
#include "recptr.h"

using namespace zpm::exec;

namespace {

bool exists(const std::string &path) {
    struct stat sb;
    return stat(path.c_str(), &sb) == 0;
}

// Moves every file of the index into the backup: all are saved first, and
// removed only once every backup is on disk.  false after a failed backup
// (nothing has been removed then).
bool remove_files(const char *name, const Stage &st) {
    const std::string index = index_path(name);
    File f(fopen(index.c_str(), "r"));
    if (!f) {
        zlogf(ZLOG_DEBUG, "zpm_one_delete: no fileindex. This is ok");
        return true;
    }
    zpm::fs::Placement pl(st.old_dir);
    std::vector<Removal> found;
    std::string bad;
    each_index_line(f.get(), index.c_str(), [&](const char *line) {
        zlogf(ZLOG_DEBUG, "zpm_one_delete: Found %s to delete", line);
        Removal r{line};
        r.found = pl.save_for_removal(zpm::paths::target(line), r.err);
        if (r.found == zpm::fs::Found::nothing)
            zlogf(ZLOG_WARNING, "zpm_one_delete: Failed to access registered file %s: %s, skipping",
                  line, strerror(r.err));
        else if (r.found == zpm::fs::Found::failed)
            bad = line;
        else
            found.push_back(r);
        return bad.empty();
    });
    if (bad.empty() && !found.empty() && pl.sync_saved() != 0)
        bad = found.front().path;
    if (!bad.empty()) {
        zlogf(ZLOG_ERROR,
              "zpm_one_delete: Failed to backup %s, not good. We try a rollback and leave.",
              bad.c_str());
        rollback_removed(st.old_dir);
        return false;
    }
    remove_saved(pl, found, [](const char *path, const char *why) {
        zlogf(ZLOG_WARNING, "zpm_one_delete: Failed to remove registered file %s: %s, but we go on",
              path, why);
    });
    zlogf(ZLOG_DEBUG, "zpm_one_delete: processed fileindex %s\n", index.c_str());
    return true;
}

int delete_script(const char *name, const char *script, const Stage &st) {
    const std::string inst = zpm::paths::installed_dir() + "/" + name;
    const std::string path = inst + "/init/" + script;
    const bool pre = !strcmp(script, "00-del.sh");
    const char *kind = pre ? "pre-delete" : "post-delete";
    zlogf(ZLOG_DEBUG, "zpm_one_delete: looking for %s script %s\n", kind, path.c_str());
    if (!exists(path)) {
        zlogf(ZLOG_DEBUG, "zpm_one_delete: no %s script found", kind);
        return 0;
    }
    int rc = pre ? run_script("zpm_one_delete_zpk: ", {}, path)
                 : run_script("zpm_one_delete: ",
                              {"ZPK_STAGE_OLD=" + st.old_dir, "ZPM_ZPKDIR=" + inst}, path);
    if (rc == 0)
        zlogf(ZLOG_DEBUG, "zpm_one_delete: %s script successfully executed", kind);
    return rc;
}

void remove_links(const char *name) {
    const std::string list = zpm::paths::installed_dir() + "/" + name + "/link.txt";
    zlogf(ZLOG_DEBUG, "zpm_one_delete: looking for link script %s\n", list.c_str());
    if (!exists(list)) {
        zlogf(ZLOG_DEBUG, "zpm_one_delete: no link script found");
        return;
    }
    zlogf(ZLOG_DEBUG, "zpm_one_delete: Found link.txt, calling zpm_zpf_links");
    int rc = in_target_root([&] { return zpm_zpf_links(zpm::paths::inside(list).c_str(), 1, 0); });
    zlogf(ZLOG_DEBUG, "zpm_one_delete: rc of zpm_zpf_links: %d", rc);
}

int delete_and_log(ZPM *zpm, ZPI *zpi, const char *candidate) {
    const std::string uname = zpm::pkg::uname(zpi);
    if (int rc = zpm_one_delete(zpm, zpi)) {
        zlogf(ZLOG_ERROR, "zpm_exe_delete: Removal of %s failed with rc=%d\n", uname.c_str(), rc);
        return rc;
    }
    zpm_log_action(3, nullptr, uname.c_str(), candidate);
    zlogf(ZLOG_INFO, "Removal of %s succeeded", uname.c_str());
    return 0;
}

// The journal of a delete: the files it removes.
Journal delete_journal(ZPM *zpm, ZPI *zpi) {
    Journal j;
    j.op = "delete";
    j.name = zpi->name;
    j.puname = zpm::pkg::uname(zpi);
    ArrPtr files(zpm_zpl_file_list(zpm, zpi));
    for (size_t i = 0; files && files.get()[i]; i++)
        j.paths.emplace_back('d', files.get()[i]);
    return j;
}

// Takes the entry out of the inventory in one rename, so that a delete cut
// off while the entry is removed leaves nothing registered, and the next
// run removes the rest.
zpm::Failure move_aside(const char *name) {
    const std::string where = zpm::paths::installed_dir(), aside = "." + std::string(name) + ".del";
    Fd inst = zpm::inv::open_area(zpm::paths::kInstalledDir, false);
    if (inst.get() < 0)
        return zpm::error_now("open", where);
    if (zpm_zpf_rmdir((where + "/" + aside).c_str()) != 0)
        return zpm::error_now("remove", where + "/" + aside);
    if (renameat(inst.get(), name, inst.get(), aside.c_str()) != 0)
        return zpm::error_now("rename", where + "/" + name);
    return zpm::inv::sync_fd(inst.get(), where);
}

// From the first file removed to the entry; the result of the delete.
int remove_and_unregister(const char *name, const Stage &st) {
    if (!remove_files(name, st))
        return -1;
    if (int rc = delete_script(name, "99-del.sh", st)) {
        zlogf(ZLOG_ERROR, "zpm_one_delete: post-delete got an error, aborting");
        rollback_removed(st.old_dir);
        return rc;
    }
    remove_links(name);
    if (auto e = move_aside(name)) {
        zlogf(ZLOG_ERROR, "zpm_one_delete: Failed to remove %s from the inventory: %s", name,
              e->text().c_str());
        rollback_removed(st.old_dir);
        const std::string list = zpm::paths::installed_dir() + "/" + name + "/link.txt";
        if (exists(list))
            in_target_root(
                [&] { return zpm_zpf_links(zpm::paths::inside(list).c_str(), 1, 1); });
        return -1;
    }
    unlink(index_path(name).c_str());
    zpm_zpf_rmdir(inst_dir(name, "%.1000s/.%.1000s.del").c_str());
    return 0;
}

} // namespace

extern "C" int zpm_exe_delete(ZPM *zpm, ZPT **zpt) {
    ZPT *t = *zpt;
    if (int rc = delete_and_log(zpm, t->zpi, nullptr))
        return rc;
    if (!t->all_zpds)
        return 0;
    zlogf(ZLOG_DEBUG, "zpm_exe_delete: Number of deps: %d", t->num_zpds);
    for (int i = 0; i < dep_count(t); i++) {
        ZPD *d = t->all_zpds[i];
        if (!d->zpi)
            continue;
        if (int rc = delete_and_log(zpm, d->zpi, d->candidate))
            return rc;
    }
    return 0;
}

extern "C" int zpm_one_delete(ZPM *zpm, ZPI *zpi) {
    Stage st;
    if (!zpi || !plain_name(zpi->name) || !stage_of(zpi, &st)) {
        zlogf(ZLOG_ERROR, "zpm_one_delete: %s is not a package that can be removed",
              zpi && zpi->name ? zpi->name : "(null)");
        return -1;
    }
    const char *name = zpi->name;
    if (!stage_free(st, "zpm_one_delete"))
        return -1;
    if (int rc = delete_script(name, "00-del.sh", st)) {
        zlogf(ZLOG_ERROR, "zpm_one_delete: pre-delete got an error, aborting");
        return rc;
    }
    if (!prepare_stage(st, "zpm_one_delete"))
        return -1;
    Change change(st);
    int rc = -1;
    if (change.begin(delete_journal(zpm, zpi), "zpm_one_delete")) {
        rc = remove_and_unregister(name, st);
        change.end();
    }
    if (!change.keeps_stage())
        drop_stage(st);
    return rc;
}
