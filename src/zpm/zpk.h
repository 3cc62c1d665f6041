/* The package information record: parsing, copying, freeing, names and
 * architectures. */
#ifndef ZPM_ZPK_H
#define ZPM_ZPK_H

#include "zpm.h"

#ifdef __cplusplus
extern "C" {
#endif

ZPI *zpk_info_parse(const char *zpl_name, int type, char *desc, char *inst);
ZPI *zpk_info_copy(const ZPI *src);
void zpk_info_free(ZPI *zpi);
s_ekva **zpk_info_ekva(const ZPI *zpi, int type);
int zpk_arch_getid(const char *archstring);
const char *zpk_arch_getname(int arch);
char *zpk_puname(const ZPI *zpi);
int zpm_zpi_match(const ZPI *zpi, const char *wild);
void zpm_zpi_list_sort(ZPI ***zpi_list);
int zpk_file_is_zpk(const char *filename);
const char *_get_filename_ext(const char *filename);

#ifdef __cplusplus
}
#endif

#endif
