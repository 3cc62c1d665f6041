// Candidate selection: the variant and version rules, the catalogue search
// and the search of package directories.
#include <gtest/gtest.h>

#include "catalogue.h"
#include "loglib.h"
#include "plan_fixture.h"
#include "zpk.h"

using namespace zpmtest;

namespace {

struct Row {
    const char *what;
    std::vector<Pkg> cands;
    const char *variant; // null: none asked
    int expect;
};

Pkg P(const char *version, const char *variant = "") {
    Pkg p;
    p.name = "foo";
    p.version = version;
    p.variant = variant;
    return p;
}

const char *kDefault = "default";

std::vector<Row> rows() {
    return {
        {"empty list", {}, nullptr, -1},
        {"version digits compare as numbers", {P("1.2"), P("1.10")}, nullptr, 1},
        {"newer first stays", {P("1.10"), P("1.9")}, nullptr, 0},
        {"default beats an older-listed newer variant", {P("2.0", "dev"), P("1.0")}, nullptr, 1},
        {"two variants, no default: nothing", {P("1.0", "dev"), P("1.0", "gtk")}, nullptr, -1},
        {"after two variants a third is passed over",
         {P("1.0", "dev"), P("1.0", "gtk"), P("1.0", "qt")},
         nullptr,
         -1},
        {"after two variants a default is taken",
         {P("1.0", "dev"), P("1.0", "gtk"), P("1.0", "qt"), P("0.1")},
         nullptr,
         3},
        {"single variant: newest fallback", {P("1.0", "dev"), P("1.1", "dev")}, nullptr, 1},
        {"single variant: older later is kept out", {P("1.1", "dev"), P("1.0", "dev")}, nullptr, 0},
        {"default found later overrides fallback whatever its version",
         {P("9.0", "dev"), P("0.1")},
         nullptr,
         1},
        {"variant after default is no fallback", {P("1.0"), P("5.0", "dev")}, nullptr, 0},
        {"default asked, only variants", {P("1.0", "dev"), P("2.0", "dev")}, kDefault, -1},
        {"empty string asks the default", {P("3.0", "dev"), P("1.0"), P("1.5")}, "", 2},
        {"default asked picks newest default", {P("1.0"), P("2.0", "dev"), P("1.1")}, kDefault, 2},
        {"equal versions: first is first", {P("1.0"), P("1.0")}, nullptr, 0},
        {"variant asked, equal versions keep the first",
         {P("1.0", "dev"), P("2.0"), P("1.0", "dev")},
         "dev",
         0},
        {"variant asked, newer of that variant", {P("1.0", "dev"), P("1.5", "dev")}, "dev", 1},
        {"variant asked, others passed over",
         {P("3.0"), P("3.0", "gtk"), P("1.0", "dev")},
         "dev",
         2},
        {"variant asked, none present", {P("3.0"), P("3.0", "gtk")}, "dev", -1},
    };
}

class Select : public PlanTest {};

TEST_F(Select, RulesTable) {
    for (const Row &r : rows()) {
        ZPI **list = mklist(r.cands);
        EXPECT_EQ(zpm_findone("foo", r.variant, list), r.expect) << r.what;
        zpm_zpi_list_free(list);
    }
}

TEST_F(Select, LogsClassificationAndEveryRecord) {
    ZPI **list = mklist({P("1.0", "dev"), P("1.0", "gtk")});
    zpm_findone("foo", nullptr, list);
    zpm_findone("foo", "dev", list);
    zpm_findone("foo", "default", list);
    zpm_zpi_list_free(list);
    std::string log = log_text();
    EXPECT_NE(log.find("zpm_findone: [1]: foo_gtk_x86_64_1.0"), std::string::npos) << log;
    EXPECT_NE(log.find("(no variant specified): 2"), std::string::npos);
    EXPECT_NE(log.find("(dev variant specified): 2"), std::string::npos);
    EXPECT_NE(log.find("(default variant specified): 2"), std::string::npos);
    EXPECT_NE(log.find("Skipping both foo_gtk_x86_64_1.0 and foo_dev_x86_64_1.0 and set no "
                       "fallback allowed, as only one fallback can exist"),
              std::string::npos);
}

TEST_F(Select, CatalogueSearchReturnsOwnedPick) {
    Pkg bar = P("7.0");
    bar.name = "bar";
    catalogue({P("1.0"), bar, P("1.10"), P("2.0", "dev")});
    ZPI *z = zpm_findone_zpc(&zpm_, (char *)"foo", nullptr, &zpc_);
    ASSERT_NE(z, nullptr);
    EXPECT_STREQ(z->version, "1.10");
    EXPECT_EQ(z->variant, nullptr);
    zpk_info_free(z);
    z = zpm_findone_zpc(&zpm_, (char *)"foo", (char *)"dev", &zpc_);
    ASSERT_NE(z, nullptr);
    EXPECT_STREQ(z->version, "2.0");
    zpk_info_free(z);
    EXPECT_EQ(zpm_findone_zpc(&zpm_, (char *)"nothere", nullptr, &zpc_), nullptr);
    EXPECT_NE(log_text().find("Number of packages returned for foo: 3"), std::string::npos);
}

TEST_F(Select, DirectoriesNullWithoutList) {
    EXPECT_EQ(zpm_findall_dirs(&zpm_, "foo", nullptr, nullptr), nullptr);
    EXPECT_EQ(zpm_findone_dirs(&zpm_, "foo", nullptr, nullptr), nullptr);
}

TEST_F(Select, DirectoriesSkipWhatIsNoPackage) {
    // An unreadable directory, a non-package file, a broken package file and
    // a sub-directory: all skipped, nothing found, the search goes on.
    std::string dir = root() + "/pkgs";
    write_file(dir + "/readme.txt", "hello");
    write_file(dir + "/broken.zpk", "EZPM10garbage");
    make_dirs(dir + "/sub.zpk");
    std::string missing = root() + "/missing";
    char *dirs[] = {missing.data(), dir.data(), nullptr};
    EXPECT_EQ(zpm_findall_dirs(&zpm_, "foo", nullptr, dirs), nullptr);
    std::string log = log_text();
    EXPECT_NE(log.find("Failure opening <" + missing + "> for reading"), std::string::npos);
    EXPECT_NE(log.find("Found file " + dir + "/readme.txt, skipping"), std::string::npos);
    EXPECT_NE(log.find("Skipping " + dir + "/broken.zpk, failed to read info"), std::string::npos);
    EXPECT_EQ(log.find("sub.zpk"), std::string::npos);
}

TEST_F(Select, DirectoriesLongPathSkipped) {
    std::string dir = root() + "/" + std::string(200, 'd');
    std::string name = std::string(60, 'n') + ".zpk";
    write_file(dir + "/" + name, "x");
    char *dirs[] = {dir.data(), nullptr};
    EXPECT_EQ(zpm_findall_dirs(&zpm_, "foo", nullptr, dirs), nullptr);
    EXPECT_NE(log_text().find("too long, skipping entry"), std::string::npos);
}

} // namespace
