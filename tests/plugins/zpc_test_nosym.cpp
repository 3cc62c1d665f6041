// Test catalogue back end that lacks zpc_findpkg: loading it must fail.
#include "zpm/zpc.h"

extern "C" {

ZPC *zpc_connect(s_ekva **, s_zpmlog *) {
    return nullptr;
}
int zpc_refresh(ZPC *) {
    return 0;
}
int zpc_readpkg(ZPC *, ZPI *, FILE *) {
    return 0;
}
int zpc_release(ZPC *) {
    return 0;
}

} // extern "C"
