// Opening a gzip-compressed payload for libarchive: through libarchive's own
// gzip filter (zlib), or through a faster inflater that hands libarchive the
// inflated stream.  Both read the same streams the same way: the same bytes,
// the same block boundaries, the same refusals and texts.
#ifndef ZPM_PKG_INFLATE_H
#define ZPM_PKG_INFLATE_H

#include <archive.h>
#include <cstdio>

namespace zpm::pkg {

enum class Inflater { Zlib, Fast };

// Whether this build has the fast inflater.
bool fast_inflate_built();

// The inflater package payloads are read with: the fast one where built.
Inflater payload_inflater();
void set_payload_inflater(Inflater which);

// Opens a (format set up by the caller) on the stream from f's position; the
// result of archive_read_open, its error text in archive_error_string(a).
// f must stay open until a is freed.
int open_gzip_stream(archive *a, FILE *f, Inflater which);

// The fast path of open_gzip_stream: false, with f back where it stood, when
// the stream does not start with a gzip member header; else true and the
// result of archive_read_open in *rc.
bool open_fast_stream(archive *a, FILE *f, int *rc);

} // namespace zpm::pkg

#endif
