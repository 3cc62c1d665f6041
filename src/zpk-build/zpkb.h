// zpk-build: makes a package file from a source tree (data/, info/, init/).
#ifndef ZPKB_H
#define ZPKB_H

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace zpkb {

// Raised for every user-visible failure; main prints it and removes temp files.
struct Error {
    std::string msg;
};

struct Fields {
    std::string name, variant, version, arch, creator, description;
    std::vector<std::string> deps;
    bool has_creator = false, has_description = false;
};

struct Options {
    Fields fields; // what the command line gave; set_* tell which
    bool set_name = false, set_variant = false, set_version = false, set_arch = false;
    bool set_deps = false;
    std::string key, cert, output, srcdir;
    bool unsigned_pkg = false;
    time_t mtime = 0;
};

// One payload member, in the order written.
struct Member {
    std::string name;    // as stored, e.g. "data/usr/bin/tool" or "data/usr/"
    mode_t mode = 0;     // type and permission bits
    std::string path;    // source file ("" for members held in memory)
    std::string content; // in-memory content (generated info/desc.txt, hash lists)
    std::string link;    // symbolic link target
    int64_t size = 0;
};

// Characters a name may use so that it is safe in inventory paths.
bool valid_name(const std::string &s);

// The description fields: info/desc.txt of the tree, overridden by options.
Fields merge_fields(const std::string &desc_txt, const Options &opt);
void validate_fields(const Fields &f);
// LDIF text of the description; signature attributes added when given.
std::string description_text(const Fields &f, uint64_t datasize, const std::string &sig_subj,
                             const std::string &sig_data);

// The files of data/, info/ and init/ (info/desc.txt and info/link.txt
// aside, which are written afresh), with their digests per fork and the data
// size.  A symbolic link in data/ is not packed: it becomes a line of the
// link list, which zpm makes once the files are in place.
struct Tree {
    std::vector<Member> members;
    std::vector<std::pair<std::string, std::string>> hashes[3]; // relative path, digest
    uint64_t datasize = 0; // bytes of the regular files of data/
    // info/link.txt: the tree's own, and a line per link of data/; none
    // when the tree has neither
    std::optional<std::string> link_list;
};
Tree collect_tree(const std::string &srcdir);
// Adds info/desc.txt (desc), info/link.txt, the hash/ lists, and sorts
// members by name.
std::vector<Member> finish_tree(Tree t, const std::string &desc);

// Writes the gzip-compressed cpio payload to fd.
void write_payload(int fd, const std::vector<Member> &members, time_t mtime);

// Signing key and certificate, checked to belong together.
struct Signer;
Signer *signer_load(const std::string &key, const std::string &cert);
void signer_free(Signer *s);
std::string signer_subject(const Signer *s);
// Signature (RSA, SHA-1) over the whole content of fd from its start.
std::string signer_sign_fd(const Signer *s, int fd);

} // namespace zpkb

#endif
