// The fast inflater: ISA-L's streaming inflate behind libarchive's client
// callbacks.  It reads a stream exactly as libarchive's gzip filter does:
// members one after another until bytes follow that do not start a member,
// header fields skipped unchecked (so is the header CRC), the eight trailer
// bytes required but not compared, and the inflated stream handed out in
// blocks of the same size, a block lost whole when an error ends it.
#include "inflate.h"

#ifndef ZPM_HAVE_ISAL

namespace zpm::pkg {

bool fast_inflate_built() {
    return false;
}

bool open_fast_stream(archive *, FILE *, int *) {
    return false;
}

} // namespace zpm::pkg

#else

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <isa-l/igzip_lib.h>
#include <memory>
#include <new>
#include <sys/types.h>

namespace zpm::pkg {

namespace {

// libarchive's gzip filter hands out its output in blocks of this size.
constexpr size_t kBlock = 64 * 1024;
// The error number libarchive gives its own inflate failures.
constexpr int kMiscError = -1;
// Whole bytes the inflater may still hold in its bit buffer at a member's end.
constexpr size_t kKeep = 8;

enum Flag : unsigned { FHCRC = 2, FEXTRA = 4, FNAME = 8, FCOMMENT = 16, FRESERVED = 0xe0 };

// Buffered reading of the compressed stream; the last kKeep bytes of the
// previous buffer stay in front so that the inflater can hand bytes back.
class Source {
  public:
    explicit Source(FILE *f) : f_(f) {}
    // Bytes ready at cur(), reading more when none are left; 0 at the end
    // and on a read error.
    size_t ready();
    uint8_t *cur() { return buf_ + pos_; }
    void advance_to(const uint8_t *p) { pos_ = static_cast<size_t>(p - buf_); }
    void unread(size_t n) { pos_ -= n <= pos_ ? n : pos_; }
    bool get(uint8_t *c);
    size_t skip(size_t n);

  private:
    FILE *f_;
    size_t pos_ = kKeep;
    size_t len_ = kKeep;
    uint8_t buf_[kKeep + kBlock] = {};
};

size_t Source::ready() {
    if (pos_ < len_)
        return len_ - pos_;
    memmove(buf_, buf_ + len_ - kKeep, kKeep);
    size_t n = fread(buf_ + kKeep, 1, kBlock, f_);
    pos_ = kKeep;
    len_ = kKeep + n;
    return n;
}

bool Source::get(uint8_t *c) {
    if (ready() == 0)
        return false;
    *c = buf_[pos_++];
    return true;
}

size_t Source::skip(size_t n) {
    size_t done = 0;
    while (done < n) {
        size_t r = ready();
        if (r == 0)
            break;
        size_t k = r < n - done ? r : n - done;
        pos_ += k;
        done += k;
    }
    return done;
}

bool skip_string(Source &s) {
    uint8_t c = 1;
    while (c != 0)
        if (!s.get(&c))
            return false;
    return true;
}

// Reads one member header; false when the bytes do not start a member.  An
// extra field may run past the end: the member then ends as truncated.
bool read_member_header(Source &s) {
    uint8_t h[10];
    for (uint8_t &c : h)
        if (!s.get(&c))
            return false;
    if (h[0] != 0x1f || h[1] != 0x8b || h[2] != 8 || (h[3] & FRESERVED))
        return false;
    unsigned flags = h[3];
    uint8_t lo, hi;
    if (flags & FEXTRA) {
        if (!s.get(&lo) || !s.get(&hi))
            return false;
        s.skip(lo | static_cast<size_t>(hi) << 8);
    }
    if ((flags & FNAME) && !skip_string(s))
        return false;
    if ((flags & FCOMMENT) && !skip_string(s))
        return false;
    return !(flags & FHCRC) || s.skip(2) == 2;
}

class FastStream {
  public:
    explicit FastStream(FILE *f) : src_(f) {}
    Source &source() { return src_; }
    const uint8_t *block() const { return out_; }
    void start_member();
    la_ssize_t fill(archive *a);

  private:
    bool inflate_some(archive *a);
    bool end_member();

    Source src_;
    inflate_state st_ = {};
    bool in_member_ = false;
    bool eof_ = false;
    uint8_t out_[kBlock] = {};
};

// Starts inflating a member where the output stands.
void FastStream::start_member() {
    uint8_t *out = st_.next_out;
    uint32_t room = st_.avail_out;
    isal_inflate_init(&st_);
    st_.next_out = out;
    st_.avail_out = room;
    st_.crc_flag = ISAL_DEFLATE;
    in_member_ = true;
}

// One block of inflated bytes: full unless the stream ends.
la_ssize_t FastStream::fill(archive *a) {
    st_.next_out = out_;
    st_.avail_out = kBlock;
    while (st_.avail_out > 0 && !eof_) {
        if (!in_member_) {
            if (!read_member_header(src_)) {
                eof_ = true;
                break;
            }
            start_member();
        }
        if (!inflate_some(a))
            return ARCHIVE_FATAL;
    }
    return static_cast<la_ssize_t>(kBlock - st_.avail_out);
}

bool FastStream::inflate_some(archive *a) {
    size_t n = src_.ready();
    if (n == 0) {
        archive_set_error(a, kMiscError, "truncated gzip input");
        return false;
    }
    st_.next_in = src_.cur();
    st_.avail_in = static_cast<uint32_t>(n);
    int rc = isal_inflate(&st_);
    src_.advance_to(st_.next_in);
    if (rc < 0) {
        archive_set_error(a, kMiscError, "gzip decompression failed");
        return false;
    }
    return st_.block_state != ISAL_BLOCK_FINISH || end_member();
}

// The trailer must be there; its CRC and length go unchecked, as with the
// portable path.  A missing trailer fails without a text of its own.
bool FastStream::end_member() {
    src_.unread(static_cast<size_t>(st_.read_in_length / 8));
    st_.read_in_length = 0;
    in_member_ = false;
    return src_.skip(8) == 8;
}

la_ssize_t read_cb(archive *a, void *data, const void **buf) {
    auto *s = static_cast<FastStream *>(data);
    la_ssize_t n = s->fill(a);
    *buf = s->block();
    return n;
}

int close_cb(archive *, void *data) {
    delete static_cast<FastStream *>(data);
    return ARCHIVE_OK;
}

} // namespace

bool fast_inflate_built() {
    return true;
}

bool open_fast_stream(archive *a, FILE *f, int *rc) {
    off_t start = ftello(f);
    std::unique_ptr<FastStream> s(start < 0 ? nullptr : new (std::nothrow) FastStream(f));
    if (!s)
        return false;
    if (!read_member_header(s->source())) {
        clearerr(f);
        if (fseeko(f, start, SEEK_SET) == 0)
            return false;
        archive_set_error(a, errno, "Failure going back to the payload");
        *rc = ARCHIVE_FATAL;
        return true;
    }
    s->start_member();
    *rc = archive_read_open(a, s.release(), nullptr, read_cb, close_cb);
    return true;
}

} // namespace zpm::pkg

#endif
