// BED region lists: the intervals read from a table of line forms (BED,
// positions, comments, CRLF, malformed and oversized numbers), the linear
// index against a plain window-by-window build, and overlap queries on
// random lists (plain, gzip and standard input) against a brute-force scan.
#include "index/bedidx.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "common/test_util.h"

namespace {

using test_util::scratch_dir;
using test_util::write_file;
using interval = std::pair<uint32_t, uint32_t>;
using bed_ptr = std::unique_ptr<void, decltype(&bed_destroy)>;

bed_ptr load(const std::string& path) { return bed_ptr(bed_read(path.c_str()), &bed_destroy); }

bed_ptr load_text(const scratch_dir& dir, const std::string& text) {
    write_file(dir.file("r.bed"), text);
    return load(dir.file("r.bed"));
}

// The intervals listed for `chr`, or nothing when the name is absent.
std::optional<std::vector<interval>> intervals_of(const void* handle, const char* chr) {
    const auto* h = static_cast<const reghash_t*>(handle);
    khint_t k = h->get(chr);
    if (k == h->end()) return std::nullopt;
    const bed_reglist_t& p = h->value(k);
    std::vector<interval> v;
    for (int i = 0; i < p.n; ++i) v.emplace_back(bed_start(p.a[i]), bed_end(p.a[i]));
    return v;
}

TEST(BedRead, LineForms) {
    struct row {
        const char* text;
        std::vector<interval> want;
    };
    const row rows[] = {
        {"chr1\t100\n", {{99, 100}}},
        {"chr1\t99\t100\n", {{99, 100}}},
        {"chr1 0\n", {}},
        {"chr1 0 0\n", {}},
        {"chr1 10 5\n", {{9, 10}}},
        {"chr1 10 abc\n", {{9, 10}}},
        {"chr1  100\n", {}},  // empty second token
        {"chr1 x 100\n", {}},
        {"chr1 -5 10\n", {}},
        {"chr1 5 20 name 0 +\n", {{5, 20}}},
        {"chr1 12abc 20x\n", {{12, 20}}},
        {"chr1\t100\r\nchr1\t5\t9\r\n", {{5, 9}, {99, 100}}},
        {"chr1 5 9", {{5, 9}}},  // no final newline
        {"chr1 300 400\nchr1 5 9\nchr1 5 7\nchr1 1\n", {{0, 1}, {5, 7}, {5, 9}, {300, 400}}},
        {"chr1 99999999999\n", {{INT32_MAX - 1, INT32_MAX}}},
        {"chr1 5 99999999999999999999\n", {{5, INT32_MAX}}},
        {"chr1 99999999999 99999999999\n", {}},
        {"track name=x\n#chr1 5 9\nbrowser position chr1\nchr1 5 9\n", {{5, 9}}},
    };
    scratch_dir dir;
    for (const row& r : rows) {
        SCOPED_TRACE(r.text);
        bed_ptr h = load_text(dir, r.text);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(intervals_of(h.get(), "chr1"), r.want);
    }
    // Every line adds its first token, interval or not.
    bed_ptr h = load_text(dir, "track name=x\n#c 1 2\nchr2  5\n");
    EXPECT_EQ(intervals_of(h.get(), "track"), std::vector<interval>{});
    EXPECT_EQ(intervals_of(h.get(), "#c"), (std::vector<interval>{{1, 2}}));
    EXPECT_EQ(intervals_of(h.get(), "chr2"), std::vector<interval>{});
    EXPECT_EQ(bed_overlap(h.get(), "chr2", 0, INT32_MAX), 0);
}

TEST(BedRead, LongLinesAndGarbage) {
    scratch_dir dir;
    // Extra columns far longer than the read buffer are skipped line by line.
    std::string extra(20000, 'x');
    bed_ptr h = load_text(dir, "chr1 5 9 " + extra + "\nchr1 20 30\t" + extra + " 1 2\nchr2 1\n");
    EXPECT_EQ(intervals_of(h.get(), "chr1"), (std::vector<interval>{{5, 9}, {20, 30}}));
    EXPECT_EQ(intervals_of(h.get(), "chr2"), (std::vector<interval>{{0, 1}}));

    // Random bytes: the load never fails and whatever it keeps is well formed.
    std::mt19937 rng(7);
    const char alphabet[] = "chr12 \t\n\r\v\f0123456789-x\0\xff";
    for (int round = 0; round < 50; ++round) {
        std::string text(rng() % 3000, ' ');
        for (char& c : text) c = alphabet[rng() % (sizeof alphabet - 1)];
        bed_ptr g = load_text(dir, text);
        ASSERT_NE(g, nullptr);
        const auto* map = static_cast<const reghash_t*>(g.get());
        for (khint_t k = map->begin(); k != map->end(); ++k) {
            if (!map->exist(k)) continue;
            const bed_reglist_t& p = map->value(k);
            for (int i = 0; i < p.n; ++i) {
                EXPECT_LT(bed_start(p.a[i]), bed_end(p.a[i]));
                if (i > 0) {
                    EXPECT_LE(p.a[i - 1], p.a[i]);
                }
            }
        }
    }
}

TEST(BedOverlap, EdgeRules) {
    scratch_dir dir;
    bed_ptr h = load_text(dir, "chr1 100\nchr2 100 200\nchr2 150 160\nchr3 8000 8192\n");
    EXPECT_EQ(bed_overlap(h.get(), "chr1", 99, 100), 1);
    EXPECT_EQ(bed_overlap(h.get(), "chr1", 98, 99), 0);    // adjacent on the left
    EXPECT_EQ(bed_overlap(h.get(), "chr1", 100, 101), 0);  // adjacent on the right
    EXPECT_EQ(bed_overlap(h.get(), "chr2", 170, 180), 1);  // through the first, longer interval
    EXPECT_EQ(bed_overlap(h.get(), "chr2", 200, 300), 0);
    EXPECT_EQ(bed_overlap(h.get(), "chr3", 8191, 8192), 1);
    EXPECT_EQ(bed_overlap(h.get(), "chr3", 8192, 9000), 0);
    EXPECT_EQ(bed_overlap(h.get(), "chrX", 0, INT32_MAX), 0);
    EXPECT_EQ(bed_overlap(h.get(), "chr", 99, 100), 0);  // exact name match only
    EXPECT_EQ(bed_overlap(nullptr, "chr1", 99, 100), 0);
    EXPECT_EQ(bed_read(dir.file("absent.bed").c_str()), nullptr);
}

TEST(BedIndex, LinearIndex) {
    int len;
    // Windows between intervals stay -1; a later, shorter last interval sets
    // the length even though an earlier one reaches further.
    uint64_t gap[] = {bed_pack(0, 10), bed_pack(50000, 100000), bed_pack(50001, 50002)};
    std::unique_ptr<int, decltype(&std::free)> idx(bed_index_core(3, gap, &len), &std::free);
    ASSERT_EQ(len, 7);
    EXPECT_EQ(std::vector<int>(idx.get(), idx.get() + 7), (std::vector<int>{0, -1, -1, -1, -1, -1, 1}));
    EXPECT_EQ(idx.get()[12], 1);

    // Many intervals before 8192 and a query in window 12: the scan starts
    // at the first interval and passes them all.
    std::vector<uint64_t> many;
    for (uint32_t s = 0; s < 8000; s += 50) many.push_back(bed_pack(s, s + 20));
    bed_reglist_t list{static_cast<int>(many.size()), 0, many.data(), nullptr};
    list.idx = bed_index_core(list.n, many.data(), &list.m);
    EXPECT_EQ(list.m, 1);
    EXPECT_EQ(bed_overlap_core(&list, 12 * 8192, 12 * 8192 + 10), 0);
    EXPECT_EQ(bed_overlap_core(&list, 7970, 8000), 0);
    EXPECT_EQ(bed_overlap_core(&list, 7969, 7971), 1);
    std::free(list.idx);
}

// The index build against a window-by-window fill of every covered window,
// the window of the excluded end included.
TEST(BedIndex, MatchesPlainFill) {
    std::mt19937 rng(11);
    for (int round = 0; round < 200; ++round) {
        std::vector<uint64_t> a(1 + rng() % 60);
        for (uint64_t& x : a) {
            uint32_t s = rng() % 200000, len = rng() % 4 == 0 ? rng() % 60000 : 1 + rng() % 300;
            uint32_t e = s + len + 1;
            if (rng() % 4 == 0 && (e & ~8191U) > s) e &= ~8191U;  // end on a window boundary
            x = bed_pack(s, e);
        }
        std::sort(a.begin(), a.end());
        std::vector<int> want;
        for (size_t i = 0; i < a.size(); ++i) {
            uint32_t e = bed_end(a[i]) >> 13;
            if (want.size() < e + 1) want.resize(e + 1, -1);
            for (uint32_t w = bed_start(a[i]) >> 13; w <= e; ++w)
                if (want[w] == -1) want[w] = static_cast<int>(i);
        }
        int len;
        std::unique_ptr<int, decltype(&std::free)> idx(bed_index_core(static_cast<int>(a.size()), a.data(), &len), &std::free);
        ASSERT_EQ(len, static_cast<int>((bed_end(a.back()) >> 13) + 1));
        for (size_t w = 0; w < want.size(); ++w) ASSERT_EQ(idx.get()[w], want[w]) << "round " << round << " window " << w;
    }
}

// Random unsorted lists mixing short, window-spanning and long intervals,
// written as BED and position lines; every loaded form answers queries like
// a brute-force scan of the listed intervals.
TEST(BedOverlap, RandomAgainstBruteForce) {
    std::mt19937 rng(2024);
    const char* names[] = {"chr1", "chr2", "scaffold_7"};
    std::vector<interval> listed[3];
    std::string text;
    for (int i = 0; i < 900; ++i) {
        // chr2 stays sparse, so that queries fall into empty windows and
        // beyond its last interval.
        int r = i < 5 ? 1 : i % 2 ? 0 : 2;
        uint32_t s = rng() % 300000, len;
        switch (rng() % 4) {
        case 0: len = 1; break;
        case 1: len = 1 + rng() % 100; break;
        case 2: len = 8000 + rng() % 20000; break;  // spans windows
        default: len = 50000 + rng() % 200000; break;
        }
        if (len == 1 && rng() % 2) {
            text += std::string(names[r]) + "\t" + std::to_string(s + 1) + "\n";
        } else {
            text += std::string(names[r]) + "\t" + std::to_string(s) + "\t" + std::to_string(s + len) + "\tfeature\n";
        }
        listed[r].emplace_back(s, s + len);
    }
    scratch_dir dir;
    write_file(dir.file("r.bed"), text);
    test_util::write_gzip_file(dir.file("r.bed.gz"), text);
    std::vector<bed_ptr> handles;
    handles.push_back(load(dir.file("r.bed")));
    handles.push_back(load(dir.file("r.bed.gz")));
    {
        int saved = dup(STDIN_FILENO);
        int fd = open(dir.file("r.bed.gz").c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        dup2(fd, STDIN_FILENO);
        close(fd);
        handles.push_back(load("-"));
        dup2(saved, STDIN_FILENO);
        close(saved);
    }
    for (const bed_ptr& h : handles) ASSERT_NE(h, nullptr);

    for (int q = 0; q < 30000; ++q) {
        int r = static_cast<int>(rng() % 3);
        int beg = static_cast<int>(rng() % 600000) - 10;
        int end = beg + static_cast<int>(rng() % 4 == 0 ? rng() % 30000 : rng() % 50);
        if (rng() % 8 == 0 && !listed[r].empty()) {  // probe an interval's edges
            const interval& iv = listed[r][rng() % listed[r].size()];
            beg = static_cast<int>(rng() % 2 ? iv.second : iv.first) - static_cast<int>(rng() % 2);
            end = beg + 1;
        }
        int want = 0;
        for (const interval& iv : listed[r])
            if (static_cast<int64_t>(iv.first) < end && static_cast<int64_t>(iv.second) > beg) want = 1;
        for (const bed_ptr& h : handles)
            ASSERT_EQ(bed_overlap(h.get(), names[r], beg, end), want) << names[r] << ":" << beg << "-" << end;
    }
}

}  // namespace
