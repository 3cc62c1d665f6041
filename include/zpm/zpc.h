/*
 * zpm catalogue back-end interface.
 *
 * A catalogue back end is a shared object installed in zpm's back-end
 * directory (/usr/lib/zpm; `pkg-config --variable=backenddir zpm-zpc`) and
 * named by the "zpc_backend" key of /etc/zpm.conf (default "zpc-dirs.so").
 * zpm opens it with dlopen() and binds exactly five functions by name:
 *
 *   zpc_connect, zpc_refresh, zpc_findpkg, zpc_readpkg, zpc_release
 *
 * and, when the back end defines them, zpc_abi_version and zpc_prefetch (see
 * below).  Build one
 * with `cc -shared -fPIC $(pkg-config --cflags zpm-zpc) -o my.so my.c`; link
 * nothing of zpm: the services declared at the end of this header are
 * exported by the zpm that loads the back end.
 *
 * Memory rules (zpm and the back end share one C library):
 *   - every record and array a back end hands to zpm is allocated with
 *     malloc()/calloc()/strdup(); zpm frees records with free() member by
 *     member (see zpk_info_free below for the exact list) and arrays with
 *     free();
 *   - a back end never frees what zpm passes in (configuration, log handle,
 *     records given to zpc_readpkg, the FILE stream).
 *
 * This header is self-contained C: the record layouts here are the ones zpm
 * uses internally, field for field.
 */
#ifndef ZPM_ZPC_H
#define ZPM_ZPC_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Key/value pair.  Arrays of pointers to these are NULL-terminated; the first
 * slot usually is a header entry whose key is "#EKVA_10:<capacity>:<mode>"
 * and whose val is NULL.  Keys compare without regard to case. */
typedef struct s_ekva {
    char *key;
    char *val; /* may be NULL */
} s_ekva;

/* Log handle.  Back ends report through log_write(log, level, text) (see the
 * services below) with the handle zpc_connect received; levels are single
 * bits: 1 ERROR, 2 WARNING, 4 INFO, 8 DEBUG. */
typedef struct s_zpmlog {
    char logfilename[2000];
    int loglevel;
    int sysloglevel;
    int stdloglevel;
    int loginit;
    int logenabled;
    char **level_string;
} s_zpmlog;

/* Architecture ids (bit values). */
#define ZPK_ARCH_ANY 1
#define ZPK_ARCH_I686 2
#define ZPK_ARCH_X86_64 4
#define ZPK_ARCH_MIPS 8
#define ZPK_ARCH_UNKNOWN 99

/* Package information record.  Every pointer member is owned by the record.
 * zpm frees a record by freeing: name, variant, version, creator, desc, clog,
 * every string of deps and deps itself, filehash, abs_uri, rel_uri,
 * install_head, update_time, rsa_sig_subj, rsa_sig_data_buf, and every key,
 * value and entry of ext_attributes and the array; then the record. */
typedef struct s_zpk_info {
    char *name;     /* required */
    char *variant;  /* NULL: the default variant */
    char *version;  /* required, compared with strverscmp() */
    char *creator;
    int arch;       /* one ZPK_ARCH_* id */
    char *desc;
    char *clog;     /* always NULL */
    char **deps;    /* NULL-terminated package names, or NULL */
    int removable;  /* 1 */
    uint64_t datasize;  /* unpacked size in bytes */
    uint64_t filesize;  /* package file size in bytes */
    char *filehash;     /* SHA-1 of the package file, 40 lower-case hex digits */
    char *abs_uri;      /* absolute location of the package file */
    char *rel_uri;      /* location relative to the repository */
    time_t install_time;
    char install_type;  /* 'X', 'D' or 0 */
    char *install_head;
    time_t *update_time; /* 0-terminated, or NULL */
    char *rsa_sig_subj;
    unsigned char *rsa_sig_data_buf;
    int rsa_sig_data_len;
    int rsa_verified;
    s_ekva **ext_attributes;
} ZPI;

/* Catalogue connection.  A back end may allocate a larger record whose first
 * member is a ZPC; zpm never reads the fields and never frees it (that is
 * zpc_release's job). */
typedef struct s_zpc {
    char *dist_name;
    char *dist_vers;
    int arch;
} ZPC;

/* Opens the catalogue.  conf is the key/value table of /etc/zpm.conf (owned
 * by zpm, valid while the connection lives), log the zpm log handle.  NULL
 * means the catalogue cannot be used. */
typedef ZPC *(*zpc_connect_fn)(s_ekva **conf, s_zpmlog *log);
/* Brings the catalogue up to date; 0 on success. */
typedef int (*zpc_refresh_fn)(ZPC *zpc);
/* Searches the catalogue.  name: a package name or shell wildcard ("*" for
 * all).  variant: NULL accepts every variant, "" or "default" only records
 * without variant, any other text only that variant.  version and
 * ext_attributes are NULL, arch is a bit mask of acceptable ids.  Stores a new
 * NULL-terminated array of new records in *list and returns their number; with
 * no match returns 0 and leaves *list alone.  Each record carries at least
 * name, variant, version, arch, deps, datasize, filesize, filehash, abs_uri. */
typedef int (*zpc_findpkg_fn)(ZPC *zpc, char *name, char *variant, char *version, int arch,
                              s_ekva **ext_attributes, ZPI ***list);
/* Writes the package file of a record (one from zpc_findpkg, or a copy) into
 * out; returns the number of bytes written.  zpm treats any count other than
 * the record's filesize as a failed fetch. */
typedef int (*zpc_readpkg_fn)(ZPC *zpc, ZPI *zpi, FILE *out);
/* Ends the connection and frees the ZPC. */
typedef int (*zpc_release_fn)(ZPC *zpc);

ZPC *zpc_connect(s_ekva **conf, s_zpmlog *log);
int zpc_refresh(ZPC *zpc);
int zpc_findpkg(ZPC *zpc, char *name, char *variant, char *version, int arch,
                s_ekva **ext_attributes, ZPI ***list);
int zpc_readpkg(ZPC *zpc, ZPI *zpi, FILE *out);
int zpc_release(ZPC *zpc);

/* Interface version.  A back end may define
 *
 *   int zpc_abi_version(void) { return ZPC_ABI_VERSION; }
 *
 * zpm refuses to load a back end built for a newer major version than its
 * own (with a message naming both, and exit status 2, as for any back end
 * that cannot be loaded); a back end without the function counts as
 * version 1. */
#define ZPC_ABI_VERSION 1
typedef int (*zpc_abi_version_fn)(void);
int zpc_abi_version(void);

/* Optional: downloads ahead.  When a back end defines
 *
 *   int zpc_prefetch(ZPC *zpc, ZPI **list);
 *
 * zpm calls it once at the start of an install or update transaction, before
 * the fetch step, with every catalogue record the transaction will fetch
 * through zpc_readpkg (a NULL-terminated array; records whose package file is
 * already staged and intact are left out, and the call is not made when none
 * remains).  The array and the records belong to zpm and are valid only
 * during the call: the back end neither frees nor keeps them.  A back end
 * may fetch the files meanwhile (in parallel, into a cache of its own) so
 * that the zpc_readpkg calls that follow are served quickly; the result is
 * only logged by zpm (0 when every file is ready), and zpc_readpkg alone
 * decides whether a fetch succeeded.  A back end without the function is
 * used exactly as before. */
typedef int (*zpc_prefetch_fn)(ZPC *zpc, ZPI **list);
int zpc_prefetch(ZPC *zpc, ZPI **list);

/* ---------------------------------------------------------------------------
 * Services of zpm.  zpm exports these functions (and nothing else) to the
 * back end it loads; a back end calls them and links nothing of zpm.
 */

/* Writes text (one message without line end) to the log at level. */
int log_write(s_zpmlog *log, int level, const char *text);
/* The value of key in a key/value array (keys compare without regard to
 * case), pointing into the array; NULL when absent.  For the configuration
 * handed to zpc_connect. */
char *ekva_getval(s_ekva **ekva, const char *key);
/* Records: a deep copy (NULL when out of memory) and the free function zpm
 * itself uses. */
ZPI *zpk_info_copy(const ZPI *zpi);
void zpk_info_free(ZPI *zpi);
/* Architecture ids and names ("any", "i686", "x86_64", "mips"); unknown
 * names give ZPK_ARCH_UNKNOWN, unknown ids NULL. */
int zpk_arch_getid(const char *name);
const char *zpk_arch_getname(int arch);
/* The printable unique name of a record: name, variant (when set),
 * architecture name and version joined by "_".  The text lies in a buffer of
 * zpm's that the next call overwrites. */
char *zpk_puname(const ZPI *zpi);
/* The variant rule of zpc_findpkg: 1 when a record of that variant is to be
 * returned for the variant asked for, else 0. */
int zpk_variant_accepts(const ZPI *zpi, const char *variant);
/* Reads the description in the header of a package file into a new record,
 * with filesize and filehash (SHA-1 of the whole file) set; with verify_sig
 * 1 the signature is checked too (rsa_verified).  NULL when the file is not
 * a readable package file. */
ZPI *zpm_zpf_info(const char *path, int verify_sig);
/* LDIF, in the dialect of package descriptions: writes one attribute line
 * "attr: value" (or "attr:: base64" where the value needs it) to f.  type 0:
 * value is a string and len_value is not used; type 1: len_value bytes of
 * binary data.  An empty attr writes the empty line that ends an entry.
 * Returns the number of characters written, 0 when the line cannot be
 * built. */
int ldif_fwrite(FILE *f, const char *attr, const char *value, int len_value, int type);
/* Decodes base64 text into target (at most targsize bytes); the number of
 * bytes, or -1. */
int lutil_b64_pton(const char *src, unsigned char *target, size_t targsize);
/* The directory in which this run of zpm takes every fixed path ("" for the
 * system itself): a back end's own fixed paths, such as its default package
 * directory under /var/lib/zpm, are this followed by the path. */
const char *zpm_root_prefix(void);
/* Checks a detached signature: RSA (PKCS #1 v1.5) with SHA-256 over the len
 * bytes at data, made by the signer whose one-line certificate subject is
 * signer ("/C=DE/O=Example/CN=Repository Signer").  Trust follows the rules of
 * package signatures: the certificate is read from zpm's certificate store
 * (/var/lib/zpm/certstore/<subject hash>.crt under the root prefix), must
 * carry exactly that subject and be within its validity window.  Returns 1
 * when the signature is verified; -2 when the signer is not trusted (subject
 * unusable, no certificate in the store, subject differs); -3 when the
 * signature does not match the data; -4 when the certificate has expired; -5
 * when it is not yet valid; 0 when the check could not be carried out. */
int zpm_verify_detached(const char *signer, const void *data, size_t len,
                        const unsigned char *sig, size_t sig_len);

#ifdef __cplusplus
}
#endif

#endif
