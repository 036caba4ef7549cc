// Hash table tests: hash values worked out by hand, the exact bucket layout
// that double hashing gives on small tables, growth and same-size rebuilds,
// and long random operation sequences checked against std::unordered_map.
#include "containers/khash.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace {

using int_map = khash_t<uint32_t, int, kh_int_traits>;
using int64_map = khash_t<uint64_t, int, kh_int64_traits>;

int upper_for(khint_t n) { return static_cast<int>(n * 0.77 + 0.5); }

bool is_listed_prime(khint_t n) {
    for (khint_t p : kh_prime_list)
        if (p == n) return true;
    return false;
}

TEST(KhashFunctions, ValuesComputedByHand) {
    // 'a' = 97; 97*31 + 98 = 3105; 3105*31 + 99 = 96354.
    EXPECT_EQ(kh_str_hash(""), 0u);
    EXPECT_EQ(kh_str_hash("a"), 97u);
    EXPECT_EQ(kh_str_hash("ab"), 3105u);
    EXPECT_EQ(kh_str_hash("abc"), 96354u);
    EXPECT_EQ(kh_str_hash("hello"), 99162322u);
    EXPECT_EQ(kh_str_hash("Hello World"), 3432422020u);  // wraps modulo 2^32

    EXPECT_EQ(kh_int_hash(0), 0u);
    EXPECT_EQ(kh_int_hash(123456789u), 123456789u);
    EXPECT_EQ(kh_int_hash(0xffffffffu), 0xffffffffu);

    EXPECT_EQ(kh_int64_hash(0), 0u);
    EXPECT_EQ(kh_int64_hash(1), 0x801u);                           // 1 ^ (1 << 11)
    EXPECT_EQ(kh_int64_hash(1ULL << 33), 1u);                      // only k >> 33 reaches the low bits
    EXPECT_EQ(kh_int64_hash(~0ULL), 0x7ffff800u);                  // 0x7fffffff ^ 0xffffffff ^ 0xfffff800
    EXPECT_EQ(kh_int64_hash(0x123456789abcdef0ULL), 0x755175ccu);  // 0x091a2b3c ^ 0x9abcdef0 ^ 0xe6f78000
}

TEST(Khash, PutGetDelReturnCodesAndLayout) {
    int_map h;
    EXPECT_EQ(h.get(4), h.end());  // empty table
    int ret = -1;
    // 3 buckets: 4 starts at 4 % 3 = 1; 7 also starts at 1 and steps by
    // 7 % 2 + 1 = 2, wrapping to bucket 0.
    khint_t b4 = h.put(4, &ret);
    EXPECT_EQ(ret, 1);
    EXPECT_EQ(h.n_buckets, 3u);
    EXPECT_EQ(b4, 1u);
    h.value(b4) = 40;
    EXPECT_EQ(h.put(4, &ret), b4);
    EXPECT_EQ(ret, 0);
    EXPECT_EQ(h.value(b4), 40);
    EXPECT_EQ(h.put(7, &ret), 0u);
    EXPECT_EQ(ret, 1);
    EXPECT_EQ(h.size, 2u);

    // The next put finds the bound (2 of 3) reached with two live keys and
    // grows to 11 first.  There 15 starts at 4, taken by key 4, and steps by
    // 15 % 10 + 1 = 6.
    EXPECT_EQ(h.put(15, &ret), 10u);
    EXPECT_EQ(ret, 1);
    EXPECT_EQ(h.n_buckets, 11u);
    EXPECT_EQ(h.get(4), 4u);
    EXPECT_EQ(h.get(7), 7u);
    EXPECT_EQ(h.value(h.get(4)), 40);  // values travel with their keys

    // Deleting 7 leaves a mark at 7.  Re-inserting 7 walks 7 -> 4 -> 1 (step
    // 8) to an empty bucket, then takes the deleted one it passed.
    h.del(7);
    EXPECT_FALSE(h.exist(7));
    EXPECT_EQ(h.get(7), h.end());
    EXPECT_EQ(h.size, 2u);
    EXPECT_EQ(h.n_occupied, 3u);
    h.del(7);  // deleting twice is harmless
    EXPECT_EQ(h.size, 2u);
    EXPECT_EQ(h.put(7, &ret), 7u);
    EXPECT_EQ(ret, 2);
    EXPECT_EQ(h.size, 3u);
    EXPECT_EQ(h.n_occupied, 3u);
}

TEST(Khash, GrowsThroughThePrimeList) {
    int64_map h;
    int ret;
    std::vector<khint_t> seen;
    const int n_keys = 20000;
    for (int m = 1; m <= n_keys; ++m) {
        h.value(h.put(static_cast<uint64_t>(m) * 0x9e3779b97f4a7c15ULL, &ret)) = m;
        ASSERT_EQ(ret, 1);
        if (seen.empty() || seen.back() != h.n_buckets) {
            seen.push_back(h.n_buckets);
            // Without deletions the table grows exactly when the key count
            // passes the bound of the previous size.
            ASSERT_GE(upper_for(h.n_buckets), m);
            if (seen.size() > 1) {
                ASSERT_EQ(upper_for(seen[seen.size() - 2]), m - 1);
            }
        }
        ASSERT_EQ(h.upper_bound, static_cast<khint_t>(upper_for(h.n_buckets)));
    }
    EXPECT_EQ(seen, (std::vector<khint_t>{3, 11, 23, 53, 97, 193, 389, 769, 1543, 3079, 6151, 12289, 24593, 49157}));
    for (int m = 1; m <= n_keys; ++m) {
        khint_t k = h.get(static_cast<uint64_t>(m) * 0x9e3779b97f4a7c15ULL);
        ASSERT_NE(k, h.end());
        ASSERT_EQ(h.value(k), m);
    }
}

TEST(Khash, DeletionsThenInsertionsRebuildAtTheSameSize) {
    int_map h;
    int ret;
    for (uint32_t k = 0; k < 40; ++k) h.put(k, &ret);
    ASSERT_EQ(h.n_buckets, 53u);  // bound 41
    for (uint32_t k = 0; k < 30; ++k) h.del(h.get(k));
    EXPECT_EQ(h.size, 10u);
    EXPECT_EQ(h.n_occupied, 40u);

    h.put(100, &ret);  // 100 % 53 = 47 is empty: the 41st occupied bucket
    EXPECT_EQ(ret, 1);
    EXPECT_EQ(h.n_occupied, 41u);
    h.put(101, &ret);  // 11 live keys are fewer than half of 53: same size
    EXPECT_EQ(ret, 1);
    EXPECT_EQ(h.n_buckets, 53u);
    EXPECT_EQ(h.size, 12u);
    EXPECT_EQ(h.n_occupied, 12u);
    for (khint_t i = 0; i < h.n_buckets; ++i) EXPECT_FALSE(int_map::flag_deleted(h.flags, i)) << i;
    for (uint32_t k = 0; k < 30; ++k) EXPECT_EQ(h.get(k), h.end()) << k;
    for (uint32_t k : {30u, 35u, 39u, 100u, 101u}) EXPECT_NE(h.get(k), h.end()) << k;

    h.clear();
    EXPECT_EQ(h.n_buckets, 53u);
    EXPECT_EQ(h.size, 0u);
    EXPECT_EQ(h.get(100), h.end());
    h.put(100, &ret);
    EXPECT_EQ(ret, 1);
}

// Runs random put/del/get operations against std::unordered_map and checks
// the bookkeeping of every bucket at intervals.  `key_of(i)` gives the i-th
// key of a fixed pool; `probe_of(i)` an equal key for lookups (for strings a
// different pointer to the same text).
template <typename Table, typename KeyOf, typename ProbeOf>
void run_model(size_t pool, KeyOf key_of, ProbeOf probe_of, uint32_t seed) {
    Table h;
    std::unordered_map<size_t, int> model;  // pool index -> value
    std::mt19937 rng(seed);
    int same_size_rebuilds = 0, reused = 0;
    auto check_all = [&] {
        khint_t live = 0, deleted = 0;
        for (khint_t i = 0; i < h.n_buckets; ++i) {
            if (h.exist(i)) ++live;
            else if (Table::flag_deleted(h.flags, i)) ++deleted;
        }
        ASSERT_EQ(live, h.size);
        ASSERT_EQ(live + deleted, h.n_occupied);
        ASSERT_LE(h.n_occupied, h.upper_bound);
        ASSERT_TRUE(is_listed_prime(h.n_buckets));
        ASSERT_EQ(model.size(), h.size);
        for (const auto& [idx, val] : model) {
            khint_t k = h.get(probe_of(idx));
            ASSERT_NE(k, h.end());
            if constexpr (Table::is_map) {
                ASSERT_EQ(h.value(k), val);
            }
        }
    };
    auto do_put = [&](size_t idx) {
        bool present = model.count(idx) != 0;
        khint_t before_n = h.n_buckets, before_occ = h.n_occupied;
        int ret = -1;
        khint_t k = h.put(key_of(idx), &ret);
        ASSERT_TRUE(h.exist(k));
        ASSERT_TRUE(present ? ret == 0 : ret == 1 || ret == 2) << ret;
        if (h.n_buckets != before_n || h.n_occupied < before_occ) {
            // A rebuild leaves no deleted bucket to reuse.
            if (!present) {
                ASSERT_EQ(ret, 1);
            }
            ASSERT_EQ(h.n_occupied, h.size);
            if (h.n_buckets == before_n) ++same_size_rebuilds;
        } else {
            ASSERT_EQ(h.n_occupied, before_occ + (ret == 1 ? 1 : 0));
            reused += ret == 2;
        }
        if constexpr (Table::is_map) {
            if (!present) h.value(k) = static_cast<int>(rng());
            model[idx] = h.value(k);
        } else {
            model[idx] = 0;
        }
    };
    auto do_get = [&](size_t idx, bool and_delete) {
        bool present = model.count(idx) != 0;
        khint_t k = h.get(probe_of(idx));
        ASSERT_EQ(k != h.end(), present);
        if (!present) return;
        if constexpr (Table::is_map) {
            ASSERT_EQ(h.value(k), model[idx]);
        }
        if (and_delete) {
            h.del(k);
            model.erase(idx);
        }
    };
    // Operations fall in a window that slides over the key pool, and keys
    // leaving the window are deleted: the table keeps meeting fresh keys
    // while its live count stays bounded, so deleted marks pile up.
    const size_t window = 2000, n_ops = (pool - window) * 8;
    for (size_t op = 0; op < n_ops; ++op) {
        size_t base = op / 8;
        if (op % 8 == 0 && base > 0) do_get(base - 1, true);
        size_t idx = base + rng() % window;
        unsigned r = rng() % 10;
        if (r < 5) do_put(idx);
        else if (r < 8) do_get(idx, true);
        else do_get(rng() % pool, false);
        if (testing::Test::HasFatalFailure()) return;
        if (op % 5000 == 0) {
            check_all();
            if (testing::Test::HasFatalFailure()) return;
        }
    }
    check_all();
    // The workload did exercise both paths.
    EXPECT_GT(same_size_rebuilds, 0);
    EXPECT_GT(reused, 0);
}

TEST(KhashModel, StringKeys) {
    std::vector<std::string> keys, probes;
    for (int i = 0; i < 27000; ++i) keys.push_back("read" + std::to_string(i * 7919) + (i % 3 ? ":x" : ""));
    probes = keys;  // separate storage: lookups must compare text, not pointers
    auto key_of = [&](size_t i) { return keys[i].c_str(); };
    auto probe_of = [&](size_t i) { return probes[i].c_str(); };
    run_model<kh_str2int_t>(keys.size(), key_of, probe_of, 1);
    run_model<kh_strset_t>(keys.size(), key_of, probe_of, 2);
}

// 27000 distinct keys from `next()`, which may repeat itself.
template <typename Key, typename Next>
std::vector<Key> distinct_keys(Next next) {
    std::vector<Key> keys;
    std::unordered_set<Key> seen;
    while (keys.size() < 27000) {
        Key k = next(keys.size());
        if (seen.insert(k).second) keys.push_back(k);
    }
    return keys;
}

TEST(KhashModel, Int32Keys) {
    std::mt19937 rng(3);
    // Half of the keys are multiples of 53, which share residues at small sizes.
    auto keys =
        distinct_keys<uint32_t>([&](size_t i) { return i % 2 ? static_cast<uint32_t>(rng()) : static_cast<uint32_t>(i * 53); });
    auto key_of = [&](size_t i) { return keys[i]; };
    run_model<int_map>(keys.size(), key_of, key_of, 4);
}

TEST(KhashModel, Int64Keys) {
    std::mt19937_64 rng(5);
    // Half of the keys differ only in their high bits.
    auto keys = distinct_keys<uint64_t>([&](size_t i) { return i % 2 ? rng() : static_cast<uint64_t>(i) << 40; });
    auto key_of = [&](size_t i) { return keys[i]; };
    run_model<int64_map>(keys.size(), key_of, key_of, 6);
}

}  // namespace
