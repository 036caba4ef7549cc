// Dynamic string tests: the capacity after each kind of append (the next
// power of two above length + NUL), decimal forms at the integer limits,
// formatted appends that overflow the free space, and the tokeniser.
#include "containers/kstring.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace {

TEST(Kstring, GrowthAfterEachAppend) {
    struct step {
        const char* what;
        std::function<int(kstring_t*)> append;
        size_t l, m;
    };
    const std::string twenty(20, 'z');
    // Capacity grows to the smallest power of two strictly above
    // length + appended + 1 once that sum reaches the capacity.
    const step steps[] = {
        {"kputc on a zero string", [](kstring_t* s) { return kputc('a', s); }, 1, 2},
        {"kputc filling", [](kstring_t* s) { return kputc('b', s); }, 2, 4},
        {"kputs", [](kstring_t* s) { return kputs("cd", s); }, 4, 8},
        {"kputsn reaching m exactly", [](kstring_t* s) { return kputsn("efgXX", 3, s); }, 7, 16},
        {"kputs empty", [](kstring_t* s) { return kputs("", s); }, 7, 16},
        {"kputsn 8 of 9", [](kstring_t* s) { return kputsn("hijklmnoQ", 8, s); }, 15, 32},
        {"kputw negative", [](kstring_t* s) { return kputw(-42, s); }, 18, 32},
        {"ksprintf that fits", [](kstring_t* s) { return ksprintf(s, "%05d", 7); }, 23, 32},
        {"ksprintf of 20 into 9 free", [&](kstring_t* s) { return ksprintf(s, "%s", twenty.c_str()); }, 43, 64},
        {"kputl of 19 digits", [](kstring_t* s) { return kputl(LLONG_MAX, s); }, 62, 64},
        {"kputc leaving only the NUL's byte", [](kstring_t* s) { return kputc('!', s); }, 63, 64},
        {"kputc into a full string", [](kstring_t* s) { return kputc('?', s); }, 64, 128},
    };
    kstring_owner str;
    std::string expected;
    const char* appended[] = {"a", "b", "cd", "efg", "", "hijklmno", "-42", "00007", twenty.c_str(), "9223372036854775807",
                              "!", "?"};
    for (size_t i = 0; i < std::size(steps); ++i) {
        SCOPED_TRACE(steps[i].what);
        ASSERT_GE(steps[i].append(str.get()), 0);
        expected += appended[i];
        EXPECT_EQ(str->l, steps[i].l);
        EXPECT_EQ(str->m, steps[i].m);
        EXPECT_EQ(str->l, expected.size());
        EXPECT_STREQ(str->s, expected.c_str());  // content and NUL
    }
}

TEST(Kstring, DecimalForms) {
    struct dec_case {
        std::function<int(kstring_t*)> append;
        const char* text;
    };
    const dec_case cases[] = {
        {[](kstring_t* s) { return kputw(0, s); }, "0"},
        {[](kstring_t* s) { return kputw(-1, s); }, "-1"},
        {[](kstring_t* s) { return kputw(1000000, s); }, "1000000"},
        {[](kstring_t* s) { return kputw(INT_MAX, s); }, "2147483647"},
        {[](kstring_t* s) { return kputw(-2147483647, s); }, "-2147483647"},
        {[](kstring_t* s) { return kputw(INT_MIN, s); }, "-2147483648"},
        {[](kstring_t* s) { return kputuw(0, s); }, "0"},
        {[](kstring_t* s) { return kputuw(UINT_MAX, s); }, "4294967295"},
        {[](kstring_t* s) { return kputl(0, s); }, "0"},
        {[](kstring_t* s) { return kputl(LLONG_MAX, s); }, "9223372036854775807"},
        {[](kstring_t* s) { return kputl(LLONG_MIN, s); }, "-9223372036854775808"},
        {[](kstring_t* s) { return kputul(ULLONG_MAX, s); }, "18446744073709551615"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        for (const char* prefix : {"", "x="}) {
            kstring_owner str;
            kputs(prefix, str.get());
            ASSERT_GE(c.append(str.get()), 0);
            EXPECT_STREQ(str->s, (std::string(prefix) + c.text).c_str());
            EXPECT_EQ(str->l, std::strlen(prefix) + std::strlen(c.text));
            EXPECT_GT(str->m, str->l);
        }
    }
}

TEST(Kstring, KsprintfBeyondTheFreeSpace) {
    kstring_owner str;
    EXPECT_EQ(ksprintf(str.get(), "%s", ""), 0);  // zero string: allocates for the NUL
    ASSERT_NE(str->s, nullptr);
    EXPECT_STREQ(str->s, "");

    kputs("abc", str.get());  // l 3, m 8: five bytes free
    ASSERT_EQ(str->m, 8u);
    EXPECT_EQ(ksprintf(str.get(), "%d", 1234), 4);  // 4 + NUL fit exactly
    EXPECT_EQ(str->m, 8u);
    EXPECT_EQ(ksprintf(str.get(), "%c", 'x'), 1);  // needs 2, 1 free
    EXPECT_EQ(str->m, 16u);
    EXPECT_STREQ(str->s, "abc1234x");

    std::string big(1000, 'q');
    EXPECT_EQ(ksprintf(str.get(), "[%s|%d]", big.c_str(), -5), 1005);
    EXPECT_EQ(str->l, 1013u);
    EXPECT_EQ(str->m, 1024u);
    EXPECT_STREQ(str->s, ("abc1234x[" + big + "|-5]").c_str());
}

// Collects the tokens of `text` split at `sep`, as strings.
std::vector<std::string> split(const char* text, const char* sep) {
    std::vector<std::string> out;
    ks_tokaux_t aux;
    for (const char* p = kstrtok(text, sep, &aux); p; p = kstrtok(nullptr, nullptr, &aux)) {
        EXPECT_LE(p, aux.p);
        out.emplace_back(p, aux.p);
        if (out.size() > 100) break;  // runaway guard
    }
    EXPECT_EQ(kstrtok(nullptr, nullptr, &aux), nullptr);  // stays finished
    return out;
}

TEST(Kstring, Kstrtok) {
    struct tok_case {
        const char* text;
        const char* sep;
        std::vector<std::string> tokens;
    };
    const tok_case cases[] = {
        {"1,2,,3", ",", {"1", "2", "", "3"}},
        {"abc", ",", {"abc"}},
        {"", ",", {""}},
        {"a,", ",", {"a", ""}},
        {",a", ",", {"", "a"}},
        {"a b\tc", " \t", {"a", "b", "c"}},
        {"a \tb", " \t", {"a", "", "b"}},
        // Set members on both sides of the 64-bit word boundaries.
        {"a?b@cAd\x7f"
         "e\x80"
         "f\xff"
         "g",
         "?@\x7f\xff",
         {"a", "b", "cAd",
          "e\x80"
          "f",
          "g"}},
        {"a:b", "", {"a:b"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("text [") + c.text + "] sep [" + c.sep + "]");
        EXPECT_EQ(split(c.text, c.sep), c.tokens);
    }

    // Token starts point into the text itself.
    const char* text = "1,2,,3";
    ks_tokaux_t aux;
    std::vector<const char*> starts;
    for (const char* p = kstrtok(text, ",", &aux); p; p = kstrtok(nullptr, nullptr, &aux)) starts.push_back(p);
    EXPECT_EQ(starts, (std::vector<const char*>{text, text + 2, text + 4, text + 5}));
}

}  // namespace
