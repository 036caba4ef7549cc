// BAQ, mapping-quality capping and MD/NM of one record; see bam_md.h.
#include "call/bam_md.h"

#include <strings.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "bam/bam_aux.h"
#include "containers/kstring.h"

namespace {

constexpr int nt16_n = 15;  // 4-bit code of N and of every unknown character
constexpr int nt16_eq = 0;  // 4-bit code of '='

// Phred rounding used throughout: add .499 and truncate.
int phred_round(double x) { return static_cast<int>(x + .499); }

// Buffers reused from record to record.
struct md_scratch_t {
    kstring_owner md;
};

md_scratch_t& scratch() {
    thread_local md_scratch_t s;
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

// True when the CIGAR reads no more bases than the record stores.
bool has_bases_for_cigar(const bam1_t* b) { return bam_cigar2qlen(&b->core, rec_cigar(b)) <= b->core.l_qseq; }

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
    if (thres < 0) thres = 40;
    const bam1_core_t* c = &b->core;
    const uint8_t* cigar = rec_cigar(b);
    const uint8_t* seq = rec_seq(b);
    const uint8_t* qual = rec_qual(b);
    int64_t x = c->pos, clip_q = 0;
    int y = 0, len = 0, n_mm = 0, mm_q = 0;
    for (int k = 0; k < c->n_cigar; ++k) {
        const uint32_t op = bam_cigar_op(cigar_get(cigar, k));
        const int l = static_cast<int>(bam_cigar_oplen(cigar_get(cigar, k)));
        if (is_aligned_op(op)) {
            // The walk ends where the reference or the stored bases end.
            const int n = static_cast<int>(std::min<int64_t>(std::clamp<int64_t>(ref_len - x, 0, l), c->l_qseq - y));
            for (int j = 0; j < n; ++j) {
                const int r = ref_code(ref, x + j), q = qual[y + j];
                const int s = rec_seqi(seq, y + j);
                if (r == nt16_n || s == nt16_n || q <= 12) continue;
                ++len;
                if (s != nt16_eq && s != r) {
                    ++n_mm;
                    mm_q += std::min(q, 33);
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
            const int n = std::min(l, c->l_qseq - y);
            for (int j = 0; j < n; ++j) clip_q += qual[y + j];
            y += l;
        } else if (op == BAM_CHARD_CLIP) {
            clip_q += int64_t{13} * l;
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
