// Hash lists of the payload forks: reading hash/<fork>.txt and hashing an
// unpacked fork directory into the same digest -> "/relative/path" form.
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>

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
// nothing that is not a regular file is ever read.
struct HashWalk {
    const std::string &base;
    int base_fd;
    s_ekva ***ekva;
    int tree(int dir_fd, const std::string &rel, const std::string &dir);
    int file(int dir_fd, const struct dirent *de, const std::string &relname);
};

// The entry's type: from the listing, or asked without following a link
// when the file system leaves it unknown.
unsigned char type_of(int dir_fd, const struct dirent *de) {
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

int HashWalk::file(int dir_fd, const struct dirent *de, const std::string &relname) {
    const std::string path = base + "/" + relname;
    std::string why;
    Fd fd(type_of(dir_fd, de) == DT_LNK ? zpm::pkg::open_link_target(base_fd, relname, &why)
                                        : zpm::pkg::open_regular_at(dir_fd, de->d_name, &why));
    char digest[41];
    struct stat st;
    bool known = fd.get() >= 0 && fstat(fd.get(), &st) == 0 && zpm::memo::lookup(st, digest);
    if (fd.get() < 0 || (!known && !zpm::sha1_fd(fd.get(), 'x', digest))) {
        if (!why.empty())
            zlogf(ZLOG_ERROR, "%s %s", path.c_str(), why.c_str());
        zlogf(ZLOG_ERROR, "failed to generate sha1 of %s", path.c_str());
        return -1;
    }
    return add_pair(ekva, digest, relname.c_str());
}

int HashWalk::tree(int dir_fd, const std::string &rel, const std::string &dir) {
    DIR *d = fdopendir(dir_fd);
    if (!d) {
        close(dir_fd);
        return -1;
    }
    Dir guard(d);
    int rc = 0;
    while (struct dirent *de = readdir(d)) {
        if (!std::strcmp(de->d_name, ".") || !std::strcmp(de->d_name, ".."))
            continue;
        const std::string relname = rel + "/" + de->d_name;
        if (too_long(relname, "relative name") || too_long(base + "/" + relname, "path"))
            return -1;
        if (type_of(dirfd(d), de) != DT_DIR) {
            if ((rc = file(dirfd(d), de, relname)) != 0)
                return rc;
            continue;
        }
        int sub = openat(dirfd(d), de->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        rc = sub < 0 ? -1 : tree(sub, relname, dir + "/" + de->d_name);
        if (rc != 0) {
            zlogf(ZLOG_DEBUG, "zpm_zpf_hash_files on %s got rc=%d\n", relname.c_str(), rc);
            return rc;
        }
    }
    if (closedir(guard.release()) != 0) {
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
    int rc = examine_dir(base, rel, dir);
    if (rc != 0)
        return rc > 0 ? 0 : -1;
    Fd base_fd(open(base.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (base_fd.get() < 0 || fd < 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    if (!*ekva && !(*ekva = ekva_new(kHashCapacity, EKVA_ADD_APPEND))) {
        close(fd);
        return -1;
    }
    HashWalk w{base, base_fd.get(), ekva};
    return w.tree(fd, rel, dir);
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
