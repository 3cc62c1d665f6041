// Checks of what lies in the stage: a staged package file against its
// catalogue record, and an unpacked package against its own hash lists.
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fnmatch.h>
#include <string>
#include <sys/stat.h>
#include <unordered_map>

#include "digest_memo.h"
#include "exec.h"
#include "exec_common.h"
#include "loglib.h"
#include "recptr.h"
#include "util.h"
#include "zpf.h"

namespace {

constexpr const char kEkvaHeader[] = "#EKVA_10:";

bool is_header(const s_ekva *e) {
    return e->key && !strncmp(e->key, kEkvaHeader, sizeof kEkvaHeader - 1);
}

// The real entries of a key/value array, header skipped.
template <class F> void each_entry(s_ekva **ekva, F f) {
    for (size_t i = 0; ekva && ekva[i]; i++)
        if (!is_header(ekva[i]))
            f(ekva[i]);
}

std::string lower(const char *s) {
    std::string out = s ? s : "";
    for (auto &c : out)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return out;
}

// The package's list as hash -> paths; hashes compare without regard to
// case, as keys of the list do.
using HashIndex = std::unordered_multimap<std::string, const char *>;

HashIndex index_list(s_ekva **list) {
    HashIndex idx;
    each_entry(list, [&](s_ekva *e) { idx.emplace(lower(e->key), e->val ? e->val : ""); });
    return idx;
}

// Verifies one file found in the fork; true when the list names it with its hash.
bool verify_one(const HashIndex &idx, const char *fork, const char *hash, const char *path) {
    auto [from, to] = idx.equal_range(lower(hash));
    if (from == to) {
        zlogf(ZLOG_ERROR,
              "zpm_chk_files: verify of %s%s failed: file not found in %s.txt or hashes do not "
              "match",
              fork, path, fork);
        return false;
    }
    bool matched = false;
    for (auto it = from; it != to; ++it)
        if (!strcmp(it->second, path)) {
            zlogf(ZLOG_DEBUG, "zpm_chk_sub_files: verify of %s%s succeeded: hash %s matches",
                  fork, path, hash);
            matched = true;
        }
    if (!matched)
        zlogf(ZLOG_ERROR, "zpm_chk_sub_files: verify of %s%s failed: file not found in %s.txt",
              fork, path, fork);
    return matched;
}

} // namespace

extern "C" int zpm_stage_have_zpk(char *zpk_filename, ZPI *zpi) {
    if (!zpk_filename || !zpi || !zpi->filehash || zpi->filesize == 0)
        return 0;
    // Only a regular file zpm wrote counts: never one reached through a link,
    // nor anything a read would wait on.
    Fd fd(open(zpk_filename, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<uint64_t>(st.st_size) != zpi->filesize)
        return 0;
    char digest[41];
    if (!zpm::pkg::file_digest(fd.get(), digest))
        return 0;
    return strcmp(digest, zpi->filehash) == 0 ? 1 : 0;
}

extern "C" int zpm_chk_sub_files(char *inst_dir, char *fork, char ***files) {
    const std::string dir = std::string(inst_dir) + "/" + fork;
    EkvaPtr found;
    {
        s_ekva **raw = nullptr;
        char *sub = nullptr;
        int rc = zpm_zpf_hash_files(dir.c_str(), &sub, &raw);
        free(sub);
        found.reset(raw);
        if (rc != 0) {
            zlogf(ZLOG_WARNING, "zpm_chk_sub_files: Failure hashing %s files", fork);
            return rc;
        }
    }
    size_t count = 0;
    each_entry(found.get(), [&](s_ekva *) { count++; });
    if (count == 0) {
        zlogf(ZLOG_DEBUG, "zpm_chk_sub_files: No files were found in %s", dir.c_str());
        return 0;
    }
    s_ekva **raw_list = nullptr;
    int rc = zpm_zpf_zpk_hashes(inst_dir, fork, &raw_list);
    EkvaPtr list(raw_list);
    if (rc != 0 || !list) {
        zlogf(ZLOG_ERROR, "zpm_chk_sub_files: Failure reading hash values for %s in package",
              fork);
        return rc ? rc : -1;
    }
    const HashIndex idx = index_list(list.get());
    char **out = static_cast<char **>(calloc(count + 1, sizeof(char *)));
    if (!out)
        return -1;
    *files = out;
    int errors = 0;
    size_t n = 0;
    each_entry(found.get(), [&](s_ekva *e) {
        const char *path = e->val ? e->val : "";
        if (!have_so && fnmatch("*.so.*", path, 0) == 0)
            have_so = 1;
        if (!verify_one(idx, fork, e->key, path))
            errors++;
        else if (errors == 0)
            out[n++] = strdup(path);
    });
    if (errors) {
        zlogf(ZLOG_DEBUG, "zpm_chk_sub_files: verify of all files in %s failed. %d errors found",
              fork, errors);
        arr_free(out);
        *files = nullptr;
        return errors;
    }
    zlogf(ZLOG_DEBUG, "zpm_chk_sub_files: verify of %d files in %s succeeded",
          static_cast<int>(n), fork);
    return 0;
}

extern "C" int zpm_chk_all_files(char *inst_dir, char ***data_files, char ***info_files,
                                 char ***init_files) {
    // What the unpacking remembered serves this check only; from here on
    // the files may change.
    struct Forget {
        ~Forget() { zpm::memo::clear(); }
    } forget;
    zlogf(ZLOG_DEBUG, "zpm_chk_all_files: checking data files in %s", inst_dir);
    int rc = zpm_chk_sub_files(inst_dir, const_cast<char *>("data"), data_files);
    if (rc) {
        zlogf(ZLOG_ERROR, "zpm_chk_all_files: Failure checking data files in %s", inst_dir);
        return rc;
    }
    zlogf(ZLOG_DEBUG, "zpm_chk_all_files: checking info files in %s", inst_dir);
    if ((rc = zpm_chk_sub_files(inst_dir, const_cast<char *>("info"), info_files))) {
        zlogf(ZLOG_ERROR, "zpm_chk_all_files: Failure checking info files in %s", inst_dir);
        arr_free(*data_files);
        *data_files = nullptr;
        return rc;
    }
    zlogf(ZLOG_DEBUG, "zpm_chk_all_files: checking init files in %s", inst_dir);
    if ((rc = zpm_chk_sub_files(inst_dir, const_cast<char *>("init"), init_files))) {
        zlogf(ZLOG_ERROR, "zpm_chk_all_files: Failure checking init files in %s", inst_dir);
        arr_free(*data_files);
        arr_free(*info_files);
        *data_files = *info_files = nullptr;
        return rc;
    }
    return 0;
}
