// Configuration file reader, line splitter and cleaners.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ekva.h"
#include "testroot.h"
#include "zpmconf.h"

namespace {

using zpmtest::write_file;

struct Split {
    std::string key, val;
};

Split split(const std::string &line) {
    std::vector<char> l(line.begin(), line.end()), k(line.size() + 1), v(line.size() + 1);
    l.push_back('\0');
    _split_line(l.data(), k.data(), v.data());
    return {k.data(), v.data()};
}

struct SplitCase {
    const char *line;
    const char *key;
    const char *val;
};

TEST(SplitLine, KeysValuesAndQuotes) {
    const SplitCase cases[] = {
        {"  log level = 3", "log", "3"},
        {"key = \"a b\" # x", "key", "a b"},
        {"key = a b # x", "key", "a b # x"},
        {"key = 'it\\'s'", "key", "it's"},
        {"key = \"open", "key", "open"},
        {"key = \"open  ", "key", "open  "},             // unterminated: nothing trimmed
        {"key = 'mixed\" rest", "key", "mixed"},         // either quote closes
        {"key = \"a\\\"b\\\"\"", "key", "a\"b\""},       // escaped quotes of the other kind
        {"key = \"back\\slash\"", "key", "back\\slash"}, // only quotes are escaped
        {"key = \"\"", "key", ""},
        {"key = a\"b'", "key", "a\"b'"}, // unquoted keeps quotes
        {"a=b=c", "a", "b=c"},
        {"novalue=", "novalue", ""},
        {"=orphan", "", "orphan"},
        {"no equals here", "", ""},
        {"\tk\t=\tv\t", "k", "v\t"}, // tabs are not trimmed at the end
        {"k=v\r", "k", "v\r"},
    };
    for (const auto &c : cases) {
        testing::internal::CaptureStderr();
        Split s = split(c.line);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(s.key, c.key) << c.line;
        EXPECT_EQ(s.val, c.val) << c.line;
    }
}

TEST(SplitLine, TrailingSpacesAreReportedOneByOne) {
    testing::internal::CaptureStderr();
    Split s = split("key=value   ");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(s.val, "value");
    EXPECT_EQ(err, "Remove trailing space in <value   >\n"
                   "Removed trailing space: <value  >\n"
                   "Remove trailing space in <value  >\n"
                   "Removed trailing space: <value >\n"
                   "Remove trailing space in <value >\n"
                   "Removed trailing space: <value>\n");
}

TEST(Cleaners, EmptyStringsAreLeftAlone) {
    char k[1] = "", v[1] = "";
    _clean_key(k);
    _clean_val(v);
    EXPECT_STREQ(k, "");
    EXPECT_STREQ(v, "");
}

class ZpmConf : public zpmtest::RootTest {
  protected:
    void TearDown() override {
        ekva_free(conf);
        RootTest::TearDown();
    }
    // Reads the file and returns what went to standard error.
    std::string read(const std::string &path) {
        testing::internal::CaptureStderr();
        conf = zpmconf_read(conf, path.c_str());
        return testing::internal::GetCapturedStderr();
    }
    std::string file(const std::string &rel, const std::string &text) {
        std::string p = at("/etc/" + rel);
        write_file(p, text);
        return p;
    }
    s_ekva **conf = nullptr;
};

TEST_F(ZpmConf, LaterKeysReplaceEarlierOnesWithoutCase) {
    std::string p = file("zpm.conf", "zpm_loglevel=15\nother = x\nZPM_LOGLEVEL=3\n");
    read(p);
    ASSERT_NE(conf, nullptr);
    EXPECT_STREQ(conf[0]->key, "#EKVA_10:1024:2");
    EXPECT_EQ(ekva_nument(conf), 2);
    EXPECT_STREQ(conf[1]->key, "zpm_loglevel");
    EXPECT_STREQ(ekva_getval(conf, "zpm_loglevel"), "3");
}

TEST_F(ZpmConf, MissingFileAndNullName) {
    std::string err = read(at("/etc/none.conf"));
    EXPECT_EQ(conf, nullptr);
    EXPECT_EQ(err, "Failed to open <" + at("/etc/none.conf") + ">: No such file or directory\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(zpmconf_read(nullptr, nullptr), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "No config file specified\n");
}

TEST_F(ZpmConf, LineEndsAndOddLines) {
    std::string p = file("zpm.conf", "dos=1\r\n"
                                     "#comment line\n"
                                     "#hashed=kept\n"
                                     "\n"
                                     "   \n"
                                     "=nokey\n"
                                     "last=no newline");
    read(p);
    ASSERT_NE(conf, nullptr);
    EXPECT_STREQ(ekva_getval(conf, "dos"), "1\r");
    EXPECT_STREQ(ekva_getval(conf, "#hashed"), "kept");
    EXPECT_STREQ(ekva_getval(conf, "last"), "no newline");
    EXPECT_EQ(ekva_nument(conf), 3);
}

TEST_F(ZpmConf, IncludeLines) {
    file("other.conf", "zpc_backend=other.so\nshared=from other\n");
    std::string inc = at("/etc/other.conf");
    std::string p = file("zpm.conf", "shared=first\n"
                                     "INCLUDE " +
                                         inc +
                                         "\n"
                                         "include\t" +
                                         inc +
                                         "\n"             // tab: ignored
                                         "include /a=b\n" // a key line
                                         "after=1\n");
    read(p);
    ASSERT_NE(conf, nullptr);
    EXPECT_STREQ(ekva_getval(conf, "zpc_backend"), "other.so");
    EXPECT_STREQ(ekva_getval(conf, "shared"), "from other");
    EXPECT_STREQ(ekva_getval(conf, "include"), "b");
    EXPECT_STREQ(ekva_getval(conf, "after"), "1");
    EXPECT_EQ(ekva_nument(conf), 4);
}

TEST_F(ZpmConf, IncludeNameIsCleanedLikeAValue) {
    file("quoted name.conf", "q=1\n");
    std::string p = file("zpm.conf", "include   \"" + at("/etc/quoted name.conf") + "\" tail\n");
    read(p);
    EXPECT_STREQ(ekva_getval(conf, "q"), "1");
}

TEST_F(ZpmConf, MissingIncludeIsReportedAndReadingGoesOn) {
    std::string p = file("zpm.conf", "before=1\ninclude " + at("/etc/gone.conf") + "\nafter=2\n");
    std::string err = read(p);
    ASSERT_NE(conf, nullptr);
    EXPECT_STREQ(ekva_getval(conf, "before"), "1");
    EXPECT_STREQ(ekva_getval(conf, "after"), "2");
    EXPECT_EQ(err, "Failed to open <" + at("/etc/gone.conf") + ">: No such file or directory\n");
}

TEST_F(ZpmConf, IncludeLoopsEndWithAMessage) {
    // A file including itself several times, and a loop over two files.
    std::string self = at("/etc/self.conf");
    file("self.conf", "a=1\ninclude " + self + "\ninclude " + self + "\nb=2\n");
    std::string err = read(self);
    ASSERT_NE(conf, nullptr);
    EXPECT_STREQ(ekva_getval(conf, "b"), "2");
    EXPECT_NE(err.find("already being read"), std::string::npos) << err;
    ekva_free(conf);
    conf = nullptr;
    file("x.conf", "x=1\ninclude " + at("/etc/y.conf") + "\n");
    file("y.conf", "y=1\ninclude " + at("/etc/x.conf") + "\n");
    err = read(at("/etc/x.conf"));
    EXPECT_STREQ(ekva_getval(conf, "y"), "1");
    EXPECT_NE(err.find("already being read"), std::string::npos) << err;
}

TEST_F(ZpmConf, DeepIncludeChainsAreCut) {
    for (int i = 0; i < 30; i++)
        file("c" + std::to_string(i) + ".conf", "k" + std::to_string(i) + "=v\ninclude " +
                                                    at("/etc/c" + std::to_string(i + 1) + ".conf") +
                                                    "\n");
    std::string err = read(at("/etc/c0.conf"));
    ASSERT_NE(conf, nullptr);
    EXPECT_STREQ(ekva_getval(conf, "k15"), "v");
    EXPECT_EQ(ekva_getval(conf, "k16"), nullptr);
    EXPECT_EQ(err,
              "Include nesting deeper than 16 levels, skipping <" + at("/etc/c16.conf") + ">\n");
}

TEST_F(ZpmConf, IncludeOfADeviceIsRefused) {
    std::string p = file("zpm.conf", "a=1\ninclude /dev/zero\nb=2\n");
    std::string err = read(p);
    EXPECT_STREQ(ekva_getval(conf, "b"), "2");
    EXPECT_EQ(err, "Failed to open </dev/zero>: Not a regular file\n");
}

TEST_F(ZpmConf, AtMost1023Entries) {
    std::string text;
    for (int i = 0; i < 1100; i++)
        text += "key" + std::to_string(i) + "=" + std::to_string(i) + "\n";
    std::string err = read(file("zpm.conf", text));
    ASSERT_NE(conf, nullptr);
    EXPECT_EQ(ekva_nument(conf), 1023);
    EXPECT_STREQ(ekva_getval(conf, "key1022"), "1022");
    EXPECT_EQ(ekva_getval(conf, "key1023"), nullptr);
    std::string line = "Maximum of 1024 entires reached\n";
    size_t n = 0;
    for (size_t pos = 0; (pos = err.find(line, pos)) != std::string::npos; pos += line.size())
        n++;
    EXPECT_EQ(n, 77u);
    EXPECT_EQ(err.size(), n * line.size());
}

TEST_F(ZpmConf, ReadsIntoTheCallersTable) {
    conf = ekva_new(2, 2);
    ekva_addval(&conf, "vote", "1", 2);
    std::string p = file("zpm.conf", "a=1\nb=2\nc=3\nVOTE=2\n");
    read(p);
    ASSERT_NE(conf, nullptr);
    EXPECT_EQ(ekva_nument(conf), 4);
    EXPECT_STREQ(ekva_getval(conf, "vote"), "2");
    // Full at four entries: the replacing add still doubles the capacity.
    EXPECT_STREQ(conf[0]->key, "#EKVA_10:8:2");
}

TEST_F(ZpmConf, HostileContentDoesNotCrash) {
    std::string longval(200000, 'x');
    std::string text = "long=" + longval + "\n";
    text += std::string("nul=a\0b\n", 8);
    text += "bin=\xff\xfe\x01\x02\n";
    text += "quote='\\\\'\n"; // backslash backslash quote
    read(file("zpm.conf", text));
    ASSERT_NE(conf, nullptr);
    EXPECT_EQ(strlen(ekva_getval(conf, "long")), longval.size());
    EXPECT_STREQ(ekva_getval(conf, "nul"), "a");
    EXPECT_STREQ(ekva_getval(conf, "bin"), "\xff\xfe\x01\x02");
    EXPECT_STREQ(ekva_getval(conf, "quote"), "\\'");
}

} // namespace
