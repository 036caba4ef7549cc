// The flagstat command: counts against an independent count of the decoded
// records, hand-worked flag cases, cut files and failed writes.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "bam/bam_codec.h"
#include "common/bam_file_util.h"
#include "common/test_util.h"
#include "hardening/corrupt_util.h"

namespace {

using test_util::run_alnkit;
using test_util::run_result;
using test_util::scratch_dir;

// The percentage text as the report forms it: a single-precision quotient
// scaled in double precision (0 / 0 gives this platform's NaN text).
std::string percent(long long part, long long whole) {
    volatile float p = static_cast<float>(part), w = static_cast<float>(whole);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.2f%%", static_cast<double>(p / w) * 100.0);
    return buf;
}

// The report's categories of one record, one bit each in report order.
unsigned categories(const bam1_core_t& c) {
    const unsigned paired = (c.flag & BAM_FPAIRED) != 0, mapped = !(c.flag & BAM_FUNMAP), mate_mapped = !(c.flag & BAM_FMUNMAP);
    const unsigned both = paired && mapped && mate_mapped, other_chr = both && c.tid != c.mtid;
    return 1U | ((c.flag & BAM_FDUP) != 0) << 1 | mapped << 2 | paired << 3 | (paired && (c.flag & BAM_FREAD1)) << 4 |
           (paired && (c.flag & BAM_FREAD2)) << 5 | (paired && (c.flag & BAM_FPROPER_PAIR)) << 6 | both << 7 |
           (paired && mapped && !mate_mapped) << 8 | other_chr << 9 | (other_chr && c.qual >= 5) << 10;
}

TEST(Flagstat, MillionGeneratedRecordsMatchAnIndependentCount) {
    scratch_dir dir;
    std::string bam = test_util::make_bam(dir, "big", 5, 1000000, {"--read-len", "20", "--refs", "4", "--ref-len", "2000000"});
    long long n[11][2] = {};
    bgzf_ptr fp(bgzf_open(bam.c_str(), "r"));
    bam_header_ptr h(bam_header_read(fp.get()));
    bam1_ptr b = bam1_make();
    while (bam_read1(fp.get(), b.get()) >= 0) {
        const unsigned in = categories(b->core);
        for (int i = 0; i < 11; ++i) n[i][(b->core.flag & BAM_FQCFAIL) ? 1 : 0] += (in >> i) & 1;
    }
    ASSERT_GE(n[0][0] + n[0][1], 1000000);
    for (auto& counts : n) ASSERT_TRUE(counts[0] > 0 && counts[1] > 0);  // the data reaches every counter on both sides
    std::stringstream text(
        " in total (QC-passed reads + QC-failed reads)\n duplicates\n mapped\n paired in sequencing\n read1\n read2\n"
        " properly paired\n with itself and mate mapped\n singletons\n with mate mapped to a different chr\n"
        " with mate mapped to a different chr (mapQ>=5)\n");
    std::string expected;
    for (int i = 0; i < 11; ++i) {
        std::string tail;
        std::getline(text, tail);
        expected += std::to_string(n[i][0]) + " + " + std::to_string(n[i][1]) + tail;
        const int whole = i == 2 ? 0 : i == 6 || i == 8 ? 3 : -1;
        if (whole >= 0) expected += " (" + percent(n[i][0], n[whole][0]) + ":" + percent(n[i][1], n[whole][1]) + ")";
        expected += "\n";
    }
    run_result r = run_alnkit({"flagstat", bam});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, expected);
}

TEST(Flagstat, HandWorkedFlagsAndSinglePrecisionPercentages) {
    scratch_dir dir;
    std::string sam = "@SQ\tSN:chr1\tLN:1000\n@SQ\tSN:chr2\tLN:1000\n";
    auto rec = [&](const char* name, int flag, const char* ref, int mapq, const char* mref) {
        sam += std::string(name) + "\t" + std::to_string(flag) + "\t" + ref + "\t" + (*ref == '*' ? "0" : "10") + "\t" +
               std::to_string(mapq) + "\t" + (*ref == '*' ? "*" : "4M") + "\t" + mref + "\t" + (*mref == '*' ? "0" : "20") +
               "\t0\tACGT\tIIII\n";
    };
    rec("u1", 0, "chr1", 30, "*");
    rec("u2", 1024, "chr1", 30, "*");  // duplicate
    rec("p1", 69, "chr1", 0, "=");     // unmapped, mate mapped: paired only
    rec("p2", 137, "chr1", 30, "=");   // mate unmapped: singleton
    rec("p3", 67, "chr1", 3, "chr2");  // mate elsewhere, low quality
    rec("p4", 131, "chr2", 5, "chr1");
    for (int i = 0; i < 2; ++i) rec("m", 0, "chr2", 30, "*");
    for (int i = 0; i < 152; ++i) rec("x", 4, "*", 0, "*");
    // 7 of 160 mapped is 4.37% through a float quotient, 4.38% through a double one.
    const std::string nan = percent(0, 0);
    run_result r = run_alnkit({"flagstat", test_util::bam_from_sam(dir, "edge", sam)});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "160 + 0 in total (QC-passed reads + QC-failed reads)\n1 + 0 duplicates\n7 + 0 mapped (4.37%:" + nan +
                         ")\n4 + 0 paired in sequencing\n2 + 0 read1\n2 + 0 read2\n2 + 0 properly paired (50.00%:" + nan +
                         ")\n2 + 0 with itself and mate mapped\n1 + 0 singletons (25.00%:" + nan +
                         ")\n2 + 0 with mate mapped to a different chr\n1 + 0 with mate mapped to a different chr (mapQ>=5)\n");
    EXPECT_TRUE(nan == "nan%" || nan == "-nan%") << nan;
}

TEST(Flagstat, CutFilesAndFailuresEndWithStatusOne) {
    scratch_dir dir;
    std::string bam = test_util::make_bam(dir, "in", 3, 300, {"--refs", "2", "--ref-len", "20000"});
    std::string data, cut = dir.file("cut.bam");
    corrupt::read_blocks(test_util::read_file(bam), &data);
    corrupt::write_bgzf(cut, data.substr(0, corrupt::parse_bam(data).records[100] + 50));  // inside record 100
    run_result r = run_alnkit({"flagstat", cut});
    EXPECT_EQ(r.status, 1);
    long long passed = -1, failed = -1;
    std::sscanf(r.out.c_str(), "%lld + %lld in total", &passed, &failed);
    EXPECT_EQ(passed + failed, 100);
    EXPECT_EQ(r.err, "[bam_flagstat_core] Truncated file? Continue anyway.\n[bam_flagstat] " + cut +
                         ": damaged or truncated record after 100 records\n");
    EXPECT_EQ(run_alnkit({"flagstat", "-"}, test_util::read_file(bam)).out, run_alnkit({"flagstat", bam}).out);
    const std::string none = dir.file("none.bam"), alnkit = ALNKIT_PATH;
    for (const auto& [command, message] : std::vector<std::pair<std::string, std::string>>{
             {alnkit + " flagstat " + bam + " > /dev/full", "[bam_flagstat] fail to write \"standard output\".\n"},
             {alnkit + " flagstat " + none, "[bam_flagstat] fail to open file " + none + ".\n"},
             {alnkit + " flagstat", "Usage: alnkit flagstat <in.bam>\n"}}) {
        run_result f = test_util::run({"/bin/sh", "-c", command});
        EXPECT_EQ(f.status, 1) << command;
        EXPECT_NE(f.err.find(message), std::string::npos) << f.err;
    }
}

}  // namespace
