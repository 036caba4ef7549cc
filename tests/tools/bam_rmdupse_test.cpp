// Single-end duplicate removal on crafted duplicate sets: forward reads by
// start, reverse reads by end, where replacements land in the output, the
// effect of -s and -S, and the statistics lines.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bam/bam.h"
#include "bam/sam.h"
#include "common/record_util.h"
#include "common/test_util.h"
#include "tools/bam_rmdupse.h"
#include "tools/rmdup_test_util.h"

namespace {

using rmdup_test::rmdup_mode;
using rmdup_test::run_core;
using rmdup_test::sam_rec;
using rmdup_test::sam_text;

struct kept_case {
    const char* what;
    rmdup_mode mode;
    std::vector<sam_rec> recs;
    const char* kept;
    const char* err;  // the whole of the messages
};

TEST(BamRmdupse, KeepsTheRecordsTheRulesKeep) {
    const auto single = rmdup_mode::single, forced = rmdup_mode::single_forced;
    const std::vector<kept_case> cases = {
        {"forward reads by start: the better later one takes the earlier place",
         single,
         {{"f1", 0, "chr1", 100, "4M", 0, '5'}, {"y", 16, "chr1", 100}, {"f2", 0, "chr1", 100, "6M"}},
         "f2@100 y@100",
         "[bam_rmdupse_core] 1 / 3 = 0.3333 in library 'L1'\n"},
        {"reverse reads by end: the better later one is written at its own place",
         single,
         {{"r1", 16, "chr1", 100, "10M", 0, '5'}, {"y", 0, "chr1", 102}, {"r2", 16, "chr1", 104, "6M"}},
         "y@102 r2@104",
         "[bam_rmdupse_core] 1 / 3 = 0.3333 in library 'L1'\n"},
        {"reverse reads by end: a worse later one is dropped",
         single,
         {{"r1", 16, "chr1", 100, "10M"}, {"y", 0, "chr1", 102}, {"r2", 16, "chr1", 104, "6M", 0, '5'}},
         "r1@100 y@102",
         "[bam_rmdupse_core] 1 / 3 = 0.3333 in library 'L1'\n"},
        {"equal sums keep the earlier read on either strand",
         single,
         {{"r1", 16, "chr1", 100, "10M"},
          {"f1", 0, "chr1", 102},
          {"f2", 0, "chr1", 102, "2S2M"},
          {"r2", 16, "chr1", 104, "2S6M2S"}},
         "r1@100 f1@102",
         "[bam_rmdupse_core] 2 / 4 = 0.5000 in library 'L1'\n"},
        {"a forward and a reverse read at one start are no duplicates",
         single,
         {{"f", 0, "chr1", 100}, {"r", 16, "chr1", 100}},
         "f@100 r@100",
         "[bam_rmdupse_core] 0 / 2 = 0.0000 in library 'L1'\n"},
        {"a missing quality counts 255 per base",
         single,
         {{"f1", 0, "chr1", 100}, {"f2", 0, "chr1", 100, "4M", 0, '*'}},
         "f2@100",
         "[bam_rmdupse_core] 1 / 2 = 0.5000 in library 'L1'\n"},
        // "L2" hashes to 2406 and sits in bucket 0 of 3, before "L1" in bucket 2.
        {"libraries never remove each other's reads",
         single,
         {{"f1", 0, "chr1", 100}, {"f2", 0, "chr1", 100, "4M", 0, 'I', "b"}},
         "f1@100 f2@100",
         "[bam_rmdupse_core] 0 / 1 = 0.0000 in library 'L2'\n"
         "[bam_rmdupse_core] 0 / 1 = 0.0000 in library 'L1'\n"},
        {"a new reference empties the maps",
         single,
         {{"f1", 0, "chr1", 100}, {"f2", 0, "chr2", 100}},
         "f1@100 f2@100",
         "[bam_rmdupse_core] 0 / 2 = 0.0000 in library 'L1'\n"},
        {"no RG tag counts under a tab",
         single,
         {{"f1", 0, "chr1", 100, "4M", 0, 'I', ""}, {"f2", 0, "chr1", 100, "4M", 0, '5', "c"}},
         "f1@100",
         "[bam_rmdupse_core] 1 / 2 = 0.5000 in library '\t'\n"},
        {"-s: paired and unmapped reads pass untouched, no library is made",
         single,
         {{"p1", 99, "chr1", 100, "4M", 104},
          {"p2", 99, "chr1", 100, "4M", 104},
          {"u1", 4, "chr1", 100},
          {"u2", 4, "chr1", 100},
          {"p2", 147, "chr1", 200, "4M", -104},
          {"p1", 147, "chr1", 200, "4M", -104},
          {"t1", 4, "*", 0, "*", 0, 'I', "a", "*"}},
         "p1@100 p2@100 u1@100 u2@100 p2@200 p1@200 t1@0",
         ""},
        {"-S: paired reads by their own strand and end; a dropped read's mate stays",
         forced,
         {{"p1", 99, "chr1", 100, "4M", 104},
          {"p2", 99, "chr1", 100, "4M", 104, '5'},
          {"u1", 4, "chr1", 100},
          {"p1", 147, "chr1", 200, "4M", -104, '5'},
          {"p2", 147, "chr1", 200, "4M", -104},
          {"t1", 4, "*", 0, "*", 0, 'I', "a", "*"},
          {"t2", 4, "*", 0, "*", 0, 'I', "a", "*"}},
         "p1@100 u1@100 p2@200 t1@0 t2@0",
         "[bam_rmdupse_core] 2 / 4 = 0.5000 in library 'L1'\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        rmdup_test::core_result r = run_core(sam_text(c.recs), c.mode);
        EXPECT_EQ(r.ret, 0);
        EXPECT_EQ(r.kept, c.kept);
        EXPECT_EQ(r.err, c.err);
    }
}

// Past RMDUPSE_QUEUE_MAX queued reads the queue drains up to the first
// reverse read that a later read may still replace.  A forward read written
// then leaves the map with it: a later read at its start is kept as a new
// read instead of meeting one that has left.  The waiting reverse read can
// still be replaced, and the reads behind it keep their order.
TEST(BamRmdupse, AnOverlongQueueDrainsUpToAWaitingReverseRead) {
    test_util::scratch_dir dir;
    const std::string in_fn = dir.file("in.bam");
    // F2 finds one read more than the limit queued and starts the drain.
    const long n_fill = RMDUPSE_QUEUE_MAX - 1;
    {
        bam_header_ptr h = test_util::make_header({"chr1"});
        samfile_ptr out(samopen(in_fn.c_str(), "wb", h.get()));
        ASSERT_TRUE(out);
        auto put = [&](const bam1_ptr& b) { ASSERT_GT(samwrite(out.get(), b.get()), 0); };
        put(rmdup_test::make_read("F1", 0, 0, 99, 4, 4, 30));           // start 99, sum 120
        put(rmdup_test::make_read("R1", 16, 0, 99, 10, 10, 30));        // end 109, sum 300
        bam1_ptr fill = rmdup_test::make_read("u", 4, 0, 99, 0, 0, 0);  // passes through
        for (long i = 0; i < n_fill; ++i) put(fill);
        put(rmdup_test::make_read("F2", 0, 0, 99, 4, 4, 40));    // start 99, sum 160
        put(rmdup_test::make_read("R2", 16, 0, 103, 6, 6, 60));  // end 109, sum 360
        ASSERT_EQ(samclose(out.release()), 0);
    }
    rmdup_test::core_result r = rmdup_test::run_core_bam(in_fn, dir.file("out.bam"), rmdup_mode::single);
    EXPECT_EQ(r.ret, 0);
    EXPECT_EQ(r.err, "[bam_rmdupse_core] 1 / 4 = 0.2500 in library '\t'\n");
    std::string fills;
    for (long i = 0; i < n_fill; ++i) fills += " u@100";
    EXPECT_TRUE(r.kept == "F1@100" + fills + " F2@100 R2@104")
        << r.kept.substr(0, 40) << " ... " << r.kept.substr(r.kept.size() - std::min<size_t>(40, r.kept.size()));
}

}  // namespace
