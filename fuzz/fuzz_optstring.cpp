// The -o options string on arbitrary text, cut to 1024 characters as the
// command line does, with every reader asked on the result.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ekva.h"
#include "getopts.h"

namespace {

void check_readers(s_ekva **opts, size_t len) {
    for (int flag = 0; flag <= 3; flag++) {
        int v = zpm_get_votemode(opts, flag);
        if (v < 1 || v > 3 || (flag >= 1 && v != flag))
            abort();
    }
    int verify = zpk_verify(opts), debug = zpm_debug(opts);
    if ((verify != 0 && verify != 1) || (debug != 0 && debug != 1))
        abort();
    if (const char *variant = zpm_get_variant(opts))
        if (std::strlen(variant) > len)
            abort(); // a value never outgrows the string it came from
    for (int mode = 0; mode <= 11; mode++) {
        int f = zpm_get_outform(opts, mode);
        if (f < 1 || f > 6)
            abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    char delim = static_cast<char>(data[0]);
    std::string str(reinterpret_cast<const char *>(data + 1), size - 1);
    str = str.substr(0, std::strlen(str.c_str())); // a C string ends at its NUL
    if (str.size() > 1024)
        str.resize(1024);
    if (str.empty())
        return 0;
    s_ekva **opts = zpmopts_str2ekva(nullptr, str.c_str(), ',');
    if (!opts)
        abort(); // a non-empty string always gives an array
    check_readers(opts, str.size());
    // A second string into the same array, with another delimiter.
    if (delim != '\0')
        opts = zpmopts_str2ekva(opts, str.c_str(), delim);
    if (!opts)
        abort();
    check_readers(opts, str.size());
    ekva_free(opts);
    check_readers(nullptr, 0);
    return 0;
}
