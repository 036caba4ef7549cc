// Paired duplicate removal: per library a table from (position, insert size)
// to the kept leftmost read, a stack of the kept leftmost reads of the current
// position (written when the position changes), and the names of the mates to
// drop.
//
// Table entries made at earlier positions stay until their table grows large
// or the reference changes; they point at stack records that have since been
// written and reused, and are never followed: the key holds the position, and
// an input whose position goes back is refused before its records are looked
// up.
#include "tools/bam_rmdup.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bam/bam_aux.h"
#include "bam/bam_codec.h"
#include "containers/khash.h"
#include "tools/bam_rmdupse.h"

namespace {

constexpr const char* no_library = "\t";

// Duplicate key (position << 32 | insert size) -> kept leftmost read on the stack.
using kh_pos_t = khash_t<uint64_t, bam1_t*, kh_int64_traits>;

struct lib_aux_t {
    uint64_t n_checked = 0, n_removed = 0;
    kh_pos_t best_hash;
};
// Library name (owned copy) -> its counters and best table.
using kh_lib_t = khash_t<const char*, lib_aux_t*, kh_str_traits>;
// Read names (owned copies) whose mate is to be dropped.
using kh_name_t = kh_strset_t;

// Kept leftmost reads of the current position in the order their keys were
// first seen.  Records from `n` on are spare: written ones kept for reuse.
struct tmp_stack_t {
    size_t n = 0;
    std::vector<bam1_t*> a;

    tmp_stack_t() = default;
    tmp_stack_t(const tmp_stack_t&) = delete;
    tmp_stack_t& operator=(const tmp_stack_t&) = delete;
    ~tmp_stack_t() {
        for (bam1_t* b : a) bam_destroy1(b);
    }

    // The stacked copy of `b`; null when memory runs out.
    bam1_t* insert(const bam1_t* b) {
        if (n < a.size()) return bam_copy1(a[n], b) ? a[n++] : nullptr;
        if (a.capacity() == 0) a.reserve(RMDUP_STACK_INITIAL);
        bam1_t* p = bam_dup1(b);
        if (!p) return nullptr;
        a.push_back(p);
        ++n;
        return p;
    }
};

uint64_t duplicate_key(const bam1_core_t* c) {
    return static_cast<uint64_t>(static_cast<uint32_t>(c->pos)) << 32 | static_cast<uint32_t>(c->isize);
}

struct rmdup_t {
    samfile_t* out = nullptr;
    kh_lib_t aux;
    kh_name_t del_set;
    tmp_stack_t stack;

    rmdup_t() { del_set.resize(RMDUP_DEL_SET_RESERVE); }
    rmdup_t(const rmdup_t&) = delete;
    rmdup_t& operator=(const rmdup_t&) = delete;
    ~rmdup_t() {
        for (khint_t k = aux.begin(); k != aux.end(); ++k) {
            if (!aux.exist(k)) continue;
            std::free(const_cast<char*>(aux.key(k)));
            delete aux.value(k);
        }
        clear_del_set();
    }

    bool write(const bam1_t* b) { return samwrite(out, b) >= 0 && !bam_rmdup_has_write_failed(out); }

    // Writes the stacked reads in stack order and empties the stack.
    bool dump_best() {
        for (size_t i = 0; i < stack.n; ++i)
            if (!write(stack.a[i])) return false;
        stack.n = 0;
        return true;
    }

    // Empties every best table holding at least `min_size` entries.
    void clear_best(khint_t min_size) {
        for (khint_t k = aux.begin(); k != aux.end(); ++k)
            if (aux.exist(k) && aux.value(k)->best_hash.size >= min_size) aux.value(k)->best_hash.clear();
    }

    void clear_del_set() {
        for (khint_t k = del_set.begin(); k != del_set.end(); ++k)
            if (del_set.exist(k)) std::free(const_cast<char*>(del_set.key(k)));
        del_set.clear();
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

    // Marks the mate of `name` for dropping; `current` is the read being
    // examined, named when the mate was marked already.
    bool add_dropped_name(const char* name, const char* current) {
        int ret;
        khint_t k = del_set.put(name, &ret);
        if (!ret) {
            std::fprintf(stderr, "[bam_rmdup_core] inconsistent BAM file for pair '%s'. Continue anyway.\n", current);
            return true;
        }
        char* copy = strdup(name);
        if (!copy) {
            del_set.del(k);
            return false;
        }
        del_set.key(k) = copy;
        return true;
    }

    // True when `b` is the mate of a dropped leftmost read; forgets its name.
    bool take_dropped_mate(const bam1_t* b) {
        khint_t k = del_set.get(rec_qname(b));
        if (k == del_set.end()) return false;
        std::free(const_cast<char*>(del_set.key(k)));
        del_set.del(k);
        return true;
    }

    // Settles a leftmost read against the kept read of its key.
    stop_t add_leftmost(bam_header_t* h, const bam1_t* b) {
        const char* name = bam_get_library(h, b);
        lib_aux_t* q = get_aux(name ? name : no_library);
        ++q->n_checked;
        int ret;
        khint_t k = q->best_hash.put(duplicate_key(&b->core), &ret);
        if (ret) {
            bam1_t* p = stack.insert(b);
            if (!p) {
                q->best_hash.del(k);
                return stop_t::no_memory;
            }
            q->best_hash.value(k) = p;
            return stop_t::end;
        }
        ++q->n_removed;
        bam1_t* p = q->best_hash.value(k);
        if (bam_rmdup_sum_qual(p) < bam_rmdup_sum_qual(b)) {
            // The better read takes the kept one's place on the stack.
            if (!add_dropped_name(rec_qname(p), rec_qname(b)) || !bam_copy1(p, b)) return stop_t::no_memory;
        } else if (!add_dropped_name(rec_qname(b), rec_qname(b))) {  // ties keep the earlier read
            return stop_t::no_memory;
        }
        return stop_t::end;
    }

    // Handles one record of a mapped reference.
    stop_t add(bam_header_t* h, const bam1_t* b) {
        const bam1_core_t* c = &b->core;
        bool is_pair_here =
            (c->flag & BAM_FPAIRED) && !(c->flag & (BAM_FUNMAP | BAM_FMUNMAP)) && (c->mtid < 0 || c->mtid == c->tid);
        if (is_pair_here && c->isize > 0) return add_leftmost(h, b);
        if (is_pair_here && take_dropped_mate(b)) return stop_t::end;
        return write(b) ? stop_t::end : stop_t::write_failed;
    }

    void print_stats() const { bam_rmdup_print_stats("bam_rmdup_core", aux); }
};

}  // namespace

int bam_rmdup_core(samfile_t* in, samfile_t* out, const char* fn_in, const char* fn_out) {
    rmdup_t s;
    s.out = out;
    bam1_ptr b = bam1_make();
    if (!b) {
        std::fprintf(stderr, "[bam_rmdup_core] out of memory\n");
        return -1;
    }
    int last_tid = -1, last_pos = -1;
    uint64_t last_key = 0;
    bool is_tail = false;  // past the change to the unmapped records: copied unchanged
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
        if (!is_tail && (c->tid != last_tid || c->pos != last_pos)) {
            if (!s.dump_best()) {
                stop = stop_t::write_failed;
                break;
            }
            s.clear_best(RMDUP_BEST_CLEAR_SIZE);
            if (c->tid != last_tid) {
                s.clear_best(0);
                if (s.del_set.size) {
                    std::fprintf(stderr, "[bam_rmdup_core] %llu unmatched pairs\n",
                                 static_cast<unsigned long long>(s.del_set.size));
                    s.clear_del_set();
                }
                if (c->tid == -1) is_tail = true;
                else std::fprintf(stderr, "[bam_rmdup_core] processing reference %s...\n", in->header->target_name[c->tid]);
            }
        }
        stop = is_tail ? (s.write(b.get()) ? stop_t::end : stop_t::write_failed) : s.add(in->header, b.get());
        if (stop != stop_t::end) break;
        last_tid = c->tid;
        last_pos = c->pos;
    }
    if (r < -1) stop = stop_t::damaged;
    if (stop != stop_t::write_failed && stop != stop_t::no_memory && !s.dump_best()) stop = stop_t::write_failed;
    if (stop == stop_t::end || stop == stop_t::damaged) s.print_stats();
    return bam_rmdup_report_stop(stop, "bam_rmdup_core", in, fn_in, fn_out, n_read, b.get());
}
