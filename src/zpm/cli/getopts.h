/* Command line: the option table, the option scanner, the -o options string
 * and its readers, the options help. */
#ifndef ZPM_GETOPTS_H
#define ZPM_GETOPTS_H

#include "ekva.h"

#ifdef __cplusplus
extern "C" {
#endif

struct options {
    int number;        /* what getopts returns for this row */
    char *name;        /* long form, written with "--" */
    char *description;
    char *shortName;   /* short form, written with "-" */
    int args;          /* 1: takes an argument */
};

/* Next argument getopts looks at; starts at 1. */
extern int option_index;
/* 1 with -n. */
extern int dry_run;

/* The rows of zpm's option table, ending with an all-zero row. */
extern const struct options zpm_option_table[];

int getopts(int argc, char **argv, struct options *opts, char **args);
int getopts_usage(const char *progName, struct options *opts);

s_ekva **zpmopts_str2ekva(s_ekva **ekva, const char *str, char delim);
int zpm_get_votemode(s_ekva **zpm_opt_user, int opt_vote_mode);
int zpk_verify(s_ekva **zpm_opt_user);
int zpm_debug(s_ekva **zpm_opt_user);
/* The value as stored: points into zpm_opt_user (not a copy), or NULL. */
char *zpm_get_variant(s_ekva **zpm_opt_user);
int zpm_get_outform(s_ekva **zpm_opt_user, int mode);
void zpm_opt_help(int zpm_mode);

#ifdef __cplusplus
}
#endif

#endif
