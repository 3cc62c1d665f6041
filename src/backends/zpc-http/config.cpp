// zpc-http: the configuration keys.
#include <strings.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "http.h"

namespace zpchttp {

using zpcrepo::kError;
using zpcrepo::kWarning;
using zpcrepo::logf;

namespace {

constexpr const char *kDefaultCache = "/var/cache/zpm/zpc-http";

const char *value(s_ekva **conf, const char *key) {
    const char *v = conf ? ekva_getval(conf, key) : nullptr;
    return v && *v ? v : nullptr;
}

// A whole number from lo to hi, or the default (with a warning).
long number(s_ekva **conf, const char *key, long dflt, long lo, long hi) {
    const char *v = value(conf, key);
    if (!v)
        return dflt;
    char *end = nullptr;
    errno = 0;
    long n = strtol(v, &end, 10);
    if (errno || *end || n < lo || n > hi) {
        logf(kWarning, "%s=%s is not a number from %ld to %ld; using %ld", key, v, lo, hi, dflt);
        return dflt;
    }
    return n;
}

bool is_yes(const char *v) {
    return v && (!strcasecmp(v, "yes") || !strcasecmp(v, "true") || !strcmp(v, "1"));
}

// Base URLs separated by blanks or commas; only http and https.
bool parse_mirrors(const char *v, std::vector<std::string> &out) {
    std::string all = v ? v : "";
    size_t pos = 0;
    while ((pos = all.find_first_not_of(" \t,", pos)) != std::string::npos) {
        size_t end = all.find_first_of(" \t,", pos);
        std::string url = all.substr(pos, end == std::string::npos ? end : end - pos);
        pos = end;
        while (!url.empty() && url.back() == '/')
            url.pop_back();
        if (strncasecmp(url.c_str(), "http://", 7) != 0 &&
            strncasecmp(url.c_str(), "https://", 8) != 0) {
            logf(kError, "mirror %s is not an http or https URL; not used", url.c_str());
            continue;
        }
        out.push_back(url);
    }
    return !out.empty();
}

} // namespace

bool read_config(s_ekva **conf, Config &cfg) {
    if (!parse_mirrors(value(conf, "zpc_http_mirrors"), cfg.mirrors)) {
        logf(kError, "no mirror configured: set zpc_http_mirrors in /etc/zpm.conf");
        return false;
    }
    const char *cache = value(conf, "zpc_http_cache");
    cfg.cache = cache ? cache : std::string(zpm_root_prefix()) + kDefaultCache;
    cfg.connect_timeout = number(conf, "zpc_http_connect_timeout", 15, 1, 3600);
    cfg.low_speed_time = number(conf, "zpc_http_low_speed_time", 30, 1, 3600);
    cfg.low_speed_limit = number(conf, "zpc_http_low_speed_limit", 1, 1, 1L << 30);
    cfg.parallel = static_cast<int>(number(conf, "zpc_http_parallel", 4, 1, 16));
    cfg.max_index = static_cast<uint64_t>(number(conf, "zpc_http_max_index_mb", 64, 1, 4096)) << 20;
    cfg.max_package = static_cast<uint64_t>(number(conf, "zpc_http_max_package_mb", 2047, 1, 2047))
                      << 20;
    if (const char *ca = value(conf, "zpc_http_ca_bundle"))
        cfg.ca_bundle = ca;
    cfg.allow_unsigned = is_yes(value(conf, "zpc_http_allow_unsigned"));
    return true;
}

} // namespace zpchttp
