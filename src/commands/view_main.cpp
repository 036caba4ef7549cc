// view: reads one SAM or BAM file, whole or by regions through its index,
// keeps the records that pass the filters and writes them as SAM or BAM or
// counts them.
#include "commands/commands.h"

#include <getopt.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "bam/bam.h"
#include "bam/bam_aux.h"
#include "bam/bam_codec.h"
#include "bam/sam.h"
#include "commands/threads_option.h"
#include "containers/khash.h"
#include "containers/kseq.h"
#include "index/bam_index.h"
#include "index/bedidx.h"
#include "io/text_out.h"

namespace {

// Filter settings for the duration of one command; the record callback
// reads them through its data.
struct view_settings {
    int min_mapQ = 0;
    int flag_on = 0, flag_off = 0;
    double subsam = -1;
    const char* rg = nullptr;
    kh_strset_t* rghash = nullptr;  // owns its keys
    const char* library = nullptr;
    void* bed = nullptr;

    view_settings() = default;
    view_settings(const view_settings&) = delete;
    view_settings& operator=(const view_settings&) = delete;
    ~view_settings() {
        if (rghash) {
            for (khint_t k = rghash->begin(); k != rghash->end(); ++k)
                if (rghash->exist(k)) std::free(const_cast<char*>(rghash->key(k)));
            delete rghash;
        }
        if (bed) bed_destroy(bed);
    }
};

// True when the record passes every filter, in the order of the options'
// precedence: quality, flags, BED, subsampling, read group, library.
bool keep_record(const view_settings& g, bam_header_t* h, const bam1_t* b) {
    const bam1_core_t* c = &b->core;
    if (c->qual < g.min_mapQ) return false;
    if ((c->flag & g.flag_on) != g.flag_on || (c->flag & g.flag_off)) return false;
    if (g.bed && c->tid >= 0 && c->tid < h->n_targets &&
        !bed_overlap(g.bed, h->target_name[c->tid], c->pos, static_cast<int>(bam_calend(c, rec_cigar(b)))))
        return false;
    if (g.subsam > 0) {
        int seed = static_cast<int>(g.subsam);
        double fraction = g.subsam - seed;
        uint32_t k = kh_str_hash(rec_qname(b));
        if (static_cast<double>((k + static_cast<uint32_t>(seed)) & 0x3ff) / 1024.0 >= fraction) return false;
    }
    if (g.rg || g.rghash) {
        const uint8_t* s = bam_aux_get(b, "RG");
        if (s) {
            const char* value = reinterpret_cast<const char*>(s + 1);
            if (g.rg) return std::strcmp(g.rg, value) == 0;
            return g.rghash->get(value) != g.rghash->end();
        }
    }
    if (g.library) {
        const char* p = bam_get_library(h, b);
        return p && std::strcmp(p, g.library) == 0;
    }
    return true;
}

// What the record callback needs: the filters, the input and the output.
struct fetch_data {
    const view_settings* settings;
    samfile_t* in;
    samfile_t* out;  // null when counting
    long long count;
    long long n_unwritable = 0;  // records whose optional fields cannot be formatted
    std::string first_unwritable;
    // With --starts-in-region: only records starting in [beg, end) of the
    // region being read; beg -1 for no such limit.
    int64_t starts_beg = -1, starts_end = 0;
};

int view_func(const bam1_t* b, void* data) {
    auto* d = static_cast<fetch_data*>(data);
    if (d->starts_beg >= 0 && (b->core.pos < d->starts_beg || b->core.pos >= d->starts_end)) return 0;
    if (keep_record(*d->settings, d->in->header, b)) {
        if (d->out && samwrite(d->out, b) < 0 && d->n_unwritable++ == 0) d->first_unwritable = rec_qname(b);
        ++d->count;
    }
    return 0;
}

int usage(bool long_help) {
    std::fprintf(stderr, "\n");
    std::fprintf(stderr, "Usage:   alnkit view [options] <in.bam>|<in.sam> [region1 [...]]\n\n");
    std::fprintf(stderr,
                 "Options: -b       output BAM\n"
                 "         -h       print header for the SAM output\n"
                 "         -H       print header only (no alignments)\n"
                 "         -S       input is SAM\n"
                 "         -u       uncompressed BAM output (force -b)\n"
                 "         -1       fast compression (force -b)\n"
                 "         -x       output FLAG in HEX (alnkit-C specific)\n"
                 "         -X       output FLAG in string (alnkit-C specific)\n"
                 "         -c       print only the count of matching records\n"
                 "         -L FILE  output alignments overlapping the input BED FILE [null]\n"
                 "         -t FILE  list of reference names and lengths (force -S) [null]\n"
                 "         -T FILE  reference sequence file (force -S) [null]\n"
                 "         -o FILE  output file name [stdout]\n"
                 "         -R FILE  list of read groups to be outputted [null]\n"
                 "         -f INT   required flag, 0 for unset [0]\n"
                 "         -F INT   filtering flag, 0 for unset [0]\n"
                 "         -q INT   minimum mapping quality [0]\n"
                 "         -l STR   only output reads in library STR [null]\n"
                 "         -r STR   only output reads in read group STR [null]\n"
                 "         -s FLOAT fraction of templates to subsample; integer part as seed [-1]\n"
                 "         -?       longer help\n");
    std::fprintf(stderr, "\n");
    if (long_help) {
        std::fprintf(stderr,
                     "Notes:\n"
                     "\n"
                     "  1. By default, this command assumes the file on the command line is in\n"
                     "     the BAM format and it prints the alignments in SAM. If `-t' is\n"
                     "     applied, the input file is assumed to be in the SAM format. The\n"
                     "     file supplied with `-t' is SPACE/TAB delimited with the first two\n"
                     "     fields of each line consisting of the reference name and the\n"
                     "     corresponding sequence length. The `.fai' file generated by `faidx'\n"
                     "     can be used here. This file may be empty if reads are unaligned.\n"
                     "\n"
                     "  2. SAM->BAM conversion: `alnkit view -bT ref.fa in.sam.gz'.\n"
                     "\n"
                     "  3. BAM->SAM conversion: `alnkit view in.bam'.\n"
                     "\n"
                     "  4. A region should be presented in one of the following formats:\n"
                     "     `chr1', `chr2:1,000' and `chr3:1000-2,000'. When a region is\n"
                     "     specified, the input alignment file must be an indexed BAM file.\n"
                     "\n"
                     "  5. Option `-u' is preferred over `-b' when the output is piped to\n"
                     "     another alnkit command.\n"
                     "\n"
                     "  6. In a string FLAG, each character represents one bit with\n"
                     "     p=0x1 (paired), P=0x2 (properly paired), u=0x4 (unmapped),\n"
                     "     U=0x8 (mate unmapped), r=0x10 (reverse), R=0x20 (mate reverse)\n"
                     "     1=0x40 (first), 2=0x80 (second), s=0x100 (not primary),\n"
                     "     f=0x200 (failure) and d=0x400 (duplicate). Note that `-x' and\n"
                     "     `-X' are alnkit-C specific. Other tools and older versions of\n"
                     "     alnkit do not support HEX or string flags.\n"
                     "\n");
    }
    return 1;
}

// Reads the white-space separated read-group IDs of `fn` into a new set.
kh_strset_t* read_rg_list(const char* fn) {
    gzFile gz = std::strcmp(fn, "-") == 0 ? gzdopen(dup(STDIN_FILENO), "rb") : gzopen(fn, "rb");
    if (!gz) return nullptr;
    kstream_t* ks = ks_init_gz(gz, 16384);
    auto* set = new kh_strset_t;
    kstring_owner word;
    int dret;
    while (ks_getuntil(ks, KS_SEP_SPACE, word.get(), &dret) >= 0) {
        if (word->l == 0) continue;
        int ret;
        char* key = strdup(word->s);
        set->put(key, &ret);
        if (ret == 0) std::free(key);
    }
    ks_destroy(ks);
    gzclose(gz);
    return set;
}

// Keeps the header lines that are not read groups, and the read-group lines
// whose ID is in `set`; stops at the first line shorter than 3 characters.
void keep_listed_read_groups(bam_header_t* h, const kh_strset_t* set) {
    std::string text;
    const char* p = h->text ? h->text : "";
    const char* end = p + h->l_text;
    while (p < end) {
        const char* nl = static_cast<const char*>(std::memchr(p, '\n', end - p));
        const char* line_end = nl ? nl : end;
        std::string line(p, line_end);
        if (line.size() < 3) break;
        bool keep = true;
        if (line.compare(0, 4, "@RG\t") == 0) {
            size_t id = line.find("\tID:");
            keep = false;
            if (id != std::string::npos) {
                size_t start = id + 4;
                size_t stop = line.find_first_of("\t\n", start);
                std::string value = line.substr(start, stop == std::string::npos ? std::string::npos : stop - start);
                keep = set->get(value.c_str()) != set->end();
            }
        }
        if (keep) text += line + "\n";
        p = nl ? nl + 1 : end;
    }
    std::free(h->text);
    h->text = strdup(text.c_str());
    h->l_text = h->n_text = text.size();
}

struct view_options {
    bool is_bamout = false, is_header = false, is_header_only = false, is_samin = false, is_count = false;
    bool long_help = false;
    bool starts_in_region = false;  // --starts-in-region
    char flag_form = 0;    // 'x' or 'X'
    char level_digit = 0;  // '0' for -u, '1' for -1
    const char* fn_list = nullptr;
    const char* fn_ref = nullptr;
    const char* fn_out = nullptr;
    const char* fn_rg = nullptr;
    const char* fn_bed = nullptr;
};

}  // namespace

int main_samview(int argc, char* argv[]) {
    view_settings settings;
    view_options o;
    command_threads threads;
    int c;
    optind = 0;  // the dispatcher or import may have used getopt before
    enum { opt_starts_in_region = 256 };
    static const option long_options[] = {{"starts-in-region", no_argument, nullptr, opt_starts_in_region},
                                          {nullptr, 0, nullptr, 0}};
    while ((c = getopt_long(argc, argv, "Sbct:h1Ho:q:f:F:ul:r:xX?T:R:L:s:@:", long_options, nullptr)) >= 0) {
        switch (c) {
        case opt_starts_in_region: o.starts_in_region = true; break;
        case 's': settings.subsam = std::atof(optarg); break;
        case 'c': o.is_count = true; break;
        case 'S': o.is_samin = true; break;
        case 'b': o.is_bamout = true; break;
        case 't': o.fn_list = optarg, o.is_samin = true; break;
        case 'h': o.is_header = true; break;
        case 'H': o.is_header_only = true; break;
        case 'o': o.fn_out = optarg; break;
        case 'f': settings.flag_on = static_cast<int>(std::strtol(optarg, nullptr, 0)); break;
        case 'F': settings.flag_off = static_cast<int>(std::strtol(optarg, nullptr, 0)); break;
        case 'q': settings.min_mapQ = std::atoi(optarg); break;
        case 'u': o.level_digit = '0', o.is_bamout = true; break;
        case '1': o.level_digit = '1', o.is_bamout = true; break;
        case 'l': settings.library = optarg; break;
        case 'L': o.fn_bed = optarg; break;
        case 'r': settings.rg = optarg; break;
        case 'R': o.fn_rg = optarg; break;
        case 'x': o.flag_form = 'x'; break;
        case 'X': o.flag_form = 'X'; break;
        case 'T': o.fn_ref = optarg, o.is_samin = true; break;
        case '@':
            if (!threads.parse("main_samview", optarg)) return 1;
            break;
        default: o.long_help = true; break;  // -? and unknown options
        }
    }
    std::string out_mode = "w", in_mode = o.is_samin ? "r" : "rb";
    if (o.is_bamout) out_mode += 'b';
    else if (o.flag_form) out_mode += o.flag_form;
    if (o.is_header || o.is_header_only) out_mode += 'h';
    if (o.level_digit) out_mode += o.level_digit;
    if (argc == optind) return usage(o.long_help);

    if (o.fn_bed) {
        // An unreadable BED file would silently turn the filter off.
        settings.bed = bed_read(o.fn_bed);
        if (!settings.bed) {
            std::fprintf(stderr, "[main_samview] fail to read the BED file \"%s\".\n", o.fn_bed);
            return 1;
        }
    }
    if (o.fn_rg) {
        settings.rghash = read_rg_list(o.fn_rg);
        if (!settings.rghash) {
            std::fprintf(stderr, "[main_samview] fail to read the read-group list \"%s\".\n", o.fn_rg);
            return 1;
        }
    }
    std::unique_ptr<char, decltype(&std::free)> fai_path(nullptr, &std::free);
    const char* fn_list = o.fn_list;
    if (o.fn_ref && !fn_list) {
        fai_path.reset(samfaipath(o.fn_ref));
        fn_list = fai_path.get();
    }

    const char* fn_in = argv[optind];
    samfile_ptr in(samopen(fn_in, in_mode.c_str(), fn_list));
    if (!in) {
        std::fprintf(stderr, "[main_samview] fail to open \"%s\" for reading.\n", fn_in);
        return 1;
    }
    if (!in->header) {
        std::fprintf(stderr, "[main_samview] fail to read the header from \"%s\".\n", fn_in);
        return 1;
    }
    if (settings.rghash) keep_listed_read_groups(in->header, settings.rghash);
    samfile_ptr out;
    if (!o.is_count) {
        out.reset(samopen(o.fn_out ? o.fn_out : "-", out_mode.c_str(), in->header));
        if (!out) {
            std::fprintf(stderr, "[main_samview] fail to open \"%s\" for writing.\n", o.fn_out ? o.fn_out : "standard output");
            return 1;
        }
    }

    // Where the records start, for region `*` when the index holds no chunk.
    const int64_t first_record = (in->type & TYPE_BAM) ? bgzf_tell(in->x.bam) : 0;
    threads.attach(in.get());
    threads.attach(out.get());
    int status = 0;
    fetch_data data{&settings, in.get(), out.get(), 0, 0, {}};
    if (o.is_header_only) {
        // nothing is read
    } else if (argc == optind + 1) {
        bam1_ptr b = bam1_make();
        int r;
        long long n_read = 0;
        while ((r = samread(in.get(), b.get())) >= 0) {
            ++n_read;
            view_func(b.get(), &data);
        }
        if (r < -1) {
            std::fprintf(stderr, "[main_samview] truncated file.\n");
            bam_report_damage("main_samview", fn_in, n_read, (in->type & TYPE_BAM) ? in->x.bam : nullptr);
            status = 1;
        }
    } else {
        bam_index_t* idx = (in->type & TYPE_BAM) ? bam_index_load(fn_in) : nullptr;
        if (!idx) {
            std::fprintf(stderr, "[main_samview] random alignment retrieval only works for indexed BAM files.\n");
            return 1;
        }
        for (int i = optind + 1; i < argc; ++i) {
            int tid, beg, end;
            if (std::strcmp(argv[i], "*") == 0) {
                data.starts_beg = -1;
                if (bam_fetch_unplaced(in->x.bam, idx, first_record, &data, view_func) < 0) {
                    std::fprintf(stderr,
                                 "[main_samview] retrieval of region \"%s\" failed due to truncated file or corrupt BAM index "
                                 "file\n",
                                 argv[i]);
                    status = 1;
                    break;
                }
                continue;
            }
            bam_parse_region(in->header, argv[i], &tid, &beg, &end);
            if (tid < 0) {
                std::fprintf(stderr, "[main_samview] region \"%s\" specifies an unknown reference name. Continue anyway.\n",
                             argv[i]);
                continue;
            }
            data.starts_beg = o.starts_in_region ? beg : -1;
            data.starts_end = end;
            if (bam_fetch(in->x.bam, idx, tid, beg, end, &data, view_func) < 0) {
                std::fprintf(stderr,
                             "[main_samview] retrieval of region \"%s\" failed due to truncated file or corrupt BAM index file\n",
                             argv[i]);
                status = 1;
                break;
            }
        }
        bam_index_destroy(idx);
    }
    if (data.n_unwritable > 0) {  // never drop them without a word
        std::fprintf(stderr,
                     "[main_samview] %s: %lld records with malformed optional fields were not written (the first is %s).\n",
                     fn_in, data.n_unwritable, data.first_unwritable.c_str());
        status = 1;
    }
    if (o.is_count && status == 0) {
        text_out_t* count_out = text_out_open("-");
        const bool printed = count_out && text_out_printf(count_out, "%lld\n", data.count) == 0;
        if (text_out_close(count_out) < 0 || !printed) {
            std::fprintf(stderr, "[main_samview] fail to write \"standard output\".\n");
            status = 1;
        }
    }
    if (samclose(out.release()) < 0) {
        std::fprintf(stderr, "[main_samview] fail to write \"%s\".\n", o.fn_out ? o.fn_out : "standard output");
        status = 1;
    }
    return status;
}
