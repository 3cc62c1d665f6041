/* Configuration file reader: key=value lines and include lines. */
#ifndef ZPM_ZPMCONF_H
#define ZPM_ZPMCONF_H

#include "ekva.h"

#ifdef __cplusplus
extern "C" {
#endif

s_ekva **zpmconf_read(s_ekva **zpmconf, const char *config_filename);
/* key and val must each hold at least strlen(line) + 1 bytes. */
void _split_line(char *line, char *key, char *val);
void _clean_key(char *key);
void _clean_val(char *val);

#ifdef __cplusplus
}
#endif

#endif
