// Signature check against a certificate store made in the test root, the
// subject text parser and the certificate time conversion.
#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "paths.h"
#include "testroot.h"
#include "zps.h"

namespace {

using zpmtest::write_file;

struct KeyFree {
    void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
struct CertFree {
    void operator()(X509 *c) const { X509_free(c); }
};
using Cert = std::unique_ptr<X509, CertFree>;
struct NameFree {
    void operator()(X509_NAME *n) const { X509_NAME_free(n); }
};
using Name = std::unique_ptr<X509_NAME, NameFree>;

const char *kSubject = "/C=DE/O=Example Org/CN=Package Signer";
const std::string kPayload = "payload bytes of a package \x01\x02\x03 and more";

Key make_key() { return Key(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", (size_t)2048)); }

// Self-signed certificate for subject, valid from now+from_s to now+until_s.
Cert make_cert(EVP_PKEY *key, const char *subject, long from_s, long until_s) {
    Cert c(X509_new());
    Name n(x509_str2subj(subject, MBSTRING_ASC, 0));
    EXPECT_TRUE(c && n);
    X509_set_version(c.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(c.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(c.get()), from_s);
    X509_gmtime_adj(X509_getm_notAfter(c.get()), until_s);
    X509_set_subject_name(c.get(), n.get());
    X509_set_issuer_name(c.get(), n.get());
    X509_set_pubkey(c.get(), key);
    EXPECT_GT(X509_sign(c.get(), key, EVP_sha256()), 0);
    return c;
}

std::string sign(EVP_PKEY *key, const std::string &data) {
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    size_t len = 0;
    EXPECT_EQ(EVP_DigestSignInit(ctx, nullptr, EVP_sha1(), nullptr, key), 1);
    EXPECT_EQ(EVP_DigestSign(ctx, nullptr, &len, (const unsigned char *)data.data(), data.size()), 1);
    std::string sig(len, '\0');
    EXPECT_EQ(EVP_DigestSign(ctx, (unsigned char *)sig.data(), &len,
                             (const unsigned char *)data.data(), data.size()), 1);
    EVP_MD_CTX_free(ctx);
    sig.resize(len);
    return sig;
}

std::string hash_name(const char *subject) {
    Name n(x509_str2subj(subject, MBSTRING_ASC, 0));
    char buf[16];
    snprintf(buf, sizeof buf, "%08lx", X509_NAME_hash_ex(n.get(), nullptr, nullptr, nullptr));
    return buf;
}

std::string pem(X509 *c) {
    BIO *b = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(b, c);
    char *p = nullptr;
    long n = BIO_get_mem_data(b, &p);
    std::string s(p, (size_t)n);
    BIO_free(b);
    return s;
}

class ZpsTest : public zpmtest::RootTest {
  protected:
    static void SetUpTestSuite() {
        key_ = make_key().release();
        other_ = make_key().release();
    }
    static void TearDownTestSuite() {
        EVP_PKEY_free(key_);
        EVP_PKEY_free(other_);
    }
    // Puts cert into the store under the hash of store_subject.
    void store(X509 *cert, const char *store_subject) {
        write_file(zpm::paths::certstore_dir() + "/" + hash_name(store_subject) + ".crt", pem(cert));
    }
    // Verifies sig over stream content after `skip` leading bytes.
    int verify(const char *subject, const std::string &sig, const std::string &content,
               long skip = 0) {
        const std::string f = root() + "/pkg.bin";
        write_file(f, content);
        FILE *fp = fopen(f.c_str(), "rb");
        fseek(fp, skip, SEEK_SET);
        int rc = zps_fverify_rsa(subject, (const unsigned char *)sig.data(), (int)sig.size(), fp);
        pos_after_ = ftell(fp);
        fclose(fp);
        return rc;
    }
    long pos_after_ = -1;
    static EVP_PKEY *key_, *other_;
};
EVP_PKEY *ZpsTest::key_ = nullptr;
EVP_PKEY *ZpsTest::other_ = nullptr;

TEST_F(ZpsTest, ValidSignatureOverRestOfStream) {
    store(make_cert(key_, kSubject, -3600, 86400).get(), kSubject);
    const std::string head = "EZPM1000042header";
    EXPECT_EQ(verify(kSubject, sign(key_, kPayload), head + kPayload, (long)head.size()), 1);
    EXPECT_EQ(pos_after_, (long)(head.size() + kPayload.size())) << "stream left at its end";
    const std::string log = log_text();
    EXPECT_NE(log.find("zps_fverify_rsa: verifiy of " + std::string(kSubject)), std::string::npos);
    EXPECT_NE(log.find("Will look for " + zpm::paths::certstore_dir() + "/" + hash_name(kSubject) +
                       ".crt"),
              std::string::npos);
    EXPECT_NE(log.find("Got " + std::to_string(kPayload.size()) + " bytes of package data"),
              std::string::npos);
    EXPECT_NE(log.find("Package signature succesfuly verified"), std::string::npos);
    EXPECT_NE(log.find("zps_vferify_rsa: Valid until: "), std::string::npos);
}

TEST_F(ZpsTest, LargeStreamCrossesReadChunks) {
    store(make_cert(key_, kSubject, -3600, 86400).get(), kSubject);
    std::string big(100000, 'x');
    for (size_t i = 0; i < big.size(); i++)
        big[i] = (char)(i * 131 % 251);
    const std::string sig = sign(key_, big);
    EXPECT_EQ(verify(kSubject, sig, big), 1);
    big[big.size() - 1] ^= 1; // last byte, in the last chunk
    EXPECT_EQ(verify(kSubject, sig, big), ZPS_INVALID);
}

TEST_F(ZpsTest, BadSignaturesAreInvalid) {
    store(make_cert(key_, kSubject, -3600, 86400).get(), kSubject);
    std::string tampered = kPayload;
    tampered[5] ^= 0x20;
    EXPECT_EQ(verify(kSubject, sign(key_, kPayload), tampered), ZPS_INVALID);
    EXPECT_NE(log_text().find("[ERROR] Failure verifiying package signature"), std::string::npos);
    EXPECT_EQ(verify(kSubject, sign(other_, kPayload), kPayload), ZPS_INVALID);
    EXPECT_EQ(verify(kSubject, "", kPayload), ZPS_INVALID);
}

TEST_F(ZpsTest, ValidityWindow) {
    const std::string sig = sign(key_, kPayload);
    store(make_cert(key_, kSubject, -86400 * 10, -86400).get(), kSubject);
    EXPECT_EQ(verify(kSubject, sig, kPayload), ZPS_EXPIRED);
    EXPECT_NE(log_text().find("Certificate has expired"), std::string::npos);
    store(make_cert(key_, kSubject, 86400, 86400 * 10).get(), kSubject);
    EXPECT_EQ(verify(kSubject, sig, kPayload), ZPS_NOT_YET_VALID);
    EXPECT_NE(log_text().find("Certificate is not yet valid"), std::string::npos);
}

TEST_F(ZpsTest, UntrustedSigners) {
    const std::string sig = sign(key_, kPayload);
    // No certificate at all.
    EXPECT_EQ(verify(kSubject, sig, kPayload), ZPS_UNTRUSTED);
    EXPECT_NE(log_text().find("Failure reading " + zpm::paths::certstore_dir()), std::string::npos);
    // A file that holds no certificate.
    write_file(zpm::paths::certstore_dir() + "/" + hash_name(kSubject) + ".crt", "not a pem\n");
    EXPECT_EQ(verify(kSubject, sig, kPayload), ZPS_UNTRUSTED);
    // Same name hash (case and spacing fold), different one-line text.
    store(make_cert(key_, kSubject, -3600, 86400).get(), kSubject);
    const char *spaced = "/C=DE/O=Example  Org/CN=package signer";
    ASSERT_EQ(hash_name(spaced), hash_name(kSubject));
    clear_log();
    EXPECT_EQ(verify(spaced, sig, kPayload), ZPS_UNTRUSTED);
    EXPECT_NE(log_text().find("Subjects do not match"), std::string::npos);
    // Other attribute order, stored under that order's hash.
    const char *reordered = "/CN=Package Signer/O=Example Org/C=DE";
    store(make_cert(key_, kSubject, -3600, 86400).get(), reordered);
    EXPECT_EQ(verify(reordered, sig, kPayload), ZPS_UNTRUSTED);
}

// Certificates parsed once are kept for the process: a store file replaced
// meanwhile must be the one that counts.
TEST_F(ZpsTest, ReplacedCertificateIsTheOneUsed) {
    const std::string mine = sign(key_, kPayload), theirs = sign(other_, kPayload);
    store(make_cert(key_, kSubject, -3600, 86400).get(), kSubject);
    EXPECT_EQ(verify(kSubject, mine, kPayload), 1);
    store(make_cert(other_, kSubject, -3600, 86400).get(), kSubject);
    EXPECT_EQ(verify(kSubject, mine, kPayload), ZPS_INVALID);
    EXPECT_EQ(verify(kSubject, theirs, kPayload), 1);
    store(make_cert(other_, kSubject, -86400 * 10, -86400).get(), kSubject);
    EXPECT_EQ(verify(kSubject, theirs, kPayload), ZPS_EXPIRED);
}

TEST_F(ZpsTest, SubjectWithoutSlash) {
    testing::internal::CaptureStderr();
    const std::string f = root() + "/p";
    write_file(f, kPayload);
    FILE *fp = fopen(f.c_str(), "rb");
    EXPECT_EQ(zps_fverify_rsa("CN=x", (const unsigned char *)"s", 1, fp), ZPS_UNTRUSTED);
    fclose(fp);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Subject does not start with '/'.\n"),
              std::string::npos);
    EXPECT_NE(log_text().find("[INFO] Failure parsing signer CN=x"), std::string::npos);
}

// ---------------------------------------------------------------- x509_str2subj

struct SubjCase {
    const char *text;
    int multirdn;
    const char *oneline; // nullptr: no name expected
    int entries;
    const char *stderr_part;
};

TEST(X509Str2Subj, Table) {
    const std::vector<SubjCase> cases = {
        {"/C=DE/O=Example Org/CN=Package Signer", 0, "/C=DE/O=Example Org/CN=Package Signer", 3, ""},
        {"/", 0, "", 0, ""},
        {"/CN=a/", 0, "/CN=a", 1, ""},
        {"/CN=a\\/b\\+c", 1, "/CN=a\\/b\\+c", 1, ""},
        {"/CN=a+O=b", 0, "/CN=a\\+O=b", 1, ""},
        {"/2.5.4.3=dotted", 0, "/CN=dotted", 1, ""},
        {"/commonName=long", 0, "/CN=long", 1, ""},
        {"/FOO=bar/CN=x", 0, "/CN=x", 1, "Subject Attribute FOO has no known NID, skipped\n"},
        {"/CN=/O=x", 0, "/O=x", 1, "No value provided for Subject Attribute CN, skipped\n"},
        {"CN=x", 0, nullptr, 0, "Subject does not start with '/'.\n"},
        {"/CN", 0, nullptr, 0,
         "end of string encountered while processing type of subject name element #0\n"},
        {"/CN=a/O=", 0, nullptr, 0,
         "end of string encountered while processing type of subject name element #1\n"},
        {"/CN=a\\", 0, nullptr, 0, "escape character at end of string\n"},
        {"/C\\", 0, nullptr, 0, "escape character at end of string\n"},
        {"/C=TOOLONG", 0, nullptr, 0, ""}, // country must be two letters: the add fails
    };
    for (const SubjCase &c : cases) {
        testing::internal::CaptureStderr();
        Name n(x509_str2subj(c.text, MBSTRING_ASC, c.multirdn));
        const std::string err = testing::internal::GetCapturedStderr();
        SCOPED_TRACE(c.text);
        EXPECT_NE(err.find(c.stderr_part), std::string::npos) << err;
        if (!c.oneline) {
            EXPECT_EQ(n, nullptr);
            continue;
        }
        ASSERT_NE(n, nullptr);
        EXPECT_EQ(X509_NAME_entry_count(n.get()), c.entries);
        char *one = X509_NAME_oneline(n.get(), nullptr, 0);
        EXPECT_STREQ(one, c.oneline);
        OPENSSL_free(one);
    }
}

TEST(X509Str2Subj, PlusJoinsOneRelativeName) {
    Name joined(x509_str2subj("/CN=a+O=b/C=DE", MBSTRING_ASC, 1));
    ASSERT_NE(joined, nullptr);
    ASSERT_EQ(X509_NAME_entry_count(joined.get()), 3);
    auto set = [&](int i) { return X509_NAME_ENTRY_set(X509_NAME_get_entry(joined.get(), i)); };
    EXPECT_EQ(set(0), set(1));
    EXPECT_NE(set(1), set(2));
    char cn[16];
    X509_NAME_get_text_by_NID(joined.get(), NID_commonName, cn, sizeof cn);
    EXPECT_STREQ(cn, "a");
    Name escaped(x509_str2subj("/CN=a\\/b\\+c\\\\", MBSTRING_ASC, 1));
    ASSERT_NE(escaped, nullptr);
    X509_NAME_get_text_by_NID(escaped.get(), NID_commonName, cn, sizeof cn);
    EXPECT_STREQ(cn, "a/b+c\\");
    Name plain(x509_str2subj("/CN=a/O=b", MBSTRING_ASC, 1));
    EXPECT_NE(X509_NAME_ENTRY_set(X509_NAME_get_entry(plain.get(), 0)),
              X509_NAME_ENTRY_set(X509_NAME_get_entry(plain.get(), 1)));
}

// ---------------------------------------------------------- asn1_time_to_timestamp

struct TimeCase {
    int type;
    const char *text;
    int y, mo, d, h, mi, s; // y == 0: expect -1
    long offset;            // seconds added to the UTC reading
};

time_t utc(int y, int mo, int d, int h, int mi, int s) {
    struct tm tm {};
    tm.tm_year = y - 1900, tm.tm_mon = mo - 1, tm.tm_mday = d;
    tm.tm_hour = h, tm.tm_min = mi, tm.tm_sec = s;
    return timegm(&tm);
}

TEST(Asn1Time, Table) {
    const int U = V_ASN1_UTCTIME, G = V_ASN1_GENERALIZEDTIME;
    const std::vector<TimeCase> cases = {
        {U, "491231235959Z", 2049, 12, 31, 23, 59, 59, 0},
        {U, "500101000000Z", 1950, 1, 1, 0, 0, 0, 0},
        {U, "991231235959Z", 1999, 12, 31, 23, 59, 59, 0},
        {U, "7001010000Z", 1970, 1, 1, 0, 0, 0, 0},
        {U, "700101000000+0130", 1970, 1, 1, 0, 0, 0, -5400},
        {U, "700101000000-0215", 1970, 1, 1, 0, 0, 0, 8100},
        {U, "7001011200+0100", 1970, 1, 1, 12, 0, 0, -3600},
        {U, "7001011200001", 1970, 1, 1, 12, 0, 0, 0}, // digit at 13: no seconds, no offset
        {U, "700101000060Z", 0, 0, 0, 0, 0, 0, 0},
        {U, "701301000000Z", 0, 0, 0, 0, 0, 0, 0},
        {U, "700100000000Z", 0, 0, 0, 0, 0, 0, 0},
        {U, "700101240000Z", 0, 0, 0, 0, 0, 0, 0},
        {U, "700101006000Z", 0, 0, 0, 0, 0, 0, 0},
        {U, "7001010000X", 0, 0, 0, 0, 0, 0, 0},
        {U, "700101000000X", 0, 0, 0, 0, 0, 0, 0},
        {U, "70010100000", 0, 0, 0, 0, 0, 0, 0},
        {U, "700101000000", 0, 0, 0, 0, 0, 0, 0},
        {U, "700101000000+01", 0, 0, 0, 0, 0, 0, 0},
        {U, "7a0101000000Z", 0, 0, 0, 0, 0, 0, 0},
        {G, "20300101000000Z", 2030, 1, 1, 0, 0, 0, 0},
        {G, "20300101000000.123Z", 2030, 1, 1, 0, 0, 0, 0},
        {G, "20300101000000.5+0200", 2030, 1, 1, 0, 0, 0, -7200},
        {G, "20300101000000.Z", 2030, 1, 1, 0, 0, 0, 0},
        {G, "203001010000Z", 2030, 1, 1, 0, 0, 0, 0},
        {G, "20300101000059-0030", 2030, 1, 1, 0, 0, 59, 1800},
        {G, "203001011200+0100", 2030, 1, 1, 12, 0, 0, -3600},
        {G, "21060207062816Z", 2106, 2, 7, 6, 28, 16, 0},
        {G, "20301301000000Z", 0, 0, 0, 0, 0, 0, 0},
        {G, "20300101000000.12X", 0, 0, 0, 0, 0, 0, 0},
        {G, "20300101000000", 0, 0, 0, 0, 0, 0, 0},
        {G, "203001010000", 0, 0, 0, 0, 0, 0, 0},
        {G, "20300101000061Z", 0, 0, 0, 0, 0, 0, 0},
        {V_ASN1_IA5STRING, "20300101000000Z", 0, 0, 0, 0, 0, 0, 0},
    };
    for (const TimeCase &c : cases) {
        ASN1_STRING *s = ASN1_STRING_type_new(c.type);
        ASN1_STRING_set(s, c.text, -1);
        const time_t want = c.y ? utc(c.y, c.mo, c.d, c.h, c.mi, c.s) + c.offset : (time_t)-1;
        EXPECT_EQ(asn1_time_to_timestamp(s), want) << c.text;
        ASN1_STRING_free(s);
    }
    EXPECT_EQ(asn1_time_to_timestamp(nullptr), -1);
}

TEST(Asn1Time, KnownInstants) {
    ASN1_TIME *t = ASN1_TIME_new();
    ASN1_TIME_set_string(t, "991231235959Z");
    EXPECT_EQ(asn1_time_to_timestamp(t), 946684799);
    // Times OpenSSL writes itself round-trip, in both forms.
    for (time_t v : {(time_t)0, (time_t)946684799, (time_t)2524607999, (time_t)4102444800}) {
        ASN1_TIME_set(t, v);
        EXPECT_EQ(asn1_time_to_timestamp(t), v);
    }
    ASN1_TIME_free(t);
}

} // namespace
