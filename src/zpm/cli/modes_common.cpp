// Pieces shared by the modes: the common failure exit, the catalogue
// connection with the optional refresh before the action, opening the
// inventory, and the engine's questions and notes turned into dialogs.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include "catalogue.h"
#include "frontend.h"
#include "hooks.h"
#include "inventory.h"
#include "loglib.h"
#include "zpmui.h"

void zpm_fail_exit(ZpmRun *run, const char *msg) {
    std::snprintf(logmsg, LOGMSG_MAX, "%s", msg);
    log_write(zpmlog, ZLOG_ERROR, logmsg);
    zpm_zpc_close(run->zpc_backend_handle);
    std::exit(1);
}

void zpm_install_ui_hooks() {
    zpm::Hooks h;
    h.choose = [](const char *prompt, s_ekva **choices, char *default_key) -> const char * {
        zpm_progress_hold();
        const char *key = zpmui ? zpmui_select(zpmui, prompt, choices, default_key, 0) : nullptr;
        zpm_progress_resume();
        return key;
    };
    h.note = [](const std::string &line) {
        if (zpmui)
            zpmui_line_add(zpmui, line.c_str());
    };
    h.progress = zpm_progress_report;
    zpm::set_hooks(std::move(h));
}

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

int zpm_strict_status(const ZpmRun *run, int status) { return run->strict ? status : 0; }
