// Removing a directory tree and creating a directory with its parents.  The
// removal walks the tree from descriptors one directory at a time, with no
// recursion and no path built, so it removes a tree however deep it is; it
// never follows a link and never leaves the file system it started on.
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

// A directory on the way down: what it is, its name in its parent, and the
// entries in it that could not be removed.
struct Level {
    dev_t dev;
    ino_t ino;
    std::string name;
    std::set<std::string> failed;
};

// The path of name in the deepest level, for messages.
std::string path_of(const std::string &top, const std::vector<Level> &down,
                    const std::string &name) {
    std::string p = top;
    for (size_t i = 1; i < down.size(); i++)
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

// The entries of the directory open at fd (read from its start through fd
// itself: the walk lists a directory again after each subdirectory it
// removed), less those in skip; false when it cannot be read.
bool list_dir(int fd, const std::set<std::string> &skip, std::vector<Entry> &out) {
    if (lseek(fd, 0, SEEK_SET) != 0)
        return false;
    out.clear();
    alignas(8) char buf[16384];
    for (;;) {
        ssize_t n = getdents64(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n == 0;
        for (ssize_t at = 0; at < n;) {
            const auto *e = reinterpret_cast<const struct dirent64 *>(buf + at);
            at += e->d_reclen;
            if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..") || skip.count(e->d_name))
                continue;
            out.push_back({e->d_name, is_dir(fd, e->d_name, e->d_type)});
        }
    }
}

class TreeRemoval {
  public:
    TreeRemoval(std::string top, int parent) : top_(std::move(top)), parent_(parent) {}
    int run(const std::string &leaf);

  private:
    bool enter(int at, const std::string &name);
    std::string clear_files();
    bool leave();

    std::string top_;
    int parent_;
    HeldFd cur_;
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
        zlogf(ZLOG_ERROR, "can't remove '%s'", path_of(top_, down_, name).c_str());
        return false; // another file system is mounted there
    }
    down_.push_back({st.st_dev, st.st_ino, name, {}});
    cur_ = std::move(fd);
    return true;
}

// Removes every entry of the current directory that is not a directory;
// returns the first subdirectory left to enter, or "".
std::string TreeRemoval::clear_files() {
    std::vector<Entry> entries;
    Level &here = down_.back();
    if (!list_dir(cur_.get(), here.failed, entries)) {
        zlogf(ZLOG_ERROR, "can't close '%s'", path_of(top_, down_, "").c_str());
        failed_ = true;
        return "";
    }
    std::string sub;
    for (const Entry &e : entries) {
        if (!e.dir && (unlinkat(cur_.get(), e.name.c_str(), 0) == 0 || errno == ENOENT))
            continue;
        if (e.dir || errno == EISDIR) {
            if (sub.empty())
                sub = e.name;
            continue;
        }
        zlogf(ZLOG_ERROR, "can't remove '%s'", path_of(top_, down_, e.name).c_str());
        here.failed.insert(e.name);
        failed_ = true;
    }
    return sub;
}

// Goes up from the current directory, which is as empty as it gets, and
// removes it.  false when the walk is over.
bool TreeRemoval::leave() {
    Level done = std::move(down_.back());
    down_.pop_back();
    HeldFd up;
    if (!down_.empty()) {
        up.reset(openat(cur_.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        struct stat st;
        if (up.get() < 0 || fstat(up.get(), &st) != 0 || st.st_dev != down_.back().dev ||
            st.st_ino != down_.back().ino) {
            // Moved away while we were inside: do not remove what is above it now.
            zlogf(ZLOG_ERROR, "can't remove '%s'", path_of(top_, down_, done.name).c_str());
            failed_ = true;
            return false;
        }
    }
    cur_.reset();
    int at = down_.empty() ? parent_ : up.get();
    if (unlinkat(at, done.name.c_str(), AT_REMOVEDIR) != 0) {
        zlogf(ZLOG_ERROR, "can't remove '%s'", path_of(top_, down_, done.name).c_str());
        failed_ = true;
        if (!down_.empty())
            down_.back().failed.insert(done.name);
    }
    if (down_.empty())
        return false;
    cur_ = std::move(up);
    return true;
}

int TreeRemoval::run(const std::string &leaf) {
    if (!enter(parent_, leaf))
        return -1;
    for (;;) {
        std::string sub = clear_files();
        if (!sub.empty()) {
            if (!enter(cur_.get(), sub)) {
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
    struct stat st;
    if (parent.get() < 0 || fstatat(parent.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT)
            return 0;
        zlogf(ZLOG_ERROR, "can't stat '%s'", path);
        return -1;
    }
    if (S_ISDIR(st.st_mode))
        return TreeRemoval(path, parent.get()).run(leaf);
    if (unlinkat(parent.get(), leaf.c_str(), 0) != 0) {
        zlogf(ZLOG_ERROR, "can't remove '%s'", path);
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
