// Action lists: what planned transactions will do, one entry per package
// name, for the summary before the question and the dry-run table.
#include <cstdlib>
#include <cstring>

#include "loglib.h"
#include "plan.h"
#include "zpk.h"
#include "zpm.h"

int zpm_zpa_list_new_zpi(ZPA **zpa_list, ZPI *zpi) {
    if (!zpa_list)
        return 1;
    zlogf(ZLOG_DEBUG, "checking if %s is already in the zpa", zpi->name);
    for (int i = 0; zpa_list[i]; i++) {
        const ZPI *have = zpa_list[i]->zpi;
        if (have && have->name && zpi->name && strcmp(have->name, zpi->name) == 0) {
            zlogf(ZLOG_DEBUG, "%s is already in the zpa (%s)", zpi->name, have->name);
            return 0;
        }
    }
    return 1;
}

namespace {

int count(ZPA **list) {
    int n = 0;
    while (list && list[n])
        n++;
    return n;
}

bool addable(const ZPD *d) {
    return d->zpi && d->action != 'N';
}

// Additions the transaction would bring to the list as it stands now.
int count_additions(ZPT *zpt, ZPA **list) {
    int adds = 0;
    if (zpt->zpi && zpm_zpa_list_new_zpi(list, zpt->zpi)) {
        zlogf(ZLOG_DEBUG, "%s can be added zpa", zpt->zpi->name);
        adds++;
    }
    for (int i = 0; zpt->all_zpds && zpt->all_zpds[i]; i++) {
        ZPD *d = zpt->all_zpds[i];
        if (addable(d) && zpm_zpa_list_new_zpi(list, d->zpi)) {
            zlogf(ZLOG_DEBUG, "%s can be added zpa", d->zpi->name);
            adds++;
        }
    }
    return adds;
}

ZPA *make_entry(char action, char status, const char *candidate, const ZPI *zpi) {
    ZPA *a = static_cast<ZPA *>(calloc(1, sizeof(ZPA)));
    if (!a)
        return nullptr;
    a->action = action;
    a->status = status;
    a->candidate = strdup(candidate ? candidate : "");
    a->zpi = zpk_info_copy(zpi);
    if (!a->candidate || !a->zpi) {
        free(a->candidate);
        if (a->zpi)
            zpk_info_free(a->zpi);
        free(a);
        return nullptr;
    }
    return a;
}

// Appends at *pos and keeps the list terminated; false when memory ran out.
bool append(ZPA **list, int *pos, ZPA *entry) {
    if (!entry)
        return false;
    list[(*pos)++] = entry;
    list[*pos] = nullptr;
    return true;
}

} // namespace

int zpm_zpa_list_add_zpt(ZPT *zpt, ZPA ***zpa_list) {
    int old = count(*zpa_list);
    int adds = count_additions(zpt, *zpa_list);
    if (adds == 0) {
        zlogf(ZLOG_DEBUG, "No new additions");
        return old;
    }
    zlogf(ZLOG_DEBUG,
          *zpa_list ? "Reallocating list for %d entries" : "Allocating list for %d entries",
          old + adds);
    ZPA **list = static_cast<ZPA **>(realloc(*zpa_list, (old + adds + 1) * sizeof(ZPA *)));
    if (!list)
        return old;
    list[old] = nullptr;
    *zpa_list = list;
    int pos = old;
    if (zpt->zpi && zpm_zpa_list_new_zpi(list, zpt->zpi)) {
        zlogf(ZLOG_DEBUG, "Adding %s to zpa at pos %d", zpt->zpi->name, old);
        append(list, &pos, make_entry(zpt->action, zpt->zpk_stat, zpt->zpi->name, zpt->zpi));
    }
    for (int i = 0; zpt->all_zpds && zpt->all_zpds[i]; i++) {
        ZPD *d = zpt->all_zpds[i];
        if (!addable(d) || !zpm_zpa_list_new_zpi(list, d->zpi))
            continue;
        zlogf(ZLOG_DEBUG, "Adding %s to zpa", d->zpi->name);
        append(list, &pos, make_entry(d->action, d->status, d->candidate, d->zpi));
    }
    zlogf(ZLOG_DEBUG, "Added %d entries to zpa_list, new size: %d (%d)", adds, old + adds, pos);
    return pos;
}

void zpm_zpa_list_free(ZPA **zpa_list) {
    for (int i = 0; zpa_list && zpa_list[i]; i++) {
        free(zpa_list[i]->candidate);
        if (zpa_list[i]->zpi)
            zpk_info_free(zpa_list[i]->zpi);
        free(zpa_list[i]);
    }
    free(zpa_list);
}
