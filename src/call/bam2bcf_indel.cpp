// Indel candidates, haplotypes and per-read scores.  Per site the work is
// (reads) x (types) banded alignments of about 100 + |type| bases; every
// buffer is a vector local to one call.
#include "call/bam2bcf_indel.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "bam/bam_aux.h"
#include "call/kprobaln.h"
#include "containers/khash.h"

namespace {

constexpr int max_phred = 255;         // cap of seqQ, indelQ and the normalised score
constexpr int realign_qual_cap = 30;   // base qualities above it are lowered to it
constexpr int realign_qual_floor = 7;  // base qualities of 6 or less are raised to it
constexpr int missing_qual = 0xff;     // first stored quality of a read without qualities
constexpr int norm_score_limit = 111;  // normalised scores above it give indelQ 0
constexpr double consensus_min_match = 0.7;
constexpr int nt16_n = 15;
constexpr int nt4_unknown = 4;
constexpr int type_bits = 6;  // type index bits below a packed score
constexpr int64_t type_mask = (1 << type_bits) - 1;

int round_phred(double x) { return static_cast<int>(x + .499); }

int ref_nt16(const char* ref, int i) { return bam_nt16_table[static_cast<uint8_t>(ref[i])]; }

// Read base i in the 4-bit code; N past the stored sequence.
int read_nt16(const bam1_t* b, int i) { return i >= 0 && i < b->core.l_qseq ? rec_seqi(rec_seq(b), i) : nt16_n; }

bool has_ref_skip(const bam1_t* b) {
    const uint8_t* cigar = rec_cigar(b);
    for (int k = 0; k < b->core.n_cigar; ++k)
        if (bam_cigar_op(cigar_get(cigar, k)) == BAM_CREF_SKIP) return true;
    return false;
}

bool is_match_op(uint32_t op) { return op == BAM_CMATCH || op == BAM_CEQUAL || op == BAM_CDIFF; }

// Distinct candidate types in ascending order, or empty when the column is
// rejected.  Marked reads (aux 1 with a read-group set) nominate nothing.
std::vector<int> collect_types(int n, const int* n_plp, bam_pileup1_t** plp, int pos, const bcf_callaux_t* bca, bool filtered) {
    std::vector<int> all{0};
    int n_alt = 0, n_tot = 0;
    for (int s = 0; s < n; ++s)
        for (int i = 0; i < n_plp[s]; ++i) {
            const bam_pileup1_t& p = plp[s][i];
            if (filtered && p.aux != 0) continue;
            ++n_tot;
            if (p.indel != 0) {
                ++n_alt;
                all.push_back(p.indel);
            }
        }
    std::sort(all.begin(), all.end());
    all.erase(std::unique(all.begin(), all.end()), all.end());
    int n_types = static_cast<int>(all.size());
    if (n_types == 1 || static_cast<double>(n_alt) / n_tot < bca->min_frac || n_alt < bca->min_support) return {};
    if (n_types > bcf_indel_max_types) {
        if (bam_verbose >= 2)
            std::fprintf(stderr, "[%s] excessive INDEL alleles at position %d. Skip the position.\n", "bcf_call_gap_prep",
                         pos + 1);
        return {};
    }
    return all;
}

// A read's query for realignment: bases [qbeg, qend) in the 2-bit code with
// their qualities, and the reference span [tbeg, tend) they cover.
struct read_query {
    bool aligned = false;
    int tbeg = 0, tend = 0;
    std::vector<uint8_t> seq, qual;
};

read_query make_query(const bam1_t* b, int left, int right) {
    read_query r;
    if ((b->core.flag & BAM_FUNMAP) || has_ref_skip(b)) return r;
    int qbeg = tpos2qpos(&b->core, rec_cigar(b), left, 0, &r.tbeg);
    int qend = tpos2qpos(&b->core, rec_cigar(b), right, 1, &r.tend);
    // Not aligned (zero scores): a deletion spanning the window leaves no
    // query; a record whose stored sequence is shorter than its CIGAR, or
    // that does not reach into the window, gives nothing to align.
    if (qend <= qbeg || qend > b->core.l_qseq || r.tbeg < left || r.tend > right) return r;
    r.aligned = true;
    r.seq.resize(qend - qbeg);
    r.qual.resize(qend - qbeg);
    for (int l = qbeg; l < qend; ++l) r.seq[l - qbeg] = static_cast<uint8_t>(bam_nt16_nt4_table[read_nt16(b, l)]);
    bcf_indel_realign_quals(b, qbeg, qend, r.qual.data());
    return r;
}

// The haplotype of type `type` in the 2-bit code: consensus from `left`
// through `pos`, the inserted bases, the consensus after the site (skipping
// a deletion) up to `right`, then 4 up to the buffer's size.
void build_haplotype(const std::vector<uint8_t>& cns, int left, int pos, int right, int type, const uint8_t* ins,
                     std::vector<uint8_t>& hap) {
    size_t k = 0;
    int j = left;
    for (; j <= pos; ++j) hap[k++] = static_cast<uint8_t>(bam_nt16_nt4_table[cns[j - left]]);
    if (type <= 0) j += -type;
    else
        for (int l = 0; l < type; ++l) hap[k++] = ins[l];
    for (; j < right; ++j) hap[k++] = static_cast<uint8_t>(bam_nt16_nt4_table[cns[j - left]]);
    std::fill(hap.begin() + static_cast<std::ptrdiff_t>(k), hap.end(), static_cast<uint8_t>(nt4_unknown));
}

int gap_prep(int n, const int* n_plp, bam_pileup1_t** plp, int pos, bcf_callaux_t* bca, const char* ref, int ref_len,
             const kh_strset_t* rghash) {
    if (!ref || !bca || pos < 0 || pos >= ref_len || !ref[pos]) return -1;
    if (rghash) {
        int n_kept = 0;
        for (int s = 0; s < n; ++s)
            for (int i = 0; i < n_plp[s]; ++i) {
                bam_pileup1_t& p = plp[s][i];
                const uint8_t* rg = bam_aux_get(p.b, "RG");
                p.aux = 1;
                if (rg && *rg == 'Z' && rghash->get(reinterpret_cast<const char*>(rg + 1)) != rghash->end()) {
                    p.aux = 0;
                    ++n_kept;
                }
            }
        if (n_kept == 0) return -1;
    }
    bool any_indel = false;
    for (int s = 0; s < n && !any_indel; ++s)
        for (int i = 0; i < n_plp[s] && !any_indel; ++i) any_indel = plp[s][i].indel != 0;
    if (!any_indel) return -1;

    std::vector<int> types = collect_types(n, n_plp, plp, pos, bca, rghash != nullptr);
    if (types.empty()) return -1;
    int n_types = static_cast<int>(types.size());
    int ref_type = static_cast<int>(std::find(types.begin(), types.end(), 0) - types.begin());
    int max_del = types[0] < 0 ? -types[0] : 0;
    int max_ins = types[n_types - 1] > 0 ? types[n_types - 1] : 0;
    // Only damaged records claim indels this long; their buffers would not fit.
    if (max_del > bcf_indel_max_len || max_ins > bcf_indel_max_len) return -1;

    // Window, cut where the reference ends.
    int left = pos > bcf_indel_window ? pos - bcf_indel_window : 0;
    int right = static_cast<int>(std::min<int64_t>(int64_t{pos} + bcf_indel_window + max_del, ref_len));
    for (int i = pos; i < right; ++i)
        if (!ref[i]) {
            right = i;
            break;
        }

    std::vector<uint8_t> ref0(right - left);
    for (int i = left; i < right; ++i) ref0[i - left] = static_cast<uint8_t>(ref_nt16(ref, i));
    std::vector<std::vector<uint8_t>> cns(n, std::vector<uint8_t>(ref0.size()));
    for (int s = 0; s < n; ++s) bcf_indel_consensus(plp[s], n_plp[s], ref0.data(), left, right - left, cns[s].data());

    int l_run = bcf_indel_run_length(ref, ref_len, pos);
    // Consensus inserted bases, `max_ins` per type (rows of other types stay 0).
    std::vector<uint8_t> inscns(static_cast<size_t>(n_types) * max_ins);
    for (int t = 0; t < n_types; ++t)
        bcf_indel_ins_consensus(n, n_plp, plp, types[t], inscns.data() + static_cast<size_t>(t) * max_ins);

    int n_reads = 0;
    for (int s = 0; s < n; ++s) n_reads += n_plp[s];
    std::vector<read_query> queries;
    queries.reserve(n_reads);
    for (int s = 0; s < n; ++s)
        for (int i = 0; i < n_plp[s]; ++i) queries.push_back(make_query(plp[s][i].b, left, right));

    // Scores of every read against every type.
    std::vector<int64_t> score1(static_cast<size_t>(n_reads) * n_types), score2(score1.size());
    std::vector<uint8_t> hap(right - left + 2 + 2 * std::max(max_ins, max_del));
    bca->indelreg = 0;
    for (int t = 0; t < n_types; ++t) {
        const uint8_t* ins = types[t] > 0 ? &inscns[static_cast<size_t>(t) * max_ins] : nullptr;
        int ir = types[t] == 0 ? 0 : bcf_indel_region(ref, ref_len, pos, types[t], ins);
        if (ir > bca->indelreg) bca->indelreg = ir;
        int abs_t = std::abs(types[t]);
        kpa_par_t apf1{1e-4f, 1e-2f, abs_t + 3}, apf2{1e-6f, 1e-3f, abs_t + 3};
        for (int s = 0, K = 0; s < n; ++s) {
            build_haplotype(cns[s], left, pos, right, types[t], ins, hap);
            for (int i = 0; i < n_plp[s]; ++i, ++K) {
                const read_query& q = queries[K];
                if (q.aligned) {
                    int tbeg = types[t] < 0 ? std::max(left, q.tbeg - abs_t) : q.tbeg;
                    int l_ref = q.tend - tbeg + abs_t;
                    int l_query = static_cast<int>(q.seq.size());
                    if (l_ref <= 0) continue;
                    const uint8_t* h = hap.data() + (tbeg - left);
                    int R = kpa_glocal(h, l_ref, q.seq.data(), l_query, q.qual.data(), &apf1, nullptr, nullptr);
                    size_t at = static_cast<size_t>(K) * n_types + t;
                    score1[at] = score2[at] = bcf_indel_score(R, l_query);
                    if (R > 5)
                        score2[at] = bcf_indel_score(
                            kpa_glocal(h, l_ref, q.seq.data(), l_query, q.qual.data(), &apf2, nullptr, nullptr), l_query);
                }
            }
        }
    }

    // Per-read allele and qualities; quality sums per type.
    std::vector<int64_t> sumq(n_types);
    for (int s = 0, K = 0; s < n; ++s)
        for (int i = 0; i < n_plp[s]; ++i, ++K) {
            size_t at = static_cast<size_t>(K) * n_types;
            uint32_t aux = bcf_indel_read_aux(&score1[at], &score2[at], types.data(), n_types, ref_type, l_run, bca);
            plp[s][i].aux = aux;
            sumq[aux >> 16] += std::min<int>(aux >> 8 & 0xff, aux & 0xff);
        }

    // Reported alleles: by quality sum, largest first (ties: higher index
    // first), with the reference type moved to the front.
    bca->maxins = max_ins;
    if (max_ins > 0) {
        auto* p = static_cast<uint8_t*>(std::realloc(bca->inscns, 4 * static_cast<size_t>(max_ins)));
        if (!p) return -1;
        bca->inscns = p;
    }
    std::vector<int64_t> order(n_types);
    for (int t = 0; t < n_types; ++t) order[t] = sumq[t] << type_bits | t;
    std::sort(order.begin(), order.end(), std::greater<>());
    auto ref_at = std::find_if(order.begin(), order.end(), [&](int64_t k) { return (k & type_mask) == ref_type; });
    std::rotate(order.begin(), ref_at, ref_at + 1);
    for (int t = 0; t < 4; ++t) bca->indel_types[t] = bcf_indel_null;
    for (int t = 0; t < 4 && t < n_types; ++t) {
        int idx = static_cast<int>(order[t] & type_mask);
        bca->indel_types[t] = types[idx];
        if (max_ins > 0) std::memcpy(&bca->inscns[t * max_ins], &inscns[static_cast<size_t>(idx) * max_ins], max_ins);
    }

    // Allele indices into the reported types; other types become 4 with no quality.
    int n_alt = 0;
    for (int s = 0; s < n; ++s)
        for (int i = 0; i < n_plp[s]; ++i) {
            bam_pileup1_t& p = plp[s][i];
            int x = types[p.aux >> 16 & type_mask];
            int j = 0;
            while (j < 4 && bca->indel_types[j] != x) ++j;
            p.aux = static_cast<uint32_t>(j) << 16 | (j == 4 ? 0 : (p.aux & 0xffff));
            if (j > 0) ++n_alt;
        }
    return n_alt > 0 ? 0 : -1;
}

}  // namespace

void* bcf_call_add_rg(void* _hash, const char* hdtext, const char* list) {
    if (!list || !hdtext) return _hash;
    auto* hash = static_cast<kh_strset_t*>(_hash);
    try {
        if (!hash) hash = new kh_strset_t;
        // A value runs to the next NUL, TAB or newline.
        auto value = [](const char* v) { return std::string(v, std::strcspn(v, "\t\n")); };
        for (const char* p = std::strstr(hdtext, "@RG\t"); p;) {
            const char* id = std::strstr(p, "\tID:");
            const char* pl = std::strstr(p, "\tPL:");
            if (!id || !pl) break;
            const char* next = std::strstr(p + 4, "@RG\t");
            if (!next || (id < next && pl < next)) {
                if (std::strstr(list, value(pl + 4).c_str())) {
                    std::string key = value(id + 4);
                    if (hash->get(key.c_str()) == hash->end()) {
                        char* copy = strdup(key.c_str());
                        if (!copy) throw std::bad_alloc();
                        int ret;
                        try {
                            hash->put(copy, &ret);
                        } catch (const std::bad_alloc&) {
                            std::free(copy);
                            throw;
                        }
                    }
                }
            }
            p = next;
        }
    } catch (const std::bad_alloc&) {
        // Out of memory: the set keeps what was added so far.
    }
    return hash;
}

void bcf_call_del_rghash(void* _hash) {
    auto* hash = static_cast<kh_strset_t*>(_hash);
    if (!hash) return;
    for (khint_t k = hash->begin(); k != hash->end(); ++k)
        if (hash->exist(k)) std::free(const_cast<char*>(hash->key(k)));
    delete hash;
}

int tpos2qpos(const bam1_core_t* c, const uint8_t* cigar, int32_t tpos, int is_left, int32_t* _tpos) {
    int32_t x = c->pos, y = 0, last_y = 0;
    *_tpos = c->pos;
    for (int k = 0; k < c->n_cigar; ++k) {
        uint32_t op = bam_cigar_op(cigar_get(cigar, k));
        int32_t l = static_cast<int32_t>(bam_cigar_oplen(cigar_get(cigar, k)));
        if (is_match_op(op)) {
            if (c->pos > tpos) return y;
            if (x + l > tpos) {
                *_tpos = tpos;
                return y + (tpos - x);
            }
            x += l;
            y += l;
            last_y = y;
        } else if (op == BAM_CINS || op == BAM_CSOFT_CLIP) {
            y += l;
        } else if (op == BAM_CDEL || op == BAM_CREF_SKIP) {
            if (x <= tpos && tpos < x + l) {
                *_tpos = is_left ? x : x + l;
                return y;
            }
            x += l;
        }
    }
    *_tpos = x;
    return last_y;
}

void bcf_indel_consensus(const bam_pileup1_t* plp, int n_plp, const uint8_t* ref16, int left, int len, uint8_t* cns) {
    std::vector<int> match(len), mismatch(len);
    for (int i = 0; i < n_plp; ++i) {
        const bam1_t* b = plp[i].b;
        const uint8_t* cigar = rec_cigar(b);
        int x = b->core.pos, y = 0;
        for (int k = 0; k < b->core.n_cigar; ++k) {
            uint32_t op = bam_cigar_op(cigar_get(cigar, k));
            int l = static_cast<int>(bam_cigar_oplen(cigar_get(cigar, k)));
            if (is_match_op(op)) {
                for (int j = 0; j < l; ++j) {
                    int t = x + j - left;
                    if (t < 0 || t >= len || y + j >= b->core.l_qseq) continue;
                    if (read_nt16(b, y + j) == ref16[t]) ++match[t];
                    else ++mismatch[t];
                }
                x += l;
                y += l;
            } else if (op == BAM_CDEL || op == BAM_CREF_SKIP) {
                x += l;
            } else if (op == BAM_CINS || op == BAM_CSOFT_CLIP) {
                y += l;
            }
        }
    }
    std::memcpy(cns, ref16, len);
    int max_i = -1, max2_i = -1, max = 0, max2 = 0;
    for (int t = 0; t < len; ++t) {
        if (mismatch[t] >= max) {
            max2 = max, max2_i = max_i;
            max = mismatch[t], max_i = t;
        } else if (mismatch[t] >= max2) {
            max2 = mismatch[t], max2_i = t;
        }
    }
    // An uncovered position gives 0/0, which fails the test as well.
    auto passes = [&](int t) { return static_cast<double>(match[t]) / (match[t] + mismatch[t]) >= consensus_min_match; };
    if (max_i >= 0 && !passes(max_i)) cns[max_i] = nt16_n;
    if (max2_i >= 0 && !passes(max2_i)) cns[max2_i] = nt16_n;
}

void bcf_indel_ins_consensus(int n, const int* n_plp, bam_pileup1_t* const* plp, int type, uint8_t* out) {
    if (type <= 0) return;
    std::vector<int> count(4 * static_cast<size_t>(type));
    for (int s = 0; s < n; ++s)
        for (int i = 0; i < n_plp[s]; ++i) {
            const bam_pileup1_t& p = plp[s][i];
            if (p.indel != type) continue;
            for (int k = 1; k <= type; ++k) {
                int c = bam_nt16_nt4_table[read_nt16(p.b, p.qpos + k)];
                if (c < 4) ++count[4 * (k - 1) + c];
            }
        }
    for (int j = 0; j < type; ++j) {
        int best = 0, best_c = nt4_unknown;
        for (int c = 0; c < 4; ++c)
            if (count[4 * j + c] > best) best = count[4 * j + c], best_c = c;
        out[j] = static_cast<uint8_t>(best_c);
    }
}

int bcf_indel_run_length(const char* ref, int ref_len, int pos) {
    if (pos < 0 || pos + 1 >= ref_len || !ref[pos + 1]) return 1;
    int c = ref_nt16(ref, pos + 1);
    if (c == nt16_n) return 1;
    int end = pos + 2;
    while (end < ref_len && ref[end] && ref_nt16(ref, end) == c) ++end;
    int beg = pos;
    while (beg >= 0 && ref_nt16(ref, beg) == c) --beg;
    return end - (beg + 1);
}

int bcf_indel_region(const char* ref, int ref_len, int pos, int l, const uint8_t* ins) {
    l = std::abs(l);
    if (l == 0 || pos < 0) return 0;
    int score = 0, max = 0, max_i = pos;
    for (int i = pos + 1, j = 0; i < ref_len && ref[i]; ++i, ++j) {
        int want = ins ? "ACGTN"[ins[j % l] < 4 ? ins[j % l] : 4] : std::toupper(static_cast<uint8_t>(ref[pos + 1 + j % l]));
        score += std::toupper(static_cast<uint8_t>(ref[i])) != want ? -10 : 1;
        if (score < 0) break;
        if (max < score) max = score, max_i = i;
    }
    return max_i - pos;
}

int bcf_indel_seqQ(const bcf_callaux_t* bca, int l, int l_run) {
    int q = bca->openQ + bca->extQ * (std::abs(l) - 1);
    int qh = l_run >= 3 ? round_phred(bca->tandemQ * static_cast<double>(std::abs(l)) / l_run) : 1000;
    return q < qh ? q : qh;
}

void bcf_indel_realign_quals(const bam1_t* b, int qbeg, int qend, uint8_t* out) {
    int l_qseq = b->core.l_qseq;
    const uint8_t* qual = rec_qual(b);
    bool missing = l_qseq <= 0 || qual[0] == missing_qual;
    const uint8_t* zq = nullptr;
    if (const uint8_t* p = bam_aux_get(b, "ZQ"); p && !missing && *p == 'Z') {
        const uint8_t* end = b->data + b->data_len;
        size_t room = end > p + 1 ? static_cast<size_t>(end - (p + 1)) : 0;
        if (strnlen(reinterpret_cast<const char*>(p + 1), room) == static_cast<size_t>(l_qseq)) zq = p + 1;
    }
    for (int l = qbeg; l < qend; ++l) {
        int q = missing || l < 0 || l >= l_qseq ? realign_qual_cap : qual[l] + (zq ? zq[l] - 64 : 0);
        if (q > realign_qual_cap) q = realign_qual_cap;
        if (q < realign_qual_floor) q = realign_qual_floor;
        out[l - qbeg] = static_cast<uint8_t>(q);
    }
}

int64_t bcf_indel_score(int R, int l_query) {
    if (R == kpa_no_result || R < 0 || l_query <= 0) return 0;
    int l = static_cast<int>(100. * R / l_query + .499);
    if (l > max_phred) l = max_phred;
    return static_cast<int64_t>(R) << 8 | l;
}

uint32_t bcf_indel_read_aux(const int64_t* score1, const int64_t* score2, const int* types, int n_types, int ref_type, int l_run,
                            const bcf_callaux_t* bca) {
    if (n_types < 2 || n_types > bcf_indel_max_types || ref_type < 0 || ref_type >= n_types) return 0;
    std::array<int64_t, bcf_indel_max_types> keys;
    std::span<int64_t> sc(keys.data(), n_types);
    // Sorts the packed keys; returns indelQ from the best key against the
    // comparison key (the second when the best is the reference type, else
    // the reference type's), and that comparison's position in `sc`.
    auto rank = [&](const int64_t* score, int* cmp) {
        for (int t = 0; t < n_types; ++t) sc[t] = score[t] << type_bits | t;
        std::sort(sc.begin(), sc.end());
        if ((sc[0] & type_mask) == ref_type) *cmp = 1;
        else
            *cmp = static_cast<int>(std::find_if(sc.begin(), sc.end(), [&](int64_t k) { return (k & type_mask) == ref_type; }) -
                                    sc.begin());
        int64_t delta = (sc[*cmp] >> 14) - (sc[0] >> 14);
        int norm = static_cast<int>(sc[0] >> type_bits & 0xff);
        return norm > norm_score_limit ? 0 : round_phred((1. - norm / 111.) * static_cast<double>(delta));
    };
    int cmp;
    int indelQ1 = rank(score1, &cmp);
    int seq_type = (sc[0] & type_mask) == ref_type ? static_cast<int>(sc[cmp] & type_mask) : static_cast<int>(sc[0] & type_mask);
    int seqQ = std::min(bcf_indel_seqQ(bca, types[seq_type], l_run), max_phred);
    int indelQ2 = rank(score2, &cmp);
    int indelQ = std::min({indelQ1, indelQ2, max_phred});
    uint32_t best = static_cast<uint32_t>(sc[0] & type_mask);
    return best << 16 | static_cast<uint32_t>(seqQ) << 8 | static_cast<uint32_t>(indelQ);
}

int bcf_call_gap_prep(int n, const int* n_plp, bam_pileup1_t** plp, int pos, bcf_callaux_t* bca, const char* ref, int ref_len,
                      const void* rghash) {
    try {
        return gap_prep(n, n_plp, plp, pos, bca, ref, ref_len, static_cast<const kh_strset_t*>(rghash));
    } catch (const std::bad_alloc&) {
        return -1;
    }
}
