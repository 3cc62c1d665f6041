// Scanning a repository directory for its package files: the one scan behind
// the index that zpc-dirs refreshes and zpk-index writes, so both write the
// same index for the same directory.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "repo_index.h"

namespace zpcrepo {

namespace {

bool has_zpk_suffix(const char *name) {
    size_t n = strlen(name);
    return n > 4 && name[0] != '.' && strcmp(name + n - 4, ".zpk") == 0;
}

} // namespace

bool list_packages(const std::string &dir, std::vector<std::string> &names) {
    Dir d(opendir(dir.c_str()));
    if (!d) {
        logf(kWarning, "cannot read directory %s: %s", dir.c_str(), strerror(errno));
        return false;
    }
    while (dirent *de = readdir(d.get())) {
        struct stat st;
        std::string path = dir + "/" + de->d_name;
        if (has_zpk_suffix(de->d_name) && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
            names.push_back(de->d_name);
    }
    std::sort(names.begin(), names.end());
    return true;
}

std::vector<ZpiPtr> scan_dir(const std::string &dir, const std::vector<std::string> &names) {
    std::vector<ZpiPtr> out;
    out.reserve(names.size());
    for (const std::string &n : names) {
        std::string path = dir + "/" + n;
        ZpiPtr z(zpm_zpf_info(path.c_str(), 0));
        if (!z) {
            logf(kWarning, "skipping %s: not a readable package file", path.c_str());
            continue;
        }
        free(z->rel_uri);
        z->rel_uri = strdup(n.c_str());
        free(z->abs_uri);
        z->abs_uri = strdup(path.c_str());
        out.push_back(std::move(z));
    }
    return out;
}

} // namespace zpcrepo
