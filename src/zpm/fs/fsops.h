/* File-system helpers: putting files into place with a backup of what they
 * replace, permission and link lists, tree removal, directory creation. */
#ifndef ZPM_FSOPS_H
#define ZPM_FSOPS_H

#include "zpm.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Copies src_name to dst_full.  An existing regular file at dst_full is first
 * saved under bkp_base (at bkp_base followed by dst_full, listed in
 * "<bkp_base>/index.txt") when bkp_base is not NULL; an existing symbolic link
 * is removed; anything else is refused.  The new content is written under a
 * temporary name beside the target and renamed over it, so the target is
 * always either the old file or the whole new one.  keep_mode: 1 the source's
 * mode, above 1 that mode, else the mode of creation.  keep_time and keep_user
 * are not acted on.  Returns the number of bytes copied, or -1. */
int zpm_zpf_copy(const char *dst_full, const char *src_name, const char *bkp_base, int keep_mode,
                 int keep_time, int keep_user);
/* Puts the staged file src_name at dst_full exactly as
 * zpm_zpf_copy(dst_full, src_name, bkp_base, 1, 0, 0) would (same backup, same
 * messages, same result, and the same resulting file: content, mode, owner,
 * current modification time), but without copying the content when both lie
 * on one file system: src_name is renamed there, or with keep_source it gets
 * a second name there and stays (sharing the new file's content until the
 * stage is removed).  Callers hand only files nothing writes to any more. */
int zpm_zpf_place(const char *dst_full, const char *src_name, const char *bkp_base,
                  int keep_source);
/* Applies a permission list ("<file>|<octal mode>" lines). */
int zpm_zpf_perms(const char *perm_filename);
/* Walks a link list ("<dir>|<target>|<name>" lines): removes (del) and/or
 * creates (create) the listed symbolic links. */
int zpm_zpf_links(const char *link_filename, int del, int create);
/* Removes path and, for a directory, everything below it; links are removed,
 * not followed.  0 also when path does not exist. */
int zpm_zpf_rmdir(const char *path);
/* Creates pathname with mode and its missing parents with 0755.  A trailing
 * '/' is removed from the caller's string. */
void zpm_zpf_mkdir(char *pathname, int mode);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
#include <string>

namespace zpm::fs {
// Appends "<path>\n" to the backup index "<bkp_base>/index.txt" as one
// write; a failed write is cut off again, so the index never holds a partial
// line.  0, or -1 (logged).
int list_backup(const std::string &bkp_base, const char *path);
} // namespace zpm::fs
#endif

#endif
