// calmd (also fillmd): recomputes MD and NM of every record against the
// reference and writes the records in input order to standard output, with
// optional BAQ, mapping-quality capping, '=' bases, masking, tag dropping and
// quality binning.
//
// The FASTA index is loaded before any output is written.  References are
// fetched whole and kept within a budget (see ref_cache_t).  A damaged
// input still has every record read before the damage written, and ends
// with status 1; so does a failed write.
#include "commands/commands.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bam/bam_codec.h"
#include "bam/bam_import.h"
#include "bam/sam.h"
#include "call/bam_md.h"
#include "commands/threads_option.h"
#include "io/faidx.h"
#include "io/knetfile.h"

namespace {

struct calmd_opts_t {
    int md_flag = BAM_MD_UPDATE_NM | BAM_MD_UPDATE_MD;
    int baq_flag = 0;
    bool is_baq = false;
    bool is_bam_out = false, is_uncompressed = false, is_sam_in = false;
    int cap_q = 0;  // capping threshold, used above 10
    int max_nm = 0;
    command_threads threads;  // -@
};

int calmd_usage() {
    std::fprintf(stderr, "\n");
    std::fprintf(stderr, "Usage:   alnkit fillmd [-eubrS] <aln.bam> <ref.fasta>\n\n");
    std::fprintf(stderr, "Options: -e       change identical bases to '='\n");
    std::fprintf(stderr, "         -u       uncompressed BAM output (for piping)\n");
    std::fprintf(stderr, "         -b       compressed BAM output\n");
    std::fprintf(stderr, "         -S       the input is SAM with header\n");
    std::fprintf(stderr, "         -A       modify the quality string\n");
    std::fprintf(stderr, "         -r       compute the BQ tag (without -A) or cap baseQ by BAQ (with -A)\n");
    std::fprintf(stderr, "         -E       extended BAQ for better sensitivity but lower specificity\n\n");
    return 1;
}

// 0 after parsing, 1 for an unknown option (after its message).
int parse_options(int argc, char* argv[], calmd_opts_t* o) {
    optind = 0;  // the dispatcher may have used getopt before
    opterr = 0;  // unknown options get the command's own message
    int c;
    while ((c = getopt(argc, argv, "EqreuNhbSC:n:Ad@:")) >= 0) {
        switch (c) {
        case 'r': o->is_baq = true; break;
        case 'e': o->md_flag |= BAM_MD_EQUAL; break;
        case 'b': o->is_bam_out = true; break;
        case 'u': o->is_uncompressed = o->is_bam_out = true; break;
        case 'S': o->is_sam_in = true; break;
        case 'N': o->md_flag &= ~(BAM_MD_UPDATE_NM | BAM_MD_UPDATE_MD); break;
        case 'd': o->md_flag |= BAM_MD_DROP_AUX; break;
        case 'q': o->md_flag |= BAM_MD_BIN_QUAL; break;
        case 'A': o->baq_flag |= BAM_BAQ_APPLY; break;
        case 'E': o->baq_flag |= BAM_BAQ_EXTENDED; break;
        case 'C': o->cap_q = std::atoi(optarg); break;
        case 'n': o->max_nm = std::atoi(optarg); break;
        case 'h': break;
        case '@':
            if (!o->threads.parse("bam_fillmd", optarg)) return 1;
            break;
        default: std::fprintf(stderr, "[bam_fillmd] unrecognized option '-%c'\n", optopt); return 1;
        }
    }
    return 0;
}

// Reference sequences fetched whole, the current one and recently used ones
// up to a byte budget, so that input not sorted by coordinate does not
// fetch a reference again at every change.  The messages still come at
// every change to a reference the FASTA cannot give.
class ref_cache_t {
public:
    static constexpr int64_t budget = int64_t{256} << 20;

    ref_cache_t(faidx_t* fai, const bam_header_t* h, const char* fn_ref) : fai_(fai), h_(h), fn_ref_(fn_ref) {}
    ~ref_cache_t() {
        for (entry_t& e : entries_) std::free(e.seq);
    }
    ref_cache_t(const ref_cache_t&) = delete;
    ref_cache_t& operator=(const ref_cache_t&) = delete;

    // Makes `tid` current; false (after its message) when the FASTA cannot give it.
    bool select(int tid) {
        ++clock_;
        for (entry_t& e : entries_)
            if (e.tid == tid) {
                e.last_use = clock_;
                current_ = &e;
                return true;
            }
        current_ = nullptr;
        const char* name = h_->target_name[tid];
        int len;
        char* seq = faidx_fetch_seq(fai_, name, 0, INT_MAX, &len);
        if (!seq) {
            if (len < 0) {
                std::fprintf(stderr, "[bam_fillmd] fail to read sequence '%s' from %s.\n", name, fn_ref_);
                has_read_failed_ = true;
            } else {
                std::fprintf(stderr, "[bam_fillmd] fail to find sequence '%s' in the reference.\n", name);
            }
            return false;
        }
        evict_for(len);
        entries_.push_back({tid, seq, len, clock_});
        current_ = &entries_.back();
        return true;
    }
    const char* seq() const { return current_->seq; }
    int len() const { return current_->len; }
    bool has_read_failed() const { return has_read_failed_; }

private:
    struct entry_t {
        int tid;
        char* seq;
        int len;
        uint64_t last_use;
    };
    // Drops the least recently used sequences until `len` more bases fit.
    void evict_for(int64_t len) {
        int64_t total = len;
        for (const entry_t& e : entries_) total += e.len;
        while (total > budget && !entries_.empty()) {
            auto lru = std::min_element(entries_.begin(), entries_.end(),
                                        [](const entry_t& a, const entry_t& b) { return a.last_use < b.last_use; });
            total -= lru->len;
            std::free(lru->seq);
            entries_.erase(lru);
        }
    }

    faidx_t* fai_;
    const bam_header_t* h_;
    const char* fn_ref_;
    std::vector<entry_t> entries_;
    entry_t* current_ = nullptr;
    uint64_t clock_ = 0;
    bool has_read_failed_ = false;
};

void process_record(const calmd_opts_t& o, const ref_cache_t& r, bam1_t* b) {
    if (o.is_baq) bam_prob_realn_core(b, r.seq(), r.len(), o.baq_flag);
    if (o.cap_q > 10) {
        const int q = bam_cap_mapQ(b, r.seq(), r.len(), o.cap_q);
        // A read whose mismatches exceed the threshold is not trusted at all.
        if (q < 0) b->core.qual = 0;
        else if (q < b->core.qual) b->core.qual = static_cast<uint8_t>(q);
    }
    bam_fillmd1_core(b, r.seq(), r.len(), o.md_flag, o.max_nm);
}

// The next record as samread gives it, except that malformed SAM text ends
// the input (below -1) after its message instead of ending the process.
int read_record(samfile_t* in, bam1_t* b) {
    if (in->type & TYPE_BAM) return samread(in, b);
    const int r = sam_read1_checked(in->x.tamr, in->header, b);
    if (r == SAM_PARSE_ERROR)
        std::fprintf(stderr, "Parse error at line %lld: %s\n", static_cast<long long>(in->x.tamr->n_lines), in->x.tamr->err);
    return r;
}

bool has_write_failed(const samfile_t* out) {
    return (out->type & TYPE_BAM) ? out->x.bam->error != nullptr : text_out_has_failed(out->x.tamw);
}

bool is_readable(const std::string& fn) { return access(fn.c_str(), R_OK) == 0; }

}  // namespace

int bam_fillmd(int argc, char* argv[]) {
    calmd_opts_t o;
    if (parse_options(argc, argv, &o) != 0) return 1;
    if (optind + 1 >= argc) return calmd_usage();
    const char* fn_in = argv[optind];
    const char* fn_ref = argv[optind + 1];

    samfile_ptr in(samopen(fn_in, o.is_sam_in ? "r" : "rb", nullptr));
    if (!in) {
        std::fprintf(stderr, "[bam_fillmd] fail to open file %s.\n", fn_in);
        return 1;
    }
    if (!in->header || (o.is_sam_in && in->header->n_targets == 0)) {
        if (o.is_sam_in) std::fprintf(stderr, "[bam_fillmd] input SAM does not have header. Abort!\n");
        else std::fprintf(stderr, "[bam_fillmd] fail to read the header of %s.\n", fn_in);
        return 1;
    }
    const std::string fn_fai = std::string(fn_ref) + ".fai";
    if (!knet_is_remote(fn_ref) && !is_readable(fn_fai) && !is_readable(fn_ref)) {
        std::fprintf(stderr, "[bam_fillmd] fail to open the reference %s.\n", fn_ref);
        return 1;
    }
    fai_ptr fai(fai_load(fn_ref));
    if (!fai) {
        std::fprintf(stderr, "[bam_fillmd] fail to load the index of the reference %s.\n", fn_ref);
        return 1;
    }
    const char* out_mode = o.is_uncompressed ? "wbu" : o.is_bam_out ? "wb" : "wh";
    samfile_t* out = samopen("-", out_mode, in->header);
    if (!out) {
        std::fprintf(stderr, "[bam_fillmd] fail to open standard output.\n");
        return 1;
    }

    o.threads.attach(in.get());
    o.threads.attach(out);
    int status = 0;
    bam1_ptr b = bam1_make();
    ref_cache_t refs(fai.get(), in->header, fn_ref);
    int last_tid = -1;
    bool has_ref = false;
    long long n_read = 0, n_unwritable = 0;
    std::string first_unwritable;
    bool is_write_failed = has_write_failed(out);
    int r = -1;
    while (!is_write_failed && (r = read_record(in.get(), b.get())) >= 0) {
        ++n_read;
        const int tid = b->core.tid;
        if (tid >= 0) {
            if (tid != last_tid) has_ref = refs.select(tid);
            last_tid = tid;
            if (has_ref) process_record(o, refs, b.get());
        }
        const int w = samwrite(out, b.get());
        is_write_failed = has_write_failed(out);
        if (w < 0 && !is_write_failed && n_unwritable++ == 0) first_unwritable = rec_qname(b.get());
    }
    if (r < -1) {
        bam_report_damage("bam_fillmd", fn_in, n_read, (in->type & TYPE_BAM) ? in->x.bam : nullptr);
        status = 1;
    }
    if (n_unwritable > 0) {
        std::fprintf(stderr, "[bam_fillmd] %s: %lld records with malformed optional fields were not written (the first is %s).\n",
                     fn_in, n_unwritable, first_unwritable.c_str());
        status = 1;
    }
    if (refs.has_read_failed()) status = 1;
    if (samclose(out) < 0 || is_write_failed) {
        std::fprintf(stderr, "[bam_fillmd] fail to write to standard output.\n");
        status = 1;
    }
    return status;
}
