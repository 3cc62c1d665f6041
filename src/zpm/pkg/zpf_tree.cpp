// Walking an unpacked package relative to directory descriptors, and
// resolving its symbolic links inside the package only.
#include "zpf_tree.h"

#include <cerrno>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cres.h"

namespace zpm::pkg {

namespace {

// The most links one resolution follows, as the kernel allows.
constexpr int kMaxHops = 40;

std::string read_link_at(int dir_fd, const char *name) {
    std::vector<char> buf(256);
    for (;;) {
        ssize_t n = readlinkat(dir_fd, name, buf.data(), buf.size());
        if (n < 0)
            return "";
        if (static_cast<size_t>(n) < buf.size())
            return std::string(buf.data(), static_cast<size_t>(n));
        buf.resize(buf.size() * 2);
    }
}

// Where a resolution stands: the directory reached (components below the
// root) and what is still to be walked.
struct Walk {
    std::vector<std::string> at;
    std::deque<std::string> todo;
    int hops = 0;
};

// Puts a link's target in front of what is still to be walked.  false (why
// set) for a target that cannot lie inside the root.
bool expand(Walk &w, const std::string &target, std::string *why) {
    if (target.empty() || target[0] == '/') {
        *why = target.empty() ? "is empty" : "points outside the package (an absolute target)";
        return false;
    }
    if (++w.hops > kMaxHops) {
        *why = "goes through too many symbolic links";
        return false;
    }
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t end; start <= target.size(); start = end + 1) {
        end = target.find('/', start);
        if (end == std::string::npos)
            end = target.size();
        parts.push_back(target.substr(start, end - start));
    }
    w.todo.insert(w.todo.begin(), parts.begin(), parts.end());
    return true;
}

// Takes one step of the walk: -1 refused (why set), 0 go on, 1 the regular
// file is reached and open in *fd.
int step(int root_fd, Walk &w, int *fd, std::string *why) {
    std::string comp = w.todo.front();
    w.todo.pop_front();
    if (comp.empty() || comp == ".")
        return 0;
    if (comp == "..") {
        if (w.at.empty()) {
            *why = "points outside the package";
            return -1;
        }
        w.at.pop_back();
        return 0;
    }
    Fd dir(open_dir_at(root_fd, w.at, w.at.size()));
    struct stat st;
    if (dir.get() < 0 || fstatat(dir.get(), comp.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        *why = errno == ENOENT ? "leads to nothing in the package" : strerror(errno);
        return -1;
    }
    if (S_ISLNK(st.st_mode))
        return expand(w, read_link_at(dir.get(), comp.c_str()), why) ? 0 : -1;
    if (S_ISDIR(st.st_mode)) {
        w.at.push_back(comp);
        return 0;
    }
    if (!S_ISREG(st.st_mode) || !w.todo.empty()) {
        *why = S_ISREG(st.st_mode) ? "goes through a file as if it were a directory"
                                   : "points to a device, a FIFO or a socket";
        return -1;
    }
    *fd = open_regular_at(dir.get(), comp.c_str(), why);
    return *fd < 0 ? -1 : 1;
}

} // namespace

std::vector<std::string> components(const std::string &path) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        std::string c = path.substr(start, end - start);
        if (!c.empty() && c != ".")
            out.push_back(std::move(c));
        start = end + 1;
    }
    return out;
}

int open_dir_at(int dir_fd, const std::vector<std::string> &comps, size_t n) {
    int fd = openat(dir_fd, ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    for (size_t i = 0; fd >= 0 && i < n && i < comps.size(); i++) {
        int next = openat(fd, comps[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        int err = errno;
        close(fd);
        errno = err;
        fd = next;
    }
    return fd;
}

int open_regular_at(int dir_fd, const char *name, std::string *why, struct stat *out) {
    int fd = openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *why = errno == ELOOP ? "is a symbolic link" : strerror(errno);
        return -1;
    }
    struct stat own;
    struct stat &st = out ? *out : own;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *why = "is not a regular file";
        close(fd);
        return -1;
    }
    return fd;
}

int open_link_target(int root_fd, const std::string &rel, std::string *why) {
    Walk w;
    w.at = components(rel);
    if (w.at.empty()) {
        *why = "is not inside the package";
        return -1;
    }
    w.todo.push_back(w.at.back());
    w.at.pop_back();
    while (!w.todo.empty()) {
        int fd = -1;
        int rc = step(root_fd, w, &fd, why);
        if (rc != 0)
            return rc < 0 ? -1 : fd;
    }
    *why = "points to a directory";
    return -1;
}

} // namespace zpm::pkg
