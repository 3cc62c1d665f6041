// Removing a directory tree and creating a directory with its parents.  The
// removal walks the tree from descriptors one directory at a time, with no
// recursion and no path built, so it removes a tree however deep it is; it
// never follows a link and never leaves the file system it started on.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "cres.h"
#include "fsops.h"
#include "fswalk.h"
#include "loglib.h"
#include "util.h"

namespace {

using zpm::fs::HeldFd;

// A directory on the way down: what it is, its name in its parent, the
// entries in it that could not be removed, the subdirectories of its last
// listing still to enter, and its descriptor (let go of far above the
// deepest level, so that a tree of any depth holds a bounded number).
struct Level {
    dev_t dev;
    ino_t ino;
    std::string name;
    std::set<std::string> failed;
    HeldFd fd;
    std::vector<std::string> subs; // the last to enter first
    bool read = false;             // listed before: the next listing rewinds
    bool current = false;          // listed whole since anything in it was entered
};

// The path of name in the first n levels, for messages.
std::string path_of(const std::string &top, const std::vector<Level> &down, size_t n,
                    const std::string &name) {
    std::string p = top;
    for (size_t i = 1; i < n; i++)
        p += (p.empty() || p.back() != '/' ? "/" : "") + down[i].name;
    return name.empty() ? p : p + (p.back() == '/' ? "" : "/") + name;
}

struct Entry {
    std::string name;
    bool dir;
};

// Whether the entry at fd named name, of the type getdents64 gave, is a
// directory.
bool is_dir(int fd, const char *name, unsigned char type) {
    struct stat st;
    if (type != DT_UNKNOWN)
        return type == DT_DIR;
    return fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

// The entries of the directory open at fd, less those in skip; false when
// it cannot be read.  A directory read before is rewound and read whole
// (through fd itself: the walk lists a directory again only when removing
// it found it not empty); a first listing takes one read's worth, which is
// all of a small directory.  *whole: out holds every entry.
bool list_dir(int fd, bool again, const std::set<std::string> &skip, std::vector<Entry> &out,
              bool *whole) {
    *whole = false;
    if (again && lseek(fd, 0, SEEK_SET) != 0)
        return false;
    out.clear();
    alignas(8) char buf[16384];
    for (;;) {
        ssize_t n = getdents64(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *whole = n == 0;
            return n == 0;
        }
        for (ssize_t at = 0; at < n;) {
            const auto *e = reinterpret_cast<const struct dirent64 *>(buf + at);
            at += e->d_reclen;
            if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..") || skip.count(e->d_name))
                continue;
            out.push_back({e->d_name, is_dir(fd, e->d_name, e->d_type)});
        }
        if (!again)
            return true;
    }
}

// Whether st describes the level.
bool same_dir(const struct stat &st, const Level &l) {
    return st.st_dev == l.dev && st.st_ino == l.ino;
}

class TreeRemoval {
  public:
    TreeRemoval(std::string top, int parent) : top_(std::move(top)), parent_(parent) {}
    int run(const std::string &leaf);

  private:
    // Descriptors held at most: the levels above keep theirs.
    static constexpr size_t kHeld = 48;
    bool enter(int at, const std::string &name);
    void clear_files();
    int parent_of_last();
    bool leave();

    std::string top_;
    int parent_;
    std::vector<Level> down_;
    bool failed_ = false;
};

// Opens name in at and makes it the current directory.
bool TreeRemoval::enter(int at, const std::string &name) {
    HeldFd fd(openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0)
        return false;
    if (!down_.empty() && st.st_dev != down_.front().dev) {
        zlogf(ZLOG_ERROR, "can't remove '%s'", path_of(top_, down_, down_.size(), name).c_str());
        return false; // another file system is mounted there
    }
    if (!down_.empty())
        down_.back().current = false;
    down_.push_back({st.st_dev, st.st_ino, name, {}, std::move(fd), {}});
    if (down_.size() > kHeld)
        down_[down_.size() - 1 - kHeld].fd.reset();
    return true;
}

// Removes every entry of the current directory that is not a directory and
// notes the subdirectories left to enter.
void TreeRemoval::clear_files() {
    std::vector<Entry> entries;
    Level &here = down_.back();
    bool whole = false;
    const bool listed = list_dir(here.fd.get(), here.read, here.failed, entries, &whole);
    here.read = true;
    here.current = whole || !listed;
    here.subs.clear();
    if (!listed) {
        zlogf(ZLOG_ERROR, "can't close '%s'", path_of(top_, down_, down_.size(), "").c_str());
        failed_ = true;
        return;
    }
    for (const Entry &e : entries) {
        if (!e.dir && (unlinkat(here.fd.get(), e.name.c_str(), 0) == 0 || errno == ENOENT))
            continue;
        if (e.dir || errno == EISDIR) {
            here.subs.push_back(e.name);
            continue;
        }
        zlogf(ZLOG_ERROR, "can't remove '%s'", path_of(top_, down_, down_.size(), e.name).c_str());
        here.failed.insert(e.name);
        failed_ = true;
    }
    std::reverse(here.subs.begin(), here.subs.end());
}

// The descriptor of the level above the deepest one, when the deepest is
// still the one of that name in it (nothing moved it away while we were
// inside); -1 otherwise.
int TreeRemoval::parent_of_last() {
    const Level &last = down_.back();
    Level &up = down_[down_.size() - 2];
    struct stat st;
    if (up.fd.get() >= 0)
        return fstatat(up.fd.get(), last.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                       same_dir(st, last)
                   ? up.fd.get()
                   : -1;
    // Let go of on the way down: climbed back to through "..".
    up.fd.reset(openat(last.fd.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (up.fd.get() >= 0 && fstat(up.fd.get(), &st) == 0 && same_dir(st, up))
        return up.fd.get();
    up.fd.reset();
    return -1;
}

// Removes the current directory, which is as empty as it gets, and goes up;
// a directory not empty since it was last listed is listed again instead.
// false when the walk is over.
bool TreeRemoval::leave() {
    const size_t n = down_.size();
    int at = n > 1 ? parent_of_last() : parent_;
    if (at < 0) {
        zlogf(ZLOG_ERROR, "can't remove '%s'",
              path_of(top_, down_, n - 1, down_.back().name).c_str());
        failed_ = true;
        return false;
    }
    if (unlinkat(at, down_.back().name.c_str(), AT_REMOVEDIR) != 0) {
        if ((errno == ENOTEMPTY || errno == EEXIST) && !down_.back().current) {
            clear_files();
            return true;
        }
        zlogf(ZLOG_ERROR, "can't remove '%s'",
              path_of(top_, down_, n - 1, down_.back().name).c_str());
        failed_ = true;
        if (n > 1)
            down_[n - 2].failed.insert(down_.back().name);
    }
    down_.pop_back();
    return !down_.empty();
}

int TreeRemoval::run(const std::string &leaf) {
    if (!enter(parent_, leaf))
        return -1;
    clear_files();
    for (;;) {
        if (!down_.back().subs.empty()) {
            std::string sub = std::move(down_.back().subs.back());
            down_.back().subs.pop_back();
            if (enter(down_.back().fd.get(), sub)) {
                clear_files();
            } else {
                down_.back().current = false;
                down_.back().failed.insert(sub);
                failed_ = true;
            }
            continue;
        }
        if (!leave())
            return failed_ ? -1 : 0;
    }
}

} // namespace

extern "C" int zpm_zpf_rmdir(const char *path) {
    if (!path)
        return -1;
    std::string p = path;
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    const std::string leaf = zpm::fs::base_of(p);
    if (leaf.empty() || leaf == "." || leaf == "..") {
        zlogf(ZLOG_ERROR, "can't remove '%s'", path);
        return -1;
    }
    HeldFd parent(zpm::fs::walk_dir(AT_FDCWD, zpm::fs::dir_of(p), false, 0755, "zpm_zpf_rmdir"));
    if (parent.get() < 0) {
        if (errno == ENOENT)
            return 0;
        zlogf(ZLOG_ERROR, "can't stat '%s'", path);
        return -1;
    }
    return zpm::fs::remove_at(parent.get(), leaf, path);
}

int zpm::fs::remove_at(int parent, const std::string &leaf, const std::string &path) {
    struct stat st;
    if (fstatat(parent, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT)
            return 0;
        zlogf(ZLOG_ERROR, "can't stat '%s'", path.c_str());
        return -1;
    }
    if (S_ISDIR(st.st_mode))
        return TreeRemoval(path, parent).run(leaf);
    if (unlinkat(parent, leaf.c_str(), 0) != 0) {
        zlogf(ZLOG_ERROR, "can't remove '%s'", path.c_str());
        return -1;
    }
    return 0;
}

extern "C" void zpm_zpf_mkdir(char *pathname, int mode) {
    if (!pathname)
        return;
    if (char *slash = last_char_is(pathname, '/'))
        *slash = '\0';
    if (*pathname) {
        HeldFd made(zpm::fs::walk_dir(AT_FDCWD, pathname, true, static_cast<mode_t>(mode),
                                      "zpm_zpf_mkdir"));
    }
}
