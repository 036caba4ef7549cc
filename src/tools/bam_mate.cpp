// fixmate over a BAM stream; see bam_mate.h.
#include "tools/bam_mate.h"

#include <cstring>
#include <utility>

#include "bam/bam_codec.h"

namespace {

// The 5' end of a mapped record: its position when forward, one past its
// last reference base when reverse.
int64_t five_prime_end(const bam1_t* b) {
    return rec_is_reverse(b) ? static_cast<int64_t>(bam_calend(&b->core, rec_cigar(b))) : b->core.pos;
}

// What a record says about its mate as seen from the other one: `b`'s mate is `mate`.
void copy_mate_strand(bam1_t* b, const bam1_t* mate) {
    if (rec_is_reverse(mate)) b->core.flag |= BAM_FMREVERSE;
    else b->core.flag &= static_cast<uint16_t>(~BAM_FMREVERSE);
}

void mark_mate_unmapped(bam1_t* b) {
    b->core.flag |= BAM_FMUNMAP;
    b->core.flag &= static_cast<uint16_t>(~BAM_FPROPER_PAIR);
}

bool is_unmapped(const bam1_t* b) { return b->core.flag & BAM_FUNMAP; }

// True when the output has failed; nothing written after that can reach it.
bool has_write_failed(const BGZF* out) { return out->error != nullptr; }

// The record went into the output's buffer and no write has failed so far
// (a failed block write leaves its error in the stream).
bool write_record(BGZF* out, const bam1_t* b) { return bam_write1(out, b) >= 0 && !has_write_failed(out); }

}  // namespace

void bam_mating_pair(bam1_t* pre, bam1_t* cur) {
    bam1_core_t* p = &pre->core;
    bam1_core_t* c = &cur->core;
    c->mtid = p->tid;
    c->mpos = p->pos;
    p->mtid = c->tid;
    p->mpos = c->pos;
    // Both flags as they came in: the mate-unmapped marks set below do not count.
    constexpr uint16_t either_unmapped = BAM_FUNMAP | BAM_FMUNMAP;
    if (p->tid == c->tid && !(p->flag & either_unmapped) && !(c->flag & either_unmapped)) {
        const int64_t pre5 = five_prime_end(pre), cur5 = five_prime_end(cur);
        c->isize = static_cast<int32_t>(pre5 - cur5);
        p->isize = static_cast<int32_t>(cur5 - pre5);
    } else {
        c->isize = p->isize = 0;
    }
    copy_mate_strand(cur, pre);
    copy_mate_strand(pre, cur);
    // A mapped mate leaves 0x8 as it was.
    if (is_unmapped(cur)) mark_mate_unmapped(pre);
    if (is_unmapped(pre)) mark_mate_unmapped(cur);
}

void bam_mating_lone(bam1_t* b) {
    bam1_core_t* c = &b->core;
    c->mtid = -1;
    c->mpos = -1;
    c->isize = 0;
    if (c->flag & BAM_FPAIRED) {
        mark_mate_unmapped(b);
        c->flag &= static_cast<uint16_t>(~BAM_FMREVERSE);
    }
}

int bam_mating_core(BGZF* in, BGZF* out, long long* n_records) {
    if (n_records) *n_records = 0;
    bam_header_ptr header(bam_header_read(in));
    if (!header) return BAM_MATING_BAD_HEADER;
    if (bam_header_write(out, header.get()) < 0 || has_write_failed(out)) return BAM_MATING_WRITE_FAILED;
    bam1_ptr slots[2] = {bam1_make(), bam1_make()};
    if (!slots[0] || !slots[1]) return BAM_MATING_WRITE_FAILED;  // out of memory: no record can be written
    bam1_t* cur = slots[0].get();
    bam1_t* pre = slots[1].get();
    bool has_prev = false;
    long long n_read = 0;
    int r;
    bool is_written = true;
    while ((r = bam_read1_bounded(in, cur, header->n_targets)) >= 0) {
        ++n_read;
        if (!has_prev) {
            has_prev = true;
        } else if (std::strcmp(rec_qname(pre), rec_qname(cur)) == 0) {
            bam_mating_pair(pre, cur);
            is_written = write_record(out, pre) && write_record(out, cur);
            has_prev = false;
        } else {
            bam_mating_lone(pre);
            is_written = write_record(out, pre);
        }
        if (!is_written) break;
        // The record just read waits (or, once written, is free to reuse).
        std::swap(cur, pre);
    }
    if (n_records) *n_records = n_read;
    if (!is_written) return BAM_MATING_WRITE_FAILED;
    if (has_prev) {
        bam_mating_lone(pre);
        if (!write_record(out, pre)) return BAM_MATING_WRITE_FAILED;
    }
    return r == -1 ? BAM_MATING_OK : BAM_MATING_TRUNCATED;
}
