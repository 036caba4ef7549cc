// Region retrieval from the command line on a large generated BAM: for a
// hundred random regions and the edge cases (a whole reference, the first
// base, bin boundaries, the reference end), view prints exactly the records
// that a linear scan keeps by the overlap rule, in file order, and -c agrees.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "common/test_util.h"

namespace {

using test_util::read_file;
using test_util::run;
using test_util::run_alnkit;
using test_util::run_result;
using test_util::scratch_dir;

#ifdef ALNKIT_SANITIZE_BUILD
constexpr const char* record_count = "100000";  // sanitized builds run about ten times slower
#else
constexpr const char* record_count = "200000";  // over a thousand per 16 kb window, across many blocks
#endif

struct placed_record {
    size_t line_begin, line_len;  // the record's line in the SAM text
    long pos, end;                // 0-based start and exclusive end on the reference
};

// Reference end of a record: the CIGAR's reference length, or one base without CIGAR.
long reference_end(long pos, const std::string& cigar) {
    if (cigar == "*") return pos + 1;
    long len = 0, n = 0;
    for (char c : cigar) {
        if (c >= '0' && c <= '9') {
            n = n * 10 + (c - '0');
        } else {
            if (c == 'M' || c == 'D' || c == 'N' || c == '=' || c == 'X') len += n;
            n = 0;
        }
    }
    return pos + len;
}

TEST(ViewRegions, RandomRegionsMatchALinearScan) {
    scratch_dir dir;
    const std::string sam = dir.file("big.sam"), bam = dir.file("big.bam");
    ASSERT_EQ(run({ALNSIM_PATH, "--seed", "77", "--refs", "5", "--ref-len", "400000", "--records", record_count, "--sorted",
                   "--sam", sam})
                  .status,
              0);
    run_result r = run_alnkit({"view", "-uS", "-o", bam, sam});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(run_alnkit({"index", bam}).status, 0);

    // Linear scan of the text.
    const std::string text = read_file(sam);
    std::vector<std::string> names;
    std::vector<std::vector<placed_record>> by_ref;
    std::vector<long> ref_len;
    size_t p = 0;
    while (p < text.size()) {
        size_t nl = text.find('\n', p);
        std::string line = text.substr(p, nl - p);
        if (line.compare(0, 3, "@SQ") == 0) {
            size_t sn = line.find("SN:"), ln = line.find("LN:");
            names.push_back(line.substr(sn + 3, line.find('\t', sn) - sn - 3));
            ref_len.push_back(std::stol(line.substr(ln + 3)));
            by_ref.emplace_back();
        } else if (line[0] != '@') {
            size_t t1 = line.find('\t'), t2 = line.find('\t', t1 + 1), t3 = line.find('\t', t2 + 1);
            size_t t4 = line.find('\t', t3 + 1), t5 = line.find('\t', t4 + 1), t6 = line.find('\t', t5 + 1);
            std::string ref = line.substr(t2 + 1, t3 - t2 - 1);
            if (ref != "*") {
                size_t tid = 0;
                while (names[tid] != ref) ++tid;
                long pos = std::stol(line.substr(t3 + 1, t4 - t3 - 1)) - 1;
                by_ref[tid].push_back({p, nl - p, pos, reference_end(pos, line.substr(t5 + 1, t6 - t5 - 1))});
            }
        }
        p = nl + 1;
    }
    ASSERT_EQ(names.size(), 5u);

    struct query {
        size_t tid;
        long beg, end;  // 0-based, half-open
        std::string region;
    };
    auto span_of = [&](size_t tid, long beg, long end) {
        return query{tid, beg, end, names[tid] + ":" + std::to_string(beg + 1) + "-" + std::to_string(end)};
    };
    std::vector<query> queries = {
        {1, 0, ref_len[1] + 1, names[1]},              // a whole reference
        span_of(0, 0, 1),                              // the first base
        span_of(2, 16383, 16385),                      // across the first 16 kb window boundary
        span_of(3, 131000, 131200),                    // across a 128 kb bin boundary
        span_of(4, 100000, 300000),                    // wider than a 128 kb bin
        span_of(0, ref_len[0] - 10, ref_len[0] + 10),  // over the reference end
    };
    std::mt19937 rng(2024);
    for (int i = 0; i < 100; ++i) {
        size_t tid = rng() % names.size();
        long span = i % 10 == 0 ? 1 + rng() % 100000 : 1 + rng() % 3000;
        long beg = static_cast<long>(rng() % static_cast<unsigned long>(ref_len[tid] + 2000));  // some past the end
        queries.push_back(span_of(tid, beg, beg + span));
    }
    for (size_t i = 0; i < queries.size(); ++i) {
        const size_t tid = queries[i].tid;
        const long beg = queries[i].beg, end = queries[i].end;
        const std::string& region = queries[i].region;
        std::string expected;
        size_t n_expected = 0;
        for (const placed_record& rec : by_ref[tid])
            if (rec.end > beg && end > rec.pos) {
                expected.append(text, rec.line_begin, rec.line_len).append("\n");
                ++n_expected;
            }
        r = run_alnkit({"view", bam, region});
        ASSERT_EQ(r.status, 0) << region << ": " << r.err;
        ASSERT_TRUE(r.out == expected) << region << ": " << n_expected << " records expected";
        if (i % 4 == 0) {
            r = run_alnkit({"view", "-c", bam, region});
            EXPECT_EQ(r.out, std::to_string(n_expected) + "\n") << region;
        }
    }
}

}  // namespace
