// zpk-build, run as a program: the file it writes (header, description,
// payload members, hash lists, signature), reproducibility, and refusals
// that leave no output behind.
#include <gtest/gtest.h>

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "ekva.h"
#include "pkgfixture.h"
#include "recptr.h"
#include "util.h"
#include "zpf.h"
#include "zpm.h"

namespace fs = std::filesystem;
using namespace zpmtest;

namespace {

const char *kSubj = "/C=DE/O=Example Org/CN=Builder";

using Zpi = ZpiPtr;

struct Entry {
    std::string name;
    mode_t mode;
    la_int64_t uid, gid;
    time_t mtime;
    std::string link;
};

std::vector<Entry> members_of(const std::string &payload) {
    std::vector<Entry> out;
    archive *a = archive_read_new();
    archive_read_support_filter_gzip(a);
    archive_read_support_format_cpio(a);
    EXPECT_EQ(archive_read_open_memory(a, payload.data(), payload.size()), ARCHIVE_OK);
    archive_entry *e;
    while (archive_read_next_header(a, &e) == ARCHIVE_OK) {
        const char *l = archive_entry_symlink(e);
        out.push_back({archive_entry_pathname(e), archive_entry_mode(e), archive_entry_uid(e),
                       archive_entry_gid(e), archive_entry_mtime(e), l ? l : ""});
    }
    archive_read_free(a);
    return out;
}

std::vector<std::string> dir_listing(const std::string &dir) {
    std::vector<std::string> v;
    for (const auto &e : fs::directory_iterator(dir))
        v.push_back(e.path().filename().string());
    return v;
}

// The files below dir, relative, sorted, separated by blanks.
std::string tree_of_data(const std::string &dir) {
    std::set<std::string> files;
    for (const auto &e : fs::recursive_directory_iterator(dir))
        if (!e.is_directory())
            files.insert(fs::relative(e.path(), dir).string());
    std::string out;
    for (const std::string &f : files)
        out += (out.empty() ? "" : " ") + f;
    return out;
}

class ZpkBuildTest : public RootTest {
  protected:
    static void SetUpTestSuite() {
        key_ = make_rsa_key().release();
        other_ = make_rsa_key().release();
    }
    static void TearDownTestSuite() {
        EVP_PKEY_free(key_);
        EVP_PKEY_free(other_);
    }
    void SetUp() override {
        RootTest::SetUp();
        src_ = at("/src");
        make_tree(src_, {{"data/usr/bin/tool", "#!/bin/sh\necho tool\n"},
                         {"data/etc/tool.conf", "x=1\n"},
                         {"data/usr/lib/libt.so.1", std::string(3000, 'L')},
                         {"info/desc.txt", "ezpmVersion: 1.0\nezpkName: tool\nezpkVersion: 0.9\n"
                                           "ezpkArchitecture: i686\nezpkCreator: Desc Creator\n"
                                           "ezpkDependency: libc\nezpkDependency: zlib\n"},
                         {"info/link.txt", "/usr/lib|libt.so.1|libt.so\n"},
                         {"init/00-add.sh", "echo add\n"},
                         {"init/99-add.sh", "echo done\n"}});
        chmod((src_ + "/data/usr/bin/tool").c_str(), 0750);
        symlink("libt.so.1", (src_ + "/data/usr/lib/libt.so").c_str());
        Cert c = make_cert(key_, kSubj, -60, 86400);
        write_file(at("/k/key.pem"), key_pem(key_));
        write_file(at("/k/other.pem"), key_pem(other_));
        write_file(at("/k/cert.pem"), cert_pem(c.get()));
        store_cert(c.get(), kSubj);
        make_dirs(at("/out"));
        signing_ = "-k " + shq(at("/k/key.pem")) + " -c " + shq(at("/k/cert.pem"));
    }
    // Builds into out/<name> and expects success.
    std::string build(const std::string &args, const std::string &name = "t.zpk") {
        std::string out = at("/out/" + name), msg;
        EXPECT_EQ(zpk_build(args + " -o " + shq(out) + " " + shq(src_), &msg), 0) << msg;
        return out;
    }
    std::string src_, signing_;
    static EVP_PKEY *key_, *other_;
};
EVP_PKEY *ZpkBuildTest::key_ = nullptr;
EVP_PKEY *ZpkBuildTest::other_ = nullptr;

TEST_F(ZpkBuildTest, HelpNamesEveryOption) {
    std::string out;
    EXPECT_EQ(zpk_build("--help", &out), 0);
    for (const char *opt :
         {"--name", "--variant", "--version", "--arch", "--creator", "--description", "--depends",
          "--key", "--cert", "--unsigned", "--output", "--mtime", "SRCDIR", "info/desc.txt"})
        EXPECT_NE(out.find(opt), std::string::npos) << opt;
}

TEST_F(ZpkBuildTest, HeaderCarriesPayloadDescriptionPlusSignature) {
    std::string pkg = build(signing_);
    std::string all = read_file(pkg);
    ASSERT_EQ(all.substr(0, 6), "EZPM10");
    std::string len = all.substr(6, 5);
    EXPECT_EQ(len.find_first_not_of("0123456789"), std::string::npos) << len;
    std::string header = description_of(pkg);
    make_dirs(at("/x"));
    ASSERT_EQ(zpm_zpf_extract(pkg.c_str(), at("/x").c_str(), 1), 0);
    std::string inner = read_file(at("/x/info/desc.txt"));
    ASSERT_EQ(header.substr(0, inner.size()), inner);
    EXPECT_EQ(header.substr(inner.size(), 17 + strlen(kSubj)),
              std::string("ezpkRsaSigSubj: ") + kSubj + "\n");
    EXPECT_NE(header.find("ezpkRsaSigData:: "), std::string::npos);
    EXPECT_EQ(inner.find("ezpkRsaSig"), std::string::npos);
    EXPECT_EQ(inner, "ezpmVersion: 1.0\nezpkName: tool\nezpkVersion: 0.9\nezpkArchitecture: i686\n"
                     "ezpkCreator: Desc Creator\nezpkDependency: libc\nezpkDependency: zlib\n"
                     "ezpkDataSize: 3024\n");
    Zpi z(zpm_zpf_info(pkg.c_str(), 1));
    ASSERT_TRUE(z);
    EXPECT_EQ(z->rsa_verified, 1);
    EXPECT_EQ(z->datasize, 20u + 4u + 3000u);
}

TEST_F(ZpkBuildTest, MembersSortedWithDirectoriesOwnersAndModes) {
    std::string pkg = build("--unsigned --mtime 777");
    std::vector<Entry> m = members_of(payload_of(pkg));
    std::vector<std::string> names;
    for (const Entry &e : m) {
        names.push_back(e.name);
        EXPECT_EQ(e.uid, 0) << e.name;
        EXPECT_EQ(e.gid, 0) << e.name;
        EXPECT_EQ(e.mtime, 777) << e.name;
    }
    EXPECT_EQ(names, (std::vector<std::string>{"data/", "data/etc/", "data/etc/tool.conf",
                                               "data/usr/", "data/usr/bin/", "data/usr/bin/tool",
                                               "data/usr/lib/", "data/usr/lib/libt.so.1", "hash/",
                                               "hash/data.txt", "hash/info.txt", "hash/init.txt",
                                               "info/", "info/desc.txt", "info/link.txt", "init/",
                                               "init/00-add.sh", "init/99-add.sh"}));
    for (const Entry &e : m) {
        if (e.name == "data/usr/bin/tool") {
            EXPECT_EQ(e.mode, S_IFREG | 0750u);
        }
        // libt.so -> libt.so.1 travels in the link list, not as a member.
        EXPECT_FALSE(S_ISLNK(e.mode)) << e.name << " -> " << e.link;
        if (e.name == "data/etc/") {
            EXPECT_TRUE(S_ISDIR(e.mode));
        }
    }
}

// The lists must agree with what the installer computes from the unpacked
// forks, pair for pair.
TEST_F(ZpkBuildTest, HashListsMatchTheUnpackedFiles) {
    std::string pkg = build(signing_);
    make_dirs(at("/x"));
    ASSERT_EQ(zpm_zpf_extract(pkg.c_str(), at("/x").c_str(), 1), 0);
    for (const char *fork : {"data", "info", "init"}) {
        SCOPED_TRACE(fork);
        std::string list = read_file(at("/x/hash/") + fork + ".txt");
        std::vector<std::string> paths;
        size_t pos = 0;
        while (pos < list.size()) {
            size_t nl = list.find('\n', pos);
            ASSERT_NE(nl, std::string::npos);
            std::string line = list.substr(pos, nl - pos);
            ASSERT_GT(line.size(), 41u);
            ASSERT_EQ(line[40], ':');
            paths.push_back(line.substr(41));
            char digest[41];
            ASSERT_TRUE(sha1_file((at("/x/") + fork + "/" + line.substr(41)).c_str(), 'x', digest));
            EXPECT_EQ(line.substr(0, 40), digest) << line;
            pos = nl + 1;
        }
        EXPECT_TRUE(std::is_sorted(paths.begin(), paths.end()));
        s_ekva **listed = nullptr, **computed = nullptr;
        char *sub = nullptr;
        ASSERT_EQ(zpm_zpf_zpk_hashes(at("/x").c_str(), fork, &listed), 0);
        ASSERT_EQ(zpm_zpf_hash_files((at("/x/") + fork).c_str(), &sub, &computed), 0);
        free(sub);
        std::set<std::pair<std::string, std::string>> a, b;
        for (int i = 1; listed && listed[i]; i++)
            a.emplace(listed[i]->key, listed[i]->val);
        for (int i = 1; computed && computed[i]; i++)
            b.emplace(computed[i]->key, computed[i]->val);
        EXPECT_EQ(a, b);
        EXPECT_FALSE(a.empty());
        ekva_free(listed);
        ekva_free(computed);
    }
}

// Links of data/, dangling ones too, travel in the link list after the
// tree's own lines; a line the tree already has is not repeated.
TEST_F(ZpkBuildTest, LinksOfDataGoToTheLinkList) {
    symlink("tool", (src_ + "/data/usr/bin/t").c_str());
    symlink("nowhere/else", (src_ + "/data/etc/dangling").c_str());
    std::string pkg = build("--unsigned");
    make_dirs(at("/x"));
    ASSERT_EQ(zpm_zpf_extract(pkg.c_str(), at("/x").c_str(), 0), 0);
    EXPECT_EQ(read_file(at("/x/info/link.txt")),
              "/usr/lib|libt.so.1|libt.so\n/etc|nowhere/else|dangling\n/usr/bin|tool|t\n");
    EXPECT_EQ(tree_of_data(at("/x/data")), "etc/tool.conf usr/bin/tool usr/lib/libt.so.1");
}

TEST_F(ZpkBuildTest, OptionsOverrideTheTreeDescription) {
    std::string pkg = build(signing_ + " -n tool2 -V dev -v 1.0.1 -a x86_64 -C Me -D " +
                            shq("two\nlines") + " -d a,b -d c");
    Zpi z(zpm_zpf_info(pkg.c_str(), 1));
    ASSERT_TRUE(z);
    EXPECT_STREQ(z->name, "tool2");
    EXPECT_STREQ(z->variant, "dev");
    EXPECT_STREQ(z->version, "1.0.1");
    EXPECT_EQ(z->arch, ZPK_ARCH_X86_64);
    EXPECT_STREQ(z->creator, "Me");
    EXPECT_STREQ(z->desc, "two\nlines");
    ASSERT_TRUE(z->deps);
    EXPECT_STREQ(z->deps[0], "a");
    EXPECT_STREQ(z->deps[1], "b");
    EXPECT_STREQ(z->deps[2], "c");
    EXPECT_EQ(z->deps[3], nullptr);
    EXPECT_EQ(z->rsa_verified, 1);

    Zpi none(zpm_zpf_info(build("--unsigned -d ''", "nodeps.zpk").c_str(), 0));
    ASSERT_TRUE(none);
    EXPECT_EQ(none->deps, nullptr);
}

TEST_F(ZpkBuildTest, DefaultOutputNameIsTheUniqueName) {
    std::string out;
    ASSERT_EQ(run("cd " + shq(at("/out")) + " && env -u SOURCE_DATE_EPOCH " + zpk_build_bin() +
                      " --unsigned -V dev " + shq(src_) + " 2>&1",
                  &out),
              0)
        << out;
    EXPECT_EQ(dir_listing(at("/out")), std::vector<std::string>{"tool_dev_i686_0.9.zpk"});
}

TEST_F(ZpkBuildTest, SameInputSameBytes) {
    std::string a = read_file(build(signing_, "a.zpk"));
    std::string b = read_file(build(signing_, "b.zpk"));
    EXPECT_EQ(a, b);
    // A fresh mtime on the sources does not matter either.
    fs::last_write_time(src_ + "/data/etc/tool.conf", fs::file_time_type::clock::now());
    EXPECT_EQ(read_file(build(signing_, "c.zpk")), a);
    std::string msg;
    ASSERT_EQ(run("SOURCE_DATE_EPOCH=12345 " + zpk_build_bin() + " --unsigned -o " +
                      shq(at("/out/e.zpk")) + " " + shq(src_) + " 2>&1",
                  &msg),
              0)
        << msg;
    for (const Entry &e : members_of(payload_of(at("/out/e.zpk"))))
        EXPECT_EQ(e.mtime, 12345) << e.name;
}

TEST_F(ZpkBuildTest, UnsignedPackageHasNoSignature) {
    std::string pkg = build("--unsigned");
    EXPECT_EQ(description_of(pkg).find("ezpkRsaSig"), std::string::npos);
    Zpi z(zpm_zpf_info(pkg.c_str(), 1));
    ASSERT_TRUE(z);
    EXPECT_EQ(z->rsa_verified, -1);
    Zpi plain(zpm_zpf_info(build("", "nokey.zpk").c_str(), 1));
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->rsa_verified, -1);
}

// Every refusal says why and leaves the output directory empty.
TEST_F(ZpkBuildTest, BadInputLeavesNoOutput) {
    Cert other_cert = make_cert(other_, "/CN=Other", -60, 86400);
    write_file(at("/k/othercert.pem"), cert_pem(other_cert.get()));
    write_file(at("/k/garbage.pem"), "not a key\n");
    const std::string key = shq(at("/k/key.pem")), cert = shq(at("/k/cert.pem"));
    const struct {
        const char *what;
        std::string args;
        int rc;
        std::string message;
        std::function<void()> prepare;
    } cases[] = {
        {"slash in name", "-n a/b", 1, "invalid package name \"a/b\"", nullptr},
        {"leading dot", "-n .hidden", 1, "invalid package name", nullptr},
        {"leading dash", "--name=-x", 1, "invalid package name \"-x\"", nullptr},
        {"space in name", "-n " + shq("a b"), 1, "invalid package name", nullptr},
        {"bad variant", "-V x/y", 1, "invalid variant", nullptr},
        {"bad version", "-v " + shq("1.0;rm"), 1, "invalid version", nullptr},
        {"bad dependency", "-d ../up", 1, "invalid dependency", nullptr},
        {"bad arch", "-a X86_64", 1, "unknown architecture \"X86_64\"", nullptr},
        {"missing key", "-k " + shq(at("/k/none.pem")) + " -c " + cert, 1, "cannot read key",
         nullptr},
        {"garbage key", "-k " + shq(at("/k/garbage.pem")) + " -c " + cert, 1,
         "no usable PEM private key", nullptr},
        {"key and cert differ", "-k " + key + " -c " + shq(at("/k/othercert.pem")), 1,
         "does not match certificate", nullptr},
        {"key alone", "-k " + key, 2, "signing needs both -k KEY and -c CERT", nullptr},
        {"unknown option", "--frobnicate", 2, "unknown option", nullptr},
        {"no desc.txt", "", 1, "info/desc.txt", [&] { fs::remove(src_ + "/info/desc.txt"); }},
        {"huge description", "-D " + std::string(99990, 'x'), 1, "longer than the 99999", nullptr},
        {"fifo in data", "", 1, "unsupported file type",
         [&] { mkfifo((src_ + "/data/fifo").c_str(), 0644); }},
        {"dangling link in init", "", 1, "cannot hash",
         [&] { symlink("nowhere", (src_ + "/init/dead").c_str()); }},
        {"link the link list cannot carry", "", 1, "cannot carry the symbolic link",
         [&] { symlink("a|b", (src_ + "/data/dead").c_str()); }},
        {"file reference in desc.txt", "", 1, "ezpkDescription refers to a file",
         [&] {
             write_file(src_ + "/info/desc.txt", minimal_desc("tool") +
                                                     "ezpkDescription:< file://" + src_ +
                                                     "/init/00-add.sh\n");
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.prepare)
            c.prepare();
        std::string out;
        EXPECT_EQ(zpk_build(c.args + " -o " + shq(at("/out/p.zpk")) + " " + shq(src_), &out), c.rc);
        EXPECT_NE(out.find(c.message), std::string::npos) << out;
        EXPECT_TRUE(dir_listing(at("/out")).empty());
        // Undo the tree changes for the next case.
        fs::remove(src_ + "/data/fifo");
        fs::remove(src_ + "/data/dead");
        fs::remove(src_ + "/init/dead");
        if (read_file(src_ + "/info/desc.txt").find(":<") != std::string::npos)
            fs::remove(src_ + "/info/desc.txt");
        if (!exists(src_ + "/info/desc.txt"))
            write_file(src_ + "/info/desc.txt", minimal_desc("tool"));
    }
}

} // namespace
