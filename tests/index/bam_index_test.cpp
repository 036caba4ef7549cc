// BAM index building, .bai reading, region iteration and the index and
// idxstats commands.  Index files are checked with a small decoder of their
// own against the virtual offsets of the records, and region queries against
// a linear scan of the same records.
#include "index/bam_index.h"
#include "bam/bam_codec.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bam/sam.h"
#include "common/test_server.h"
#include "common/test_util.h"

namespace {

using test_util::read_file;
using test_util::run_alnkit;
using test_util::scratch_dir;
using test_util::write_file;

// ---- test data ----

void sam_to_bam(const std::string& sam, const std::string& bam) {
    samfile_ptr in(samopen(sam.c_str(), "r", nullptr));
    ASSERT_TRUE(in);
    samfile_ptr out(samopen(bam.c_str(), "wb", in->header));
    ASSERT_TRUE(out);
    bam1_ptr b = bam1_make();
    while (samread(in.get(), b.get()) >= 0) samwrite(out.get(), b.get());
}

std::string generate_bam(const scratch_dir& dir, const std::string& name, int seed, int refs, int ref_len, int records) {
    const std::string sam = dir.file(name + ".sam"), bam = dir.file(name + ".bam");
    auto r = test_util::run({ALNSIM_PATH, "--seed", std::to_string(seed), "--refs", std::to_string(refs), "--ref-len",
                             std::to_string(ref_len), "--records", std::to_string(records), "--sorted", "--sam", sam});
    EXPECT_EQ(r.status, 0) << r.err;
    sam_to_bam(sam, bam);
    return bam;
}

std::string bam_from_sam_text(const scratch_dir& dir, const std::string& name, const std::string& text) {
    write_file(dir.file(name + ".sam"), text);
    sam_to_bam(dir.file(name + ".sam"), dir.file(name + ".bam"));
    return dir.file(name + ".bam");
}

struct rec_info {
    int32_t tid, pos;
    uint32_t end;  // alignment end, or pos + 1 without CIGAR
    uint16_t bin, flag;
    uint64_t voff, voff_end;
};

struct bam_scan {
    std::vector<std::string> names;
    std::vector<uint32_t> lengths;
    std::vector<rec_info> recs;
    uint64_t final_voff = 0;  // stream offset once reading has hit the end
};

bam_scan scan_bam(const std::string& bam) {
    bam_scan s;
    BGZF* fp = bgzf_open(bam.c_str(), "r");
    EXPECT_NE(fp, nullptr);
    bam_header_ptr h(bam_header_read(fp));
    for (int i = 0; i < h->n_targets; ++i) {
        s.names.emplace_back(h->target_name[i]);
        s.lengths.push_back(h->target_len[i]);
    }
    bam1_ptr b = bam1_make();
    for (;;) {
        uint64_t before = static_cast<uint64_t>(bgzf_voffset(fp));
        if (bam_read1(fp, b.get()) < 0) {
            s.final_voff = static_cast<uint64_t>(bgzf_voffset(fp));
            break;
        }
        const bam1_core_t& c = b->core;
        uint32_t end = c.n_cigar ? bam_calend(&c, rec_cigar(b.get())) : static_cast<uint32_t>(c.pos) + 1;
        s.recs.push_back({c.tid, c.pos, end, c.bin, c.flag, before, static_cast<uint64_t>(bgzf_voffset(fp))});
    }
    bgzf_close(fp);
    return s;
}

// ---- an independent .bai decoder ----

struct bai_ref {
    std::map<uint32_t, std::vector<pair64_t>> bins;
    std::vector<uint64_t> lin;
};
struct bai_file {
    std::vector<bai_ref> refs;
    bool has_no_coor = false;
    uint64_t n_no_coor = 0;
};

bai_file decode_bai(const std::string& bytes) {
    size_t p = 0;
    auto take = [&](int n) {
        if (p + static_cast<size_t>(n) > bytes.size()) throw std::runtime_error("short .bai");
        uint64_t x = 0;
        for (int i = 0; i < n; ++i) x |= static_cast<uint64_t>(static_cast<uint8_t>(bytes[p + i])) << (8 * i);
        p += static_cast<size_t>(n);
        return x;
    };
    if (bytes.compare(0, 4, std::string("BAI\1", 4)) != 0) throw std::runtime_error("bad magic");
    p = 4;
    bai_file f;
    f.refs.resize(take(4));
    for (auto& r : f.refs) {
        uint64_t n_bin = take(4);
        for (uint64_t j = 0; j < n_bin; ++j) {
            uint32_t bin = static_cast<uint32_t>(take(4));
            if (r.bins.count(bin)) throw std::runtime_error("bin written twice");
            auto& chunks = r.bins[bin];
            for (uint64_t n = take(4); n > 0; --n) {
                uint64_t u = take(8);
                chunks.push_back({u, take(8)});
            }
        }
        for (uint64_t n = take(4); n > 0; --n) r.lin.push_back(take(8));
    }
    if (p < bytes.size()) {
        f.n_no_coor = take(8);
        f.has_no_coor = true;
    }
    EXPECT_EQ(p, bytes.size());
    return f;
}

// Checks the index of `s` against its records: every chunk starts and ends
// at record boundaries of its bin, every record lies in a chunk of its bin,
// the linear index holds the first overlapping record of each window, and
// the metadata bins hold each reference's extent and counts.
void check_index(const bam_scan& s, const bai_file& f) {
    ASSERT_EQ(f.refs.size(), s.names.size());
    std::vector<std::map<uint32_t, std::vector<const rec_info*>>> by_bin(f.refs.size());
    uint64_t no_coor = 0;
    for (const auto& r : s.recs) {
        if (r.tid < 0) ++no_coor;
        else by_bin[r.tid][r.bin].push_back(&r);
    }
    EXPECT_TRUE(f.has_no_coor);
    EXPECT_EQ(f.n_no_coor, no_coor);
    for (size_t t = 0; t < f.refs.size(); ++t) {
        SCOPED_TRACE("reference " + std::to_string(t));
        const bai_ref& ref = f.refs[t];
        size_t expected_bins = by_bin[t].size() + (by_bin[t].empty() ? 0 : 1);
        EXPECT_EQ(ref.bins.size(), expected_bins);
        for (const auto& [bin, recs] : by_bin[t]) {
            auto it = ref.bins.find(bin);
            ASSERT_NE(it, ref.bins.end()) << "bin " << bin;
            const auto& chunks = it->second;
            std::map<uint64_t, int> starts, ends;
            for (const rec_info* r : recs) ++starts[r->voff], ++ends[r->voff_end];
            // The run that ends the file ends where reading stopped, past the EOF block.
            if (recs.back() == &s.recs.back()) ++ends[s.final_voff];
            for (size_t j = 0; j < chunks.size(); ++j) {
                EXPECT_TRUE(starts.count(chunks[j].u) && ends.count(chunks[j].v)) << "bin " << bin << " chunk " << j;
                EXPECT_LT(chunks[j].u, chunks[j].v);
                if (j) {
                    EXPECT_LT(chunks[j - 1].v, chunks[j].u);
                }
            }
            for (const rec_info* r : recs) {
                bool covered = false;
                for (const auto& c : chunks) covered |= c.u <= r->voff && r->voff_end <= c.v;
                EXPECT_TRUE(covered) << "record at " << r->voff << " in bin " << bin;
            }
        }
        // Metadata.
        uint64_t first = 0, last = 0, mapped = 0, unmapped = 0;
        std::vector<uint64_t> lin;  // first mapped record per window, 0 for none
        int64_t n_intv = 0;
        for (const auto& r : s.recs) {
            if (r.tid != static_cast<int32_t>(t)) continue;
            if (!first) first = r.voff;
            last = &r == &s.recs.back() ? s.final_voff : r.voff_end;
            if (r.flag & BAM_FUNMAP) {
                ++unmapped;
                continue;
            }
            ++mapped;
            int64_t w0 = r.pos >> 14, w1 = (static_cast<int64_t>(static_cast<int32_t>(r.end)) - 1) >> 14;
            if (w1 >= static_cast<int64_t>(lin.size())) lin.resize(static_cast<size_t>(w1 + 1), 0);
            for (int64_t w = std::max<int64_t>(w0, 0); w <= w1; ++w)
                if (!lin[w]) lin[w] = r.voff;
            n_intv = std::max<int64_t>(w1 + 1, 0);
        }
        if (first) {
            auto meta = ref.bins.find(37450);
            ASSERT_NE(meta, ref.bins.end());
            ASSERT_EQ(meta->second.size(), 2U);
            EXPECT_EQ(meta->second[0].u, first);
            EXPECT_EQ(meta->second[0].v, last);
            EXPECT_EQ(meta->second[1].u, mapped);
            EXPECT_EQ(meta->second[1].v, unmapped);
        }
        ASSERT_EQ(static_cast<int64_t>(ref.lin.size()), n_intv);
        for (size_t w = 0; w < ref.lin.size(); ++w) {
            uint64_t want = lin[w] ? lin[w] : (w ? ref.lin[w - 1] : 0);
            EXPECT_EQ(ref.lin[w], want) << "window " << w;
        }
    }
}

TEST(BamIndexBuild, BinsChunksAndLinearIndexMatchRecords) {
    scratch_dir dir;
    for (int seed : {1, 2}) {
        SCOPED_TRACE(seed);
        const std::string bam = generate_bam(dir, seed == 1 ? "g1" : "g2", seed, 3 + seed, 400000, 30000);
        ASSERT_EQ(bam_index_build(bam.c_str()), 0);
        bam_scan s = scan_bam(bam);
        check_index(s, decode_bai(read_file(bam + ".bai")));
    }
}

TEST(BamIndexBuild, SmallLayouts) {
    scratch_dir dir;
    const std::string hdr = "@SQ\tSN:chr1\tLN:1000\n@SQ\tSN:chr2\tLN:2000\n";
    // Header only: two counts per reference and the trailing count.
    std::string bam = bam_from_sam_text(dir, "empty", hdr);
    ASSERT_EQ(bam_index_build(bam.c_str()), 0);
    EXPECT_EQ(read_file(bam + ".bai").size(), 4U + 4 + 8 * 2 + 8);

    // One record: bin 4681 with one chunk, metadata, one window.
    bam = bam_from_sam_text(dir, "one", "@SQ\tSN:chr1\tLN:1000\nr1\t0\tchr1\t1\t30\t10M\t*\t0\t0\tACGTACGTAC\t*\n");
    ASSERT_EQ(bam_index_build(bam.c_str()), 0);
    std::string bytes = read_file(bam + ".bai");
    EXPECT_EQ(bytes.size(), 96U);
    bam_scan s = scan_bam(bam);
    check_index(s, decode_bai(bytes));
    bai_file f = decode_bai(bytes);
    ASSERT_EQ(f.refs[0].bins.count(4681), 1U);
    EXPECT_EQ(f.refs[0].lin, std::vector<uint64_t>{s.recs[0].voff});

    // All unmapped on chr1: counts (0, 2) and no linear index; unplaced tail counted.
    bam = bam_from_sam_text(dir, "unmapped",
                            hdr +
                                "u1\t4\tchr1\t5\t0\t*\t*\t0\t0\tAC\t*\nu2\t4\tchr1\t9\t0\t*\t*\t0\t0\tAC\t*\n"
                                "n1\t4\t*\t0\t0\t*\t*\t0\t0\tAC\t*\nn2\t4\t*\t0\t0\t*\t*\t0\t0\tAC\t*\n");
    ASSERT_EQ(bam_index_build(bam.c_str()), 0);
    f = decode_bai(read_file(bam + ".bai"));
    check_index(scan_bam(bam), f);
    EXPECT_TRUE(f.refs[0].lin.empty());
    EXPECT_EQ(f.n_no_coor, 2U);

    // Two chunks of bin 4681 around a bin-585 record merge inside one block;
    // the linear index length follows the last record (window 1 only).
    bam = bam_from_sam_text(dir, "merge",
                            hdr +
                                "a\t0\tchr1\t1\t30\t4M\t*\t0\t0\tACGT\t*\nb\t0\tchr1\t100\t30\t4M\t*\t0\t0\tACGT\t*\n"
                                "c\t0\tchr1\t16001\t30\t1000M\t*\t0\t0\t*\t*\n"
                                "d\t0\tchr1\t16101\t30\t100M\t*\t0\t0\t*\t*\n");
    ASSERT_EQ(bam_index_build(bam.c_str()), 0);
    s = scan_bam(bam);
    f = decode_bai(read_file(bam + ".bai"));
    check_index(s, f);
    ASSERT_EQ(f.refs[0].bins[4681].size(), 1U);
    EXPECT_EQ(f.refs[0].bins[4681][0].u, s.recs[0].voff);
    EXPECT_EQ(f.refs[0].bins[4681][0].v, s.final_voff);
    EXPECT_EQ(f.refs[0].bins[585].size(), 1U);
    EXPECT_EQ(f.refs[0].lin.size(), 1U);

    // Windows without records copy the entry before them; leading ones stay 0.
    bam = bam_from_sam_text(dir, "gaps",
                            hdr +
                                "a\t0\tchr2\t100001\t30\t4M\t*\t0\t0\tACGT\t*\n"
                                "b\t0\tchr2\t150001\t30\t4M\t*\t0\t0\tACGT\t*\n");
    ASSERT_EQ(bam_index_build(bam.c_str()), 0);
    s = scan_bam(bam);
    f = decode_bai(read_file(bam + ".bai"));
    check_index(s, f);
    const uint64_t a = s.recs[0].voff, b = s.recs[1].voff;
    EXPECT_EQ(f.refs[1].lin, (std::vector<uint64_t>{0, 0, 0, 0, 0, 0, a, a, a, b}));
}

TEST(BamIndexBuild, UnsortedInputFailsWithItsMessage) {
    scratch_dir dir;
    const std::string hdr = "@SQ\tSN:chr1\tLN:1000\n@SQ\tSN:chr2\tLN:2000\n";
    const std::string a = "a\t0\tchr2\t10\t30\t4M\t*\t0\t0\tACGT\t*\n", b = "b\t0\tchr1\t50\t30\t4M\t*\t0\t0\tACGT\t*\n",
                      c = "c\t0\tchr1\t20\t30\t4M\t*\t0\t0\tACGT\t*\n", u = "u\t4\t*\t0\t0\t*\t*\t0\t0\tACGT\t*\n";
    struct {
        std::string records, message;
    } cases[] = {
        {a + b, "[bam_index_core] the alignment is not sorted (b): 2-th chr > 1-th chr\n"},
        {b + c, "[bam_index_core] the alignment is not sorted (c): 49 > 19 in 1-th chr\n"},
        {u + b,
         "[bam_index_core] the alignment is not sorted: reads without coordinates prior to reads with "
         "coordinates.\n"},
        {b + u + c,
         "[bam_index_core] the alignment is not sorted: reads without coordinates prior to reads with "
         "coordinates.\n"},
    };
    for (const auto& tc : cases) {
        const std::string bam = bam_from_sam_text(dir, "unsorted", hdr + tc.records);
        auto r = run_alnkit({"index", bam});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, tc.message + "[bam_index_build2] fail to index the BAM file.\n");
        EXPECT_FALSE(std::fopen((bam + ".bai").c_str(), "rb"));
    }
}

// ---- region queries ----

struct fetch_state {
    BGZF* fp;
    std::vector<uint64_t> ends;  // virtual offset after each returned record
};

int collect(const bam1_t*, void* data) {
    auto* st = static_cast<fetch_state*>(data);
    st->ends.push_back(static_cast<uint64_t>(bgzf_voffset(st->fp)));
    return 0;
}

std::vector<uint64_t> scan_region(const bam_scan& s, int tid, int beg, int end) {
    std::vector<uint64_t> out;
    if (beg < 0) beg = 0;
    if (beg >= end) return out;  // no bins to look in
    for (const auto& r : s.recs)
        if (r.tid == tid && r.end > static_cast<uint32_t>(beg) && static_cast<uint32_t>(end) > static_cast<uint32_t>(r.pos))
            out.push_back(r.voff_end);
    return out;
}

TEST(BamIndexFetch, RandomRegionsMatchLinearScan) {
    scratch_dir dir;
    const std::string bam = generate_bam(dir, "big", 7, 5, 2000000, 100000);
    ASSERT_EQ(bam_index_build(bam.c_str()), 0);
    bam_scan s = scan_bam(bam);
    ASSERT_GT(s.recs.size(), 90000U);
    bam_index_ptr idx(bam_index_load(bam.c_str()));
    ASSERT_TRUE(idx);
    BGZF* fp = bgzf_open(bam.c_str(), "r");
    ASSERT_NE(fp, nullptr);
    std::mt19937 rng(42);
    size_t nonempty = 0;
    for (int q = 0; q < 400; ++q) {
        int tid = static_cast<int>(rng() % s.names.size());
        int len = static_cast<int>(s.lengths[tid]);
        int beg = static_cast<int>(rng() % (len + 20000)) - 5000;
        int span = q % 4 == 0   ? static_cast<int>(rng() % 3)
                   : q % 4 == 1 ? static_cast<int>(rng() % 300)
                                : static_cast<int>(rng() % 200000);
        if (q == 0) beg = 0, span = len;  // a whole reference
        fetch_state st{fp, {}};
        ASSERT_EQ(bam_fetch(fp, idx.get(), tid, beg, beg + span, &st, collect), 0);
        std::vector<uint64_t> want = scan_region(s, tid, beg, beg + span);
        ASSERT_EQ(st.ends, want) << "tid " << tid << " " << beg << "-" << beg + span;
        nonempty += !want.empty();
    }
    EXPECT_GT(nonempty, 200U);

    // The iterator keeps its chunks after the index is gone.
    bam_iter_ptr it(bam_iter_query(idx.get(), 1, 100000, 400000));
    idx.reset();
    bam1_ptr b = bam1_make();
    std::vector<uint64_t> got;
    while (bam_iter_read(fp, it.get(), b.get()) >= 0) got.push_back(static_cast<uint64_t>(bgzf_voffset(fp)));
    EXPECT_EQ(got, scan_region(s, 1, 100000, 400000));
    EXPECT_EQ(bam_iter_read(fp, it.get(), b.get()), -1);
    bgzf_close(fp);
}

TEST(BamIndexFetch, DegenerateRegionsAndRecordsWithoutCigar) {
    scratch_dir dir;
    const std::string bam =
        bam_from_sam_text(dir, "nocig",
                          "@SQ\tSN:chr1\tLN:100000\n"
                          "a\t0\tchr1\t100\t30\t10M\t*\t0\t0\t*\t*\n"
                          "p\t4\tchr1\t200\t0\t*\t*\t0\t0\tAC\t*\n"  // placed, unmapped, no CIGAR: one base at 199
                          "q\t0\tchr1\t300\t30\t5M\t*\t0\t0\t*\t*\n"
                          "n\t4\t*\t0\t0\t*\t*\t0\t0\tAC\t*\n");
    ASSERT_EQ(bam_index_build(bam.c_str()), 0);
    bam_scan s = scan_bam(bam);
    bam_index_ptr idx(bam_index_load(bam.c_str()));
    ASSERT_TRUE(idx);
    BGZF* fp = bgzf_open(bam.c_str(), "r");
    auto fetch = [&](int beg, int end) {
        fetch_state st{fp, {}};
        EXPECT_EQ(bam_fetch(fp, idx.get(), 0, beg, end, &st, collect), 0);
        return st.ends;
    };
    EXPECT_EQ(fetch(200, 299), std::vector<uint64_t>{});                    // p ends at 200, q starts at 299
    EXPECT_EQ(fetch(200, 300), std::vector<uint64_t>{s.recs[2].voff_end});  // q
    EXPECT_EQ(fetch(199, 200), std::vector<uint64_t>{s.recs[1].voff_end});  // p covers 199
    EXPECT_EQ(fetch(150, 150), std::vector<uint64_t>{});                    // empty interval
    EXPECT_EQ(fetch(-5, 105), fetch(0, 105));
    EXPECT_EQ(fetch(0, 100000).size(), 3U);
    EXPECT_EQ(bam_iter_query(idx.get(), 0, 10, 5), nullptr);

    // A region ending before its start reads on from the current position.
    bgzf_seek(fp, static_cast<int64_t>(s.recs[0].voff), SEEK_SET);
    fetch_state st{fp, {}};
    EXPECT_EQ(bam_fetch(fp, idx.get(), 0, 50, 10, &st, collect), 0);
    EXPECT_EQ(st.ends.size(), 4U);
    bgzf_close(fp);
}

// A .bai image with one reference whose bin 0 holds `chunks`.
std::string bai_image(const std::vector<pair64_t>& chunks, const std::vector<uint64_t>& lin = {}) {
    std::string s("BAI\1", 4);
    auto put = [&](uint64_t x, int n) {
        for (int i = 0; i < n; ++i) s += static_cast<char>(x >> (8 * i));
    };
    put(1, 4), put(1, 4), put(0, 4), put(chunks.size(), 4);
    for (auto c : chunks) put(c.u, 8), put(c.v, 8);
    put(lin.size(), 4);
    for (auto x : lin) put(x, 8);
    put(0, 8);
    return s;
}

TEST(BamIndexFetch, ChunksThatDoNotFitTheFileEndTheIteration) {
    scratch_dir dir;
    const std::string bam = generate_bam(dir, "small", 3, 2, 100000, 3000);
    bam_scan s = scan_bam(bam);
    const uint64_t beyond = static_cast<uint64_t>(read_file(bam).size() + 1000) << 16;
    size_t far = 0;  // a chr1 record in a later block than the first record
    while (s.recs[far].voff >> 16 == s.recs[0].voff >> 16) ++far;
    ASSERT_EQ(s.recs[far].tid, 0);
    auto fetch = [&](const std::vector<pair64_t>& chunks, std::vector<uint64_t>* ends) {
        const std::string image = bai_image(chunks);
        bai_status st;
        bam_index_ptr idx(bam_index_decode(reinterpret_cast<const uint8_t*>(image.data()), image.size(), &st));
        EXPECT_TRUE(idx);
        BGZF* fp = bgzf_open(bam.c_str(), "r");
        fetch_state fs{fp, {}};
        int ret = bam_fetch(fp, idx.get(), 0, 0, 1 << 29, &fs, collect);
        bgzf_close(fp);
        *ends = fs.ends;
        return ret;
    };
    std::vector<uint64_t> ends;
    // A chunk past the end of the file is a failed retrieval, not an empty region.
    EXPECT_EQ(fetch({{beyond, beyond + 5}}, &ends), bam_iter_eseek);
    EXPECT_TRUE(ends.empty());
    EXPECT_EQ(fetch({{0xffffffffffff0000ULL, 0xffffffffffff0005ULL}}, &ends), bam_iter_eseek);
    EXPECT_TRUE(ends.empty());
    // A chunk ending inside a record: reading runs past its end.
    EXPECT_EQ(fetch({{s.recs[0].voff, s.recs[0].voff + 1}, {s.recs[far].voff, s.recs[far].voff_end}}, &ends), bam_iter_emismatch);
    EXPECT_EQ(ends, std::vector<uint64_t>{s.recs[0].voff_end});
    // A chunk starting inside a record decodes garbage: a failed retrieval.
    int ret = fetch({{s.recs[0].voff + 7, s.recs[20].voff_end}}, &ends);
    EXPECT_LE(ret, -2);
    EXPECT_LT(ends.size(), 21U);
}

// Chunks that a damaged or foreign index, or a file cut after indexing,
// gives: never a silent short result.
TEST(BamIndexFetch, ChunkInsideARecordOrPastTheDataFails) {
    scratch_dir dir;
    const std::string bam = generate_bam(dir, "mid", 4, 1, 400000, 1500);
    bam_scan s = scan_bam(bam);
    size_t next_block = 0;  // first record of the second block
    while (s.recs[next_block].voff >> 16 == s.recs[0].voff >> 16) ++next_block;
    size_t last = next_block;  // last record on the reference
    while (last + 1 < s.recs.size() && s.recs[last + 1].tid == 0) ++last;
    ASSERT_GT(next_block, 3U);
    ASSERT_EQ(s.recs[last].tid, 0);
    auto fetch = [&](const std::string& path, pair64_t chunk, size_t* n) {
        const std::string image = bai_image({chunk});
        bai_status st;
        bam_index_ptr idx(bam_index_decode(reinterpret_cast<const uint8_t*>(image.data()), image.size(), &st));
        EXPECT_TRUE(idx);
        BGZF* fp = bgzf_open(path.c_str(), "r");
        fetch_state fs{fp, {}};
        const int ret = bam_fetch(fp, idx.get(), 0, 0, 1 << 29, &fs, collect);
        bgzf_close(fp);
        *n = fs.ends.size();
        return ret;
    };
    size_t n = 0;
    // Every byte inside the first three records as the chunk start.
    for (size_t k = 0; k < 3; ++k)
        for (uint64_t at = s.recs[k].voff + 1; at < s.recs[k].voff_end; ++at)
            EXPECT_LE(fetch(bam, {at, s.recs[last].voff_end}, &n), -2)
                << "record " << k << " + " << (at - s.recs[k].voff) << ": " << n << " records";
    // The file cut at the start of its second block after indexing: the data
    // ends inside the chunk.
    const std::string cut = dir.file("cut.bam");
    write_file(cut, read_file(bam).substr(0, s.recs[next_block].voff >> 16));
    EXPECT_EQ(fetch(cut, {s.recs[0].voff, s.recs[last].voff_end}, &n), bam_iter_emismatch);
    EXPECT_EQ(n, next_block);
    // The intact file gives the whole chunk.
    EXPECT_EQ(fetch(bam, {s.recs[0].voff, s.recs[last].voff_end}, &n), 0);
    EXPECT_EQ(n, last + 1);

    // A chunk starting inside a record's optional field that holds the
    // bytes of a well-formed record, unplaced or on a reference the index
    // lacks: the garbage must not pass for the end of the region.
    for (int32_t fake_tid : {-1, 5}) {
        SCOPED_TRACE(fake_tid);
        std::string fake;
        for (uint32_t v : {34U, static_cast<uint32_t>(fake_tid), 10U, 4681U << 16 | 2U, 0U, 0U, ~0U, ~0U, 0U})
            for (int i = 0; i < 4; ++i) fake += static_cast<char>(v >> (8 * i));
        fake += std::string("x\0", 2);
        std::string field = "XX:B:C";
        for (char ch : fake) {
            field += ',';
            field += std::to_string(static_cast<uint8_t>(ch));
        }
        const std::string path =
            bam_from_sam_text(dir, "fake" + std::to_string(fake_tid),
                              "@SQ\tSN:chr1\tLN:1000\n@SQ\tSN:chr2\tLN:1000\nr1\t0\tchr1\t5\t30\t4M\t*\t0\t0\tACGT\tIIII\t" +
                                  field + "\nr2\t0\tchr1\t20\t30\t4M\t*\t0\t0\tACGT\tIIII\n");
        bam_scan t = scan_bam(path);
        ASSERT_EQ(t.recs.size(), 2U);
        BGZF* fp = bgzf_open(path.c_str(), "r");
        bam_header_ptr h(bam_header_read(fp));
        std::string stream(65536, '\0');
        stream.resize(static_cast<size_t>(std::max(0, bgzf_read(fp, stream.data(), 65536))));
        bgzf_close(fp);
        const size_t at = stream.find(fake);  // the record bytes start right after the header
        ASSERT_NE(at, std::string::npos);
        const uint64_t start = (t.recs[0].voff & ~0xffffULL) + at;
        ASSERT_LT(start, t.recs[0].voff_end);
        EXPECT_EQ(fetch(path, {start, t.recs[1].voff_end}, &n), fake_tid < 0 ? bam_iter_emismatch : -4);
        EXPECT_EQ(n, 0U);
    }

    // A built index's last chunk ends after the end-of-file block, where
    // the stream ends: that is the end of the region, not a failure.
    const std::string tiny = bam_from_sam_text(dir, "tiny",
                                               "@SQ\tSN:chr1\tLN:1000\nr1\t0\tchr1\t5\t30\t4M\t*\t0\t0\tACGT\tIIII\n"
                                               "r2\t0\tchr1\t9\t30\t4M\t*\t0\t0\tACGT\tIIII\n");
    ASSERT_EQ(bam_index_build(tiny.c_str()), 0);
    bam_index_ptr idx(bam_index_load(tiny.c_str()));
    ASSERT_TRUE(idx);
    BGZF* fp = bgzf_open(tiny.c_str(), "r");
    fetch_state fs{fp, {}};
    EXPECT_EQ(bam_fetch(fp, idx.get(), 0, 0, 1000, &fs, collect), 0);
    EXPECT_EQ(fs.ends.size(), 2U);
    bgzf_close(fp);
}

TEST(BamIndexQuery, BinListsAndChunkCompaction) {
    std::vector<uint16_t> bins(bam_max_bin);
    EXPECT_EQ(bam_reg2bins(0, 1U << 29, bins.data()), 37449);
    EXPECT_EQ(bam_reg2bins(5, 5, bins.data()), 0);
    EXPECT_EQ(bam_reg2bins(1U << 29, (1U << 29) + 10, bins.data()), 1);
    EXPECT_EQ(bins[0], 0);
    ASSERT_EQ(bam_reg2bins(0, 16384, bins.data()), 6);
    EXPECT_EQ(std::vector<uint16_t>(bins.begin(), bins.begin() + 6), (std::vector<uint16_t>{0, 1, 9, 73, 585, 4681}));
    ASSERT_EQ(bam_reg2bins(0, 16385, bins.data()), 7);
    EXPECT_EQ(bins[6], 4682);

    auto compact = [](std::vector<pair64_t> v) {
        v.resize(static_cast<size_t>(bam_compact_chunks(v.data(), static_cast<int>(v.size()))));
        std::vector<std::pair<uint64_t, uint64_t>> out;
        for (auto c : v) out.emplace_back(c.u >> 16, c.v >> 16);
        return out;
    };
    auto blk = [](uint64_t u, uint64_t v) { return pair64_t{u << 16, v << 16}; };
    using P = std::vector<std::pair<uint64_t, uint64_t>>;
    EXPECT_EQ(compact({blk(10, 50), blk(20, 40), blk(60, 90)}), (P{{10, 50}, {60, 90}}));
    EXPECT_EQ(compact({blk(10, 70), blk(60, 90)}), (P{{10, 90}}));
    EXPECT_EQ(compact({blk(10, 20), blk(30, 40)}), (P{{10, 20}, {30, 40}}));
    EXPECT_EQ(compact({blk(10, 20)}), (P{{10, 20}}));
}

TEST(BamIndexQuery, LinearIndexSetsTheMinimumOffset) {
    const uint64_t x = 500ULL << 16;
    const std::string image = bai_image({{100ULL << 16, 200ULL << 16}, {x, 900ULL << 16}}, {0, 0, x});
    bai_status st;
    bam_index_ptr idx(bam_index_decode(reinterpret_cast<const uint8_t*>(image.data()), image.size(), &st));
    ASSERT_TRUE(idx);
    // Window 1 and everything before it are empty: no minimum, both chunks.
    bam_iter_ptr it(bam_iter_query(idx.get(), 0, 16384, 16400));
    EXPECT_EQ(it->n_off, 2);
    // Past the last window the last entry applies and drops the early chunk.
    it.reset(bam_iter_query(idx.get(), 0, 7 << 14, (7 << 14) + 10));
    ASSERT_EQ(it->n_off, 1);
    EXPECT_EQ(it->off[0].u, x);
    it.reset(bam_iter_query(idx.get(), 0, 2 << 14, (2 << 14) + 10));
    EXPECT_EQ(it->n_off, 1);
    it.reset(bam_iter_query(idx.get(), 0, 10, 10));
    EXPECT_EQ(it->n_off, 0);
    // An empty entry takes the nearest non-empty one before it.
    const std::string gap = bai_image({{100ULL << 16, 200ULL << 16}, {x, 900ULL << 16}}, {x, 0});
    idx.reset(bam_index_decode(reinterpret_cast<const uint8_t*>(gap.data()), gap.size(), &st));
    ASSERT_TRUE(idx);
    it.reset(bam_iter_query(idx.get(), 0, 16384, 16400));
    EXPECT_EQ(it->n_off, 1);
}

// ---- .bai loading ----

TEST(BamIndexLoad, CutOrDamagedFilesFailCleanly) {
    scratch_dir dir;
    const std::string bam = generate_bam(dir, "c", 5, 3, 60000, 600);
    ASSERT_EQ(bam_index_build(bam.c_str()), 0);
    const std::string good = read_file(bam + ".bai");
    auto decode = [](const std::string& bytes, bai_status* st) {
        return bam_index_ptr(bam_index_decode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), st));
    };
    bai_status st;
    ASSERT_TRUE(decode(good, &st));
    for (size_t n = 0; n < good.size(); ++n) {
        bam_index_ptr idx = decode(good.substr(0, n), &st);
        if (n == good.size() - 8) {  // the trailing count is optional
            ASSERT_TRUE(idx);
            EXPECT_EQ(idx->n_no_coor, 0U);
        } else {
            ASSERT_FALSE(idx) << "cut at " << n;
            EXPECT_EQ(st, n < 4 ? bai_bad_magic : bai_corrupt);
        }
    }
    auto patched = [&](size_t at, uint32_t value) {
        std::string s = good;
        for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>(value >> (8 * i));
        return s;
    };
    // Reference count, first bin count and first chunk count: negative or absurd.
    for (size_t at : {size_t{4}, size_t{8}, size_t{16}})
        for (uint32_t v : {0x80000000U, 0xffffffffU, 0x7fffffffU, 0x10000000U}) {
            EXPECT_FALSE(decode(patched(at, v), &st)) << at << " " << v;
            EXPECT_EQ(st, bai_corrupt);
        }
    std::string bad_magic = good;
    bad_magic[3] = 2;
    EXPECT_FALSE(decode(bad_magic, &st));
    EXPECT_EQ(st, bai_bad_magic);

    // Through the loader and the command: the message and status 1.
    const std::string idxstats_err =
        "[bam_index_load] truncated or corrupt index file.\n[bam_index_load] fail to load BAM index.\n"
        "[bam_idxstats] fail to load the index.\n";
    for (size_t n = 5; n < good.size(); n += good.size() / 16 + 1) {
        write_file(bam + ".bai", good.substr(0, n));
        auto r = run_alnkit({"idxstats", bam});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, idxstats_err);
        EXPECT_EQ(r.out, "");
    }
    write_file(bam + ".bai", bad_magic);
    auto r = run_alnkit({"idxstats", bam});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "[bam_index_load] wrong magic number.\n[bam_index_load] fail to load BAM index.\n"
              "[bam_idxstats] fail to load the index.\n");
}

TEST(BamIndexLoad, LooksForBothIndexNames) {
    scratch_dir dir;
    const std::string bam = generate_bam(dir, "x", 9, 2, 50000, 300);
    ASSERT_EQ(bam_index_build2(bam.c_str(), dir.file("x.bai").c_str()), 0);
    EXPECT_TRUE(bam_index_ptr(bam_index_load_local(bam.c_str())));                 // x.bai
    EXPECT_FALSE(bam_index_ptr(bam_index_load_local(dir.file("x.sam").c_str())));  // only x.sam.bai
    write_file(dir.file("x.sam.bai"), read_file(dir.file("x.bai")));
    EXPECT_TRUE(bam_index_ptr(bam_index_load_local(dir.file("x.sam").c_str())));
}

TEST(BamIndexRemote, DownloadsTheIndexIntoTheWorkingDirectory) {
    scratch_dir served, work;
    const std::string bam = generate_bam(served, "x", 8, 2, 200000, 4000);
    ASSERT_EQ(bam_index_build(bam.c_str()), 0);
    bam_scan s = scan_bam(bam);
    test_util::test_server http({"http", served.path()}, work.file("http.err"));
    ASSERT_GT(http.port(), 0);
    const std::filesystem::path old_cwd = std::filesystem::current_path();
    std::filesystem::current_path(work.path());
    const std::string url = http.url("http", "/x.bam");

    testing::internal::CaptureStderr();
    bam_index_ptr idx(bam_index_load(url.c_str()));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[bam_index_load] attempting to download the remote index file.\n");
    ASSERT_TRUE(idx);
    EXPECT_TRUE(read_file(work.file("x.bam.bai")) == read_file(bam + ".bai"));
    BGZF* fp = bgzf_open(url.c_str(), "r");
    ASSERT_NE(fp, nullptr);
    fetch_state st{fp, {}};
    EXPECT_EQ(bam_fetch(fp, idx.get(), 1, 50000, 90000, &st, collect), 0);
    EXPECT_EQ(st.ends, scan_region(s, 1, 50000, 90000));
    bgzf_close(fp);

    // The local copy is used from now on; without either, loading fails.
    testing::internal::CaptureStderr();
    EXPECT_TRUE(bam_index_ptr(bam_index_load(url.c_str())));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    std::filesystem::remove(work.file("x.bam.bai"));
    std::filesystem::remove(bam + ".bai");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(bam_index_ptr(bam_index_load(url.c_str())));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.substr(err.find("[download")),
              "[download_from_remote] fail to open remote file.\n[bam_index_load] fail to load BAM index.\n");
    std::filesystem::current_path(old_cwd);
}

// ---- commands ----

TEST(IdxCommands, IndexArgumentFormsAndUsage) {
    scratch_dir dir;
    const std::string bam = generate_bam(dir, "cmd", 4, 3, 80000, 2000);
    auto r = run_alnkit({"index"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Usage: alnkit index <in.bam> [out.index]\n");
    r = run_alnkit({"index", bam});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    r = run_alnkit({"index", bam, dir.file("named.idx"), "ignored"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(read_file(bam + ".bai") == read_file(dir.file("named.idx")));
    check_index(scan_bam(bam), decode_bai(read_file(dir.file("named.idx"))));

    r = run_alnkit({"index", dir.file("absent.bam")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "open: No such file or directory\n[bam_index_build2] fail to open the BAM file.\n");
    r = run_alnkit({"index", bam, dir.file("no/such/dir.bai")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "[bam_index_build2] fail to create the index file.\n");
}

TEST(IdxCommands, IdxstatsCountsPerReference) {
    scratch_dir dir;
    const std::string bam = generate_bam(dir, "st", 6, 4, 100000, 5000);
    ASSERT_EQ(run_alnkit({"index", bam}).status, 0);
    bam_scan s = scan_bam(bam);
    std::vector<uint64_t> mapped(s.names.size()), unmapped(s.names.size());
    uint64_t no_coor = 0;
    for (const auto& rec : s.recs) {
        if (rec.tid < 0) ++no_coor;
        else ++(rec.flag & BAM_FUNMAP ? unmapped : mapped)[rec.tid];
    }
    ASSERT_GT(no_coor, 0U);
    std::string want;
    for (size_t i = 0; i < s.names.size(); ++i)
        want += s.names[i] + "\t" + std::to_string(s.lengths[i]) + "\t" + std::to_string(mapped[i]) + "\t" +
                std::to_string(unmapped[i]) + "\n";
    want += "*\t0\t0\t" + std::to_string(no_coor) + "\n";
    auto r = run_alnkit({"idxstats", bam});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, want);
    EXPECT_EQ(r.err, "");

    r = run_alnkit({"idxstats"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Usage: alnkit idxstats <in.bam>\n");
    r = run_alnkit({"idxstats", dir.file("absent.bam")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "open: No such file or directory\n[bam_idxstats] fail to open BAM.\n");
    std::remove((bam + ".bai").c_str());
    r = run_alnkit({"idxstats", bam});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "[bam_index_load] fail to load BAM index.\n[bam_idxstats] fail to load the index.\n");
}

}  // namespace
