// Times the planner in-process: loading a catalogue into the cache, then
// planning an install and a walk of one package, and freeing the cache, with
// an empty inventory in a scratch root.  Built and run by bench/debian/run.
//
//   plan_timer BACKEND.so REPO_DIR PACKAGE [ROUNDS]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "catalogue.h"
#include "ekva.h"
#include "loglib.h"
#include "paths.h"
#include "plan.h"
#include "util.h"
#include "zpm.h"

namespace {

double now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Plans once with fn and returns the seconds taken; the transaction's
// record count goes to *num.
template <class F> double plan_once(F fn, int *num) {
    ZPT *zpt = nullptr;
    double t0 = now();
    fn(&zpt);
    double t = now() - t0;
    *num = zpt ? zpt->num_zpds : -1;
    zpt_free(zpt);
    return t;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: plan_timer BACKEND.so REPO_DIR PACKAGE [ROUNDS]\n");
        return 2;
    }
    int rounds = argc > 4 ? atoi(argv[4]) : 5;
    zpm::tune_heap(); // as zpm sets it up
    char scratch[] = "/tmp/plan_timer.XXXXXX";
    if (!mkdtemp(scratch))
        return 1;
    zpm::paths::set_root(scratch);
    std::string inst = zpm::paths::installed_dir();
    std::string cmd = "mkdir -p '" + inst + "'";
    if (system(cmd.c_str()) != 0)
        return 1;
    zpmlog = log_init(nullptr, 0, 3, 1, "plan_timer");
    if (!zpm_zpc_load(argv[1]))
        return 1;
    s_ekva **conf = ekva_new(4, EKVA_ADD_REPLACE);
    ekva_addval(&conf, "zpc_dirs", argv[2], EKVA_ADD_REPLACE);
    ZPC *zpc = pzpm_zpc_connect(conf, zpmlog);
    ZPM zpm{ZPK_ARCH_X86_64, 0, nullptr, nullptr, nullptr, nullptr};
    double t0 = now();
    int cached = zpm_cache_fill(zpc);
    double fill = now() - t0;
    char *pkg = argv[3];
    double best_i = 1e9, best_w = 1e9;
    int ni = 0, nw = 0;
    for (int r = 0; r < rounds; r++) {
        double ti =
            plan_once([&](ZPT **z) { zpm_pre_install(&zpm, zpc, pkg, nullptr, nullptr, z); }, &ni);
        double tw = plan_once([&](ZPT **z) { zpm_walk(&zpm, zpc, pkg, nullptr, nullptr, z); }, &nw);
        best_i = ti < best_i ? ti : best_i;
        best_w = tw < best_w ? tw : best_w;
    }
    t0 = now();
    zpm_cache_free();
    double drop = now() - t0;
    printf("cached %d fill %.4f install %.4f (%d records) walk %.4f (%d records) free %.4f\n",
           cached, fill, best_i, ni, best_w, nw, drop);
    pzpm_zpc_release(zpc);
    ekva_free(conf);
    cmd = std::string("rm -rf '") + scratch + "'";
    return system(cmd.c_str()) == 0 ? 0 : 1;
}
