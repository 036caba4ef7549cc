// bcf_cat: headers compared before anything is written, records joined in
// order whether the header ends a block or not, one end-of-file block, and
// damaged inputs refused without leaving an output file.
#include "call/bcf_cat.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "common/bcf_decode.h"
#include "common/test_util.h"
#include "io/bgzf.h"

namespace {

using namespace test_util;

std::string le32(uint32_t v) { return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }

std::string header(const std::string& samples) {
    const std::string names = std::string("chr1\0chr2\0", 10), txt = std::string("##x=1\n\0", 7);
    return "BCF\4" + le32(names.size()) + names + le32(samples.size()) + samples + le32(txt.size()) + txt;
}

// A BGZF file of `head` then `body`; with `flush`, the head ends a block,
// as mpileup writes it.  Records are not decoded by bcf_cat, so the body
// may be any bytes.
void write_bgzf(const std::string& path, const std::string& head, const std::string& body, bool flush) {
    BGZF* fp = bgzf_open(path.c_str(), "w");
    ASSERT_NE(fp, nullptr);
    ASSERT_EQ(bgzf_write(fp, head.data(), static_cast<int>(head.size())), static_cast<int>(head.size()));
    if (flush) {
        ASSERT_EQ(bgzf_flush(fp), 0);
    }
    for (size_t at = 0; at < body.size(); at += 30000) {  // several blocks
        const int n = static_cast<int>(std::min<size_t>(30000, body.size() - at));
        ASSERT_EQ(bgzf_write(fp, body.data() + at, n), n);
    }
    ASSERT_EQ(bgzf_close(fp), 0);
}

int cat(const std::vector<std::string>& in, const std::string& out) {
    std::vector<char*> argv;
    for (const std::string& s : in) argv.push_back(const_cast<char*>(s.c_str()));
    return bcf_cat(static_cast<int>(argv.size()), argv.data(), out.c_str());
}

TEST(BcfCat, JoinsRecordsInOrderWithOneEndOfFileBlock) {
    scratch_dir dir;
    const std::string h = header(std::string("S1\0S2\0", 6));
    const std::string a = random_bytes(100000, 1), b = random_bytes(5, 2), c = random_bytes(70000, 3);
    write_bgzf(dir.file("a.bcf"), h, a, true);
    write_bgzf(dir.file("b.bcf"), h, b, true);
    write_bgzf(dir.file("c.bcf"), h, c, true);
    write_bgzf(dir.file("c_inline.bcf"), h, c, false);  // records start inside the header's block
    write_bgzf(dir.file("empty.bcf"), h, "", true);
    struct join_case {
        std::vector<std::string> in;
        std::string want;
    };
    for (const join_case& j : {join_case{{"a", "b", "c"}, a + b + c}, join_case{{"a", "b", "c_inline"}, a + b + c},
                               join_case{{"c_inline", "a"}, c + a}, join_case{{"empty", "a", "empty"}, a},
                               join_case{{"c_inline"}, c}, join_case{{"empty"}, ""}}) {
        std::vector<std::string> in;
        std::string label;
        for (const std::string& name : j.in) in.push_back(dir.file(name + ".bcf")), label += name + " ";
        ASSERT_EQ(cat(in, dir.file("out.bcf")), 0) << label;
        EXPECT_EQ(inflate_file(dir.file("out.bcf")), h + j.want) << label;
        const std::vector<uint32_t> sizes = block_isizes(read_file(dir.file("out.bcf")));
        ASSERT_FALSE(sizes.empty());
        EXPECT_EQ(sizes.front(), h.size()) << label;  // the header ends the first block
        EXPECT_EQ(std::count(sizes.begin(), sizes.end(), 0U), 1) << label;
        EXPECT_EQ(sizes.back(), 0U) << label;
    }
    // The raw path copies the blocks after the first byte for byte.
    const std::string one = read_file(dir.file("a.bcf"));
    ASSERT_EQ(cat({dir.file("a.bcf")}, dir.file("out.bcf")), 0);
    EXPECT_EQ(read_file(dir.file("out.bcf")), one);
}

TEST(BcfCat, RefusesWithoutLeavingAnOutput) {
    scratch_dir dir;
    const std::string h = header(std::string("S1\0S2\0", 6)), body = random_bytes(90000, 4);
    write_bgzf(dir.file("a.bcf"), h, body, true);
    write_bgzf(dir.file("other.bcf"), header(std::string("S1\0S3\0", 6)), body, true);
    write_bgzf(dir.file("bam.bcf"), "BAM\1" + h.substr(4), body, true);
    write_bgzf(dir.file("short.bcf"), h.substr(0, h.size() - 3), "", true);
    write_bgzf(dir.file("neg.bcf"), "BCF\4" + le32(0xffffffffU), "", true);
    write_bgzf(dir.file("huge.bcf"), "BCF\4" + le32(0x7fffffffU) + "chr1", "", true);
    write_file(dir.file("text.bcf"), "BCF\4 plain text, not BGZF\n");
    write_file(dir.file("none.bcf"), "");
    const std::string a = read_file(dir.file("a.bcf"));
    const std::vector<uint32_t> sizes = block_isizes(a);
    ASSERT_GT(sizes.size(), 3U);
    write_file(dir.file("cut.bcf"), a.substr(0, a.size() - 1000));  // inside a block
    write_file(dir.file("noeof.bcf"), a.substr(0, a.size() - 28));  // at a block boundary
    for (const std::string bad : {"other", "bam", "short", "neg", "huge", "text", "none", "cut", "noeof", "missing"}) {
        for (const auto& order : {std::vector<std::string>{"a", bad}, std::vector<std::string>{bad, "a"}}) {
            if (bad == "other" && order[0] == "other") continue;  // the same mismatch
            std::vector<std::string> in;
            for (const std::string& name : order) in.push_back(dir.file(name + ".bcf"));
            EXPECT_EQ(cat(in, dir.file("out.bcf")), 1) << bad;
            EXPECT_NE(access(dir.file("out.bcf").c_str(), F_OK), 0) << bad;
        }
    }
    EXPECT_EQ(cat({dir.file("a.bcf")}, dir.file("no/such/dir.bcf")), 1);
    // The output is an input: refused before the input is truncated.
    EXPECT_EQ(cat({dir.file("a.bcf"), dir.file("a.bcf")}, dir.file("a.bcf")), 1);
    EXPECT_EQ(read_file(dir.file("a.bcf")), a);
}

}  // namespace
