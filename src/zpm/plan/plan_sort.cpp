// Ordering of dependency records for execution: installed packages and
// leaves get the lowest depth, so walking the sorted list from its end
// installs every package after the packages it needs.
#include <algorithm>
#include <string>
#include <unordered_set>
#include <vector>

#include "plan.h"
#include "zpm.h"

namespace {

using NameSet = std::unordered_set<std::string>;

bool all_deps_met(const ZPI *zpi, const NameSet &done) {
    for (int i = 0; zpi && zpi->deps && zpi->deps[i]; i++)
        if (!done.count(zpi->deps[i]))
            return false;
    return true;
}

// One pass over the waiting records; returns how many still wait and sets
// progress when a name was added.
int sort_pass(ZPD **list, NameSet &done, bool &progress) {
    int waiting = 0;
    progress = false;
    for (int i = 0; list[i]; i++) {
        ZPD *d = list[i];
        std::string name = d->dependency ? d->dependency : "";
        if (done.count(name))
            continue;
        if (!d->circular && !all_deps_met(d->zpi, done)) {
            d->depth++;
            waiting++;
            continue;
        }
        done.insert(name);
        progress = true;
    }
    return waiting;
}

} // namespace

void zpds_sort(ZPI *zpt_head, ZPD ***all_zpds) {
    (void)zpt_head;
    if (!all_zpds || !*all_zpds)
        return;
    ZPD **list = *all_zpds;
    NameSet done;
    int n = 0;
    for (; list[n]; n++) {
        if (list[n]->status == 'I') {
            list[n]->depth = 0;
            done.insert(list[n]->dependency ? list[n]->dependency : "");
        } else {
            list[n]->depth = 1;
        }
    }
    // A pass that satisfies nothing new can never be followed by one that
    // does: stop there instead of counting depths up for ever.
    bool progress = true;
    while (progress && sort_pass(list, done, progress) > 0) {
    }
    if (n < 2)
        return;
    std::stable_sort(list, list + n,
                     [](const ZPD *a, const ZPD *b) { return a->depth > b->depth; });
}
