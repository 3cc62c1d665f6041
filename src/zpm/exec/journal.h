// The journal: what a change of one package is about to do, written durably
// before the first of its files is touched and removed once the package is
// whole again.  A run that takes the inventory lock and finds one left by a
// run that was killed completes or undoes that change before it does
// anything else.
#ifndef ZPM_JOURNAL_H
#define ZPM_JOURNAL_H

#include <string>
#include <utility>
#include <vector>

#include "error.h"
#include "exec_common.h"

namespace zpm::exec {

struct Journal {
    std::string op;         // "install", "update" or "delete"
    std::string name;       // the package's name
    std::string puname;     // its printable unique name (an update's new one): the stage
    std::string old_puname; // update: the version being replaced
    std::string record;     // update: SHA-1 of the new entry's install record
    std::string index;      // update: SHA-1 of the new file index; empty: none is written
    bool had_index = false; // update: the old version has a file index
    // The package's paths: 'n' written where nothing was, 'r' written over a
    // file that is backed up first, 'd' removed after its backup.
    std::vector<std::pair<char, std::string>> paths;
};

// Writes the journal (temporary name, synced, renamed, directory synced).
zpm::Failure journal_write(const Journal &j);
// Removes it: the change is over.
void journal_drop();
// 1 when a journal was read into j, 0 when there is none, -1 when one is
// there but cannot be read (logged).
int journal_read(Journal *j);

// The switch of an update (j.op "update"): switch_in puts the new entry (the
// one whose install record has the SHA-1 j.record) and the new file index
// (j.index; none when empty) in place and the previous ones at
// .<name>.old; switch_back puts the previous ones back and the new ones at
// .<name>.new.  Either starts from any state that the other, or an
// interrupted call of either, left.  Empty, or the step that failed.
zpm::Failure switch_in(const Journal &j);
zpm::Failure switch_back(const Journal &j);
// Whether the new entry of an update is whole (its install record written),
// where the switch may have left it.
bool new_entry_made(const Journal &j);

// The SHA-1 of a text as 40 hexadecimal digits.
std::string text_sum(const std::string &text);

// The change of one package, between its journal and its end.  begin()
// records the journal; end() says how the change ended: whole (the journal
// goes, with the stage), or failed and rolled back (likewise, unless a
// restore failed or the state must be left to the next run: then the
// journal and the backups stay, and the next run finishes the change).
class Change {
  public:
    explicit Change(const Stage &st) : st_(st) {}
    Change(const Change &) = delete;
    Change &operator=(const Change &) = delete;
    // false (logged by who) when the journal cannot be written: nothing may
    // be touched then.
    bool begin(const Journal &j, const char *who);
    // The package is whole (old or new).  keep: the next run is to finish it.
    void end(bool keep = false);
    // Whether the stage directory has to stay (the caller removes it else).
    bool keeps_stage() const { return kept_; }

  private:
    const Stage &st_;
    bool open_ = false;
    bool kept_ = false;
};

// Completes or undoes the change a killed run left, removes the temporary
// files and stage directories killed runs left, and says so in the log and
// the install log.  false (logged) when the change could be neither
// completed nor undone: its journal and backups stay, and nothing else may
// change the system.
bool recover();

} // namespace zpm::exec

#endif
