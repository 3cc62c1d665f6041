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
/* The variant filter of catalogue searches: a null variant accepts every
 * record, "" or "default" only records without variant, anything else only
 * records of that variant.  1 when zpi is accepted, else 0. */
int zpk_variant_accepts(const ZPI *zpi, const char *variant);

#ifdef __cplusplus
}

#include <cstdint>
#include <cstring>
#include <string>

namespace zpm::pkg {

// Printable unique name of a record as a std::string ("" for null); a copy,
// since zpk_puname answers in a buffer of its own.
inline std::string uname(const ZPI *zpi) {
    if (!zpi)
        return "";
    const char *p = zpk_puname(zpi);
    return p ? std::string(p) : std::string();
}

// A name that can stand as one inventory entry: not empty, no '/', not
// beginning with '.' (that takes "." and ".." and the side entries an update
// keeps beside a package's own).
inline bool plain_name(const char *name) {
    return name && *name && name[0] != '.' && !strchr(name, '/');
}

// Reads a decimal number strictly: digits only (no sign, no blanks), at most
// max.  false, *out untouched, for anything else.
bool read_decimal(const char *s, uint64_t max, uint64_t *out);

// Architecture name for messages; never null.
inline const char *arch_name(int arch) {
    const char *n = zpk_arch_getname(arch);
    return n ? n : "unknown";
}

} // namespace zpm::pkg
#endif

#endif
