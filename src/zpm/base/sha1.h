/* SHA-1 (FIPS 180-4). */
#ifndef ZPM_SHA1_H
#define ZPM_SHA1_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
    uint32_t state[5];
    uint32_t count[2]; /* bit count, low word first */
    unsigned char buffer[64];
} SHA1_CTX;

void SHA1Transform(uint32_t state[5], const unsigned char buffer[64]);
void SHA1Init(SHA1_CTX *context);
void SHA1Update(SHA1_CTX *context, const unsigned char *data, uint32_t len);
void SHA1Final(unsigned char digest[20], SHA1_CTX *context);

/* SHA1Transform is the portable block function; SHA1Update uses the CPU's
 * SHA instructions when present.  sha1_accel(0) forces the portable path,
 * sha1_accel(1) restores the best one, -1 only asks; returns whether the
 * accelerated path was in use before the call. */
int sha1_accel(int enable);

#ifdef __cplusplus
}
#endif

#endif
