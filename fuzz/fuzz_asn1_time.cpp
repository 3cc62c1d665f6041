// Certificate time conversion on arbitrary UTCTime and GeneralizedTime texts.
// Where OpenSSL itself reads a plain "...ssZ" text, both must agree.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>

#include <openssl/asn1.h>

#include "zps.h"

static bool plain_form(const uint8_t *data, size_t size, size_t digits) {
    if (size != digits + 1 || data[digits] != 'Z')
        return false;
    for (size_t i = 0; i < digits; i++)
        if (data[i] < '0' || data[i] > '9')
            return false;
    return true;
}

static void one(int type, const uint8_t *data, size_t size, size_t digits) {
    ASN1_STRING *s = ASN1_STRING_type_new(type);
    if (!s || !ASN1_STRING_set(s, data, (int)size))
        __builtin_trap();
    const time_t ours = asn1_time_to_timestamp(s);
    struct tm tm;
    if (plain_form(data, size, digits) && ASN1_TIME_to_tm(s, &tm) == 1) {
        if (timegm(&tm) != ours)
            __builtin_trap();
    }
    ASN1_STRING_free(s);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 64)
        return 0;
    one(V_ASN1_UTCTIME, data, size, 12);
    one(V_ASN1_GENERALIZEDTIME, data, size, 14);
    return 0;
}
