// Times zpm_file_owner alone over an inventory under a given root:
//   owner_driver ROOT FILE RUNS   -> "<owner> <median ms>"
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "inventory.h"
#include "loglib.h"
#include "paths.h"
#include "zpm.h"

int main(int argc, char **argv) {
    if (argc != 4)
        return 2;
    zpm::paths::set_root(argv[1]);
    zpmlog = log_init("/dev/null", 1, 0, 1, nullptr);
    std::vector<double> ms;
    char *owner = nullptr;
    for (int i = 0; i < atoi(argv[3]); i++) {
        free(owner);
        auto t0 = std::chrono::steady_clock::now();
        owner = zpm_file_owner(nullptr, argv[2]);
        auto t1 = std::chrono::steady_clock::now();
        ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    std::sort(ms.begin(), ms.end());
    printf("%s %.2f\n", owner ? owner : "(none)", ms[ms.size() / 2]);
    free(owner);
    return 0;
}
