#include "paths.h"

#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace zpm::paths {

namespace {
std::string &root_prefix() {
    static std::string prefix;
    return prefix;
}
bool &target_active() {
    static bool active = false;
    return active;
}
// The target root's own file or directory when it has one, else the host's.
std::string own_or_host(const char *fixed) {
    struct stat st;
    std::string own = root_prefix() + fixed;
    return lstat(own.c_str(), &st) == 0 ? own : fixed;
}
} // namespace

void set_root(std::string root) {
    while (!root.empty() && root.back() == '/')
        root.pop_back();
    root_prefix() = std::move(root);
}

const std::string &root() { return root_prefix(); }

void set_target_root(std::string dir) {
    set_root(std::move(dir));
    target_active() = !root_prefix().empty();
}

bool target_root_active() { return target_active(); }

std::string inside(const std::string &path) {
    const std::string &r = root_prefix();
    if (!target_active() || path.compare(0, r.size(), r) != 0)
        return path;
    if (path.size() == r.size())
        return "/";
    return path[r.size()] == '/' ? path.substr(r.size()) : path;
}

std::string at(const char *fixed) { return root_prefix() + fixed; }

} // namespace zpm::paths

// For back ends, which reach zpm only through the C functions it exports.
extern "C" const char *zpm_root_prefix(void) { return zpm::paths::root().c_str(); }

namespace zpm::paths {

std::string conf_file() { return target_active() ? own_or_host(kConfFile) : at(kConfFile); }
std::string lib_dir() { return target_active() ? kLibDir : at(kLibDir); }
std::string log_file() {
    char buf[256];
    std::snprintf(buf, sizeof buf, "%.200s/log/zpm.log", at(kVarDir).c_str());
    return buf;
}
std::string inv_dir() { return at(kInvDir); }
std::string installed_dir() { return at(kInstalledDir); }
std::string fileindex_dir() { return at(kFileIndexDir); }
std::string stage_dir() { return at(kStageDir); }
std::string script_dir() { return at(kScriptDir); }
std::string certstore_dir() {
    return target_active() ? own_or_host(kCertStore) : at(kCertStore);
}
std::string lock_file() { return at(kLockFile); }
std::string install_log() { return at(kInstallLog); }
std::string journal_file() { return at(kJournal); }
const char *below_inv(const char *fixed) {
    const size_t n = std::strlen(kInvDir);
    if (std::strncmp(fixed, kInvDir, n) == 0 && fixed[n] == '/')
        return fixed + n + 1;
    return fixed;
}
std::string repo_dir() { return at(kRepoDir); }
std::string tmp_template(const char *fixed_template) {
    return target_active() ? fixed_template : at(fixed_template);
}
std::string ldconfig() { return target_active() ? kLdconfig : at(kLdconfig); }
std::string target(const std::string &abs_path) { return root_prefix() + abs_path; }

} // namespace zpm::paths
