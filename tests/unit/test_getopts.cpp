// The option scanner, its usage text, the options string and its readers,
// the options help, and the reading of a whole command line.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "ekva.h"
#include "arr.h"
#include "frontend.h"
#include "getopts.h"
#include "zpmui.h"

namespace {

// A writable argv built from literals.
struct Argv {
    explicit Argv(std::vector<std::string> a) : store(std::move(a)) {
        for (std::string &s : store)
            ptrs.push_back(s.data());
        ptrs.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(store.size()); }
    char **argv() { return ptrs.data(); }
    std::vector<std::string> store;
    std::vector<char *> ptrs;
};

std::vector<struct options> table_copy() {
    std::vector<struct options> t;
    for (int i = 0;; i++) {
        t.push_back(zpm_option_table[i]);
        if (!zpm_option_table[i].description)
            return t;
    }
}

struct Scan {
    int number;
    std::string arg; // "" when getopts handed out none
    bool operator==(const Scan &o) const { return number == o.number && arg == o.arg; }
};

std::ostream &operator<<(std::ostream &os, const Scan &s) {
    return os << "{" << s.number << ",\"" << s.arg << "\"}";
}

// Runs getopts until it returns 0; the results and where it stopped.
std::vector<Scan> scan_all(std::vector<std::string> args, int *stop) {
    Argv a(std::move(args));
    auto table = table_copy();
    option_index = 1;
    std::vector<Scan> out;
    char *arg = nullptr;
    int r;
    while ((r = getopts(a.argc(), a.argv(), table.data(), &arg)) != 0) {
        out.push_back({r, arg ? arg : ""});
        std::free(arg);
        arg = nullptr;
    }
    *stop = option_index;
    return out;
}

TEST(Getopts, ScansArgumentVectors) {
    struct Case {
        std::vector<std::string> argv;
        std::vector<Scan> expect;
        int stop;
    } cases[] = {
        {{"zpm"}, {}, 1},
        {{"zpm", "-I", "foo"}, {{2, ""}}, 2},
        {{"zpm", "--install", "foo"}, {{2, ""}}, 2},
        {{"zpm", "-W", "-C", "-F"}, {{21, ""}, {11, ""}, {10, ""}}, 4},
        // Two rows share "refresh": the long form always finds -R.
        {{"zpm", "--refresh", "-r", "-R"}, {{8, ""}, {15, ""}, {8, ""}}, 4},
        {{"zpm", "-o", "a=b", "-Q", "x"}, {{17, "a=b"}, {5, ""}}, 4},
        {{"zpm", "--options", "a=b"}, {{17, "a=b"}}, 3},
        {{"zpm", "-l", "/tmp/l", "-v"}, {{22, "/tmp/l"}, {18, ""}}, 4},
        // An argument that is a dash word but no option is fine as a value.
        {{"zpm", "-o", "-x"}, {{17, "-x"}}, 3},
        {{"zpm", "-x", "-Q", "foo"}, {{-2, "-x"}, {5, ""}}, 3},
        // No grouping of short options and no long form of a short one.
        {{"zpm", "-In"}, {{-2, "-In"}}, 2},
        {{"zpm", "--I"}, {{-2, "--I"}}, 2},
        {{"zpm", "-"}, {{-2, "-"}}, 2},
        // Scanning stops at the first name.
        {{"zpm", "-I", "foo", "-n"}, {{2, ""}}, 2},
        {{"zpm", "-i", "-d", "-f", "-n", "-V"}, {{12, ""}, {13, ""}, {14, ""}, {16, ""}, {20, ""}}, 6},
    };
    for (const Case &c : cases) {
        std::string line;
        for (const auto &s : c.argv)
            line += s + " ";
        SCOPED_TRACE(line);
        int stop = 0;
        EXPECT_EQ(scan_all(c.argv, &stop), c.expect);
        EXPECT_EQ(stop, c.stop);
    }
}

TEST(Getopts, EmptyTableHandsUnknownDashWordsBack) {
    Argv a({"prog", "-x", "name"});
    struct options empty[] = {{0, nullptr, nullptr, nullptr, 0}};
    option_index = 1;
    char *arg = nullptr;
    EXPECT_EQ(getopts(a.argc(), a.argv(), empty, &arg), -2);
    ASSERT_NE(arg, nullptr);
    EXPECT_STREQ(arg, "-x");
    std::free(arg);
    EXPECT_EQ(getopts(a.argc(), a.argv(), empty, &arg), 0);
    EXPECT_EQ(arg, nullptr);
}

// The scanner ends the process with the usage; the usage goes to standard
// output, which the death test sends to standard error to match it.
void scan_to_exit(std::vector<std::string> args) {
    dup2(2, 1);
    int stop;
    scan_all(std::move(args), &stop);
    std::exit(99); // not reached when the scanner exits
}

TEST(GetoptsDeathTest, UsageExits) {
    const std::vector<std::vector<std::string>> cases = {
        {"./prog", "-I", "-o"},              // missing argument
        {"./prog", "-o", "-I"},              // argument is itself an option
        {"./prog", "-l", "--verbose"},       // the same, long form
        {"./prog", "-Q", "foo", "bar", "-h"}, // -h anywhere
        {"./prog", "pkg", "--help"},
    };
    for (const auto &c : cases)
        EXPECT_EXIT(scan_to_exit(c), testing::ExitedWithCode(0), "Usage: ./prog \\[options\\]")
            << c[1];
}

const char kUsage[] =
    "Usage: zpm [options]\n\n"
    "  --help,\t-h\t\t\tDisplays this information\n"
    "  --help,\t-H\t\t\tshow extended usage\n"
    "  --install,\t-I\t\t\tinstall packages\n"
    "  --update,\t-U\t\t\tupdate packages\n"
    "  --delete,\t-D\t\t\tdelete package\n"
    "  --query,\t-Q\t\t\tquery a package\n"
    "  --search,\t-S\t\t\tsearch a package\n"
    "  --list,\t-L\t\t\tList packages\n"
    "  --refresh,\t-R\t\t\tRefresh package store\n"
    "  --pin,\t-P\t\t\tPin an installed packace\n"
    "  --file,\t-F\t\t\tFind package containing file\n"
    "  --contents,\t-C\t\t\tList contents of package\n"
    "  --walk,\t-W\t\t\tWalk all dependencies of package\n"
    "  --interactiv,\t-i\t\t\tAsk about anything (default)\n"
    "  --defaults,\t-d\t\t\tUse defaults, else ask\n"
    "  --force,\t-f\t\t\tNever ask, abort if neccessary\n"
    "  --refresh,\t-r\t\t\trefresh catalogue before action\n"
    "  --dry-run,\t-n\t\t\tonly pretend\n"
    "  --logfile,\t-l <args>\t\tlog to this file\n"
    "  --options,\t-o <args>\t\toptions, see -o help for details\n"
    "  --verbose,\t-v\t\t\tShow verbose output\n"
    "  --version,\t-V\t\t\tShow version information\n";

TEST(GetoptsUsage, TextOfTheZpmTable) {
    auto table = table_copy();
    testing::internal::CaptureStdout();
    int r = getopts_usage("zpm", table.data());
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), kUsage);
    EXPECT_EQ(r, 1);
}

TEST(GetoptsUsage, RowsWithOneNameOrNone) {
    struct options t[] = {
        {1, const_cast<char *>("long"), const_cast<char *>("L"), nullptr, 0},
        {2, const_cast<char *>("longa"), const_cast<char *>("LA"), nullptr, 1},
        {3, nullptr, const_cast<char *>("S"), const_cast<char *>("s"), 0},
        {4, nullptr, const_cast<char *>("SA"), const_cast<char *>("t"), 1},
        {5, nullptr, const_cast<char *>("none"), nullptr, 0},
        {6, const_cast<char *>("both"), const_cast<char *>("B"), const_cast<char *>("b"), 0},
        {0, nullptr, nullptr, nullptr, 0},
    };
    testing::internal::CaptureStdout();
    getopts_usage("p", t);
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Usage: p [options]\n\n"
              "  --help,\t-h\t\t\tDisplays this information\n"
              "  --long\t\t\tL\n"
              "  --longa <args>\t\t\tLA\n"
              "  \t\t-s\t\t\tS\n"
              "  \t\t-t <args>\t\tSA\n"
              "  --both,\t-b\t\t\tB\n");
}

} // namespace

/* ---------------------------------------------------- options string */

namespace {

struct EkvaPtr {
    explicit EkvaPtr(s_ekva **arr) : e(arr) {}
    ~EkvaPtr() { ekva_free(e); }
    EkvaPtr(const EkvaPtr &) = delete;
    EkvaPtr &operator=(const EkvaPtr &) = delete;
    s_ekva **e;
};

std::string val_or_none(s_ekva **e, const char *key) {
    const char *v = ekva_getval(e, key);
    return v ? std::string("=") + v : "(none)";
}

TEST(OptionsString, ParsesItems) {
    struct Case {
        const char *str;
        int entries;
        std::vector<std::pair<const char *, const char *>> expect; // key, "=value" or "(none)"
    } cases[] = {
        {"opt1=val1,opt2=val2", 2, {{"opt1", "=val1"}, {"OPT2", "=val2"}}},
        {",,a=1,,", 1, {{"a", "=1"}}},
        {"debug", 0, {{"debug", "(none)"}}},
        {"=v,k=", 1, {{"k", "="}}},
        {"a=1=2", 1, {{"a", "=1=2"}}},
        {"debug=true,DEBUG=false", 1, {{"debug", "=false"}}},
        {"  key  = spaced  ", 1, {{"key", "=spaced"}}},
        {"k=\"a b\" rest", 1, {{"k", "=a b"}}},
        {"variant=", 1, {{"variant", "="}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.str);
        EkvaPtr e(zpmopts_str2ekva(nullptr, c.str, ','));
        ASSERT_NE(e.e, nullptr);
        EXPECT_EQ(ekva_nument(e.e), c.entries);
        for (const auto &[key, want] : c.expect)
            EXPECT_EQ(val_or_none(e.e, key), want) << key;
    }
}

TEST(OptionsString, OtherDelimiterAndExistingArray) {
    EkvaPtr e(zpmopts_str2ekva(nullptr, "a=1;b=2,3", ';'));
    ASSERT_NE(e.e, nullptr);
    EXPECT_EQ(val_or_none(e.e, "b"), "=2,3");
    s_ekva **same = zpmopts_str2ekva(e.e, "a=9;c=3", ';');
    ASSERT_NE(same, nullptr);
    e.e = same;
    EXPECT_EQ(val_or_none(e.e, "a"), "=9");
    EXPECT_EQ(ekva_nument(e.e), 3);
}

TEST(OptionsString, LongStringWithManyItems) {
    std::string s;
    for (int i = 0; s.size() < 5000; i++)
        s += "key" + std::to_string(i) + "=value" + std::to_string(i) + ",";
    EkvaPtr e(zpmopts_str2ekva(nullptr, s.c_str(), ','));
    ASSERT_NE(e.e, nullptr);
    EXPECT_GT(ekva_nument(e.e), 300);
    EXPECT_EQ(val_or_none(e.e, "key300"), "=value300");
}

/* ----------------------------------------------------------- readers */

TEST(OptionReaders, VoteMode) {
    struct Case {
        const char *str; // nullptr: no -o at all
        int flag;
        int expect;
    } cases[] = {
        {nullptr, 0, 1},         {"vote=ask", 0, 1},     {"vote=defaults", 0, 2},
        {"vote=FORCE", 0, 3},    {"vote=Defaults", 0, 2}, {"vote=maybe", 0, 1},
        {"vote=force", 2, 2},    {"vote=ask", 3, 3},      {nullptr, 1, 1},
        {"other=force", 0, 1},
    };
    for (const Case &c : cases) {
        EkvaPtr e(c.str ? zpmopts_str2ekva(nullptr, c.str, ',') : nullptr);
        EXPECT_EQ(zpm_get_votemode(e.e, c.flag), c.expect) << (c.str ? c.str : "null") << " " << c.flag;
    }
}

TEST(OptionReaders, VerifyDebugVariant) {
    struct Case {
        const char *str;
        int verify, debug;
        const char *variant;
    } cases[] = {
        {nullptr, 1, 0, nullptr},
        {"verify=false,debug=true,variant=x11", 0, 1, "x11"},
        {"verify=FALSE,debug=TRUE,variant=", 0, 1, ""},
        {"verify=no,debug=yes", 1, 0, nullptr},
        {"verify=true,debug=false", 1, 0, nullptr},
        {"debug", 1, 0, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.str ? c.str : "null");
        EkvaPtr e(c.str ? zpmopts_str2ekva(nullptr, c.str, ',') : nullptr);
        EXPECT_EQ(zpk_verify(e.e), c.verify);
        EXPECT_EQ(zpm_debug(e.e), c.debug);
        const char *v = zpm_get_variant(e.e);
        if (c.variant) {
            ASSERT_NE(v, nullptr);
            EXPECT_STREQ(v, c.variant);
        } else {
            EXPECT_EQ(v, nullptr);
        }
    }
}

TEST(OptionReaders, OutputFormatByModes) {
    struct Case {
        const char *str;
        int q, s, l, i; // modes 5, 4, 6, 1
    } cases[] = {
        {nullptr, 6, 5, 5, 1},      {"outform=text", 6, 5, 5, 1}, {"outform=csv", 4, 4, 4, 4},
        {"outform=ldif", 2, 2, 2, 2}, {"outform=xml", 3, 3, 3, 3}, {"outform=CSV", 6, 5, 5, 1},
        {"outform=c", 4, 4, 4, 4},  {"outform=", 6, 5, 5, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.str ? c.str : "null");
        EkvaPtr e(c.str ? zpmopts_str2ekva(nullptr, c.str, ',') : nullptr);
        EXPECT_EQ(zpm_get_outform(e.e, 5), c.q);
        EXPECT_EQ(zpm_get_outform(e.e, 4), c.s);
        EXPECT_EQ(zpm_get_outform(e.e, 6), c.l);
        EXPECT_EQ(zpm_get_outform(e.e, 1), c.i);
    }
}

/* ------------------------------------------------------ options help */

std::string help_of(int mode) {
    testing::internal::CaptureStdout();
    zpm_opt_help(mode);
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

const char kHelpIntro[] =
    "\nOptions are specified in the form of: -o \"opt1=val1,opt2=val2,opt3=val3,...\"\n";

TEST(OptionsHelp, SearchSectionAlone) {
    EXPECT_EQ(help_of(4),
              std::string(kHelpIntro) +
                  "\nOptions for mode -S (search):\n"
                  "  variant        : variant to use. On empty value, use default variant.\n"
                  "  outform        : output format, one of: text, csv, xml, ldif.\n"
                  "  debug          : true: run in debug mode. This will produce loads of "
                  "messages. Default is false\n"
                  "\n");
}

TEST(OptionsHelp, InstallSectionWithVoteChoices) {
    EXPECT_EQ(help_of(1),
              std::string(kHelpIntro) +
                  "\nOptions for mode -I (install):\n"
                  "  variant        : variant to use. On empty value, use default variant.\n"
                  "  vote           : what to do on multiple possible candidates:\n"
                  "                   - ask       : ask the user, this is the default\n"
                  "                   - defaults  : vote for default choice if defined, else ask\n"
                  "                   - force     : vote for default choice if defined, else abort\n"
                  "  incdir         : look for dependencies in this directory.\n"
                  "  debug          : true: run in debug mode. This will produce loads of "
                  "messages. Default is false\n"
                  "\n");
}

TEST(OptionsHelp, SectionsPerMode) {
    const char *headings[] = {"-I (install)", "-U (update)", "-D (delete)", "-S (search)",
                              "-Q (query)",   "-L (list)",   "-R (refresh)", "-P (pin)"};
    std::string all = help_of(0);
    size_t pos = 0;
    for (const char *h : headings) {
        size_t at = all.find(std::string("\nOptions for mode ") + h + ":\n", pos);
        ASSERT_NE(at, std::string::npos) << h;
        pos = at + 1; // in table order
    }
    for (int mode = 1; mode <= 8; mode++) {
        std::string one = help_of(mode);
        EXPECT_NE(one.find(headings[mode - 1]), std::string::npos) << mode;
        EXPECT_EQ(one.find("Options for mode", one.find("Options for mode") + 1), std::string::npos)
            << "mode " << mode << " shows more than its section";
    }
    EXPECT_NE(help_of(5).find("  verify         : true: verify the package's signature. false: "
                              "don't verify. Default is true\n"),
              std::string::npos);
    EXPECT_NE(help_of(8).find("  version        : pin to given version instead of current.\n"),
              std::string::npos);
    for (int mode : {9, 10, 11})
        EXPECT_EQ(help_of(mode), std::string(kHelpIntro) + "\n") << mode;
}

} // namespace

/* --------------------------------------------- reading a command line */

namespace {

void free_run(ZpmRun *run) {
    arr_free(run->object_names);
    std::free(run->logfilename);
    ekva_free(run->zpm_opt_user);
}

class CommandLine : public testing::Test {
  protected:
    void SetUp() override { reset(); }
    void TearDown() override {
        free_run(&run);
        reset();
    }
    static void reset() {
        option_index = 1;
        vote_mode = 1;
        dry_run = 0;
    }
    void read(std::vector<std::string> args) {
        Argv a(std::move(args));
        auto table = table_copy();
        zpm_read_cmdline(&run, a.argc(), a.argv(), table.data());
    }
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (char **n = run.object_names; n && *n; n++)
            out.push_back(*n);
        return out;
    }
    ZpmRun run;
};

TEST_F(CommandLine, ModesAndNames) {
    struct Case {
        std::vector<std::string> argv;
        int mode;
        std::vector<std::string> names;
        int argshift;
    } cases[] = {
        {{"zpm", "-I", "foo", "bar"}, 1, {"foo", "bar"}, 1},
        {{"zpm", "-H", "-I", "x"}, 1, {"x"}, 2},
        {{"zpm", "-W", "x"}, 11, {"x"}, 1},
        {{"zpm", "-P"}, 8, {}, 1},
        {{"zpm", "-U", "a"}, 2, {"a"}, 1},
        {{"zpm", "-D", "a"}, 3, {"a"}, 1},
        {{"zpm", "-S", "a"}, 4, {"a"}, 1},
        {{"zpm", "-Q", "a"}, 5, {"a"}, 1},
        {{"zpm", "-L"}, 6, {}, 1},
        {{"zpm", "-R"}, 7, {}, 1},
        {{"zpm", "-F", "/bin/sh"}, 9, {"/bin/sh"}, 1},
        {{"zpm", "-C", "-o", "a=b", "pkg.zpk"}, 10, {"pkg.zpk"}, 3},
        // Unknown dash words are not counted, so the names start earlier.
        {{"zpm", "-Q", "-x", "foo"}, 5, {"-x", "foo"}, 1},
        {{"zpm", "-x", "-Q", "foo"}, 5, {"-Q", "foo"}, 1},
        {{"zpm", "-I", "foo", "-n"}, 1, {"foo", "-n"}, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.argv[1] + " " + c.argv.back());
        free_run(&run);
        run = ZpmRun{};
        reset();
        read(c.argv);
        EXPECT_EQ(run.zpm_mode, c.mode);
        EXPECT_EQ(names(), c.names);
        EXPECT_EQ(run.argshift, c.argshift);
        if (c.names.empty())
            EXPECT_EQ(run.object_name, nullptr);
        else
            EXPECT_STREQ(run.object_name, c.names[0].c_str());
    }
}

TEST_F(CommandLine, FlagsAndOptionsString) {
    read({"zpm", "-n", "-r", "-v", "-l", "/x/log", "-d", "-o", "vote=ask,debug=true", "-I", "p"});
    EXPECT_EQ(dry_run, 1);
    EXPECT_EQ(run.refresh, 1);
    EXPECT_EQ(run.verbose, 1);
    EXPECT_EQ(run.opt_vote_mode, 2);
    EXPECT_EQ(vote_mode, 2); // the flag wins over the key
    EXPECT_EQ(run.debug, 1);
    ASSERT_NE(run.logfilename, nullptr);
    EXPECT_STREQ(run.logfilename, "/x/log");
    EXPECT_STREQ(run.options, "vote=ask,debug=true");
    EXPECT_EQ(names(), std::vector<std::string>{"p"});
}

TEST_F(CommandLine, VoteFromKeyAndNoOptionsString) {
    read({"zpm", "-U", "-o", "vote=force", "p"});
    EXPECT_EQ(vote_mode, 3);
    EXPECT_EQ(run.debug, 0);
    free_run(&run);
    run = ZpmRun{};
    reset();
    read({"zpm", "-U", "p"});
    EXPECT_EQ(run.zpm_opt_user, nullptr);
    EXPECT_EQ(vote_mode, 1);
}

TEST_F(CommandLine, LongOptionsStringIsCut) {
    std::string big(5000, 'a');
    big = "variant=" + big;
    read({"zpm", "-S", "-o", big, "x"});
    EXPECT_EQ(std::strlen(run.options), 1024u);
    const char *v = zpm_get_variant(run.zpm_opt_user);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(std::strlen(v), 1024u - 8);
}

void read_to_exit(std::vector<std::string> args) {
    dup2(2, 1);
    option_index = 1;
    vote_mode = 1;
    ZpmRun run;
    Argv a(std::move(args));
    auto table = table_copy();
    zpm_read_cmdline(&run, a.argc(), a.argv(), table.data());
    std::exit(99); // not reached when reading ends the process
}

TEST(CommandLineDeathTest, EndsTheProcess) {
    struct Case {
        std::vector<std::string> argv;
        int status;
        const char *pattern;
    } cases[] = {
        {{"zpm"}, 0, "^Usage: zpm \\[options\\]"},
        {{"zpm", "-H"}, 0, "^Usage: zpm"},
        {{"zpm", "-I", "-H"}, 0, "^Usage: zpm"},
        {{"zpm", "-I", "-o"}, 0, "^Usage: zpm"},
        {{"zpm", "-n", "foo"}, 0, "^Usage: zpm"},
        {{"zpm", "-V", "-Z"}, 0, "^zpm 1\\.0\\.24\n$"},
        {{"zpm", "-I", "-V", "-I"}, 0, "^zpm 1\\.0\\.24\n$"},
        {{"zpm", "-i", "-f", "-I", "x"}, 1,
         "^Only one of -d, -i or -f may be specified\nUsage: zpm \\[options\\]"},
        {{"zpm", "-I", "-U"}, 1, "^More than one action specified\nUsage: zpm"},
        {{"zpm", "-I", "-I", "x"}, 1, "^More than one action specified\n"},
        {{"zpm", "-o", "help"}, 0, "^Usage: zpm"},
        {{"zpm", "-o", "help", "-S"}, 0, "\nOptions for mode -S \\(search\\):\n"},
        {{"zpm", "-Q", "-o", "help"}, 0, "\nOptions for mode -Q \\(query\\):\n"},
    };
    for (const Case &c : cases)
        EXPECT_EXIT(read_to_exit(c.argv), testing::ExitedWithCode(c.status), c.pattern)
            << c.argv.size() << " args, last " << c.argv.back();
}

TEST(CommandLineDeathTest, OptionsHelpShowsOneSection) {
    // Only the search section: no other heading may appear.
    EXPECT_EXIT(read_to_exit({"zpm", "-S", "-o", "help"}), testing::ExitedWithCode(0),
                "^\nOptions are specified in the form of: -o \"opt1=val1,opt2=val2,opt3=val3,"
                "\\.\\.\\.\"\n\nOptions for mode -S \\(search\\):\n(  [a-z]+ +: [^\n]*\n){3}\n$");
}

} // namespace
