// targetcut on fosmid-pool-like coverage: reads only in a few stretches of
// a reference, the expected regions and consensus worked out here from the
// stretches and the depth at each position.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "common/bam_file_util.h"
#include "common/errmod_expect.h"
#include "common/test_util.h"

using namespace test_util;

namespace {

std::string random_reference(size_t len, uint32_t seed) {
    std::string s;
    uint64_t x = seed * 0x9E3779B97F4A7C15ULL + 1;
    for (size_t i = 0; i < len; ++i) {
        x = x * 6364136223846793005ULL + 1442695040888963407ULL;
        s.push_back("ACGT"[x >> 62]);
    }
    return s;
}

constexpr int read_len = 100, read_step = 20, base_qual = 30;

struct stretch {
    int beg, end;  // covered, 0-based half-open; end - beg a multiple of read_step
};

struct fosmid_ref {
    std::string name, seq;
    std::vector<stretch> stretches;
    std::vector<int> depth;
};

// A forward read of mapping quality 60 matched along its length at 0-based `pos`.
std::string sam_line(const char* prefix, int serial, const std::string& ref, int pos, const std::string& seq,
                     const std::string& qual) {
    std::string line = prefix;
    line.append(std::to_string(serial)).append("\t0\t").append(ref).append("\t").append(std::to_string(pos + 1)).append("\t60\t");
    line.append(std::to_string(seq.size())).append("M\t*\t0\t0\t").append(seq).append("\t").append(qual).append("\n");
    return line;
}

// Forward reads of quality 30 every 20 bases across each stretch, matching the reference.
std::string sam_reads(fosmid_ref* r, int* serial) {
    std::string sam;
    r->depth.assign(r->seq.size(), 0);
    for (const stretch& s : r->stretches)
        for (int p = s.beg; p + read_len <= s.end; p += read_step) {
            sam += sam_line("r", (*serial)++, r->name, p, r->seq.substr(static_cast<size_t>(p), read_len),
                            std::string(read_len, static_cast<char>(33 + base_qual)));
            for (int i = p; i < p + read_len; ++i) ++r->depth[static_cast<size_t>(i)];
        }
    return sam;
}

// The consensus quality of `d` agreeing forward bases of quality 30.
char quality_char(int d) {
    if (d == 0) return '!';
    return static_cast<char>(33 + std::min(63, static_cast<int>(static_cast<float>(agreeing_bases_score(base_qual, d)) + .499)));
}

std::string region_line(const fosmid_ref& r, int beg, int end) {
    std::string line = r.name + ":" + std::to_string(beg + 1) + "-" + std::to_string(end) + "\t0\t" + r.name + "\t" +
                       std::to_string(beg + 1) + "\t60\t" + std::to_string(end - beg) + "M\t*\t0\t0\t";
    for (int i = beg; i < end; ++i) line += r.depth[static_cast<size_t>(i)] ? r.seq[static_cast<size_t>(i)] : 'N';
    line += '\t';
    for (int i = beg; i < end; ++i) line += quality_char(r.depth[static_cast<size_t>(i)]);
    return line + "\n";
}

class TargetCut : public ::testing::Test {
protected:
    void SetUp() override {
        // chr1: a stretch close enough to the start to reach back to it, two
        // stretches 2000 apart that merge, one too short to count and one
        // alone.  chr2: one stretch; chr3: no reads.
        refs_ = {{"chr1",
                  random_reference(40000, 1),
                  {{1500, 5000}, {9000, 13000}, {15000, 18000}, {24000, 26000}, {31000, 34000}},
                  {}},
                 {"chr2", random_reference(12000, 2), {{4000, 8000}}, {}},
                 {"chr3", random_reference(5000, 3), {}, {}}};
        std::string sam, fasta;
        int serial = 0;
        for (fosmid_ref& r : refs_) sam += "@SQ\tSN:" + r.name + "\tLN:" + std::to_string(r.seq.size()) + "\n";
        for (fosmid_ref& r : refs_) {
            sam += sam_reads(&r, &serial);
            fasta += ">" + r.name + "\n";
            for (size_t i = 0; i < r.seq.size(); i += 60) fasta += r.seq.substr(i, 60) + "\n";
        }
        bam_ = bam_from_sam(dir_, "pool", sam);
        write_file(dir_.file("ref.fa"), fasta);
        // A reference that lacks chr2.
        write_file(dir_.file("part.fa"), ">chr1\n" + refs_[0].seq + "\n");
    }
    std::string expected(const std::vector<std::vector<std::pair<int, int>>>& regions) const {
        std::string out;
        for (size_t t = 0; t < regions.size(); ++t)
            for (auto [b, e] : regions[t]) out += region_line(refs_[t], b, e);
        return out;
    }
    scratch_dir dir_;
    std::vector<fosmid_ref> refs_;
    std::string bam_;
};

TEST_F(TargetCut, PrintsTheStretchesWithTheirConsensus) {
    struct option_case {
        std::vector<std::string> args;
        std::vector<std::vector<std::pair<int, int>>> want;
    };
    const std::vector<option_case> cases = {
        // Defaults: entering costs 14000, a gap position 4, a covered one gains 6.
        {{}, {{{0, 5000}, {9000, 18000}, {31000, 34000}}, {{4000, 8000}}}},
        // A cheap entry: every stretch on its own, none reaching back to the start (-o is ignored).
        {{"-i", "1000", "-o", "x"},
         {{{1500, 5000}, {9000, 13000}, {15000, 18000}, {24000, 26000}, {31000, 34000}}, {{4000, 8000}}}},
        // Covered positions gain 3: only what starts for free at the first position.
        {{"-2", "3"}, {{{0, 5000}}, {}}},
        // Gap positions cost 3: gaps of 4000 are bridged, those of 5000 not;
        // chr2's stretch now reaches back to the start.
        {{"-0", "-3"}, {{{0, 18000}, {31000, 34000}}, {{0, 8000}}}},
        // No base passes the quality threshold: nothing is covered.
        {{"-Q", "31"}, {}},
    };
    for (const option_case& c : cases) {
        std::vector<std::string> args = {"targetcut"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.push_back(bam_);
        run_result r = run_alnkit(args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, expected(c.want)) << (c.args.empty() ? "defaults" : c.args[0]);
    }
    run_result r = run_alnkit({"targetcut", "-"}, read_file(bam_));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, expected({{{0, 5000}, {9000, 18000}, {31000, 34000}}, {{4000, 8000}}}));
}

TEST_F(TargetCut, ReferenceAppliesBaqAsCalmdDoes) {
    // Reads with a 3-base deletion hidden as mismatches make BAQ lower qualities.
    std::string sam = view_header(bam_) + view_records(bam_);
    const std::string& s1 = refs_[0].seq;
    for (int i = 0; i < 4; ++i) {
        const int p = 10000 + 7 * i;
        std::string seq = s1.substr(static_cast<size_t>(p), 50) + s1.substr(static_cast<size_t>(p) + 53, 50);
        sam += sam_line("x", i, "chr1", p, seq, std::string(100, 'I'));
    }
    std::string sorted_sam;
    {  // keep coordinate order: sort the record lines by reference and position
        std::vector<std::string> head, recs;
        for (const std::string& line : split(sam, '\n')) (line[0] == '@' ? head : recs).push_back(line);
        auto key = [](const std::string& l) {
            auto f = split(l, '\t');
            return std::make_pair(f[2], std::stoi(f[3]));
        };
        std::stable_sort(recs.begin(), recs.end(), [&](const std::string& a, const std::string& b) { return key(a) < key(b); });
        for (const auto& l : head) sorted_sam += l + "\n";
        for (const auto& l : recs) sorted_sam += l + "\n";
    }
    std::string bam = bam_from_sam(dir_, "hidden", sorted_sam);
    run_result plain = run_alnkit({"targetcut", bam});
    run_result baq = run_alnkit({"targetcut", "-f", dir_.file("ref.fa"), bam});
    ASSERT_EQ(baq.status, 0) << baq.err;
    EXPECT_NE(baq.out, plain.out);
    // calmd -rAE applies the same BAQ (mode 3) and keeps the offsets in ZQ.
    run_result md = run({ALNKIT_PATH, "calmd", "-rAEb", bam, dir_.file("ref.fa")});
    ASSERT_EQ(md.status, 0) << md.err;
    write_file(dir_.file("baq.bam"), md.out);
    EXPECT_EQ(run_alnkit({"targetcut", dir_.file("baq.bam")}).out, baq.out);

    // A reference the FASTA lacks keeps its qualities, with one warning.
    run_result part = run_alnkit({"targetcut", "-f", dir_.file("part.fa"), bam});
    ASSERT_EQ(part.status, 0) << part.err;
    EXPECT_TRUE(part.err.ends_with(
        "[main_cut_target] fail to fetch sequence 'chr2' from the reference; its reads get no BAQ. Continue anyway.\n"))
        << part.err;
    auto lines_of = [](const std::string& out, const std::string& name) {
        std::string sel;
        for (const auto& l : split(out, '\n'))
            if (l.rfind(name + ":", 0) == 0) sel += l + "\n";
        return sel;
    };
    EXPECT_EQ(lines_of(part.out, "chr1"), lines_of(baq.out, "chr1"));
    EXPECT_EQ(lines_of(part.out, "chr2"), lines_of(plain.out, "chr2"));
    EXPECT_FALSE(lines_of(plain.out, "chr2").empty());
}

TEST_F(TargetCut, FailuresKeepWhatWasPrinted) {
    const std::string full = expected({{{0, 5000}, {9000, 18000}, {31000, 34000}}, {{4000, 8000}}});
    run_result r = run_alnkit({"targetcut"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Usage: alnkit targetcut [-Q minQ] [-i inPen] [-0 em0] [-1 em1] [-2 em2] [-f ref] <in.bam>\n");

    r = run_alnkit({"targetcut", dir_.file("missing.bam")});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.ends_with("[main_cut_target] fail to open file " + dir_.file("missing.bam") + ".\n")) << r.err;

    // An index that cannot be loaded: a message, and the run goes on without BAQ.
    r = run_alnkit({"targetcut", "-f", dir_.file("missing.fa"), bam_});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.err.ends_with("[main_cut_target] fail to load the fasta index.\n")) << r.err;
    EXPECT_EQ(r.out, full);

    // Cut half-way: the region of the first stretch is complete.
    const std::string bytes = read_file(bam_);
    write_file(dir_.file("cut.bam"), bytes.substr(0, bytes.size() / 2));
    r = run_alnkit({"targetcut", dir_.file("cut.bam")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("[main_cut_target] " + dir_.file("cut.bam") + ": damaged or truncated record after "), std::string::npos)
        << r.err;
    const std::string first = expected({{{0, 5000}}});
    EXPECT_EQ(r.out.substr(0, first.size()), first);

    r = run_file_limited({ALNKIT_PATH, "targetcut", bam_}, 1 << 30, "/dev/full");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "[main_cut_target] fail to write \"standard output\".\n");

    std::string unsorted = bam_from_sam(dir_, "unsorted",
                                        "@SQ\tSN:c\tLN:100\nb\t0\tc\t50\t60\t4M\t*\t0\t0\tACGT\tIIII\n"
                                        "a\t0\tc\t10\t60\t4M\t*\t0\t0\tACGT\tIIII\n");
    r = run_alnkit({"targetcut", unsorted});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "[bam_pileup_core] the input is not sorted (reads out of order)\n");
}

}  // namespace
