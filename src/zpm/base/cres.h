// RAII aliases for C handles.  Handles whose close can fail (a stream written
// to, an archive writer, a pipe) are closed explicitly where the result
// matters; the deleter is only the fallback.
#ifndef ZPM_CRES_H
#define ZPM_CRES_H

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <memory>

template <auto F> struct c_deleter {
    template <class T> void operator()(T *p) const noexcept {
        if (p)
            F(p);
    }
};

using File = std::unique_ptr<FILE, c_deleter<std::fclose>>;
using Pipe = std::unique_ptr<FILE, c_deleter<pclose>>;
using Dir = std::unique_ptr<DIR, c_deleter<closedir>>;
using CharBuf = std::unique_ptr<char, c_deleter<std::free>>;

#endif
