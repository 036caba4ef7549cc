// The faidx command: usage, building the index, printing regions in lines of
// 60 bases, unknown regions, gzip input and failures.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/test_util.h"

namespace {

using test_util::run_alnkit;
using test_util::write_file;

// 130 bases in lines of 50, so output lines (60) differ from input lines.
std::string s1_bases() {
    std::string s;
    for (int i = 0; i < 130; ++i) s += "ACGTTGCA"[(i * 5 + i / 8) % 8];
    return s;
}

std::string sample_fasta() {
    const std::string b = s1_bases();
    return ">s1 first\n" + b.substr(0, 50) + "\n" + b.substr(50, 50) + "\n" + b.substr(100) + "\n>s2\nACGTA\n";
}

struct FaiCmd : ::testing::Test {
    test_util::scratch_dir dir;
    const std::string b = s1_bases();
    const std::string regions_out = ">s1\n" + b.substr(0, 60) + "\n" + b.substr(60, 60) + "\n" + b.substr(120) + "\n" +
                                    ">s1:2-3\n" + b.substr(1, 2) + "\n>nosuch\n>s1:200-300\n>s2:3\nGTA\n";
};

TEST_F(FaiCmd, UsageWithoutArguments) {
    const test_util::run_result r = run_alnkit({"faidx"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Usage: faidx <in.fasta> [<reg> [...]]\n");
}

TEST_F(FaiCmd, BuildsTheIndexThenPrintsRegions) {
    const std::string fa = dir.file("ref.fa");
    write_file(fa, sample_fasta());
    test_util::run_result r = run_alnkit({"faidx", fa});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(test_util::read_file(fa + ".fai"), "s1\t130\t10\t50\t51\ns2\t5\t147\t5\t6\n");

    r = run_alnkit({"faidx", fa, "s1", "s1:2-3", "nosuch", "s1:200-300", "s2:3"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, regions_out);
}

TEST_F(FaiCmd, GzipFastaInFileOrder) {
    const std::string fa = dir.file("ref.fa.gz");
    test_util::write_gzip_file(fa, sample_fasta());
    test_util::run_result r = run_alnkit({"faidx", fa, "s1:2-3", "nosuch", "s1:61-130", "s1:200-300", "s2:3"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "[fai_load] build FASTA index.\n");
    EXPECT_EQ(r.out, ">s1:2-3\n" + b.substr(1, 2) + "\n>nosuch\n>s1:61-130\n" + b.substr(60, 60) + "\n" + b.substr(120) +
                         "\n>s1:200-300\n>s2:3\nGTA\n");
    // Going back is refused with a message; only the header line is printed.
    r = run_alnkit({"faidx", fa, "s2", "s1:1-5"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, ">s2\nACGTA\n>s1:1-5\n");
    EXPECT_EQ(r.err, "[fai_fetch] fail to position the FASTA file at offset 10 (a gzip file only seeks forward).\n");
}

TEST_F(FaiCmd, Failures) {
    const std::string bad = dir.file("bad.fa");
    write_file(bad, ">a\nACGT\nAC\nACGT\n");
    test_util::run_result r = run_alnkit({"faidx", bad});
    EXPECT_EQ(r.status, 0);  // building reports only through its message
    EXPECT_EQ(r.err, "[fai_build_core] different line length in sequence 'a'.\n");
    EXPECT_FALSE(std::filesystem::exists(bad + ".fai"));

    r = run_alnkit({"faidx", bad, "a"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "[fai_load] build FASTA index.\n[fai_build_core] different line length in sequence 'a'.\n"
              "[fai_load] fail to open FASTA index.\n");
}

// The FASTA cut after its index was built: the regions before the failing
// one are printed, then one line naming the region, and status 1.
TEST_F(FaiCmd, CutFastaFailsNamingTheSequence) {
    const std::string fa = dir.file("ref.fa");
    const std::string text = sample_fasta();
    write_file(fa, text);
    ASSERT_EQ(run_alnkit({"faidx", fa}).status, 0);
    const std::string why = ": the FASTA file was cut, damaged or changed after indexing.\n";
    struct cut_case {
        size_t keep;
        std::vector<std::string> regions;
        std::string out, message;
    };
    const std::vector<cut_case> cases = {
        {text.size() - 3,
         {"s1:1-3", "s2:1-2", "s2", "s1"},
         ">s1:1-3\n" + b.substr(0, 3) + "\n>s2:1-2\nAC\n",
         "sequence 's2' ends before the 5 bases its .fai line gives (region \"s2\")"},
        {80,
         {"s1:1-60", "s1:55-70"},
         ">s1:1-60\n" + b.substr(0, 60) + "\n",
         "sequence 's1' ends before the 130 bases its .fai line gives (region \"s1:55-70\")"},
        {80, {"s2"}, "", "sequence 's2' ends before the 5 bases its .fai line gives (region \"s2\")"},  // beyond the file
    };
    for (const cut_case& c : cases) {
        write_file(fa, text.substr(0, c.keep));
        std::vector<std::string> args = {"faidx", fa};
        args.insert(args.end(), c.regions.begin(), c.regions.end());
        const test_util::run_result r = run_alnkit(args);
        EXPECT_EQ(r.status, 1) << c.keep;
        EXPECT_EQ(r.out, c.out) << c.keep;
        EXPECT_EQ(r.err, "[faidx_main] " + c.message + why) << c.keep;
    }
}

}  // namespace
