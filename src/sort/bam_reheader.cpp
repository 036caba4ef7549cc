// reheader: header replacement at the block level; see bam_reheader.h.
#include "sort/bam_reheader.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "bam/bam_codec.h"
#include "bam/bam_import.h"
#include "sort/bam_cat.h"

namespace {

// Copies the input's remaining compressed bytes to the output file.
int copy_blocks(BGZF* in, BGZF* out) {
    std::vector<uint8_t> buf(BAM_CAT_BUFFER_SIZE);
    bgzf_block_walk_t walk;
    for (;;) {
        ssize_t len = knet_read(in->x.fpr, buf.data(), buf.size());
        if (len < 0) return BAM_REHEADER_BAD_INPUT;
        if (len == 0) break;
        if (!bgzf_block_walk_feed(&walk, buf.data(), static_cast<size_t>(len))) return BAM_REHEADER_BAD_INPUT;
        if (bgzf_write_raw(out, buf.data(), static_cast<size_t>(len)) != 0) return BAM_REHEADER_WRITE_FAILED;
    }
    return bgzf_block_walk_is_complete(&walk) ? 0 : BAM_REHEADER_BAD_INPUT;
}

}  // namespace

int bam_reheader(BGZF* in, const bam_header_t* h, int fd) {
    if (!in || in->open_mode != 'r') return BAM_REHEADER_NOT_READABLE;
    bam_header_ptr old(bam_header_read(in));
    if (!old) return BAM_REHEADER_BAD_INPUT;
    BGZF* out = bgzf_fdopen(fd, "w");
    if (!out) return BAM_REHEADER_WRITE_FAILED;
    int status = 0;
    if (bam_header_write(out, h) != 0 || out->block_offset != 0 || bgzf_flush_block_rest(in, out) != 0)
        status = BAM_REHEADER_WRITE_FAILED;
    if (status == 0) status = copy_blocks(in, out);
    if (status != 0) {
        bgzf_abandon(out);
        return status;
    }
    out->block_offset = 0;  // nothing may follow the copied blocks but the end-of-file block
    return bgzf_close(out) == 0 ? 0 : BAM_REHEADER_WRITE_FAILED;
}
