// Unpacking a payload below a directory descriptor.  Every member is
// written with *at() calls that never follow a link, every write, mode,
// time and close is checked, and a digest is remembered only for a file
// whose every byte was written and which closed without error.
#include <archive.h>
#include <archive_entry.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>
#include <vector>

#include "cres.h"
#include "digest_memo.h"
#include "loglib.h"
#include "sha1.h"
#include "util.h"
#include "zpf_hasher.h"
#include "zpf_tree.h"

namespace zpm::pkg {

namespace {

bool has_dotdot(const char *path) {
    const char *p = path;
    while (*p) {
        const char *end = strchrnul(p, '/');
        if (end - p == 2 && p[0] == '.' && p[1] == '.')
            return true;
        p = *end ? end + 1 : end;
    }
    return false;
}

// A name that is absolute or climbs with ".." would land outside the target.
bool name_escapes(const char *path) {
    return !path || path[0] == '/' || has_dotdot(path) || components(path).empty();
}

void refuse(const char *why, const char *path) {
    zlogf(ZLOG_ERROR, "Failed to write header by archive_write_header: %s: %s", why, path);
}

void write_failed(const char *path) {
    zlogf(ZLOG_ERROR, "Failed to copy data: %s: %s", path, strerror(errno));
}

void finish_failed(const char *path) {
    zlogf(ZLOG_ERROR, "Failed to write archive by archive_write_finish_entry: %s: %s", path,
          strerror(errno));
}

// The directories of the tree, opened without following links and made
// when missing.  The chain of the directory last asked for stays open, so a
// member beside or below the one before costs no walk from the top.  The
// chain holds only directories reached by O_NOFOLLOW opens, and it is cut
// back to the part in common before each use: the leaf a member writes (a
// file, a link) is never one of its components.
class Dirs {
  public:
    explicit Dirs(int root) : root_(root) {}

    // The directory reached through the first n components; -1 (errno set).
    int get(const std::vector<std::string> &comps, size_t n, bool create) {
        size_t keep = 0;
        while (keep < chain_.size() && keep < n && chain_[keep].name == comps[keep])
            keep++;
        chain_.erase(chain_.begin() + static_cast<std::ptrdiff_t>(keep), chain_.end());
        far_ = Fd();
        Opened o{-1, chain_.empty() ? root_empty_ : chain_.back().made, false};
        while (chain_.size() < std::min(n, kHeld)) {
            int at = chain_.empty() ? root_ : chain_.back().fd.get();
            o = descend(at, comps[chain_.size()].c_str(), create, o.made);
            // A name found there: the root is not taken for empty any more.
            root_empty_ = root_empty_ && (at != root_ || o.made);
            if (o.fd < 0)
                return -1;
            chain_.push_back({comps[chain_.size()], Fd(o.fd), o.made, o.readable});
        }
        // Deeper than the chain holds: walked each time, one level open.
        for (size_t i = chain_.size(); i < n; i++) {
            int at = i == kHeld ? chain_.back().fd.get() : far_.get();
            o = descend(at, comps[i].c_str(), create, o.made);
            far_ = Fd(o.fd);
            if (o.fd < 0)
                return -1;
        }
        last_readable_ = n == 0 ? false : n > kHeld ? o.readable : chain_.back().readable;
        return n == 0 ? root_ : n > kHeld ? far_.get() : chain_.back().fd.get();
    }
    // From now on a directory is opened for reading where it may be, so that
    // its own descriptor can take its mode and times.
    void want_readable() {
        chain_.clear();
        readable_ = true;
    }
    // Whether the directory get() gave last is open for reading.
    bool last_readable() const { return last_readable_; }

  private:
    static constexpr size_t kHeld = 64;
    struct Held {
        std::string name;
        Fd fd;
        bool made;     // made by this unpacking: a name in it is new unless made since
        bool readable; // open for reading, not only for the walk (O_PATH)
    };
    struct Opened {
        int fd;
        bool made;
        bool readable;
    };

    // Opens name in fd as a directory, making it when missing.  In a
    // directory made just now (made) the name is made straight away; should
    // that fail, the usual way gives the usual outcome.
    Opened descend(int fd, const char *name, bool create, bool made) const {
        constexpr int kFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
        if (readable_ && !create) {
            int next = openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (next >= 0 || errno != EACCES)
                return {next, false, true};
        }
        if (create && made && mkdirat(fd, name, 0755) == 0)
            return {openat(fd, name, kFlags), true, false};
        int next = openat(fd, name, kFlags);
        if (next >= 0 || errno != ENOENT || !create)
            return {next, false, false};
        if (mkdirat(fd, name, 0755) == 0)
            made = true;
        else if (errno != EEXIST)
            return {-1, false, false};
        return {openat(fd, name, kFlags), made, false};
    }
    int root_;
    std::vector<Held> chain_;
    Fd far_;
    bool readable_ = false;
    bool last_readable_ = false;
    // Taken for empty (the stage is made afresh) until a name is found in it.
    bool root_empty_ = true;
};

// The digest of a file, taken from the bytes as they were written.
struct BlockDigest {
    SHA1_CTX ctx;
    la_int64_t next = 0;
    bool in_order = true;
    BlockDigest() { SHA1Init(&ctx); }
    void add(const void *buf, size_t size, la_int64_t offset) {
        if (!in_order || offset != next || size > UINT32_MAX) {
            in_order = false;
            return;
        }
        SHA1Update(&ctx, static_cast<const unsigned char *>(buf), static_cast<uint32_t>(size));
        next += static_cast<la_int64_t>(size);
    }
    std::string hex() { return zpm::sha1_final_hex(ctx); }
};

// Writes n bytes at offset at, seeking only when the data does not follow on
// (a sparse member): short writes are completed, a write of nothing fails.
bool write_at(int fd, const char *p, size_t n, off_t at, off_t *pos) {
    if (at != *pos && lseek(fd, at, SEEK_SET) != at)
        return false;
    if (!zpm::write_all(fd, p, n))
        return false;
    *pos = at + static_cast<off_t>(n);
    return true;
}

// A file's mode and modification time, then its close: all must succeed.
bool settle(Fd &fd, mode_t mode, const struct timespec &mtime, const char *path, struct stat *st) {
    const struct timespec times[2] = {mtime, mtime};
    bool ok = fchmod(fd.get(), mode & 07777) == 0 && futimens(fd.get(), times) == 0 &&
              fstat(fd.get(), st) == 0;
    if (!ok)
        finish_failed(path);
    // Writeback starts now, beside the rest of the unpacking, so that the
    // sync after placing finds the data mostly on disk.  A hint: its failure
    // leaves the work to that sync.
    if (ok && st->st_size > 0)
        sync_file_range(fd.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
    if (fd.close_now() != 0) {
        finish_failed(path);
        ok = false;
    }
    return ok;
}

// Removes what stands at name (an earlier member of the same name), never a
// directory.
bool clear_name(int dir, const std::string &name, const char *path) {
    if (unlinkat(dir, name.c_str(), 0) == 0 || errno == ENOENT)
        return true;
    refuse(errno == EISDIR ? "a member would replace a directory" : strerror(errno), path);
    return false;
}

// Remembers the digests of the files written, for the check after the
// unpacking.  Payloads that name a file twice or join files by hard links
// are not remembered at all: there a name may not hold what was hashed.
struct Remembered {
    bool usable = true;
    std::unordered_set<std::string> names;
    bool wants(archive_entry *e) {
        if (!usable)
            return false;
        if (archive_entry_hardlink(e) || !names.insert(archive_entry_pathname(e)).second) {
            usable = false;
            zpm::memo::clear();
            return false;
        }
        return archive_entry_filetype(e) == AE_IFREG;
    }
    void record(const struct stat &st, BlockDigest &d) {
        if (usable && d.in_order && d.next == st.st_size)
            zpm::memo::record(st, d.hex());
    }
    void record(const std::vector<std::pair<struct stat, std::string>> &digests) {
        for (const auto &[st, hex] : digests)
            if (usable)
                zpm::memo::record(st, hex);
    }
};

// A file whose digest is being taken: dropped unless it ends written whole.
struct Hashing {
    Hasher *h;
    bool ended = false;
    explicit Hashing(Hasher *hasher) : h(hasher) {
        if (h)
            h->begin();
    }
    ~Hashing() {
        if (h && !ended)
            h->drop();
    }
    Hashing(const Hashing &) = delete;
    Hashing &operator=(const Hashing &) = delete;
    void end(const struct stat &st) {
        if (h)
            h->end(st);
        ended = true;
    }
};

struct DirFix {
    std::vector<std::string> comps;
    mode_t mode;
    struct timespec mtime;
};

class Unpacker {
  public:
    Unpacker(archive *r, int root) : r_(r), root_(root), dirs_(root) {}
    bool entry(archive_entry *e);
    bool finish();
    void drop_links();
    // Remembers the digests of the regular files written (waiting for them).
    void remember() { memo_.record(hasher_.results()); }

  private:
    const char *check(archive_entry *e);
    bool hardlink(archive_entry *e, const char *path, int dir, const std::string &leaf);
    bool regular(archive_entry *e, const char *path, int dir, const std::string &leaf, int flags,
                 bool remember);
    bool copy_data(int fd, archive_entry *e, const char *path, bool hash);
    bool settle_link(const std::string &path);
    bool copy_file(int src, int dir, const std::string &leaf, const std::string &path);
    bool fix_dirs();

    archive *r_;
    int root_;
    Dirs dirs_;
    Remembered memo_;
    Hasher hasher_;
    std::vector<std::string> links_;
    std::vector<DirFix> fixes_;
};

// Why an entry must not be written, or nullptr when it may be.
const char *Unpacker::check(archive_entry *e) {
    if (name_escapes(archive_entry_pathname(e)))
        return "member name leaves the target directory";
    if (archive_entry_hardlink(e))
        return name_escapes(archive_entry_hardlink(e))
                   ? "hard link target leaves the target directory"
                   : nullptr;
    switch (archive_entry_filetype(e)) {
    case AE_IFREG:
    case AE_IFDIR:
        return nullptr;
    case AE_IFLNK:
        return archive_entry_symlink(e) && *archive_entry_symlink(e) ? nullptr
                                                                     : "empty symbolic link";
    default:
        return "device nodes, FIFOs and sockets are not installed";
    }
}

bool Unpacker::copy_data(int fd, archive_entry *e, const char *path, bool hash) {
    const void *buf;
    size_t size;
    la_int64_t offset, end = 0;
    off_t pos = 0;
    for (;;) {
        int rc = archive_read_data_block(r_, &buf, &size, &offset);
        if (rc == ARCHIVE_EOF)
            break;
        if (rc != ARCHIVE_OK) {
            zlogf(ZLOG_ERROR, "Failed to copy data: %s: %s", path, archive_error_string(r_));
            return false;
        }
        if (!write_at(fd, static_cast<const char *>(buf), size, offset, &pos)) {
            write_failed(path);
            return false;
        }
        if (hash)
            hasher_.add(buf, size, offset);
        end = std::max<la_int64_t>(end, offset + static_cast<la_int64_t>(size));
    }
    // A hole at the end of a sparse member is the one thing left to make.
    if (end < archive_entry_size(e) && ftruncate(fd, archive_entry_size(e)) != 0) {
        write_failed(path);
        return false;
    }
    return true;
}

bool Unpacker::regular(archive_entry *e, const char *path, int dir, const std::string &leaf,
                       int flags, bool remember) {
    const int how = O_WRONLY | O_NOFOLLOW | O_CLOEXEC | flags;
    Fd fd(openat(dir, leaf.c_str(), how, 0600));
    // A name already there (an earlier member of the same name) goes first;
    // any other failure is told as clearing the name first told it.
    if (fd.get() < 0 && (flags & O_EXCL)) {
        if (!clear_name(dir, leaf, path))
            return false;
        fd = Fd(openat(dir, leaf.c_str(), how, 0600));
    }
    if (fd.get() < 0) {
        refuse(strerror(errno), path);
        return false;
    }
    Hashing h(remember ? &hasher_ : nullptr);
    if (!copy_data(fd.get(), e, path, remember))
        return false;
    const struct timespec mtime = {archive_entry_mtime(e), archive_entry_mtime_nsec(e)};
    struct stat st;
    if (!settle(fd, archive_entry_mode(e), mtime, path, &st))
        return false;
    if (st.st_size != archive_entry_size(e)) {
        zlogf(ZLOG_ERROR, "Failed to copy data: %s: %lld of %lld bytes on disk", path,
              static_cast<long long>(st.st_size), static_cast<long long>(archive_entry_size(e)));
        return false;
    }
    h.end(st);
    return true;
}

// A hard link may only join a regular file that this unpacking already
// placed: never a symbolic link, which writing the link's data would follow.
bool Unpacker::hardlink(archive_entry *e, const char *path, int dir, const std::string &leaf) {
    std::vector<std::string> to = components(archive_entry_hardlink(e));
    Fd from(open_dir_at(root_, to, to.size() - 1));
    struct stat st;
    if (from.get() < 0 || fstatat(from.get(), to.back().c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode)) {
        refuse("hard link target is not a file of the package", path);
        return false;
    }
    if (linkat(from.get(), to.back().c_str(), dir, leaf.c_str(), 0) != 0) {
        refuse(strerror(errno), path);
        return false;
    }
    return archive_entry_size(e) <= 0 || regular(e, path, dir, leaf, O_TRUNC, false);
}

bool Unpacker::entry(archive_entry *e) {
    const char *path = archive_entry_pathname(e);
    const char *why = check(e);
    if (why) {
        refuse(why, path ? path : "");
        archive_read_data_skip(r_);
        return false;
    }
    const bool remember = memo_.wants(e);
    std::vector<std::string> comps = components(path);
    bool is_dir = !archive_entry_hardlink(e) && archive_entry_filetype(e) == AE_IFDIR;
    int dir = dirs_.get(comps, is_dir ? comps.size() : comps.size() - 1, true);
    if (dir < 0) {
        refuse(errno == ENOTDIR || errno == ELOOP
                   ? "a directory of its path is a symbolic link or a file"
                   : strerror(errno),
               path);
        archive_read_data_skip(r_);
        return false;
    }
    if (is_dir) {
        fixes_.push_back(
            {comps, archive_entry_mode(e), {archive_entry_mtime(e), archive_entry_mtime_nsec(e)}});
        return archive_read_data_skip(r_) == ARCHIVE_OK;
    }
    // Data left unread on a failure is skipped by the next header read.
    if (archive_entry_hardlink(e))
        return clear_name(dir, comps.back(), path) && hardlink(e, path, dir, comps.back());
    if (archive_entry_filetype(e) == AE_IFREG)
        return regular(e, path, dir, comps.back(), O_CREAT | O_EXCL, remember);
    const char *leaf = comps.back().c_str();
    int rc = symlinkat(archive_entry_symlink(e), dir, leaf);
    if (rc != 0) {
        if (!clear_name(dir, comps.back(), path))
            return false;
        rc = symlinkat(archive_entry_symlink(e), dir, leaf);
    }
    if (rc != 0) {
        refuse(strerror(errno), path);
        return false;
    }
    links_.push_back(path);
    return archive_read_data_skip(r_) == ARCHIVE_OK;
}

bool Unpacker::copy_file(int src, int dir, const std::string &leaf, const std::string &path) {
    struct stat from;
    Fd out(openat(dir, leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fstat(src, &from) != 0 || out.get() < 0) {
        write_failed(path.c_str());
        return false;
    }
    std::vector<char> buf(64 * 1024);
    BlockDigest d;
    for (off_t at = 0, pos = 0;;) {
        ssize_t n = read(src, buf.data(), buf.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            break;
        if (n < 0 || !write_at(out.get(), buf.data(), static_cast<size_t>(n), at, &pos)) {
            write_failed(path.c_str());
            return false;
        }
        d.add(buf.data(), static_cast<size_t>(n), at);
        at += n;
    }
    struct stat st;
    if (!settle(out, from.st_mode, from.st_mtim, path.c_str(), &st))
        return false;
    memo_.record(st, d);
    return true;
}

// Replaces the link at path by a copy of the regular file it leads to inside
// its own top-level directory, so that hashing and placing read that content
// whatever else has been moved meanwhile; refuses any other link.
bool Unpacker::settle_link(const std::string &path) {
    std::vector<std::string> comps = components(path);
    Fd top(comps.size() > 1 ? open_dir_at(root_, comps, 1) : -1);
    Fd dir(open_dir_at(root_, comps, comps.size() - 1));
    std::string why = "is not inside a directory of the package";
    std::string rel;
    for (size_t i = 1; i < comps.size(); i++)
        rel += (i > 1 ? "/" : "") + comps[i];
    Fd src(top.get() < 0 ? -1 : open_link_target(top.get(), rel, &why));
    if (src.get() < 0 || dir.get() < 0) {
        char target[PATH_MAX] = "";
        ssize_t n = dir.get() < 0
                        ? -1
                        : readlinkat(dir.get(), comps.back().c_str(), target, sizeof target - 1);
        target[n > 0 ? n : 0] = '\0';
        zlogf(ZLOG_ERROR,
              "Refusing the symbolic link %s -> %s: a link in a package must lead to a regular "
              "file of the package, and this one %s",
              path.c_str(), target, why.c_str());
        return false;
    }
    return clear_name(dir.get(), comps.back(), path.c_str()) &&
           copy_file(src.get(), dir.get(), comps.back(), path);
}

// Modes and times of the directories, the deepest first, once nothing is
// written into them any more.
bool Unpacker::fix_dirs() {
    bool ok = true;
    dirs_.want_readable();
    for (auto it = fixes_.rbegin(); it != fixes_.rend(); ++it) {
        std::string path;
        for (const std::string &c : it->comps)
            path += c + "/";
        int at = dirs_.get(it->comps, it->comps.size(), false);
        // Reached only for the walk (it may not be read): opened for reading
        // as itself, which fails as opening it from its parent would.
        Fd own(at >= 0 && !dirs_.last_readable()
                   ? openat(at, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                   : -1);
        const int fd = dirs_.last_readable() ? at : own.get();
        const struct timespec times[2] = {it->mtime, it->mtime};
        if (fd < 0 || fchmod(fd, it->mode & 07777) != 0 || futimens(fd, times) != 0) {
            finish_failed(path.c_str());
            ok = false;
        }
    }
    return ok;
}

// After a failure no link of the payload is left in the tree for anyone to
// follow.
void Unpacker::drop_links() {
    for (const std::string &l : links_) {
        std::vector<std::string> comps = components(l);
        Fd dir(open_dir_at(root_, comps, comps.size() - 1));
        struct stat st;
        if (dir.get() >= 0 &&
            fstatat(dir.get(), comps.back().c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISLNK(st.st_mode))
            unlinkat(dir.get(), comps.back().c_str(), 0);
    }
}

bool Unpacker::finish() {
    bool ok = true;
    for (const std::string &l : links_)
        ok = settle_link(l) && ok;
    return fix_dirs() && ok;
}

} // namespace

bool unpack_payload(archive *r, int root_fd) {
    zpm::memo::clear();
    Unpacker u(r, root_fd);
    bool ok = true;
    archive_entry *e = nullptr;
    int rc;
    while ((rc = archive_read_next_header(r, &e)) == ARCHIVE_OK || rc == ARCHIVE_WARN)
        ok = u.entry(e) && ok;
    // A damaged or cut payload must not pass for a complete one.
    if (rc != ARCHIVE_EOF) {
        zlogf(ZLOG_ERROR, "Failed to read archive header: %s", archive_error_string(r));
        ok = false;
    }
    // Links are settled only in a payload that unpacked whole: what they lead
    // to may come after them.
    if (ok)
        u.remember();
    ok = ok && u.finish();
    if (!ok) {
        u.drop_links();
        zpm::memo::clear();
    }
    return ok;
}

} // namespace zpm::pkg
