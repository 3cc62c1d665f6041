// SHA-1 (FIPS 180-4).  A compact portable block function plus, on x86 CPUs
// that have them, the SHA extensions; the choice is made once at run time.
#include "sha1.h"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define ZPM_SHA1_X86 1
#endif

namespace {

inline uint32_t rol(uint32_t v, int n) { return (v << n) | (v >> (32 - n)); }

inline uint32_t load_be32(const unsigned char *p) {
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | (uint32_t)p[3];
}

// Message schedule kept in a 16-word ring.
#define W(i) (w[(i) & 15] = rol(w[((i) + 13) & 15] ^ w[((i) + 8) & 15] ^ w[((i) + 2) & 15] ^ w[(i) & 15], 1))
#define R0(v, x, y, z, u, i) u += ((x & (y ^ z)) ^ z) + w[i] + 0x5A827999 + rol(v, 5), x = rol(x, 30)
#define R1(v, x, y, z, u, i) u += ((x & (y ^ z)) ^ z) + W(i) + 0x5A827999 + rol(v, 5), x = rol(x, 30)
#define R2(v, x, y, z, u, i) u += (x ^ y ^ z) + W(i) + 0x6ED9EBA1 + rol(v, 5), x = rol(x, 30)
#define R3(v, x, y, z, u, i) u += (((x | y) & z) | (x & y)) + W(i) + 0x8F1BBCDC + rol(v, 5), x = rol(x, 30)
#define R4(v, x, y, z, u, i) u += (x ^ y ^ z) + W(i) + 0xCA62C1D6 + rol(v, 5), x = rol(x, 30)

// Five rounds rotate the roles of the five working variables back to start.
#define FIVE(R, i)                                                                                 \
    R(a, b, c, d, e, (i) + 0);                                                                     \
    R(e, a, b, c, d, (i) + 1);                                                                     \
    R(d, e, a, b, c, (i) + 2);                                                                     \
    R(c, d, e, a, b, (i) + 3);                                                                     \
    R(b, c, d, e, a, (i) + 4)

void portable_block(uint32_t state[5], const unsigned char *block) {
    uint32_t w[16];
    for (int i = 0; i < 16; i++)
        w[i] = load_be32(block + 4 * i);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    FIVE(R0, 0);
    FIVE(R0, 5);
    FIVE(R0, 10);
    R0(a, b, c, d, e, 15);
    R1(e, a, b, c, d, 16);
    R1(d, e, a, b, c, 17);
    R1(c, d, e, a, b, 18);
    R1(b, c, d, e, a, 19);
    FIVE(R2, 20);
    FIVE(R2, 25);
    FIVE(R2, 30);
    FIVE(R2, 35);
    FIVE(R3, 40);
    FIVE(R3, 45);
    FIVE(R3, 50);
    FIVE(R3, 55);
    FIVE(R4, 60);
    FIVE(R4, 65);
    FIVE(R4, 70);
    FIVE(R4, 75);
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
}

#undef W
#undef R0
#undef R1
#undef R2
#undef R3
#undef R4
#undef FIVE

void portable_blocks(uint32_t state[5], const unsigned char *data, size_t blocks) {
    for (; blocks; blocks--, data += 64)
        portable_block(state, data);
}

#ifdef ZPM_SHA1_X86
#define ZPM_SHA_TARGET __attribute__((target("sha,sse4.1")))

// One group of four rounds with the message schedule work that overlaps it.
// m[] holds the four most recent 16-byte schedule groups; e[] alternates
// between the E input of this group and the saved ABCD of the next one.
template <int G>
ZPM_SHA_TARGET __attribute__((always_inline)) inline void ni_group(__m128i &abcd, __m128i (&e)[2],
                                                                   __m128i (&m)[4]) {
    __m128i &ein = e[G & 1];
    if constexpr (G == 0)
        ein = _mm_add_epi32(ein, m[0]);
    else
        ein = _mm_sha1nexte_epu32(ein, m[G & 3]);
    e[(G + 1) & 1] = abcd;
    if constexpr (G >= 3 && G <= 18)
        m[(G + 1) & 3] = _mm_sha1msg2_epu32(m[(G + 1) & 3], m[G & 3]);
    abcd = _mm_sha1rnds4_epu32(abcd, ein, G / 5);
    if constexpr (G >= 1 && G <= 16)
        m[(G + 3) & 3] = _mm_sha1msg1_epu32(m[(G + 3) & 3], m[G & 3]);
    if constexpr (G >= 2 && G <= 17)
        m[(G + 2) & 3] = _mm_xor_si128(m[(G + 2) & 3], m[G & 3]);
}

template <int... G>
ZPM_SHA_TARGET __attribute__((always_inline)) inline void ni_rounds(__m128i &abcd, __m128i (&e)[2],
                                                                    __m128i (&m)[4]) {
    (ni_group<G>(abcd, e, m), ...);
}

ZPM_SHA_TARGET void ni_blocks(uint32_t state[5], const unsigned char *data, size_t blocks) {
    const __m128i bswap = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
    __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128((const __m128i *)state), 0x1B);
    __m128i e0 = _mm_set_epi32((int)state[4], 0, 0, 0);
    for (; blocks; blocks--, data += 64) {
        const __m128i abcd_save = abcd, e_save = e0;
        __m128i m[4];
        for (int i = 0; i < 4; i++)
            m[i] = _mm_shuffle_epi8(_mm_loadu_si128((const __m128i *)(data + 16 * i)), bswap);
        __m128i e[2] = {e0, _mm_setzero_si128()};
        ni_rounds<0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19>(abcd, e, m);
        e0 = _mm_sha1nexte_epu32(e[0], e_save);
        abcd = _mm_add_epi32(abcd, abcd_save);
    }
    _mm_storeu_si128((__m128i *)state, _mm_shuffle_epi32(abcd, 0x1B));
    state[4] = (uint32_t)_mm_extract_epi32(e0, 3);
}

bool cpu_has_sha() {
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d))
        return false;
    const bool ssse3 = c & (1u << 9), sse41 = c & (1u << 19);
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d))
        return false;
    return ssse3 && sse41 && (b & (1u << 29));
}
#endif

using blocks_fn = void (*)(uint32_t *, const unsigned char *, size_t);

blocks_fn best_blocks() {
#ifdef ZPM_SHA1_X86
    if (cpu_has_sha())
        return ni_blocks;
#endif
    return portable_blocks;
}

// Constant-initialised so that a digest taken during static initialisation
// elsewhere still works; the first call settles the choice.
void first_blocks(uint32_t *state, const unsigned char *data, size_t blocks);
blocks_fn g_blocks = first_blocks;

void first_blocks(uint32_t *state, const unsigned char *data, size_t blocks) {
    g_blocks = best_blocks();
    g_blocks(state, data, blocks);
}

} // namespace

extern "C" int sha1_accel(int enable) {
    if (g_blocks == first_blocks)
        g_blocks = best_blocks();
    const int was = g_blocks != portable_blocks;
    if (enable == 0)
        g_blocks = portable_blocks;
    else if (enable > 0)
        g_blocks = best_blocks();
    return was;
}

extern "C" void SHA1Transform(uint32_t state[5], const unsigned char buffer[64]) {
    portable_block(state, buffer);
}

extern "C" void SHA1Init(SHA1_CTX *context) {
    context->state[0] = 0x67452301;
    context->state[1] = 0xEFCDAB89;
    context->state[2] = 0x98BADCFE;
    context->state[3] = 0x10325476;
    context->state[4] = 0xC3D2E1F0;
    context->count[0] = context->count[1] = 0;
}

extern "C" void SHA1Update(SHA1_CTX *context, const unsigned char *data, uint32_t len) {
    uint32_t used = (context->count[0] >> 3) & 63;
    const uint32_t low = context->count[0];
    context->count[0] += len << 3;
    if (context->count[0] < low)
        context->count[1]++;
    context->count[1] += len >> 29;
    if (used) {
        uint32_t take = 64 - used;
        if (len < take) {
            std::memcpy(context->buffer + used, data, len);
            return;
        }
        std::memcpy(context->buffer + used, data, take);
        g_blocks(context->state, context->buffer, 1);
        data += take;
        len -= take;
    }
    if (len >= 64) {
        g_blocks(context->state, data, len / 64);
        data += len & ~63u;
        len &= 63;
    }
    if (len)
        std::memcpy(context->buffer, data, len);
}

extern "C" void SHA1Final(unsigned char digest[20], SHA1_CTX *context) {
    unsigned char length[8];
    for (int i = 0; i < 8; i++)
        length[i] = (unsigned char)(context->count[i < 4 ? 1 : 0] >> ((3 - (i & 3)) * 8));
    static const unsigned char pad[64] = {0x80};
    const uint32_t used = (context->count[0] >> 3) & 63;
    SHA1Update(context, pad, used < 56 ? 56 - used : 120 - used);
    SHA1Update(context, length, 8);
    for (int i = 0; i < 20; i++)
        digest[i] = (unsigned char)(context->state[i >> 2] >> ((3 - (i & 3)) * 8));
    std::memset(context, 0, sizeof *context);
}
