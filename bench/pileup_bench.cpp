// Cost of the pileup engine alone: records of a BAM file are decoded into
// memory first, then piled up through the auto form with a consumer that
// only counts; prints nanoseconds per column and per entry.
//
// usage: bench_pileup FILE.bam [MAX_RECORDS] [RUNS]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bam/bam_codec.h"
#include "pileup/bam_pileup.h"

namespace {

struct memory_reader {
    const std::vector<bam1_t*>* recs;
    size_t next = 0;
    static int read(void* data, bam1_t* b) {
        auto* r = static_cast<memory_reader*>(data);
        if (r->next == r->recs->size()) return -1;
        bam_copy1(b, (*r->recs)[r->next++]);
        return 0;
    }
};

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_pileup FILE.bam [MAX_RECORDS] [RUNS]\n");
        return 1;
    }
    const size_t max_records = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1000000;
    const int runs = argc > 3 ? std::atoi(argv[3]) : 3;
    BGZF* fp = bgzf_open(argv[1], "r");
    bam_header_t* h = fp ? bam_header_read(fp) : nullptr;
    if (!h) {
        std::fprintf(stderr, "bench_pileup: cannot read %s\n", argv[1]);
        return 1;
    }
    std::vector<bam1_t*> recs;
    bam1_t* b = bam_init1();
    while (recs.size() < max_records && bam_read1(fp, b) >= 0) recs.push_back(bam_dup1(b));
    bam_destroy1(b);
    bgzf_close(fp);
    bam_header_destroy(h);

    for (int run = 0; run < runs; ++run) {
        memory_reader reader{&recs};
        void* data[1] = {&reader};
        auto t0 = std::chrono::steady_clock::now();
        bam_mplp_t mplp = bam_mplp_init(1, memory_reader::read, data);
        int tid, pos, n_plp[1];
        const bam_pileup1_t* plp[1];
        long long columns = 0, entries = 0, bases = 0;
        while (bam_mplp_auto(mplp, &tid, &pos, n_plp, plp) > 0) {
            ++columns;
            entries += n_plp[0];
            for (int i = 0; i < n_plp[0]; ++i) bases += !plp[0][i].is_del;
        }
        bam_mplp_destroy(mplp);
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        std::printf("%zu records, %lld columns, %lld entries (%lld bases): %.3f s, %.1f ns per column, %.2f ns per entry\n",
                    recs.size(), columns, entries, bases, s, s * 1e9 / static_cast<double>(columns),
                    s * 1e9 / static_cast<double>(entries));
    }
    for (bam1_t* r : recs) bam_destroy1(r);
    return 0;
}
