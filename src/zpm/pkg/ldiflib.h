/* LDIF reader and writer, and base64. */
#ifndef ZPM_LDIFLIB_H
#define ZPM_LDIFLIB_H

#include <stddef.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

char *ldif_parse(char *buffer, int bufsize, char **attr, char **value, int *len_value, int *type);
char *ldif_write(char *buffer, int *buf_len, const char *attr, const char *value, int len_value,
                 int type);
int ldif_fwrite(FILE *outfile, const char *attr, const char *value, int len_value, int type);
char *ldif_get_entry(char *buffer, int bufsize, char **entry, int *len_entry);
int _ldif_count_attr(char *ldif_buffer, int ldif_size, const char *attr);
int _ldif_get_attr(char *ldif_buffer, int ldif_size, const char *attr, char **ret_value, int seq);
char *_read_file(const char *filename, int *buffer_bytes);
/* Whether file-reference values ("attr:< path") are read (1, the default) or
 * yield an empty value (0).  Returns the previous setting.  Text that came
 * from a package must never make zpm read local files. */
int ldif_file_refs(int allow);

int lutil_b64_ntop(const unsigned char *src, size_t srclength, char *target, size_t targsize);
int lutil_b64_pton(const char *src, unsigned char *target, size_t targsize);

#ifdef __cplusplus
}

#include <string>
#include <unordered_map>
#include <vector>

namespace zpm::ldif {

// The attribute lines of the first entry of a text, read in one pass: count
// and get give exactly what _ldif_count_attr and _ldif_get_attr would (names
// compared without regard to case, "dn" and comments never counted, the scan
// ending at the first empty line or unreadable line), without a scan of the
// text per value.
class Entry {
  public:
    Entry(char *buf, int size);
    int count(const char *attr) const { return static_cast<int>(all(attr).size()); }
    // The seq-th value (from 1), decoded; nullptr when there is none.
    const std::string *get(const char *attr, int seq) const;
    const std::vector<std::string> &all(const char *attr) const;

  private:
    std::unordered_map<std::string, std::vector<std::string>> values_;
};

} // namespace zpm::ldif
#endif

#endif
