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
 * "<bkp_base>/index.txt", on disk before the target is replaced) when
 * bkp_base is not NULL; an existing symbolic link is replaced, never
 * followed; anything else is refused.  The new content is written under a
 * temporary name beside the target and renamed over it, so the target is
 * always either the old file or the whole new one.  No directory on the way
 * is entered through a link that root does not own.  keep_mode: 1 the
 * source's mode, above 1 that mode, else the mode of creation.  keep_time and
 * keep_user are not acted on.  Returns the number of bytes copied, or -1. */
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
/* Applies a permission list ("<file>|<octal mode>" lines).  The mode of a
 * symbolic link's target is never changed: such an entry fails. */
int zpm_zpf_perms(const char *perm_filename);
/* Walks a link list ("<dir>|<target>|<name>" lines): removes (del) and/or
 * creates (create) the listed symbolic links.  The working directory is not
 * changed; directory entries are followed from descriptors. */
int zpm_zpf_links(const char *link_filename, int del, int create);
/* Removes path and, for a directory, everything below it, however deep; links
 * are removed, not followed, and other file systems mounted below are left
 * alone.  0 also when path does not exist. */
int zpm_zpf_rmdir(const char *path);
/* Creates pathname with mode and its missing parents with 0755.  A trailing
 * '/' is removed from the caller's string. */
void zpm_zpf_mkdir(char *pathname, int mode);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
#include <memory>
#include <string>

namespace zpm::fs {
// Appends "<path>\n" to the backup index "<bkp_base>/index.txt" as one
// write; a failed write is cut off again, so the index never holds a partial
// line.  0, or -1 (logged).
int list_backup(const std::string &bkp_base, const char *path);

// What a removal found at a path.
enum class Found {
    nothing,  // nothing there to remove (err tells why: ENOENT, ELOOP, ...)
    saved,    // saved in the backups and listed, ready to be removed
    not_file, // a directory or a special file: not saved, left in place
    failed,   // could not be saved (logged)
};

// Whether a file that a restore finds at a backed-up path was written by the
// step being undone.
enum class Was {
    written,   // yes: it is ours and is replaced
    untouched, // no: whatever is there stays
    unknown,   // replaced unless it is the saved file itself
};

// The files of one package put into place, saved or removed.  Backups come
// first and are made durable before anything they save is replaced; the
// placed files are made durable once, by sync_placed, before the package is
// registered.  Every path is reached through its directory's descriptor,
// following only links that root owns (fswalk.h); a temporary file is
// created beside its target as ".<name>.zpm-new", mode 0600 until it is
// settled, and one left by a killed run is removed when that name is next
// used.  Backups are hard links where the file system allows (the target is
// then replaced by a rename, so the backup keeps the old file), else copies
// with the old file's owner, mode and times.
class Placement {
  public:
    // bkp_base: the backup directory (layout of zpm_zpf_copy); empty for none.
    explicit Placement(std::string bkp_base);
    ~Placement();
    Placement(const Placement &) = delete;
    Placement &operator=(const Placement &) = delete;

    // Saves the regular file at target before it is replaced; nothing or a
    // link there needs no backup.  0, or -1 (logged) when the file cannot be
    // saved or is something else (it would be refused).
    int save(const std::string &target);
    // Saves what is at target before it is removed: a regular file, or a
    // link whose target exists.
    Found save_for_removal(const std::string &target, int &err);
    // Makes the backups saved so far durable.  0, or -1 (logged).
    int sync_saved();
    // zpm_zpf_place and zpm_zpf_copy, within this placement: a target saved
    // before is not saved again.
    int place(const std::string &dst, const std::string &src, bool keep_source);
    int copy(const std::string &dst, const std::string &src, int keep_mode);
    // Removes the file saved_for_removal saved at target, unless something
    // else has taken its place.  0, or -1 with errno set.
    int remove(const std::string &target);
    // Removes a file written by this run (no backup), never following a link.
    int discard(const std::string &target);
    // Puts the backup at backup back at target by a rename (by a copy across
    // file systems).  0 when it is back or nothing was to be done, -1
    // (errno set) when it could not be put back; the backup is never removed.
    int restore(const std::string &target, const std::string &backup, Was was);
    // Makes the files placed or restored so far durable: one syncfs per file
    // system written to.  0, or -1 (logged).
    int sync_placed();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Removes the temporary file a killed run may have left beside target.
void drop_temporary(const std::string &target);

// zpm_zpf_rmdir for the entry leaf of the directory open at parent, whose
// path (for messages) is path.
int remove_at(int parent, const std::string &leaf, const std::string &path);
} // namespace zpm::fs
#endif

#endif
