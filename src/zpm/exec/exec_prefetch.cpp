// Prefetch: one call to the back end with the transaction's downloads.
#include "exec_prefetch.h"

#include <vector>

#include "catalogue.h"
#include "exec.h"
#include "exec_common.h"
#include "loglib.h"

namespace zpm::exec {

namespace {

// A catalogue record the fetch step will hand to zpc_readpkg.
bool to_download(const ZPI *zpi, char status) {
    if (!zpi || status != 'R')
        return false;
    Stage st;
    if (!stage_of(zpi, &st))
        return false; // the fetch step reports it
    return zpm_stage_have_zpk(st.file.data(), const_cast<ZPI *>(zpi)) != 1;
}

} // namespace

void prefetch(const ZPT *zpt, ZPC *zpc) {
    if (!pzpm_zpc_prefetch || !zpt)
        return;
    std::vector<ZPI *> list;
    if (to_download(zpt->zpi, zpt->zpk_stat))
        list.push_back(zpt->zpi);
    for (int i = 0; zpt->all_zpds && i < zpt->num_zpds && zpt->all_zpds[i]; i++) {
        const ZPD *d = zpt->all_zpds[i];
        if (to_download(d->zpi, d->status))
            list.push_back(d->zpi);
    }
    if (list.empty())
        return;
    list.push_back(nullptr);
    int rc = pzpm_zpc_prefetch(zpc, list.data());
    zlogf(ZLOG_DEBUG, "zpc_prefetch: %zu packages, rc = %d", list.size() - 1, rc);
}

} // namespace zpm::exec
