/* Carrying out transactions: install, update and delete on disk, with the
 * file-level rollback. */
#ifndef ZPM_EXEC_H
#define ZPM_EXEC_H

#include "zpm.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Set while a package that brought a shared library is being installed. */
extern int have_so;

int zpm_exe_install(ZPM *zpm, ZPT **zpt, ZPC *zpc);
int zpm_install_zpk(ZPM *zpm, ZPT **zpt, ZPI *zpi, char *candidate, ZPC *zpc);
int zpm_stage_have_zpk(char *zpk_filename, ZPI *zpi);
int zpm_chk_all_files(char *inst_dir, char ***data_files, char ***info_files, char ***init_files);
int zpm_chk_sub_files(char *inst_dir, char *fork, char ***files);
int zpm_chk_local_insert(ZPM *zpm, char **data_files, char ***copy_files);
int zpm_scripts_exe(ZPT **zpt);
int zpm_exe_update(ZPM *zpm, ZPT **zpt, ZPC *zpc);
int zpm_update_zpk(ZPM *zpm, ZPT **zpt, ZPI *old_zpi, ZPI *new_zpi, ZPC *zpc);
int zpm_chk_local_update(ZPM *zpm, char **old_files, char **new_files, char ***pdel_files,
                         char ***padd_files);
int zpm_exe_delete(ZPM *zpm, ZPT **zpt);
int zpm_one_delete(ZPM *zpm, ZPI *zpi);
int zpm_install_rollback(char **remove, char *bkp_base);

#ifdef __cplusplus
}

#include <string>
#include <vector>

namespace zpm::exec {
// The backup directories that a failed restore left since the last call
// (stagearea/<puname>/old), for the failure message.
std::vector<std::string> take_kept_backups();
} // namespace zpm::exec
#endif

#endif
