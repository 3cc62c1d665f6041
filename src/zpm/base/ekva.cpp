// Key/value arrays with an optional "#EKVA_10:<capacity>:<mode>" header in
// the first slot.  Keys compare without regard to case.
#include "ekva.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace {

constexpr const char *kHeaderFmt = "#EKVA_10:%d:%d";
constexpr const char *kHeaderPrefix = "#EKVA_10:";

struct Header {
    bool present = false;
    int max_entries = 0;
    int def_addmode = 0;
};

Header read_header(s_ekva **ekva) {
    Header h;
    if (!ekva || !ekva[0] || !ekva[0]->key)
        return h;
    const char *key = ekva[0]->key;
    if (strncmp(key, kHeaderPrefix, strlen(kHeaderPrefix)) != 0)
        return h;
    h.present = sscanf(key, kHeaderFmt, &h.max_entries, &h.def_addmode) == 2;
    return h;
}

char *header_key(int max_entries, int def_addmode) {
    char *key = nullptr;
    if (asprintf(&key, kHeaderFmt, max_entries, def_addmode) < 0)
        return nullptr;
    return key;
}

bool key_matches(const s_ekva *e, const char *key) {
    return e && e->key && key && strcasecmp(e->key, key) == 0;
}

int slots_in_use(s_ekva **ekva) {
    int n = 0;
    while (ekva[n])
        n++;
    return n;
}

// Doubles the capacity: room for max entries, the header and the terminator.
bool grow(s_ekva ***ekva, Header *h) {
    int next = h->max_entries < 1 ? 1 : h->max_entries;
    if (next > INT_MAX / 2 - 2)
        return false;
    next *= 2;
    char *key = header_key(next, h->def_addmode);
    if (!key)
        return false;
    auto *bigger = static_cast<s_ekva **>(realloc(*ekva, (size_t(next) + 2) * sizeof(s_ekva *)));
    if (!bigger) {
        free(key);
        return false;
    }
    int used = slots_in_use(bigger);
    for (int i = used; i < next + 2; i++)
        bigger[i] = nullptr;
    free(bigger[0]->key);
    bigger[0]->key = key;
    h->max_entries = next;
    *ekva = bigger;
    return true;
}

s_ekva *new_entry(const char *key, const char *val) {
    auto *e = static_cast<s_ekva *>(calloc(1, sizeof(s_ekva)));
    if (!e)
        return nullptr;
    e->key = strdup(key);
    e->val = val ? strdup(val) : nullptr;
    if (!e->key || (val && !e->val)) {
        free(e->key);
        free(e->val);
        free(e);
        return nullptr;
    }
    return e;
}

// Mode 2 gives every matching entry a copy of the new value.
bool replace_value(s_ekva *e, const char *val) {
    char *copy = nullptr;
    if (val && !(copy = strdup(val)))
        return false;
    free(e->val);
    e->val = copy;
    return true;
}

// The first free slot of an array with a header: entries are only ever
// appended and every slot after the last entry is empty, so it can be
// found by bisection instead of walking (lists of thousands of file hashes
// are built one append at a time).
int first_free(s_ekva **ekva, int max_entries) {
    int lo = 1, hi = max_entries + 1; // ekva[hi] is always free
    while (lo < hi) {
        int mid = lo + (hi - lo) / 2;
        if (ekva[mid])
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

// Stores a new entry in the free slot pos; the new number of slots in use.
int put_at(s_ekva **ekva, int pos, const char *key, const char *val) {
    s_ekva *e = new_entry(key, val);
    if (!e)
        return 0;
    ekva[pos] = e;
    ekva[pos + 1] = nullptr;
    return pos + 1;
}

int append_entry(s_ekva ***ekva, Header *h, const char *key, const char *val) {
    int pos = first_free(*ekva, h->max_entries);
    if (pos - 1 >= h->max_entries && !grow(ekva, h))
        return 0;
    return put_at(*ekva, pos, key, val);
}

} // namespace

s_ekva **ekva_new(int numents, int addmode) {
    if (numents < 1 || addmode < 1 || addmode > 4 || numents > INT_MAX / 2 - 2)
        return nullptr;
    auto **arr = static_cast<s_ekva **>(calloc(size_t(numents) + 2, sizeof(s_ekva *)));
    if (!arr)
        return nullptr;
    arr[0] = static_cast<s_ekva *>(calloc(1, sizeof(s_ekva)));
    if (arr[0])
        arr[0]->key = header_key(numents, addmode);
    if (!arr[0] || !arr[0]->key) {
        free(arr[0]);
        free(arr);
        return nullptr;
    }
    return arr;
}

s_ekva **ekva_init(int numents) {
    return ekva_new(numents, 2);
}

int ekva_addval(s_ekva ***ekva, const char *key, const char *val, int cur_addmode) {
    if (!ekva || !*ekva || !key)
        return 0;
    Header h = read_header(*ekva);
    if (h.present && cur_addmode != EKVA_ADD_KEEP && cur_addmode != EKVA_ADD_REPLACE)
        return append_entry(ekva, &h, key, val);
    int pos = h.present ? 1 : 0;
    bool present = false;
    for (int k = 1; (*ekva)[pos]; pos++, k++) {
        if (h.present && k >= h.max_entries && !grow(ekva, &h))
            return 0;
        s_ekva *e = (*ekva)[pos];
        if (!key_matches(e, key))
            continue;
        if (cur_addmode == EKVA_ADD_KEEP) {
            present = true;
        } else if (cur_addmode == EKVA_ADD_REPLACE) {
            if (!replace_value(e, val))
                return 0;
            present = true;
        }
    }
    if (present)
        return pos;
    return put_at(*ekva, pos, key, val);
}

char *ekva_getval(s_ekva **ekva, const char *key) {
    return ekva_getone(ekva, key, 0);
}

char *ekva_getone(s_ekva **ekva, const char *key, int seq) {
    if (!ekva || !key)
        return nullptr;
    for (; *ekva; ekva++)
        if (key_matches(*ekva, key) && seq-- == 0)
            return (*ekva)->val;
    return nullptr;
}

int ekva_cntval(s_ekva **ekva, const char *key) {
    int n = 0;
    if (ekva && key)
        for (; *ekva; ekva++)
            n += key_matches(*ekva, key);
    return n;
}

int ekva_nument(s_ekva **ekva) {
    if (!ekva)
        return 0;
    int n = slots_in_use(ekva);
    return read_header(ekva).present ? n - 1 : n;
}

int ekva_print(s_ekva **ekva) {
    if (!ekva)
        return 0;
    int n = 0;
    for (int i = read_header(ekva).present ? 1 : 0; ekva[i]; i++, n++)
        printf("%s: <%s>\n", ekva[i]->key ? ekva[i]->key : "(null)",
               ekva[i]->val ? ekva[i]->val : "(null)");
    return n;
}

int ekva_fprint(s_ekva **ekva, FILE *outfile, int keysize) {
    if (!ekva || !outfile)
        return 0;
    int n = 0;
    // Same output as the format "%-<keysize>s: <%s>\n".
    for (int i = read_header(ekva).present ? 1 : 0; ekva[i]; i++, n++)
        fprintf(outfile, "%-*s: <%s>\n", keysize, ekva[i]->key ? ekva[i]->key : "(null)",
                ekva[i]->val ? ekva[i]->val : "NULL");
    return n;
}

void ekva_free(s_ekva **ekva) {
    if (!ekva)
        return;
    for (s_ekva **p = ekva; *p; p++) {
        free((*p)->key);
        free((*p)->val);
        free(*p);
    }
    free(ekva);
}
