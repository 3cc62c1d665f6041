// The permission list and the link list of a package (fsops.h).  Both act
// relative to directory descriptors and never through a link: a mode is never
// set on what a link points to, and a link is made or removed only in the
// directory the list names, reached without following anyone else's link.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "cres.h"
#include "fsops.h"
#include "fswalk.h"
#include "loglib.h"

using zpm::fs::HeldFd;

namespace {

// Longest field of a permission or link list line.
constexpr size_t kFieldMax = 2048;
constexpr int kLineBufSize = 4096;

enum class Line { End, Ok, TooLong };

// Reads one list line without its line feed.  A line longer than the buffer
// is consumed whole and reported, never split into two entries.
Line read_list_line(FILE *f, char (&buf)[kLineBufSize]) {
    if (!fgets(buf, sizeof buf, f))
        return Line::End;
    size_t n = strlen(buf);
    if (n && buf[n - 1] == '\n') {
        buf[n - 1] = '\0';
        return Line::Ok;
    }
    if (n < sizeof buf - 1 || feof(f))
        return Line::Ok;
    int c;
    while ((c = fgetc(f)) != EOF && c != '\n') {
    }
    return Line::TooLong;
}

// The first count fields of a '|'-separated line; missing fields are empty
// and whatever follows the last field is ignored.  False when a field is
// longer than the lists allow.
bool split_fields(const char *line, size_t count, std::vector<std::string> &fields) {
    fields.assign(count, std::string());
    std::string_view rest(line);
    for (size_t i = 0; i < count && !rest.empty(); i++) {
        size_t bar = rest.find('|');
        fields[i] = std::string(rest.substr(0, bar));
        if (fields[i].size() > kFieldMax)
            return false;
        rest = bar == std::string_view::npos ? std::string_view() : rest.substr(bar + 1);
    }
    return true;
}

// Reads each usable line of list and hands its fields to apply; returns
// nothing itself, the callers keep their own result.
template <class Apply>
void walk_list(FILE *f, const char *who, const char *list, size_t count, Apply apply) {
    char buf[kLineBufSize];
    std::vector<std::string> fields;
    Line got;
    for (int no = 1; (got = read_list_line(f, buf)) != Line::End; no++) {
        if (got == Line::TooLong) {
            zlogf(ZLOG_ERROR, "%s: Skipping overlong line no %d in %s", who, no, list);
        } else if (!buf[0]) {
            zlogf(ZLOG_DEBUG, "%s: Skipping empty line no %d in %s", who, no, list);
        } else if (!split_fields(buf, count, fields)) {
            zlogf(ZLOG_ERROR,
                  "%s: Skipping line no %d in %s, a field is longer than %zu characters", who, no,
                  list, kFieldMax);
        } else {
            apply(fields);
        }
    }
}

// Octal mode of a permission entry, converted as strtoul does; false when
// characters are left over after the number.
bool parse_mode(const std::string &text, mode_t *mode) {
    errno = 0;
    char *end = nullptr;
    unsigned long v = strtoul(text.c_str(), &end, 8);
    if (end == text.c_str() || *end)
        return false;
    *mode = static_cast<mode_t>(v);
    return true;
}

// The directory of path (relative to at) and the name in it; -1 with errno.
int open_parent(int at, const std::string &path, std::string &leaf, const char *who) {
    leaf = zpm::fs::base_of(path);
    if (leaf.empty())
        leaf = ".";
    if (path.find('/') == std::string::npos)
        return openat(at, ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    return zpm::fs::walk_dir(at, zpm::fs::dir_of(path), false, 0755, who);
}

// chmod of path that never acts on what a link points to: the entry itself
// is pinned with O_PATH.  A regular file or directory is then opened through
// the pinned entry and changed by its descriptor (this works in a target root
// without /proc); anything else (a device, whose open could act) is changed
// through /proc.
int set_mode(const std::string &path, mode_t mode) {
    std::string leaf;
    HeldFd dir(open_parent(AT_FDCWD, path, leaf, "zpm_zpf_perms"));
    if (dir.get() < 0)
        return -1;
    HeldFd fd(openat(dir.get(), leaf.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0)
        return -1;
    if (S_ISLNK(st.st_mode)) {
        errno = ELOOP;
        return -1;
    }
    const std::string pinned = "/proc/self/fd/" + std::to_string(fd.get());
    if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) {
        HeldFd open_fd(
            openat(dir.get(), leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat now;
        if (open_fd.get() >= 0 && fstat(open_fd.get(), &now) == 0 && now.st_dev == st.st_dev &&
            now.st_ino == st.st_ino)
            return fchmod(open_fd.get(), mode);
    }
    return chmod(pinned.c_str(), mode);
}

void apply_perm(const std::string &file, const std::string &mode_text, int &rc) {
    if (!file.empty())
        zlogf(ZLOG_DEBUG, "zpm_zpf_perms: Got file %s", file.c_str());
    if (!mode_text.empty())
        zlogf(ZLOG_DEBUG, "zpm_zpf_perms: Got mode %s", mode_text.c_str());
    zlogf(ZLOG_DEBUG, "zpm_zpf_perms: line was parsed as: file=<%s>,mode=<%s>", file.c_str(),
          mode_text.c_str());
    if (file.empty() || mode_text.empty()) {
        zlogf(ZLOG_DEBUG, "zpm_zpf_perms: Skipping entry, file or mode not properly specified");
        return;
    }
    zlogf(ZLOG_DEBUG, "zpm_zpf_perms: Will set mode of %s to %s", file.c_str(), mode_text.c_str());
    mode_t mode = 0;
    if (!parse_mode(mode_text, &mode)) {
        zlogf(ZLOG_ERROR,
              "zpm_zpf_perms: Failed to convert mode %s for %s to something meaningful: %s",
              mode_text.c_str(), file.c_str(), strerror(errno));
        return;
    }
    rc = set_mode(file, mode) == 0 ? 0 : -1;
    if (rc != 0)
        zlogf(ZLOG_ERROR, "zpm_zpf_perms: Failed to set mode of %s to %s: %s", file.c_str(),
              mode_text.c_str(), strerror(errno));
}

} // namespace

extern "C" int zpm_zpf_perms(const char *perm_filename) {
    File f(perm_filename ? fopen(perm_filename, "re") : nullptr);
    if (!f) {
        zlogf(ZLOG_ERROR, "zpm_zpf_perms: Failed to open perm file %s",
              perm_filename ? perm_filename : "(null)");
        return -1;
    }
    int rc = 0;
    walk_list(f.get(), "zpm_zpf_perms", perm_filename, 2,
              [&rc](const std::vector<std::string> &fl) { apply_perm(fl[0], fl[1], rc); });
    return rc;
}

namespace {

struct LinkWalk {
    int del;
    int create;
    HeldFd cur;        // the directory of the last directory entry
    bool skip = false; // the last directory entry could not be entered
    int rc = 0;        // result of the last file-system call for an entry
};

void enter_link_dir(LinkWalk &w, const std::string &dir) {
    HeldFd d(zpm::fs::walk_dir(w.cur.get(), dir, false, 0755, "zpm_zpf_links"));
    w.rc = d.get() >= 0 ? 0 : -1;
    if (d.get() < 0 && errno == ENOENT)
        d.reset(zpm::fs::walk_dir(w.cur.get(), dir, true, 0755, "zpm_zpf_links"));
    if (d.get() < 0) {
        zlogf(ZLOG_ERROR,
              "zpm_zpf_links: Failed to change to directory %s, skipping everything until the "
              "next directory entry",
              dir.c_str());
        w.skip = true;
    } else {
        zlogf(ZLOG_DEBUG, "zpm_zpf_links: Changed to directory %s.", dir.c_str());
        w.cur = std::move(d);
        w.skip = false;
    }
}

void remove_link(LinkWalk &w, const std::string &name) {
    zlogf(ZLOG_DEBUG, "zpm_zpf_links: Will remove symbolic link named %s", name.c_str());
    std::string leaf;
    HeldFd dir(open_parent(w.cur.get(), name, leaf, "zpm_zpf_links"));
    struct stat st;
    w.rc =
        dir.get() >= 0 && fstatat(dir.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : -1;
    if (w.rc != 0) {
        zlogf(ZLOG_DEBUG, "zpm_zpf_links: %s does not exist, or is not accessible: %s",
              name.c_str(), strerror(errno));
    } else if (!S_ISLNK(st.st_mode)) {
        zlogf(ZLOG_DEBUG,
              "zpm_zpf_links: %s exists, but is not a symbolic link, refusing to delete",
              name.c_str());
    } else if ((w.rc = unlinkat(dir.get(), leaf.c_str(), 0) == 0 ? 0 : -1) != 0) {
        zlogf(ZLOG_DEBUG, "zpm_zpf_links: Failed to remove symbolic link named %s: %s",
              name.c_str(), strerror(errno));
    }
}

void create_link(LinkWalk &w, const std::string &target, const std::string &name) {
    zlogf(ZLOG_DEBUG, "zpm_zpf_links: Will create symbolic link named %s pointing to %s",
          name.c_str(), target.c_str());
    std::string leaf;
    HeldFd dir(open_parent(w.cur.get(), name, leaf, "zpm_zpf_links"));
    w.rc = dir.get() >= 0 && symlinkat(target.c_str(), dir.get(), leaf.c_str()) == 0 ? 0 : -1;
    if (w.rc != 0)
        zlogf(ZLOG_ERROR,
              "zpm_zpf_links: Failed to create symbolic link named %s pointing to %s: %s",
              name.c_str(), target.c_str(), strerror(errno));
}

void apply_link(LinkWalk &w, const std::string &dir, const std::string &target,
                const std::string &name) {
    if (!dir.empty())
        zlogf(ZLOG_DEBUG, "zpm_zpf_links: Got directory %s, will change to that", dir.c_str());
    if (!target.empty())
        zlogf(ZLOG_DEBUG, "zpm_zpf_links: Got link target %s", target.c_str());
    if (!name.empty())
        zlogf(ZLOG_DEBUG, "zpm_zpf_links: Got link name %s", name.c_str());
    zlogf(ZLOG_DEBUG, "zpm_zpf_links: line was parse as: dir=<%s>,ent=<%s>,lnk=<%s>", dir.c_str(),
          target.c_str(), name.c_str());
    if (!dir.empty())
        enter_link_dir(w, dir);
    if (target.empty() || name.empty())
        return;
    if (w.skip) {
        zlogf(ZLOG_DEBUG, "zpm_zpf_links: Skipping entry, as directory could not be reached");
        return;
    }
    if (w.del)
        remove_link(w, name);
    if (w.create)
        create_link(w, target, name);
}

} // namespace

extern "C" int zpm_zpf_links(const char *link_filename, int del, int create) {
    // Directory entries resolve from the working directory, which is never
    // changed: the walk keeps its own.
    HeldFd start(open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (start.get() < 0) {
        zlogf(ZLOG_ERROR, "zpm_zpf_links: Failed to read pwd");
        return -1;
    }
    File f(link_filename ? fopen(link_filename, "re") : nullptr);
    if (!f) {
        zlogf(ZLOG_ERROR, "zpm_zpf_links: Failed to open link file %s",
              link_filename ? link_filename : "(null)");
        return -1;
    }
    LinkWalk w{del, create, std::move(start)};
    walk_list(f.get(), "zpm_zpf_links", link_filename, 3,
              [&w](const std::vector<std::string> &fl) { apply_link(w, fl[0], fl[1], fl[2]); });
    return w.rc;
}
