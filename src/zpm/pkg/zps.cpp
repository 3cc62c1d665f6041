// Package signature check: the signer's certificate comes from the local
// store by subject hash, must carry exactly the signer's subject and be
// within its validity window; then RSA/SHA-1 over the rest of the stream.
#include "zps.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include "cres.h"
#include "loglib.h"
#include "paths.h"
#include "util.h"

namespace {

template <auto F> struct ossl_deleter {
    template <class T> void operator()(T *p) const noexcept {
        if (p)
            F(p);
    }
};
using X509Ptr = std::unique_ptr<X509, ossl_deleter<X509_free>>;
using X509NamePtr = std::unique_ptr<X509_NAME, ossl_deleter<X509_NAME_free>>;
using PKeyPtr = std::unique_ptr<EVP_PKEY, ossl_deleter<EVP_PKEY_free>>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, ossl_deleter<EVP_MD_CTX_free>>;
using BioPtr = std::unique_ptr<BIO, ossl_deleter<BIO_free_all>>;

void openssl_free_str(char *p) {
    OPENSSL_free(p);
}
using OsslStr = std::unique_ptr<char, ossl_deleter<openssl_free_str>>;

// Large reads: the payload is read whole, often tens of megabytes.
constexpr size_t kVerifyChunk = 128 * 1024;

// What a caller adds to a check: a tap on the bytes read, a proof known for
// this very stream, and where the proof of a successful check goes.
struct Extras {
    const zpm::pkg::StreamTap *tap = nullptr;
    const zpm::pkg::SigProof *known = nullptr;
    zpm::pkg::SigProof *proof = nullptr;
};

// Store path of the signer's certificate, "" when the subject is unusable.
std::string cert_path(const char *sig_subj) {
    X509NamePtr name(x509_str2subj(sig_subj, MBSTRING_ASC, 0));
    if (!name) {
        zlogf(ZLOG_INFO, "Failure parsing signer %s", sig_subj);
        return "";
    }
    int ok = 0;
    unsigned long hash = X509_NAME_hash_ex(name.get(), nullptr, nullptr, &ok);
    char file[16];
    snprintf(file, sizeof file, "%08lx", hash & 0xffffffffUL);
    std::string path = zpm::paths::certstore_dir() + "/" + file + ".crt";
    zlogf(ZLOG_DEBUG, "zps_fverify_rsa: Will look for %s", path.c_str());
    return path;
}

// A certificate is a few kilobytes; anything far larger is not one.
constexpr off_t kCertMax = 1 << 20;

// The content of the store file at path: a regular file, not reached
// through a link, read without blocking (a FIFO or a device planted in the
// store must neither hang nor feed the reader for ever).  Empty on failure.
std::string read_store_file(const std::string &path) {
    Fd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_size > kCertMax) {
        if (fd.get() >= 0 || errno == ELOOP)
            zlogf(ZLOG_INFO, "%s is not a regular file of a certificate's size, not read",
                  path.c_str());
        return "";
    }
    std::string text(static_cast<size_t>(st.st_size), '\0');
    size_t got = 0;
    while (got < text.size()) {
        ssize_t n = read(fd.get(), text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return "";
        got += static_cast<size_t>(n);
    }
    return text;
}

// The DER form of a public key, "" when it has none.
std::string key_der(EVP_PKEY *key) {
    unsigned char *der = nullptr;
    int n = i2d_PUBKEY(key, &der);
    std::string out = n > 0 ? std::string(reinterpret_cast<char *>(der), (size_t)n) : "";
    OPENSSL_free(der);
    return out;
}

// A certificate read from the store, with what each check needs of it.
struct SignerCert {
    std::string pem; // the store file's bytes it was read from
    X509Ptr cert;
    PKeyPtr key;     // null when it has no usable public key
    std::string der; // the key's DER form, for proofs
    std::string subject;
    bool named = false; // whether it has a subject at all
};
using CertPtr = std::shared_ptr<const SignerCert>;

CertPtr parse_cert(std::string pem) {
    auto c = std::make_shared<SignerCert>();
    BioPtr in(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    c->cert.reset(in ? PEM_read_bio_X509_AUX(in.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!c->cert)
        return nullptr;
    OsslStr subj(X509_NAME_oneline(X509_get_subject_name(c->cert.get()), nullptr, 0));
    c->named = subj != nullptr;
    c->subject = subj ? subj.get() : "";
    c->key.reset(X509_get_pubkey(c->cert.get()));
    if (c->key)
        c->der = key_der(c->key.get());
    c->pem = std::move(pem);
    return c;
}

// Parsing a certificate costs more than checking a small package with it, and
// a transaction checks every package twice with the same few signers: the
// certificates parsed are kept for the process, found again by the very bytes
// of the store file, which is read afresh for every check.
CertPtr cached_cert(std::string pem) {
    static std::mutex lock;
    static std::vector<CertPtr> parsed;
    {
        std::lock_guard<std::mutex> hold(lock);
        for (const CertPtr &c : parsed)
            if (c->pem == pem)
                return c;
    }
    CertPtr c = parse_cert(std::move(pem));
    if (c) {
        std::lock_guard<std::mutex> hold(lock);
        if (parsed.size() >= 16)
            parsed.erase(parsed.begin());
        parsed.push_back(c);
    }
    return c;
}

// The certificate at path when it carries exactly sig_subj; logs why not.
CertPtr load_signer_cert(const std::string &path, const char *sig_subj) {
    std::string pem = read_store_file(path);
    CertPtr cert = pem.empty() ? nullptr : cached_cert(std::move(pem));
    if (!cert) {
        zlogf(ZLOG_INFO, "Failure reading %s\n", path.c_str());
        return nullptr;
    }
    if (!cert->named || cert->subject != sig_subj) {
        zlogf(ZLOG_INFO, "Subjects do not match");
        return nullptr;
    }
    return cert;
}

void log_time(const char *what, time_t t) {
    zlogf(ZLOG_DEBUG, "zps_vferify_rsa: Valid %s: %s", what, zpm::time_stamp(t).c_str());
}

// 1 inside the validity window, else -4 / -5.
int check_validity(X509 *cert) {
    const time_t from = asn1_time_to_timestamp(X509_get0_notBefore(cert));
    const time_t until = asn1_time_to_timestamp(X509_get0_notAfter(cert));
    log_time("from", from);
    log_time("until", until);
    const time_t now = time(nullptr);
    if (now < from) {
        zlogf(ZLOG_INFO, "Certificate is not yet valid");
        return ZPS_NOT_YET_VALID;
    }
    if (now > until) {
        zlogf(ZLOG_INFO, "Certificate has expired");
        return ZPS_EXPIRED;
    }
    zlogf(ZLOG_DEBUG, "zps_vferify_rsa: Certificate is valid");
    return 1;
}

// Feeds the stream from its position to its end into ctx (and the tap).
int feed_stream(EVP_MD_CTX *ctx, FILE *ver_file, const Extras &x, long long *total) {
    BioPtr in(BIO_new_fp(ver_file, BIO_NOCLOSE));
    std::unique_ptr<unsigned char[]> buf(new unsigned char[kVerifyChunk]);
    if (!in)
        return 0;
    for (;;) {
        int n = BIO_read(in.get(), buf.get(), (int)kVerifyChunk - 1);
        if (n == 0 && !ferror(ver_file))
            return 1;
        if (n <= 0) {
            zlogf(ZLOG_INFO, "read erro in BIO_read");
            return 0;
        }
        if (EVP_DigestVerifyUpdate(ctx, buf.get(), (size_t)n) != 1)
            return 0;
        if (x.tap && *x.tap)
            (*x.tap)(buf.get(), (size_t)n);
        *total += n;
    }
}

std::string sig_bytes(const unsigned char *rsa_data, int rsa_size) {
    return rsa_data && rsa_size > 0 ? std::string(reinterpret_cast<const char *>(rsa_data),
                                                  static_cast<size_t>(rsa_size))
                                    : "";
}

// Whether the known proof stands for this key and signature: then the
// stream, unchanged since, would verify again.
bool proven(const Extras &x, const std::string &der, const std::string &sig) {
    return x.known && !der.empty() && !sig.empty() && x.known->key == der && x.known->sig == sig;
}

int verified(const Extras &x, std::string der, std::string sig) {
    zlogf(ZLOG_DEBUG, "Package signature succesfuly verified");
    if (x.proof)
        *x.proof = zpm::pkg::SigProof{std::move(der), std::move(sig)};
    return ZPS_VERIFIED;
}

int check_stream(EVP_PKEY *key, const unsigned char *rsa_data, int rsa_size, FILE *ver_file,
                 const EVP_MD *md, const Extras &x) {
    MdCtxPtr ctx(EVP_MD_CTX_new());
    if (!ctx) {
        zlogf(ZLOG_INFO, "failure loading signature");
        return ZPS_UNDECIDED;
    }
    zlogf(ZLOG_DEBUG, "BIO_get_md_ctx: Successfully loaded signature");
    if (EVP_DigestVerifyInit(ctx.get(), nullptr, md, nullptr, key) != 1) {
        zlogf(ZLOG_INFO, "EVP_DigestVerifyInit: failure initializing signature");
        return ZPS_UNDECIDED;
    }
    long long total = 0;
    if (!feed_stream(ctx.get(), ver_file, x, &total))
        return ZPS_UNDECIDED;
    zlogf(ZLOG_DEBUG, "zps_vferify_rsa: Got %lld bytes of package data", total);
    const size_t sig_len = rsa_data && rsa_size > 0 ? (size_t)rsa_size : 0;
    if (EVP_DigestVerifyFinal(ctx.get(), rsa_data, sig_len) < 1) {
        zlogf(ZLOG_ERROR, "Failure verifiying package signature");
        return ZPS_INVALID;
    }
    return ZPS_VERIFIED;
}

int verify_signature(const SignerCert &cert, const unsigned char *rsa_data, int rsa_size,
                     FILE *ver_file, const EVP_MD *md, const Extras &x) {
    EVP_PKEY *key = cert.key.get();
    if (!key) {
        zlogf(ZLOG_INFO, "failure loading public key");
        return ZPS_UNDECIDED;
    }
    zlogf(ZLOG_DEBUG, "X509_get_pubkey: Successfully loaded public key");
    std::string der = x.known || x.proof ? cert.der : "";
    std::string sig = x.known || x.proof ? sig_bytes(rsa_data, rsa_size) : "";
    if (proven(x, der, sig)) {
        zlogf(ZLOG_DEBUG, "zps_vferify_rsa: the payload is the one verified before");
        return verified(x, std::move(der), std::move(sig));
    }
    int rc = check_stream(key, rsa_data, rsa_size, ver_file, md, x);
    return rc == ZPS_VERIFIED ? verified(x, std::move(der), std::move(sig)) : rc;
}

int fverify(const char *sig_subj, const unsigned char *rsa_data, int rsa_size, FILE *ver_file,
            const EVP_MD *md, const Extras &x = Extras()) {
    zlogf(ZLOG_DEBUG, "zps_fverify_rsa: verifiy of %s", sig_subj);
    zps_bio_err();
    const std::string path = cert_path(sig_subj);
    if (path.empty())
        return ZPS_UNTRUSTED;
    CertPtr cert = load_signer_cert(path, sig_subj);
    if (!cert)
        return ZPS_UNTRUSTED;
    int rc = check_validity(cert->cert.get());
    if (rc != 1)
        return rc;
    if (!ver_file)
        return ZPS_UNDECIDED;
    return verify_signature(*cert, rsa_data, rsa_size, ver_file, md, x);
}

} // namespace

extern "C" int zps_fverify_rsa(const char *sig_subj, const unsigned char *rsa_data, int rsa_size,
                               FILE *ver_file) {
    int rc;
    try {
        rc = fverify(sig_subj ? sig_subj : "", rsa_data, rsa_size, ver_file, EVP_sha1());
    } catch (...) { // allocation failure: the check could not be carried out
        rc = ZPS_UNDECIDED;
    }
    // Leave no stale entries behind for the next OpenSSL user.
    ERR_clear_error();
    return rc;
}

int zpm::pkg::verify_payload(const char *sig_subj, const unsigned char *rsa_data, int rsa_size,
                             FILE *ver_file, const StreamTap &tap, const SigProof *known,
                             SigProof *proof) {
    int rc;
    try {
        rc = fverify(sig_subj ? sig_subj : "", rsa_data, rsa_size, ver_file, EVP_sha1(),
                     Extras{&tap, known, proof});
    } catch (...) { // allocation failure, or the tap's: the check could not be carried out
        rc = ZPS_UNDECIDED;
    }
    ERR_clear_error();
    return rc;
}

// Detached signatures (a repository index): the same store, subject and
// validity rules as package signatures, with SHA-256.
extern "C" int zpm_verify_detached(const char *signer, const void *data, size_t len,
                                   const unsigned char *sig, size_t sig_len) {
    if (!data || sig_len > 0x7fffffff)
        return ZPS_UNDECIDED;
    FILE *in = fmemopen(const_cast<void *>(data), len, "r");
    if (!in)
        return ZPS_UNDECIDED;
    int rc;
    try {
        rc = fverify(signer ? signer : "", sig, static_cast<int>(sig_len), in, EVP_sha256());
    } catch (...) {
        rc = ZPS_UNDECIDED;
    }
    fclose(in);
    ERR_clear_error();
    return rc;
}
