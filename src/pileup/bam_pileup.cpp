#include "pileup/bam_pileup.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// CIGAR cursor of one buffered record.
struct cstate_t {
    int k;          // current operation; -1 before the first visit
    bool is_match;  // operation k is M, = or X (else D or N)
    bool is_skip;   // operation k is N
    int64_t x;      // reference position where operation k begins
    int64_t last;   // last reference position of operation k
    int64_t y;      // query position where operation k begins
    int64_t end;    // last reference position the record covers
    // The entry at positions strictly inside operation k: only qpos varies,
    // as (pos & qmask) + qdelta.
    bam_pileup1_t inner;
    int64_t qmask, qdelta;
};

// The fields a column reads come first, in one cache line.
struct lbnode_t {
    lbnode_t* next;
    uint64_t key_beg, key_end;  // start and exclusive end as (tid << 32 | position)
    uint32_t beg, end;          // alignment start and exclusive end
    int32_t tid;
    cstate_t s;
    bam1_t b;
};

// Free list of nodes; a node keeps its data block for the next record.
struct mempool_t {
    int cnt = 0;  // nodes handed out and not returned
    int n = 0;    // free nodes held
    int max = 0;  // capacity of buf
    lbnode_t** buf = nullptr;
};

lbnode_t* mp_alloc(mempool_t* mp) {
    ++mp->cnt;
    if (mp->n == 0) return static_cast<lbnode_t*>(std::calloc(1, sizeof(lbnode_t)));
    return mp->buf[--mp->n];
}

void mp_free(mempool_t* mp, lbnode_t* p) {
    --mp->cnt;
    p->b.data_len = 0;
    p->next = nullptr;
    if (mp->n == mp->max) {
        int max = mp->max ? mp->max << 1 : 256;
        auto* buf = static_cast<lbnode_t**>(std::realloc(mp->buf, sizeof(lbnode_t*) * max));
        if (!buf) {  // cannot keep it: release it instead
            std::free(p->b.data);
            std::free(p);
            return;
        }
        mp->buf = buf;
        mp->max = max;
    }
    mp->buf[mp->n++] = p;
}

void mp_destroy(mempool_t* mp) {
    for (int i = 0; i < mp->n; ++i) {
        std::free(mp->buf[i]->b.data);
        std::free(mp->buf[i]);
    }
    std::free(mp->buf);
    delete mp;
}

bool is_ref_match(uint32_t op) { return op == BAM_CMATCH || op == BAM_CEQUAL || op == BAM_CDIFF; }
bool consumes_ref(uint32_t op) { return bam_cigar_is_ref(op); }

// Records the cursor cannot walk (no aligned base, a reference skip before
// the first aligned base or deletion) or whose CIGAR reads past the stored
// sequence are left out of the pileup.
bool cigar_fits_pileup(const bam1_t* b) {
    const uint8_t* cigar = rec_cigar(b);
    bool has_match = false, seen_ref = false;
    int64_t qlen = 0;
    for (int k = 0; k < b->core.n_cigar; ++k) {
        uint32_t w = cigar_get(cigar, k), op = bam_cigar_op(w), len = bam_cigar_oplen(w);
        if (bam_cigar_is_query(op)) qlen += len;
        if (!len || !consumes_ref(op)) continue;
        if (!seen_ref && op == BAM_CREF_SKIP) return false;
        seen_ref = true;
        has_match |= is_ref_match(op);
    }
    return has_match && (b->core.l_qseq == 0 || qlen <= b->core.l_qseq);
}

void load_op(const bam1_t* b, const uint8_t* cigar, cstate_t* s) {
    const uint32_t w = cigar_get(cigar, s->k), op = bam_cigar_op(w);
    s->is_match = is_ref_match(op);
    s->is_skip = op == BAM_CREF_SKIP;
    s->last = s->x + bam_cigar_oplen(w) - 1;
    s->qmask = s->is_match ? -1 : 0;
    s->qdelta = s->is_match ? s->y - s->x : s->y;
    bam_pileup1_t& e = s->inner;
    e.b = const_cast<bam1_t*>(b);
    e.qpos = 0;
    e.indel = 0;
    e.level = 0;
    e.is_del = !s->is_match;
    e.is_head = 0;
    e.is_tail = 0;
    e.is_refskip = s->is_skip;
    e.aux = 0;
}

// Moves the cursor of `b` to reference position `pos`.  Operations of
// length 0 are stepped over: they cover no position.
void resolve_cigar(const bam1_t* b, int64_t pos, cstate_t* s) {
    const uint8_t* cigar = rec_cigar(b);
    const int n = b->core.n_cigar;
    if (s->k == -1) {
        s->x = b->core.pos;
        s->y = 0;
        int k = 0;
        for (; k < n; ++k) {
            uint32_t w = cigar_get(cigar, k), op = bam_cigar_op(w), len = bam_cigar_oplen(w);
            if ((is_ref_match(op) || op == BAM_CDEL) && len) break;
            if (op == BAM_CREF_SKIP) s->x += len;
            else if (op == BAM_CINS || op == BAM_CSOFT_CLIP) s->y += len;
        }
        s->k = k;  // k < n: cigar_fits_pileup guarantees an aligned base
        load_op(b, cigar, s);
    }
    while (pos > s->last) {
        // Operation k is finished: step to the next one on the reference.
        int k = s->k + 1;
        int64_t skipped_query = 0;
        for (; k < n; ++k) {
            uint32_t w = cigar_get(cigar, k), op = bam_cigar_op(w);
            if (consumes_ref(op) && bam_cigar_oplen(w)) break;
            if (op == BAM_CINS || op == BAM_CSOFT_CLIP) skipped_query += bam_cigar_oplen(w);
        }
        if (k >= n) return;  // past the end: the caller never asks for it
        if (s->is_match) s->y += s->last - s->x + 1;
        s->y += skipped_query;
        s->x = s->last + 1;
        s->k = k;
        load_op(b, cigar, s);
    }
}

// The indel that follows operation k, seen from its last position.
int following_indel(const bam1_t* b, int k) {
    const uint8_t* cigar = rec_cigar(b);
    const int n = b->core.n_cigar;
    if (k + 1 >= n) return 0;
    uint32_t w = cigar_get(cigar, k + 1), op = bam_cigar_op(w);
    if (op == BAM_CDEL) return -static_cast<int>(bam_cigar_oplen(w));
    if (op == BAM_CINS) return static_cast<int>(bam_cigar_oplen(w));
    if (op != BAM_CPAD) return 0;
    // Insertions behind padding count up to the next aligned operation.
    int64_t sum = 0;
    for (int j = k + 2; j < n; ++j) {
        uint32_t wj = cigar_get(cigar, j), opj = bam_cigar_op(wj);
        if (opj == BAM_CINS) sum += bam_cigar_oplen(wj);
        else if (consumes_ref(opj)) break;
    }
    return sum > INT32_MAX ? INT32_MAX : static_cast<int>(sum);
}

// The entry at an operation's first or last position, or at the first
// visit: the cursor may move, and head, tail and indel need computing.
void fill_edge_entry(bam_pileup1_t* p, lbnode_t* node, int64_t pos) {
    cstate_t* s = &node->s;
    if (pos > s->last) resolve_cigar(&node->b, pos, s);  // also the first visit: last starts below 0
    *p = s->inner;
    p->qpos = static_cast<int32_t>((pos & s->qmask) + s->qdelta);
    if (pos == s->last) p->indel = following_indel(&node->b, s->k);
    p->is_head = pos == node->beg;
    p->is_tail = pos == s->end;
}

// Inside an operation the entry is the cursor's prepared one with its qpos.
inline void fill_entry(bam_pileup1_t* p, lbnode_t* node, int64_t pos) {
    const cstate_t* s = &node->s;
    if (pos > s->x && pos < s->last) {
        *p = s->inner;
        p->qpos = static_cast<int32_t>((pos & s->qmask) + s->qdelta);
    } else {
        fill_edge_entry(p, node, pos);
    }
}

}  // namespace

constexpr uint64_t no_column = ~uint64_t{0};

// Between CIGAR boundaries, read starts and read ends a column differs from
// the one before only in the query positions of its aligned bases, so it is
// derived from that column instead of walking the buffered records again.
struct column_run_t {
    uint64_t last = no_column;      // (tid << 32 | pos) of the column in `plp`, or none
    int64_t lo = 0;                 // largest operation start among its entries
    int64_t hi = 0;                 // smallest operation end among its entries
    lbnode_t* first_out = nullptr;  // first buffered record not in the column
    int n = 0;                      // entries of the column
};

struct bam_plp_s {
    mempool_t* mp;
    lbnode_t *head, *tail, *dummy;
    int32_t tid, pos, max_tid, max_pos;
    int is_eof, flag_mask, max_plp, error, maxcnt;
    bam_pileup1_t* plp;
    int32_t* qinc;    // per entry: 1 when its query position moves with the column
    uint32_t* flags;  // per entry: its flag word inside a run (aux 0)
    column_run_t run;
    bam1_t* b;  // reader buffer of the auto mode
    bam_plp_auto_f func;
    void* data;
};

bam_plp_t bam_plp_init(bam_plp_auto_f func, void* data) {
    auto* iter = static_cast<bam_plp_s*>(std::calloc(1, sizeof(bam_plp_s)));
    if (!iter) return nullptr;
    iter->mp = new mempool_t;
    iter->head = iter->tail = mp_alloc(iter->mp);
    iter->dummy = mp_alloc(iter->mp);
    iter->max_tid = iter->max_pos = -1;
    iter->run = column_run_t{};
    iter->flag_mask = bam_plp_default_mask;
    iter->maxcnt = bam_plp_default_maxcnt;
    if (func) {
        iter->func = func;
        iter->data = data;
        iter->b = bam_init1();
    }
    return iter;
}

void bam_plp_destroy(bam_plp_t iter) {
    if (!iter) return;
    // Records still buffered mean the caller stopped before draining: say so,
    // then release them with the rest.
    lbnode_t* rest = iter->head->next;
    mp_free(iter->mp, iter->head);
    mp_free(iter->mp, iter->dummy);
    if (iter->mp->cnt != 0) std::fprintf(stderr, "[bam_plp_destroy] memory leak: %d. Continue anyway.\n", iter->mp->cnt);
    while (rest) {
        lbnode_t* next = rest->next;
        mp_free(iter->mp, rest);
        rest = next;
    }
    mp_destroy(iter->mp);
    if (iter->b) bam_destroy1(iter->b);
    std::free(iter->plp);
    std::free(iter->qinc);
    std::free(iter->flags);
    std::free(iter);
}

void bam_plp_set_mask(bam_plp_t iter, int mask) { iter->flag_mask = mask < 0 ? bam_plp_default_mask : (BAM_FUNMAP | mask); }

void bam_plp_set_maxcnt(bam_plp_t iter, int maxcnt) { iter->maxcnt = maxcnt; }

bool bam_plp_failed(const bam_plp_t iter) { return iter->error != 0; }

namespace {
void advance_run(bam_plp_s* iter, int k);
}

int bam_plp_run_length(const bam_plp_t iter) {
    const column_run_t& r = iter->run;
    if (iter->error || r.last == no_column) return 0;
    const int64_t pos = static_cast<uint32_t>(r.last);
    const int32_t tid = static_cast<int32_t>(r.last >> 32);
    if (iter->tid != tid || iter->pos != pos + 1) return 0;  // not the column last returned
    // Every entry stays inside its operation before the operation's last
    // position, and no record may start within the run.
    int64_t last = r.hi - 1;
    const lbnode_t* out = r.first_out;
    if (out->next) {
        if (out->tid == tid && static_cast<int64_t>(out->beg) - 1 < last) last = static_cast<int64_t>(out->beg) - 1;
    } else if (!iter->is_eof) {
        return 0;  // the next record, not read yet, may start anywhere
    }
    return last > pos ? static_cast<int>(std::min<int64_t>(last - pos, INT32_MAX)) : 0;
}

void bam_plp_skip_run(bam_plp_t iter, int k) {
    k = std::min(k, bam_plp_run_length(iter));
    if (k > 0) advance_run(iter, k);
}

int bam_plp_push(bam_plp_t iter, const bam1_t* b) {
    if (iter->error) return -1;
    if (!b) {
        iter->is_eof = 1;
        return 0;
    }
    const bam1_core_t* c = &b->core;
    if (c->tid < 0 || (c->flag & iter->flag_mask)) return 0;
    if (c->tid == iter->tid && c->pos == iter->pos && iter->mp->cnt > iter->maxcnt) return 0;
    lbnode_t* node = iter->tail;
    if (&node->b != b && !bam_copy1(&node->b, b)) {
        iter->error = 1;  // out of memory: refuse further work rather than lose records silently
        return -1;
    }
    node->beg = static_cast<uint32_t>(c->pos);
    node->tid = c->tid;
    node->key_beg = static_cast<uint64_t>(c->tid) << 32 | node->beg;
    node->end = bam_calend(c, rec_cigar(b));
    node->key_end = (static_cast<uint64_t>(c->tid) << 32) + node->end;
    node->s.k = -1;
    node->s.x = node->s.y = 0;
    node->s.last = -1;
    node->s.end = static_cast<int64_t>(node->end) - 1;
    if (c->tid < iter->max_tid) {
        std::fprintf(stderr, "[bam_pileup_core] the input is not sorted (chromosomes out of order)\n");
        iter->error = 1;
        return -1;
    }
    if (c->tid == iter->max_tid && static_cast<int64_t>(node->beg) < iter->max_pos) {
        std::fprintf(stderr, "[bam_pileup_core] the input is not sorted (reads out of order)\n");
        iter->error = 1;
        return -1;
    }
    iter->max_tid = c->tid;
    iter->max_pos = static_cast<int32_t>(node->beg);
    const bool covers_later = static_cast<int64_t>(node->end) > iter->pos || c->tid > iter->tid;
    if (covers_later && cigar_fits_pileup(b)) {
        node->next = mp_alloc(iter->mp);
        iter->tail = node->next;
    }
    return 0;
}

namespace {

bool column_is_final(const bam_plp_s* iter) {
    return iter->is_eof || iter->max_tid > iter->tid || (iter->max_tid == iter->tid && iter->max_pos > iter->pos);
}

// Collects the entries of the column at (tid, pos), releasing records that
// end before it; returns the entry count.
bool grow_entries(bam_plp_s* iter) {
    int max = iter->max_plp ? iter->max_plp << 1 : 256;
    auto* plp = static_cast<bam_pileup1_t*>(std::realloc(iter->plp, sizeof(bam_pileup1_t) * max));
    if (!plp) return false;
    iter->plp = plp;
    auto* qinc = static_cast<int32_t*>(std::realloc(iter->qinc, sizeof(int32_t) * max));
    if (!qinc) return false;
    iter->qinc = qinc;
    auto* flags = static_cast<uint32_t*>(std::realloc(iter->flags, sizeof(uint32_t) * max));
    if (!flags) return false;
    iter->flags = flags;
    iter->max_plp = max;
    return true;
}

// The entry's flag word (the bit fields after `level`) as one integer.
static_assert(sizeof(bam_pileup1_t) == offsetof(bam_pileup1_t, level) + 2 * sizeof(uint32_t));
uint32_t entry_flags(const bam_pileup1_t& e) {
    uint32_t w;
    std::memcpy(&w, reinterpret_cast<const char*>(&e.level) + sizeof e.level, sizeof w);
    return w;
}

// True when the column at `column` can be derived from the one in `plp`:
// it is the next position, every entry stays in the same CIGAR operation and
// is not at its last position (where the indel and tail flags are set), and
// no buffered record starts here.  The head flag of an operation's first
// position is cleared by the stored flag word.
bool continues_run(const bam_plp_s* iter, uint64_t column, int64_t pos) {
    const column_run_t& r = iter->run;
    if (column != r.last + 1 || pos <= r.lo || pos >= r.hi) return false;
    const lbnode_t* out = r.first_out;
    return !out->next || out->key_beg > column;
}

// Derives the column and moves on to the next position, which inside a run
// is simply the following one.
// Moves the run `k` columns on: the query positions of aligned bases step
// with the reference, level and flag word are refreshed in one store
// (callers may have marked the entries, and a plain store avoids reading
// them back).
void advance_run(bam_plp_s* iter, int k) {
    bam_pileup1_t* plp = iter->plp;
    const int32_t* qinc = iter->qinc;
    const uint32_t* flags = iter->flags;
    const int n = iter->run.n;
    for (int j = 0; j < n; ++j) {
        plp[j].qpos += k * qinc[j];
        const uint64_t level_and_flags = uint64_t{flags[j]} << 32;
        std::memcpy(&plp[j].level, &level_and_flags, sizeof level_and_flags);
    }
    iter->run.last += static_cast<uint64_t>(k);
    iter->pos += k;
}

// Derives the next column of the run; inside a run the next position is
// simply the following one.
inline int continue_run(bam_plp_s* iter) {
    advance_run(iter, 1);
    return iter->run.n;
}

int collect_column(bam_plp_s* iter) {
    const int64_t pos = iter->pos;
    const uint64_t column = static_cast<uint64_t>(iter->tid) << 32 | static_cast<uint32_t>(iter->pos);
    int n = 0;
    int64_t lo = -1, hi = INT64_MAX;
    lbnode_t* q = iter->dummy;
    q->next = iter->head;
    lbnode_t* p = iter->head;
    for (; p->next;) {
        lbnode_t* next = p->next;
        __builtin_prefetch(next->next);
        if (column >= p->key_end) {  // ended here or on an earlier reference
            q->next = next;
            mp_free(iter->mp, p);
        } else if (p->key_beg <= column) {
            if (n == iter->max_plp && !grow_entries(iter)) return -1;
            fill_entry(&iter->plp[n], p, pos);
            iter->qinc[n] = p->s.is_match;
            iter->flags[n++] = entry_flags(p->s.inner);
            if (p->s.x > lo) lo = p->s.x;
            if (p->s.last < hi) hi = p->s.last;
            q = p;
        } else {
            // Records are buffered in start order: none after this one
            // starts at or before the column, and none of them has ended.
            break;
        }
        p = next;
    }
    iter->head = iter->dummy->next;
    iter->run = column_run_t{n ? column : no_column, lo, hi, p, n};
    return n;
}

// Moves (tid, pos) to the next position that can have coverage; false when
// the buffered records are out of order.
bool advance_column(bam_plp_s* iter) {
    const lbnode_t* head = iter->head;
    if (!head->next) {
        // Nothing buffered: no column can lie before the last accepted start.
        ++iter->pos;
        if (iter->max_tid > iter->tid || (iter->max_tid == iter->tid && iter->max_pos > iter->pos)) {
            iter->tid = iter->max_tid;
            iter->pos = iter->max_pos;
        }
        return true;
    }
    if (head->tid < iter->tid) return false;
    if (head->tid > iter->tid) {
        iter->tid = head->tid;
        iter->pos = static_cast<int32_t>(head->beg);
    } else if (static_cast<int64_t>(head->beg) > iter->pos) {
        iter->pos = static_cast<int32_t>(head->beg);
    } else {
        ++iter->pos;
    }
    return true;
}

// The next column when it continues the current run (most columns), else
// null; every entry point tries this first.
inline const bam_pileup1_t* next_in_run(bam_plp_s* iter, int* tid, int* pos, int* n_plp) {
    if (iter->error || !column_is_final(iter)) return nullptr;
    const uint64_t column = static_cast<uint64_t>(iter->tid) << 32 | static_cast<uint32_t>(iter->pos);
    if (!continues_run(iter, column, iter->pos)) return nullptr;
    *tid = iter->tid;
    *pos = iter->pos;
    *n_plp = continue_run(iter);
    return iter->plp;
}

}  // namespace

const bam_pileup1_t* bam_plp_next(bam_plp_t iter, int* tid, int* pos, int* n_plp) {
    if (const bam_pileup1_t* plp = next_in_run(iter, tid, pos, n_plp)) return plp;
    if (iter->error) {
        *n_plp = -1;
        return nullptr;
    }
    *n_plp = 0;
    if (iter->is_eof && !iter->head->next) return nullptr;
    while (column_is_final(iter)) {
        const int n = collect_column(iter);
        if (n < 0) {
            iter->error = 1;
            *n_plp = -1;
            return nullptr;
        }
        *n_plp = n;
        *tid = iter->tid;
        *pos = iter->pos;
        if (!advance_column(iter)) {
            std::fprintf(stderr, "[%s] unsorted input. Pileup aborts.\n", "bam_plp_next");
            iter->error = 1;
            *n_plp = -1;
            return nullptr;
        }
        if (n) return iter->plp;
        if (iter->is_eof && !iter->head->next) break;
    }
    return nullptr;
}

const bam_pileup1_t* bam_plp_auto(bam_plp_t iter, int* tid, int* pos, int* n_plp) {
    if (!iter->func || iter->error) {
        *n_plp = -1;
        return nullptr;
    }
    if (const bam_pileup1_t* plp = bam_plp_next(iter, tid, pos, n_plp)) return plp;
    if (*n_plp < 0) return nullptr;
    *n_plp = 0;
    if (iter->is_eof) return nullptr;
    // Records are read straight into the empty tail node, sparing a copy.
    while (iter->func(iter->data, &iter->tail->b) >= 0) {
        if (bam_plp_push(iter, &iter->tail->b) < 0) {
            *n_plp = -1;
            return nullptr;
        }
        if (const bam_pileup1_t* plp = bam_plp_next(iter, tid, pos, n_plp)) return plp;
        if (*n_plp < 0) return nullptr;
    }
    bam_plp_push(iter, nullptr);
    return bam_plp_next(iter, tid, pos, n_plp);
}

void bam_plp_reset(bam_plp_t iter) {
    iter->max_tid = iter->max_pos = -1;
    iter->tid = iter->pos = 0;
    iter->is_eof = 0;
    iter->run = column_run_t{};
    for (lbnode_t* p = iter->head; p->next;) {
        lbnode_t* next = p->next;
        mp_free(iter->mp, p);
        p = next;
    }
    iter->head = iter->tail;
}

// ---------------------------------------------------------------------------
// Several files in lock-step.

namespace {
constexpr uint64_t no_position = ~uint64_t{0};
}

struct bam_mplp_s {
    int n;
    uint64_t min;
    uint64_t* pos;
    bam_plp_t* iter;
    int* n_plp;
    const bam_pileup1_t** plp;
};

bam_mplp_t bam_mplp_init(int n, bam_plp_auto_f func, void** data) {
    auto* iter = static_cast<bam_mplp_s*>(std::calloc(1, sizeof(bam_mplp_s)));
    if (!iter) return nullptr;
    const int m = n > 0 ? n : 0;
    iter->n = m;
    iter->min = no_position;
    iter->pos = static_cast<uint64_t*>(std::calloc(m + 1, sizeof(uint64_t)));
    iter->iter = static_cast<bam_plp_t*>(std::calloc(m + 1, sizeof(bam_plp_t)));
    iter->n_plp = static_cast<int*>(std::calloc(m + 1, sizeof(int)));
    iter->plp = static_cast<const bam_pileup1_t**>(std::calloc(m + 1, sizeof(bam_pileup1_t*)));
    bool ok = iter->pos && iter->iter && iter->n_plp && iter->plp;
    for (int i = 0; ok && i < m; ++i) {
        iter->pos[i] = no_position;
        iter->iter[i] = bam_plp_init(func, data[i]);
        ok = iter->iter[i] != nullptr;
    }
    if (!ok) {
        bam_mplp_destroy(iter);
        return nullptr;
    }
    return iter;
}

void bam_mplp_set_maxcnt(bam_mplp_t iter, int maxcnt) {
    for (int i = 0; i < iter->n; ++i) bam_plp_set_maxcnt(iter->iter[i], maxcnt);
}

void bam_mplp_reset(bam_mplp_t iter) {
    for (int i = 0; i < iter->n; ++i) {
        bam_plp_reset(iter->iter[i]);
        iter->pos[i] = no_position;
        iter->plp[i] = nullptr;
        iter->n_plp[i] = 0;
    }
    iter->min = no_position;
}

int bam_mplp_run_length(const bam_mplp_t iter) { return iter->n == 1 ? bam_plp_run_length(iter->iter[0]) : 0; }

void bam_mplp_skip_run(bam_mplp_t iter, int k) {
    if (iter->n == 1) bam_plp_skip_run(iter->iter[0], k);
}

void bam_mplp_destroy(bam_mplp_t iter) {
    if (!iter) return;
    for (int i = 0; iter->iter && i < iter->n; ++i) bam_plp_destroy(iter->iter[i]);
    std::free(iter->pos);
    std::free(iter->iter);
    std::free(iter->n_plp);
    std::free(iter->plp);
    std::free(iter);
}

int bam_mplp_auto(bam_mplp_t iter, int* tid, int* pos, int* n_plp, const bam_pileup1_t** plp) {
    if (iter->n == 1) {  // one file: its columns as they come
        plp[0] = next_in_run(iter->iter[0], tid, pos, &n_plp[0]);
        if (plp[0]) return 1;
        plp[0] = bam_plp_auto(iter->iter[0], tid, pos, &n_plp[0]);
        if (plp[0]) return 1;
        n_plp[0] = 0;
        return 0;
    }
    uint64_t new_min = no_position;
    for (int i = 0; i < iter->n; ++i) {
        if (iter->pos[i] == iter->min) {
            int t = 0, p = 0;
            iter->plp[i] = bam_plp_auto(iter->iter[i], &t, &p, &iter->n_plp[i]);
            iter->pos[i] = iter->plp[i] ? static_cast<uint64_t>(t) << 32 | static_cast<uint32_t>(p) : no_position;
        }
        if (iter->plp[i] && iter->pos[i] < new_min) new_min = iter->pos[i];
    }
    iter->min = new_min;
    if (new_min == no_position) return 0;
    *tid = static_cast<int>(new_min >> 32);
    *pos = static_cast<int>(static_cast<uint32_t>(new_min));
    int ret = 0;
    for (int i = 0; i < iter->n; ++i) {
        if (iter->plp[i] && iter->pos[i] == new_min) {
            n_plp[i] = iter->n_plp[i];
            plp[i] = iter->plp[i];
            ++ret;
        } else {
            n_plp[i] = 0;
            plp[i] = nullptr;
        }
    }
    return ret;
}

// ---------------------------------------------------------------------------
// Callback form.

bam_plbuf_t* bam_plbuf_init(bam_pileup_f func, void* data) {
    auto* buf = static_cast<bam_plbuf_t*>(std::calloc(1, sizeof(bam_plbuf_t)));
    if (!buf) return nullptr;
    buf->iter = bam_plp_init(nullptr, nullptr);
    if (!buf->iter) {
        std::free(buf);
        return nullptr;
    }
    buf->func = func;
    buf->data = data;
    return buf;
}

void bam_plbuf_set_mask(bam_plbuf_t* buf, int mask) { bam_plp_set_mask(buf->iter, mask); }

void bam_plbuf_reset(bam_plbuf_t* buf) { bam_plp_reset(buf->iter); }

void bam_plbuf_destroy(bam_plbuf_t* buf) {
    if (!buf) return;
    bam_plp_destroy(buf->iter);
    std::free(buf);
}

int bam_plbuf_push(const bam1_t* b, bam_plbuf_t* buf) {
    int ret = bam_plp_push(buf->iter, b);
    if (ret < 0) return ret;
    int tid = 0, pos = 0, n_plp = 0;
    while (const bam_pileup1_t* plp = bam_plp_next(buf->iter, &tid, &pos, &n_plp))
        buf->func(static_cast<uint32_t>(tid), static_cast<uint32_t>(pos), n_plp, plp, buf->data);
    return n_plp < 0 ? -1 : 0;
}
