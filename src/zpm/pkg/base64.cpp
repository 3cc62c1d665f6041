// Base64 (alphabet A-Z a-z 0-9 + /, "=" padding, no line breaks).
#include <cctype>
#include <cstring>

#include "ldiflib.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kPad = '=';

// Value of a base64 digit, or -1.
int digit_value(unsigned char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

bool is_space(unsigned char c) {
    return isspace(c) != 0;
}

const char *skip_space(const char *p) {
    while (*p && is_space(static_cast<unsigned char>(*p)))
        p++;
    return p;
}

// After the first "=": a second one is required when only two digits of the
// last quantum were given; then nothing but white space may follow.
bool valid_padding(const char *p, int state) {
    if (state < 2)
        return false;
    p++; // the "=" already seen
    if (state == 2) {
        p = skip_space(p);
        if (*p != kPad)
            return false;
        p++;
    }
    return *skip_space(p) == '\0';
}

} // namespace

int lutil_b64_ntop(const unsigned char *src, size_t srclength, char *target, size_t targsize) {
    size_t need = (srclength + 2) / 3 * 4;
    if (!target || need + 1 > targsize)
        return -1;
    size_t o = 0;
    for (size_t i = 0; i < srclength; i += 3) {
        unsigned b0 = src[i];
        unsigned b1 = i + 1 < srclength ? src[i + 1] : 0;
        unsigned b2 = i + 2 < srclength ? src[i + 2] : 0;
        target[o++] = kAlphabet[b0 >> 2];
        target[o++] = kAlphabet[((b0 & 0x03) << 4) | (b1 >> 4)];
        target[o++] = i + 1 < srclength ? kAlphabet[((b1 & 0x0f) << 2) | (b2 >> 6)] : kPad;
        target[o++] = i + 2 < srclength ? kAlphabet[b2 & 0x3f] : kPad;
    }
    target[o] = '\0';
    return static_cast<int>(o);
}

namespace {

// Decoder state: digits of the current quantum and the bytes produced.
struct Decoder {
    unsigned char *target;
    size_t targsize;
    size_t out = 0;
    int state = 0; // digits held in acc
    unsigned acc = 0;
    int last = 0; // value of the latest digit

    // Stores the top n bytes of the quantum; false when they do not fit.
    bool emit(size_t n) {
        if (target && out + n > targsize)
            return false;
        unsigned full = acc << (6 * (4 - state));
        for (size_t i = 0; target && i < n; i++)
            target[out + i] = static_cast<unsigned char>(full >> (16 - 8 * i));
        out += n;
        return true;
    }
    bool push(int v) {
        last = v;
        acc = (acc << 6) | unsigned(v);
        if (++state < 4)
            return true;
        bool ok = emit(3);
        state = 0;
        acc = 0;
        return ok;
    }
};

} // namespace

// A null target only counts the bytes.
int lutil_b64_pton(const char *src, unsigned char *target, size_t targsize) {
    if (!src)
        return -1;
    Decoder d{target, targsize};
    const char *p = src;
    for (; *p && *p != kPad; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (is_space(c))
            continue;
        int v = digit_value(c);
        if (v < 0 || !d.push(v))
            return -1;
    }
    if (*p != kPad)
        return d.state == 0 ? static_cast<int>(d.out) : -1;
    if (!valid_padding(p, d.state))
        return -1;
    // The bits of the last digit that fall outside the data must be zero.
    if ((d.state == 2 && (d.last & 0x0f)) || (d.state == 3 && (d.last & 0x03)))
        return -1;
    if (!d.emit(d.state == 2 ? 1 : 2))
        return -1;
    return static_cast<int>(d.out);
}
