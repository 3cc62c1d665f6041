// zpm-tty: which command lines it hands on changed, and how the stand-in reads
// the dialogs zpm starts.
#include <gtest/gtest.h>

#include "dialog.h"
#include "wrap.h"

using namespace zpmtty;

TEST(ZpmTtyWrap, OnlyListsInCsvOrLdifChange) {
    struct Case {
        std::vector<std::string> in, out;
        const char *form;
    } cases[] = {
        {{"-L", "-o", "outform=csv"}, {"-L", "-o", ""}, "csv"},
        {{"-o", "debug=true, OUTFORM = 'ldif',x=1", "-S", "a*"},
         {"-o", "debug=true,x=1", "-S", "a*"},
         "ldif"},
        {{"-L", "-o", "outform=csv,outform=text"}, {"-L", "-o", "outform=csv,outform=text"}, ""},
        {{"-Q", "-o", "outform=csv", "x"}, {"-Q", "-o", "outform=csv", "x"}, ""},
        {{"-L", "name", "-o", "outform=csv"}, {"-L", "name", "-o", "outform=csv"}, ""},
        {{"-l", "-L", "-o", "outform=csv"}, {"-l", "-L", "-o", "outform=csv"}, ""},
        {{"-L", "-o", "help"}, {"-L", "-o", "help"}, ""},
    };
    for (const auto &c : cases) {
        Wrapped w = wrap_args(c.in);
        EXPECT_EQ(c.out, w.args) << c.in[0] << " " << c.in[1];
        EXPECT_EQ(c.form, w.table_form) << c.in[0] << " " << c.in[1];
    }
}

TEST(ZpmTtyDialog, ReadsTheDialogsZpmStarts) {
    Dialog q = parse({"--image", "dialog-question", "--width=600", "--title", "zpm",
                      "--button=gtk-yes:0", "--button=gtk-no:1", "--text", "Go on?"});
    EXPECT_EQ(Kind::question, q.kind);
    EXPECT_EQ("Go on?", q.text);
    Dialog e = parse({"--entry", "--title=zpm", "--text", "Choose", "--no-markup",
                      "--button=gtk-ok:0", "--entry-text", "leave", "replace", "abort"});
    EXPECT_EQ(Kind::entry, e.kind);
    EXPECT_EQ((std::vector<std::string>{"leave", "replace", "abort"}), e.values);
    Dialog f = parse({"--form", "--title=zpm", "--text=Package details", "--field=Name:RO", "a",
                      "--field=Dependency:RO", "x", "--field=:RO", "y"});
    EXPECT_EQ((std::vector<std::string>{"Name", "Dependency", ""}), f.fields);
    EXPECT_EQ((std::vector<std::string>{"a", "x", "y"}), f.values);
    Dialog i =
        parse({"--title=zpm", "--center", "--text", "done\n", "--button=gtk-ok:0", "--timeout=3"});
    EXPECT_EQ(Kind::info, i.kind);
    EXPECT_TRUE(i.timeout);
    EXPECT_EQ((std::vector<std::vector<std::string>>{{"1", "a", ""}, {"2", "b", "v"}}),
              rows_of("1\na\n\n2\nb\nv\n", 3));
    EXPECT_EQ("replace", choice(e.values, "2\n"));
    EXPECT_EQ("abort", choice(e.values, "abort"));
    EXPECT_EQ("", choice(e.values, "4"));
    EXPECT_EQ(1, yes_no("Yes\n"));
    EXPECT_EQ(-1, yes_no("maybe"));
}
