// Checking installed packages against what the inventory keeps of them: the
// data hash lists and file indexes, the permission and link lists, and the
// names an interrupted run leaves behind.
#ifndef ZPM_CHECK_CHECK_H
#define ZPM_CHECK_CHECK_H

#include <string>
#include <vector>

namespace zpmcheck {

// What a difference is about; the names are the machine-readable form.
enum class Kind {
    content,      // a file's content is not what its package shipped
    missing,      // a file of a package is not there
    type,         // a file of a package is no longer a regular file
    unlisted,     // a file index names a file the hash list does not
    mode,         // a mode differs from the permission list
    link,         // a link is missing or points elsewhere than the link list says
    shared,       // a file is claimed by two packages
    orphan_index, // a file index without an installed package
    no_index,     // an installed package with data files but no file index
    leftover,     // what an interrupted run left behind
    unreadable,   // something that could not be checked
};

const char *kind_name(Kind k);

struct Finding {
    Kind kind;
    std::string package; // "" when it belongs to none
    std::string path;    // as the package names it, or the inventory's own path
    std::string detail;
};

struct Options {
    std::vector<std::string> names; // packages to check; empty: all
    unsigned threads = 1;
};

struct Report {
    std::vector<Finding> findings;
    size_t packages = 0;
    size_t files = 0;
    bool could_not_check = false; // an unreadable inventory or file
};

// Checks the inventory under the paths module's root.
Report check(const Options &opt);

// The expected digest of every data file of an installed package, from its
// kept hash list, by path ("/usr/bin/x"); false when the list is malformed.
bool read_hash_list(const std::string &file, std::vector<std::pair<std::string, std::string>> *out);
// The lines of a file index; false when it cannot be read.
bool read_lines(const std::string &file, std::vector<std::string> *out);
// The SHA-1 of a regular file at a path as text, without following a link.
// "" and errno set when it cannot be read (ELOOP: a link, EISDIR/EINVAL:
// not a regular file).
std::string file_digest(const std::string &path);

// The findings about one installed package's own files (content, missing,
// type, unlisted, mode, link).
std::vector<Finding> check_package(const std::string &name, bool *could_not_check);
// The same, hashing on threads and counting the files it hashed.
std::vector<Finding> check_package_files(const std::string &name, unsigned threads, size_t *files,
                                         bool *could_not_check);

} // namespace zpmcheck

#endif
