// Small helpers shared by candidate selection, planning and action lists.
#ifndef ZPM_PLAN_COMMON_H
#define ZPM_PLAN_COMMON_H

#include <cstdlib>
#include <memory>
#include <string>

#include "cres.h"
#include "plan.h"
#include "recptr.h"
#include "zpk.h"
#include "zpm.h"

using ZpdPtr = std::unique_ptr<ZPD, c_deleter<zpd_free>>;

namespace zpm::plan {

// Printable unique name of a record as a std::string ("" for null); a copy,
// since zpk_puname answers in a buffer of its own.
inline std::string uname(const ZPI *zpi) {
    if (!zpi)
        return "";
    const char *p = zpk_puname(zpi);
    return p ? std::string(p) : std::string();
}

// Architecture name for messages; never null.
inline const char *arch_name(int arch) {
    const char *n = zpk_arch_getname(arch);
    return n ? n : "unknown";
}

inline int count_deps(char **deps) {
    int n = 0;
    while (deps && deps[n])
        n++;
    return n;
}

// The variant filter of catalogue searches: null accepts all, "" or
// "default" only records without variant, anything else only that variant.
inline bool variant_accepts(const char *asked, const ZPI *zpi) {
    if (!asked)
        return true;
    if (!*asked || std::string(asked) == "default")
        return zpi->variant == nullptr;
    return zpi->variant && std::string(zpi->variant) == asked;
}

// A new transaction owning head, list and a copy of request; its sizes start
// from the head's and cfg_scripts has room for num + 1 entries.  On failure
// head and list are freed and the result is null.
ZPT *new_zpt(const char *request, char stat, char action, ZPI *head, int num, ZPD **list);

// Frees a NULL-terminated record list and its records.
void free_zpds(ZPD **list);

} // namespace zpm::plan

#endif
