// Repair: the changed or missing files of one package are put back from its
// staged package file, after its signature and hash lists were checked again,
// with the backup and rollback an install has.
#include <algorithm>
#include <cstring>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include "check.h"
#include "exec_common.h"
#include "fsops.h"
#include "inventory.h"
#include "journal.h"
#include "loglib.h"
#include "paths.h"
#include "repair.h"
#include "zpk.h"

using namespace zpm::exec;

namespace zpmcheck {

namespace {

struct Held {
    ZPM *zpm = nullptr;
    ~Held() {
        if (zpm)
            zpm_close(zpm);
    }
};

// The staged package is the installed one: its hash list is the kept one.
bool same_version(const Stage &st, const std::string &name) {
    std::vector<std::pair<std::string, std::string>> staged, kept;
    read_hash_list(st.new_dir + "/hash/data.txt", &staged);
    read_hash_list(zpm::paths::installed_dir() + "/" + name + "/hash/data.txt", &kept);
    std::sort(staged.begin(), staged.end());
    std::sort(kept.begin(), kept.end());
    return staged == kept;
}

// The files to write again: changed, missing or no longer regular, and those
// whose mode is not the one they were shipped with (the permission list, applied
// after, has the last word on the files it names).
std::vector<std::string> damaged(const std::string &name, const Stage &st,
                                 const std::vector<Finding> &found) {
    std::set<std::string> out;
    for (const auto &f : found)
        if (f.kind == Kind::content || f.kind == Kind::missing || f.kind == Kind::type)
            out.insert(f.path);
    std::vector<std::string> paths;
    read_lines(zpm::paths::fileindex_dir() + "/" + name, &paths);
    for (const auto &p : paths) {
        struct stat have, shipped;
        if (lstat(zpm::paths::target(p).c_str(), &have) == 0 &&
            lstat((st.new_dir + "/data" + p).c_str(), &shipped) == 0 &&
            (have.st_mode & 07777) != (shipped.st_mode & 07777))
            out.insert(p);
    }
    std::vector<std::string> ordered;
    for (const auto &p : paths)
        if (out.count(p))
            ordered.push_back(p);
    return ordered;
}

// Writes the files back; on a failure puts back what was there before.
bool restore(const std::vector<std::string> &paths, const Stage &st, FILE *out) {
    std::vector<std::string> written;
    for (const auto &p : paths) {
        const std::string dst = zpm::paths::target(p), src = st.new_dir + "/data" + p;
        if (zpm_zpf_copy(dst.c_str(), src.c_str(), st.old_dir.c_str(), 1, 0, 0) < 0) {
            fprintf(stderr,
                    "zpm-check: cannot restore %s; the files restored so far are put back\n",
                    p.c_str());
            rollback(written, st.old_dir);
            return false;
        }
        written.push_back(dst);
        fprintf(out, "restored %s\n", p.c_str());
    }
    return true;
}

int fail(const char *what, const std::string &name) {
    fprintf(stderr, "zpm-check: %s: %s\n", name.c_str(), what);
    return 2;
}

} // namespace

int repair(const std::string &name, FILE *out) {
    Held h;
    h.zpm = zpm_open(nullptr);
    if (!h.zpm)
        return fail("cannot open the inventory", name);
    if (zpm_lock(h.zpm) != 0)
        return fail("another zpm holds the inventory lock", name);
    // What a killed run left is finished first: its backups are in the stage.
    if (!zpm::exec::recover())
        return fail("an interrupted change of the system could not be finished", name);
    ZpiPtr zpi(zpm_zpl_info(h.zpm, name.c_str()));
    Stage st;
    if (!zpi)
        return fail("not installed", name);
    if (!stage_of(zpi.get(), &st))
        return fail("no stage paths for it", name);
    if (!stage_free(st, "zpm-check"))
        return fail(("backups that could not be restored are kept in " + st.old_dir).c_str(), name);
    struct stat sb;
    if (lstat(st.file.c_str(), &sb) != 0 || !S_ISREG(sb.st_mode))
        return fail(("no staged package file " + st.file).c_str(), name);
    Forks fk;
    int rc = unpack_checked(st, zpi.get(), "zpm-check", "of", &fk);
    if (rc == 0 && !same_version(st, name))
        rc = fail("the staged package file is not the installed version", name);
    else if (rc != 0)
        rc = fail("the staged package file fails its signature or hash lists", name);
    if (rc != 0) {
        zpm_zpf_rmdir(st.zpk_dir.c_str());
        return rc;
    }
    bool unreadable = false;
    auto found = check_package(name, &unreadable);
    bool ok = restore(damaged(name, st, found), st, out);
    if (ok) {
        apply_links_perms(fk.info, st.new_dir, "zpm-check");
        refresh_linker_cache("zpm-check");
        zlogf(ZLOG_INFO, "Repaired %s", zpm::pkg::uname(zpi.get()).c_str());
    }
    zpm_zpf_rmdir(st.zpk_dir.c_str());
    return ok ? 0 : 1;
}

} // namespace zpmcheck
