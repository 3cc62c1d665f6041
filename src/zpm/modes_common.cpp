// Pieces shared by the modes: the catalogue connection with the optional
// refresh before the action, and opening the inventory.
#include "frontend.h"
#include "loglib.h"
#include "zpmui.h"

ZPC *zpm_mode_connect(ZpmRun *run) {
    ZPC *zpc = pzpm_zpc_connect ? pzpm_zpc_connect(run->zpm_sys_conf, zpmlog) : nullptr;
    if (!zpc)
        zpm_fail_exit(run, "Failed to connect to catalogue");
    if (run->refresh) {
        if (!pzpm_zpc_refresh || pzpm_zpc_refresh(zpc) != 0)
            zpmui_infof(0, "%s", "Failed to refresh the catalogue\n");
        else if (run->verbose)
            zpmui_infof(0, "%s", "Ok, refreshed catalogue\n");
    }
    return zpc;
}

ZPM *zpm_mode_open_inventory(ZpmRun *run) {
    ZPM *zpm = zpm_open(nullptr);
    if (!zpm)
        zpm_fail_exit(run, "Failed to open local package inventory");
    return zpm;
}
