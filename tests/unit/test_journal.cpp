// The journal of a change, and the update switch from every state an
// interrupted switch can leave: forward it ends with the new entry and index
// registered and the old ones at .k.old, backward with the old ones back.
#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "journal.h"
#include "paths.h"
#include "testroot.h"

using namespace zpmtest;

namespace {

class JournalTest : public RootTest {
  protected:
    std::string inst(const std::string &n) const { return at("/var/lib/zpm/installed/" + n); }
    std::string idx(const std::string &n) const { return at("/var/lib/zpm/fileindex/" + n); }
    // An entry directory whose install record is rec.
    void entry(const std::string &n, const std::string &rec) {
        write_file(inst(n) + "/desc.txt", "ezpkName: k\n");
        write_file(inst(n) + "/inst.txt", rec);
    }
    std::string rec_of(const std::string &n) const { return read_file(inst(n) + "/inst.txt"); }
};

zpm::exec::Journal switch_journal() {
    zpm::exec::Journal j;
    j.op = "update";
    j.name = "k";
    j.puname = "k_any_2.0";
    j.record = zpm::exec::text_sum("new rec");
    j.index = zpm::exec::text_sum("new index");
    j.had_index = true;
    return j;
}

} // namespace

TEST_F(JournalTest, WrittenAndReadBackAndNeverThroughALink) {
    zpm::exec::Journal j = switch_journal();
    j.old_puname = "k_any_1.0";
    j.paths = {{'n', "/opt/k/new file"}, {'r', "/opt/k/a"}, {'d', "/opt/k/drop"}};
    write_file(root() + "/victim", "precious");
    make_dirs(at("/var/lib/zpm"));
    ASSERT_EQ(symlink((root() + "/victim").c_str(), zpm::paths::journal_file().c_str()), 0);
    zpm::exec::Journal got;
    EXPECT_EQ(zpm::exec::journal_read(&got), 0) << "a planted link is no journal";
    ASSERT_FALSE(zpm::exec::journal_write(j));
    EXPECT_EQ(read_file(root() + "/victim"), "precious");
    ASSERT_EQ(zpm::exec::journal_read(&got), 1);
    EXPECT_EQ(got.op + got.name + got.puname + got.old_puname + got.record + got.index,
              j.op + j.name + j.puname + j.old_puname + j.record + j.index);
    EXPECT_EQ(got.paths, j.paths);
    EXPECT_TRUE(got.had_index);

    j.paths.emplace_back('n', "/opt/k/two\nlines");
    EXPECT_TRUE(zpm::exec::journal_write(j)) << "a path with a line feed cannot be recorded";
    write_file(zpm::paths::journal_file(), "zpm-journal 1\nop install\nname k\n");
    EXPECT_EQ(zpm::exec::journal_read(&got), -1) << "a journal without its end line";
    zpm::exec::journal_drop();
    EXPECT_EQ(zpm::exec::journal_read(&got), 0);
}

TEST_F(JournalTest, SwitchGoesOnOrBackFromEveryStateItCanBeCutIn) {
    // Where entries and indexes are in each state a switch passes through
    // (index first, then entries; "-" absent): k, .k.new, .k.old.
    struct State {
        const char *what;
        const char *index[3];
        const char *entry[3];
    };
    const State states[] = {
        {"not begun", {"old", "new", "prior"}, {"old", "new", "prior"}},
        {"indexes exchanged", {"new", "old", "prior"}, {"old", "new", "prior"}},
        {"old index aside", {"new", "-", "old"}, {"old", "new", "prior"}},
        {"index moved aside without exchange", {"-", "new", "old"}, {"old", "new", "prior"}},
        {"previous entry removed", {"new", "-", "old"}, {"old", "new", "-"}},
        {"entries exchanged", {"new", "-", "old"}, {"new", "old", "-"}},
        {"entry moved aside without exchange", {"new", "-", "old"}, {"-", "new", "old"}},
        {"done", {"new", "-", "old"}, {"new", "-", "old"}},
    };
    const char *names[3] = {"k", ".k.new", ".k.old"};
    for (bool forward : {true, false})
        for (const State &s : states) {
            SCOPED_TRACE(std::string(s.what) + (forward ? ", forward" : ", back"));
            run("rm -rf '" + at("/var/lib/zpm") + "'");
            make_dirs(inst(""));
            make_dirs(idx(""));
            for (int i = 0; i < 3; i++) {
                if (std::string(s.index[i]) != "-")
                    write_file(idx(names[i]), std::string(s.index[i]) + " index");
                if (std::string(s.entry[i]) != "-")
                    entry(names[i], std::string(s.entry[i]) + " rec");
            }
            const zpm::exec::Journal j = switch_journal();
            EXPECT_TRUE(zpm::exec::new_entry_made(j));
            auto fail = forward ? zpm::exec::switch_in(j) : zpm::exec::switch_back(j);
            ASSERT_FALSE(fail) << fail->text();
            const char *now = forward ? "new" : "old", *before = forward ? "old" : "new";
            EXPECT_EQ(read_file(idx("k")), std::string(now) + " index");
            EXPECT_EQ(rec_of("k"), std::string(now) + " rec");
            EXPECT_EQ(rec_of(forward ? ".k.old" : ".k.new"), std::string(before) + " rec");
            if (forward) {
                EXPECT_EQ(read_file(idx(".k.old")), "old index");
                EXPECT_FALSE(exists(inst(".k.new")) || exists(idx(".k.new")));
            }
        }
}
