/* zpm: the records of the package manager.
 *
 * Ownership in one paragraph: every function that returns a record, list or
 * string hands it to the caller; containers copy what they store; each kind
 * has its own free function.  Records keep a plain C layout and are made with
 * malloc/strdup, because a catalogue plug-in creates records that zpm frees.
 */
#ifndef ZPM_ZPM_H
#define ZPM_ZPM_H

#include <stdint.h>
#include <stdio.h>
#include <time.h>

#include "zpm/zpc.h" /* ZPI, ZPC, s_ekva, s_zpmlog */
#include "ekva.h"
#include "zpm_build.h" /* ZPM_VERSION */

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------ records */

/* Inventory handle. */
typedef struct s_zpm {
    int arch;
    int lock;        /* 1 once this handle holds the inventory lock */
    char *path_name; /* carried only; every inventory path is fixed */
    char *dist_name;
    char *dist_vers;
    char *zpm_vers;
} ZPM;

/* One dependency record of a planned transaction. */
typedef struct s_zpd {
    char status;      /* 'I' installed, 'L' local file, 'R' catalogue, 'U' unresolved */
    char action;      /* 'N' nothing, 'I' install, 'D' delete */
    char *dependency; /* name as listed by the dependent package */
    char *candidate;  /* name of the package that needs it */
    char *version;    /* always NULL */
    ZPI *zpi;         /* resolved package, NULL for 'U' */
    int depth;
    int circular;
} ZPD;

/* One planned transaction. */
typedef struct s_zpt {
    char *zpk_name; /* the request as given: a name or a package file path */
    char zpk_stat;  /* 'L' package file (always for delete), 'R' catalogue */
    char action;    /* 'I', 'U', 'D'; 0 for a walk */
    ZPI *zpi;       /* the head package */
    char status;    /* 'N' after planning */
    int num_zpds;
    ZPD **all_zpds; /* NULL-terminated, or NULL */
    s_ekva **cfg_scripts;
    unsigned long tot_file_size;
    unsigned long tot_data_size;
} ZPT;

/* One entry of an action list (a NULL-terminated ZPA**). */
typedef struct s_zpa {
    char action;
    char status;
    ZPI *zpi;        /* owned copy */
    char *candidate; /* owned copy */
} ZPA;

/* State of a fixed-column text table. */
typedef struct s_zpmls {
    int detail;
    int type;
    int list_format;
    FILE *listfile; /* not owned */
    char *locdata;  /* always NULL */
} ZPMLS;

/* Information types of the report writers. */
#define ZPM_INFO_CATALOGUE 1
#define ZPM_INFO_INSTALLED 2
#define ZPM_INFO_ZPKFILE 3

/* Output formats. */
#define ZPM_FMT_TEXT 1
#define ZPM_FMT_LDIF 2
#define ZPM_FMT_XML 3
#define ZPM_FMT_CSV 4
#define ZPM_FMT_TABLE 5
#define ZPM_FMT_FORM 6

#ifdef __cplusplus
}
#endif

#endif
