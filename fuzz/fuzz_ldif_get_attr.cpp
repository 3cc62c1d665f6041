// Attribute lookups of the package reader on arbitrary text, and a write and
// read-back of every value found.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ldiflib.h"

namespace {

const char *const kNames[] = {"ezpkName", "ezpkVersion", "ezpkDep", "dn", "a", "#", ""};

// The writer must give back exactly what it was handed.
void round_trip(const char *name, const char *value, int len) {
    int out_len = 0;
    char *text = ldif_write(nullptr, &out_len, name, value, len, 1);
    if (!text)
        abort();
    char *attr = nullptr, *back = nullptr;
    int back_len = 0, type = 0;
    char *next = ldif_parse(text, out_len, &attr, &back, &back_len, &type);
    if (len > 0 && (!next || back_len != len || memcmp(back, value, size_t(len)) != 0 ||
                    strcmp(attr, name) != 0))
        abort();
    free(attr);
    free(back);
    free(text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<char> buf(data, data + size);
    buf.push_back('\0');
    int bufsize = int(size);
    for (const char *name : kNames) {
        int count = _ldif_count_attr(buf.data(), bufsize, name);
        for (int seq = 1; seq <= count + 1; seq++) {
            char *value = nullptr;
            int len = _ldif_get_attr(buf.data(), bufsize, name, &value, seq);
            if ((seq <= count) != (value != nullptr) || len < 0)
                abort();
            if (value && *name)
                round_trip(name, value, len);
            free(value);
        }
    }
    return 0;
}
