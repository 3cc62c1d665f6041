/* The inventory of installed packages under /var/lib/zpm, its lock and the
 * install log. */
#ifndef ZPM_INVENTORY_H
#define ZPM_INVENTORY_H

#include "zpm.h"

#ifdef __cplusplus
extern "C" {
#endif

ZPM *zpm_open(const char *path_name);
int zpm_lock(ZPM *zpm);
int zpm_close(ZPM *zpm);
ZPI *zpm_zpl_info(ZPM *zpm, const char *name);
int zpm_list_zpi(ZPM *zpm, const char *wild, int sort, ZPI ***list);
char **zpm_list_arr(ZPM *zpm, int sort);
char *zpm_file_owner(ZPM *zpm, const char *filename);
char **zpm_zpl_file_list(ZPM *zpm, ZPI *zpi);
char **zpm_zpl_index(ZPM *zpm, const char *name);
void zpm_log_action(int action, const char *puname_old, const char *puname_new,
                    const char *candidate);
const char *zpk_stat_desc(char stat);

#ifdef __cplusplus
}

#include <string>

namespace zpm::inv {
// Appends "<time stamp>: <event>" to the install log, for the events that are
// not the install, update and delete of zpm_log_action (the recovery of an
// interrupted change).
void log_event(const std::string &event);
} // namespace zpm::inv
#endif

#endif
