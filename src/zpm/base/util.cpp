// File and memory digests, and small string helpers.
#include "util.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include "cres.h"
#include "sha1.h"

namespace {

// Large enough that the system-call cost stays small beside the hashing
// itself; one buffer is reused for every file of a process.
constexpr size_t kReadChunk = 64 * 1024;

void digest_out(const unsigned char bin[20], char mode, char *digest) {
    static const char hex[] = "0123456789abcdef";
    if (mode != 'x') {
        std::memcpy(digest, bin, 20);
        return;
    }
    for (int i = 0; i < 20; i++) {
        digest[2 * i] = hex[bin[i] >> 4];
        digest[2 * i + 1] = hex[bin[i] & 15];
    }
    digest[40] = '\0';
}

} // namespace

std::string zpm::sha1_final_hex(SHA1_CTX &ctx) {
    unsigned char bin[20];
    char hex[41];
    SHA1Final(bin, &ctx);
    digest_out(bin, 'x', hex);
    return std::string(hex, 40);
}

std::string zpm::time_stamp(time_t t) {
    struct tm tm {};
    if (!localtime_r(&t, &tm))
        return "";
    char buf[64];
    snprintf(buf, sizeof buf, "%4d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1,
             tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

bool zpm::write_all(int fd, const char *p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            if (w == 0)
                errno = EIO;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

void zpm::tune_heap() {
    mallopt(M_MMAP_THRESHOLD, 128 * 1024); // fixed: no longer raised by glibc
    mallopt(M_MXFAST, 0);
}

namespace {

// Feeds the whole file into ctx.  false on a read error before the end of
// the file (e.g. a directory reached through a symbolic link).
bool hash_fd(int fd, SHA1_CTX *ctx) {
    thread_local unsigned char buf[kReadChunk];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n == 0)
            return true;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        SHA1Update(ctx, buf, (uint32_t)n);
    }
}

} // namespace

char *zpm::sha1_fd(int fd, char mode, char *digest) {
    SHA1_CTX ctx;
    SHA1Init(&ctx);
    if (!digest || !hash_fd(fd, &ctx))
        return nullptr;
    unsigned char bin[20];
    SHA1Final(bin, &ctx);
    digest_out(bin, mode, digest);
    return digest;
}

extern "C" char *sha1_file(const char *filename, char mode, char *digest) {
    if (!filename || !digest)
        return nullptr;
    Fd f(open(filename, O_RDONLY | O_CLOEXEC));
    if (f.get() < 0)
        return nullptr;
    return zpm::sha1_fd(f.get(), mode, digest);
}

extern "C" char *sha1_fd(int fd, char mode, char *digest) {
    if (fd < 0 || !digest)
        return nullptr;
    SHA1_CTX ctx;
    SHA1Init(&ctx);
    if (!hash_fd(fd, &ctx))
        return nullptr;
    unsigned char bin[20];
    SHA1Final(bin, &ctx);
    digest_out(bin, mode, digest);
    return digest;
}

extern "C" char *sha1_data(const void *inbuf, size_t len, char mode, char *digest) {
    SHA1_CTX ctx;
    SHA1Init(&ctx);
    const unsigned char *p = static_cast<const unsigned char *>(inbuf);
    // SHA1Update takes a 32-bit length; feed larger inputs in slices.
    while (len > 0) {
        const uint32_t part = len > 0x40000000u ? 0x40000000u : (uint32_t)len;
        SHA1Update(&ctx, p, part);
        p += part;
        len -= part;
    }
    unsigned char bin[20];
    SHA1Final(bin, &ctx);
    digest_out(bin, mode, digest);
    return digest;
}

extern "C" char *last_char_is(const char *s, int c) {
    if (!s || !*s)
        return nullptr;
    const char *last = s + std::strlen(s) - 1;
    return *last == (char)c ? const_cast<char *>(last) : nullptr;
}
