// zpk-index: writes the index of a repository directory, byte for byte the
// one the zpc-dirs refresh writes, and with --sign its detached signature,
// so that the directory can be published on a web server or mirror network
// for zpc-http.  No dialogs: messages go to standard error, and the exit
// status says whether everything was written (0), something failed (1) or
// the command line was wrong (2).
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "index_sign.h"
#include "loglib.h"
#include "repo_index.h"
#include "repo_sig.h"

namespace {

constexpr const char *kUsage =
    "usage: zpk-index [--sign KEY --cert CERT] [--valid-days N] DIR\n"
    "Writes DIR/index.ldif for the package files (*.zpk) in DIR; with --sign also\n"
    "DIR/index.ldif.sig, signed with the RSA key KEY whose certificate CERT the\n"
    "clients have in their certificate store, valid for N days (default 7).\n";

struct Options {
    std::string key, cert, dir;
    int valid_days = 7;
    bool days_given = false;
};

int usage_error(const char *what) {
    fprintf(stderr, "zpk-index: %s\n%s", what, kUsage);
    return 2;
}

bool parse_days(const char *text, int &days) {
    char *end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno || !*text || *end || v < 1 || v > 3650)
        return false;
    days = static_cast<int>(v);
    return true;
}

// 0 when the options are usable, else the exit status.
int parse_options(int argc, char **argv, Options &o) {
    static const option longs[] = {{"sign", required_argument, nullptr, 's'},
                                   {"cert", required_argument, nullptr, 'c'},
                                   {"valid-days", required_argument, nullptr, 'v'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
    int ch;
    while ((ch = getopt_long(argc, argv, "+", longs, nullptr)) != -1) {
        if (ch == 'h') {
            fputs(kUsage, stdout);
            return -1;
        }
        if (ch == 's')
            o.key = optarg;
        else if (ch == 'c')
            o.cert = optarg;
        else if (ch == 'v' && parse_days(optarg, o.valid_days))
            o.days_given = true;
        else
            return usage_error(ch == 'v' ? "--valid-days wants a number of days from 1 to 3650"
                                         : "unknown option");
    }
    if (optind + 1 != argc)
        return usage_error("one repository directory is needed");
    if (o.key.empty() != o.cert.empty())
        return usage_error("--sign and --cert go together");
    if (o.days_given && o.key.empty())
        return usage_error("--valid-days needs --sign");
    o.dir = argv[optind];
    return 0;
}

// The directory as zpc-dirs names it in the index: absolute, without
// trailing slashes.
std::string repo_path(std::string dir) {
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    if (dir[0] == '/')
        return dir;
    std::vector<char> cwd(4096);
    if (!getcwd(cwd.data(), cwd.size()))
        return dir;
    std::string abs = cwd.data();
    if (dir == ".")
        return abs;
    return (abs == "/" ? "" : abs) + "/" + dir;
}

// The log of the zpm services: errors and warnings to standard error only.
void quiet_log() {
    zpmlog = log_init(nullptr, 0, 0, 0, nullptr);
    if (zpmlog) {
        zpmlog->sysloglevel = 0;
        zpmlog->stdloglevel = 1 | 2;
    }
    zpcrepo::set_log(zpmlog, "zpk-index");
}

int run(const Options &o) {
    zpkindex::SignerPtr signer;
    if (!o.key.empty())
        signer = zpkindex::signer_load(o.key, o.cert);
    const std::string dir = repo_path(o.dir);
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        throw zpkindex::Failure{dir + " is not a directory"};
    std::vector<std::string> names;
    if (!zpcrepo::list_packages(dir, names))
        return 1;
    std::vector<zpcrepo::ZpiPtr> zpis = zpcrepo::scan_dir(dir, names);
    std::string why;
    if (!zpcrepo::write_index(dir, zpis, why))
        throw zpkindex::Failure{why};
    const std::string sig = dir + "/" + zpcrepo::kSigName;
    if (signer)
        zpkindex::sign_index(*signer, dir, time(nullptr), o.valid_days);
    else if (unlink(sig.c_str()) == 0) // it signed another index
        fprintf(stderr, "zpk-index: removed %s, which no longer matches the index\n", sig.c_str());
    printf("%zu packages indexed in %s%s\n", zpis.size(), dir.c_str(),
           signer ? ", index signed" : "");
    return zpis.size() == names.size() ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
    Options o;
    if (int rc = parse_options(argc, argv, o))
        return rc < 0 ? 0 : rc;
    quiet_log();
    try {
        return run(o);
    } catch (const zpkindex::Failure &f) {
        fprintf(stderr, "zpk-index: %s\n", f.msg.c_str());
    } catch (const std::exception &e) {
        fprintf(stderr, "zpk-index: %s\n", e.what());
    }
    return 1;
}
