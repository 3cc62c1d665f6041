// The action list of a transaction shown as a dialog table.
#include <cstdio>
#include <memory>

#include "cres.h"
#include "loglib.h"
#include "recptr.h"
#include "report.h"
#include "zpm.h"
#include "zpmui.h"

namespace {

using Ekva = EkvaPtr;

const char *action_text(char action) {
    switch (action) {
    case 'I':
        return "install";
    case 'U':
        return "update";
    case 'D':
        return "delete";
    default:
        return nullptr;
    }
}

s_ekva **action_header(int detail) {
    s_ekva **head = ekva_new(10, EKVA_ADD_APPEND);
    if (!head)
        return nullptr;
    ekva_addval(&head, "Action", "10", EKVA_ADD_APPEND);
    ekva_addval(&head, "Package", "25", EKVA_ADD_APPEND);
    ekva_addval(&head, "Version", "10", EKVA_ADD_APPEND);
    if (detail) {
        ekva_addval(&head, "Package size in kb", "10", EKVA_ADD_APPEND);
        ekva_addval(&head, "Installed size in kb", "10", EKVA_ADD_APPEND);
    }
    return head;
}

// Sizes in whole kilobytes, rounded down, right-aligned in seven places.
void add_kb(s_ekva ***row, const char *key, uint64_t bytes) {
    char buf[32];
    snprintf(buf, sizeof buf, "%7lu", static_cast<unsigned long>(bytes / 1024));
    ekva_addval(row, key, buf, EKVA_ADD_APPEND);
}

s_ekva **action_row(const ZPA *zpa, int detail) {
    s_ekva **row = ekva_new(10, EKVA_ADD_APPEND);
    if (!row)
        return nullptr;
    const ZPI *zpi = zpa->zpi;
    ekva_addval(&row, "Action", action_text(zpa->action), EKVA_ADD_APPEND);
    ekva_addval(&row, "Package", zpi ? zpi->name : nullptr, EKVA_ADD_APPEND);
    ekva_addval(&row, "Version", zpi ? zpi->version : nullptr, EKVA_ADD_APPEND);
    if (detail) {
        add_kb(&row, "Package size in kb", zpi ? zpi->filesize : 0);
        add_kb(&row, "Installed size in kb", zpi ? zpi->datasize : 0);
    }
    return row;
}

} // namespace

int zpm_zpa_list_write(ZPA **zpa_list, int /*num_zpas*/, const char *header, int detail) {
    if (!zpmui)
        return -1;
    Ekva head(action_header(detail));
    if (!head || zpmui_write_table_new(zpmui, header, head.get()) != 0) {
        zlogf(ZLOG_ERROR, "Error creating ui table");
        return -1;
    }
    for (int i = 0; zpa_list && zpa_list[i]; i++) {
        zlogf(ZLOG_DEBUG, "adding %d entry", i + 1);
        Ekva row(action_row(zpa_list[i], detail));
        if (!row || zpmui_write_table_add(zpmui, row.get(), i + 1) != 0) {
            zlogf(ZLOG_ERROR, "Error adding entry to ui table");
            return -1;
        }
    }
    int rc = zpmui_write_table_end(zpmui, "");
    if (rc != 0)
        zlogf(ZLOG_ERROR, "Error writing ui table");
    return rc;
}
