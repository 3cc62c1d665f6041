// Fetches every package of the catalogue through the configured back end the
// way a transaction does (zpc_prefetch when the back end has it, then
// zpc_readpkg for each record into a file), for the download benchmark:
//
//   zpc-fetch OUTFILE      prints "<packages> <bytes> <seconds> <seconds of the prefetch>"
//
// Reads /etc/zpm.conf; exit status 0 when every package arrived whole.
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "catalogue.h"
#include "ekva.h"
#include "loglib.h"
#include "paths.h"
#include "zpmconf.h"

namespace {

int fetch_all(ZPC *zpc, const char *outfile, unsigned long long &bytes) {
    int bad = 0;
    for (size_t i = 0; cached_zpis && cached_zpis[i]; i++) {
        FILE *f = fopen(outfile, "w");
        int n = f ? pzpm_zpc_readpkg(zpc, cached_zpis[i], f) : -1;
        if (!f || fclose(f) != 0 || n < 0 || static_cast<uint64_t>(n) != cached_zpis[i]->filesize)
            bad++;
        else
            bytes += static_cast<unsigned long long>(n);
    }
    return bad;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: zpc-fetch OUTFILE\n");
        return 2;
    }
    zpmlog = log_init(nullptr, 0, 0, 3, nullptr);
    s_ekva **conf = zpmconf_read(nullptr, zpm::paths::conf_file().c_str());
    const char *be = conf ? ekva_getval(conf, "zpc_backend") : nullptr;
    std::string lib = zpm::paths::lib_dir() + "/" + (be ? be : "zpc-dirs.so");
    if (!conf || !zpm_zpc_load(lib.c_str()))
        return 1;
    ZPC *zpc = pzpm_zpc_connect(conf, zpmlog);
    if (!zpc)
        return 1;
    int count = zpm_cache_fill(zpc);
    auto t0 = std::chrono::steady_clock::now();
    if (pzpm_zpc_prefetch)
        pzpm_zpc_prefetch(zpc, cached_zpis);
    std::chrono::duration<double> ahead = std::chrono::steady_clock::now() - t0;
    unsigned long long bytes = 0;
    int bad = fetch_all(zpc, argv[1], bytes);
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - t0;
    printf("%d %llu %.3f %.3f\n", count, bytes, took.count(), ahead.count());
    zpm_cache_free();
    pzpm_zpc_release(zpc);
    return bad ? 1 : 0;
}
