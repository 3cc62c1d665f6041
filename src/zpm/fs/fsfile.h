// What placing files is made of: a name reached through its directory's
// descriptor, temporary files beside their target, and copying.
#ifndef ZPM_FSFILE_H
#define ZPM_FSFILE_H

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "cres.h"
#include "fswalk.h"
#include "util.h"

namespace zpm::fs {

int clamp_int(off_t n);
// The temporary name of a file beside its target: ".<name>.zpm-new".
std::string temp_name(const std::string &leaf);

using Id = std::pair<dev_t, ino_t>;
inline Id id_of(const struct stat &st) {
    return {st.st_dev, st.st_ino};
}

// Whether a copy made with owner, mode and times kept still stands for b.
bool same_meta(const struct stat &a, const struct stat &b);

// A name, its directory (open) and what is there now.
struct Spot {
    std::string path;
    std::shared_ptr<Fd> dir;
    std::string leaf;
    struct stat st {};
    bool exists = false;
    int dirfd() const { return dir->get(); }
};

using zpm::write_all;
// Copies everything from in to out.  Returns 0, or 'r' / 'w' for the side
// that failed (errno set).
int copy_fd(int in, int out, off_t &total);
// Gives the file open at fd the owner, mode and times of st (a copy that
// stands for the file st describes); failures are logged as warnings.
void settle_as(int fd, const struct stat &st, const std::string &path);
// Logs the removal of a leftover temporary file.
void log_leftover(const Spot &s, const std::string &name);

// Takes the temporary name in dir with make, a call that fails with EEXIST
// while the name is taken: what a killed run left there is removed first.
template <class Make> bool claim_temp(int dir, const std::string &name, const Spot &s, Make make) {
    if (make())
        return true;
    if (errno != EEXIST)
        return false;
    struct stat st;
    if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(st.st_mode) ||
        unlinkat(dir, name.c_str(), 0) != 0) {
        errno = EEXIST;
        return false;
    }
    log_leftover(s, name);
    return make();
}

// The backup index "<bkp_base>/index.txt" of one placement, opened at the
// first line it gets and kept open for the others (list_backup, line for
// line, with the same messages).
class BackupIndex {
  public:
    explicit BackupIndex(const std::string &bkp_base) : path_(bkp_base + "/index.txt") {}
    int list(const char *path);

  private:
    std::string path_;
    HeldFd fd_;
    off_t size_ = 0;
};

// A new file beside its final name, removed unless it was moved into place.
class TempFile {
  public:
    TempFile() = default;
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
    ~TempFile() {
        fd_.reset();
        if (dir_)
            unlinkat(dir_->get(), name_.c_str(), 0);
    }
    // A regular file, mode 0600 until it is settled.
    bool create(const Spot &s) {
        return take(s, [&] {
            fd_.reset(openat(s.dirfd(), name_.c_str(),
                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
            return fd_.get() >= 0;
        });
    }
    bool create_link(const Spot &s, const std::string &target) {
        return take(s, [&] { return symlinkat(target.c_str(), s.dirfd(), name_.c_str()) == 0; });
    }
    // A second name of the file at from (relative to from_dir).
    bool create_hard_link(const Spot &s, int from_dir, const std::string &from) {
        return take(
            s, [&] { return linkat(from_dir, from.c_str(), s.dirfd(), name_.c_str(), 0) == 0; });
    }
    int fd() const { return fd_.get(); }
    const std::string &name() const { return name_; }
    // Closes the file and renames it to s; errno tells why on failure.
    bool commit(const Spot &s) {
        if (fd_.get() >= 0 && close(fd_.release()) != 0)
            return false;
        if (renameat(s.dirfd(), name_.c_str(), s.dirfd(), s.leaf.c_str()) != 0)
            return false;
        dir_.reset();
        return true;
    }

  private:
    template <class Make> bool take(const Spot &s, Make make) {
        name_ = temp_name(s.leaf);
        if (!claim_temp(s.dirfd(), name_, s, make))
            return false;
        dir_ = s.dir;
        return true;
    }
    std::shared_ptr<Fd> dir_;
    std::string name_;
    HeldFd fd_;
};

} // namespace zpm::fs

#endif
