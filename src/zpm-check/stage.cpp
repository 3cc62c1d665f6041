// Stage cleaning: a staged package file stays only while a package of that
// printable name is installed, since a repair or a reinstall reads it.
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include "catalogue.h"
#include "cres.h"
#include "inventory.h"
#include "journal.h"
#include "paths.h"
#include "recptr.h"
#include "repair.h"
#include "zpk.h"

namespace zpmcheck {

namespace {

std::set<std::string> in_use(ZPM *zpm) {
    std::set<std::string> keep;
    ZPI **list = nullptr;
    zpm_list_zpi(zpm, "*", 1, &list);
    for (int i = 0; list && list[i]; i++)
        keep.insert(zpm::pkg::uname(list[i]) + ".zpk");
    zpm_zpi_list_free(list);
    return keep;
}

bool is_zpk(const std::string &n) {
    return n.size() > 4 && n.compare(n.size() - 4, 4, ".zpk") == 0;
}

} // namespace

int clean_stage(bool all, bool dry, FILE *out) {
    ZPM *zpm = zpm_open(nullptr);
    if (!zpm || zpm_lock(zpm) != 0) {
        fprintf(stderr, "zpm-check: %s\n",
                zpm ? "another zpm holds the inventory lock" : "cannot open the inventory");
        if (zpm)
            zpm_close(zpm);
        return 2;
    }
    if (!zpm::exec::recover()) {
        fprintf(stderr, "zpm-check: an interrupted change of the system could not be finished\n");
        zpm_close(zpm);
        return 2;
    }
    std::set<std::string> keep = all ? std::set<std::string>{} : in_use(zpm);
    const std::string dir = zpm::paths::stage_dir();
    std::unique_ptr<DIR, c_deleter<closedir>> d(opendir(dir.c_str()));
    unsigned long long freed = 0;
    unsigned files = 0;
    int rc = 0;
    for (struct dirent *e; d && (e = readdir(d.get()));) {
        const std::string n = e->d_name, path = dir + "/" + n;
        struct stat st;
        if (!is_zpk(n) || keep.count(n) || lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        if (!dry && unlink(path.c_str()) != 0) {
            fprintf(stderr, "zpm-check: cannot remove %s: %s\n", path.c_str(), strerror(errno));
            rc = 2;
            continue;
        }
        fprintf(out, "%s %s (%lld bytes)\n", dry ? "would remove" : "removed", n.c_str(),
                static_cast<long long>(st.st_size));
        freed += static_cast<unsigned long long>(st.st_size);
        files++;
    }
    fprintf(out, "%s %llu bytes in %u files\n", dry ? "would free" : "freed", freed, files);
    zpm_close(zpm);
    return rc;
}

} // namespace zpmcheck
