// Walking paths from directory descriptors, following only links that root
// made (fswalk.h).
#include "fswalk.h"

#include <cerrno>
#include <deque>
#include <fcntl.h>
#include <unistd.h>

#include "loglib.h"

namespace zpm::fs {

namespace {

// As the kernel allows before it gives up with ELOOP.
constexpr int kMaxLinks = 40;
// Directories kept open by one cache at most.
constexpr size_t kCacheMax = 256;

struct Step {
    std::string name;
    bool may_create;
};

// Puts the components of text in front of todo, in order.
void push_front(std::deque<Step> &todo, std::string_view text, bool may_create) {
    std::deque<Step> parts;
    while (!text.empty()) {
        size_t cut = text.find('/');
        std::string_view part = text.substr(0, cut);
        if (!part.empty() && part != ".")
            parts.push_back({std::string(part), may_create});
        text = cut == std::string_view::npos ? std::string_view() : text.substr(cut + 1);
    }
    todo.insert(todo.begin(), parts.begin(), parts.end());
}

int open_start(int at, bool absolute) {
    if (absolute)
        return open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    return openat(at, ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
}

// The target of the link open (O_PATH) at fd; empty when it cannot be read.
std::string link_target(int fd) {
    std::string buf(256, '\0');
    for (;;) {
        ssize_t n = readlinkat(fd, "", buf.data(), buf.size());
        if (n < 0)
            return {};
        if (static_cast<size_t>(n) < buf.size())
            return buf.substr(0, static_cast<size_t>(n));
        buf.resize(buf.size() * 2);
    }
}

// Opens (and with may_create makes) the entry name in cur without following
// it; -1 with errno set.
int open_entry(int cur, const Step &s, mode_t mode) {
    int fd = openat(cur, s.name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0 || errno != ENOENT || !s.may_create)
        return fd;
    if (mkdirat(cur, s.name.c_str(), mode) != 0 && errno != EEXIST)
        return -1;
    return openat(cur, s.name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
}

// The target of the link open at fd (st: its fstat, walked: its path) when
// the walk may follow it; empty with errno set when not.
std::string followed(int fd, const struct stat &st, const std::string &walked, const char *who,
                     int *links) {
    if (!trusted_owner(st.st_uid))
        zlogf(ZLOG_ERROR, "%s: %s is a symbolic link owned by user %u, not following it", who,
              walked.c_str(), static_cast<unsigned>(st.st_uid));
    if (!trusted_owner(st.st_uid) || ++*links > kMaxLinks) {
        errno = ELOOP;
        return {};
    }
    std::string target = link_target(fd);
    if (target.empty())
        errno = ENOENT;
    return target;
}

} // namespace

void HeldFd::reset(int fd) {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
}

std::string dir_of(const std::string &p) {
    size_t cut = p.rfind('/');
    if (cut == std::string::npos)
        return ".";
    return cut == 0 ? "/" : p.substr(0, cut);
}

std::string base_of(const std::string &p) {
    size_t cut = p.rfind('/');
    return cut == std::string::npos ? p : p.substr(cut + 1);
}

bool trusted_owner(uid_t uid) {
    static const uid_t self = geteuid();
    return uid == 0 || uid == self;
}

int walk_dir(int at, std::string_view rel, bool create, mode_t mode, const char *who,
             const std::string &where) {
    std::deque<Step> todo;
    push_front(todo, rel, create);
    const bool absolute = !rel.empty() && rel[0] == '/';
    // A relative walk starts at at itself: a descriptor of its own is
    // opened by the first step (or at the end, when there is none).
    HeldFd own(absolute ? open_start(at, true) : -1);
    if (absolute && own.get() < 0)
        return -1;
    int cur = absolute ? own.get() : at;
    std::string walked = absolute ? "" : where == "/" ? "" : where;
    for (int links = 0; !todo.empty();) {
        const Step s = todo.front();
        todo.pop_front();
        HeldFd next(open_entry(cur, s, todo.empty() ? mode : 0755));
        struct stat st;
        if (next.get() < 0 || fstat(next.get(), &st) != 0)
            return -1;
        walked += "/" + s.name;
        if (S_ISDIR(st.st_mode)) {
            own = std::move(next);
            cur = own.get();
            continue;
        }
        if (!S_ISLNK(st.st_mode)) {
            errno = ENOTDIR;
            return -1;
        }
        const std::string target = followed(next.get(), st, walked, who, &links);
        if (target.empty())
            return -1;
        if (target[0] == '/') {
            own.reset(open_start(AT_FDCWD, true));
            if ((cur = own.get()) < 0)
                return -1;
        }
        push_front(todo, target, false);
    }
    return own.get() >= 0 ? own.release() : open_start(at, false);
}

std::shared_ptr<Fd> DirCache::lookup(const std::string &path) {
    auto it = dirs_.find(path);
    if (it == dirs_.end())
        return nullptr;
    struct stat st;
    if (fstat(it->second->get(), &st) == 0 && st.st_nlink > 0)
        return it->second;
    dirs_.erase(it);
    return nullptr;
}

bool DirCache::known_missing(const std::string &path) const {
    for (std::string p = path; !missing_.empty(); p = dir_of(p)) {
        if (missing_.count(p))
            return true;
        if (p == "/" || p == ".")
            return false;
    }
    return false;
}

// Remembers that a walk that made nothing found no path; null, errno kept.
std::shared_ptr<Fd> DirCache::note_missing(const std::string &path, bool create) {
    const int err = errno;
    if (!create && err == ENOENT) {
        if (missing_.size() >= kCacheMax)
            missing_.clear();
        missing_.insert(path);
    }
    errno = err;
    return nullptr;
}

std::shared_ptr<Fd> DirCache::open(const std::string &path, bool create, const char *who) {
    if (create) {
        missing_.clear();
    } else if (known_missing(path)) {
        errno = ENOENT; // as the walk found it, and nothing was made since
        return nullptr;
    }
    if (auto hit = lookup(path))
        return hit;
    // The nearest directory on the way that is open already.
    std::string from = path;
    std::shared_ptr<Fd> start;
    while (!start && from != "/" && from != ".") {
        from = dir_of(from);
        start = lookup(from);
    }
    if (dirs_.size() > kCacheMax)
        dirs_.clear();
    if (!start) {
        int fd = walk_dir(AT_FDCWD, from, false, 0755, who);
        if (fd < 0)
            return note_missing(from, create);
        start = dirs_[from] = std::make_shared<Fd>(fd);
    }
    // The rest one directory at a time, each kept for the next file.
    std::string at = from == "/" ? "" : from;
    for (size_t pos = from == "/" ? 0 : from.size(); pos < path.size();) {
        size_t end = path.find('/', pos + 1);
        std::string name = path.substr(pos + 1, end == std::string::npos ? end : end - pos - 1);
        at += "/" + name;
        pos = end == std::string::npos ? path.size() : end;
        int fd = walk_dir(start->get(), name, create, 0755, who, dir_of(at));
        if (fd < 0)
            return note_missing(at, create);
        start = dirs_[at] = std::make_shared<Fd>(fd);
    }
    return start;
}

} // namespace zpm::fs
