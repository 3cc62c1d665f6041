// Hash list reader on arbitrary list files: hash/data.txt in a scratch directory.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ekva.h"
#include "loglib.h"
#include "zpf.h"
#include "zpm.h"

static std::string g_dir;

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    char tmpl[] = "/tmp/zpm-fuzz-hashes.XXXXXX";
    if (!mkdtemp(tmpl))
        abort();
    g_dir = tmpl;
    if (system(("mkdir -p '" + g_dir + "/hash'").c_str()) != 0)
        abort();
    // No log file; warnings only on standard error, which this code never
    // writes, so the run stays quiet while every message is still formatted.
    zpmlog = log_init(nullptr, 15, 2, 2, nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string list = g_dir + "/hash/data.txt";
    FILE *f = fopen(list.c_str(), "wb");
    if (!f)
        abort();
    fwrite(data, 1, size, f);
    fclose(f);
    s_ekva **e = nullptr;
    int rc = zpm_zpf_zpk_hashes(g_dir.c_str(), "data", &e);
    if (rc != 0 && rc != -1)
        abort();
    // Every pair must have the digest form and a value that starts with '/'.
    for (int i = 1; e && e[i]; i++) {
        std::string k = e[i]->key, v = e[i]->val ? e[i]->val : "";
        if (k.size() != 40 || v.empty() || v[0] != '/')
            abort();
    }
    ekva_free(e);
    return 0;
}
