// idxstats: mapped and unmapped record counts per reference, from the
// metadata the index keeps.
#include "commands/commands.h"

#include <cstdio>

#include "bam/bam_codec.h"
#include "index/bam_index.h"
#include "io/text_out.h"

int bam_idxstats(int argc, char* argv[]) {
    if (argc < 2) {
        std::fprintf(stderr, "Usage: alnkit idxstats <in.bam>\n");
        return 1;
    }
    bam_header_ptr header;
    if (BGZF* fp = bgzf_open(argv[1], "r")) {
        header.reset(bam_header_read(fp));
        bgzf_close(fp);
    }
    if (!header) {
        std::fprintf(stderr, "[%s] fail to open BAM.\n", "bam_idxstats");
        return 1;
    }
    bam_index_ptr idx(bam_index_load(argv[1]));
    if (!idx) {
        std::fprintf(stderr, "[%s] fail to load the index.\n", "bam_idxstats");
        return 1;
    }
    // An index with references the header lacks belongs to another file.
    if (idx->n > header->n_targets) {
        std::fprintf(stderr, "[%s] the index lists %d references but the BAM header only %d.\n", "bam_idxstats", idx->n,
                     header->n_targets);
        return 1;
    }
    text_out_ptr out(text_out_open("-"));
    if (!out) return 1;
    for (int32_t i = 0; i < idx->n; ++i) {
        text_out_printf(out.get(), "%s\t%d", header->target_name[i], static_cast<int>(header->target_len[i]));
        const kh_i_t* h = idx->index[i];
        khint_t k = h->get(bam_meta_bin);
        // A metadata bin without its count pair (a foreign or damaged index) counts as absent.
        if (k != h->end() && h->value(k).n >= 2)
            text_out_printf(out.get(), "\t%llu\t%llu", static_cast<unsigned long long>(h->value(k).list[1].u),
                            static_cast<unsigned long long>(h->value(k).list[1].v));
        else text_out_puts(out.get(), "\t0\t0");
        text_out_putc(out.get(), '\n');
    }
    text_out_printf(out.get(), "*\t0\t0\t%llu\n", static_cast<unsigned long long>(idx->n_no_coor));
    if (text_out_close(out.release()) < 0) {
        std::fprintf(stderr, "[%s] fail to write \"standard output\".\n", "bam_idxstats");
        return 1;
    }
    return 0;
}
