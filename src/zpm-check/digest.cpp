// File digests and the inventory's list formats, read the way zpm writes them.
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "check.h"
#include "cres.h"
#include "sha1.h"

namespace zpmcheck {

std::string file_digest(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return "";
    Fd owner(fd);
    struct stat st;
    if (fstat(fd, &st) != 0)
        return "";
    if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return "";
    }
    SHA1_CTX ctx;
    SHA1Init(&ctx);
    static thread_local unsigned char buf[1 << 16];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) != 0) {
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return "";
        }
        SHA1Update(&ctx, buf, static_cast<uint32_t>(n));
    }
    unsigned char d[20];
    SHA1Final(d, &ctx);
    static const char hex[] = "0123456789abcdef";
    std::string out(40, '0');
    for (int i = 0; i < 20; i++) {
        out[2 * i] = hex[d[i] >> 4];
        out[2 * i + 1] = hex[d[i] & 15];
    }
    return out;
}

bool read_lines(const std::string &file, std::vector<std::string> *out) {
    File f(fopen(file.c_str(), "re"));
    if (!f)
        return false;
    char *line = nullptr;
    size_t cap = 0;
    ssize_t n;
    while ((n = getline(&line, &cap, f.get())) >= 0) {
        if (n > 0 && line[n - 1] == '\n')
            line[--n] = '\0';
        if (n > 0)
            out->emplace_back(line, static_cast<size_t>(n));
    }
    free(line);
    return !ferror(f.get());
}

bool read_hash_list(const std::string &file,
                    std::vector<std::pair<std::string, std::string>> *out) {
    std::vector<std::string> lines;
    if (!read_lines(file, &lines))
        return false;
    for (const auto &l : lines) {
        // "<40 hex digits>:<path without its leading slash>"
        if (l.size() < 42 || l[40] != ':')
            return false;
        out->emplace_back("/" + l.substr(41), l.substr(0, 40));
    }
    return true;
}

} // namespace zpmcheck
