// Paired duplicate removal on crafted duplicate sets: which records are kept
// and where they land, the messages on the way, long reads whose quality sums
// pass 32 bits, and input out of coordinate order.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bam/bam.h"
#include "bam/sam.h"
#include "common/record_util.h"
#include "common/test_util.h"
#include "tools/bam_rmdup.h"
#include "tools/rmdup_test_util.h"

namespace {

using rmdup_test::rmdup_mode;
using rmdup_test::run_core;
using rmdup_test::sam_rec;
using rmdup_test::sam_text;

struct kept_case {
    const char* what;
    std::vector<sam_rec> recs;
    const char* kept;
    std::vector<std::string> err_has;  // lines expected in the messages
    bool counts_nothing = false;       // no library statistics at all
};

TEST(BamRmdup, KeepsTheRecordsTheRulesKeep) {
    const std::vector<kept_case> cases = {
        {"different libraries at one key are both kept",
         {{"p1", 99, "chr1", 100, "4M", 104},
          {"p2", 99, "chr1", 100, "4M", 104, 'I', "b"},
          {"p1", 147, "chr1", 200, "4M", -104},
          {"p2", 147, "chr1", 200, "4M", -104, 'I', "b"}},
         "p1@100 p2@100 p1@200 p2@200",
         {"[bam_rmdup_core] 0 / 1 = 0.0000 in library 'L1'\n", "[bam_rmdup_core] 0 / 1 = 0.0000 in library 'L2'\n"}},
        {"equal quality sums keep the first pair; the second's mate goes too",
         {{"p1", 99, "chr1", 100, "4M", 104},
          {"p2", 99, "chr1", 100, "4M", 104},
          {"p1", 147, "chr1", 200, "4M", -104},
          {"p2", 147, "chr1", 200, "4M", -104}},
         "p1@100 p1@200",
         {"[bam_rmdup_core] 1 / 2 = 0.5000 in library 'L1'\n"}},
        {"a better later pair takes the kept one's place on the stack",
         {{"p1", 99, "chr1", 100, "4M", 104, '5'},
          {"p2", 99, "chr1", 100, "4M", 120, '5'},
          {"p3", 99, "chr1", 100, "4M", 104, 'I'},
          {"p1", 147, "chr1", 200, "4M", -104},
          {"p3", 147, "chr1", 200, "4M", -104},
          {"p2", 147, "chr1", 216, "4M", -120}},
         "p3@100 p2@100 p3@200 p2@216",
         {"[bam_rmdup_core] 1 / 3 = 0.3333 in library 'L1'\n"}},
        {"a mate with insert size 0 is dropped by name too",
         {{"p1", 99, "chr1", 100, "4M", 104},
          {"p2", 99, "chr1", 100, "4M", 104},
          {"p1", 147, "chr1", 200, "4M", -104},
          {"p2", 147, "chr1", 200, "4M", 0}},
         "p1@100 p1@200",
         {}},
        {"a pair whose mate names no reference still counts",
         {{"p1", 99, "chr1", 100, "4M", 104, 'I', "a", "*"}, {"p2", 99, "chr1", 100, "4M", 104, 'I', "a", "*"}},
         "p1@100",
         {"[bam_rmdup_core] 1 / 2 = 0.5000 in library 'L1'\n"}},
        {"leftmost reads on opposite strands are duplicates",
         {{"p1", 97, "chr1", 100, "4M", 104},
          {"p2", 113, "chr1", 100, "4M", 104, '5'},
          {"p1", 145, "chr1", 200, "4M", -104},
          {"p2", 177, "chr1", 200, "4M", -104}},
         "p1@100 p1@200",
         {}},
        {"the insert size is part of the key",
         {{"p1", 99, "chr1", 100, "4M", 104}, {"p2", 99, "chr1", 100, "4M", 105}},
         "p1@100 p2@100",
         {"[bam_rmdup_core] 0 / 2 = 0.0000 in library 'L1'\n"}},
        {"mates elsewhere, unmapped mates and unmapped reads pass uncounted",
         {{"x1", 97, "chr1", 100, "4M", 104, 'I', "a", "chr2", 50},
          {"x2", 97, "chr1", 100, "4M", 104, '5', "a", "chr2", 50},
          {"u1", 73, "chr1", 100, "4M", 104},
          {"u2", 73, "chr1", 100, "4M", 104},
          {"m1", 69, "chr1", 100, "4M", 104},
          {"m2", 69, "chr1", 100, "4M", 104},
          {"s1", 0, "chr1", 100, "4M", 104}},
         "x1@100 x2@100 u1@100 u2@100 m1@100 m2@100 s1@100",
         {},
         true},
        {"no RG tag, or a read group without LB, counts under a tab",
         {{"p1", 99, "chr1", 100, "4M", 104, 'I', ""},
          {"p2", 99, "chr1", 100, "4M", 104, 'I', "c"},
          {"p1", 147, "chr1", 200, "4M", -104, 'I', ""},
          {"p2", 147, "chr1", 200, "4M", -104, 'I', "c"}},
         "p1@100 p1@200",
         {"[bam_rmdup_core] 1 / 2 = 0.5000 in library '\t'\n"}},
        {"kept leftmost reads follow the other records of their position",
         {{"p1", 99, "chr1", 100, "4M", 104},
          {"s1", 0, "chr1", 100},
          {"s2", 16, "chr1", 100},
          {"p1", 147, "chr1", 200, "4M", -104}},
         "s1@100 s2@100 p1@100 p1@200",
         {}},
        {"a new reference empties the tables",
         {{"p1", 99, "chr1", 100, "4M", 104},
          {"p1", 147, "chr1", 200, "4M", -104},
          {"p5", 99, "chr2", 100, "4M", 104},
          {"p5", 147, "chr2", 200, "4M", -104}},
         "p1@100 p1@200 p5@100 p5@200",
         {"[bam_rmdup_core] processing reference chr1...\n", "[bam_rmdup_core] processing reference chr2...\n",
          "[bam_rmdup_core] 0 / 2 = 0.0000 in library 'L1'\n"}},
        {"a read name dropped twice is reported once and its set keeps one copy",
         {{"k1", 99, "chr1", 100, "4M", 104},
          {"d", 99, "chr1", 100, "4M", 104, '5'},
          {"k1", 147, "chr1", 200, "4M", -104},
          {"k2", 99, "chr1", 300, "4M", 104},
          {"d", 99, "chr1", 300, "4M", 104, '5'},
          {"d", 147, "chr1", 400, "4M", -104},
          {"k2", 147, "chr1", 400, "4M", -104},
          {"d", 147, "chr1", 404, "4M", -104}},
         "k1@100 k1@200 k2@300 k2@400 d@404",
         {"[bam_rmdup_core] inconsistent BAM file for pair 'd'. Continue anyway.\n"}},
        {"the unmapped tail is copied in order after the unmatched pairs line",
         {{"p1", 99, "chr1", 100, "4M", 104},
          {"p2", 99, "chr1", 100, "4M", 104},
          {"t2", 4, "*", 0, "*", 0, 'I', "a", "*"},
          {"p2", 141, "*", 0, "*", 0, 'I', "a", "*"},
          {"t1", 4, "*", 0, "*", 0, 'I', "a", "*"}},
         "p1@100 t2@0 p2@0 t1@0",
         {"[bam_rmdup_core] 1 unmatched pairs\n"}},
        {"a file of unmapped records is copied without a word",
         {{"t2", 4, "*", 0, "*", 0, 'I', "a", "*"}, {"t1", 77, "*", 0, "*", 0, 'I', "a", "*"}},
         "t2@0 t1@0",
         {},
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        rmdup_test::core_result r = run_core(sam_text(c.recs), rmdup_mode::paired);
        EXPECT_EQ(r.ret, 0);
        EXPECT_EQ(r.kept, c.kept);
        for (const auto& line : c.err_has) EXPECT_NE(r.err.find(line), std::string::npos) << line << "in\n" << r.err;
        if (c.counts_nothing) {
            EXPECT_EQ(r.err.find("in library"), std::string::npos) << r.err;
        }
    }
}

// Each line is printed once per event and in event order: the unmatched
// pairs line of a reference comes before the next reference is announced.
TEST(BamRmdup, MessagesComeInEventOrder) {
    rmdup_test::core_result r = run_core(sam_text({{"p1", 99, "chr1", 100, "4M", 104},
                                                   {"p2", 99, "chr1", 100, "4M", 104},
                                                   {"p3", 99, "chr2", 100, "4M", 104, 'I', ""},
                                                   {"p3", 147, "chr2", 200, "4M", -104, 'I', ""}}),
                                         rmdup_mode::paired);
    EXPECT_EQ(r.ret, 0);
    // Iteration order of the library table: "L1" hashes to 76 * 31 + 49 =
    // 2405 and the tab to 9; in a table of 3 buckets they sit at 2405 % 3 =
    // 2 and 9 % 3 = 0, so the tab comes first.
    EXPECT_EQ(r.err,
              "[bam_rmdup_core] processing reference chr1...\n"
              "[bam_rmdup_core] 1 unmatched pairs\n"
              "[bam_rmdup_core] processing reference chr2...\n"
              "[bam_rmdup_core] 0 / 1 = 0.0000 in library '\t'\n"
              "[bam_rmdup_core] 1 / 2 = 0.5000 in library 'L1'\n");
    EXPECT_EQ(r.kept, "p1@100 p3@100 p3@200");
}

// Order is checked against the previous record: a position or reference
// that goes back, or a mapped record after the unmapped ones, stops the run
// with one line after what was accepted has been written.
TEST(BamRmdup, InputOutOfOrderStopsWithOneLine) {
    struct order_case {
        const char* what;
        std::vector<sam_rec> recs;
        const char* kept;
        const char* culprit;
    };
    const std::vector<order_case> cases = {
        {"position goes back",
         {{"p1", 99, "chr1", 100, "4M", 104}, {"s1", 0, "chr1", 300}, {"p2", 99, "chr1", 100, "4M", 104}},
         "p1@100 s1@300",
         "(record 3, 'p2')"},
        {"reference goes back", {{"s1", 0, "chr2", 100}, {"s2", 0, "chr1", 100}}, "s1@100", "(record 2, 's2')"},
        {"mapped record after the unmapped tail",
         {{"s1", 0, "chr1", 100}, {"t1", 4, "*", 0, "*", 0, 'I', "a", "*"}, {"s2", 0, "chr1", 200}},
         "s1@100 t1@0",
         "(record 3, 's2')"},
    };
    for (const auto& c : cases)
        for (rmdup_mode mode : {rmdup_mode::paired, rmdup_mode::single}) {
            SCOPED_TRACE(c.what);
            rmdup_test::core_result r = run_core(sam_text(c.recs), mode);
            EXPECT_EQ(r.ret, -1);
            const std::string tag = mode == rmdup_mode::paired ? "[bam_rmdup_core]" : "[bam_rmdupse_core]";
            size_t at = r.err.find(tag + " the input is not sorted by coordinate: ");
            ASSERT_NE(at, std::string::npos) << r.err;
            std::string line = r.err.substr(at);
            EXPECT_NE(line.find(c.culprit), std::string::npos) << line;
            EXPECT_EQ(line.find('\n'), line.size() - 1) << "one line, last";
            EXPECT_EQ(r.err.find("in library"), std::string::npos);
            EXPECT_EQ(r.kept, c.kept);
        }
}

// A read of 16843010 bases of quality 255 sums to 2^32 + 254: kept over a
// 100-base read of quality 40 (4000) only when the sum does not wrap.
TEST(BamRmdup, QualitySumsOfLongReadsDoNotWrap) {
    constexpr int32_t long_len = 16843010;
    static_assert(255LL * long_len == (1LL << 32) + 254);
    test_util::scratch_dir dir;
    const std::string in_fn = dir.file("in.bam");
    {
        bam_header_ptr h = test_util::make_header({"chr1"});
        samfile_ptr out(samopen(in_fn.c_str(), "wb", h.get()));
        ASSERT_TRUE(out);
        for (const bam1_ptr& b : {rmdup_test::make_read("short", 99, 0, 99, 100, 100, 40, 300),
                                  rmdup_test::make_read("long", 99, 0, 99, long_len, long_len, 255, 300),
                                  rmdup_test::make_read("short", 147, 0, 299, 4, 4, 40, -300),
                                  rmdup_test::make_read("long", 147, 0, 299, 4, 4, 40, -300)})
            ASSERT_GT(samwrite(out.get(), b.get()), 0);
        ASSERT_EQ(samclose(out.release()), 0);
    }
    struct mode_case {
        rmdup_mode mode;
        const char* kept;
    };
    // -S: the long read replaces the short one at its place; the reverse
    // mates tie and the first stays.
    for (const mode_case& c :
         {mode_case{rmdup_mode::paired, "long@100 long@300"}, mode_case{rmdup_mode::single_forced, "long@100 short@300"}}) {
        rmdup_test::core_result r = rmdup_test::run_core_bam(in_fn, dir.file("out.bam"), c.mode);
        EXPECT_EQ(r.ret, 0);
        EXPECT_EQ(r.kept, c.kept);
    }
}

}  // namespace
