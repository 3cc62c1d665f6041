// Action lists: one entry per package name, built from transactions.
#include <gtest/gtest.h>

#include "plan.h"
#include "plan_fixture.h"
#include "zpk.h"

using namespace zpmtest;

namespace {

Pkg pkg(const char *name, const char *version = "1.0") {
    Pkg p;
    p.name = name;
    p.version = version;
    return p;
}

ZPD *zpd(const char *dep, const char *cand, char status, char action, ZPI *zpi) {
    ZPD *d = static_cast<ZPD *>(calloc(1, sizeof(ZPD)));
    *d = ZPD{status, action, strdup(dep), strdup(cand), nullptr, zpi, 1, 0};
    return d;
}

// A transaction with head `head` and the given records.
ZPT *zpt(const char *head, char action, std::vector<ZPD *> recs) {
    ZPT *t = static_cast<ZPT *>(calloc(1, sizeof(ZPT)));
    t->zpk_name = strdup(head);
    t->zpk_stat = 'R';
    t->action = action;
    t->status = 'N';
    t->zpi = mkzpi(pkg(head));
    t->num_zpds = (int)recs.size();
    if (!recs.empty()) {
        t->all_zpds = static_cast<ZPD **>(calloc(recs.size() + 1, sizeof(ZPD *)));
        for (size_t i = 0; i < recs.size(); i++)
            t->all_zpds[i] = recs[i];
    }
    return t;
}

std::vector<std::string> entries(ZPA **l) {
    std::vector<std::string> out;
    for (int i = 0; l && l[i]; i++)
        out.push_back(std::string(l[i]->zpi->name) + "/" + l[i]->action + "/" + l[i]->status + "/" +
                      l[i]->candidate);
    return out;
}

using V = std::vector<std::string>;

class Actions : public PlanTest {};

TEST_F(Actions, NewNameCheck) {
    ZPI *a = mkzpi(pkg("a"));
    EXPECT_EQ(zpm_zpa_list_new_zpi(nullptr, a), 1);
    ZPT *t = zpt("a", 'I', {});
    ZPA **list = nullptr;
    ASSERT_EQ(zpm_zpa_list_add_zpt(t, &list), 1);
    EXPECT_EQ(zpm_zpa_list_new_zpi(list, a), 0);
    ZPI *other = mkzpi(pkg("b"));
    EXPECT_EQ(zpm_zpa_list_new_zpi(list, other), 1);
    EXPECT_NE(log_text().find("a is already in the zpa (a)"), std::string::npos);
    zpk_info_free(a);
    zpk_info_free(other);
    zpt_free(t);
    zpm_zpa_list_free(list);
}

TEST_F(Actions, SkipsNothingToDoAndUnresolvedAndDuplicates) {
    ZPT *t =
        zpt("a", 'I',
            {zpd("b", "a", 'R', 'I', mkzpi(pkg("b"))), zpd("lib", "a", 'I', 'N', mkzpi(pkg("lib"))),
             zpd("ghost", "a", 'U', 0, nullptr), zpd("d", "b", 'L', 'I', mkzpi(pkg("d"))),
             zpd("d", "c", 'R', 'I', mkzpi(pkg("d", "2.0")))});
    ZPA **list = nullptr;
    EXPECT_EQ(zpm_zpa_list_add_zpt(t, &list), 3);
    // The head first (its action and where it stands), then the records;
    // the first record of a repeated name wins.
    EXPECT_EQ(entries(list), (V{"a/I/R/a", "b/I/R/a", "d/I/L/b"}));
    // Additions are counted against the list before any is added, so the
    // repeated d counts twice there but is appended once.
    EXPECT_NE(log_text().find("Allocating list for 4 entries"), std::string::npos);
    EXPECT_NE(log_text().find("Added 4 entries to zpa_list, new size: 4 (3)"), std::string::npos);
    // Everything already there: nothing changes.
    clear_log();
    EXPECT_EQ(zpm_zpa_list_add_zpt(t, &list), 3);
    EXPECT_NE(log_text().find("No new additions"), std::string::npos);
    EXPECT_EQ(entries(list).size(), 3u);
    zpt_free(t);
    zpm_zpa_list_free(list);
}

TEST_F(Actions, MergesTransactionsByNameOnly) {
    ZPT *one = zpt("a", 'I', {zpd("d", "a", 'R', 'I', mkzpi(pkg("d")))});
    ZPT *two = zpt("b", 'I',
                   {zpd("d", "b", 'R', 'I', mkzpi(pkg("d", "9.9"))),
                    zpd("e", "b", 'R', 'I', mkzpi(pkg("e")))});
    ZPA **list = nullptr;
    EXPECT_EQ(zpm_zpa_list_add_zpt(one, &list), 2);
    EXPECT_EQ(zpm_zpa_list_add_zpt(two, &list), 4);
    EXPECT_EQ(entries(list), (V{"a/I/R/a", "d/I/R/a", "b/I/R/b", "e/I/R/b"}));
    EXPECT_STREQ(list[1]->zpi->version, "1.0");
    EXPECT_NE(log_text().find("Reallocating list for 4 entries"), std::string::npos);
    // Entries own copies: the transactions can go first.
    zpt_free(one);
    zpt_free(two);
    EXPECT_STREQ(list[3]->zpi->name, "e");
    zpm_zpa_list_free(list);
    zpm_zpa_list_free(nullptr);
}

TEST_F(Actions, ListFromPlannedTransactionsHoldsSharedDependencyOnce) {
    Pkg a = pkg("a"), b = pkg("b"), d = pkg("d");
    a.deps = {"d"};
    b.deps = {"d"};
    catalogue({a, b, d});
    ZPA **list = nullptr;
    int n = 0;
    for (const char *name : {"a", "b"}) {
        ZPT *t = zpm_pre_install(&zpm_, &zpc_, (char *)name, nullptr, nullptr, nullptr);
        ASSERT_NE(t, nullptr);
        n = zpm_zpa_list_add_zpt(t, &list);
        zpt_free(t);
    }
    EXPECT_EQ(n, 3);
    EXPECT_EQ(entries(list), (V{"a/I/R/a", "d/I/R/a", "b/I/R/b"}));
    zpm_zpa_list_free(list);
}

} // namespace
