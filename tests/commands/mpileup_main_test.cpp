// mpileup: text pileup of crafted reads against hand-worked lines, regions
// and position lists against lines cut from whole runs, read groups, BCF
// records decoded back, failures, and genotype accuracy on diploid reads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "common/bam_file_util.h"
#include "common/bcf_decode.h"
#include "common/test_util.h"

using namespace test_util;

namespace {

// chr1 stores a lower-case base at 12; chr2 starts with two Ns.
const std::string ref_fa = ">chr1\nACGTACGTACGgTTAACCGG\nATATCCGGAATTCGCGATAT\n>chr2\nNNACGT\n";
const std::string sq = "@SQ\tSN:chr1\tLN:40\n@SQ\tSN:chr2\tLN:6\n";

std::string sam_line(const std::string& name, int flag, const std::string& chr, int pos, int mapq, const std::string& cigar,
                     const std::string& seq, const std::string& qual, const std::string& tags = "") {
    return name + "\t" + std::to_string(flag) + "\t" + chr + "\t" + std::to_string(pos) + "\t" + std::to_string(mapq) + "\t" +
           cigar + "\t*\t0\t0\t" + seq + "\t" + qual + (tags.empty() ? "" : "\t" + tags) + "\n";
}

// Read starts with their mapping quality (one above 93), ends, both strands,
// a mismatch, a deletion, an insertion after a soft clip, a reference skip,
// an N read base, a lower-case reference base, an anomalous pair, a low
// mapping quality and an unmapped read.
const std::string crafted_reads =
    sam_line("rA", 0, "chr1", 1, 30, "4M", "ACGT", "IIII") + sam_line("rB", 16, "chr1", 2, 40, "2M2D2M", "CTCG", "ABCD") +
    sam_line("rC", 0, "chr1", 3, 20, "1S2M2I1M", "TGTCCA", "!#%&'(") + sam_line("rD", 16, "chr1", 6, 100, "1M2N1M", "NA", "5~") +
    sam_line("rE", 1, "chr1", 10, 50, "2M", "CG", "II") + sam_line("rF", 3, "chr1", 10, 5, "3M", "AGG", "+,-") +
    sam_line("rG", 0, "chr2", 1, 60, "3M", "NAT", "III") + sam_line("rH", 4, "*", 0, 0, "*", "ACGT", "IIII");

// Worked out by hand for the reads above, with the reference and without BAQ.
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

// The last non-empty line of `text`.
std::string last_line(const std::string& text) {
    const std::vector<std::string> lines = split(text, '\n');
    for (auto l = lines.rbegin(); l != lines.rend(); ++l)
        if (!l->empty()) return *l;
    return "";
}

class Mpileup : public ::testing::Test {
protected:
    void SetUp() override {
        fa_ = dir_.file("ref.fa");
        write_file(fa_, ref_fa);
        ASSERT_EQ(run_alnkit({"faidx", fa_}).status, 0);
        a_ = bam_from_sam(dir_, "a", "@HD\tVN:1.0\tSO:coordinate\n" + sq + crafted_reads);
        // A forward reference skip, and a read that only this file has.
        b_ = bam_from_sam(
            dir_, "b",
            sq + sam_line("s1", 16, "chr1", 4, 70, "2M", "TA", "II") + sam_line("s2", 0, "chr1", 30, 10, "1M1N1M", "AT", "II"));
    }
    // Runs mpileup; in `args` "F" is the reference, "A" and "B" the files.
    run_result mp(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {"mpileup"};
        for (const std::string& a : args) argv.push_back(a == "F" ? fa_ : a == "A" ? a_ : a == "B" ? b_ : a);
        return run_alnkit(argv);
    }
    bcf_file bcf(const std::vector<std::string>& args, int want_status = 0) {
        run_result r = mp(args);
        EXPECT_EQ(r.status, want_status) << r.err;
        err_ = r.err;
        return r.status == 0 ? decode_bcf_output(dir_, r.out) : bcf_file{};
    }
    scratch_dir dir_;
    std::string fa_, a_, b_, err_;
};

TEST_F(Mpileup, TextLinesEqualTheHandWorkedOnes) {
    struct text_case {
        std::vector<std::string> args;
        std::map<size_t, std::string> lines;  // those that differ from crafted_lines
        size_t n_lines;
        bool only_listed = false;  // the other lines are not checked
    };
    const text_case cases[] = {
        {{"-B", "-f", "F", "A"}, {}, 15},
        {{"-B", "-f", "F", "-Q", "40", "A"}, {}, 15},  // -Q only concerns calling
        // Mapping qualities (100 capped at '~') and read positions.
        {{"-B", "-f", "F", "-s", "-O", "A"},
         {{0, crafted_lines[0] + "\t?\t1"}, {2, crafted_lines[2] + "\t?I5\t3,2,2"}, {5, crafted_lines[5] + "\tI~\t3,1"}},
         15,
         true},
        // The anomalous pair with -A, before the properly paired read.
        {{"-B", "-f", "F", "-A", "A"}, {{9, "chr1\t10\tC\t2\t^S.^&A\tI+"}, {10, "chr1\t11\tG\t2\t.$.\tI,"}}, 15},
        // Mapping quality 5 is below -q 10, unless capping (-C 50 with a
        // reference) keeps the read, and with it the anomalous pair: a capped
        // read skips both tests.
        {{"-B", "-f", "F", "-q", "10", "A"}, {{9, crafted_lines[12]}, {10, crafted_lines[13]}, {11, crafted_lines[14]}}, 12},
        // Capping also lowers rD's 100 to 50, rB's 40 to 36 and rG's 60 to
        // 34 (the same as in -r runs: reads read ahead onto a reference are
        // capped too).
        {{"-B", "-f", "F", "-q", "10", "-C", "50", "A"},
         {{1, "chr1\t2\tC\t2\t.^E,\tIA"},
          {5, "chr1\t6\tC\t2\t,^Sn\tC5"},
          {9, "chr1\t10\tC\t2\t^S.^&A\tI+"},
          {10, "chr1\t11\tG\t2\t.$.\tI,"},
          {12, "chr2\t1\tN\t1\t^C.\tI"}},
         15},
        // Illumina-1.3+ qualities: 'I' (40) becomes 9, '~' (93) 62.
        {{"-B", "-f", "F", "-6", "A"}, {{0, "chr1\t1\tA\t1\t^?.\t*"}, {7, "chr1\t8\tT\t1\t<\t_"}}, 15, true},
        // Without a reference only '=' matches, deleted bases are N, nothing is capped.
        {{"-B", "-q", "10", "-C", "50", "A"},
         {{0, "chr1\t1\tN\t1\t^?A\tI"}, {2, "chr1\t3\tN\t3\tGt-2nn^5G\tIB#"}, {9, "chr2\t1\tN\t1\t^]N\tI"}},
         12,
         true},
        // Two files: a count and columns each, "*" where a file has no reads.
        {{"-B", "-f", "F", "-s", "-O", "A", "B"},
         {{0, crafted_lines[0] + "\t?\t1\t0\t*\t*\t*\t*"},
          {3, crafted_lines[3] + "\t?I5\t4,3,3\t1\t^g,\tI\tg\t1"},
          {4, crafted_lines[4] + "\tI5\t3,6\t1\t,$\tI\tg\t2"},
          {12, "chr1\t30\tA\t0\t*\t*\t*\t*\t1\t^+.\tI\t+\t1"},
          {13, "chr1\t31\tT\t0\t*\t*\t*\t*\t1\t>\tI\t+\t2"},
          {14, "chr1\t32\tT\t0\t*\t*\t*\t*\t1\t.$\tI\t+\t2"}},
         18,
         true},
    };
    for (const text_case& c : cases) {
        run_result r = mp(c.args);
        ASSERT_EQ(r.status, 0) << r.err;
        const std::vector<std::string> got = split(r.out, '\n');
        ASSERT_EQ(got.size(), c.n_lines) << c.args[3] << "\n" << r.out;
        for (size_t i = 0; i < got.size(); ++i) {
            const auto line = c.lines.find(i);
            if (line != c.lines.end()) {
                EXPECT_EQ(got[i], line->second) << c.args[3];
            } else if (!c.only_listed) {
                EXPECT_EQ(got[i], crafted_lines[i]) << c.args[3];
            }
        }
    }
}

TEST_F(Mpileup, BaqLowersQualitiesAsCalmdDoes) {
    // With a region the reference is there before the first read, so every
    // read gets BAQ: the same text as the reads capped by calmd, without BAQ.
    ASSERT_EQ(run_alnkit({"index", a_}).status, 0);
    for (const std::string ext : {"", "E"}) {
        run_result md = run_alnkit({"calmd", "-Arb" + ext, a_, fa_});
        const std::string capped = dir_.file("capped" + ext + ".bam");
        write_file(capped, md.out);
        ASSERT_EQ(run_alnkit({"index", capped}).status, 0);
        const std::string baq = mp({"-r", "chr1", "-f", "F", ext.empty() ? "-a" : "-E", "A"}).out;
        EXPECT_EQ(baq, mp({"-B", "-r", "chr1", "-f", "F", capped}).out) << ext;
        EXPECT_NE(baq, mp({"-B", "-r", "chr1", "-f", "F", "A"}).out) << ext;
    }
}

// A FASTA in ordinary gzip reads only forwards.  One file reaches chr3 while
// the other still has chr2 ahead: reading ahead onto chr3 must not leave the
// columns of chr2 unable to fetch their reference.
TEST(MpileupGzipReference, FilesOnDifferentNextReferencesStillRun) {
    scratch_dir dir;
    std::string fa, sq3;
    for (int t = 1; t <= 3; ++t) {
        std::string seq;
        for (int i = 0; i < 3000; ++i) seq += "ACGTTGCA"[(i * 7 + t) % 8];
        fa += ">chr" + std::to_string(t) + "\n" + seq + "\n";
        sq3 += "@SQ\tSN:chr" + std::to_string(t) + "\tLN:3000\n";
    }
    test_util::write_gzip_file(dir.file("ref.fa.gz"), fa);
    write_file(dir.file("ref.fa"), fa);
    const std::string read = "ACGTTGCAAC";
    auto reads_on = [&](const std::string& file, std::initializer_list<const char*> chrs) {
        std::string sam = sq3;
        for (const char* chr : chrs)
            for (int pos : {1, 5, 900, 2990}) sam += sam_line(numbered(chr, pos), 0, chr, pos, 40, "10M", read, "IIIIIIIIII");
        return bam_from_sam(dir, file, sam);
    };
    const std::string a = reads_on("a", {"chr1", "chr3"}), b = reads_on("b", {"chr1", "chr2"});
    for (const std::string ref : {"ref.fa.gz", "ref.fa"}) ASSERT_EQ(run_alnkit({"faidx", dir.file(ref)}).status, 0) << ref;
    run_result gz = run_alnkit({"mpileup", "-f", dir.file("ref.fa.gz"), a, b});
    EXPECT_EQ(gz.status, 0) << gz.err;
    EXPECT_EQ(gz.err.find("fail"), std::string::npos) << gz.err;
    run_result plain = run_alnkit({"mpileup", "-f", dir.file("ref.fa"), a, b});
    ASSERT_EQ(plain.status, 0) << plain.err;
    // Same columns and reference bases (qualities may differ: reads read
    // ahead get no BAQ from a forward-only FASTA).
    auto columns = [](const std::string& out) {
        std::string s;
        for (const std::string& line : split(out, '\n'))
            s += line.substr(0, line.find('\t', line.find('\t', line.find('\t') + 1) + 1)) + "\n";
        return s;
    };
    EXPECT_EQ(columns(gz.out), columns(plain.out));
    EXPECT_EQ(split(plain.out, '\n').size(), 102u);
}

TEST_F(Mpileup, PositionListsAndBedKeepExactlyTheirPositions) {
    write_file(dir_.file("pos.txt"), "chr1 3\nchr1 7\nchr2 2\nchr3 1\n");
    write_file(dir_.file("reg.bed"), "chr1\t4\t6\nchr2\t2\t10\n");
    for (const auto& [file, lines] : std::map<std::string, std::vector<int>>{{"pos.txt", {2, 6, 13}}, {"reg.bed", {4, 5, 14}}}) {
        std::string want;
        for (int i : lines) want += crafted_lines[static_cast<size_t>(i)] + "\n";
        EXPECT_EQ(mp({"-B", "-f", "F", "-l", dir_.file(file), "A"}).out, want) << file;
    }
}

TEST_F(Mpileup, FailuresAndMessages) {
    const std::string big = make_bam(dir_, "big", 5, 3000, {"--refs", "2", "--ref-len", "2000", "--sorted"});
    write_file(dir_.file("cut.bam"), read_file(big).substr(0, read_file(big).size() / 2));
    const std::string unsorted = bam_from_sam(
        dir_, "unsorted",
        sq + sam_line("u1", 0, "chr1", 5, 30, "2M", "AC", "II") + sam_line("u2", 0, "chr1", 2, 30, "2M", "CG", "II"));
    const std::string other = bam_from_sam(dir_, "other", "@SQ\tSN:chr1\tLN:40\n@SQ\tSN:chr2\tLN:7\n");
    const std::string renamed = bam_from_sam(dir_, "renamed", "@SQ\tSN:chr1\tLN:40\n@SQ\tSN:chrX\tLN:6\n");
    // A -b list with a path longer than 1023 bytes among blank lines and trailing blanks.
    std::string deep = dir_.path();
    while (deep.size() < 1100) ASSERT_EQ(run({"/bin/mkdir", "-p", deep += "/" + std::string(100, 'd')}).status, 0);
    write_file(deep + "/a.bam", read_file(a_));
    write_file(dir_.file("list"), "\n" + deep + "/a.bam \t\n\n" + b_ + "\n");
    write_file(dir_.file("empty"), "\n  \n");
    ASSERT_EQ(run_alnkit({"index", big}).status, 0);
    const std::string one = "[mpileup] 1 samples in 1 input files\n", two = "[mpileup] 2 samples in 2 input files\n";
    struct message_case {
        std::vector<std::string> args;
        int status;
        std::string err;  // all of standard error, or with a leading '~' a part of its last line
    };
    const message_case cases[] = {
        {{"A"}, 0, one + "<mpileup> Set max per-file depth to 8000\n"},
        {{"-d", "3000", "A", "B"}, 0, two + "<mpileup> Set max per-file depth to 4000\n"},
        {{"-d", "4000", "A", "B"}, 0, two},
        {{"-d", "600000", "A", "B"}, 0, two + "(mpileup) Max depth is above 1M. Potential memory hog!\n"},
        {{"-d", "1500000000", "A", "B"},
         0,
         two + "(mpileup) Max depth is above 1M. Potential memory hog!\n"},  // wraps in 32 bits
        {{"-d", "8000", "-b", dir_.file("list")}, 0, two},
        {{"-b", dir_.file("empty")}, 1, "No files read from " + dir_.file("empty") + "\n"},
        {{"-b", dir_.file("nolist")}, 1, dir_.file("nolist") + ": No such file or directory\n"},
        {{"-d", "8000", "-G", dir_.file("nofile"), "A"},
         0,
         "(bam_mpileup) Fail to open file " + dir_.file("nofile") + ". Continue anyway.\n" + one},
        {{"-l", dir_.file("none.txt"), "A"}, 1, "[bam_mpileup] fail to read the position list " + dir_.file("none.txt") + ".\n"},
        {{dir_.file("missing.bam")}, 1, "~[mpileup] fail to open \"" + dir_.file("missing.bam") + "\"."},
        {{"-r", "chr1", "A"}, 1, "~[mpileup] fail to load index for 1-th input."},
        {{"-r", "chr9", big}, 1, "~[mpileup] malformatted region or wrong seqname for 1-th input."},
        {{"A", other}, 1, "[mpileup] the reference sequences of \"" + other + "\" differ from those of \"" + a_ + "\".\n"},
        {{"A", renamed}, 1, "[mpileup] the reference sequences of \"" + renamed + "\" differ from those of \"" + a_ + "\".\n"},
        {{unsorted}, 1, "~[mpileup] \"" + unsorted + "\" is not sorted by coordinate (record 2); its pileup ends there."},
        {{dir_.file("cut.bam")}, 1, "~damaged or truncated record"},
        {{"-f", dir_.file("nofasta.fa"), "A"}, 1, "~"},
        {{"-g"}, 1, "~"},  // no input file: the usage
    };
    for (const message_case& c : cases) {
        run_result r = mp(c.args);
        EXPECT_EQ(r.status, c.status) << c.args[0] << "\n" << r.err;
        if (c.err[0] != '~') {
            EXPECT_EQ(r.err, c.err) << c.args[0];
        } else {
            EXPECT_NE(last_line(r.err).find(c.err.substr(1)), std::string::npos) << r.err;
        }
    }
    EXPECT_EQ(mp({"-B", "-f", "F", "-b", dir_.file("list")}).out, mp({"-B", "-f", "F", "A", "B"}).out);
    // Output read before an unsorted record or the damage stays.
    EXPECT_EQ(mp({unsorted}).out, "chr1\t5\tN\t1\t^?A\tI\nchr1\t6\tN\t1\tC$\tI\n");
    EXPECT_GT(mp({dir_.file("cut.bam")}).out.size(), 50U);
    // The usage with no argument at all shows the defaults.
    const std::string usage = mp({}).err;
    EXPECT_EQ(usage.rfind("\nUsage: alnkit mpileup [options] in1.bam [in2.bam [...]]\n\nInput options:\n\n", 0), 0U);
    EXPECT_NE(usage.find("       -d INT       max per-BAM depth to avoid excessive memory usage [250]\n"), std::string::npos);
    EXPECT_NE(usage.find("       -F FLOAT     minimum fraction of gapped reads for candidates [0.002]\n"), std::string::npos);
    EXPECT_EQ(mp({"-g"}).err, usage);
    // A full disk, on text and on BCF, late in the run: one message.
    for (const std::string mode : {"-B", "-g"}) {
        run_result r = run_file_limited({ALNKIT_PATH, "mpileup", mode, "-R", big}, 20000, dir_.file("out"));
        EXPECT_EQ(r.status, 1) << mode;
        EXPECT_EQ(r.err.substr(r.err.find('\n', r.err.find('\n') + 1) + 1), "[mpileup] fail to write to standard output.\n")
            << r.err;
        EXPECT_LE(read_file(dir_.file("out")).size(), 20000U);
    }
}

// Generated files: region runs and read-group exclusion against whole runs.
TEST(MpileupGenerated, RegionsAndExcludedGroupsEqualCutsOfWholeRuns) {
    scratch_dir dir;
    const std::string fa = dir.file("ref.fa");
    const std::vector<std::string> bams = {
        make_bam(dir, "g0", 60, 900, {"--refs", "3", "--ref-len", "3000", "--sorted", "--read-len", "60", "--fasta", fa})};
    // The second file: every third record of the first, same references; the
    // third: the first without the reads of group grpA.
    std::string second, third;
    int n = 0;
    for (const auto& line : split(read_file(dir.file("g0.sam")), '\n')) {
        if (line[0] == '@' || n++ % 3 == 0) second += line + "\n";
        if (line.find("RG:Z:grpA") == std::string::npos) third += line + "\n";
    }
    const std::vector<std::string> all = {bams[0], bam_from_sam(dir, "g1", second)};
    for (const std::string& bam : all) ASSERT_EQ(run_alnkit({"index", bam}).status, 0);
    for (const std::vector<std::string>& extra :
         {std::vector<std::string>{"-B"}, std::vector<std::string>{"-f", fa, "-s", "-O"}}) {
        std::vector<std::string> args = {"mpileup"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.insert(args.end(), all.begin(), all.end());
        const run_result whole = run_alnkit(args);
        ASSERT_GT(whole.out.size(), 10000U) << whole.err;
        struct region_case {
            std::string reg, chr;
            int beg, end;  // 1-based, inclusive
        };
        for (const region_case& c :
             {region_case{"chr1:1-200", "chr1", 1, 200}, region_case{"chr2:1,001-1,400", "chr2", 1001, 1400},
              region_case{"chr3", "chr3", 1, 1 << 29}, region_case{"chr2:2001-5000", "chr2", 2001, 5000}}) {
            std::vector<std::string> reg_args = args;
            reg_args.insert(reg_args.begin() + 1, {"-r", c.reg});
            std::string want;
            for (const auto& line : split(whole.out, '\n')) {
                const auto f = split(line, '\t');
                if (f[0] == c.chr && std::stoi(f[1]) >= c.beg && std::stoi(f[1]) <= c.end) want += line + "\n";
            }
            EXPECT_FALSE(want.empty()) << c.reg;
            EXPECT_EQ(run_alnkit(reg_args).out, want) << c.reg;
        }
    }
    // Pieces that cover the references, joined, give the whole run with BAQ
    // on, text and BCF: the first reads of each reference, read ahead of
    // the column loop, get BAQ too.
    const std::vector<std::string> pieces = {"chr1:1-1000", "chr1:1001-3000", "chr2:1-1499", "chr2:1500-3000", "chr3"};
    auto flat = [](const bcf_file& f) {  // every decoded field, record by record
        std::string s;
        for (const bcf_record& r : f.records) {
            for (const std::string& field : {std::to_string(r.tid), std::to_string(r.pos), r.ref, r.alt, r.info, r.fmt}) {
                s += field;
                s += ' ';
            }
            for (const auto& pl : r.pl)
                for (int v : pl) {
                    s += std::to_string(v);
                    s += ' ';
                }
            s += '\n';
        }
        return s;
    };
    for (const std::string mode : {"-O", "-g"}) {
        std::vector<std::string> args = {"mpileup", mode, "-R", "-f", fa};
        args.insert(args.end(), all.begin(), all.end());
        const run_result whole = run_alnkit(args);
        ASSERT_EQ(whole.status, 0) << whole.err;
        std::string joined;
        for (const std::string& piece : pieces) {
            std::vector<std::string> reg_args = args;
            reg_args.insert(reg_args.begin() + 1, {"-r", piece});
            const run_result r = run_alnkit(reg_args);
            ASSERT_EQ(r.status, 0) << r.err;
            joined += mode == "-g" ? flat(decode_bcf_output(dir, r.out)) : r.out;
        }
        const std::string want = mode == "-g" ? flat(decode_bcf_output(dir, whole.out)) : whole.out;
        EXPECT_GT(want.size(), 10000U);
        EXPECT_EQ(joined, want) << mode;
        args.insert(args.begin() + 1, "-B");  // BAQ makes a difference here
        const std::string no_baq = run_alnkit(args).out;
        EXPECT_NE(mode == "-g" ? flat(decode_bcf_output(dir, no_baq)) : no_baq, want) << mode;
    }
    write_file(dir.file("groups"), "  grpA\n\tnotthere\n");
    const std::string with_g = run_alnkit({"mpileup", "-G", dir.file("groups"), bams[0]}).out;
    EXPECT_EQ(with_g, run_alnkit({"mpileup", bam_from_sam(dir, "g2", third)}).out);
    EXPECT_NE(with_g, run_alnkit({"mpileup", bams[0]}).out);
}

// ---- BCF ----

// One sample's reads over chr1 21-23 (ATA): `n` reads, the first `n_low`
// with base quality 10 at 22.  With `n_del` reads from 21 that delete one C
// of the CC at 25-26, the `n` plain reads cover 21-28.
std::string site_sam(int n, int n_low, int n_del, const std::string& rg = "") {
    std::string sam;
    const std::string seq = n_del ? "ATATCCGG" : "ATA", qual(seq.size(), 'I');
    for (int i = 0; i < n; ++i)
        sam += sam_line(numbered("r", i), i % 2 ? 16 : 0, "chr1", 21, 60, std::to_string(seq.size()) + "M", seq,
                        i < n_low ? "I+" + qual.substr(2) : qual, rg);
    for (int i = 0; i < n_del; ++i) sam += sam_line(numbered("d", i), 0, "chr1", 21, 60, "4M1D4M", "ATATCGGA", "IIIIIIII", rg);
    return sam;
}

TEST_F(Mpileup, SnpRecordsPerColumnWithTheRequestedFormats) {
    const std::string bam = bam_from_sam(dir_, "s", sq + site_sam(10, 3, 0));
    for (const char* mode : {"-g", "-u"}) {  // -u writes the same records uncompressed
        const bcf_file f = bcf({"-B", mode, "-f", "F", bam});
        EXPECT_EQ(f.refs, (std::vector<std::string>{"chr1", "chr2"}));
        EXPECT_EQ(f.samples, (std::vector<std::string>{bam}));
        EXPECT_EQ(f.text, std::string("##alnkitVersion=") + ALNKIT_VERSION + "\n" + '\0');
        ASSERT_EQ(f.records.size(), 3U) << mode;
        for (size_t i = 0; i < 3; ++i) {
            const bcf_record& r = f.records[i];
            EXPECT_EQ(std::make_tuple(r.tid, r.pos, r.ref, r.alt, r.fmt),
                      std::make_tuple(0, 20 + int(i), std::string(1, "ATA"[i]), std::string("X"), std::string("PL")));
            EXPECT_EQ(r.info.rfind("DP=10;I16=", 0), 0U) << r.info;
            ASSERT_EQ(r.pl.size(), 1U);
            ASSERT_EQ(r.pl[0].size(), 3U);
            EXPECT_EQ(r.pl[0][0], 0);
            EXPECT_GT(r.pl[0][2], r.pl[0][1]);
        }
    }
    // Per-sample DP counts the bases of at least -Q (7 of 10 at 22); -S brings DP too.
    for (const auto& [args, fmt, dp] : {std::make_tuple(std::vector<std::string>{"-D"}, "PL:DP", 7),
                                        std::make_tuple(std::vector<std::string>{"-S"}, "PL:DP:SP", 7),
                                        std::make_tuple(std::vector<std::string>{"-D", "-S", "-Q", "5"}, "PL:DP:SP", 10)}) {
        std::vector<std::string> a = {"-B", "-g", "-f", "F", bam};
        a.insert(a.begin() + 1, args.begin(), args.end());
        const bcf_file f = bcf(a);
        ASSERT_EQ(f.records.size(), 3U);
        EXPECT_EQ(f.records[1].fmt, fmt);
        EXPECT_EQ(f.records[1].dp, (std::vector<int>{dp}));
        EXPECT_EQ(f.records[1].info.rfind("DP=10;", 0), 0U);
        EXPECT_EQ(f.records[1].sp.size(), std::string(fmt).ends_with("SP") ? 1U : 0U);
    }
    const bcf_file f = bcf({"-B", "-g", bam});  // without a reference every base is N
    ASSERT_EQ(f.records.size(), 3U);
    EXPECT_EQ(f.records[0].ref + f.records[0].alt.substr(0, 1), "NA");
}

TEST_F(Mpileup, IndelRecordsFollowTheirSnpRecord) {
    const std::string bam = bam_from_sam(dir_, "d", sq + site_sam(4, 0, 6));
    const bcf_file f = bcf({"-B", "-g", "-f", "F", bam});
    // Columns 21-29 (the deletion's column too), and an indel record at 24.
    std::vector<std::pair<int, bool>> got, want;
    for (const bcf_record& r : f.records) got.emplace_back(r.pos, r.info.rfind("INDEL;", 0) == 0);
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
    // -I; a total depth at the limit (10 reads, -L 10); no reference.  -L 11 keeps it.
    for (const auto& [args, n] :
         std::vector<std::pair<std::vector<std::string>, size_t>>{{{"-B", "-g", "-I", "-f", "F", bam}, 9},
                                                                  {{"-B", "-g", "-L", "10", "-f", "F", bam}, 9},
                                                                  {{"-B", "-g", bam}, 9},
                                                                  {{"-B", "-g", "-L", "11", "-f", "F", bam}, 10}})
        EXPECT_EQ(bcf(args).records.size(), n) << args[2];
}

TEST_F(Mpileup, ReadGroupsMakeTheSamples) {
    const std::string rgs = "@RG\tID:x\tSM:alice\n@RG\tID:y\tSM:bob\n";
    const std::string one = bam_from_sam(dir_, "one", sq + "@RG\tID:x\tSM:alice\n" + site_sam(4, 0, 0, "RG:Z:x"));
    const std::string two = bam_from_sam(dir_, "two", sq + "@RG\tID:z\tSM:alice\n" + site_sam(2, 0, 0, "RG:Z:z"));
    std::string sam = sq + rgs;  // two groups in one file split its reads
    for (int i = 0; i < 5; ++i) sam += sam_line(numbered("r", i), 0, "chr1", 21, 60, "1M", "A", "I", i < 2 ? "RG:Z:x" : "RG:Z:y");
    const std::string split_bam = bam_from_sam(dir_, "split", sam);
    struct group_case {
        std::vector<std::string> args;
        std::vector<std::string> samples;
        std::vector<int> dp;
    };
    for (const group_case& c :
         {group_case{{one, two}, {"alice"}, {6}},  // the same SM in two files: one sample
          group_case{{"-R", one, two}, {one, two}, {4, 2}}, group_case{{split_bam}, {"alice", "bob"}, {2, 3}}}) {
        std::vector<std::string> args = {"-B", "-g", "-D", "-f", "F"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const bcf_file f = bcf(args);
        EXPECT_EQ(f.samples, c.samples);
        ASSERT_FALSE(f.records.empty());
        EXPECT_EQ(f.records[0].dp, c.dp);
    }
    // A group the header lacks, and a read without a group among several
    // (text output does not group reads).
    const std::string stray = bam_from_sam(dir_, "stray", sq + rgs + sam_line("q", 0, "chr1", 21, 60, "1M", "A", "I", "RG:Z:w"));
    bcf({"-g", stray}, 1);
    EXPECT_EQ(last_line(err_), "[group_smpl] Read group w used in file " + stray +
                                   " but absent from the header or an alignment missing read group.");
    const std::string bare = bam_from_sam(dir_, "bare", sq + rgs + sam_line("q", 0, "chr1", 21, 60, "1M", "A", "I"));
    bcf({"-g", bare}, 1);
    EXPECT_EQ(last_line(err_), "[group_smpl] A read without read group in file " + bare + " belongs to no sample.");
    EXPECT_EQ(mp({bare}).status, 0);
}

// ---- accuracy on generated diploid reads ----

// A variant with the common suffix removed, so that "TCC">"TC" and "TC">"T"
// compare equal; the reference allele is "".
std::string trimmed_allele(const std::string& ref, const std::string& alt) {
    if (ref == alt) return "";
    size_t r = ref.size(), a = alt.size();
    while (r > 1 && a > 1 && ref[r - 1] == alt[a - 1]) --r, --a;
    return ref.substr(0, r) + ">" + alt.substr(0, a);
}

// The alleles of the single sample's best-PL genotype, ordered.
std::pair<std::string, std::string> best_genotype(const bcf_record& r) {
    std::vector<std::string> alleles = split(r.alt, ',');
    alleles.insert(alleles.begin(), r.ref);
    size_t best = 0, best_x = 0, best_y = 0;
    for (size_t x = 0, k = 0; x < alleles.size(); ++x)
        for (size_t y = 0; y <= x; ++y, ++k)
            if (r.pl[0][k] < r.pl[0][best]) best = k, best_x = x, best_y = y;
    std::string a = trimmed_allele(r.ref, alleles[best_y]), b = trimmed_allele(r.ref, alleles[best_x]);
    return a < b ? std::pair{a, b} : std::pair{b, a};
}

TEST(MpileupAccuracy, BestGenotypesMatchThePlantedVariantsWithAndWithoutBaq) {
    scratch_dir dir;
    const run_result g = run({ALNSIM_PATH, "--diploid", "--seed", "11", "--refs", "2", "--ref-len", "150000", "--depth", "15",
                              "--truth", dir.file("t.tsv"), "--fasta", dir.file("r.fa"), "--sam", dir.file("r.sam")});
    ASSERT_EQ(g.status, 0) << g.err;
    ASSERT_EQ(run_alnkit({"view", "-bS", "-o", dir.file("r.bam"), dir.file("r.sam")}).status, 0);
    // Covered columns, from the SAM text: positions under a mapped read's M, D, N, = or X.
    std::map<std::string, std::vector<bool>> covered;
    for (const auto& line : split(read_file(dir.file("r.sam")), '\n')) {
        const auto f = split(line, '\t');
        if (line[0] == '@' || (std::stoi(f[1]) & 0x704) || f[5] == "*") continue;
        std::vector<bool>& cov = covered[f[2]];
        size_t ref = std::stoul(f[3]) - 1, used = 0;
        for (size_t i = 0; i < f[5].size(); i += used + 1) {
            const size_t len = std::stoul(f[5].substr(i), &used);
            if (std::string("MDN=X").find(f[5][i + used]) == std::string::npos) continue;
            cov.resize(std::max(cov.size(), ref + len));
            std::fill_n(cov.begin() + static_cast<long>(ref), len, true);
            ref += len;
        }
    }
    long n_columns = 0;
    for (const auto& [chr, cov] : covered) n_columns += std::count(cov.begin(), cov.end(), true);

    for (const bool baq : {true, false}) {
        const run_result r = run_alnkit({"mpileup", baq ? "-a" : "-B", "-g", "-f", dir.file("r.fa"), dir.file("r.bam")});
        ASSERT_EQ(r.status, 0) << r.err;
        const bcf_file f = decode_bcf_output(dir, r.out);
        std::map<std::pair<std::string, int>, const bcf_record*> sites[2];  // SNP, indel records
        for (const bcf_record& rec : f.records)
            sites[rec.info.rfind("INDEL;", 0) == 0][{f.refs[size_t(rec.tid)], rec.pos}] = &rec;
        // One SNP record per covered column, and besides them only indel records.
        EXPECT_EQ(static_cast<long>(sites[0].size()), n_columns);
        EXPECT_EQ(f.records.size(), sites[0].size() + sites[1].size());
        int total[2] = {}, right[2] = {};
        for (const auto& line : split(read_file(dir.file("t.tsv")), '\n')) {
            const auto t = split(line, '\t');  // chrom, 1-based pos, ref, alt, genotype
            const std::pair<std::string, int> at{t[0], std::stoi(t[1]) - 1};
            const auto snp = sites[0].find(at);
            if (snp == sites[0].end() || std::stoi(snp->second->info.substr(3)) < 10) continue;  // INFO starts DP=
            const int is_indel = t[2].size() != t[3].size();
            const std::string alt = trimmed_allele(t[2], t[3]);
            const auto call = sites[is_indel].find(at);
            ++total[is_indel];
            right[is_indel] +=
                call != sites[is_indel].end() &&
                best_genotype(*call->second) == (t[4] == "1|1" ? std::pair{alt, alt} : std::pair{std::string(), alt});
        }
        std::printf("mpileup %s: best-PL genotypes right at depth >= 10: SNPs %d/%d, indels %d/%d; %zu records\n",
                    baq ? "with BAQ" : "without BAQ", right[0], total[0], right[1], total[1], f.records.size());
        EXPECT_GT(total[0], 300);
        EXPECT_GT(total[1], 80);
        EXPECT_GE(right[0], total[0] * 98 / 100);
        EXPECT_GE(right[1], total[1] * 90 / 100);
    }
}

}  // namespace
