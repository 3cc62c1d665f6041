// The log: masks, the log file, standard error and the shared buffer.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "loglib.h"
#include "testroot.h"

namespace {

using zpmtest::read_file;

class Log : public zpmtest::RootTest {
  protected:
    void TearDown() override {
        log_free(handle);
        RootTest::TearDown();
    }
    std::string path(const char *name) const { return at(std::string("/") + name); }
    s_zpmlog *init(const std::string &file, int level, int sys, int std) {
        testing::internal::CaptureStderr();
        handle = log_init(file.empty() ? nullptr : file.c_str(), level, sys, std, nullptr);
        init_err = testing::internal::GetCapturedStderr();
        return handle;
    }
    std::string write(int level, const char *msg) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(log_write(handle, level, msg), 0);
        return testing::internal::GetCapturedStderr();
    }
    s_zpmlog *handle = nullptr;
    std::string init_err;
};

struct MaskCase {
    int level, sys, std;
    int want_level, want_sys, want_std;
};

TEST_F(Log, MasksFollowTheDefaultRules) {
    const MaskCase cases[] = {
        {0, 3, 7, 7, 3, 7}, {16, 15, 1, 7, 7, 1}, {15, 12, 0, 15, 4, 7},
        {4, 8, 2, 4, 7, 2}, {1, 0, 16, 1, 7, 7},  {7, 9, 8, 7, 1, 8},
    };
    for (const auto &c : cases) {
        s_zpmlog *h = init("", c.level, c.sys, c.std);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(h->loglevel, c.want_level) << c.level;
        EXPECT_EQ(h->sysloglevel, c.want_sys) << c.sys;
        EXPECT_EQ(h->stdloglevel, c.want_std) << c.std;
        EXPECT_EQ(h->loginit, 1);
        EXPECT_EQ(h->logenabled, 0);
        // log_level_new applies the same rules to a handle set otherwise.
        log_level_new(h, 2, 2, 2);
        EXPECT_EQ(h->loglevel, 2);
        log_level_new(h, c.level, c.sys, c.std);
        EXPECT_EQ(h->loglevel, c.want_level) << c.level;
        EXPECT_EQ(h->sysloglevel, c.want_sys) << c.sys;
        EXPECT_EQ(h->stdloglevel, c.want_std) << c.std;
        log_free(h);
        handle = nullptr;
    }
}

TEST_F(Log, InitRecordsTheMasksInTheFile) {
    std::string file = path("zpm.log");
    init(file, 15, 0, 1);
    EXPECT_EQ(init_err, "");
    std::string text = read_file(file);
    const std::regex want("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d Setting log level 15\n"
                          "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d Setting default syslog "
                          "level 7\n"
                          "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d Setting stderr level 1\n");
    EXPECT_TRUE(std::regex_match(text, want)) << text;
    EXPECT_EQ(handle->logenabled, 1);
    EXPECT_STREQ(handle->logfilename, file.c_str());
}

TEST_F(Log, WritesEachDestinationByItsMask) {
    std::string file = path("zpm.log");
    init(file, 0, 3, 7);
    std::string before = read_file(file);
    EXPECT_EQ(write(ZLOG_ERROR, "broken"), "broken\n");
    EXPECT_EQ(write(ZLOG_INFO, "note"), "note\n");
    EXPECT_EQ(write(ZLOG_DEBUG, "hidden"), "");
    std::string added = read_file(file).substr(before.size());
    const std::regex want("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\[ERROR\\] broken\n"
                          "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\[INFO\\] note\n");
    EXPECT_TRUE(std::regex_match(added, want)) << added;
}

TEST_F(Log, LevelNamesAndOddLevels) {
    std::string file = path("zpm.log");
    init(file, 15, 0, 0);
    log_level_new(handle, 15, 0, 8);
    write(ZLOG_WARNING, "w");
    write(ZLOG_DEBUG, "d");
    EXPECT_EQ(write(ZLOG_DEBUG, "dbg"), "dbg\n");
    EXPECT_EQ(write(64, "beyond the table"), "");
    EXPECT_EQ(write(-1, "negative"), "negative\n"); // every bit set: reaches stderr
    std::string text = read_file(file);
    EXPECT_NE(text.find("[WARNING] w\n"), std::string::npos);
    EXPECT_NE(text.find("[DEBUG] d\n"), std::string::npos);
    EXPECT_NE(text.find("[] negative\n"), std::string::npos);
    EXPECT_EQ(text.find("beyond"), std::string::npos);
}

TEST_F(Log, NullHandleWritesToStderr) {
    handle = nullptr;
    EXPECT_EQ(write(ZLOG_DEBUG, "early"), "early\n");
}

TEST_F(Log, LongMessagesAreCut) {
    std::string file = path("zpm.log");
    init(file, 15, 0, 7);
    std::string big(2500, 'm');
    s_zpmlog *saved = zpmlog;
    zpmlog = handle;
    testing::internal::CaptureStderr();
    zlogf(ZLOG_ERROR, "%s", big.c_str());
    std::string err = testing::internal::GetCapturedStderr();
    zpmlog = saved;
    EXPECT_EQ(err, std::string(1999, 'm') + "\n");
    std::string text = read_file(file);
    size_t at = text.find("[ERROR] ");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(text.substr(at + 8), std::string(1900, 'm') + "\n");
}

TEST_F(Log, BadFileNamesTurnTheFileLogOff) {
    std::string name(2000, 'n');
    init(name, 7, 7, 7);
    EXPECT_EQ(init_err, "log file specified too long\n. Logging disabled.\n");
    EXPECT_EQ(handle->logenabled, 0);
    log_free(handle);

    std::string nodir = path("no/such/dir/zpm.log");
    init(nodir, 7, 7, 7);
    EXPECT_EQ(init_err, "Unable to open file: " + nodir + "\n. Logging disabled.");
    EXPECT_EQ(write(ZLOG_ERROR, "x"), "x\n"); // nothing more about the file
    EXPECT_FALSE(zpmtest::exists(nodir));
}

TEST_F(Log, FileNewSwitchesFiles) {
    init("", 7, 0, 0);
    log_level_new(handle, 7, 0, 16);
    std::string other = path("other.log");
    EXPECT_EQ(log_file_new(handle, other.c_str()), 1);
    EXPECT_EQ(handle->logenabled, 1);
    write(ZLOG_WARNING, "moved");
    EXPECT_NE(read_file(other).find("[WARNING] moved\n"), std::string::npos);

    testing::internal::CaptureStderr();
    EXPECT_EQ(log_file_new(handle, path("none/x.log").c_str()), 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "Unable to open file: " + path("none/x.log") + "\n. Logging disabled.");
    EXPECT_EQ(handle->logenabled, 0);

    EXPECT_EQ(log_file_new(handle, other.c_str()), 1);
    EXPECT_EQ(log_file_new(handle, ""), 0);
    EXPECT_EQ(handle->logenabled, 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(log_file_new(handle, std::string(2001, 'n').c_str()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "log file specified too long\n. Logging disabled.\n");
}

TEST_F(Log, FileIsReopenedForEveryMessage) {
    std::string file = path("zpm.log");
    init(file, 7, 0, 0);
    log_level_new(handle, 7, 0, 16);
    write(ZLOG_INFO, "one");
    // Rotation between messages: the next message starts a new file.
    ASSERT_EQ(std::rename(file.c_str(), path("zpm.log.1").c_str()), 0);
    write(ZLOG_INFO, "two");
    EXPECT_NE(read_file(path("zpm.log.1")).find("one"), std::string::npos);
    std::string now = read_file(file);
    EXPECT_NE(now.find("[INFO] two\n"), std::string::npos);
    EXPECT_EQ(now.find("one"), std::string::npos);
}

} // namespace
