// An unpacked package, walked relative to directory descriptors: nothing is
// ever opened through a symbolic link, and nothing but a regular file is
// opened for reading, so a planted link or a FIFO can neither lead outside
// nor block.
#ifndef ZPM_ZPF_TREE_H
#define ZPM_ZPF_TREE_H

#include <string>
#include <vector>

struct archive;
struct stat;

namespace zpm::pkg {

// The components of a relative path; empty ones and "." are dropped.
std::vector<std::string> components(const std::string &path);

// Opens the directory reached from dir_fd through the first n components
// (O_PATH, never through a link).  -1 with errno set.
int open_dir_at(int dir_fd, const std::vector<std::string> &comps, size_t n);

// Opens name in dir_fd for reading when it is a regular file, without
// following a link or blocking on a FIFO; its fstat goes to *st when given.
// -1 with *why set.
int open_regular_at(int dir_fd, const char *name, std::string *why, struct stat *st = nullptr);

// Opens for reading the regular file the symbolic link rel (relative to
// root_fd) leads to, resolved inside root_fd only: a target that is absolute,
// climbs out of root_fd, ends at a directory, a device, a FIFO, a socket or
// nothing, or takes more than 40 links, is refused.  -1 with *why set.
int open_link_target(int root_fd, const std::string &rel, std::string *why);

// Unpacks the payload that r reads below the directory root_fd.  Symbolic
// links in the payload are replaced by a copy of the regular file they lead
// to inside their own top-level directory (data/, info/, init/, ...), or the
// unpacking fails.  The digest of every regular file that was written whole
// and closed without error is remembered for the check that follows.
// false on any failure (logged).
bool unpack_payload(archive *r, int root_fd);

} // namespace zpm::pkg

#endif
