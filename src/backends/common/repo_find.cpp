// The search of zpc_findpkg over a catalogue held in memory.
#include <fnmatch.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "repo_index.h"

namespace zpcrepo {

namespace {

bool accepts(const ZPI *z, const char *name, bool pattern, const char *variant, const char *version,
             int arch) {
    if (strcmp(z->name, name) != 0 && (!pattern || fnmatch(name, z->name, 0) != 0))
        return false;
    if (!zpk_variant_accepts(z, variant))
        return false;
    if (version && strcmp(z->version, version) != 0)
        return false;
    return arch == 0 || (z->arch & arch) != 0;
}

} // namespace

int find_records(std::vector<ZpiPtr> &entries, const char *name, const char *variant,
                 const char *version, int arch, ZPI ***list) {
    // Without special characters a pattern matches only its own text.
    bool pattern = strpbrk(name, "*?[\\") != nullptr;
    bool hand_over = strcmp(name, "*") == 0;
    std::vector<ZPI *> found;
    for (ZpiPtr &z : entries) {
        if (!accepts(z.get(), name, pattern, variant, version, arch))
            continue;
        if (ZPI *rec = hand_over ? z.release() : zpk_info_copy(z.get()))
            found.push_back(rec);
    }
    if (hand_over)
        entries.clear();
    if (found.empty())
        return 0;
    ZPI **arr = static_cast<ZPI **>(calloc(found.size() + 1, sizeof(ZPI *)));
    if (!arr) {
        for (ZPI *z : found)
            zpk_info_free(z);
        return 0;
    }
    std::copy(found.begin(), found.end(), arr);
    *list = arr;
    return static_cast<int>(found.size());
}

void sort_by_name(std::vector<ZpiPtr> &v) {
    std::stable_sort(v.begin(), v.end(),
                     [](const ZpiPtr &a, const ZpiPtr &b) { return strcmp(a->name, b->name) < 0; });
}

} // namespace zpcrepo
