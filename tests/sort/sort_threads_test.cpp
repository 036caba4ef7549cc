// The shared-out record sort: the same order as the single-threaded merge
// sort for every worker count, sizes around the chunk boundaries, and keys
// with many ties (where only an identical merge order keeps the same result).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "bam/bam.h"
#include "containers/ksort.h"
#include "io/thread_pool.h"
#include "sort/bam_sort.h"

namespace {

// Records with keys drawn from a small range; each name is unique unless
// `shared_names`, in which case they repeat too.
std::vector<bam1_t*> make_records(size_t n, uint64_t seed, bool shared_names) {
    std::vector<bam1_t*> recs;
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        bam1_t* b = bam_init1();
        std::string name(1, 'r');
        name += std::to_string(shared_names ? (seed >> 40) % 300 : i);
        b->core.tid = static_cast<int32_t>((seed >> 33) % 3);
        b->core.pos = static_cast<int32_t>((seed >> 20) % 500);
        b->core.flag = (seed >> 50) & 1 ? 16 : 0;
        b->core.l_qname = static_cast<uint8_t>(name.size() + 1);
        b->data_len = b->core.l_qname;
        EXPECT_EQ(bam_grow_data(b, static_cast<size_t>(b->data_len)), 0);
        std::memcpy(b->data, name.c_str(), name.size() + 1);
        recs.push_back(b);
    }
    return recs;
}

TEST(SortThreads, SharedOutSortEqualsTheSingleThreadedOrder) {
    for (int by_name : {0, 1}) {
        g_is_by_qname = by_name;
        for (size_t n : {8192UL, 8193UL, 50000UL, 65536UL, 100003UL}) {
            const std::vector<bam1_t*> recs = make_records(n, n * 7 + static_cast<size_t>(by_name), by_name == 1);
            std::vector<bam1_t*> want = recs;
            ks_mergesort(want.size(), want.data(), static_cast<bam1_t**>(nullptr), bam1_lt);
            for (int workers : {1, 2, 3, 5, 8}) {
                thread_pool pool(workers);
                std::vector<bam1_t*> got = recs;
                sort_records(got.size(), got.data(), &pool);
                EXPECT_TRUE(got == want) << "n " << n << ", " << workers << " workers, by name " << by_name;
            }
            for (bam1_t* b : recs) bam_destroy1(b);
        }
    }
    g_is_by_qname = 0;
}

}  // namespace
