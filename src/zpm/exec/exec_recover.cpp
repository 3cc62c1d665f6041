// Recovery at the start of a run that changes the system: the change a
// killed run left in its journal is completed when the package had been
// registered in its new state, and undone from its backups otherwise; the
// temporary files and working directories of killed runs are removed.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fnmatch.h>
#include <map>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include "fsops.h"
#include "inventory.h"
#include "invfs.h"
#include "journal.h"
#include "loglib.h"
#include "paths.h"
#include "zpk.h"

namespace zpm::exec {

namespace {

bool is_dir_at(const char *fixed, const std::string &name) {
    Fd area = zpm::inv::open_area(fixed, false);
    struct stat st;
    return area.get() >= 0 && fstatat(area.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISDIR(st.st_mode);
}

bool has_record(const std::string &name) {
    Fd area = zpm::inv::open_area(zpm::paths::kInstalledDir, false);
    Fd entry = area.get() < 0 ? Fd(-1) : zpm::inv::open_dir(area.get(), name.c_str());
    return entry.get() >= 0 && zpm::inv::open_regular(entry.get(), "inst.txt").get() >= 0;
}

// Whether the stage directory name below stage holds backups that a failed
// restore kept (marked by restore-failed in it).
bool restore_kept(int stage, const char *name) {
    Fd dir = zpm::inv::open_dir(stage, name);
    struct stat sb;
    return dir.get() >= 0 && fstatat(dir.get(), "restore-failed", &sb, AT_SYMLINK_NOFOLLOW) == 0;
}

void remove_path(const std::string &path) {
    if (zpm_zpf_rmdir(path.c_str()) != 0)
        zlogf(ZLOG_WARNING, "Failed to remove %s", path.c_str());
}

// A backup listed in the index but gone was restored already (a restore by
// rename takes it away); only those still there are restored again.
void prune_backups(const Stage &st) {
    Fd old(open(st.old_dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    std::string text, kept;
    if (old.get() < 0 || !zpm::inv::read_at(old.get(), "index.txt", &text))
        return;
    size_t from = 0, nl;
    while ((nl = text.find('\n', from)) != std::string::npos) {
        const std::string line = text.substr(from, nl - from);
        struct stat sb;
        if (!line.empty() && lstat((st.old_dir + line).c_str(), &sb) == 0)
            kept += line + "\n";
        from = nl + 1;
    }
    if (kept.size() != text.size())
        zpm::inv::write_at(old.get(), st.old_dir, "index.txt", kept);
}

// Puts back every backed-up file and removes the files written where none
// was; false when a restore failed.
bool restore_files(const Journal &j, const Stage &st) {
    prune_backups(st);
    std::vector<std::string> fresh, touched;
    for (const auto &[kind, path] : j.paths) {
        touched.push_back(zpm::paths::target(path));
        if (kind == 'n')
            fresh.push_back(touched.back());
    }
    return rollback_journal(fresh, touched, st.old_dir);
}

// Removes (and with make, creates again) the links of a link list.
void relink(const std::string &list, bool make) {
    struct stat sb;
    if (lstat(list.c_str(), &sb) == 0 && S_ISREG(sb.st_mode))
        in_target_root([&] {
            return zpm_zpf_links(zpm::paths::inside(list).c_str(), 1, make ? 1 : 0);
        });
}

// Removes the files in dir named ".<base>.zpm<anything>" for a base of bases.
void drop_temps_in(const std::string &dir, const std::set<std::string> &bases) {
    Fd dfd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    Dir d(dfd.get() < 0 ? nullptr : zpm::inv::open_stream(dfd.get()));
    std::vector<std::string> found;
    while (dirent *de = d ? readdir(d.get()) : nullptr) {
        const std::string n = de->d_name;
        const size_t at = n.rfind(".zpm");
        if (n[0] == '.' && at != std::string::npos && at > 1 && bases.count(n.substr(1, at - 1)))
            found.push_back(n);
    }
    for (const auto &n : found) {
        struct stat sb;
        if (fstatat(dfd.get(), n.c_str(), &sb, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(sb.st_mode))
            unlinkat(dfd.get(), n.c_str(), 0);
    }
}

// Placing, backing up and restoring a file goes through a temporary file
// beside it, named ".<name>.zpm<anything>" (the name cut at 200
// characters); those of the journal's paths go.
void drop_temps_beside(const Journal &j) {
    std::map<std::string, std::set<std::string>> dirs;
    for (const auto &[kind, path] : j.paths) {
        const std::string file = zpm::paths::target(path);
        const size_t cut = file.rfind('/');
        if (cut != std::string::npos)
            dirs[file.substr(0, cut)].insert(file.substr(cut + 1).substr(0, 200));
    }
    for (const auto &[dir, bases] : dirs)
        drop_temps_in(dir, bases);
}

bool undo(const Journal &j, const Stage &st) {
    const std::string inst = zpm::paths::installed_dir() + "/";
    const std::string idx = zpm::paths::fileindex_dir() + "/";
    if (j.op == "update") {
        // Not switched yet (its new entry is not whole): the old one is in place.
        remove_path(inst + "." + j.name + ".new");
        remove_path(idx + "." + j.name + ".new");
    }
    if (!restore_files(j, st))
        return false;
    if (j.op == "delete") {
        relink(inst + j.name + "/link.txt", true);
        return true;
    }
    relink(st.new_dir + "/info/link.txt", false);
    if (j.op == "update") {
        relink(inst + j.name + "/link.txt", true);
    } else {
        remove_path(inst + j.name);
        remove_path(idx + j.name);
    }
    return true;
}

bool complete(const Journal &j) {
    if (j.op == "update") {
        if (auto e = switch_in(j)) {
            zlogf(ZLOG_ERROR, "Cannot switch to the new entry of %s: %s", j.name.c_str(),
                  e->text().c_str());
            return false;
        }
    } else if (j.op == "delete") {
        // Its files and links are gone; only the entry moved aside is left.
        remove_path(zpm::paths::fileindex_dir() + "/" + j.name);
        remove_path(zpm::paths::installed_dir() + "/." + j.name + ".del");
    }
    return true;
}

// Whether the change had reached its new state: registered (install,
// update) or moved out of the inventory (delete).
bool reached_new(const Journal &j) {
    if (j.op == "install")
        return has_record(j.name);
    if (j.op == "update")
        return new_entry_made(j);
    return !is_dir_at(zpm::paths::kInstalledDir, j.name);
}

std::string change_text(const Journal &j) {
    if (j.op == "update")
        return "update of " + j.old_puname + " to " + j.puname;
    return j.op + " of " + j.puname;
}

bool recover_one(const Journal &j) {
    Stage st;
    if ((j.op != "install" && j.op != "update" && j.op != "delete") ||
        !zpm::pkg::plain_name(j.name.c_str()) || !stage_named(j.puname, &st)) {
        zlogf(ZLOG_ERROR, "%s names no change zpm can finish", zpm::paths::journal_file().c_str());
        return false;
    }
    const bool forward = reached_new(j);
    const std::string what = change_text(j);
    zlogf(ZLOG_INFO, "Found the interrupted %s; %s it", what.c_str(),
          forward ? "completing" : "undoing");
    if (!(forward ? complete(j) : undo(j, st))) {
        zlogf(ZLOG_ERROR,
              "Cannot finish the interrupted %s; its backups stay in %s, and %s until it is "
              "finished",
              what.c_str(), st.old_dir.c_str(), zpm::paths::journal_file().c_str());
        return false;
    }
    drop_temps_beside(j);
    for (const auto &[kind, path] : j.paths)
        if (fnmatch("*.so.*", path.c_str(), 0) == 0) {
            run_ldconfig();
            break;
        }
    remove_path(st.zpk_dir);
    zpm::inv::log_event("interrupted " + what + (forward ? " completed" : " undone"));
    journal_drop();
    return true;
}

// Removes the temporary files of killed runs in the inventory's areas, and
// the working directories of the stage area (only a journal's are of use),
// except those holding backups a failed restore kept.
void sweep() {
    Fd root = zpm::inv::open_root();
    if (root.get() >= 0)
        zpm::inv::drop_tmp_files(root.get());
    for (const char *fixed : {zpm::paths::kInstalledDir, zpm::paths::kFileIndexDir}) {
        Fd area = zpm::inv::open_area(fixed, false);
        if (area.get() >= 0)
            zpm::inv::drop_tmp_files(area.get());
    }
    Fd stage = zpm::inv::open_area(zpm::paths::kStageDir, false);
    if (stage.get() < 0)
        return;
    zpm::inv::drop_tmp_files(stage.get());
    Dir d(zpm::inv::open_stream(stage.get()));
    std::vector<std::string> dirs;
    while (dirent *de = d ? readdir(d.get()) : nullptr) {
        struct stat sb;
        if (strcmp(de->d_name, ".") && strcmp(de->d_name, "..") &&
            fstatat(stage.get(), de->d_name, &sb, AT_SYMLINK_NOFOLLOW) == 0 &&
            (S_ISLNK(sb.st_mode) ||
             (S_ISDIR(sb.st_mode) && !restore_kept(stage.get(), de->d_name))))
            dirs.push_back(zpm::paths::stage_dir() + "/" + de->d_name);
    }
    for (const auto &dir : dirs)
        remove_path(dir);
}

} // namespace

bool recover() {
    Journal j;
    int found = journal_read(&j);
    if (found < 0 || (found == 1 && !recover_one(j)))
        return false;
    sweep();
    return true;
}

} // namespace zpm::exec
