// What the update takes from the install.
#ifndef ZPM_EXEC_INSTALL_H
#define ZPM_EXEC_INSTALL_H

#include "zpm.h"

namespace zpm::exec {

// Installs a dependency record unless a package of its name is installed,
// and records it in the install log.  0, or the install's failure code.
int install_dep(ZPM *zpm, ZPT **zpt, ZPD *zpd, ZPC *zpc);

} // namespace zpm::exec

#endif
