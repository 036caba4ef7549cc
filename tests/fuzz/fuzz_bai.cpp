// Fuzzes decoding a BAM index and querying every reference it lists.
#include <cstdint>

#include "index/bam_index.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    bai_status status;
    bam_index_t* idx = bam_index_decode(data, size, &status);
    if (!idx) return 0;
    for (int tid = 0; tid < idx->n; ++tid) {
        bam_iter_t iter = bam_iter_query(idx, tid, 0, 1 << 29);
        bam_iter_destroy(iter);
        iter = bam_iter_query(idx, tid, 100000, 100500);
        bam_iter_destroy(iter);
    }
    bam_index_destroy(idx);
    return 0;
}
