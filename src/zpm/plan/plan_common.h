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

inline int count_deps(char **deps) {
    int n = 0;
    while (deps && deps[n])
        n++;
    return n;
}

// A new transaction owning head, list and a copy of request; its sizes start
// from the head's and cfg_scripts has room for num + 1 entries.  On failure
// head and list are freed and the result is null.
ZPT *new_zpt(const char *request, char stat, char action, ZPI *head, int num, ZPD **list);

// Frees a NULL-terminated record list and its records.
void free_zpds(ZPD **list);

} // namespace zpm::plan

#endif
