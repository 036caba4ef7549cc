// depth against a brute-force count over the SAM text the BAM files were made from.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "common/bam_file_util.h"
#include "common/test_util.h"

using namespace test_util;

namespace {

struct sam_read {
    int flag, tid, pos, mapq;
    std::string cigar, qual;
};

struct sam_file {
    std::vector<std::string> names;
    std::vector<sam_read> reads;
};

sam_file parse_sam(const std::string& text) {
    sam_file s;
    std::map<std::string, int> tids;
    for (const auto& line : split(text, '\n')) {
        auto f = split(line, '\t');
        if (line.rfind("@SQ", 0) == 0) {
            tids[f[1].substr(3)] = static_cast<int>(s.names.size());
            s.names.push_back(f[1].substr(3));
        } else if (!line.empty() && line[0] != '@') {
            int tid = f[2] == "*" ? -1 : tids.at(f[2]);
            s.reads.push_back({std::stoi(f[1]), tid, std::stoi(f[3]) - 1, std::stoi(f[4]), f[5], f[10]});
        }
    }
    return s;
}

struct options {
    int min_baseQ = 0, min_mapQ = 0;
};

// (tid, pos) -> per-file counts, for every position some kept read covers
// (deletions and skips included, as the pileup reports them).
using depth_table = std::map<std::pair<int, int>, std::vector<int>>;

void add_file(depth_table* t, const sam_file& s, size_t file, size_t n_files, const options& o) {
    for (const sam_read& r : s.reads) {
        if (r.tid < 0 || (r.flag & 0x704) || r.mapq < o.min_mapQ || r.cigar == "*") continue;
        int ref = r.pos, q = 0;
        size_t i = 0;
        while (i < r.cigar.size()) {
            size_t used = 0;
            int len = std::stoi(r.cigar.substr(i), &used);
            char op = r.cigar[i + used];
            i += used + 1;
            for (int k = 0; k < len; ++k) {
                if (op == 'M' || op == '=' || op == 'X' || op == 'D' || op == 'N') {
                    auto& v = (*t)[{r.tid, ref}];
                    v.resize(n_files);
                    bool base = op != 'D' && op != 'N';
                    if (base && (r.qual == "*" || r.qual[static_cast<size_t>(q)] - 33 >= o.min_baseQ)) ++v[file];
                    ++ref;
                }
                if (op == 'M' || op == '=' || op == 'X' || op == 'I' || op == 'S') ++q;
            }
        }
    }
}

std::string expected_lines(
    const std::vector<sam_file>& files, const options& o,
    const std::function<bool(int, int)>& keep = [](int, int) { return true; }) {
    depth_table t;
    for (size_t f = 0; f < files.size(); ++f) add_file(&t, files[f], f, files.size(), o);
    std::string out;
    for (const auto& [key, counts] : t) {
        if (!keep(key.first, key.second)) continue;
        out.append(files[0].names[static_cast<size_t>(key.first)]).append("\t").append(std::to_string(key.second + 1));
        for (int c : counts) out.append("\t").append(std::to_string(c));
        out.append("\n");
    }
    return out;
}

class Depth : public ::testing::Test {
protected:
    void SetUp() override {
        const std::vector<std::string> gen = {"--refs", "3", "--ref-len", "3000", "--sorted", "--read-len", "60"};
        for (int i = 0; i < 2; ++i) {
            bams_.push_back(make_bam(dir_, "in" + std::to_string(i), 40 + i, 600, gen));
            sams_.push_back(parse_sam(read_file(dir_.file("in" + std::to_string(i) + ".sam"))));
            ASSERT_EQ(run_alnkit({"index", bams_.back()}).status, 0);
        }
    }
    scratch_dir dir_;
    std::vector<std::string> bams_;
    std::vector<sam_file> sams_;
};

TEST_F(Depth, EqualsABruteForceCountWithEveryFilter) {
    struct depth_case {
        std::vector<std::string> args;
        options o;
    };
    for (const depth_case& c : {depth_case{{}, {}}, depth_case{{"-q", "25"}, {25, 0}}, depth_case{{"-Q", "40"}, {0, 40}},
                                depth_case{{"-q", "30", "-Q", "20"}, {30, 20}}}) {
        std::vector<std::string> args = {"depth"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.insert(args.end(), bams_.begin(), bams_.end());
        run_result r = run_alnkit(args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        std::string want = expected_lines(sams_, c.o);
        ASSERT_GT(want.size(), 1000U);
        EXPECT_EQ(r.out, want) << args[1];
    }
}

TEST_F(Depth, RegionAndBedKeepOnlyTheirPositions) {
    run_result r = run_alnkit({"depth", "-r", "chr2:101-200", bams_[0], bams_[1]});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, expected_lines(sams_, {}, [](int tid, int pos) { return tid == 1 && pos >= 100 && pos < 200; }));
    EXPECT_FALSE(r.out.empty());

    // BED intervals are 0-based half-open; a position list line "chr3 7" is the single position 7.
    write_file(dir_.file("keep.bed"), "chr1\t49\t60\nchr3\t1000\t1010\n");
    r = run_alnkit({"depth", "-b", dir_.file("keep.bed"), "-q", "20", bams_[0], bams_[1]});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, expected_lines(sams_, {20, 0}, [](int tid, int pos) {
                  return (tid == 0 && pos >= 49 && pos < 60) || (tid == 2 && pos >= 1000 && pos < 1010);
              }));

    r = run_alnkit({"depth", "-r", "chr1:1-500", "-b", dir_.file("keep.bed"), bams_[0]});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, expected_lines({sams_[0]}, {}, [](int tid, int pos) { return tid == 0 && pos >= 49 && pos < 60; }));
}

TEST(DepthCases, DeletionsCountZeroAndUncoveredFilesPrintZero) {
    scratch_dir dir;
    const std::string hd = "@SQ\tSN:c\tLN:100\n";
    std::string a = bam_from_sam(dir, "a",
                                 hd + "r3\t1024\tc\t5\t30\t3M\t*\t0\t0\tACG\tIII\n"
                                      "r1\t0\tc\t5\t30\t2M2D2M\t*\t0\t0\tACGT\tIIII\n"
                                      "r2\t0\tc\t6\t30\t1M1D2M\t*\t0\t0\tACG\t#II\n");
    std::string b = bam_from_sam(dir, "b", hd + "s1\t0\tc\t9\t30\t3M\t*\t0\t0\tACG\tIII\n");
    run_result r = run_alnkit({"depth", "-q", "10", a, b});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "c\t5\t1\t0\n"
              "c\t6\t1\t0\n"  // r2's base has quality 2
              "c\t7\t0\t0\n"  // both reads have a deletion here
              "c\t8\t1\t0\n"
              "c\t9\t2\t1\n"
              "c\t10\t1\t1\n"
              "c\t11\t0\t1\n");
}

TEST(DepthCases, FailuresExitOneWithOneLine) {
    scratch_dir dir;
    std::string good = make_bam(dir, "g", 5, 3000, {"--refs", "2", "--ref-len", "2000", "--sorted"});
    std::string unsorted = make_bam(dir, "u", 5, 400, {"--refs", "2", "--ref-len", "2000"});
    std::string bam_bytes = read_file(good);
    write_file(dir.file("cut.bam"), bam_bytes.substr(0, bam_bytes.size() / 2));

    struct failure_case {
        std::vector<std::string> args;
        std::string message;  // a part of the last stderr line
    };
    for (const failure_case& c : {
             failure_case{{"depth", dir.file("missing.bam")}, "[main_depth] fail to open"},
             failure_case{{"depth", "-r", "chr1:1-100", good}, "[main_depth] fail to load the index of"},
             failure_case{{"depth", "-r", "nochr", good}, "[main_depth] unknown region: nochr"},
             failure_case{{"depth", "-b", dir.file("missing.bed"), good}, "[main_depth] fail to read the BED file"},
             failure_case{{"depth", unsorted}, "is not sorted by coordinate"},
             failure_case{{"depth", good, dir.file("cut.bam")}, "damaged or truncated record"},
         }) {
        run_result r = run_alnkit(c.args);
        EXPECT_EQ(r.status, 1) << c.args.back();
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("memory leak"), std::string::npos) << r.err;
    }
    // The damaged file still gets the columns read before the damage.
    run_result r = run_alnkit({"depth", dir.file("cut.bam")});
    EXPECT_EQ(r.status, 1);
    EXPECT_GT(r.out.size(), 100U);

    run_result full = run({"/bin/sh", "-c", std::string(ALNKIT_PATH) + " depth " + good + " > /dev/full"});
    EXPECT_EQ(full.status, 1);
    EXPECT_NE(full.err.find("fail to write"), std::string::npos) << full.err;

    run_result usage = run_alnkit({"depth"});
    EXPECT_EQ(usage.status, 1);
    EXPECT_EQ(usage.err, "Usage: bam2depth [-r reg] [-q baseQthres] [-Q mapQthres] [-b in.bed] <in1.bam> [...]\n");
}

}  // namespace
