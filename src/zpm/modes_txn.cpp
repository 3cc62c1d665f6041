// Transaction modes and the walk.  Not built yet: each ends with a clear
// message and a failure status instead of pretending.
#include <cstdio>

#include "frontend.h"

static int not_yet(ZpmRun *run, const char *what) {
    std::fprintf(stderr, "zpm: the %s mode is not available in this build\n", what);
    zpm_zpc_close(run->zpc_backend_handle);
    return 1;
}

int zpm_mode_install(ZpmRun *run) { return not_yet(run, "install"); }
int zpm_mode_update(ZpmRun *run) { return not_yet(run, "update"); }
int zpm_mode_delete(ZpmRun *run) { return not_yet(run, "delete"); }
int zpm_mode_walk(ZpmRun *run) { return not_yet(run, "walk"); }
