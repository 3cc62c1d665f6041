// The choice of inflater for package payloads, and the portable path through
// libarchive's gzip filter.
#include "inflate.h"

namespace zpm::pkg {

namespace {

Inflater &chosen() {
    static Inflater which = fast_inflate_built() ? Inflater::Fast : Inflater::Zlib;
    return which;
}

} // namespace

Inflater payload_inflater() {
    return chosen();
}

void set_payload_inflater(Inflater which) {
    chosen() = which == Inflater::Fast && fast_inflate_built() ? which : Inflater::Zlib;
}

int open_gzip_stream(archive *a, FILE *f, Inflater which) {
    int rc = ARCHIVE_OK;
    // A stream that does not start with a gzip member is read the portable
    // way, which takes it as it is.
    if (which == Inflater::Fast && open_fast_stream(a, f, &rc))
        return rc;
    archive_read_support_filter_gzip(a);
    return archive_read_open_FILE(a, f);
}

} // namespace zpm::pkg
