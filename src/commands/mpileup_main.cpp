// mpileup: options, the input list (-b), the read-group exclusion list (-G),
// the reference (-f) and the position list (-l); the run itself is in
// pileup/bam_plcmd.
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "call/bcf.h"
#include "commands/commands.h"
#include "commands/threads_option.h"
#include "index/bedidx.h"
#include "io/faidx.h"
#include "pileup/bam_plcmd.h"

namespace {

int mpileup_usage(const mplp_conf_t& c) {
    std::FILE* e = stderr;
    std::fprintf(e, "\n");
    std::fprintf(e, "Usage: alnkit mpileup [options] in1.bam [in2.bam [...]]\n\n");
    std::fprintf(e, "Input options:\n\n");
    std::fprintf(e, "       -6           assume the quality is in the Illumina-1.3+ encoding\n");
    std::fprintf(e, "       -A           count anomalous read pairs\n");
    std::fprintf(e, "       -B           disable BAQ computation\n");
    std::fprintf(e, "       -b FILE      list of input BAM files [null]\n");
    std::fprintf(e, "       -C INT       parameter for adjusting mapQ; 0 to disable [0]\n");
    std::fprintf(e, "       -d INT       max per-BAM depth to avoid excessive memory usage [%d]\n", c.max_depth);
    std::fprintf(e, "       -E           extended BAQ for higher sensitivity but lower specificity\n");
    std::fprintf(e, "       -f FILE      faidx indexed reference sequence file [null]\n");
    std::fprintf(e, "       -G FILE      exclude read groups listed in FILE [null]\n");
    std::fprintf(e, "       -l FILE      list of positions (chr pos) or regions (BED) [null]\n");
    std::fprintf(e, "       -M INT       cap mapping quality at INT [%d]\n", c.max_mq);
    std::fprintf(e, "       -r STR       region in which pileup is generated [null]\n");
    std::fprintf(e, "       -R           ignore RG tags\n");
    std::fprintf(e, "       -q INT       skip alignments with mapQ smaller than INT [%d]\n", c.min_mq);
    std::fprintf(e, "       -Q INT       skip bases with baseQ/BAQ smaller than INT [%d]\n", c.min_baseQ);
    std::fprintf(e, "\nOutput options:\n\n");
    std::fprintf(e, "       -D           output per-sample DP in BCF (require -g/-u)\n");
    std::fprintf(e, "       -g           generate BCF output (genotype likelihoods)\n");
    std::fprintf(e, "       -O           output base positions on reads (disabled by -g/-u)\n");
    std::fprintf(e, "       -s           output mapping quality (disabled by -g/-u)\n");
    std::fprintf(e, "       -S           output per-sample strand bias P-value in BCF (require -g/-u)\n");
    std::fprintf(e, "       -u           generate uncompress BCF output\n");
    std::fprintf(e, "\nSNP/INDEL genotype likelihoods options (effective with `-g' or `-u'):\n\n");
    std::fprintf(e, "       -e INT       Phred-scaled gap extension seq error probability [%d]\n", c.extQ);
    std::fprintf(e, "       -F FLOAT     minimum fraction of gapped reads for candidates [%g]\n", c.min_frac);
    std::fprintf(e, "       -h INT       coefficient for homopolymer errors [%d]\n", c.tandemQ);
    std::fprintf(e, "       -I           do not perform indel calling\n");
    std::fprintf(e, "       -L INT       max per-sample depth for INDEL calling [%d]\n", c.max_indel_depth);
    std::fprintf(e, "       -m INT       minimum gapped reads for indel candidates [%d]\n", c.min_support);
    std::fprintf(e, "       -o INT       Phred-scaled gap open sequencing error probability [%d]\n", c.openQ);
    std::fprintf(e, "       -P STR       comma separated list of platforms for indels [all]\n");
    std::fprintf(e, "\n");
    std::fprintf(e, "Notes: Assuming diploid individuals.\n\n");
    return 1;
}

// Base-10 integer; text after the digits is ignored and values beyond the
// int range are clamped.
int parse_int(const char* s) {
    long v = std::strtol(s, nullptr, 10);
    return static_cast<int>(v < INT_MIN ? INT_MIN : v > INT_MAX ? INT_MAX : v);
}

// Whole lines, trailing white space removed, empty lines skipped.  False
// when the file cannot be opened or read (errno set).
bool read_file_list(const char* fn, std::vector<std::string>* names) {
    std::FILE* fp = std::fopen(fn, "r");
    if (!fp) return false;
    char* line = nullptr;
    size_t cap = 0;
    ssize_t len;
    while ((len = getline(&line, &cap, fp)) >= 0) {
        while (len > 0 && std::strchr(" \t\n\r\f\v", line[len - 1])) --len;
        if (len > 0) names->emplace_back(line, static_cast<size_t>(len));
    }
    std::free(line);
    const bool ok = !std::ferror(fp);
    std::fclose(fp);
    return ok;
}

// Adds the white-space separated words of `fn` to `hash` (keys malloc'd).
// False when the file cannot be opened.
bool read_group_list(const char* fn, kh_str2id_t* hash) {
    std::FILE* fp = std::fopen(fn, "r");
    if (!fp) return false;
    std::string word;
    auto add_word = [&] {
        if (word.empty()) return;
        char* key = strdup(word.c_str());
        if (key && bcf_str2id(hash, key) < 0) bcf_str2id_add(hash, key);
        else std::free(key);
        word.clear();
    };
    for (int c; (c = std::fgetc(fp)) != EOF;) {
        if (std::strchr(" \t\n\r\f\v", c)) add_word();
        else word.push_back(static_cast<char>(c));
    }
    add_word();
    std::fclose(fp);
    return true;
}

struct str2id_deleter {
    void operator()(kh_str2id_t* h) const { bcf_str2id_thorough_destroy(h); }
};
struct bed_deleter {
    void operator()(void* bed) const { bed_destroy(bed); }
};

}  // namespace

int bam_mpileup(int argc, char* argv[]) {
    command_threads threads;
    mplp_conf_t conf;
    const char* file_list = nullptr;
    bool use_orphan = false;
    fai_ptr fai;
    std::unique_ptr<void, bed_deleter> bed;
    std::unique_ptr<kh_str2id_t, str2id_deleter> rghash;
    optind = 0;  // the dispatcher may have used getopt before
    int c;
    while ((c = getopt(argc, argv, "Agf:r:l:M:q:Q:uaRC:BDSd:L:b:P:o:e:h:Im:F:EG:6Os@:")) >= 0) {
        switch (c) {
        case '@':
            if (!threads.parse("mpileup", optarg)) return 1;
            break;
        case 'f':
            fai.reset(fai_load(optarg));
            if (!fai) return 1;
            conf.fai = fai.get();
            break;
        case 'd': conf.max_depth = parse_int(optarg); break;
        case 'r': conf.reg = optarg; break;
        case 'l':
            bed.reset(bed_read(optarg));
            if (!bed) {
                std::fprintf(stderr, "[bam_mpileup] fail to read the position list %s.\n", optarg);
                return 1;
            }
            conf.bed = bed.get();
            break;
        case 'P': conf.pl_list = optarg; break;
        case 'g': conf.flag |= MPLP_GLF; break;
        case 'u': conf.flag |= MPLP_NO_COMP | MPLP_GLF; break;
        case 'a': conf.flag |= MPLP_NO_ORPHAN | MPLP_REALN; break;
        case 'B': conf.flag &= ~MPLP_REALN; break;
        case 'D': conf.flag |= MPLP_FMT_DP; break;
        case 'S': conf.flag |= MPLP_FMT_SP; break;
        case 'I': conf.flag |= MPLP_NO_INDEL; break;
        case 'E': conf.flag |= MPLP_EXT_BAQ; break;
        case '6': conf.flag |= MPLP_ILLUMINA13; break;
        case 'R': conf.flag |= MPLP_IGNORE_RG; break;
        case 's': conf.flag |= MPLP_PRINT_MAPQ; break;
        case 'O': conf.flag |= MPLP_PRINT_POS; break;
        case 'C': conf.capQ_thres = parse_int(optarg); break;
        case 'M': conf.max_mq = parse_int(optarg); break;
        case 'q': conf.min_mq = parse_int(optarg); break;
        case 'Q': conf.min_baseQ = parse_int(optarg); break;
        case 'b': file_list = optarg; break;
        case 'o': conf.openQ = parse_int(optarg); break;
        case 'e': conf.extQ = parse_int(optarg); break;
        case 'h': conf.tandemQ = parse_int(optarg); break;
        case 'A': use_orphan = true; break;
        case 'F': conf.min_frac = std::strtod(optarg, nullptr); break;
        case 'm': conf.min_support = parse_int(optarg); break;
        case 'L': conf.max_indel_depth = parse_int(optarg); break;
        case 'G':
            if (!rghash) rghash.reset(bcf_str2id_init());
            if (!read_group_list(optarg, rghash.get()))
                std::fprintf(stderr, "(%s) Fail to open file %s. Continue anyway.\n", "bam_mpileup", optarg);
            conf.rghash = rghash.get();
            break;
        default: return 1;  // getopt has named the option
        }
    }
    if (use_orphan) conf.flag &= ~MPLP_NO_ORPHAN;
    if (argc == 1) return mpileup_usage(conf);

    std::vector<std::string> listed;
    std::vector<char*> fns;
    if (file_list) {
        if (!read_file_list(file_list, &listed)) {
            std::fprintf(stderr, "%s: %s\n", file_list, std::strerror(errno));
            return 1;
        }
        if (listed.empty()) {
            std::fprintf(stderr, "No files read from %s\n", file_list);
            return 1;
        }
        for (std::string& s : listed) fns.push_back(s.data());
    } else {
        for (int i = optind; i < argc; ++i) fns.push_back(argv[i]);
    }
    // Without inputs there is no sample to spread the depth over.
    if (fns.empty()) return mpileup_usage(conf);
    conf.pool = threads.get();
    return mpileup(&conf, static_cast<int>(fns.size()), fns.data());
}
