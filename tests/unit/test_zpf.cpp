// Package file readers: header checks, description and signature outcome,
// payload index, unpacking, packages made without zpk-build, and payloads
// crafted to escape the target directory.
#include <gtest/gtest.h>

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <climits>
#include <fcntl.h>
#include <cstring>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "arr.h"
#include "digest_memo.h"
#include "ekva.h"
#include "exec.h"
#include "pkgfixture.h"
#include "recptr.h"
#include "util.h"
#include "zpf.h"
#include "zpk.h"
#include "zpm.h"

namespace fs = std::filesystem;
using namespace zpmtest;

namespace {

const char *kSubj = "/C=DE/O=Example Org/CN=Package Signer";

using Zpi = ZpiPtr;

std::vector<std::string> to_vec(char **arr) {
    std::vector<std::string> v;
    for (char **p = arr; p && *p; p++)
        v.emplace_back(*p);
    arr_free(arr);
    return v;
}

// Every path below dir (relative), directories included.
std::set<std::string> tree_of(const std::string &dir) {
    std::set<std::string> s;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec))
        s.insert(fs::relative(it->path(), dir).string());
    return s;
}

class ZpfTest : public RootTest {
  protected:
    static void SetUpTestSuite() { key_ = make_rsa_key().release(); }
    static void TearDownTestSuite() { EVP_PKEY_free(key_); }

    void SetUp() override {
        RootTest::SetUp();
        src_ = at("/src");
        make_tree(src_, {{"data/usr/bin/tool", "hello\n"},
                         {"data/usr/share/doc/readme", "read me\n"},
                         {"info/desc.txt", minimal_desc("foo", "1.2")},
                         {"info/perm.txt", "/usr/bin/tool|0755\n"},
                         {"init/00-add.sh", "echo add\n"}});
        chmod((src_ + "/data/usr/bin/tool").c_str(), 0755);
        symlink("tool", (src_ + "/data/usr/bin/tl").c_str());
        Cert good = make_cert(key_, kSubj, -3600, 86400);
        write_file(at("/keys/key.pem"), key_pem(key_));
        write_file(at("/keys/cert.pem"), cert_pem(good.get()));
        store_cert(good.get(), kSubj);
        make_dirs(at("/target"));
    }

    // Builds the standard tree, signed unless args say otherwise.
    std::string build(const std::string &name = "foo.zpk", const std::string &args = "") {
        std::string out = at("/" + name), msg;
        std::string sign =
            args.find("--unsigned") == std::string::npos
                ? "-k " + shq(at("/keys/key.pem")) + " -c " + shq(at("/keys/cert.pem"))
                : "";
        EXPECT_EQ(zpk_build(sign + " " + args + " -o " + shq(out) + " " + shq(src_), &msg), 0)
            << msg;
        return out;
    }

    std::string certstore_file() const {
        return zpm::paths::certstore_dir() + "/" + subject_hash(kSubj) + ".crt";
    }

    std::string src_;
    static EVP_PKEY *key_;
};
EVP_PKEY *ZpfTest::key_ = nullptr;

// ------------------------------------------------------------ header checks

TEST_F(ZpfTest, MalformedHeadersAreRefusedByAllThreeReaders) {
    const std::string desc = minimal_desc("foo");
    const struct {
        const char *what;
        std::string content, message, extract_message;
    } cases[] = {
        {"short magic", "EZPM1", "Only 5 of 6 bytes read", "Only 5 of 6 bytes read in "},
        {"wrong magic", "EZPM11" + std::string("00010"), "Not a valid/supported package file", ""},
        {"ten bytes", "EZPM100001", "Only 4 of 5 bytes read", ""},
        {"garbage length", "EZPM10zzzzz" + desc, "Failed to read description size", ""},
        {"negative length", "EZPM10 -001" + desc, "Failed to read description size", ""},
        {"huge length", "EZPM1099999" + desc,
         "Only " + std::to_string(desc.size()) + " of 99999 bytes read", ""},
        {"no format", "EZPM1000012ezpkName: x\n", "zpk_info_parse: Unspecified package format",
         "Failed to parse package header"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::string f = at("/bad.zpk");
        write_file(f, c.content);
        clear_log();
        EXPECT_FALSE(Zpi(zpm_zpf_info(f.c_str(), 0)));
        EXPECT_EQ(zpm_zpf_index(nullptr, f.c_str()), nullptr);
        EXPECT_EQ(zpm_zpf_extract(f.c_str(), at("/target").c_str(), 0), -1);
        std::string log = log_text();
        EXPECT_NE(log.find(c.message), std::string::npos) << log;
        if (!c.extract_message.empty()) {
            EXPECT_NE(log.find(c.extract_message), std::string::npos) << log;
        }
        EXPECT_TRUE(tree_of(at("/target")).empty());
    }
}

TEST_F(ZpfTest, MissingFileIsReported) {
    std::string f = at("/nothere.zpk");
    EXPECT_FALSE(Zpi(zpm_zpf_info(f.c_str(), 0)));
    EXPECT_EQ(zpm_zpf_index(nullptr, f.c_str()), nullptr);
    EXPECT_EQ(zpm_zpf_extract(f.c_str(), at("/target").c_str(), 0), -1);
    std::string log = log_text();
    EXPECT_NE(log.find("Failed to stat " + f), std::string::npos);
    EXPECT_NE(log.find("Failed to open " + f + " for reading"), std::string::npos);
}

TEST_F(ZpfTest, LengthFieldWithZerosOrSpaces) {
    std::string pkg = build();
    std::string desc = description_of(pkg), payload = payload_of(pkg);
    std::string spaced = " " + std::to_string(desc.size());
    spaced.resize(5, ' ');
    write_file(at("/spaced.zpk"), "EZPM10" + spaced + desc + payload);
    Zpi z(zpm_zpf_info(at("/spaced.zpk").c_str(), 1));
    ASSERT_TRUE(z);
    EXPECT_EQ(z->rsa_verified, 1);
    EXPECT_EQ(zpm_zpf_extract(at("/spaced.zpk").c_str(), at("/target").c_str(), 1), 0);
    EXPECT_EQ(read_file(at("/target/data/usr/bin/tool")), "hello\n");
}

// -------------------------------------------------------------- zpm_zpf_info

TEST_F(ZpfTest, InfoFillsLocationSizeAndWholeFileHash) {
    std::string pkg = build();
    make_dirs(at("/links"));
    ASSERT_EQ(symlink(pkg.c_str(), at("/links/alias.zpk").c_str()), 0);
    std::string name = at("/links/../links/./alias.zpk");
    Zpi z(zpm_zpf_info(name.c_str(), 0));
    ASSERT_TRUE(z);
    EXPECT_STREQ(z->name, "foo");
    EXPECT_STREQ(z->rel_uri, name.c_str());
    char real[PATH_MAX];
    ASSERT_TRUE(realpath(pkg.c_str(), real));
    EXPECT_STREQ(z->abs_uri, real);
    EXPECT_EQ(z->filesize, read_file(pkg).size());
    std::string sum;
    ASSERT_EQ(run("sha1sum " + shq(pkg), &sum), 0);
    EXPECT_EQ(std::string(z->filehash), sum.substr(0, 40));
    EXPECT_EQ(z->rsa_verified, 0);
    EXPECT_STREQ(z->rsa_sig_subj, kSubj);
    EXPECT_EQ(z->datasize, 6u + 8u);
    EXPECT_NE(log_text().find("Not verifying the package signature"), std::string::npos);
}

TEST_F(ZpfTest, UnsignedPackageIsMissingOnlyWhenChecked) {
    std::string pkg = build("plain.zpk", "--unsigned");
    Zpi unchecked(zpm_zpf_info(pkg.c_str(), 0));
    ASSERT_TRUE(unchecked);
    EXPECT_EQ(unchecked->rsa_verified, 0);
    Zpi checked(zpm_zpf_info(pkg.c_str(), 1));
    ASSERT_TRUE(checked);
    EXPECT_EQ(checked->rsa_verified, -1);
    EXPECT_NE(log_text().find("No signature subject found"), std::string::npos);
    EXPECT_EQ(zpm_zpf_extract(pkg.c_str(), at("/target").c_str(), 1), -1);
    EXPECT_TRUE(tree_of(at("/target")).empty());
    EXPECT_EQ(zpm_zpf_extract(pkg.c_str(), at("/target").c_str(), 0), 0);
    EXPECT_EQ(read_file(at("/target/init/00-add.sh")), "echo add\n");
}

// Unpacking remembers the digests it took on the way; the check that follows
// uses them only for files that are exactly as written.
TEST_F(ZpfTest, CheckAfterUnpackingSeesAFileChangedInPlace) {
    std::string pkg = build();
    ASSERT_EQ(zpm_zpf_extract(pkg.c_str(), at("/target").c_str(), 1), 0);
    std::string target = at("/target");
    char **files = nullptr;
    ASSERT_EQ(zpm_chk_sub_files(target.data(), const_cast<char *>("data"), &files), 0);
    EXPECT_EQ(arr_count(files), 2);
    arr_free(files);
    // Same size, same modification time, other content: only the change
    // time tells.
    const std::string tool = at("/target/data/usr/bin/tool");
    struct stat before {};
    ASSERT_EQ(stat(tool.c_str(), &before), 0);
    write_file(tool, "HELLO\n");
    struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, tool.c_str(), times, 0), 0);
    files = nullptr;
    // The symbolic link beside it went to the link list; only the file tells.
    EXPECT_EQ(zpm_chk_sub_files(target.data(), const_cast<char *>("data"), &files), 1);
    EXPECT_EQ(files, nullptr);
}

// A payload large enough for the digests to be taken on a thread of their
// own: the package's digest is that of the whole file, the check gets the
// digest of each file as written, and none of a file changed since.
TEST_F(ZpfTest, DigestsTakenBesideALargeUnpackingServeTheCheck) {
    std::mt19937 rnd(7);
    for (const char *name : {"a", "b", "c", "d"}) {
        std::string blob(700 * 1024, '\0');
        for (char &ch : blob)
            ch = static_cast<char>(rnd());
        write_file(src_ + "/data/opt/big/" + name, blob);
    }
    const std::string pkg = build();
    Zpi z(zpm_zpf_info(pkg.c_str(), 1));
    ASSERT_TRUE(z);
    EXPECT_EQ(z->rsa_verified, 1);
    std::string sum;
    ASSERT_EQ(run("sha1sum " + shq(pkg), &sum), 0);
    EXPECT_EQ(std::string(z->filehash), sum.substr(0, 40));
    ASSERT_EQ(zpm_zpf_extract(pkg.c_str(), at("/target").c_str(), 1), 0);
    std::string target = at("/target");
    char **files = nullptr;
    ASSERT_EQ(zpm_chk_sub_files(target.data(), const_cast<char *>("data"), &files), 0);
    EXPECT_EQ(arr_count(files), 6);
    arr_free(files);
    const std::string last = at("/target/data/opt/big/d");
    struct stat before {};
    ASSERT_EQ(stat(last.c_str(), &before), 0);
    std::string changed = read_file(last);
    changed[0] ^= 1;
    write_file(last, changed);
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, last.c_str(), times, 0), 0);
    files = nullptr;
    EXPECT_EQ(zpm_chk_sub_files(target.data(), const_cast<char *>("data"), &files), 1);
}

// What was learnt of a package file serves that file only as it was read: a
// damaged file of the same size and modification time, written over it in
// place or renamed over it, is read and checked afresh.  The damage (the
// gzip trailer) leaves a payload that unpacks whole; only the signature
// tells.
TEST_F(ZpfTest, FactsOfAPackageFileServeOnlyThatFileUnchanged) {
    for (bool in_place : {true, false}) {
        SCOPED_TRACE(in_place ? "rewritten in place" : "replaced");
        const std::string pkg = build(), target = at("/target");
        struct stat before {};
        ASSERT_EQ(stat(pkg.c_str(), &before), 0);
        // A file changed within the clock's current tick is not remembered.
        for (struct timespec now = zpm::memo::read_start();
             std::tie(before.st_ctim.tv_sec, before.st_ctim.tv_nsec) >=
             std::tie(now.tv_sec, now.tv_nsec);
             now = zpm::memo::read_start())
            usleep(1000);
        Zpi good(zpm_zpf_info(pkg.c_str(), 1));
        ASSERT_TRUE(good);
        ASSERT_EQ(zpm_zpf_extract(pkg.c_str(), target.c_str(), 1), 0);
        EXPECT_NE(log_text().find("the payload is the one verified before"), std::string::npos);
        std::string bytes = read_file(pkg);
        bytes[bytes.size() - 8] ^= 0x5a;
        write_file(in_place ? pkg : pkg + ".new", bytes);
        if (!in_place) {
            ASSERT_EQ(rename((pkg + ".new").c_str(), pkg.c_str()), 0);
        }
        const struct timespec times[2] = {before.st_atim, before.st_mtim};
        ASSERT_EQ(utimensat(AT_FDCWD, pkg.c_str(), times, 0), 0);
        Zpi bad(zpm_zpf_info(pkg.c_str(), 1));
        ASSERT_TRUE(bad);
        EXPECT_EQ(bad->rsa_verified, -3);
        EXPECT_STRNE(bad->filehash, good->filehash);
        fs::remove_all(target);
        make_dirs(target);
        EXPECT_EQ(zpm_zpf_extract(pkg.c_str(), target.c_str(), 1), -1);
        EXPECT_TRUE(tree_of(target).empty());
    }
}

// Each way a signature can fail gives its own code, and unpacking with the
// check on writes nothing at all.
TEST_F(ZpfTest, SignatureOutcomesAndRefusedExtraction) {
    std::string pkg = build();
    const std::string store = certstore_file();
    const std::string good = read_file(store);
    Cert expired = make_cert(key_, kSubj, -7200, -3600);
    Cert future = make_cert(key_, kSubj, 3600, 7200);
    Cert other = make_cert(key_, "/C=DE/O=Other Org/CN=Package Signer", -3600, 86400);
    std::string tampered = read_file(pkg);
    tampered[tampered.size() - 30] ^= 0x20;
    write_file(at("/tampered.zpk"), tampered);
    const struct {
        const char *what;
        std::string cert, file;
        int code;
    } cases[] = {
        {"trusted", good, pkg, 1},
        {"expired", cert_pem(expired.get()), pkg, -4},
        {"not yet valid", cert_pem(future.get()), pkg, -5},
        {"other subject", cert_pem(other.get()), pkg, -2},
        {"no certificate", "", pkg, -2},
        {"tampered", good, at("/tampered.zpk"), -3},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(at("/target"));
        make_dirs(at("/target"));
        if (c.cert.empty())
            fs::remove(store);
        else
            write_file(store, c.cert);
        Zpi z(zpm_zpf_info(c.file.c_str(), 1));
        ASSERT_TRUE(z);
        EXPECT_EQ(z->rsa_verified, c.code);
        int rc = zpm_zpf_extract(c.file.c_str(), at("/target").c_str(), 1);
        if (c.code == 1) {
            EXPECT_EQ(rc, 0);
            // The check read the payload; unpacking still sees all of it.
            EXPECT_EQ(read_file(at("/target/hash/init.txt")).size(), 51u);
            EXPECT_EQ(read_file(at("/target/data/usr/share/doc/readme")), "read me\n");
        } else {
            EXPECT_EQ(rc, -1);
            EXPECT_TRUE(tree_of(at("/target")).empty());
            EXPECT_NE(log_text().find("Failure verifying signature of " + c.file),
                      std::string::npos);
        }
    }
}

// ------------------------------------------------------------- index, unpack

TEST_F(ZpfTest, IndexListsDataMembersWithoutPrefix) {
    std::string pkg = build();
    EXPECT_EQ(to_vec(zpm_zpf_index(nullptr, pkg.c_str())),
              (std::vector<std::string>{"/", "/usr/", "/usr/bin/", "/usr/bin/tool", "/usr/share/",
                                        "/usr/share/doc/", "/usr/share/doc/readme"}));
}

TEST_F(ZpfTest, IndexGrowsPastTwentyNames) {
    for (int i = 0; i < 45; i++)
        write_file(src_ + "/data/many/f" + std::to_string(100 + i), "x");
    std::string pkg = build();
    auto names = to_vec(zpm_zpf_index(nullptr, pkg.c_str()));
    EXPECT_EQ(names.size(), 7u + 1u + 45u);
    EXPECT_EQ(names.back(), "/usr/share/doc/readme");
    std::string log = log_text();
    EXPECT_NE(log.find("Allocating space for 20 entries"), std::string::npos);
    EXPECT_NE(log.find("Reallocation space for 40 entries"), std::string::npos);
    EXPECT_NE(log.find("Reallocation space for 80 entries"), std::string::npos);
}

TEST_F(ZpfTest, ExtractRestoresModesLinksTimesAndWorkingDirectory) {
    std::string pkg = build("foo.zpk", "--mtime 1000000000");
    char before[PATH_MAX];
    ASSERT_TRUE(getcwd(before, sizeof before));
    ASSERT_EQ(zpm_zpf_extract(pkg.c_str(), at("/target").c_str(), 0), 0);
    char after[PATH_MAX];
    ASSERT_TRUE(getcwd(after, sizeof after));
    EXPECT_STREQ(before, after);
    struct stat st;
    ASSERT_EQ(stat(at("/target/data/usr/bin/tool").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    EXPECT_EQ(st.st_mtime, 1000000000);
    // The symbolic link of the tree travels in the link list.
    EXPECT_FALSE(exists(at("/target/data/usr/bin/tl")));
    EXPECT_EQ(read_file(at("/target/info/link.txt")), "/usr/bin|tool|tl\n");
    EXPECT_EQ(read_file(at("/target/info/perm.txt")), "/usr/bin/tool|0755\n");
    // Unpacking again over the same files works (existing files are replaced).
    EXPECT_EQ(zpm_zpf_extract(pkg.c_str(), at("/target").c_str(), 0), 0);
    EXPECT_EQ(zpm_zpf_extract(pkg.c_str(), at("/no/such/dir").c_str(), 0), -1);
    EXPECT_NE(log_text().find("Failed to change to installation dir"), std::string::npos);
    ASSERT_TRUE(getcwd(after, sizeof after));
    EXPECT_STREQ(before, after);
}

// ------------------------------------------------ crafted payloads (no zpk-build)

struct Member {
    std::string name;
    mode_t mode;
    std::string content;
    std::string link; // symlink target
    int ino = 0;      // members sharing a nonzero ino are hard links of each other
};

Member reg(const std::string &n, const std::string &c, int ino = 0) {
    return {n, S_IFREG | 0644, c, "", ino};
}
Member dir(const std::string &n) {
    return {n, S_IFDIR | 0755, "", "", 0};
}
Member sym(const std::string &n, const std::string &t, int ino = 0) {
    return {n, S_IFLNK | 0777, "", t, ino};
}
Member special(const std::string &n, mode_t mode) {
    return {n, mode, "", "", 0};
}

std::string make_payload(const std::vector<Member> &members) {
    std::vector<char> buf(1 << 20);
    size_t used = 0;
    archive *a = archive_write_new();
    archive_write_add_filter_gzip(a);
    archive_write_set_format_cpio_newc(a);
    archive_write_set_bytes_in_last_block(a, 1);
    archive_write_open_memory(a, buf.data(), buf.size(), &used);
    int ino = 1000;
    for (const Member &m : members) {
        archive_entry *e = archive_entry_new();
        archive_entry_set_pathname(e, m.name.c_str());
        archive_entry_set_mode(e, m.mode);
        archive_entry_set_ino(e, m.ino ? m.ino : ino++);
        archive_entry_set_nlink(e, m.ino ? 2 : 1);
        if (S_ISCHR(m.mode))
            archive_entry_set_rdev(e, makedev(1, 3));
        if (!m.link.empty())
            archive_entry_set_symlink(e, m.link.c_str());
        archive_entry_set_size(e, (la_int64_t)m.content.size());
        EXPECT_EQ(archive_write_header(a, e), ARCHIVE_OK) << m.name;
        if (!m.content.empty())
            archive_write_data(a, m.content.data(), m.content.size());
        archive_entry_free(e);
    }
    archive_write_close(a);
    archive_write_free(a);
    return std::string(buf.data(), used);
}

std::string package(const std::string &desc, const std::string &payload) {
    char len[6];
    snprintf(len, sizeof len, "%05d", (int)desc.size());
    return "EZPM10" + std::string(len) + desc + payload;
}

class ZpfHostile : public ZpfTest {
  protected:
    // Unpacks a crafted payload into root/deep/er/target and checks that
    // nothing appeared or changed anywhere else in the root.
    int unpack(const std::vector<Member> &members) {
        make_dirs(at("/outside"));
        write_file(at("/outside/victim"), "original");
        make_dirs(at("/deep/er/target"));
        write_file(at("/hostile.zpk"), package(minimal_desc("evil"), make_payload(members)));
        auto before = tree_of(root());
        int rc = zpm_zpf_extract(at("/hostile.zpk").c_str(), at("/deep/er/target").c_str(), 0);
        auto after = tree_of(root());
        for (const std::string &p : after) {
            if (!before.count(p)) {
                EXPECT_EQ(p.rfind("deep/er/target/", 0), 0u) << "written outside: " << p;
            }
        }
        EXPECT_EQ(read_file(at("/outside/victim")), "original");
        struct stat st;
        EXPECT_EQ(stat(at("/outside/victim").c_str(), &st), 0);
        EXPECT_EQ(st.st_nlink, 1u);
        return rc;
    }
};

TEST_F(ZpfHostile, EscapingMembersAreRefused) {
    const std::string outside = at("/outside");
    // Hard links in a cpio archive join members of equal inode number; the
    // first member's name becomes the link target of the later ones.
    const struct {
        const char *what;
        std::vector<Member> members;
    } cases[] = {
        {"dot-dot name",
         {dir("data/"), reg("data/../../x", "x"), reg("data/../../../../escaped", "x")}},
        {"absolute name", {reg(at("/abs_victim"), "x")}},
        {"file through absolute symlink",
         {dir("data/"), sym("data/lnk", outside), reg("data/lnk/evil", "x")}},
        {"file through relative symlink",
         {dir("data/"), sym("data/up", "../../../outside"), reg("data/up/evil", "x")}},
        {"hard link out",
         {dir("data/"), reg("../../../outside/victim", "", 7), reg("data/h", "pwned", 7)}},
        {"absolute hard link",
         {dir("data/"), reg(outside + "/victim", "", 7), reg("data/h", "pwned", 7)}},
        {"hard link to a symlink",
         {dir("data/"), sym("data/s", outside + "/victim", 7), reg("data/h", "pwned", 7)}},
        {"device node", {dir("data/"), special("data/null", S_IFCHR | 0666)}},
        {"fifo", {dir("data/"), special("data/fifo", S_IFIFO | 0644)}},
        {"socket", {dir("data/"), special("data/sock", S_IFSOCK | 0644)}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(at("/deep"));
        EXPECT_EQ(unpack(c.members), -1);
        EXPECT_FALSE(exists(at("/deep/er/target/data/null")));
        EXPECT_FALSE(exists(at("/deep/er/target/data/fifo")));
        EXPECT_FALSE(exists(at("/deep/er/target/data/h")));
    }
}

// A member that replaces a symbolic link of the same name replaces the link
// itself; it never writes to what the link points at.
TEST_F(ZpfHostile, MemberOverASymlinkReplacesTheLink) {
    EXPECT_EQ(unpack({dir("data/"), sym("data/f", at("/outside/victim")), reg("data/f", "mine")}),
              0);
    struct stat st;
    ASSERT_EQ(lstat(at("/deep/er/target/data/f").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(read_file(at("/deep/er/target/data/f")), "mine");
}

// Members in orders that reuse the directories opened for the member before
// (a link or a file over a held directory, a deep path then its siblings):
// the outcome, the refusal logged, and what each name is afterwards ("/" a
// directory, "@" a link, "-" nothing, else a file's content).
TEST_F(ZpfHostile, MemberOrdersOverOpenDirectories) {
    const std::string out = "../../../../outside";
    const std::string dirty = "a member would replace a directory: ";
    const std::string through = "a directory of its path is a symbolic link or a file: ";
    const struct {
        std::vector<Member> members;
        std::string refused;
        std::vector<std::pair<std::string, std::string>> after;
    } cases[] = {
        {{dir("data/a/"), reg("data/a/x", "1"), sym("data/a", out), reg("data/a/f", "2")},
         dirty + "data/a",
         {{"data/a", "/"}, {"data/a/f", "2"}}},
        {{reg("data/p/q/r/f", "1"), sym("data/p/q", out), reg("data/p/q/r/g", "2")},
         dirty + "data/p/q",
         {{"data/p/q", "/"}, {"data/p/q/r/g", "2"}}},
        {{sym("data/l", out), dir("data/l/"), reg("data/l/evil", "x")},
         through + "data/l/",
         {{"data/l", "-"}}},
        {{dir("data/d/"), reg("data/d/x", "1"), reg("data/d", "f"), reg("data/d/y", "2")},
         dirty + "data/d",
         {{"data/d", "/"}, {"data/d/y", "2"}}},
        {{reg("data/f", "1"), reg("data/f/x", "2")}, through + "data/f/x", {{"data/f", "1"}}},
        {{reg("data/a/b/c/d/f", "1"), reg("data/a/b/e", "2"), reg("data/a/g", "3"),
          reg("data/h", "4"), reg("data/a/b/c/d/f", "5"), sym("data/a/s", "g"), dir("data/a/b/"),
          reg("data/ab/z", "6")},
         "",
         {{"data/a/b/c/d/f", "5"},
          {"data/a/b/e", "2"},
          {"data/h", "4"},
          {"data/a/s", "3"},
          {"data/ab/z", "6"},
          {"data/a/z", "-"}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.members[1].name);
        fs::remove_all(at("/deep"));
        clear_log();
        EXPECT_EQ(unpack(c.members), c.refused.empty() ? 0 : -1);
        if (!c.refused.empty()) {
            EXPECT_NE(log_text().find(c.refused), std::string::npos) << log_text();
        }
        for (const auto &[name, what] : c.after) {
            const std::string p = at("/deep/er/target/" + name);
            struct stat st;
            bool there = lstat(p.c_str(), &st) == 0;
            if (what == "-" || what == "/") {
                EXPECT_EQ(there && S_ISDIR(st.st_mode), what == "/") << name;
            } else {
                EXPECT_EQ(there && S_ISREG(st.st_mode) ? read_file(p) : "?", what) << name;
            }
        }
    }
}

// Directories take their modes and times (here the epoch) once all that
// goes into them is written, deepest first.
TEST_F(ZpfHostile, DirectoriesTakeTheirModesAndTimes) {
    Member a = dir("data/a/"), b = dir("data/a/b/"), init = dir("init/");
    a.mode = S_IFDIR | 0750;
    b.mode = S_IFDIR | 0500;
    init.mode = S_IFDIR | 0711;
    ASSERT_EQ(unpack({dir("data/"), a, b, reg("data/a/b/f", "x"), init, reg("init/s", "y"),
                      reg("data/a/g", "z")}),
              0);
    const std::pair<const char *, mode_t> dirs[] = {
        {"data", 0755}, {"data/a", 0750}, {"data/a/b", 0500}, {"init", 0711}};
    for (const auto &[name, mode] : dirs) {
        struct stat st;
        ASSERT_EQ(lstat(at("/deep/er/target/").append(name).c_str(), &st), 0) << name;
        EXPECT_EQ(st.st_mode & 07777, mode) << name;
        EXPECT_EQ(st.st_mtime, 0) << name;
    }
}

TEST_F(ZpfHostile, SafeHardLinksAndDotSlashNamesStillWork) {
    EXPECT_EQ(unpack({dir("data/"), reg("data/a", "", 9), reg("data/b", "shared", 9)}), 0);
    EXPECT_EQ(read_file(at("/deep/er/target/data/a")), "shared");
    struct stat st;
    ASSERT_EQ(stat(at("/deep/er/target/data/b").c_str(), &st), 0);
    EXPECT_EQ(st.st_nlink, 2u);

    // "./data/..." members unpack, but the index lists none of them.
    fs::remove_all(at("/deep"));
    EXPECT_EQ(unpack({dir("./data/"), reg("./data/x", "x")}), 0);
    EXPECT_EQ(read_file(at("/deep/er/target/data/x")), "x");
    EXPECT_EQ(zpm_zpf_index(nullptr, at("/hostile.zpk").c_str()), nullptr);
}

// A link member that leads to a regular file inside its own top-level
// directory becomes a copy of that file (placing files in any order then
// reads what it led to); any other link fails the unpacking, with why.
TEST_F(ZpfHostile, LinkMembersAreSettled) {
    ASSERT_EQ(
        unpack({dir("data/"), sym("data/a", "b"), sym("data/b", "sub/../sub/c"), dir("data/sub/"),
                reg("data/sub/c", "content"), sym("init/x", "y"), reg("init/y", "s")}),
        0);
    for (const char *f : {"data/a", "data/b", "init/x"}) {
        struct stat st;
        ASSERT_EQ(lstat(at("/deep/er/target/").append(f).c_str(), &st), 0) << f;
        EXPECT_TRUE(S_ISREG(st.st_mode)) << f;
    }
    EXPECT_EQ(read_file(at("/deep/er/target/data/a")), "content");
    EXPECT_EQ(read_file(at("/deep/er/target/init/x")), "s");
    const struct {
        Member link;
        const char *why;
    } refused[] = {
        {sym("data/z", "/dev/zero"), "points outside the package (an absolute target)"},
        {sym("data/up", "../../outside/victim"), "points outside the package"},
        {sym("data/other", "../init/y"), "points outside the package"},
        {sym("data/d", "sub"), "points to a directory"},
        {sym("data/none", "nothing"), "leads to nothing in the package"},
        {sym("data/loop", "loop"), "goes through too many symbolic links"},
        {sym("hash/data.txt", "/dev/zero"), "points outside the package"},
        {sym("top", "data/sub/c"), "is not inside a directory of the package"},
    };
    for (const auto &c : refused) {
        SCOPED_TRACE(c.link.name);
        fs::remove_all(at("/deep"));
        clear_log();
        EXPECT_EQ(unpack({dir("data/"), dir("data/sub/"), reg("data/sub/c", "x"), dir("init/"),
                          reg("init/y", "s"), dir("hash/"), c.link}),
                  -1);
        EXPECT_NE(log_text().find("Refusing the symbolic link " + c.link.name + " -> " +
                                  c.link.link +
                                  ": a link in a package must lead to a regular "
                                  "file of the package, and this one " +
                                  c.why),
                  std::string::npos)
            << log_text();
    }
}

// Unpacking does not judge hash lists (the installer does, from the unpacked
// forks); what it unpacks must let that check see the lie.
TEST_F(ZpfHostile, WrongHashListIsVisibleAfterUnpacking) {
    const std::string lie = "0000000000000000000000000000000000000000:bin/tool\n";
    ASSERT_EQ(unpack({dir("data/"), dir("data/bin/"), reg("data/bin/tool", "real"), dir("hash/"),
                      reg("hash/data.txt", lie)}),
              0);
    s_ekva **listed = nullptr, **computed = nullptr;
    char *sub = nullptr;
    ASSERT_EQ(zpm_zpf_zpk_hashes(at("/deep/er/target").c_str(), "data", &listed), 0);
    ASSERT_EQ(zpm_zpf_hash_files(at("/deep/er/target/data").c_str(), &sub, &computed), 0);
    free(sub);
    ASSERT_TRUE(listed && listed[1] && computed && computed[1]);
    EXPECT_STREQ(listed[1]->val, "/bin/tool");
    EXPECT_STREQ(computed[1]->val, "/bin/tool");
    EXPECT_STRNE(listed[1]->key, computed[1]->key);
    ekva_free(listed);
    ekva_free(computed);
}

// Cut inside the first read of the payload, or well after it (a payload
// larger than what the reader takes in at once): both must fail.
TEST_F(ZpfHostile, TruncatedPayloadFails) {
    std::mt19937 rnd(7);
    std::string noise(600 * 1024, '\0');
    for (char &c : noise)
        c = static_cast<char>(rnd());
    write_file(src_ + "/data/big1", noise.substr(0, 300 * 1024));
    write_file(src_ + "/data/big2", noise.substr(300 * 1024));
    std::string pkg = read_file(build("foo.zpk", "--unsigned"));
    size_t payload = payload_of(at("/foo.zpk")).size();
    ASSERT_GT(payload, 500u * 1024u);
    for (size_t keep : {pkg.size() - payload + 1000, pkg.size() - payload / 4, pkg.size() - 10}) {
        SCOPED_TRACE(keep);
        write_file(at("/cut.zpk"), pkg.substr(0, keep));
        fs::remove_all(at("/target"));
        make_dirs(at("/target"));
        EXPECT_EQ(zpm_zpf_extract(at("/cut.zpk").c_str(), at("/target").c_str(), 0), -1);
    }
}

// ------------------------------------------- a package made with standard tools

TEST_F(ZpfTest, PackageFromStandardToolsReadsLikeOneFromZpkBuild) {
    std::string built = build();
    // Same tree, assembled by cpio, gzip and openssl alone.
    std::string stage = at("/stage");
    make_dirs(stage);
    std::string script = "set -e; cd " + shq(stage) + "; cp -a " + shq(src_) +
                         "/. .; mkdir -p hash;\n"
                         // Symbolic links of data/ go to the link list, as zpk-build does it.
                         "find data -type l | while read l; do r=${l#data}; printf '%s|%s|%s\\n' "
                         "\"$(dirname \"$r\")\" \"$(readlink \"$l\")\" \"$(basename \"$r\")\" "
                         ">> info/link.txt; rm \"$l\"; done;\n"
                         "for f in data info init; do (cd $f && find . \\( -type f -o -type l \\) "
                         "| sed 's|^\\./||' |"
                         " LC_ALL=C sort | while read p; do printf '%s:%s\\n' \"$(sha1sum < \"$p\" "
                         "| cut -c1-40)\" \"$p\";"
                         " done) > hash/$f.txt; done;\n"
                         "find data hash info init | LC_ALL=C sort | cpio -o -H newc --quiet | "
                         "gzip -n > ../payload.gz;\n"
                         "openssl dgst -sha1 -sign " +
                         shq(at("/keys/key.pem")) + " -out ../sig ../payload.gz;\n";
    std::string out;
    ASSERT_EQ(run("bash -c " + shq(script) + " 2>&1", &out), 0) << out;
    std::string sig;
    ASSERT_EQ(run("base64 -w0 " + shq(at("/sig")), &sig), 0);
    std::string desc = minimal_desc("foo", "1.2") + "ezpkRsaSigSubj: " + kSubj +
                       "\nezpkRsaSigData:: " + sig + "\n";
    write_file(at("/manual.zpk"), package(desc, read_file(at("/payload.gz"))));

    Zpi z(zpm_zpf_info(at("/manual.zpk").c_str(), 1));
    ASSERT_TRUE(z);
    EXPECT_EQ(z->rsa_verified, 1);
    std::vector<std::string> index = to_vec(zpm_zpf_index(nullptr, at("/manual.zpk").c_str()));
    EXPECT_NE(std::find(index.begin(), index.end(), "/usr/bin/tool"), index.end());
    ASSERT_EQ(zpm_zpf_extract(at("/manual.zpk").c_str(), at("/target").c_str(), 1), 0);
    make_dirs(at("/target2"));
    ASSERT_EQ(zpm_zpf_extract(built.c_str(), at("/target2").c_str(), 1), 0);
    for (const char *f : {"data/usr/bin/tool", "data/usr/share/doc/readme", "init/00-add.sh",
                          "info/perm.txt", "hash/data.txt", "hash/init.txt", "info/link.txt"})
        EXPECT_EQ(read_file(at("/target/") + f), read_file(at("/target2/") + f)) << f;
    EXPECT_EQ(read_file(at("/target/info/link.txt")), "/usr/bin|tool|tl\n");
}

} // namespace
