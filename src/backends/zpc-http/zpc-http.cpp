/* zpc-http: a catalogue back end that installs from repositories on web
 * servers and mirror networks.
 *
 * A repository is a zpc-dirs repository as it is (the .zpk files and
 * index.ldif, as zpk-index or zpc-dirs write them) plus index.ldif.sig, the
 * signature zpk-index --sign writes (format in repo_sig.h).  Package
 * locations are the index's relative URIs against each mirror's base URL.
 *
 * Configuration (/etc/zpm.conf):
 *   zpc_http_mirrors          base URLs, http or https, separated by blanks
 *                             or commas, tried in order (required)
 *   zpc_http_cache            the cache directory (/var/cache/zpm/zpc-http)
 *   zpc_http_connect_timeout  seconds to connect to a mirror (15)
 *   zpc_http_low_speed_time   a transfer slower than zpc_http_low_speed_limit
 *   zpc_http_low_speed_limit  bytes per second (1) for this many seconds (30)
 *                             is given up and the next mirror asked
 *   zpc_http_ca_bundle        CA certificates for https (the system's)
 *   zpc_http_parallel         downloads at once (4, 1 to 16)
 *   zpc_http_allow_unsigned   "yes" accepts an index without signature
 *   zpc_http_max_index_mb     the largest index taken (64)
 *   zpc_http_max_package_mb   the largest package file taken (2047)
 *
 * zpc_connect does no network I/O and searches answer from the cached
 * index, so queries work offline; zpc_refresh (zpm -R) brings the index up
 * to date.
 */
#include <cstring>

#include "http.h"

using zpchttp::Conn;
using zpchttp::conn_of;
using zpcrepo::kDebug;
using zpcrepo::kError;
using zpcrepo::logf;

namespace {

ZPC *connect_impl(s_ekva **conf) {
    auto c = std::make_unique<Conn>();
    if (!zpchttp::read_config(conf, c->cfg))
        return nullptr;
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        logf(kError, "cannot start libcurl");
        return nullptr;
    }
    const char *dn = conf ? ekva_getval(conf, "dist_name") : nullptr;
    const char *dv = conf ? ekva_getval(conf, "dist_vers") : nullptr;
    const char *an = conf ? ekva_getval(conf, "arch_name") : nullptr;
    c->zpc.dist_name = dn ? strdup(dn) : nullptr;
    c->zpc.dist_vers = dv ? strdup(dv) : nullptr;
    c->zpc.arch = an ? zpk_arch_getid(an) : ZPK_ARCH_ANY;
    for (const std::string &m : c->cfg.mirrors)
        logf(kDebug, "mirror %s", m.c_str());
    return &c.release()->zpc;
}

int findpkg_impl(Conn *c, const char *name, const char *variant, const char *version, int arch,
                 ZPI ***list) {
    if (!c->loaded)
        zpchttp::load_cached_index(*c);
    int n = zpcrepo::find_records(c->entries, name, variant, version, arch, list);
    if (strcmp(name, "*") == 0)
        c->loaded = false; // the records went to zpm
    return n;
}

} // namespace

// Exceptions (out of memory in the containers) stop at this boundary.
extern "C" {

__attribute__((visibility("default"))) ZPC *zpc_connect(s_ekva **conf, s_zpmlog *log) {
    zpcrepo::set_log(log, "zpc-http");
    try {
        return connect_impl(conf);
    } catch (...) {
        logf(kError, "cannot connect: out of memory");
        return nullptr;
    }
}

__attribute__((visibility("default"))) int zpc_refresh(ZPC *zpc) {
    if (!zpc)
        return -1;
    try {
        return zpchttp::refresh_index(*conn_of(zpc));
    } catch (...) {
        logf(kError, "refresh failed: out of memory");
        return -1;
    }
}

__attribute__((visibility("default"))) int
zpc_findpkg(ZPC *zpc, char *name, char *variant, char *version, int arch, s_ekva **, ZPI ***list) {
    if (!zpc || !name || !list)
        return 0;
    try {
        return findpkg_impl(conn_of(zpc), name, variant, version, arch, list);
    } catch (...) {
        logf(kError, "search failed: out of memory");
        return 0;
    }
}

__attribute__((visibility("default"))) int zpc_readpkg(ZPC *zpc, ZPI *zpi, FILE *out) {
    if (!zpc || !out)
        return -1;
    try {
        return zpchttp::read_package(*conn_of(zpc), zpi, out);
    } catch (...) {
        logf(kError, "fetch failed: out of memory");
        return -1;
    }
}

__attribute__((visibility("default"))) int zpc_prefetch(ZPC *zpc, ZPI **list) {
    if (!zpc)
        return -1;
    try {
        return zpchttp::prefetch_packages(*conn_of(zpc), list);
    } catch (...) {
        logf(kError, "prefetch failed: out of memory");
        return -1;
    }
}

__attribute__((visibility("default"))) int zpc_abi_version(void) {
    return ZPC_ABI_VERSION;
}

__attribute__((visibility("default"))) int zpc_release(ZPC *zpc) {
    if (!zpc)
        return 0;
    Conn *c = conn_of(zpc);
    if (c->multi)
        curl_multi_cleanup(c->multi);
    free(c->zpc.dist_name);
    free(c->zpc.dist_vers);
    delete c;
    curl_global_cleanup();
    return 0;
}

} // extern "C"
