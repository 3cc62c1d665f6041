// Hash lists read from a package's hash/<fork>.txt and computed from an
// unpacked fork tree, and the agreement of the two forms.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "ekva.h"
#include "testroot.h"
#include "zpf.h"
#include "zpm.h"

namespace {

using zpmtest::write_file;
using Pairs = std::multiset<std::pair<std::string, std::string>>;

const char *kEmpty = "da39a3ee5e6b4b0d3255bfef95601890afd80709";
const char *kAbc = "a9993e364706816aba3e25717850c26c9cd0d89d";

Pairs pairs_of(s_ekva **e) {
    Pairs p;
    if (!e)
        return p;
    // The first slot is the header entry: capacity 100 (or grown), add mode 3.
    const std::string head = e[0]->key;
    EXPECT_EQ(head.rfind("#EKVA_10:", 0), 0u) << head;
    EXPECT_EQ(head.substr(head.size() - 2), ":3") << head;
    for (int i = 1; e[i]; i++)
        p.insert({e[i]->key, e[i]->val ? e[i]->val : "(null)"});
    return p;
}

class HashList : public zpmtest::RootTest {
  protected:
    void TearDown() override {
        ekva_free(ekva_);
        std::free(subdir_);
        RootTest::TearDown();
    }
    int read_list(const std::string &content, const char *fork = "data") {
        write_file(root() + "/pkg/hash/" + fork + ".txt", content);
        return zpm_zpf_zpk_hashes((root() + "/pkg").c_str(), fork, &ekva_);
    }
    int hash_tree(const std::string &base) { return zpm_zpf_hash_files(base.c_str(), &subdir_, &ekva_); }
    bool logged(const std::string &s) const { return log_text().find(s) != std::string::npos; }
    s_ekva **ekva_ = nullptr;
    char *subdir_ = nullptr;
};

TEST_F(HashList, ReadsPairsWithLeadingSlash) {
    const std::string list = std::string(kEmpty) + ":etc/empty\n\n" + kAbc + ":usr/bin/tool\n" +
                             kEmpty + ":etc/also-empty"; // last line without line feed
    EXPECT_EQ(read_list(list), 0);
    EXPECT_EQ(pairs_of(ekva_),
              (Pairs{{kEmpty, "/etc/empty"}, {kAbc, "/usr/bin/tool"}, {kEmpty, "/etc/also-empty"}}));
    EXPECT_EQ(ekva_cntval(ekva_, kEmpty), 2);
    EXPECT_TRUE(logged(std::string("Adding hash ") + kAbc + " for file /usr/bin/tool"));
}

TEST_F(HashList, MissingListIsNotAnError) {
    EXPECT_EQ(zpm_zpf_zpk_hashes((root() + "/nothing").c_str(), "init", &ekva_), 0);
    EXPECT_EQ(ekva_, nullptr);
    EXPECT_TRUE(logged("zpm_zpf_zpk_hashes: no file: " + root() + "/nothing/hash/init.txt, exiting"));
}

TEST_F(HashList, MalformedLinesStopTheReading) {
    const std::string good = std::string(kAbc) + ":a\n";
    const struct {
        std::string bad;
        const char *why;
    } cases[] = {
        {std::string(kAbc) + ":\n", "41 characters"},
        {std::string(kAbc).substr(0, 39) + ":xx\n", "colon at 40"},
        {std::string(kAbc) + "x" + "yz\n", "no colon at 41"},
        {"short\n", "short line"},
        // 351 characters and a line feed still fit; a longer line is split
        // and its remainder fails the format check.
        {std::string(kAbc) + ":" + std::string(311, 'p') + "\n", "352 characters and a line feed"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.why);
        clear_log();
        ekva_free(ekva_);
        ekva_ = nullptr;
        EXPECT_EQ(read_list(good + c.bad + good), -1);
        EXPECT_TRUE(logged("[ERROR] Line is smaller than 42 bytes, bye"));
        EXPECT_EQ(pairs_of(ekva_).count({kAbc, "/a"}), 1u) << "pairs before the bad line stay";
    }
    ekva_free(ekva_);
    ekva_ = nullptr;
    const std::string longest = std::string(kAbc) + ":" + std::string(310, 'p');
    EXPECT_EQ(read_list(longest + "\n"), 0);
    EXPECT_EQ(pairs_of(ekva_), (Pairs{{kAbc, "/" + std::string(310, 'p')}}));
}

TEST_F(HashList, OverlongListPathFails) {
    EXPECT_EQ(zpm_zpf_zpk_hashes(std::string(250, 'd').c_str(), "data", &ekva_), -1);
    EXPECT_EQ(ekva_, nullptr);
    EXPECT_TRUE(logged("[ERROR] hash list path too long"));
}

TEST_F(HashList, HashesTreeWithRelativeNames) {
    const std::string base = root() + "/data";
    write_file(base + "/a", "abc");
    write_file(base + "/d/b", "");
    write_file(base + "/d/e/c", "abc");
    ASSERT_EQ(symlink("../a", (base + "/d/alink").c_str()), 0);
    EXPECT_EQ(hash_tree(base), 0);
    ASSERT_NE(subdir_, nullptr);
    EXPECT_STREQ(subdir_, "");
    EXPECT_EQ(pairs_of(ekva_), (Pairs{{kAbc, "/a"}, {kEmpty, "/d/b"}, {kAbc, "/d/e/c"}, {kAbc, "/d/alink"}}));
    EXPECT_TRUE(logged(std::string("Adding hash ") + kEmpty + " for file /d/b"));
}

TEST_F(HashList, TreeAgreesWithListWrittenBySha1sum) {
    const std::string base = root() + "/pkg/data";
    for (int i = 0; i < 150; i++) // more than the array's first capacity
        write_file(base + "/dir" + std::to_string(i % 7) + "/f" + std::to_string(i), std::to_string(i % 40));
    const std::string list = root() + "/pkg/hash/data.txt";
    zpmtest::make_dirs(root() + "/pkg/hash");
    ASSERT_EQ(zpmtest::run("cd '" + base + "' && find . -type f | sed 's|^\\./||' | xargs sha1sum | "
                           "sed 's|  |:|' > '" + list + "'"), 0);
    s_ekva **from_list = nullptr;
    ASSERT_EQ(zpm_zpf_zpk_hashes((root() + "/pkg").c_str(), "data", &from_list), 0);
    EXPECT_EQ(hash_tree(base), 0);
    EXPECT_EQ(ekva_nument(ekva_), 150);
    EXPECT_EQ(pairs_of(ekva_), pairs_of(from_list));
    ekva_free(from_list);
}

TEST_F(HashList, MissingBaseLeavesArrayUntouched) {
    EXPECT_EQ(hash_tree(root() + "/no-such-fork"), 0);
    EXPECT_EQ(ekva_, nullptr);
    EXPECT_TRUE(logged("no directory " + root() + "/no-such-fork under "));
}

TEST_F(HashList, AddsToAnExistingArray) {
    ekva_ = ekva_new(100, 3);
    ekva_addval(&ekva_, "k", "/earlier", 0);
    write_file(root() + "/t/x", "abc");
    EXPECT_EQ(hash_tree(root() + "/t"), 0);
    EXPECT_EQ(pairs_of(ekva_), (Pairs{{"k", "/earlier"}, {kAbc, "/x"}}));
}

TEST_F(HashList, TreeFailures) {
    // A plain file where the directory should be.
    write_file(root() + "/file", "x");
    EXPECT_EQ(hash_tree(root() + "/file"), -1);
    // A link to a directory is not descended into, and cannot be hashed.
    write_file(root() + "/t1/real/x", "abc");
    ASSERT_EQ(symlink("real", (root() + "/t1/dirlink").c_str()), 0);
    std::free(subdir_);
    subdir_ = nullptr;
    EXPECT_EQ(hash_tree(root() + "/t1"), -1);
    EXPECT_TRUE(logged("[ERROR] failed to generate sha1 of " + root() + "/t1//dirlink"));
}

// Nothing but a regular file of the fork is read: a link leading out of the
// fork, to a device or in a loop, and a FIFO, fail at once instead of
// reading for ever or blocking.
TEST_F(HashList, WalkReadsOnlyRegularFilesOfTheFork) {
    write_file(root() + "/secret", "abc");
    const struct {
        const char *what;
        std::function<void(const std::string &)> plant;
        const char *why;
    } cases[] = {
        {"link to /dev/zero",
         [](const std::string &b) { symlink("/dev/zero", (b + "/z").c_str()); },
         "points outside the package"},
        {"link out of the fork",
         [](const std::string &b) { symlink("../secret", (b + "/z").c_str()); },
         "points outside the package"},
        {"link loop", [](const std::string &b) { symlink("z", (b + "/z").c_str()); },
         "goes through too many symbolic links"},
        {"fifo", [](const std::string &b) { mkfifo((b + "/z").c_str(), 0644); },
         "is not a regular file"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string base = root() + "/w";
        std::filesystem::remove_all(base);
        write_file(base + "/a", "abc");
        c.plant(base);
        std::free(subdir_);
        subdir_ = nullptr;
        ekva_free(ekva_);
        ekva_ = nullptr;
        EXPECT_EQ(hash_tree(base), -1);
        EXPECT_TRUE(logged(base + "//z " + c.why));
    }
}

TEST_F(HashList, OverlongNamesFailCleanly) {
    const std::string base = root() + "/long";
    std::string rel;
    for (int i = 0; i < 5; i++) // five levels of 60 characters: over 256 in all
        rel += "/" + std::string(60, (char)('a' + i));
    write_file(base + rel, "abc");
    EXPECT_EQ(hash_tree(base), -1);
    EXPECT_TRUE(logged("too long"));
    EXPECT_FALSE(logged("Adding hash"));
}

} // namespace
