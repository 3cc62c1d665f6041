// OpenSSL helpers of the signature check: subject texts to X.509 names,
// certificate times to seconds, and the shared error stream.
#include "zps.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include <openssl/bio.h>
#include <openssl/objects.h>

BIO *bio_err = nullptr;

BIO *zps_bio_err(void) {
    if (!bio_err)
        bio_err = BIO_new_fp(stderr, BIO_NOCLOSE);
    return bio_err;
}

namespace {

struct Element {
    const char *type;
    const char *value;
    int set; // 0: new relative name, -1: joined to the previous one with '+'
};

// Copies characters from *sp into *bp up to an unescaped stop character.
// Returns the stop character found (or '\0'), -1 for a trailing backslash.
int copy_until(const char **sp, char **bp, const char *stops) {
    const char *s = *sp;
    char *b = *bp;
    int found = 0;
    while (*s) {
        if (*s == '\\') {
            if (!*++s)
                return -1;
            *b++ = *s++;
        } else if (std::strchr(stops, *s)) {
            found = *s++;
            break;
        } else {
            *b++ = *s++;
        }
    }
    *b++ = '\0';
    *sp = s;
    *bp = b;
    return found;
}

// Splits "/type=value/..." into elements; strings live in work (owned by the caller).
bool split_subject(const char *subject, int multirdn, char *work, std::vector<Element> &out) {
    const char *sp = subject + 1;
    char *bp = work;
    int next_set = 0;
    while (*sp) {
        Element el{bp, nullptr, next_set};
        int r = copy_until(&sp, &bp, "=");
        if (r < 0) {
            BIO_printf(zps_bio_err(), "escape character at end of string\n");
            return false;
        }
        if (r != '=' || !*sp) {
            BIO_printf(zps_bio_err(),
                       "end of string encountered while processing type of subject name element #%d\n",
                       (int)out.size());
            return false;
        }
        el.value = bp;
        r = copy_until(&sp, &bp, multirdn ? "/+" : "/");
        if (r < 0) {
            BIO_printf(zps_bio_err(), "escape character at end of string\n");
            return false;
        }
        next_set = r == '+' ? -1 : 0;
        out.push_back(el);
    }
    return true;
}

bool add_elements(X509_NAME *n, const std::vector<Element> &els, int chtype) {
    for (const Element &el : els) {
        int nid = OBJ_txt2nid(el.type);
        if (nid == NID_undef) {
            BIO_printf(zps_bio_err(), "Subject Attribute %s has no known NID, skipped\n", el.type);
            continue;
        }
        if (!*el.value) {
            BIO_printf(zps_bio_err(), "No value provided for Subject Attribute %s, skipped\n",
                       el.type);
            continue;
        }
        if (!X509_NAME_add_entry_by_NID(n, nid, chtype, (const unsigned char *)el.value, -1, -1,
                                        el.set))
            return false;
    }
    return true;
}

} // namespace

extern "C" X509_NAME *x509_str2subj(const char *subject, int chtype, int multirdn) {
    if (!subject || *subject != '/') {
        BIO_printf(zps_bio_err(), "Subject does not start with '/'.\n");
        return nullptr;
    }
    // Every type and value is at most as long as the text itself.
    char *work = static_cast<char *>(std::malloc(2 * std::strlen(subject) + 2));
    if (!work) {
        BIO_printf(zps_bio_err(), "malloc error\n");
        return nullptr;
    }
    std::vector<Element> els;
    X509_NAME *n = nullptr;
    if (split_subject(subject, multirdn, work, els)) {
        n = X509_NAME_new();
        if (n && !add_elements(n, els, chtype)) {
            X509_NAME_free(n);
            n = nullptr;
        }
    }
    std::free(work);
    return n;
}

namespace {

// Reads the text of an ASN.1 time; bytes past the end read as NUL so that a
// short text simply fails the character checks.
struct TimeText {
    const unsigned char *p;
    int len;
    int at(int i) const { return i >= 0 && i < len ? p[i] : 0; }
    bool digits(int i, int n) const {
        for (int k = i; k < i + n; k++)
            if (at(k) < '0' || at(k) > '9')
                return false;
        return true;
    }
    int num(int i, int n) const {
        int v = 0;
        for (int k = i; k < i + n; k++)
            v = v * 10 + (at(k) - '0');
        return v;
    }
};

struct Fields {
    long year;
    int mon, day, hour, min, sec;
    long offset; // seconds to subtract from the text's time to reach UTC
};

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
long days_from_civil(long y, int m, int d) {
    y -= m <= 2;
    const long era = (y >= 0 ? y : y - 399) / 400;
    const long yoe = y - era * 400;
    const long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

bool fields_in_range(const Fields &f) {
    return f.mon >= 1 && f.mon <= 12 && f.day >= 1 && f.day <= 31 && f.hour <= 23 && f.min <= 59;
}

// Seconds at i (two digits), then nothing more to read.
bool read_seconds(const TimeText &t, int i, Fields &f) {
    if (!t.digits(i, 2))
        return false;
    f.sec = t.num(i, 2);
    return f.sec <= 59;
}

// A sign at i followed by hhmm.
bool read_offset(const TimeText &t, int i, Fields &f) {
    const int sign = t.at(i);
    if ((sign != '+' && sign != '-') || !t.digits(i + 1, 4))
        return false;
    const long off = t.num(i + 1, 2) * 3600L + t.num(i + 3, 2) * 60L;
    f.offset = sign == '+' ? off : -off;
    return true;
}

// What follows the minutes at position i (first possible seconds digit);
// shared by both forms, the fraction only allowed for GeneralizedTime.
bool read_tail(const TimeText &t, int i, bool fraction_ok, Fields &f) {
    const int c = t.at(i + 2);
    if (c == 'Z')
        return read_seconds(t, i, f);
    if (c == '+' || c == '-')
        return read_seconds(t, i, f) && read_offset(t, i + 2, f);
    if (c == '.' && fraction_ok) {
        if (!read_seconds(t, i, f))
            return false;
        int k = i + 3;
        while (t.digits(k, 1))
            k++;
        return t.at(k) == 'Z' || read_offset(t, k, f);
    }
    if (c >= '0' && c <= '9') {
        const int s = t.at(i);
        return (s != '+' && s != '-') || read_offset(t, i, f);
    }
    return false;
}

bool parse_utctime(const TimeText &t, Fields &f) {
    if (t.len < 11 || !t.digits(0, 10))
        return false;
    const int yy = t.num(0, 2);
    f.year = yy < 50 ? 2000 + yy : 1900 + yy;
    f.mon = t.num(2, 2), f.day = t.num(4, 2), f.hour = t.num(6, 2), f.min = t.num(8, 2);
    if (!fields_in_range(f))
        return false;
    if (t.len == 11)
        return t.at(10) == 'Z';
    return read_tail(t, 10, false, f);
}

bool parse_gentime(const TimeText &t, Fields &f) {
    if (t.len < 12 || !t.digits(0, 12))
        return false;
    f.year = t.num(0, 4);
    f.mon = t.num(4, 2), f.day = t.num(6, 2), f.hour = t.num(8, 2), f.min = t.num(10, 2);
    if (!fields_in_range(f))
        return false;
    if (t.len < 14)
        return t.at(12) == 'Z';
    return read_tail(t, 12, true, f);
}

} // namespace

extern "C" time_t asn1_time_to_timestamp(const ASN1_TIME *as) {
    if (!as)
        return -1;
    const TimeText t{ASN1_STRING_get0_data(as), ASN1_STRING_length(as)};
    if (!t.p || t.len <= 0)
        return -1;
    Fields f{0, 0, 0, 0, 0, 0, 0};
    bool ok = false;
    switch (ASN1_STRING_type(as)) {
    case V_ASN1_UTCTIME:
        ok = parse_utctime(t, f);
        break;
    case V_ASN1_GENERALIZEDTIME:
        ok = parse_gentime(t, f);
        break;
    default:
        break;
    }
    if (!ok)
        return -1;
    const long days = days_from_civil(f.year, f.mon, f.day);
    return (time_t)(days * 86400L + f.hour * 3600L + f.min * 60L + f.sec - f.offset);
}
