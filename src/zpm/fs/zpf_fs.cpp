// File-system helpers of the installer: putting a file into place with a
// backup of what it replaces, permission and link lists, tree removal and
// directory creation.  Every path comes from the caller.
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "cres.h"
#include "fsops.h"
#include "loglib.h"
#include "util.h"
#include "zpm.h"

namespace {

// Longest destination or backup path the copy accepts, and longest field of
// a permission or link list line.
constexpr size_t kPathMax = 2048;
constexpr size_t kFieldMax = 2048;
constexpr size_t kCopyBufSize = 64 * 1024;
// Room kept for the temporary name's prefix and suffix within NAME_MAX.
constexpr size_t kTmpBaseMax = 200;

int clamp_int(off_t n) {
    return n > INT_MAX ? INT_MAX : (int)n;
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

// Creates path with mode and its missing parents with 0755.  Stops at an
// existing entry: its parents exist too, so climbing further changes nothing.
void make_dirs(const std::string &path, int mode) {
    if (path.empty())
        return;
    if (mkdir(path.c_str(), (mode_t)mode) == 0 || errno != ENOENT)
        return;
    size_t cut = path.rfind('/');
    if (cut == std::string::npos)
        return;
    make_dirs(path.substr(0, cut), 0755);
    mkdir(path.c_str(), (mode_t)mode);
}

// A new file beside its final name, removed unless it was moved into place.
class TempFile {
  public:
    ~TempFile() {
        fd_.reset();
        if (!path_.empty())
            unlink(path_.c_str());
    }
    bool create(const std::string &target) {
        std::string name =
            dir_of(target) + "/." + base_of(target).substr(0, kTmpBaseMax) + ".zpmXXXXXX";
        std::vector<char> buf(name.begin(), name.end());
        buf.push_back('\0');
        int fd = mkostemp(buf.data(), O_CLOEXEC);
        if (fd < 0)
            return false;
        fd_ = std::make_unique<Fd>(fd);
        path_ = buf.data();
        return true;
    }
    int fd() const { return fd_->get(); }
    // Closes the file and renames it to target; errno tells why on failure.
    bool commit(const std::string &target) {
        if (fd_->close_now() != 0 || rename(path_.c_str(), target.c_str()) != 0)
            return false;
        path_.clear();
        return true;
    }

  private:
    std::unique_ptr<Fd> fd_;
    std::string path_;
};

bool write_all(int fd, const char *p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            if (w == 0)
                errno = EIO;
            return false;
        }
        p += w;
        n -= (size_t)w;
    }
    return true;
}

// Copies everything from in to out.  Returns 0, or 'r' / 'w' for the side
// that failed (errno set).
int copy_fd(int in, int out, off_t &total) {
    std::unique_ptr<char[]> buf(new char[kCopyBufSize]);
    total = 0;
    for (;;) {
        ssize_t r = read(in, buf.get(), kCopyBufSize);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return 'r';
        if (r == 0)
            return 0;
        if (!write_all(out, buf.get(), (size_t)r))
            return 'w';
        total += r;
    }
}

// Writes the content of src_fd (read from src_name) to target under a
// temporary name, sets mode and renames it into place.  Returns 0 or -1.
int write_file_from(int src_fd, const char *src_name, const std::string &target, mode_t mode,
                    off_t &written) {
    TempFile tmp;
    if (!tmp.create(target)) {
        zlogf(ZLOG_ERROR, "Failed to open %s for writing: %s\n", target.c_str(), strerror(errno));
        return -1;
    }
    int side = copy_fd(src_fd, tmp.fd(), written);
    if (side) {
        zlogf(ZLOG_ERROR, "Failed to %s %s: %s\n", side == 'r' ? "read" : "write",
              side == 'r' ? src_name : target.c_str(), strerror(errno));
        return -1;
    }
    zlogf(ZLOG_DEBUG, "Wrote %d bytes to %s\n", clamp_int(written), target.c_str());
    if (fchmod(tmp.fd(), mode) != 0)
        zlogf(ZLOG_WARNING, "Failed to set permission on %s: %s\n", target.c_str(),
              strerror(errno));
    if (!tmp.commit(target)) {
        zlogf(ZLOG_ERROR, "Failed to move new content into place at %s: %s\n", target.c_str(),
              strerror(errno));
        return -1;
    }
    return 0;
}

} // namespace

int zpm::fs::list_backup(const std::string &bkp_base, const char *path) {
    std::string index = bkp_base + "/index.txt";
    Fd fd(open(index.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
    if (fd.get() < 0) {
        zlogf(ZLOG_ERROR, "Failed to open %s for writing: %s\n", index.c_str(), strerror(errno));
        return -1;
    }
    struct stat st;
    std::string line = std::string(path) + "\n";
    bool ok = fstat(fd.get(), &st) == 0;
    if (ok && !write_all(fd.get(), line.data(), line.size())) {
        int err = errno;
        if (ftruncate(fd.get(), st.st_size) != 0)
            zlogf(ZLOG_ERROR, "Failed to cut back %s: %s\n", index.c_str(), strerror(errno));
        errno = err;
        ok = false;
    }
    if (fd.close_now() != 0)
        ok = false;
    if (!ok)
        zlogf(ZLOG_ERROR, "Failed to write %s: %s\n", index.c_str(), strerror(errno));
    return ok ? 0 : -1;
}

namespace {

// Saves the regular file dst at bkp_base + dst and lists it in the index.
int backup_target(const char *dst, const char *bkp_base, const struct stat &dst_st) {
    std::string bkp = std::string(bkp_base) + dst;
    make_dirs(dir_of(bkp), 0755);
    zlogf(ZLOG_DEBUG, "Backing up %s to %s\n", dst, bkp.c_str());
    Fd in(open(dst, O_RDONLY | O_CLOEXEC));
    if (in.get() < 0) {
        zlogf(ZLOG_ERROR, "Failed to open %s for reading: %s\n", dst, strerror(errno));
        return -1;
    }
    off_t written = 0;
    if (write_file_from(in.get(), dst, bkp, dst_st.st_mode & 07777, written) != 0)
        return -1;
    return zpm::fs::list_backup(bkp_base, dst);
}

enum class Target { Absent, Link, Regular, Refused };

Target examine_target(const char *dst, struct stat &st) {
    zlogf(ZLOG_DEBUG, "zpm_zpf_copy: checking existence of %s", dst);
    if (lstat(dst, &st) != 0) {
        zlogf(ZLOG_DEBUG, "zpm_zpf_copy: %s does not exist, no backup necessary", dst);
        return Target::Absent;
    }
    zlogf(ZLOG_DEBUG, "zpm_zpf_copy: %s exists", dst);
    if (S_ISLNK(st.st_mode)) {
        // The rename below replaces the link itself, never what it points to.
        zlogf(ZLOG_INFO, "Removing existing symbolic link %s", dst);
        return Target::Link;
    }
    if (!S_ISREG(st.st_mode)) {
        zlogf(ZLOG_ERROR, "%s is not a regular file, refusing to remove it", dst);
        return Target::Refused;
    }
    return Target::Regular;
}

mode_t creation_mode() {
    mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

// Writes the content of src to dst (whose directory is made when missing).
int write_target(const char *dst, const char *src, int keep_mode, const struct stat &src_st,
                 bool dst_absent) {
    Fd in(open(src, O_RDONLY | O_CLOEXEC));
    if (in.get() < 0) {
        zlogf(ZLOG_ERROR, "Failed to open %s for reading: %s\n", src, strerror(errno));
        return -1;
    }
    std::string target(dst);
    if (dst_absent)
        make_dirs(dir_of(target), 0755);
    mode_t mode = keep_mode == 1  ? src_st.st_mode & 07777
                  : keep_mode > 1 ? (mode_t)keep_mode & 07777
                                  : creation_mode();
    off_t written = 0;
    if (write_file_from(in.get(), src, target, mode, written) != 0)
        return -1;
    return clamp_int(written);
}

// After moving a staged file into place, make it what a copy would have
// made: owned by the running process and modified now.
void settle_moved(const char *dst, const struct stat &src_st) {
    static const uid_t uid = geteuid();
    static const gid_t gid = getegid();
    if (src_st.st_uid != uid || src_st.st_gid != gid) {
        if (chown(dst, uid, gid) != 0)
            zlogf(ZLOG_WARNING, "Failed to set owner of %s: %s\n", dst, strerror(errno));
        else if (src_st.st_mode & (S_ISUID | S_ISGID))
            // A change of owner drops the set-id bits; the copy keeps them.
            chmod(dst, src_st.st_mode & 07777);
    }
    if (utimensat(AT_FDCWD, dst, nullptr, 0) != 0)
        zlogf(ZLOG_WARNING, "Failed to set the time of %s: %s\n", dst, strerror(errno));
}

void log_backup_base(const char *bkp_base) {
    if (bkp_base)
        zlogf(ZLOG_DEBUG, "zpm_zpf_copy: backup base is %s, will backup target", bkp_base);
    else
        zlogf(ZLOG_DEBUG, "zpm_zpf_copy: backup base is NULL, will not backup target");
}

bool paths_fit(const char *dst, const char *bkp_base) {
    size_t n = strlen(dst) + (bkp_base ? strlen(bkp_base) : 0);
    if (n < kPathMax)
        return true;
    zlogf(ZLOG_ERROR, "zpm_zpf_copy: path too long (%zu characters): %.200s...", n, dst);
    return false;
}

enum class How { Copy, Move, Link };

// Puts the staged file src at dst without copying its content: renamed
// there, or (to keep the stage's copy) given a second name beside dst that
// is renamed over it.  false when the file system refuses.
bool put_staged(const char *dst, const char *src, How how) {
    if (how == How::Move)
        return rename(src, dst) == 0;
    static const std::string pid = std::to_string(getpid());
    const std::string d = dir_of(dst);
    const std::string tmp = (d == "/" ? "" : d) + "/." + base_of(dst) + ".zpm-" + pid;
    if (link(src, tmp.c_str()) != 0)
        return false;
    if (rename(tmp.c_str(), dst) == 0)
        return true;
    int err = errno;
    unlink(tmp.c_str());
    errno = err;
    return false;
}

// The shared road of copy and place once the source is known.
int put_file(const char *dst, const char *src, const char *bkp_base, int keep_mode,
             const struct stat &src_st, How how) {
    struct stat dst_st;
    Target t = examine_target(dst, dst_st);
    if (t == Target::Refused)
        return -1;
    if (t == Target::Regular && bkp_base && backup_target(dst, bkp_base, dst_st) != 0)
        return -1;
    zlogf(ZLOG_DEBUG, "Copying %s to %s\n", src, dst);
    if (how != How::Copy) {
        // Files of a package come directory by directory; should the
        // directory made last have gone meanwhile, the copy below makes it.
        static std::string made;
        if (t == Target::Absent && dir_of(dst) != made) {
            made = dir_of(dst);
            make_dirs(made, 0755);
        }
        if (put_staged(dst, src, how)) {
            settle_moved(dst, src_st);
            zlogf(ZLOG_DEBUG, "Wrote %d bytes to %s\n", clamp_int(src_st.st_size), dst);
            return clamp_int(src_st.st_size);
        }
        zlogf(ZLOG_DEBUG, "Cannot move %s to %s (%s), copying it", src, dst, strerror(errno));
    }
    return write_target(dst, src, keep_mode, src_st, t == Target::Absent);
}

} // namespace

extern "C" int zpm_zpf_copy(const char *dst_full, const char *src_name, const char *bkp_base,
                            int keep_mode, int keep_time, int keep_user) {
    (void)keep_time; // the copy always carries the current time and our ownership
    (void)keep_user;
    log_backup_base(bkp_base);
    if (!dst_full || !src_name || !paths_fit(dst_full, bkp_base))
        return -1;
    struct stat src_st;
    if (stat(src_name, &src_st) != 0) {
        zlogf(ZLOG_ERROR, "Failed to stat %s: %s\n", src_name, strerror(errno));
        return -1;
    }
    return put_file(dst_full, src_name, bkp_base, keep_mode, src_st, How::Copy);
}

extern "C" int zpm_zpf_place(const char *dst_full, const char *src_name, const char *bkp_base,
                             int keep_source) {
    struct stat src_st;
    // Only a plain file with no other name can be moved without anyone noticing.
    if (!dst_full || !src_name || lstat(src_name, &src_st) != 0 || !S_ISREG(src_st.st_mode) ||
        src_st.st_nlink != 1)
        return zpm_zpf_copy(dst_full, src_name, bkp_base, 1, 0, 0);
    log_backup_base(bkp_base);
    if (!paths_fit(dst_full, bkp_base))
        return -1;
    return put_file(dst_full, src_name, bkp_base, 1, src_st, keep_source ? How::Link : How::Move);
}

extern "C" void zpm_zpf_mkdir(char *pathname, int mode) {
    if (!pathname)
        return;
    if (char *slash = last_char_is(pathname, '/'))
        *slash = '\0';
    make_dirs(pathname, mode);
}

namespace {

int remove_tree(const std::string &path) {
    std::vector<std::string> names;
    {
        Dir dir(opendir(path.c_str()));
        if (!dir)
            return -1;
        while (struct dirent *e = readdir(dir.get()))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                names.emplace_back(e->d_name);
        if (closedir(dir.release()) != 0) {
            zlogf(ZLOG_ERROR, "can't close '%s'", path.c_str());
            return -1;
        }
    }
    // Entries are read first and removed afterwards, so the listing never
    // sees a directory that changes under it; a failure does not stop the rest.
    const char *sep = last_char_is(path.c_str(), '/') ? "" : "/";
    bool failed = false;
    for (const std::string &name : names)
        if (zpm_zpf_rmdir((path + sep + name).c_str()) != 0)
            failed = true;
    if (rmdir(path.c_str()) != 0) {
        zlogf(ZLOG_ERROR, "can't remove '%s'", path.c_str());
        return -1;
    }
    return failed ? -1 : 0;
}

} // namespace

extern "C" int zpm_zpf_rmdir(const char *path) {
    struct stat st;
    if (!path)
        return -1;
    if (lstat(path, &st) != 0) {
        if (errno == ENOENT)
            return 0;
        zlogf(ZLOG_ERROR, "can't stat '%s'", path);
        return -1;
    }
    if (S_ISDIR(st.st_mode))
        return remove_tree(path);
    if (unlink(path) != 0) {
        zlogf(ZLOG_ERROR, "can't remove '%s'", path);
        return -1;
    }
    return 0;
}

namespace {

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
    rc = chmod(file.c_str(), mode) == 0 ? 0 : -1;
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
    bool skip = false; // the last directory entry could not be entered
    int rc = 0;        // result of the last file-system call for an entry
};

void enter_link_dir(LinkWalk &w, const std::string &dir) {
    struct stat st;
    w.rc = stat(dir.c_str(), &st) == 0 ? 0 : -1;
    if (w.rc != 0)
        make_dirs(dir, 0755);
    if (chdir(dir.c_str()) != 0) {
        zlogf(ZLOG_ERROR,
              "zpm_zpf_links: Failed to change to directory %s, skipping everything until the "
              "next directory entry",
              dir.c_str());
        w.skip = true;
    } else {
        zlogf(ZLOG_DEBUG, "zpm_zpf_links: Changed to directory %s.", dir.c_str());
        w.skip = false;
    }
}

void remove_link(LinkWalk &w, const std::string &name) {
    zlogf(ZLOG_DEBUG, "zpm_zpf_links: Will remove symbolic link named %s", name.c_str());
    struct stat st;
    w.rc = lstat(name.c_str(), &st) == 0 ? 0 : -1;
    if (w.rc != 0) {
        zlogf(ZLOG_DEBUG, "zpm_zpf_links: %s does not exist, or is not accessible: %s",
              name.c_str(), strerror(errno));
    } else if (!S_ISLNK(st.st_mode)) {
        zlogf(ZLOG_DEBUG,
              "zpm_zpf_links: %s exists, but is not a symbolic link, refusing to delete",
              name.c_str());
    } else if ((w.rc = unlink(name.c_str()) == 0 ? 0 : -1) != 0) {
        zlogf(ZLOG_DEBUG, "zpm_zpf_links: Failed to remove symbolic link named %s: %s",
              name.c_str(), strerror(errno));
    }
}

void create_link(LinkWalk &w, const std::string &target, const std::string &name) {
    zlogf(ZLOG_DEBUG, "zpm_zpf_links: Will create symbolic link named %s pointing to %s",
          name.c_str(), target.c_str());
    w.rc = symlink(target.c_str(), name.c_str()) == 0 ? 0 : -1;
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
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd)) {
        zlogf(ZLOG_ERROR, "zpm_zpf_links: Failed to read pwd");
        return -1;
    }
    File f(link_filename ? fopen(link_filename, "re") : nullptr);
    if (!f) {
        zlogf(ZLOG_ERROR, "zpm_zpf_links: Failed to open link file %s",
              link_filename ? link_filename : "(null)");
        return -1;
    }
    LinkWalk w{del, create};
    walk_list(f.get(), "zpm_zpf_links", link_filename, 3,
              [&w](const std::vector<std::string> &fl) { apply_link(w, fl[0], fl[1], fl[2]); });
    f.reset();
    if (chdir(cwd) != 0) {
        zlogf(ZLOG_ERROR, "Failed to change to initial directory %s", cwd);
        return -1;
    }
    return w.rc;
}
