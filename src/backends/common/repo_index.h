// The package index of one repository directory ("index.ldif" inside it),
// shared by zpc-dirs.so, zpc-http.so and zpk-index.  See the comment block at
// the top of zpc-dirs.cpp for the format.
#ifndef ZPC_REPO_INDEX_H
#define ZPC_REPO_INDEX_H

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "repo_backend.h"

namespace zpcrepo {

inline constexpr const char *kIndexName = "index.ldif";
inline constexpr const char *kIndexHeader = "# zpc-dirs index 1";
inline constexpr const char *kIndexTrailer = "# end of index, entries: ";

enum class ReadStatus { ok, missing, corrupt };

// Reads dir/index.ldif, or from_dir/index.ldif when from_dir is given (an
// index kept elsewhere for dir).  Records get abs_uri = dir + "/" + rel_uri,
// so a repository that was moved still serves its files.  On corrupt, why
// says what was wrong and out is left empty.
ReadStatus read_index(const std::string &dir, std::vector<ZpiPtr> &out, std::string &why,
                      const std::string &from_dir = {});

// An index this large (a whole distribution's) is read whole and parsed in
// two parts on two threads, when the machine has two cores.
inline constexpr size_t kSplitIndexBytes = 4 << 20;

// Parses index text (exposed for the reader's own checks); from split_from
// bytes on in two parts side by side, with the same result.
ReadStatus parse_index(const std::string &dir, std::string_view text, std::vector<ZpiPtr> &out,
                       std::string &why, size_t split_from = kSplitIndexBytes);

// Writes the index of dir for the records (rel_uri must be set) to a
// temporary file in dir, or in to_dir when given, and renames it into place
// as index.ldif.  false with why (and errno set) on failure; a failure never
// leaves a partial index.
bool write_index(const std::string &dir, const std::vector<ZpiPtr> &zpis, std::string &why,
                 const std::string &to_dir = {});

// The package file names of dir ("*.zpk", regular files or links to them),
// sorted; false (logged) when dir cannot be read.
bool list_packages(const std::string &dir, std::vector<std::string> &names);
// Reads the description of every named package file of dir; the records'
// locations are made relative to dir.  Unreadable files are skipped with a
// warning.
std::vector<ZpiPtr> scan_dir(const std::string &dir, const std::vector<std::string> &names);

// Answers zpc_findpkg from entries (the contract in zpm/zpc.h).  A request
// for everything ("*", zpm filling its cache) takes the records themselves
// instead of copies, which halves the cost of a large catalogue, and leaves
// entries empty: the caller reads its index again for the next search.
int find_records(std::vector<ZpiPtr> &entries, const char *name, const char *variant,
                 const char *version, int arch, ZPI ***list);
// Sorts by name, stably (index order kept within a name), so callers that
// sort again find the work done.
void sort_by_name(std::vector<ZpiPtr> &v);

} // namespace zpcrepo

#endif
