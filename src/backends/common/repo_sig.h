// The detached signature of a repository index ("index.ldif.sig" beside it).
// The index stays exactly what zpc-dirs writes; what it cannot say (when it
// was made, until when a client may take it, its digest) is said here and
// signed:
//
//   # zpm index signature 1
//   index: index.ldif
//   sha256: <SHA-256 of index.ldif, 64 lower-case hex digits>
//   size: <bytes of index.ldif>
//   generated: <UTC, YYYY-MM-DDThh:mm:ssZ>
//   valid-until: <UTC, YYYY-MM-DDThh:mm:ssZ>
//   signer: <one-line subject of the signing certificate>
//   signature: <base64 of RSA (PKCS #1 v1.5) with SHA-256 over every byte
//               before this line>
//
// The lines come in this order, each ended by a line feed; anything else is
// refused.
#ifndef ZPC_REPO_SIG_H
#define ZPC_REPO_SIG_H

#include <cstdint>
#include <ctime>
#include <string>

namespace zpcrepo {

inline constexpr const char *kSigName = "index.ldif.sig";
inline constexpr size_t kSigMaxSize = 64 * 1024;

struct IndexSig {
    std::string sha256; // hex
    uint64_t size = 0;
    time_t generated = 0;
    time_t valid_until = 0;
    std::string signer;
    std::string signed_text; // the bytes the signature covers
    std::string signature;   // raw signature bytes
};

// The text to be signed for the fields of sig (signed_text and signature
// are not used).
std::string sig_text(const IndexSig &sig);
// Parses a signature file; false with why when it is not one.
bool parse_sig(const std::string &text, IndexSig &sig, std::string &why);
// "YYYY-MM-DDThh:mm:ssZ" of t, and back (-1 when text is not that form).
std::string utc_text(time_t t);
time_t parse_utc(const std::string &text);

} // namespace zpcrepo

#endif
