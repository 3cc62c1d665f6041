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

} // namespace
