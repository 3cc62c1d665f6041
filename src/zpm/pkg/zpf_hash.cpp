// Hash lists of the payload forks: reading hash/<fork>.txt and hashing an
// unpacked fork directory into the same digest -> "/relative/path" form.
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "cres.h"
#include "digest_memo.h"
#include "ekva.h"
#include "loglib.h"
#include "util.h"
#include "zpf.h"
#include "zpf_tree.h"
#include "zpm.h"

namespace {

constexpr int kHashCapacity = 100;
// Names and paths are limited to what the lists were ever meant to carry.
constexpr size_t kNameMax = 256;
// A list line: 40 digest characters, ':', a path, a line feed; at most
// 352 characters with the line feed.
constexpr int kLineMax = 352;

bool too_long(const std::string &s, const char *what) {
    if (s.size() < kNameMax)
        return false;
    zlogf(ZLOG_ERROR, "%s too long (%zu characters, limit %zu): %.200s...", what, s.size(),
          kNameMax - 1, s.c_str());
    return true;
}

// Reads one list line into line; false at end of file.
bool read_line(FILE *f, char (&line)[kLineMax]) {
    if (!fgets(line, sizeof line, f))
        return false;
    size_t n = std::strlen(line);
    if (n && line[n - 1] == '\n')
        line[n - 1] = '\0';
    return true;
}

int add_pair(s_ekva ***ekva, const char *digest, const char *rel) {
    zlogf(ZLOG_DEBUG, "Adding hash %s for file %s", digest, rel);
    if (ekva_addval(ekva, digest, rel, 0) < 1) {
        zlogf(ZLOG_ERROR, "failed to add hash %s for file %s", digest, rel);
        return -1;
    }
    return 0;
}

int parse_list(FILE *f, s_ekva ***ekva) {
    char line[kLineMax];
    while (read_line(f, line)) {
        if (!line[0])
            continue;
        if (std::strlen(line) <= 41 || line[40] != ':') {
            zlogf(ZLOG_ERROR, "Line is smaller than 42 bytes, bye");
            return -1;
        }
        const std::string digest(line, 40);
        const std::string rel = std::string("/") + (line + 41);
        if (add_pair(ekva, digest.c_str(), rel.c_str()) != 0)
            return -1;
    }
    return 0;
}

int read_hash_list(const char *inst_dir, const char *fork, s_ekva ***zpm_hash_ekva) {
    const std::string path =
        std::string(inst_dir ? inst_dir : "") + "/hash/" + (fork ? fork : "") + ".txt";
    if (too_long(path, "hash list path"))
        return -1;
    File f(fopen(path.c_str(), "r"));
    if (!f) {
        zlogf(ZLOG_DEBUG, "zpm_zpf_zpk_hashes: no file: %s, exiting", path.c_str());
        return 0;
    }
    *zpm_hash_ekva = ekva_new(kHashCapacity, EKVA_ADD_APPEND);
    if (!*zpm_hash_ekva) {
        zlogf(ZLOG_ERROR, "zpm_zpf_zpk_hashes: out of memory for %s", path.c_str());
        return -1;
    }
    return parse_list(f.get(), zpm_hash_ekva);
}

} // namespace

int zpm_zpf_zpk_hashes(const char *inst_dir, const char *fork, s_ekva ***zpm_hash_ekva) {
    if (!zpm_hash_ekva)
        return -1;
    try {
        return read_hash_list(inst_dir, fork, zpm_hash_ekva);
    } catch (...) { // allocation failure while forming names
        zlogf(ZLOG_ERROR, "zpm_zpf_zpk_hashes: out of memory");
        return -1;
    }
}

namespace {

// The hash walk of one fork.  Every directory and file is opened relative to
// its directory's descriptor, never through a link; a link is hashed by the
// regular file it leads to inside the fork (zpm::pkg::open_link_target), and
// nothing that is not a regular file is ever read.  Directories are read
// straight from their descriptors.
struct HashWalk {
    const std::string &base;
    Fd base_fd; // opened when the first link needs it
    s_ekva ***ekva;
    int tree(Fd dir_fd, const std::string &rel, const std::string &dir);
    int entry(int dir_fd, const struct dirent64 *de, const std::string &rel,
              const std::string &dir);
    int file(int dir_fd, const struct dirent64 *de, const std::string &relname);
    int link_target(const std::string &relname, std::string *why);
};

// The entry's type: from the listing, or asked without following a link
// when the file system leaves it unknown.
unsigned char type_of(int dir_fd, const struct dirent64 *de) {
    if (de->d_type != DT_UNKNOWN)
        return de->d_type;
    struct stat st;
    if (fstatat(dir_fd, de->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return DT_UNKNOWN;
    return S_ISDIR(st.st_mode)   ? DT_DIR
           : S_ISLNK(st.st_mode) ? DT_LNK
           : S_ISREG(st.st_mode) ? DT_REG
                                 : DT_UNKNOWN;
}

int HashWalk::link_target(const std::string &relname, std::string *why) {
    if (base_fd.get() < 0)
        base_fd = Fd(open(base.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    return base_fd.get() < 0 ? -1 : zpm::pkg::open_link_target(base_fd.get(), relname, why);
}

int HashWalk::file(int dir_fd, const struct dirent64 *de, const std::string &relname) {
    const std::string path = base + "/" + relname;
    std::string why;
    struct stat st;
    const bool link = type_of(dir_fd, de) == DT_LNK;
    Fd fd(link ? link_target(relname, &why)
               : zpm::pkg::open_regular_at(dir_fd, de->d_name, &why, &st));
    char digest[41];
    bool known =
        fd.get() >= 0 && (!link || fstat(fd.get(), &st) == 0) && zpm::memo::lookup(st, digest);
    if (fd.get() < 0 || (!known && !zpm::sha1_fd(fd.get(), 'x', digest))) {
        if (!why.empty())
            zlogf(ZLOG_ERROR, "%s %s", path.c_str(), why.c_str());
        zlogf(ZLOG_ERROR, "failed to generate sha1 of %s", path.c_str());
        return -1;
    }
    return add_pair(ekva, digest, relname.c_str());
}

// One entry of the directory dir (open at dir_fd): a file hashed, or a
// directory walked.
int HashWalk::entry(int dir_fd, const struct dirent64 *de, const std::string &rel,
                    const std::string &dir) {
    const std::string relname = rel + "/" + de->d_name;
    if (too_long(relname, "relative name") || too_long(base + "/" + relname, "path"))
        return -1;
    if (type_of(dir_fd, de) != DT_DIR)
        return file(dir_fd, de, relname);
    Fd sub(openat(dir_fd, de->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    int rc = sub.get() < 0 ? -1 : tree(std::move(sub), relname, dir + "/" + de->d_name);
    if (rc != 0)
        zlogf(ZLOG_DEBUG, "zpm_zpf_hash_files on %s got rc=%d\n", relname.c_str(), rc);
    return rc;
}

int HashWalk::tree(Fd dir_fd, const std::string &rel, const std::string &dir) {
    std::vector<char> buf(32768);
    for (;;) {
        ssize_t n = getdents64(dir_fd.get(), buf.data(), buf.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        for (ssize_t at = 0; at < n;) {
            const auto *de = reinterpret_cast<const struct dirent64 *>(buf.data() + at);
            at += de->d_reclen;
            if (!std::strcmp(de->d_name, ".") || !std::strcmp(de->d_name, ".."))
                continue;
            if (int rc = entry(dir_fd.get(), de, rel, dir))
                return rc;
        }
    }
    if (dir_fd.close_now() != 0) {
        zlogf(ZLOG_ERROR, "can't close '%s'", dir.c_str());
        return -1;
    }
    return 0;
}

// -1 on failure, 0 when listed, 1 when the directory does not exist.
int examine_dir(const std::string &base, const std::string &rel, const std::string &dir) {
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0) {
        if (errno == ENOENT) {
            zlogf(ZLOG_DEBUG, "no directory %s under %s", base.c_str(), rel.c_str());
            return 1;
        }
        zlogf(ZLOG_ERROR, "can't stat '%s'", dir.c_str());
        return -1;
    }
    return S_ISDIR(st.st_mode) ? 0 : -1;
}

int hash_tree(const std::string &base, const std::string &rel, s_ekva ***ekva) {
    const std::string dir = base + rel;
    if (too_long(dir, "directory path"))
        return -1;
    Fd fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    // Why it cannot be opened (nothing there, a link, a file, ...) is told
    // as the look without opening told it.
    if (fd.get() < 0)
        return examine_dir(base, rel, dir) > 0 ? 0 : -1;
    if (!*ekva && !(*ekva = ekva_new(kHashCapacity, EKVA_ADD_APPEND)))
        return -1;
    HashWalk w{base, Fd(), ekva};
    return w.tree(std::move(fd), rel, dir);
}

} // namespace

int zpm_zpf_hash_files(const char *base_path, char **subdir, s_ekva ***file_hash_ekva) {
    if (!base_path || !subdir || !file_hash_ekva)
        return -1;
    if (!*subdir && !(*subdir = strdup("")))
        return -1;
    try {
        return hash_tree(base_path, *subdir, file_hash_ekva);
    } catch (...) { // allocation failure inside the walk
        zlogf(ZLOG_ERROR, "zpm_zpf_hash_files: out of memory under %s", base_path);
        return -1;
    }
}

bool zpm::pkg::file_digest(int fd, char *hex) {
    const struct timespec since = zpm::memo::read_start();
    struct stat st, now;
    zpm::memo::PackageFacts facts;
    if (fstat(fd, &st) != 0)
        return false;
    if (zpm::memo::lookup_package(st, &facts)) {
        memcpy(hex, facts.digest.c_str(), 41);
        return true;
    }
    if (lseek(fd, 0, SEEK_SET) != 0 || !zpm::sha1_fd(fd, 'x', hex))
        return false;
    facts.digest = hex;
    if (fstat(fd, &now) == 0 && zpm::memo::same_file(st, now))
        zpm::memo::record_package(now, facts, &since);
    return true;
}
