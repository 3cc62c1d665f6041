// The zpc-dirs back end, loaded as zpm loads it: refresh, index, search,
// reads, and what it does with a damaged index.
#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "catalogue.h"
#include "ekva.h"
#include "ldiflib.h"
#include "loglib.h"
#include "testroot.h"
#include "util.h"
#include "zpm.h"

using namespace zpmtest;

namespace {

// gzip-compressed cpio with one data file: enough of a payload for an index.
std::string payload(const std::string &name) {
    std::vector<char> buf(1 << 16);
    size_t used = 0;
    archive *a = archive_write_new();
    archive_write_add_filter_gzip(a);
    archive_write_set_format_cpio_newc(a);
    archive_write_open_memory(a, buf.data(), buf.size(), &used);
    std::string body = "#!/bin/sh\necho " + name + "\n";
    archive_entry *e = archive_entry_new();
    archive_entry_set_pathname(e, ("data/usr/bin/" + name).c_str());
    archive_entry_set_filetype(e, AE_IFREG);
    archive_entry_set_perm(e, 0755);
    archive_entry_set_size(e, static_cast<la_int64_t>(body.size()));
    archive_write_header(a, e);
    archive_write_data(a, body.data(), body.size());
    archive_entry_free(e);
    archive_write_close(a);
    archive_write_free(a);
    return std::string(buf.data(), used);
}

struct Pkg {
    std::string name, variant, version = "1.0", arch = "any", desc;
    std::vector<std::string> deps;
};

std::string description(const Pkg &p) {
    std::string d = "ezpmVersion: 1.0\nezpkName: " + p.name + "\n";
    if (!p.variant.empty())
        d += "ezpkVariant: " + p.variant + "\n";
    d += "ezpkVersion: " + p.version + "\nezpkArchitecture: " + p.arch + "\n";
    d += "ezpkCreator: inventory tests\n";
    if (!p.desc.empty()) {
        char *b = nullptr;
        int len = 0;
        b = ldif_write(b, &len, "ezpkDescription", p.desc.c_str(), 0, 0);
        d += std::string(b, static_cast<size_t>(len));
        free(b);
    }
    for (const std::string &dep : p.deps)
        d += "ezpkDependency: " + dep + "\n";
    return d + "ezpkDataSize: 4096\n";
}

void write_zpk(const std::string &path, const Pkg &p) {
    std::string desc = description(p);
    char len[8];
    snprintf(len, sizeof len, "%05zu", desc.size());
    write_file(path, "EZPM10" + std::string(len) + desc + payload(p.name));
}

std::string sha1_of(const std::string &path) {
    char hex[41];
    return sha1_file(path.c_str(), 'x', hex) ? std::string(hex) : std::string();
}

class ZpcDirsTest : public RootTest {
  protected:
    void SetUp() override {
        RootTest::SetUp();
        repo1_ = root() + "/repo one";
        repo2_ = root() + "/repo2";
        make_dirs(repo1_);
        make_dirs(repo2_);
        std::string so = std::string(ZPM_TEST_BINDIR) + "/src/backends/zpc-dirs/zpc-dirs.so";
        handle_ = zpm_zpc_load(so.c_str());
        ASSERT_NE(handle_, nullptr) << so;
    }
    void TearDown() override {
        for (ZPC *z : conns_)
            pzpm_zpc_release(z);
        if (conf_)
            ekva_free(conf_);
        zpm_zpc_close(handle_);
        RootTest::TearDown();
    }
    ZPC *connect() {
        if (!conf_) {
            conf_ = ekva_new(16, 2);
            ekva_addval(&conf_, "zpc_dirs", (" " + repo1_ + " ," + repo2_ + "/").c_str(), 2);
            ekva_addval(&conf_, "arch_name", "x86_64", 2);
        }
        ZPC *z = pzpm_zpc_connect(conf_, zpmlog);
        if (z)
            conns_.push_back(z);
        return z;
    }
    int find(ZPC *z, const char *name, const char *variant, ZPI ***list) {
        return pzpm_zpc_findpkg(z, const_cast<char *>(name), const_cast<char *>(variant), nullptr,
                                5, nullptr, list);
    }
    // A standard repository: two directories, variants, an i686 package and
    // files that are not packages.
    void populate() {
        write_zpk(repo1_ + "/gcc-12.zpk", {"gcc", "", "12", "x86_64", "", {"binutils", "libc"}});
        write_zpk(repo1_ + "/gcc-dev.zpk", {"gcc", "dev", "12", "any", "", {}});
        write_zpk(repo1_ + "/bash.zpk", {"bash", "", "5.2", "any", "", {}});
        write_zpk(repo1_ + "/old32.zpk", {"old32", "", "1", "i686", "", {}});
        write_zpk(repo2_ + "/gcc-13.zpk", {"gcc", "", "13", "x86_64", "", {}});
        write_file(repo1_ + "/README", "not a package\n");
        write_file(repo1_ + "/broken.zpk", "EZPM10garbage");
        make_dirs(repo1_ + "/dir.zpk");
    }
    std::string repo1_, repo2_;
    void *handle_ = nullptr;
    s_ekva **conf_ = nullptr;
    std::vector<ZPC *> conns_;
};

TEST_F(ZpcDirsTest, RefreshIndexesEveryDirectoryAndSkipsBadFiles) {
    populate();
    ZPC *z = connect();
    ASSERT_NE(z, nullptr);
    EXPECT_STREQ(z->dist_name, nullptr);
    EXPECT_EQ(z->arch, ZPK_ARCH_X86_64);
    EXPECT_EQ(pzpm_zpc_refresh(z), 0);
    EXPECT_TRUE(exists(repo1_ + "/index.ldif"));
    EXPECT_TRUE(exists(repo2_ + "/index.ldif"));
    std::string log = log_text();
    EXPECT_NE(log.find("[WARNING] zpc-dirs: skipping " + repo1_ + "/broken.zpk"), std::string::npos)
        << log;
    std::string index = read_file(repo1_ + "/index.ldif");
    EXPECT_EQ(index.rfind("# zpc-dirs index 1\n", 0), 0u);
    EXPECT_NE(index.find("\nezpkRelativeURI: gcc-12.zpk\n"), std::string::npos);
    EXPECT_NE(index.find("\nezpkAbsoluteURI: " + repo1_ + "/gcc-12.zpk\n"), std::string::npos);
    EXPECT_NE(index.find("\n# end of index, entries: 4\n"), std::string::npos);
    EXPECT_EQ(index.find("README"), std::string::npos);
    // No temporary files are left beside it.
    for (auto &e : std::filesystem::directory_iterator(repo1_))
        EXPECT_EQ(e.path().filename().string().rfind(".index", 0), std::string::npos);
}

TEST_F(ZpcDirsTest, FindAppliesNameVariantAndArchitecture) {
    populate();
    ZPC *z = connect();
    ASSERT_NE(z, nullptr);
    struct Case {
        const char *name, *variant;
        std::vector<std::string> want;
    } cases[] = {
        {"*", nullptr, {"bash//5.2", "gcc//12", "gcc/dev/12", "gcc//13"}},
        {"gcc", nullptr, {"gcc//12", "gcc/dev/12", "gcc//13"}},
        {"gcc", "default", {"gcc//12", "gcc//13"}},
        {"gcc", "", {"gcc//12", "gcc//13"}},
        {"gcc", "dev", {"gcc/dev/12"}},
        {"g?c", "dev", {"gcc/dev/12"}},
        {"old32", nullptr, {}}, // i686 is outside the mask 5
        {"nothing", nullptr, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + (c.variant ? c.variant : "(null)"));
        ZPI *sentinel[1] = {nullptr};
        ZPI **list = sentinel;
        EXPECT_EQ(find(z, c.name, c.variant, &list), static_cast<int>(c.want.size()));
        if (c.want.empty()) {
            EXPECT_EQ(list, sentinel);
            continue;
        }
        EXPECT_EQ(ids(list), c.want);
        zpm_zpi_list_free(list);
    }
}

TEST_F(ZpcDirsTest, RecordsCarryWhatZpmReliesOn) {
    populate();
    ZPC *z = connect();
    ZPI **list = nullptr;
    ASSERT_EQ(find(z, "gcc", "default", &list), 2);
    const ZPI *g = list[0];
    std::string file = repo1_ + "/gcc-12.zpk";
    EXPECT_STREQ(g->version, "12");
    EXPECT_EQ(g->arch, ZPK_ARCH_X86_64);
    ASSERT_NE(g->deps, nullptr);
    EXPECT_STREQ(g->deps[0], "binutils");
    EXPECT_STREQ(g->deps[1], "libc");
    EXPECT_EQ(g->deps[2], nullptr);
    EXPECT_EQ(g->datasize, 4096u);
    EXPECT_EQ(g->filesize, std::filesystem::file_size(file));
    EXPECT_EQ(std::string(g->filehash), sha1_of(file));
    EXPECT_EQ(std::string(g->abs_uri), file);
    EXPECT_STREQ(g->rel_uri, "gcc-12.zpk");
    EXPECT_STREQ(g->creator, "inventory tests");
    EXPECT_EQ(list[1]->deps, nullptr);
    zpm_zpi_list_free(list);
}

TEST_F(ZpcDirsTest, SearchAnswersFromIndexWithoutPackageFiles) {
    populate();
    ZPC *first = connect();
    ZPI **list = nullptr;
    ASSERT_EQ(find(first, "bash", nullptr, &list), 1); // no index yet: one is built
    std::string hash = list[0]->filehash;
    zpm_zpi_list_free(list);
    ASSERT_TRUE(exists(repo1_ + "/index.ldif"));
    // The package file changes; a new connection still answers from the index.
    write_file(repo1_ + "/bash.zpk", "EZPM10 overwritten");
    ZPC *second = connect();
    list = nullptr;
    ASSERT_EQ(find(second, "bash", nullptr, &list), 1);
    EXPECT_EQ(std::string(list[0]->filehash), hash);
    zpm_zpi_list_free(list);
    // A refresh sees the change: the broken file drops out.
    EXPECT_EQ(pzpm_zpc_refresh(second), 0);
    list = nullptr;
    EXPECT_EQ(find(second, "bash", nullptr, &list), 0);
}

TEST_F(ZpcDirsTest, TextValuesSurviveTheIndex) {
    std::string desc = std::string("First line\nsecond line with \xc3\xbc and a long tail ") +
                       std::string(150, 'x');
    write_zpk(repo2_ + "/odd.zpk", {"odd", "", "1:2.0-r1", "any", desc, {"a", "b"}});
    write_zpk(repo2_ + "/lead.zpk", {"lead", "", "1", "any", " leading blank", {}});
    ASSERT_EQ(pzpm_zpc_refresh(connect()), 0);
    ZPC *z = connect(); // reads the index back
    ZPI **list = nullptr;
    ASSERT_EQ(find(z, "odd", nullptr, &list), 1);
    EXPECT_EQ(std::string(list[0]->desc), desc);
    EXPECT_STREQ(list[0]->version, "1:2.0-r1");
    zpm_zpi_list_free(list);
    list = nullptr;
    ASSERT_EQ(find(z, "lead", nullptr, &list), 1);
    EXPECT_STREQ(list[0]->desc, " leading blank");
    zpm_zpi_list_free(list);
}

TEST_F(ZpcDirsTest, CorruptIndexIsRebuilt) {
    populate();
    ASSERT_EQ(pzpm_zpc_refresh(connect()), 0);
    const std::string good = read_file(repo1_ + "/index.ldif");
    size_t second_entry = good.find("\ndn:", good.find("dn:") + 1);
    std::string bad_hash = good;
    bad_hash.replace(bad_hash.find("ezpkFileHash: ") + 14, 3, "XYZ");
    struct Case {
        const char *what;
        std::string text;
    } cases[] = {
        {"cut short", good.substr(0, good.size() / 2)},
        {"cut at an entry", good.substr(0, second_entry + 1)},
        {"wrong count", good.substr(0, good.rfind("4\n")) + "7\n"},
        {"no header", good.substr(good.find('\n') + 1)},
        {"binary", std::string("\0\x01\x02garbage", 10)},
        {"empty", ""},
        {"bad hash", bad_hash},
        {"signed data size", std::string(good).replace(good.find("ezpkDataSize: ") + 14, 0, "+")},
        {"file size past 2^63-1",
         std::string(good).replace(good.find("ezpkFileSize: ") + 14,
                                   good.find('\n', good.find("ezpkFileSize: ")) -
                                       good.find("ezpkFileSize: ") - 14,
                                   "9223372036854775808")},
        {"relative URI leaving the directory",
         std::string(good).replace(good.find("ezpkRelativeURI: ") + 17, 0, "../")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        write_file(repo1_ + "/index.ldif", c.text);
        clear_log();
        ZPC *z = connect();
        ZPI **list = nullptr;
        EXPECT_EQ(find(z, "*", nullptr, &list), 4);
        zpm_zpi_list_free(list);
        EXPECT_NE(log_text().find("[WARNING] zpc-dirs: index of " + repo1_ + " is corrupt"),
                  std::string::npos)
            << log_text();
        std::string rebuilt = read_file(repo1_ + "/index.ldif");
        EXPECT_NE(rebuilt.find("# end of index, entries: 4\n"), std::string::npos);
    }
}

// An index of a whole distribution is parsed in two parts side by side:
// every record in its order, and a fault on either side of the middle (or
// an end line before it) refuses the whole index, as one pass would.
TEST_F(ZpcDirsTest, LargeIndexReadsAsOnePassWould) {
    const int n = 16000; // about 6 MB
    std::string body;
    for (int i = 0; i < n; i++) {
        char e[512];
        snprintf(e, sizeof e,
                 "dn: ezpkUid=p%05d_any_1.0,dc=zorvek,dc=org\nezpmVersion: 1.0\nezpkName: "
                 "p%05d\nezpkVersion: 1.%d\nezpkArchitecture: any\nezpkDependency: p%05d\n"
                 "ezpkDescription:: %s\nezpkDataSize: %d\nezpkFileSize: 10\nezpkFileHash: "
                 "%040d\nezpkRelativeURI: p%05d.zpk\n\n",
                 i, i, i, (i + 1) % n, i % 2 ? "dGV4dA==" : "bW9yZQ==", i, i, i);
        body += e;
    }
    const std::string head = "# zpc-dirs index 1\n\n", tail = "# end of index, entries: ";
    const std::string good = head + body + tail + std::to_string(n) + "\n";
    const size_t mid = good.find("dn: ", good.size() / 2);
    auto broken = [&](size_t at) {
        return std::string(good).replace(good.find("ezpkFileHash: ", at) + 14, 1, "X");
    };
    const char *bad = "entry without file hash or size";
    struct Case {
        const char *what;
        std::string text;
        int found;       // records served; 0: the index is refused (and rebuilt empty)
        const char *why; // the fault logged when refused
    } cases[] = {
        {"whole", good, n, nullptr},
        {"fault in the first part", broken(good.size() / 4), 0, bad},
        {"fault in the entry at the middle", broken(mid), 0, bad},
        {"fault in the second part", broken(good.size() * 3 / 4), 0, bad},
        {"end line in the first part",
         head + body.substr(0, mid - head.size()) + tail + "5\n" + good.substr(mid), 0,
         "text after the end of the index"},
        {"wrong count", head + body + tail + std::to_string(n - 1) + "\n", 0,
         "entry count does not match"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        write_file(repo1_ + "/index.ldif", c.text);
        ZPI **list = nullptr;
        clear_log();
        ASSERT_EQ(find(connect(), "*", nullptr, &list), c.found);
        if (c.why)
            EXPECT_NE(log_text().find(std::string("is corrupt (") + c.why + ")"), std::string::npos)
                << log_text();
        for (int i = 0; i < c.found; i++) {
            char name[16], ver[16];
            snprintf(name, sizeof name, "p%05d", i);
            snprintf(ver, sizeof ver, "1.%d", i);
            ASSERT_STREQ(list[i]->name, name);
            ASSERT_STREQ(list[i]->version, ver);
            ASSERT_STREQ(list[i]->desc, i % 2 ? "text" : "more");
            ASSERT_EQ(list[i]->datasize, static_cast<uint64_t>(i));
        }
        zpm_zpi_list_free(list);
    }
}

TEST_F(ZpcDirsTest, ReadPackageCopiesTheFileExactly) {
    populate();
    ZPC *z = connect();
    ZPI **list = nullptr;
    ASSERT_EQ(find(z, "gcc", "dev", &list), 1);
    std::string out = root() + "/fetched.zpk";
    FILE *f = fopen(out.c_str(), "wb");
    int n = pzpm_zpc_readpkg(z, list[0], f);
    fclose(f);
    EXPECT_EQ(n, static_cast<int>(list[0]->filesize));
    EXPECT_EQ(read_file(out), read_file(repo1_ + "/gcc-dev.zpk"));
    zpm_zpi_list_free(list);
}

TEST_F(ZpcDirsTest, ReadPackageStaysInsideTheDirectories) {
    populate();
    write_file(root() + "/secret", "not for the stage area\n");
    ZPC *z = connect();
    ZPI **list = nullptr;
    ASSERT_EQ(find(z, "bash", nullptr, &list), 1);
    for (std::string where : {root() + "/secret", repo1_ + "/../secret", repo1_ + "x/bash.zpk",
                              repo1_ + "/sub/bash.zpk", std::string("bash.zpk")}) {
        SCOPED_TRACE(where);
        free(list[0]->abs_uri);
        list[0]->abs_uri = strdup(where.c_str());
        std::string out = root() + "/fetched";
        FILE *f = fopen(out.c_str(), "wb");
        EXPECT_LT(pzpm_zpc_readpkg(z, list[0], f), 0);
        fclose(f);
        EXPECT_EQ(read_file(out), "");
    }
    zpm_zpi_list_free(list);
}

TEST_F(ZpcDirsTest, MissingDirectoryFailsRefreshButOthersServe) {
    write_zpk(repo2_ + "/bash.zpk", {"bash", "", "5", "any", "", {}});
    std::filesystem::remove_all(repo1_);
    ZPC *z = connect();
    EXPECT_NE(pzpm_zpc_refresh(z), 0);
    EXPECT_NE(log_text().find("zpc-dirs: cannot read directory " + repo1_), std::string::npos);
    ZPI **list = nullptr;
    EXPECT_EQ(find(z, "bash", nullptr, &list), 1);
    zpm_zpi_list_free(list);
}

TEST_F(ZpcDirsTest, UnwritableDirectoryStillServesItsPackages) {
    if (geteuid() == 0)
        GTEST_SKIP() << "root writes anywhere";
    write_zpk(repo2_ + "/bash.zpk", {"bash", "", "5", "any", "", {}});
    chmod(repo2_.c_str(), 0555);
    ZPC *z = connect();
    EXPECT_EQ(pzpm_zpc_refresh(z), 0); // the index is kept in the cache
    ZPI **list = nullptr;
    EXPECT_EQ(find(z, "bash", nullptr, &list), 1);
    zpm_zpi_list_free(list);
    chmod(repo2_.c_str(), 0755);
}

} // namespace
