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

} // namespace
