// zpk-build: signing the payload with RSA over SHA-1.
#include <cerrno>
#include <cstring>
#include <memory>
#include <unistd.h>
#include <vector>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "cres.h"
#include "zpkb.h"

namespace zpkb {

namespace {

using Bio = std::unique_ptr<BIO, c_deleter<BIO_free_all>>;
using Key = std::unique_ptr<EVP_PKEY, c_deleter<EVP_PKEY_free>>;
using Cert = std::unique_ptr<X509, c_deleter<X509_free>>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, c_deleter<EVP_MD_CTX_free>>;

std::string ssl_error() {
    unsigned long e = ERR_get_error();
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    ERR_clear_error();
    return e ? buf : "unknown error";
}

// A password-protected key is refused rather than prompted for: builds run
// unattended.
int no_password(char *, int, int, void *) {
    return -1;
}

} // namespace

struct Signer {
    Key key;
    Cert cert;
};

Signer *signer_load(const std::string &key, const std::string &cert) {
    auto s = std::make_unique<Signer>();
    Bio kb(BIO_new_file(key.c_str(), "r"));
    if (!kb)
        throw Error{"cannot read key " + key + ": " + ssl_error()};
    s->key.reset(PEM_read_bio_PrivateKey(kb.get(), nullptr, no_password, nullptr));
    if (!s->key)
        throw Error{"no usable PEM private key in " + key + ": " + ssl_error()};
    if (EVP_PKEY_base_id(s->key.get()) != EVP_PKEY_RSA)
        throw Error{"key " + key + " is not an RSA key"};
    Bio cb(BIO_new_file(cert.c_str(), "r"));
    if (!cb)
        throw Error{"cannot read certificate " + cert + ": " + ssl_error()};
    s->cert.reset(PEM_read_bio_X509_AUX(cb.get(), nullptr, nullptr, nullptr));
    if (!s->cert)
        throw Error{"no PEM certificate in " + cert + ": " + ssl_error()};
    if (X509_check_private_key(s->cert.get(), s->key.get()) != 1) {
        ERR_clear_error();
        throw Error{"key " + key + " does not match certificate " + cert};
    }
    return s.release();
}

void signer_free(Signer *s) {
    delete s;
}

std::string signer_subject(const Signer *s) {
    char *line = X509_NAME_oneline(X509_get_subject_name(s->cert.get()), nullptr, 0);
    if (!line)
        throw Error{"cannot print the certificate subject"};
    std::string subj(line);
    OPENSSL_free(line);
    return subj;
}

std::string signer_sign_fd(const Signer *s, int fd) {
    MdCtx ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha1(), nullptr, s->key.get()) != 1)
        throw Error{"cannot start signing: " + ssl_error()};
    if (lseek(fd, 0, SEEK_SET) != 0)
        throw Error{std::string("cannot rewind payload: ") + strerror(errno)};
    std::vector<unsigned char> buf(1 << 16);
    for (;;) {
        ssize_t n = read(fd, buf.data(), buf.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw Error{std::string("cannot read payload: ") + strerror(errno)};
        if (n == 0)
            break;
        if (EVP_DigestSignUpdate(ctx.get(), buf.data(), static_cast<size_t>(n)) != 1)
            throw Error{"signing failed: " + ssl_error()};
    }
    size_t len = 0;
    if (EVP_DigestSignFinal(ctx.get(), nullptr, &len) != 1)
        throw Error{"signing failed: " + ssl_error()};
    std::string sig(len, '\0');
    if (EVP_DigestSignFinal(ctx.get(), reinterpret_cast<unsigned char *>(sig.data()), &len) != 1)
        throw Error{"signing failed: " + ssl_error()};
    sig.resize(len);
    return sig;
}

} // namespace zpkb
