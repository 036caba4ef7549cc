// MD/NM and the calmd clean-ups, mapping-quality capping and BAQ on crafted
// reads: records are parsed from SAM lines, changed in place and formatted
// back.  Capping scores and BAQ offsets are worked out here from the counts
// and from the realignment model's placements.
#include "call/bam_md.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "bam/bam_aux.h"
#include "bam/bam_import.h"
#include "bam/sam_format.h"
#include "call/kprobaln.h"
#include "common/test_util.h"

namespace {

// One record parsed from a SAM line on reference chr1, and formatted back.
struct sam_record {
    explicit sam_record(const std::string& line) {
        test_util::scratch_dir dir;
        test_util::write_file(dir.file("r.sam"), "@SQ\tSN:chr1\tLN:1000000\n" + line + "\n");
        tamFile fp = sam_open(dir.file("r.sam").c_str());
        h.reset(sam_header_read(fp));
        ok = sam_read1_checked(fp, h.get(), b.get()) >= 0;
        sam_close(fp);
    }
    std::string text() const {
        char* s = bam_format1_core(h.get(), b.get(), 0);
        std::string r = s ? s : "<unformattable>";
        std::free(s);
        return r;
    }
    bam_header_ptr h;
    bam1_ptr b = bam1_make();
    bool ok = false;
};

// The fields of read "r" up to and including the tab before SEQ.
std::string prefix(int flag, long pos1, const std::string& cigar) {
    return "r\t" + std::to_string(flag) + "\tchr1\t" + std::to_string(pos1) + "\t30\t" + cigar + "\t*\t0\t0\t";
}

std::vector<std::pair<char, long>> cigar_ops(const std::string& cigar) {
    std::vector<std::pair<char, long>> ops;
    long n = 0;
    for (char c : cigar)
        if (std::isdigit(static_cast<unsigned char>(c))) n = n * 10 + (c - '0');
        else ops.push_back({c, n}), n = 0;
    return ops;
}

// A reference of `n` pseudo-random bases.
std::string random_ref(size_t n) {
    std::string s;
    for (uint32_t i = 0, x = 12345; i < n; ++i) x = x * 1103515245U + 12345U, s += "ACGT"[(x >> 16) & 3];
    return s;
}

// Bases of a read at `pos0` with `cigar` (M, I, D, N, S, H only): the
// reference's along M (A beyond its end), A in I and S; then `edits` applied
// (base '*': another base than the one there).
std::string read_along(const std::string& ref, long pos0, const std::string& cigar,
                       const std::vector<std::pair<int, char>>& edits = {}) {
    std::string seq;
    long x = pos0;
    for (auto [op, n] : cigar_ops(cigar)) {
        for (long j = 0; j < n && (op == 'M' || op == 'I' || op == 'S'); ++j)
            seq += op == 'M' && x + j < static_cast<long>(ref.size()) ? ref[x + j] : 'A';
        x += op == 'M' || op == 'D' || op == 'N' ? n : 0;
    }
    for (auto [i, base] : edits) seq[i] = base != '*' ? base : seq[i] == 'A' ? 'C' : 'A';
    return seq;
}

// 0 T, 1 A, 2 C, 3 C, 4 G, 5 G, 6 A, 7 T, 8 C, 9 C, 10-13 aggt, 14-15 NN, 16 A, ... 23 A.
const std::string md_ref = "TACCGGATCCaggtNNACGTTGCA";
constexpr int nm_md = BAM_MD_UPDATE_NM | BAM_MD_UPDATE_MD, eq = BAM_MD_EQUAL;

TEST(FillMd, CraftedReadsGetTheirMdNmAndCleanUps) {
    struct md_case {
        int rec_flag, pos1;
        std::string cigar, in;  // SEQ, QUAL and tags of the record
        int flag, max_nm;       // of bam_fillmd1_core
        std::string out, err;   // SEQ, QUAL and tags after it; what it printed
    };
    const std::string p = "[bam_fillmd1] different ";
    const std::vector<md_case> cases = {
        {0, 1, "5M", "TACCG\tIIIII", nm_md | eq, 0, "=====\tIIIII\tNM:i:0\tMD:Z:5", ""},
        {0, 1, "3M1D2M", "TGCGG\tIIIII", nm_md, 0, "TGCGG\tIIIII\tNM:i:2\tMD:Z:1A1^C2", ""},
        {0, 5, "2M2I3M", "GGTTATC\tIIIIIII", nm_md, 0, "GGTTATC\tIIIIIII\tNM:i:2\tMD:Z:5", ""},
        {0, 7, "2H2S3M1S", "CCATCG\tIIIIII", nm_md | eq, 0, "CC===G\tIIIIII\tNM:i:0\tMD:Z:3", ""},
        // A skip is no MD event; '=' in the read matches; N in the read or the reference never does.
        {0, 1, "2M3N2M", "T=GA\tIIII", nm_md, 0, "T=GA\tIIII\tNM:i:0\tMD:Z:4", ""},
        {0, 14, "4M", "TNAA\tIIII", nm_md, 0, "TNAA\tIIII\tNM:i:2\tMD:Z:1N0N1", ""},
        // Lowercase reference bases match either case and are written as stored; = and X are compared like M.
        {0, 10, "1X1=1M", "CTG\tIII", nm_md | eq, 0, "=T=\tIII\tNM:i:1\tMD:Z:1a1", ""},
        // The reference ends inside an M, inside a D, before the read, within an N.
        {0, 22, "5M", "GCAAA\tIIIII", nm_md, 0, "GCAAA\tIIIII\tNM:i:0\tMD:Z:3", ""},
        {0, 21, "2M5D", "TG\tII", nm_md, 0, "TG\tII\tNM:i:5\tMD:Z:2^CA0", ""},
        {0, 30, "3M", "AAA\tIII", nm_md | eq, 0, "AAA\tIII\tNM:i:0\tMD:Z:0", ""},
        {0, 20, "1M10N2M", "TGG\tIII", nm_md, 0, "TGG\tIII\tNM:i:0\tMD:Z:1", ""},
        // No bases for the CIGAR: the tags stay.
        {0, 1, "3M", "*\t*\tMD:Z:9", nm_md, 0, "*\t*\tMD:Z:9", ""},
        // Existing tags: equal ones (MD ignoring case) stay; others move to the end with a message.
        {0, 1, "3M1D2M", "TGCGG\tIIIII\tNM:i:2\tMD:Z:1a1^c2", nm_md, 0, "TGCGG\tIIIII\tNM:i:2\tMD:Z:1a1^c2", ""},
        {0, 1, "3M1D2M", "TGCGG\tIIIII\tXA:Z:x\tNM:i:1\tRG:Z:g\tMD:Z:3", nm_md, 0,
         "TGCGG\tIIIII\tXA:Z:x\tRG:Z:g\tNM:i:2\tMD:Z:1A1^C2",
         p + "NM for read 'r': 1 -> 2\n" + p + "MD for read 'r': '3' -> '1A1^C2'\n"},
        {0, 1, "3M1D2M", "TGCGG\tIIIII\tMD:i:3", BAM_MD_UPDATE_MD, 0, "TGCGG\tIIIII\tMD:Z:1A1^C2",
         p + "MD for read 'r': '' -> '1A1^C2'\n"},
        {0, 1, "3M1D2M", "TGCGG\tIIIII\tNM:i:7\tMD:Z:0", BAM_MD_UPDATE_NM, 0, "TGCGG\tIIIII\tMD:Z:0\tNM:i:2",
         p + "NM for read 'r': 7 -> 2\n"},
        // Dropping keeps RG only, new tags included.
        {0, 1, "3M1D2M", "TGCGG\tIIIII\tXA:Z:x\tRG:Z:g\tXB:i:1", nm_md | BAM_MD_DROP_AUX, 0, "TGCGG\tIIIII\tRG:Z:g", ""},
        // Masking from max_nm edits on: matching aligned bases become N with quality 0.
        {0, 1, "3M1D2M", "TGCGG\tIIIII", nm_md | eq, 2, "NGNNN\t!I!!!\tNM:i:2\tMD:Z:1A1^C2", ""},
        {0, 1, "3M1D2M", "TGCGG\tIIIII", 0, 3, "TGCGG\tIIIII", ""},
        {0, 1, "2S3M", "GGTCC\tIIIII", 0, 1, "GGNCN\tII!I!", ""},
        // Binning: 0 1 2 stay, 3..9 -> 7, 10..19 -> 17, 30..39 -> 37, 40 -> 47.
        {0, 1, "10M", "TACCGGATCC\t!\"#$*+4?HI", BAM_MD_BIN_QUAL, 0, "TACCGGATCC\t!\"#((22FFP", ""},
        // Unmapped: no tags, and nothing after them either.
        {4, 1, "3M", "TAC\tIII\tXA:Z:x", nm_md | BAM_MD_DROP_AUX | eq, 0, "===\tIII\tXA:Z:x", ""},
        {4, 1, "*", "TAC\tIII\tXA:Z:x", BAM_MD_DROP_AUX, 0, "TAC\tIII", ""},
    };
    for (const md_case& c : cases) {
        sam_record r(prefix(c.rec_flag, c.pos1, c.cigar) + c.in);
        ASSERT_TRUE(r.ok) << c.in;
        testing::internal::CaptureStderr();
        EXPECT_EQ(bam_fillmd1_core(r.b.get(), md_ref.data(), static_cast<int64_t>(md_ref.size()), c.flag, c.max_nm), 0);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err) << c.in;
        EXPECT_EQ(r.text(), prefix(c.rec_flag, c.pos1, c.cigar) + c.out) << c.cigar << " " << c.in << " flag " << c.flag;
    }
}

TEST(CapMapQ, WorkedExampleAndCountsOfClipsAndSkippedBases) {
    struct cap_case {
        std::string what, cigar;
        int pos0, thres;
        std::vector<std::pair<int, char>> edits;  // of read_along
        std::vector<std::pair<int, int>> quals;   // read offsets given another quality than 30
        int len, n_mm, mm_q, clip_q;              // by hand: bases counted, mismatches, their score, clip score
    };
    auto expected = [](const cap_case& c) {
        const int thres = c.thres < 0 ? 40 : c.thres;
        double t = 1;
        for (int i = 1; i <= c.n_mm; ++i) t *= static_cast<double>(c.len) / i;
        const double score = -4.343 * std::log(t) + c.mm_q + c.clip_q / 5.;
        return score > thres ? -1 : static_cast<int>(thres * std::sqrt((thres - std::max(0.0, score)) / thres) + .499);
    };
    const std::string ref = random_ref(400);
    const std::vector<std::pair<int, char>> two = {{10, '*'}, {60, '*'}}, one = {{10, '*'}};
    // The text's example: 100 aligned bases, two Q30 mismatches, threshold 60.
    const cap_case example{"example", "100M", 50, 60, two, {}, 200, 2, 60, 0};
    EXPECT_EQ(expected(example), 51);
    std::vector<std::pair<int, char>> eight;
    for (int i = 1; i < 32; i += 4) eight.push_back({i, '*'});
    const std::vector<cap_case> cases = {
        example,
        {"default threshold", "100M", 50, -5, two, {}, 200, 2, 60, 0},
        {"soft and hard clips", "5H10S90M", 50, 60, {{20, '*'}}, {}, 180, 1, 30, 10 * 30 + 5 * 13},
        {"clips above the threshold", "30S70M", 50, 45, {}, {}, 140, 0, 0, 900},
        {"low qualities skipped", "100M", 50, 60, two, {{10, 12}, {11, 13}, {70, 2}}, 198, 1, 30, 0},
        {"mismatch quality counts up to 33", "100M", 50, 60, two, {{10, 40}}, 200, 2, 63, 0},
        {"'=' never mismatches, N is skipped", "100M", 50, 60, {{10, '='}, {20, 'N'}}, {}, 199, 0, 0, 0},
        {"indels and skips", "40M5I20M6D10N35M", 50, 60, {{45, '*'}, {70, '*'}}, {}, 190, 2, 60, 0},
        {"too many mismatches", "100M", 50, 60, eight, {}, 200, 8, 240, 0},
        {"reference ends inside the M", "100M", 320, 60, {{10, '*'}, {90, '*'}}, {}, 80, 1, 30, 0},
        {"reference ends inside a D", "50M60D50M", 300, 60, one, {}, 100, 1, 30, 0},
        {"read starts beyond the reference", "100M", 450, 60, one, {}, 0, 0, 0, 0},
    };
    for (const cap_case& c : cases) {
        const std::string seq = read_along(ref, c.pos0, c.cigar, c.edits);
        std::string qual(seq.size(), static_cast<char>(33 + 30));
        for (auto [i, q] : c.quals) qual[i] = static_cast<char>(33 + q);
        sam_record r(prefix(0, c.pos0 + 1, c.cigar) + seq + "\t" + qual);
        ASSERT_TRUE(r.ok) << c.what;
        EXPECT_EQ(bam_cap_mapQ(r.b.get(), ref.data(), 400, c.thres), expected(c)) << c.what;
    }
}

// The BQ string of a read worked out here from the model's placements: the
// window and band from the aligned span, then per aligned base
// min(quality, model quality) when the model keeps it at its position
// (extended: the model quality, then the smaller of the running maxima from
// both ends of its operation), as an offset from the quality.
std::string expected_offsets(const std::string& ref, long pos0, const std::string& cigar, const std::string& seq,
                             const std::string& qual_text, bool extended) {
    const long n = static_cast<long>(seq.size());
    long x = pos0, y = 0, xb = -1, yb = -1, xe = -1, ye = -1;
    for (auto [op, l] : cigar_ops(cigar)) {
        if (op == 'M' && yb < 0) xb = x, yb = y;
        x += op == 'M' || op == 'D' ? l : 0;
        y += op == 'M' || op == 'I' || op == 'S' ? l : 0;
        if (op == 'M') xe = x, ye = y;
    }
    const long w = std::labs((xe - xb) - (ye - yb)), band = w < 8 ? 7 : w + 3, pad = w < 8 ? 3 : band / 2;
    long beg = std::max(0L, xb - yb - pad), end = xe + pad + (n - ye);
    if (end - beg > n + band) {
        beg += (end - beg - n - band) / 2;
        end -= (end - beg - n - band) / 2;
    }
    end = std::min(end, static_cast<long>(ref.size()));
    auto code = [](char c) { return static_cast<uint8_t>(std::min<size_t>(std::string("ACGT").find(c), 4)); };
    std::vector<uint8_t> ref2, read2, qual, model_q(n);
    for (long i = beg; i < end; ++i) ref2.push_back(code(ref[i]));
    for (long i = 0; i < n; ++i) read2.push_back(code(seq[i])), qual.push_back(static_cast<uint8_t>(qual_text[i] - 33));
    kpa_par_t par = kpa_par_def;
    par.bw = static_cast<int>(band);
    std::vector<int> state(n);
    kpa_glocal(ref2.data(), static_cast<int>(end - beg), read2.data(), static_cast<int>(n), qual.data(), &par, state.data(),
               model_q.data());
    std::vector<int> value(qual.begin(), qual.end());
    x = pos0, y = 0;
    for (auto [op, l] : cigar_ops(cigar)) {
        for (long i = y; i < y + l && op == 'M'; ++i) {
            const bool kept = (state[i] & 3) == 0 && state[i] >> 2 == x + (i - y) - beg;
            value[i] = !kept ? 0 : extended ? model_q[i] : std::min(qual[i], model_q[i]);
        }
        for (long i = y, left = 0; extended && op == 'M' && i < y + l; ++i) {
            left = std::max<long>(left, value[i]);
            value[i] = static_cast<int>(std::min<long>(left, *std::max_element(value.begin() + i, value.begin() + y + l)));
        }
        x += op == 'M' || op == 'D' ? l : 0;
        y += op == 'M' || op == 'I' || op == 'S' ? l : 0;
    }
    std::string offsets;
    for (long i = 0; i < n; ++i) offsets += static_cast<char>(64 + std::max(0, qual[i] - value[i]));
    return offsets;
}

std::string aux_text(const bam1_t* b, const char* tag) {
    const uint8_t* s = bam_aux_get(b, tag);
    return s ? reinterpret_cast<const char*>(s + 1) : "<none>";
}

TEST(Baq, OffsetsFollowTheModelPlacements) {
    std::string ref = random_ref(400);
    ref.replace(200, 40, "ACACACACACACACACACACACACACACACACACACACAC");  // a tandem repeat
    struct baq_read {
        std::string what, cigar;
        long pos0;
        std::vector<std::pair<int, char>> edits;  // of read_along
    };
    const std::vector<baq_read> reads = {
        {"perfect", "60M", 50, {}},
        {"mismatches", "60M", 50, {{20, '*'}, {22, '*'}, {57, '*'}}},
        {"adjacent mismatches", "60M", 50, {{30, '*'}, {31, '*'}}},
        {"insertion", "30M2I28M", 50, {}},
        {"deletion", "30M3D30M", 50, {{31, '*'}}},
        {"long deletion", "25M12D35M", 50, {}},
        {"long insertion in the repeat", "5M9I46M", 198, {}},
        {"clips", "5S50M5S", 50, {{2, '*'}}},
        {"tandem repeat with a deletion", "30M2D30M", 190, {}},
        {"overhanging the start", "10S50M", 0, {{3, '*'}}},
        {"overhanging the end", "50M10S", 345, {}},
    };
    std::string qual;
    for (int i = 0; i < 60; ++i) qual += static_cast<char>(33 + 10 + (i * 7) % 31);
    int n_extended_differs = 0;
    for (const baq_read& c : reads) {
        const std::string seq = read_along(ref, c.pos0, c.cigar, c.edits);
        const std::string normal = expected_offsets(ref, c.pos0, c.cigar, seq, qual, false);
        const std::string extended = expected_offsets(ref, c.pos0, c.cigar, seq, qual, true);
        n_extended_differs += normal != extended;
        for (int mode = 0; mode < 4; ++mode) {
            sam_record r(prefix(0, c.pos0 + 1, c.cigar) + seq + "\t" + qual);
            ASSERT_EQ(bam_prob_realn_core(r.b.get(), ref.data(), 400, mode), 0) << c.what;
            const std::string& want = mode & BAM_BAQ_EXTENDED ? extended : normal;
            EXPECT_EQ(aux_text(r.b.get(), mode & BAM_BAQ_APPLY ? "ZQ" : "BQ"), want) << c.what << " mode " << mode;
            EXPECT_EQ(aux_text(r.b.get(), mode & BAM_BAQ_APPLY ? "BQ" : "ZQ"), "<none>");
            for (int i = 0; i < 60; ++i)
                EXPECT_EQ(rec_qual(r.b.get())[i], qual[i] - 33 - ((mode & BAM_BAQ_APPLY) ? want[i] - 64 : 0)) << c.what << i;
        }
    }
    EXPECT_GE(n_extended_differs, 2);  // the running maxima fill the dips that mismatches leave
}

TEST(Baq, SkippedReadsAndExistingTags) {
    const std::string ref = random_ref(400), seq = ref.substr(50, 10) + "\t", q = "IIIIIIII#I";
    const std::string head = prefix(0, 51, "10M") + seq, none = prefix(0, 51, "10S") + seq + q;
    struct tag_case {
        std::string what, in;
        int mode, result;
        std::string out;  // the line after the call; empty: unchanged
    };
    const std::vector<tag_case> cases = {
        {"unmapped", prefix(4, 51, "10M") + seq + q, 0, -1, ""},
        {"no sequence", prefix(0, 51, "10M") + "*\t*", 0, -1, ""},
        {"a skip", prefix(0, 51, "5M10N5M") + seq + q, 0, -1, ""},
        {"no qualities", head + "*", 0, -1, ""},
        {"beyond the reference", prefix(0, 451, "10M") + seq + q, 0, -1, ""},
        {"nothing aligned", none, 0, 0, none + "\tBQ:Z:@@@@@@@@@@"},
        {"nothing aligned, applied", none, 1, 0, none + "\tZQ:Z:@@@@@@@@@@"},
        {"short BQ", head + q + "\tBQ:Z:@@@", 1, -1, ""},
        {"BQ not a string", head + q + "\tBQ:i:64", 1, -1, ""},
        {"BQ offset below 64", head + q + "\tBQ:Z:@@@@@@@@@?", 1, -1, ""},
        {"BQ, not applying", head + q + "\tBQ:Z:@@@@@@@@JA", 0, -3, ""},
        {"BQ, applying", head + q + "\tXA:Z:x\tBQ:Z:@@@@@@@@JA", 1, 0, head + "IIIIIIII!H\tXA:Z:x\tZQ:Z:@@@@@@@@JA"},
        {"ZQ, applying", head + q + "\tZQ:Z:@@@@@@@@JA", 1, -3, ""},
        {"ZQ, not applying", head + q + "\tZQ:Z:@@@@@@@@JA", 0, 0, head + "IIIIIIII-J\tBQ:Z:@@@@@@@@JA"},
        {"both, not applying", head + q + "\tZQ:Z:@@@@@@@@@@\tBQ:Z:@@@@@@@@JA", 0, -3, head + q + "\tBQ:Z:@@@@@@@@JA"},
        {"both, applying", head + q + "\tBQ:Z:@@@@@@@@JA\tZQ:Z:@@@@@@@@@@", 1, 0, head + "IIIIIIII!H\tZQ:Z:@@@@@@@@JA"},
        {"both, BQ malformed", head + q + "\tBQ:Z:@@\tZQ:Z:@@@@@@@@@@", 0, -1, ""},
    };
    for (const tag_case& c : cases) {
        sam_record r(c.in);
        ASSERT_TRUE(r.ok) << c.what;
        EXPECT_EQ(bam_prob_realn_core(r.b.get(), ref.data(), 400, c.mode), c.result) << c.what;
        EXPECT_EQ(r.text(), c.out.empty() ? c.in : c.out) << c.what;
    }
    // Qualities up to 191 carry offsets; 192 does not.  Applying twice does nothing the second time.
    for (int top : {191, 192}) {
        sam_record r(head + q);
        rec_qual(r.b.get())[4] = static_cast<uint8_t>(top);
        EXPECT_EQ(bam_prob_realn_core(r.b.get(), ref.data(), 400, BAM_BAQ_APPLY), top == 191 ? 0 : -1);
        const std::string once = r.text();
        EXPECT_EQ(bam_prob_realn_core(r.b.get(), ref.data(), 400, BAM_BAQ_APPLY), top == 191 ? -3 : -1);
        EXPECT_EQ(r.text(), once);
    }
    // A deletion that widens the band beyond the model's cell cap: one warning, no change.
    const std::string big_ref = random_ref(120000), big_seq = read_along(big_ref, 100, "500M100000D500M");
    sam_record r(prefix(0, 101, "500M100000D500M") + big_seq + "\t" + std::string(big_seq.size(), 'I'));
    const std::string before = r.text();
    testing::internal::CaptureStderr();
    EXPECT_EQ(bam_prob_realn_core(r.b.get(), big_ref.data(), static_cast<int64_t>(big_ref.size()), 0), -1);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("[bam_prob_realn_core] read 'r' needs more than ", 0), 0u) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
    EXPECT_EQ(r.text(), before);
}

}  // namespace
