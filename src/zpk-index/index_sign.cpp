// zpk-index: the signature file of an index (format in repo_sig.h).
#include "index_sign.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "repo_sig.h"

namespace zpkindex {

namespace {

template <auto F> struct Deleter {
    template <class T> void operator()(T *p) const noexcept {
        if (p)
            F(p);
    }
};
using Bio = std::unique_ptr<BIO, Deleter<BIO_free_all>>;
using Key = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using Cert = std::unique_ptr<X509, Deleter<X509_free>>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX_free>>;

std::string ssl_error() {
    unsigned long e = ERR_get_error();
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    ERR_clear_error();
    return e ? buf : "unknown error";
}

// Repository keys are used unattended: a key that wants a password is
// refused rather than prompted for.
int no_password(char *, int, int, void *) {
    return -1;
}

std::string read_file(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        throw Failure{"cannot read " + path + ": " + strerror(errno)};
    std::string text;
    char buf[1 << 16];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        text.append(buf, static_cast<size_t>(n));
    int err = errno;
    close(fd);
    if (n < 0)
        throw Failure{"cannot read " + path + ": " + strerror(err)};
    return text;
}

std::string sha256_hex(const std::string &data) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(data.data(), data.size(), md, &len, EVP_sha256(), nullptr) != 1)
        throw Failure{"cannot digest the index: " + ssl_error()};
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < len; i++) {
        out += hex[md[i] >> 4];
        out += hex[md[i] & 15];
    }
    return out;
}

std::string base64(const std::string &raw) {
    std::vector<unsigned char> out(4 * ((raw.size() + 2) / 3) + 1);
    int n = EVP_EncodeBlock(out.data(), reinterpret_cast<const unsigned char *>(raw.data()),
                            static_cast<int>(raw.size()));
    return std::string(reinterpret_cast<char *>(out.data()), static_cast<size_t>(n));
}

// Writes text to path through a temporary name beside it.
void write_settled(const std::string &dir, const std::string &name, const std::string &text) {
    std::string tmp = dir + "/." + name + ".XXXXXX";
    int fd = mkstemp(tmp.data());
    if (fd < 0)
        throw Failure{"cannot create " + tmp + ": " + strerror(errno)};
    errno = 0;
    bool ok = fchmod(fd, 0644) == 0 &&
              write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
              fsync(fd) == 0;
    int err = errno;
    ok = close(fd) == 0 && ok;
    if (ok && rename(tmp.c_str(), (dir + "/" + name).c_str()) == 0)
        return;
    err = err ? err : errno;
    unlink(tmp.c_str());
    throw Failure{"cannot write " + dir + "/" + name + ": " + strerror(err)};
}

} // namespace

struct Signer {
    Key key;
    Cert cert;
    std::string subject;
};

void SignerFree::operator()(Signer *s) const noexcept {
    delete s;
}

SignerPtr signer_load(const std::string &key, const std::string &cert) {
    SignerPtr s(new Signer);
    Bio kb(BIO_new_file(key.c_str(), "r"));
    if (kb)
        s->key.reset(PEM_read_bio_PrivateKey(kb.get(), nullptr, no_password, nullptr));
    if (!s->key)
        throw Failure{"no usable PEM private key in " + key + ": " + ssl_error()};
    if (EVP_PKEY_base_id(s->key.get()) != EVP_PKEY_RSA)
        throw Failure{"key " + key + " is not an RSA key"};
    Bio cb(BIO_new_file(cert.c_str(), "r"));
    if (cb)
        s->cert.reset(PEM_read_bio_X509_AUX(cb.get(), nullptr, nullptr, nullptr));
    if (!s->cert)
        throw Failure{"no PEM certificate in " + cert + ": " + ssl_error()};
    if (X509_check_private_key(s->cert.get(), s->key.get()) != 1) {
        ERR_clear_error();
        throw Failure{"key " + key + " does not match certificate " + cert};
    }
    char *line = X509_NAME_oneline(X509_get_subject_name(s->cert.get()), nullptr, 0);
    if (!line)
        throw Failure{"cannot print the subject of " + cert};
    s->subject = line;
    OPENSSL_free(line);
    return s;
}

void sign_index(const Signer &s, const std::string &dir, time_t now, int valid_days) {
    const std::string index = read_file(dir + "/index.ldif");
    zpcrepo::IndexSig sig;
    sig.sha256 = sha256_hex(index);
    sig.size = index.size();
    sig.generated = now;
    sig.valid_until = now + static_cast<time_t>(valid_days) * 86400;
    sig.signer = s.subject;
    const std::string text = zpcrepo::sig_text(sig);
    MdCtx ctx(EVP_MD_CTX_new());
    size_t len = 0;
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, s.key.get()) != 1 ||
        EVP_DigestSign(ctx.get(), nullptr, &len,
                       reinterpret_cast<const unsigned char *>(text.data()), text.size()) != 1)
        throw Failure{"cannot sign the index: " + ssl_error()};
    std::string raw(len, '\0');
    if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char *>(raw.data()), &len,
                       reinterpret_cast<const unsigned char *>(text.data()), text.size()) != 1)
        throw Failure{"cannot sign the index: " + ssl_error()};
    raw.resize(len);
    write_settled(dir, zpcrepo::kSigName, text + "signature: " + base64(raw) + "\n");
}

} // namespace zpkindex
