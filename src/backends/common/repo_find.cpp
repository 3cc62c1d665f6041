// The search of zpc_findpkg over a catalogue held in memory.
#include <fnmatch.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "repo_index.h"

namespace zpcrepo {

namespace {

// How a name is matched: "*" takes every name (fnmatch without flags would
// say so for each), a pattern goes through fnmatch, anything else is exact.
enum class Match { all, pattern, exact };

bool accepts(const ZPI *z, const char *name, Match how, const char *variant, const char *version,
             int arch) {
    if (how != Match::all && strcmp(z->name, name) != 0 &&
        (how != Match::pattern || fnmatch(name, z->name, 0) != 0))
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
    bool hand_over = strcmp(name, "*") == 0;
    Match how = hand_over                           ? Match::all
                : strpbrk(name, "*?[\\") != nullptr ? Match::pattern
                                                    : Match::exact;
    std::vector<ZPI *> found;
    for (ZpiPtr &z : entries) {
        if (!accepts(z.get(), name, how, variant, version, arch))
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

namespace {

// A record's place in the sort: the first eight bytes of its name as a
// number that orders as strcmp does, so that most comparisons need not
// reach the name itself.
struct SortKey {
    uint64_t head;
    const char *name;
    size_t pos;
};

uint64_t name_head(const char *name) {
    uint64_t h = 0;
    size_t i = 0;
    for (; i < 8 && name[i]; i++)
        h = h << 8 | static_cast<unsigned char>(name[i]);
    return h << (8 * (8 - i));
}

bool key_before(const SortKey &a, const SortKey &b) {
    if (a.head != b.head)
        return a.head < b.head;
    int c = strcmp(a.name, b.name);
    return c != 0 ? c < 0 : a.pos < b.pos; // the position keeps the sort stable
}

} // namespace

void sort_by_name(std::vector<ZpiPtr> &v) {
    std::vector<SortKey> keys;
    keys.reserve(v.size());
    for (size_t i = 0; i < v.size(); i++)
        keys.push_back({name_head(v[i]->name), v[i]->name, i});
    if (std::is_sorted(keys.begin(), keys.end(), key_before))
        return;
    std::sort(keys.begin(), keys.end(), key_before);
    std::vector<ZpiPtr> sorted;
    sorted.reserve(v.size());
    for (const SortKey &k : keys)
        sorted.push_back(std::move(v[k.pos]));
    v = std::move(sorted);
}

} // namespace zpcrepo
