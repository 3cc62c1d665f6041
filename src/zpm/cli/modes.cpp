// Dispatch to the selected mode, in the fixed order of the modes.
#include "catalogue.h"
#include "frontend.h"

int zpm_run_mode(ZpmRun *run) {
    switch (run->zpm_mode) {
    case ZPM_MODE_LIST:
        return zpm_mode_list(run);
    case ZPM_MODE_FILE:
        return zpm_mode_file_owner(run);
    case ZPM_MODE_CONTENTS:
        return zpm_mode_contents(run);
    case ZPM_MODE_QUERY:
        return zpm_mode_query(run);
    case ZPM_MODE_INSTALL:
        return zpm_mode_install(run);
    case ZPM_MODE_WALK:
        return zpm_mode_walk(run);
    case ZPM_MODE_DELETE:
        return zpm_mode_delete(run);
    case ZPM_MODE_UPDATE:
        return zpm_mode_update(run);
    case ZPM_MODE_REFRESH:
        return zpm_mode_refresh(run);
    case ZPM_MODE_SEARCH:
        return zpm_mode_search(run);
    default: // pin, and anything else
        zpm_zpc_close(run->zpc_backend_handle);
        return 0;
    }
}
