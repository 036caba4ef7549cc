#include "tools/phase.h"

#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>

#include "bam/bam_aux.h"
#include "bam/bam_codec.h"
#include "call/errmod.h"
#include "containers/kseq.h"
#include "containers/ksort.h"
#include "io/text_out.h"
#include "pileup/bam_pileup.h"

namespace {

constexpr float phase_depcorr = 0.17f;
constexpr int max_lod = 0x3fff;      // the LOD field is 14 bits wide
constexpr int flip_thres = 3;        // a chimera's best split must beat each side by more than this
constexpr int mask_thres = 2;        // a filtered stretch scores more than this
constexpr int out_of_memory = -100;  // read status of a record that could not be buffered
constexpr uint16_t skip_flags = BAM_FUNMAP | BAM_FSECONDARY | BAM_FQCFAIL | BAM_FDUP;

using pos_set_t = khash_t<uint64_t, kh_no_value, kh_int64_traits>;

// Site entries: 0-based position in the upper 32 bits, the site value below.
inline int site_pos(uint64_t site) { return static_cast<int>(site >> 32); }
inline int first_base(uint64_t site) { return static_cast<int>(site & 3); }
inline int second_base(uint64_t site) { return static_cast<int>(site >> 16 & 3); }
// The letter of an allele field, "X" when its score is 0.
inline char field_letter(uint32_t field) { return (field & 0xffff) >> 2 ? "ACGT"[field & 3] : 'X'; }

// Phred rounding: add .499 and truncate.
int phred_round(double x) { return static_cast<int>(x + .499); }

// Count field `which` of a per-site count, held at its maximum rather than
// carried into the next field.
inline void add_count(uint64_t* c, int which) {
    const int shift = which << 4;
    if ((*c >> shift & 0xffff) != 0xffff) *c += uint64_t{1} << shift;
}

// Adds the window of `k` sites ending at the fragment's site `j` to `cnt`:
// when its last entry is known and at least two are, one count for every
// pattern the unknown entries can complete it to (first entry in the most
// significant bit, a known entry contributing allele - 1).
void count_window(int k, const frag_t& f, int j, int* cnt) {
    if (f.seq[j] == 0) return;
    uint32_t known = 0, unknown = 0;
    int n_unknown = 0;
    for (int i = 0; i < k; ++i) {
        const int at = j - (k - 1) + i;
        const int a = at >= 0 ? f.seq[at] : 0;
        const uint32_t bit = 1U << (k - 1 - i);
        if (a == 0) {
            unknown |= bit;
            ++n_unknown;
        } else if (a == 2) {
            known |= bit;
        }
    }
    if (k - n_unknown <= 1) return;
    // Every subset of the unknown bits, once each.
    for (uint32_t s = 0;; s = (s - unknown) & unknown) {
        ++cnt[known | s];
        if (s == unknown) break;
    }
}

}  // namespace

uint64_t phase_name_hash(const char* s) {
    uint64_t h = static_cast<uint64_t>(*s);
    if (h)
        for (++s; *s; ++s) h = (h << 5) - h + static_cast<uint64_t>(*s);
    return h;
}

uint32_t phase_gl2cns(const float* q) {
    float min = 1e30f, min2 = 1e30f;
    int min_ij = -1;
    for (int i = 0; i < 4; ++i)
        for (int j = i; j < 4; ++j) {
            const float v = q[i << 2 | j];
            if (v < min) {
                min_ij = i << 2 | j;
                min2 = min;
                min = v;
            } else if (v < min2) {
                min2 = v;
            }
        }
    const int i = min_ij >> 2 & 3, j = min_ij & 3;
    if (i == j) return 0;
    const int lod = std::min(phred_round(min2 - min), max_lod);
    return 1U << 18 | static_cast<uint32_t>(i) << 16 | static_cast<uint32_t>(j) | static_cast<uint32_t>(lod) << 2;
}

std::vector<int8_t> phase_dynaprog(int k, int vpos, phase_frag_table_t* frags) {
    const uint32_t n_states = 1U << (k - 1), mask = (1U << k) - 1;
    // The windows ending at each site: (site, fragment, index in the fragment).
    struct window_t {
        const frag_t* f;
        int j;
    };
    std::vector<int> first(static_cast<size_t>(vpos) + 1, 0);
    for (khint_t it = frags->begin(); it != frags->end(); ++it) {
        if (!frags->exist(it)) continue;
        const frag_t& f = frags->value(it);
        if (f.vpos >= vpos || f.single) continue;
        for (int j = 1; j < f.vlen; ++j) ++first[static_cast<size_t>(f.vpos + j) + 1];
    }
    for (int i = 0; i < vpos; ++i) first[static_cast<size_t>(i) + 1] += first[static_cast<size_t>(i)];
    std::vector<window_t> windows(static_cast<size_t>(first[static_cast<size_t>(vpos)]));
    {
        std::vector<int> fill(first.begin(), first.end() - 1);
        for (khint_t it = frags->begin(); it != frags->end(); ++it) {
            if (!frags->exist(it)) continue;
            const frag_t& f = frags->value(it);
            if (f.vpos >= vpos || f.single) continue;
            for (int j = 1; j < f.vlen; ++j) windows[static_cast<size_t>(fill[static_cast<size_t>(f.vpos + j)]++)] = {&f, j};
        }
    }

    // State x (top bit 0) stands for the haplotype pair {x, ~x} over the last
    // k sites; its predecessors are x >> 1 and ~x >> 1 (back pointer 0 or 1).
    const size_t words = std::max<size_t>(1, n_states / 64);
    std::vector<uint64_t> back(words * static_cast<size_t>(vpos), 0);
    std::vector<int64_t> prev(n_states, 0), curr(n_states, 0);
    std::vector<int> w(size_t{1} << k);
    for (int i = 0; i < vpos; ++i) {
        std::fill(w.begin(), w.end(), 0);
        for (int e = first[static_cast<size_t>(i)]; e < first[static_cast<size_t>(i) + 1]; ++e)
            count_window(k, *windows[static_cast<size_t>(e)].f, windows[static_cast<size_t>(e)].j, w.data());
        uint64_t* bi = back.data() + words * static_cast<size_t>(i);
        for (uint32_t x = 0; x < n_states; ++x) {
            const uint32_t xc = ~x & mask;
            const int64_t here = static_cast<int64_t>(w[x]) + w[xc];
            const int64_t y0 = here + prev[x >> 1], y1 = here + prev[xc >> 1];
            if (y0 > y1) {
                curr[x] = y0;
            } else {
                curr[x] = y1;
                bi[x >> 6] |= uint64_t{1} << (x & 63);
            }
        }
        prev.swap(curr);
    }
    // Backtrack from the first state of the highest score (state 0 when none is positive).
    uint32_t x = 0;
    int64_t max = 0;
    for (uint32_t y = 0; y < n_states; ++y)
        if (prev[y] > max) max = prev[y], x = y;
    std::vector<int8_t> path(static_cast<size_t>(vpos));
    int which = 0;
    for (int i = vpos - 1; i >= 0; --i) {
        path[static_cast<size_t>(i)] = static_cast<int8_t>((x & 1) ^ static_cast<uint32_t>(which));
        if (back[words * static_cast<size_t>(i) + (x >> 6)] >> (x & 63) & 1) {
            which ^= 1;
            x = ~x & mask;
        }
        x >>= 1;
    }
    return path;
}

std::vector<uint64_t> phase_fragphase(int vpos, const int8_t* path, phase_frag_table_t* frags, bool repair) {
    std::vector<uint64_t> pcnt(static_cast<size_t>(vpos), 0);
    for (khint_t it = frags->begin(); it != frags->end(); ++it) {
        if (!frags->exist(it)) continue;
        frag_t& f = frags->value(it);
        if (f.vpos >= vpos) continue;
        const int8_t* p = path + f.vpos;
        int c[2] = {0, 0};
        for (int i = 0; i < f.vlen; ++i)
            if (f.seq[i]) ++c[f.seq[i] == p[i] + 1 ? 0 : 1];
        f.phase = c[0] > c[1] ? 0 : 1;
        f.in = static_cast<uint16_t>(c[f.phase]);
        f.out = static_cast<uint16_t>(c[1 - f.phase]);
        f.phased = f.in != f.out;
        f.ambig = f.in > 0 && f.out > 0 && f.out <= 2 && f.in <= f.out + 1;
        f.flip = 0;
        // An allele in haplotype space: 0 when it sits on haplotype 0 of the fragment's phase.
        auto hap = [&](int a) { return f.phase ? 2 - a : a - 1; };
        if (repair && c[0] > 2 && c[1] > 2) {
            // Same and different counts of the left part 0..i and the right part i..end.
            int left[2][phase_max_vlen + 1] = {}, right[2][phase_max_vlen + 2] = {};
            for (int i = 0, s = 0, d = 0; i < f.vlen; ++i) {
                if (f.seq[i]) ++(hap(f.seq[i]) == p[i] ? s : d);
                left[0][i] = s, left[1][i] = d;
            }
            for (int i = f.vlen - 1, s = 0, d = 0; i >= 0; --i) {
                if (f.seq[i]) ++(hap(f.seq[i]) == p[i] ? s : d);
                right[0][i] = s, right[1][i] = d;
            }
            int m = 0, mi = -1, md = -1;
            for (int i = 0; i < f.vlen - 1; ++i) {
                const int sL = left[0][i], dL = left[1][i], sR = right[0][i + 1], dR = right[1][i + 1];
                const int a0 = sL + dR - 2 * sR, a1 = dL + sR - 2 * dR;
                if (a0 > a1) {
                    if (a0 > m) m = a0, md = 0, mi = i;
                } else if (a1 > m) {
                    m = a1, md = 1, mi = i;
                }
            }
            if (m - c[0] > flip_thres && m - c[1] > flip_thres) {
                f.flip = 1;
                const int from = md == 0 ? mi + 1 : 0, to = md == 0 ? f.vlen : mi + 1;
                for (int i = from; i < to; ++i)
                    if (f.seq[i]) f.seq[i] = static_cast<int8_t>(3 - f.seq[i]);
            }
        }
        if (f.single) continue;
        for (int i = 0; i < f.vlen; ++i) {
            if (f.seq[i] == 0) continue;
            add_count(&pcnt[static_cast<size_t>(f.vpos + i)], f.phase << 1 | (hap(f.seq[i]) == p[i] ? 0 : 1));
        }
    }
    return pcnt;
}

std::vector<std::pair<int, int>> phase_genmask(int vpos, const uint64_t* pcnt) {
    std::vector<std::pair<int, int>> regions;
    int score = 0, max = 0, max_i = -1, beg = 0;
    for (int i = 0; i < vpos; ++i) {
        const uint64_t x = pcnt[i];
        const int c0 = static_cast<int>(x & 0xffff), c1 = static_cast<int>(x >> 16 & 0xffff);
        const int c2 = static_cast<int>(x >> 32 & 0xffff), c3 = static_cast<int>(x >> 48 & 0xffff);
        int s = c1 + c3 > 0 ? c1 + c3 - 1 : -(c0 + c2);
        if (c3 > c2) s += c3 - c2;
        if (c1 > c0) s += c1 - c0;
        const int pre = score;
        score = std::max(score + s, 0);
        if (pre == 0 && score > 0) beg = i;
        if ((score == 0 || i == vpos - 1) && max > mask_thres) {
            regions.emplace_back(beg, max_i);
            i = max_i;  // go on after the region
            score = 0;
        } else if (score > max) {
            max = score;
            max_i = i;
        }
        if (score == 0) max = 0;
    }
    return regions;
}

namespace {

struct plp_deleter {
    void operator()(bam_plp_s* p) const { bam_plp_destroy(p); }
};
struct errmod_deleter {
    void operator()(errmod_t* em) const { errmod_destroy(em); }
};

// One BAM output of -b.
struct phase_out_t {
    std::string name;
    BGZF* fp = nullptr;
    bool is_failed = false;
};

// The run state.
struct phaseg_t {
    phase_opts_t o;
    BGZF* fp = nullptr;
    int32_t n_targets = 0;
    long long n_read = 0;
    int status = 0;  // the read status that ended the input
    int vpos_shift = 0;
    text_out_t* text = nullptr;
    const errmod_t* em = nullptr;
    phase_out_t out[3];  // haplotype 0, haplotype 1, chimeras
    bool has_out = false;
    std::deque<bam1_t*> buf;     // reads waiting to be written, in input order
    std::vector<bam1_t*> spare;  // written reads, kept for reuse
    phase_frag_table_t frags;
    pos_set_t listed;
    std::vector<uint64_t> cns;  // the sites of the current block
    std::vector<uint16_t> bases;
    std::vector<const frag_t*> ev;

    ~phaseg_t() {
        for (bam1_t* b : buf) bam_destroy1(b);
        for (bam1_t* b : spare) bam_destroy1(b);
    }
};

// Reader of the pileup; with -b, a copy of every usable record joins the buffer.
int readaln(void* data, bam1_t* b) {
    auto* g = static_cast<phaseg_t*>(data);
    const int ret = bam_read1_bounded(g->fp, b, g->n_targets);
    if (ret < 0) {
        g->status = ret;
        return ret;
    }
    ++g->n_read;
    if (g->has_out && !(b->core.flag & skip_flags)) {
        bam1_t* copy = nullptr;
        if (!g->spare.empty()) {
            copy = g->spare.back();
            g->spare.pop_back();
        } else {
            copy = bam_init1();
        }
        if (!copy || !bam_copy1(copy, b)) {
            if (copy) bam_destroy1(copy);
            std::fprintf(stderr, "[main_phase] fail to allocate memory.\n");
            g->status = out_of_memory;
            return out_of_memory;
        }
        g->buf.push_back(copy);
    }
    return ret;
}

void write_read(phaseg_t* g, int which, const bam1_t* b) {
    phase_out_t& o = g->out[which];
    if (!o.is_failed && bam_write1(o.fp, b) < 0) o.is_failed = true;
}

// Writes the buffered reads that end at or before `min_pos`, each to the
// file its fragment's phase chooses.
void dump_aln(phaseg_t* g, int min_pos) {
    const bool is_flip = errmod_drand48() < 0.5;
    while (!g->buf.empty()) {
        bam1_t* b = g->buf.front();
        if (static_cast<int64_t>(bam_calend(&b->core, rec_cigar(b))) > min_pos) break;
        const khint_t k = g->frags.get(phase_name_hash(rec_qname(b)));
        int which = 3;  // a random haplotype file
        if (k != g->frags.end()) {
            const frag_t& f = g->frags.value(k);
            if (f.ambig) {
                which = g->o.ambig_to_chimera ? 2 : 3;
            } else if (f.phased && f.flip) {
                which = 2;
            } else if (f.phased) {
                const uint8_t y = 'Y';
                bam_aux_append(b, "ZP", 'A', 1, &y);
                which = f.phase ^ (is_flip ? 1 : 0);
            }
        }
        if (which == 3) which = errmod_drand48() < 0.5 ? 1 : 0;
        write_read(g, which, b);
        g->buf.pop_front();
        g->spare.push_back(b);
    }
}

// Drops the fragments that start before site `vpos` and renumbers the rest from it.
void update_vpos(phaseg_t* g, int vpos) {
    for (khint_t k = g->frags.begin(); k != g->frags.end(); ++k) {
        if (!g->frags.exist(k)) continue;
        frag_t& f = g->frags.value(k);
        if (f.vpos < vpos) g->frags.del(k);
        else f.vpos -= vpos;
    }
}

// Trims the unknown ends of the block's fragments, deleting those without
// any known allele.  True when fragments of the next block exist.
bool clean_seqs(phaseg_t* g, int vpos) {
    bool has_next = false;
    for (khint_t k = g->frags.begin(); k != g->frags.end(); ++k) {
        if (!g->frags.exist(k)) continue;
        frag_t& f = g->frags.value(k);
        if (f.vpos >= vpos) {
            has_next = true;
            continue;
        }
        int beg = 0, end = f.vlen;
        while (beg < f.vlen && f.seq[beg] == 0) ++beg;
        while (end > beg && f.seq[end - 1] == 0) --end;
        if (end <= beg) {
            g->frags.del(k);
            continue;
        }
        if (beg) std::memmove(f.seq, f.seq + beg, static_cast<size_t>(end - beg));
        f.vpos += beg;
        f.vlen = static_cast<uint16_t>(end - beg);
        f.single = f.vlen == 1;
    }
    return has_next;
}

void print_ev_lines(phaseg_t* g, const char* chr, int vpos) {
    g->ev.clear();
    for (khint_t k = g->frags.begin(); k != g->frags.end(); ++k) {
        if (!g->frags.exist(k)) continue;
        const frag_t& f = g->frags.value(k);
        if (f.vpos < vpos && !f.single) g->ev.push_back(&f);
    }
    ks_introsort(g->ev.size(), g->ev.data(), [](const frag_t* a, const frag_t* b) { return a->vpos < b->vpos; });
    std::string alleles;
    for (const frag_t* f : g->ev) {
        alleles.clear();
        for (int i = 0; i < f->vlen; ++i) {
            const uint64_t site = g->cns[static_cast<size_t>(f->vpos + i)];
            alleles.push_back(f->seq[i] == 0 ? 'N' : "ACGT"[f->seq[i] == 1 ? first_base(site) : second_base(site)]);
        }
        text_out_printf(g->text, "EV\t0\t%s\t%d\t40\t%dM\t*\t0\t0\t%s\t*\tYP:i:%d\tYF:i:%d\tYI:i:%d\tYO:i:%d\tYS:i:%d\n", chr,
                        g->vpos_shift + f->vpos + 1, f->vlen, alleles.c_str(), f->phase, f->flip, f->in, f->out, f->beg + 1);
    }
}

// Reports the block of the first `vpos` sites and writes out the reads that
// end before the next block.
void phase_block(phaseg_t* g, const char* chr, int vpos) {
    if (vpos == 0) return;
    const bool has_next = clean_seqs(g, vpos);
    const int min_pos = has_next ? site_pos(g->cns[static_cast<size_t>(vpos)]) : INT_MAX;
    const uint64_t* cns = g->cns.data();
    if (vpos == 1) {
        const int pos = site_pos(cns[0]) + 1;
        text_out_printf(g->text, "PS\t%s\t%d\t%d\n", chr, pos, pos);
        text_out_printf(g->text, "M0\t%s\t%d\t%d\t%c\t%c\t%d\t0\t0\t0\t0\n//\n", chr, pos, pos, "ACGT"[first_base(cns[0])],
                        "ACGT"[second_base(cns[0])], g -> vpos_shift + 1);
        for (khint_t k = g->frags.begin(); k != g->frags.end(); ++k) {
            if (!g->frags.exist(k)) continue;
            frag_t& f = g->frags.value(k);
            if (f.vpos) continue;
            f.flip = 0;
            if (f.seq[0] == 0) {
                f.phased = 0;
            } else {
                f.phased = 1;
                f.phase = f.seq[0] - 1;
            }
        }
        text_out_flush(g->text);
        dump_aln(g, min_pos);
        ++g->vpos_shift;
        return;
    }
    text_out_printf(g->text, "PS\t%s\t%d\t%d\n", chr, site_pos(cns[0]) + 1, site_pos(cns[vpos - 1]) + 1);
    const std::vector<int8_t> path = phase_dynaprog(g->o.k, vpos, &g->frags);
    std::vector<uint64_t> pcnt = phase_fragphase(vpos, path.data(), &g->frags, false);
    const std::vector<std::pair<int, int>> regions = phase_genmask(vpos, pcnt.data());
    std::vector<uint8_t> is_filtered(static_cast<size_t>(vpos), 0);
    for (auto [b, e] : regions)
        for (int i = b; i <= e; ++i) is_filtered[static_cast<size_t>(i)] = 1;
    if (g->o.fix_chimeras) pcnt = phase_fragphase(vpos, path.data(), &g->frags, true);
    for (auto [b, e] : regions) text_out_printf(g->text, "FL\t%s\t%d\t%d\n", chr, site_pos(cns[b]) + 1, site_pos(cns[e]) + 1);
    for (int i = 0; i < vpos; ++i) {
        const uint64_t x = pcnt[static_cast<size_t>(i)];
        const uint32_t field[2] = {static_cast<uint32_t>(cns[i] & 0xffff), static_cast<uint32_t>(cns[i] >> 16 & 0xffff)};
        const int p = path[static_cast<size_t>(i)];
        text_out_printf(g->text, "M%d\t%s\t%d\t%d\t%c\t%c\t%d\t%d\t%d\t%d\t%d\n", is_filtered[static_cast<size_t>(i)] + 1, chr,
                        site_pos(cns[0]) + 1, site_pos(cns[i]) + 1, field_letter(field[p]), field_letter(field[1 - p]),
                        g->vpos_shift + i + 1, static_cast<int>(x & 0xffff), static_cast<int>(x >> 16 & 0xffff),
                        static_cast<int>(x >> 32 & 0xffff), static_cast<int>(x >> 48 & 0xffff));
    }
    print_ev_lines(g, chr, vpos);
    text_out_puts(g->text, "//\n");
    text_out_flush(g->text);
    g->vpos_shift += vpos;
    dump_aln(g, min_pos);
}

// The bases of a column usable for calling, packed for the error model.
int collect_bases(phaseg_t* g, int n, const bam_pileup1_t* plp) {
    if (g->bases.size() < static_cast<size_t>(n)) g->bases.resize(static_cast<size_t>(n));
    int k = 0;
    for (int i = 0; i < n; ++i) {
        const bam_pileup1_t* p = plp + i;
        if (p->is_del || p->is_refskip) continue;
        const bam1_t* b = p->b;
        if (p->qpos >= b->core.l_qseq) continue;
        const int baseQ = rec_qual(b)[p->qpos];
        if (baseQ < g->o.min_baseQ) continue;
        const int base = bam_nt16_nt4_table[rec_seqi(rec_seq(b), p->qpos)];
        if (base > 3) continue;
        const int q = std::clamp(std::min<int>(baseQ, b->core.qual), errmod_min_qual, errmod_max_qual);
        g->bases[static_cast<size_t>(k++)] = errmod_pack_base(q, rec_is_reverse(b), base);
    }
    return k;
}

// The site value of the `k` collected bases.  Bases of one allele make the
// homozygote the only best genotype, so the error model is skipped for them,
// unless it would subsample the bases and draw from the random stream.
uint32_t column_site_value(phaseg_t* g, int k, float* q) {
    const uint16_t* b = g->bases.data();
    if (k <= errmod_max_depth) {
        int i = 1;
        while (i < k && (b[i] & 0xf) == (b[0] & 0xf)) ++i;
        if (i == k) return 0;
    }
    errmod_cal(g->em, k, 4, g->bases.data(), q);
    return phase_gl2cns(q);
}

// Records the allele of every read at site `vpos`; true when some read
// belongs to a fragment seen before, which links the site to the block.
bool add_site_alleles(phaseg_t* g, int vpos, int n, const bam_pileup1_t* plp) {
    const uint64_t site = g->cns[static_cast<size_t>(vpos)];
    bool is_linked = false;
    for (int i = 0; i < n; ++i) {
        const bam_pileup1_t* p = plp + i;
        if (p->is_del || p->is_refskip || p->b->core.qual == 0) continue;
        const bam1_t* b = p->b;
        const int base = p->qpos < b->core.l_qseq ? bam_nt16_nt4_table[rec_seqi(rec_seq(b), p->qpos)] : 4;
        const int8_t allele = base == first_base(site) ? 1 : base == second_base(site) ? 2 : 0;
        int ret;
        const khint_t k = g->frags.put(phase_name_hash(rec_qname(b)), &ret);
        frag_t& f = g->frags.value(k);
        const int end = static_cast<int>(bam_calend(&b->core, rec_cigar(b)));
        if (ret == 0) {
            is_linked = true;
            if (vpos - f.vpos < phase_max_vlen) {
                f.vlen = static_cast<uint16_t>(vpos - f.vpos + 1);
                f.seq[f.vlen - 1] = allele;
                f.end = end;
            }
        } else {
            std::memset(f.seq, 0, sizeof f.seq);
            f.beg = b->core.pos;
            f.end = end;
            f.vpos = vpos;
            f.vlen = 1;
            f.seq[0] = allele;
            f.single = f.flip = f.phased = f.ambig = 0;
            f.phase = 0;
            f.in = f.out = 0;
        }
    }
    return is_linked;
}

// Loads the position list: lines of a reference name and a 1-based
// position; other references and lines with only a name are skipped.
// False when the file cannot be opened or read.
bool load_positions(const char* fn, bam_header_t* h, pos_set_t* set) {
    gzFile gz;
    if (std::strcmp(fn, "-") == 0) {
        const int fd = dup(STDIN_FILENO);
        gz = fd < 0 ? nullptr : gzdopen(fd, "r");
        if (!gz && fd >= 0) close(fd);
    } else {
        gz = gzopen(fn, "r");
    }
    if (!gz) return false;
    kstream_t* ks = ks_init_gz(gz, 16384);
    if (!ks) {
        gzclose(gz);
        return false;
    }
    bam_init_header_hash(h);
    kstring_t str{};
    int dret = 0;
    while (ks_getuntil(ks, KS_SEP_SPACE, &str, &dret) >= 0) {
        const int tid = bam_get_tid(h, str.s);
        if (tid >= 0 && dret != '\n' && dret != 0) {
            if (ks_getuntil(ks, KS_SEP_SPACE, &str, &dret) < 0) break;
            const uint64_t key = static_cast<uint64_t>(tid) << 32 | static_cast<uint32_t>(std::atoi(str.s) - 1);
            int ret;
            set->put(key, &ret);
        }
        if (dret != '\n' && dret != 0) ks_getuntil(ks, '\n', &str, &dret);
    }
    const bool ok = !ks->is_err;
    std::free(str.s);
    ks_destroy(ks);
    gzclose(gz);
    return ok;
}

int open_outputs(phaseg_t* g, const bam_header_t* h) {
    static const char* const suffix[3] = {".0.bam", ".1.bam", ".chimera.bam"};
    for (int i = 0; i < 3; ++i) {
        phase_out_t& o = g->out[i];
        o.name = std::string(g->o.prefix) + suffix[i];
        o.fp = bgzf_open(o.name.c_str(), "w");
        if (!o.fp) {
            std::fprintf(stderr, "[main_phase] fail to open %s for writing.\n", o.name.c_str());
            return -1;
        }
        if (g->o.pool) bgzf_set_pool(o.fp, g->o.pool);
        if (bam_header_write(o.fp, h) < 0) o.is_failed = true;
    }
    g->has_out = true;
    return 0;
}

// Closes the outputs; false (after a message per file) when any write failed.
bool close_outputs(phaseg_t* g) {
    bool ok = true;
    for (phase_out_t& o : g->out) {
        if (!o.fp) continue;
        const int r = o.is_failed ? bgzf_abandon(o.fp) : bgzf_close(o.fp);
        o.fp = nullptr;
        if (o.is_failed || r < 0) {
            std::fprintf(stderr, "[main_phase] fail to write file %s.\n", o.name.c_str());
            ok = false;
        }
    }
    return ok;
}

void print_report_header(text_out_t* out) {
    static const char* const lines[] = {"CC",
                                        "CC\tDescriptions:\nCC",
                                        "CC\t  CC      comments",
                                        "CC\t  PS      start of a phase set",
                                        "CC\t  FL      filtered region",
                                        "CC\t  M[012]  markers; 0 for singletons, 1 for phased and 2 for filtered",
                                        "CC\t  EV      supporting reads; SAM format",
                                        "CC\t  //      end of a phase set\nCC",
                                        "CC\tFormats of PS, FL and M[012] lines (1-based coordinates):\nCC",
                                        "CC\t  PS  chr  phaseSetStart  phaseSetEnd",
                                        "CC\t  FL  chr  filterStart    filterEnd",
                                        "CC\t  M?  chr  PS  pos  allele0  allele1  hetIndex  #supports0  #errors0  #supp1  #err1",
                                        "CC\nCC"};
    for (const char* l : lines) {
        text_out_puts(out, l);
        text_out_putc(out, '\n');
    }
    text_out_flush(out);
}

// The pileup walk: sites, fragments and blocks of every reference.
void walk_columns(phaseg_t* g, bam_plp_t iter, const bam_header_t* h) {
    int tid, pos, n, last_tid = -1, vpos = 0;
    float q[16];
    while (const bam_pileup1_t* plp = bam_plp_auto(iter, &tid, &pos, &n)) {
        if (tid != last_tid) {
            if (last_tid >= 0) {
                phase_block(g, h->target_name[last_tid], vpos);
                update_vpos(g, INT_MAX);
            }
            g->vpos_shift = 0;
            vpos = 0;
            last_tid = tid;
        }
        if (text_out_has_failed(g->text)) break;
        const bool in_set =
            g->listed.size > 0 && g->listed.get(static_cast<uint64_t>(tid) << 32 | static_cast<uint32_t>(pos)) != g->listed.end();
        if (n > g->o.max_depth || n < 1) continue;
        const int k = collect_bases(g, n, plp);
        if (k == 0) continue;
        const uint32_t value = column_site_value(g, k, q);
        if (g->o.listed_only ? !in_set : !in_set && phase_site_lod(value) < g->o.min_varLOD) continue;
        if (g->cns.size() <= static_cast<size_t>(vpos)) g->cns.resize(std::max<size_t>(128, g->cns.size() * 2));
        g->cns[static_cast<size_t>(vpos)] = static_cast<uint64_t>(pos) << 32 | value;
        if (add_site_alleles(g, vpos, n, plp)) {
            ++vpos;
        } else {  // nothing links this site to the block: report the block, start the next one here
            phase_block(g, h->target_name[tid], vpos);
            update_vpos(g, vpos);
            g->cns[0] = g->cns[static_cast<size_t>(vpos)];
            vpos = 1;
        }
    }
    if (last_tid >= 0 && !text_out_has_failed(g->text)) {
        phase_block(g, h->target_name[last_tid], vpos);
        update_vpos(g, INT_MAX);
    }
}

}  // namespace

int phase_bam(const phase_opts_t& opts, const char* fn) {
    phaseg_t g;
    g.o = opts;
    if (!g.o.fn_list) g.o.listed_only = false;
    bgzf_ptr fp(std::strcmp(fn, "-") == 0 ? bgzf_fdopen(STDIN_FILENO, "r") : bgzf_open(fn, "r"));
    if (!fp) {
        std::fprintf(stderr, "[main_phase] fail to open file %s.\n", fn);
        return 1;
    }
    if (opts.pool) bgzf_set_pool(fp.get(), opts.pool);
    bam_header_ptr h(bam_header_read(fp.get()));
    if (!h) return 1;  // the reader has said why
    g.fp = fp.get();
    g.n_targets = h->n_targets;
    if (g.o.fn_list && !load_positions(g.o.fn_list, h.get(), &g.listed)) {
        std::fprintf(stderr, "[main_phase] fail to read the position list %s.\n", g.o.fn_list);
        return 1;
    }
    if (g.o.prefix && open_outputs(&g, h.get()) < 0) {
        close_outputs(&g);
        return 1;
    }
    std::unique_ptr<bam_plp_s, plp_deleter> iter(bam_plp_init(readaln, &g));
    std::unique_ptr<errmod_t, errmod_deleter> em(errmod_init(phase_depcorr));
    text_out_ptr text(text_out_open("-"));
    if (!iter || !em || !text) {
        std::fprintf(stderr, "[main_phase] fail to allocate memory.\n");
        close_outputs(&g);
        return 1;
    }
    g.em = em.get();
    g.text = text.get();
    print_report_header(g.text);
    walk_columns(&g, iter.get(), h.get());
    const bool is_unsorted = bam_plp_failed(iter.get());
    bam_plp_reset(iter.get());  // records still held after an early stop
    if (!g.buf.empty()) {
        // Reads no block has written (no site after them): at random to the haplotype files.
        update_vpos(&g, INT_MAX);
        dump_aln(&g, INT_MAX);
    }

    int status = 0;
    if (g.status < -1) {
        if (g.status != out_of_memory) bam_report_damage("main_phase", fn, g.n_read, fp.get());
        status = 1;
    } else if (is_unsorted) {
        status = 1;  // the pileup has said why
    }
    if (!close_outputs(&g)) status = 1;
    if (text_out_close(text.release()) < 0) {
        std::fprintf(stderr, "[main_phase] fail to write \"standard output\".\n");
        status = 1;
    }
    return status;
}
