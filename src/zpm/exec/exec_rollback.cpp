// The file-level rollback shared by install, update and delete: every file
// that is replaced or removed is first saved in the package's backup
// directory, whose index lists it, so it can be put back.  A backup is only
// ever moved back into place, never deleted before that succeeded: when a file
// cannot be put back, the backup directory stays and is named.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "cres.h"
#include "exec.h"
#include "exec_common.h"
#include "fsops.h"
#include "invfs.h"
#include "loglib.h"
#include "paths.h"

namespace zpm::exec {

namespace {

// Backup directories that a failed restore left for the user.
std::vector<std::string> &kept_dirs() {
    static std::vector<std::string> dirs;
    return dirs;
}

void note_kept(const std::string &old_dir) {
    if (std::find(kept_dirs().begin(), kept_dirs().end(), old_dir) == kept_dirs().end())
        kept_dirs().push_back(old_dir);
}

// Beside the backups of files that could not be put back: they are the only
// copy, and no later run may clear or reuse them.
std::string marker_of(const std::string &old_dir) {
    return old_dir.substr(0, old_dir.rfind('/') + 1) + "restore-failed";
}

bool restore_ok(int rc, const std::string &old_dir) {
    if (rc == 0)
        return true;
    const std::string line = "The files that could not be restored are kept in " + old_dir;
    zlogf(ZLOG_ERROR, "%s", line.c_str());
    const std::string marker = marker_of(old_dir);
    Fd fd(open(marker.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
    const std::string text = line + "\n";
    if (fd.get() < 0 ||
        write(fd.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
        fd.close_now() != 0)
        zlogf(ZLOG_ERROR, "Failed to write %s: %s", marker.c_str(), strerror(errno));
    note_kept(old_dir);
    return false;
}

bool marked(const std::string &old_dir) {
    struct stat st;
    return lstat(marker_of(old_dir).c_str(), &st) == 0;
}

// The paths of a backup index, each once, in order; false when there is none.
bool read_index(const std::string &index, std::vector<std::string> &paths) {
    int fd = open(index.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    File f(fd >= 0 ? fdopen(fd, "r") : nullptr);
    if (!f) {
        if (fd >= 0)
            close(fd);
        return false;
    }
    std::set<std::string> seen;
    each_index_line(f.get(), index.c_str(), [&](const char *line) {
        if (seen.insert(line).second)
            paths.emplace_back(line);
        return true;
    });
    return true;
}

} // namespace

bool save_targets(zpm::fs::Placement &pl, char **paths,
                  const std::function<void(const char *)> &failed) {
    for (size_t i = 0; paths && paths[i]; i++) {
        if (pl.save(zpm::paths::target(paths[i])) != 0) {
            failed(paths[i]);
            return false;
        }
    }
    if (pl.sync_saved() == 0)
        return true;
    failed(nullptr);
    return false;
}

void remove_saved(zpm::fs::Placement &pl, const std::vector<Removal> &found,
                  const std::function<void(const char *, const char *)> &stays) {
    for (const Removal &r : found) {
        const bool saved = r.found == zpm::fs::Found::saved;
        if (saved && pl.remove(zpm::paths::target(r.path)) == 0)
            continue;
        const int err = saved ? errno : r.err;
        stays(r.path.c_str(), err ? strerror(err) : "not a regular file");
    }
}

std::vector<std::string> on_disk(char **paths, size_t count) {
    std::vector<std::string> out;
    for (size_t i = 0; paths && i < count && paths[i]; i++)
        out.push_back(zpm::paths::target(paths[i]));
    return out;
}

bool rollback(const std::vector<std::string> &written, const std::string &old_dir) {
    std::vector<char *> list;
    for (const auto &p : written)
        list.push_back(const_cast<char *>(p.c_str()));
    list.push_back(nullptr);
    std::string base = old_dir;
    return restore_ok(zpm_install_rollback(list.data(), base.data()), old_dir);
}

bool rollback_removed(const std::string &old_dir) {
    std::string base = old_dir;
    return restore_ok(zpm_install_rollback(nullptr, base.data()), old_dir);
}

void drop_stage(const Stage &st) {
    if (marked(st.old_dir)) {
        zpm_zpf_rmdir(st.new_dir.c_str());
        return;
    }
    // Removed below the stage area as the stage was made in it, without
    // walking the whole path again; by its path when the area cannot be
    // opened so.
    const std::string where = zpm::paths::stage_dir() + "/";
    const bool below = st.zpk_dir.size() > where.size() &&
                       st.zpk_dir.compare(0, where.size(), where) == 0 &&
                       st.zpk_dir.find('/', where.size()) == std::string::npos;
    Fd stage = below ? zpm::inv::open_area(zpm::paths::kStageDir, false) : Fd(-1);
    if (stage.get() < 0)
        zpm_zpf_rmdir(st.zpk_dir.c_str());
    else
        zpm::fs::remove_at(stage.get(), st.zpk_dir.substr(where.size()), st.zpk_dir);
}

bool stage_free(const Stage &st, const char *who) {
    if (!marked(st.old_dir))
        return true;
    zlogf(ZLOG_ERROR,
          "%s: %s holds files that could not be restored after an earlier failure, move them "
          "away first",
          who, st.old_dir.c_str());
    note_kept(st.old_dir);
    return false;
}

std::vector<std::string> take_kept_backups() {
    std::vector<std::string> out;
    out.swap(kept_dirs());
    return out;
}

} // namespace zpm::exec

namespace {

// Puts back every listed file from bkp_base; false when one could not be.
// written: the files the step being undone wrote (null: unknown).
bool restore_listed(zpm::fs::Placement &pl, const std::vector<std::string> &listed,
                    const std::set<std::string> *written, const char *bkp_base) {
    bool failed = false;
    for (const std::string &line : listed) {
        zlogf(ZLOG_DEBUG, "zpm_install_rollback: Found %s to restore", line.c_str());
        char backup[4001];
        snprintf(backup, sizeof backup, "%.2000s%.2000s", bkp_base, line.c_str());
        zlogf(ZLOG_DEBUG, "zpm_install_rollback: Copying %s to %s", backup, line.c_str());
        using zpm::fs::Was;
        const Was was = !written               ? Was::unknown
                        : written->count(line) ? Was::written
                                               : Was::untouched;
        if (pl.restore(line, backup, was) != 0) {
            zlogf(ZLOG_ERROR, "zpm_install_rollback: cannot put %s back at %s: %s", backup,
                  line.c_str(), strerror(errno));
            zlogf(ZLOG_ERROR,
                  "zpm_install_rollback: Failure restoring %s, you're in deep shit. We still try "
                  "to do the rest.",
                  line.c_str());
            failed = true;
        }
    }
    return !failed;
}

// Removes the files of remove that have no backup and puts every backup of
// bkp_base back; written: the paths whose backups replace what is there
// (null: unknown).  0, or -1 when a file could not be put back (noted for
// the change, whose journal and backups then stay).
int undo_files(char **remove, const std::set<std::string> *written, const char *bkp_base) {
    std::vector<std::string> listed;
    const std::string index = std::string(bkp_base) + "/index.txt";
    const bool have_index = zpm::exec::read_index(index, listed);
    const std::set<std::string> saved(listed.begin(), listed.end());
    zpm::fs::Placement pl("");
    for (size_t i = 0; remove && remove[i]; i++) {
        zlogf(ZLOG_DEBUG, "zpm_install_rollback: removing %s", remove[i]);
        // A file with a backup is replaced by it below, never removed first.
        if (!saved.count(remove[i]))
            pl.discard(remove[i]);
    }
    if (!have_index) {
        zlogf(ZLOG_INFO, "zpm_install_rollback: no files to restore registered");
        return 0;
    }
    bool ok = restore_listed(pl, listed, written, bkp_base);
    // The restored files are on disk before the caller drops their backups.
    ok = pl.sync_placed() == 0 && ok;
    zlogf(ZLOG_ERROR, "zpm_install_rollback: finished");
    if (!ok)
        zpm::exec::note_restore_failure();
    return ok ? 0 : -1;
}

std::vector<char *> c_list(const std::vector<std::string> &paths) {
    std::vector<char *> list;
    for (const auto &p : paths)
        list.push_back(const_cast<char *>(p.c_str()));
    list.push_back(nullptr);
    return list;
}

} // namespace

bool zpm::exec::rollback_journal(const std::vector<std::string> &fresh,
                                 const std::vector<std::string> &touched,
                                 const std::string &old_dir) {
    const std::set<std::string> written(touched.begin(), touched.end());
    std::vector<char *> list = c_list(fresh);
    return restore_ok(undo_files(list.data(), &written, old_dir.c_str()), old_dir);
}

extern "C" int zpm_install_rollback(char **remove, char *bkp_base) {
    std::set<std::string> written;
    for (size_t i = 0; remove && remove[i]; i++)
        written.insert(remove[i]);
    return undo_files(remove, remove ? &written : nullptr, bkp_base ? bkp_base : "");
}
