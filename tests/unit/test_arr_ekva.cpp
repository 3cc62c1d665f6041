// String arrays and key/value arrays.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "arr.h"
#include "ekva.h"
#include "testroot.h"

namespace {

struct ArrDeleter {
    void operator()(char **a) const { arr_free(a); }
};
using Arr = std::unique_ptr<char *[], ArrDeleter>;

struct EkvaDeleter {
    void operator()(s_ekva **a) const { ekva_free(a); }
};

std::vector<std::string> to_vec(char **arr) {
    std::vector<std::string> v;
    for (int i = 0; arr && arr[i]; i++)
        v.emplace_back(arr[i]);
    return v;
}

// Builds an owned string array from literals.
char **make_arr(const std::vector<std::string> &items) {
    auto **a = static_cast<char **>(calloc(items.size() + 1, sizeof(char *)));
    for (size_t i = 0; i < items.size(); i++)
        a[i] = strdup(items[i].c_str());
    return a;
}

std::string fprint_to_string(s_ekva **arr, int keysize, int *written) {
    char *buf = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&buf, &len);
    *written = ekva_fprint(arr, f, keysize);
    fclose(f);
    std::string out(buf, len);
    free(buf);
    return out;
}

// ---------------------------------------------------------------- arrays

struct SplitCase {
    const char *input;
    char delim;
    std::vector<std::string> expected; // empty: null result
};

TEST(Str2Arr, SplitsAndDropsEmptyPieces) {
    const SplitCase cases[] = {
        {",,a,,b,", ',', {"a", "b"}},
        {"", ',', {}},
        {",,,", ',', {}},
        {"one", ',', {"one"}},
        {"a b  c", ' ', {"a", "b", "c"}},
        {"x:y", ',', {"x:y"}},
        {"trail:", ':', {"trail"}},
    };
    for (const auto &c : cases) {
        Arr a(str2arr(c.input, c.delim));
        if (c.expected.empty()) {
            EXPECT_EQ(a.get(), nullptr) << c.input;
        } else {
            ASSERT_NE(a.get(), nullptr) << c.input;
            EXPECT_EQ(to_vec(a.get()), c.expected) << c.input;
        }
    }
}

TEST(Str2Arr, KeepsAtMostOneThousandPieces) {
    std::string s;
    for (int i = 0; i < 1005; i++)
        s += "p" + std::to_string(i) + ",";
    Arr a(str2arr(s.c_str(), ','));
    ASSERT_NE(a.get(), nullptr);
    EXPECT_EQ(arr_count(a.get()), 1000);
    EXPECT_STREQ(a.get()[999], "p999");
    EXPECT_EQ(str2arr(nullptr, ','), nullptr);
}

TEST(Arr2Str, JoinsWithOneDelimiter) {
    Arr two(make_arr({"alpha", "beta"}));
    char *s = arr2str(two.get(), ',');
    EXPECT_STREQ(s, "alpha,beta");
    free(s);

    Arr empty(make_arr({}));
    s = arr2str(empty.get(), ',');
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "");
    free(s);

    EXPECT_EQ(arr2str(nullptr, ','), nullptr);
}

TEST(Arr2Str, GrowsPastTheFirstKilobyte) {
    std::vector<std::string> items;
    std::string expected;
    for (int i = 0; i < 50; i++) {
        items.push_back(std::string(100 + i, char('a' + i % 26)));
        expected += (i ? ":" : "") + items.back();
    }
    items.push_back(std::string(3000, 'z')); // one element larger than a step
    expected += ":" + items.back();
    Arr a(make_arr(items));
    char *s = arr2str(a.get(), ':');
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(std::string(s), expected);
    free(s);
}

TEST(Arr, CountCopyAndMembership) {
    Arr a(make_arr({"x", "Y", "z"}));
    EXPECT_EQ(arr_count(a.get()), 3);
    EXPECT_EQ(arr_count(nullptr), 0);
    EXPECT_EQ(in_array(a.get(), "Y"), 1);
    EXPECT_EQ(in_array(a.get(), "y"), 0); // case matters
    EXPECT_EQ(in_array(nullptr, "x"), 0);

    Arr c(arr_copy(a.get()));
    ASSERT_NE(c.get(), nullptr);
    EXPECT_EQ(to_vec(c.get()), to_vec(a.get()));
    EXPECT_NE(c.get()[0], a.get()[0]); // fresh copies, not shared pointers

    Arr e(make_arr({}));
    Arr ce(arr_copy(e.get()));
    ASSERT_NE(ce.get(), nullptr);
    EXPECT_EQ(ce.get()[0], nullptr);
    EXPECT_EQ(arr_copy(nullptr), nullptr);
    arr_free(nullptr);
}

// ---------------------------------------------------------- key/values

class Ekva : public ::testing::Test {
  protected:
    void TearDown() override { ekva_free(arr); }
    s_ekva **arr = nullptr;
};

TEST_F(Ekva, NewRejectsBadArguments) {
    EXPECT_EQ(ekva_new(0, 2), nullptr);
    EXPECT_EQ(ekva_new(-3, 2), nullptr);
    EXPECT_EQ(ekva_new(5, 5), nullptr);
    EXPECT_EQ(ekva_new(5, 0), nullptr);
    arr = ekva_new(1024, 4);
    ASSERT_NE(arr, nullptr);
    EXPECT_STREQ(arr[0]->key, "#EKVA_10:1024:4");
    EXPECT_EQ(arr[0]->val, nullptr);
    EXPECT_EQ(arr[1], nullptr);
    EXPECT_EQ(ekva_nument(arr), 0);
}

TEST_F(Ekva, GrowsByDoublingAndRewritesHeader) {
    arr = ekva_new(1, 2);
    ASSERT_NE(arr, nullptr);
    EXPECT_EQ(ekva_addval(&arr, "a", "1", 0), 2);
    EXPECT_STREQ(arr[0]->key, "#EKVA_10:1:2");
    EXPECT_EQ(ekva_addval(&arr, "b", "2", 0), 3);
    EXPECT_STREQ(arr[0]->key, "#EKVA_10:2:2");
    EXPECT_EQ(ekva_nument(arr), 2);
    // Many more adds: every value must survive the moves.
    for (int i = 0; i < 300; i++) {
        std::string k = "k" + std::to_string(i);
        ASSERT_EQ(ekva_addval(&arr, k.c_str(), k.c_str(), 0), 4 + i);
    }
    EXPECT_STREQ(arr[0]->key, "#EKVA_10:512:2");
    EXPECT_STREQ(ekva_getval(arr, "k299"), "k299");
    EXPECT_STREQ(ekva_getval(arr, "a"), "1");
}

TEST_F(Ekva, GrowsEvenWhenOnlyReplacing) {
    arr = ekva_new(1, 2);
    ekva_addval(&arr, "a", "1", 2);
    EXPECT_EQ(ekva_addval(&arr, "A", "2", 2), 2);
    EXPECT_STREQ(arr[0]->key, "#EKVA_10:2:2");
    EXPECT_STREQ(ekva_getval(arr, "a"), "2");
}

TEST_F(Ekva, AddModes) {
    arr = ekva_new(4, 2);
    ekva_addval(&arr, "Vote", "1", 2);
    // Mode 2 keeps the stored spelling of the key and replaces the value.
    EXPECT_EQ(ekva_addval(&arr, "vote", "3", 2), 2);
    EXPECT_STREQ(arr[1]->key, "Vote");
    EXPECT_STREQ(ekva_getval(arr, "VOTE"), "3");
    // Mode 1 leaves the old value.
    EXPECT_EQ(ekva_addval(&arr, "VOTE", "9", 1), 2);
    EXPECT_STREQ(ekva_getval(arr, "vote"), "3");
    // Modes 3 and 0 append.
    EXPECT_EQ(ekva_addval(&arr, "vote", "4", 3), 3);
    EXPECT_EQ(ekva_addval(&arr, "vote", "5", 0), 4);
    EXPECT_EQ(ekva_cntval(arr, "Vote"), 3);
    EXPECT_STREQ(ekva_getval(arr, "vote"), "3");
    EXPECT_STREQ(ekva_getone(arr, "vote", 1), "4");
    EXPECT_STREQ(ekva_getone(arr, "vote", 2), "5");
    EXPECT_EQ(ekva_getone(arr, "vote", 3), nullptr);
    // Mode 2 now reaches every duplicate, also with a null value.
    EXPECT_EQ(ekva_addval(&arr, "vote", nullptr, 2), 4);
    for (int i = 1; i <= 3; i++)
        EXPECT_EQ(arr[i]->val, nullptr);
}

TEST_F(Ekva, NullArraysAndMisses) {
    EXPECT_EQ(ekva_addval(&arr, "a", "b", 0), 0);
    EXPECT_EQ(ekva_addval(nullptr, "a", "b", 0), 0);
    EXPECT_EQ(ekva_getval(nullptr, "a"), nullptr);
    EXPECT_EQ(ekva_cntval(nullptr, "a"), 0);
    EXPECT_EQ(ekva_nument(nullptr), 0);
    ekva_free(nullptr);
    arr = ekva_init(3);
    EXPECT_STREQ(arr[0]->key, "#EKVA_10:3:2");
    EXPECT_EQ(ekva_getval(arr, "missing"), nullptr);
    ekva_addval(&arr, "nullval", nullptr, 0);
    EXPECT_EQ(ekva_getval(arr, "nullval"), nullptr);
    EXPECT_EQ(ekva_cntval(arr, "nullval"), 1);
}

TEST_F(Ekva, StoresCopies) {
    arr = ekva_new(2, 2);
    char key[] = "name", val[] = "value";
    ekva_addval(&arr, key, val, 0);
    key[0] = 'X';
    val[0] = 'X';
    EXPECT_STREQ(ekva_getval(arr, "name"), "value");
}

TEST_F(Ekva, WithoutHeaderNothingIsGrownOrSkipped) {
    // A caller-made array with room for three entries.
    arr = static_cast<s_ekva **>(calloc(4, sizeof(s_ekva *)));
    EXPECT_EQ(ekva_addval(&arr, "a", "1", 0), 1);
    EXPECT_EQ(ekva_addval(&arr, "b", "2", 0), 2);
    EXPECT_EQ(ekva_addval(&arr, "A", "3", 2), 2);
    EXPECT_EQ(ekva_nument(arr), 2);
    EXPECT_STREQ(ekva_getval(arr, "a"), "3");
    // A first key that only looks like a header is an ordinary entry.
    s_ekva **odd = static_cast<s_ekva **>(calloc(3, sizeof(s_ekva *)));
    ekva_addval(&odd, "#EKVA_10:x", "v", 0);
    EXPECT_EQ(ekva_nument(odd), 1);
    EXPECT_STREQ(ekva_getval(odd, "#ekva_10:X"), "v");
    ekva_free(odd);
}

TEST_F(Ekva, FprintFormatsAndSkipsHeader) {
    arr = ekva_new(4, 2);
    ekva_addval(&arr, "name", "zpm", 0);
    ekva_addval(&arr, "empty", nullptr, 0);
    int n = 0;
    std::string out = fprint_to_string(arr, 20, &n);
    EXPECT_EQ(n, 2);
    EXPECT_EQ(out, "name                : <zpm>\n"
                   "empty               : <NULL>\n");
    out = fprint_to_string(arr, 2, &n);
    EXPECT_EQ(out, "name: <zpm>\nempty: <NULL>\n");
}

TEST_F(Ekva, PrintWritesEveryEntryToStdout) {
    arr = ekva_new(4, 2);
    ekva_addval(&arr, "k1", "v1", 0);
    ekva_addval(&arr, "k2", "v2", 0);
    testing::internal::CaptureStdout();
    int n = ekva_print(arr);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(n, 2);
    EXPECT_EQ(out, "k1: <v1>\nk2: <v2>\n");
}

} // namespace
