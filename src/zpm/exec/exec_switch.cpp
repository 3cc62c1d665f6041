// The switch of an update: the new inventory entry and file index are put in
// the place of the old ones, which stay as .<name>.old.  Entries are
// exchanged, so the package is registered at every moment.  Both directions
// start from whatever state an earlier, interrupted call left: the new entry
// is known by its install record (it holds one more update time than any
// other), the new file index by its content.
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fsops.h"
#include "invfs.h"
#include "journal.h"
#include "paths.h"

namespace zpm::exec {

namespace {

struct Area {
    Fd fd;
    std::string where;
    std::string cur, nu, old; // "<name>", ".<name>.new", ".<name>.old"
};

Area area_of(const char *fixed, const std::string &name) {
    return Area{zpm::inv::open_area(fixed), zpm::paths::at(fixed), name, "." + name + ".new",
                "." + name + ".old"};
}

bool present(const Area &a, const std::string &n) {
    struct stat st;
    return fstatat(a.fd.get(), n.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

bool entry_is(const Area &a, const std::string &n, const std::string &sum) {
    Fd e = zpm::inv::open_dir(a.fd.get(), n.c_str());
    std::string text;
    return e.get() >= 0 && zpm::inv::read_at(e.get(), "inst.txt", &text) && text_sum(text) == sum;
}

bool file_is(const Area &a, const std::string &n, const std::string &sum) {
    std::string text;
    return zpm::inv::read_at(a.fd.get(), n.c_str(), &text) && text_sum(text) == sum;
}

zpm::Failure ren(const Area &a, const std::string &from, const std::string &to) {
    if (renameat(a.fd.get(), from.c_str(), a.fd.get(), to.c_str()) != 0)
        return zpm::error_now("rename", zpm::inv::join(a.where, from));
    return {};
}

// Exchanges x and y; where the file system cannot, renames y aside to old
// and x to y (with fallback; else that is a failure).
zpm::Failure swap(const Area &a, const std::string &x, const std::string &y, bool fallback) {
    if (renameat2(a.fd.get(), x.c_str(), a.fd.get(), y.c_str(), RENAME_EXCHANGE) == 0)
        return {};
    if (!fallback || (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP))
        return zpm::error_now("exchange", zpm::inv::join(a.where, x));
    if (auto e = ren(a, y, a.old))
        return e;
    return ren(a, x, y);
}

zpm::Failure drop_entry(const Area &a, const std::string &n) {
    const std::string path = zpm::inv::join(a.where, n);
    if (zpm_zpf_rmdir(path.c_str()) != 0)
        return zpm::error_now("remove", path);
    return {};
}

zpm::Failure drop_file(const Area &a, const std::string &n) {
    if (unlinkat(a.fd.get(), n.c_str(), 0) != 0 && errno != ENOENT)
        return zpm::error_now("remove", zpm::inv::join(a.where, n));
    return {};
}

zpm::Failure entries_in(const Area &a, const std::string &sum) {
    if (!entry_is(a, a.cur, sum)) {
        if (!entry_is(a, a.nu, sum))
            return zpm::Error{"find the new entry", zpm::inv::join(a.where, a.nu), ENOENT};
        if (!present(a, a.cur)) // moved aside by an earlier call
            return ren(a, a.nu, a.cur);
        if (auto e = drop_entry(a, a.old)) // left by the update before
            return e;
        if (auto e = swap(a, a.nu, a.cur, true))
            return e;
    }
    if (!present(a, a.nu))
        return {};
    if (auto e = drop_entry(a, a.old))
        return e;
    return ren(a, a.nu, a.old);
}

zpm::Failure index_in(const Area &a, const Journal &j) {
    if (j.index.empty()) {
        if (present(a, a.cur))
            return ren(a, a.cur, a.old);
        return j.had_index ? zpm::Failure{} : drop_file(a, a.old);
    }
    if (!file_is(a, a.cur, j.index)) {
        if (!file_is(a, a.nu, j.index))
            return zpm::Error{"find the new file index", zpm::inv::join(a.where, a.nu), ENOENT};
        if (!present(a, a.cur)) {
            if (auto e = j.had_index ? zpm::Failure{} : drop_file(a, a.old))
                return e;
            return ren(a, a.nu, a.cur);
        }
        if (auto e = swap(a, a.nu, a.cur, true))
            return e;
    }
    return present(a, a.nu) ? ren(a, a.nu, a.old) : zpm::Failure{};
}

zpm::Failure entries_back(const Area &a, const std::string &sum) {
    if (entry_is(a, a.cur, sum)) {
        auto e = present(a, a.nu) ? swap(a, a.nu, a.cur, false) : ren(a, a.cur, a.nu);
        if (e)
            return e;
    }
    return present(a, a.cur) ? zpm::Failure{} : ren(a, a.old, a.cur);
}

zpm::Failure index_back(const Area &a, const Journal &j) {
    if (!j.index.empty() && file_is(a, a.cur, j.index)) {
        if (present(a, a.nu))
            return ren(a, a.nu, a.cur);
        return j.had_index ? ren(a, a.old, a.cur) : drop_file(a, a.cur);
    }
    if (j.had_index && !present(a, a.cur) && present(a, a.old))
        return ren(a, a.old, a.cur);
    return {};
}

zpm::Failure opened(const Area &a) {
    if (a.fd.get() < 0)
        return zpm::error_now("open", a.where);
    return {};
}

} // namespace

bool new_entry_made(const Journal &j) {
    Area inst = area_of(zpm::paths::kInstalledDir, j.name);
    return inst.fd.get() >= 0 &&
           (entry_is(inst, inst.cur, j.record) || entry_is(inst, inst.nu, j.record));
}

zpm::Failure switch_in(const Journal &j) {
    Area idx = area_of(zpm::paths::kFileIndexDir, j.name);
    Area inst = area_of(zpm::paths::kInstalledDir, j.name);
    if (auto e = opened(idx))
        return e;
    if (auto e = opened(inst))
        return e;
    if (auto e = index_in(idx, j))
        return e;
    if (auto e = entries_in(inst, j.record))
        return e;
    if (auto e = zpm::inv::sync_fd(idx.fd.get(), idx.where))
        return e;
    return zpm::inv::sync_fd(inst.fd.get(), inst.where);
}

zpm::Failure switch_back(const Journal &j) {
    Area idx = area_of(zpm::paths::kFileIndexDir, j.name);
    Area inst = area_of(zpm::paths::kInstalledDir, j.name);
    if (auto e = opened(idx))
        return e;
    if (auto e = opened(inst))
        return e;
    if (auto e = entries_back(inst, j.record))
        return e;
    return index_back(idx, j);
}

} // namespace zpm::exec
