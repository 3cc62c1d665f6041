// zpc-http: transfers over the mirrors with libcurl's multi interface.
#ifndef ZPC_HTTP_TRANSFER_H
#define ZPC_HTTP_TRANSFER_H

#include <functional>
#include <string>
#include <vector>

#include "http.h"

namespace zpchttp {

// One file to fetch, from the first mirror that delivers it whole and good.
struct Transfer {
    // What to fetch.
    std::vector<std::string> mirrors; // base URLs, asked in order
    std::string rel;                  // path below a mirror's base URL
    uint64_t max = 0;                 // the most bytes taken; a longer body is a failure
    bool exact = false;               // the body must be max bytes long
    std::string part;                 // the file it goes to (resumed from its length); ""
                                      // keeps the body in memory
    std::string etag;                 // conditions of the request (If-None-Match,
    std::string since;                // If-Modified-Since); a 304 answer is a success
    std::function<bool(Transfer &, std::string &why)> check; // a whole body

    // What came of it.
    bool done = false, ok = false, not_modified = false;
    std::string body;                // without part
    std::string got_etag, got_since; // validators of the answer
    std::string url;                 // of the last attempt
    std::string why;                 // of the last failure

    // The attempt under way.
    size_t mirror = 0;
    int fd = -1;
    uint64_t have = 0, from = 0;
    bool overflow = false, bad_range = false, started = false, check_failed = false;
    long range_start = -1;
    long stall_after = 0;          // seconds without a byte that end an attempt
    curl_off_t progress_bytes = 0; // bytes at the last progress seen,
    time_t progress_time = 0;      // and when
    bool stalled = false;
    CURL *easy = nullptr;
    curl_slist *headers = nullptr;
    char error[CURL_ERROR_SIZE] = "";

    Transfer() = default;
    Transfer(const Transfer &) = delete;
    Transfer &operator=(const Transfer &) = delete;
    ~Transfer();
};

// Runs the transfers, at most parallel at once.  Each goes over its mirrors
// in order until one delivers it: a failed attempt (no connection, an HTTP
// error, a stall, a short or long body, a failed check) is logged and the
// next mirror is asked, resuming a partial file with a range request where
// the server honours one.
void run_transfers(Conn &c, const std::vector<Transfer *> &ts, size_t parallel);

} // namespace zpchttp

#endif
