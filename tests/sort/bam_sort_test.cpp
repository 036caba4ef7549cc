// The sort command and its pieces: the natural name order, the record
// orders and heap tie rules, the memory-bound syntax, and whole sorts of
// generated data checked against an order computed here from the input
// records, the block boundaries the bound implies and the merge tie rules.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <queue>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "bam/bam.h"
#include "bam/bam_codec.h"
#include "common/test_util.h"
#include "sort/bam_sort.h"

namespace {

using test_util::run;
using test_util::run_alnkit;
using test_util::run_result;
using test_util::scratch_dir;

// ---- natural name order ----

TEST(StrNumCmp, NaturalOrderTable) {
    struct row {
        const char* a;
        const char* b;
        int sign;
    };
    const row rows[] = {
        {"r2", "r10", -1},     {"a7", "a007", -1},  {"abc", "abcd", -1}, {"read_5", "read_5a", -1}, {"x1", "x1", 0},
        {"", "", 0},           {"", "a", -1},       {"a01", "a1", 1},    {"a10b2", "a10b10", -1},   {"1a", "a", -1},
        {"r9:2", "r10:1", -1}, {"q99", "q100", -1}, {"ab2", "b1", -1},   {"read", "reae", -1},      {"r10x", "r10y", -1},
    };
    for (const auto& r : rows) {
        int ab = strnum_cmp(r.a, r.b), ba = strnum_cmp(r.b, r.a);
        EXPECT_EQ((ab > 0) - (ab < 0), r.sign) << r.a << " vs " << r.b;
        EXPECT_EQ((ba > 0) - (ba < 0), -r.sign) << r.b << " vs " << r.a;
    }
}

// ---- record orders and heap tie rules ----

bam1_ptr make_record(const char* name, int32_t tid, int32_t pos, bool reverse) {
    bam1_ptr b = bam1_make();
    size_t l = std::strlen(name) + 1;
    bam_grow_data(b.get(), l);
    std::memcpy(b->data, name, l);
    b->data_len = static_cast<int>(l);
    b->core.l_qname = static_cast<uint8_t>(l);
    b->core.tid = tid;
    b->core.pos = pos;
    b->core.flag = reverse ? BAM_FREVERSE : 0;
    return b;
}

struct order_guard {  // restores coordinate order after a test
    ~order_guard() { g_is_by_qname = 0; }
};

TEST(SortOrder, CoordinateOrderPutsForwardFirstAndUnmappedLast) {
    order_guard guard;
    g_is_by_qname = 0;
    auto a = make_record("a", 0, 100, true), b = make_record("z", 0, 100, false);
    auto c = make_record("a", 1, 5, false), d = make_record("a", -1, -1, false);
    EXPECT_TRUE(bam1_lt(b.get(), a.get()));
    EXPECT_FALSE(bam1_lt(a.get(), b.get()));
    auto a2 = make_record("b", 0, 100, true);
    EXPECT_FALSE(bam1_lt(a.get(), a2.get()));  // equal keys: neither first, the stable sort keeps input order
    EXPECT_FALSE(bam1_lt(a2.get(), a.get()));
    EXPECT_TRUE(bam1_lt(b.get(), c.get()));
    EXPECT_TRUE(bam1_lt(c.get(), d.get()));
    EXPECT_FALSE(bam1_lt(d.get(), c.get()));
    auto e = make_record("a", 0, 101, false);
    EXPECT_TRUE(bam1_lt(a.get(), e.get()));
}

TEST(SortOrder, NameOrderFallsBackToCoordinate) {
    order_guard guard;
    g_is_by_qname = 1;
    auto r2 = make_record("r2", 5, 0, false), r10 = make_record("r10", 0, 0, false);
    EXPECT_TRUE(bam1_lt(r2.get(), r10.get()));
    auto m1 = make_record("p1", 1, 10, false), m2 = make_record("p1", 0, 900, false);
    EXPECT_TRUE(bam1_lt(m2.get(), m1.get()));
    EXPECT_FALSE(bam1_lt(m1.get(), m2.get()));
    auto u = make_record("p1", -1, -1, false);
    EXPECT_TRUE(bam1_lt(m1.get(), u.get()));
    auto f = make_record("p1", 0, 900, false), r = make_record("p1", 0, 900, true);
    EXPECT_TRUE(bam1_lt(f.get(), r.get()));
    EXPECT_FALSE(bam1_lt(r.get(), f.get()));
}

TEST(SortOrder, MergeKeySeparatesStrandsAndHeapBreaksTiesByInputThenSerial) {
    order_guard guard;
    g_is_by_qname = 0;
    auto f = make_record("a", 0, 100, false), r = make_record("a", 0, 100, true);
    auto u = make_record("a", -1, -1, false);
    EXPECT_LT(bam_merge_key(f.get()), bam_merge_key(r.get()));
    EXPECT_LT(bam_merge_key(r.get()), bam_merge_key(make_record("a", 0, 101, false).get()));
    EXPECT_LT(bam_merge_key(make_record("a", 7, 0, true).get()), bam_merge_key(u.get()));
    EXPECT_LT(bam_merge_key(u.get()), UINT64_MAX);

    heap1_t x{0, 10, 5, f.get()}, y{1, 10, 2, f.get()}, z{0, 10, 6, f.get()};
    EXPECT_TRUE(heap_lt(y, x));  // same key: the later input comes after
    EXPECT_FALSE(heap_lt(x, y));
    EXPECT_TRUE(heap_lt(z, x));  // same input: the later serial comes after
    heap1_t smaller{3, 9, 99, f.get()};
    EXPECT_TRUE(heap_lt(x, smaller));

    g_is_by_qname = 1;
    auto n2 = make_record("n2", 9, 0, false), n10 = make_record("n10", 0, 0, false);
    heap1_t a{0, bam_merge_key(n10.get()), 0, n10.get()}, b{1, bam_merge_key(n2.get()), 1, n2.get()};
    EXPECT_TRUE(heap_lt(a, b));  // the name decides before the key
    heap1_t done{2, UINT64_MAX, 0, nullptr};
    EXPECT_TRUE(heap_lt(done, a));
    EXPECT_FALSE(heap_lt(a, done));
}

TEST(SortOrder, HeapMergeInterleavesInputsAndDropsAFailingOne) {
    order_guard guard;
    g_is_by_qname = 0;
    // Input 2 fails after its first record; its later records must not appear.
    const std::vector<std::vector<int>> inputs = {{1, 4, 4, 9}, {2, 4, 8}, {3, 5, 6}};
    std::vector<size_t> next(inputs.size(), 0);
    auto read = [&](int i, bam1_t* b) {
        if (i == 2 && next[i] == 1) return -4;
        if (next[i] == inputs[i].size()) return -1;
        int pos = inputs[i][next[i]++];
        const char* names[] = {"i0", "i1", "i2"};
        auto src = make_record(names[i], 0, pos, false);
        bam_copy1(b, src.get());
        return 40;
    };
    std::vector<std::pair<int, int>> got;
    auto emit = [&](int i, bam1_t* b) {
        got.emplace_back(b->core.pos, i);
        return 0;
    };
    ASSERT_EQ(bam_merge_heap(3, read, emit), 0);
    const std::vector<std::pair<int, int>> want = {{1, 0}, {2, 1}, {3, 2}, {4, 0}, {4, 0}, {4, 1}, {8, 1}, {9, 0}};
    EXPECT_EQ(got, want);

    std::fill(next.begin(), next.end(), 0);
    int emitted = 0;
    auto fail_second = [&](int, bam1_t*) { return ++emitted == 2 ? -1 : 0; };
    EXPECT_EQ(bam_merge_heap(3, read, fail_second), -1);
    EXPECT_EQ(emitted, 2);
}

TEST(SortOrder, MemoryBoundSuffixes) {
    struct row {
        const char* arg;
        size_t want;
    };
    const row rows[] = {
        {"500", 500},    {"1K", 1024},
        {"1M", 1048576}, {"1G", size_t{1} << 30},
        {"3k", 3072},    {"100M", 100u << 20},
        {"0", 0},        {"12x", 12},
        {"7KB", 7168},   {"", 0},
        {"G", 0},
    };
    for (const auto& r : rows) EXPECT_EQ(bam_sort_parse_mem(r.arg), r.want) << r.arg;
}

// ---- whole sorts ----

struct record {
    bam1_core_t core;
    std::string data;
    int size;  // what bam_read1 returned: the counted size
    bool operator==(const record& o) const { return std::memcmp(&core, &o.core, sizeof core) == 0 && data == o.data; }
};

struct bam_content {
    std::vector<record> records;
    int read_status = 0;  // the last bam_read1 result
};

bam_content read_bam(const std::string& path) {
    bam_content out;
    BGZF* fp = bgzf_open(path.c_str(), "r");
    if (!fp) return out;
    bam_header_t* h = bam_header_read(fp);
    bam1_ptr b = bam1_make();
    if (h) {
        while ((out.read_status = bam_read1(fp, b.get())) >= 0)
            out.records.push_back({b->core, std::string(reinterpret_cast<char*>(b->data), b->data_len), out.read_status});
        bam_header_destroy(h);
    }
    bgzf_close(fp);
    return out;
}

bam_content read_bam_bytes(const scratch_dir& dir, const std::string& bytes) {
    std::string path = dir.file("stdout.bam");
    test_util::write_file(path, bytes);
    return read_bam(path);
}

std::vector<std::string> list_dir(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* d = opendir(path.c_str())) {
        while (dirent* e = readdir(d))
            if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Blocks a bound completes before the end of the input (the remainder is
// one more): a block ends with the record that makes its counted size reach
// the bound.
int count_blocks(const std::vector<record>& in, size_t max_mem) {
    int n = 0;
    size_t mem = 0;
    for (const record& r : in) {
        mem += static_cast<size_t>(r.size);
        if (mem >= max_mem) {
            ++n;
            mem = 0;
        }
    }
    return n;
}

int name_cmp(const record& a, const record& b) { return strnum_cmp(a.data.c_str(), b.data.c_str()); }

// Coordinate order: reference (none last), position, forward before reverse.
std::tuple<uint32_t, int32_t, bool> coord_key(const record& r) {
    return {static_cast<uint32_t>(r.core.tid), r.core.pos, (r.core.flag & BAM_FREVERSE) != 0};
}

// The order every sort must produce, whatever its memory bound: the stable
// sort of the input by (name,) reference, position and strand.
std::vector<record> expected_order(const std::vector<record>& in, bool by_name) {
    std::vector<size_t> idx(in.size());
    std::iota(idx.begin(), idx.end(), 0);
    std::stable_sort(idx.begin(), idx.end(), [&](size_t a, size_t b) {
        if (by_name) {
            int t = name_cmp(in[a], in[b]);
            if (t != 0) return t < 0;
        }
        return coord_key(in[a]) < coord_key(in[b]);
    });
    std::vector<record> out;
    out.reserve(in.size());
    for (size_t i : idx) out.push_back(in[i]);
    return out;
}

// First mismatch index, for readable failures on long streams.
void expect_same_records(const std::vector<record>& got, const std::vector<record>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i)
        ASSERT_TRUE(got[i] == want[i]) << "first difference at record " << i << ": " << got[i].data.c_str() << " "
                                       << got[i].core.tid << ":" << got[i].core.pos << "/" << got[i].core.flag << " vs "
                                       << want[i].data.c_str() << " " << want[i].core.tid << ":" << want[i].core.pos << "/"
                                       << want[i].core.flag;
}

// One generated data set shared by the command tests: 20000 records in
// generator order, as BAM, plus the generator's own coordinate-sorted SAM.
// The references are shortened with the record count, so records share
// positions (and the tie rules decide) as often as in a larger set; the
// bounds are scaled to the input so that each case still gets its one,
// several or hundreds of blocks.
class SortCommand : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new scratch_dir;
        const std::vector<std::string> gen = {ALNSIM_PATH, "--seed", "11",        "--refs", "4",
                                              "--ref-len", "70000",  "--records", "20000",  "--sam"};
        auto with = [&](std::vector<std::string> extra) {
            std::vector<std::string> a = gen;
            a.insert(a.end(), extra.begin(), extra.end());
            return a;
        };
        ASSERT_EQ(run(with({dir_->file("in.sam")})).status, 0);
        ASSERT_EQ(run(with({dir_->file("sorted.sam"), "--sorted"})).status, 0);
        ASSERT_EQ(run_alnkit({"view", "-bS", "-o", dir_->file("in.bam"), dir_->file("in.sam")}).status, 0);
        ASSERT_EQ(run_alnkit({"view", "-bS", "-o", dir_->file("sorted.bam"), dir_->file("sorted.sam")}).status, 0);
        input_ = new std::vector<record>(read_bam(dir_->file("in.bam")).records);
    }
    static void TearDownTestSuite() {
        delete input_;
        delete dir_;
    }

    // Sorts the shared input into a fresh directory and checks the result
    // against the computed order; returns the run for message checks.
    run_result sort_and_check(const std::vector<std::string>& opts, bool by_name) {
        scratch_dir out;
        std::vector<std::string> args = {"sort"};
        args.insert(args.end(), opts.begin(), opts.end());
        args.push_back(dir_->file("in.bam"));
        args.push_back(out.file("out"));
        run_result r = run_alnkit(args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(list_dir(out.path()), std::vector<std::string>{"out.bam"});
        bam_content got = read_bam(out.file("out.bam"));
        EXPECT_EQ(got.read_status, -1);
        expect_same_records(got.records, expected_order(*input_, by_name));
        return r;
    }

    static int block_count(size_t max_mem) { return count_blocks(*input_, max_mem); }

    static scratch_dir* dir_;
    static std::vector<record>* input_;
};

scratch_dir* SortCommand::dir_ = nullptr;
std::vector<record>* SortCommand::input_ = nullptr;

TEST_F(SortCommand, OneBlockEqualsTheGeneratorsStableSort) {
    ASSERT_GE(input_->size(), 20000u);
    run_result r = sort_and_check({}, false);
    EXPECT_EQ(r.err, "");
    // The generator breaks ties the same way (a stable sort of its unsorted
    // order, unmapped records last), so the in-memory sort must match it.
    scratch_dir out;
    ASSERT_EQ(run_alnkit({"sort", dir_->file("in.bam"), out.file("o")}).status, 0);
    expect_same_records(read_bam(out.file("o.bam")).records, read_bam(dir_->file("sorted.bam")).records);
}

TEST_F(SortCommand, SpilledBlocksMergeInTheDefinedOrder) {
    for (size_t max_mem : {size_t{1300000}, size_t{330000}, size_t{13000}}) {
        SCOPED_TRACE(max_mem);
        int n = block_count(max_mem);
        ASSERT_GT(n, 0);
        run_result r = sort_and_check({"-m", std::to_string(max_mem)}, false);
        EXPECT_EQ(r.err, "[bam_sort_core] merging from " + std::to_string(n + 1) + " files...\n");
    }
    EXPECT_GT(block_count(13000), 300);  // more than one merge opens at once
}

TEST_F(SortCommand, FewOpenFilesForceAStagedMergeWithTheSameOrder) {
    scratch_dir out;
    const size_t max_mem = 33000;
    std::string cmd = std::string("ulimit -n 26 && exec ") + ALNKIT_PATH + " sort -m " + std::to_string(max_mem) + " " +
                      dir_->file("in.bam") + " " + out.file("out");
    run_result r = run({"/bin/sh", "-c", cmd});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "[bam_sort_core] merging from " + std::to_string(block_count(max_mem) + 1) + " files...\n");
    EXPECT_GT(block_count(max_mem), 20);  // well above the fan-in of 10
    EXPECT_EQ(list_dir(out.path()), std::vector<std::string>{"out.bam"});
    expect_same_records(read_bam(out.file("out.bam")).records, expected_order(*input_, false));
}

TEST_F(SortCommand, NameOrderInOneAndInManyBlocks) {
    sort_and_check({"-n"}, true);
    run_result r = sort_and_check({"-n", "-m", "100000"}, true);
    EXPECT_EQ(r.err, "[bam_sort_core] merging from " + std::to_string(block_count(100000) + 1) + " files...\n");
}

TEST_F(SortCommand, UnitSuffixesScaleTheBound) {
    run_result g = sort_and_check({"-m", "1G"}, false);
    EXPECT_EQ(g.err, "");  // one block: no merge

    // 1M is 1048576 bytes, not 1000000: the records of the input up to a
    // little over 4100000 counted bytes make 3 full blocks under the one and
    // 4 under the other.
    {
        size_t k = 0, mem = 0;
        while (k < input_->size() && mem < 4100000) mem += static_cast<size_t>((*input_)[k++].size);
        const std::vector<record> prefix(input_->begin(), input_->begin() + static_cast<long>(k));
        const int n = count_blocks(prefix, 1048576);
        ASSERT_NE(n, count_blocks(prefix, 1000000));
        std::string sam = test_util::read_file(dir_->file("in.sam"));
        size_t at = 0;
        while (at < sam.size() && sam[at] == '@') at = sam.find('\n', at) + 1;
        for (size_t i = 0; i < k; ++i) at = sam.find('\n', at) + 1;
        scratch_dir out;
        test_util::write_file(out.file("prefix.sam"), sam.substr(0, at));
        ASSERT_EQ(run_alnkit({"view", "-bS", "-o", out.file("prefix.bam"), out.file("prefix.sam")}).status, 0);
        ASSERT_TRUE(read_bam(out.file("prefix.bam")).records == prefix);
        run_result m = run_alnkit({"sort", "-m", "1M", out.file("prefix.bam"), out.file("s")});
        EXPECT_EQ(m.err, "[bam_sort_core] merging from " + std::to_string(n + 1) + " files...\n");
        expect_same_records(read_bam(out.file("s.bam")).records, expected_order(prefix, false));
    }

    // 1K on a small input: hundreds of blocks of about four records each.
    scratch_dir dir;
    ASSERT_EQ(
        run({ALNSIM_PATH, "--seed", "5", "--refs", "2", "--ref-len", "50000", "--records", "2000", "--sam", dir.file("in.sam")})
            .status,
        0);
    ASSERT_EQ(run_alnkit({"view", "-bS", "-o", dir.file("in.bam"), dir.file("in.sam")}).status, 0);
    auto in = read_bam(dir.file("in.bam")).records;
    int n = count_blocks(in, 1024);
    ASSERT_GT(n, 200);
    run_result k = run_alnkit({"sort", "-m", "1K", dir.file("in.bam"), dir.file("out")});
    EXPECT_EQ(k.err, "[bam_sort_core] merging from " + std::to_string(n + 1) + " files...\n");
    EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"in.bam", "in.sam", "out.bam"}));
    expect_same_records(read_bam(dir.file("out.bam")).records, expected_order(in, false));
}

TEST_F(SortCommand, StandardOutputWithSeveralBlocks) {
    scratch_dir out;
    run_result r = run_alnkit({"sort", "-o", "-m", "170000", dir_->file("in.bam"), out.file("p")});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(list_dir(out.path()), std::vector<std::string>{});
    expect_same_records(read_bam_bytes(out, r.out).records, expected_order(*input_, false));
    r = run_alnkit({"sort", "-o", dir_->file("in.bam"), out.file("p")});
    ASSERT_EQ(r.status, 0);
    expect_same_records(read_bam_bytes(out, r.out).records, expected_order(*input_, false));
}

TEST_F(SortCommand, TruncatedInputSortsWhatWasReadAndLeavesNoTemporaries) {
    scratch_dir out;
    std::string bytes = test_util::read_file(dir_->file("in.bam"));
    test_util::write_file(out.file("cut.bam"), bytes.substr(0, bytes.size() / 2));
    bam_content cut = read_bam(out.file("cut.bam"));
    ASSERT_LT(cut.read_status, -1);
    ASSERT_GT(cut.records.size(), 1000u);
    for (const char* m : {"10000", "500000000"}) {
        SCOPED_TRACE(m);
        run_result r = run_alnkit({"sort", "-m", m, out.file("cut.bam"), out.file("s")});
        EXPECT_EQ(r.status, 1);  // the records read are sorted, but the run is not a success
        EXPECT_NE(r.err.find("[bam_sort_core] truncated file. Continue anyway.\n"), std::string::npos) << r.err;
        EXPECT_EQ(list_dir(out.path()), (std::vector<std::string>{"cut.bam", "s.bam"}));
        expect_same_records(read_bam(out.file("s.bam")).records, expected_order(cut.records, false));
        std::remove(out.file("s.bam").c_str());
    }
}

// A million records (fewer under the sanitizers): one block, a few blocks
// and hundreds of blocks (more than one merge opens at once) give the same
// record stream, the stable sort of the input, and leave only the output.
TEST(SortLarge, EveryBoundGivesTheSameStream) {
#ifdef ALNKIT_SANITIZE_BUILD
    const char* records = "200000";
    const std::vector<std::string> bounds = {"1G", "6M", "70K"};
    const char* ref_len = "5000000";
#else
    const char* records = "1000000";
    const std::vector<std::string> bounds = {"1G", "30M", "350K"};
    const char* ref_len = "2500000";
#endif
    scratch_dir dir;
    ASSERT_EQ(run({ALNSIM_PATH, "--seed", "77", "--records", records, "--refs", "6", "--ref-len", ref_len, "--read-len", "36",
                   "--sam", dir.file("in.sam")})
                  .status,
              0);
    ASSERT_EQ(run_alnkit({"view", "-bS", "-o", dir.file("in.bam"), dir.file("in.sam")}).status, 0);
    std::remove(dir.file("in.sam").c_str());
    std::vector<record> want;
    {
        std::vector<record> in = read_bam(dir.file("in.bam")).records;
        ASSERT_GE(in.size(), std::stoul(records));
        want = expected_order(in, false);
    }
    std::vector<int> blocks;
    for (const std::string& m : bounds) {
        SCOPED_TRACE(m);
        scratch_dir out;
        run_result r = run_alnkit({"sort", "-m", m, dir.file("in.bam"), out.file("out")});
        ASSERT_EQ(r.status, 0) << r.err;
        int n = 1;
        std::sscanf(r.err.c_str(), "[bam_sort_core] merging from %d files", &n);
        blocks.push_back(n);
        EXPECT_EQ(list_dir(out.path()), std::vector<std::string>{"out.bam"});
        expect_same_records(read_bam(out.file("out.bam")).records, want);
    }
    EXPECT_EQ(blocks[0], 1);
    EXPECT_GT(blocks[1], 2);
    EXPECT_LT(blocks[1], 20);
    EXPECT_GT(blocks[2], 300);  // beyond the fan-in: a staged merge
}

// ---- small hand-made inputs ----

std::string sam_body(const std::vector<std::string>& lines) {
    std::string s = "@SQ\tSN:c1\tLN:1000\n@SQ\tSN:c2\tLN:1000\n";
    for (const auto& l : lines) s += l + "\n";
    return s;
}

TEST(SortSmall, BlockEndsWithTheRecordThatReachesTheBound) {
    scratch_dir dir;
    // All at one position, r3 forward and the others reverse: the number of
    // blocks shows where block 0 ended, and however the blocks fall the
    // forward record comes first and the others keep their input order.
    std::vector<std::string> lines;
    for (int i = 0; i < 7; ++i)
        lines.push_back(std::string(1, 'r').append(std::to_string(i)).append(i == 3 ? "\t0" : "\t16") +
                        "\tc1\t50\t30\t4M\t*\t0\t0\tACGT\tIIII");
    test_util::write_file(dir.file("in.sam"), sam_body(lines));
    ASSERT_EQ(run_alnkit({"view", "-bS", "-o", dir.file("in.bam"), dir.file("in.sam")}).status, 0);
    auto in = read_bam(dir.file("in.bam")).records;
    ASSERT_EQ(in.size(), 7u);
    int three = in[0].size + in[1].size + in[2].size;
    auto names = [](const std::vector<record>& v) {
        std::string s;
        for (const auto& r : v) s += r.data.c_str() + std::string(" ");
        return s;
    };
    run_result r = run_alnkit({"sort", "-m", std::to_string(three), dir.file("in.bam"), dir.file("o")});
    EXPECT_EQ(r.err, "[bam_sort_core] merging from 3 files...\n");
    EXPECT_EQ(names(read_bam(dir.file("o.bam")).records), "r3 r0 r1 r2 r4 r5 r6 ");
    r = run_alnkit({"sort", "-m", std::to_string(three + 1), dir.file("in.bam"), dir.file("o")});
    EXPECT_EQ(r.err, "[bam_sort_core] merging from 2 files...\n");
    EXPECT_EQ(names(read_bam(dir.file("o.bam")).records), "r3 r0 r1 r2 r4 r5 r6 ");
    EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"in.bam", "in.sam", "o.bam"}));
}

TEST(SortSmall, NameTiesFollowCoordinatesAndUnmappedKeepInputOrder) {
    scratch_dir dir;
    test_util::write_file(dir.file("in.sam"),
                          sam_body({"r10\t0\tc1\t5\t30\t4M\t*\t0\t0\tACGT\tIIII", "p\t16\tc2\t9\t30\t4M\t*\t0\t0\tACGT\tIIII",
                                    "u2\t4\t*\t0\t0\t*\t*\t0\t0\tACGT\tIIII", "p\t0\tc1\t700\t30\t4M\t*\t0\t0\tACGT\tIIII",
                                    "u1\t4\t*\t0\t0\t*\t*\t0\t0\tACGT\tIIII", "r2\t0\tc1\t5\t30\t4M\t*\t0\t0\tACGT\tIIII"}));
    ASSERT_EQ(run_alnkit({"view", "-bS", "-o", dir.file("in.bam"), dir.file("in.sam")}).status, 0);
    auto names = [](const std::vector<record>& v) {
        std::string s;
        for (const auto& r : v) s += r.data.c_str() + std::string(":") + std::to_string(r.core.tid) + " ";
        return s;
    };
    ASSERT_EQ(run_alnkit({"sort", "-n", dir.file("in.bam"), dir.file("n")}).status, 0);
    EXPECT_EQ(names(read_bam(dir.file("n.bam")).records), "p:0 p:1 r2:0 r10:0 u1:-1 u2:-1 ");
    ASSERT_EQ(run_alnkit({"sort", dir.file("in.bam"), dir.file("c")}).status, 0);
    EXPECT_EQ(names(read_bam(dir.file("c.bam")).records), "r10:0 r2:0 p:0 p:1 u2:-1 u1:-1 ");
}

TEST(SortSmall, HeaderOnlyInputGivesHeaderOnlyOutput) {
    scratch_dir dir;
    test_util::write_file(dir.file("in.sam"), sam_body({}));
    ASSERT_EQ(run_alnkit({"view", "-bS", "-o", dir.file("in.bam"), dir.file("in.sam")}).status, 0);
    run_result r = run_alnkit({"sort", dir.file("in.bam"), dir.file("o")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    run_result v = run_alnkit({"view", "-H", dir.file("o.bam")});
    EXPECT_EQ(v.out, "@SQ\tSN:c1\tLN:1000\n@SQ\tSN:c2\tLN:1000\n");
    EXPECT_TRUE(read_bam(dir.file("o.bam")).records.empty());
}

TEST(SortSmall, UsageAndOpenFailure) {
    const std::string usage = "Usage: alnkit sort [-on] [-m <maxMem>] <in.bam> <out.prefix>\n";
    run_result r = run_alnkit({"sort"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, usage);
    r = run_alnkit({"sort", "-n", "only.bam"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, usage);
    scratch_dir dir;
    r = run_alnkit({"sort", dir.file("missing.bam"), dir.file("o")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("[bam_sort_core] fail to open file " + dir.file("missing.bam") + "\n"), std::string::npos);
    EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{});
}

TEST(SortSmall, UncreatableBlockFileIsReportedAndLeavesNothing) {
    scratch_dir dir;
    std::vector<std::string> lines;
    for (int i = 0; i < 5; ++i)
        lines.push_back(std::string(1, 'q').append(std::to_string(i)).append("\t0\tc1\t").append(std::to_string(100 - i)) +
                        "\t30\t4M\t*\t0\t0\tACGT\tIIII");
    test_util::write_file(dir.file("in.sam"), sam_body(lines));
    ASSERT_EQ(run_alnkit({"view", "-bS", "-o", dir.file("in.bam"), dir.file("in.sam")}).status, 0);
    std::string prefix = dir.file("no/such/dir/out");
    run_result r = run_alnkit({"sort", "-m", "1", dir.file("in.bam"), prefix});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("[sort_blocks] fail to create file " + prefix + ".0000.bam.\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("[bam_merge_core]"), std::string::npos) << r.err;  // the sort stops at the lost block
    EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"in.bam", "in.sam"}));
}

// Records of several megabytes among small ones, with blocks of a few
// records: a record larger than any block buffer seen so far, and later
// blocks reusing buffers of mixed sizes, must keep every byte and the order.
TEST(SortSmall, RecordsOfMegabytesSurviveEveryBlockSize) {
    scratch_dir dir;
    std::vector<std::string> lines;
    const int sizes[] = {4, 1500000, 4, 4, 3000000, 4, 700000, 4, 4, 1500000};
    for (int i = 0; i < 10; ++i) {
        const int n = sizes[i];
        std::string seq(static_cast<size_t>(n), "ACGT"[i % 4]);
        std::string qual(static_cast<size_t>(n), static_cast<char>('#' + i));
        std::ostringstream line;
        line << 'r' << i << "\t0\tc" << 1 + i % 2 << '\t' << 900 - 50 * i << "\t30\t" << n << "S\t*\t0\t0\t" << seq << '\t' << qual;
        lines.push_back(line.str());
    }
    test_util::write_file(dir.file("in.sam"), sam_body(lines));
    ASSERT_EQ(run_alnkit({"view", "-bS", "-o", dir.file("in.bam"), dir.file("in.sam")}).status, 0);
    const auto in = read_bam(dir.file("in.bam")).records;
    ASSERT_EQ(in.size(), 10u);
    for (const char* bound : {"1", "2M", "5M", "1G"}) {
        run_result r = run_alnkit({"sort", "-m", bound, dir.file("in.bam"), dir.file("o")});
        EXPECT_EQ(r.status, 0) << bound << ": " << r.err;
        bam_content got = read_bam(dir.file("o.bam"));
        EXPECT_EQ(got.read_status, -1) << bound;
        expect_same_records(got.records, expected_order(in, false));
    }
}

}  // namespace
