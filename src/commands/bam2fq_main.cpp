// bam2fq: writes the records of a BAM file as FASTQ, reverse-strand reads
// reverse-complemented back to their sequenced orientation.
#include "commands/commands.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "bam/bam.h"
#include "bam/bam_codec.h"
#include "commands/threads_option.h"
#include "containers/kstring.h"
#include "io/text_out.h"

namespace {

// Complement of each 4-bit base code: = A C M G R S V T W Y H K D B N.
constexpr uint8_t nt16_complement[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};

void append_fastq(kstring_t* s, const bam1_t* b) {
    const bam1_core_t* c = &b->core;
    kputc('@', s);
    kputs(rec_qname(b), s);
    int mate = c->flag & (BAM_FREAD1 | BAM_FREAD2);
    if (mate == BAM_FREAD1) kputsn("/1", 2, s);
    else if (mate == BAM_FREAD2) kputsn("/2", 2, s);
    kputc('\n', s);
    const uint8_t* seq = rec_seq(b);
    const uint8_t* qual = rec_qual(b);
    const int n = c->l_qseq;
    const bool reverse = c->flag & BAM_FREVERSE;
    ks_reserve(s, s->l + 2 * static_cast<size_t>(n) + 8);
    for (int i = 0; i < n; ++i) {
        int code = reverse ? nt16_complement[rec_seqi(seq, n - 1 - i)] : rec_seqi(seq, i);
        s->s[s->l++] = bam_nt16_rev_table[code];
    }
    s->s[s->l++] = '\n';
    s->s[s->l++] = '+';
    s->s[s->l++] = '\n';
    for (int i = 0; i < n; ++i) s->s[s->l++] = static_cast<char>((reverse ? qual[n - 1 - i] : qual[i]) + 33);
    s->s[s->l++] = '\n';
    s->s[s->l] = 0;
}

}  // namespace

int main_bam2fq(int argc, char* argv[]) {
    command_threads threads;
    int c;
    optind = 0;  // the dispatcher may have used getopt before
    while ((c = getopt(argc, argv, "@:")) >= 0)
        if (c != '@' || !threads.parse("main_bam2fq", optarg)) return 1;
    if (optind >= argc) {
        std::fprintf(stderr, "Usage: alnkit bam2fq <in.bam>\n");
        return 1;
    }
    const char* fn = argv[optind];
    BGZF* fp = std::strcmp(fn, "-") == 0 ? bgzf_fdopen(STDIN_FILENO, "r") : bgzf_open(fn, "r");
    if (!fp) return 1;
    threads.attach(fp);
    bam_header_t* h = bam_header_read(fp);
    if (!h) {  // the reader has said why
        bgzf_close(fp);
        return 1;
    }
    text_out_ptr out(text_out_open("-"));
    if (!out) {
        bam_header_destroy(h);
        bgzf_close(fp);
        return 1;
    }
    bam1_ptr b = bam1_make();
    kstring_owner s;
    int r = -1;
    long long n_read = 0;
    // Once the output has failed nothing more can reach it: stop reading.
    while (!text_out_has_failed(out.get()) && (r = bam_read1_bounded(fp, b.get(), h->n_targets)) >= 0) {
        ++n_read;
        s->l = 0;
        append_fastq(s.get(), b.get());
        text_out_write(out.get(), s->s, s->l);
    }
    bam_header_destroy(h);
    int status = 0;
    if (!text_out_has_failed(out.get()) && r < -1) {  // a cut input must not look like a complete conversion
        std::fprintf(stderr, "[main_bam2fq] truncated file.\n");
        bam_report_damage("main_bam2fq", fn, n_read, fp);
        status = 1;
    }
    bgzf_close(fp);
    if (text_out_close(out.release()) < 0) {
        std::fprintf(stderr, "[main_bam2fq] fail to write \"standard output\".\n");
        status = 1;
    }
    return status;
}
