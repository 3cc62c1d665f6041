// What install, update and delete share: stage paths, fetching, package
// scripts, the checks that come before anything is written, and the
// inventory paths of one package.
#ifndef ZPM_EXEC_COMMON_H
#define ZPM_EXEC_COMMON_H

#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "arr.h"
#include "cres.h"
#include "error.h"
#include "fsops.h"
#include "recptr.h"
#include "zpm.h"

namespace zpm::exec {

// The stage paths of one package, formed from its printable unique name:
// the package file and the working directory with the unpacked payload
// (new) and the backups (old).
struct Stage {
    std::string file;    // "<stage>/<puname>.zpk"
    std::string zpk_dir; // "<stage>/<puname>"
    std::string new_dir; // "<stage>/<puname>/new"
    std::string old_dir; // "<stage>/<puname>/old"
};

// Forms the stage paths; false (logged) when the printable name cannot form
// a path inside the stage area or the paths do not fit their buffers.
bool stage_of(const ZPI *zpi, Stage *st);
bool stage_named(const std::string &puname, Stage *st);
// Makes the package's working directory afresh, with new and old in it:
// whatever an earlier run left there (or a link in its place) goes first.
// false (logged) when that cannot be done.
bool prepare_stage(const Stage &st, const char *who);

// Brings a package file into the stage: 'R' through the back end (unless the
// staged copy still matches), 'L' by copying abs_uri, anything else nothing.
// who prefixes the messages ("zpm_exe_install").  0, or -1 (logged).
int fetch(const ZPI *zpi, char status, ZPC *zpc, const char *who);

using zpm::pkg::plain_name;

// "%.1000s/%.1000s" of the installed directory and the name; with fmt the
// name goes through it first ("%.1000s/.%.1000s.new").
std::string inst_dir(const char *name, const char *fmt = "%.1000s/%.1000s");
// "%s/%s" of the file index directory and the name, or with fmt
// ("%s/.%s.new").
std::string index_path(const char *name, const char *fmt = "%s/%s");

// Runs a package script: ash from the script directory, in the script
// directory, with PATH set to it and the given "NAME=value" assignments added
// to the environment; no shell ever sees the package's text.  Its standard
// input is /dev/null and it inherits no other descriptor of zpm's.  The command
// line a shell would have been given is logged at DEBUG as "<who>cmdline: %s".
// Returns the wait status (0 when the script succeeded).
int run_script(const char *who, const std::vector<std::string> &assigns,
               const std::string &script);
// Runs ldconfig, its error output discarded; the result is not used.
void run_ldconfig();
// Runs fn, and with a target root in a child chrooted into it, so that what
// fn does by path (link and permission lists) stays inside; paths handed to
// fn must then be as seen from inside (zpm::paths::inside).  0 when fn gave
// 0, else -1.
int in_target_root(const std::function<int()> &fn);
// Bounds how long a package script may run (seconds; 0, the default, sets no
// bound).  A script past it is killed with every process of its group and
// counts as failed: its wait status is that of a killed process.
void set_script_timeout(int seconds);

// The three verified file lists of an unpacked package.
struct Forks {
    char **data = nullptr;
    char **info = nullptr;
    char **init = nullptr;
    Forks() = default;
    Forks(const Forks &) = delete;
    Forks &operator=(const Forks &) = delete;
    ~Forks() {
        arr_free(data);
        arr_free(info);
        arr_free(init);
    }
};

// Refuses (false, logged) a staged package whose header tells another name,
// variant, version, architecture or dependencies than its signed
// description, or whose signed name is not the name it is installed as.
bool header_matches(const Stage &st, const ZPI *zpi, const char *who);

// The steps before anything is written: unpacks the staged package into
// st.new_dir (the whole working directory made afresh first, prepare_stage:
// what an interrupted run left would fail the check of this one, and its
// backups would be replayed by a rollback of this one) with its signature
// checked, verifies every file against
// the package's hash lists, and its header against its signed description
// (header_matches).  0, or the failing step's result (logged); what was
// unpacked stays for the reader of the log, and the next run clears it.  who
// prefixes the messages; of is the word before the package file in the
// message of a failed check.
int unpack_checked(const Stage &st, const ZPI *zpi, const char *who, const char *of, Forks *fk);

// Where the paths of a list lie on disk, for the rollback.
std::vector<std::string> on_disk(char **paths, size_t count);
// Rollback over on_disk paths (zpm_install_rollback).  false when a file could
// not be put back: its backup directory is then kept (drop_stage) and named
// in the log.
bool rollback(const std::vector<std::string> &written, const std::string &old_dir);
// The rollback of a removal: every saved file is put back.  false as above.
bool rollback_removed(const std::string &old_dir);
// Removes the package's work directory at the end of a step; after a failed
// restore only the unpacked package goes, and the backups stay, marked by
// "<zpk_dir>/restore-failed".
void drop_stage(const Stage &st);
// false (logged) when the stage holds backups a failed restore kept: nothing
// may clear or reuse them until the user has moved them away.
bool stage_free(const Stage &st, const char *who);
// Saves the files on disk that the data paths of a package are about to
// replace, and makes the backups durable, before any of them is replaced.
// On a failure calls failed with the path (null when the backups could not
// be made durable) and returns false; nothing has been replaced then.
bool save_targets(zpm::fs::Placement &pl, char **paths,
                  const std::function<void(const char *)> &failed);
// A file found to remove (Placement::save_for_removal).
struct Removal {
    std::string path; // as listed
    zpm::fs::Found found = zpm::fs::Found::nothing;
    int err = 0;
};
// Removes every saved file of found, after all were saved and made durable;
// calls stays with the path and the reason for each that stays in place.
void remove_saved(zpm::fs::Placement &pl, const std::vector<Removal> &found,
                  const std::function<void(const char *, const char *)> &stays);
// The rollback of a change the journal tells of, cut off at an unknown
// point: the files written where none was (fresh) go, and every backup is
// put back over whatever of touched (every path of the change) is there,
// unless it is still the saved file itself.  false as above.
bool rollback_journal(const std::vector<std::string> &fresh,
                      const std::vector<std::string> &touched, const std::string &old_dir);
// A restore of a rollback failed (zpm_install_rollback notes it); the
// change's journal and backups must then stay.  take_restore_failure tells
// whether one failed since it was last asked.
void note_restore_failure();
bool take_restore_failure();

// The steps of writing an inventory entry.
enum class EntryStep { info, data_hash, init, init_hash, index, record };

// Why writing an entry stopped: the step, and what the system said.
struct EntryFailure {
    EntryStep step;
    zpm::Error cause;
};

// Copies what the inventory keeps of an unpacked package into the entry
// directory entry (just made; where names it): the info fork, the data hash
// list, and the init fork with its hash list.  Not synced: the registration
// syncs the file system once before it writes the install record.  Empty, or
// the step that failed.
std::optional<EntryFailure> copy_entry(const Forks &fk, const Stage &st, int entry,
                                       const std::string &where);
// An install record, attributes in order, as LDIF.
using Record = std::vector<std::pair<const char *, std::string>>;
std::string record_text(const Record &attrs);
// One path per line, as a file index holds them.
std::string lines_text(char **paths);
// Writes the file index name (below the file index directory) with paths;
// not synced, like copy_entry.
zpm::Failure write_index(const std::string &name, char **paths);
// Makes the directory name below dfd (where names dfd) afresh: whatever was
// there, a link included, is removed first.  Fd(-1) with fail set when that
// cannot be done.
Fd fresh_dir(int dfd, const std::string &where, const std::string &name, zpm::Failure *fail);

// Installs a dependency record unless a package of its name is installed,
// and records it in the install log.  0, or the install's failure code.
int install_dep(ZPM *zpm, ZPT **zpt, ZPD *zpd, ZPC *zpc);
// Links and permission lists of an unpacked package; results only logged.
void apply_links_perms(char **info, const std::string &new_dir, const char *who);
// Adds the package's configuration script to the transaction.
void register_cfg(ZPT **zpt, char **init, const char *name, const char *who);
// Runs ldconfig when the package brought a shared library; clears have_so.
void refresh_linker_cache(const char *who);

// The number of dependency records, counted up to the list's end even when
// num_zpds says more.
int dep_count(const ZPT *zpt);

// The answers offered for a file that is already on disk.
EkvaPtr file_choices();
// Asks what to do about the file at path that is already on disk; the key
// of the answer ("l", "r", "a"), or null when none was given.
const char *ask_existing(const char *path, s_ekva **choices);

// Longest line of a file index or backup index.
inline constexpr size_t kIndexLineMax = 4094;

// Calls line for every non-empty line of an index (a file index or backup
// index), one trailing line feed removed, until it returns false.  A line
// longer than an index line can be is skipped whole (and logged), since any
// part of it would name another file.  what names the file in the message.
void each_index_line(FILE *f, const char *what, const std::function<bool(const char *)> &line);

// zpm_zpf_mkdir on a copy of path.
void make_dir(const std::string &path, int mode);

// A copy of s cut to fit a buffer of size bytes (the terminator included).
std::string cut(const std::string &s, size_t size);

} // namespace zpm::exec

#endif
