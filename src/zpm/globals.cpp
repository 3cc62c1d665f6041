// Process-wide state shared by every area of zpm.
#include "getopts.h"
#include "loglib.h"
#include "zpm.h"
#include "zpmui.h"

s_zpmlog *zpmlog = nullptr;
char logmsg[LOGMSG_SIZE];

ZPMUI *zpmui = nullptr;
int textmax = 65536;

int option_index = 1;
int vote_mode = 1;
int dry_run = 0;

ZPI **cached_zpis = nullptr;
zpc_connect_fn pzpm_zpc_connect = nullptr;
zpc_refresh_fn pzpm_zpc_refresh = nullptr;
zpc_findpkg_fn pzpm_zpc_findpkg = nullptr;
zpc_readpkg_fn pzpm_zpc_readpkg = nullptr;
zpc_release_fn pzpm_zpc_release = nullptr;
int have_so = 0;
