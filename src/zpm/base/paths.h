// Every fixed path of the system, formed in one place from a process-wide
// root prefix.  The prefix is empty in a normal run; unit tests point it at a
// temporary directory.  Nothing else reads the prefix.
#ifndef ZPM_PATHS_H
#define ZPM_PATHS_H

#include <string>

#include "zpm_build.h"

namespace zpm::paths {

void set_root(std::string root); // "" for the real system
const std::string &root();

// A target root for building an image (zpm -o root=DIR): the managed
// system's paths (inventory, stage, lock, log, targets) lie inside dir, but
// the configuration file and the certificate store are the host's unless dir
// has its own, and what belongs to the running program (its back ends, its
// temporary files, ldconfig) stays the host's.  "" ends it.
void set_target_root(std::string dir);
bool target_root_active();
// A path formed with the root prefix, as a process chrooted into the target
// root sees it; other paths unchanged.
std::string inside(const std::string &path);

// The fixed names, as the system knows them.
inline constexpr const char *kConfFile = "/etc/zpm.conf";
inline constexpr const char *kLibDir = ZPM_BACKEND_DIR; // "/usr/lib/zpm" by default
inline constexpr const char *kVarDir = "/var"; // log file: "%.200s/log/zpm.log"
inline constexpr const char *kInvDir = "/var/lib/zpm";
inline constexpr const char *kInstalledDir = "/var/lib/zpm/installed";
inline constexpr const char *kFileIndexDir = "/var/lib/zpm/fileindex";
inline constexpr const char *kStageDir = "/var/lib/zpm/stagearea";
inline constexpr const char *kScriptDir = "/var/lib/zpm/scriptdir";
inline constexpr const char *kCertStore = "/var/lib/zpm/certstore";
inline constexpr const char *kLockFile = "/var/lib/zpm/lock";
inline constexpr const char *kInstallLog = "/var/lib/zpm/install.log";
// What a change of the system is about to do, kept until it is done.
inline constexpr const char *kJournal = "/var/lib/zpm/journal";
// Default package directory of the zpc-dirs catalogue back end.
inline constexpr const char *kRepoDir = "/var/lib/zpm/repo";
inline constexpr const char *kLdconfig = "/sbin/ldconfig";
inline constexpr const char *kTmpListTemplate = "/tmp/zpi_listXXXXXX";
inline constexpr const char *kTmpUiDataTemplate = "/tmp/uilistdatXXXXXX";
inline constexpr const char *kTmpUiOutTemplate = "/tmp/uilistoutXXXXXX";

// root() + fixed, e.g. at(kConfFile).
std::string at(const char *fixed);

std::string conf_file();
std::string lib_dir();
std::string log_file(); // "%.200s/log/zpm.log" of root() + "/var"
std::string inv_dir();
std::string installed_dir();
std::string fileindex_dir();
std::string stage_dir();
std::string script_dir();
std::string certstore_dir();
std::string lock_file();
std::string install_log();
std::string journal_file();
// The name of a fixed path below the inventory directory relative to it
// ("installed" for kInstalledDir), for calls relative to its descriptor.
const char *below_inv(const char *fixed);
std::string repo_dir();
std::string tmp_template(const char *fixed_template); // for mkstemp
std::string ldconfig();
// Where a package's absolute path (a data file, "/usr/bin/x") lies on disk.
std::string target(const std::string &abs_path);

} // namespace zpm::paths

#endif
