/* The catalogue: the back-end plug-in, the cache of the whole catalogue
 * while planning, and the choice of one package among variants and versions. */
#ifndef ZPM_CATALOGUE_H
#define ZPM_CATALOGUE_H

#include "zpm.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The whole catalogue while install, update and walk plan; NULL otherwise. */
extern ZPI **cached_zpis;
extern zpc_connect_fn pzpm_zpc_connect;
extern zpc_refresh_fn pzpm_zpc_refresh;
extern zpc_findpkg_fn pzpm_zpc_findpkg;
extern zpc_readpkg_fn pzpm_zpc_readpkg;
extern zpc_release_fn pzpm_zpc_release;
/* The back end's optional zpc_prefetch; NULL when it has none. */
extern zpc_prefetch_fn pzpm_zpc_prefetch;

void *zpm_zpc_load(const char *backend_library);
void zpm_zpc_close(void *backend_handle);
int zpm_cache_fill(ZPC *zpc);
void zpm_cache_free(void);
int zpm_findpkg(ZPC *zpc, char *name, char *variant, char *version, int arch,
                s_ekva **ext_attributes, ZPI ***zpi_list);
void zpm_zpi_list_free(ZPI **zpi_list);

int zpm_findone(const char *pkg_name, const char *variant, ZPI **zpi_list);
ZPI *zpm_findone_zpc(ZPM *zpm, char *pkg_name, char *variant, ZPC *zpc);
ZPI **zpm_findall_dirs(ZPM *zpm, const char *pkg_name, const char *variant, char **dep_dirs);
ZPI *zpm_findone_dirs(ZPM *zpm, const char *pkg_name, const char *variant, char **dep_dirs);

#ifdef __cplusplus
}
#endif

#endif
