// Transaction modes (install, update, delete) and the walk.  Each named
// package is planned into a transaction, shown, confirmed and carried out
// before the next is planned; a dry run merges them into one action list
// whose size is the exit status.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "arr.h"
#include "catalogue.h"
#include "exec.h"
#include "frontend.h"
#include "getopts.h"
#include "inventory.h"
#include "journal.h"
#include "loglib.h"
#include "plan.h"
#include "plan_common.h"
#include "recptr.h"
#include "report.h"
#include "zpmui.h"

namespace {

// What one transaction mode holds while it runs.
struct TxnCtx {
    ZpmRun *run = nullptr;
    ZPC *zpc = nullptr;
    ZPM *zpm = nullptr;
    char *variant = nullptr;
    char **dep_dirs = nullptr;
    ZPA **dry = nullptr; // the dry-run list across all names
    int dry_count = 0;
    bool cached = false;
    bool update_all = false;
    int failed = 0; // strict status of the first name that failed
};

void note_failure(TxnCtx &c, int status) {
    if (!c.failed)
        c.failed = status;
}

// The "incdir" option as a one-element list, or null.
char **incdir_dirs(ZpmRun *run) {
    const char *dir = ekva_getval(run->zpm_opt_user, "incdir");
    if (!dir)
        return nullptr;
    char **dirs = static_cast<char **>(calloc(2, sizeof(char *)));
    if (dirs)
        dirs[0] = strdup(dir);
    return dirs;
}

// Releases everything in the order the modes end with.
void close_all(TxnCtx &c) {
    if (c.zpc && pzpm_zpc_release)
        pzpm_zpc_release(c.zpc);
    c.zpc = nullptr;
    zpm_zpc_close(c.run->zpc_backend_handle);
    if (c.zpm)
        zpm_close(c.zpm);
    c.zpm = nullptr;
    arr_free(c.dep_dirs);
    c.dep_dirs = nullptr;
    if (c.cached)
        zpm_cache_free();
    c.cached = false;
}

// The configured bound of a package script's run in seconds; 0: none.
int script_timeout(const ZpmRun *run) {
    const char *val = ekva_getval(run->zpm_sys_conf, "zpm_script_timeout");
    if (!val || !*val)
        return 0;
    char *end = nullptr;
    errno = 0;
    long secs = std::strtol(val, &end, 10);
    if (*end || errno || secs < 0 || secs > 24L * 3600 * 365 || !isdigit((unsigned char)*val)) {
        zlogf(ZLOG_WARNING, "zpm_script_timeout %s is not a number of seconds, ignoring it", val);
        return 0;
    }
    return static_cast<int>(secs);
}

// Every change asked for fails while an interrupted one cannot be finished:
// the user is told so for each, with the backups that stay.  kind: 0
// install, 1 update, 2 delete.
void tell_unfinished(TxnCtx &c, int kind) {
    std::string lines;
    for (const auto &dir : zpm::exec::take_kept_backups())
        lines += "The files that could not be restored are kept in " + dir + "\n";
    if (lines.empty())
        lines = "An interrupted change of the system could not be finished\n";
    static const char *const verb[] = {"installing", "updating", "deleting"};
    char **names = c.run->object_names;
    for (char **n = names; n && *n; n++)
        zpmui_infof(0, "Failure %s %s, rc: -1\n%s", verb[kind], *n, lines.c_str());
    if (!names || !*names)
        zpmui_infof(0, "%s", lines.c_str());
}

// Outside dry runs: takes the inventory lock, then finishes what a killed
// run left before anything else is done.  false (after cleaning up) when
// another package manager holds the lock or the interrupted change cannot be
// finished.
bool lock_unless_dry(TxnCtx &c, int kind) {
    if (dry_run)
        return true;
    if (zpm_lock(c.zpm) != 0) {
        zlogf(ZLOG_ERROR, "failed to lock inventory");
        close_all(c);
        return false;
    }
    zpm::exec::set_script_timeout(script_timeout(c.run));
    if (zpm::exec::recover())
        return true;
    zlogf(ZLOG_ERROR, "an interrupted change of the system could not be finished");
    tell_unfinished(c, kind);
    close_all(c);
    return false;
}

void add_to_dry(TxnCtx &c, ZPT *zpt, const char *name) {
    c.dry_count = zpm_zpa_list_add_zpt(zpt, &c.dry);
    zlogf(ZLOG_DEBUG, "Transaction for %s added to zpa_list, which now contains %d entries", name,
          c.dry_count);
}

// Shows the dry-run list (when there is one) and hands back the exit status.
int end_dry(TxnCtx &c, const char *header) {
    if (!c.dry || c.dry_count == 0)
        return 0;
    zpm_zpa_list_write(c.dry, c.dry_count, header, c.run->verbose);
    zpm_zpa_list_free(c.dry);
    c.dry = nullptr;
    return c.dry_count;
}

// Carries a transaction out and tells the user how it went.  kind: 0
// install, 1 update, 2 delete.  quiet: a success is only logged.
void execute(TxnCtx &c, ZPT *zpt, const char *name, int kind, bool quiet = false) {
    int rc;
    if (kind == 0) {
        zpm_progress_begin("Installing", name);
        rc = zpm_exe_install(c.zpm, &zpt, c.zpc);
    } else if (kind == 1) {
        zpm_progress_begin("Updating", name);
        rc = zpm_exe_update(c.zpm, &zpt, c.zpc);
    } else {
        rc = zpm_exe_delete(c.zpm, &zpt);
    }
    zpm_progress_end();
    static const char *const failed[] = {"Failure installing %s, rc: %d\n",
                                         "Failure updating %s, rc: %d\n",
                                         "Failure deleting %s, rc: %d\n"};
    static const char *const done[] = {"%s successfully installed\n", "%s successfully updated\n",
                                       "%s successfully deleted\n"};
    // Backups that could not be put back stay where the user can find them.
    std::string kept;
    for (const auto &dir : zpm::exec::take_kept_backups())
        kept += "The files that could not be restored are kept in " + dir + "\n";
    static const char *const verb[] = {"installing", "updating", "deleting"};
    if (rc != 0)
        note_failure(c, ZPM_STATUS_FAILED);
    // The formats come from the literal tables above.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    if (rc != 0 && !kept.empty())
        zpmui_infof(0, "Failure %s %s, rc: %d\n%s", verb[kind], name, rc, kept.c_str());
    else if (rc != 0)
        zpmui_infof(0, failed[kind], name, rc);
    else if (quiet)
        zlogf(ZLOG_INFO, "%s successfully updated", name);
    else
        zpmui_infof(0, done[kind], name);
#pragma GCC diagnostic pop
}

// Summary, question, and the outcome of one confirmed transaction.
void confirm_and_run(TxnCtx &c, ZPT *zpt, const char *name, int kind) {
    static const char *const what[] = {"install", "update", "removal"};
    static const char *const ok_log[] = {"Ok, installing package %s", "Ok, updating package %s",
                                         "Ok, removing package %s"};
    static const char *const skip_log[] = {nullptr, "Ok, skipping update of %s",
                                           "Ok, skipping removal of %s"};
    std::string text = zpm_txn_summary(zpt, what[kind]);
    if (text.empty())
        return;
    zpmui_line_new(zpmui, text.c_str());
    // The formats come from the literal tables above.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    if (!zpmui_yesno(zpmui, zpmui->textbuf, 1)) {
        note_failure(c, ZPM_STATUS_DECLINED);
        if (skip_log[kind])
            zlogf(ZLOG_INFO, skip_log[kind], name);
        return;
    }
    zlogf(ZLOG_INFO, ok_log[kind], name);
#pragma GCC diagnostic pop
    execute(c, zpt, name, kind);
}

} // namespace

std::string zpm_txn_summary(ZPT *zpt, const char *what) {
    ZPA **list = nullptr;
    zpm_zpa_list_add_zpt(zpt, &list);
    if (!list)
        return "";
    std::string text = std::string(what) + " of " + (zpt->zpk_name ? zpt->zpk_name : "") +
                       " will make the following changes:\n";
    char line[2048];
    for (int i = 0; list[i]; i++) {
        const ZPI *z = list[i]->zpi;
        unsigned long fk = (unsigned long)(z->filesize / 1024),
                      dk = (unsigned long)(z->datasize / 1024);
        const char *n = z->name ? z->name : "", *v = z->version ? z->version : "";
        int len = 0;
        if (list[i]->action == 'I')
            len = snprintf(line, sizeof line,
                           "* install of %.900s, version %.900s: Download size: %7lu kb, Install "
                           "size: %7lu kb\n",
                           n, v, fk, dk);
        else if (list[i]->action == 'U')
            len = snprintf(line, sizeof line,
                           "* update of %.900s to version %.900s: Download size: %7lu kb, Install "
                           "size: %7lu kb\n",
                           n, v, fk, dk);
        else if (list[i]->action == 'D')
            len =
                snprintf(line, sizeof line,
                         "* removal of %.900s, version %.900s: Install size: %7lu kb\n", n, v, dk);
        if (len > 0)
            text += line;
    }
    zpm_zpa_list_free(list);
    return text + "Do you want to continue";
}

int zpm_mode_install(ZpmRun *run) {
    TxnCtx c;
    c.run = run;
    c.zpc = zpm_mode_connect(run);
    if (!run->object_names || !run->object_names[0])
        zpm_fail_exit(run, "No packages specified");
    c.zpm = zpm_mode_open_inventory(run);
    if (!lock_unless_dry(c, 0))
        return 1;
    c.variant = zpm_get_variant(run->zpm_opt_user);
    c.dep_dirs = incdir_dirs(run);
    zpm_cache_fill(c.zpc);
    c.cached = true;
    for (char **n = run->object_names; *n; n++) {
        ZPT *zpt = nullptr;
        if (!zpm_pre_install(c.zpm, c.zpc, *n, c.variant, c.dep_dirs, &zpt)) {
            zpmui_infof(0, "%s cannot be installed\n", *n);
            note_failure(c, ZPM_STATUS_NOT_DONE);
            continue;
        }
        if (dry_run)
            add_to_dry(c, zpt, *n);
        else
            confirm_and_run(c, zpt, *n, 0);
        zpt_free(zpt);
    }
    close_all(c);
    return dry_run ? end_dry(c, "The following packages would be installed")
                   : zpm_strict_status(c.run, c.failed);
}

namespace {

// Update of one name: dry-run list, direct run (defaults, force) or question.
void update_one(TxnCtx &c, const char *name, bool single) {
    zlogf(ZLOG_DEBUG, "Checking for updates of package %s", name);
    ZPT *zpt = nullptr;
    if (!zpm_pre_update(c.zpm, c.zpc, const_cast<char *>(name), c.variant, c.dep_dirs, &zpt)) {
        zlogf(single ? ZLOG_INFO : ZLOG_DEBUG, "no update for %s", name);
        ZpiPtr there(zpm_zpl_info(c.zpm, name)); // current is fine, unknown is not
        if (!there)
            note_failure(c, ZPM_STATUS_NOT_DONE);
        return;
    }
    if (dry_run)
        add_to_dry(c, zpt, name);
    else if (vote_mode == 2 || vote_mode == 3)
        execute(c, zpt, name, 1, c.update_all);
    else
        confirm_and_run(c, zpt, name, 1);
    zpt_free(zpt);
}

} // namespace

int zpm_mode_update(ZpmRun *run) {
    TxnCtx c;
    c.run = run;
    c.zpc = zpm_mode_connect(run);
    c.zpm = zpm_mode_open_inventory(run);
    if (!lock_unless_dry(c, 1))
        return 1;
    char **names = run->object_names;
    char **owned = nullptr;
    int given = arr_count(names);
    if (given == 1)
        c.variant = zpm_get_variant(run->zpm_opt_user);
    if (given == 0) {
        c.update_all = true;
        zlogf(ZLOG_DEBUG, "zpm: No packages specified, checking all installed packages");
        names = owned = zpm_list_arr(c.zpm, 1);
        if (!names) {
            zlogf(ZLOG_ERROR, "Failed to open local package inventory");
            close_all(c);
            return 1;
        }
    }
    c.dep_dirs = incdir_dirs(run);
    zpm_cache_fill(c.zpc);
    c.cached = true;
    for (char **n = names; *n; n++)
        update_one(c, *n, given == 1);
    close_all(c);
    arr_free(owned);
    if (!dry_run)
        return zpm_strict_status(run, c.failed);
    if (!c.dry || c.dry_count == 0) {
        zpmui_infof(0, "%s", "There are no updates available\n");
        return 0;
    }
    return end_dry(c, "The following updates are available");
}

int zpm_mode_delete(ZpmRun *run) {
    TxnCtx c;
    c.run = run;
    if (!run->object_names || !run->object_names[0])
        zpm_fail_exit(run, "No packages specified");
    c.zpm = zpm_mode_open_inventory(run);
    if (!lock_unless_dry(c, 2))
        return 1;
    for (char **n = run->object_names; *n; n++) {
        ZPT *zpt = nullptr;
        if (!zpm_pre_delete(c.zpm, *n, &zpt)) {
            zlogf(ZLOG_INFO, "%s cannot be removed", *n);
            note_failure(c, ZPM_STATUS_NOT_DONE);
            continue;
        }
        if (dry_run)
            add_to_dry(c, zpt, *n);
        else
            confirm_and_run(c, zpt, *n, 2);
        zpt_free(zpt);
    }
    close_all(c);
    return dry_run ? end_dry(c, "The following packages would be deleted")
                   : zpm_strict_status(run, c.failed);
}

namespace {

void add_walk_line(const std::string &name, const char *cand, char stat) {
    std::string line = name + " for " + (cand ? cand : "") + " is " + zpk_stat_desc(stat) + "\n";
    zpmui_line_add(zpmui, line.c_str());
}

} // namespace

int zpm_mode_walk(ZpmRun *run) {
    TxnCtx c;
    c.run = run;
    c.zpc = zpm_mode_connect(run);
    if (!run->object_name)
        zpm_fail_exit(run, "No package specified");
    c.zpm = zpm_mode_open_inventory(run);
    c.variant = zpm_get_variant(run->zpm_opt_user);
    c.dep_dirs = incdir_dirs(run);
    zpm_cache_fill(c.zpc);
    c.cached = true;
    std::string head = run->verbose ? std::string("Walking ") + run->object_name + "\n" : "";
    zpmui_line_new(zpmui, head.c_str());
    ZPT *zpt = nullptr;
    if (!zpm_walk(c.zpm, c.zpc, run->object_name, c.variant, c.dep_dirs, &zpt)) {
        zpmui_line_add(zpmui, (std::string(run->object_name) + " could not be walked\n").c_str());
        zpmui_write(zpmui, zpmui->textbuf, 0);
        close_all(c);
        return 1;
    }
    add_walk_line(zpm::pkg::uname(zpt->zpi), "User", zpt->zpk_stat);
    for (int i = 0; zpt->num_zpds && zpt->all_zpds && zpt->all_zpds[i]; i++) {
        ZPD *d = zpt->all_zpds[i];
        if (d->zpi)
            add_walk_line(zpm::pkg::uname(d->zpi), d->candidate, d->status);
    }
    zpmui_write(zpmui, zpmui->textbuf, 1);
    zpt_free(zpt);
    close_all(c);
    return 0;
}
