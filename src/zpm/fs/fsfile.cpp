// Temporary files, copying and settling (fsfile.h).
#include "fsfile.h"

#include <climits>
#include <cstring>
#include <fcntl.h>

#include "loglib.h"

namespace zpm::fs {

namespace {

constexpr size_t kCopyBufSize = 64 * 1024;
// Room kept for the temporary name's prefix and suffix within NAME_MAX.
constexpr size_t kTmpBaseMax = 200;

} // namespace

int clamp_int(off_t n) {
    return n > INT_MAX ? INT_MAX : static_cast<int>(n);
}

std::string temp_name(const std::string &leaf) {
    return "." + leaf.substr(0, kTmpBaseMax) + ".zpm-new";
}

bool same_meta(const struct stat &a, const struct stat &b) {
    return a.st_size == b.st_size && a.st_mode == b.st_mode && a.st_uid == b.st_uid &&
           a.st_gid == b.st_gid && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
           a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

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
        if (!write_all(out, buf.get(), static_cast<size_t>(r)))
            return 'w';
        total += r;
    }
}

void settle_as(int fd, const struct stat &st, const std::string &path) {
    if (fchown(fd, st.st_uid, st.st_gid) != 0 && errno != EPERM)
        zlogf(ZLOG_WARNING, "Failed to set owner of %s: %s\n", path.c_str(), strerror(errno));
    if (fchmod(fd, st.st_mode & 07777) != 0)
        zlogf(ZLOG_WARNING, "Failed to set permission on %s: %s\n", path.c_str(), strerror(errno));
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (futimens(fd, times) != 0)
        zlogf(ZLOG_WARNING, "Failed to set the time of %s: %s\n", path.c_str(), strerror(errno));
}

void log_leftover(const Spot &s, const std::string &name) {
    zlogf(ZLOG_INFO, "Removed %s/%s, left by an interrupted run", dir_of(s.path).c_str(),
          name.c_str());
}

int BackupIndex::list(const char *path) {
    if (fd_.get() < 0) {
        HeldFd fd(
            open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666));
        if (fd.get() < 0) {
            zlogf(ZLOG_ERROR, "Failed to open %s for writing: %s\n", path_.c_str(),
                  strerror(errno));
            return -1;
        }
        struct stat st;
        if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
            zlogf(ZLOG_ERROR, "Failed to write %s: %s\n", path_.c_str(), strerror(errno));
            return -1;
        }
        fd_ = std::move(fd);
        size_ = st.st_size;
    }
    const std::string line = std::string(path) + "\n";
    if (write_all(fd_.get(), line.data(), line.size())) {
        size_ += static_cast<off_t>(line.size());
        return 0;
    }
    int err = errno;
    if (ftruncate(fd_.get(), size_) != 0)
        zlogf(ZLOG_ERROR, "Failed to cut back %s: %s\n", path_.c_str(), strerror(errno));
    zlogf(ZLOG_ERROR, "Failed to write %s: %s\n", path_.c_str(), strerror(err));
    return -1;
}

int list_backup(const std::string &bkp_base, const char *path) {
    return BackupIndex(bkp_base).list(path);
}

} // namespace zpm::fs
