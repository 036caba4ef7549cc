// BAQ, mapping-quality capping and MD/NM of one record; see bam_md.h.
#include "call/bam_md.h"

#include <strings.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "bam/bam_aux.h"
#include "call/kprobaln.h"
#include "containers/kstring.h"

namespace {

constexpr int nt16_n = 15;  // 4-bit code of N and of every unknown character
constexpr int nt16_eq = 0;  // 4-bit code of '='

// Phred rounding used throughout: add .499 and truncate.
int phred_round(double x) { return static_cast<int>(x + .499); }

// Buffers reused from record to record.
struct record_scratch_t {
    kstring_owner md;
    std::vector<uint8_t> read2, ref2;  // 2-bit codes
    std::vector<int> state;            // model placements
    std::vector<uint8_t> hmm_q, baq, run_max, offsets;
};

record_scratch_t& scratch() {
    thread_local record_scratch_t s;
    return s;
}

int ref_code(const char* ref, int64_t x) { return bam_nt16_table[static_cast<uint8_t>(ref[x])]; }

// A read base matches the reference when both are the same known base, or
// when the read says '='.
bool is_match(int read_code, int ref_nt16) { return (read_code == ref_nt16 && read_code != nt16_n) || read_code == nt16_eq; }

bool is_aligned_op(uint32_t op) { return op == BAM_CMATCH || op == BAM_CEQUAL || op == BAM_CDIFF; }

void set_seq_base(uint8_t* seq, int i, int code) {
    const int shift = (~i & 1) << 2;
    seq[i >> 1] = static_cast<uint8_t>((seq[i >> 1] & ~(0xf << shift)) | (code << shift));
}

// True when the CIGAR reads no more bases than the record stores (summed in
// 64 bits: a damaged CIGAR may claim more than 2^31).
bool has_bases_for_cigar(const bam1_t* b) {
    const uint8_t* cigar = rec_cigar(b);
    int64_t qlen = 0;
    for (int k = 0; k < b->core.n_cigar; ++k)
        if (bam_cigar_is_query(bam_cigar_op(cigar_get(cigar, k)))) qlen += bam_cigar_oplen(cigar_get(cigar, k));
    return qlen <= b->core.l_qseq;
}

// The value of a Z field at `s` (its type character) when it ends inside
// the record, else null.
const char* aux_string(const bam1_t* b, const uint8_t* s) {
    if (!s || *s != 'Z') return nullptr;
    const uint8_t* end = b->data + b->data_len;
    return std::memchr(s + 1, 0, end - (s + 1)) ? reinterpret_cast<const char*>(s + 1) : nullptr;
}

// Walks the aligned bases against the reference, building MD and counting
// the edit distance; stops for good where the reference ends.
int walk_md(bam1_t* b, const char* ref, int64_t ref_len, bool set_equal, kstring_t* md) {
    const bam1_core_t* c = &b->core;
    const uint8_t* cigar = rec_cigar(b);
    uint8_t* seq = rec_seq(b);
    int64_t x = c->pos;
    int y = 0, u = 0, nm = 0;
    md->l = 0;
    for (int k = 0; k < c->n_cigar; ++k) {
        const uint32_t op = bam_cigar_op(cigar_get(cigar, k));
        const int l = static_cast<int>(bam_cigar_oplen(cigar_get(cigar, k)));
        if (is_aligned_op(op)) {
            const int n = static_cast<int>(std::clamp<int64_t>(ref_len - x, 0, l));
            for (int j = 0; j < n; ++j) {
                const int r = ref_code(ref, x + j);
                if (is_match(rec_seqi(seq, y + j), r)) {
                    if (set_equal) set_seq_base(seq, y + j, nt16_eq);
                    ++u;
                } else {
                    kputw(u, md);
                    kputc(ref[x + j], md);
                    u = 0;
                    ++nm;
                }
            }
            if (n < l) break;
            x += l;
            y += l;
        } else if (op == BAM_CINS || op == BAM_CSOFT_CLIP) {
            if (op == BAM_CINS) nm += l;
            y += l;
        } else if (op == BAM_CDEL) {
            kputw(u, md);
            kputc('^', md);
            const int n = static_cast<int>(std::clamp<int64_t>(ref_len - x, 0, l));
            kputsn(ref + x, n, md);
            u = 0;
            nm += l;
            if (n < l) break;
            x += l;
        } else if (op == BAM_CREF_SKIP) {
            x += l;
        }
    }
    kputw(u, md);
    return nm;
}

// Sets every matching aligned base to N with quality 0 (the same walk and
// test as walk_md).
void mask_matches(bam1_t* b, const char* ref, int64_t ref_len) {
    const bam1_core_t* c = &b->core;
    const uint8_t* cigar = rec_cigar(b);
    uint8_t* seq = rec_seq(b);
    uint8_t* qual = rec_qual(b);
    int64_t x = c->pos;
    int y = 0;
    for (int k = 0; k < c->n_cigar; ++k) {
        const uint32_t op = bam_cigar_op(cigar_get(cigar, k));
        const int l = static_cast<int>(bam_cigar_oplen(cigar_get(cigar, k)));
        if (is_aligned_op(op)) {
            const int n = static_cast<int>(std::clamp<int64_t>(ref_len - x, 0, l));
            for (int j = 0; j < n; ++j) {
                if (!is_match(rec_seqi(seq, y + j), ref_code(ref, x + j))) continue;
                set_seq_base(seq, y + j, nt16_n);
                qual[y + j] = 0;
            }
            if (n < l) break;
            x += l;
            y += l;
        } else if (op == BAM_CINS || op == BAM_CSOFT_CLIP) {
            y += l;
        } else if (op == BAM_CDEL) {
            if (ref_len - x < l) break;
            x += l;
        } else if (op == BAM_CREF_SKIP) {
            x += l;
        }
    }
}

int update_nm(bam1_t* b, int nm) {
    uint8_t* old = bam_aux_get(b, "NM");
    if (old) {
        const int32_t old_nm = bam_aux2i(old);
        if (old_nm == nm) return 0;
        std::fprintf(stderr, "[bam_fillmd1] different NM for read '%s': %d -> %d\n", rec_qname(b), old_nm, nm);
        bam_aux_del(b, old);
    }
    const int32_t v = nm;
    return bam_aux_append(b, "NM", 'i', 4, reinterpret_cast<const uint8_t*>(&v));
}

int update_md(bam1_t* b, const kstring_t* md) {
    uint8_t* old = bam_aux_get(b, "MD");
    if (old) {
        const char* old_md = aux_string(b, old);
        if (old_md && strcasecmp(old_md, md->s) == 0) return 0;
        std::fprintf(stderr, "[bam_fillmd1] different MD for read '%s': '%s' -> '%s'\n", rec_qname(b), old_md ? old_md : "",
                     md->s);
        bam_aux_del(b, old);
    }
    return bam_aux_append(b, "MD", 'Z', static_cast<int>(md->l + 1), reinterpret_cast<const uint8_t*>(md->s));
}

void bin_qualities(bam1_t* b) {
    uint8_t* qual = rec_qual(b);
    for (int i = 0; i < b->core.l_qseq; ++i)
        if (qual[i] > 2) qual[i] = static_cast<uint8_t>(qual[i] / 10 * 10 + 7);
}

// ---------------------------------------------------------------------------
// BAQ

constexpr int baq_offset_zero = 64;  // offset byte meaning "no change"

// True when every quality can carry an offset: present (not 0xff) and at
// most bam_baq_max_qual.
bool has_representable_quals(const bam1_t* b) {
    const uint8_t* qual = rec_qual(b);
    for (int i = 0; i < b->core.l_qseq; ++i)
        if (qual[i] > bam_baq_max_qual) return false;
    return true;
}

// True when the field at `s` is a Z string of one offset byte (64 or more)
// per base, ending inside the record.
bool is_offset_string(const bam1_t* b, const uint8_t* s) {
    const int64_t n = b->core.l_qseq;
    if (*s != 'Z' || b->data + b->data_len - (s + 1) < n + 1 || s[1 + n] != 0) return false;
    return std::all_of(s + 1, s + 1 + n, [](uint8_t o) { return o >= baq_offset_zero; });
}

// Applies an existing BQ to the qualities (it becomes ZQ), or takes an
// existing ZQ back out of them (it becomes BQ).  A ZQ whose restored
// qualities could not carry offsets leaves the record unchanged.
int convert_baq_tag(bam1_t* b, uint8_t* s, bool is_bq) {
    uint8_t* qual = rec_qual(b);
    const uint8_t* off = s + 1;
    const int n = b->core.l_qseq;
    if (is_bq) {
        for (int i = 0; i < n; ++i) qual[i] = static_cast<uint8_t>(std::max(0, qual[i] + baq_offset_zero - off[i]));
    } else {
        for (int i = 0; i < n; ++i)
            if (qual[i] + off[i] - baq_offset_zero > bam_baq_max_qual) return BAM_BAQ_SKIPPED;
        for (int i = 0; i < n; ++i) qual[i] = static_cast<uint8_t>(qual[i] + off[i] - baq_offset_zero);
    }
    s[-2] = is_bq ? 'Z' : 'B';
    return 0;
}

// Reference and query extent of the aligned (M/=/X) bases.
struct aligned_span_t {
    int64_t xb = -1, xe = -1;  // reference: first aligned base, one past the last
    int64_t yb = -1, ye = -1;  // query, likewise
    int64_t qlen = 0;          // query bases the CIGAR reads
    bool has_skip = false;     // an N operation
};

aligned_span_t find_aligned_span(const bam1_t* b) {
    aligned_span_t a;
    const uint8_t* cigar = rec_cigar(b);
    int64_t x = b->core.pos, y = 0;
    for (int k = 0; k < b->core.n_cigar; ++k) {
        const uint32_t op = bam_cigar_op(cigar_get(cigar, k));
        const int64_t l = bam_cigar_oplen(cigar_get(cigar, k));
        if (is_aligned_op(op)) {
            if (a.yb < 0) a.xb = x, a.yb = y;
            x += l;
            y += l;
            a.xe = x;
            a.ye = y;
        } else if (op == BAM_CINS || op == BAM_CSOFT_CLIP) {
            y += l;
        } else if (op == BAM_CDEL) {
            x += l;
        } else if (op == BAM_CREF_SKIP) {
            a.has_skip = true;
            return a;
        }
    }
    a.qlen = y;
    return a;
}

// The reference window and band of the realignment.
struct baq_window_t {
    int64_t beg, end;  // reference half-open interval
    int64_t band;
};

baq_window_t baq_window(const aligned_span_t& a, int64_t l_qseq) {
    const int64_t w = std::llabs((a.xe - a.xb) - (a.ye - a.yb));
    const int64_t band = w < 8 ? 7 : w + 3;
    const int64_t pad = w < 8 ? 3 : band / 2;
    baq_window_t win{std::max<int64_t>(0, a.xb - a.yb - pad), a.xe + pad + (l_qseq - a.ye), band};
    if (win.end - win.beg > l_qseq + band) {
        win.beg += (win.end - win.beg - l_qseq - band) / 2;
        win.end -= (win.end - win.beg - l_qseq - band) / 2;
    }
    return win;
}

// Appends the offsets as BQ, or as ZQ after lowering the qualities by them.
int store_offsets(bam1_t* b, std::vector<uint8_t>& offsets, bool apply) {
    const int n = b->core.l_qseq;
    offsets[n] = 0;
    if (bam_aux_append(b, apply ? "ZQ" : "BQ", 'Z', n + 1, offsets.data()) < 0) return BAM_BAQ_SKIPPED;
    if (apply) {
        uint8_t* qual = rec_qual(b);
        for (int i = 0; i < n; ++i) qual[i] = static_cast<uint8_t>(qual[i] - (offsets[i] - baq_offset_zero));
    }
    return 0;
}

// The one line for a read the model cannot take: too large, or refused.
void warn_no_baq(const bam1_t* b, bool is_too_large) {
    if (is_too_large)
        std::fprintf(
            stderr,
            "[bam_prob_realn_core] read '%s' needs more than %lld cells of realignment; no BAQ for it. Continue anyway.\n",
            rec_qname(b), static_cast<long long>(kpa_max_cells));
    else
        std::fprintf(stderr, "[bam_prob_realn_core] no realignment for read '%s'; no BAQ for it. Continue anyway.\n",
                     rec_qname(b));
}

// BAQ values of the bases of the aligned operations from the model's
// placements: normal mode min(quality, model quality) where the base stays at
// its reference position, else 0; extended mode the model quality there, then
// per operation the smaller of the running maxima from its two ends.
void baq_values(const bam1_t* b, int64_t win_beg, bool extended, record_scratch_t& s) {
    const uint8_t* cigar = rec_cigar(b);
    const uint8_t* qual = rec_qual(b);
    int64_t x = b->core.pos;
    int y = 0;
    for (int k = 0; k < b->core.n_cigar; ++k) {
        const uint32_t op = bam_cigar_op(cigar_get(cigar, k));
        const int l = static_cast<int>(bam_cigar_oplen(cigar_get(cigar, k)));
        if (is_aligned_op(op)) {
            for (int i = y; i < y + l; ++i) {
                const int st = s.state[i];
                const bool is_placed = (st & 3) == 0 && (st >> 2) == x + (i - y) - win_beg;
                if (!extended) s.baq[i] = is_placed ? std::min(qual[i], s.hmm_q[i]) : 0;
                else s.baq[i] = is_placed ? s.hmm_q[i] : 0;
            }
            if (extended) {
                uint8_t left = 0, right = 0;
                for (int i = y; i < y + l; ++i) s.run_max[i] = left = std::max(left, s.baq[i]);
                for (int i = y + l - 1; i >= y; --i) {
                    right = std::max(right, s.baq[i]);
                    s.baq[i] = std::min(s.run_max[i], right);
                }
            }
            x += l;
            y += l;
        } else if (op == BAM_CINS || op == BAM_CSOFT_CLIP) {
            y += l;
        } else if (op == BAM_CDEL) {
            x += l;
        }
    }
}

}  // namespace

int bam_fillmd1_core(bam1_t* b, const char* ref, int64_t ref_len, int flag, int max_nm) {
    const bool is_unmapped = b->core.flag & BAM_FUNMAP;
    if (has_bases_for_cigar(b)) {
        kstring_t* md = scratch().md.get();
        const int nm = walk_md(b, ref, ref_len, flag & BAM_MD_EQUAL, md);
        if (max_nm > 0 && nm >= max_nm) mask_matches(b, ref, ref_len);
        if (flag & BAM_MD_UPDATE_NM) {
            if (is_unmapped) return 0;
            if (update_nm(b, nm) < 0) return -1;
        }
        if (flag & BAM_MD_UPDATE_MD) {
            if (is_unmapped) return 0;
            if (!md->s || update_md(b, md) < 0) return -1;
        }
    } else if ((flag & (BAM_MD_UPDATE_NM | BAM_MD_UPDATE_MD)) && is_unmapped) {
        return 0;
    }
    if (flag & BAM_MD_DROP_AUX) bam_aux_drop_other(b, bam_aux_get(b, "RG"));
    if (flag & BAM_MD_BIN_QUAL) bin_qualities(b);
    return 0;
}

int bam_cap_mapQ(const bam1_t* b, const char* ref, int64_t ref_len, int thres) {
    constexpr int default_thres = 40, low_qual = 12, mismatch_qual_cap = 33, hard_clip_qual = 13;
    if (thres < 0) thres = default_thres;
    const bam1_core_t* c = &b->core;
    const uint8_t* cigar = rec_cigar(b);
    const uint8_t* seq = rec_seq(b);
    const uint8_t* qual = rec_qual(b);
    int64_t x = c->pos, y = 0, len = 0, mm_q = 0, clip_q = 0;
    int n_mm = 0;
    for (int k = 0; k < c->n_cigar; ++k) {
        const uint32_t op = bam_cigar_op(cigar_get(cigar, k));
        const int l = static_cast<int>(bam_cigar_oplen(cigar_get(cigar, k)));
        if (is_aligned_op(op)) {
            // The walk ends where the reference or the stored bases end.
            const int n = static_cast<int>(std::min<int64_t>(std::clamp<int64_t>(ref_len - x, 0, l), c->l_qseq - y));
            for (int j = 0; j < n; ++j) {
                const int r = ref_code(ref, x + j), q = qual[y + j];
                const int s = rec_seqi(seq, static_cast<int>(y + j));
                if (r == nt16_n || s == nt16_n || q <= low_qual) continue;
                ++len;
                if (s != nt16_eq && s != r) {
                    ++n_mm;
                    mm_q += std::min(q, mismatch_qual_cap);
                }
            }
            if (n < l) break;
            len += l;
            x += l;
            y += l;
        } else if (op == BAM_CINS) {
            y += l;
        } else if (op == BAM_CDEL) {
            if (ref_len - x < l) break;
            x += l;
        } else if (op == BAM_CSOFT_CLIP) {
            const int n = static_cast<int>(std::min<int64_t>(l, c->l_qseq - y));
            for (int j = 0; j < n; ++j) clip_q += qual[y + j];
            y += l;
        } else if (op == BAM_CHARD_CLIP) {
            clip_q += int64_t{hard_clip_qual} * l;
        } else if (op == BAM_CREF_SKIP) {
            x += l;
        }
    }
    double t = 1.0;
    for (int i = 1; i <= n_mm; ++i) t *= static_cast<double>(len) / i;  // len^n_mm / n_mm!
    const double score = -4.343 * std::log(t) + mm_q + clip_q / 5.;
    if (score > thres) return -1;
    return phred_round(thres * std::sqrt((thres - std::max(0.0, score)) / thres));
}

int bam_prob_realn_core(bam1_t* b, const char* ref, int64_t ref_len, int flag) {
    const bam1_core_t* c = &b->core;
    const int n = c->l_qseq;
    if ((c->flag & BAM_FUNMAP) || n == 0) return BAM_BAQ_SKIPPED;
    if (!has_representable_quals(b)) return BAM_BAQ_SKIPPED;
    const bool apply = flag & BAM_BAQ_APPLY, extended = flag & BAM_BAQ_EXTENDED;

    // Existing tags: BQ wins over ZQ; a malformed one stops here.
    uint8_t* bq = bam_aux_get(b, "BQ");
    uint8_t* zq = bam_aux_get(b, "ZQ");
    if (bq && zq) {
        if (!is_offset_string(b, bq)) return BAM_BAQ_SKIPPED;
        bam_aux_del(b, zq);
        zq = nullptr;
        bq = bam_aux_get(b, "BQ");
    }
    if (bq || zq) {
        if (!is_offset_string(b, bq ? bq : zq)) return BAM_BAQ_SKIPPED;
        if (bq ? !apply : apply) return BAM_BAQ_DONE;
        return convert_baq_tag(b, bq ? bq : zq, bq != nullptr);
    }

    const aligned_span_t span = find_aligned_span(b);
    if (span.has_skip || span.qlen > n) return BAM_BAQ_SKIPPED;
    record_scratch_t& s = scratch();
    s.offsets.assign(static_cast<size_t>(n) + 1, baq_offset_zero);
    if (span.yb < 0) return store_offsets(b, s.offsets, apply);  // nothing aligned: nothing changes

    baq_window_t win = baq_window(span, n);
    win.end = std::min(win.end, ref_len);
    if (win.end <= win.beg) return BAM_BAQ_SKIPPED;
    if (win.band > INT_MAX || win.end - win.beg > INT_MAX) {
        warn_no_baq(b, true);
        return BAM_BAQ_SKIPPED;
    }
    const int l_ref = static_cast<int>(win.end - win.beg);
    kpa_par_t par = kpa_par_def;
    par.bw = static_cast<int>(win.band);
    if (kpa_cells(l_ref, n, &par) > kpa_max_cells) {
        warn_no_baq(b, true);
        return BAM_BAQ_SKIPPED;
    }

    const uint8_t* seq = rec_seq(b);
    s.read2.resize(n);
    for (int i = 0; i < n; ++i) s.read2[i] = static_cast<uint8_t>(bam_nt16_nt4_table[rec_seqi(seq, i)]);
    s.ref2.resize(l_ref);
    for (int i = 0; i < l_ref; ++i) s.ref2[i] = static_cast<uint8_t>(bam_nt16_nt4_table[ref_code(ref, win.beg + i)]);
    s.state.assign(n, INT_MIN);  // INT_MIN left in place: the model refused the call
    s.hmm_q.resize(n);
    const int r = kpa_glocal(s.ref2.data(), l_ref, s.read2.data(), n, rec_qual(b), &par, s.state.data(), s.hmm_q.data());
    if (r == kpa_no_result && s.state[0] == INT_MIN) {
        warn_no_baq(b, false);
        return BAM_BAQ_SKIPPED;
    }

    const uint8_t* qual = rec_qual(b);
    s.baq.assign(qual, qual + n);  // bases outside the aligned operations keep their quality
    s.run_max.resize(n);
    baq_values(b, win.beg, extended, s);
    // Normal BAQ never exceeds the quality; an extended value above it means no change.
    for (int i = 0; i < n; ++i)
        s.offsets[i] = static_cast<uint8_t>(baq_offset_zero + (s.baq[i] < qual[i] ? qual[i] - s.baq[i] : 0));
    return store_offsets(b, s.offsets, apply);
}
