// Package lists: a fixed-column text table (written to a stream, or to a
// temporary file shown in a text window) or a dialog table.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "arr.h"
#include "cres.h"
#include "loglib.h"
#include "paths.h"
#include "recptr.h"
#include "report.h"
#include "zpk.h"
#include "zpm.h"
#include "zpmui.h"

namespace {

using Ekva = EkvaPtr;

const char *or_empty(const char *s) { return s ? s : ""; }

const char *list_title(int type, int num_zpis, std::string &buf) {
    char t[128];
    if (type == ZPM_INFO_CATALOGUE)
        snprintf(t, sizeof t, "Found %d matching packages in catalogue", num_zpis);
    else if (type == ZPM_INFO_INSTALLED)
        snprintf(t, sizeof t, "Found %d matching installed packages", num_zpis);
    else
        t[0] = '\0';
    buf = t;
    return buf.c_str();
}

s_ekva **table_header(int detail) {
    s_ekva **head = ekva_new(10, EKVA_ADD_APPEND);
    if (!head)
        return nullptr;
    ekva_addval(&head, "Name", "20", EKVA_ADD_APPEND);
    ekva_addval(&head, "Variant", "10", EKVA_ADD_APPEND);
    ekva_addval(&head, "Version", "10", EKVA_ADD_APPEND);
    ekva_addval(&head, "Description", "35", EKVA_ADD_APPEND);
    if (detail)
        ekva_addval(&head, "Dependencies", "30", EKVA_ADD_APPEND);
    return head;
}

s_ekva **table_row(const ZPI *zpi, int detail) {
    s_ekva **row = ekva_new(10, EKVA_ADD_APPEND);
    if (!row)
        return nullptr;
    ekva_addval(&row, "Name", zpi->name, EKVA_ADD_APPEND);
    ekva_addval(&row, "Variant", zpi->variant, EKVA_ADD_APPEND);
    ekva_addval(&row, "Version", zpi->version, EKVA_ADD_APPEND);
    ekva_addval(&row, "Description", zpi->desc, EKVA_ADD_APPEND);
    if (detail) {
        CharBuf deps(zpi->deps ? arr2str(zpi->deps, ',') : nullptr);
        ekva_addval(&row, "Dependencies", deps.get(), EKVA_ADD_APPEND);
    }
    return row;
}

int list_dialog(ZPI **zpi_list, const char *title, int detail) {
    Ekva head(table_header(detail));
    if (!head || zpmui_write_table_new(zpmui, title, head.get()) != 0) {
        zlogf(ZLOG_ERROR, "Error creating ui table");
        return -1;
    }
    for (int i = 0; zpi_list[i]; i++) {
        zlogf(ZLOG_DEBUG, "adding %d entry", i + 1);
        Ekva row(table_row(zpi_list[i], detail));
        if (!row || zpmui_write_table_add(zpmui, row.get(), i + 1) != 0) {
            zlogf(ZLOG_ERROR, "Error adding entry to ui table");
            return -1;
        }
    }
    int rc = zpmui_write_table_end(zpmui, "");
    if (rc < 0)
        zlogf(ZLOG_ERROR, "Error writing ui table");
    return rc;
}

// Writes the whole text table to out; -1 when the table cannot be started.
int write_table(FILE *out, ZPI **zpi_list, int type, int list_format, int detail) {
    zlogf(ZLOG_DEBUG, "Opening table");
    Ekva head(zpk_info_ekva(nullptr, type));
    ZPMLS *ls = zpm_ftable_new(out, nullptr, head.get(), type, list_format, detail);
    if (!ls) {
        zlogf(ZLOG_ERROR, "Error creating tempfile for list: %s", strerror(errno));
        return -1;
    }
    for (int i = 0; zpi_list[i]; i++) {
        zlogf(ZLOG_DEBUG, "adding %d entry", i + 1);
        Ekva row(zpk_info_ekva(zpi_list[i], type));
        zpm_ftable_add(ls, row.get());
    }
    zlogf(ZLOG_DEBUG, "Closing table");
    zpm_ftable_end(ls, nullptr);
    free(ls);
    return 0;
}

int list_tempfile(ZPI **zpi_list, int type, int list_format, int detail) {
    std::string path = zpm::paths::tmp_template(zpm::paths::kTmpListTemplate);
    int fd = mkstemp(path.data());
    FILE *out = fd >= 0 ? fdopen(fd, "w") : nullptr;
    if (!out) {
        zlogf(ZLOG_ERROR, "Error creating tempfile for list: %s", strerror(errno));
        if (fd >= 0) {
            close(fd);
            unlink(path.c_str());
        }
        return -1;
    }
    int rc = write_table(out, zpi_list, type, list_format, detail);
    if (fclose(out) != 0 && rc == 0) {
        zlogf(ZLOG_ERROR, "Error creating tempfile for list: %s", strerror(errno));
        rc = -1;
    }
    if (rc == 0) {
        zlogf(ZLOG_DEBUG, "Writing table");
        zpmui_write_file(zpmui, path.c_str(), 1);
    }
    unlink(path.c_str());
    return rc;
}

} // namespace

ZPMLS *zpm_ftable_new(FILE *listfile, char * /*table_header*/, s_ekva ** /*head_ekva*/,
                      int type, int list_format, int detail) {
    ZPMLS *ls = static_cast<ZPMLS *>(calloc(1, sizeof(ZPMLS)));
    if (!ls) {
        zlogf(ZLOG_ERROR, "Failed to initiallize ftable");
        return nullptr;
    }
    ls->detail = detail;
    ls->type = type;
    ls->list_format = list_format;
    ls->listfile = listfile;
    ls->locdata = nullptr;
    if (listfile) {
        fprintf(listfile, "%-25s %-15s %-35s\n", "Name (with variant)", "Version", "Description");
        fprintf(listfile, "%-25s %-15s %-35s\n", "-------------------", "-------", "-----------");
        fflush(listfile);
    }
    return ls;
}

int zpm_ftable_add(ZPMLS *zpmls, s_ekva **data_ekva) {
    if (!zpmls || !zpmls->listfile || !data_ekva)
        return 0;
    const char *name = or_empty(ekva_getval(data_ekva, "ezpkName"));
    const char *variant = ekva_getval(data_ekva, "ezpkVariant");
    // 24 characters of name_variant, else 25 of the name, so a long name
    // never pushes the other columns out of place.
    char first[26];
    if (variant)
        snprintf(first, 25, "%s_%s", name, variant);
    else
        snprintf(first, 26, "%s", name);
    fprintf(zpmls->listfile, "%-25s %-15s %-35s\n", first,
            or_empty(ekva_getval(data_ekva, "ezpkVersion")),
            or_empty(ekva_getval(data_ekva, "ezpkDescription")));
    return 0;
}

int zpm_ftable_end(ZPMLS *zpmls, char * /*table_footer*/) {
    if (zpmls && zpmls->listfile)
        fputs("\n", zpmls->listfile);
    return 0;
}

int zpm_zpk_list_write(FILE *listfile, ZPI **zpi_list, int num_zpis, int type, int list_format,
                       int detail) {
    zlogf(ZLOG_DEBUG, "%s", listfile ? "Writing list to file" : "Writing list to ui");
    if (!zpmui)
        return -1;
    ZPI *none[1] = {nullptr};
    if (!zpi_list)
        zpi_list = none;
    std::string title;
    list_title(type, num_zpis, title);
    if (list_format == ZPM_FMT_TABLE)
        return list_dialog(zpi_list, title.c_str(), detail);
    if (listfile)
        return write_table(listfile, zpi_list, type, list_format, detail);
    return list_tempfile(zpi_list, type, list_format, detail);
}
