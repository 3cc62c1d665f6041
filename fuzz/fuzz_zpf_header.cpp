// Package file readers on arbitrary files: the header, the description and
// the payload index of whatever bytes arrive, written as a .zpk file.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "arr.h"
#include "loglib.h"
#include "zpf.h"
#include "zpk.h"
#include "zpm.h"

static std::string g_file;

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    const char *tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/zpm-fuzz-zpf.XXXXXX";
    if (!mkdtemp(tmpl.data()))
        abort();
    g_file = tmpl + "/input.zpk";
    // No log file; only warnings reach standard error and the system log,
    // and these readers warn only when checking signatures, which the run
    // does not ask for.  Every message is still formatted.
    zpmlog = log_init(nullptr, 15, ZLOG_WARNING, ZLOG_WARNING, nullptr);
    return 0;
}

static void check_record(ZPI *z) {
    // A record the reader hands out always has what the rest of zpm relies on.
    if (!z->name || !z->version || !z->rel_uri || strcmp(z->rel_uri, g_file.c_str()) != 0)
        abort();
    if (!z->filehash || strlen(z->filehash) != 40)
        abort();
    if (z->rsa_verified != 0 || z->removable != 1)
        abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FILE *f = fopen(g_file.c_str(), "wb");
    if (!f)
        abort();
    fwrite(data, 1, size, f);
    fclose(f);
    ZPI *z = zpm_zpf_info(g_file.c_str(), 0);
    if (z) {
        check_record(z);
        zpk_info_free(z);
    }
    char **index = zpm_zpf_index(nullptr, g_file.c_str());
    for (char **p = index; p && *p; p++)
        if ((*p)[0] != '/')
            abort();
    if (index && !z)
        abort(); // the index reads the same header the record comes from
    arr_free(index);
    return 0;
}
