// Repairing one package and cleaning the stage area; both hold the inventory
// lock while they work.
#ifndef ZPM_CHECK_REPAIR_H
#define ZPM_CHECK_REPAIR_H

#include <cstdio>
#include <string>

namespace zpmcheck {

// Restores the changed or missing files (and modes and links) of an installed
// package from its staged package file.  0 repaired (or nothing to do), 1 a
// file could not be restored (what was restored is put back), 2 it could not
// be tried (not installed, no staged file, the file fails its checks, the
// lock is held).
int repair(const std::string &name, FILE *out);

// Removes the staged package files no installed package is at (all of them
// with all); dry: only tells.  0, or 2 when the lock is held or a file
// cannot be removed.
int clean_stage(bool all, bool dry, FILE *out);

} // namespace zpmcheck

#endif
