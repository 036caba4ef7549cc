#include "tools/bam2depth.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bam/bam_aux.h"
#include "bam/bam_codec.h"
#include "index/bam_index.h"
#include "index/bedidx.h"
#include "io/text_out.h"
#include "pileup/bam_pileup.h"

namespace {

// One input file as the pileup's reader sees it.
struct aux_t {
    BGZF* fp = nullptr;
    bam_iter_t iter = nullptr;
    int min_mapQ = 0;
    const char* fn = nullptr;
    int32_t n_targets = 0;
    long long n_read = 0;
    int status = 0;  // the read that ended the file: -1 at a clean end
    bool is_unsorted = false;
    int32_t last_tid = -1, last_pos = -1;
    bool past_placed = false;  // records without a reference have been seen
};

bool breaks_sort_order(aux_t* a, const bam1_core_t* c) {
    if (c->tid < 0) {
        a->past_placed = true;
        return false;
    }
    if (a->past_placed || c->tid < a->last_tid || (c->tid == a->last_tid && c->pos < a->last_pos)) return true;
    a->last_tid = c->tid;
    a->last_pos = c->pos;
    return false;
}

// Reader of the pileup: the next record, through the region iterator when
// there is one.  Reads below the mapping-quality threshold are marked
// unmapped so that the pileup skips them.  Out-of-order input ends the file
// here, before the pileup could mix it up.
int read_bam(void* data, bam1_t* b) {
    auto* a = static_cast<aux_t*>(data);
    int ret = a->iter ? bam_iter_read(a->fp, a->iter, b) : bam_read1_bounded(a->fp, b, a->n_targets);
    if (ret >= 0 && a->iter && !bam_refs_valid(&b->core, a->n_targets)) ret = -4;
    if (ret < 0) {
        a->status = ret;
        return ret;
    }
    ++a->n_read;
    if (breaks_sort_order(a, &b->core)) {
        a->is_unsorted = true;
        a->status = -1;
        return -1;
    }
    if (static_cast<int>(b->core.qual) < a->min_mapQ) b->core.flag |= BAM_FUNMAP;
    return ret;
}

// Reads below the base-quality threshold, deletions and reference skips do
// not count.  A read without stored qualities counts as of unknown quality.
int column_depth(const bam_pileup1_t* plp, int n, int min_baseQ) {
    int depth = 0;
    if (min_baseQ <= 0) {  // every base counts: no branch per entry
        for (int j = 0; j < n; ++j) depth += !(plp[j].is_del | plp[j].is_refskip);
        return depth;
    }
    for (int j = 0; j < n; ++j) {
        const bam_pileup1_t* p = plp + j;
        if (p->is_del || p->is_refskip) continue;
        if (p->qpos < p->b->core.l_qseq && rec_qual(p->b)[p->qpos] < min_baseQ) continue;
        ++depth;
    }
    return depth;
}

char* put_uint(char* p, uint32_t v) {
    if (v < 10) {  // most depths
        *p = static_cast<char>('0' + v);
        return p + 1;
    }
    int n = 1;
    for (uint32_t t = v; t >= 10; t /= 10) ++n;
    char* end = p + n;
    do {
        *--end = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v);
    return p + n;
}

// Copies short strings as one fixed-size block (the line buffer has room
// past every line), sparing a library call per field.
constexpr size_t short_copy = 16;
char* put_bytes(char* p, const char* s, size_t n) {
    if (n <= short_copy) std::memcpy(p, s, short_copy);
    else std::memcpy(p, s, n);
    return p + n;
}

// The 1-based position as text.  Consecutive positions are the common case,
// so the text of the next one is prepared as soon as a line is written: the
// bytes then settle before the next line copies them as one block.
class position_text {
public:
    void set(uint32_t pos1) {
        if (pos1 != value_ || value_ == 0) {
            char tmp[16] = {};
            len_ = static_cast<int>(put_uint(tmp, pos1) - tmp);
            std::memcpy(digits_, tmp, sizeof digits_);
            value_ = pos1;
        }
    }
    void prepare_next() {
        ++value_;
        int i = len_ - 1;
        while (i >= 0 && digits_[i] == '9') digits_[i--] = '0';
        if (i >= 0) {
            ++digits_[i];
        } else if (len_ < static_cast<int>(sizeof digits_) - 1) {
            std::memmove(digits_ + 1, digits_, static_cast<size_t>(len_));
            digits_[0] = '1';
            ++len_;
        }
    }
    const char* data() const { return digits_; }
    size_t size() const { return static_cast<size_t>(len_); }

private:
    char digits_[16] = {};
    int len_ = 0;
    uint32_t value_ = 0;
};

// Lines are gathered in a buffer and written in large pieces.
class line_writer {
public:
    explicit line_writer(text_out_t* out) : out_(out), buf_(capacity + max_line) {}
    // Room for a line of `n` bytes plus numbers; flushes first when needed.
    char* reserve(size_t n) {
        if (used_ + n > buf_.size()) {
            flush();
            if (n > buf_.size()) buf_.resize(n);
        }
        return buf_.data() + used_;
    }
    void commit(char* end) {
        used_ = static_cast<size_t>(end - buf_.data());
        if (used_ >= capacity) flush();
    }
    void flush() {
        if (used_) text_out_write(out_, buf_.data(), used_);
        used_ = 0;
    }

private:
    static constexpr size_t capacity = 1 << 16, max_line = 4096;
    text_out_t* out_;
    std::vector<char> buf_;
    size_t used_ = 0;
};

struct file_set {
    std::vector<aux_t> files;
    bam_header_ptr header;  // the first file's
    ~file_set() {
        for (aux_t& a : files) {
            if (a.iter) bam_iter_destroy(a.iter);
            if (a.fp) bgzf_close(a.fp);
        }
    }
};

int open_inputs(file_set* set, int n, char* const* fns, int min_mapQ, thread_pool* pool) {
    set->files.resize(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        aux_t& a = set->files[static_cast<size_t>(i)];
        a.fn = fns[i];
        a.min_mapQ = min_mapQ;
        a.fp = bgzf_open(fns[i], "r");
        if (!a.fp) {
            std::fprintf(stderr, "[main_depth] fail to open \"%s\".\n", fns[i]);
            return -1;
        }
        if (pool) bgzf_set_pool(a.fp, pool);
        bam_header_t* h = bam_header_read(a.fp);
        if (!h) {
            std::fprintf(stderr, "[main_depth] fail to read the BAM header of \"%s\".\n", fns[i]);
            return -1;
        }
        a.n_targets = h->n_targets;
        if (i == 0) set->header.reset(h);
        else bam_header_destroy(h);
    }
    return 0;
}

int open_region(file_set* set, int tid, int beg, int end) {
    for (aux_t& a : set->files) {
        bam_index_ptr idx(bam_index_load(a.fn));
        if (!idx) {
            std::fprintf(stderr, "[main_depth] fail to load the index of \"%s\".\n", a.fn);
            return -1;
        }
        a.iter = bam_iter_query(idx.get(), tid, beg, end);
        if (!a.iter) {
            std::fprintf(stderr, "[main_depth] fail to query the index of \"%s\".\n", a.fn);
            return -1;
        }
    }
    return 0;
}

// Reports every file that ended on damage or out of order; true if any did.
bool report_input_failures(const file_set& set) {
    bool failed = false;
    for (const aux_t& a : set.files) {
        if (a.is_unsorted) {
            std::fprintf(stderr, "[main_depth] \"%s\" is not sorted by coordinate (record %lld).\n", a.fn, a.n_read);
            failed = true;
        } else if (a.status < -1) {
            bam_report_damage("main_depth", a.fn, a.n_read, a.fp);
            failed = true;
        }
    }
    return failed;
}

}  // namespace

int bam2depth(const depth_opts_t& opts, int n, char* const* fns) {
    file_set set;
    if (open_inputs(&set, n, fns, opts.min_mapQ, opts.pool) < 0) return 1;
    bam_header_t* h = set.header.get();
    int tid = -1, beg = 0;
    int64_t end = int64_t{1} << 32;  // every 32-bit position
    if (opts.region) {
        int b = 0, e = 0;
        if (bam_parse_region(h, opts.region, &tid, &b, &e) < 0 || tid < 0) {
            std::fprintf(stderr, "[main_depth] unknown region: %s\n", opts.region);
            return 1;
        }
        beg = b;
        end = e;
        if (open_region(&set, tid, beg, e) < 0) return 1;
    }
    std::unique_ptr<void, void (*)(void*)> bed(nullptr, bed_destroy);
    if (opts.bed_fn) {
        bed.reset(bed_read(opts.bed_fn));
        if (!bed) {
            std::fprintf(stderr, "[main_depth] fail to read the BED file \"%s\".\n", opts.bed_fn);
            return 1;
        }
    }
    text_out_ptr out(text_out_open("-"));
    if (!out) return 1;

    std::vector<void*> data;
    for (aux_t& a : set.files) data.push_back(&a);
    std::unique_ptr<bam_mplp_s, void (*)(bam_mplp_t)> mplp(bam_mplp_init(n, read_bam, data.data()), bam_mplp_destroy);
    if (!mplp) {
        std::fprintf(stderr, "[main_depth] fail to allocate memory.\n");
        return 1;
    }
    std::vector<int> n_plp(static_cast<size_t>(n));
    std::vector<const bam_pileup1_t*> plp(static_cast<size_t>(n));
    std::vector<uint32_t> depths(static_cast<size_t>(n));
    line_writer lines(out.get());
    int line_tid = -1;
    position_text pos_text;
    std::string name_pad;  // the reference name with room for a block copy
    size_t name_len = 0;
    auto write_line = [&](int64_t pos) {
        char* p = lines.reserve(name_len + short_copy + 12 * (static_cast<size_t>(n) + 1));
        p = put_bytes(p, name_pad.data(), name_len);
        *p++ = '\t';
        pos_text.set(static_cast<uint32_t>(pos) + 1);
        p = put_bytes(p, pos_text.data(), pos_text.size());
        pos_text.prepare_next();
        for (uint32_t d : depths) {
            *p++ = '\t';
            p = put_uint(p, d);
        }
        *p++ = '\n';
        lines.commit(p);
    };
    // With one file, every base counted and no BED set, the columns of a run
    // (same reads, same flags) share their depth and are written without
    // being read one by one.
    const bool use_runs = n == 1 && opts.min_baseQ <= 0 && !bed;
    int ptid = 0, pos = 0;
    while (bam_mplp_auto(mplp.get(), &ptid, &pos, n_plp.data(), plp.data()) > 0) {
        for (int i = 0; i < n; ++i)
            depths[static_cast<size_t>(i)] = static_cast<uint32_t>(column_depth(plp[i], n_plp[i], opts.min_baseQ));
        const int run = use_runs ? bam_mplp_run_length(mplp.get()) : 0;
        if (run > 0) bam_mplp_skip_run(mplp.get(), run);
        const int64_t first = std::max<int64_t>(pos, beg), last = std::min<int64_t>(int64_t{pos} + run, end - 1);
        if (first > last) continue;
        const char* name = h->target_name[ptid];
        if (bed && !bed_overlap(bed.get(), name, pos, pos + 1)) continue;
        if (ptid != line_tid) {
            line_tid = ptid;
            name_len = std::strlen(name);
            name_pad.assign(name, name_len);
            name_pad.resize(name_len + short_copy);
        }
        for (int64_t q = first; q <= last; ++q) write_line(q);
        if (text_out_has_failed(out.get())) {
            bam_mplp_reset(mplp.get());  // stop here; nothing more can be written
            break;
        }
    }
    lines.flush();
    mplp.reset();
    int status = report_input_failures(set) ? 1 : 0;
    if (text_out_close(out.release()) < 0) {
        std::fprintf(stderr, "[main_depth] fail to write \"standard output\".\n");
        status = 1;
    }
    return status;
}
