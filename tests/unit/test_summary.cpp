// The text shown before the confirmation question of a transaction.
#include <gtest/gtest.h>

#include "frontend.h"
#include "plan.h"
#include "plan_fixture.h"

using namespace zpmtest;

namespace {

ZPT *txn(const char *name, char action, uint64_t fs, uint64_t ds) {
    Pkg p;
    p.name = name;
    p.version = "1.2.3";
    p.filesize = fs;
    p.datasize = ds;
    ZPT *t = static_cast<ZPT *>(calloc(1, sizeof(ZPT)));
    t->zpk_name = strdup(name);
    t->zpk_stat = 'R';
    t->action = action;
    t->zpi = mkzpi(p);
    return t;
}

void add_dep(ZPT *t, const char *name, char action, uint64_t ds) {
    Pkg p;
    p.name = name;
    p.version = "0.1";
    p.datasize = ds;
    int n = t->num_zpds++;
    t->all_zpds = static_cast<ZPD **>(realloc(t->all_zpds, (n + 2) * sizeof(ZPD *)));
    ZPD *d = static_cast<ZPD *>(calloc(1, sizeof(ZPD)));
    *d = ZPD{'I', action, strdup(name), strdup(t->zpk_name), nullptr, mkzpi(p), 1, 0};
    t->all_zpds[n] = d;
    t->all_zpds[n + 1] = nullptr;
}

class Summary : public PlanTest {};

TEST_F(Summary, LinesByAction) {
    struct Row {
        char action;
        uint64_t fs, ds;
        const char *text;
    } rows[] = {
        {'I', 1535, 2048,
         "install of pkg will make the following changes:\n"
         "* install of pkg, version 1.2.3: Download size:       1 kb, Install size:       2 kb\n"
         "Do you want to continue"},
        {'U', 1023, 123456789,
         "update of pkg will make the following changes:\n"
         "* update of pkg to version 1.2.3: Download size:       0 kb, Install size:  120563 kb\n"
         "Do you want to continue"},
        {'D', 99999, 10240,
         "removal of pkg will make the following changes:\n"
         "* removal of pkg, version 1.2.3: Install size:      10 kb\n"
         "Do you want to continue"},
        {0, 1, 1, "walk of pkg will make the following changes:\nDo you want to continue"},
    };
    for (const Row &r : rows) {
        ZPT *t = txn("pkg", r.action, r.fs, r.ds);
        const char *what = r.action == 'I'   ? "install"
                           : r.action == 'U' ? "update"
                           : r.action == 'D' ? "removal"
                                             : "walk";
        EXPECT_EQ(zpm_txn_summary(t, what), r.text) << r.action;
        zpt_free(t);
    }
}

TEST_F(Summary, RemovalWithDependenciesInListOrder) {
    ZPT *t = txn("app", 'D', 0, 4096);
    add_dep(t, "libx", 'D', 3 * 1024 * 1024);
    add_dep(t, "kept", 'N', 1);
    add_dep(t, "libx", 'D', 5);
    EXPECT_EQ(zpm_txn_summary(t, "removal"),
              "removal of app will make the following changes:\n"
              "* removal of app, version 1.2.3: Install size:       4 kb\n"
              "* removal of libx, version 0.1: Install size:    3072 kb\n"
              "Do you want to continue");
    zpt_free(t);
}

TEST_F(Summary, LongNamesAreCutNotOverflowed) {
    std::string longname(5000, 'n');
    ZPT *t = txn(longname.c_str(), 'I', 0, 0);
    std::string s = zpm_txn_summary(t, "install");
    EXPECT_NE(s.find("* install of " + std::string(900, 'n') + ", version"), std::string::npos);
    EXPECT_EQ(s.find(std::string(901, 'n') + ", version"), std::string::npos);
    zpt_free(t);
}

} // namespace
