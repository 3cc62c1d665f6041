// zpm-check: verifies installed packages against what the inventory keeps of
// them, repairs one from its staged package file, cleans the stage area.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "check.h"
#include "loglib.h"
#include "paths.h"
#include "repair.h"
#include "zpm_build.h"

namespace {

const char kHelp[] =
    "Usage: zpm-check [OPTION]... [NAME]...\n"
    "Checks the installed packages (all, or the NAMEs) against what the inventory\n"
    "keeps of them: the content of every file against the package's hash list,\n"
    "missing files, files that are no longer regular files, modes against the\n"
    "permission list, links against the link list, files claimed by two packages,\n"
    "file indexes without an installed package and packages without a file index,\n"
    "and what interrupted runs left behind.\n"
    "\n"
    "  -m, --machine        one line per difference: KIND<TAB>PACKAGE<TAB>PATH<TAB>DETAIL\n"
    "                       (kinds: content missing type unlisted mode link shared\n"
    "                       orphan-index no-index leftover unreadable)\n"
    "  -j, --jobs N         hash on N threads (default 1)\n"
    "      --repair NAME    restore the changed or missing files, modes and links of\n"
    "                       NAME from its staged package file, after checking its\n"
    "                       signature and hash lists again; a failure puts back what\n"
    "                       was restored\n"
    "      --clean-stage    remove the staged package files of packages that are not\n"
    "                       installed (superseded versions, failed installs)\n"
    "      --all            with --clean-stage: those of installed packages too\n"
    "  -n, --dry-run        with --clean-stage: only tell what would be removed\n"
    "  -r, --root DIR       the system in DIR (an image), as zpm -o root=DIR\n"
    "  -h, --help           show this text\n"
    "  -V, --version        show the version\n"
    "\n"
    "Exit status: 0 clean (repaired, cleaned), 1 differences found (a repair failed\n"
    "and was undone), 2 could not check (inventory or a file unreadable, unknown\n"
    "name, no usable staged package, or another zpm holds the lock).\n";

struct Args {
    zpmcheck::Options opt;
    bool machine = false, clean = false, all = false, dry = false;
    std::string repair, root;
};

[[noreturn]] void usage_error(const char *what) {
    fprintf(stderr, "zpm-check: %s\nTry zpm-check --help.\n", what);
    exit(2);
}

Args parse(int argc, char **argv) {
    static const struct option longs[] = {
        {"machine", no_argument, nullptr, 'm'},      {"jobs", required_argument, nullptr, 'j'},
        {"repair", required_argument, nullptr, 'R'}, {"clean-stage", no_argument, nullptr, 'C'},
        {"all", no_argument, nullptr, 'a'},          {"dry-run", no_argument, nullptr, 'n'},
        {"root", required_argument, nullptr, 'r'},   {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},      {nullptr, 0, nullptr, 0}};
    Args a;
    for (int c; (c = getopt_long(argc, argv, "mj:nr:hV", longs, nullptr)) != -1;) {
        switch (c) {
        case 'm':
            a.machine = true;
            break;
        case 'j':
            a.opt.threads = static_cast<unsigned>(std::max(1, atoi(optarg)));
            break;
        case 'R':
            a.repair = optarg;
            break;
        case 'C':
            a.clean = true;
            break;
        case 'a':
            a.all = true;
            break;
        case 'n':
            a.dry = true;
            break;
        case 'r':
            a.root = optarg;
            break;
        case 'h':
            fputs(kHelp, stdout);
            exit(0);
        case 'V':
            printf("zpm-check %s\n", ZPM_VERSION);
            exit(0);
        default:
            usage_error("unknown option");
        }
    }
    for (int i = optind; i < argc; i++)
        a.opt.names.push_back(argv[i]);
    if (!a.repair.empty() && a.clean)
        usage_error("--repair and --clean-stage do not go together");
    return a;
}

void take_root(const std::string &dir) {
    char real[PATH_MAX];
    struct stat st;
    if (!realpath(dir.c_str(), real) || stat(real, &st) != 0 || !S_ISDIR(st.st_mode))
        usage_error(("target root " + dir + " is not a directory").c_str());
    zpm::paths::set_target_root(real);
}

int report(const zpmcheck::Report &r, bool machine) {
    size_t differences = 0;
    for (const auto &f : r.findings) {
        if (f.kind != zpmcheck::Kind::unreadable)
            differences++;
        if (machine)
            printf("%s\t%s\t%s\t%s\n", zpmcheck::kind_name(f.kind), f.package.c_str(),
                   f.path.c_str(), f.detail.c_str());
        else
            printf("%s%s%s: %s%s%s%s\n", f.package.c_str(), f.package.empty() ? "" : ": ",
                   zpmcheck::kind_name(f.kind), f.path.c_str(), f.detail.empty() ? "" : " (",
                   f.detail.c_str(), f.detail.empty() ? "" : ")");
    }
    if (!machine)
        printf("%zu packages, %zu files checked: %zu differences\n", r.packages, r.files,
               differences);
    return r.could_not_check ? 2 : differences ? 1 : 0;
}

} // namespace

int main(int argc, char **argv) {
    Args a = parse(argc, argv);
    if (!a.root.empty())
        take_root(a.root);
    if (!a.repair.empty() || a.clean) {
        // What the engine does on their behalf is logged where zpm logs it.
        zpmlog = log_init(getuid() == 0 ? zpm::paths::log_file().c_str() : nullptr,
                          getuid() == 0 ? 7 : 0, 3, 1, "zpm-check");
        int rc = a.clean ? zpmcheck::clean_stage(a.all, a.dry, stdout)
                         : zpmcheck::repair(a.repair, stdout);
        log_free(zpmlog);
        zpmlog = nullptr;
        return rc;
    }
    zpmlog = log_init(nullptr, 0, 0, 1, "zpm-check");
    int rc = report(zpmcheck::check(a.opt), a.machine);
    log_free(zpmlog);
    return rc;
}
