// Reaching directories without being led astray: every path is walked one
// component at a time from a directory descriptor, and a symbolic link met on
// the way is followed only when root (or the running user) owns it.  Anyone
// else's link is refused, so no file is ever written, opened or removed
// through a link that another user planted; root's own links, such as
// /lib -> usr/lib, keep working.
#ifndef ZPM_FSWALK_H
#define ZPM_FSWALK_H

#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <sys/stat.h>

#include "cres.h"

namespace zpm::fs {

std::string dir_of(const std::string &p); // "." without a '/', "/" for "/x"
std::string base_of(const std::string &p);

// A descriptor that can be handed on.
class HeldFd {
  public:
    explicit HeldFd(int fd = -1) : fd_(fd) {}
    ~HeldFd() { reset(); }
    HeldFd(HeldFd &&o) noexcept : fd_(o.release()) {}
    HeldFd &operator=(HeldFd &&o) noexcept {
        reset(o.release());
        return *this;
    }
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1);

  private:
    int fd_;
};

// Opens the directory that rel leads to from the directory at (AT_FDCWD for
// the working directory; an absolute rel starts at "/").  With create,
// missing directories are made on the way, the last one with mode and the
// others with 0755 (links met on the way are followed, their targets never
// created).  Returns an O_PATH descriptor, or -1 with errno set: ELOOP for a
// link that is not followed (logged once, with who as the prefix and the
// link named after where, the path of at).
int walk_dir(int at, std::string_view rel, bool create, mode_t mode, const char *who,
             const std::string &where = ".");

// Directories a run of placements keeps open, by path: files come directory
// by directory, and each directory is walked once.  A directory removed
// meanwhile is walked again.
class DirCache {
  public:
    // The directory at path (absolute), walked as walk_dir does; null with
    // errno set when it cannot be reached.
    std::shared_ptr<Fd> open(const std::string &path, bool create, const char *who);

  private:
    std::shared_ptr<Fd> lookup(const std::string &path);
    bool known_missing(const std::string &path) const;
    std::shared_ptr<Fd> note_missing(const std::string &path, bool create);
    std::map<std::string, std::shared_ptr<Fd>> dirs_;
    // Directories found missing by walks that made nothing; forgotten as
    // soon as a walk may make directories.
    std::set<std::string> missing_;
};

// Whether a link with this owner may be followed.
bool trusted_owner(uid_t uid);

} // namespace zpm::fs

#endif
