#include "pileup/bam_pileup.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

// A record with the given CIGAR ("3M2D3M"); the sequence length follows the
// CIGAR unless given, qualities are 30 + query index.
bam1_ptr make_record(int32_t tid, int32_t pos, const std::string& cigar, uint16_t flag = 0, int l_qseq = -1,
                     const std::string& name = "r") {
    std::vector<uint32_t> ops;
    int qlen = 0;
    for (size_t i = 0; i < cigar.size();) {
        size_t used = 0;
        uint32_t len = static_cast<uint32_t>(std::stoul(cigar.substr(i), &used));
        uint32_t op = static_cast<uint32_t>(std::strchr("MIDNSHP=X", cigar[i + used]) - "MIDNSHP=X");
        ops.push_back(len << BAM_CIGAR_SHIFT | op);
        if (bam_cigar_is_query(op)) qlen += static_cast<int>(len);
        i += used + 1;
    }
    if (l_qseq < 0) l_qseq = qlen;
    bam1_ptr b = bam1_make();
    bam1_core_t* c = &b->core;
    c->tid = tid;
    c->pos = pos;
    c->flag = flag;
    c->qual = 60;
    c->l_qname = static_cast<uint8_t>(name.size() + 1);
    c->n_cigar = static_cast<uint16_t>(ops.size());
    c->l_qseq = l_qseq;
    c->mtid = -1;
    c->mpos = -1;
    b->l_aux = 0;
    b->data_len = rec_data_len(c, 0);
    EXPECT_EQ(bam_grow_data(b.get(), static_cast<size_t>(b->data_len)), 0);
    std::memcpy(b->data, name.c_str(), name.size() + 1);
    for (size_t k = 0; k < ops.size(); ++k) cigar_set(rec_cigar(b.get()), static_cast<int>(k), ops[k]);
    std::memset(rec_seq(b.get()), 0x11, static_cast<size_t>((l_qseq + 1) / 2));
    for (int i = 0; i < l_qseq; ++i) rec_qual(b.get())[i] = static_cast<uint8_t>(30 + i);
    return b;
}

// One entry of a column, flattened for comparison.
struct entry {
    int pos, qpos, indel, is_del, is_head, is_tail, is_refskip;
    bool operator==(const entry&) const = default;
};

std::ostream& operator<<(std::ostream& os, const entry& e) {
    return os << "{pos " << e.pos << " qpos " << e.qpos << " indel " << e.indel << " del " << e.is_del << " head " << e.is_head
              << " tail " << e.is_tail << " skip " << e.is_refskip << "}";
}

entry flatten(int pos, const bam_pileup1_t& p) {
    return {pos, p.qpos, p.indel, int(p.is_del), int(p.is_head), int(p.is_tail), int(p.is_refskip)};
}

// Pushes every record (then the end of input) and drains the columns in the
// usual alternation; every entry of every column in order.
struct column {
    int tid, pos;
    std::vector<const bam1_t*> reads;
    std::vector<entry> entries;
};

std::vector<column> pileup_all(const std::vector<bam1_ptr>& records, int maxcnt = -1) {
    bam_plp_t iter = bam_plp_init(nullptr, nullptr);
    if (maxcnt >= 0) bam_plp_set_maxcnt(iter, maxcnt);
    std::vector<column> out;
    auto drain = [&] {
        int tid, pos, n;
        while (const bam_pileup1_t* plp = bam_plp_next(iter, &tid, &pos, &n)) {
            column c{tid, pos, {}, {}};
            for (int i = 0; i < n; ++i) {
                c.reads.push_back(plp[i].b);
                c.entries.push_back(flatten(pos, plp[i]));
                EXPECT_EQ(plp[i].aux, 0U);
                EXPECT_EQ(plp[i].level, 0);
            }
            out.push_back(std::move(c));
        }
        EXPECT_EQ(n, 0);
    };
    for (const auto& b : records) {
        EXPECT_EQ(bam_plp_push(iter, b.get()), 0);
        drain();
    }
    EXPECT_EQ(bam_plp_push(iter, nullptr), 0);
    drain();
    bam_plp_destroy(iter);
    return out;
}

std::vector<entry> entries_of(const std::vector<column>& cols) {
    std::vector<entry> all;
    for (const auto& c : cols) all.insert(all.end(), c.entries.begin(), c.entries.end());
    return all;
}

struct cigar_case {
    const char* cigar;
    int pos;
    std::vector<entry> expected;
};

class PileupCigar : public ::testing::TestWithParam<cigar_case> {};

TEST_P(PileupCigar, ColumnsEqualHandWorkedEntries) {
    const cigar_case& c = GetParam();
    std::vector<bam1_ptr> recs;
    recs.push_back(make_record(0, c.pos, c.cigar));
    EXPECT_EQ(entries_of(pileup_all(recs)), c.expected);
}

//                         pos qpos indel del head tail skip
INSTANTIATE_TEST_SUITE_P(
    Operations, PileupCigar,
    ::testing::Values(
        cigar_case{"3M2D3M",
                   100,
                   {{100, 0, 0, 0, 1, 0, 0},
                    {101, 1, 0, 0, 0, 0, 0},
                    {102, 2, -2, 0, 0, 0, 0},
                    {103, 3, 0, 1, 0, 0, 0},
                    {104, 3, 0, 1, 0, 0, 0},
                    {105, 3, 0, 0, 0, 0, 0},
                    {106, 4, 0, 0, 0, 0, 0},
                    {107, 5, 0, 0, 0, 1, 0}}},
        cigar_case{
            "2M3I2M", 10, {{10, 0, 0, 0, 1, 0, 0}, {11, 1, 3, 0, 0, 0, 0}, {12, 5, 0, 0, 0, 0, 0}, {13, 6, 0, 0, 0, 1, 0}}},
        cigar_case{"2M4N2M",
                   0,
                   {{0, 0, 0, 0, 1, 0, 0},
                    {1, 1, 0, 0, 0, 0, 0},
                    {2, 2, 0, 1, 0, 0, 1},
                    {3, 2, 0, 1, 0, 0, 1},
                    {4, 2, 0, 1, 0, 0, 1},
                    {5, 2, 0, 1, 0, 0, 1},
                    {6, 2, 0, 0, 0, 0, 0},
                    {7, 3, 0, 0, 0, 1, 0}}},
        cigar_case{"3S4M", 50, {{50, 3, 0, 0, 1, 0, 0}, {51, 4, 0, 0, 0, 0, 0}, {52, 5, 0, 0, 0, 0, 0}, {53, 6, 0, 0, 0, 1, 0}}},
        // Hard clips take no query bases; = and X are matches; soft clips at the end are ignored.
        cigar_case{
            "5H2=1X1=2S", 7, {{7, 0, 0, 0, 1, 0, 0}, {8, 1, 0, 0, 0, 0, 0}, {9, 2, 0, 0, 0, 0, 0}, {10, 3, 0, 0, 0, 1, 0}}},
        // Insertions behind padding add up; the padding itself takes no base.
        cigar_case{
            "2M1P2I1P1I2M", 20, {{20, 0, 0, 0, 1, 0, 0}, {21, 1, 3, 0, 0, 0, 0}, {22, 5, 0, 0, 0, 0, 0}, {23, 6, 0, 0, 0, 1, 0}}},
        // Padding with no insertion behind it reports no indel.
        cigar_case{"1M1P1M", 0, {{0, 0, 0, 0, 1, 0, 0}, {1, 1, 0, 0, 0, 1, 0}}},
        // A deletion right after the start and an insertion before the end.
        cigar_case{"1D2M1I", 5, {{5, 0, 0, 1, 1, 0, 0}, {6, 0, 0, 0, 0, 0, 0}, {7, 1, 1, 0, 0, 1, 0}}},
        // A leading insertion shifts the query.
        cigar_case{"2I2M", 0, {{0, 2, 0, 0, 1, 0, 0}, {1, 3, 0, 0, 0, 1, 0}}}));

TEST(Pileup, UncoveredGapHasNoColumnsAndReferencesAreWalkedInOrder) {
    std::vector<bam1_ptr> recs;
    recs.push_back(make_record(0, 10, "2M"));
    recs.push_back(make_record(0, 20, "2M"));
    recs.push_back(make_record(2, 5, "1M"));
    std::vector<std::pair<int, int>> seen;
    for (const auto& c : pileup_all(recs)) seen.emplace_back(c.tid, c.pos);
    EXPECT_EQ(seen, (std::vector<std::pair<int, int>>{{0, 10}, {0, 11}, {0, 20}, {0, 21}, {2, 5}}));
}

TEST(Pileup, OverlappingReadsShareColumnsInPushOrder) {
    std::vector<bam1_ptr> recs;
    recs.push_back(make_record(0, 0, "4M"));
    recs.push_back(make_record(0, 2, "4M"));
    auto cols = pileup_all(recs);
    ASSERT_EQ(cols.size(), 6U);
    std::vector<size_t> depth;
    for (const auto& c : cols) depth.push_back(c.reads.size());
    EXPECT_EQ(depth, (std::vector<size_t>{1, 1, 2, 2, 1, 1}));
    EXPECT_EQ(cols[2].entries[0].qpos, 2);
    EXPECT_EQ(cols[2].entries[1].qpos, 0);
    EXPECT_EQ(cols[2].entries[1].is_head, 1);
}

TEST(Pileup, MaskedUnplacedAndMalformedRecordsNeverAppear) {
    std::vector<bam1_ptr> recs;
    recs.push_back(make_record(0, 10, "3M"));
    recs.push_back(make_record(0, 10, "3M", BAM_FDUP));
    recs.push_back(make_record(0, 10, "3M", BAM_FSECONDARY));
    recs.push_back(make_record(0, 10, "3M", BAM_FQCFAIL));
    recs.push_back(make_record(0, 10, "3M", BAM_FUNMAP));
    recs.push_back(make_record(0, 10, "5N"));        // no aligned base
    recs.push_back(make_record(0, 10, "4D"));        // only a deletion
    recs.push_back(make_record(0, 10, "3I"));        // no reference length at all
    recs.push_back(make_record(0, 10, "2N3M"));      // skip before the first aligned base
    recs.push_back(make_record(0, 10, "6M", 0, 3));  // CIGAR longer than the sequence
    recs.push_back(make_record(0, 11, "2M", 0, 0));  // no stored sequence: still piled up
    auto cols = pileup_all(recs);
    ASSERT_EQ(cols.size(), 3U);
    EXPECT_EQ(cols[0].reads.size(), 1U);
    EXPECT_EQ(cols[1].reads.size(), 2U);
    EXPECT_EQ(cols[2].reads.size(), 2U);
    std::vector<bam1_ptr> unplaced;
    unplaced.push_back(make_record(-1, 10, "3M"));
    EXPECT_TRUE(pileup_all(unplaced).empty());
}

TEST(Pileup, MaskCanBeChangedButAlwaysDropsUnmapped) {
    bam_plp_t iter = bam_plp_init(nullptr, nullptr);
    bam_plp_set_mask(iter, 0);  // keep duplicates and the rest
    auto dup = make_record(0, 0, "1M", BAM_FDUP);
    auto unmapped = make_record(0, 0, "1M", BAM_FUNMAP);
    ASSERT_EQ(bam_plp_push(iter, dup.get()), 0);
    ASSERT_EQ(bam_plp_push(iter, unmapped.get()), 0);
    ASSERT_EQ(bam_plp_push(iter, nullptr), 0);
    int tid, pos, n;
    ASSERT_NE(bam_plp_next(iter, &tid, &pos, &n), nullptr);
    EXPECT_EQ(n, 1);
    bam_plp_destroy(iter);
}

TEST(Pileup, DepthCapStopsAcceptingReadsAtThePendingColumn) {
    std::vector<bam1_ptr> recs;
    for (int i = 0; i < 20; ++i) recs.push_back(make_record(0, 100, "5M"));
    recs.push_back(make_record(0, 101, "5M"));  // a later start is not capped
    auto cols = pileup_all(recs, 10);
    ASSERT_FALSE(cols.empty());
    EXPECT_EQ(cols[0].pos, 100);
    EXPECT_EQ(cols[0].reads.size(), 9U);  // two nodes in use besides the reads
    EXPECT_EQ(cols[1].reads.size(), 10U);
}

TEST(Pileup, OutOfOrderInputStopsTheIteratorForGood) {
    struct order_case {
        int32_t tid1, pos1, tid2, pos2;
        const char* message;
    };
    for (const order_case& c :
         {order_case{0, 50, 0, 40, "[bam_pileup_core] the input is not sorted (reads out of order)\n"},
          order_case{1, 5, 0, 40, "[bam_pileup_core] the input is not sorted (chromosomes out of order)\n"}}) {
        bam_plp_t iter = bam_plp_init(nullptr, nullptr);
        auto a = make_record(c.tid1, c.pos1, "10M"), b = make_record(c.tid2, c.pos2, "10M");
        ASSERT_EQ(bam_plp_push(iter, a.get()), 0);
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(bam_plp_push(iter, b.get()), -1);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.message);
        EXPECT_TRUE(bam_plp_failed(iter));
        int tid, pos, n = 0;
        EXPECT_EQ(bam_plp_next(iter, &tid, &pos, &n), nullptr);
        EXPECT_EQ(n, -1);
        EXPECT_EQ(bam_plp_push(iter, a.get()), -1);
        bam_plp_destroy(iter);
    }
}

TEST(Pileup, ResetStartsOverAndDestroyNamesUndrainedRecords) {
    bam_plp_t iter = bam_plp_init(nullptr, nullptr);
    auto a = make_record(0, 500, "10M"), b = make_record(0, 5, "2M");
    ASSERT_EQ(bam_plp_push(iter, a.get()), 0);
    bam_plp_reset(iter);
    ASSERT_EQ(bam_plp_push(iter, b.get()), 0);  // earlier than before the reset: fine
    ASSERT_EQ(bam_plp_push(iter, a.get()), 0);
    ::testing::internal::CaptureStderr();
    bam_plp_destroy(iter);  // two records still buffered
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "[bam_plp_destroy] memory leak: 2. Continue anyway.\n");
}

// Reader over a vector of records, for the auto and multi-way forms.
struct vector_reader {
    const std::vector<bam1_ptr>* recs;
    size_t next = 0;
    static int read(void* data, bam1_t* b) {
        auto* r = static_cast<vector_reader*>(data);
        if (r->next == r->recs->size()) return -1;
        bam_copy1(b, (*r->recs)[r->next++].get());
        return 0;
    }
};

// Pseudo-random sorted reads with mixed CIGARs over two references.
std::vector<bam1_ptr> random_reads(uint32_t seed, int n) {
    const char* cigars[] = {"20M", "5S15M", "8M2D12M", "6M3I11M", "10M30N10M", "3=1X16=", "12M", "4M1D4M1I4M"};
    std::vector<bam1_ptr> recs;
    uint32_t s = seed, pos = 0;
    int tid = 0;
    for (int i = 0; i < n; ++i) {
        s = s * 1103515245U + 12345U;
        pos += (s >> 16) % 7;
        if (i == n / 2) tid = 1, pos = 3;
        uint16_t flag = ((s >> 8) % 13 == 0) ? BAM_FDUP : 0;
        recs.push_back(make_record(tid, static_cast<int32_t>(pos), cigars[(s >> 20) % 8], flag));
    }
    return recs;
}

std::vector<std::string> describe(const std::vector<column>& cols) {
    std::vector<std::string> out;
    for (const auto& c : cols) {
        std::string line = std::to_string(c.tid) + ":" + std::to_string(c.pos);
        for (const auto& e : c.entries) {
            char text[64];
            std::snprintf(text, sizeof text, " %d/%d/%d%d%d%d", e.qpos, e.indel, e.is_del, e.is_head, e.is_tail, e.is_refskip);
            line += text;
        }
        out.push_back(line);
    }
    return out;
}

TEST(Pileup, AutoAndCallbackFormsEqualPushAndPull) {
    auto recs = random_reads(7, 400);
    auto expected = describe(pileup_all(recs));
    ASSERT_GT(expected.size(), 100U);

    vector_reader reader{&recs};
    bam_plp_t iter = bam_plp_init(vector_reader::read, &reader);
    std::vector<column> auto_cols;
    int tid, pos, n;
    while (const bam_pileup1_t* plp = bam_plp_auto(iter, &tid, &pos, &n)) {
        column c{tid, pos, {}, {}};
        for (int i = 0; i < n; ++i) c.entries.push_back(flatten(pos, plp[i]));
        auto_cols.push_back(std::move(c));
    }
    EXPECT_EQ(n, 0);
    bam_plp_destroy(iter);
    EXPECT_EQ(describe(auto_cols), expected);

    std::vector<column> cb_cols;
    bam_plbuf_t* buf = bam_plbuf_init(
        [](uint32_t t, uint32_t p, int m, const bam_pileup1_t* pl, void* data) {
            column c{static_cast<int>(t), static_cast<int>(p), {}, {}};
            for (int i = 0; i < m; ++i) c.entries.push_back(flatten(static_cast<int>(p), pl[i]));
            static_cast<std::vector<column>*>(data)->push_back(std::move(c));
            return 0;
        },
        &cb_cols);
    for (const auto& b : recs) ASSERT_EQ(bam_plbuf_push(b.get(), buf), 0);
    ASSERT_EQ(bam_plbuf_push(nullptr, buf), 0);
    bam_plbuf_destroy(buf);
    EXPECT_EQ(describe(cb_cols), expected);
}

// Long random CIGARs: long matches, skips and deletions, insertions,
// padding, clips and =/X, so that columns share long stretches.
std::string random_cigar(uint32_t* s) {
    auto next = [s](uint32_t m) {
        *s = *s * 1103515245U + 12345U;
        return (*s >> 8) % m;
    };
    std::string c;
    if (next(3) == 0) c += std::to_string(1 + next(5)) + "S";
    c += std::to_string(1 + next(40)) + "M";
    for (int n = static_cast<int>(next(5)); n > 0; --n) {
        static const char* middle[] = {"D", "N", "I", "PI", "X", "="};
        std::string op = middle[next(6)];
        uint32_t len = op == "N" ? 1 + next(80) : 1 + next(op == "D" ? 6 : 30);
        if (op == "PI") op = "I", c += "1P";
        c += std::to_string(len);
        c += op;
        c += std::to_string(1 + next(40)) + "M";
    }
    if (next(3) == 0) c += std::to_string(1 + next(5)) + "S";
    return c;
}

// `n` sorted reads with random long CIGARs, starts 0..max_gap-1 apart.
std::vector<bam1_ptr> random_long_reads(uint32_t seed, int n, uint32_t max_gap) {
    std::vector<bam1_ptr> recs;
    uint32_t s = seed, pos = 0;
    for (int i = 0; i < n; ++i) {
        s = s * 1103515245U + 12345U;
        pos += (s >> 16) % max_gap;
        recs.push_back(make_record(0, static_cast<int32_t>(pos), random_cigar(&s)));
    }
    return recs;
}

// The column entry of one read at one position, worked out from its CIGAR
// alone: query index, the indel after an operation's last position, flags.
std::optional<entry> expected_entry(const bam1_t* b, int pos) {
    const uint8_t* cigar = rec_cigar(b);
    const int n = b->core.n_cigar;
    int64_t x = b->core.pos, y = 0, end = bam_calend(&b->core, cigar);
    for (int k = 0; k < n; ++k) {
        uint32_t op = bam_cigar_op(cigar_get(cigar, k)), len = bam_cigar_oplen(cigar_get(cigar, k));
        if (!bam_cigar_is_ref(op)) {
            if (bam_cigar_is_query(op)) y += len;
            continue;
        }
        if (pos < x || pos >= x + len) {
            x += len;
            if (bam_cigar_is_query(op)) y += len;
            continue;
        }
        const bool match = bam_cigar_is_query(op);
        entry e{
            pos, static_cast<int>(match ? y + (pos - x) : y), 0, !match, pos == b->core.pos, pos == end - 1, op == BAM_CREF_SKIP};
        if (pos == x + len - 1) {
            int ins = 0;
            for (int j = k + 1; j < n; ++j) {
                uint32_t opj = bam_cigar_op(cigar_get(cigar, j)), lj = bam_cigar_oplen(cigar_get(cigar, j));
                if (opj == BAM_CDEL && j == k + 1) e.indel = -static_cast<int>(lj);
                if (opj == BAM_CINS) ins += static_cast<int>(lj);
                if (opj != BAM_CPAD && (j > k + 1 || opj != BAM_CINS)) break;
            }
            if (ins) e.indel = ins;
        }
        return e;
    }
    return std::nullopt;
}

TEST(Pileup, LongRandomAlignmentsEqualEntriesWorkedFromEachCigar) {
    const std::vector<bam1_ptr> recs = random_long_reads(99, 3000, 9);
    const uint32_t pos = static_cast<uint32_t>(recs.back()->core.pos);
    std::vector<column> expected;
    const int last = static_cast<int>(pos) + 1000;
    for (int p = 0; p < last; ++p) {
        column c{0, p, {}, {}};
        for (const auto& b : recs) {
            if (b->core.pos > p) break;  // reads span well below 2000 positions
            if (b->core.pos + 2000 < p) continue;
            if (auto e = expected_entry(b.get(), p)) c.entries.push_back(*e);
        }
        if (!c.entries.empty()) expected.push_back(std::move(c));
    }
    ASSERT_GT(expected.size(), 10000U);
    EXPECT_EQ(describe(pileup_all(recs)), describe(expected));

    // A caller that marks entries (as a display does) still gets zeroed
    // level and aux in the next column.
    vector_reader reader{&recs};
    bam_plp_t iter = bam_plp_init(vector_reader::read, &reader);
    int tid, p, n, bad = 0;
    while (const bam_pileup1_t* plp = bam_plp_auto(iter, &tid, &p, &n)) {
        for (int i = 0; i < n; ++i) {
            bad += plp[i].level != 0 || plp[i].aux != 0;
            auto* e = const_cast<bam_pileup1_t*>(plp + i);
            e->level = 7;
            e->aux = 5;
        }
    }
    bam_plp_destroy(iter);
    EXPECT_EQ(bad, 0);
}

TEST(Pileup, SkippedRunsHoldTheSameReadsAndFlags) {
    const std::vector<bam1_ptr> recs = random_long_reads(5, 1500, 13);
    const std::vector<column> all = pileup_all(recs);
    std::map<int, const column*> at;
    for (const auto& c : all) at[c.pos] = &c;

    vector_reader reader{&recs};
    void* data[1] = {&reader};
    bam_mplp_t mplp = bam_mplp_init(1, vector_reader::read, data);
    int tid, p, n;
    const bam_pileup1_t* plp;
    size_t seen = 0, skipped = 0, runs = 0;
    uint32_t r = 17;
    while (bam_mplp_auto(mplp, &tid, &p, &n, &plp) > 0) {
        ASSERT_TRUE(at.count(p)) << p;
        const column& want = *at[p];
        std::vector<entry> got;
        for (int i = 0; i < n; ++i) got.push_back(flatten(p, plp[i]));
        ASSERT_EQ(got, want.entries) << "column " << p;
        ++seen;
        const int run = bam_mplp_run_length(mplp);
        // Every column of the run holds the same reads and flags, query
        // positions moving with the aligned bases only.
        for (int k = 1; k <= run; ++k) {
            ASSERT_TRUE(at.count(p + k)) << p + k;
            const column& next = *at[p + k];
            ASSERT_EQ(next.entries.size(), got.size());
            for (size_t i = 0; i < got.size(); ++i) {
                entry e = got[i];
                e.pos = p + k;
                e.qpos += e.is_del ? 0 : k;
                e.is_head = 0;
                EXPECT_EQ(next.entries[i], e) << "column " << p + k;
                EXPECT_EQ(next.reads[i], want.reads[i]);
            }
        }
        r = r * 1103515245U + 12345U;
        // Half the time the whole run, otherwise a random part of it.
        const int k = run && (r >> 20) % 2 ? run : run ? static_cast<int>((r >> 16) % (static_cast<uint32_t>(run) + 1)) : 0;
        runs += run > 0;
        bam_mplp_skip_run(mplp, k);
        skipped += static_cast<size_t>(k);
    }
    bam_mplp_destroy(mplp);
    EXPECT_EQ(seen + skipped, all.size());
    EXPECT_GT(skipped, all.size() / 10);
    EXPECT_GT(runs, 100U);

    // Several files in lock-step never report a run.
    std::vector<bam1_ptr> other;
    other.push_back(make_record(0, 0, "100M"));
    vector_reader r1{&other}, r2{&other};
    void* two[2] = {&r1, &r2};
    bam_mplp_t pair = bam_mplp_init(2, vector_reader::read, two);
    int n2[2];
    const bam_pileup1_t* plp2[2];
    ASSERT_GT(bam_mplp_auto(pair, &tid, &p, n2, plp2), 0);
    EXPECT_EQ(bam_mplp_run_length(pair), 0);
    ::testing::internal::CaptureStderr();  // stopped early: each file names its buffered read
    bam_mplp_destroy(pair);
    ::testing::internal::GetCapturedStderr();
}

TEST(MultiPileup, ThreeFilesInLockStepEqualThreeSingleRuns) {
    std::vector<std::vector<bam1_ptr>> files;
    files.push_back(random_reads(1, 300));
    files.push_back(random_reads(2, 250));
    files.push_back(random_reads(3, 10));
    std::vector<std::map<std::pair<int, int>, std::string>> single(3);
    for (int f = 0; f < 3; ++f) {
        auto cols = pileup_all(files[static_cast<size_t>(f)]);
        auto text = describe(cols);
        for (size_t i = 0; i < cols.size(); ++i) single[static_cast<size_t>(f)][{cols[i].tid, cols[i].pos}] = text[i];
    }
    std::vector<vector_reader> readers{{&files[0]}, {&files[1]}, {&files[2]}};
    void* data[3] = {&readers[0], &readers[1], &readers[2]};
    bam_mplp_t mplp = bam_mplp_init(3, vector_reader::read, data);
    int tid, pos, n_plp[3];
    const bam_pileup1_t* plp[3];
    std::vector<std::map<std::pair<int, int>, std::string>> multi(3);
    std::pair<int, int> last{-1, -1};
    int ret;
    while ((ret = bam_mplp_auto(mplp, &tid, &pos, n_plp, plp)) > 0) {
        EXPECT_LT(last, std::make_pair(tid, pos));
        last = {tid, pos};
        int with_column = 0;
        for (int f = 0; f < 3; ++f) {
            if (!n_plp[f]) {
                EXPECT_EQ(plp[f], nullptr);
                continue;
            }
            ++with_column;
            column c{tid, pos, {}, {}};
            for (int i = 0; i < n_plp[f]; ++i) c.entries.push_back(flatten(pos, plp[f][i]));
            multi[static_cast<size_t>(f)][{tid, pos}] = describe({c})[0];
        }
        EXPECT_EQ(ret, with_column);
    }
    bam_mplp_destroy(mplp);
    EXPECT_EQ(multi, single);
}

TEST(MultiPileup, AFileOutOfOrderDropsOutWhileTheOthersGoOn) {
    std::vector<std::vector<bam1_ptr>> files(2);
    files[0].push_back(make_record(0, 0, "3M"));
    files[0].push_back(make_record(0, 10, "2M"));
    files[1].push_back(make_record(0, 5, "2M"));
    files[1].push_back(make_record(0, 1, "2M"));  // out of order
    std::vector<vector_reader> readers{{&files[0]}, {&files[1]}};
    void* data[2] = {&readers[0], &readers[1]};
    bam_mplp_t mplp = bam_mplp_init(2, vector_reader::read, data);
    int tid, pos, n_plp[2];
    const bam_pileup1_t* plp[2];
    std::vector<int> positions;
    ::testing::internal::CaptureStderr();
    while (bam_mplp_auto(mplp, &tid, &pos, n_plp, plp) > 0) {
        positions.push_back(pos);
        EXPECT_EQ(n_plp[1], 0);
    }
    bam_mplp_destroy(mplp);  // the failed file still holds its first record
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "[bam_pileup_core] the input is not sorted (reads out of order)\n"
              "[bam_plp_destroy] memory leak: 1. Continue anyway.\n");
    EXPECT_EQ(positions, (std::vector<int>{0, 1, 2, 10, 11}));
}

TEST(MultiPileup, NoFilesReportNothing) {
    bam_mplp_t mplp = bam_mplp_init(0, vector_reader::read, nullptr);
    int tid, pos;
    EXPECT_EQ(bam_mplp_auto(mplp, &tid, &pos, nullptr, nullptr), 0);
    bam_mplp_destroy(mplp);
}

}  // namespace
