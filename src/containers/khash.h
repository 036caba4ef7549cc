// Open-addressing hash maps and sets, instantiated per key and value type.
//
// Bucket counts come from a fixed list of primes; each bucket carries two flag
// bits (empty, deleted); collisions are resolved by double hashing.  The exact
// probing and rebuild rules matter beyond speed: iteration order over a table
// is visible in some outputs, so it must not depend on anything but the
// sequence of insertions and deletions.
//
// Keys and values are stored by value in malloc'd arrays and must be
// trivially copyable (strings are borrowed `const char*`).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

using khint_t = uint32_t;
using khiter_t = khint_t;

inline constexpr int kh_prime_count = 32;
extern const khint_t kh_prime_list[kh_prime_count];
inline constexpr double kh_upper_load = 0.77;

// h = h * 31 + c over the bytes, starting from the first byte.  Bytes are read
// as plain `char`, so on the usual platforms high bytes count as negative.
inline khint_t kh_str_hash(const char* s) {
    khint_t h = static_cast<khint_t>(static_cast<int>(*s));
    if (h)
        for (++s; *s; ++s) h = (h << 5) - h + static_cast<khint_t>(static_cast<int>(*s));
    return h;
}
inline khint_t kh_int_hash(uint32_t k) { return k; }
inline khint_t kh_int64_hash(uint64_t k) { return static_cast<khint_t>((k >> 33) ^ k ^ (k << 11)); }

struct kh_str_traits {
    static khint_t hash(const char* k) { return kh_str_hash(k); }
    static bool equal(const char* a, const char* b) { return std::strcmp(a, b) == 0; }
};
struct kh_int_traits {
    static khint_t hash(uint32_t k) { return kh_int_hash(k); }
    static bool equal(uint32_t a, uint32_t b) { return a == b; }
};
struct kh_int64_traits {
    static khint_t hash(uint64_t k) { return kh_int64_hash(k); }
    static bool equal(uint64_t a, uint64_t b) { return a == b; }
};

// Value type of a set: no value array is kept.
struct kh_no_value {};

template <typename Key, typename Val, typename Traits>
struct khash_t {
    static_assert(std::is_trivially_copyable_v<Key> && std::is_trivially_copyable_v<Val>);
    static constexpr bool is_map = !std::is_same_v<Val, kh_no_value>;

    khint_t n_buckets = 0, size = 0, n_occupied = 0, upper_bound = 0;
    uint32_t* flags = nullptr;
    Key* keys = nullptr;
    Val* vals = nullptr;

    khash_t() = default;
    khash_t(const khash_t&) = delete;
    khash_t& operator=(const khash_t&) = delete;
    ~khash_t() { release(); }

    // Flag words hold 16 buckets of two bits: bit 1 empty, bit 0 deleted.
    static bool flag_empty(const uint32_t* f, khint_t i) { return (f[i >> 4] >> ((i & 0xfU) << 1)) & 2; }
    static bool flag_deleted(const uint32_t* f, khint_t i) { return (f[i >> 4] >> ((i & 0xfU) << 1)) & 1; }
    static bool flag_either(const uint32_t* f, khint_t i) { return (f[i >> 4] >> ((i & 0xfU) << 1)) & 3; }
    static void set_deleted(uint32_t* f, khint_t i) { f[i >> 4] |= 1U << ((i & 0xfU) << 1); }
    static void clear_empty(uint32_t* f, khint_t i) { f[i >> 4] &= ~(2U << ((i & 0xfU) << 1)); }
    static void clear_both(uint32_t* f, khint_t i) { f[i >> 4] &= ~(3U << ((i & 0xfU) << 1)); }
    static size_t flag_bytes(khint_t n) { return ((static_cast<size_t>(n) + 15) >> 4) * sizeof(uint32_t); }

    khint_t begin() const { return 0; }
    khint_t end() const { return n_buckets; }
    bool exist(khint_t i) const { return !flag_either(flags, i); }
    Key& key(khint_t i) { return keys[i]; }
    const Key& key(khint_t i) const { return keys[i]; }
    Val& value(khint_t i) requires is_map { return vals[i]; }
    const Val& value(khint_t i) const requires is_map { return vals[i]; }

    void release() {
        std::free(flags);
        std::free(keys);
        std::free(vals);
        flags = nullptr;
        keys = nullptr;
        vals = nullptr;
        n_buckets = size = n_occupied = upper_bound = 0;
    }

    void clear() {
        if (!flags) return;
        std::memset(flags, 0xaa, flag_bytes(n_buckets));
        size = n_occupied = 0;
    }

    // Returns the bucket holding `k`, or end() when absent.
    khint_t get(const Key& k) const {
        if (!n_buckets) return 0;
        khint_t h = Traits::hash(k);
        khint_t inc = 1 + h % (n_buckets - 1);
        khint_t i = h % n_buckets, last = i;
        while (!flag_empty(flags, i) && (flag_deleted(flags, i) || !Traits::equal(keys[i], k))) {
            i += inc;
            if (i >= n_buckets) i -= n_buckets;
            if (i == last) return n_buckets;
        }
        return flag_either(flags, i) ? n_buckets : i;
    }

    // Rebuilds the table with the smallest listed prime above the largest
    // listed prime not exceeding `want`; a request too small for the live keys
    // is ignored.  Rehashing happens in place, kicking displaced keys onward.
    void resize(khint_t want) {
        int t = kh_prime_count - 1;
        while (kh_prime_list[t] > want) --t;
        khint_t new_n = kh_prime_list[t + 1];
        if (size >= static_cast<khint_t>(new_n * kh_upper_load + 0.5)) return;
        uint32_t* new_flags = static_cast<uint32_t*>(std::malloc(flag_bytes(new_n)));
        if (!new_flags) throw std::bad_alloc();
        std::memset(new_flags, 0xaa, flag_bytes(new_n));
        if (n_buckets < new_n) {
            grow_array(keys, new_n);
            if constexpr (is_map) grow_array(vals, new_n);
        }
        for (khint_t j = 0; j != n_buckets; ++j) {
            if (flag_either(flags, j)) continue;
            Key k = keys[j];
            Val v{};
            if constexpr (is_map) v = vals[j];
            set_deleted(flags, j);
            for (;;) {
                khint_t h = Traits::hash(k);
                khint_t inc = 1 + h % (new_n - 1);
                khint_t i = h % new_n;
                while (!flag_empty(new_flags, i)) {
                    i += inc;
                    if (i >= new_n) i -= new_n;
                }
                clear_empty(new_flags, i);
                if (i < n_buckets && !flag_either(flags, i)) {
                    std::swap(keys[i], k);
                    if constexpr (is_map) std::swap(vals[i], v);
                    set_deleted(flags, i);
                } else {
                    keys[i] = k;
                    if constexpr (is_map) vals[i] = v;
                    break;
                }
            }
        }
        if (n_buckets > new_n) {
            shrink_array(keys, new_n);
            if constexpr (is_map) shrink_array(vals, new_n);
        }
        std::free(flags);
        flags = new_flags;
        n_buckets = new_n;
        n_occupied = size;
        upper_bound = static_cast<khint_t>(n_buckets * kh_upper_load + 0.5);
    }

    // Inserts `k` if absent.  *ret: 0 already present, 1 new in an empty
    // bucket, 2 new in a deleted bucket.  Returns the key's bucket.
    khint_t put(const Key& k, int* ret) {
        if (n_occupied >= upper_bound) {
            if (n_buckets > (size << 1)) resize(n_buckets - 1);  // clears deleted marks
            else resize(n_buckets + 1);                          // next prime
        }
        khint_t x, site = n_buckets;
        khint_t h = Traits::hash(k);
        khint_t i = h % n_buckets;
        x = n_buckets;
        if (flag_empty(flags, i)) {
            x = i;
        } else {
            khint_t inc = 1 + h % (n_buckets - 1), last = i;
            while (!flag_empty(flags, i) && (flag_deleted(flags, i) || !Traits::equal(keys[i], k))) {
                if (flag_deleted(flags, i)) site = i;
                i += inc;
                if (i >= n_buckets) i -= n_buckets;
                if (i == last) {
                    x = site;
                    break;
                }
            }
            if (x == n_buckets) x = (flag_empty(flags, i) && site != n_buckets) ? site : i;
        }
        if (flag_empty(flags, x)) {
            keys[x] = k;
            clear_both(flags, x);
            ++size;
            ++n_occupied;
            *ret = 1;
        } else if (flag_deleted(flags, x)) {
            keys[x] = k;
            clear_both(flags, x);
            ++size;
            *ret = 2;
        } else {
            *ret = 0;
        }
        return x;
    }

    void del(khint_t x) {
        if (x != n_buckets && !flag_either(flags, x)) {
            set_deleted(flags, x);
            --size;
        }
    }

private:
    template <typename T>
    static void grow_array(T*& a, khint_t n) {
        T* p = static_cast<T*>(std::realloc(a, sizeof(T) * n));
        if (!p) throw std::bad_alloc();
        a = p;
    }
    template <typename T>
    static void shrink_array(T*& a, khint_t n) {
        T* p = static_cast<T*>(std::realloc(a, sizeof(T) * n));
        if (p) a = p;
    }
};

// The instances shared by several modules.
using kh_str2int_t = khash_t<const char*, int, kh_str_traits>;
using kh_str2str_t = khash_t<const char*, const char*, kh_str_traits>;
using kh_strset_t = khash_t<const char*, kh_no_value, kh_str_traits>;
