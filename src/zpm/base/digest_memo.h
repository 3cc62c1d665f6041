// Digests of files this process has just written while unpacking a package,
// so the check that follows need not read them again.  A digest is handed
// out only for the very file it was taken of: same device and inode, same
// size, same modification and change times.
#ifndef ZPM_DIGEST_MEMO_H
#define ZPM_DIGEST_MEMO_H

#include <string>
#include <sys/stat.h>

namespace zpm::memo {

void clear();
// Remembers the 40-digit hexadecimal digest of the regular file st
// describes (taken with fstat after its last change).  Callers vouch that
// the digest is of bytes written and confirmed (the file closed without error).
void record(const struct stat &st, const std::string &hex);
// Fills hex (41 bytes) for the file st describes; false when unknown.
bool lookup(const struct stat &st, char *hex);

} // namespace zpm::memo

#endif
