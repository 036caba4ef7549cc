#include "tview/bam_lpileup.h"

#include <algorithm>
#include <cstdlib>

#include "containers/ksort.h"

namespace {

constexpr int pool_initial_capacity = 256;
constexpr unsigned reuse_gap = 2;  // column callbacks before a freed row is reused

freenode_t* mp_alloc(freenode_pool_t* mp) {
    freenode_t* p = mp->n ? mp->buf[--mp->n] : static_cast<freenode_t*>(std::calloc(1, sizeof(freenode_t)));
    if (!p) return nullptr;
    ++mp->cnt;
    p->level = 0;
    p->cnt = 0;
    p->next = nullptr;
    return p;
}

void mp_free(freenode_pool_t* mp, freenode_t* p) {
    --mp->cnt;
    if (mp->n == mp->max) {
        int max = mp->max ? mp->max << 1 : pool_initial_capacity;
        auto* buf = static_cast<freenode_t**>(std::realloc(mp->buf, sizeof(freenode_t*) * static_cast<size_t>(max)));
        if (!buf) {  // cannot keep it: release it instead
            std::free(p);
            return;
        }
        mp->buf = buf;
        mp->max = max;
    }
    mp->buf[mp->n++] = p;
}

void mp_destroy(freenode_pool_t* mp) {
    for (int i = 0; i < mp->n; ++i) std::free(mp->buf[i]);
    std::free(mp->buf);
    std::free(mp);
}

int round_up_pow2(int n) {
    unsigned v = static_cast<unsigned>(n) - 1;
    v |= v >> 1;
    v |= v >> 2;
    v |= v >> 4;
    v |= v >> 8;
    v |= v >> 16;
    return static_cast<int>(v + 1);
}

bool grow_levels(bam_lplbuf_t* tv, int n) {
    if (n <= tv->max) return true;
    const int max = round_up_pow2(n);
    int* cur = static_cast<int*>(std::realloc(tv->cur_level, sizeof(int) * static_cast<size_t>(max)));
    if (!cur) return false;
    tv->cur_level = cur;
    int* pre = static_cast<int*>(std::realloc(tv->pre_level, sizeof(int) * static_cast<size_t>(max)));
    if (!pre) return false;
    tv->pre_level = pre;
    tv->max = max;
    return true;
}

// Returns every free row to the pool, keeping the sentinel.
void clear_free_list(bam_lplbuf_t* tv) {
    for (freenode_t* p = tv->head; p != tv->tail;) {
        freenode_t* next = p->next;
        mp_free(tv->mp, p);
        p = next;
    }
    tv->head = tv->tail;
    tv->n_nodes = 0;
}

// Turns the sentinel into a free row and appends a new sentinel; without
// memory for the sentinel the row is simply not reused.
void free_row(bam_lplbuf_t* tv, int level) {
    freenode_t* sentinel = mp_alloc(tv->mp);
    if (!sentinel) return;
    tv->tail->level = static_cast<uint32_t>(level);
    tv->tail->cnt = reuse_gap;
    tv->tail->next = sentinel;
    tv->tail = sentinel;
    ++tv->n_nodes;
}

// Drops the free rows above `max_level` and orders the rest by gap counter,
// then by level, so that the lowest reusable row comes first.
void tidy_free_list(bam_lplbuf_t* tv, int max_level) {
    if (tv->n_nodes > tv->m_aux) {
        const int m = round_up_pow2(tv->n_nodes);
        auto* aux = static_cast<freenode_t**>(std::realloc(tv->aux, sizeof(freenode_t*) * static_cast<size_t>(m)));
        if (!aux) {  // unsorted rows still work; only the choice among them suffers
            return;
        }
        tv->aux = aux;
        tv->m_aux = m;
    }
    int k = 0;
    for (freenode_t* p = tv->head; p != tv->tail;) {
        freenode_t* next = p->next;
        if (static_cast<int>(p->level) > max_level) mp_free(tv->mp, p);
        else tv->aux[k++] = p;
        p = next;
    }
    ks_introsort(static_cast<size_t>(k), tv->aux, [](const freenode_t* a, const freenode_t* b) {
        return a->cnt < b->cnt || (a->cnt == b->cnt && a->level < b->level);
    });
    for (int i = 0; i < k; ++i) tv->aux[i]->next = i + 1 < k ? tv->aux[i + 1] : tv->tail;
    tv->head = k ? tv->aux[0] : tv->tail;
    tv->n_nodes = k;
}

}  // namespace

int tview_func(uint32_t tid, uint32_t pos, int n, const bam_pileup1_t* pl, void* data) {
    auto* tv = static_cast<bam_lplbuf_t*>(data);
    // The entries are the engine's own column array, lent to this callback
    // so that it can fill in their levels.
    auto* entries = const_cast<bam_pileup1_t*>(pl);
    if (!grow_levels(tv, n)) {
        // No room to remember levels: draw this column without rows and
        // start afresh, which gives every continuing read a new row.
        for (int i = 0; i < n; ++i) entries[i].level = 0;
        tv->func(tid, pos, n, pl, tv->user_data);
        clear_free_list(tv);
        tv->n_pre = tv->n_cur = tv->max_level = 0;
        return 0;
    }
    tv->n_cur = n;
    for (freenode_t* p = tv->head; p != tv->tail; p = p->next)
        if (p->cnt > 0) --p->cnt;

    int l = 0, column_max = 0;
    for (int i = 0; i < n; ++i) {
        bam_pileup1_t* p = &entries[i];
        int level;
        if (p->is_head) {
            if (tv->head != tv->tail && tv->head->cnt == 0) {
                freenode_t* reused = tv->head;
                level = static_cast<int>(reused->level);
                tv->head = reused->next;
                mp_free(tv->mp, reused);
                --tv->n_nodes;
            } else {
                level = ++tv->max_level;
            }
        } else {
            level = l < tv->n_pre ? tv->pre_level[l++] : ++tv->max_level;
            if (p->is_tail) free_row(tv, level);
        }
        tv->cur_level[i] = level;
        p->level = level;
        if (level > column_max) column_max = level;
    }

    tv->func(tid, pos, n, pl, tv->user_data);

    if (tv->n_nodes) tidy_free_list(tv, column_max);
    tv->max_level = column_max;
    int kept = 0;
    for (int i = 0; i < n; ++i)
        if (!entries[i].is_tail) tv->pre_level[kept++] = tv->cur_level[i];
    tv->n_pre = kept;
    return 0;
}

bam_lplbuf_t* bam_lplbuf_init(bam_pileup_f func, void* data) {
    auto* tv = static_cast<bam_lplbuf_t*>(std::calloc(1, sizeof(bam_lplbuf_t)));
    if (!tv) return nullptr;
    tv->mp = static_cast<freenode_pool_t*>(std::calloc(1, sizeof(freenode_pool_t)));
    if (tv->mp) tv->head = tv->tail = mp_alloc(tv->mp);
    tv->func = func;
    tv->user_data = data;
    if (tv->tail) tv->plbuf = bam_plbuf_init(tview_func, tv);
    if (!tv->plbuf) {
        bam_lplbuf_destroy(tv);
        return nullptr;
    }
    return tv;
}

int bam_lplbuf_push(const bam1_t* b, bam_lplbuf_t* tv) { return bam_plbuf_push(b, tv->plbuf); }

int bam_lplbuf_push_window(const bam1_t* b, bam_lplbuf_t* tv, int beg, int end) {
    bam_plp_t iter = tv->plbuf->iter;
    if (bam_plp_push(iter, b) < 0) return -1;
    int tid = 0, pos = 0, n = 0;
    while (const bam_pileup1_t* pl = bam_plp_next(iter, &tid, &pos, &n)) {
        if (pos >= end) break;
        tview_func(static_cast<uint32_t>(tid), static_cast<uint32_t>(pos), n, pl, tv);
        // The columns of a run repeat this one without starts or ends: each
        // would only count the gaps down and reorder the free rows.
        const int k = pos < beg - 1 ? std::min(bam_plp_run_length(iter), beg - 1 - pos) : 0;
        if (k > 0) {
            bam_plp_skip_run(iter, k);
            for (freenode_t* p = tv->head; p != tv->tail; p = p->next) p->cnt = p->cnt > k ? p->cnt - k : 0;
            if (tv->n_nodes) tidy_free_list(tv, tv->max_level);
        }
    }
    return n < 0 ? -1 : 0;
}

void bam_lplbuf_reset(bam_lplbuf_t* tv) {
    bam_plbuf_reset(tv->plbuf);
    clear_free_list(tv);
    tv->max_level = tv->n_pre = tv->n_cur = 0;
}

void bam_lplbuf_destroy(bam_lplbuf_t* tv) {
    if (!tv) return;
    std::free(tv->cur_level);
    std::free(tv->pre_level);
    // A windowed push may have left records buffered past its window.
    if (tv->plbuf) bam_plbuf_reset(tv->plbuf);
    bam_plbuf_destroy(tv->plbuf);
    std::free(tv->aux);
    if (tv->mp) {
        for (freenode_t* p = tv->head; p;) {
            freenode_t* next = p->next;
            mp_free(tv->mp, p);
            p = next;
        }
        mp_destroy(tv->mp);
    }
    std::free(tv);
}
