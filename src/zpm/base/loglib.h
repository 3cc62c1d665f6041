/* The log: one handle sending each message to a log file, the system log and
 * standard error, each with its own mask of levels. */
#ifndef ZPM_LOGLIB_H
#define ZPM_LOGLIB_H

#include "zpm/zpc.h" /* s_zpmlog */

#ifdef __cplusplus
extern "C" {
#endif

/* Levels are single bits (the names avoid syslog.h's LOG_* macros). */
#define ZLOG_ERROR 1
#define ZLOG_WARNING 2
#define ZLOG_INFO 4
#define ZLOG_DEBUG 8

#define LOGMSG_SIZE 2001
#define LOGMSG_MAX 2000

extern s_zpmlog *zpmlog;
extern char logmsg[LOGMSG_SIZE];

s_zpmlog *log_init(const char *filename, int level, int syslevel, int stdlevel, const char *ident);
int log_write(s_zpmlog *zpmlog, int level, const char *logmsg);
int log_file_new(s_zpmlog *zpmlog, const char *filename);
int log_level_new(s_zpmlog *zpmlog, int level, int syslevel, int stdlevel);
/* Releases a handle made by log_init (closes the system log when it opened it). */
void log_free(s_zpmlog *zpmlog);

/* The callers' convention in one call: snprintf(logmsg, 2000, fmt, ...) and
 * log_write(zpmlog, level, logmsg). */
void zlogf(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

#ifdef __cplusplus
}
#endif

#endif
