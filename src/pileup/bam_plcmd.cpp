// mpileup's run: opening the inputs, the per-file reader with its filters,
// BAQ and capping, the column loop, the text line builder and the BCF
// driver.  See bam_plcmd.h for what is shared and why.
#include "pileup/bam_plcmd.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bam/bam_aux.h"
#include "bam/bam_codec.h"
#include "call/bam2bcf.h"
#include "call/bam2bcf_indel.h"
#include "call/bam_md.h"
#include "call/sample.h"
#include "index/bedidx.h"
#include "io/faidx.h"
#include "io/text_out.h"

namespace {

constexpr int qual_char_cap = 126;  // '~': text qualities are capped here
constexpr int head_mapq_cap = 93;   // a read start's mapping quality above this prints '~'
constexpr int qual_absent = 0xff;   // stored quality of a read without qualities
constexpr int default_total_depth = 8000;
constexpr int64_t depth_warn_total = int64_t{1} << 20;

inline char qual_char(int q) { return static_cast<char>(std::min(q + 33, qual_char_cap)); }

char* put_uint(char* p, uint32_t v) {
    char tmp[10];
    int n = 0;
    do {
        tmp[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v);
    while (n) *p++ = tmp[--n];
    return p;
}

// Read base symbols by the column's reference base and by strand: '.' and
// ',' for bases equal to the reference (or '='), else the base in upper case
// forward and lower case reverse.  Row r is for reference code r (4-bit);
// row 16 is for no reference, where only '=' matches.
struct base_symbols_t {
    std::array<std::array<char, 32>, 17> rows;  // [ref][is_rev << 4 | base]
    base_symbols_t() {
        for (int r = 0; r <= 16; ++r)
            for (int c = 0; c < 16; ++c) {
                const bool is_match = c == 0 || c == r;
                rows[r][c] = is_match ? '.' : bam_nt16_rev_table[c];
                rows[r][16 + c] =
                    is_match ? ',' : static_cast<char>(std::tolower(static_cast<unsigned char>(bam_nt16_rev_table[c])));
            }
    }
};
const base_symbols_t base_symbols;

// The reference character at `pos`, 'N' without a reference or past its end.
inline int ref_char_at(const char* ref, int ref_len, int64_t pos) {
    return ref && pos >= 0 && pos < ref_len ? static_cast<uint8_t>(ref[pos]) : 'N';
}

inline char strand_case(int c, bool is_rev) { return static_cast<char>(is_rev ? std::tolower(c) : std::toupper(c)); }

// "+3ACG" or "-2ac" for an entry with an indel after it.
char* put_indel(char* p, const bam_pileup1_t* e, int pos, const char* ref, int ref_len, bool is_rev) {
    const bam1_t* b = e->b;
    if (e->indel > 0) {
        *p++ = '+';
        p = put_uint(p, static_cast<uint32_t>(e->indel));
        const uint8_t* seq = rec_seq(b);
        for (int j = 1; j <= e->indel; ++j) {
            const int64_t q = int64_t{e->qpos} + j;
            const int c = q >= 0 && q < b->core.l_qseq ? bam_nt16_rev_table[rec_seqi(seq, static_cast<int>(q))] : 'N';
            *p++ = strand_case(c, is_rev);
        }
    } else {
        const uint32_t len = 0U - static_cast<uint32_t>(e->indel);
        *p++ = '-';
        p = put_uint(p, len);
        for (uint32_t j = 1; j <= len; ++j) *p++ = strand_case(ref_char_at(ref, ref_len, int64_t{pos} + j), is_rev);
    }
    return p;
}

inline bool is_unsorted_after(mplp_aux_t* a, const bam1_core_t* c) {
    if (c->tid < 0) {
        a->past_placed = true;
        return false;
    }
    if (a->past_placed || c->tid < a->last_tid || (c->tid == a->last_tid && c->pos < a->last_pos)) return true;
    a->last_tid = c->tid;
    a->last_pos = c->pos;
    return false;
}

void convert_illumina13(bam1_t* b) {
    uint8_t* qual = rec_qual(b);
    for (int i = 0; i < b->core.l_qseq; ++i) qual[i] = static_cast<uint8_t>(qual[i] > 31 ? qual[i] - 31 : 0);
}

bool is_excluded_group(const bam1_t* b, const kh_str2id_t* rghash) {
    const uint8_t* rg = bam_aux_get(b, "RG");
    const char* id = rg ? bam_aux2Z(rg) : nullptr;
    return id && bcf_str2id(rghash, id) >= 0;
}

}  // namespace

size_t mplp_text_bound(int n, const bam_pileup1_t* plp) {
    // Count, tabs and per entry: start mark and mapping quality, base,
    // end mark, quality, mapping quality, position with its comma, and
    // an indel's sign, length and bases.
    size_t bound = 32 + static_cast<size_t>(n) * (2 + 1 + 1 + 1 + 1 + 11 + 11);
    for (int i = 0; i < n; ++i)
        if (plp[i].indel)
            bound += static_cast<uint32_t>(plp[i].indel < 0 ? 0U - static_cast<uint32_t>(plp[i].indel) : plp[i].indel);
    return bound;
}

char* mplp_put_entries(char* p, int n, const bam_pileup1_t* plp, int pos, const char* ref, int ref_len, int flag) {
    *p++ = '\t';
    p = put_uint(p, static_cast<uint32_t>(n));
    *p++ = '\t';
    if (n == 0) {
        // Every column is there, so that the files stay aligned in the line.
        std::memcpy(p, "*\t*", 3);
        p += 3;
        if (flag & MPLP_PRINT_MAPQ) p = std::copy_n("\t*", 2, p);
        if (flag & MPLP_PRINT_POS) p = std::copy_n("\t*", 2, p);
        return p;
    }
    const char* sym = base_symbols.rows[ref ? bam_nt16_table[static_cast<uint8_t>(ref_char_at(ref, ref_len, pos))] : 16].data();
    // One pass over the entries: bases go straight out, qualities into
    // scratch space on the stack (for deep columns in a second pass).
    constexpr int max_scratch = 4096;
    char scratch[max_scratch];
    const bool has_scratch = n <= max_scratch;
    char* quals = has_scratch ? scratch : nullptr;
    for (int i = 0; i < n; ++i) {
        // Everything is read before anything is stored: the stores are of
        // char and would make the compiler read the record again.
        const bam_pileup1_t* e = plp + i;
        const bam1_t* b = e->b;
        const int32_t qpos = e->qpos, l_qseq = b->core.l_qseq;
        const int indel = e->indel;
        const int is_rev = (b->core.flag & BAM_FREVERSE) ? 16 : 0;
        const bool has_base = static_cast<uint32_t>(qpos) < static_cast<uint32_t>(l_qseq);
        const uint8_t* seq = b->data + b->core.l_qname + 4 * b->core.n_cigar;
        const char base = sym[is_rev | (has_base ? rec_seqi(seq, qpos) : 15)];
        const char qual = qual_char(has_base ? seq[((l_qseq + 1) >> 1) + qpos] : qual_absent);
        const bool is_head = e->is_head, is_del = e->is_del, is_tail = e->is_tail, is_refskip = e->is_refskip;
        if (has_scratch) quals[i] = qual;
        if (!(is_head | is_del | is_tail) && indel == 0) {  // most entries
            *p++ = base;
            continue;
        }
        if (is_head) {
            const int mapq = b->core.qual;
            *p++ = '^';
            *p++ = static_cast<char>(mapq > head_mapq_cap ? '~' : mapq + 33);
        }
        if (is_del) *p++ = is_refskip ? (is_rev ? '<' : '>') : '*';
        else *p++ = base;
        if (indel) p = put_indel(p, e, pos, ref, ref_len, is_rev);
        if (is_tail) *p++ = '$';
    }
    *p++ = '\t';
    if (has_scratch) {
        std::memcpy(p, quals, static_cast<size_t>(n));
        p += n;
    } else {
        for (int i = 0; i < n; ++i) {
            const bam1_t* b = plp[i].b;
            *p++ = qual_char(plp[i].qpos >= 0 && plp[i].qpos < b->core.l_qseq ? rec_qual(b)[plp[i].qpos] : qual_absent);
        }
    }
    if (flag & MPLP_PRINT_MAPQ) {
        *p++ = '\t';
        for (int i = 0; i < n; ++i) *p++ = qual_char(plp[i].b->core.qual);
    }
    if (flag & MPLP_PRINT_POS) {
        *p++ = '\t';
        for (int i = 0; i < n; ++i) {
            if (i) *p++ = ',';
            p = put_uint(p, static_cast<uint32_t>(plp[i].qpos) + 1);
        }
    }
    return p;
}

int mplp_depth_cap(int max_depth, int n_samples) {
    if (static_cast<int64_t>(max_depth) * n_samples < default_total_depth) return default_total_depth / n_samples;
    return max_depth;
}

namespace {

// The reference to apply BAQ and capping with for a record on `tid`: the
// current one, or the read-ahead slot, fetched into it when a FASTA is given
// and BAQ or capping is on.  A name the FASTA lacks or a failed read leaves
// the slot without a sequence; the column loop's own fetch reports a failure.
// A FASTA that only reads forwards gets no slot: fetching a later reference
// ahead would leave the column loop unable to go back to an earlier one.
const mplp_ref_t* reference_of(mplp_aux_t* ma, int tid) {
    if (ma->ref->tid == tid) return ma->ref;
    const mplp_conf_t* conf = ma->conf;
    mplp_ref_t* ahead = ma->ahead;
    if (!ahead || !conf->fai || !((conf->flag & MPLP_REALN) || conf->capQ_thres > 10)) return nullptr;
    if (!faidx_seeks_back(conf->fai)) return nullptr;
    if (ahead->tid != tid) {
        std::free(ahead->seq);
        *ahead = mplp_ref_t{tid, nullptr, 0};
        int len = 0;
        ahead->seq = faidx_fetch_seq(conf->fai, ma->h->target_name[tid], 0, INT_MAX, &len);
        ahead->len = ahead->seq ? len : 0;
    }
    return ahead;
}

}  // namespace

int mplp_func(void* data, bam1_t* b) {
    auto* ma = static_cast<mplp_aux_t*>(data);
    const mplp_conf_t* conf = ma->conf;
    for (;;) {
        int ret = ma->iter ? bam_iter_read(ma->fp, ma->iter, b) : bam_read1_bounded(ma->fp, b, ma->n_targets);
        if (ret >= 0 && ma->iter && !bam_refs_valid(&b->core, ma->n_targets)) ret = -4;
        if (ret < 0) {
            ma->status = ret;
            return ret;
        }
        ++ma->n_read;
        bam1_core_t* c = &b->core;
        if (is_unsorted_after(ma, c)) {  // ends the file before the pileup could mix it up
            ma->is_unsorted = true;
            ma->status = -1;
            return -1;
        }
        if (c->tid < 0 || (c->flag & BAM_FUNMAP)) continue;
        if (conf->bed &&
            !bed_overlap(conf->bed, ma->h->target_name[c->tid], c->pos, static_cast<int>(bam_calend(c, rec_cigar(b)))))
            continue;
        if (conf->rghash && is_excluded_group(b, conf->rghash)) continue;
        if (conf->flag & MPLP_ILLUMINA13) convert_illumina13(b);
        const mplp_ref_t* ref = reference_of(ma, c->tid);
        if (ref && ref->seq) {
            if (conf->flag & MPLP_REALN)
                bam_prob_realn_core(b, ref->seq, ref->len, BAM_BAQ_APPLY | (conf->flag & MPLP_EXT_BAQ ? BAM_BAQ_EXTENDED : 0));
            if (conf->capQ_thres > 10) {
                const int q = bam_cap_mapQ(b, ref->seq, ref->len, conf->capQ_thres);
                if (q < 0) continue;
                if (c->qual > q) c->qual = static_cast<uint8_t>(q);
                return ret;  // a capped read skips the mapping-quality and pair tests
            }
        }
        if (c->qual < conf->min_mq) continue;
        if ((conf->flag & MPLP_NO_ORPHAN) && (c->flag & BAM_FPAIRED) && !(c->flag & BAM_FPROPER_PAIR)) continue;
        return ret;
    }
}

namespace {

// The open inputs and what the run shares between them.
struct input_set_t {
    std::vector<mplp_aux_t> files;
    bam_header_ptr h;  // the first file's header
    mplp_ref_t ref;
    mplp_ref_t ahead;                   // a reference fetched for reads ahead of the column loop
    int tid0 = -1, beg0 = 0, end0 = 0;  // the region of the run (first file's parse)
    ~input_set_t() {
        for (mplp_aux_t& a : files) {
            if (a.iter) bam_iter_destroy(a.iter);
            if (a.fp) bgzf_close(a.fp);
        }
        std::free(ref.seq);
        std::free(ahead.seq);
    }
};

bool same_dictionary(const bam_header_t* a, const bam_header_t* b) {
    if (a->n_targets != b->n_targets) return false;
    for (int32_t i = 0; i < a->n_targets; ++i)
        if (a->target_len[i] != b->target_len[i] || std::strcmp(a->target_name[i], b->target_name[i]) != 0) return false;
    return true;
}

struct sample_deleter {
    void operator()(bam_sample_t* sm) const { bam_smpl_destroy(sm); }
};
using sample_ptr = std::unique_ptr<bam_sample_t, sample_deleter>;

struct rghash_owner_t {
    void* hash = nullptr;
    ~rghash_owner_t() { bcf_call_del_rghash(hash); }
};

// Opens every file, registers its samples and read groups and, with a
// region, its iterator.  0, or 1 after a message.
int open_inputs(input_set_t* in, const mplp_conf_t* conf, int n, char** fn, bam_sample_t* sm, rghash_owner_t* pl_hash) {
    in->files.resize(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        mplp_aux_t& a = in->files[static_cast<size_t>(i)];
        a.fn = fn[i];
        a.conf = conf;
        a.ref = &in->ref;
        a.ahead = &in->ahead;
        a.fp = std::strcmp(fn[i], "-") == 0 ? bgzf_fdopen(fileno(stdin), "r") : bgzf_open(fn[i], "r");
        if (!a.fp) {
            std::fprintf(stderr, "[mpileup] fail to open \"%s\".\n", fn[i]);
            return 1;
        }
        if (conf->pool) bgzf_set_pool(a.fp, conf->pool);
        bam_header_ptr h(bam_header_read(a.fp));
        if (!h) {
            std::fprintf(stderr, "[mpileup] fail to read the BAM header of \"%s\".\n", fn[i]);
            return 1;
        }
        if (i > 0 && !same_dictionary(in->h.get(), h.get())) {
            std::fprintf(stderr, "[mpileup] the reference sequences of \"%s\" differ from those of \"%s\".\n", fn[i], fn[0]);
            return 1;
        }
        a.n_targets = h->n_targets;
        if (bam_smpl_add(sm, fn[i], (conf->flag & MPLP_IGNORE_RG) ? nullptr : h->text) < 0) {
            std::fprintf(stderr, "[mpileup] fail to allocate memory.\n");
            return 1;
        }
        pl_hash->hash = bcf_call_add_rg(pl_hash->hash, h->text, conf->pl_list);
        if (conf->reg) {
            bam_index_ptr idx(bam_index_load(fn[i]));
            if (!idx) {
                std::fprintf(stderr, "[%s] fail to load index for %d-th input.\n", "mpileup", i + 1);
                return 1;
            }
            int tid, beg, end;
            if (bam_parse_region(h.get(), conf->reg, &tid, &beg, &end) < 0 || tid < 0) {
                std::fprintf(stderr, "[%s] malformatted region or wrong seqname for %d-th input.\n", "mpileup", i + 1);
                return 1;
            }
            a.iter = bam_iter_query(idx.get(), tid, beg, end);
            if (!a.iter) {
                std::fprintf(stderr, "[mpileup] fail to query the index of \"%s\".\n", fn[i]);
                return 1;
            }
            if (i == 0) in->tid0 = tid, in->beg0 = beg, in->end0 = end;
        }
        if (i == 0) in->h = std::move(h);
    }
    for (mplp_aux_t& a : in->files) a.h = in->h.get();
    return 0;
}

// Makes `tid` the current reference of every file.  False after a message
// when the FASTA cannot be read; a name the FASTA lacks leaves no reference.
bool load_reference(input_set_t* in, const mplp_conf_t* conf, int tid) {
    std::free(in->ref.seq);
    in->ref = mplp_ref_t{tid, nullptr, 0};
    if (!conf->fai) return true;
    if (in->ahead.tid == tid && in->ahead.seq) {  // fetched already for reads ahead
        in->ref = in->ahead;
        in->ahead = mplp_ref_t{};
        return true;
    }
    const char* name = in->h->target_name[tid];
    int len = 0;
    in->ref.seq = faidx_fetch_seq(conf->fai, name, 0, INT_MAX, &len);
    if (!in->ref.seq && len < 0) {
        std::fprintf(stderr, "[mpileup] fail to read sequence '%s' from the reference.\n", name);
        return false;
    }
    in->ref.len = in->ref.seq ? len : 0;
    return true;
}

// Lines are gathered in one buffer and written in large pieces.
class text_writer_t {
public:
    explicit text_writer_t(text_out_t* out) : out_(out) { buf_.resize(capacity); }
    char* reserve(size_t n) {
        if (used_ + n > buf_.size()) {
            flush();
            if (n > buf_.size()) buf_.resize(n);
        }
        return buf_.data() + used_;
    }
    void commit(char* end) {
        used_ = static_cast<size_t>(end - buf_.data());
        if (used_ >= capacity / 2) flush();
    }
    void flush() {
        if (used_) text_out_write(out_, buf_.data(), used_);
        used_ = 0;
    }

private:
    static constexpr size_t capacity = 1 << 17;
    text_out_t* out_;
    std::vector<char> buf_;
    size_t used_ = 0;
};

// The BCF side of a run: stream, header, calling parameters and the
// per-sample regrouping of each column.
class bcf_writer_t {
public:
    ~bcf_writer_t() {
        if (b_) bcf_destroy(b_);
        std::free(bc_.PL);
        bcf_call_destroy(bca_);
        if (bh_) bcf_hdr_destroy(bh_);
        if (bp_) bcf_close(bp_);
        std::free(key_.s);
    }

    // 0, or 1 after a message.
    int open(const mplp_conf_t* conf, const bam_header_t* h, const bam_sample_t* sm, void* pl_hash) {
        conf_ = conf;
        sm_ = sm;
        pl_hash_ = pl_hash;
        bp_ = bcf_open("-", (conf->flag & MPLP_NO_COMP) ? "wu" : "w");
        if (!bp_) {
            std::fprintf(stderr, "[mpileup] fail to open the BCF output.\n");
            return 1;
        }
        if (conf->pool) bgzf_set_pool(bp_->fp, conf->pool);
        bh_ = bcf_hdr_make(h->n_targets, h->target_name, sm->n, sm->smpl);
        bca_ = bcf_call_init(-1., conf->min_baseQ);
        b_ = static_cast<bcf1_t*>(std::calloc(1, sizeof(bcf1_t)));
        if (!bh_ || !bca_ || !b_) {
            std::fprintf(stderr, "[mpileup] fail to allocate memory.\n");
            return 1;
        }
        if (bcf_hdr_write(bp_, bh_) < 0) return write_failed();
        bca_->openQ = conf->openQ;
        bca_->extQ = conf->extQ;
        bca_->tandemQ = conf->tandemQ;
        bca_->min_frac = conf->min_frac;
        bca_->min_support = conf->min_support;
        bca_->rghash = pl_hash;
        bcr_.assign(static_cast<size_t>(sm->n), bcf_callret1_t{});
        groups_.resize(static_cast<size_t>(sm->n));
        n_plp_.resize(groups_.size());
        plp_.resize(groups_.size());
        return 0;
    }

    // One SNP record, and an indel record where candidates exist.  0, or 1
    // after a message.
    int write_column(const std::vector<mplp_aux_t>& files, const int* n_plp, const bam_pileup1_t* const* plp, int tid, int pos,
                     const mplp_ref_t& ref, int64_t max_indel_depth) {
        int64_t total_depth = 0;
        for (size_t i = 0; i < files.size(); ++i) total_depth += n_plp[i];
        if (int r = group_samples(files, n_plp, plp); r != 0) return r;
        const char* seq = ref.seq;
        const int ref16 = bam_nt16_table[static_cast<uint8_t>(ref_char_at(seq, ref.len, pos))];
        const int n = static_cast<int>(groups_.size());
        for (int i = 0; i < n; ++i) bcf_call_glfgen(n_plp_[i], plp_[i], ref16, bca_, &bcr_[i]);
        bcf_call_combine(n, bcr_.data(), ref16, &bc_);
        const bcf_callret1_t* bcr = (conf_->flag & (MPLP_FMT_DP | MPLP_FMT_SP)) ? bcr_.data() : nullptr;
        const int is_SP = (conf_->flag & MPLP_FMT_SP) ? 1 : 0;
        if (int r = put_record(tid, pos, bcr, is_SP, nullptr, nullptr); r != 0) return r;
        if ((conf_->flag & MPLP_NO_INDEL) || total_depth >= max_indel_depth || !seq) return 0;
        if (bcf_call_gap_prep(n, n_plp_.data(), plp_.data(), pos, bca_, seq, ref.len, pl_hash_) < 0) return 0;
        for (int i = 0; i < n; ++i) bcf_call_glfgen(n_plp_[i], plp_[i], -1, bca_, &bcr_[i]);
        if (bcf_call_combine(n, bcr_.data(), -1, &bc_) < 0) return 0;
        return put_record(tid, pos, bcr, is_SP, bca_, seq);
    }

    // 0, or 1 after a message when the stream could not be completed.
    int close() {
        const int r = bcf_close(bp_);
        bp_ = nullptr;
        if (has_failed_) return 1;  // said already
        return r < 0 ? write_failed() : 0;
    }

private:
    int write_failed() {
        std::fprintf(stderr, "[mpileup] fail to write to standard output.\n");
        has_failed_ = true;
        return 1;
    }

    int put_record(int tid, int pos, const bcf_callret1_t* bcr, int is_SP, const bcf_callaux_t* bca, const char* ref) {
        if (bcf_call2bcf(tid, pos, &bc_, b_, bcr, is_SP, bca, ref) < 0) {
            std::fprintf(stderr, "[mpileup] fail to allocate memory.\n");
            return 1;
        }
        return bcf_write(bp_, bh_, b_) < 0 ? write_failed() : 0;
    }

    // The sample of each entry, through its read group (or its file).
    int group_samples(const std::vector<mplp_aux_t>& files, const int* n_plp, const bam_pileup1_t* const* plp) {
        for (auto& g : groups_) g.clear();
        const bool ignore_rg = conf_->flag & MPLP_IGNORE_RG;
        for (size_t i = 0; i < files.size(); ++i) {
            const char* fn = files[i].fn;
            for (int j = 0; j < n_plp[i]; ++j) {
                const bam_pileup1_t* e = plp[i] + j;
                const uint8_t* rg = ignore_rg ? nullptr : bam_aux_get(e->b, "RG");
                const char* id = rg ? bam_aux2Z(rg) : nullptr;
                const int s = sample_of(i, fn, id);
                if (s < 0) {
                    if (id)
                        std::fprintf(stderr,
                                     "[%s] Read group %s used in file %s but absent from the header or an alignment missing "
                                     "read group.\n",
                                     "group_smpl", id, fn);
                    else
                        std::fprintf(stderr, "[%s] A read without read group in file %s belongs to no sample.\n", "group_smpl",
                                     fn);
                    return 1;
                }
                groups_[static_cast<size_t>(s)].push_back(*e);
            }
        }
        for (size_t s = 0; s < groups_.size(); ++s) {
            n_plp_[s] = static_cast<int>(groups_[s].size());
            plp_[s] = groups_[s].data();
        }
        return 0;
    }

    // Sample ids are cached per file and read group, so that a column costs
    // a short string compare per read rather than building a key and
    // hashing it.
    int sample_of(size_t file, const char* fn, const char* id) {
        if (cache_.size() <= file) cache_.resize(file + 1);
        file_cache_t& fc = cache_[file];
        if (!id) {
            if (fc.default_id == unknown) fc.default_id = bam_smpl_rg2smid(sm_, fn, nullptr, &key_);
            return fc.default_id;
        }
        for (const auto& [rg, s] : fc.groups)
            if (rg == id) return s;
        int s = bam_smpl_rg2smid(sm_, fn, id, &key_);
        if (s < 0) s = bam_smpl_rg2smid(sm_, fn, nullptr, &key_);
        if (fc.groups.size() < max_cached_groups) fc.groups.emplace_back(id, s);
        return s;
    }

    static constexpr int unknown = -2;
    static constexpr size_t max_cached_groups = 64;
    struct file_cache_t {
        int default_id = unknown;
        std::vector<std::pair<std::string, int>> groups;
    };

    const mplp_conf_t* conf_ = nullptr;
    const bam_sample_t* sm_ = nullptr;
    void* pl_hash_ = nullptr;
    bcf_t* bp_ = nullptr;
    bcf_hdr_t* bh_ = nullptr;
    bcf_callaux_t* bca_ = nullptr;
    bcf1_t* b_ = nullptr;
    bcf_call_t bc_{};
    std::vector<bcf_callret1_t> bcr_;
    std::vector<std::vector<bam_pileup1_t>> groups_;
    std::vector<int> n_plp_;
    std::vector<bam_pileup1_t*> plp_;
    std::vector<file_cache_t> cache_;
    kstring_t key_{0, 0, nullptr};
    bool has_failed_ = false;
};

// Reports every file that ended on damage or out of order; true if any did.
bool report_input_failures(const input_set_t& in) {
    bool failed = false;
    for (const mplp_aux_t& a : in.files) {
        if (a.is_unsorted) {
            std::fprintf(stderr, "[mpileup] \"%s\" is not sorted by coordinate (record %lld); its pileup ends there.\n", a.fn,
                         a.n_read);
            failed = true;
        } else if (a.status < -1) {
            bam_report_damage("mpileup", a.fn, a.n_read, a.fp);
            failed = true;
        }
    }
    return failed;
}

}  // namespace

int mpileup(const mplp_conf_t* conf, int n, char** fn) {
    input_set_t in;
    sample_ptr sm(bam_smpl_init());
    rghash_owner_t pl_hash;
    if (!sm) {
        std::fprintf(stderr, "[mpileup] fail to allocate memory.\n");
        return 1;
    }
    if (int r = open_inputs(&in, conf, n, fn, sm.get(), &pl_hash); r != 0) return r;
    const bam_header_t* h = in.h.get();
    std::fprintf(stderr, "[%s] %d samples in %d input files\n", "mpileup", sm->n, n);

    const bool is_bcf = conf->flag & MPLP_GLF;
    bcf_writer_t bcf;
    text_out_ptr out;
    if (is_bcf) {
        if (int r = bcf.open(conf, h, sm.get(), pl_hash.hash); r != 0) return r;
    } else {
        out.reset(text_out_open("-"));
        if (!out) return 1;
    }
    if (conf->reg && !load_reference(&in, conf, in.tid0)) return 1;

    const int n_samples = std::max(sm->n, 1);
    if (int64_t{conf->max_depth} * n_samples > depth_warn_total)
        std::fprintf(stderr, "(%s) Max depth is above 1M. Potential memory hog!\n", "mpileup");
    const int max_depth = mplp_depth_cap(conf->max_depth, n_samples);
    if (max_depth != conf->max_depth) std::fprintf(stderr, "<%s> Set max per-file depth to %d\n", "mpileup", max_depth);
    const int64_t max_indel_depth = int64_t{conf->max_indel_depth} * n_samples;

    std::vector<void*> data;
    for (mplp_aux_t& a : in.files) data.push_back(&a);
    std::unique_ptr<bam_mplp_s, void (*)(bam_mplp_t)> iter(bam_mplp_init(n, mplp_func, data.data()), bam_mplp_destroy);
    if (!iter) {
        std::fprintf(stderr, "[mpileup] fail to allocate memory.\n");
        return 1;
    }
    bam_mplp_set_maxcnt(iter.get(), max_depth);

    std::vector<int> n_plp(static_cast<size_t>(n));
    std::vector<const bam_pileup1_t*> plp(static_cast<size_t>(n));
    std::unique_ptr<text_writer_t> lines;
    if (out) lines = std::make_unique<text_writer_t>(out.get());
    int status = 0;
    int tid = 0, pos = 0, name_tid = -1;
    size_t name_len = 0;
    while (bam_mplp_auto(iter.get(), &tid, &pos, n_plp.data(), plp.data()) > 0) {
        if (conf->reg && (pos < in.beg0 || pos >= in.end0)) continue;
        const char* name = h->target_name[tid];
        if (conf->bed && !bed_overlap(conf->bed, name, pos, pos + 1)) continue;
        if (tid != in.ref.tid && !load_reference(&in, conf, tid)) {
            status = 1;
            break;
        }
        if (is_bcf) {
            status = bcf.write_column(in.files, n_plp.data(), plp.data(), tid, pos, in.ref, max_indel_depth);
            if (status != 0) break;
            continue;
        }
        if (tid != name_tid) name_tid = tid, name_len = std::strlen(name);
        size_t bound = name_len + 16;
        for (int i = 0; i < n; ++i) bound += mplp_text_bound(n_plp[i], plp[i]);
        char* p = lines->reserve(bound);
        p = std::copy_n(name, name_len, p);
        *p++ = '\t';
        p = put_uint(p, static_cast<uint32_t>(pos) + 1);
        *p++ = '\t';
        *p++ = static_cast<char>(ref_char_at(in.ref.seq, in.ref.len, pos));
        for (int i = 0; i < n; ++i) p = mplp_put_entries(p, n_plp[i], plp[i], pos, in.ref.seq, in.ref.len, conf->flag);
        *p++ = '\n';
        lines->commit(p);
        if (text_out_has_failed(out.get())) break;
    }
    bam_mplp_reset(iter.get());  // a stop before the end leaves records buffered
    iter.reset();
    if (report_input_failures(in)) status = 1;
    if (is_bcf) {
        if (bcf.close() != 0) status = 1;
    } else {
        lines->flush();
        if (text_out_close(out.release()) < 0) {
            std::fprintf(stderr, "[mpileup] fail to write to standard output.\n");
            status = 1;
        }
    }
    return status;
}
