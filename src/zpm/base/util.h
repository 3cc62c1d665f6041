/* File digests and small helpers. */
#ifndef ZPM_UTIL_H
#define ZPM_UTIL_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* mode 'x': 40 hex digits and a NUL (41 bytes); any other mode: 20 bytes.
 * Returns digest, or NULL when the file cannot be opened or read. */
char *sha1_file(const char *filename, char mode, char *digest);
/* The same for what is left to read of an open file. */
char *sha1_fd(int fd, char mode, char *digest);
char *sha1_data(const void *inbuf, size_t len, char mode, char *digest);

/* Pointer to the last character of s when it equals c, else NULL. */
char *last_char_is(const char *s, int c);

#ifdef __cplusplus
}

#include <ctime>
#include <string>

#include "sha1.h"

namespace zpm {
// Local time as "%4d-%02d-%02d %02d:%02d:%02d" (year, month, day, hour,
// minute, second): the stamps of the log, the install log and the reports.
// Empty when the time cannot be broken down.
std::string time_stamp(time_t t);
// Finishes ctx and gives its digest as 40 lower-case hexadecimal digits.
std::string sha1_final_hex(SHA1_CTX &ctx);
// sha1_file on an open descriptor, read from its current position to its
// end; nullptr when a read fails.
char *sha1_fd(int fd, char mode, char *digest);
// Sets the allocator up for one run of zpm, whose largest heap is a
// catalogue of many small records (600,000 blocks for 64,000 packages):
// buffers of 128 KiB and more get mappings of their own and go back to the
// system when freed (left to itself, glibc raises that threshold after the
// first such buffer and cuts later ones from the heap among the records),
// and small blocks are merged as they are freed instead of being kept in
// fast bins, which every free of a large block sweeps whole: freeing the
// catalogue swept them again and again (45 ms instead of 13).
void tune_heap();
// Writes all n bytes to fd, completing short writes and retrying
// interrupted ones; false with errno set (EIO for a write of nothing).
bool write_all(int fd, const char *p, size_t n);
} // namespace zpm
#endif

#endif
