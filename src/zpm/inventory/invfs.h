// Files of the inventory, reached through directory descriptors and never
// through a symbolic link zpm did not make: a package's link list can create
// a link under /var/lib/zpm for any name that is free, so every name below
// the inventory directory is opened with O_NOFOLLOW, relative to the
// descriptor of its directory, and checked for its type before it is read.
#ifndef ZPM_INVFS_H
#define ZPM_INVFS_H

#include <dirent.h>
#include <string>
#include <sys/types.h>

#include "cres.h"
#include "error.h"

namespace zpm::inv {

// The inventory directory itself (its own path is the administrator's and
// may pass through links).  Fd(-1) with errno on failure.
Fd open_root();
// The directory name below dfd, not through a link; with create, made first
// when missing (mode 0755).  Fd(-1) with errno on failure (ELOOP for a link).
Fd open_dir(int dfd, const char *name, bool create = false);
// One of the inventory's areas (the fixed paths kInstalledDir,
// kFileIndexDir, kStageDir), not through a link; with create, made when
// missing.
Fd open_area(const char *fixed, bool create = true);
// A directory stream over an open directory (the descriptor stays the
// caller's); null with errno on failure.
DIR *open_stream(int dfd);

// Opens the regular file name below dfd for reading: not through a link,
// without blocking on a FIFO, and refused (EINVAL) when it is anything but a
// regular file.  Fd(-1) with errno on failure.
Fd open_regular(int dfd, const char *name);
// Reads an open file to its end.
bool read_all(int fd, std::string *out);
// The whole regular file name below dfd; false (errno set) when missing,
// not a regular file or unreadable.
bool read_at(int dfd, const char *name, std::string *out);

// The temporary name under which name is written in its directory; such
// names begin with "." and end with kTmpSuffix, and any left by a killed
// run are removed by the next one.
inline constexpr const char *kTmpSuffix = ".zpm-tmp";
std::string tmp_name(const std::string &name);
bool is_tmp_name(const char *name);

// Writes data as name below dfd: under the temporary name, synced (unless
// sync is false), then renamed over name (a link or file there is replaced,
// never written through), and the directory synced (likewise).  mode: the
// file's mode, or -1 for the mode of creation.  where names the directory in
// the error.
zpm::Failure write_at(int dfd, const std::string &where, const std::string &name,
                      const std::string &data, int mode = -1, bool sync = true);
// Creates name below dfd (which must not exist) with data and mode; for the
// files of a directory zpm has just made.  Not synced: sync_all does that
// for all of them at once.
zpm::Failure create_at(int dfd, const std::string &where, const std::string &name,
                       const std::string &data, mode_t mode);
// Appends line (one write) to the regular file name below dfd, made when
// missing, and syncs it.  A link at name is removed first: it is never one of
// zpm's files.
zpm::Failure append_at(int dfd, const std::string &where, const char *name,
                       const std::string &line);
// fsync of an open directory or file.
zpm::Failure sync_fd(int fd, const std::string &what);
// Syncs the whole file system of fd: what was written unsynced before (the
// files of a new entry, and the files placed on the same file system)
// becomes durable in one go, before the write that makes it count.
zpm::Failure sync_all(int fd, const std::string &what);

// Removes what is at name below dfd when it is a symbolic link (logged): zpm
// keeps none there.  true when nothing was in the way or it was removed.
bool drop_link(int dfd, const std::string &where, const char *name);
// Removes the temporary files (is_tmp_name) directly below dfd.
void drop_tmp_files(int dfd);

// "<where>/<name>" for messages.
inline std::string join(const std::string &where, const std::string &name) {
    return where + "/" + name;
}

} // namespace zpm::inv

#endif
