// zpc-http: transfers over the mirrors.  Whatever a server sends, no more
// than a transfer's max bytes are ever written, and a file counts as fetched
// only after its check.
#include "transfer.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>

namespace zpchttp {

using zpcrepo::kDebug;
using zpcrepo::kError;
using zpcrepo::kWarning;
using zpcrepo::logf;

Transfer::~Transfer() {
    if (easy)
        curl_easy_cleanup(easy);
    curl_slist_free_all(headers);
    if (fd >= 0)
        close(fd);
}

namespace {

constexpr long kMaxRedirects = 5;

// Drops what is in the file (or memory) and starts it again from byte 0.
bool restart_body(Transfer &t) {
    t.have = t.from = 0;
    t.body.clear();
    return t.fd < 0 || (ftruncate(t.fd, 0) == 0 && lseek(t.fd, 0, SEEK_SET) == 0);
}

// The first bytes of an answer: a server that ignored the range sends the
// whole file, one that answers another range is not used.
bool on_first_bytes(Transfer &t) {
    t.started = true;
    long code = 0;
    curl_easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &code);
    if (t.from > 0 && code == 200)
        return restart_body(t);
    if (t.from > 0 && code == 206 && t.range_start != static_cast<long>(t.from)) {
        t.bad_range = true;
        return false;
    }
    return true;
}

bool put_bytes(Transfer &t, const char *p, size_t len) {
    if (t.fd < 0) {
        t.body.append(p, len);
        return true;
    }
    while (len > 0) {
        ssize_t n = write(t.fd, p, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

size_t on_body(char *p, size_t size, size_t count, void *ud) {
    auto &t = *static_cast<Transfer *>(ud);
    size_t len = size * count;
    if (!t.started && !on_first_bytes(t))
        return 0;
    if (t.have + len > t.max) {
        t.overflow = true;
        return 0; // libcurl ends the transfer with a write error
    }
    if (!put_bytes(t, p, len))
        return 0;
    t.have += len;
    return len;
}

std::string header_value(const char *p, size_t len, size_t skip) {
    std::string v(p + skip, len - skip);
    size_t a = v.find_first_not_of(" \t"), b = v.find_last_not_of(" \t\r\n");
    return a == std::string::npos ? std::string() : v.substr(a, b - a + 1);
}

size_t on_header(char *p, size_t size, size_t count, void *ud) {
    auto &t = *static_cast<Transfer *>(ud);
    size_t len = size * count;
    if (len >= 5 && strncmp(p, "HTTP/", 5) == 0) { // a new answer (after a redirect)
        t.got_etag.clear();
        t.got_since.clear();
        t.range_start = -1;
    } else if (len > 5 && strncasecmp(p, "etag:", 5) == 0) {
        t.got_etag = header_value(p, len, 5);
    } else if (len > 14 && strncasecmp(p, "last-modified:", 14) == 0) {
        t.got_since = header_value(p, len, 14);
    } else if (len > 14 && strncasecmp(p, "content-range:", 14) == 0) {
        std::string v = header_value(p, len, 14);
        long start = -1;
        if (sscanf(v.c_str(), "bytes %ld-", &start) == 1)
            t.range_start = start;
    }
    return len;
}

// libcurl judges low speed over a window of several seconds, so a server
// that sends a burst and then nothing keeps a transfer alive well past the
// configured time; a transfer without a byte for that long ends here.
int on_progress(void *ud, curl_off_t, curl_off_t now_bytes, curl_off_t, curl_off_t) {
    auto &t = *static_cast<Transfer *>(ud);
    time_t now = time(nullptr);
    if (now_bytes != t.progress_bytes || t.progress_time == 0) {
        t.progress_bytes = now_bytes;
        t.progress_time = now;
        return 0;
    }
    if (now - t.progress_time < t.stall_after)
        return 0;
    t.stalled = true;
    return 1;
}

void set_limits(const Config &cfg, CURL *e) {
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(e, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!cfg.ca_bundle.empty())
        curl_easy_setopt(e, CURLOPT_CAINFO, cfg.ca_bundle.c_str());
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT, cfg.connect_timeout);
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, cfg.low_speed_limit);
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, cfg.low_speed_time);
    curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, on_progress);
    curl_easy_setopt(e, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_USERAGENT, "zpm-zpc-http/1");
}

void set_conditions(Transfer &t) {
    if (!t.etag.empty())
        t.headers = curl_slist_append(t.headers, ("If-None-Match: " + t.etag).c_str());
    if (!t.since.empty())
        t.headers = curl_slist_append(t.headers, ("If-Modified-Since: " + t.since).c_str());
    if (t.headers)
        curl_easy_setopt(t.easy, CURLOPT_HTTPHEADER, t.headers);
}

// Opens the partial file and takes its length as the bytes already had.
bool open_part(Transfer &t) {
    if (t.fd < 0)
        t.fd = open(t.part.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    struct stat st;
    if (t.fd < 0 || fstat(t.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        t.why = "cannot open " + t.part + ": " + strerror(errno);
        return false;
    }
    t.have = static_cast<uint64_t>(st.st_size);
    if (t.have > t.max && !restart_body(t))
        return false;
    return lseek(t.fd, static_cast<off_t>(t.have), SEEK_SET) >= 0;
}

// The end of a transfer, good or not.
void finish(Transfer &t, bool ok) {
    t.done = true;
    t.ok = ok;
    if (t.fd >= 0)
        close(t.fd);
    t.fd = -1;
}

} // namespace

namespace {

bool checked(Transfer &t) {
    std::string why;
    if (!t.check || t.check(t, why))
        return true;
    t.why = why;
    t.check_failed = true;
    restart_body(t); // the bytes are bad: the next mirror starts afresh
    return false;
}

// Prepares the attempt at the transfer's mirror; false when there is nothing
// to ask a server (the file is already whole, or it failed for good).
bool start(Conn &c, Transfer &t) {
    if (!t.part.empty() && !open_part(t)) {
        logf(kError, "%s", t.why.c_str());
        finish(t, false);
        return false;
    }
    if (!t.part.empty() && t.exact && t.have == t.max && checked(t)) {
        finish(t, true);
        return false;
    }
    if (t.mirror >= t.mirrors.size()) {
        finish(t, false);
        return false;
    }
    if (t.part.empty())
        restart_body(t);
    t.from = t.have;
    t.overflow = t.bad_range = t.started = false;
    t.error[0] = '\0';
    t.url = t.mirrors[t.mirror] + "/" + t.rel;
    t.easy = curl_easy_init();
    if (!t.easy) {
        finish(t, false);
        return false;
    }
    set_limits(c.cfg, t.easy);
    curl_easy_setopt(t.easy, CURLOPT_URL, t.url.c_str());
    curl_easy_setopt(t.easy, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(t.easy, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(t.easy, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(t.easy, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(t.easy, CURLOPT_ERRORBUFFER, t.error);
    curl_easy_setopt(t.easy, CURLOPT_XFERINFODATA, &t);
    t.stall_after = c.cfg.low_speed_time;
    t.progress_time = 0;
    t.stalled = false;
    if (t.from > 0)
        curl_easy_setopt(t.easy, CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(t.from));
    set_conditions(t);
    logf(kDebug, "fetching %s%s", t.url.c_str(), t.from ? " (resuming)" : "");
    return true;
}

// Why an attempt failed, or "" when it delivered the file.
std::string outcome(Transfer &t, CURLcode rc) {
    long code = 0;
    curl_easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &code);
    if (t.overflow)
        return restart_body(t),
               "the server sent more than the " + std::to_string(t.max) + " bytes expected";
    if (t.stalled)
        return "no data for " + std::to_string(t.stall_after) + " seconds: the transfer stalled";
    if (t.bad_range)
        return restart_body(t), std::string("the server answered another range than asked");
    if (rc == CURLE_HTTP_RETURNED_ERROR)
        return "HTTP status " + std::to_string(code);
    if (rc != CURLE_OK)
        return *t.error ? std::string(t.error) : std::string(curl_easy_strerror(rc));
    if (code == 304) {
        t.not_modified = !t.etag.empty() || !t.since.empty();
        return t.not_modified ? "" : "HTTP status 304 to a request without conditions";
    }
    if (t.exact && t.have != t.max)
        return "short body: " + std::to_string(t.have) + " of " + std::to_string(t.max) + " bytes";
    return checked(t) ? "" : t.why;
}

void end_attempt(Transfer &t, CURLcode rc) {
    std::string why = outcome(t, rc);
    curl_easy_cleanup(t.easy);
    t.easy = nullptr;
    curl_slist_free_all(t.headers);
    t.headers = nullptr;
    if (why.empty()) {
        finish(t, true);
        return;
    }
    t.why = why;
    // A file resumed from an earlier run may have started wrong: the same
    // mirror gets one more go from the first byte.
    bool again = t.check_failed && t.from > 0;
    if (!again)
        t.mirror++;
    t.check_failed = false;
    bool more = t.mirror < t.mirrors.size();
    logf(more ? kWarning : kError, "%s: %s%s", t.url.c_str(), why.c_str(),
         again  ? "; fetching it again from the start"
         : more ? "; trying the next mirror"
                : "");
}

// Takes the finished transfers off the multi handle.
void collect(Conn &c, std::map<CURL *, Transfer *> &active, std::deque<Transfer *> &queue) {
    int left = 0;
    while (CURLMsg *m = curl_multi_info_read(c.multi, &left)) {
        if (m->msg != CURLMSG_DONE)
            continue;
        auto it = active.find(m->easy_handle);
        if (it == active.end())
            continue;
        Transfer *t = it->second;
        active.erase(it);
        curl_multi_remove_handle(c.multi, m->easy_handle);
        end_attempt(*t, m->data.result);
        if (!t->done)
            queue.push_front(t);
    }
}

} // namespace

void run_transfers(Conn &c, const std::vector<Transfer *> &ts, size_t parallel) {
    if (!c.multi && !(c.multi = curl_multi_init())) {
        for (Transfer *t : ts)
            t->why = "cannot start libcurl", finish(*t, false);
        return;
    }
    std::deque<Transfer *> queue(ts.begin(), ts.end());
    std::map<CURL *, Transfer *> active;
    while (!queue.empty() || !active.empty()) {
        while (active.size() < std::max<size_t>(parallel, 1) && !queue.empty()) {
            Transfer *t = queue.front();
            queue.pop_front();
            if (start(c, *t) && curl_multi_add_handle(c.multi, t->easy) == CURLM_OK)
                active[t->easy] = t;
            else if (!t->done)
                t->why = "cannot start the transfer", finish(*t, false);
        }
        int running = 0;
        if (curl_multi_perform(c.multi, &running) != CURLM_OK)
            break;
        collect(c, active, queue);
        if (!active.empty())
            curl_multi_poll(c.multi, nullptr, 0, 250, nullptr);
    }
    for (auto &[easy, t] : active) { // only after a failure of libcurl itself
        curl_multi_remove_handle(c.multi, easy);
        t->why = "libcurl failed", finish(*t, false);
    }
}

} // namespace zpchttp
