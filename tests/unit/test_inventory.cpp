// Inventory store: opening, the lock, listings, owner search, file lists and
// the install log, against an inventory laid out by hand in a temporary root.
#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "arr.h"
#include "catalogue.h"
#include "inventory.h"
#include "loglib.h"
#include "paths.h"
#include "testroot.h"
#include "zpk.h"
#include "zpm.h"

using namespace zpmtest;

namespace {

class InventoryTest : public RootTest {
  protected:
    void SetUp() override {
        RootTest::SetUp();
        make_dirs(zpm::paths::installed_dir());
        make_dirs(zpm::paths::fileindex_dir());
        write_file(zpm::paths::conf_file(), "arch_name = x86_64\ndist_name = zorvek\n");
    }
    std::string inst_dir(const std::string &name) {
        return zpm::paths::installed_dir() + "/" + name;
    }
    void install(const std::string &name, const std::string &version = "1.0",
                 const std::string &variant = "") {
        std::string desc = "ezpmVersion: 1.0\nezpkName: " + name + "\n";
        if (!variant.empty())
            desc += "ezpkVariant: " + variant + "\n";
        desc += "ezpkVersion: " + version + "\nezpkArchitecture: any\n";
        write_file(inst_dir(name) + "/desc.txt", desc);
        write_file(inst_dir(name) + "/inst.txt",
                   "ezpkInstallTime: 1700000000\nezpkInstallType: X\n");
    }
    void index(const std::string &name, const std::string &content) {
        write_file(zpm::paths::fileindex_dir() + "/" + name, content);
    }
    static std::vector<std::string> names(ZPI **list) {
        std::vector<std::string> out;
        for (int i = 0; list && list[i]; i++)
            out.push_back(list[i]->name);
        return out;
    }
    static std::vector<std::string> strings(char **arr) {
        std::vector<std::string> out;
        for (int i = 0; arr && arr[i]; i++)
            out.push_back(arr[i]);
        return out;
    }
    static size_t count_of(const std::string &text, const std::string &what) {
        size_t n = 0;
        for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1))
            n++;
        return n;
    }
};

// ------------------------------------------------------------------ opening

TEST_F(InventoryTest, OpenRefusesMissingOrUnusableConfiguration) {
    struct Case {
        const char *conf; // nullptr: no configuration file at all
        const char *message;
    } cases[] = {
        {nullptr, "Failed to read zpm config "},
        {"dist_name = zorvek\n", "Failed to get arch_name from config"},
        {"arch_name = sparc\n", "Invalid architecture specified: sparc"},
        {"arch_name = X86_64\n", "Invalid architecture specified: X86_64"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        std::remove(zpm::paths::conf_file().c_str());
        if (c.conf)
            write_file(zpm::paths::conf_file(), c.conf);
        clear_log();
        EXPECT_EQ(zpm_open(nullptr), nullptr);
        EXPECT_NE(log_text().find(c.message), std::string::npos) << log_text();
    }
}

TEST_F(InventoryTest, OpenCopiesConfigurationIntoHandle) {
    write_file(zpm::paths::conf_file(),
               "arch_name = i686\ndist_name = zorvek\ndist_vers = 3\nzpm_vers = 1.0.24\n");
    ZPM *zpm = zpm_open(nullptr);
    ASSERT_NE(zpm, nullptr);
    EXPECT_EQ(zpm->arch, ZPK_ARCH_I686);
    EXPECT_EQ(zpm->lock, 0);
    EXPECT_STREQ(zpm->path_name, "/var/lib/zpm");
    EXPECT_STREQ(zpm->dist_name, "zorvek");
    EXPECT_STREQ(zpm->dist_vers, "3");
    EXPECT_STREQ(zpm->zpm_vers, "1.0.24");
    zpm_close(zpm);

    write_file(zpm::paths::conf_file(), "arch_name = any\n");
    zpm = zpm_open("/elsewhere");
    ASSERT_NE(zpm, nullptr);
    EXPECT_STREQ(zpm->path_name, "/elsewhere");
    EXPECT_EQ(zpm->dist_name, nullptr);
    EXPECT_EQ(zpm->zpm_vers, nullptr);
    EXPECT_FALSE(exists(zpm::paths::lock_file())) << "opening must not take the lock";
    zpm_close(zpm);
}

// --------------------------------------------------------------------- lock

TEST_F(InventoryTest, LockWritesPidAndCloseRemovesIt) {
    // A stale file of a former, longer pid: no digits of it may survive.
    write_file(zpm::paths::lock_file(), "123456789012345\n");
    ZPM *zpm = zpm_open(nullptr);
    ASSERT_NE(zpm, nullptr);
    ASSERT_EQ(zpm_lock(zpm), 0);
    EXPECT_EQ(zpm->lock, 1);
    EXPECT_EQ(read_file(zpm::paths::lock_file()), std::to_string(getpid()) + "\n");
    EXPECT_NE(log_text().find("Wrote lock file " + zpm::paths::lock_file()), std::string::npos);
    zpm_close(zpm);
    EXPECT_FALSE(exists(zpm::paths::lock_file()));
    EXPECT_NE(log_text().find("Removed lock file " + zpm::paths::lock_file()), std::string::npos);
}

TEST_F(InventoryTest, LockHeldByAnotherProcessFails) {
    int ready[2], done[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(done), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(ready[0]);
        close(done[1]);
        ZPM *zpm = zpm_open(nullptr);
        char r = (zpm && zpm_lock(zpm) == 0) ? 'y' : 'n';
        (void)!write(ready[1], &r, 1);
        char c;
        (void)!read(done[0], &c, 1); // hold the lock until the parent has tried
        _exit(0);
    }
    close(ready[1]);
    close(done[0]);
    char r = 0;
    ASSERT_EQ(read(ready[0], &r, 1), 1);
    ASSERT_EQ(r, 'y');
    EXPECT_EQ(read_file(zpm::paths::lock_file()), std::to_string(child) + "\n");

    ZPM *zpm = zpm_open(nullptr);
    ASSERT_NE(zpm, nullptr);
    EXPECT_EQ(zpm_lock(zpm), -1);
    EXPECT_EQ(zpm->lock, 0);
    EXPECT_NE(log_text().find("Could not lock lock file " + zpm::paths::lock_file()),
              std::string::npos);

    close(done[1]);
    int st = 0;
    waitpid(child, &st, 0);
    close(ready[0]);
    // The holder has gone (its file stays behind): the lock is free again.
    EXPECT_EQ(zpm_lock(zpm), 0);
    EXPECT_EQ(read_file(zpm::paths::lock_file()), std::to_string(getpid()) + "\n");
    zpm_close(zpm);
}

TEST_F(InventoryTest, LockFailsWhenFileCannotBeCreated) {
    zpm::paths::set_root(root() + "/nonexistent");
    ZPM zpm{};
    EXPECT_EQ(zpm_lock(&zpm), -1);
    EXPECT_EQ(zpm.lock, 0);
    zpm::paths::set_root(root());
    EXPECT_NE(log_text().find("Could not open lock file "), std::string::npos);
}

// ----------------------------------------------------------------- listings

TEST_F(InventoryTest, EmptyInventoryListsNothingAndLeavesListAlone) {
    ZPI *sentinel[1] = {nullptr};
    ZPI **list = sentinel;
    EXPECT_EQ(zpm_list_zpi(nullptr, nullptr, 1, &list), 0);
    EXPECT_EQ(list, sentinel);
    EXPECT_EQ(zpm_list_arr(nullptr, 1), nullptr);
}

TEST_F(InventoryTest, MissingInstalledDirectoryWarns) {
    std::filesystem::remove_all(zpm::paths::installed_dir());
    ZPI **list = nullptr;
    EXPECT_EQ(zpm_list_zpi(nullptr, nullptr, 0, &list), 0);
    EXPECT_EQ(list, nullptr);
    EXPECT_NE(log_text().find("Failure opening <" + zpm::paths::installed_dir() +
                              "> for reading: No such file or directory"),
              std::string::npos);
}

TEST_F(InventoryTest, ListingSkipsBrokenHiddenAndNonDirectoryEntries) {
    install("zeta");
    install("alpha", "2.0");
    install("mid");
    install(".mid.new"); // an update's temporary entry
    install(".mid.old");
    write_file(inst_dir("stray-file"), "not a package directory\n");
    // Broken entries of every kind: each skipped, none stops the listing.
    write_file(inst_dir("noversion") + "/desc.txt",
               "ezpmVersion: 1.0\nezpkName: noversion\nezpkArchitecture: any\n");
    write_file(inst_dir("noversion") + "/inst.txt", "ezpkInstallTime: 1\nezpkInstallType: X\n");
    write_file(inst_dir("truncated") + "/desc.txt", "ezpmVersion: 1.0\nezpkNa");
    write_file(inst_dir("truncated") + "/inst.txt", "ezpkInstallTime: 1\nezpkInstallType: X\n");
    write_file(inst_dir("binary") + "/desc.txt", std::string("\x01\x00\xff\xfe:\x00\n\n", 8));
    write_file(inst_dir("binary") + "/inst.txt", std::string("\0\0\0", 3));
    install("noinst");
    std::remove((inst_dir("noinst") + "/inst.txt").c_str());
    make_dirs(inst_dir("empty"));

    ZPI **list = nullptr;
    ASSERT_EQ(zpm_list_zpi(nullptr, nullptr, 1, &list), 3);
    EXPECT_EQ(names(list), (std::vector<std::string>{"alpha", "mid", "zeta"}));
    EXPECT_STREQ(list[0]->version, "2.0");
    zpm_zpi_list_free(list);
    std::string log = log_text();
    EXPECT_NE(log.find("Omitting non-directory stray-file"), std::string::npos);
    for (const char *bad : {"noversion", "truncated", "binary", "noinst", "empty"})
        EXPECT_NE(log.find(std::string("Failure parsing info for ") + bad + ", skipping entry"),
                  std::string::npos)
            << bad;
    EXPECT_EQ(log.find("Failure parsing info for .mid"), std::string::npos);

    char **arr = zpm_list_arr(nullptr, 1);
    EXPECT_EQ(strings(arr), (std::vector<std::string>{"alpha", "mid", "zeta"}));
    arr_free(arr);
}

TEST_F(InventoryTest, ListingAppliesWildcard) {
    for (const char *n : {"libz", "zlib", "libpng", "lib"})
        install(n);
    ZPI **list = nullptr;
    ASSERT_EQ(zpm_list_zpi(nullptr, "lib*", 1, &list), 3);
    EXPECT_EQ(names(list), (std::vector<std::string>{"lib", "libpng", "libz"}));
    zpm_zpi_list_free(list);
    EXPECT_NE(log_text().find("Local package zlib does not match wildcard lib*"),
              std::string::npos);
    list = nullptr;
    EXPECT_EQ(zpm_list_zpi(nullptr, "nothing*", 1, &list), 0);
    EXPECT_EQ(list, nullptr);
}

TEST_F(InventoryTest, ListingGrowsOnceFor301Packages) {
    std::vector<std::string> expect;
    for (int i = 0; i < 301; i++) {
        char n[16];
        snprintf(n, sizeof n, "pkg%03d", i);
        install(n);
        expect.push_back(n);
    }
    clear_log();
    ZPI **list = nullptr;
    ASSERT_EQ(zpm_list_zpi(nullptr, nullptr, 1, &list), 301);
    EXPECT_EQ(names(list), expect);
    EXPECT_EQ(list[301], nullptr);
    zpm_zpi_list_free(list);
    std::string log = log_text();
    EXPECT_EQ(count_of(log, "Allocating space for 300 entries"), 1u);
    EXPECT_EQ(count_of(log, "Reallocation space for 600 entries"), 1u);
    EXPECT_EQ(count_of(log, "Reallocation space for"), 1u);
    EXPECT_NE(log.find("Found 301 packages"), std::string::npos);

    char **arr = zpm_list_arr(nullptr, 1);
    EXPECT_EQ(strings(arr), expect);
    arr_free(arr);
}

TEST_F(InventoryTest, OverlongDescPathIsSkippedAtTheLimit) {
    // installed/<name>/desc.txt must stay below 256 characters.
    size_t fixed = zpm::paths::installed_dir().size() + 1 + strlen("/desc.txt");
    ASSERT_LT(fixed, 250u);
    std::string fits(255 - fixed, 'f'); // path of 255 characters
    std::string over(256 - fixed, 'o'); // path of 256 characters
    install(fits);
    install(over);
    install("short");
    ZPI **list = nullptr;
    ASSERT_EQ(zpm_list_zpi(nullptr, nullptr, 1, &list), 2);
    EXPECT_EQ(names(list), (std::vector<std::string>{fits, "short"}));
    zpm_zpi_list_free(list);
    EXPECT_NE(log_text().find("too long, skipping entry " + over), std::string::npos);
    EXPECT_EQ(zpm_zpl_info(nullptr, over.c_str()), nullptr);
}

TEST_F(InventoryTest, ZplInfoLoadsInstallRecordAndRejectsPathNames) {
    install("tool", "3.1", "dev");
    write_file(inst_dir("tool") + "/inst.txt",
               "ezpkInstallTime: 1700000000\nezpkInstallType: D\nezpkInstallHead: app\n");
    ZPI *zpi = zpm_zpl_info(nullptr, "tool");
    ASSERT_NE(zpi, nullptr);
    EXPECT_STREQ(zpi->variant, "dev");
    EXPECT_EQ(zpi->install_type, 'D');
    EXPECT_STREQ(zpi->install_head, "app");
    EXPECT_EQ(zpi->install_time, 1700000000);
    zpk_info_free(zpi);
    // A name is one directory entry, never a way out of installed/.
    write_file(zpm::paths::inv_dir() + "/desc.txt", read_file(inst_dir("tool") + "/desc.txt"));
    write_file(zpm::paths::inv_dir() + "/inst.txt", read_file(inst_dir("tool") + "/inst.txt"));
    for (const char *bad : {"..", ".", "", "../installed/tool", "tool/"})
        EXPECT_EQ(zpm_zpl_info(nullptr, bad), nullptr) << bad;
    EXPECT_EQ(zpm_zpl_info(nullptr, "absent"), nullptr);
}

// ------------------------------------------------------------- owner search

// The entry readdir() reports first among the given names.
std::string first_in_dir_order(const std::string &dir, const std::vector<std::string> &names) {
    DIR *d = opendir(dir.c_str());
    std::string first;
    while (dirent *de = readdir(d))
        if (first.empty() && std::find(names.begin(), names.end(), de->d_name) != names.end())
            first = de->d_name;
    closedir(d);
    return first;
}

TEST_F(InventoryTest, FileOwnerFindsExactLinesOnly) {
    index("coreutils", "/bin\n/bin/ls\n/bin/cat\n");
    index("busybox", "/bin/ash\n/bin/ls\n");
    index("noeol", "/usr/share/a\n/usr/share/last");
    index("crlf", "/etc/crlf.conf\r\n");
    index(".coreutils.old", "/bin/old-only\n");
    make_dirs(zpm::paths::fileindex_dir() + "/subdir");

    std::string first = first_in_dir_order(zpm::paths::fileindex_dir(), {"coreutils", "busybox"});
    struct Case {
        const char *file;
        std::string owner; // "" for none
    } cases[] = {
        {"/bin/ls", first},
        {"/bin/cat", "coreutils"},
        {"/bin/ash", "busybox"},
        {"/usr/share/last", "noeol"},
        {"/etc/crlf.conf", "crlf"},
        {"/bin/old-only", ""},
        {"/bin/l", ""},
        {"/bin/ls/", ""},
        {"bin/ls", ""},
        {"", ""},
    };
    for (const Case &c : cases) {
        char *owner = zpm_file_owner(nullptr, c.file);
        EXPECT_EQ(owner ? std::string(owner) : std::string(), c.owner) << c.file;
        free(owner);
    }
    std::string log = log_text();
    EXPECT_NE(log.find("Omitting backup file .coreutils.old"), std::string::npos);
    EXPECT_NE(log.find("Omitting non-file subdir"), std::string::npos);
    EXPECT_NE(log.find("Found </bin/cat> in <coreutils>"), std::string::npos);
}

TEST_F(InventoryTest, FileOwnerComparesWholeLongLines) {
    // A path longer than any read piece: its tail alone is not an owned file.
    std::string long_path = "/" + std::string(300, 'd') + "/usr/bin/tool";
    std::string huge_path = "/" + std::string(5000, 'h');
    index("longpkg", long_path + "\n" + huge_path + "\n/short\n");
    char *o = zpm_file_owner(nullptr, long_path.c_str());
    ASSERT_NE(o, nullptr);
    EXPECT_STREQ(o, "longpkg");
    free(o);
    o = zpm_file_owner(nullptr, huge_path.c_str());
    EXPECT_NE(o, nullptr);
    free(o);
    std::string tail = long_path.substr(255);
    EXPECT_EQ(zpm_file_owner(nullptr, tail.c_str()), nullptr) << tail;
    EXPECT_EQ(zpm_file_owner(nullptr, "/usr/bin/tool"), nullptr);
}

TEST_F(InventoryTest, FileOwnerWithoutFileIndexDirectory) {
    std::filesystem::remove_all(zpm::paths::fileindex_dir());
    EXPECT_EQ(zpm_file_owner(nullptr, "/bin/ls"), nullptr);
    EXPECT_NE(log_text().find("Failure opening <" + zpm::paths::fileindex_dir() + ">"),
              std::string::npos);
}

// ---------------------------------------------------------------- file list

TEST_F(InventoryTest, FileListReadsLinesGrowingFrom20) {
    install("big");
    std::string content, last;
    std::vector<std::string> expect;
    for (int i = 0; i < 25; i++) {
        std::string p = "/usr/share/big/f" + std::to_string(i);
        content += p + "\n" + (i == 3 ? "\n" : ""); // an empty line is skipped
        expect.push_back(p);
    }
    std::string huge = "/" + std::string(5000, 'x'); // kept whole, never split
    content += huge;                                 // and no final newline
    expect.push_back(huge);
    index("big", content);
    clear_log();
    char **files = zpm_zpl_index(nullptr, "big");
    EXPECT_EQ(strings(files), expect);
    arr_free(files);
    std::string log = log_text();
    EXPECT_EQ(count_of(log, "Allocating space for 20 entries"), 1u);
    EXPECT_EQ(count_of(log, "Reallocation space for 40 entries"), 1u);
    EXPECT_NE(log.find("zpm_zpl_file_list: Found /usr/share/big/f24"), std::string::npos);
}

TEST_F(InventoryTest, FileListMissingOrEmpty) {
    install("nofiles");
    install("emptyfiles");
    index("emptyfiles", "\n\n");
    EXPECT_EQ(zpm_zpl_index(nullptr, "nofiles"), nullptr);
    EXPECT_NE(log_text().find("zpm_zpl_file_list: nofiles contains no files"), std::string::npos);
    EXPECT_EQ(zpm_zpl_index(nullptr, "emptyfiles"), nullptr);
    index("ghost", "/a\n"); // a file index without an installed package
    EXPECT_EQ(zpm_zpl_index(nullptr, "ghost"), nullptr);
}

// -------------------------------------------------------------- install log

TEST_F(InventoryTest, InstallLogLines) {
    struct Case {
        int action;
        const char *old_name, *new_name, *cand;
        const char *text; // nullptr: nothing written
    } cases[] = {
        {1, nullptr, "a_any_1.0", nullptr, "installed a_any_1.0 as requested by user"},
        {1, nullptr, "b_x86_64_2", "a", "installed b_x86_64_2 as dependency of a"},
        {2, "a_any_1.0", "a_any_1.1", nullptr,
         "updated a_any_1.0 to a_any_1.1 as requested by user"},
        {2, "b_1", "b_2", "app", "updated b_1 to b_2 as dependency of app"},
        {3, nullptr, "a_any_1.1", nullptr, "deleted a_any_1.1 as requested by user"},
        {3, nullptr, "c_dev_any_9", "a", "deleted c_dev_any_9 as dependency of a"},
        {4, nullptr, "a_any_1.0", nullptr, nullptr},
        {0, nullptr, "a_any_1.0", nullptr, nullptr},
        {2, nullptr, "a_any_1.1", nullptr, nullptr},
        {1, nullptr, nullptr, nullptr, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text ? c.text : "rejected");
        std::remove(zpm::paths::install_log().c_str());
        clear_log();
        time_t before = time(nullptr);
        zpm_log_action(c.action, c.old_name, c.new_name, c.cand);
        time_t after = time(nullptr);
        std::string line = read_file(zpm::paths::install_log());
        if (!c.text) {
            EXPECT_EQ(line, "");
            EXPECT_NE(log_text().find("[ERROR]"), std::string::npos) << log_text();
            continue;
        }
        ASSERT_FALSE(line.empty());
        ASSERT_EQ(line.back(), '\n');
        line.pop_back();
        // "YYYY-MM-DD hh:mm:ss: text"
        struct tm tmv {};
        int used = 0;
        ASSERT_EQ(sscanf(line.c_str(), "%4d-%2d-%2d %2d:%2d:%2d: %n", &tmv.tm_year, &tmv.tm_mon,
                         &tmv.tm_mday, &tmv.tm_hour, &tmv.tm_min, &tmv.tm_sec, &used),
                  6)
            << line;
        ASSERT_EQ(used, 21) << line;
        EXPECT_EQ(line.substr(used), c.text);
        EXPECT_EQ(line[4], '-');
        EXPECT_EQ(line[13], ':');
        tmv.tm_year -= 1900;
        tmv.tm_mon -= 1;
        tmv.tm_isdst = -1;
        time_t logged = mktime(&tmv);
        EXPECT_GE(logged, before);
        EXPECT_LE(logged, after);
    }
}

TEST_F(InventoryTest, InstallLogAppendsAndReportsErrors) {
    zpm_log_action(1, nullptr, "a_any_1", nullptr);
    zpm_log_action(3, nullptr, "a_any_1", nullptr);
    std::string text = read_file(zpm::paths::install_log());
    EXPECT_EQ(count_of(text, "\n"), 2u);
    EXPECT_LT(text.find("installed a_any_1"), text.find("deleted a_any_1"));

    zpm_log_action(4, nullptr, "x", nullptr);
    EXPECT_NE(log_text().find("zpm_log_action: invalid action specified"), std::string::npos);
    zpm_log_action(2, nullptr, "x", nullptr);
    EXPECT_NE(log_text().find("zpm_log_action: No zpk_puname_old specified"), std::string::npos);
    zpm_log_action(1, nullptr, nullptr, nullptr);
    EXPECT_NE(log_text().find("zpm_log_action: No zpk_puname_new specified"), std::string::npos);

    std::filesystem::remove_all(zpm::paths::inv_dir());
    zpm_log_action(1, nullptr, "a_any_1", nullptr);
    EXPECT_NE(log_text().find("zpm_log_action: failed to open " + zpm::paths::install_log() +
                              " for writing: No such file or directory"),
              std::string::npos);
}

TEST(StatDesc, Letters) {
    EXPECT_STREQ(zpk_stat_desc('I'), "installed");
    EXPECT_STREQ(zpk_stat_desc('R'), "available remotely");
    EXPECT_STREQ(zpk_stat_desc('L'), "available locally");
    EXPECT_STREQ(zpk_stat_desc('U'), "unavailable");
    EXPECT_STREQ(zpk_stat_desc(0), "unavailable");
}

} // namespace
