// RAII aliases for C handles.  Handles whose close can fail (a stream written
// to, an archive writer, a pipe) are closed explicitly where the result
// matters; the deleter is only the fallback.
#ifndef ZPM_CRES_H
#define ZPM_CRES_H

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <memory>
#include <unistd.h>

template <auto F> struct c_deleter {
    template <class T> void operator()(T *p) const noexcept {
        if (p)
            F(p);
    }
};

// A file descriptor, closed on every path out.
class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    Fd(Fd &&o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    Fd &operator=(Fd &&o) noexcept {
        if (this != &o) {
            if (fd_ >= 0)
                ::close(fd_);
            fd_ = o.fd_;
            o.fd_ = -1;
        }
        return *this;
    }
    int get() const { return fd_; }
    // Hands the descriptor over; the destructor then does nothing.
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes now and reports the result; the destructor then does nothing.
    int close_now() {
        int fd = fd_;
        fd_ = -1;
        return ::close(fd);
    }

  private:
    int fd_;
};

using File = std::unique_ptr<FILE, c_deleter<std::fclose>>;
using Pipe = std::unique_ptr<FILE, c_deleter<pclose>>;
using Dir = std::unique_ptr<DIR, c_deleter<closedir>>;
using CharBuf = std::unique_ptr<char, c_deleter<std::free>>;

#endif
