#include "tools/cut_target.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "bam/bam_codec.h"
#include "call/bam_md.h"
#include "io/faidx.h"
#include "io/text_out.h"

namespace {

constexpr float ct_depcorr = 0.17f;
constexpr int ct_baq_mode = BAM_BAQ_APPLY | BAM_BAQ_EXTENDED;

// Phred rounding: add .499 and truncate.
int phred_round(double x) { return static_cast<int>(x + .499); }

// The reader's state: the input and, with a reference, the sequence of the
// reference the last record was on.
struct ct_reader_t {
    BGZF* fp = nullptr;
    int32_t n_targets = 0;
    const bam_header_t* h = nullptr;
    faidx_t* fai = nullptr;
    int ref_tid = -1;     // reference whose sequence `ref` holds (or failed to)
    char* ref = nullptr;  // null when that reference could not be fetched
    int ref_len = 0;
    long long n_read = 0;
    int status = 0;  // the read status that ended the input
    ~ct_reader_t() { std::free(ref); }
};

// Makes `ref` hold reference `tid`; false (after one warning per change of
// reference) when the FASTA cannot give it.
bool select_ref(ct_reader_t* g, int tid) {
    if (tid == g->ref_tid) return g->ref != nullptr;
    std::free(g->ref);
    g->ref_tid = tid;
    const char* name = g->h->target_name[tid];
    g->ref = faidx_fetch_seq(g->fai, name, 0, INT_MAX, &g->ref_len);
    if (!g->ref)
        std::fprintf(stderr,
                     "[main_cut_target] fail to fetch sequence '%s' from the reference; its reads get no BAQ. Continue anyway.\n",
                     name);
    return g->ref != nullptr;
}

// Reader of the pileup: the next record, with BAQ applied when a reference is loaded.
int read_aln(void* data, bam1_t* b) {
    auto* g = static_cast<ct_reader_t*>(data);
    const int ret = bam_read1_bounded(g->fp, b, g->n_targets);
    if (ret < 0) {
        g->status = ret;
        return ret;
    }
    ++g->n_read;
    if (g->fai && b->core.tid >= 0 && !(b->core.flag & BAM_FUNMAP) && select_ref(g, b->core.tid))
        bam_prob_realn_core(b, g->ref, g->ref_len, ct_baq_mode);
    return ret;
}

struct errmod_deleter {
    void operator()(errmod_t* em) const { errmod_destroy(em); }
};
struct plp_deleter {
    void operator()(bam_plp_s* p) const { bam_plp_destroy(p); }
};

}  // namespace

uint16_t ct_column_cns(const errmod_t* em, int n, const bam_pileup1_t* plp, int min_baseQ, std::vector<uint16_t>* bases) {
    if (bases->size() < static_cast<size_t>(n)) bases->resize(static_cast<size_t>(n));
    int k = 0;
    for (int i = 0; i < n; ++i) {
        const bam_pileup1_t* p = plp + i;
        if (p->is_del || p->is_refskip) continue;
        const bam1_t* b = p->b;
        if (p->qpos >= b->core.l_qseq) continue;
        const int baseQ = rec_qual(b)[p->qpos];
        if (baseQ < min_baseQ) continue;
        const int base = bam_nt16_nt4_table[rec_seqi(rec_seq(b), p->qpos)];
        if (base > 3) continue;
        const int q = std::clamp(std::min<int>(baseQ, b->core.qual), errmod_min_qual, errmod_max_qual);
        (*bases)[static_cast<size_t>(k++)] = errmod_pack_base(q, rec_is_reverse(b), base);
    }
    if (k == 0) return 0;
    float q[16];
    errmod_cal(em, k, 4, bases->data(), q);
    // Homozygous scores with the base in the low two bits: sorting orders
    // them by score, ties by base.
    int sum[4];
    for (int i = 0; i < 4; ++i) sum[i] = phred_round(q[i << 2 | i]) << 2 | i;
    std::sort(sum, sum + 4);
    const int qual = std::min((sum[1] >> 2) - (sum[0] >> 2), ct_max_qual);
    return static_cast<uint16_t>((qual << 2 | (sum[0] & 3)) << 8 | std::min(k, ct_max_count));
}

std::vector<ct_region_t> ct_segment(const uint16_t* cns, int64_t len, const ct_score_param_t& param) {
    std::vector<ct_region_t> regions;
    if (len <= 0) return regions;
    // Two bits per position: the predecessor of state 0 and of state 1.
    std::vector<uint8_t> back(static_cast<size_t>((len + 3) / 4));
    int64_t prev0 = 0, prev1 = 0;
    const int64_t p00 = param.p[0][0], p01 = param.p[0][1], p10 = param.p[1][0], p11 = param.p[1][1];
    for (int64_t i = 0; i < len; ++i) {
        const int c = ct_category(cns[i]);
        const int64_t a0 = prev0 + p00, a1 = prev1 + p10;  // into state 0
        const int64_t b0 = prev0 + p01, b1 = prev1 + p11;  // into state 1
        const int from0 = a0 > a1 ? 0 : 1, from1 = b0 > b1 ? 0 : 1;
        const int64_t cur0 = param.e[0][c] + (from0 ? a1 : a0);
        const int64_t cur1 = param.e[1][c] + (from1 ? b1 : b0);
        back[static_cast<size_t>(i >> 2)] |= static_cast<uint8_t>((from0 | from1 << 1) << ((i & 3) << 1));
        prev0 = cur0;
        prev1 = cur1;
    }
    // Backtrack from the last position, collecting the runs of state 1 from the end.
    int s = prev1 >= prev0 ? 1 : 0;
    int64_t run_end = -1;
    for (int64_t i = len - 1; i >= 0; --i) {
        if (s == 1 && run_end < 0) {
            run_end = i + 1;
        } else if (s == 0 && run_end >= 0) {
            regions.push_back({i + 1, run_end});
            run_end = -1;
        }
        s = back[static_cast<size_t>(i >> 2)] >> (((i & 3) << 1) + s) & 1;
    }
    if (run_end >= 0) regions.push_back({0, run_end});
    std::reverse(regions.begin(), regions.end());
    return regions;
}

void ct_format_region(const char* name, const uint16_t* cns, const ct_region_t& r, std::string* line) {
    char num[96];
    line->assign(name);
    std::snprintf(num, sizeof num, ":%lld-%lld\t0\t", static_cast<long long>(r.beg + 1), static_cast<long long>(r.end));
    line->append(num).append(name);
    std::snprintf(num, sizeof num, "\t%lld\t60\t%lldM\t*\t0\t0\t", static_cast<long long>(r.beg + 1),
                  static_cast<long long>(r.end - r.beg));
    line->append(num);
    for (int64_t j = r.beg; j < r.end; ++j) line->push_back((cns[j] >> 8) == 0 ? 'N' : "ACGT"[ct_cns_base(cns[j])]);
    line->push_back('\t');
    for (int64_t j = r.beg; j < r.end; ++j) line->push_back(static_cast<char>(33 + ct_cns_qual(cns[j])));
    line->push_back('\n');
}

int cut_target(const ct_opts_t& opts, const char* fn) {
    bgzf_ptr fp(std::strcmp(fn, "-") == 0 ? bgzf_fdopen(STDIN_FILENO, "r") : bgzf_open(fn, "r"));
    if (!fp) {
        std::fprintf(stderr, "[main_cut_target] fail to open file %s.\n", fn);
        return 1;
    }
    bam_header_ptr h(bam_header_read(fp.get()));
    if (!h) return 1;  // the reader has said why
    fai_ptr fai;
    if (opts.fn_ref) {
        fai.reset(fai_load(opts.fn_ref));
        if (!fai) std::fprintf(stderr, "[%s] fail to load the fasta index.\n", "main_cut_target");
    }
    std::unique_ptr<errmod_t, errmod_deleter> em(errmod_init(ct_depcorr));
    text_out_ptr out(text_out_open("-"));
    if (!em || !out) {
        std::fprintf(stderr, "[main_cut_target] fail to allocate memory.\n");
        return 1;
    }
    ct_reader_t g;
    g.fp = fp.get();
    g.n_targets = h->n_targets;
    g.h = h.get();
    g.fai = fai.get();
    std::unique_ptr<bam_plp_s, plp_deleter> iter(bam_plp_init(read_aln, &g));
    if (!iter) {
        std::fprintf(stderr, "[main_cut_target] fail to allocate memory.\n");
        return 1;
    }

    std::vector<uint16_t> cns, bases;
    std::string line;
    auto process = [&](int tid) {
        for (const ct_region_t& r : ct_segment(cns.data(), static_cast<int64_t>(cns.size()), opts.param)) {
            ct_format_region(h->target_name[tid], cns.data(), r, &line);
            text_out_write(out.get(), line.data(), line.size());
        }
    };
    int tid, pos, n, last_tid = -1;
    while (const bam_pileup1_t* plp = bam_plp_auto(iter.get(), &tid, &pos, &n)) {
        if (tid < 0) break;
        if (tid != last_tid) {
            if (last_tid >= 0) process(last_tid);
            if (text_out_has_failed(out.get())) break;
            cns.assign(h->target_len[tid], 0);
            last_tid = tid;
        }
        if (static_cast<uint32_t>(pos) < cns.size())
            cns[static_cast<size_t>(pos)] = ct_column_cns(em.get(), n, plp, opts.min_baseQ, &bases);
    }
    if (last_tid >= 0 && !text_out_has_failed(out.get())) process(last_tid);

    const bool is_unsorted = bam_plp_failed(iter.get());
    bam_plp_reset(iter.get());  // records still held after an early stop
    int status = 0;
    if (g.status < -1) {
        bam_report_damage("main_cut_target", fn, g.n_read, fp.get());
        status = 1;
    } else if (is_unsorted) {
        status = 1;  // the pileup has said why
    }
    if (text_out_close(out.release()) < 0) {
        std::fprintf(stderr, "[main_cut_target] fail to write \"standard output\".\n");
        status = 1;
    }
    return status;
}
