// The yad dialogs, driven against the recording fake yad: the arguments yad
// receives, what it reads, how answers come back, the vote modes, the text
// buffer and the dialog table with its temporary files.
#include <gtest/gtest.h>

#include <csignal>

#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "ekva.h"
#include "getopts.h"
#include "testroot.h"
#include "zpmui.h"

namespace {

const char kTitle[] = "zpm: Zorvek Package Manager";

class Ui : public zpmtest::RootTest {
  protected:
    void SetUp() override {
        RootTest::SetUp();
        old_path_ = std::getenv("PATH") ? std::getenv("PATH") : "";
        bin_ = at("/bin-yad");
        fy_ = at("/fake-yad");
        zpmtest::make_dirs(bin_);
        zpmtest::make_dirs(fy_);
        zpmtest::make_dirs(at("/tmp"));
        std::string fake = std::string(ZPM_TEST_SRCDIR) + "/tests/tools/fake-yad";
        ASSERT_EQ(symlink(fake.c_str(), (bin_ + "/yad").c_str()), 0);
        setenv("PATH", (bin_ + ":" + old_path_).c_str(), 1);
        setenv("FAKE_YAD_DIR", fy_.c_str(), 1);
        vote_mode = 1;
        textmax = 65536;
        ui = zpmui_init(kTitle);
        ASSERT_NE(ui, nullptr);
    }
    void TearDown() override {
        zpmui_free(ui);
        setenv("PATH", old_path_.c_str(), 1);
        unsetenv("FAKE_YAD_DIR");
        vote_mode = 1;
        textmax = 65536;
        RootTest::TearDown();
    }
    // One answer line per coming call: "<status>[ <output>]".
    void answers(const std::vector<std::string> &lines) {
        std::string text;
        for (const auto &l : lines)
            text += l + "\n";
        zpmtest::write_file(fy_ + "/answers", text);
    }
    int calls() const {
        std::string c = zpmtest::read_file(fy_ + "/count");
        return c.empty() ? 0 : std::atoi(c.c_str());
    }
    // The exact arguments yad received in call n.
    std::vector<std::string> args(int n) const {
        std::string raw = zpmtest::read_file(fy_ + "/" + std::to_string(n) + ".args0");
        std::vector<std::string> out;
        size_t start = 0, end;
        while ((end = raw.find('\0', start)) != std::string::npos) {
            out.push_back(raw.substr(start, end - start));
            start = end + 1;
        }
        return out;
    }
    std::string stdin_of(int n) const {
        return zpmtest::read_file(fy_ + "/" + std::to_string(n) + ".stdin");
    }
    std::vector<std::string> tmp_files() const {
        std::vector<std::string> out;
        if (DIR *d = opendir(at("/tmp").c_str())) {
            while (dirent *e = readdir(d))
                if (e->d_name[0] != '.')
                    out.push_back(e->d_name);
            closedir(d);
        }
        return out;
    }
    ZPMUI *ui = nullptr;
    std::string fy_, bin_, old_path_;
};

using Args = std::vector<std::string>;

// An ekva array from pairs; a null value stays null.
s_ekva **make_ekva(const std::vector<std::pair<const char *, const char *>> &pairs) {
    s_ekva **e = ekva_new(16, 3);
    for (const auto &[k, v] : pairs)
        ekva_addval(&e, k, v, 3);
    return e;
}

TEST_F(Ui, InitProbesYad) {
    EXPECT_STREQ(ui->info, "yad-0.40.0 (GTK+ 3.24.38) zpm interface");
    EXPECT_STREQ(ui->title, kTitle);
    EXPECT_EQ(ui->status, 1);
    EXPECT_EQ(ui->ui_type, 3);
    EXPECT_EQ(ui->textlen, 65536);
    EXPECT_EQ(ui->textmax, 65536);
    EXPECT_STREQ(ui->textbuf, "");
    EXPECT_EQ(ui->data, nullptr);
    EXPECT_EQ(calls(), 0); // the probe is no dialog
    ZPMUI *untitled = zpmui_init(nullptr);
    ASSERT_NE(untitled, nullptr);
    EXPECT_STREQ(untitled->title, "zpm");
    zpmui_free(untitled);
}

TEST_F(Ui, InitFailsWithoutAVersion) {
    zpmtest::write_file(fy_ + "/noversion", "");
    EXPECT_EQ(zpmui_init(kTitle), nullptr);
    setenv("PATH", at("/empty").c_str(), 1); // no yad at all
    EXPECT_EQ(zpmui_init(kTitle), nullptr);
}

TEST_F(Ui, TextBufferGrowsByDoubling) {
    std::string line(1000, 'x');
    line += "\n";
    zpmui_line_new(ui, line.c_str());
    for (int i = 1; i < 70; i++)
        zpmui_line_add(ui, line.c_str());
    EXPECT_EQ(textmax, 131072);
    EXPECT_EQ(ui->textmax, 131072);
    EXPECT_EQ(ui->textlen, 131072);
    std::string text = ui->textbuf;
    EXPECT_EQ(text.size(), 70u * line.size());
    EXPECT_EQ(text.substr(text.size() - line.size()), line);
    zpmui_line_new(ui, "fresh\n");
    EXPECT_STREQ(ui->textbuf, "fresh\n");
    std::string huge(300000, 'y');
    zpmui_line_add(ui, huge.c_str());
    EXPECT_EQ(ui->textmax, 524288);
    EXPECT_EQ(std::string(ui->textbuf), "fresh\n" + huge);
}

TEST_F(Ui, InfoArgumentsAndTimeout) {
    EXPECT_EQ(zpmui_write_info(ui, "Package foo installed", 0), 0);
    EXPECT_EQ(args(1), (Args{"--title=zpm: Zorvek Package Manager", "--center", "--width=400",
                             "--height=200", "--text", "Package foo installed", "--no-markup",
                             "--button=gtk-ok:0", "--timeout=3"}));
    answers({"", "", "70"}); // line n answers call n
    EXPECT_EQ(zpmui_write_info(ui, "confirm me", 1), 0);
    EXPECT_EQ(args(2).back(), "--button=gtk-ok:0");
    int st = zpmui_write_info(ui, "timed out", 0);
    EXPECT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 70);
}

// The keyboard's interrupt and quit reach a dialog as the shell's caller
// passes them on: ignored when zpm was started with them ignored, else at
// their default.
TEST_F(Ui, DialogsGetTheKeyboardSignalsZpmWasStartedWith) {
    const std::string out = at("/sigign");
    zpmtest::write_file(bin_ + "/yad.sh",
                        "#!/bin/sh\ngrep SigIgn /proc/self/status > " + out + "\n");
    ASSERT_EQ(chmod((bin_ + "/yad.sh").c_str(), 0755), 0);
    ASSERT_EQ(unlink((bin_ + "/yad").c_str()), 0);
    ASSERT_EQ(rename((bin_ + "/yad.sh").c_str(), (bin_ + "/yad").c_str()), 0);
    const unsigned long kKeyboard = (1UL << (SIGINT - 1)) | (1UL << (SIGQUIT - 1));
    for (bool ignored : {false, true}) {
        SCOPED_TRACE(ignored ? "started ignoring them" : "started with the defaults");
        struct sigaction how {
        }, old_int{}, old_quit{};
        how.sa_handler = ignored ? SIG_IGN : SIG_DFL;
        sigaction(SIGINT, &how, &old_int);
        sigaction(SIGQUIT, &how, &old_quit);
        zpmui_write_info(ui, "hello", 0);
        sigaction(SIGINT, &old_int, nullptr);
        sigaction(SIGQUIT, &old_quit, nullptr);
        const std::string line = zpmtest::read_file(out);
        ASSERT_NE(line.find("SigIgn:"), std::string::npos);
        const unsigned long mask = std::stoul(line.substr(line.find(':') + 1), nullptr, 16);
        EXPECT_EQ(mask & kKeyboard, ignored ? kKeyboard : 0UL);
    }
}

TEST_F(Ui, HostileTextsReachYadLiterallyAndRunNothing) {
    std::string victim = at("/pwned");
    std::string text = "it's \"quoted\" $(touch " + victim + ") `touch " + victim + "`; touch " +
                       victim + " | x & y\nsecond line $HOME \\ *";
    zpmui_write_info(ui, text.c_str(), 1);
    EXPECT_EQ(args(1)[5], text);
    zpmui_yesno(ui, text.c_str(), 1);
    EXPECT_EQ(args(2).back(), text);
    s_ekva **form = make_ekva({{"Name'$(x)", text.c_str()}});
    zpmui_write_form(ui, text.c_str(), form);
    ekva_free(form);
    Args f = args(3);
    EXPECT_EQ(f[5], "--text=" + text);
    EXPECT_EQ(f[f.size() - 2], "--field=Name'$(x):RO");
    EXPECT_EQ(f.back(), text);
    zpmui_write_file(ui, (victim + "'; touch " + victim + " '").c_str(), 0);
    EXPECT_EQ(args(4)[5], "--filename=" + victim + "'; touch " + victim + " '");
    free(ui->title);
    ui->title = strdup(text.c_str());
    zpmui_write(ui, "body", 1);
    EXPECT_EQ(args(5)[0], "--title=" + text);
    EXPECT_EQ(calls(), 5);
    EXPECT_FALSE(zpmtest::exists(victim));
}

TEST_F(Ui, WriteSendsTheMessageOnStandardInput) {
    answers({"0", "0"});
    std::string msg = "line 1\nline 2 'with' \"quotes\"\n";
    EXPECT_EQ(zpmui_write(ui, msg.c_str(), 1), 0);
    EXPECT_EQ(args(1), (Args{"--title=zpm: Zorvek Package Manager", "--center", "--width=800",
                             "--height=600", "--text-info", "--no-markup",
                             "--fontname=monospace", "--button=gtk-ok:0"}));
    EXPECT_EQ(stdin_of(1), msg);
    std::string big(300000, 'z');
    EXPECT_EQ(zpmui_write(ui, big.c_str(), 0), 0);
    EXPECT_EQ(stdin_of(2), big);
    EXPECT_NE(log_text().find("[DEBUG] Calling <yad --title='zpm: Zorvek Package Manager' "
                              "--center --width=800"),
              std::string::npos);
}

TEST_F(Ui, WriteSurvivesADialogThatReadsNothing) {
    // A yad that closes at once: writing a long text into it must fail
    // quietly, not kill zpm.
    zpmtest::write_file(bin_ + "/quick-yad", "#!/bin/sh\n[ \"$1\" = --version ] && echo 1.0\n"
                                             "exit 3\n");
    chmod((bin_ + "/quick-yad").c_str(), 0755);
    unlink((bin_ + "/yad").c_str());
    ASSERT_EQ(rename((bin_ + "/quick-yad").c_str(), (bin_ + "/yad").c_str()), 0);
    std::string big(4 << 20, 'q');
    int st = zpmui_write(ui, big.c_str(), 1);
    EXPECT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 3);
}

TEST_F(Ui, WriteFileArguments) {
    zpmui_write_file(ui, "/var/lib/zpm/a file.txt", 1);
    EXPECT_EQ(args(1), (Args{"--title=zpm: Zorvek Package Manager", "--center", "--width=800",
                             "--height=600", "--text-info", "--filename=/var/lib/zpm/a file.txt",
                             "--no-markup", "--fontname=monospace", "--buttons-layout=center",
                             "--button=gtk-ok:0"}));
}

TEST_F(Ui, YesNoAnswersAndVoteModes) {
    struct Case {
        int vote, def;
        const char *answer; // nullptr: yad must not be asked
        int expect;
    } cases[] = {
        {3, 1, nullptr, 1}, {3, 0, nullptr, 0}, {2, 1, nullptr, 1}, {2, 0, nullptr, 0},
        {2, -1, "1", 0},    {2, -1, "0", 1},    {1, 1, "0", 1},     {1, 1, "1", 0},
        {1, 1, "252", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.vote) + "/" + std::to_string(c.def));
        zpmtest::run("rm -rf '" + fy_ + "'/*");
        if (c.answer)
            answers({c.answer});
        vote_mode = c.vote;
        EXPECT_EQ(zpmui_yesno(ui, "Install foo?", c.def), c.expect);
        EXPECT_EQ(calls(), c.answer ? 1 : 0);
    }
    EXPECT_EQ(args(1), (Args{"--image", "dialog-question", "--width=600", "--title", kTitle,
                             "--button=gtk-yes:0", "--button=gtk-no:1", "--text",
                             "Install foo?"}));
}

TEST_F(Ui, FormShowsARunOfOneKeyWithOneLabel) {
    s_ekva **e = make_ekva({{"Name", "a"}, {"Depends", "x"}, {"Depends", "y"}, {"Size", nullptr},
                            {"depends", "z"}});
    EXPECT_EQ(zpmui_write_form(ui, "Package a", e), 0);
    ekva_free(e);
    EXPECT_EQ(args(1), (Args{"--form", "--title=zpm: Zorvek Package Manager", "--center",
                             "--width=400", "--height=400", "--text=Package a",
                             "--buttons-layout=center", "--button=gtk-ok:0", "--field=Name:RO",
                             "a", "--field=Depends:RO", "x", "--field=:RO", "y",
                             "--field=Size:RO", "", "--field=depends:RO", "z"}));
}

TEST_F(Ui, FormWithManyFields) {
    std::vector<std::string> vals;
    s_ekva **e = ekva_new(16, 3);
    for (int i = 0; i < 2000; i++) {
        vals.push_back("value number " + std::to_string(i));
        ekva_addval(&e, ("Key" + std::to_string(i)).c_str(), vals.back().c_str(), 3);
    }
    zpmui_write_form(ui, "big", e);
    ekva_free(e);
    Args a = args(1);
    ASSERT_EQ(a.size(), 9u + 2 * 2000); // too tall for the screen: --scroll
    EXPECT_EQ(a.back(), "value number 1999");
    EXPECT_EQ(a[4], "--height=600");
    EXPECT_EQ(a[5], "--scroll");
}

// The summary before installing n packages, as the install mode words it.
std::string summary(int n) {
    std::string t = "install of top will make the following changes:\n";
    for (int i = 1; i <= n; i++)
        t += "* install of package" + std::to_string(100 + i) +
             ", version 1.0: Download size:       1 kb, Install size:       2 kb\n";
    return t + "Do you want to continue";
}

// A text that would push a label's window past the bottom of a 768 pixel
// screen goes into a scrolling view of bounded height instead; one that fits
// keeps its command line.  Five summary lines make a window of 639 pixels
// with the real yad, six one of 741 (title bar and panel not counted).
TEST_F(Ui, TallTextsScrollAndKeepTheirButtonsOnScreen) {
    const Args label_question = {"--image", "dialog-question", "--width=600", "--title", kTitle,
                                 "--button=gtk-yes:0", "--button=gtk-no:1", "--text", summary(5)};
    const Args scrolled_question = {"--image",     "dialog-question",    "--width=800",
                                    "--height=600", "--title",           kTitle,
                                    "--button=gtk-yes:0", "--button=gtk-no:1", "--text-info",
                                    "--wrap"};
    struct Case {
        std::string text;
        Args args;
        bool on_stdin;
    } cases[] = {{summary(5), label_question, false},
                 {summary(6), scrolled_question, true},
                 {summary(45), scrolled_question, true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text.size());
        for (const char *answer : {"0", "1"}) {
            zpmtest::run("rm -rf '" + fy_ + "'/*");
            answers({answer});
            EXPECT_EQ(zpmui_yesno(ui, c.text.c_str(), 1), *answer == '0' ? 1 : 0);
            EXPECT_EQ(args(1), c.args);
            EXPECT_EQ(stdin_of(1), c.on_stdin ? c.text : "");
        }
    }
    std::string msg;
    for (int i = 0; i < 12; i++)
        msg += "Failure installing package" + std::to_string(i) + ", rc: -1\n";
    zpmui_write_info(ui, msg.c_str(), 0);
    EXPECT_EQ(args(calls()), (Args{"--title=zpm: Zorvek Package Manager", "--center",
                                   "--width=600", "--height=400", "--text-info", "--no-markup",
                                   "--wrap", "--button=gtk-ok:0", "--timeout=3"}));
    EXPECT_EQ(stdin_of(calls()), msg);
}

TEST_F(Ui, SelectReturnsTheKeyOfTheChosenValue) {
    s_ekva **c = make_ekva({{"abort", "abort installation"}, {"keep", "keep my file"},
                            {"new", "take the new file"}});
    char def[] = "abort";
    answers({"0 keep my file", "0", "0 something else"});
    char *r = zpmui_select(ui, "File exists", c, def, 0);
    EXPECT_EQ(r, c[2]->key); // a pointer into the choices
    EXPECT_EQ(args(1), (Args{"--entry", "--title=zpm: Zorvek Package Manager", "--text",
                             "File exists", "--no-markup", "--button=gtk-ok:0", "--entry-text",
                             "abort installation", "keep my file", "take the new file"}));
    EXPECT_EQ(zpmui_select(ui, "File exists", c, def, 0), nullptr); // nothing printed
    EXPECT_EQ(zpmui_select(ui, "File exists", c, def, 0), nullptr); // no such value
    vote_mode = 2; // asks like interactive
    answers({"0 take the new file"});
    zpmtest::run("rm -f '" + fy_ + "/count'");
    EXPECT_EQ(zpmui_select(ui, "File exists", c, def, 0), c[3]->key);
    vote_mode = 3;
    EXPECT_EQ(zpmui_select(ui, "File exists", c, def, 0), def);
    EXPECT_EQ(calls(), 1);
    ekva_free(c);
}

TEST_F(Ui, TableRowsGoThroughTheDataFile) {
    s_ekva **head = make_ekva({{"Name", nullptr}, {"Version", nullptr}, {"Desc'x", nullptr}});
    ASSERT_EQ(zpmui_write_table_new(ui, "Installed packages", head), 0);
    ekva_free(head);
    ASSERT_NE(ui->data, nullptr);
    std::string data = static_cast<char *>(ui->data);
    EXPECT_EQ(data.rfind(at("/tmp/uilistdat"), 0), 0u) << data;
    s_ekva **r1 = make_ekva({{"Name", "foo"}, {"Version", "1.0"}, {"Desc'x", "a\nb"}});
    s_ekva **r2 = make_ekva({{"Name", "bar"}, {"Version", nullptr}, {"Desc'x", "it's"}});
    EXPECT_EQ(zpmui_write_table_add(ui, r1, 1), 0);
    EXPECT_EQ(zpmui_write_table_add(ui, r2, 7), 0);
    ekva_free(r1);
    ekva_free(r2);
    const std::string rows = "1\nfoo\n1.0\na b\n7\nbar\n\nit's\n";
    EXPECT_EQ(zpmtest::read_file(data), rows);
    answers({"0 7|"});
    EXPECT_EQ(zpmui_write_table_end(ui, "footer"), 7);
    EXPECT_EQ(args(1),
              (Args{"--list", "--title=zpm: Zorvek Package Manager", "--center", "--width=800",
                    "--height=600",
                    "--text=Installed packages\nSelect an entry by either double clicking it or "
                    "else a single click and the press ok",
                    "--print-column=1", "--hide-column=1", "--buttons-layout=center",
                    "--button=gtk-ok:0", "--column=ID", "--column=Name", "--column=Version",
                    "--column=Desc'x"}));
    EXPECT_EQ(stdin_of(1), rows);
    EXPECT_EQ(ui->data, nullptr);
    EXPECT_STREQ(ui->textbuf, "");
    EXPECT_EQ(ui->textlen, textmax);
    EXPECT_TRUE(tmp_files().empty()) << tmp_files()[0];
}

TEST_F(Ui, TableClosedWithoutAChoice) {
    s_ekva **head = make_ekva({{"Name", nullptr}});
    ASSERT_EQ(zpmui_write_table_new(ui, nullptr, head), 0);
    ekva_free(head);
    answers({"252"});
    EXPECT_EQ(zpmui_write_table_end(ui, nullptr), 0);
    EXPECT_EQ(args(1)[5],
              "--text=Select an entry by either double clicking it or else a single click and "
              "the press ok");
    EXPECT_TRUE(tmp_files().empty());
}

TEST_F(Ui, TableCallsWithoutAnOpenTable) {
    zpmui_line_new(ui, "old text");
    s_ekva **row = make_ekva({{"Name", "x"}});
    EXPECT_EQ(zpmui_write_table_add(ui, row, 1), -1);
    EXPECT_STREQ(ui->textbuf, "");
    zpmui_line_new(ui, "old text");
    EXPECT_EQ(zpmui_write_table_end(ui, nullptr), -1);
    EXPECT_STREQ(ui->textbuf, "");
    EXPECT_EQ(calls(), 0);
    EXPECT_TRUE(tmp_files().empty());
    // A data file that went away: the table is dropped.
    s_ekva **head = make_ekva({{"Name", nullptr}});
    ASSERT_EQ(zpmui_write_table_new(ui, "h", head), 0);
    ekva_free(head);
    unlink(static_cast<char *>(ui->data));
    EXPECT_EQ(zpmui_write_table_end(ui, nullptr), -1);
    EXPECT_EQ(ui->data, nullptr);
    EXPECT_EQ(zpmui_write_table_add(ui, row, 1), -1);
    ekva_free(row);
    EXPECT_TRUE(tmp_files().empty());
}

TEST_F(Ui, TableWithoutATempDirectory) {
    zpmtest::run("rmdir '" + at("/tmp") + "'");
    s_ekva **head = make_ekva({{"Name", nullptr}});
    EXPECT_EQ(zpmui_write_table_new(ui, "h", head), -1);
    ekva_free(head);
    EXPECT_EQ(ui->data, nullptr);
}

TEST_F(Ui, LongTableCommandRaisesTheBufferSize) {
    std::vector<std::string> cols;
    s_ekva **head = ekva_new(16, 3);
    for (int i = 0; i < 3000; i++) {
        cols.push_back("Column" + std::string(20, 'c') + std::to_string(i));
        ekva_addval(&head, cols.back().c_str(), nullptr, 3);
    }
    ASSERT_EQ(zpmui_write_table_new(ui, "wide", head), 0);
    ekva_free(head);
    size_t len = std::strlen(ui->textbuf);
    EXPECT_GT(len, 65536u);
    EXPECT_EQ(textmax, static_cast<int>(len));
    EXPECT_EQ(ui->textlen, static_cast<int>(len));
    answers({"0 3|"});
    EXPECT_EQ(zpmui_write_table_end(ui, nullptr), 3);
    EXPECT_EQ(args(1).back(), "--column=" + cols.back());
}

TEST_F(Ui, InfofFormatsIntoTheTextBuffer) {
    ZPMUI *saved = zpmui;
    zpmui = ui;
    zpmui_infof(0, "Installed %d packages: %s", 3, "a'b");
    zpmui = saved;
    EXPECT_STREQ(ui->textbuf, "Installed 3 packages: a'b");
    EXPECT_EQ(args(1)[5], "Installed 3 packages: a'b");
    EXPECT_EQ(args(1).back(), "--timeout=3");
}

TEST_F(Ui, CallsAreLoggedAtDebugLevel) {
    zpmui_yesno(ui, "Q1", 1);
    zpmui_write_info(ui, "not logged", 0);
    std::string log = log_text();
    EXPECT_NE(log.find("[DEBUG] Calling <yad  --image \"dialog-question\" --width=600 --title "
                       "'zpm: Zorvek Package Manager' --button=gtk-yes:0 --button=gtk-no:1 "
                       "--text 'Q1'>"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("not logged"), std::string::npos);
}

} // namespace
