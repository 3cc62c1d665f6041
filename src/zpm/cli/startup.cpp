// Start-up of zpm: user interface, command line, configuration, log, catalogue
// back end, then the one mode of this run.  The order matters: the user
// interface must exist before any message, the log before the back end.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "arr.h"
#include "catalogue.h"
#include "fsops.h"
#include "frontend.h"
#include "getopts.h"
#include "loglib.h"
#include "paths.h"
#include "util.h"
#include "zpmconf.h"
#include "zpmui.h"

namespace {

const char kUiTitle[] = "zpm: Zorvek Package Manager";
const char kDefaultBackend[] = "zpc-dirs.so";

[[noreturn]] void usage_exit(struct options *table, int status) {
    getopts_usage("zpm", table);
    std::exit(status);
}

// Mode selected by an action option, or -1 for any other option.
int action_mode(int opt) {
    switch (opt) {
    case 2: return ZPM_MODE_INSTALL;
    case 3: return ZPM_MODE_UPDATE;
    case 4: return ZPM_MODE_DELETE;
    case 5: return ZPM_MODE_QUERY;
    case 6: return ZPM_MODE_SEARCH;
    case 7: return ZPM_MODE_LIST;
    case 8: return ZPM_MODE_REFRESH;
    case 9: return ZPM_MODE_PIN;
    case 10: return ZPM_MODE_FILE;
    case 11: return ZPM_MODE_CONTENTS;
    case 21: return ZPM_MODE_WALK;
    default: return -1;
    }
}

void set_vote_flag(ZpmRun *run, struct options *table, int flag) {
    if (run->opt_vote_mode) {
        std::fprintf(stderr, "Only one of -d, -i or -f may be specified\n");
        usage_exit(table, 1);
    }
    run->opt_vote_mode = flag;
}

// Handles one result of getopts; returns the number of actions it counts.
int take_option(ZpmRun *run, struct options *table, int opt, const char *arg) {
    int mode = action_mode(opt);
    if (mode >= 0) {
        run->zpm_mode = mode;
        run->argshift++;
        return 1;
    }
    switch (opt) {
    case 1:
        run->zpm_mode = ZPM_MODE_USAGE;
        break;
    case 12: case 13: case 14:
        set_vote_flag(run, table, opt - 11);
        break;
    case 15:
        run->refresh = 1;
        break;
    case 16:
        dry_run = 1;
        break;
    case 18:
        run->verbose = 1;
        break;
    case 17:
        std::snprintf(run->options, sizeof run->options, "%.1024s", arg);
        run->argshift++; // the argument as well
        break;
    case 22:
        std::free(run->logfilename);
        run->logfilename = strdup(arg);
        run->argshift++;
        break;
    case 20:
        std::fprintf(stderr, "zpm %s\n", ZPM_VERSION);
        std::exit(0);
    case -1:
        std::printf("Unable to allocate memory.\n");
        std::exit(1);
    default: // -2: an unknown option, left to the name list
        return 0;
    }
    run->argshift++;
    return 0;
}

// Copies argv[argshift+1] .. argv[argc-1] as the names of this run.
void take_names(ZpmRun *run, int argc, char **argv) {
    if (argc <= run->argshift + 1)
        return;
    int n = argc - run->argshift - 1;
    char **names = static_cast<char **>(std::calloc(static_cast<size_t>(n) + 1, sizeof(char *)));
    if (!names) {
        std::printf("Unable to allocate memory.\n");
        std::exit(1);
    }
    for (int i = 0; i < n; i++) {
        names[i] = strdup(argv[run->argshift + 1 + i]);
        if (!names[i]) {
            std::printf("Unable to allocate memory.\n");
            std::exit(1);
        }
    }
    run->object_names = names;
    run->object_name = names[0];
}

} // namespace

void zpm_read_cmdline(ZpmRun *run, int argc, char **argv, struct options *table) {
    int actions = 0;
    char *arg = nullptr;
    int opt;
    while ((opt = getopts(argc, argv, table, &arg)) != 0) {
        actions += take_option(run, table, opt, arg);
        std::free(arg); // every copy getopts hands out, unknown options' too
        arg = nullptr;
    }
    if (actions > 1) {
        std::fprintf(stderr, "More than one action specified\n");
        usage_exit(table, 1);
    }
    if (run->zpm_mode == ZPM_MODE_USAGE)
        usage_exit(table, 0);
    if (std::strcmp(run->options, "help") == 0) {
        zpm_opt_help(run->zpm_mode);
        std::exit(0);
    }
    if (run->options[0]) {
        run->zpm_opt_user = zpmopts_str2ekva(nullptr, run->options, ',');
        run->debug = zpm_debug(run->zpm_opt_user);
        if (run->debug && run->zpm_opt_user)
            ekva_fprint(run->zpm_opt_user, stdout, 20);
    }
    vote_mode = zpm_get_votemode(run->zpm_opt_user, run->opt_vote_mode);
    take_names(run, argc, argv);
}

namespace {

// The menu mode is a placeholder: it says so and ends the run.
[[noreturn]] void menu_placeholder() {
    zpmui_menu_head(zpmui);
    zpmui_line_new(zpmui, "menu mode not yet implemented\n");
    zpmui_write_info(zpmui, zpmui->textbuf, 0);
    std::exit(0);
}

s_ekva **read_config(const ZpmRun *run) {
    std::string conf = zpm::paths::conf_file();
    if (run->debug)
        std::fprintf(stderr, "Reading zpm config file %s\n", conf.c_str());
    s_ekva **table = zpmconf_read(nullptr, conf.c_str());
    if (!table) {
        std::fprintf(stderr, "Failed to read zpm config %s\n", conf.c_str());
        std::exit(1);
    }
    return table;
}

int log_level_of(const ZpmRun *run) {
    if (run->debug)
        return 15;
    const char *val = ekva_getval(run->zpm_sys_conf, "zpm_loglevel");
    int level = 7;
    // A value that holds no leading decimal number converts nothing; such a
    // value is taken as a mistake and the default level 7 is used.
    if (val && std::sscanf(val, "%d", &level) != 1)
        level = 7;
    return level;
}

void open_log(const ZpmRun *run) {
    if (run->logfilename)
        zpmlog = log_init(run->logfilename, run->zpm_loglevel, 3, 1, "zpm");
    else if (getuid() == 0)
        zpmlog = log_init(zpm::paths::log_file().c_str(), run->zpm_loglevel, 3, 7, "zpm");
    else
        zpmlog = log_init(nullptr, 0, 3, 7, "zpm");
}

void log_vote_mode() {
    const char *how = vote_mode == 2   ? "defaults"
                      : vote_mode == 3 ? "non-interactive"
                                       : "interactive";
    zlogf(ZLOG_DEBUG, "Running in %s mode", how);
}

void load_backend(ZpmRun *run) {
    const char *configured = ekva_getval(run->zpm_sys_conf, "zpc_backend");
    std::string file;
    if (configured) {
        const char *slash = std::strrchr(configured, '/');
        file = slash ? slash + 1 : configured; // only ever from the library directory
        zlogf(ZLOG_DEBUG, "%s specified as catalogue backend", file.c_str());
    } else {
        zlogf(ZLOG_DEBUG, "No catalogue backend speficied, using %.1900s", kDefaultBackend);
        file = kDefaultBackend;
    }
    std::string full = zpm::paths::lib_dir() + "/" + file;
    zlogf(ZLOG_DEBUG, "Loading zpm backend %s", full.c_str());
    run->zpc_backend_handle = zpm_zpc_load(full.c_str());
    if (!run->zpc_backend_handle) {
        zlogf(ZLOG_ERROR, "Failed to load catalogue backend %s!", file.c_str());
        std::exit(2);
    }
}

// -o root=DIR: the system being managed is the one in DIR (an image being
// built), from before its configuration is read.
void take_target_root(const ZpmRun *run) {
    const char *dir = ekva_getval(run->zpm_opt_user, "root");
    if (!dir)
        return;
    char real[PATH_MAX];
    struct stat st;
    if (!*dir || !realpath(dir, real) || stat(real, &st) != 0 || !S_ISDIR(st.st_mode)) {
        std::fprintf(stderr, "Target root %s is not a directory\n", dir);
        std::exit(1);
    }
    zpm::paths::set_target_root(real);
}

// An image starts empty: the modes that change it get the inventory's
// directories and the log's directory made inside it.
void prepare_target_root(const ZpmRun *run) {
    bool changes = run->zpm_mode == ZPM_MODE_INSTALL || run->zpm_mode == ZPM_MODE_UPDATE ||
                   run->zpm_mode == ZPM_MODE_DELETE;
    if (!zpm::paths::target_root_active() || !changes || dry_run)
        return;
    for (const std::string &d :
         {zpm::paths::installed_dir(), zpm::paths::fileindex_dir(), zpm::paths::stage_dir(),
          zpm::paths::script_dir(), zpm::paths::at(zpm::paths::kVarDir) + "/log",
          zpm::paths::at("/etc")}) { // ldconfig -r writes the image's cache there
        std::string copy = d;
        zpm_zpf_mkdir(copy.data(), 0755);
    }
}

bool strict_wanted(const ZpmRun *run) {
    const char *opt = ekva_getval(run->zpm_opt_user, "status");
    const char *conf = ekva_getval(run->zpm_sys_conf, "zpm_status");
    const char *v = opt ? opt : conf;
    return v && strcasecmp(v, "strict") == 0;
}

void release_run(ZpmRun *run) {
    arr_free(run->object_names);
    std::free(run->logfilename);
    ekva_free(run->zpm_opt_user);
    ekva_free(run->zpm_sys_conf);
    *run = ZpmRun{};
}

} // namespace

int zpm_main(int argc, char **argv) {
    zpm::tune_heap();
    ZpmRun run;
    std::vector<struct options> table;
    for (const struct options *o = zpm_option_table;; o++) {
        table.push_back(*o);
        if (!o->name && !o->shortName && !o->description && o->number == 0)
            break;
    }
    zpmui = zpmui_init(kUiTitle);
    if (!zpmui) {
        std::fprintf(stderr, "Failed to initualize user interface\n");
        return 1;
    }
    zpm_install_ui_hooks();
    if (argc == 2 && std::strcmp(argv[1], "menu") == 0)
        menu_placeholder();
    zpm_read_cmdline(&run, argc, argv, table.data());
    take_target_root(&run);
    run.zpm_sys_conf = read_config(&run);
    run.strict = strict_wanted(&run);
    prepare_target_root(&run);
    run.zpm_loglevel = log_level_of(&run);
    open_log(&run);
    log_vote_mode();
    if (run.debug)
        ekva_fprint(run.zpm_sys_conf, stdout, 20);
    load_backend(&run);
    int status = zpm_run_mode(&run);
    release_run(&run);
    zpmui_free(zpmui);
    zpmui = nullptr;
    log_free(zpmlog);
    zpmlog = nullptr;
    return status;
}
