// Dependency planning against a catalogue held in the cache and an
// inventory laid out in the temporary root.
#include <gtest/gtest.h>

#include "catalogue.h"
#include "plan.h"
#include "plan_fixture.h"
#include "zpk.h"

using namespace zpmtest;

namespace {

Pkg pkg(const char *name, std::vector<std::string> deps = {}, uint64_t fs = 0, uint64_t ds = 0) {
    Pkg p;
    p.name = name;
    p.deps = std::move(deps);
    p.filesize = fs;
    p.datasize = ds;
    return p;
}

// "name:status" of each record, in list order.
std::vector<std::string> recs(const ZPT *t) {
    std::vector<std::string> out;
    for (int i = 0; t && t->all_zpds && t->all_zpds[i]; i++)
        out.push_back(std::string(t->all_zpds[i]->dependency) + ":" + t->all_zpds[i]->status);
    return out;
}

using V = std::vector<std::string>;

class Plan : public PlanTest {
  protected:
    ZPT *install_plan(const char *name, char **dirs = nullptr) {
        return zpm_pre_install(&zpm_, &zpc_, (char *)name, nullptr, dirs, &zpt_);
    }
    void TearDown() override {
        zpt_free(zpt_);
        PlanTest::TearDown();
    }
    ZPT *zpt_ = nullptr;
};

TEST_F(Plan, SharedDependencyCountedOnceFirstMarkedCircular) {
    catalogue({pkg("A", {"B", "C"}, 1000, 10000), pkg("B", {"D"}, 100, 1000),
               pkg("C", {"D"}, 10, 100), pkg("D", {}, 1, 10)});
    ZPT *t = install_plan("A");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->num_zpds, 4);
    EXPECT_EQ(t->action, 'I');
    EXPECT_EQ(t->zpk_stat, 'R');
    EXPECT_EQ(t->status, 'N');
    EXPECT_STREQ(t->zpk_name, "A");
    // Found B, D, C, D; sorted so that B (which waits for D) comes first.
    EXPECT_EQ(recs(t), (V{"B:R", "D:R", "C:R", "D:R"}));
    EXPECT_EQ(t->all_zpds[0]->depth, 2);
    EXPECT_EQ(t->all_zpds[1]->circular, 1);
    EXPECT_EQ(t->all_zpds[3]->circular, 0);
    EXPECT_EQ(t->tot_file_size, 1111u);
    EXPECT_EQ(t->tot_data_size, 11110u);
    EXPECT_NE(log_text().find("Skipping D for C, already processed for B"), std::string::npos);
    EXPECT_NE(t->cfg_scripts, nullptr);
}

TEST_F(Plan, TwoPackageCycle) {
    catalogue({pkg("A", {"B"}, 1, 1), pkg("B", {"A"}, 2, 2)});
    ZPT *t = install_plan("A");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(recs(t), (V{"B:R", "A:R", "B:R"}));
    EXPECT_EQ(t->all_zpds[0]->circular, 1);
    EXPECT_EQ(t->all_zpds[1]->circular, 0);
    EXPECT_EQ(t->tot_file_size, 3u); // A through the request, B once
    EXPECT_NE(log_text().find("Skipping A for B, already processed for User"), std::string::npos);
}

TEST_F(Plan, ArchitectureOfHeadAndDependencies) {
    Pkg mips = pkg("M");
    mips.arch = ZPK_ARCH_MIPS;
    Pkg any = pkg("N", {"M2"});
    any.arch = ZPK_ARCH_ANY;
    Pkg mips2 = pkg("M2");
    mips2.arch = ZPK_ARCH_MIPS;
    catalogue({mips, any, mips2, pkg("OK", {"ANY"}), [] {
                   Pkg p = pkg("ANY");
                   p.arch = ZPK_ARCH_ANY;
                   return p;
               }()});
    EXPECT_EQ(install_plan("M"), nullptr);
    EXPECT_NE(log_text().find("Package arch mips doesn't match local arch x86_64, bye"),
              std::string::npos);
    EXPECT_EQ(install_plan("N"), nullptr); // accepted itself, its dependency is not
    EXPECT_NE(log_text().find("N cannot be installed"), std::string::npos);
    ZPT *t = install_plan("OK");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(recs(t), (V{"ANY:R"}));
}

TEST_F(Plan, InstalledOlderDependencySatisfies) {
    Pkg old = pkg("D");
    old.version = "0.9";
    install(old);
    Pkg fresh = pkg("D", {}, 500, 500);
    fresh.version = "2.0";
    catalogue({pkg("A", {"D"}, 1, 1), fresh});
    ZPT *t = install_plan("A");
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(recs(t), (V{"D:I"}));
    EXPECT_EQ(t->all_zpds[0]->action, 'N');
    EXPECT_STREQ(t->all_zpds[0]->zpi->version, "0.9");
    EXPECT_EQ(t->all_zpds[0]->depth, 0);
    EXPECT_EQ(t->tot_file_size, 1u); // installed packages cost nothing
}

TEST_F(Plan, RequestsThatCannotBePlanned) {
    install(pkg("here"));
    catalogue({pkg("here"), pkg("A", {"B"}), pkg("B", {"X"})});
    EXPECT_EQ(install_plan("here"), nullptr);
    EXPECT_EQ(install_plan("nowhere"), nullptr);
    EXPECT_EQ(install_plan("A"), nullptr);
    EXPECT_EQ(zpt_, nullptr);
    std::string log = log_text();
    EXPECT_NE(log.find("here is already installed"), std::string::npos);
    EXPECT_NE(log.find("nowhere was not found in the package catalogue"), std::string::npos);
    EXPECT_NE(log.find("zpm_chk_install: Failed to resovle dependency X for B"), std::string::npos);
    EXPECT_NE(log.find("Found dep B for cand A, status: R"), std::string::npos);
}

TEST_F(Plan, SortOrdersChainsAndKeepsSingleRecord) {
    install(pkg("LIB"));
    catalogue(
        {pkg("A", {"B", "LIB"}), pkg("B", {"C"}), pkg("C", {"D"}), pkg("D"), pkg("S", {"D"})});
    ZPT *t = install_plan("A");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(recs(t), (V{"B:R", "C:R", "D:R", "LIB:I"}));
    std::vector<int> depths;
    for (int i = 0; t->all_zpds[i]; i++)
        depths.push_back(t->all_zpds[i]->depth);
    EXPECT_EQ(depths, (std::vector<int>{3, 2, 1, 0}));
    ZPT *one = zpm_pre_install(&zpm_, &zpc_, (char *)"S", nullptr, nullptr, nullptr);
    ASSERT_NE(one, nullptr);
    EXPECT_EQ(recs(one), (V{"D:R"}));
    zpt_free(one);
}

TEST_F(Plan, SortStopsOnUnsatisfiableList) {
    // A record waiting for a name no record provides must not spin for ever.
    ZPD **list = static_cast<ZPD **>(calloc(3, sizeof(ZPD *)));
    for (int i = 0; i < 2; i++) {
        list[i] = static_cast<ZPD *>(calloc(1, sizeof(ZPD)));
        list[i]->status = 'R';
        list[i]->dependency = strdup(i ? "Y" : "X");
        list[i]->candidate = strdup("A");
        list[i]->zpi = mkzpi(pkg(i ? "Y" : "X", {"nobody"}));
    }
    zpds_sort(nullptr, &list);
    EXPECT_EQ(list[0]->depth, 2);
    EXPECT_EQ(list[1]->depth, 2);
    for (int i = 0; i < 2; i++)
        zpd_free(list[i]);
    free(list);
}

TEST_F(Plan, WalkDescendsIntoInstalled) {
    install(pkg("I", {"J"}));
    catalogue({pkg("A", {"I"}, 5, 5), pkg("J", {}, 7, 7), pkg("I")});
    ZPT *w = zpm_walk(&zpm_, &zpc_, (char *)"A", nullptr, nullptr, nullptr);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->action, 0);
    EXPECT_EQ(recs(w), (V{"J:R", "I:I"}));
    EXPECT_EQ(w->tot_file_size, 12u);
    zpt_free(w);
    ZPT *t = install_plan("A");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(recs(t), (V{"I:I"}));
    EXPECT_EQ(zpm_walk(&zpm_, &zpc_, (char *)"gone", nullptr, nullptr, nullptr), nullptr);
    EXPECT_NE(ui_text().find("gone was not found in the package catalogue\n"), std::string::npos);
}

TEST_F(Plan, UpdateRules) {
    Pkg cur = pkg("A");
    cur.version = "1.0";
    install(cur);
    Pkg dv = pkg("V");
    dv.variant = "dev";
    install(dv);
    Pkg same = pkg("A", {"B"}), older = pkg("A"), dev11 = pkg("V"), def2 = pkg("V");
    same.version = "1.0";
    older.version = "0.9";
    dev11.variant = "dev";
    dev11.version = "1.1";
    def2.version = "2.0";
    catalogue({same, older, dev11, def2, pkg("B")});
    EXPECT_EQ(zpm_pre_update(&zpm_, &zpc_, (char *)"A", nullptr, nullptr, &zpt_), nullptr);
    EXPECT_NE(log_text().find("Nothing to do, keeping A_x86_64_1.0"), std::string::npos);
    EXPECT_EQ(zpm_pre_update(&zpm_, &zpc_, (char *)"B", nullptr, nullptr, &zpt_), nullptr);
    EXPECT_NE(log_text().find("B is not installed"), std::string::npos);
    // The installed variant is kept when none is asked...
    zpt_ = zpm_pre_update(&zpm_, &zpc_, (char *)"V", nullptr, nullptr, nullptr);
    ASSERT_NE(zpt_, nullptr);
    EXPECT_EQ(zpt_->action, 'U');
    EXPECT_STREQ(zpt_->zpi->version, "1.1");
    zpt_free(zpt_);
    // ...and asking the default moves to it.
    zpt_ = zpm_pre_update(&zpm_, &zpc_, (char *)"V", (char *)"default", nullptr, nullptr);
    ASSERT_NE(zpt_, nullptr);
    EXPECT_STREQ(zpt_->zpi->version, "2.0");
    EXPECT_EQ(zpt_->zpi->variant, nullptr);
}

TEST_F(Plan, UpdateCountsEveryRecord) {
    Pkg cur = pkg("A");
    install(cur);
    install(pkg("L", {}, 40, 40));
    Pkg next = pkg("A", {"L", "B", "C"}, 1, 1);
    next.version = "2.0";
    catalogue({next, pkg("B", {"D"}, 10, 10), pkg("C", {"D"}, 100, 100), pkg("D", {}, 1000, 1000)});
    zpt_ = zpm_pre_update(&zpm_, &zpc_, (char *)"A", nullptr, nullptr, nullptr);
    ASSERT_NE(zpt_, nullptr);
    // Kept as resolved, installed and repeated records counted too.
    EXPECT_EQ(recs(zpt_), (V{"L:I", "B:R", "D:R", "C:R", "D:R"}));
    // The installed record carries what the inventory knows of its size.
    uint64_t l = zpt_->all_zpds[0]->zpi->filesize;
    EXPECT_EQ(zpt_->tot_file_size, 1u + l + 10 + 1000 + 100 + 1000);
}

class Delete : public Plan {
  protected:
    ZPT *plan(const char *name) { return zpt_ = zpm_pre_delete(&zpm_, (char *)name, &zpt_); }
};

TEST_F(Delete, RefusedWhileAnExplicitPackageRequiresIt) {
    install(pkg("B"));
    install(pkg("C", {"B"}));
    EXPECT_EQ(plan("B"), nullptr);
    EXPECT_NE(ui_text().find("B cannot be deleted, C depends on it\n"), std::string::npos);
    EXPECT_EQ(plan("Z"), nullptr);
    EXPECT_NE(ui_text().find("Z is not installed, skipping\n"), std::string::npos);
}

TEST_F(Delete, TakesAlongOwnDependencyOnly) {
    install(pkg("A", {"D", "K", "X", "G"}, 1, 1));
    install(pkg("D", {}, 10, 10), 'D', "A");
    install(pkg("K", {}, 100, 100), 'D', "E"); // came with E, which is still here
    install(pkg("E", {"K"}));
    install(pkg("X", {}, 1000, 1000));        // explicitly installed
    install(pkg("G", {}, 5, 5), 'D', "gone"); // its head is no longer installed
    ZPT *t = plan("A");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->action, 'D');
    EXPECT_EQ(t->zpk_stat, 'L');
    EXPECT_EQ(recs(t), (V{"D:I", "G:I"}));
    EXPECT_EQ(t->all_zpds[0]->action, 'D');
    EXPECT_EQ(t->tot_data_size, 16u);
    EXPECT_NE(ui_text().find("A can be deleted, nothing depends on it\n"), std::string::npos);
}

TEST_F(Delete, DependencyKeptWhenAnotherPackageNeedsIt) {
    install(pkg("A", {"D"}));
    install(pkg("D"), 'D', "A");
    install(pkg("E", {"D"}));
    ZPT *t = plan("A");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->num_zpds, 0);
    EXPECT_EQ(t->all_zpds, nullptr);
    EXPECT_NE(log_text().find("Skipping dependency D, E also depends on it"), std::string::npos);
}

TEST_F(Delete, RequirerInstalledForThePackageIsAllowedButHidesNoOther) {
    install(pkg("A"));
    install(pkg("P", {"A"}), 'D', "A");
    EXPECT_NE(plan("A"), nullptr);
    EXPECT_NE(log_text().find("P is a circular dependency of A, allowing"), std::string::npos);
    zpt_free(zpt_);
    zpt_ = nullptr;
    // Two accepted requirers and an explicit one: refused, whatever the
    // order in which the directory lists them.
    install(pkg("Q", {"A", "A"}), 'D', "A");
    install(pkg("Y", {"A"}));
    EXPECT_EQ(plan("A"), nullptr);
    EXPECT_NE(ui_text().find("A cannot be deleted, Y depends on it\n"), std::string::npos);
}

TEST_F(Delete, RequirersOfStopAtTheSecond) {
    install(pkg("D"));
    install(pkg("R1", {"D", "D"}));
    install(pkg("R2", {"D"}));
    ZPI *d = mkzpi(pkg("D"));
    ZPI **reqs = zpm_chk_delete_reqs(&zpm_, d);
    ASSERT_NE(reqs, nullptr);
    int n = 0;
    while (reqs[n])
        n++;
    EXPECT_EQ(n, 2);
    zpm_zpi_list_free(reqs);
    ZPI *nobody = mkzpi(pkg("R2"));
    EXPECT_EQ(zpm_chk_delete_reqs(&zpm_, nobody), nullptr);
    zpk_info_free(nobody);
    zpk_info_free(d);
}

} // namespace

namespace {

TEST_F(Plan, DirectoryDependencyPreferredToCatalogue) {
    std::string dir = root() + "/incdir";
    Pkg local = pkg("D");
    local.version = "3.0";
    Pkg mips = pkg("D");
    mips.version = "4.0";
    mips.arch = ZPK_ARCH_MIPS;
    Pkg other = pkg("E");
    if (!build_zpk(dir, local, "d-3.zpk") || !build_zpk(dir, mips, "d-4.zpk") ||
        !build_zpk(dir, other, "e.zpk"))
        GTEST_SKIP() << "zpk-build is not built; package files cannot be made";
    Pkg remote = pkg("D");
    remote.version = "9.0";
    catalogue({pkg("A", {"D", "F"}), remote, pkg("F")});
    char *dirs[] = {dir.data(), nullptr};
    ZPT *t = install_plan("A", dirs);
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(recs(t), (V{"D:L", "F:R"}));
    ZPI *d = t->all_zpds[0]->zpi;
    EXPECT_STREQ(d->version, "3.0"); // the mips build in the directory is refused
    EXPECT_EQ(std::string(d->rel_uri), dir + "/d-3.zpk");
    ASSERT_NE(d->abs_uri, nullptr);
    EXPECT_EQ(d->abs_uri[0], '/');
    EXPECT_NE(log_text().find("Package arch mips doesn't match local arch x86_64, skipping"),
              std::string::npos);
    // The catalogue answers what the directory does not have.
    EXPECT_STREQ(t->all_zpds[1]->zpi->version, "1.0");
}

} // namespace
