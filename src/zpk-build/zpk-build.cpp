// zpk-build: makes a package file from a source tree.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "ldiflib.h"
#include "zpk.h"
#include "zpkb.h"
#include "zpm.h"

namespace {

using namespace zpkb;

const char kUsage[] =
    "Usage: zpk-build [OPTION]... SRCDIR\n"
    "Make a package file (.zpk) from SRCDIR, which holds data/ (files to install,\n"
    "relative to /), info/ (desc.txt required; link.txt, perm.txt and other\n"
    "information files) and init/ (package scripts such as 00-add.sh).\n"
    "A symbolic link in data/ is carried as a line of info/link.txt, which the\n"
    "installer makes once the files are in place.\n"
    "\n"
    "Description fields (each overrides the value in SRCDIR/info/desc.txt):\n"
    "  -n, --name NAME          package name (ezpkName)\n"
    "  -V, --variant VARIANT    variant (ezpkVariant); empty for none\n"
    "  -v, --version VERSION    version (ezpkVersion)\n"
    "  -a, --arch ARCH          architecture: any, i686, x86_64 or mips\n"
    "  -C, --creator TEXT       creator (ezpkCreator)\n"
    "  -D, --description TEXT   description (ezpkDescription)\n"
    "  -d, --depends NAME[,NAME...]\n"
    "                           dependency; repeat or separate with commas.\n"
    "                           Any -d replaces the dependencies of desc.txt;\n"
    "                           -d '' gives a package without dependencies\n"
    "Names, variants, versions and dependencies use only A-Z a-z 0-9 + . _ -\n"
    "and do not start with '.' or '-'.\n"
    "\n"
    "Signing (RSA over SHA-1 of the payload):\n"
    "  -k, --key FILE           PEM private key (RSA, not password-protected)\n"
    "  -c, --cert FILE          PEM certificate belonging to the key; its\n"
    "                           subject becomes ezpkRsaSigSubj\n"
    "  -u, --unsigned           make an unsigned package (also when neither -k\n"
    "                           nor -c is given)\n"
    "\n"
    "Output:\n"
    "  -o, --output FILE        package file to write (default:\n"
    "                           NAME[_VARIANT]_ARCH_VERSION.zpk in the current\n"
    "                           directory); written under a temporary name and\n"
    "                           renamed when complete\n"
    "  -t, --mtime SECONDS      modification time of every member (default:\n"
    "                           $SOURCE_DATE_EPOCH, or 0)\n"
    "  -h, --help               show this help and exit\n"
    "\n"
    "The payload is a gzip-compressed cpio (newc) archive of data/, hash/, info/\n"
    "and init/ in sorted order, owners 0, with hash/data.txt, hash/info.txt and\n"
    "hash/init.txt listing the SHA-1 of every file, and info/desc.txt written\n"
    "from the merged description.  The same input gives the same bytes.\n"
    "Exit status: 0 on success, 1 on error (no output file is left), 2 on\n"
    "wrong usage.\n";

const option kLongOpts[] = {
    {"name", required_argument, nullptr, 'n'},    {"variant", required_argument, nullptr, 'V'},
    {"version", required_argument, nullptr, 'v'}, {"arch", required_argument, nullptr, 'a'},
    {"creator", required_argument, nullptr, 'C'}, {"description", required_argument, nullptr, 'D'},
    {"depends", required_argument, nullptr, 'd'}, {"key", required_argument, nullptr, 'k'},
    {"cert", required_argument, nullptr, 'c'},    {"unsigned", no_argument, nullptr, 'u'},
    {"output", required_argument, nullptr, 'o'},  {"mtime", required_argument, nullptr, 't'},
    {"help", no_argument, nullptr, 'h'},          {nullptr, 0, nullptr, 0},
};

struct UsageError {
    std::string msg;
};

time_t parse_time(const char *text, const char *what) {
    char *end = nullptr;
    errno = 0;
    long long v = strtoll(text, &end, 10);
    if (errno || !*text || *end || v < 0)
        throw UsageError{std::string("invalid ") + what + ": " + text};
    return static_cast<time_t>(v);
}

void add_deps(Options &o, const char *arg) {
    o.set_deps = true;
    std::string s(arg);
    size_t start = 0;
    while (start <= s.size()) {
        size_t comma = s.find(',', start);
        std::string piece =
            s.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (!piece.empty())
            o.fields.deps.push_back(piece);
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
}

bool apply_option(Options &o, int c, const char *arg) {
    switch (c) {
    case 'n':
        o.fields.name = arg;
        o.set_name = true;
        break;
    case 'V':
        o.fields.variant = arg;
        o.set_variant = true;
        break;
    case 'v':
        o.fields.version = arg;
        o.set_version = true;
        break;
    case 'a':
        o.fields.arch = arg;
        o.set_arch = true;
        break;
    case 'C':
        o.fields.creator = arg;
        o.fields.has_creator = true;
        break;
    case 'D':
        o.fields.description = arg;
        o.fields.has_description = true;
        break;
    case 'd':
        add_deps(o, arg);
        break;
    case 'k':
        o.key = arg;
        break;
    case 'c':
        o.cert = arg;
        break;
    case 'u':
        o.unsigned_pkg = true;
        break;
    case 'o':
        o.output = arg;
        break;
    case 't':
        o.mtime = parse_time(arg, "--mtime");
        break;
    default:
        return false;
    }
    return true;
}

Options parse_args(int argc, char **argv, bool *help) {
    Options o;
    const char *epoch = getenv("SOURCE_DATE_EPOCH");
    if (epoch && *epoch)
        o.mtime = parse_time(epoch, "SOURCE_DATE_EPOCH");
    int c;
    opterr = 0;
    while ((c = getopt_long(argc, argv, ":n:V:v:a:C:D:d:k:c:uo:t:h", kLongOpts, nullptr)) != -1) {
        if (c == 'h') {
            *help = true;
            return o;
        }
        if (c == ':')
            throw UsageError{std::string("option needs an argument: ") + argv[optind - 1]};
        if (!apply_option(o, c, optarg))
            throw UsageError{std::string("unknown option: ") + argv[optind - 1]};
    }
    if (optind != argc - 1)
        throw UsageError{optind >= argc ? "no source directory given"
                                        : "more than one source directory given"};
    o.srcdir = argv[optind];
    if (o.key.empty() != o.cert.empty() && !o.unsigned_pkg)
        throw UsageError{"signing needs both -k KEY and -c CERT"};
    return o;
}

} // namespace

namespace {

// A temporary file in the output directory, removed unless kept.
class TempFile {
  public:
    explicit TempFile(const std::string &near) {
        std::string tmpl = near + ".tmpXXXXXX";
        fd_ = mkstemp(tmpl.data());
        if (fd_ < 0)
            throw Error{"cannot create a temporary file beside " + near + ": " + strerror(errno)};
        path_ = tmpl;
    }
    ~TempFile() {
        if (fd_ >= 0)
            close(fd_);
        if (!kept_)
            unlink(path_.c_str());
    }
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
    int fd() const { return fd_; }
    // Closes the file and moves it to its final name.
    void commit(const std::string &final_path) {
        if (fchmod(fd_, 0644) != 0 || close(fd_) != 0) {
            fd_ = -1;
            throw Error{"cannot finish " + final_path + ": " + strerror(errno)};
        }
        fd_ = -1;
        if (rename(path_.c_str(), final_path.c_str()) != 0)
            throw Error{"cannot rename to " + final_path + ": " + strerror(errno)};
        kept_ = true;
    }

  private:
    int fd_ = -1;
    std::string path_;
    bool kept_ = false;
};

void write_fully(int fd, const char *p, size_t n, const std::string &what) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            throw Error{"cannot write " + what + ": " + strerror(errno)};
        p += w;
        n -= static_cast<size_t>(w);
    }
}

void append_payload(int out, int payload, const std::string &what) {
    if (lseek(payload, 0, SEEK_SET) != 0)
        throw Error{std::string("cannot rewind payload: ") + strerror(errno)};
    std::vector<char> buf(1 << 16);
    for (;;) {
        ssize_t n = read(payload, buf.data(), buf.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw Error{std::string("cannot read payload: ") + strerror(errno)};
        if (n == 0)
            return;
        write_fully(out, buf.data(), static_cast<size_t>(n), what);
    }
}

std::string read_desc(const std::string &srcdir) {
    std::string path = srcdir + "/info/desc.txt";
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        throw Error{"missing " + path + " (every package needs info/desc.txt)"};
    int n = 0;
    char *buf = _read_file(path.c_str(), &n);
    if (!buf)
        throw Error{"cannot read " + path};
    std::string text(buf, static_cast<size_t>(n));
    free(buf);
    return text;
}

std::string default_output(const Fields &f) {
    ZPI zpi{};
    zpi.name = const_cast<char *>(f.name.c_str());
    zpi.variant = f.variant.empty() ? nullptr : const_cast<char *>(f.variant.c_str());
    zpi.version = const_cast<char *>(f.version.c_str());
    zpi.arch = zpk_arch_getid(f.arch.c_str());
    return std::string(zpk_puname(&zpi)) + ".zpk";
}

void build(const Options &o) {
    Fields f = merge_fields(read_desc(o.srcdir), o);
    validate_fields(f);
    std::unique_ptr<Signer, void (*)(Signer *)> signer(nullptr, signer_free);
    if (!o.unsigned_pkg && !o.key.empty())
        signer.reset(signer_load(o.key, o.cert));
    Tree tree = collect_tree(o.srcdir);
    uint64_t datasize = tree.datasize;
    std::vector<Member> members =
        finish_tree(std::move(tree), description_text(f, datasize, "", ""));
    std::string output = o.output.empty() ? default_output(f) : o.output;
    TempFile payload(output);
    write_payload(payload.fd(), members, o.mtime);
    std::string subj, sig;
    if (signer) {
        subj = signer_subject(signer.get());
        sig = signer_sign_fd(signer.get(), payload.fd());
    }
    std::string desc = description_text(f, datasize, subj, sig);
    if (desc.size() > 99999)
        throw Error{"description of " + std::to_string(desc.size()) +
                    " bytes is longer than the 99999 a package file can hold"};
    char head[12];
    snprintf(head, sizeof head, "EZPM10%05d", static_cast<int>(desc.size()));
    TempFile out(output);
    write_fully(out.fd(), head, 11, output);
    write_fully(out.fd(), desc.data(), desc.size(), output);
    append_payload(out.fd(), payload.fd(), output);
    out.commit(output);
}

} // namespace

int main(int argc, char **argv) {
    bool help = false;
    Options opt;
    try {
        opt = parse_args(argc, argv, &help);
    } catch (const UsageError &e) {
        fprintf(stderr, "zpk-build: %s\nTry 'zpk-build --help' for more information.\n",
                e.msg.c_str());
        return 2;
    }
    if (help) {
        fputs(kUsage, stdout);
        return 0;
    }
    try {
        build(opt);
    } catch (const Error &e) {
        fprintf(stderr, "zpk-build: %s\n", e.msg.c_str());
        return 1;
    }
    return 0;
}
