// Unpacks one package file with zpm_zpf_extract, without the signature
// check, and prints the wall time in milliseconds.
#include <chrono>
#include <cstdio>

#include "loglib.h"
#include "zpf.h"
#include "zpm.h"

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s PACKAGE DIR\n", argv[0]);
        return 2;
    }
    zpmlog = log_init(nullptr, ZLOG_ERROR, ZLOG_ERROR, ZLOG_ERROR, nullptr);
    auto t0 = std::chrono::steady_clock::now();
    int rc = zpm_zpf_extract(argv[1], argv[2], 0);
    auto t1 = std::chrono::steady_clock::now();
    printf("%.1f\n", std::chrono::duration<double, std::milli>(t1 - t0).count());
    log_free(zpmlog);
    return rc == 0 ? 0 : 1;
}
