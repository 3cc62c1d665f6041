// The package index of one repository directory ("index.ldif" inside it).
// See the comment block at the top of zpc-dirs.cpp for the format.
#ifndef ZPC_DIRS_REPO_INDEX_H
#define ZPC_DIRS_REPO_INDEX_H

#include <memory>
#include <string>
#include <vector>

#include "backend.h"

namespace zpcdirs {

inline constexpr const char *kIndexName = "index.ldif";
inline constexpr const char *kIndexHeader = "# zpc-dirs index 1";
inline constexpr const char *kIndexTrailer = "# end of index, entries: ";

enum class ReadStatus { ok, missing, corrupt };

// Reads dir/index.ldif.  Records get abs_uri = dir + "/" + rel_uri, so a
// repository that was moved still serves its files.  On corrupt, why says
// what was wrong and out is left empty.
ReadStatus read_index(const std::string &dir, std::vector<ZpiPtr> &out, std::string &why);

// Parses index text (exposed for the reader's own checks).
ReadStatus parse_index(const std::string &dir, const std::string &text, std::vector<ZpiPtr> &out,
                       std::string &why);

// Writes the index for the records (rel_uri must be set) to a temporary file
// in dir and renames it into place.  false with why on failure; a failure
// never leaves a partial index.
bool write_index(const std::string &dir, const std::vector<ZpiPtr> &zpis, std::string &why);

} // namespace zpcdirs

#endif
