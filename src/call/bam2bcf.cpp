// Site likelihoods: per-sample error-model input and read statistics from a
// pileup column, the combined call with its alleles, genotype likelihoods
// and variant distance bias, and the BCF record of the call.
//
// Floating-point steps follow a fixed order and precision so that output
// repeats bit for bit: where a value is kept in `float` below it is rounded
// to single precision at exactly that point, everything else is `double`.
// Bases are read only inside the record (a query position past the sequence
// or a base without a stored quality is not used), reference bases only up
// to the reference's terminating NUL.
#include "call/bam2bcf.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "bam/bam.h"
#include "call/bcf.h"
#include "call/errmod.h"
#include "call/fet.h"
#include "containers/kstring.h"

namespace {

constexpr int default_capQ = 60;
constexpr int default_openQ = 40;
constexpr int default_extQ = 20;
constexpr int default_tandemQ = 100;
constexpr int default_min_support = 1;
constexpr double default_min_frac = 0.002;
// Error dependency when no theta is given: 1 - 0.83 in single precision,
// 0.17000002f.
constexpr float default_depcorr = 1.0f - 0.83f;

constexpr int mapq_unavailable = 255;     // mapping quality "not available" ...
constexpr int mapq_for_unavailable = 20;  // ... is read as this one
constexpr int snp_seqQ = 99;              // sequence-context quality of a SNP base
constexpr uint8_t qual_absent = 0xff;     // a read stored without qualities
constexpr int tail_dist_cap = 25;
constexpr int pl_cap = 255;
constexpr int sp_cap = 255;
constexpr int dp_cap = 65535;  // per-sample DP is an unsigned 16-bit value
constexpr int n_alleles_max = 5;
constexpr int genotypes_max = n_alleles_max * (n_alleles_max + 1) / 2;  // PL bytes per sample
constexpr double phred_per_ln = -4.343;

// Probabilities and likelihood differences become integers by adding 0.499
// and truncating.
inline int phred_round(double x) { return static_cast<int>(x + .499); }
// The same, capped; the cap is applied before the conversion so that huge or
// infinite values stay defined.
inline int phred_round_capped(double x, int cap) { return x + .499 >= cap ? cap : phred_round(x); }

// Read statistics are ints; beyond the int range they wrap instead of
// overflowing (see the header).
inline void add_wrapping(int& acc, int v) { acc = static_cast<int>(static_cast<uint32_t>(acc) + static_cast<uint32_t>(v)); }

// Grows a malloc'd array to hold `n` elements (capacity rounded up to a power
// of two); false when memory runs out, the array then unchanged.
template <typename T>
bool grow_array(T** a, int* m, int n) {
    if (n <= *m) return true;
    const uint32_t cap = std::bit_ceil(static_cast<uint32_t>(n));
    void* p = std::realloc(*a, static_cast<size_t>(cap) * sizeof(T));
    if (!p) return false;
    *a = static_cast<T*>(p);
    *m = static_cast<int>(std::min<uint32_t>(cap, INT32_MAX));
    return true;
}

// The 2-bit allele of a 4-bit reference code; codes outside 0-15 count as N.
inline int ref_nt4(int ref_base) { return ref_base >= 0 && ref_base < 16 ? bam_nt16_nt4_table[ref_base] : 4; }

// Tail distance of a base: its distance to the nearer read end, capped.
inline int tail_distance(int qpos, int l_qseq) { return std::min({qpos, tail_dist_cap, l_qseq - 1 - qpos}); }

// Mean pairwise distance of the variant positions of one column (the sum
// accumulated in single precision), their count and the mean read length.
void summarise_variant_positions(const int* var_pos, int n_var, long long read_len_sum, int mvd[3]) {
    float sum = 0;
    long long n_pairs = 0;
    for (int i = 0; i < n_var; ++i) {
        for (int j = 0; j < i; ++j) {
            sum += static_cast<float>(std::abs(var_pos[i] - var_pos[j]));
            ++n_pairs;
        }
    }
    mvd[0] = n_var > 1 ? static_cast<int>(sum / static_cast<float>(n_pairs)) : 0;
    mvd[1] = n_var;
    mvd[2] = n_var > 0 ? static_cast<int>(read_len_sum / n_var) : 0;
}

// Collects, for every read whose base differs from the reference (every read
// when calling indels), its position counted from the first unclipped base.
// -1 when memory runs out.
int collect_variant_positions(int _n, const bam_pileup1_t* pl, int ref_base, bcf_callaux_t* bca, int mvd[3]) {
    if (!grow_array(&bca->var_pos, &bca->max_var_pos, _n)) return -1;
    int n_var = 0;
    long long read_len_sum = 0;
    for (int i = 0; i < _n; ++i) {
        const bam1_t* b = pl[i].b;
        const int qpos = pl[i].qpos;
        if (ref_base >= 0) {
            if (qpos < 0 || qpos >= b->core.l_qseq) continue;
            if (rec_seqi(rec_seq(b), qpos) == ref_base) continue;
        }
        int vpos = qpos;
        if (b->core.n_cigar > 0) {
            const uint32_t first = cigar_get(rec_cigar(b), 0);
            if (bam_cigar_op(first) == BAM_CSOFT_CLIP) vpos -= static_cast<int>(bam_cigar_oplen(first));
        }
        bca->var_pos[n_var++] = vpos;
        read_len_sum += b->core.l_qseq;
    }
    summarise_variant_positions(bca->var_pos, n_var, read_len_sum, mvd);
    return 0;
}

// Variant distance bias: how well the samples' mean distances between
// variant positions agree with reads placed at random.  1 when no sample has
// two variant reads.
float calc_vdb(int n, const bcf_callret1_t* calls) {
    float weight = 0, tot_prob = 0;
    for (int i = 0; i < n; ++i) {
        const int m = calls[i].mvd[0], d = calls[i].mvd[1], L = calls[i].mvd[2];
        if (d <= 1) continue;
        if (d == 2) {
            const float p = m == 0 ? static_cast<float>(1. / L) : static_cast<float>(2. * (L - m) / L / L);
            tot_prob += p + p;
            weight += 2;
        } else if (d == 3) {
            // Beyond twice the expected distance the contribution is 0.
            const float mu = static_cast<float>(L / 2.9);
            if (!(static_cast<float>(m) > mu + mu)) {
                const float four_mu = 4 * mu;
                const float p = static_cast<float>(std::sin(m * 3.14 * 0.5 / mu) / (four_mu / 3.14));
                tot_prob += 3 * p;
            }
            weight += 3;
        } else {
            const int dd = std::min(d, 5);
            const double sd = L / 1.9 / (dd + 1);
            const float sigma2 = static_cast<float>(sd * sd);
            const float norm = static_cast<float>(std::sqrt(6.28 * sigma2) * 1.125);
            const float mu = static_cast<float>(L / 2.9);
            const float x = static_cast<float>(m);
            double e;
            if (x < mu) {
                e = (x - mu) * (-(x - mu)) * 0.5f / sigma2;
            } else {
                const float sq = (x - mu) * (-(x - mu));
                e = sq / 3.125 / sigma2;
            }
            const float p = static_cast<float>(std::exp(e) / norm);
            tot_prob += dd * p;
            weight += dd;
        }
    }
    return weight != 0 ? tot_prob / weight : 1.0f;
}

// Appends to a string block and remembers whether any append failed.
struct str_builder {
    kstring_t s;
    bool failed = false;
    void put(char c) { failed |= kputc(c, &s) < 0; }
    void put(const char* p) { failed |= kputs(p, &s) < 0; }
    void put_int(int v) { failed |= kputw(v, &s) < 0; }
};

// REF and ALT of an indel site.  Reference bases are taken from `pos` up to
// pos + indelreg, stopping early at the end of the reference.
void put_indel_alleles(str_builder& sb, int pos, const bcf_call_t* bc, const bcf_callaux_t* bca, const char* ref) {
    int last = pos;  // last reference index that may be read
    while (last < pos + bca->indelreg && ref[last + 1]) ++last;
    auto put_ref = [&](int from, int to) {
        for (int i = from; i <= to && i <= last; ++i) sb.put(ref[i]);
    };
    put_ref(pos, pos + bca->indelreg);
    sb.put('\0');
    for (int i = 1; i < bc->n_alleles; ++i) {
        if (i > 1) sb.put(',');
        sb.put(ref[pos]);
        const int allele = bc->a[i];
        const int type = allele >= 0 && allele < 4 ? bca->indel_types[allele] : 0;
        if (type > 0) {
            for (int k = 0; k < type; ++k) {
                const int code = bca->inscns && k < bca->maxins ? bca->inscns[allele * bca->maxins + k] : 4;
                sb.put("ACGTN"[code < 4 ? code : 4]);
            }
            put_ref(pos + 1, pos + bca->indelreg);
        } else {
            put_ref(pos + 1 - type, pos + bca->indelreg);
        }
    }
    sb.put('\0');
}

void put_snp_alleles(str_builder& sb, const bcf_call_t* bc) {
    sb.put("ACGTN"[bc->ori_ref >= 0 && bc->ori_ref < 4 ? bc->ori_ref : 4]);
    sb.put('\0');
    for (int i = 1; i < bc->n_alleles; ++i) {
        if (i > 1) sb.put(',');
        sb.put(i == bc->unseen ? 'X' : "ACGTN"[bc->a[i] >= 0 && bc->a[i] < 4 ? bc->a[i] : 4]);
    }
    sb.put('\0');
}

// Strand bias of one sample: the phred-scaled two-tailed Fisher p-value of
// (reference, other) x (forward, reverse), or 0 when a margin is 1 or less.
int32_t strand_bias(const int anno[16]) {
    if (anno[0] + anno[1] <= 1 || anno[2] + anno[3] <= 1 || anno[0] + anno[2] <= 1 || anno[1] + anno[3] <= 1) return 0;
    double left, right, two;
    kt_fisher_exact(anno[0], anno[1], anno[2], anno[3], &left, &right, &two);
    return phred_round_capped(phred_per_ln * std::log(two), sp_cap);
}

}  // namespace

bcf_callaux_t* bcf_call_init(double theta, int min_baseQ) {
    auto* bca = static_cast<bcf_callaux_t*>(std::calloc(1, sizeof(bcf_callaux_t)));
    if (!bca) return nullptr;
    bca->capQ = default_capQ;
    bca->min_baseQ = min_baseQ;
    bca->openQ = default_openQ;
    bca->extQ = default_extQ;
    bca->tandemQ = default_tandemQ;
    bca->min_support = default_min_support;
    bca->min_frac = default_min_frac;
    const float depcorr = theta > 0 || std::isnan(theta) ? static_cast<float>(1. - theta) : default_depcorr;
    bca->e = errmod_init(depcorr);
    if (!bca->e) {
        std::free(bca);
        return nullptr;
    }
    return bca;
}

void bcf_call_destroy(bcf_callaux_t* bca) {
    if (!bca) return;
    errmod_destroy(bca->e);
    std::free(bca->bases);
    std::free(bca->inscns);
    std::free(bca->var_pos);
    std::free(bca);
}

int bcf_call_glfgen(int _n, const bam_pileup1_t* pl, int ref_base, bcf_callaux_t* bca, bcf_callret1_t* r) {
    std::memset(r, 0, sizeof *r);
    const bool is_indel = ref_base < 0;
    const int ref4 = is_indel ? 4 : ref_nt4(ref_base);
    if (_n <= 0) return -1;
    if (!grow_array(&bca->bases, &bca->max_bases, _n)) return -1;

    int n = 0;
    for (int i = 0; i < _n; ++i) {
        const bam_pileup1_t* p = &pl[i];
        const bam1_t* b = p->b;
        if (p->is_del || p->is_refskip || (b->core.flag & BAM_FUNMAP)) continue;
        int q, seqQ;
        if (is_indel) {
            q = p->aux & 0xff;
            seqQ = p->aux >> 8 & 0xff;
        } else {
            if (p->qpos < 0 || p->qpos >= b->core.l_qseq) continue;
            q = rec_qual(b)[p->qpos];
            if (q == qual_absent) continue;
            seqQ = snp_seqQ;
        }
        ++r->ori_depth;
        if (q < bca->min_baseQ) continue;

        int mapQ = b->core.qual == mapq_unavailable ? mapq_for_unavailable : b->core.qual;
        if (mapQ > bca->capQ) mapQ = bca->capQ;
        const int baseQ = std::clamp(std::min({q, seqQ, mapQ}), errmod_min_qual, errmod_max_qual);

        int allele;
        bool is_diff;
        if (is_indel) {
            allele = p->aux >> 16 & 0x3f;
            is_diff = allele != 0;
        } else {
            int c = rec_seqi(rec_seq(b), p->qpos);
            if (c == 0) c = ref_base;  // "=" stands for the reference base
            allele = ref_nt4(c);
            is_diff = ref4 == 4 || allele != ref4;
        }
        const int is_rev = rec_is_reverse(b) ? 1 : 0;
        bca->bases[n++] = errmod_pack_base(baseQ, is_rev, allele);
        if (allele < 4) r->qsum[allele] += baseQ;

        const int d = is_diff ? 1 : 0;
        const int tail = tail_distance(p->qpos, b->core.l_qseq);
        add_wrapping(r->anno[2 * d + is_rev], 1);
        add_wrapping(r->anno[4 + 2 * d], q);
        add_wrapping(r->anno[5 + 2 * d], q * q);
        add_wrapping(r->anno[8 + 2 * d], mapQ);
        add_wrapping(r->anno[9 + 2 * d], mapQ * mapQ);
        add_wrapping(r->anno[12 + 2 * d], tail);
        add_wrapping(r->anno[13 + 2 * d], tail * tail);
    }
    r->depth = n;
    errmod_cal(bca->e, n, n_alleles_max, bca->bases, r->p);
    if (collect_variant_positions(_n, pl, ref_base, bca, r->mvd) < 0) return -1;
    return r->depth;
}

int bcf_call_combine(int n, const bcf_callret1_t* calls, int ref_base, bcf_call_t* call) {
    int ref4;
    if (ref_base >= 0) {
        ref4 = ref_nt4(ref_base);
        call->ori_ref = ref4;
    } else {
        call->ori_ref = -1;
        ref4 = 0;  // indel type 0 is the reference
    }

    // Quality totals packed as total << 2 | allele and sorted ascending, so
    // that equal totals order by allele.
    uint64_t packed[4];
    for (int k = 0; k < 4; ++k) {
        uint64_t total = 0;
        for (int i = 0; i < n; ++i) total += static_cast<uint32_t>(calls[i].qsum[k]);
        packed[k] = total << 2 | static_cast<uint64_t>(k);
    }
    for (int i = 1; i < 4; ++i) {
        for (int j = i; j > 0 && packed[j] < packed[j - 1]; --j) std::swap(packed[j], packed[j - 1]);
    }

    call->a[0] = ref4;
    for (int k = 1; k < 5; ++k) call->a[k] = -1;
    call->unseen = -1;
    int j = 1, i;
    for (i = 3; i >= 0; --i) {
        const int allele = static_cast<int>(packed[i] & 3);
        if (allele == ref4) continue;
        if (packed[i] >> 2 == 0) break;
        call->a[j++] = allele;
    }
    if (ref_base >= 0) {
        if (i >= 0 && ((ref4 < 4 && j < 4) || (ref4 == 4 && j < 5))) {
            call->unseen = j;
            call->a[j++] = static_cast<int>(packed[i] & 3);
        }
        call->n_alleles = j;
    } else {
        call->n_alleles = j;
        if (j == 1) return -1;
    }

    if (n > call->n) {
        void* p = std::realloc(call->PL, static_cast<size_t>(genotypes_max) * static_cast<size_t>(n));
        if (!p) return -1;
        call->PL = static_cast<uint8_t*>(p);
        call->n = n;
    }

    // Genotype (a[j], a[i]) for i = 0.., j = 0..i, read from p[5 a[j] + a[i]].
    const int n_gt = call->n_alleles * (call->n_alleles + 1) / 2;
    double sum_min = 0;
    for (int s = 0; s < n; ++s) {
        const float* p = calls[s].p;
        uint8_t* PL = call->PL + static_cast<size_t>(s) * n_gt;
        float min = 1e37f;
        for (int x = 0; x < call->n_alleles; ++x) {
            for (int y = 0; y <= x; ++y) min = std::min(min, p[call->a[y] * 5 + call->a[x]]);
        }
        sum_min += min;
        for (int x = 0, k = 0; x < call->n_alleles; ++x) {
            for (int y = 0; y <= x; ++y)
                PL[k++] = static_cast<uint8_t>(phred_round_capped(p[call->a[y] * 5 + call->a[x]] - min, pl_cap));
        }
    }
    call->shift = phred_round(sum_min);

    call->depth = call->ori_depth = 0;
    std::memset(call->anno, 0, sizeof call->anno);
    for (int s = 0; s < n; ++s) {
        add_wrapping(call->depth, calls[s].depth);
        add_wrapping(call->ori_depth, calls[s].ori_depth);
        for (int k = 0; k < 16; ++k) add_wrapping(call->anno[k], calls[s].anno[k]);
    }
    call->vdb = calc_vdb(n, calls);
    return 0;
}

int bcf_call2bcf(int tid, int pos, const bcf_call_t* bc, bcf1_t* b, const bcf_callret1_t* bcr, int is_SP,
                 const bcf_callaux_t* bca, const char* ref) {
    const bool is_indel = bc->ori_ref < 0;
    if (is_indel && (!bca || !ref)) return -1;
    b->tid = tid;
    b->pos = pos;
    b->qual = 0;
    b->n_smpl = bc->n;

    // The block is rebuilt in the record's own buffer.
    str_builder sb{kstring_t{0, static_cast<size_t>(b->str ? b->m_str : 0), b->str}};
    sb.put('\0');  // ID
    if (is_indel) {
        put_indel_alleles(sb, pos, bc, bca, ref);
    } else {
        put_snp_alleles(sb, bc);
    }
    sb.put('\0');  // FILTER
    if (is_indel) sb.put("INDEL;");
    sb.put("DP=");
    sb.put_int(bc->ori_depth);
    sb.put(";I16=");
    for (int i = 0; i < 16; ++i) {
        if (i) sb.put(',');
        sb.put_int(bc->anno[i]);
    }
    if (bc->vdb != 1) sb.failed |= ksprintf(&sb.s, ";VDB=%.4f", bc->vdb) < 0;
    sb.put('\0');
    sb.put("PL");
    if (bcr) {
        sb.put(":DP");
        if (is_SP) sb.put(":SP");
    }
    sb.put('\0');
    b->str = sb.s.s;
    b->m_str = static_cast<int32_t>(std::min<size_t>(sb.s.m, INT32_MAX));
    b->l_str = static_cast<int32_t>(sb.s.l);
    if (sb.failed || bcf_sync(b) < 0) return -1;

    const size_t n_smpl = bc->n > 0 ? static_cast<size_t>(bc->n) : 0;
    if (n_smpl == 0) return 0;
    std::memcpy(b->gi[0].data, bc->PL, static_cast<size_t>(b->gi[0].len) * n_smpl);
    if (bcr) {
        auto* dp = static_cast<uint8_t*>(b->gi[1].data);
        for (size_t i = 0; i < n_smpl; ++i) {
            const uint16_t v = static_cast<uint16_t>(std::min(bcr[i].depth, dp_cap));
            std::memcpy(dp + 2 * i, &v, 2);
        }
        if (is_SP) {
            auto* sp = static_cast<uint8_t*>(b->gi[2].data);
            for (size_t i = 0; i < n_smpl; ++i) {
                const int32_t v = strand_bias(bcr[i].anno);
                std::memcpy(sp + 4 * i, &v, 4);
            }
        }
    }
    return 0;
}
