// shell_quote: whatever the text holds, /bin/sh must hand it on as the same
// single argument and run nothing from it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shell.h"
#include "testroot.h"

namespace {

using zpmtest::TempDir;

// Texts as they may come from packages: quotes of both kinds, command
// substitution, separators, globbing, line ends, escapes.
std::vector<std::string> hostile_texts(const std::string &victim) {
    return {
        "",
        "plain",
        "two  words",
        "it's",
        "''",
        "'",
        "\"double\" quoted",
        "$(touch " + victim + ")",
        "`touch " + victim + "`",
        "a; touch " + victim,
        "a && touch " + victim + " || true",
        "a | tee " + victim,
        "> " + victim,
        "line one\nline two\n",
        "back\\slash \\' \\\"",
        "$HOME ${PATH} $1 $@ $#",
        "* ? [a-z] ~",
        "tab\there",
        "-n",
        "%s %d",
        "!event",
        "\xc3\xbc\xe2\x82\xac",
        "'$(touch " + victim + ")'\"`touch " + victim + "`\"",
    };
}

TEST(ShellQuote, RoundTripsThroughTheShellAsOneArgument) {
    TempDir dir;
    std::string victim = dir / "pwned";
    for (const std::string &text : hostile_texts(victim)) {
        SCOPED_TRACE(text);
        std::string out;
        // set -- splits the word like any command line; $# proves it stayed one.
        int rc = zpmtest::run("set -- " + shell_quote(text) + "; printf '%s|%s' \"$#\" \"$1\"",
                              &out);
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(out, "1|" + text);
    }
    EXPECT_FALSE(zpmtest::exists(victim)) << "a quoted text ran a command";
}

TEST(ShellQuote, JoinsWithAnOptionPrefixIntoOneArgument) {
    std::string out;
    std::string cmd =
        "printf '[%s]' --title=" + shell_quote("zpm: it's \"here\"") + " " + shell_quote("b c");
    ASSERT_EQ(zpmtest::run(cmd, &out), 0);
    EXPECT_EQ(out, "[--title=zpm: it's \"here\"][b c]");
}

TEST(ShellQuote, ShapeOfTheQuotedWord) {
    struct Case {
        const char *in;
        const char *out;
    } cases[] = {
        {"", "''"},
        {"abc", "'abc'"},
        {"a'b", "'a'\\''b'"},
        {"'", "''\\'''"},
        {"$x", "'$x'"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(shell_quote(c.in), c.out) << c.in;
}

// shell_words must give exactly the words /bin/sh gives for every line it
// takes, and refuse every line the shell would interpret.
TEST(ShellWords, SplitsPlainLinesAsTheShellDoesAndRefusesTheRest) {
    TempDir dir;
    std::vector<std::string> lines = {"yad", "yad  --a\t--b ''", "yad x\\ y \"q w\"z 'it'\\''s'",
                                      "yad --title=\"zpm\" --center  --width=400 --text "
                                      "\"a b\" --timeout=3"};
    for (const std::string &text : hostile_texts(dir / "pwned"))
        lines.push_back("yad --title=" + shell_quote(text) + " --text " + shell_quote(text) +
                        " --button=gtk-ok:0");
    for (const std::string &line : lines) {
        SCOPED_TRACE(line);
        std::vector<std::string> words;
        ASSERT_TRUE(shell_words(line, &words));
        std::string joined, out;
        for (const std::string &w : words)
            joined += w + "\x01";
        ASSERT_EQ(zpmtest::run("set -- " + line + "; printf '%s\\001' \"$@\"", &out), 0);
        EXPECT_EQ(joined, out);
    }
    for (const char *line : {"", "  ", "yad >/dev/null", "yad $HOME", "yad \"$x\"", "yad `id`",
                             "yad a;b", "yad a|b", "yad a&", "yad *", "yad ~", "yad 'open",
                             "yad \"a\\\"b\"", "X=1 yad", "'yad' x", "yad #c", "yad a\nb",
                             "yad (x)", "yad !x", "yad \\"}) {
        std::vector<std::string> words;
        EXPECT_FALSE(shell_words(line, &words)) << line;
    }
}

} // namespace
