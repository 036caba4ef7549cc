// bcfcat run as a user would: mpileup -g shards joined equal the whole run,
// different headers refused with the message and status 1, usage, standard
// output and a failed write.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/bam_file_util.h"
#include "common/bcf_decode.h"
#include "common/test_util.h"

namespace {

using namespace test_util;

TEST(BcfcatCommand, JoinsShardsAndRefusesOtherHeaders) {
    scratch_dir dir;
    const std::string fa = dir.file("ref.fa");
    const std::string bam = make_bam(dir, "g", 21, 600, {"--refs", "2", "--ref-len", "2000", "--sorted", "--fasta", fa});
    ASSERT_EQ(run_alnkit({"index", bam}).status, 0);
    ASSERT_EQ(run_alnkit({"faidx", fa}).status, 0);
    auto mpileup_g = [&](const std::vector<std::string>& extra, const std::string& out) {
        std::vector<std::string> args = {"mpileup", "-g", "-R", "-f", fa};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(bam);
        const run_result r = run_alnkit(args);
        ASSERT_EQ(r.status, 0) << r.err;
        write_file(dir.file(out), r.out);
    };
    mpileup_g({}, "whole.bcf");
    std::vector<std::string> shards;
    for (const std::string reg : {"chr1:1-700", "chr1:701-2600", "chr2"}) {
        std::string name = "s";
        name += std::to_string(shards.size());
        name += ".bcf";
        mpileup_g({"-r", reg}, name);
        shards.push_back(dir.file(name));
    }
    std::vector<std::string> args = {"bcfcat", "-o", dir.file("joined.bcf")};
    args.insert(args.end(), shards.begin(), shards.end());
    run_result r = run_alnkit(args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string whole = inflate_file(dir.file("whole.bcf"));
    EXPECT_GT(decode_bcf(whole).records.size(), 1000U);
    EXPECT_EQ(inflate_file(dir.file("joined.bcf")), whole);
    args.erase(args.begin() + 1, args.begin() + 3);  // to standard output
    r = run_alnkit(args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, read_file(dir.file("joined.bcf")));

    // Another file name: another sample name (-R), another header.
    write_file(dir.file("h.bam"), read_file(bam));
    write_file(dir.file("h.bam.bai"), read_file(bam + ".bai"));
    r = run_alnkit({"mpileup", "-g", "-R", "-f", fa, "-r", "chr2", dir.file("h.bam")});
    ASSERT_EQ(r.status, 0) << r.err;
    write_file(dir.file("other.bcf"), r.out);
    r = run_alnkit({"bcfcat", "-o", dir.file("bad.bcf"), shards[0], dir.file("other.bcf")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "[bcfcat] the header of \"" + dir.file("other.bcf") + "\" differs from that of \"" + shards[0] + "\".\n");
    EXPECT_NE(access(dir.file("bad.bcf").c_str(), F_OK), 0);

    // A disk that fills up: status 1, the message, and no output file left.
    r = run_file_limited({ALNKIT_PATH, "bcfcat", "-o", dir.file("full.bcf"), shards[0], shards[1]}, 20000);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "[bcfcat] fail to write to \"" + dir.file("full.bcf") + "\".\n");
    EXPECT_NE(access(dir.file("full.bcf").c_str(), F_OK), 0);
    struct fail_case {
        std::vector<std::string> args;
        std::string err;
    };
    for (const fail_case& f :
         {fail_case{{"bcfcat"}, "Usage: alnkit bcfcat [-o out.bcf] <in1.bcf> [...]\n"},
          fail_case{{"bcfcat", "-x", shards[0]}, "~Usage: alnkit bcfcat"},
          fail_case{{"bcfcat", bam}, "[bcfcat] \"" + bam + "\" is not a BCF file.\n"},
          fail_case{{"bcfcat", "-o", "/dev/full", shards[0], shards[1]}, "[bcfcat] fail to write to \"/dev/full\".\n"}}) {
        r = run_alnkit(f.args);
        EXPECT_EQ(r.status, 1) << f.args.back();
        if (f.err[0] == '~') EXPECT_NE(r.err.find(f.err.substr(1)), std::string::npos) << r.err;
        else EXPECT_EQ(r.err, f.err) << f.args.back();
    }
}

}  // namespace
