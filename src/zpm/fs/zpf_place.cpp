// Putting files into place with a backup of what they replace, saving files
// before they are removed, and putting backups back (fsops.h).  Every name is
// used relative to its directory's descriptor, never by path after a check.
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "cres.h"
#include "fsfile.h"
#include "fsops.h"
#include "fswalk.h"
#include "loglib.h"

namespace zpm::fs {

namespace {

// Longest destination or backup path the copy accepts.
constexpr size_t kPathMax = 2048;
const char *const kWho = "zpm_zpf_copy";

mode_t creation_mode() {
    mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

// Makes the staged file open at fd what a copy would have made: owned by the
// running process and modified now.  Done before it is moved into place.
void settle_staged(int fd, const struct stat &st, const std::string &dst) {
    static const uid_t uid = geteuid();
    static const gid_t gid = getegid();
    if (st.st_uid != uid || st.st_gid != gid) {
        if (fchown(fd, uid, gid) != 0)
            zlogf(ZLOG_WARNING, "Failed to set owner of %s: %s\n", dst.c_str(), strerror(errno));
        else if (st.st_mode & (S_ISUID | S_ISGID))
            // A change of owner drops the set-id bits; the copy keeps them.
            fchmod(fd, st.st_mode & 07777);
    }
    if (futimens(fd, nullptr) != 0)
        zlogf(ZLOG_WARNING, "Failed to set the time of %s: %s\n", dst.c_str(), strerror(errno));
}

void log_backup_base(const std::string &bkp) {
    if (!bkp.empty())
        zlogf(ZLOG_DEBUG, "zpm_zpf_copy: backup base is %s, will backup target", bkp.c_str());
    else
        zlogf(ZLOG_DEBUG, "zpm_zpf_copy: backup base is NULL, will not backup target");
}

bool paths_fit(const std::string &dst, const std::string &bkp) {
    size_t n = dst.size() + bkp.size();
    if (n < kPathMax)
        return true;
    zlogf(ZLOG_ERROR, "zpm_zpf_copy: path too long (%zu characters): %.200s...", n, dst.c_str());
    return false;
}

enum class How { Copy, Move, Link };

} // namespace

struct Placement::Impl {
    std::string bkp;
    std::unique_ptr<BackupIndex> index; // made with bkp
    DirCache dirs;
    std::map<std::string, Id> saved;                         // target -> the file its backup holds
    std::map<dev_t, std::pair<HeldFd, std::string>> written; // per file system
    std::set<dev_t> no_link; // targets' file systems that cannot link to the backups
    bool unsynced = false;

    bool locate(const std::string &path, bool create, Spot &s);
    void note_written(const Spot &s);
    void note_written(const Spot &s, dev_t dev);
    int save_file(const Spot &t);
    int link_backup(const Spot &t, const Spot &b);
    bool copy_file(const Spot &from, const Spot &to);
    bool examine(const Spot &t);
    int put(const std::string &dst, const std::string &src, int in, const struct stat &src_st,
            mode_t mode, How how);
    bool put_staged(const Spot &t, const std::string &src, int in, const struct stat &src_st,
                    How how);
    int write_target(const Spot &t, const std::string &src, int in_fd, mode_t mode);
    int copy_back(const Spot &b, Spot &t, bool ours);
    int sync_saved();
};

bool Placement::Impl::locate(const std::string &path, bool create, Spot &s) {
    s.path = path;
    s.leaf = base_of(path);
    if (s.leaf.empty() || s.leaf == "." || s.leaf == "..") {
        errno = EISDIR;
        return false;
    }
    s.dir = dirs.open(dir_of(path), create, kWho);
    if (!s.dir)
        return false;
    s.exists = fstatat(s.dirfd(), s.leaf.c_str(), &s.st, AT_SYMLINK_NOFOLLOW) == 0;
    return s.exists || errno == ENOENT;
}

// Remembers the file system of s's directory for sync_placed.
void Placement::Impl::note_written(const Spot &s) {
    struct stat st;
    if (fstat(s.dirfd(), &st) == 0)
        note_written(s, st.st_dev);
}

// The same, for a directory known to lie on dev: a file renamed or linked
// into it from dev (neither crosses a mount).
void Placement::Impl::note_written(const Spot &s, dev_t dev) {
    if (written.count(dev))
        return;
    HeldFd fd(openat(s.dirfd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    written.emplace(dev, std::make_pair(std::move(fd), dir_of(s.path)));
}

// Gives the backup b a second name of t's file; 1 when the file system
// cannot, so a copy is needed.
int Placement::Impl::link_backup(const Spot &t, const Spot &b) {
    if (no_link.count(t.st.st_dev))
        return 1;
    // Nothing at the backup's name (the usual case): the link is made there
    // at once, and is taken back should it not be t's file.
    if (!b.exists && linkat(t.dirfd(), t.leaf.c_str(), b.dirfd(), b.leaf.c_str(), 0) == 0) {
        struct stat st;
        if (fstatat(b.dirfd(), b.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            id_of(st) == id_of(t.st))
            return 0;
        unlinkat(b.dirfd(), b.leaf.c_str(), 0);
        errno = ESTALE; // the target changed meanwhile
        return -1;
    }
    TempFile tmp;
    if (tmp.create_hard_link(b, t.dirfd(), t.leaf)) {
        struct stat st;
        if (fstatat(b.dirfd(), tmp.name().c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            id_of(st) != id_of(t.st)) {
            errno = ESTALE; // the target changed meanwhile
            return -1;
        }
        return tmp.commit(b) ? 0 : -1;
    }
    if (errno == EXDEV)
        no_link.insert(t.st.st_dev);
    return errno == EXDEV || errno == EPERM || errno == EMLINK || errno == EOPNOTSUPP ? 1 : -1;
}

// Copies the regular file or link at from to to, keeping owner, mode and
// times, through a temporary name beside to.
bool Placement::Impl::copy_file(const Spot &from, const Spot &to) {
    TempFile tmp;
    if (S_ISLNK(from.st.st_mode)) {
        char buf[PATH_MAX];
        ssize_t n = readlinkat(from.dirfd(), from.leaf.c_str(), buf, sizeof buf);
        if (n < 0 || static_cast<size_t>(n) == sizeof buf ||
            !tmp.create_link(to, std::string(buf, static_cast<size_t>(n))))
            return false;
        if (fchownat(to.dirfd(), tmp.name().c_str(), from.st.st_uid, from.st.st_gid,
                     AT_SYMLINK_NOFOLLOW) != 0 &&
            errno != EPERM)
            zlogf(ZLOG_WARNING, "Failed to set owner of %s: %s\n", to.path.c_str(),
                  strerror(errno));
        return tmp.commit(to);
    }
    HeldFd in(
        openat(from.dirfd(), from.leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (in.get() < 0 || fstat(in.get(), &st) != 0 || id_of(st) != id_of(from.st)) {
        zlogf(ZLOG_ERROR, "Failed to open %s for reading: %s\n", from.path.c_str(),
              strerror(in.get() < 0 ? errno : ESTALE));
        return false;
    }
    if (!tmp.create(to)) {
        zlogf(ZLOG_ERROR, "Failed to open %s for writing: %s\n", to.path.c_str(), strerror(errno));
        return false;
    }
    off_t n = 0;
    if (int side = copy_fd(in.get(), tmp.fd(), n)) {
        zlogf(ZLOG_ERROR, "Failed to %s %s: %s\n", side == 'r' ? "read" : "write",
              side == 'r' ? from.path.c_str() : to.path.c_str(), strerror(errno));
        return false;
    }
    zlogf(ZLOG_DEBUG, "Wrote %d bytes to %s\n", clamp_int(n), to.path.c_str());
    settle_as(tmp.fd(), st, to.path);
    if (tmp.commit(to))
        return true;
    zlogf(ZLOG_ERROR, "Failed to move new content into place at %s: %s\n", to.path.c_str(),
          strerror(errno));
    return false;
}

// Saves the regular file or link t as bkp + its path and lists it.
int Placement::Impl::save_file(const Spot &t) {
    auto it = saved.find(t.path);
    if (it != saved.end() && it->second == id_of(t.st))
        return 0;
    Spot b;
    if (!paths_fit(t.path, bkp) || !locate(bkp + t.path, true, b)) {
        zlogf(ZLOG_ERROR, "Failed to open %s for writing: %s\n", (bkp + t.path).c_str(),
              strerror(errno));
        return -1;
    }
    zlogf(ZLOG_DEBUG, "Backing up %s to %s\n", t.path.c_str(), b.path.c_str());
    if (b.exists && id_of(b.st) == id_of(t.st)) {
        // Linked by a run cut off before it may have listed it: listed
        // again (the rollback reads each path once).
        if (index->list(t.path.c_str()) != 0)
            return -1;
        saved[t.path] = id_of(t.st);
        unsynced = true;
        return 0;
    }
    if (b.exists && S_ISDIR(b.st.st_mode)) {
        zlogf(ZLOG_ERROR, "Failed to open %s for writing: %s\n", b.path.c_str(), strerror(EISDIR));
        return -1;
    }
    // This run saves each file once: another one there was left by a run
    // that was cut off, and the next run's recovery has had it.
    if (b.exists)
        zlogf(ZLOG_WARNING, "Replacing %s, left by an interrupted run", b.path.c_str());
    int linked = link_backup(t, b);
    if (linked < 0) {
        zlogf(ZLOG_ERROR, "Failed to open %s for writing: %s\n", b.path.c_str(), strerror(errno));
        return -1;
    }
    if (linked > 0 && !copy_file(t, b))
        return -1;
    if (index->list(t.path.c_str()) != 0) {
        unlinkat(b.dirfd(), b.leaf.c_str(), 0);
        return -1;
    }
    saved[t.path] = id_of(t.st);
    unsynced = true;
    return 0;
}

// What is at t: false (logged) when it must not be replaced.
bool Placement::Impl::examine(const Spot &t) {
    zlogf(ZLOG_DEBUG, "zpm_zpf_copy: checking existence of %s", t.path.c_str());
    if (!t.exists) {
        zlogf(ZLOG_DEBUG, "zpm_zpf_copy: %s does not exist, no backup necessary", t.path.c_str());
        return true;
    }
    zlogf(ZLOG_DEBUG, "zpm_zpf_copy: %s exists", t.path.c_str());
    if (S_ISLNK(t.st.st_mode)) {
        // The rename below replaces the link itself, never what it points to.
        zlogf(ZLOG_INFO, "Removing existing symbolic link %s", t.path.c_str());
        return true;
    }
    if (S_ISREG(t.st.st_mode))
        return true;
    zlogf(ZLOG_ERROR, "%s is not a regular file, refusing to remove it", t.path.c_str());
    return false;
}

int Placement::Impl::put(const std::string &dst, const std::string &src, int in,
                         const struct stat &src_st, mode_t mode, How how) {
    Spot t;
    if (!locate(dst, true, t)) {
        zlogf(ZLOG_ERROR, "Failed to open %s for writing: %s\n", dst.c_str(), strerror(errno));
        return -1;
    }
    if (!examine(t))
        return -1;
    if (t.exists && S_ISREG(t.st.st_mode) && !bkp.empty()) {
        // Saved now unless it was saved before; durable before it is replaced.
        bool before = saved.count(dst) && saved[dst] == id_of(t.st);
        if (!before && (save_file(t) != 0 || sync_saved() != 0))
            return -1;
    }
    zlogf(ZLOG_DEBUG, "Copying %s to %s\n", src.c_str(), dst.c_str());
    if (how != How::Copy) {
        if (put_staged(t, src, in, src_st, how)) {
            note_written(t, src_st.st_dev);
            zlogf(ZLOG_DEBUG, "Wrote %d bytes to %s\n", clamp_int(src_st.st_size), dst.c_str());
            return clamp_int(src_st.st_size);
        }
        zlogf(ZLOG_DEBUG, "Cannot move %s to %s (%s), copying it", src.c_str(), dst.c_str(),
              strerror(errno));
    }
    return write_target(t, src, in, mode);
}

// Puts the staged file src (open at in) at t without copying its content:
// renamed there, or (to keep the stage's copy) given a second name beside t
// that is renamed over it.  false when the file system refuses.
bool Placement::Impl::put_staged(const Spot &t, const std::string &src, int in,
                                 const struct stat &src_st, How how) {
    settle_staged(in, src_st, t.path);
    if (how == How::Move)
        return renameat(AT_FDCWD, src.c_str(), t.dirfd(), t.leaf.c_str()) == 0;
    TempFile tmp;
    return tmp.create_hard_link(t, AT_FDCWD, src) && tmp.commit(t);
}

int Placement::Impl::write_target(const Spot &t, const std::string &src, int in_fd, mode_t mode) {
    HeldFd own;
    if (in_fd < 0) {
        own.reset(open(src.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        struct stat st {};
        if (own.get() < 0) {
            zlogf(ZLOG_ERROR, "Failed to open %s for reading: %s\n", src.c_str(), strerror(errno));
            return -1;
        }
        if (fstat(own.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
            zlogf(ZLOG_ERROR, "Failed to read %s: %s\n", src.c_str(),
                  strerror(S_ISDIR(st.st_mode) ? EISDIR : EINVAL));
            return -1;
        }
        in_fd = own.get();
    }
    TempFile tmp;
    if (!tmp.create(t)) {
        zlogf(ZLOG_ERROR, "Failed to open %s for writing: %s\n", t.path.c_str(), strerror(errno));
        return -1;
    }
    off_t n = 0;
    if (int side = copy_fd(in_fd, tmp.fd(), n)) {
        zlogf(ZLOG_ERROR, "Failed to %s %s: %s\n", side == 'r' ? "read" : "write",
              side == 'r' ? src.c_str() : t.path.c_str(), strerror(errno));
        return -1;
    }
    zlogf(ZLOG_DEBUG, "Wrote %d bytes to %s\n", clamp_int(n), t.path.c_str());
    if (fchmod(tmp.fd(), mode) != 0)
        zlogf(ZLOG_WARNING, "Failed to set permission on %s: %s\n", t.path.c_str(),
              strerror(errno));
    if (!tmp.commit(t)) {
        zlogf(ZLOG_ERROR, "Failed to move new content into place at %s: %s\n", t.path.c_str(),
              strerror(errno));
        return -1;
    }
    note_written(t);
    return clamp_int(n);
}

// Copies the backup b over t; when the file system is full and t holds our
// own new file, that file makes room first.
int Placement::Impl::copy_back(const Spot &b, Spot &t, bool ours) {
    for (int attempt = 0;; attempt++) {
        if (copy_file(b, t)) {
            note_written(t);
            return 0;
        }
        int err = errno;
        if (attempt || !ours || (err != ENOSPC && err != EDQUOT) || !t.exists ||
            S_ISDIR(t.st.st_mode) || unlinkat(t.dirfd(), t.leaf.c_str(), 0) != 0) {
            errno = err;
            return -1;
        }
        zlogf(ZLOG_WARNING, "Removed %s to make room for its old content", t.path.c_str());
        t.exists = false;
    }
}

Placement::Placement(std::string bkp_base) : impl_(std::make_unique<Impl>()) {
    impl_->bkp = std::move(bkp_base);
    impl_->index = std::make_unique<BackupIndex>(impl_->bkp);
}

Placement::~Placement() = default;

int Placement::save(const std::string &target) {
    Spot t;
    if (!impl_->locate(target, false, t))
        return errno == ENOENT || errno == ENOTDIR ? 0 : -1;
    if (!t.exists || S_ISLNK(t.st.st_mode))
        return 0;
    if (!S_ISREG(t.st.st_mode)) {
        zlogf(ZLOG_ERROR, "%s is not a regular file, refusing to remove it", target.c_str());
        return -1;
    }
    return impl_->save_file(t);
}

Found Placement::save_for_removal(const std::string &target, int &err) {
    Spot t;
    err = 0;
    if (!impl_->locate(target, false, t)) {
        err = errno;
        return Found::nothing;
    }
    if (!t.exists) {
        err = ENOENT;
        return Found::nothing;
    }
    struct stat st;
    if (S_ISLNK(t.st.st_mode) && fstatat(t.dirfd(), t.leaf.c_str(), &st, 0) != 0) {
        err = errno; // a link whose target is missing is skipped like a missing file
        return Found::nothing;
    }
    if (S_ISDIR(t.st.st_mode)) {
        err = EISDIR;
        return Found::not_file;
    }
    if (!S_ISREG(t.st.st_mode) && !S_ISLNK(t.st.st_mode))
        return Found::not_file;
    return impl_->save_file(t) == 0 ? Found::saved : Found::failed;
}

int Placement::Impl::sync_saved() {
    if (!unsynced)
        return 0;
    auto dir = dirs.open(bkp, false, kWho);
    HeldFd fd(dir ? openat(dir->get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1);
    if (fd.get() < 0 || syncfs(fd.get()) != 0) {
        zlogf(ZLOG_ERROR, "Failed to write the backups in %s to disk: %s", bkp.c_str(),
              strerror(errno));
        return -1;
    }
    unsynced = false;
    return 0;
}

int Placement::sync_saved() {
    return impl_->sync_saved();
}

int Placement::copy(const std::string &dst, const std::string &src, int keep_mode) {
    log_backup_base(impl_->bkp);
    if (!paths_fit(dst, impl_->bkp))
        return -1;
    struct stat st;
    if (stat(src.c_str(), &st) != 0) {
        zlogf(ZLOG_ERROR, "Failed to stat %s: %s\n", src.c_str(), strerror(errno));
        return -1;
    }
    mode_t mode = keep_mode == 1  ? st.st_mode & 07777
                  : keep_mode > 1 ? static_cast<mode_t>(keep_mode) & 07777
                                  : creation_mode();
    return impl_->put(dst, src, -1, st, mode, How::Copy);
}

int Placement::place(const std::string &dst, const std::string &src, bool keep_source) {
    HeldFd in(open(src.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    // Only a plain file with no other name can be moved without anyone noticing.
    if (in.get() < 0 || fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1)
        return copy(dst, src, 1);
    log_backup_base(impl_->bkp);
    if (!paths_fit(dst, impl_->bkp))
        return -1;
    return impl_->put(dst, src, in.get(), st, st.st_mode & 07777,
                      keep_source ? How::Link : How::Move);
}

int Placement::remove(const std::string &target) {
    Spot t;
    if (!impl_->locate(target, false, t))
        return -1;
    auto it = impl_->saved.find(target);
    if (!t.exists || it == impl_->saved.end() || it->second != id_of(t.st)) {
        errno = t.exists ? ESTALE : ENOENT;
        return -1;
    }
    return unlinkat(t.dirfd(), t.leaf.c_str(), 0);
}

int Placement::discard(const std::string &target) {
    Spot t;
    if (!impl_->locate(target, false, t))
        return -1;
    if (!t.exists || S_ISDIR(t.st.st_mode)) {
        errno = t.exists ? EISDIR : ENOENT;
        return -1;
    }
    return unlinkat(t.dirfd(), t.leaf.c_str(), 0);
}

int Placement::restore(const std::string &target, const std::string &backup, Was was) {
    Spot b, t;
    if (!impl_->locate(backup, false, b))
        return -1;
    if (!b.exists) {
        errno = ENOENT;
        return -1;
    }
    if (!impl_->locate(target, true, t))
        return -1;
    if (t.exists && (id_of(t.st) == id_of(b.st) || was == Was::untouched ||
                     (was == Was::unknown && same_meta(t.st, b.st))))
        return 0;
    if (renameat(b.dirfd(), b.leaf.c_str(), t.dirfd(), t.leaf.c_str()) == 0) {
        impl_->note_written(t);
        return 0;
    }
    if (errno != EXDEV)
        return -1;
    return impl_->copy_back(b, t, was == Was::written);
}

int Placement::sync_placed() {
    int rc = 0;
    for (auto &[dev, w] : impl_->written) {
        if (w.first.get() < 0 || syncfs(w.first.get()) != 0) {
            zlogf(ZLOG_ERROR, "Failed to write the files placed in %s to disk: %s",
                  w.second.c_str(), strerror(errno));
            rc = -1;
        }
    }
    impl_->written.clear();
    return rc;
}

void drop_temporary(const std::string &target) {
    HeldFd dir(walk_dir(AT_FDCWD, dir_of(target), false, 0755, kWho));
    const std::string name = temp_name(base_of(target));
    struct stat st;
    if (dir.get() >= 0 && fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        !S_ISDIR(st.st_mode))
        unlinkat(dir.get(), name.c_str(), 0);
}

} // namespace zpm::fs

extern "C" int zpm_zpf_copy(const char *dst_full, const char *src_name, const char *bkp_base,
                            int keep_mode, int keep_time, int keep_user) {
    (void)keep_time; // the copy always carries the current time and our ownership
    (void)keep_user;
    if (!dst_full || !src_name)
        return -1;
    zpm::fs::Placement pl(bkp_base ? bkp_base : "");
    return pl.copy(dst_full, src_name, keep_mode);
}

extern "C" int zpm_zpf_place(const char *dst_full, const char *src_name, const char *bkp_base,
                             int keep_source) {
    if (!dst_full || !src_name)
        return -1;
    zpm::fs::Placement pl(bkp_base ? bkp_base : "");
    return pl.place(dst_full, src_name, keep_source != 0);
}
