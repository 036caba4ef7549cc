// Token reader tests: one table of inputs and expected tokens, read through
// an in-memory source with buffers of 1, 7 and 20 bytes (tokens straddle
// refills) and through plain and gzip files; plus read errors.
#include "containers/kseq.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "common/test_util.h"

namespace {

// In-memory source; `fail_on_call` (1-based) makes that read return -1.
struct mem_source {
    std::string data;
    size_t pos = 0;
    int calls = 0, fail_on_call = 0;
};

int mem_read(mem_source* src, void* buf, unsigned len) {
    if (++src->calls == src->fail_on_call) return -1;
    size_t n = std::min<size_t>(len, src->data.size() - src->pos);
    std::memcpy(buf, src->data.data() + src->pos, n);
    src->pos += n;
    return static_cast<int>(n);
}

using mem_stream = kstream_gen<mem_source*, mem_read>;

struct token {
    std::string text;
    int delim;
    bool operator==(const token&) const = default;
};
void PrintTo(const token& t, std::ostream* os) { *os << '"' << t.text << "\"/" << t.delim; }

// Reads tokens until -1; checks on the way that every token is
// NUL-terminated at its length and that -1 leaves an empty string.
template <typename Stream>
std::vector<token> read_all(Stream* ks, int delimiter) {
    std::vector<token> out;
    kstring_owner str;
    for (;;) {
        int dret = -2;
        int len = ks_getuntil(ks, delimiter, str.get(), &dret);
        if (len < 0) {
            EXPECT_EQ(len, -1);
            EXPECT_EQ(str->l, 0u);
            EXPECT_EQ(ks_getuntil(ks, delimiter, str.get(), &dret), -1);  // stays at the end
            return out;
        }
        EXPECT_EQ(static_cast<size_t>(len), str->l);
        if (str->s) {
            EXPECT_EQ(std::strlen(str->s), str->l) << "token " << out.size();
        }
        out.push_back({std::string(ks_view(str.get())), dret});
        if (out.size() > 1000) return out;  // runaway guard
    }
}

struct reader_case {
    const char* name;
    int delimiter;
    std::string input;
    std::vector<token> tokens;
};

const std::string long_token(50, 'x');

const reader_case cases[] = {
    {"any white space", KS_SEP_SPACE, "a b\tc\nd", {{"a", ' '}, {"b", '\t'}, {"c", '\n'}, {"d", 0}}},
    {"runs of spaces give empty tokens", KS_SEP_SPACE, "a  b\n", {{"a", ' '}, {"", ' '}, {"b", '\n'}}},
    {"CR LF splits twice on white space", KS_SEP_SPACE, "x\r\ny", {{"x", '\r'}, {"", '\n'}, {"y", 0}}},
    {"all white-space characters", KS_SEP_SPACE, "1\v2\f3\r4 5", {{"1", '\v'}, {"2", '\f'}, {"3", '\r'}, {"4", ' '}, {"5", 0}}},
    {"tab delimiter keeps spaces", KS_SEP_TAB, "a b\tc\n", {{"a b", '\t'}, {"c", '\n'}}},
    {"tab delimiter and other white space", KS_SEP_TAB, "a\vb\fc\rd e", {{"a", '\v'}, {"b", '\f'}, {"c", '\r'}, {"d e", 0}}},
    {"lines keep CR and tabs",
     '\n',
     "line one\r\nline\ttwo\n\nlast",
     {{"line one\r", '\n'}, {"line\ttwo", '\n'}, {"", '\n'}, {"last", 0}}},
    {"one character", ',', "1,,2,", {{"1", ','}, {"", ','}, {"2", ','}}},
    {"long tokens", '\n', long_token + "\n" + long_token + "y", {{long_token, '\n'}, {long_token + "y", 0}}},
    {"no delimiter at all", '\n', "abc", {{"abc", 0}}},
    {"empty input", KS_SEP_SPACE, "", {{"", 0}}},
};

// The reader learns that the input ended only from a short read.  When the
// input is a whole number of buffers and ends with a delimiter, the call
// after the last token still finds the input open and returns one more,
// empty, token.
std::vector<token> expected_for(const reader_case& c, size_t bufsize) {
    std::vector<token> t = c.tokens;
    if (!c.input.empty() && c.input.size() % bufsize == 0 && t.back().delim != 0) t.push_back({"", 0});
    return t;
}

TEST(Kseq, TokensThroughTinyBuffers) {
    for (const auto& c : cases) {
        for (int bufsize : {1, 7, 20, 16384}) {
            SCOPED_TRACE(std::string(c.name) + ", buffer " + std::to_string(bufsize));
            mem_source src{c.input};
            mem_stream* ks = ks_init<mem_source*, mem_read>(&src, bufsize);
            ASSERT_NE(ks, nullptr);
            EXPECT_EQ(read_all(ks, c.delimiter), expected_for(c, bufsize));
            EXPECT_FALSE(ks->is_err);
            ks_destroy(ks);
        }
    }
}

TEST(Kseq, TokensThroughPlainAndGzipFiles) {
    test_util::scratch_dir dir;
    for (const auto& c : cases) {
        for (bool gzip : {false, true}) {
            for (int bufsize : {7, 16384}) {
                SCOPED_TRACE(std::string(c.name) + (gzip ? ", gzip" : ", plain") + ", buffer " + std::to_string(bufsize));
                std::string path = dir.file(gzip ? "in.gz" : "in.txt");
                if (gzip) test_util::write_gzip_file(path, c.input);
                else test_util::write_file(path, c.input);
                gzFile f = gzopen(path.c_str(), "r");
                ASSERT_NE(f, nullptr);
                kstream_t* ks = ks_init_gz(f, bufsize);
                EXPECT_EQ(read_all(ks, c.delimiter), expected_for(c, bufsize));
                EXPECT_FALSE(ks->is_err);
                ks_destroy(ks);
                gzclose(f);
            }
        }
    }
}

TEST(Kseq, ReadErrorEndsInput) {
    struct error_case {
        int bufsize, fail_on_call;
        std::vector<token> tokens;
    };
    // "abc def ghi": with 4-byte reads the second read fails; with 1-byte
    // reads the sixth (after "abc d").
    const error_case errors[] = {
        {4, 2, {{"abc", ' '}, {"", 0}}},
        {1, 6, {{"abc", ' '}, {"d", 0}}},
        {20, 1, {{"", 0}}},
    };
    for (const auto& e : errors) {
        SCOPED_TRACE("buffer " + std::to_string(e.bufsize));
        mem_source src{"abc def ghi"};
        src.fail_on_call = e.fail_on_call;
        mem_stream* ks = ks_init<mem_source*, mem_read>(&src, e.bufsize);
        EXPECT_EQ(read_all(ks, KS_SEP_SPACE), e.tokens);
        EXPECT_TRUE(ks->is_err);
        EXPECT_EQ(src.calls, e.fail_on_call);  // no read after the failure
        ks_destroy(ks);
    }
}

}  // namespace
