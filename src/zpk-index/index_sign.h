// zpk-index: signing an index with the repository's key.
#ifndef ZPK_INDEX_SIGN_H
#define ZPK_INDEX_SIGN_H

#include <ctime>
#include <memory>
#include <string>

namespace zpkindex {

struct Failure {
    std::string msg;
};

struct Signer;
struct SignerFree {
    void operator()(Signer *s) const noexcept;
};
using SignerPtr = std::unique_ptr<Signer, SignerFree>;

// Loads an RSA key and the certificate it belongs to (PEM); throws Failure.
SignerPtr signer_load(const std::string &key, const std::string &cert);

// Writes dir/index.ldif.sig (a temporary name renamed into place) for the
// index now in dir, valid from now for valid_days days; throws Failure.
void sign_index(const Signer &s, const std::string &dir, time_t now, int valid_days);

} // namespace zpkindex

#endif
