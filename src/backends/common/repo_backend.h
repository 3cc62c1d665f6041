// What the catalogue back ends and zpk-index share beside the published
// back-end header: owners for the records and handles they hold, and their
// log.  Everything here rests on the services zpm exports (zpm/zpc.h) and the
// C library, as in any third-party back end.
#ifndef ZPC_REPO_BACKEND_H
#define ZPC_REPO_BACKEND_H

#include <dirent.h>

#include <cstdio>
#include <memory>
#include <string>

#include "zpm/zpc.h"

namespace zpcrepo {

template <auto F> struct Deleter {
    template <class T> void operator()(T *p) const noexcept {
        if (p)
            F(p);
    }
};
using ZpiPtr = std::unique_ptr<ZPI, Deleter<zpk_info_free>>;
using File = std::unique_ptr<FILE, Deleter<std::fclose>>;
using Dir = std::unique_ptr<DIR, Deleter<closedir>>;

// The log handle messages go to, and the name that starts each of them
// ("zpc-dirs").  Without a handle errors and warnings go to standard error
// (as log_write does) and the rest is dropped.
void set_log(s_zpmlog *log, const char *who);
// Formats a message, prefixed with "<who>: ", and hands it to zpm's log at
// level (1 error, 2 warning, 4 information, 8 debug).
void logf(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

inline constexpr int kError = 1;
inline constexpr int kWarning = 2;
inline constexpr int kInfo = 4;
inline constexpr int kDebug = 8;

} // namespace zpcrepo

#endif
