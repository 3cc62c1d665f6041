// The shared log of the back ends and zpk-index.
#include <cstdarg>

#include "repo_backend.h"

namespace zpcrepo {

namespace {
s_zpmlog *the_log = nullptr;
const char *the_who = "zpc";
} // namespace

void set_log(s_zpmlog *log, const char *who) {
    the_log = log;
    the_who = who;
}

void logf(int level, const char *fmt, ...) {
    if (!the_log && level > kWarning)
        return;
    char text[2001];
    int n = snprintf(text, sizeof text, "%s: ", the_who);
    if (n < 0 || static_cast<size_t>(n) >= sizeof text)
        n = 0;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text + n, sizeof text - static_cast<size_t>(n), fmt, ap);
    va_end(ap);
    log_write(the_log, level, text);
}

} // namespace zpcrepo
