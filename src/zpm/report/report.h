/* Reports: package details, package lists and action lists as text,
 * colon-separated values, LDIF and dialogs. */
#ifndef ZPM_REPORT_H
#define ZPM_REPORT_H

#include <stdio.h>
#include "zpm.h"

#ifdef __cplusplus
extern "C" {
#endif

int zpm_zpk_info_write(ZPI *zpi, FILE *outfile, int type, int list_format, int detail);
ZPMLS *zpm_ftable_new(FILE *listfile, char *table_header, s_ekva **head_ekva, int type,
                      int list_format, int detail);
int zpm_ftable_add(ZPMLS *zpmls, s_ekva **data_ekva);
int zpm_ftable_end(ZPMLS *zpmls, char *table_footer);
int zpm_zpk_list_write(FILE *listfile, ZPI **zpi_list, int num_zpis, int type, int list_format,
                       int detail);
int zpm_zpa_list_write(ZPA **zpa_list, int num_zpas, const char *header, int detail);
int ldif_uiwrite(const char *attr, const char *value, int len_value, int type);

#ifdef __cplusplus
}
#endif

#endif
