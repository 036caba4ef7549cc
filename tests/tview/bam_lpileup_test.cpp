// Level pileup: rows worked out by hand for reads that end, start, leave
// gaps and free rows in different orders; invariants over generated reads.
#include "tview/bam_lpileup.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

// A mapped record without sequence (the pileup needs only the CIGAR).
bam1_ptr make_record(int32_t pos, const std::string& cigar, const std::string& name) {
    bam1_ptr b = bam1_make();
    std::vector<uint32_t> ops;
    for (size_t i = 0, used = 0; i < cigar.size(); i += used + 1) {
        const uint32_t len = static_cast<uint32_t>(std::stoul(cigar.substr(i), &used));
        ops.push_back(len << BAM_CIGAR_SHIFT | static_cast<uint32_t>(std::strchr("MIDN", cigar[i + used]) - "MIDN"));
    }
    b->core =
        bam1_core_t{0, pos, 0, 60, static_cast<uint8_t>(name.size() + 1), 0, static_cast<uint16_t>(ops.size()), 0, -1, -1, 0};
    b->data_len = rec_data_len(&b->core, 0);
    EXPECT_EQ(bam_grow_data(b.get(), static_cast<size_t>(b->data_len)), 0);
    std::memcpy(b->data, name.c_str(), name.size() + 1);
    for (size_t k = 0; k < ops.size(); ++k) cigar_set(rec_cigar(b.get()), static_cast<int>(k), ops[k]);
    return b;
}

// Every column as (position, read name -> level), in pileup order.
struct column_t {
    int pos;
    std::vector<std::pair<std::string, int>> levels;
};

int collect(uint32_t, uint32_t pos, int n, const bam_pileup1_t* pl, void* data) {
    auto* cols = static_cast<std::vector<column_t>*>(data);
    column_t c{static_cast<int>(pos), {}};
    for (int i = 0; i < n; ++i) c.levels.emplace_back(rec_qname(pl[i].b), pl[i].level);
    cols->push_back(std::move(c));
    return 0;
}

struct lplbuf_deleter {
    void operator()(bam_lplbuf_t* tv) const { bam_lplbuf_destroy(tv); }
};
using lplbuf_ptr = std::unique_ptr<bam_lplbuf_t, lplbuf_deleter>;

std::vector<column_t> pile(bam_lplbuf_t* tv, std::vector<column_t>* cols, const std::vector<bam1_ptr>& reads) {
    cols->clear();
    for (const auto& b : reads) EXPECT_EQ(bam_lplbuf_push(b.get(), tv), 0);
    EXPECT_EQ(bam_lplbuf_push(nullptr, tv), 0);
    return *cols;
}

// The one level of each read; fails when a read changes rows.
std::map<std::string, int> levels_by_read(const std::vector<column_t>& cols) {
    std::map<std::string, int> out;
    for (const auto& c : cols)
        for (const auto& [name, level] : c.levels) {
            auto [it, fresh] = out.emplace(name, level);
            EXPECT_EQ(it->second, level) << name << " changed rows at " << c.pos;
        }
    return out;
}

struct read_spec {
    const char* name;
    int pos;
    const char* cigar;
};

struct level_case {
    const char* name;
    std::vector<read_spec> reads;  // in push (coordinate) order
    std::map<std::string, int> expected;
};

const level_case level_cases[] = {
    // A's row (freed at column 4) is still resting at column 5, free at 6.
    {"row_reused_after_one_column",
     {{"A", 0, "5M"}, {"B", 0, "20M"}, {"C", 5, "5M"}, {"D", 6, "5M"}},
     {{"A", 1}, {"B", 2}, {"C", 3}, {"D", 1}}},
    // All rows end together; the next covered column (far away) only counts
    // the gap down, the one after reuses them lowest first.
    {"every_read_ends",
     {{"A", 0, "3M"}, {"B", 0, "3M"}, {"C", 100, "3M"}, {"D", 100, "3M"}, {"E", 101, "3M"}, {"F", 101, "3M"}},
     {{"A", 1}, {"B", 2}, {"C", 3}, {"D", 4}, {"E", 1}, {"F", 2}}},
    // Row 2 freed two columns before row 1 is reusable first; row 1 a column later.
    {"earlier_freed_row_first",
     {{"A", 0, "5M"}, {"B", 0, "3M"}, {"Z", 0, "20M"}, {"C", 5, "3M"}, {"D", 5, "3M"}, {"E", 6, "3M"}},
     {{"A", 1}, {"B", 2}, {"Z", 3}, {"C", 2}, {"D", 4}, {"E", 1}}},
    // Rows 2 and 3 lie above column 3's highest level and are forgotten: new
    // reads are numbered from 2 without handing out a row twice.
    {"rows_above_column_max_forgotten",
     {{"A", 0, "20M"}, {"B", 0, "3M"}, {"C", 0, "3M"}, {"E", 4, "3M"}, {"F", 4, "3M"}, {"G", 4, "3M"}},
     {{"A", 1}, {"B", 2}, {"C", 3}, {"E", 2}, {"F", 3}, {"G", 4}}},
    // A read of one column takes a row without freeing it.
    {"single_column_read",
     {{"A", 0, "10M"}, {"S", 2, "1M"}, {"T", 3, "3M"}, {"U", 4, "3M"}},
     {{"A", 1}, {"S", 2}, {"T", 3}, {"U", 4}}},
    // Deletions and skips are covered columns: the rows are held through them.
    {"deletion_and_skip_hold_rows",
     {{"A", 0, "2M3D2M"}, {"B", 0, "2M5N2M"}, {"C", 7, "3M"}, {"D", 8, "3M"}},
     {{"A", 1}, {"B", 2}, {"C", 3}, {"D", 1}}},
};

void PrintTo(const level_case& c, std::ostream* os) { *os << c.name; }

class LevelPileup : public ::testing::TestWithParam<level_case> {};

TEST_P(LevelPileup, RowsMatchHandWorkedLevels) {
    const level_case& c = GetParam();
    std::vector<column_t> cols;
    lplbuf_ptr tv(bam_lplbuf_init(collect, &cols));
    ASSERT_TRUE(tv);
    std::vector<bam1_ptr> reads;
    for (const auto& r : c.reads) reads.push_back(make_record(r.pos, r.cigar, r.name));
    EXPECT_EQ(levels_by_read(pile(tv.get(), &cols, reads)), c.expected);
    // After a reset the same reads get the same rows again, from level 1.
    bam_lplbuf_reset(tv.get());
    EXPECT_EQ(levels_by_read(pile(tv.get(), &cols, reads)), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, LevelPileup, ::testing::ValuesIn(level_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// Entries that claim to continue without a carried level (no previous
// column) get fresh rows rather than levels read past the carried ones.
TEST(LevelPileup, ContinuingEntriesWithoutCarriedLevelsGetNewRows) {
    std::vector<column_t> cols;
    lplbuf_ptr tv(bam_lplbuf_init(collect, &cols));
    bam1_ptr a = make_record(0, "10M", "a"), b = make_record(0, "10M", "b"), c = make_record(0, "10M", "c");
    std::vector<bam_pileup1_t> pl(3);
    for (auto& e : pl) std::memset(&e, 0, sizeof e);
    pl[0].b = a.get();
    pl[1].b = b.get();
    EXPECT_EQ(tview_func(0, 5, 2, pl.data(), tv.get()), 0);
    pl[2].b = c.get();
    EXPECT_EQ(tview_func(0, 6, 3, pl.data(), tv.get()), 0);
    ASSERT_EQ(cols.size(), 2u);
    EXPECT_EQ(cols[0].levels, (std::vector<std::pair<std::string, int>>{{"a", 1}, {"b", 2}}));
    EXPECT_EQ(cols[1].levels, (std::vector<std::pair<std::string, int>>{{"a", 1}, {"b", 2}, {"c", 3}}));
}

// Generated reads: each read keeps one row, rows in a column are distinct,
// and two reads sharing a row are at least one covered column apart.
TEST(LevelPileup, GeneratedReadsKeepDistinctSeparatedRows) {
    std::mt19937 rng(7);
    std::vector<bam1_ptr> reads;
    int pos = 0;
    for (int i = 0; i < 2000; ++i) {
        pos += static_cast<int>(rng() % 4);
        if (rng() % 200 == 0) pos += 50;  // uncovered stretches
        int len = 1 + static_cast<int>(rng() % 40);
        std::string cigar = std::to_string(len) + "M";
        if (rng() % 5 == 0) cigar += std::to_string(1 + rng() % 5) + (rng() % 2 ? "D" : "N") + "10M";
        reads.push_back(make_record(pos, cigar, std::string("r").append(std::to_string(i))));
    }
    std::vector<column_t> cols;
    lplbuf_ptr tv(bam_lplbuf_init(collect, &cols));
    pile(tv.get(), &cols, reads);
    std::map<std::string, int> level = levels_by_read(cols);
    ASSERT_EQ(level.size(), reads.size());
    std::map<std::string, std::pair<size_t, size_t>> span;  // first and last column index
    for (size_t k = 0; k < cols.size(); ++k) {
        std::set<int> seen;
        for (const auto& [name, lv] : cols[k].levels) {
            EXPECT_GE(lv, 1);
            EXPECT_TRUE(seen.insert(lv).second) << "row " << lv << " twice at " << cols[k].pos;
            auto it = span.emplace(name, std::make_pair(k, k)).first;
            it->second.second = k;
        }
    }
    std::map<int, std::vector<std::pair<size_t, size_t>>> by_row;
    for (const auto& [name, s] : span) by_row[level[name]].push_back(s);
    for (auto& [row, spans] : by_row) {
        std::sort(spans.begin(), spans.end());
        for (size_t i = 1; i < spans.size(); ++i)
            EXPECT_GE(spans[i].first, spans[i - 1].second + 2) << "row " << row << " reused too early";
    }
}

// A windowed push reports exactly the plain push's columns inside the
// window, with the same levels, however far skips reach outside it.
TEST(LevelPileup, WindowedPushMatchesPlainPushInsideTheWindow) {
    std::mt19937 rng(11);
    std::vector<bam1_ptr> reads;
    for (int i = 0, pos = 0; i < 300; ++i) {
        pos += static_cast<int>(rng() % 30);
        std::string cigar = std::to_string(5 + rng() % 20) + "M";
        if (rng() % 4 == 0) cigar += std::to_string(100 + rng() % 3000) + "N5M";
        reads.push_back(make_record(pos, cigar, std::string("r").append(std::to_string(i))));
    }
    std::vector<column_t> plain_cols, window_cols;
    lplbuf_ptr plain(bam_lplbuf_init(collect, &plain_cols)), windowed(bam_lplbuf_init(collect, &window_cols));
    for (int beg : {0, 700, 2500, 4000}) {
        const int end = beg + 100;
        bam_lplbuf_reset(plain.get());
        bam_lplbuf_reset(windowed.get());
        plain_cols.clear();
        window_cols.clear();
        for (const auto& b : reads) {
            ASSERT_EQ(bam_lplbuf_push(b.get(), plain.get()), 0);
            ASSERT_EQ(bam_lplbuf_push_window(b.get(), windowed.get(), beg, end), 0);
        }
        ASSERT_EQ(bam_lplbuf_push(nullptr, plain.get()), 0);
        ASSERT_EQ(bam_lplbuf_push_window(nullptr, windowed.get(), beg, end), 0);
        auto inside = [&](std::vector<column_t> cols) {
            std::erase_if(cols, [&](const column_t& c) { return c.pos < beg || c.pos >= end; });
            return cols;
        };
        const std::vector<column_t> want = inside(plain_cols), got = inside(window_cols);
        ASSERT_EQ(got.size(), want.size()) << beg;
        for (size_t k = 0; k < want.size(); ++k) EXPECT_EQ(got[k].levels, want[k].levels) << "column " << want[k].pos;
        EXPECT_LT(window_cols.size(), plain_cols.size()) << "nothing passed over at " << beg;
    }
}

}  // namespace
