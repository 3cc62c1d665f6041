// LDIF line reader and entry extraction on arbitrary text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ldiflib.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<char> buf(data, data + size);
    buf.push_back('\0');
    char *end = buf.data() + strlen(buf.data());
    int bufsize = int(size);

    char *p = buf.data(), *attr = nullptr, *value = nullptr;
    int len = 0, type = 0;
    while ((p = ldif_parse(p, bufsize, &attr, &value, &len, &type))) {
        if (p > end || len < 0 || (type != 0 && type != 1))
            abort();
        // Text values are strings of exactly their length.
        if (type == 0 && strlen(value) != size_t(len))
            abort();
        free(attr);
        free(value);
    }

    char *entry = nullptr;
    int len_entry = 0;
    p = buf.data();
    while ((p = ldif_get_entry(p, bufsize, &entry, &len_entry))) {
        if (p > end || (entry && strlen(entry) != size_t(len_entry)))
            abort();
        free(entry);
        if (*p == '\0')
            break;
    }
    return 0;
}
