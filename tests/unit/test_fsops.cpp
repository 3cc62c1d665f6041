// File-system helpers: copying into place with backups, moving staged files,
// permission and link lists, tree removal and directory creation.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "fsops.h"
#include "testroot.h"
#include "zpm.h"

using namespace zpmtest;

namespace {

mode_t mode_of(const std::string &p) {
    struct stat st {};
    return lstat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

std::set<std::string> names_in(const std::string &dir) {
    std::set<std::string> out;
    if (DIR *d = opendir(dir.c_str())) {
        while (struct dirent *e = readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                out.insert(e->d_name);
        closedir(d);
    }
    return out;
}

class FsOps : public RootTest {
  protected:
    void SetUp() override {
        RootTest::SetUp();
        old_mask_ = umask(022);
    }
    void TearDown() override {
        umask(old_mask_);
        RootTest::TearDown();
    }
    std::string file(const std::string &rel, const std::string &content, mode_t mode = 0644) {
        std::string p = root() + "/" + rel;
        write_file(p, content);
        chmod(p.c_str(), mode);
        return p;
    }
    mode_t old_mask_ = 022;
};

TEST_F(FsOps, CopyOverRegularFileKeepsBackupAndIndex) {
    std::string src = file("stage/tool", "new content");
    std::string dst = file("sys/usr/bin/tool", "old", 0750);
    std::string bkp = root() + "/old";
    ASSERT_EQ(zpm_zpf_copy(dst.c_str(), src.c_str(), bkp.c_str(), 1, 0, 0), 11);
    EXPECT_EQ(read_file(dst), "new content");
    EXPECT_EQ(read_file(bkp + dst), "old");
    EXPECT_EQ(mode_of(bkp + dst), 0750u);
    EXPECT_EQ(read_file(bkp + "/index.txt"), dst + "\n");
    // Nothing but the target itself is left beside it.
    EXPECT_EQ(names_in(root() + "/sys/usr/bin"), std::set<std::string>{"tool"});

    // Without a backup base the file is simply replaced.
    write_file(src, "third");
    ASSERT_EQ(zpm_zpf_copy(dst.c_str(), src.c_str(), nullptr, 1, 0, 0), 5);
    EXPECT_EQ(read_file(dst), "third");
    EXPECT_EQ(read_file(bkp + "/index.txt"), dst + "\n");
}

TEST_F(FsOps, CopyRefusesDirectoryAndReplacesLinkNotPointee) {
    std::string src = file("stage/f", "payload");
    std::string dir = root() + "/sys/d";
    make_dirs(dir + "/inner");
    EXPECT_EQ(zpm_zpf_copy(dir.c_str(), src.c_str(), nullptr, 1, 0, 0), -1);
    EXPECT_NE(log_text().find(dir + " is not a regular file, refusing to remove it"),
              std::string::npos);
    EXPECT_TRUE(exists(dir + "/inner"));

    std::string pointee = file("sys/real", "keep me");
    std::string link = root() + "/sys/link";
    ASSERT_EQ(symlink(pointee.c_str(), link.c_str()), 0);
    std::string bkp = root() + "/old";
    EXPECT_EQ(zpm_zpf_copy(link.c_str(), src.c_str(), bkp.c_str(), 1, 0, 0), 7);
    struct stat st {};
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(read_file(link), "payload");
    EXPECT_EQ(read_file(pointee), "keep me");
    EXPECT_FALSE(exists(bkp + "/index.txt")); // a link is not backed up
    EXPECT_NE(log_text().find("Removing existing symbolic link " + link), std::string::npos);
}

TEST_F(FsOps, CopyModes) {
    struct Case {
        mode_t src_mode;
        int keep_mode;
        mode_t want;
    } cases[] = {{0750, 1, 0750}, {04755, 1, 04755}, {0600, 0755, 0755}, {0700, 0, 0644}};
    for (const Case &c : cases) {
        std::string src = file("stage/m", "x", c.src_mode);
        std::string dst = root() + "/sys/new/dir/m";
        ASSERT_EQ(zpm_zpf_copy(dst.c_str(), src.c_str(), nullptr, c.keep_mode, 0, 0), 1);
        EXPECT_EQ(mode_of(dst), c.want) << "keep_mode " << c.keep_mode;
        EXPECT_EQ(mode_of(root() + "/sys/new"), 0755u);
        unlink(dst.c_str());
    }
}

TEST_F(FsOps, CopyLargeFileWhole) {
    std::string big(200000, '\0');
    for (size_t i = 0; i < big.size(); i++)
        big[i] = (char)(i * 7 + i / 251);
    std::string src = file("stage/big", big);
    std::string dst = root() + "/sys/big";
    EXPECT_EQ(zpm_zpf_copy(dst.c_str(), src.c_str(), nullptr, 1, 0, 0), 200000);
    EXPECT_EQ(read_file(dst), big);
}

// A failed copy leaves the old target as it was and no temporary file.
TEST_F(FsOps, FailedCopyLeavesTargetAndNoTemporary) {
    std::string dst = file("sys/etc/conf", "old");
    std::string bkp = root() + "/old";
    std::string missing = root() + "/stage/none";
    EXPECT_EQ(zpm_zpf_copy(dst.c_str(), missing.c_str(), bkp.c_str(), 1, 0, 0), -1);
    EXPECT_NE(log_text().find("Failed to stat " + missing), std::string::npos);

    // A directory as source opens but cannot be read.
    std::string srcdir = root() + "/stage/dir";
    make_dirs(srcdir);
    EXPECT_EQ(zpm_zpf_copy(dst.c_str(), srcdir.c_str(), nullptr, 1, 0, 0), -1);

    // An index that cannot be appended to stops the copy before the target.
    std::string src = file("stage/conf", "new");
    make_dirs(bkp + "/index.txt");
    EXPECT_EQ(zpm_zpf_copy(dst.c_str(), src.c_str(), bkp.c_str(), 1, 0, 0), -1);
    EXPECT_EQ(zpm_zpf_place(dst.c_str(), src.c_str(), bkp.c_str(), 0), -1);
    EXPECT_EQ(read_file(src), "new");

    EXPECT_EQ(read_file(dst), "old");
    EXPECT_EQ(names_in(root() + "/sys/etc"), std::set<std::string>{"conf"});
}

// Runs fn as an unprivileged user in a child; true when fn returned true.
template <class Fn> bool as_nobody(Fn fn) {
    pid_t pid = fork();
    if (pid == 0)
        _exit(setgid(65534) == 0 && setuid(65534) == 0 && fn() ? 0 : 1);
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) && WEXITSTATUS(st) == 0;
}

TEST_F(FsOps, CopyIntoUnwritableDirectoryKeepsOldFile) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to switch to an unprivileged user";
    chmod(root().c_str(), 0755);
    std::string dst = file("sys/ro/f", "old", 0666);
    std::string src = file("stage/f", "new", 0644);
    std::string unreadable = file("stage/secret", "s", 0600);
    EXPECT_TRUE(as_nobody([&] {
        return zpm_zpf_copy(dst.c_str(), src.c_str(), nullptr, 1, 0, 0) == -1 &&
               zpm_zpf_copy(dst.c_str(), unreadable.c_str(), nullptr, 1, 0, 0) == -1;
    }));
    EXPECT_EQ(read_file(dst), "old");
    EXPECT_EQ(names_in(root() + "/sys/ro"), std::set<std::string>{"f"});
}

ino_t ino_of(const std::string &p) {
    struct stat st {};
    return lstat(p.c_str(), &st) == 0 ? st.st_ino : 0;
}

// Saved before placing: the backup is the old file itself (a hard link),
// listed once, and the later placement does not save it again.
TEST_F(FsOps, SavedFirstThenPlacedKeepsTheOldFile) {
    std::string dst = file("sys/etc/conf", "old", 0640);
    std::string src = file("stage/conf", "new");
    const std::string bkp = root() + "/old";
    const ino_t old_ino = ino_of(dst);
    zpm::fs::Placement pl(bkp);
    ASSERT_EQ(pl.save(dst), 0);
    ASSERT_EQ(pl.sync_saved(), 0);
    ASSERT_EQ(pl.place(dst, src, false), 3);
    ASSERT_EQ(pl.sync_placed(), 0);
    EXPECT_EQ(read_file(dst), "new");
    EXPECT_EQ(ino_of(bkp + dst), old_ino);
    EXPECT_EQ(read_file(bkp + dst), "old");
    EXPECT_EQ(read_file(bkp + "/index.txt"), dst + "\n");
    // A temporary copy a killed run left beside it goes, the file stays.
    write_file(root() + "/sys/etc/.conf.zpm-new", "cut");
    zpm::fs::drop_temporary(dst);
    EXPECT_EQ(names_in(root() + "/sys/etc"), std::set<std::string>{"conf"});
}

// What a restore does with what it finds at the target.
TEST_F(FsOps, RestoreReplacesOnlyWhatTheStepWrote) {
    using zpm::fs::Was;
    struct Case {
        const char *name;
        Was was;
        const char *at_target; // nullptr: nothing there
        const char *want;
        bool backup_stays;
    } cases[] = {
        {"ours", Was::written, "new", "old", false},
        {"gone", Was::untouched, nullptr, "old", false},
        {"untouched", Was::untouched, "someone's", "someone's", true},
        {"unknown", Was::unknown, "someone's", "old", false},
    };
    for (const Case &c : cases) {
        const std::string dst = root() + "/sys/" + c.name, bkp = root() + "/bkp" + dst;
        write_file(bkp, "old");
        if (c.at_target)
            write_file(dst, c.at_target);
        zpm::fs::Placement pl("");
        EXPECT_EQ(pl.restore(dst, bkp, c.was), 0) << c.name;
        EXPECT_EQ(read_file(dst), c.want) << c.name;
        EXPECT_EQ(exists(bkp), c.backup_stays) << c.name;
    }
    // A directory where the file was: the backup is never lost.
    const std::string dir = root() + "/sys/dir", bkp = root() + "/bkp" + dir;
    write_file(bkp, "old");
    make_dirs(dir + "/inner");
    zpm::fs::Placement pl("");
    EXPECT_EQ(pl.restore(dir, bkp, Was::written), -1);
    EXPECT_EQ(read_file(bkp), "old");
}

struct Outcome {
    std::string content, backup, index;
    mode_t mode;
    uid_t uid;
    gid_t gid;
    time_t mtime;
};

Outcome outcome_of(const std::string &dst, const std::string &bkp) {
    struct stat st {};
    lstat(dst.c_str(), &st);
    return {read_file(dst),
            read_file(bkp + dst),
            read_file(bkp + "/index.txt"),
            st.st_mode & 07777,
            st.st_uid,
            st.st_gid,
            st.st_mtime};
}

// A staged file, old and owned by someone else where we may say so.
std::string stage(const std::string &p, const std::string &content) {
    write_file(p, content);
    if (geteuid() == 0) {
        EXPECT_EQ(chown(p.c_str(), 1234, 1234), 0);
    }
    chmod(p.c_str(), 04755); // after chown, which drops set-id bits
    struct timespec old[2] = {{1000000, 0}, {1000000, 0}};
    utimensat(AT_FDCWD, p.c_str(), old, 0);
    return p;
}

TEST_F(FsOps, PlaceGivesWhatCopyGives) {
    std::string a_dst = file("a/usr/bin/tool", "old", 0700);
    std::string b_dst = file("b/usr/bin/tool", "old", 0700);
    std::string a_src = stage(root() + "/stage/a", "staged");
    std::string b_src = stage(root() + "/stage/b", "staged");
    time_t before = time(nullptr);
    ASSERT_EQ(zpm_zpf_copy(a_dst.c_str(), a_src.c_str(), (root() + "/ba").c_str(), 1, 0, 0), 6);
    ASSERT_EQ(zpm_zpf_place(b_dst.c_str(), b_src.c_str(), (root() + "/bb").c_str(), 1), 6);
    Outcome a = outcome_of(a_dst, root() + "/ba"), b = outcome_of(b_dst, root() + "/bb");
    EXPECT_EQ(b.content, "staged");
    EXPECT_EQ(b.backup, "old");
    EXPECT_EQ(a.index.substr(a.index.find("/usr")), b.index.substr(b.index.find("/usr")));
    EXPECT_EQ(a.mode, 04755u);
    EXPECT_EQ(b.mode, a.mode);
    EXPECT_EQ(b.uid, geteuid());
    EXPECT_EQ(b.gid, getegid());
    EXPECT_EQ(b.uid, a.uid);
    EXPECT_GE(b.mtime, before);
    EXPECT_EQ(read_file(b_src), "staged"); // the stage keeps its copy
    struct stat placed {}, staged {};
    ASSERT_EQ(stat(b_dst.c_str(), &placed), 0);
    ASSERT_EQ(stat(b_src.c_str(), &staged), 0);
    EXPECT_EQ(placed.st_ino, staged.st_ino) << "placed without copying";
    EXPECT_TRUE(exists(a_src));

    // Without keeping the source it is moved: the same file, and the stage
    // no longer has it.
    std::string c_dst = file("c/usr/bin/tool", "old", 0700);
    std::string c_src = stage(root() + "/stage/c", "staged");
    ASSERT_EQ(stat(c_src.c_str(), &staged), 0);
    ASSERT_EQ(zpm_zpf_place(c_dst.c_str(), c_src.c_str(), (root() + "/bc").c_str(), 0), 6);
    Outcome c = outcome_of(c_dst, root() + "/bc");
    EXPECT_EQ(c.content, "staged");
    EXPECT_EQ(c.backup, "old");
    EXPECT_EQ(c.mode, a.mode);
    EXPECT_GE(c.mtime, before);
    EXPECT_FALSE(exists(c_src));
    ASSERT_EQ(stat(c_dst.c_str(), &placed), 0);
    EXPECT_EQ(placed.st_ino, staged.st_ino);
}

TEST_F(FsOps, PlaceCopiesLinkedSourceAndAcrossFileSystems) {
    std::string src = file("stage/shared", "data");
    std::string other = root() + "/stage/other-name";
    ASSERT_EQ(link(src.c_str(), other.c_str()), 0);
    std::string dst = root() + "/sys/lib/x";
    EXPECT_EQ(zpm_zpf_place(dst.c_str(), src.c_str(), nullptr, 0), 4);
    EXPECT_EQ(read_file(src), "data");
    EXPECT_EQ(read_file(dst), "data");

    // /dev/shm usually lies on another file system: the move falls back to a copy.
    struct stat a {
    }, b{};
    char shm[] = "/dev/shm/zpmfsops.XXXXXX";
    if (stat(root().c_str(), &a) != 0 || !mkdtemp(shm))
        GTEST_SKIP() << "no second file system";
    if (stat(shm, &b) != 0 || a.st_dev == b.st_dev) {
        zpm_zpf_rmdir(shm);
        GTEST_SKIP() << "no second file system";
    }
    std::string far = std::string(shm) + "/far";
    write_file(far, "far away");
    std::string dst2 = root() + "/sys/far";
    EXPECT_EQ(zpm_zpf_place(dst2.c_str(), far.c_str(), nullptr, 0), 8);
    EXPECT_EQ(read_file(dst2), "far away");
    EXPECT_EQ(read_file(far), "far away"); // copied, so left as it was
    EXPECT_EQ(zpm_zpf_rmdir(shm), 0);
    EXPECT_FALSE(exists(shm));
}

TEST_F(FsOps, PermissionList) {
    std::string tool = file("usr/bin/tool", "", 0644);
    std::string other = file("usr/bin/other", "", 0644);
    std::string list = file("perm.txt", tool + "|4755\n" + tool + "|rwx\n" + tool + "|\n|755\n" +
                                            other + "|600|ignored\n\n" + other + "|99999\n");
    EXPECT_EQ(zpm_zpf_perms(list.c_str()), 0);
    EXPECT_EQ(mode_of(tool), 04755u);
    EXPECT_EQ(mode_of(other), 0600u);
    std::string log = log_text();
    EXPECT_NE(log.find("Failed to convert mode rwx for " + tool + " to something meaningful"),
              std::string::npos);
    EXPECT_NE(log.find("Failed to convert mode 99999 for " + other), std::string::npos);
    EXPECT_EQ(log.find("Will set mode of " + tool + " to \n"), std::string::npos);
    size_t skips = 0;
    for (size_t at = 0;
         (at = log.find("file or mode not properly specified", at)) != std::string::npos; at++)
        skips++;
    EXPECT_EQ(skips, 2u);
    EXPECT_NE(log.find("Skipping empty line no 6"), std::string::npos);

    // The last change decides the result; an overlong line is not split into entries.
    std::string bad = file("perm2.txt", tool + "|700\n" + root() + "/missing|644\n");
    EXPECT_EQ(zpm_zpf_perms(bad.c_str()), -1);
    EXPECT_EQ(mode_of(tool), 0700u);
    std::string longer = file("perm3.txt", std::string(4095, 'a') + tool + "|600\n");
    EXPECT_EQ(zpm_zpf_perms(longer.c_str()), 0);
    EXPECT_EQ(mode_of(tool), 0700u);
    EXPECT_EQ(zpm_zpf_perms((root() + "/none.txt").c_str()), -1);
}

TEST_F(FsOps, LinkList) {
    char cwd[4096];
    ASSERT_TRUE(getcwd(cwd, sizeof cwd));
    std::string lib = root() + "/usr/lib";
    file("usr/lib/libz.so.1.2.8", "elf");
    file("usr/lib/plain", "regular");
    file("blocker", "a file, not a directory");
    std::string list =
        file("link.txt", lib + "||\n|libz.so.1.2.8|libz.so.1|extra\n" + "sub/deeper||\n" +
                             "|../../libz.so.1.2.8|z\n" + root() + "/blocker/x||\n" +
                             "|t|skipped\n" + lib + "||\n|elsewhere|plain\n");
    EXPECT_EQ(zpm_zpf_links(list.c_str(), 1, 1), -1); // "plain" is a file: creating fails
    char buf[256] = {};
    ASSERT_GT(readlink((lib + "/libz.so.1").c_str(), buf, sizeof buf - 1), 0);
    EXPECT_STREQ(buf, "libz.so.1.2.8");
    EXPECT_EQ(mode_of(lib + "/sub/deeper"), 0755u); // relative to the previous directory
    EXPECT_EQ(read_file(lib + "/sub/deeper/z"), "elf");
    EXPECT_NE(log_text().find("Skipping entry, as directory could not be reached"),
              std::string::npos);
    EXPECT_FALSE(exists(root() + "/blocker/skipped") || exists(lib + "/skipped"));
    EXPECT_EQ(read_file(lib + "/plain"), "regular");
    char now[4096];
    ASSERT_TRUE(getcwd(now, sizeof now));
    EXPECT_STREQ(now, cwd);

    // Deleting removes the links and leaves regular files in place.
    EXPECT_EQ(zpm_zpf_links(list.c_str(), 1, 0), 0);
    EXPECT_FALSE(exists(lib + "/libz.so.1"));
    EXPECT_FALSE(exists(lib + "/sub/deeper/z"));
    EXPECT_EQ(read_file(lib + "/plain"), "regular");
    EXPECT_EQ(zpm_zpf_links((root() + "/none").c_str(), 1, 1), -1);
}

TEST_F(FsOps, RemoveTreeNeverFollowsLinks) {
    EXPECT_EQ(zpm_zpf_rmdir((root() + "/missing").c_str()), 0);
    std::string outside = file("outside/keep", "precious");
    file("tree/a/b/f", "x");
    file("tree/g", "y");
    ASSERT_EQ(symlink((root() + "/outside").c_str(), (root() + "/tree/a/out").c_str()), 0);
    EXPECT_EQ(zpm_zpf_rmdir((root() + "/tree/").c_str()), 0);
    EXPECT_FALSE(exists(root() + "/tree"));
    EXPECT_EQ(read_file(outside), "precious");
    std::string single = file("single", "z");
    EXPECT_EQ(zpm_zpf_rmdir(single.c_str()), 0);
    EXPECT_FALSE(exists(single));
}

// More entries than one read of a directory returns, and subdirectories among them.
TEST_F(FsOps, RemoveTreeOfManyEntries) {
    for (int i = 0; i < 1500; i++)
        file("big/entry-with-a-longer-name-" + std::to_string(i), "");
    for (const char *sub : {"big/d1/f", "big/d2/e/f", "big/d3/f"})
        file(sub, "x");
    // Deeper than the removal keeps descriptors open for, with files on the way.
    std::string deep = "big/deep";
    for (int i = 0; i < 120; i++, deep += "/d")
        file(deep + "/f" + std::to_string(i % 7), "x");
    EXPECT_EQ(zpm_zpf_rmdir((root() + "/big").c_str()), 0);
    EXPECT_FALSE(exists(root() + "/big"));
}

TEST_F(FsOps, MakeDirectoryWithParents) {
    std::string path = root() + "/a/b/c/";
    std::vector<char> buf(path.begin(), path.end());
    buf.push_back('\0');
    zpm_zpf_mkdir(buf.data(), 0700);
    EXPECT_EQ(std::string(buf.data()), root() + "/a/b/c");
    EXPECT_EQ(mode_of(root() + "/a"), 0755u);
    EXPECT_EQ(mode_of(root() + "/a/b"), 0755u);
    EXPECT_EQ(mode_of(root() + "/a/b/c"), 0700u);
    zpm_zpf_mkdir(buf.data(), 0700); // existing: nothing changes
    EXPECT_EQ(mode_of(root() + "/a/b/c"), 0700u);
}

TEST_F(FsOps, OverlongPathsAreRefused) {
    std::string src = file("stage/f", "x");
    std::string dst = root() + "/" + std::string(2100, 'p');
    EXPECT_EQ(zpm_zpf_copy(dst.c_str(), src.c_str(), nullptr, 1, 0, 0), -1);
    EXPECT_EQ(zpm_zpf_place(dst.c_str(), src.c_str(), nullptr, 0), -1);
    EXPECT_EQ(read_file(src), "x");
}

} // namespace
