// phase through the command line: a crafted pair of linked sites and a
// singleton worked out by hand (report, files and the random choices of the
// split), the chimera rules, the position list, the options and failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "call/errmod.h"
#include "common/bam_file_util.h"
#include "common/test_util.h"

using namespace test_util;

namespace {

const std::string report_header =
    "CC\nCC\tDescriptions:\nCC\nCC\t  CC      comments\nCC\t  PS      start of a phase set\nCC\t  FL      filtered region\n"
    "CC\t  M[012]  markers; 0 for singletons, 1 for phased and 2 for filtered\nCC\t  EV      supporting reads; SAM format\n"
    "CC\t  //      end of a phase set\nCC\nCC\tFormats of PS, FL and M[012] lines (1-based coordinates):\nCC\n"
    "CC\t  PS  chr  phaseSetStart  phaseSetEnd\nCC\t  FL  chr  filterStart    filterEnd\n"
    "CC\t  M?  chr  PS  pos  allele0  allele1  hetIndex  #supports0  #errors0  #supp1  #err1\nCC\nCC\n";

// A 20-base read of quality 40 at 1-based `pos`, all A but `base` at offset 10.
std::string read20(const std::string& name, int flag, const std::string& ref, int pos, char base) {
    std::string seq(20, 'A');
    seq[10] = base;
    std::string line = name;
    line.append("\t").append(std::to_string(flag)).append("\t").append(ref).append("\t").append(std::to_string(pos));
    line.append("\t60\t20M\t*\t0\t0\t").append(seq).append("\t").append(std::string(20, 'I')).append("\n");
    return line;
}

std::string numbered(char prefix, int i) {
    std::string name(1, prefix);
    return name.append(std::to_string(i));
}

// chrT: sites 101 (A/C) and 151 (G/T) linked by six pairs, three of each
// haplotype (A+G and C+T), and one pair that shows A and T; a singleton site
// 401 (A/G) of six single reads.  chrU: reads without any site.  Plus an
// unmapped and a duplicate read, which no output gets.
std::string crafted_sam() {
    std::string sam = "@SQ\tSN:chrT\tLN:1000\n@SQ\tSN:chrU\tLN:1000\n";
    const char* first[7] = {"A", "A", "A", "C", "C", "C", "A"};
    const char* second[7] = {"G", "G", "G", "T", "T", "T", "T"};
    const char* names[7] = {"p1", "p2", "p3", "p4", "p5", "p6", "q1"};
    for (int i = 0; i < 7; ++i) sam += read20(names[i], 65, "chrT", 91, first[i][0]);
    sam += read20("dup", 1024, "chrT", 95, 'A');
    for (int i = 0; i < 7; ++i) sam += read20(names[i], 129, "chrT", 141, second[i][0]);
    for (int i = 0; i < 6; ++i) sam += read20(numbered('s', i + 1), 0, "chrT", 391, i < 3 ? 'A' : 'G');
    for (int i = 0; i < 5; ++i) sam += read20(numbered('u', i + 1), 0, "chrU", 10 + 30 * i, 'A');
    sam += "un\t4\t*\t0\t0\t*\t*\t0\t0\tACGT\tIIII\n";
    return sam;
}

const std::string crafted_report = report_header +
                                   "PS\tchrT\t101\t151\n"
                                   "M1\tchrT\t101\t101\tC\tA\t1\t3\t0\t4\t0\n"
                                   "M1\tchrT\t101\t151\tT\tG\t2\t3\t0\t3\t1\n"
                                   "EV\t0\tchrT\t1\t40\t2M\t*\t0\t0\tAG\t*\tYP:i:1\tYF:i:0\tYI:i:2\tYO:i:0\tYS:i:91\n"
                                   "EV\t0\tchrT\t1\t40\t2M\t*\t0\t0\tAG\t*\tYP:i:1\tYF:i:0\tYI:i:2\tYO:i:0\tYS:i:91\n"
                                   "EV\t0\tchrT\t1\t40\t2M\t*\t0\t0\tAG\t*\tYP:i:1\tYF:i:0\tYI:i:2\tYO:i:0\tYS:i:91\n"
                                   "EV\t0\tchrT\t1\t40\t2M\t*\t0\t0\tAT\t*\tYP:i:1\tYF:i:0\tYI:i:1\tYO:i:1\tYS:i:91\n"
                                   "EV\t0\tchrT\t1\t40\t2M\t*\t0\t0\tCT\t*\tYP:i:0\tYF:i:0\tYI:i:2\tYO:i:0\tYS:i:91\n"
                                   "EV\t0\tchrT\t1\t40\t2M\t*\t0\t0\tCT\t*\tYP:i:0\tYF:i:0\tYI:i:2\tYO:i:0\tYS:i:91\n"
                                   "EV\t0\tchrT\t1\t40\t2M\t*\t0\t0\tCT\t*\tYP:i:0\tYF:i:0\tYI:i:2\tYO:i:0\tYS:i:91\n"
                                   "//\n"
                                   "PS\tchrT\t401\t401\n"
                                   "M0\tchrT\t401\t401\tG\tA\t3\t0\t0\t0\t0\n"
                                   "//\n";

// The report with the EV lines of each block in sorted order: their order
// among fragments of one first site is left open.
std::string sorted_ev(const std::string& report) {
    std::vector<std::string> lines = split(report, '\n');
    for (size_t i = 0; i < lines.size();) {
        size_t j = i;
        while (j < lines.size() && lines[j].rfind("EV\t", 0) == 0) ++j;
        std::sort(lines.begin() + static_cast<long>(i), lines.begin() + static_cast<long>(j));
        i = j + 1;
    }
    std::string out;
    for (const auto& l : lines) out += l + "\n";
    return out;
}

// name -> (file index, has ZP:A:Y) for every record of the three outputs.
std::multimap<std::string, std::pair<int, bool>> split_files(const std::string& prefix) {
    std::multimap<std::string, std::pair<int, bool>> m;
    const char* suffix[3] = {".0.bam", ".1.bam", ".chimera.bam"};
    for (int i = 0; i < 3; ++i)
        for (const auto& line : split(view_records(prefix + suffix[i]), '\n'))
            m.emplace(split(line, '\t')[0], std::make_pair(i, line.find("\tZP:A:Y") != std::string::npos));
    return m;
}

class PhaseCrafted : public ::testing::Test {
protected:
    void SetUp() override { bam_ = bam_from_sam(dir_, "crafted", crafted_sam()); }
    scratch_dir dir_;
    std::string bam_;
};

TEST_F(PhaseCrafted, ReportOfLinkedSitesAndASingleton) {
    run_result r = run_alnkit({"phase", bam_});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(sorted_ev(r.out), crafted_report);
    // Standard input, and -e without a list: the same.
    r = run_alnkit({"phase", "-e", "-"}, read_file(bam_));
    EXPECT_EQ(sorted_ev(r.out), crafted_report);
}

TEST_F(PhaseCrafted, ReadsGoToTheirHaplotypeFiles) {
    for (bool ambig_to_chimera : {false, true}) {
        const std::string prefix = dir_.file(ambig_to_chimera ? "a" : "b");
        std::vector<std::string> args = {"phase", "-b", prefix};
        if (ambig_to_chimera) args.push_back("-A");
        args.push_back(bam_);
        run_result r = run_alnkit(args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(sorted_ev(r.out), crafted_report);
        EXPECT_EQ(view_header(prefix + ".0.bam"), view_header(bam_));

        // The draws of the unseeded stream in order: the first block's flip,
        // then one per read of the ambiguous pair q1 unless -A sends it to
        // the chimera file, then the second block's flip.
        uint64_t state = errmod_rand48_seed;
        const bool flip1 = errmod_rand48_next(&state) < 0.5;
        int q1_file[2] = {2, 2};
        if (!ambig_to_chimera)
            for (int& f : q1_file) f = errmod_rand48_next(&state) < 0.5 ? 1 : 0;
        const bool flip2 = errmod_rand48_next(&state) < 0.5;

        std::multimap<std::string, std::pair<int, bool>> want;
        for (const char* n : {"p1", "p2", "p3"})  // A and G: second alleles, phase 1
            for (int i = 0; i < 2; ++i) want.emplace(n, std::make_pair(1 ^ flip1, true));
        for (const char* n : {"p4", "p5", "p6"})
            for (int i = 0; i < 2; ++i) want.emplace(n, std::make_pair(0 ^ flip1, true));
        for (int f : q1_file) want.emplace("q1", std::make_pair(f, false));
        for (const char* n : {"s1", "s2", "s3"}) want.emplace(n, std::make_pair(1 ^ flip2, true));
        for (const char* n : {"s4", "s5", "s6"}) want.emplace(n, std::make_pair(0 ^ flip2, true));

        std::multimap<std::string, std::pair<int, bool>> got = split_files(prefix);
        int chrU = 0;
        for (auto it = got.begin(); it != got.end();) {
            if (it->first[0] == 'u') {  // no site: a random haplotype file, no tag
                EXPECT_LT(it->second.first, 2);
                EXPECT_FALSE(it->second.second);
                ++chrU;
                it = got.erase(it);
            } else {
                ++it;
            }
        }
        EXPECT_EQ(chrU, 5);
        EXPECT_EQ(got, want) << (ambig_to_chimera ? "-A" : "");
    }
}

TEST_F(PhaseCrafted, PositionList) {
    write_file(dir_.file("pos.txt"), "chrT 95\nchrZ 10\nchrT\nchrT\t401 and more\n");
    write_gzip_file(dir_.file("pos.txt.gz"), read_file(dir_.file("pos.txt")));
    // Only the listed positions: 95 is homozygous, yet a site.
    const std::string listed = report_header +
                               "PS\tchrT\t95\t95\nM0\tchrT\t95\t95\tA\tA\t1\t0\t0\t0\t0\n//\n"
                               "PS\tchrT\t401\t401\nM0\tchrT\t401\t401\tG\tA\t2\t0\t0\t0\t0\n//\n";
    for (const char* list : {"pos.txt", "pos.txt.gz"}) {
        run_result r = run_alnkit({"phase", "-e", "-l", dir_.file(list), bam_});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, listed) << list;
    }
    // Listed positions join the called ones: 95 opens the first block; its
    // allele fields have no score, and as every read shows the same allele
    // there, the site is filtered.
    run_result r = run_alnkit({"phase", "-l", dir_.file("pos.txt"), bam_});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("PS\tchrT\t95\t151\nFL\tchrT\t95\t95\nM2\tchrT\t95\t95\tX\tX\t1\t4\t0\t0\t3\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\nM1\tchrT\t95\t101\t"), std::string::npos);
    EXPECT_NE(r.out.find("PS\tchrT\t401\t401\nM0\tchrT\t401\t401\tG\tA\t4\t0\t0\t0\t0\n//\n"), std::string::npos);

    r = run_alnkit({"phase", "-l", dir_.file("none.txt"), bam_});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "[main_phase] fail to read the position list " + dir_.file("none.txt") + ".\n");
    EXPECT_EQ(r.out, "");
}

TEST_F(PhaseCrafted, ThresholdOptions) {
    const std::string singleton = report_header + "PS\tchrT\t401\t401\nM0\tchrT\t401\t401\tG\tA\t1\t0\t0\t0\t0\n//\n";
    struct option_case {
        std::vector<std::string> args;
        std::string want;
    };
    const std::vector<option_case> cases = {
        {{"-D", "6"}, singleton},         // columns of 7 reads are skipped
        {{"-D", "5"}, report_header},     // and those of 6
        {{"-Q", "41"}, report_header},    // no base is good enough
        {{"-q", "1000"}, report_header},  // no site is sure enough
        // Windows of one site count nothing: the path alternates, as ties
        // take the second predecessor, and each pair of alleles splits.
        {{"-k", "1"},
         report_header + "PS\tchrT\t101\t151\n"
                         "M1\tchrT\t101\t101\tA\tC\t1\t1\t0\t3\t3\n"
                         "M1\tchrT\t101\t151\tT\tG\t2\t1\t0\t3\t3\n"
                         "EV\t0\tchrT\t1\t40\t2M\t*\t0\t0\tAG\t*\tYP:i:1\tYF:i:0\tYI:i:1\tYO:i:1\tYS:i:91\n"
                         "EV\t0\tchrT\t1\t40\t2M\t*\t0\t0\tAG\t*\tYP:i:1\tYF:i:0\tYI:i:1\tYO:i:1\tYS:i:91\n"
                         "EV\t0\tchrT\t1\t40\t2M\t*\t0\t0\tAG\t*\tYP:i:1\tYF:i:0\tYI:i:1\tYO:i:1\tYS:i:91\n"
                         "EV\t0\tchrT\t1\t40\t2M\t*\t0\t0\tAT\t*\tYP:i:0\tYF:i:0\tYI:i:2\tYO:i:0\tYS:i:91\n"
                         "EV\t0\tchrT\t1\t40\t2M\t*\t0\t0\tCT\t*\tYP:i:1\tYF:i:0\tYI:i:1\tYO:i:1\tYS:i:91\n"
                         "EV\t0\tchrT\t1\t40\t2M\t*\t0\t0\tCT\t*\tYP:i:1\tYF:i:0\tYI:i:1\tYO:i:1\tYS:i:91\n"
                         "EV\t0\tchrT\t1\t40\t2M\t*\t0\t0\tCT\t*\tYP:i:1\tYF:i:0\tYI:i:1\tYO:i:1\tYS:i:91\n"
                         "//\nPS\tchrT\t401\t401\nM0\tchrT\t401\t401\tG\tA\t3\t0\t0\t0\t0\n//\n"},
        {{"-k", "20"}, crafted_report},
        {{"-F"}, crafted_report},
    };
    for (const option_case& c : cases) {
        std::vector<std::string> args = {"phase"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.push_back(bam_);
        run_result r = run_alnkit(args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(sorted_ev(r.out), c.want) << c.args[0] << " " << (c.args.size() > 1 ? c.args[1] : "");
    }
}

TEST_F(PhaseCrafted, UsageAndFailures) {
    const std::string usage =
        "\nUsage:   alnkit phase [options] <in.bam>\n\n"
        "Options: -k INT    block length [13]\n"
        "         -b STR    prefix of BAMs to output [null]\n"
        "         -q INT    min het phred-LOD [37]\n"
        "         -Q INT    min base quality in het calling [13]\n"
        "         -D INT    max read depth [256]\n"
        "         -F        do not attempt to fix chimeras\n"
        "         -A        drop reads with ambiguous phase\n\n";
    run_result r = run_alnkit({"phase"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, usage);
    for (const char* k : {"0", "21", "-3", "31"}) {
        r = run_alnkit({"phase", "-k", k, bam_});
        EXPECT_EQ(r.status, 1) << k;
        EXPECT_EQ(r.err, usage) << k;
        EXPECT_EQ(r.out, "") << k;
    }

    r = run_alnkit({"phase", "-b", dir_.file("none/x"), bam_});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.ends_with("[main_phase] fail to open " + dir_.file("none/x") + ".0.bam for writing.\n")) << r.err;

    r = run_alnkit({"phase", dir_.file("none.bam")});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.ends_with("[main_phase] fail to open file " + dir_.file("none.bam") + ".\n")) << r.err;

    r = run_file_limited({ALNKIT_PATH, "phase", bam_}, 1 << 30, "/dev/full");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "[main_phase] fail to write \"standard output\".\n");

    // BAM outputs on a full disk.
    r = run_file_limited({ALNKIT_PATH, "phase", "-b", dir_.file("full"), bam_}, 40);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("[main_phase] fail to write file " + dir_.file("full") + ".0.bam.\n"), std::string::npos) << r.err;

    std::string unsorted = bam_from_sam(dir_, "unsorted",
                                        "@SQ\tSN:c\tLN:100\nb\t0\tc\t50\t60\t4M\t*\t0\t0\tACGT\tIIII\n"
                                        "a\t0\tc\t10\t60\t4M\t*\t0\t0\tACGT\tIIII\n");
    r = run_alnkit({"phase", unsorted});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "[bam_pileup_core] the input is not sorted (reads out of order)\n");
}

// Nine sites 10 apart (C or G) under 90-base reads: six reads of each
// haplotype, a chimera of five C then four G, and a read of three C then six
// G that is one site short of being repaired.
std::string chimera_sam() {
    std::string sam = "@SQ\tSN:chrC\tLN:1000\n";
    auto read = [&](const std::string& name, const std::string& alleles) {
        std::string seq(90, 'A');
        for (size_t i = 0; i < alleles.size(); ++i) seq[4 + 10 * i] = alleles[i];
        sam += name + "\t0\tchrC\t101\t60\t90M\t*\t0\t0\t" + seq + "\t" + std::string(90, 'I') + "\n";
    };
    for (int i = 0; i < 6; ++i) read(numbered('c', i), "CCCCCCCCC");
    for (int i = 0; i < 6; ++i) read(numbered('g', i), "GGGGGGGGG");
    read("chimera", "CCCCCGGGG");
    read("near", "CCCGGGGGG");
    return sam;
}

// The sum of the inconsistent counts of the M lines.
int inconsistent_sum(const std::string& report) {
    int sum = 0;
    for (const auto& line : split(report, '\n')) {
        if (line.rfind("M1\t", 0) != 0 && line.rfind("M2\t", 0) != 0) continue;
        auto f = split(line, '\t');
        sum += std::stoi(f[8]) + std::stoi(f[10]);
    }
    return sum;
}

std::string ev_line_with(const std::string& report, const std::string& alleles) {
    for (const auto& line : split(report, '\n'))
        if (line.rfind("EV\t", 0) == 0 && split(line, '\t')[9] == alleles) return line;
    return "";
}

TEST(PhaseChimera, RepairFlipsOneSideAndSendsTheReadsAside) {
    scratch_dir dir;
    const std::string bam = bam_from_sam(dir, "chim", chimera_sam());
    run_result fixed = run_alnkit({"phase", "-b", dir.file("fix"), bam});
    ASSERT_EQ(fixed.status, 0) << fixed.err;
    run_result plain = run_alnkit({"phase", "-F", "-b", dir.file("plain"), bam});
    ASSERT_EQ(plain.status, 0) << plain.err;

    // Repaired: one side flipped, so the chimera shows one allele throughout;
    // its phase and counts are those found before the flip.
    std::vector<std::string> flipped;
    for (const auto& line : split(fixed.out, '\n'))
        if (line.find("\tYF:i:1\t") != std::string::npos) flipped.push_back(split(line, '\t')[9] + split(line, '*')[2]);
    ASSERT_EQ(flipped.size(), 1U) << fixed.out;
    EXPECT_TRUE(flipped[0] == "CCCCCCCCC\tYP:i:1\tYF:i:1\tYI:i:5\tYO:i:4\tYS:i:101" ||
                flipped[0] == "GGGGGGGGG\tYP:i:0\tYF:i:1\tYI:i:5\tYO:i:4\tYS:i:101")
        << flipped[0];
    EXPECT_NE(ev_line_with(fixed.out, "CCCGGGGGG").find("\tYF:i:0\tYI:i:6\tYO:i:3\t"), std::string::npos) << fixed.out;
    EXPECT_NE(ev_line_with(plain.out, "CCCCCGGGG").find("\tYF:i:0\tYI:i:5\tYO:i:4\t"), std::string::npos) << plain.out;
    // The near chimera's three odd sites stay inconsistent; unrepaired, the
    // chimera's four add to them.
    EXPECT_EQ(inconsistent_sum(fixed.out), 3);
    EXPECT_EQ(inconsistent_sum(plain.out), 7);
    EXPECT_EQ(fixed.out.find("FL\t"), std::string::npos);

    std::multimap<std::string, std::pair<int, bool>> fix_files = split_files(dir.file("fix"));
    std::multimap<std::string, std::pair<int, bool>> plain_files = split_files(dir.file("plain"));
    EXPECT_EQ(fix_files.find("chimera")->second, std::make_pair(2, false));
    EXPECT_LT(plain_files.find("chimera")->second.first, 2);
    EXPECT_TRUE(plain_files.find("chimera")->second.second);
    for (auto* files : {&fix_files, &plain_files}) {
        EXPECT_EQ(files->size(), 14U);
        EXPECT_TRUE(files->find("near")->second.second);
        // The two haplotypes in two different files.
        EXPECT_NE(files->find("c0")->second.first, files->find("g0")->second.first);
        for (const auto& [name, where] : *files)
            if (name != "chimera" && name != "near") {
                EXPECT_EQ(where, files->find(name.substr(0, 1) + "0")->second) << name;
            }
    }
}

}  // namespace

namespace {

// ---- Generated diploid reads ----

struct sam_rec {
    std::string name, chrom, cigar, seq;
    int flag = 0, pos = 0;  // pos 1-based
};

std::vector<sam_rec> parse_sam_records(const std::string& text) {
    std::vector<sam_rec> recs;
    for (const auto& line : split(text, '\n')) {
        if (line.empty() || line[0] == '@') continue;
        auto f = split(line, '\t');
        recs.push_back({f[0], f[2], f[5], f[9], std::stoi(f[1]), std::stoi(f[3])});
    }
    return recs;
}

// The base the record aligns at 1-based `pos`, 0 where it has none there.
char base_at(const sam_rec& r, int pos) {
    int ref = r.pos, q = 0;
    for (size_t i = 0; i < r.cigar.size();) {
        size_t used = 0;
        const int len = std::stoi(r.cigar.substr(i), &used);
        const char op = r.cigar[i + used];
        i += used + 1;
        if (op == 'M' || op == '=' || op == 'X') {
            if (pos >= ref && pos < ref + len) return r.seq[static_cast<size_t>(q + pos - ref)];
            ref += len;
            q += len;
        } else if (op == 'I' || op == 'S') {
            q += len;
        } else if (op == 'D' || op == 'N') {
            if (pos >= ref && pos < ref + len) return 0;
            ref += len;
        }
    }
    return 0;
}

struct site_t {
    int pos;
    char a0, a1;  // alleles of the report's haplotypes 0 and 1
};
struct block_t {
    std::string chrom;
    std::vector<site_t> sites;
};

std::vector<block_t> parse_blocks(const std::string& report) {
    std::vector<block_t> blocks;
    for (const auto& line : split(report, '\n')) {
        auto f = split(line, '\t');
        if (f[0] == "PS") blocks.push_back({f[1], {}});
        else if (f[0] == "M0" || f[0] == "M1" || f[0] == "M2") blocks.back().sites.push_back({std::stoi(f[3]), f[4][0], f[5][0]});
    }
    return blocks;
}

class PhaseDiploid : public ::testing::Test {
protected:
    void make(const std::vector<std::string>& gen) {
        std::vector<std::string> args = {ALNSIM_PATH, "--diploid",       "--truth", dir_.file("truth.txt"),
                                         "--sam",     dir_.file("d.sam")};
        args.insert(args.end(), gen.begin(), gen.end());
        run_result g = run(args);
        ASSERT_EQ(g.status, 0) << g.err;
        run_result v = run_alnkit({"view", "-bS", "-o", dir_.file("d.bam"), dir_.file("d.sam")});
        ASSERT_EQ(v.status, 0) << v.err;
    }
    scratch_dir dir_;
};

TEST_F(PhaseDiploid, BlocksAndFilesFollowThePlantedHaplotypes) {
    // 100-base reads of pairs at least 250 apart never overlap their mates,
    // so every link between sites is a real one.
    make({"--seed", "7", "--refs", "2", "--ref-len", "300000", "--depth", "30"});
    run_result r = run_alnkit({"phase", "-b", dir_.file("out"), dir_.file("d.bam")});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<block_t> blocks = parse_blocks(r.out);

    // Heterozygous SNPs of the truth: the bases of haplotypes 0 and 1.
    std::map<std::pair<std::string, int>, std::pair<char, char>> het;
    for (const auto& line : split(read_file(dir_.file("truth.txt")), '\n')) {
        auto f = split(line, '\t');
        if (f[2].size() != 1 || f[3].size() != 1 || f[4] == "1|1") continue;
        het[{f[0], std::stoi(f[1])}] = f[4] == "1|0" ? std::make_pair(f[3][0], f[2][0]) : std::make_pair(f[2][0], f[3][0]);
    }
    std::map<std::pair<std::string, int>, int> site_block;
    int linked = 0, agree = 0;
    for (size_t b = 0; b < blocks.size(); ++b) {
        int same = 0, swapped = 0;
        for (const site_t& s : blocks[b].sites) {
            site_block[{blocks[b].chrom, s.pos}] = static_cast<int>(b);
            auto it = het.find({blocks[b].chrom, s.pos});
            if (it == het.end()) continue;
            same += std::make_pair(s.a0, s.a1) == it->second;
            swapped += std::make_pair(s.a1, s.a0) == it->second;
        }
        if (blocks[b].sites.size() < 2) continue;
        linked += static_cast<int>(blocks[b].sites.size());
        agree += std::max(same, swapped);
    }
    int found = 0;
    for (const auto& [key, alleles] : het) found += site_block.count(key) > 0;
    EXPECT_GE(found * 100, static_cast<int>(het.size()) * 99) << found << " of " << het.size();
    EXPECT_GE(linked, 300);
    EXPECT_GE(agree * 100, linked * 99) << agree << " of " << linked;

    // Every usable read is written exactly once.
    const std::vector<sam_rec> input = parse_sam_records(read_file(dir_.file("d.sam")));
    std::map<std::string, std::vector<const sam_rec*>> pairs;
    std::multiset<std::pair<std::string, int>> want_reads;
    for (const sam_rec& rec : input) {
        pairs[rec.name].push_back(&rec);
        if (!(rec.flag & 0x704)) want_reads.insert({rec.name, rec.flag});
    }
    std::multiset<std::pair<std::string, int>> got_reads;
    struct written_t {
        std::string name;
        int file;
    };
    std::vector<written_t> tagged;
    const char* suffix[3] = {".0.bam", ".1.bam", ".chimera.bam"};
    for (int i = 0; i < 3; ++i)
        for (const auto& line : split(view_records(dir_.file("out") + suffix[i]), '\n')) {
            auto f = split(line, '\t');
            got_reads.insert({f[0], std::stoi(f[1])});
            if (line.find("\tZP:A:Y") != std::string::npos) {
                EXPECT_LT(i, 2) << line;
                tagged.push_back({f[0], i});
            }
        }
    EXPECT_TRUE(got_reads == want_reads);

    // A tagged read went to the file of its fragment's phase along the
    // report's haplotypes, flipped or not for the whole block.
    std::map<int, int> block_flip;
    int n_checked = 0;
    for (const written_t& w : tagged) {
        std::set<int> in_blocks;
        std::map<int, char> bases;  // site position -> base of the pair, the later read winning
        const std::vector<const sam_rec*>& reads = pairs[w.name];
        for (const sam_rec* rec : reads)
            for (auto it = site_block.lower_bound({rec->chrom, rec->pos});
                 it != site_block.end() && it->first.first == rec->chrom && it->first.second < rec->pos + 200; ++it)
                if (char c = base_at(*rec, it->first.second)) {
                    in_blocks.insert(it->second);
                    bases[it->first.second] = c;
                }
        if (in_blocks.size() != 1) continue;  // split between two blocks
        const int b = *in_blocks.begin();
        int c[2] = {0, 0};
        for (const site_t& s : blocks[static_cast<size_t>(b)].sites) {
            auto it = bases.find(s.pos);
            if (it == bases.end()) continue;
            c[0] += it->second == s.a0;
            c[1] += it->second == s.a1;
        }
        const int phase = c[0] > c[1] ? 0 : 1, in = c[phase], out = c[1 - phase];
        EXPECT_NE(in, out) << w.name;
        EXPECT_FALSE(out > 0 && out <= 2 && in <= out + 1) << w.name;
        const int flip = w.file ^ phase;
        EXPECT_EQ(block_flip.emplace(b, flip).first->second, flip) << w.name;
        ++n_checked;
    }
    EXPECT_GE(n_checked * 100, static_cast<int>(tagged.size()) * 99);
}

TEST_F(PhaseDiploid, TruncatedInputKeepsTheBlocksBefore) {
    make({"--seed", "3", "--refs", "1", "--ref-len", "40000"});
    run_result full = run_alnkit({"phase", dir_.file("d.bam")});
    ASSERT_EQ(full.status, 0) << full.err;
    const std::string bytes = read_file(dir_.file("d.bam"));
    write_file(dir_.file("cut.bam"), bytes.substr(0, bytes.size() * 3 / 5));
    run_result r = run_alnkit({"phase", "-b", dir_.file("cut"), dir_.file("cut.bam")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("[main_phase] " + dir_.file("cut.bam") + ": damaged or truncated record after "), std::string::npos)
        << r.err;
    // Every block but the last one reported is as in the full run.
    const size_t last = r.out.rfind("//\n", r.out.size() - 4);
    ASSERT_NE(last, std::string::npos);
    ASSERT_GT(last, report_header.size());
    EXPECT_EQ(r.out.substr(0, last + 3), full.out.substr(0, last + 3));
    // The outputs are whole files with the reads read before the damage.
    size_t n = 0;
    for (const char* s : {".0.bam", ".1.bam", ".chimera.bam"}) n += split(view_records(dir_.file("cut") + s), '\n').size();
    EXPECT_GT(n, 1000U);
}

}  // namespace
