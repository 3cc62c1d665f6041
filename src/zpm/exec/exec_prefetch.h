// Handing a transaction's downloads to the back end ahead of the fetch step.
#ifndef ZPM_EXEC_PREFETCH_H
#define ZPM_EXEC_PREFETCH_H

#include "zpm.h"

namespace zpm::exec {

// Calls the back end's zpc_prefetch, when it has one, with every catalogue
// record of the transaction (the head and the dependencies of status 'R')
// whose package file is not staged intact yet.  Nothing else happens: the
// fetch step that follows decides, as without it.
void prefetch(const ZPT *zpt, ZPC *zpc);

} // namespace zpm::exec

#endif
