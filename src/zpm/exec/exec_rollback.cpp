// The file-level rollback shared by install, update and delete: every file
// that is replaced or removed is first saved in the package's backup
// directory, whose index lists it, so it can be put back.
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "cres.h"
#include "exec.h"
#include "exec_common.h"
#include "fsops.h"
#include "loglib.h"
#include "paths.h"

namespace zpm::exec {

bool save_to_backup(const std::string &file, const std::string &old_dir) {
    const std::string backup = old_dir + file;
    if (backup.size() >= 2048 || zpm_zpf_copy(backup.c_str(), file.c_str(), nullptr, 1, 0, 0) < 0)
        return false;
    return zpm::fs::list_backup(old_dir, file.c_str()) == 0;
}

std::vector<std::string> on_disk(char **paths, size_t count) {
    std::vector<std::string> out;
    for (size_t i = 0; paths && i < count && paths[i]; i++)
        out.push_back(zpm::paths::target(paths[i]));
    return out;
}

void rollback(const std::vector<std::string> &written, const std::string &old_dir) {
    std::vector<char *> list;
    for (const auto &p : written)
        list.push_back(const_cast<char *>(p.c_str()));
    list.push_back(nullptr);
    std::string base = old_dir;
    zpm_install_rollback(list.data(), base.data());
}

} // namespace zpm::exec

extern "C" int zpm_install_rollback(char **remove, char *bkp_base) {
    if (!bkp_base)
        bkp_base = const_cast<char *>("");
    for (size_t i = 0; remove && remove[i]; i++) {
        zlogf(ZLOG_DEBUG, "zpm_install_rollback: removing %s", remove[i]);
        unlink(remove[i]);
    }
    const std::string index = std::string(bkp_base) + "/index.txt";
    File f(fopen(index.c_str(), "r"));
    if (!f) {
        zlogf(ZLOG_INFO, "zpm_install_rollback: no files to restore registered");
        return 0;
    }
    bool failed = false;
    zpm::exec::each_index_line(f.get(), index.c_str(), [&](const char *line) {
        zlogf(ZLOG_DEBUG, "zpm_install_rollback: Found %s to restore", line);
        char backup[4001];
        snprintf(backup, sizeof backup, "%.2000s%.2000s", bkp_base, line);
        zlogf(ZLOG_DEBUG, "zpm_install_rollback: Copying %s to %s", backup, line);
        if (zpm_zpf_copy(line, backup, nullptr, 1, 0, 0) < 0) {
            zlogf(ZLOG_ERROR,
                  "zpm_install_rollback: Failure restoring %s, you're in deep shit. We still try "
                  "to do the rest.",
                  line);
            failed = true;
        }
        return true;
    });
    zlogf(ZLOG_ERROR, "zpm_install_rollback: finished");
    if (failed)
        zpm::exec::note_restore_failure(); // the change's backups must stay
    return failed ? -1 : 0;
}
