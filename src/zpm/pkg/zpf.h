/* Package files: the description in the header, the file list, unpacking
 * with the signature checked, the hash lists and file digests. */
#ifndef ZPM_ZPF_H
#define ZPM_ZPF_H

#include "zpm.h"

#ifdef __cplusplus
extern "C" {
#endif

ZPI *zpm_zpf_info(const char *zpf_name, int verify_sig);
char **zpm_zpf_index(ZPM *zpm, const char *zpf_name);
int zpm_zpf_extract(const char *zpf_name, const char *path_name, int verify_sig);
int zpm_zpf_zpk_hashes(const char *inst_dir, const char *fork, s_ekva ***zpm_hash_ekva);
int zpm_zpf_hash_files(const char *base_path, char **subdir, s_ekva ***file_hash_ekva);

#ifdef __cplusplus
}

namespace zpm::pkg {
// zpm_zpf_index, telling a package file that cannot be read whole (false,
// logged, *list NULL) from one without data members (true, *list NULL).
bool read_index(const char *zpf_name, char ***list);
// The description in the header of a package file, reading nothing else;
// null (logged) when it cannot be read.  No location, size or digest.
ZPI *read_head(const char *zpf_name);
// The whole-file digest (41 bytes) of the regular file open at fd, read from
// its start unless remembered for this very file; false when unreadable.
bool file_digest(int fd, char *hex);
} // namespace zpm::pkg
#endif

#endif
