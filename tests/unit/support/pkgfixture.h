// Package fixtures for unit tests: signing keys and certificates made in the
// test, source trees, and package files built with the real zpk-build.
// Header-only: ZPM_TEST_BINDIR is defined per test executable.
#ifndef ZPM_TEST_PKGFIXTURE_H
#define ZPM_TEST_PKGFIXTURE_H

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "paths.h"
#include "testroot.h"
#include "zps.h"

namespace zpmtest {

struct PkeyFree {
    void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
};
struct X509Free {
    void operator()(X509 *c) const { X509_free(c); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using Cert = std::unique_ptr<X509, X509Free>;

inline Pkey make_rsa_key() {
    return Pkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", (size_t)2048));
}

// Self-signed certificate for subject, valid from now+from_s to now+until_s.
inline Cert make_cert(EVP_PKEY *key, const char *subject, long from_s, long until_s) {
    Cert c(X509_new());
    X509_NAME *n = x509_str2subj(subject, MBSTRING_ASC, 0);
    EXPECT_TRUE(c && n);
    X509_set_version(c.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(c.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(c.get()), from_s);
    X509_gmtime_adj(X509_getm_notAfter(c.get()), until_s);
    X509_set_subject_name(c.get(), n);
    X509_set_issuer_name(c.get(), n);
    X509_set_pubkey(c.get(), key);
    EXPECT_GT(X509_sign(c.get(), key, EVP_sha256()), 0);
    X509_NAME_free(n);
    return c;
}

inline std::string bio_text(BIO *b) {
    char *p = nullptr;
    long n = BIO_get_mem_data(b, &p);
    std::string s(p, (size_t)n);
    BIO_free(b);
    return s;
}

inline std::string cert_pem(X509 *c) {
    BIO *b = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(b, c);
    return bio_text(b);
}

inline std::string key_pem(EVP_PKEY *k) {
    BIO *b = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(b, k, nullptr, nullptr, 0, nullptr, nullptr);
    return bio_text(b);
}

// The name of a certificate in the store: "%08lx" of the subject hash.
inline std::string subject_hash(const char *subject) {
    X509_NAME *n = x509_str2subj(subject, MBSTRING_ASC, 0);
    char buf[16];
    snprintf(buf, sizeof buf, "%08lx", X509_NAME_hash_ex(n, nullptr, nullptr, nullptr));
    X509_NAME_free(n);
    return buf;
}

// Puts cert into the certificate store of the current paths root, filed
// under the hash of store_subject.
inline void store_cert(X509 *cert, const char *store_subject) {
    write_file(zpm::paths::certstore_dir() + "/" + subject_hash(store_subject) + ".crt",
               cert_pem(cert));
}

inline std::string zpk_build_bin() {
    return std::string(ZPM_TEST_BINDIR) + "/src/zpk-build/zpk-build";
}

inline std::string shq(const std::string &s) {
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// A source tree: relative path -> content under dir (parents made).
inline void make_tree(const std::string &dir, const std::map<std::string, std::string> &files) {
    for (const auto &[rel, content] : files)
        write_file(dir + "/" + rel, content);
}

inline std::string minimal_desc(const std::string &name, const std::string &version = "1.0",
                                const std::string &arch = "x86_64") {
    return "ezpmVersion: 1.0\nezpkName: " + name + "\nezpkVersion: " + version +
           "\nezpkArchitecture: " + arch + "\n";
}

// Runs zpk-build with args (already quoted); returns its exit status, output in *out.
inline int zpk_build(const std::string &args, std::string *out = nullptr) {
    std::string o;
    int rc = run("env -u SOURCE_DATE_EPOCH " + zpk_build_bin() + " " + args + " 2>&1", &o);
    if (out)
        *out = o;
    return rc;
}

// The payload bytes of a package file (everything after the description).
inline std::string payload_of(const std::string &pkg) {
    std::string all = read_file(pkg);
    int n = std::stoi(all.substr(6, 5));
    return all.substr(11 + (size_t)n);
}

inline std::string description_of(const std::string &pkg) {
    std::string all = read_file(pkg);
    int n = std::stoi(all.substr(6, 5));
    return all.substr(11, (size_t)n);
}

} // namespace zpmtest

#endif
