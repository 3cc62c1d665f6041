// Subject text parser on arbitrary text, with and without multi-valued names.
#include <cstddef>
#include <cstdint>
#include <string>

#include <openssl/bio.h>

#include "zps.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    bio_err = BIO_new(BIO_s_null()); // the parser's diagnostics are not of interest here
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size); // cut at a NUL below
    for (int multirdn = 0; multirdn < 2; multirdn++) {
        X509_NAME *n = x509_str2subj(text.c_str(), MBSTRING_ASC, multirdn);
        if (n) {
            if (text[0] != '/')
                __builtin_trap();
            char *one = X509_NAME_oneline(n, nullptr, 0);
            OPENSSL_free(one);
            X509_NAME_free(n);
        }
    }
    return 0;
}
