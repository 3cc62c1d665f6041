// The front end: what main keeps while it reads the command line and starts
// up, the mode dispatch, and the modes themselves.
#ifndef ZPM_FRONTEND_H
#define ZPM_FRONTEND_H

#include <string>

#include "hooks.h"
#include "zpm.h"

// Mode numbers (zpm_mode).
enum {
    ZPM_MODE_USAGE = 0,
    ZPM_MODE_INSTALL = 1,
    ZPM_MODE_UPDATE = 2,
    ZPM_MODE_DELETE = 3,
    ZPM_MODE_SEARCH = 4,
    ZPM_MODE_QUERY = 5,
    ZPM_MODE_LIST = 6,
    ZPM_MODE_REFRESH = 7,
    ZPM_MODE_PIN = 8,
    ZPM_MODE_FILE = 9,
    ZPM_MODE_CONTENTS = 10,
    ZPM_MODE_WALK = 11,
};

// The whole program: start-up, one mode, exit status (startup.cpp).
extern "C" int zpm_main(int argc, char **argv);

struct ZpmRun {
    int zpm_mode = 0;
    int opt_vote_mode = 0;
    int refresh = 0;
    int verbose = 0;
    int debug = 0;
    char options[1025] = {0};
    char *logfilename = nullptr;
    int argshift = 0;
    char **object_names = nullptr; // NULL-terminated copies of the names, or NULL
    char *object_name = nullptr;   // object_names[0] or NULL
    s_ekva **zpm_opt_user = nullptr;
    s_ekva **zpm_sys_conf = nullptr;
    int zpm_loglevel = 7;
    void *zpc_backend_handle = nullptr;
    // Strict exit statuses (-o status=strict, or zpm_status=strict in the
    // configuration): a mode that failed to do what was asked says so.
    bool strict = false;
};

// Exit statuses under the strict switch, for the first name that failed.
enum {
    ZPM_STATUS_NOT_DONE = 3, // unknown name, nothing to plan, refused package
    ZPM_STATUS_FAILED = 4,   // carrying it out failed
    ZPM_STATUS_DECLINED = 5, // the question was answered no (or could not be asked)
};
// status under the strict switch, 0 without it (modes_common.cpp).
int zpm_strict_status(const ZpmRun *run, int status);

struct options;

// Reads the command line into run: options, the single mode, usage, version
// and options help (which end the process), the options string, vote_mode and
// the name list (startup.cpp).
void zpm_read_cmdline(ZpmRun *run, int argc, char **argv, struct options *table);

// Runs the selected mode and returns the exit status (modes.cpp).
int zpm_run_mode(ZpmRun *run);

// Common failure exit of the modes: logs msg at level 1, closes the back end,
// exits with status 1 (modes_common.cpp).
[[noreturn]] void zpm_fail_exit(ZpmRun *run, const char *msg);

// Lets the engine's questions and notes reach the user as dialogs and text
// (modes_common.cpp).
void zpm_install_ui_hooks();

// The progress window of the transaction carried out between begin and end
// (progress_dialog.cpp): what is done ("Installing") and to what; it appears
// when the transaction takes longer than about a second, never in a dry run.
// Questions asked meanwhile hold it.  The engine's reports reach it through
// zpm_progress_report.
void zpm_progress_begin(const char *what, const char *name);
void zpm_progress_end();
void zpm_progress_hold();
void zpm_progress_resume();
void zpm_progress_report(const char *package, zpm::ProgressPhase phase, unsigned long long done,
                         unsigned long long total);

// Shared by the modes (modes_common.cpp).  Connects to the catalogue (the
// common failure exit with "Failed to connect to catalogue" when it cannot)
// and, with -r, refreshes it first, telling the user when that fails (and,
// with -v, when it worked); the mode goes on either way.  The caller releases
// the connection with pzpm_zpc_release.
ZPC *zpm_mode_connect(ZpmRun *run);
// Opens the inventory without locking it; the common failure exit with
// "Failed to open local package inventory" when it cannot.
ZPM *zpm_mode_open_inventory(ZpmRun *run);

// Query-side modes (modes_query.cpp); each returns the exit status.
int zpm_mode_list(ZpmRun *run);
int zpm_mode_file_owner(ZpmRun *run);
int zpm_mode_contents(ZpmRun *run);
int zpm_mode_query(ZpmRun *run);
int zpm_mode_search(ZpmRun *run);
int zpm_mode_refresh(ZpmRun *run);

// Transaction modes and the walk (modes_txn.cpp).
int zpm_mode_install(ZpmRun *run);
int zpm_mode_update(ZpmRun *run);
int zpm_mode_delete(ZpmRun *run);
int zpm_mode_walk(ZpmRun *run);

// The text shown before asking whether to go on with a transaction: what
// ("install", "update" or "removal") of the request, one line per entry of
// the transaction's action list, and the question "Do you want to continue".
// Empty when the transaction's action list is empty.
std::string zpm_txn_summary(ZPT *zpt, const char *what);

#endif
