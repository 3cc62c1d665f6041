#include "paths.h"

#include <cstdio>
#include <cstring>

namespace zpm::paths {

namespace {
std::string &root_prefix() {
    static std::string prefix;
    return prefix;
}
} // namespace

void set_root(std::string root) {
    while (!root.empty() && root.back() == '/')
        root.pop_back();
    root_prefix() = std::move(root);
}

const std::string &root() { return root_prefix(); }

std::string at(const char *fixed) { return root_prefix() + fixed; }

} // namespace zpm::paths

// For back ends, which reach zpm only through the C functions it exports.
extern "C" const char *zpm_root_prefix(void) { return zpm::paths::root().c_str(); }

namespace zpm::paths {

std::string conf_file() { return at(kConfFile); }
std::string lib_dir() { return at(kLibDir); }
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
std::string certstore_dir() { return at(kCertStore); }
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
std::string tmp_template(const char *fixed_template) { return at(fixed_template); }
std::string ldconfig() { return at(kLdconfig); }
std::string target(const std::string &abs_path) { return root_prefix() + abs_path; }

} // namespace zpm::paths
