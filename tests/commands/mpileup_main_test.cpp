// mpileup: text pileup of crafted reads against hand-worked lines, regions
// and position lists against lines cut from whole runs, read groups, BCF
// records decoded back, and the failures that end with status 1.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/bam_file_util.h"
#include "common/bcf_decode.h"
#include "common/test_util.h"

using namespace test_util;

namespace {

// chr1 stores a lower-case base at 12; chr2 starts with two Ns.
const std::string ref_fa =
    ">chr1\nACGTACGTACGgTTAACCGG\nATATCCGGAATTCGCGATAT\n"
    ">chr2\nNNACGT\n";
const std::string sq = "@SQ\tSN:chr1\tLN:40\n@SQ\tSN:chr2\tLN:6\n";

std::string sam_line(const std::string& name, int flag, const std::string& chr, int pos, int mapq, const std::string& cigar,
                     const std::string& seq, const std::string& qual, const std::string& tags = "") {
    return name + "\t" + std::to_string(flag) + "\t" + chr + "\t" + std::to_string(pos) + "\t" + std::to_string(mapq) + "\t" +
           cigar + "\t*\t0\t0\t" + seq + "\t" + qual + (tags.empty() ? "" : "\t" + tags) + "\n";
}

// Every column element: read starts with their mapping quality (one above
// 93), ends, both strands, a mismatch, a deletion, an insertion after a
// soft clip, a reference skip, an N read base, a lower-case reference base,
// an anomalous pair, a low mapping quality and an unmapped read.
const std::string crafted_reads =
    sam_line("rA", 0, "chr1", 1, 30, "4M", "ACGT", "IIII") + sam_line("rB", 16, "chr1", 2, 40, "2M2D2M", "CTCG", "ABCD") +
    sam_line("rC", 0, "chr1", 3, 20, "1S2M2I1M", "TGTCCA", "!#%&'(") + sam_line("rD", 16, "chr1", 6, 100, "1M2N1M", "NA", "5~") +
    sam_line("rE", 1, "chr1", 10, 50, "2M", "CG", "II") + sam_line("rF", 3, "chr1", 10, 5, "3M", "AGG", "+,-") +
    sam_line("rG", 0, "chr2", 1, 60, "3M", "NAT", "III") + sam_line("rH", 4, "*", 0, 0, "*", "ACGT", "IIII");

// The lines worked out by hand for the reads above, with the reference.
const std::vector<std::string> crafted_lines = {
    "chr1\t1\tA\t1\t^?.\tI",  "chr1\t2\tC\t2\t.^I,\tIA", "chr1\t3\tG\t3\t.t-2ta^5.\tIB#", "chr1\t4\tT\t3\t.$*.+2CC\tIC%",
    "chr1\t5\tA\t2\t*.$\tC(", "chr1\t6\tC\t2\t,^~n\tC5", "chr1\t7\tG\t2\t,$<\tD~",        "chr1\t8\tT\t1\t<\t~",
    "chr1\t9\tA\t1\t,$\t~",   "chr1\t10\tC\t1\t^&A\t+",  "chr1\t11\tG\t1\t.\t,",          "chr1\t12\tg\t1\t.$\t-",
    "chr2\t1\tN\t1\t^].\tI",  "chr2\t2\tN\t1\tA\tI",     "chr2\t3\tA\t1\tT$\tI",
};

// "r7" from "r" and 7 (spelled out: GCC 12 warns on the temporary of "r" + to_string).
std::string numbered(const char* prefix, int i) {
    std::string s = prefix;
    s += std::to_string(i);
    return s;
}

std::string join_lines(const std::vector<std::string>& lines) {
    std::string s;
    for (const auto& l : lines) s += l + "\n";
    return s;
}

class MpileupCrafted : public ::testing::Test {
protected:
    void SetUp() override {
        fa_ = dir_.file("ref.fa");
        write_file(fa_, ref_fa);
        ASSERT_EQ(run_alnkit({"faidx", fa_}).status, 0);
        a_ = bam_from_sam(dir_, "a", "@HD\tVN:1.0\tSO:coordinate\n" + sq + crafted_reads);
        b_ = bam_from_sam(dir_, "b", sq + sam_line("s1", 16, "chr1", 4, 70, "2M", "TA", "II"));
    }
    // Without BAQ, so that the qualities are the stored ones.
    run_result mpileup(std::vector<std::string> args) {
        args.insert(args.begin(), {"mpileup", "-B"});
        return run_alnkit(args);
    }
    scratch_dir dir_;
    std::string fa_, a_, b_;
};

TEST_F(MpileupCrafted, TextLinesEqualTheHandWorkedOnes) {
    run_result r = mpileup({"-f", fa_, a_});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, join_lines(crafted_lines));
    EXPECT_EQ(r.err, "[mpileup] 1 samples in 1 input files\n<mpileup> Set max per-file depth to 8000\n");

    // -Q only concerns calling: the text keeps every base.
    EXPECT_EQ(mpileup({"-f", fa_, "-Q", "40", a_}).out, r.out);
}

TEST_F(MpileupCrafted, BaqLowersQualitiesAsCalmdDoes) {
    // With a region the reference is there before the first read, so every
    // read gets BAQ: the same text as the reads capped by calmd, without BAQ.
    ASSERT_EQ(run_alnkit({"index", a_}).status, 0);
    for (const std::string ext : {"", "E"}) {
        run_result md = run_alnkit({"calmd", "-Arb" + ext, a_, fa_});
        ASSERT_EQ(md.status, 0) << md.err;
        const std::string capped = dir_.file("capped" + ext + ".bam");
        write_file(capped, md.out);
        ASSERT_EQ(run_alnkit({"index", capped}).status, 0);
        std::vector<std::string> args = {"mpileup", "-r", "chr1", "-f", fa_, a_};
        if (!ext.empty()) args.insert(args.begin() + 1, "-E");
        run_result baq = run_alnkit(args);
        ASSERT_EQ(baq.status, 0) << baq.err;
        EXPECT_EQ(baq.out, mpileup({"-r", "chr1", "-f", fa_, capped}).out) << ext;
        EXPECT_NE(baq.out, mpileup({"-r", "chr1", "-f", fa_, a_}).out) << ext;
    }
}

TEST_F(MpileupCrafted, OptionsChangeTheirColumns) {
    struct option_case {
        std::vector<std::string> args;
        std::map<int, std::string> lines;  // index into the output -> line; other lines as crafted
        int n_lines;
    };
    const option_case cases[] = {
        // Mapping qualities (100 capped at '~') and read positions.
        {{"-s", "-O"}, {{2, "chr1\t3\tG\t3\t.t-2ta^5.\tIB#\t?I5\t3,2,2"}, {5, "chr1\t6\tC\t2\t,^~n\tC5\tI~\t3,1"}}, 15},
        // The anomalous pair is counted with -A, after the properly paired read's start.
        {{"-A"}, {{9, "chr1\t10\tC\t2\t^S.^&A\tI+"}, {10, "chr1\t11\tG\t2\t.$.\tI,"}}, 15},
        // Mapping quality 5 is below -q 10: its columns go.
        {{"-q", "10"}, {{9, "chr2\t1\tN\t1\t^].\tI"}}, 12},
        // Illumina-1.3+ qualities: 'I' (40) becomes 9, '~' (93) 62.
        {{"-6"}, {{0, "chr1\t1\tA\t1\t^?.\t*"}, {7, "chr1\t8\tT\t1\t<\t_"}}, 15},
    };
    for (const option_case& c : cases) {
        std::vector<std::string> args = {"-f", fa_};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.push_back(a_);
        run_result r = mpileup(args);
        ASSERT_EQ(r.status, 0) << r.err;
        std::vector<std::string> got = split(r.out, '\n');
        ASSERT_EQ(static_cast<int>(got.size()), c.n_lines) << c.args[0] << "\n" << r.out;
        for (const auto& [i, line] : c.lines) EXPECT_EQ(got[static_cast<size_t>(i)], line) << c.args[0];
        if (c.args[0] == "-s") {  // the rest get only the extra columns
            EXPECT_EQ(got[0], crafted_lines[0] + "\t?\t1");
            EXPECT_EQ(got[14], crafted_lines[14] + "\t]\t3");
        }
    }
}

TEST_F(MpileupCrafted, WithoutReferenceOnlyEqualSignsMatch) {
    run_result r = mpileup({a_});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> got = split(r.out, '\n');
    ASSERT_EQ(got.size(), 15U);
    EXPECT_EQ(got[0], "chr1\t1\tN\t1\t^?A\tI");
    EXPECT_EQ(got[2], "chr1\t3\tN\t3\tGt-2nn^5G\tIB#");
    EXPECT_EQ(got[3], "chr1\t4\tN\t3\tT$*T+2CC\tIC%");
    EXPECT_EQ(got[12], "chr2\t1\tN\t1\t^]N\tI");
}

TEST_F(MpileupCrafted, SeveralFilesShareEachLine) {
    run_result r = mpileup({"-f", fa_, "-s", "-O", a_, b_});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "[mpileup] 2 samples in 2 input files\n<mpileup> Set max per-file depth to 4000\n");
    std::vector<std::string> got = split(r.out, '\n');
    ASSERT_EQ(got.size(), 15U);
    EXPECT_EQ(got[0], "chr1\t1\tA\t1\t^?.\tI\t?\t1\t0\t*\t*\t*\t*");
    EXPECT_EQ(got[3], "chr1\t4\tT\t3\t.$*.+2CC\tIC%\t?I5\t4,3,3\t1\t^g,\tI\tg\t1");
    EXPECT_EQ(got[4], "chr1\t5\tA\t2\t*.$\tC(\tI5\t3,6\t1\t,$\tI\tg\t2");
    // A position only the second file covers.
    const std::string c = bam_from_sam(dir_, "c", sq + sam_line("t1", 0, "chr1", 30, 10, "1M", "A", "I"));
    r = mpileup({"-f", fa_, b_, c});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "chr1\t4\tT\t1\t^g,\tI\t0\t*\t*\nchr1\t5\tA\t1\t,$\tI\t0\t*\t*\nchr1\t30\tA\t0\t*\t*\t1\t^+.$\tI\n");
}

TEST_F(MpileupCrafted, PositionListsAndBedKeepExactlyTheirPositions) {
    write_file(dir_.file("pos.txt"), "chr1 3\nchr1 7\nchr2 2\nchr3 1\n");
    write_file(dir_.file("reg.bed"), "chr1\t4\t6\nchr2\t2\t10\n");
    struct list_case {
        std::string file;
        std::vector<int> lines;  // indexes into crafted_lines
    };
    for (const list_case& c : {list_case{"pos.txt", {2, 6, 13}}, list_case{"reg.bed", {4, 5, 14}}}) {
        run_result r = mpileup({"-f", fa_, "-l", dir_.file(c.file), a_});
        ASSERT_EQ(r.status, 0) << r.err;
        std::string want;
        for (int i : c.lines) want += crafted_lines[static_cast<size_t>(i)] + "\n";
        EXPECT_EQ(r.out, want) << c.file;
    }
    run_result r = mpileup({"-l", dir_.file("none.txt"), a_});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "[bam_mpileup] fail to read the position list " + dir_.file("none.txt") + ".\n");
}

TEST_F(MpileupCrafted, MappingQualityCappingKeepsReadsBelowTheThreshold) {
    // rF (mapping quality 5, one mismatch) falls to -q 10 without capping; with
    // -C 50 and a reference its capped quality is not negative, so it stays,
    // and so does the anomalous pair rE: a capped read skips both tests.
    run_result plain = mpileup({"-f", fa_, "-q", "10", a_});
    run_result capped = mpileup({"-f", fa_, "-q", "10", "-C", "50", a_});
    ASSERT_EQ(capped.status, 0) << capped.err;
    EXPECT_EQ(split(plain.out, '\n').size(), 12U);
    std::vector<std::string> got = split(capped.out, '\n');
    ASSERT_EQ(got.size(), 15U);
    EXPECT_EQ(got[9], "chr1\t10\tC\t2\t^S.^&A\tI+");
    // Without a reference nothing is capped and -q applies.
    EXPECT_EQ(split(mpileup({"-q", "10", "-C", "50", a_}).out, '\n').size(), 12U);
}

// Generated files: region runs and read-group exclusion against lines of
// whole runs.
class MpileupGenerated : public ::testing::Test {
protected:
    void SetUp() override {
        const std::vector<std::string> gen = {"--refs", "3", "--ref-len", "3000", "--sorted", "--read-len", "60"};
        std::vector<std::string> args = gen;
        args.insert(args.end(), {"--fasta", dir_.file("ref.fa")});
        bams_.push_back(make_bam(dir_, "g0", 60, 900, args));
        // The second file: every third record of the first, same references.
        std::string second;
        int n = 0;
        for (const auto& line : split(read_file(dir_.file("g0.sam")), '\n'))
            if (line[0] == '@' || n++ % 3 == 0) second += line + "\n";
        bams_.push_back(bam_from_sam(dir_, "g1", second));
        for (const std::string& bam : bams_) ASSERT_EQ(run_alnkit({"index", bam}).status, 0);
    }
    scratch_dir dir_;
    std::vector<std::string> bams_;
};

// Lines of `text` whose (reference, 1-based position) `keep` accepts.
std::string cut_lines(const std::string& text, const std::function<bool(const std::string&, int)>& keep) {
    std::string out;
    for (const auto& line : split(text, '\n')) {
        auto f = split(line, '\t');
        if (keep(f[0], std::stoi(f[1]))) out += line + "\n";
    }
    return out;
}

TEST_F(MpileupGenerated, RegionsEqualLinesCutFromTheWholeRun) {
    const std::string fa = dir_.file("ref.fa");
    for (const std::vector<std::string>& extra :
         {std::vector<std::string>{"-B"}, std::vector<std::string>{"-B", "-f", fa, "-s", "-O"}}) {
        std::vector<std::string> args = {"mpileup"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.insert(args.end(), bams_.begin(), bams_.end());
        run_result whole = run_alnkit(args);
        ASSERT_EQ(whole.status, 0) << whole.err;
        ASSERT_GT(whole.out.size(), 10000U);
        struct region_case {
            std::string reg, chr;
            int beg, end;  // 1-based, inclusive
        };
        for (const region_case& c :
             {region_case{"chr1:1-200", "chr1", 1, 200}, region_case{"chr2:1,001-1,400", "chr2", 1001, 1400},
              region_case{"chr3", "chr3", 1, 1 << 29}, region_case{"chr2:2001-5000", "chr2", 2001, 5000}}) {
            std::vector<std::string> reg_args = args;
            reg_args.insert(reg_args.begin() + 1, {"-r", c.reg});
            run_result r = run_alnkit(reg_args);
            ASSERT_EQ(r.status, 0) << r.err;
            std::string want = cut_lines(
                whole.out, [&](const std::string& chr, int pos) { return chr == c.chr && pos >= c.beg && pos <= c.end; });
            EXPECT_EQ(r.out, want) << c.reg;
            EXPECT_FALSE(want.empty()) << c.reg;
        }
    }
}

TEST_F(MpileupGenerated, ExcludedReadGroupsAreLeftOut) {
    // The same file without grpA's reads gives the same text as -G with grpA listed.
    std::string sam = read_file(dir_.file("g0.sam")), kept;
    for (const auto& line : split(sam, '\n'))
        if (line.find("RG:Z:grpA\t") == std::string::npos && !line.ends_with("RG:Z:grpA")) kept += line + "\n";
    ASSERT_LT(kept.size() + 1000, sam.size());
    const std::string without = bam_from_sam(dir_, "without", kept);
    write_file(dir_.file("groups"), "  grpA\n\tnotthere\n");
    run_result g = run_alnkit({"mpileup", "-G", dir_.file("groups"), bams_[0]});
    ASSERT_EQ(g.status, 0) << g.err;
    run_result w = run_alnkit({"mpileup", without});
    EXPECT_EQ(g.out, w.out);
    EXPECT_NE(g.out, run_alnkit({"mpileup", bams_[0]}).out);
    // An unreadable list leaves every group in.
    run_result missing = run_alnkit({"mpileup", "-G", dir_.file("nofile"), bams_[0]});
    EXPECT_EQ(missing.status, 0);
    EXPECT_EQ(split(missing.err, '\n')[0], "(bam_mpileup) Fail to open file " + dir_.file("nofile") + ". Continue anyway.");
    EXPECT_EQ(missing.out, run_alnkit({"mpileup", bams_[0]}).out);
}

TEST_F(MpileupGenerated, AFullDiskEndsTheRunWithOneMessage) {
    for (const std::string mode : {"-B", "-g"}) {
        const std::string out = dir_.file("out" + mode);
        run_result r = run_file_limited({ALNKIT_PATH, "mpileup", mode, "-R", bams_[0], bams_[1]}, 20000, out);
        EXPECT_EQ(r.status, 1) << mode;
        EXPECT_EQ(r.err.find("fail to write"), r.err.rfind("fail to write")) << r.err;
        EXPECT_EQ(split(r.err, '\n').back(), "[mpileup] fail to write to standard output.") << r.err;
        EXPECT_LE(read_file(out).size(), 20000U);
    }
}

// ---- BCF ----

class MpileupBcf : public ::testing::Test {
protected:
    void SetUp() override {
        fa_ = dir_.file("ref.fa");
        write_file(fa_, ref_fa);
        ASSERT_EQ(run_alnkit({"faidx", fa_}).status, 0);
    }
    // One sample's reads: `n` reads of 3M over chr1 21-23 (ATA), the first
    // `n_low` with base quality 10 at 22; plus `n_del` reads from 21 with a
    // 1-base deletion in the CC at 25-26.  With `n_del`, the `n` plain reads
    // cover 21-28.
    std::string site_bam(const std::string& name, int n, int n_low, int n_del, const std::string& rg_header = "",
                         const std::string& rg = "") {
        std::string sam = sq + rg_header;
        const std::string seq = n_del ? "ATATCCGG" : "ATA";
        for (int i = 0; i < n; ++i)
            sam += sam_line(numbered("r", i), i % 2 ? 16 : 0, "chr1", 21, 60, std::to_string(seq.size()) + "M", seq,
                            i < n_low ? "I+" + std::string(seq.size() - 2, 'I') : std::string(seq.size(), 'I'), rg);
        for (int i = 0; i < n_del; ++i)
            sam += sam_line(numbered("d", i), 0, "chr1", 21, 60, "4M1D4M", "ATATCGGA", "IIIIIIII", rg);
        return bam_from_sam(dir_, name, sam);
    }
    // Without BAQ, so that the qualities are the stored ones.
    bcf_file run_bcf(std::vector<std::string> args, int want_status = 0) {
        args.insert(args.begin(), {"mpileup", "-B"});
        run_result r = run_alnkit(args);
        EXPECT_EQ(r.status, want_status) << r.err;
        last_err_ = r.err;
        if (r.status != 0) return {};
        return decode_bcf_output(dir_, r.out);
    }
    scratch_dir dir_;
    std::string fa_, last_err_;
};

TEST_F(MpileupBcf, SnpRecordsPerColumnWithTheRequestedFormats) {
    const std::string bam = site_bam("s", 10, 3, 0);
    // "-u" writes the same records uncompressed.
    for (const char* mode : {"-g", "-u"}) {
        bcf_file f = run_bcf({mode, "-f", fa_, bam});
        EXPECT_EQ(f.refs, (std::vector<std::string>{"chr1", "chr2"}));
        EXPECT_EQ(f.samples, (std::vector<std::string>{bam}));
        EXPECT_EQ(f.text, std::string("##alnkitVersion=") + ALNKIT_VERSION + "\n" + '\0');
        ASSERT_EQ(f.records.size(), 3U) << mode;
        for (int i = 0; i < 3; ++i) {
            const bcf_record& r = f.records[static_cast<size_t>(i)];
            EXPECT_EQ(r.tid, 0);
            EXPECT_EQ(r.pos, 20 + i);
            EXPECT_EQ(r.ref, std::string(1, "ATA"[i]));
            EXPECT_EQ(r.alt, "X");
            EXPECT_EQ(r.info.rfind("DP=10;I16=", 0), 0U) << r.info;
            EXPECT_EQ(r.fmt, "PL");
            ASSERT_EQ(r.pl.size(), 1U);
            ASSERT_EQ(r.pl[0].size(), 3U);
            EXPECT_EQ(r.pl[0][0], 0);
            EXPECT_GT(r.pl[0][2], r.pl[0][1]);
        }
    }
    // Per-sample DP counts only bases of at least -Q; -S brings DP too.
    struct format_case {
        std::vector<std::string> args;
        std::string fmt;
        int dp_mid;  // per-sample DP at 22
    };
    for (const format_case& c : {format_case{{"-D"}, "PL:DP", 7}, format_case{{"-S"}, "PL:DP:SP", 7},
                                 format_case{{"-D", "-S", "-Q", "5"}, "PL:DP:SP", 10}}) {
        std::vector<std::string> args = {"-g", "-f", fa_};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.push_back(bam);
        bcf_file f = run_bcf(args);
        ASSERT_EQ(f.records.size(), 3U);
        EXPECT_EQ(f.records[1].fmt, c.fmt);
        EXPECT_EQ(f.records[1].dp, (std::vector<int>{c.dp_mid}));
        EXPECT_EQ(f.records[0].dp, (std::vector<int>{10}));
        EXPECT_EQ(f.records[1].info.rfind("DP=10;", 0), 0U);
        EXPECT_EQ(f.records[1].sp.size(), c.fmt.ends_with("SP") ? 1U : 0U);
    }
    // Without a reference every base is N and all four may be alternatives.
    bcf_file f = run_bcf({"-g", bam});
    ASSERT_EQ(f.records.size(), 3U);
    EXPECT_EQ(f.records[0].ref, "N");
    EXPECT_EQ(f.records[0].alt.substr(0, 1), "A");
}

TEST_F(MpileupBcf, IndelRecordsFollowTheirSnpRecord) {
    const std::string bam = site_bam("d", 4, 0, 6);
    bcf_file f = run_bcf({"-g", "-f", fa_, bam});
    // Columns 21-29 (the deletion at 25 is a column too), one indel record at 24.
    std::vector<std::pair<int, bool>> got;
    for (const bcf_record& r : f.records) got.emplace_back(r.pos, r.info.rfind("INDEL;", 0) == 0);
    std::vector<std::pair<int, bool>> want;
    for (int pos = 20; pos < 29; ++pos) {
        want.emplace_back(pos, false);
        if (pos == 23) want.emplace_back(pos, true);
    }
    ASSERT_EQ(got, want);
    const bcf_record& indel = f.records[4];
    EXPECT_EQ(indel.ref.substr(0, 2), "TC");
    EXPECT_EQ(indel.alt.size() + 1, indel.ref.size());
    EXPECT_EQ(indel.info.rfind("INDEL;DP=10;", 0), 0U) << indel.info;
    ASSERT_EQ(indel.pl.size(), 1U);
    EXPECT_EQ(indel.pl[0].size(), 3U);

    // -I; a total depth at the limit (10 reads, -L 10); no reference.
    for (const auto& args : {std::vector<std::string>{"-I", "-f", fa_}, std::vector<std::string>{"-L", "10", "-f", fa_},
                             std::vector<std::string>{}}) {
        std::vector<std::string> a = {"-g"};
        a.insert(a.end(), args.begin(), args.end());
        a.push_back(bam);
        bcf_file g = run_bcf(a);
        EXPECT_EQ(g.records.size(), 9U) << (args.empty() ? "no reference" : args[0]);
        for (const bcf_record& r : g.records) EXPECT_EQ(r.info.find("INDEL"), std::string::npos);
    }
    // One read above the limit's reach: -L 11 keeps the indel record.
    EXPECT_EQ(run_bcf({"-g", "-L", "11", "-f", fa_, bam}).records.size(), 10U);
}

TEST_F(MpileupBcf, ReadGroupsMakeTheSamples) {
    const std::string rgs = "@RG\tID:x\tSM:alice\n@RG\tID:y\tSM:bob\n";
    const std::string one = site_bam("one", 4, 0, 0, "@RG\tID:x\tSM:alice\n", "RG:Z:x");
    const std::string two = site_bam("two", 2, 0, 0, "@RG\tID:z\tSM:alice\n", "RG:Z:z");
    // Two files whose groups name the same sample make one column.
    bcf_file f = run_bcf({"-g", "-D", "-f", fa_, one, two});
    EXPECT_EQ(f.samples, (std::vector<std::string>{"alice"}));
    ASSERT_EQ(f.records.size(), 3U);
    EXPECT_EQ(f.records[0].dp, (std::vector<int>{6}));
    // -R: one sample per file, named after it.
    f = run_bcf({"-g", "-D", "-R", "-f", fa_, one, two});
    EXPECT_EQ(f.samples, (std::vector<std::string>{one, two}));
    EXPECT_EQ(f.records[0].dp, (std::vector<int>{4, 2}));
    EXPECT_EQ(last_err_, "[mpileup] 2 samples in 2 input files\n<mpileup> Set max per-file depth to 4000\n");

    // Groups of one file split its reads.
    std::string sam = sq + rgs;
    for (int i = 0; i < 5; ++i) sam += sam_line(numbered("r", i), 0, "chr1", 21, 60, "1M", "A", "I", i < 2 ? "RG:Z:x" : "RG:Z:y");
    const std::string split_bam = bam_from_sam(dir_, "split", sam);
    f = run_bcf({"-g", "-D", "-f", fa_, split_bam});
    EXPECT_EQ(f.samples, (std::vector<std::string>{"alice", "bob"}));
    ASSERT_EQ(f.records.size(), 1U);
    EXPECT_EQ(f.records[0].dp, (std::vector<int>{2, 3}));

    // A group the header lacks, and a read without a group among several.
    const std::string stray = bam_from_sam(dir_, "stray", sq + rgs + sam_line("q", 0, "chr1", 21, 60, "1M", "A", "I", "RG:Z:w"));
    run_bcf({"-g", stray}, 1);
    EXPECT_EQ(split(last_err_, '\n').back(), "[group_smpl] Read group w used in file " + stray +
                                                 " but absent from the header or an alignment missing read group.");
    const std::string bare = bam_from_sam(dir_, "bare", sq + rgs + sam_line("q", 0, "chr1", 21, 60, "1M", "A", "I"));
    run_bcf({"-g", bare}, 1);
    EXPECT_NE(last_err_.find("[group_smpl] A read without read group in file " + bare), std::string::npos) << last_err_;
    // Text output does not group reads.
    EXPECT_EQ(run_alnkit({"mpileup", bare}).status, 0);
}

// ---- the faults mended, and other failures ----

TEST_F(MpileupCrafted, FailuresEndWithStatusOneAndOneLine) {
    const std::string big = make_bam(dir_, "big", 5, 3000, {"--refs", "2", "--ref-len", "2000", "--sorted"});
    std::string bytes = read_file(big);
    write_file(dir_.file("cut.bam"), bytes.substr(0, bytes.size() / 2));
    const std::string unsorted = bam_from_sam(
        dir_, "unsorted",
        sq + sam_line("u1", 0, "chr1", 5, 30, "2M", "AC", "II") + sam_line("u2", 0, "chr1", 2, 30, "2M", "CG", "II"));
    const std::string other = bam_from_sam(dir_, "other", "@SQ\tSN:chr1\tLN:40\n@SQ\tSN:chr2\tLN:7\n");
    const std::string renamed = bam_from_sam(dir_, "renamed", "@SQ\tSN:chr1\tLN:40\n@SQ\tSN:chrX\tLN:6\n");
    struct failure_case {
        std::vector<std::string> args;
        std::string last_line;  // the last line of standard error, or a part of it
    };
    const failure_case cases[] = {
        {{dir_.file("missing.bam")}, "[mpileup] fail to open \"" + dir_.file("missing.bam") + "\"."},
        {{"-r", "chr1", a_}, "[mpileup] fail to load index for 1-th input."},
        {{a_, other}, "[mpileup] the reference sequences of \"" + other + "\" differ from those of \"" + a_ + "\"."},
        {{a_, renamed}, "[mpileup] the reference sequences of \"" + renamed + "\" differ from those of \"" + a_ + "\"."},
        {{unsorted}, "[mpileup] \"" + unsorted + "\" is not sorted by coordinate (record 2); its pileup ends there."},
        {{dir_.file("cut.bam")}, "damaged or truncated record"},
        {{"-f", dir_.file("nofasta.fa"), a_}, ""},
        {{"-g"}, "Usage: alnkit mpileup"},
        {{"-b", dir_.file("nolist")}, dir_.file("nolist") + ": No such file or directory"},
    };
    for (const failure_case& c : cases) {
        run_result r = run_alnkit([&] {
            std::vector<std::string> args = {"mpileup"};
            args.insert(args.end(), c.args.begin(), c.args.end());
            return args;
        }());
        EXPECT_EQ(r.status, 1) << c.args.back() << "\n" << r.err;
        std::vector<std::string> lines = split(r.err, '\n');
        ASSERT_FALSE(lines.empty()) << c.args.back();
        if (c.args[0] == "-g") EXPECT_NE(r.err.find(c.last_line), std::string::npos) << r.err;
        else EXPECT_NE(lines.back().find(c.last_line), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("memory leak"), std::string::npos) << r.err;
    }
    // Output read before an unsorted record or the damage stays.
    EXPECT_EQ(run_alnkit({"mpileup", unsorted}).out, "chr1\t5\tN\t1\t^?A\tI\nchr1\t6\tN\t1\tC$\tI\n");
    EXPECT_GT(run_alnkit({"mpileup", dir_.file("cut.bam")}).out.size(), 50U);
    ASSERT_EQ(run_alnkit({"index", a_}).status, 0);
    run_result r = run_alnkit({"mpileup", "-r", "chr9", a_});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(split(r.err, '\n').back(), "[mpileup] malformatted region or wrong seqname for 1-th input.");
    // The usage text with no argument at all.
    r = run_alnkit({"mpileup"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("\nUsage: alnkit mpileup [options] in1.bam [in2.bam [...]]\n\nInput options:\n\n", 0), 0U);
    EXPECT_NE(r.err.find("       -d INT       max per-BAM depth to avoid excessive memory usage [250]\n"), std::string::npos);
    EXPECT_NE(r.err.find("       -F FLOAT     minimum fraction of gapped reads for candidates [0.002]\n"), std::string::npos);
    // Failed writes, text and BCF.
    for (const char* mode : {"", "-g"}) {
        run_result full = run({"/bin/sh", "-c", std::string(ALNKIT_PATH) + " mpileup " + mode + " " + a_ + " -R > /dev/full"});
        EXPECT_EQ(full.status, 1) << mode;
        EXPECT_EQ(split(full.err, '\n').back(), "[mpileup] fail to write to standard output.") << full.err;
    }
}

TEST_F(MpileupCrafted, FileListsReadWholeLines) {
    // A path longer than 1023 bytes, surrounded by blank lines and trailing blanks.
    std::string deep = dir_.path();
    while (deep.size() < 1100) {
        deep += "/" + std::string(100, 'd');
        ASSERT_EQ(run({"/bin/mkdir", "-p", deep}).status, 0);
    }
    const std::string long_path = deep + "/a.bam";
    ASSERT_GT(long_path.size(), 1023U);
    write_file(long_path, read_file(a_));
    write_file(dir_.file("list"), "\n" + long_path + " \t\n\n" + b_ + "\n");
    run_result listed = mpileup({"-f", fa_, "-b", dir_.file("list")});
    ASSERT_EQ(listed.status, 0) << listed.err;
    EXPECT_EQ(listed.out, mpileup({"-f", fa_, a_, b_}).out);

    write_file(dir_.file("empty"), "\n  \n");
    run_result r = mpileup({"-b", dir_.file("empty")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "No files read from " + dir_.file("empty") + "\n");
}

TEST_F(MpileupCrafted, DepthCapsAreWorkedOutIn64Bits) {
    struct cap_case {
        std::vector<std::string> args;
        std::string err;
    };
    for (const cap_case& c : {
             cap_case{{"-d", "250", a_}, "<mpileup> Set max per-file depth to 8000\n"},
             cap_case{{"-d", "3000", a_, b_}, "<mpileup> Set max per-file depth to 4000\n"},
             cap_case{{"-d", "4000", a_, b_}, ""},
             cap_case{{"-d", "600000", a_, b_}, "(mpileup) Max depth is above 1M. Potential memory hog!\n"},
             // 2 x 1.5e9 wraps around in 32 bits.
             cap_case{{"-d", "1500000000", a_, b_}, "(mpileup) Max depth is above 1M. Potential memory hog!\n"},
         }) {
        run_result r = mpileup(c.args);
        EXPECT_EQ(r.status, 0);
        const std::string head =
            c.args.size() == 3 ? "[mpileup] 1 samples in 1 input files\n" : "[mpileup] 2 samples in 2 input files\n";
        EXPECT_EQ(r.err, head + c.err) << c.args[1];
    }
}

// ---- accuracy on generated diploid reads ----

// A variant as (reference, alternative) with the common suffix removed, so
// that "TCC">"TC" and "TC">"T" compare equal; the reference allele is "".
std::string trimmed_allele(const std::string& ref, const std::string& alt) {
    if (ref == alt) return "";
    size_t r = ref.size(), a = alt.size();
    while (r > 1 && a > 1 && ref[r - 1] == alt[a - 1]) --r, --a;
    return ref.substr(0, r) + ">" + alt.substr(0, a);
}

// The alleles of the best-PL genotype of the single sample, ordered.
std::pair<std::string, std::string> best_genotype(const bcf_record& r) {
    std::vector<std::string> alleles = {r.ref};
    for (const auto& a : split(r.alt, ',')) alleles.push_back(a);
    int best = 0, best_x = 0, best_y = 0;
    for (int x = 0, k = 0; x < r.n_alleles; ++x)
        for (int y = 0; y <= x; ++y, ++k)
            if (r.pl[0][static_cast<size_t>(k)] < r.pl[0][static_cast<size_t>(best)]) best = k, best_x = x, best_y = y;
    std::string a = trimmed_allele(r.ref, alleles[static_cast<size_t>(best_y)]);
    std::string b = trimmed_allele(r.ref, alleles[static_cast<size_t>(best_x)]);
    if (b < a) std::swap(a, b);
    return {a, b};
}

int info_dp(const std::string& info) {
    const size_t at = info.find("DP=");
    return at == std::string::npos ? -1 : std::stoi(info.substr(at + 3));
}

TEST(MpileupAccuracy, BestGenotypesMatchThePlantedVariantsWithAndWithoutBaq) {
    scratch_dir dir;
    const run_result g = run({ALNSIM_PATH, "--diploid", "--seed", "11", "--refs", "2", "--ref-len", "150000", "--depth", "15",
                              "--truth", dir.file("t.tsv"), "--fasta", dir.file("r.fa"), "--sam", dir.file("r.sam")});
    ASSERT_EQ(g.status, 0) << g.err;
    const std::string sam = read_file(dir.file("r.sam"));
    ASSERT_EQ(run_alnkit({"view", "-bS", "-o", dir.file("r.bam"), dir.file("r.sam")}).status, 0);

    // Covered columns, counted from the SAM text: every reference position a
    // mapped read's M, D, N, = or X covers.
    std::map<std::string, std::vector<bool>> covered;
    for (const auto& line : split(sam, '\n')) {
        const auto f = split(line, '\t');
        if (line[0] == '@' || (std::stoi(f[1]) & 0x704) || f[5] == "*") continue;
        std::vector<bool>& cov = covered[f[2]];
        size_t ref = static_cast<size_t>(std::stol(f[3]) - 1);
        for (size_t i = 0; i < f[5].size();) {
            size_t used = 0;
            const size_t len = std::stoul(f[5].substr(i), &used);
            const char op = f[5][i + used];
            i += used + 1;
            if (std::string("MDN=X").find(op) == std::string::npos) continue;
            if (cov.size() < ref + len) cov.resize(ref + len);
            for (size_t k = 0; k < len; ++k) cov[ref + k] = true;
            ref += len;
        }
    }
    long n_columns = 0;
    for (const auto& [chr, cov] : covered) n_columns += std::count(cov.begin(), cov.end(), true);

    struct truth_t {
        std::string chr;
        int pos;  // 0-based
        std::string allele, gt;
        bool is_snp;
    };
    std::vector<truth_t> truth;
    for (const auto& line : split(read_file(dir.file("t.tsv")), '\n')) {
        const auto f = split(line, '\t');
        ASSERT_EQ(f.size(), 5U);
        truth.push_back({f[0], std::stoi(f[1]) - 1, trimmed_allele(f[2], f[3]), f[4], f[2].size() == f[3].size()});
    }

    for (const bool baq : {true, false}) {
        std::vector<std::string> args = {"mpileup", "-g", "-f", dir.file("r.fa"), dir.file("r.bam")};
        if (!baq) args.insert(args.begin() + 1, "-B");
        const run_result r = run_alnkit(args);
        ASSERT_EQ(r.status, 0) << r.err;
        const bcf_file f = decode_bcf_output(dir, r.out);
        std::map<std::pair<std::string, int>, const bcf_record*> snp, indel;
        long n_indel = 0;
        for (const bcf_record& rec : f.records) {
            const bool is_indel = rec.info.rfind("INDEL;", 0) == 0;
            n_indel += is_indel;
            (is_indel ? indel : snp)[{f.refs[static_cast<size_t>(rec.tid)], rec.pos}] = &rec;
        }
        // One SNP record per covered column, and nothing else but indel records.
        EXPECT_EQ(static_cast<long>(snp.size()), n_columns);
        EXPECT_EQ(static_cast<long>(f.records.size()), n_columns + n_indel);

        int snp_total = 0, snp_right = 0, indel_total = 0, indel_right = 0;
        for (const truth_t& t : truth) {
            const auto s = snp.find({t.chr, t.pos});
            if (s == snp.end() || info_dp(s->second->info) < 10) continue;
            const std::pair<std::string, std::string> want =
                t.gt == "1|1" ? std::pair{t.allele, t.allele} : std::pair{std::string(), t.allele};
            const auto& calls = t.is_snp ? snp : indel;
            const auto c = calls.find({t.chr, t.pos});
            const bool right = c != calls.end() && best_genotype(*c->second) == want;
            (t.is_snp ? snp_total : indel_total) += 1;
            (t.is_snp ? snp_right : indel_right) += right;
        }
        std::printf(
            "mpileup %s: SNPs %d/%d (%.2f%%), indels %d/%d (%.2f%%) best-PL genotypes right at depth >= 10; %ld records\n",
            baq ? "with BAQ" : "without BAQ", snp_right, snp_total, 100.0 * snp_right / std::max(snp_total, 1), indel_right,
            indel_total, 100.0 * indel_right / std::max(indel_total, 1), static_cast<long>(f.records.size()));
        EXPECT_GT(snp_total, 300);
        EXPECT_GT(indel_total, 80);
        EXPECT_GE(snp_right, snp_total * 98 / 100);
        EXPECT_GE(indel_right, indel_total * 90 / 100);
    }
}

}  // namespace
