/* Key/value arrays: NULL-terminated arrays of s_ekva pointers, normally with a
 * "#EKVA_10:<capacity>:<mode>" header entry in the first slot. */
#ifndef ZPM_EKVA_H
#define ZPM_EKVA_H

#include <stdio.h>

#include "zpm/zpc.h" /* s_ekva */

#ifdef __cplusplus
extern "C" {
#endif

#define EKVA_ADD_KEEP 1
#define EKVA_ADD_REPLACE 2
#define EKVA_ADD_APPEND 3

s_ekva **ekva_new(int numents, int addmode);
s_ekva **ekva_init(int numents);
int ekva_addval(s_ekva ***ekva, const char *key, const char *val, int cur_addmode);
char *ekva_getval(s_ekva **ekva, const char *key);
char *ekva_getone(s_ekva **ekva, const char *key, int seq);
int ekva_cntval(s_ekva **ekva, const char *key);
int ekva_nument(s_ekva **ekva);
int ekva_print(s_ekva **ekva);
int ekva_fprint(s_ekva **ekva, FILE *outfile, int keysize);
void ekva_free(s_ekva **ekva);

#ifdef __cplusplus
}
#endif

#endif
