// Catalogue back end: binding the plug-in, the process-wide package cache and
// the search that answers from it.
#include <dlfcn.h>
#include <fnmatch.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "catalogue.h"
#include "loglib.h"
#include "zpk.h"
#include "zpm.h"

// The catalogue while install, update and walk plan, and the bound back end.
ZPI **cached_zpis = nullptr;
zpc_connect_fn pzpm_zpc_connect = nullptr;
zpc_refresh_fn pzpm_zpc_refresh = nullptr;
zpc_findpkg_fn pzpm_zpc_findpkg = nullptr;
zpc_readpkg_fn pzpm_zpc_readpkg = nullptr;
zpc_release_fn pzpm_zpc_release = nullptr;
zpc_prefetch_fn pzpm_zpc_prefetch = nullptr;

namespace {

// Exact-name index beside the cache: planning asks for one name per
// dependency, and scanning the whole catalogue for each is quadratic.  The
// positions of the named records in name order, and within a name in cache
// order, so that results match the scan exactly.  A back end that hands
// over its catalogue sorted by name (both of ours do) makes it the identity.
std::vector<size_t> *cache_index = nullptr;
ZPI **indexed_for = nullptr; // the cache array the index describes

bool name_before(size_t a, size_t b) {
    return std::strcmp(cached_zpis[a]->name, cached_zpis[b]->name) < 0;
}

void index_build() {
    delete cache_index;
    indexed_for = cached_zpis;
    cache_index = new std::vector<size_t>();
    for (size_t i = 0; cached_zpis && cached_zpis[i]; i++)
        if (cached_zpis[i]->name)
            cache_index->push_back(i);
    if (!std::is_sorted(cache_index->begin(), cache_index->end(), name_before))
        std::stable_sort(cache_index->begin(), cache_index->end(), name_before);
}

void index_free() {
    delete cache_index;
    cache_index = nullptr;
    indexed_for = nullptr;
}

// The positions of the records named name, in cache order.
std::pair<const size_t *, const size_t *> named(const char *name) {
    auto below = [](size_t pos, const char *n) {
        return std::strcmp(cached_zpis[pos]->name, n) < 0;
    };
    auto above = [](const char *n, size_t pos) {
        return std::strcmp(n, cached_zpis[pos]->name) < 0;
    };
    const size_t *first = cache_index->data(), *last = first + cache_index->size();
    const size_t *lo = std::lower_bound(first, last, name, below);
    return {lo, std::upper_bound(lo, last, name, above)};
}

bool has_wildcard(const char *name) {
    return std::strpbrk(name, "*?[\\") != nullptr;
}

bool name_matches(const ZPI *zpi, const char *name) {
    if (!zpi->name)
        return false;
    return std::strcmp(zpi->name, name) == 0 || fnmatch(name, zpi->name, 0) == 0;
}

// Appends copies of the accepted records; the array stays NULL-terminated.
void store_match(const ZPI *zpi, const char *name, std::vector<ZPI *> &out) {
    zlogf(ZLOG_DEBUG, "zpm_findpkg: Storing %s, matches %s", zpi->name, name);
    ZPI *copy = zpk_info_copy(zpi);
    if (copy)
        out.push_back(copy);
}

void collect(const char *name, const char *variant, std::vector<ZPI *> &out) {
    if (cache_index && !has_wildcard(name)) {
        auto [from, to] = named(name);
        for (const size_t *pos = from; pos != to; pos++)
            if (zpk_variant_accepts(cached_zpis[*pos], variant))
                store_match(cached_zpis[*pos], name, out);
        return;
    }
    for (size_t i = 0; cached_zpis[i]; i++)
        if (name_matches(cached_zpis[i], name) && zpk_variant_accepts(cached_zpis[i], variant))
            store_match(cached_zpis[i], name, out);
}

template <class F> bool bind_symbol(void *handle, const char *sym, const char *label, F &dest) {
    dlerror();
    void *p = dlsym(handle, sym);
    const char *err = dlerror();
    if (err || !p) {
        fprintf(stderr, "Failure resolving %s: %s\n", label, err ? err : "symbol is null");
        return false;
    }
    dest = reinterpret_cast<F>(p);
    return true;
}

} // namespace

extern "C" {

void *zpm_zpc_load(const char *backend_library) {
    void *handle = dlopen(backend_library, RTLD_LAZY);
    if (!handle) {
        const char *err = dlerror();
        fprintf(stderr, "Failed to load backend %s: %s\n", backend_library, err ? err : "");
        return nullptr;
    }
    bool ok = bind_symbol(handle, "zpc_connect", "zpm_zpc_connect", pzpm_zpc_connect) &&
              bind_symbol(handle, "zpc_refresh", "zpm_zpc_refresh", pzpm_zpc_refresh) &&
              bind_symbol(handle, "zpc_findpkg", "zpm_zpc_findpkg", pzpm_zpc_findpkg) &&
              bind_symbol(handle, "zpc_readpkg", "zpm_zpc_readpkg", pzpm_zpc_readpkg) &&
              bind_symbol(handle, "zpc_release", "zpm_zpc_release", pzpm_zpc_release);
    // A back end built for a newer interface than this zpm's cannot be
    // trusted with its records; one without the version is of the first.
    if (ok) {
        dlerror();
        auto version = reinterpret_cast<zpc_abi_version_fn>(dlsym(handle, "zpc_abi_version"));
        int v = version ? version() : 1;
        if (v > ZPC_ABI_VERSION) {
            fprintf(stderr,
                    "Failed to load backend %s: it needs back-end interface %d, this zpm has "
                    "%d\n",
                    backend_library, v, ZPC_ABI_VERSION);
            ok = false;
        }
    }
    // Optional: a back end without it is used as before, without a word.
    if (ok) {
        dlerror();
        pzpm_zpc_prefetch = reinterpret_cast<zpc_prefetch_fn>(dlsym(handle, "zpc_prefetch"));
        dlerror();
    }
    if (!ok) {
        // Leave no pointer into a library that is about to go away.
        pzpm_zpc_connect = nullptr;
        pzpm_zpc_refresh = nullptr;
        pzpm_zpc_findpkg = nullptr;
        pzpm_zpc_readpkg = nullptr;
        pzpm_zpc_release = nullptr;
        pzpm_zpc_prefetch = nullptr;
        dlclose(handle);
        return nullptr;
    }
    return handle;
}

void zpm_zpc_close(void *backend_handle) {
    pzpm_zpc_prefetch = nullptr;
    if (backend_handle)
        dlclose(backend_handle);
}

int zpm_cache_fill(ZPC *zpc) {
    // A second fill replaces the cache: the old records would otherwise leak,
    // and an empty answer would leave them standing as the catalogue.
    if (cached_zpis) {
        zpm_zpi_list_free(cached_zpis);
        cached_zpis = nullptr;
    }
    int count = 0;
    if (pzpm_zpc_findpkg) {
        char star[] = "*";
        count = pzpm_zpc_findpkg(zpc, star, nullptr, nullptr, 5, nullptr, &cached_zpis);
    }
    if (count < 0)
        count = 0;
    index_build();
    zlogf(ZLOG_DEBUG, "Number of packages cached: %d", count);
    return count;
}

void zpm_cache_free(void) {
    index_free();
    if (!cached_zpis)
        return;
    zlogf(ZLOG_DEBUG, "Freeing cached zpis...");
    int n = 0;
    for (; cached_zpis[n]; n++)
        zpk_info_free(cached_zpis[n]);
    free(cached_zpis);
    cached_zpis = nullptr;
    zlogf(ZLOG_DEBUG, "%d cached zpis freed.", n);
}

int zpm_findpkg(ZPC *zpc, char *name, char *variant, char *version, int arch,
                s_ekva **ext_attributes, ZPI ***zpi_list) {
    if (!zpc) {
        zlogf(ZLOG_ERROR, "zpc-http: Not connected");
        *zpi_list = nullptr;
        return 0;
    }
    if (!cached_zpis) {
        if (!pzpm_zpc_findpkg)
            return 0;
        return pzpm_zpc_findpkg(zpc, name, variant, version, arch, ext_attributes, zpi_list);
    }
    if (variant)
        zlogf(ZLOG_DEBUG, "zpm_findpkg: Looking for package %s, variant <%s>", name, variant);
    else
        zlogf(ZLOG_DEBUG, "zpm_findpkg: Looking for package %s", name);
    if (cache_index == nullptr || indexed_for != cached_zpis)
        index_build(); // a cache installed by other means still gets an index
    std::vector<ZPI *> found;
    if (name)
        collect(name, variant, found);
    int count = static_cast<int>(found.size());
    if (count > 0) {
        ZPI **arr = static_cast<ZPI **>(calloc(found.size() + 1, sizeof(ZPI *)));
        if (!arr) {
            for (ZPI *z : found)
                zpk_info_free(z);
            return 0;
        }
        std::memcpy(arr, found.data(), found.size() * sizeof(ZPI *));
        if (count >= 2)
            zpm_zpi_list_sort(&arr);
        *zpi_list = arr;
    }
    zlogf(ZLOG_DEBUG, "zpm_findpkg: Stored %d zpis", count);
    return count;
}

void zpm_zpi_list_free(ZPI **zpi_list) {
    if (!zpi_list)
        return;
    for (size_t i = 0; zpi_list[i]; i++)
        zpk_info_free(zpi_list[i]);
    free(zpi_list);
}

} // extern "C"
