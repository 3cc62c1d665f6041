// zpc-http: the connection, its configuration and the parts of the back end.
#ifndef ZPC_HTTP_H
#define ZPC_HTTP_H

#include <curl/curl.h>

#include <cstdint>
#include <ctime>
#include <set>
#include <string>
#include <vector>

#include "repo_index.h"

namespace zpchttp {

using zpcrepo::ZpiPtr;

struct Config {
    std::vector<std::string> mirrors; // base URLs, no trailing '/'
    std::string cache;                // the back end's cache directory
    long connect_timeout = 15;        // seconds
    long low_speed_time = 30;         // seconds below low_speed_limit end a transfer
    long low_speed_limit = 1;         // bytes per second
    std::string ca_bundle;            // "" for the system's
    int parallel = 4;                 // downloads at once
    bool allow_unsigned = false;
    uint64_t max_index = 64ull << 20;
    uint64_t max_package = 0x7fffffff; // zpc_readpkg counts in an int
};

struct Conn {
    ZPC zpc{}; // first member: zpm sees a ZPC
    Config cfg;
    std::vector<ZpiPtr> entries;
    bool loaded = false;
    bool told_no_index = false, told_expired = false;
    CURLM *multi = nullptr;       // made on first transfer; keeps connections open
    std::set<std::string> failed; // package hashes no mirror delivered in this run
    std::set<std::string> ready;  // package hashes fetched and checked in this run
};

inline Conn *conn_of(ZPC *zpc) {
    return reinterpret_cast<Conn *>(zpc);
}

// Reads the configuration keys (zpc_http_*); false (logged) when unusable.
bool read_config(s_ekva **conf, Config &cfg);

// The index: zpc_refresh, and loading the cached copy for searches.
int refresh_index(Conn &c);
void load_cached_index(Conn &c);

// Packages: fetching records into the cache and serving them from it.
int prefetch_packages(Conn &c, ZPI **list);
int read_package(Conn &c, const ZPI *zpi, FILE *out);

// Digests (lower-case hex) of a memory block and of a file ("" when the file
// cannot be read).
std::string sha256_hex(const std::string &data);
std::string sha1_file_hex(const std::string &path);
// mkdir -p; false with errno.
bool make_dirs(const std::string &path);
// Writes data to dir/name through a temporary name, settled before the
// rename; false with why.
bool write_settled(const std::string &dir, const std::string &name, const std::string &data,
                   std::string &why);
// Reads a whole regular file of at most max bytes; false when it cannot.
bool read_small_file(const std::string &path, size_t max, std::string &out);

} // namespace zpchttp

#endif
