// Header dictionary tests: well-formed texts against their expected lines
// and tags, every malformed form that voids the whole parse (with its
// message), line terminators, and the list and table queries.
#include "bam/sam_header.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

struct dict_deleter {
    void operator()(list_t* d) const { sam_header_free(d); }
};
using dict_ptr = std::unique_ptr<list_t, dict_deleter>;

struct tbl_deleter {
    void operator()(sam_tbl_t* t) const { sam_tbl_destroy(t); }
};
using tbl_ptr = std::unique_ptr<sam_tbl_t, tbl_deleter>;

// Parses a copy of `text` held in a buffer of exactly its size, so that a
// read past the end is caught by the address sanitizer.
dict_ptr parse(const std::string& text) {
    std::unique_ptr<char[]> buf(new char[text.size() + 1]);
    std::memcpy(buf.get(), text.c_str(), text.size() + 1);
    return dict_ptr(sam_header_parse2(buf.get()));
}

// The dictionary as "TYPE key=value ..." lines, keys and values in order.
std::vector<std::string> dump(const list_t* dict) {
    std::vector<std::string> out;
    for (const list_t* l = dict; l; l = l->next) {
        auto* line = static_cast<const HeaderLine*>(l->data);
        std::string s(line->type, 2);
        for (const list_t* t = line->tags; t; t = t->next) {
            auto* tag = static_cast<const HeaderTag*>(t->data);
            s.append(" ").append(tag->key, 2).append("=").append(tag->value);
        }
        out.push_back(s);
    }
    return out;
}

TEST(SamHeaderParse, WellFormedTexts) {
    struct parse_case {
        const char* name;
        std::string text;
        std::vector<std::string> lines;
        std::string err;  // expected standard error
    };
    const parse_case cases[] = {
        {"HD", "@HD\tVN:1.0\tSO:coordinate\n", {"HD VN=1.0 SO=coordinate"}, ""},
        {"all kinds, no final newline",
         "@HD\tVN:1.4\n@SQ\tSN:chr1\tLN:100\tM5:abc\n@RG\tID:r1\tLB:lib\tSM:s 1\n@PG\tID:bwa\tCL:bwa aln -t 4\n"
         "@CO\tfree\ttext: here\n@XY\tab:cd\tef\n@co\tlower case",
         {"HD VN=1.4", "SQ SN=chr1 LN=100 M5=abc", "RG ID=r1 LB=lib SM=s 1", "PG ID=bwa CL=bwa aln -t 4",
          "CO   =free\ttext: here", "XY   =ab:cd\tef", "co   =lower case"},
         ""},
        {"value keeps colons and the third character is not checked", "@SQ\tSN:a:b\tLN=5\n", {"SQ SN=a:b LN=5"}, ""},
        {"tabs at the end of a line", "@SQ\tSN:c\tLN:5\t\t\n@HD\tVN:1\t\n", {"SQ SN=c LN=5", "HD VN=1"}, ""},
        {"type and one tab only", "@HD\t\n@CO\t\n", {"HD", "CO   ="}, ""},
        {"duplicate tags are kept",
         "@RG\tID:a\tID:b\n",
         {"RG ID=a ID=b"},
         "The tag 'ID' present (at least) twice on line [@RG\tID:a\tID:b]\n"},
        // Fields too short to carry a value keep what they have and no value.
        {"short fields",
         "@SQ\tLN:7\tSN:\tSN\tS",
         {"SQ LN=7 SN= SN= S" + std::string(1, '\0') + "="},
         "The tag 'SN' present (at least) twice on line [@SQ\tLN:7\tSN:\tSN\tS]\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testing::internal::CaptureStderr();
        dict_ptr d = parse(c.text);
        std::string err = testing::internal::GetCapturedStderr();
        ASSERT_NE(d, nullptr) << err;
        EXPECT_EQ(dump(d.get()), c.lines);
        EXPECT_EQ(err, c.err);
    }
}

TEST(SamHeaderParse, MalformedTextsYieldNull) {
    struct bad_case {
        const char* name;
        std::string text;
        std::string err;  // expected standard error
    };
    const std::string hint = "\nHint: The header tags must be tab-separated.\n";
    const bad_case cases[] = {
        {"SQ without tab", "@HD\tVN:1\n@SQ\n", "[sam_header_line_parse] multiple tabs on line [@SQ] (0)\n"},
        {"CO without tab", "@CO\n", "[sam_header_line_parse] multiple tabs on line [@CO] (0)\n"},
        {"space-separated", "@SQ SN:a LN:1\n", "[sam_header_line_parse] expected '@XY', got [@SQ SN:a LN:1]" + hint},
        {"two tabs between fields", "@SQ\tSN:a\t\tLN:1\n",
         "[sam_header_line_parse] multiple tabs on line [@SQ\tSN:a\t\tLN:1] (2)\n"},
        {"three tabs between fields", "@SQ\tSN:a\t\t\tLN:1\n",
         "[sam_header_line_parse] multiple tabs on line [@SQ\tSN:a\t\t\tLN:1] (3)\n"},
        {"two tabs after the type", "@SQ\t\tSN:a\n", "[sam_header_line_parse] multiple tabs on line [@SQ\t\tSN:a] (2)\n"},
        {"two tabs after a free-text type", "@CO\t\tx\n", "[sam_header_line_parse] multiple tabs on line [@CO\t\tx] (2)\n"},
        {"empty line in the middle", "@HD\tVN:1\n\n@SQ\tSN:a\n", "[sam_header_line_parse] expected '@', got []\n"},
        {"empty line at the end", "@HD\tVN:1\n\n", "[sam_header_line_parse] expected '@', got []\n"},
        {"one-letter type", "@H\tVN:1\n", "[sam_header_line_parse] expected '@XY', got [@H\tVN:1]" + hint},
        {"three-letter type", "@HDX\tVN:1\n", "[sam_header_line_parse] expected '@XY', got [@HDX\tVN:1]" + hint},
        {"no type", "@\tVN:1\n", "[sam_header_line_parse] expected '@XY', got [@\tVN:1]" + hint},
        {"lone @", "@", "[sam_header_line_parse] expected '@XY', got [@]" + hint},
        {"no @", "@HD\tVN:1\nSQ\tSN:a\n", "[sam_header_line_parse] expected '@', got [SQ\tSN:a]\n"},
        {"lone CR", "@HD\tVN:1\r@SQ\tSN:a\n", "[sam_header_line_parse] expected '@', got []\n"},
        {"CR CR LF", "@HD\tVN:1\r\r\n", "[sam_header_line_parse] expected '@', got []\n"},
        {"empty text", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testing::internal::CaptureStderr();
        dict_ptr d = parse(c.text);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(d, nullptr);
        EXPECT_EQ(err, c.err);
    }
    EXPECT_EQ(sam_header_parse2(nullptr), nullptr);
}

TEST(SamHeaderParse, CrLfEqualsLf) {
    const std::string lf = "@HD\tVN:1.0\n@SQ\tSN:chr1\tLN:10\t\n@CO\tnote\there\n@RG\tID:x";
    std::string crlf;
    for (char ch : lf) crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
    dict_ptr a = parse(lf), b = parse(crlf), c = parse(crlf + "\r\n");
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(dump(a.get()).size(), 4u);
    EXPECT_EQ(dump(a.get()), dump(b.get()));
    EXPECT_EQ(dump(a.get()), dump(c.get()));
}

TEST(SamHeaderQueries, ListOfTagValues) {
    std::string text = "@SQ\tSN:a\tLN:1\n@HD\tVN:1\tSN:hd\n@SQ\tSN:b\n@SQ\tLN:3\tSN:c\tSN:dup\n@CO\tSN:co\n";
    for (int i = 0; i < 9; ++i) text += "@SQ\tSN:s" + std::to_string(i) + "\tLN:9\n";  // grows past 4 and 8
    testing::internal::CaptureStderr();                                                // the duplicate SN message
    dict_ptr d = parse(text);
    testing::internal::GetCapturedStderr();
    ASSERT_NE(d, nullptr);

    struct list_case {
        const char* type;
        const char* key;
        std::vector<std::string> values;
    };
    const list_case cases[] = {
        {"SQ", "SN", {"a", "b", "c", "s0", "s1", "s2", "s3", "s4", "s5", "s6", "s7", "s8"}},  // first SN of each line
        {"SQ", "LN", {"1", "3", "9", "9", "9", "9", "9", "9", "9", "9", "9"}},                // lines without LN skipped
        {"HD", "SN", {"hd"}},
        {"RG", "ID", {}},
        {"SQ", "M5", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.type) + " " + c.key);
        int n = -1;
        const char** values = sam_header2list(d.get(), c.type, c.key, &n);
        ASSERT_EQ(n, static_cast<int>(c.values.size()));
        EXPECT_EQ(values == nullptr, n == 0);
        std::vector<std::string> got(values, values + n);
        EXPECT_EQ(got, c.values);
        std::free(values);
    }
    int n = -1;
    EXPECT_EQ(sam_header2list(nullptr, "SQ", "SN", &n), nullptr);
    EXPECT_EQ(n, 0);
}

TEST(SamHeaderQueries, LookupTable) {
    const std::string text = "@RG\tID:r1\tLB:L1\n@RG\tID:r2\tSM:x\n@RG\tLB:L3\tID:r3\n@SQ\tID:r9\tLB:no\n@RG\tID:r1\tLB:L1b\n";
    dict_ptr d = parse(text);
    ASSERT_NE(d, nullptr);
    testing::internal::CaptureStderr();
    tbl_ptr tbl(sam_header2tbl(d.get(), "RG", "ID", "LB"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[sam_header_lookup_table] They key r1 not unique.\n");
    ASSERT_NE(tbl, nullptr);

    struct get_case {
        const char* key;
        const char* value;  // null: absent
    };
    const get_case cases[] = {
        {"r1", "L1b"},                     // the later line wins
        {"r2", nullptr},                   // no LB
        {"r3", "L3"},    {"r9", nullptr},  // SQ line
        {"r", nullptr},  {"", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        const char* v = sam_tbl_get(tbl.get(), c.key);
        if (c.value) {
            ASSERT_NE(v, nullptr);
            EXPECT_STREQ(v, c.value);
        } else {
            EXPECT_EQ(v, nullptr);
        }
    }

    tbl_ptr empty(sam_header2tbl(nullptr, "RG", "ID", "LB"));
    EXPECT_EQ(sam_tbl_get(empty.get(), "r1"), nullptr);
    EXPECT_EQ(sam_tbl_get(nullptr, "r1"), nullptr);
    sam_tbl_destroy(nullptr);
}

}  // namespace
