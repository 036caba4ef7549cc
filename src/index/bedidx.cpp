// BED and position-list loading, linear indexing and overlap queries.
//
// Files are read token by token through the gz-aware reader (plain and gzip
// alike) with an 8192-byte buffer.  Malformed lines never fail the load: they
// simply yield no interval.
#include "index/bedidx.h"

#include <unistd.h>
#include <zlib.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include "containers/kseq.h"
#include "containers/ksort.h"
#include "containers/kstring.h"

namespace {

constexpr int bed_buffer_size = 8192;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A token's delimiter ends the line when it is a newline or the end of input.
bool is_line_end(int dret) { return dret == '\n' || dret == 0; }

// Leading decimal number of `s`, which starts with a digit; clamped to
// INT32_MAX so that packed coordinates and window numbers stay small.
int32_t parse_leading_number(const char* s) {
    int64_t v = 0;
    for (; is_digit(*s); ++s) {
        v = v * 10 + (*s - '0');
        if (v > INT32_MAX) return INT32_MAX;
    }
    return static_cast<int32_t>(v);
}

// Discards input up to and including the next newline, without collecting
// the skipped bytes anywhere (a line may be arbitrarily long).
void skip_line(kstream_t* ks) {
    for (;;) {
        if (ks->begin >= ks->end) {
            if (ks->is_eof) return;
            ks->begin = 0;
            ks->end = ks_gzread(ks->f, ks->buf, static_cast<unsigned>(ks->bufsize));
            if (ks->end < 0) {
                ks->is_err = 1;
                ks->end = 0;
            }
            if (ks->end < ks->bufsize) ks->is_eof = 1;
            if (ks->end == 0) return;
        }
        const unsigned char* start = ks->buf + ks->begin;
        const auto* nl = static_cast<const unsigned char*>(std::memchr(start, '\n', ks->end - ks->begin));
        if (nl) {
            ks->begin = static_cast<int>(nl - ks->buf) + 1;
            return;
        }
        ks->begin = ks->end;
    }
}

// Smallest power of two >= v (v >= 1, at most 2^19 here).
int round_up_pow2(int v) {
    int r = 1;
    while (r < v) r <<= 1;
    return r;
}

bool push_interval(bed_reglist_t* p, uint64_t x) {
    if (p->n == p->m) {
        if (p->m > INT_MAX / 2) return false;
        int m = p->m ? p->m << 1 : 4;
        auto* a = static_cast<uint64_t*>(std::realloc(p->a, sizeof(uint64_t) * m));
        if (!a) return false;
        p->a = a;
        p->m = m;
    }
    p->a[p->n++] = x;
    return true;
}

// The list of `name`, added empty (with an owned copy of the name) if absent.
// Null when memory runs out.
bed_reglist_t* find_or_add(reghash_t* h, const char* name) {
    khint_t k = h->get(name);
    if (k != h->end()) return &h->value(k);
    char* copy = strdup(name);
    if (!copy) return nullptr;
    int ret;
    try {
        k = h->put(copy, &ret);
    } catch (const std::bad_alloc&) {
        std::free(copy);
        return nullptr;
    }
    h->value(k) = bed_reglist_t{0, 0, nullptr, nullptr};
    return &h->value(k);
}

// Parses the lines of `ks` into `h`; false when memory runs out.
bool read_lines(kstream_t* ks, reghash_t* h) {
    kstring_t str{};
    bool ok = true;
    int dret;
    while (ks_getuntil(ks, KS_SEP_SPACE, &str, &dret) >= 0) {
        bed_reglist_t* p = find_or_add(h, str.s);
        if (!p) {
            ok = false;
            break;
        }
        int64_t beg = -1, end = -1;
        bool line_ok = false;  // the second column is a number
        if (!is_line_end(dret) && ks_getuntil(ks, KS_SEP_SPACE, &str, &dret) > 0 && is_digit(str.s[0])) {
            beg = parse_leading_number(str.s);
            line_ok = true;
            if (!is_line_end(dret) && ks_getuntil(ks, KS_SEP_SPACE, &str, &dret) > 0 && is_digit(str.s[0])) {
                end = parse_leading_number(str.s);
                if (end < beg) end = -1;
            }
        }
        if (!is_line_end(dret)) skip_line(ks);
        if (!line_ok) continue;
        if (end < 0 && beg > 0) {  // a 1-based position
            end = beg;
            --beg;
        }
        if (beg < 0 || end <= beg) continue;
        if (!push_interval(p, bed_pack(static_cast<uint32_t>(beg), static_cast<uint32_t>(end)))) {
            ok = false;
            break;
        }
    }
    ks_free(&str);
    return ok;
}

}  // namespace

int* bed_index_core(int n, const uint64_t* a, int* n_idx) {
    *n_idx = 0;
    int *idx = nullptr, m = 0, len = 0;
    // Intervals come sorted by start, so the windows at or after this
    // interval's start that earlier intervals already claimed are exactly
    // s..max_e: the fill can begin after max_e, which keeps the build linear
    // in the number of windows even when many long intervals overlap.
    int max_e = -1;
    for (int i = 0; i < n; ++i) {
        int s = static_cast<int>(bed_start(a[i]) >> bed_window_shift);
        int e = static_cast<int>(bed_end(a[i]) >> bed_window_shift);
        if (m < e + 1) {
            int new_m = round_up_pow2(e + 1);
            auto* p = static_cast<int*>(std::realloc(idx, sizeof(int) * new_m));
            if (!p) {
                std::free(idx);
                return nullptr;
            }
            idx = p;
            for (int w = m; w < new_m; ++w) idx[w] = -1;
            m = new_m;
        }
        for (int w = s > max_e ? s : max_e + 1; w <= e; ++w)
            if (idx[w] == -1) idx[w] = i;
        if (e > max_e) max_e = e;
        len = e + 1;
    }
    *n_idx = len;
    return idx;
}

int bed_index(void* reg_hash) {
    auto* h = static_cast<reghash_t*>(reg_hash);
    for (khint_t k = h->begin(); k != h->end(); ++k) {
        if (!h->exist(k)) continue;
        bed_reglist_t* p = &h->value(k);
        std::free(p->idx);
        p->idx = nullptr;
        ks_introsort(static_cast<size_t>(p->n), p->a, [](uint64_t x, uint64_t y) { return x < y; });
        p->idx = bed_index_core(p->n, p->a, &p->m);
        if (p->n > 0 && !p->idx) return -1;
    }
    return 0;
}

int bed_overlap_core(const bed_reglist_t* p, int beg, int end) {
    if (p->n == 0) return 0;
    int i = -1;
    if (p->idx && p->m > 0) {
        int w = beg < 0 ? 0 : beg >> bed_window_shift;
        int c = w < p->m ? w : p->m - 1;
        for (; c >= 0 && i < 0; --c) i = p->idx[c];
    }
    if (i < 0) i = 0;
    for (; i < p->n; ++i) {
        if (static_cast<int64_t>(bed_start(p->a[i])) >= end) return 0;
        if (static_cast<int64_t>(bed_end(p->a[i])) > beg) return 1;
    }
    return 0;
}

int bed_overlap(const void* reg_hash, const char* chr, int beg, int end) {
    if (!reg_hash) return 0;
    const auto* h = static_cast<const reghash_t*>(reg_hash);
    khint_t k = h->get(chr);
    if (k == h->end()) return 0;
    return bed_overlap_core(&h->value(k), beg, end);
}

void bed_destroy(void* reg_hash) {
    if (!reg_hash) return;
    auto* h = static_cast<reghash_t*>(reg_hash);
    for (khint_t k = h->begin(); k != h->end(); ++k) {
        if (!h->exist(k)) continue;
        std::free(h->value(k).a);
        std::free(h->value(k).idx);
        std::free(const_cast<char*>(h->key(k)));
    }
    delete h;
}

void* bed_read(const char* fn) {
    gzFile gz;
    if (std::strcmp(fn, "-") == 0) {
        int fd = dup(STDIN_FILENO);
        if (fd < 0) return nullptr;
        gz = gzdopen(fd, "r");
        if (!gz) close(fd);
    } else {
        gz = gzopen(fn, "r");
    }
    if (!gz) return nullptr;
    kstream_t* ks = ks_init_gz(gz, bed_buffer_size);
    auto* h = new (std::nothrow) reghash_t;
    bool ok = ks && h && read_lines(ks, h);
    ks_destroy(ks);
    gzclose(gz);
    if (ok) ok = bed_index(h) == 0;
    if (!ok) {
        bed_destroy(h);
        return nullptr;
    }
    return h;
}
