// view's shard retrieval: --starts-in-region keeps a read only in the region
// where it starts, and region `*` gives the reads without a reference at the
// end of the file, so that shards cut at any positions join to the whole file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/bam_file_util.h"
#include "common/test_util.h"

namespace {

using namespace test_util;

// Reference names and lengths from idxstats (the last line is "*").
std::vector<std::pair<std::string, long>> references(const std::string& bam) {
    std::vector<std::pair<std::string, long>> refs;
    const run_result r = run_alnkit({"idxstats", bam});
    EXPECT_EQ(r.status, 0) << r.err;
    for (const std::string& line : split(r.out, '\n')) {
        const std::vector<std::string> f = split(line, '\t');
        if (f.size() >= 2 && f[0] != "*") refs.emplace_back(f[0], std::stol(f[1]));
    }
    return refs;
}

// The SAM records of `view [--starts-in-region] bam region` for every shard
// of `shard` bases, then of region `*`, joined.
std::string joined_shards(const std::string& bam, long shard, bool starts_only) {
    std::string out;
    for (const auto& [name, len] : references(bam))
        for (long beg = 0; beg < len; beg += shard) {
            std::vector<std::string> args = {
                "view", bam, name + ":" + std::to_string(beg + 1) + "-" + std::to_string(std::min(len, beg + shard))};
            if (starts_only) args.insert(args.begin() + 1, "--starts-in-region");
            const run_result r = run_alnkit(args);
            EXPECT_EQ(r.status, 0) << r.err;
            out += r.out;
        }
    const run_result r = run_alnkit({"view", bam, "*"});
    EXPECT_EQ(r.status, 0) << r.err;
    return out + r.out;
}

TEST(ViewShards, StartsInRegionShardsAndUnplacedJoinToTheWholeFile) {
    scratch_dir dir;
    // Generated records include unmapped ones without a reference, sorted last.
    const std::string bam = make_bam(dir, "g", 11, 3000, {"--refs", "3", "--ref-len", "6000", "--sorted"});
    ASSERT_EQ(run_alnkit({"index", bam}).status, 0);
    const std::string whole = view_records(bam);
    const std::string unplaced = run_alnkit({"view", bam, "*"}).out;
    ASSERT_FALSE(unplaced.empty());
    for (const std::string& line : split(unplaced, '\n')) EXPECT_EQ(split(line, '\t')[2], "*") << line;
    EXPECT_TRUE(whole.ends_with(unplaced));
    for (long shard : {997L, 2500L, 100000L}) {
        EXPECT_EQ(joined_shards(bam, shard, true), whole) << shard;
        if (shard < 6000) {  // reads straddle the boundaries
            EXPECT_GT(joined_shards(bam, shard, false).size(), whole.size()) << shard;
        }
    }
    // The option also holds under filters and counting.
    const run_result c = run_alnkit({"view", "-c", "--starts-in-region", bam, "chr1:1-1000", "chr1:1001-2000"});
    const run_result c2 = run_alnkit({"view", "-c", bam, "chr1:1-2000"});
    EXPECT_EQ(c.out, c2.out);
}

TEST(ViewShards, UnplacedRegionEdgeCases) {
    scratch_dir dir;
    const std::string sq = "@HD\tVN:1.0\tSO:coordinate\n@SQ\tSN:chr1\tLN:100\n";
    const std::string placed = "p1\t0\tchr1\t5\t30\t4M\t*\t0\t0\tACGT\tIIII\n";
    const std::string loose = "u1\t4\t*\t0\t0\t*\t*\t0\t0\tACGT\tIIII\nu2\t4\t*\t0\t0\t*\t*\t0\t0\tGG\tII\n";
    struct edge_case {
        std::string name, sam, want;
    };
    for (const edge_case& e : {edge_case{"only_unplaced", sq + loose, loose}, edge_case{"only_placed", sq + placed, ""},
                               edge_case{"both", sq + placed + loose, loose}, edge_case{"empty", sq, ""}}) {
        const std::string bam = bam_from_sam(dir, e.name, e.sam);
        ASSERT_EQ(run_alnkit({"index", bam}).status, 0);
        const run_result r = run_alnkit({"view", bam, "*"});
        EXPECT_EQ(r.status, 0) << e.name << r.err;
        EXPECT_EQ(r.out, e.want) << e.name;
        // Twice, and after a placed region: the seek does not depend on what was read before.
        EXPECT_EQ(run_alnkit({"view", bam, "chr1", "*", "*"}).out,
                  (e.sam.find("p1") != std::string::npos ? placed : "") + e.want + e.want)
            << e.name;
    }
    // Without an index: the usual refusal.
    write_file(dir.file("noidx.bam"), read_file(dir.file("both.bam")));
    const run_result r = run_alnkit({"view", dir.file("noidx.bam"), "*"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.ends_with("[main_samview] random alignment retrieval only works for indexed BAM files.\n")) << r.err;
    // Cut inside the unplaced records: status 1 with the retrieval message.
    const std::string big = make_bam(dir, "big", 3, 4000, {"--refs", "1", "--ref-len", "3000", "--sorted"});
    ASSERT_EQ(run_alnkit({"index", big}).status, 0);
    const std::string bytes = read_file(big);
    write_file(dir.file("cut.bam"), bytes.substr(0, bytes.size() - 40));
    write_file(dir.file("cut.bam.bai"), read_file(big + ".bai"));
    const run_result cut = run_alnkit({"view", dir.file("cut.bam"), "*"});
    EXPECT_EQ(cut.status, 1);
    EXPECT_NE(cut.err.find("[main_samview] retrieval of region \"*\" failed"), std::string::npos) << cut.err;
}

}  // namespace
