// flagstat counters and report; see bam_stat.h.
//
// The record walk reads the stream's inflated block in place: the length
// field and core are used where they lie when the block holds them whole
// (nearly always), and gathered with bgzf_read only when they straddle two
// blocks.  Blocks are inflated and checked by the BGZF layer as for any read.
#include "tools/bam_stat.h"

#include <cstdio>

#include "bam/bam.h"

namespace {

constexpr int core_size = 32;
constexpr int head_size = 4 + core_size;  // the block length, then the core

uint32_t load_le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

uint16_t load_le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// The fields of a 32-byte core that the counters use.
bam_flagstat_rec_t decode_core(const uint8_t* core) {
    bam_flagstat_rec_t r;
    r.tid = static_cast<int32_t>(load_le32(core));
    r.qual = core[9];
    r.flag = load_le16(core + 14);
    r.mtid = static_cast<int32_t>(load_le32(core + 20));
    return r;
}

// Points `*head` at the next record's length field and core: inside the
// stream's block when they lie whole in it, else gathered into `buf`.
// Returns 0, or -1 at a clean end, -2 length cut short, -3 core cut short.
int next_head(BGZF* fp, uint8_t* buf, const uint8_t** head) {
    if (fp->block_length - fp->block_offset >= head_size) {
        *head = static_cast<const uint8_t*>(fp->uncompressed_block) + fp->block_offset;
        fp->block_offset += head_size;
        return 0;
    }
    int r = bgzf_read(fp, buf, 4);
    if (r == 0) return -1;
    if (r != 4) return -2;
    if (bgzf_read(fp, buf + 4, core_size) != core_size) return -3;
    *head = buf;
    return 0;
}

// Steps over `n` bytes of the stream without copying them; false when the
// data (or a readable block) ends first.  An empty block ends the data, as
// for bgzf_read.
bool skip_bytes(BGZF* fp, int64_t n) {
    for (;;) {
        const int64_t available = fp->block_length - fp->block_offset;
        if (available >= n) {
            fp->block_offset += static_cast<int>(n);
            return true;
        }
        if (available > 0) n -= available;
        fp->block_offset = fp->block_length;
        if (bgzf_read_block(fp) != 0 || fp->block_length == 0) return false;
    }
}

// The quotient in single precision, then scaled in double precision.
double percent(long long part, long long whole) {
    return static_cast<double>(static_cast<float>(part) / static_cast<float>(whole)) * 100.0;
}

}  // namespace

void bam_flagstat_count(bam_flagstat_t* s, const bam_flagstat_rec_t* r) {
    const uint16_t flag = r->flag;
    const int w = (flag & BAM_FQCFAIL) ? 1 : 0;
    ++s->n_reads[w];
    if (flag & BAM_FPAIRED) {
        ++s->n_pair_all[w];
        if (flag & BAM_FPROPER_PAIR) ++s->n_pair_good[w];
        if (flag & BAM_FREAD1) ++s->n_read1[w];
        if (flag & BAM_FREAD2) ++s->n_read2[w];
        if ((flag & BAM_FMUNMAP) && !(flag & BAM_FUNMAP)) {
            ++s->n_sgltn[w];
        } else if (!(flag & (BAM_FUNMAP | BAM_FMUNMAP))) {
            ++s->n_pair_map[w];
            if (r->mtid != r->tid) {
                ++s->n_diffchr[w];
                if (r->qual >= 5) ++s->n_diffhigh[w];
            }
        }
    }
    if (!(flag & BAM_FUNMAP)) ++s->n_mapped[w];
    if (flag & BAM_FDUP) ++s->n_dup[w];
}

int bam_flagstat_core(BGZF* fp, bam_flagstat_t* s) {
    uint8_t buf[head_size];
    const uint8_t* head;
    int r;
    while ((r = next_head(fp, buf, &head)) == 0) {
        // Read as signed: a length field above 2^31 is as impossible as one below 32.
        const int32_t block_size = static_cast<int32_t>(load_le32(head));
        if (block_size < core_size) {
            r = -4;
            break;
        }
        const bam_flagstat_rec_t rec = decode_core(head + 4);
        if (!skip_bytes(fp, block_size - core_size)) {
            r = -4;
            break;
        }
        bam_flagstat_count(s, &rec);
    }
    if (r != -1) std::fprintf(stderr, "[bam_flagstat_core] Truncated file? Continue anyway.\n");
    return r;
}

int bam_flagstat_print(text_out_t* out, const bam_flagstat_t* s) {
    text_out_printf(out, "%lld + %lld in total (QC-passed reads + QC-failed reads)\n", s->n_reads[0], s->n_reads[1]);
    text_out_printf(out, "%lld + %lld duplicates\n", s->n_dup[0], s->n_dup[1]);
    text_out_printf(out, "%lld + %lld mapped (%.2f%%:%.2f%%)\n", s->n_mapped[0], s->n_mapped[1],
                    percent(s->n_mapped[0], s->n_reads[0]), percent(s->n_mapped[1], s->n_reads[1]));
    text_out_printf(out, "%lld + %lld paired in sequencing\n", s->n_pair_all[0], s->n_pair_all[1]);
    text_out_printf(out, "%lld + %lld read1\n", s->n_read1[0], s->n_read1[1]);
    text_out_printf(out, "%lld + %lld read2\n", s->n_read2[0], s->n_read2[1]);
    text_out_printf(out, "%lld + %lld properly paired (%.2f%%:%.2f%%)\n", s->n_pair_good[0], s->n_pair_good[1],
                    percent(s->n_pair_good[0], s->n_pair_all[0]), percent(s->n_pair_good[1], s->n_pair_all[1]));
    text_out_printf(out, "%lld + %lld with itself and mate mapped\n", s->n_pair_map[0], s->n_pair_map[1]);
    text_out_printf(out, "%lld + %lld singletons (%.2f%%:%.2f%%)\n", s->n_sgltn[0], s->n_sgltn[1],
                    percent(s->n_sgltn[0], s->n_pair_all[0]), percent(s->n_sgltn[1], s->n_pair_all[1]));
    text_out_printf(out, "%lld + %lld with mate mapped to a different chr\n", s->n_diffchr[0], s->n_diffchr[1]);
    return text_out_printf(out, "%lld + %lld with mate mapped to a different chr (mapQ>=5)\n", s->n_diffhigh[0],
                           s->n_diffhigh[1]);
}
