// LDIF reader and writer, and base64.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ldiflib.h"
#include "testroot.h"

namespace {

struct Line {
    bool ok = false;
    std::string attr, value;
    int len = -1, type = -1;
    size_t next = 0; // offset of the next line
};

// Parses the first logical line of text.
Line parse(const std::string &text) {
    std::vector<char> buf(text.begin(), text.end());
    buf.push_back('\0');
    Line l;
    char *attr = nullptr, *value = nullptr;
    char *next = ldif_parse(buf.data(), int(buf.size()), &attr, &value, &l.len, &l.type);
    l.ok = next != nullptr;
    if (l.ok) {
        l.attr = attr;
        l.value.assign(value, size_t(l.len));
        l.next = size_t(next - buf.data());
    }
    free(attr);
    free(value);
    return l;
}

struct ParseCase {
    const char *text;
    const char *attr;
    std::string value;
    int type;
    size_t next;
};

TEST(LdifParse, OneLogicalLine) {
    const ParseCase cases[] = {
        {"a: b\n", "a", "b", 0, 5},
        {"a:b\n", "a", "", 0, 4}, // the character after the colon is skipped
        {"a:xyz", "a", "yz", 0, 5},
        {"a: x: y\n", "a", "x: y", 0, 8},
        {"a:: aGVsbG8=\n", "a", "hello", 1, 13},
        {"a: one\n two\nb: c\n", "a", "onetwo", 0, 12},
        {"a: one\n  two\n", "a", "one two", 0, 13}, // only one space is a fold
        {"a: one\n\ttwo\n", "a", "one", 0, 7},      // a tab is not a fold
        {"a: one\r\n", "a", "one", 0, 8},
        {"a: one\r", "a", "one", 0, 7},
        {"a: x\r\n y\n", "a", "x\ry", 0, 9}, // \r before a fold stays
        {"a: last", "a", "last", 0, 7},
        {"#x comment\nb: c\n", "#", "#", 0, 11},
        {"\nb: c\n", "", "", 0, 1},
        {"\r\nb: c\n", "", "", 0, 2},
        {"no colon here\n", "no colon here", "", 0, 14},
        {"ezpkName;lang-en: Zpm\n", "ezpkName;lang-en", "Zpm", 0, 22},
        {"a:\n", "a", "", 0, 3},
        {"a: \n", "a", "", 0, 4},
    };
    for (const auto &c : cases) {
        Line l = parse(c.text);
        ASSERT_TRUE(l.ok) << c.text;
        EXPECT_EQ(l.attr, c.attr) << c.text;
        EXPECT_EQ(l.value, c.value) << c.text;
        EXPECT_EQ(l.len, int(c.value.size())) << c.text;
        EXPECT_EQ(l.type, c.type) << c.text;
        EXPECT_EQ(l.next, c.next) << c.text;
    }
}

TEST(LdifParse, NoLine) {
    const char *cases[] = {"", "a:: \n", "a::\n", "a:: !!!!\n", "a:: aGVsbG8\n", "a:: ====\n"};
    for (const char *c : cases)
        EXPECT_FALSE(parse(c).ok) << c;
    char *attr = reinterpret_cast<char *>(1), *value = nullptr;
    int len = 7, type = 7;
    EXPECT_EQ(ldif_parse(nullptr, 10, &attr, &value, &len, &type), nullptr);
    EXPECT_EQ(attr, nullptr);
    EXPECT_EQ(type, 0);
}

TEST(LdifParse, WalksToTheEndAndStops) {
    char text[] = "a: 1\nb: 2";
    char *p = text, *attr, *value;
    int len, type, lines = 0;
    while ((p = ldif_parse(p, int(sizeof text), &attr, &value, &len, &type))) {
        lines++;
        free(attr);
        free(value);
    }
    EXPECT_EQ(lines, 2);
}

TEST(LdifParse, BinaryValuesKeepEmbeddedNuls) {
    Line l = parse("bin:: AAEC/w==\n");
    ASSERT_TRUE(l.ok);
    EXPECT_EQ(l.type, 1);
    EXPECT_EQ(l.value, std::string("\x00\x01\x02\xff", 4));
}

class LdifFiles : public zpmtest::RootTest {};

TEST_F(LdifFiles, FileReferences) {
    std::string path = at("/ref.bin");
    zpmtest::write_file(path, std::string("da\0ta", 5));
    const std::string lines[] = {"a:< file://" + path + "\n", "a:< " + path + "\n",
                                 "a;binary: " + path + "\n"};
    for (const auto &text : lines) {
        Line l = parse(text);
        ASSERT_TRUE(l.ok) << text;
        EXPECT_EQ(l.type, 1) << text;
        EXPECT_EQ(l.value, std::string("da\0ta", 5)) << text;
    }
    // Unreadable, missing and endless sources give an empty binary value.
    for (std::string bad : {at("/missing"), root(), std::string("/dev/zero")}) {
        Line l = parse("a:< file://" + bad + "\n");
        ASSERT_TRUE(l.ok) << bad;
        EXPECT_EQ(l.type, 1);
        EXPECT_EQ(l.len, 0);
    }
}

TEST_F(LdifFiles, ReadFile) {
    std::string path = at("/desc.txt");
    zpmtest::write_file(path, "ezpkName: zpm\n");
    int n = -1;
    char *buf = _read_file(path.c_str(), &n);
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(n, 14);
    EXPECT_EQ(std::string(buf, 14), "ezpkName: zpm\n");
    free(buf);
    zpmtest::write_file(path, "");
    buf = _read_file(path.c_str(), &n);
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(n, 0);
    free(buf);
    n = 5;
    EXPECT_EQ(_read_file(at("/nothing").c_str(), &n), nullptr);
    EXPECT_EQ(n, 0);
}

// ---------------------------------------------------------------- writer

std::string write_one(const char *attr, const std::string &value, int type) {
    int len = 0;
    char *buf = ldif_write(nullptr, &len, attr, value.data(), int(value.size()), type);
    EXPECT_NE(buf, nullptr);
    if (!buf)
        return "";
    std::string out(buf, size_t(len));
    EXPECT_EQ(strlen(buf), size_t(len));
    free(buf);
    return out;
}

struct WriteCase {
    const char *attr;
    std::string value;
    int type;
    std::string expected;
};

TEST(LdifWrite, PlainBase64AndFolding) {
    const std::string v74(74, 'v'), v75(75, 'v');
    const WriteCase cases[] = {
        {"a", "b", 0, "a: b\n"},
        {"a", "", 0, "a: \n"},
        {"a", "trailing ", 0, "a: trailing \n"},
        {"a", "tab\there", 0, "a: tab\there\n"},
        {"a", " lead", 0, "a:: IGxlYWQ=\n"},
        {"a", ":x", 0, "a:: Ong=\n"},
        {"a", "<x", 0, "a:: PHg=\n"},
        {"a", "l1\nl2", 0, "a:: bDEKbDI=\n"},
        {"a", "cr\r", 0, "a:: Y3IN\n"},
        {"a", "caf\xc3\xa9", 0, "a:: Y2Fmw6k=\n"},
        {"a", "hello", 1, "a:: aGVsbG8=\n"},
        {"x", v74, 0, "x: " + v74 + "\n"},
        {"x", v75, 0, "x: " + std::string(74, 'v') + "\n v\n"},
        {nullptr, "ignored", 0, "\n"},
        {"", "ignored", 0, "\n"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(write_one(c.attr, c.value, c.type), c.expected) << c.value;
}

TEST(LdifWrite, LongValuesFoldAt77) {
    std::string value(300, 'q');
    std::string out = write_one("ezpkDescription", value, 0);
    size_t start = 0, lines = 0;
    while (start < out.size()) {
        size_t nl = out.find('\n', start);
        ASSERT_NE(nl, std::string::npos);
        EXPECT_LE(nl - start, 77u);
        EXPECT_EQ(out[start] == ' ', lines > 0);
        start = nl + 1;
        lines++;
    }
    EXPECT_EQ(out.substr(0, out.find('\n')).size(), 77u);
    EXPECT_EQ(lines, 5u); // 60 + 76 + 76 + 76 + 12
    Line l = parse(out);
    EXPECT_EQ(l.value, value);
}

TEST(LdifWrite, AppendsToAGrowingBuffer) {
    int len = 0;
    char *buf = ldif_write(nullptr, &len, "dn", "pkg", 3, 0);
    buf = ldif_write(buf, &len, "ezpkName", "zpm", 3, 0);
    buf = ldif_write(buf, &len, nullptr, nullptr, 0, 0);
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(std::string(buf), "dn: pkg\nezpkName: zpm\n\n");
    EXPECT_EQ(len, 23);
    free(buf);
}

TEST(LdifWrite, RoundTripsEveryKindOfValue) {
    std::string bytes;
    for (int i = 0; i < 256; i++)
        bytes.push_back(char(i));
    const struct {
        std::string value;
        int type;
    } cases[] = {{bytes, 1}, {std::string(500, 'z'), 0},    {" leading", 0}, {"multi\nline\n", 0},
                 {"x", 1},   {std::string(1000, '\xe9'), 0}};
    for (const auto &c : cases) {
        std::string text = write_one("someAttributeName", c.value, c.type);
        Line l = parse(text);
        ASSERT_TRUE(l.ok);
        EXPECT_EQ(l.attr, "someAttributeName");
        EXPECT_EQ(l.value, c.value);
        EXPECT_EQ(l.next, text.size());
    }
}

TEST(LdifWrite, LongNamesStillRoundTrip) {
    std::string name(90, 'n');
    std::string text = write_one(name.c_str(), "value", 0);
    Line l = parse(text);
    EXPECT_EQ(l.attr, name);
    EXPECT_EQ(l.value, "value");
}

TEST(LdifWrite, FwriteCountsCharacters) {
    char *mem = nullptr;
    size_t size = 0;
    FILE *f = open_memstream(&mem, &size);
    EXPECT_EQ(ldif_fwrite(f, "a", "b", 99, 0), 5); // text ignores len_value
    EXPECT_EQ(ldif_fwrite(f, "c", "\x01\x02", 2, 1), 9);
    fclose(f);
    EXPECT_EQ(std::string(mem, size), "a: b\nc:: AQI=\n");
    free(mem);
}

// ------------------------------------------------------- attribute lookup

struct Fetched {
    int len;
    bool found;
    std::string value;
};

Fetched get_attr(std::string text, const char *attr, int seq) {
    char *v = reinterpret_cast<char *>(1);
    int len = _ldif_get_attr(text.data(), int(text.size()), attr, &v, seq);
    Fetched f{len, v != nullptr, v ? std::string(v, size_t(len)) : ""};
    free(v);
    return f;
}

const std::string kDesc = "dn: ezpkName=zpm\n"
                          "# a comment\n"
                          "ezpkName: zpm\n"
                          "ezpkDep: libarchive\n"
                          "EZPKDEP: openssl\n"
                          "ezpkDesc:: aGVsbG8=\n"
                          "ezpkEmpty:\n"
                          "dn: another\n"
                          "\n"
                          "ezpkLater: hidden\n";

TEST(LdifAttr, CountsAndFetchesInTheFirstEntry) {
    std::string text = kDesc;
    int size = int(text.size());
    EXPECT_EQ(_ldif_count_attr(text.data(), size, "ezpkdep"), 2);
    EXPECT_EQ(_ldif_count_attr(text.data(), size, "dn"), 0);
    EXPECT_EQ(_ldif_count_attr(text.data(), size, "ezpkLater"), 0);
    EXPECT_EQ(_ldif_count_attr(text.data(), size, "#"), 0);

    const struct {
        const char *attr;
        int seq;
        bool found;
        std::string value;
    } cases[] = {
        {"EZPKNAME", 1, true, "zpm"},
        {"ezpkDep", 1, true, "libarchive"},
        {"ezpkDep", 2, true, "openssl"},
        {"ezpkDep", 3, false, ""},
        {"ezpkDep", 0, false, ""},
        {"ezpkDesc", 1, true, "hello"},
        {"ezpkEmpty", 1, true, ""},
        {"ezpkLater", 1, false, ""},
        {"dn", 1, false, ""},
        {"absent", 1, false, ""},
    };
    for (const auto &c : cases) {
        Fetched f = get_attr(kDesc, c.attr, c.seq);
        EXPECT_EQ(f.found, c.found) << c.attr << " " << c.seq;
        EXPECT_EQ(f.value, c.value) << c.attr << " " << c.seq;
        EXPECT_EQ(f.len, int(c.value.size())) << c.attr;
    }
}

TEST(LdifAttr, TextStartingWithAnEmptyLineHasNoAttributes) {
    EXPECT_FALSE(get_attr("\nezpkName: zpm\n", "ezpkName", 1).found);
    EXPECT_TRUE(get_attr("# c\n#d\nezpkName: zpm\n", "ezpkName", 1).found);
}

TEST(LdifAttr, UnreadableFirstLineIsReported) {
    testing::internal::CaptureStderr();
    Fetched f = get_attr("", "ezpkName", 1);
    std::string text = "a:: !!\nb: c\n";
    int n = _ldif_count_attr(text.data(), int(text.size()), "b");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(f.found);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(err, "Failed to parse job bufferFailed to parse job buffer");
    // A later bad line only ends the scan.
    testing::internal::CaptureStderr();
    text = "b: 1\na:: !!\nb: 2\n";
    EXPECT_EQ(_ldif_count_attr(text.data(), int(text.size()), "b"), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(LdifAttr, SmallBufsizeIsHarmless) {
    std::string text = "ezpkName: " + std::string(5000, 'n') + "\n";
    char *v = nullptr;
    int len = _ldif_get_attr(text.data(), 10, "ezpkName", &v, 1);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(len, 5000);
    free(v);
}

// ------------------------------------------------------------------ entries

TEST(LdifEntry, ExtractsEntriesStartingWithDn) {
    std::string text = "version: 1\n"
                       "dn: one\n"
                       "a: long\n value\n"
                       "b: 2\r\n"
                       "\n"
                       "dn: two\n"
                       "c: 3";
    char *p = text.data(), *entry = nullptr;
    int len = 0;
    p = ldif_get_entry(p, int(text.size()), &entry, &len);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(std::string(entry), "dn: one\na: longvalue\nb: 2\n");
    EXPECT_EQ(len, int(strlen(entry)));
    EXPECT_EQ(*p, 'd');
    free(entry);
    p = ldif_get_entry(p, int(text.size()), &entry, &len);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(std::string(entry), "dn: two\nc: 3\n");
    EXPECT_EQ(*p, '\0');
    free(entry);
    EXPECT_EQ(ldif_get_entry(p, int(text.size()), &entry, &len), nullptr);
    EXPECT_EQ(entry, nullptr);
}

TEST(LdifEntry, EmptyLineBeforeAnyDnEndsTheCall) {
    std::string text = "a: 1\n\ndn: x\n";
    char *entry = reinterpret_cast<char *>(1);
    int len = 9;
    char *p = ldif_get_entry(text.data(), int(text.size()), &entry, &len);
    EXPECT_EQ(entry, nullptr);
    EXPECT_EQ(len, 0);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p - text.data(), 6);
}

// ------------------------------------------------------------------- base64

TEST(Base64, EncodesKnownVectors) {
    const struct {
        const char *in, *out;
    } cases[] = {{"", ""},
                 {"f", "Zg=="},
                 {"fo", "Zm8="},
                 {"foo", "Zm9v"},
                 {"foob", "Zm9vYg=="},
                 {"fooba", "Zm9vYmE="},
                 {"foobar", "Zm9vYmFy"}};
    for (const auto &c : cases) {
        char out[32];
        int n = lutil_b64_ntop(reinterpret_cast<const unsigned char *>(c.in), strlen(c.in), out,
                               sizeof out);
        EXPECT_EQ(n, int(strlen(c.out)));
        EXPECT_STREQ(out, c.out);
        unsigned char back[32];
        EXPECT_EQ(lutil_b64_pton(c.out, back, sizeof back), int(strlen(c.in)));
        EXPECT_EQ(std::string(reinterpret_cast<char *>(back), strlen(c.in)), c.in);
    }
    char tiny[8];
    EXPECT_EQ(lutil_b64_ntop(reinterpret_cast<const unsigned char *>("foobar"), 6, tiny, 8), -1);
    EXPECT_EQ(lutil_b64_ntop(reinterpret_cast<const unsigned char *>("foobar"), 6, tiny, 9 - 1),
              -1);
}

TEST(Base64, DecoderRules) {
    const struct {
        const char *in;
        int result;
    } cases[] = {
        {"Zm9v YmFy", 6}, {" Zm\n9v\t", 3}, {"Zg==  \n", 1}, {"Zg= =", 1},  {"Zg=", -1},
        {"Zg", -1},       {"Z===", -1},     {"====", -1},    {"Zg==x", -1}, {"Zh==", -1},
        {"Zm9=", -1},     {"Zm8=Zm8=", -1}, {"Zm9v!", -1},   {"", 0},       {"   ", 0},
    };
    for (const auto &c : cases) {
        unsigned char out[16];
        EXPECT_EQ(lutil_b64_pton(c.in, out, sizeof out), c.result) << c.in;
    }
    unsigned char small[2];
    EXPECT_EQ(lutil_b64_pton("Zm9v", small, sizeof small), -1);
    EXPECT_EQ(lutil_b64_pton("Zm8=", small, sizeof small), 2);
}

} // namespace

// The one-pass reader of an entry hands out exactly what a scan per value
// does: folds, base64, case, "dn" and comments, the end at the first empty
// line and at an undecodable line, a text that starts with an empty line.
TEST(LdifEntry, AgreesWithTheScanPerValue) {
    const std::string texts[] = {
        "dn: x\nezpkDependency: a\nEZPKDEPENDENCY: b\nezpkDependency:: Yw==\n#c\nezpkName: n\n "
        "ame\n\nezpkDependency: after-blank\n",
        "ezpkDependency: a\nezpkDependency:: !!\nezpkDependency: after-bad\n",
        "\nezpkName: x\n",
        "ezpkName:\r\nezpkDependency: a\r\nezpkDependency:\n",
        "dn: ezpkUid=x\nDN: counted\nezpkRsaSigData:: AAECAw==\n",
    };
    testing::internal::CaptureStderr();
    for (std::string t : texts) {
        const zpm::ldif::Entry entry(t.data(), int(t.size()));
        for (const char *attr :
             {"ezpkDependency", "ezpkName", "dn", "DN", "#", "ezpkRsaSigData", "missing"}) {
            SCOPED_TRACE(t + " / " + attr);
            const int n = _ldif_count_attr(t.data(), int(t.size()), attr);
            EXPECT_EQ(entry.count(attr), n);
            for (int seq = 0; seq <= n + 1; seq++) {
                char *v = nullptr;
                int len = _ldif_get_attr(t.data(), int(t.size()), attr, &v, seq);
                const std::string *got = entry.get(attr, seq);
                ASSERT_EQ(got != nullptr, v != nullptr) << seq;
                if (v) {
                    EXPECT_EQ(*got, std::string(v, size_t(len))) << seq;
                }
                free(v);
            }
        }
    }
    testing::internal::GetCapturedStderr();
}
