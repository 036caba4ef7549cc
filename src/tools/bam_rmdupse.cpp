// Single-end duplicate removal: a queue of read copies in input order, and per
// library two maps from an outer end to the queued read that holds it.
//
// Every map entry points at a read that is still queued.  A read that leaves
// the queue in a partial drain while its entry would stay (a forward read at
// the current start) takes its entry with it, so a later read with the same
// key starts a new entry instead of meeting a read already written.
//
// Memory: reads at the head that nothing can change any more (a later read
// cannot share their key, and they cannot hold up a drain) are written as
// soon as the position passes them, so the queue holds about one read length
// of input instead of up to RMDUPSE_QUEUE_MAX reads.  The output is the same
// as with draining only at the limit: such reads would leave first at the
// next drain anyway, and the limit still counts them until then, so partial
// drains happen at the same records.
#include "tools/bam_rmdupse.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bam/bam_aux.h"
#include "bam/bam_codec.h"
#include "containers/khash.h"

uint64_t bam_rmdup_sum_qual(const bam1_t* b) {
    const uint8_t* q = rec_qual(b);
    uint64_t sum = 0;
    for (int32_t i = 0; i < b->core.l_qseq; ++i) sum += q[i];
    return sum;
}

uint64_t bam_rmdup_coord_key(const bam1_core_t* c) {
    // Positions are raised by one so that -1 (none) comes first.
    const auto pos1 = static_cast<uint32_t>(static_cast<int64_t>(c->pos) + 1);
    return static_cast<uint64_t>(static_cast<uint32_t>(c->tid)) << 32 | pos1;
}

bool bam_rmdup_has_write_failed(const samfile_t* out) {
    if (out->type & TYPE_BAM) return out->x.bam->error != nullptr;
    return text_out_has_failed(out->x.tamw);
}

int bam_rmdup_report_stop(stop_t stop, const char* core, const samfile_t* in, const char* fn_in, const char* fn_out,
                          long long n_read, const bam1_t* b) {
    switch (stop) {
    case stop_t::end: return 0;
    case stop_t::damaged: bam_report_damage(core, fn_in, n_read, (in->type & TYPE_BAM) ? in->x.bam : nullptr); break;
    case stop_t::unsorted:
        std::fprintf(stderr, "[%s] the input is not sorted by coordinate: %s (record %lld, '%s')\n", core, fn_in, n_read,
                     rec_qname(b));
        break;
    case stop_t::write_failed:
        std::fprintf(stderr, "[%s] fail to write %s\n", core, std::strcmp(fn_out, "-") == 0 ? "standard output" : fn_out);
        break;
    case stop_t::no_memory: std::fprintf(stderr, "[%s] out of memory\n", core); break;
    }
    return -1;
}

namespace {

constexpr int drain_all = INT_MAX;  // a position past every read: drains the queue
constexpr const char* no_library = "\t";

struct lib_aux_t;

// One queued read.
struct elem_t {
    int endpos;
    bool discarded;  // replaced by a later read; dropped at the head
    uint64_t score;
    bam1_t* b;       // owned; the buffer stays with the node in the pool
    lib_aux_t* lib;  // library whose maps may point here; null for reads that pass through
    elem_t* next;
};

// Outer end (32-bit) -> queued read.
using besthash_t = khash_t<uint32_t, elem_t*, kh_int_traits>;

struct lib_aux_t {
    uint64_t n_checked = 0, n_removed = 0;
    besthash_t left;  // forward reads by start
    besthash_t rght;  // reverse reads by end
};
// Library name (owned copy) -> its counters and maps.
using kh_lib_t = khash_t<const char*, lib_aux_t*, kh_str_traits>;

// Singly linked queue whose nodes return to a free list.
struct read_queue_t {
    elem_t* head = nullptr;
    elem_t* tail = nullptr;
    long size = 0;
    elem_t* pool = nullptr;

    read_queue_t() = default;
    read_queue_t(const read_queue_t&) = delete;
    read_queue_t& operator=(const read_queue_t&) = delete;
    ~read_queue_t() {
        free_list(head);
        free_list(pool);
    }

    // A new tail holding a copy of `b`; null when memory runs out.
    elem_t* push(const bam1_t* b, int endpos, uint64_t score) {
        elem_t* e = pool;
        if (e) {
            pool = e->next;
        } else {
            e = static_cast<elem_t*>(std::calloc(1, sizeof(elem_t)));
            if (!e) return nullptr;
            e->b = bam_init1();
        }
        if (!e->b || !bam_copy1(e->b, b)) {
            e->next = pool;
            pool = e;
            return nullptr;
        }
        e->endpos = endpos;
        e->score = score;
        e->discarded = false;
        e->lib = nullptr;
        e->next = nullptr;
        if (tail) tail->next = e;
        else head = e;
        tail = e;
        ++size;
        return e;
    }

    void pop() {
        elem_t* e = head;
        head = e->next;
        if (!head) tail = nullptr;
        --size;
        e->b->data_len = 0;
        e->next = pool;
        pool = e;
    }

private:
    static void free_list(elem_t* e) {
        while (e) {
            elem_t* next = e->next;
            bam_destroy1(e->b);
            std::free(e);
            e = next;
        }
    }
};

struct rmdupse_t {
    samfile_t* out;
    read_queue_t queue;
    long n_early = 0;  // reads written or dropped early since the last drain
    kh_lib_t aux;

    rmdupse_t() = default;
    rmdupse_t(const rmdupse_t&) = delete;
    rmdupse_t& operator=(const rmdupse_t&) = delete;
    ~rmdupse_t() {
        for (khint_t k = aux.begin(); k != aux.end(); ++k) {
            if (!aux.exist(k)) continue;
            std::free(const_cast<char*>(aux.key(k)));
            delete aux.value(k);
        }
    }

    // The library's entry, made on first use.  Looked up before inserting:
    // an insertion may rebuild the table, whose order the statistics follow.
    lib_aux_t* get_aux(const char* lib) {
        khint_t k = aux.get(lib);
        if (k != aux.end()) return aux.value(k);
        int ret;
        k = aux.put(lib, &ret);
        aux.key(k) = strdup(lib);
        aux.value(k) = new lib_aux_t;
        return aux.value(k);
    }

    static besthash_t& map_of(lib_aux_t* lib, const bam1_t* b) { return rec_is_reverse(b) ? lib->rght : lib->left; }
    static uint32_t key_of(const bam1_t* b, int endpos) {
        return static_cast<uint32_t>(rec_is_reverse(b) ? endpos : b->core.pos);
    }

    // Drops the map entry of a read that leaves the queue, if it still has one.
    static void forget(const elem_t* e) {
        if (!e->lib) return;
        besthash_t& map = map_of(e->lib, e->b);
        khint_t k = map.get(key_of(e->b, e->endpos));
        if (k != map.end() && map.value(k) == e) map.del(k);
    }

    // Writes the head of the queue up to the first reverse read that may still
    // be replaced by a read starting at or after `pos`, then forgets map
    // entries of reads ending at or before `pos`.  Acts only for a full drain
    // or an overlong queue.
    bool dump_alignment(int pos) {
        if (queue.size + n_early <= RMDUPSE_QUEUE_MAX && pos != drain_all) return true;
        n_early = 0;
        while (queue.head) {
            elem_t* e = queue.head;
            if (!e->discarded) {
                if (rec_is_reverse(e->b) && pos < e->endpos) break;
                if (samwrite(out, e->b) < 0 || bam_rmdup_has_write_failed(out)) return false;
                if (pos != drain_all) forget(e);
            }
            queue.pop();
        }
        for (khint_t k = aux.begin(); k != aux.end(); ++k)
            if (aux.exist(k)) {
                clear_besthash(aux.value(k)->left, pos);
                clear_besthash(aux.value(k)->rght, pos);
            }
        return true;
    }

    // True when nothing can change `e` or keep it waiting once the position
    // is `pos`: later reads start at or after `pos`, so a forward read that
    // starts before it, or a reverse read that ends before it, has a key no
    // later read can share; reads that pass through only wait while they are
    // reverse and end after the position, as a drain would leave them.
    static bool is_settled(const elem_t* e, int pos) {
        if (e->discarded) return true;
        if (rec_is_reverse(e->b)) return e->lib ? e->endpos < pos : e->endpos <= pos;
        return !e->lib || e->b->core.pos < pos;
    }

    // Writes (or drops, if discarded) the settled reads at the head.
    bool write_settled(int pos) {
        while (queue.head && is_settled(queue.head, pos)) {
            elem_t* e = queue.head;
            if (!e->discarded && (samwrite(out, e->b) < 0 || bam_rmdup_has_write_failed(out))) return false;
            forget(e);
            queue.pop();
            ++n_early;
        }
        return true;
    }

    static void clear_besthash(besthash_t& map, int pos) {
        if (pos == drain_all) {  // every end is at or before it
            map.clear();
            return;
        }
        for (khint_t k = map.begin(); k != map.end(); ++k)
            if (map.exist(k) && map.value(k)->endpos <= pos) map.del(k);
    }

    // Queues `b` or settles it against the read holding its key.
    stop_t add(bam_header_t* h, const bam1_t* b, int endpos, uint64_t score) {
        const char* name = bam_get_library(h, b);
        lib_aux_t* lib = get_aux(name ? name : no_library);
        ++lib->n_checked;
        besthash_t& map = map_of(lib, b);
        int ret;
        khint_t k = map.put(key_of(b, endpos), &ret);
        if (!ret) {
            ++lib->n_removed;
            elem_t* p = map.value(k);
            if (p->score >= score) return stop_t::end;  // ties keep the earlier read
            if (!rec_is_reverse(b)) {
                // Same start: the better read takes the earlier one's place.
                if (!bam_copy1(p->b, b)) return stop_t::no_memory;
                p->score = score;
                p->endpos = endpos;
                return stop_t::end;
            }
            p->discarded = true;
        }
        elem_t* e = queue.push(b, endpos, score);
        if (!e) {
            if (ret) map.del(k);
            return stop_t::no_memory;
        }
        e->lib = lib;
        map.value(k) = e;
        return stop_t::end;
    }

    void print_stats() const { bam_rmdup_print_stats("bam_rmdupse_core", aux); }
};

}  // namespace

int bam_rmdupse_core(samfile_t* in, samfile_t* out, int force_se, const char* fn_in, const char* fn_out) {
    rmdupse_t s;
    s.out = out;
    bam1_ptr b = bam1_make();
    if (!b) {
        std::fprintf(stderr, "[bam_rmdupse_core] out of memory\n");
        return -1;
    }
    int last_tid = -2;
    uint64_t last_key = 0;
    long long n_read = 0;
    stop_t stop = stop_t::end;
    int r;
    while ((r = samread(in, b.get())) >= 0) {
        const bam1_core_t* c = &b->core;
        uint64_t key = bam_rmdup_coord_key(c);
        if (n_read++ && key < last_key) {
            stop = stop_t::unsorted;
            break;
        }
        last_key = key;
        int endpos = static_cast<int>(bam_calend(c, rec_cigar(b.get())));
        uint64_t score = bam_rmdup_sum_qual(b.get());
        bool ok = true;
        if (c->tid == last_tid) {
            ok = s.dump_alignment(c->pos) && s.write_settled(c->pos);
        } else {
            if (last_tid >= 0) ok = s.dump_alignment(drain_all);
            last_tid = c->tid;
        }
        if (!ok) {
            stop = stop_t::write_failed;
            break;
        }
        if ((c->flag & BAM_FUNMAP) || ((c->flag & BAM_FPAIRED) && !force_se)) {
            if (!s.queue.push(b.get(), endpos, score)) stop = stop_t::no_memory;
        } else {
            stop = s.add(in->header, b.get(), endpos, score);
        }
        if (stop != stop_t::end) break;
    }
    if (r < -1) stop = stop_t::damaged;
    if (stop != stop_t::write_failed && stop != stop_t::no_memory && !s.dump_alignment(drain_all)) stop = stop_t::write_failed;
    if (stop == stop_t::end || stop == stop_t::damaged) s.print_stats();
    return bam_rmdup_report_stop(stop, "bam_rmdupse_core", in, fn_in, fn_out, n_read, b.get());
}
