// Hash lists of the payload forks: reading hash/<fork>.txt and hashing an
// unpacked fork directory into the same digest -> "/relative/path" form.
#include <cerrno>
#include <cstring>
#include <string>
#include <sys/stat.h>

#include "cres.h"
#include "digest_memo.h"
#include "ekva.h"
#include "loglib.h"
#include "util.h"
#include "zpf.h"
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

int hash_tree(const std::string &base, const std::string &rel, s_ekva ***ekva);

// Directories are told by the listing's entry type; a file system that
// leaves the type unknown is asked with lstat so its directories are not
// mistaken for files.
bool is_directory(const struct dirent *de, const std::string &path) {
    if (de->d_type != DT_UNKNOWN)
        return de->d_type == DT_DIR;
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int hash_entry(const std::string &base, const std::string &relname, bool dir, s_ekva ***ekva) {
    if (dir) {
        int rc = hash_tree(base, relname, ekva);
        if (rc != 0)
            zlogf(ZLOG_DEBUG, "zpm_zpf_hash_files on %s got rc=%d\n", relname.c_str(), rc);
        return rc;
    }
    const std::string path = base + "/" + relname;
    char digest[41];
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && zpm::memo::lookup(st, digest))
        return add_pair(ekva, digest, relname.c_str());
    if (!sha1_file(path.c_str(), 'x', digest)) {
        zlogf(ZLOG_ERROR, "failed to generate sha1 of %s", path.c_str());
        return -1;
    }
    return add_pair(ekva, digest, relname.c_str());
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
    DIR *d = opendir(dir.c_str());
    if (!d)
        return -1;
    if (!*ekva && !(*ekva = ekva_new(kHashCapacity, EKVA_ADD_APPEND))) {
        closedir(d);
        return -1;
    }
    Dir guard(d);
    while (struct dirent *de = readdir(d)) {
        if (!std::strcmp(de->d_name, ".") || !std::strcmp(de->d_name, ".."))
            continue;
        const std::string relname = rel + "/" + de->d_name;
        if (too_long(relname, "relative name") || too_long(base + "/" + relname, "path"))
            return -1;
        if ((rc = hash_entry(base, relname, is_directory(de, dir + "/" + de->d_name), ekva)) != 0)
            return rc;
    }
    if (closedir(guard.release()) != 0) {
        zlogf(ZLOG_ERROR, "can't close '%s'", dir.c_str());
        return -1;
    }
    return 0;
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
