// Inventory files through directory descriptors, never through a link.
#include "invfs.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "loglib.h"
#include "paths.h"
#include "util.h"

namespace zpm::inv {

namespace {

// Writes data to fd, sets mode (unless -1), syncs (with sync) and closes it.
zpm::Failure fill(Fd &fd, const std::string &path, const std::string &data, int mode, bool sync) {
    if (!zpm::write_all(fd.get(), data.data(), data.size()))
        return zpm::error_now("write", path);
    if (mode >= 0 && fchmod(fd.get(), static_cast<mode_t>(mode)) != 0)
        return zpm::error_now("chmod", path);
    if (sync && fsync(fd.get()) != 0)
        return zpm::error_now("fsync", path);
    if (fd.close_now() != 0)
        return zpm::error_now("close", path);
    return {};
}

} // namespace

Fd open_root() {
    return Fd(open(zpm::paths::inv_dir().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

Fd open_dir(int dfd, const char *name, bool create) {
    constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    Fd fd(openat(dfd, name, kFlags));
    // Made only when missing: anything else there fails as it is.
    if (fd.get() >= 0 || errno != ENOENT || !create)
        return fd;
    if (mkdirat(dfd, name, 0755) != 0 && errno != EEXIST)
        return Fd(-1);
    return Fd(openat(dfd, name, kFlags));
}

Fd open_area(const char *fixed, bool create) {
    Fd root = open_root();
    if (root.get() < 0)
        return Fd(-1);
    return open_dir(root.get(), zpm::paths::below_inv(fixed), create);
}

DIR *open_stream(int dfd) {
    int fd = fcntl(dfd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
        return nullptr;
    DIR *d = fdopendir(fd);
    if (!d)
        close(fd);
    else
        rewinddir(d);
    return d;
}

Fd open_regular(int dfd, const char *name) {
    Fd fd(openat(dfd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (fd.get() < 0)
        return fd;
    if (fstat(fd.get(), &st) != 0)
        return Fd(-1);
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return Fd(-1);
    }
    return fd;
}

bool read_all(int fd, std::string *out) {
    char buf[65536];
    out->clear();
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        out->append(buf, static_cast<size_t>(n));
    }
}

bool read_at(int dfd, const char *name, std::string *out) {
    Fd fd = open_regular(dfd, name);
    return fd.get() >= 0 && read_all(fd.get(), out);
}

std::string tmp_name(const std::string &name) {
    return "." + name + kTmpSuffix;
}

bool is_tmp_name(const char *name) {
    size_t n = strlen(name), s = strlen(kTmpSuffix);
    return name[0] == '.' && n > s + 1 && strcmp(name + n - s, kTmpSuffix) == 0;
}

zpm::Failure write_at(int dfd, const std::string &where, const std::string &name,
                      const std::string &data, int mode, bool sync) {
    const std::string tmp = tmp_name(name);
    const int how = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    Fd fd(openat(dfd, tmp.c_str(), how, 0666));
    // A temporary file left behind goes first, and any other failure is
    // told as removing it first told it.
    if (fd.get() < 0) {
        if (unlinkat(dfd, tmp.c_str(), 0) != 0 && errno != ENOENT)
            return zpm::error_now("remove", join(where, tmp));
        fd = Fd(openat(dfd, tmp.c_str(), how, 0666));
    }
    if (fd.get() < 0)
        return zpm::error_now("open", join(where, tmp));
    zpm::Failure fail = fill(fd, join(where, tmp), data, mode, sync);
    if (!fail && renameat(dfd, tmp.c_str(), dfd, name.c_str()) != 0)
        fail = zpm::error_now("rename", join(where, tmp));
    if (fail) {
        unlinkat(dfd, tmp.c_str(), 0);
        return fail;
    }
    return sync ? sync_fd(dfd, where) : zpm::Failure{};
}

zpm::Failure create_at(int dfd, const std::string &where, const std::string &name,
                       const std::string &data, mode_t mode) {
    Fd fd(openat(dfd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.get() < 0)
        return zpm::error_now("create", join(where, name));
    return fill(fd, join(where, name), data, static_cast<int>(mode), false);
}

zpm::Failure append_at(int dfd, const std::string &where, const char *name,
                       const std::string &line) {
    const int flags = O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    Fd fd(openat(dfd, name, flags, 0644));
    if (fd.get() < 0 && errno == ELOOP && drop_link(dfd, where, name))
        fd = Fd(openat(dfd, name, flags, 0644));
    struct stat st;
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0)
        return zpm::error_now("open", join(where, name));
    if (!S_ISREG(st.st_mode))
        return zpm::Error{"open", join(where, name), EINVAL};
    return fill(fd, join(where, name), line, -1, true);
}

zpm::Failure sync_fd(int fd, const std::string &what) {
    if (fsync(fd) != 0)
        return zpm::error_now("fsync", what);
    return {};
}

zpm::Failure sync_all(int fd, const std::string &what) {
    if (syncfs(fd) != 0)
        return zpm::error_now("sync", what);
    return {};
}

bool drop_link(int dfd, const std::string &where, const char *name) {
    struct stat st;
    if (fstatat(dfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    if (!S_ISLNK(st.st_mode))
        return true;
    zlogf(ZLOG_WARNING, "Removing the symbolic link %s: zpm made no link there",
          join(where, name).c_str());
    return unlinkat(dfd, name, 0) == 0;
}

void drop_tmp_files(int dfd) {
    Dir d(open_stream(dfd));
    if (!d)
        return;
    std::vector<std::string> found;
    while (dirent *de = readdir(d.get()))
        if (is_tmp_name(de->d_name))
            found.emplace_back(de->d_name);
    for (const auto &name : found) {
        struct stat st;
        if (fstatat(dfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(st.st_mode))
            unlinkat(dfd, name.c_str(), 0);
    }
}

} // namespace zpm::inv
