/* zpm: records and functions of the package manager.
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

#ifdef __cplusplus
extern "C" {
#endif

#define ZPM_VERSION "1.0.24"

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

/* ---------------------------------------------------------------- globals */

/* The whole catalogue while install, update and walk plan; NULL otherwise. */
extern ZPI **cached_zpis;
extern zpc_connect_fn pzpm_zpc_connect;
extern zpc_refresh_fn pzpm_zpc_refresh;
extern zpc_findpkg_fn pzpm_zpc_findpkg;
extern zpc_readpkg_fn pzpm_zpc_readpkg;
extern zpc_release_fn pzpm_zpc_release;
extern int have_so;

/* ------------------------------------------------- package record (zpk.cpp) */

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

/* ---------------------------------------- package files and hashes (zpf*.cpp) */

ZPI *zpm_zpf_info(const char *zpf_name, int verify_sig);
char **zpm_zpf_index(ZPM *zpm, const char *zpf_name);
int zpm_zpf_extract(const char *zpf_name, const char *path_name, int verify_sig);
int zpm_zpf_zpk_hashes(const char *inst_dir, const char *fork, s_ekva ***zpm_hash_ekva);
int zpm_zpf_hash_files(const char *base_path, char **subdir, s_ekva ***file_hash_ekva);

/* --------------------------------------------- file-system helpers (zpf_fs.cpp) */

/* Copies src_name to dst_full.  An existing regular file at dst_full is first
 * saved under bkp_base (at bkp_base followed by dst_full, listed in
 * "<bkp_base>/index.txt") when bkp_base is not NULL; an existing symbolic link
 * is removed; anything else is refused.  The new content is written under a
 * temporary name beside the target and renamed over it, so the target is
 * always either the old file or the whole new one.  keep_mode: 1 the source's
 * mode, above 1 that mode, else the mode of creation.  keep_time and keep_user
 * are not acted on.  Returns the number of bytes copied, or -1. */
int zpm_zpf_copy(const char *dst_full, const char *src_name, const char *bkp_base, int keep_mode,
                 int keep_time, int keep_user);
/* Puts the staged file src_name at dst_full exactly as
 * zpm_zpf_copy(dst_full, src_name, bkp_base, 1, 0, 0) would (same backup, same
 * messages, same result, and the same resulting file: content, mode, owner,
 * current modification time), but without copying the content when both lie
 * on one file system: src_name is renamed there, or with keep_source it gets
 * a second name there and stays (sharing the new file's content until the
 * stage is removed).  Callers hand only files nothing writes to any more. */
int zpm_zpf_place(const char *dst_full, const char *src_name, const char *bkp_base,
                  int keep_source);
/* Applies a permission list ("<file>|<octal mode>" lines). */
int zpm_zpf_perms(const char *perm_filename);
/* Walks a link list ("<dir>|<target>|<name>" lines): removes (del) and/or
 * creates (create) the listed symbolic links. */
int zpm_zpf_links(const char *link_filename, int del, int create);
/* Removes path and, for a directory, everything below it; links are removed,
 * not followed.  0 also when path does not exist. */
int zpm_zpf_rmdir(const char *path);
/* Creates pathname with mode and its missing parents with 0755.  A trailing
 * '/' is removed from the caller's string. */
void zpm_zpf_mkdir(char *pathname, int mode);

/* ------------------------------------------ execution (exec_*.cpp) */

int zpm_exe_install(ZPM *zpm, ZPT **zpt, ZPC *zpc);
int zpm_install_zpk(ZPM *zpm, ZPT **zpt, ZPI *zpi, char *candidate, ZPC *zpc);
int zpm_stage_have_zpk(char *zpk_filename, ZPI *zpi);
int zpm_chk_all_files(char *inst_dir, char ***data_files, char ***info_files, char ***init_files);
int zpm_chk_sub_files(char *inst_dir, char *fork, char ***files);
int zpm_chk_local_insert(ZPM *zpm, char **data_files, char ***copy_files);
int zpm_scripts_exe(ZPT **zpt);
int zpm_exe_update(ZPM *zpm, ZPT **zpt, ZPC *zpc);
int zpm_update_zpk(ZPM *zpm, ZPT **zpt, ZPI *old_zpi, ZPI *new_zpi, ZPC *zpc);
int zpm_chk_local_update(ZPM *zpm, char **old_files, char **new_files, char ***pdel_files,
                         char ***padd_files);
int zpm_exe_delete(ZPM *zpm, ZPT **zpt);
int zpm_one_delete(ZPM *zpm, ZPI *zpi);
int zpm_install_rollback(char **remove, char *bkp_base);

/* -------------------------------------------------- inventory (inventory.cpp) */

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

/* ------------------------------------------- catalogue back end (catalogue.cpp) */

void *zpm_zpc_load(const char *backend_library);
void zpm_zpc_close(void *backend_handle);
int zpm_cache_fill(ZPC *zpc);
void zpm_cache_free(void);
int zpm_findpkg(ZPC *zpc, char *name, char *variant, char *version, int arch,
                s_ekva **ext_attributes, ZPI ***zpi_list);
void zpm_zpi_list_free(ZPI **zpi_list);

/* ---------------------------------------------- candidate selection (select.cpp) */

int zpm_findone(const char *pkg_name, const char *variant, ZPI **zpi_list);
ZPI *zpm_findone_zpc(ZPM *zpm, char *pkg_name, char *variant, ZPC *zpc);
ZPI **zpm_findall_dirs(ZPM *zpm, const char *pkg_name, const char *variant, char **dep_dirs);
ZPI *zpm_findone_dirs(ZPM *zpm, const char *pkg_name, const char *variant, char **dep_dirs);

/* ---------------------------------------------------- planning (plan*.cpp) */

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

/* -------------------------------------------------- action lists (actions.cpp) */

int zpm_zpa_list_new_zpi(ZPA **zpa_list, ZPI *zpi);
int zpm_zpa_list_add_zpt(ZPT *zpt, ZPA ***zpa_list);
void zpm_zpa_list_free(ZPA **zpa_list);

/* ------------------------------------------------------- reports (report*.cpp) */

int zpm_zpk_info_write(ZPI *zpi, FILE *outfile, int type, int list_format, int detail);
ZPMLS *zpm_ftable_new(FILE *listfile, char *table_header, s_ekva **head_ekva, int type,
                      int list_format, int detail);
int zpm_ftable_add(ZPMLS *zpmls, s_ekva **data_ekva);
int zpm_ftable_end(ZPMLS *zpmls, char *table_footer);
int zpm_zpk_list_write(FILE *listfile, ZPI **zpi_list, int num_zpis, int type, int list_format,
                       int detail);
int zpm_zpa_list_write(ZPA **zpa_list, int num_zpas, const char *header, int detail);
int ldif_uiwrite(const char *attr, const char *value, int len_value, int type);

/* ----------------------------------------------------- front end (startup.cpp) */

/* The whole program: start-up, one mode, exit status. */
int zpm_main(int argc, char **argv);

#ifdef __cplusplus
}
#endif

#endif
