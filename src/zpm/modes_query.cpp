// Query-side modes.  Not built yet: each ends with a clear message and a
// failure status instead of pretending.
#include <cstdio>

#include "frontend.h"

static int not_yet(ZpmRun *run, const char *what) {
    std::fprintf(stderr, "zpm: the %s mode is not available in this build\n", what);
    zpm_zpc_close(run->zpc_backend_handle);
    return 1;
}

int zpm_mode_list(ZpmRun *run) { return not_yet(run, "list"); }
int zpm_mode_file_owner(ZpmRun *run) { return not_yet(run, "file owner"); }
int zpm_mode_contents(ZpmRun *run) { return not_yet(run, "contents"); }
int zpm_mode_query(ZpmRun *run) { return not_yet(run, "query"); }
int zpm_mode_search(ZpmRun *run) { return not_yet(run, "search"); }
int zpm_mode_refresh(ZpmRun *run) { return not_yet(run, "refresh"); }
