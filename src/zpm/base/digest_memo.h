// Digests of files this process has just written while unpacking a package,
// so the check that follows need not read them again, and what reading a
// package file taught, so that one transaction reads it once.  Anything is
// handed out only for the very file it was learnt of: same device and
// inode, same size, same modification and change times.
#ifndef ZPM_DIGEST_MEMO_H
#define ZPM_DIGEST_MEMO_H

#include <ctime>
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

// What was learnt of a package file: the digest of the whole file (40
// hexadecimal digits) and, when its payload's signature was found valid, the
// signer's public key (DER) and the signature it was found valid with.
struct PackageFacts {
    std::string digest;
    std::string signer_key;
    std::string signature;
};

// The time from which a file read now is known as it was read: a change
// within the same tick of the clock that stamps files might leave its
// times as they were.  Taken before the first byte is read.
struct timespec read_start();
// Remembers facts for the regular file st describes (taken with fstat
// after the facts were learnt, and equal to the one taken before).  With
// since (read_start before the reading), only a file last changed before
// it is remembered; without, the caller vouches that nobody else writes
// the file (one this process wrote into its own area).
void record_package(const struct stat &st, const PackageFacts &facts,
                    const struct timespec *since = nullptr);
// The facts of the file st describes; false when none are known.
bool lookup_package(const struct stat &st, PackageFacts *facts);
void clear_packages();
// Whether two fstat results tell of the same, unchanged file.
bool same_file(const struct stat &a, const struct stat &b);

} // namespace zpm::memo

#endif
