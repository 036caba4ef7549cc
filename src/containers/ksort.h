// In-place sorts instantiated per element type and comparison.
//
// `lt(a, b)` is a strict "less than".  The unstable sorts follow one fixed
// sequence of comparisons and swaps, so the order they leave equal elements
// in is reproducible; the merge sort is stable.  The heap routines build a
// max-heap with respect to `lt` (the k-way merge passes a reversed order).
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>
#include <utility>
#include <vector>

inline constexpr double ks_comb_shrink = 1.2473309501039786540366528676643;

template <typename T, typename Lt>
void ks_insertsort(T* s, T* t, Lt lt) {
    if (t - s < 2) return;  // also keeps s + 1 inside an empty (or null) range
    for (T* i = s + 1; i < t; ++i)
        for (T* j = i; j > s && lt(*j, *(j - 1)); --j) std::swap(*j, *(j - 1));
}

template <typename T, typename Lt>
void ks_combsort(size_t n, T* a, Lt lt) {
    size_t gap = n;
    bool swapped;
    do {
        if (gap > 2) {
            gap = static_cast<size_t>(static_cast<double>(gap) / ks_comb_shrink);
            if (gap == 9 || gap == 10) gap = 11;
        }
        swapped = false;
        for (T* i = a; i < a + n - gap; ++i) {
            T* j = i + gap;
            if (lt(*j, *i)) {
                std::swap(*i, *j);
                swapped = true;
            }
        }
    } while (swapped || gap > 2);
    if (gap != 1) ks_insertsort(a, a + n, lt);
}

// Median-of-three quicksort on an explicit stack.  A segment that runs out of
// its depth budget (about 2*log2(n) levels) is finished by comb sort; short
// segments are left for one insertion-sort pass at the end.
template <typename T, typename Lt>
void ks_introsort(size_t n, T* a, Lt lt) {
    struct segment {
        T* left;
        T* right;
        int depth;
    };
    if (n < 1) return;
    if (n == 2) {
        if (lt(a[1], a[0])) std::swap(a[0], a[1]);
        return;
    }
    int d = 2;
    while ((1UL << d) < n) ++d;
    std::vector<segment> stack;
    stack.reserve(sizeof(size_t) * d + 2);
    T *s = a, *t = a + (n - 1);
    d <<= 1;
    for (;;) {
        if (s < t) {
            if (--d == 0) {
                ks_combsort(static_cast<size_t>(t - s + 1), s, lt);
                t = s;
                continue;
            }
            T *i = s, *j = t, *k = i + ((j - i) >> 1) + 1;
            if (lt(*k, *i)) {
                if (lt(*k, *j)) k = j;
            } else {
                k = lt(*j, *i) ? i : j;
            }
            T pivot = *k;
            if (k != t) std::swap(*k, *t);
            for (;;) {
                do ++i;
                while (lt(*i, pivot));
                do --j;
                while (i <= j && lt(pivot, *j));
                if (j <= i) break;
                std::swap(*i, *j);
            }
            std::swap(*i, *t);
            if (i - s > t - i) {
                if (i - s > 16) stack.push_back({s, i - 1, d});
                s = t - i > 16 ? i + 1 : t;
            } else {
                if (t - i > 16) stack.push_back({i + 1, t, d});
                t = i - s > 16 ? i - 1 : s;
            }
        } else {
            if (stack.empty()) {
                ks_insertsort(a, a + n, lt);
                return;
            }
            s = stack.back().left;
            t = stack.back().right;
            d = stack.back().depth;
            stack.pop_back();
        }
    }
}

// Stable bottom-up merge sort.  `temp` (n elements) may be null, in which
// case a buffer is allocated for the call.
template <typename T, typename Lt>
void ks_mergesort(size_t n, T* array, T* temp, Lt lt) {
    if (n < 2) return;
    std::vector<T> own;
    if (!temp) {
        own.resize(n);
        temp = own.data();
    }
    T* buf[2] = {array, temp};
    int curr = 0;
    for (size_t step = 1; step < n; step <<= 1) {
        T* a = buf[curr];
        T* b = buf[1 - curr];
        for (size_t i = 0; i < n; i += step << 1) {
            T* p = b + i;
            T* j = a + i;
            T* ea = a + (i + step > n ? n : i + step);
            T* k = ea;
            T* eb = a + (i + (step << 1) > n ? n : i + (step << 1));
            while (j < ea && k < eb) *p++ = lt(*k, *j) ? *k++ : *j++;
            while (j < ea) *p++ = *j++;
            while (k < eb) *p++ = *k++;
        }
        curr = 1 - curr;
    }
    if (curr == 1)
        for (size_t i = 0; i < n; ++i) array[i] = temp[i];
}

// Moves the element at `i` down a max-heap (by `lt`) of `n` elements.
template <typename T, typename Lt>
void ks_heapadjust(size_t i, size_t n, T* l, Lt lt) {
    T tmp = l[i];
    size_t k;
    while ((k = (i << 1) + 1) < n) {
        if (k != n - 1 && lt(l[k], l[k + 1])) ++k;
        if (lt(l[k], tmp)) break;
        l[i] = l[k];
        i = k;
    }
    l[i] = tmp;
}

template <typename T, typename Lt>
void ks_heapmake(size_t n, T* l, Lt lt) {
    for (size_t i = n >> 1; i-- > 0;) ks_heapadjust(i, n, l, lt);
}

template <typename T, typename Lt>
void ks_heapsort(size_t n, T* l, Lt lt) {
    for (size_t i = n; i-- > 1;) {
        std::swap(l[0], l[i]);
        ks_heapadjust(0, i, l, lt);
    }
}

// Returns the k-th smallest element (0-based); the array is partly reordered.
template <typename T, typename Lt>
T ks_ksmall(size_t n, T* arr, size_t kk, Lt lt) {
    T *low = arr, *high = arr + n - 1, *k = arr + kk;
    for (;;) {
        if (high <= low) return *k;
        if (high == low + 1) {
            if (lt(*high, *low)) std::swap(*low, *high);
            return *k;
        }
        T* mid = low + (high - low) / 2;
        if (lt(*high, *mid)) std::swap(*mid, *high);
        if (lt(*high, *low)) std::swap(*low, *high);
        if (lt(*low, *mid)) std::swap(*mid, *low);
        std::swap(*mid, *(low + 1));
        T *ll = low + 1, *hh = high;
        for (;;) {
            do ++ll;
            while (lt(*ll, *low));
            do --hh;
            while (lt(*low, *hh));
            if (hh < ll) break;
            std::swap(*ll, *hh);
        }
        std::swap(*low, *hh);
        if (hh <= k) low = ll;
        if (hh >= k) high = hh - 1;
    }
}
