// Freeing planned transactions and their dependency records.
#include <cstdlib>
#include <cstring>

#include "ekva.h"
#include "plan.h"
#include "plan_common.h"
#include "zpk.h"
#include "zpm.h"

void zpd_free(ZPD *zpd) {
    if (!zpd)
        return;
    free(zpd->dependency);
    free(zpd->candidate);
    free(zpd->version);
    if (zpd->zpi)
        zpk_info_free(zpd->zpi);
    free(zpd);
}

void zpt_free(ZPT *zpt) {
    if (!zpt)
        return;
    for (int i = 0; zpt->all_zpds && zpt->all_zpds[i]; i++)
        zpd_free(zpt->all_zpds[i]);
    free(zpt->all_zpds);
    if (zpt->zpi)
        zpk_info_free(zpt->zpi);
    if (zpt->cfg_scripts)
        ekva_free(zpt->cfg_scripts);
    free(zpt->zpk_name);
    free(zpt);
}

namespace zpm::plan {

void free_zpds(ZPD **list) {
    for (int i = 0; list && list[i]; i++)
        zpd_free(list[i]);
    free(list);
}

ZPT *new_zpt(const char *request, char stat, char action, ZPI *head, int num, ZPD **list) {
    ZPT *zpt = static_cast<ZPT *>(calloc(1, sizeof(ZPT)));
    if (!zpt) {
        if (head)
            zpk_info_free(head);
        free_zpds(list);
        return nullptr;
    }
    zpt->zpk_name = strdup(request ? request : "");
    zpt->zpk_stat = stat;
    zpt->action = action;
    zpt->zpi = head;
    zpt->status = 'N';
    zpt->num_zpds = num;
    zpt->all_zpds = list;
    zpt->cfg_scripts = ekva_new(num + 1, 1);
    zpt->tot_file_size = head ? (unsigned long)head->filesize : 0;
    zpt->tot_data_size = head ? (unsigned long)head->datasize : 0;
    return zpt;
}

} // namespace zpm::plan
