// SHA-1 against published vectors and against sha1sum, on both the
// accelerated and the portable block functions; file digest failures.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "sha1.h"
#include "testroot.h"
#include "util.h"

namespace {

using zpmtest::TempDir;
using zpmtest::write_file;

std::string hex(const unsigned char *d, int n) {
    std::string s;
    char b[3];
    for (int i = 0; i < n; i++) {
        snprintf(b, sizeof b, "%02x", d[i]);
        s += b;
    }
    return s;
}

// Digest of data fed in pieces of the given sizes (cycled).
std::string chunked(const std::string &data, const std::vector<size_t> &pieces) {
    SHA1_CTX ctx;
    SHA1Init(&ctx);
    size_t at = 0, k = 0;
    while (at < data.size()) {
        size_t n = std::min(pieces[k++ % pieces.size()], data.size() - at);
        SHA1Update(&ctx, (const unsigned char *)data.data() + at, (uint32_t)n);
        at += n;
    }
    unsigned char d[20];
    SHA1Final(d, &ctx);
    return hex(d, 20);
}

std::string random_bytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto &c : s)
        c = (char)(rng() & 0xff);
    return s;
}

// Runs each test on the accelerated path (when the CPU has one) and on the
// portable one.
class Sha1Paths : public ::testing::TestWithParam<int> {
  protected:
    void SetUp() override {
        was_ = sha1_accel(GetParam());
        if (GetParam() && !sha1_accel(-1))
            GTEST_SKIP() << "no SHA instructions on this CPU";
    }
    void TearDown() override { sha1_accel(was_); }
    int was_ = 0;
};

TEST_P(Sha1Paths, PublishedVectors) {
    const struct {
        std::string in;
        const char *want;
    } cases[] = {
        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
    };
    for (const auto &c : cases) {
        char d[41];
        EXPECT_STREQ(sha1_data(c.in.data(), c.in.size(), 'x', d), c.want);
        EXPECT_EQ(chunked(c.in, {1, 63, 64, 65, 7, 128, 4096}), c.want);
    }
}

TEST_P(Sha1Paths, AgreesWithSha1sumOnManySizes) {
    TempDir dir;
    const std::vector<size_t> sizes = {0,   1,   3,   55,  56,   57,   63,   64,   65,   119,
                                       120, 127, 128, 129, 191,  192,  1000, 4095, 4096, 4097,
                                       8191, 65535, 65536, 65537, 200003};
    unsigned seed = 1;
    for (size_t n : sizes) {
        const std::string f = dir / ("r" + std::to_string(n));
        const std::string data = random_bytes(n, seed++);
        write_file(f, data);
        std::string out;
        ASSERT_EQ(zpmtest::run("sha1sum '" + f + "'", &out), 0);
        char d[41];
        ASSERT_EQ(sha1_file(f.c_str(), 'x', d), d) << n;
        EXPECT_EQ(std::string(d), out.substr(0, 40)) << "size " << n;
        EXPECT_EQ(chunked(data, {n / 3 + 1, 17}), out.substr(0, 40)) << "chunked, size " << n;
    }
}

INSTANTIATE_TEST_SUITE_P(Both, Sha1Paths, ::testing::Values(1, 0),
                         [](const auto &pi) { return pi.param ? "accel" : "portable"; });

TEST(Sha1, TransformIsOneCompressionStep) {
    // "abc" padded by hand into one block: the transform of the initial
    // state must give the published digest.
    unsigned char block[64] = {'a', 'b', 'c', 0x80};
    block[63] = 24;
    SHA1_CTX ctx;
    SHA1Init(&ctx);
    SHA1Transform(ctx.state, block);
    unsigned char d[20];
    for (int i = 0; i < 20; i++)
        d[i] = (unsigned char)(ctx.state[i / 4] >> (24 - 8 * (i % 4)));
    EXPECT_EQ(hex(d, 20), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

TEST(Sha1, BinaryAndTextFormsAgree) {
    TempDir dir;
    write_file(dir / "f", "some content\n");
    char text[41];
    unsigned char bin[21];
    bin[20] = 0xAA; // binary form writes exactly 20 bytes
    ASSERT_NE(sha1_file((dir / "f").c_str(), 'x', text), nullptr);
    ASSERT_NE(sha1_file((dir / "f").c_str(), 'b', (char *)bin), nullptr);
    EXPECT_EQ(hex(bin, 20), text);
    EXPECT_EQ(bin[20], 0xAA);
    EXPECT_EQ(std::strlen(text), 40u);
    char mem[41];
    EXPECT_STREQ(sha1_data("some content\n", 13, 'x', mem), text);
}

TEST(Sha1, FileFailures) {
    TempDir dir;
    char d[41] = "untouched";
    EXPECT_EQ(sha1_file((dir / "missing").c_str(), 'x', d), nullptr);
    // A symbolic link to a directory opens but cannot be read.
    zpmtest::make_dirs(dir / "sub");
    ASSERT_EQ(symlink((dir / "sub").c_str(), (dir / "link").c_str()), 0);
    EXPECT_EQ(sha1_file((dir / "link").c_str(), 'x', d), nullptr);
    EXPECT_EQ(sha1_file(dir.path().c_str(), 'x', d), nullptr);
    // A link to a file is hashed by its content.
    write_file(dir / "target", "abc");
    ASSERT_EQ(symlink((dir / "target").c_str(), (dir / "flink").c_str()), 0);
    EXPECT_STREQ(sha1_file((dir / "flink").c_str(), 'x', d), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

TEST(LastCharIs, Table) {
    const struct {
        const char *s;
        int c;
        bool hit;
    } cases[] = {{"abc/", '/', true}, {"abc", '/', false}, {"/", '/', true},
                 {"", '/', false},    {nullptr, '/', false}, {"a/b", '/', false}};
    for (const auto &c : cases) {
        char *p = last_char_is(c.s, c.c);
        if (c.hit) {
            ASSERT_NE(p, nullptr) << c.s;
            EXPECT_EQ(p, c.s + std::strlen(c.s) - 1);
        } else {
            EXPECT_EQ(p, nullptr) << (c.s ? c.s : "(null)");
        }
    }
}

} // namespace
