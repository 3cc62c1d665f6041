/* Planning transactions (dependencies, order, what a delete takes with it)
 * and the action lists shown before a change. */
#ifndef ZPM_PLAN_H
#define ZPM_PLAN_H

#include "zpm.h"

#ifdef __cplusplus
extern "C" {
#endif

ZPD *zpm_get_dependency(ZPM *zpm, const char *cand, const char *dep_name, ZPC *zpc,
                        char **dep_dirs, ZPD **dep_zpk);
int zpm_chk_install(ZPM *zpm, ZPI *cand, ZPC *zpc, char **dep_dirs, int *num_zpds,
                    ZPD ***all_zpds);
int zpm_chk_walk(ZPM *zpm, ZPI *cand, ZPC *zpc, char **dep_dirs, int *num_zpds,
                 ZPD ***all_zpds);
void zpds_sort(ZPI *zpt_head, ZPD ***all_zpds);
ZPT *zpm_pre_install(ZPM *zpm, ZPC *zpc, char *zpk_name, char *variant, char **dep_dirs,
                     ZPT **zpt);
ZPT *zpm_pre_update(ZPM *zpm, ZPC *zpc, char *zpk_name, char *variant, char **dep_dirs,
                    ZPT **zpt);
ZPT *zpm_walk(ZPM *zpm, ZPC *zpc, char *zpk_name, char *variant, char **dep_dirs, ZPT **zpt);
ZPI **zpm_chk_delete_reqs(ZPM *zpm, ZPI *candidate);
int zpm_chk_delete_deps(ZPM *zpm, ZPI *cand, int *num_zpds, ZPD ***all_zpds);
ZPT *zpm_pre_delete(ZPM *zpm, char *zpk_name, ZPT **zpt);
void zpd_free(ZPD *zpd);
void zpt_free(ZPT *zpt);

int zpm_zpa_list_new_zpi(ZPA **zpa_list, ZPI *zpi);
int zpm_zpa_list_add_zpt(ZPT *zpt, ZPA ***zpa_list);
void zpm_zpa_list_free(ZPA **zpa_list);

#ifdef __cplusplus
}
#endif

#endif
