// Pieces of the executors that need no package: the check of an unpacked
// package against its hash lists, the staged-file match, the file sets of
// an update, the rollback, and the script runner.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "arr.h"
#include "exec.h"
#include "exec_common.h"
#include "testroot.h"
#include "util.h"
#include "zpm.h"

using namespace zpmtest;

namespace {

std::vector<std::string> strings(char **list) {
    std::vector<std::string> out;
    for (size_t i = 0; list && list[i]; i++)
        out.push_back(list[i]);
    return out;
}

std::string sha1_of(const std::string &text) {
    char digest[41];
    sha1_data(text.data(), text.size(), 'x', digest);
    return digest;
}

mode_t mode_of(const std::string &p) {
    struct stat st {};
    return stat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

class Exec : public RootTest {
  protected:
    // An unpacked package below root/pkg: data files and the data hash list
    // ("<sha1>:<path>" lines), which may name files differently from what is there.
    std::string unpacked(const std::vector<std::pair<std::string, std::string>> &files,
                         const std::string &list) {
        const std::string dir = root() + "/pkg";
        for (const auto &[path, content] : files)
            write_file(dir + "/data" + path, content);
        write_file(dir + "/hash/data.txt", list);
        return dir;
    }
    int check(const std::string &dir, char ***files) {
        std::string d = dir;
        return zpm_chk_sub_files(d.data(), const_cast<char *>("data"), files);
    }
};

TEST_F(Exec, ForkCheckAcceptsListedFilesAndCountsEveryStranger) {
    const std::string a = "alpha\n", b = "beta\n";
    // Identical content under two names is fine; each name must be listed.
    std::string dir = unpacked({{"/usr/bin/a", a}, {"/usr/share/a-copy", a}, {"/etc/b", b}},
                               sha1_of(a) + ":usr/bin/a\n" + sha1_of(a) + ":usr/share/a-copy\n" +
                                   sha1_of(b) + ":etc/b\n");
    char **files = nullptr;
    have_so = 0;
    ASSERT_EQ(check(dir, &files), 0);
    auto got = strings(files);
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::string>{"/etc/b", "/usr/bin/a", "/usr/share/a-copy"}));
    arr_free(files);

    // A file the list does not name, and one whose content differs from
    // its listed hash: two errors, no list.
    write_file(dir + "/data/usr/bin/extra", "x");
    write_file(dir + "/data/etc/b", "changed");
    files = nullptr;
    EXPECT_EQ(check(dir, &files), 2);
    EXPECT_EQ(files, nullptr);
    EXPECT_NE(log_text().find("zpm_chk_files: verify of data/usr/bin/extra failed"),
              std::string::npos);
}

TEST_F(Exec, ForkCheckMatchesPathExactlyAndNoticesSharedLibraries) {
    const std::string lib = "ELF";
    // The right hash under another path is a failure too.
    std::string dir = unpacked({{"/usr/lib/libx.so.1", lib}}, sha1_of(lib) + ":usr/lib/libx.so\n");
    char **files = nullptr;
    have_so = 0;
    EXPECT_EQ(check(dir, &files), 1);
    EXPECT_EQ(have_so, 1) << "a *.so.* file is noticed whatever its check says";
    EXPECT_NE(log_text().find("verify of data/usr/lib/libx.so.1 failed: file not found in data.txt"),
              std::string::npos);

    TempDir other;
    write_file(other / "data/usr/lib/libx.so", lib);
    write_file(other / "hash/data.txt", sha1_of(lib) + ":usr/lib/libx.so\n");
    have_so = 0;
    files = nullptr;
    EXPECT_EQ(check(other.path(), &files), 0);
    EXPECT_EQ(have_so, 0);
    arr_free(files);

    // No fork at all: success, and the list is left alone.
    TempDir empty;
    char *marker[] = {nullptr};
    char **untouched = marker;
    EXPECT_EQ(check(empty.path(), &untouched), 0);
    EXPECT_EQ(untouched, marker);
}

TEST_F(Exec, StagedFileMatchesOnlyBySizeAndHash) {
    const std::string file = root() + "/stage.zpk", content = "package bytes";
    write_file(file, content);
    ZPI zpi{};
    zpi.filesize = content.size();
    std::string hash = sha1_of(content);
    zpi.filehash = hash.data();
    EXPECT_EQ(zpm_stage_have_zpk(const_cast<char *>(file.c_str()), &zpi), 1);
    std::string other = sha1_of("other");
    zpi.filehash = other.data();
    EXPECT_EQ(zpm_stage_have_zpk(const_cast<char *>(file.c_str()), &zpi), 0);
    zpi.filehash = hash.data();
    zpi.filesize = content.size() + 1;
    EXPECT_EQ(zpm_stage_have_zpk(const_cast<char *>(file.c_str()), &zpi), 0);
    zpi.filesize = 0; // unknown size never matches
    EXPECT_EQ(zpm_stage_have_zpk(const_cast<char *>(file.c_str()), &zpi), 0);
    zpi.filesize = content.size();
    zpi.filehash = nullptr;
    EXPECT_EQ(zpm_stage_have_zpk(const_cast<char *>(file.c_str()), &zpi), 0);
}

TEST_F(Exec, UpdateFileSets) {
    // On disk: /old/a (dropped by the new version), /both/b; /old/gone was
    // deleted by hand; /new/c and /both/d are new and absent.
    write_file(at("/old/a"), "a");
    write_file(at("/both/b"), "b");
    char *old_files[] = {const_cast<char *>("/old/a"), const_cast<char *>("/both/b"),
                         const_cast<char *>("/old/gone"), nullptr};
    char *new_files[] = {const_cast<char *>("/both/b"), const_cast<char *>("/new/c"),
                         const_cast<char *>("/both/d"), nullptr};
    char **del = nullptr, **add = nullptr;
    ASSERT_EQ(zpm_chk_local_update(nullptr, old_files, new_files, &del, &add), 0);
    EXPECT_EQ(strings(add), (std::vector<std::string>{"/both/b", "/new/c", "/both/d"}));
    EXPECT_EQ(strings(del), (std::vector<std::string>{"/old/a"}));
    arr_free(del);
    arr_free(add);

    // A new file already on disk that another package owns: abort, no sets.
    write_file(at("/new/c"), "someone else's");
    make_dirs(at("/var/lib/zpm/fileindex"));
    write_file(at("/var/lib/zpm/fileindex/other"), "/new/c\n");
    ASSERT_EQ(zpm_chk_local_update(nullptr, old_files, new_files, &del, &add), -1);
    EXPECT_EQ(del, nullptr);
    EXPECT_EQ(add, nullptr);
}

TEST_F(Exec, RollbackRemovesWrittenFilesThenRestoresBackups) {
    const std::string bkp = root() + "/bkp";
    std::string kept = at("/etc/conf"), fresh = at("/usr/bin/new"), lost = at("/etc/lost");
    // The install wrote /etc/conf over an older one (backed up, mode 0600)
    // and /usr/bin/new; /etc/lost's backup has gone missing.
    write_file(kept, "new conf");
    write_file(fresh, "new binary");
    write_file(bkp + kept, "old conf");
    chmod((bkp + kept).c_str(), 0600);
    write_file(bkp + "/index.txt", kept + "\n\n" + lost + "\n");
    std::string never = at("/never/written");
    std::vector<char *> remove = {fresh.data(), kept.data(), never.data(), nullptr};
    EXPECT_EQ(zpm_install_rollback(remove.data(), const_cast<char *>(bkp.c_str())), -1);
    EXPECT_FALSE(exists(fresh));
    EXPECT_EQ(read_file(kept), "old conf");
    EXPECT_EQ(mode_of(kept), 0600u);
    EXPECT_NE(log_text().find("Failure restoring " + lost), std::string::npos);

    TempDir none;
    EXPECT_EQ(zpm_install_rollback(nullptr, const_cast<char *>(none.path().c_str())), 0);
    EXPECT_NE(log_text().find("zpm_install_rollback: no files to restore registered"),
              std::string::npos);
}

TEST_F(Exec, ScriptsRunUnderAshWithoutAShell) {
    if (access("/bin/busybox", X_OK) != 0)
        GTEST_SKIP() << "busybox is not installed";
    const std::string sd = at("/var/lib/zpm/scriptdir");
    make_dirs(sd);
    for (const char *applet : {"ash", "env", "pwd", "touch"})
        ASSERT_EQ(symlink("/bin/busybox", (sd + "/" + applet).c_str()), 0);
    const std::string out = root() + "/out", pwned = root() + "/pwned";
    const std::string script = root() + "/s.sh";
    write_file(script, "env > " + out + "; pwd >> " + out + "; exit 2\n");
    // A value that a shell would run if it ever saw it.
    const std::string hostile = "x; touch " + pwned + " $(touch " + pwned + ")";
    int rc = zpm::exec::run_script("test: ", {"ZPM_MODE=INSTALL", "ZPK_STAGE_NEW=" + hostile},
                                   script);
    EXPECT_EQ(rc, 512);
    const std::string seen = read_file(out);
    EXPECT_NE(seen.find("ZPM_MODE=INSTALL\n"), std::string::npos);
    EXPECT_NE(seen.find("ZPK_STAGE_NEW=" + hostile + "\n"), std::string::npos);
    EXPECT_NE(seen.find("PATH=" + sd + "\n"), std::string::npos);
    EXPECT_NE(seen.find("\n" + sd + "\n"), std::string::npos) << "runs in the script directory";
    EXPECT_FALSE(exists(pwned));
    EXPECT_NE(log_text().find("test: cmdline: cd " + sd + " && PATH=" + sd + " ZPM_MODE=INSTALL"),
              std::string::npos);

    // A script directory without ash: the status a shell would report.
    unlink((sd + "/ash").c_str());
    EXPECT_EQ(zpm::exec::run_script("test: ", {}, script), 127 << 8);
}

TEST_F(Exec, DeleteLeavesADirectoryWhereARegisteredFileWas) {
    // The index names /opt/p/dir, which someone has since made a directory.
    write_file(at("/opt/p/file"), "f");
    make_dirs(at("/opt/p/dir/inner"));
    write_file(at("/var/lib/zpm/installed/p/desc.txt"), "ezpmVersion: 1.0\nezpkName: p\n");
    write_file(at("/var/lib/zpm/fileindex/p"), "/opt/p/file\n/opt/p/dir\n");
    ZPI zpi{};
    zpi.name = const_cast<char *>("p");
    zpi.version = const_cast<char *>("1.0");
    zpi.arch = 4;
    EXPECT_EQ(zpm_one_delete(nullptr, &zpi), 0);
    EXPECT_FALSE(exists(at("/opt/p/file")));
    EXPECT_TRUE(exists(at("/opt/p/dir/inner")));
    EXPECT_FALSE(exists(at("/var/lib/zpm/installed/p")));
    EXPECT_FALSE(exists(at("/var/lib/zpm/fileindex/p")));
    EXPECT_NE(log_text().find("zpm_one_delete: Failed to remove registered file /opt/p/dir"),
              std::string::npos);
}

} // namespace
