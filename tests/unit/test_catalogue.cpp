// Catalogue back-end loading, the package cache and the search over it.
#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "catalogue.h"
#include "ekva.h"
#include "loglib.h"
#include "testroot.h"
#include "zpm.h"

using namespace zpmtest;

namespace {

std::string plugin(const char *name) {
    return std::string(ZPM_TEST_BINDIR) + "/tests/" + name + ".so";
}

ZPI *make_zpi(const char *name, const char *variant, const char *version) {
    ZPI *z = static_cast<ZPI *>(calloc(1, sizeof(ZPI)));
    z->name = strdup(name);
    z->variant = variant ? strdup(variant) : nullptr;
    z->version = strdup(version);
    z->arch = ZPK_ARCH_ANY;
    z->removable = 1;
    return z;
}

class CatalogueTest : public RootTest {
  protected:
    void TearDown() override {
        zpm_cache_free();
        if (conf_)
            ekva_free(conf_);
        if (handle_)
            zpm_zpc_close(handle_);
        RootTest::TearDown();
    }
    // Loads the configurable test back end and connects with the given keys.
    ZPC *connect_test(std::vector<std::pair<const char *, std::string>> keys) {
        if (!handle_)
            handle_ = zpm_zpc_load(plugin("zpc_test_fail").c_str());
        if (!handle_)
            return nullptr;
        if (conf_)
            ekva_free(conf_);
        conf_ = ekva_new(16, 2);
        for (auto &k : keys)
            ekva_addval(&conf_, k.first, k.second.c_str(), 2);
        return pzpm_zpc_connect(conf_, zpmlog);
    }
    // Installs records as the cache, in the given order.
    void set_cache(std::vector<ZPI *> zpis) {
        cached_zpis = static_cast<ZPI **>(calloc(zpis.size() + 1, sizeof(ZPI *)));
        std::copy(zpis.begin(), zpis.end(), cached_zpis);
    }
    int find(ZPC *zpc, const char *name, const char *variant, ZPI ***list) {
        return zpm_findpkg(zpc, const_cast<char *>(name), const_cast<char *>(variant), nullptr, 5,
                           nullptr, list);
    }
    void *handle_ = nullptr;
    s_ekva **conf_ = nullptr;
    ZPC fake_zpc_{}; // a connection the cache searches never touch
};

// ------------------------------------------------------------------ loading

TEST_F(CatalogueTest, LoadReportsMissingLibrary) {
    std::string path = root() + "/usr/lib/zpm/none.so";
    testing::internal::CaptureStderr();
    EXPECT_EQ(zpm_zpc_load(path.c_str()), nullptr);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("Failed to load backend " + path + ": ", 0), 0u) << err;
    EXPECT_EQ(err.back(), '\n');
}

TEST_F(CatalogueTest, LoadReportsFirstMissingSymbolAndBindsNothing) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(zpm_zpc_load(plugin("zpc_test_nosym").c_str()), nullptr);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("Failure resolving zpm_zpc_findpkg: ", 0), 0u) << err;
    EXPECT_NE(err.find("zpc_findpkg"), std::string::npos);
    EXPECT_EQ(pzpm_zpc_connect, nullptr);
    EXPECT_EQ(pzpm_zpc_release, nullptr);
}

TEST_F(CatalogueTest, LoadBindsAllFiveAndConnectFailureIsNull) {
    EXPECT_EQ(connect_test({{"zpc_test_mode", "connect"}}), nullptr);
    ASSERT_NE(handle_, nullptr);
    for (void *p : {(void *)pzpm_zpc_connect, (void *)pzpm_zpc_refresh, (void *)pzpm_zpc_findpkg,
                    (void *)pzpm_zpc_readpkg, (void *)pzpm_zpc_release})
        EXPECT_NE(p, nullptr);
    EXPECT_EQ((void *)pzpm_zpc_findpkg, dlsym(handle_, "zpc_findpkg"));
}

// -------------------------------------------------------------------- cache

TEST_F(CatalogueTest, CacheFillAndFreeThroughBackend) {
    ZPC *zpc = connect_test({{"zpc_test_pkgs", "zlib,gcc,gcc/dev,bash"}});
    ASSERT_NE(zpc, nullptr);
    EXPECT_EQ(zpm_cache_fill(zpc), 4);
    ASSERT_NE(cached_zpis, nullptr);
    EXPECT_EQ(ids(cached_zpis),
              (std::vector<std::string>{"zlib//1.0", "gcc//1.0", "gcc/dev/1.0", "bash//1.0"}));
    EXPECT_NE(log_text().find("Number of packages cached: 4"), std::string::npos);

    ZPI **list = nullptr;
    EXPECT_EQ(find(zpc, "gcc", nullptr, &list), 2);
    EXPECT_EQ(ids(list), (std::vector<std::string>{"gcc//1.0", "gcc/dev/1.0"}));
    zpm_zpi_list_free(list);

    zpm_cache_free();
    EXPECT_EQ(cached_zpis, nullptr);
    std::string log = log_text();
    EXPECT_NE(log.find("Freeing cached zpis..."), std::string::npos);
    EXPECT_NE(log.find("4 cached zpis freed."), std::string::npos);
    pzpm_zpc_release(zpc);
}

TEST_F(CatalogueTest, SecondFillReplacesTheCache) {
    set_cache({make_zpi("stale", nullptr, "0")});
    ZPC *zpc = connect_test({{"zpc_test_pkgs", "fresh"}});
    ASSERT_NE(zpc, nullptr);
    EXPECT_EQ(zpm_cache_fill(zpc), 1);
    EXPECT_EQ(ids(cached_zpis), (std::vector<std::string>{"fresh//1.0"}));
    ZPI **list = nullptr;
    EXPECT_EQ(find(zpc, "stale", nullptr, &list), 0);
    pzpm_zpc_release(zpc);

    ZPC *empty = connect_test({});
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(zpm_cache_fill(empty), 0);
    EXPECT_EQ(cached_zpis, nullptr) << "an empty catalogue leaves no cache behind";
    pzpm_zpc_release(empty);
}

TEST_F(CatalogueTest, WithoutCacheSearchGoesToBackend) {
    ZPC *zpc = connect_test({{"zpc_test_pkgs", "b,a,a/dev"}});
    ASSERT_NE(zpc, nullptr);
    clear_log();
    ZPI **list = nullptr;
    EXPECT_EQ(find(zpc, "a", "dev", &list), 1);
    EXPECT_EQ(ids(list), (std::vector<std::string>{"a/dev/1.0"}));
    zpm_zpi_list_free(list);
    EXPECT_EQ(log_text().find("zpm_findpkg:"), std::string::npos) << "the cache path logs";
    pzpm_zpc_release(zpc);
}

TEST_F(CatalogueTest, NullConnectionFindsNothingEvenWithCache) {
    set_cache({make_zpi("a", nullptr, "1")});
    ZPI *sentinel[1] = {nullptr};
    ZPI **list = sentinel;
    EXPECT_EQ(find(nullptr, "a", nullptr, &list), 0);
    EXPECT_EQ(list, nullptr);
    EXPECT_NE(log_text().find("zpc-http: Not connected"), std::string::npos);
}

// ------------------------------------------------------------------- search

TEST_F(CatalogueTest, VariantRulesOnCache) {
    set_cache({make_zpi("gcc", "dev", "1"), make_zpi("gcc", nullptr, "2"),
               make_zpi("gcc-libs", nullptr, "3"), make_zpi("bash", nullptr, "4"),
               make_zpi("gcc", nullptr, "0"), make_zpi("gcc-libs", "dev", "5")});
    struct Case {
        const char *name, *variant;
        std::vector<std::string> want;
    } cases[] = {
        {"gcc*", "default", {"gcc//2", "gcc//0", "gcc-libs//3"}},
        {"gcc*", "", {"gcc//2", "gcc//0", "gcc-libs//3"}},
        {"gcc*", "dev", {"gcc/dev/1", "gcc-libs/dev/5"}},
        {"gcc*", nullptr, {"gcc/dev/1", "gcc//2", "gcc//0", "gcc-libs//3", "gcc-libs/dev/5"}},
        {"gcc", nullptr, {"gcc/dev/1", "gcc//2", "gcc//0"}},
        {"gcc", "default", {"gcc//2", "gcc//0"}},
        {"gcc", "dev", {"gcc/dev/1"}},
        {"*", "dev", {"gcc/dev/1", "gcc-libs/dev/5"}},
        {"?ash", nullptr, {"bash//4"}},
        {"[bg]*", "default", {"bash//4", "gcc//2", "gcc//0", "gcc-libs//3"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.name) + " variant " + (c.variant ? c.variant : "(null)"));
        ZPI **list = nullptr;
        EXPECT_EQ(find(&fake_zpc_, c.name, c.variant, &list), static_cast<int>(c.want.size()));
        EXPECT_EQ(ids(list), c.want);
        // Copies, not the cache's own records.
        for (int i = 0; list && list[i]; i++)
            for (int j = 0; cached_zpis[j]; j++)
                EXPECT_NE(list[i], cached_zpis[j]);
        zpm_zpi_list_free(list);
    }
}

TEST_F(CatalogueTest, NoMatchLeavesListAloneAndLogs) {
    set_cache({make_zpi("gcc", nullptr, "1"), make_zpi("gcc", "x", "1")});
    ZPI *sentinel[1] = {nullptr};
    for (const char *variant : {(const char *)nullptr, "y"}) {
        const char *name = variant ? "gcc" : "nosuch";
        ZPI **list = sentinel;
        EXPECT_EQ(find(&fake_zpc_, name, variant, &list), 0);
        EXPECT_EQ(list, sentinel);
    }
    clear_log();
    ZPI **list = nullptr;
    EXPECT_EQ(find(&fake_zpc_, "gc*", "x", &list), 1);
    zpm_zpi_list_free(list);
    std::string log = log_text();
    EXPECT_NE(log.find("zpm_findpkg: Looking for package gc*, variant <x>"), std::string::npos);
    EXPECT_NE(log.find("zpm_findpkg: Storing gcc, matches gc*"), std::string::npos);
    EXPECT_NE(log.find("zpm_findpkg: Stored 1 zpis"), std::string::npos);
}

// The straightforward scan every search must agree with.
std::vector<std::string> reference(ZPI **cache, const std::string &name, const char *variant) {
    std::vector<ZPI *> hit;
    for (int i = 0; cache[i]; i++) {
        const ZPI *z = cache[i];
        bool vok = !variant || ((!*variant || !strcmp(variant, "default"))
                                    ? !z->variant
                                    : (z->variant && !strcmp(z->variant, variant)));
        if (name == z->name && vok)
            hit.push_back(cache[i]);
    }
    std::stable_sort(hit.begin(), hit.end(),
                     [](ZPI *a, ZPI *b) { return strcmp(a->name, b->name) < 0; });
    hit.push_back(nullptr);
    return ids(hit.data());
}

TEST_F(CatalogueTest, NameIndexAgreesWithScanOnRandomCatalogues) {
    std::mt19937 rng(20240131);
    const char *variants[] = {nullptr, nullptr, "dev", "static"};
    for (int round = 0; round < 5; round++) {
        std::vector<ZPI *> zpis;
        for (int i = 0; i < 400; i++) {
            std::string name(1 + rng() % 3, 'a');
            for (char &ch : name)
                ch = static_cast<char>('a' + rng() % 4);
            zpis.push_back(make_zpi(name.c_str(), variants[rng() % 4], std::to_string(i).c_str()));
        }
        set_cache(zpis);
        for (int q = 0; q < 60; q++) {
            std::string name(1 + rng() % 3, 'a');
            for (char &ch : name)
                ch = static_cast<char>('a' + rng() % 5); // 'e' never occurs
            const char *qv[] = {nullptr, "", "default", "dev", "none"};
            const char *variant = qv[rng() % 5];
            SCOPED_TRACE(name + " / " + (variant ? variant : "(null)"));
            // "[x]rest" is the same name as a pattern: it takes the scan.
            std::string pattern = "[" + name.substr(0, 1) + "]" + name.substr(1);
            ZPI **fast = nullptr, **scan = nullptr;
            int nf = find(&fake_zpc_, name.c_str(), variant, &fast);
            int ns = find(&fake_zpc_, pattern.c_str(), variant, &scan);
            std::vector<std::string> want = reference(cached_zpis, name, variant);
            EXPECT_EQ(nf, static_cast<int>(want.size()));
            EXPECT_EQ(ids(fast), want);
            EXPECT_EQ(ns, nf);
            EXPECT_EQ(ids(scan), want);
            zpm_zpi_list_free(fast);
            zpm_zpi_list_free(scan);
        }
        zpm_cache_free();
    }
}

TEST_F(CatalogueTest, IndexFollowsAReplacedCache) {
    set_cache({make_zpi("a", nullptr, "1")});
    ZPI **list = nullptr;
    EXPECT_EQ(find(&fake_zpc_, "a", nullptr, &list), 1);
    zpm_zpi_list_free(list);
    zpm_cache_free();
    set_cache({make_zpi("b", nullptr, "1"), make_zpi("a", nullptr, "2"), make_zpi("a", "v", "3")});
    list = nullptr;
    EXPECT_EQ(find(&fake_zpc_, "a", nullptr, &list), 2);
    EXPECT_EQ(ids(list), (std::vector<std::string>{"a//2", "a/v/3"}));
    zpm_zpi_list_free(list);
}

} // namespace
