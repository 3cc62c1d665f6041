/* Package signatures: RSA over SHA-1, signers trusted through the
 * certificate store. */
#ifndef ZPM_ZPS_H
#define ZPM_ZPS_H

#include <stdio.h>
#include <time.h>

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/x509.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes (also stored in ZPI.rsa_verified). */
#define ZPS_VERIFIED 1
#define ZPS_UNDECIDED 0
#define ZPS_MISSING -1
#define ZPS_UNTRUSTED -2
#define ZPS_INVALID -3
#define ZPS_EXPIRED -4
#define ZPS_NOT_YET_VALID -5

int zps_fverify_rsa(const char *sig_subj, const unsigned char *rsa_data, int rsa_size,
                    FILE *ver_file);
/* A detached RSA/SHA-256 signature over len bytes at data, checked like a
 * package signature (the signer's certificate from the store); the same
 * result codes.  A service of the back ends (zpm/zpc.h). */
int zpm_verify_detached(const char *signer, const void *data, size_t len,
                        const unsigned char *sig, size_t sig_len);
X509_NAME *x509_str2subj(const char *subject, int chtype, int multirdn);
time_t asn1_time_to_timestamp(const ASN1_TIME *as);

/* The process-wide OpenSSL error stream on standard error (never closes it);
 * zps_bio_err() creates it on first use. */
extern BIO *bio_err;
BIO *zps_bio_err(void);

#ifdef __cplusplus
}

#include <functional>
#include <string>

namespace zpm::pkg {

// Sees every byte a signature check reads from its stream, in order.
using StreamTap = std::function<void(const unsigned char *, size_t)>;

// What a successful check of a package signature rests on: the signer's
// public key (DER) and the signature.
struct SigProof {
    std::string key;
    std::string sig;
};

// zps_fverify_rsa with three additions.  tap, when set, sees the bytes read.
// known, when set, is the proof of an earlier successful check of this very
// stream (the caller vouches that it is unchanged since): when the signer's
// certificate, found and checked as always, holds the same key for the same
// signature, the stream is not read and the result is ZPS_VERIFIED.  proof,
// when set, receives the proof of a successful check.
int verify_payload(const char *sig_subj, const unsigned char *rsa_data, int rsa_size,
                   FILE *ver_file, const StreamTap &tap, const SigProof *known, SigProof *proof);

} // namespace zpm::pkg
#endif

#endif
