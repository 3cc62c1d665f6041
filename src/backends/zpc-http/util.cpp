// zpc-http: digests and files of the cache.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <openssl/evp.h>

#include "http.h"

namespace zpchttp {

namespace {

using MdCtx = std::unique_ptr<EVP_MD_CTX, zpcrepo::Deleter<EVP_MD_CTX_free>>;

std::string hex(const unsigned char *md, unsigned int len) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < len; i++) {
        out += digits[md[i] >> 4];
        out += digits[md[i] & 15];
    }
    return out;
}

// Opens a regular file for reading without following a link or blocking.
int open_regular(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

} // namespace

std::string sha256_hex(const std::string &data) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(data.data(), data.size(), md, &len, EVP_sha256(), nullptr) != 1)
        return {};
    return hex(md, len);
}

std::string sha1_file_hex(const std::string &path) {
    int fd = open_regular(path);
    MdCtx ctx(EVP_MD_CTX_new());
    if (fd < 0 || !ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha1(), nullptr) != 1) {
        if (fd >= 0)
            close(fd);
        return {};
    }
    std::vector<unsigned char> buf(1 << 16);
    ssize_t n;
    while ((n = read(fd, buf.data(), buf.size())) > 0)
        EVP_DigestUpdate(ctx.get(), buf.data(), static_cast<size_t>(n));
    close(fd);
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (n < 0 || EVP_DigestFinal_ex(ctx.get(), md, &len) != 1)
        return {};
    return hex(md, len);
}

bool make_dirs(const std::string &path) {
    for (size_t pos = 1; pos <= path.size(); pos++) {
        if (pos < path.size() && path[pos] != '/')
            continue;
        if (mkdir(path.substr(0, pos).c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

bool write_settled(const std::string &dir, const std::string &name, const std::string &data,
                   std::string &why) {
    std::string tmp = dir + "/." + name + ".XXXXXX";
    int fd = mkstemp(tmp.data());
    if (fd < 0) {
        why = "cannot create " + tmp + ": " + strerror(errno);
        return false;
    }
    errno = 0;
    bool ok = fchmod(fd, 0644) == 0 &&
              write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size()) &&
              fsync(fd) == 0;
    int err = errno ? errno : EIO;
    ok = close(fd) == 0 && ok;
    if (ok && rename(tmp.c_str(), (dir + "/" + name).c_str()) == 0)
        return true;
    why = "cannot write " + dir + "/" + name + ": " + strerror(ok ? errno : err);
    unlink(tmp.c_str());
    return false;
}

bool read_small_file(const std::string &path, size_t max, std::string &out) {
    int fd = open_regular(path);
    if (fd < 0)
        return false;
    out.clear();
    char buf[1 << 16];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0 && out.size() <= max)
        out.append(buf, static_cast<size_t>(n));
    close(fd);
    return n == 0 && out.size() <= max;
}

} // namespace zpchttp
