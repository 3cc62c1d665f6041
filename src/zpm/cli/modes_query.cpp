// Query-side modes: list, file owner, contents, query, search, refresh.
// They read and report; none of them changes the system or takes the lock.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "arr.h"
#include "catalogue.h"
#include "frontend.h"
#include "getopts.h"
#include "inventory.h"
#include "loglib.h"
#include "recptr.h"
#include "report.h"
#include "zpf.h"
#include "zpk.h"
#include "zpmui.h"

namespace {

// Closes the back end and hands back the inventory's closing status.
int finish(ZpmRun *run, ZPM *zpm) {
    zpm_zpc_close(run->zpc_backend_handle);
    return zpm ? zpm_close(zpm) : 0;
}

void print_lines(char **lines) {
    for (char **l = lines; l && *l; l++)
        printf("%s\n", *l);
    fflush(stdout);
}

int zpi_count(ZPI **list) {
    int n = 0;
    while (list && list[n])
        n++;
    return n;
}

// The name of the row the user picked, when the pick is a row of the list.
void print_picked(ZPI **list, int picked) {
    if (picked < 1 || picked > zpi_count(list) || !list[picked - 1]->name)
        return;
    const ZPI *zpi = list[picked - 1];
    if (zpi->variant)
        printf("%s_%s\n", zpi->name, zpi->variant);
    else
        printf("%s\n", zpi->name);
    fflush(stdout);
}

// A back end may hand over a record without a name: it names no package that
// could be shown, picked or installed, so it is left out (and freed).
int drop_nameless(ZPI **list) {
    int kept = 0;
    for (int i = 0; list && list[i]; i++) {
        if (list[i]->name) {
            list[kept++] = list[i];
            continue;
        }
        zlogf(ZLOG_WARNING, "Skipping a catalogue record without a name");
        zpk_info_free(list[i]);
    }
    if (list)
        list[kept] = nullptr;
    return kept;
}

int query_file(ZpmRun *run, const char *name, int list_format) {
    zlogf(ZLOG_DEBUG, "Querying local file %s...", name);
    ZPI *zpi = zpm_zpf_info(name, zpk_verify(run->zpm_opt_user));
    if (zpi) {
        if (run->verbose) {
            printf("Verify: %d\n", zpi->rsa_verified);
            fflush(stdout);
        }
        zpm_zpk_info_write(zpi, nullptr, ZPM_INFO_ZPKFILE, list_format, run->verbose);
        zpk_info_free(zpi);
    }
    int rc = finish(run, nullptr);
    return zpi ? rc : zpm_strict_status(run, ZPM_STATUS_NOT_DONE);
}

} // namespace

int zpm_mode_list(ZpmRun *run) {
    int list_format = zpm_get_outform(run->zpm_opt_user, ZPM_MODE_LIST);
    ZPM *zpm = zpm_mode_open_inventory(run);
    std::string pattern = run->object_name ? run->object_name : "*";
    ZPI **list = nullptr;
    int count = zpm_list_zpi(zpm, pattern.c_str(), 1, &list);
    if (list) {
        zpm_zpk_list_write(nullptr, list, count, ZPM_INFO_INSTALLED, list_format, run->verbose);
        zpm_zpi_list_free(list);
    }
    return finish(run, zpm);
}

int zpm_mode_file_owner(ZpmRun *run) {
    if (!run->object_name)
        zpm_fail_exit(run, "No file specified");
    ZPM *zpm = zpm_mode_open_inventory(run);
    char *owner = zpm_file_owner(zpm, run->object_name);
    if (!owner) {
        zlogf(ZLOG_ERROR, "File %s was not found in any registered package", run->object_name);
        finish(run, zpm);
        return 1;
    }
    zpmui_infof(0, "%s\n", owner);
    free(owner);
    return finish(run, zpm);
}

int zpm_mode_contents(ZpmRun *run) {
    if (!run->object_name)
        zpm_fail_exit(run, "No package specified");
    ZPM *zpm = zpm_mode_open_inventory(run);
    zpm_get_outform(run->zpm_opt_user, ZPM_MODE_CONTENTS); // read, no effect here
    const char *name = run->object_name;
    if (!zpk_file_is_zpk(name)) {
        zlogf(ZLOG_DEBUG, "Querying installed package %s ...", name);
        char **files = zpm_zpl_index(zpm, name);
        print_lines(files);
        // Installed without files is no failure; not installed is.
        bool known = files || ZpiPtr(zpm_zpl_info(zpm, name));
        arr_free(files);
        int rc = finish(run, zpm);
        return known ? rc : zpm_strict_status(run, ZPM_STATUS_NOT_DONE);
    }
    zlogf(ZLOG_DEBUG, "Querying local file %s...", name);
    // A package that cannot be read whole lists nothing: a part of its
    // contents would pass for all of it.
    char **files = nullptr;
    if (!zpm::pkg::read_index(name, &files)) {
        zlogf(ZLOG_ERROR, "Failed to read the contents of package file %s", name);
        finish(run, zpm);
        return 1;
    }
    print_lines(files);
    arr_free(files);
    finish(run, zpm);
    return 0;
}

int zpm_mode_query(ZpmRun *run) {
    int list_format = zpm_get_outform(run->zpm_opt_user, ZPM_MODE_QUERY);
    if (!run->object_name)
        zpm_fail_exit(run, "No package specified");
    const char *name = run->object_name;
    if (zpk_file_is_zpk(name))
        return query_file(run, name, list_format);
    ZPM *zpm = zpm_mode_open_inventory(run);
    zlogf(ZLOG_DEBUG, "Querying installed package %s ...", name);
    ZPI *zpi = zpm_zpl_info(zpm, name);
    if (zpi) {
        zpm_zpk_info_write(zpi, nullptr, ZPM_INFO_INSTALLED, list_format, 1);
        zpk_info_free(zpi);
    }
    int rc = finish(run, zpm);
    return zpi ? rc : zpm_strict_status(run, ZPM_STATUS_NOT_DONE);
}

int zpm_mode_search(ZpmRun *run) {
    int list_format = zpm_get_outform(run->zpm_opt_user, ZPM_MODE_SEARCH);
    std::string pattern = run->object_name ? run->object_name : "*";
    ZPC *zpc = zpm_mode_connect(run);
    ZPI **list = nullptr;
    int count = pzpm_zpc_findpkg(zpc, pattern.data(), zpm_get_variant(run->zpm_opt_user),
                                 nullptr, 5, nullptr, &list);
    zlogf(ZLOG_DEBUG, "Number of packages returned for %s: %d", pattern.c_str(), count);
    if (list) {
        const int before = zpi_count(list);
        count -= before - drop_nameless(list);
        int picked = zpm_zpk_list_write(nullptr, list, count, ZPM_INFO_CATALOGUE, list_format,
                                        run->verbose);
        print_picked(list, picked);
        zpm_zpi_list_free(list);
    }
    pzpm_zpc_release(zpc);
    arr_free(run->object_names);
    run->object_names = nullptr;
    run->object_name = nullptr;
    return finish(run, nullptr);
}

int zpm_mode_refresh(ZpmRun *run) {
    ZPC *zpc = pzpm_zpc_connect ? pzpm_zpc_connect(run->zpm_sys_conf, zpmlog) : nullptr;
    if (!zpc) {
        zpmui_infof(1, "%s", "Failed to connect to catalogue\n");
        finish(run, nullptr);
        return 1;
    }
    bool refreshed = pzpm_zpc_refresh(zpc) == 0;
    if (refreshed)
        zpmui_infof(0, "%s", "Ok, refreshed the package catalogue\n");
    else
        zpmui_infof(0, "%s", "Failed to refresh the catalogue\n");
    pzpm_zpc_release(zpc);
    int rc = finish(run, nullptr);
    return refreshed ? rc : zpm_strict_status(run, ZPM_STATUS_FAILED);
}
