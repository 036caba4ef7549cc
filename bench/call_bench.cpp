// Costs of the genotype-likelihood core: building the error-model tables
// (once per process), and one SNP site (per-sample likelihoods and the site
// call) as the column depth grows.  Columns are crafted in memory, so the
// figures exclude reading and piling up.
//
// usage: bench_call [RUNS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "bam/bam.h"
#include "call/bam2bcf.h"
#include "call/errmod.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// A 100-base read covering the column at query position `qpos`.
bam1_t* make_read(uint32_t& rng, int qpos) {
    auto next = [&rng] { return rng = rng * 1664525u + 1013904223u; };
    bam1_t* b = bam_init1();
    const int len = 100;
    b->core = bam1_core_t{0, 1000 - qpos, 0, 60, 2, 0, 1, len, -1, -1, 0};
    b->core.flag = (next() >> 16) & 1 ? BAM_FREVERSE : 0;
    b->l_aux = 0;
    b->data_len = rec_data_len(&b->core, 0);
    if (bam_grow_data(b, static_cast<size_t>(b->data_len)) != 0) std::abort();
    std::memcpy(b->data, "r", 2);
    cigar_set(rec_cigar(b), 0, static_cast<uint32_t>(len) << BAM_CIGAR_SHIFT);
    uint8_t* seq = rec_seq(b);
    std::memset(seq, 0, (len + 1) / 2);
    for (int i = 0; i < len; ++i) {
        const uint32_t r = next() >> 16;
        const int code = r % 10 == 0 ? 2 : r % 31 == 0 ? 8 : 1;  // A, 10% C, a few T
        seq[i / 2] |= static_cast<uint8_t>(code << ((~i & 1) << 2));
        rec_qual(b)[i] = static_cast<uint8_t>(10 + (next() >> 16) % 31);
    }
    return b;
}

}  // namespace

int main(int argc, char* argv[]) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 5;

    std::vector<double> init_times;
    for (int r = 0; r < runs; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        errmod_t* em = errmod_init(0.17f);
        init_times.push_back(seconds_since(t0));
        errmod_destroy(em);
    }
    std::sort(init_times.begin(), init_times.end());
    std::printf("errmod_init: min %.3f s, median %.3f s over %d runs (%u hardware threads)\n", init_times.front(),
                init_times[init_times.size() / 2], runs, std::thread::hardware_concurrency());

    bcf_callaux_t* bca = bcf_call_init(-1, 13);
    bcf_callret1_t ret{};
    bcf_call_t bc{};
    std::printf("%8s %12s %12s\n", "depth", "ns/column", "ns/read");
    for (const int depth : {8, 16, 32, 64, 128, 255, 256, 512, 1024, 2048, 4096, 8000}) {
        uint32_t rng = 12345u + static_cast<uint32_t>(depth);
        std::vector<bam1_t*> reads;
        std::vector<bam_pileup1_t> plp(static_cast<size_t>(depth));
        for (int i = 0; i < depth; ++i) {
            const int qpos = static_cast<int>((rng >> 16) % 100);
            reads.push_back(make_read(rng, qpos));
            plp[static_cast<size_t>(i)] = bam_pileup1_t{reads.back(), qpos, 0, 0, 0, 0, 0, 0, 0};
        }
        const long iterations = std::max(20L, 4000000L / depth);
        double best = 1e30;
        for (int r = 0; r < runs; ++r) {
            const auto t0 = std::chrono::steady_clock::now();
            for (long it = 0; it < iterations; ++it) {
                bcf_call_glfgen(depth, plp.data(), 1, bca, &ret);
                bcf_call_combine(1, &ret, 1, &bc);
            }
            best = std::min(best, seconds_since(t0));
        }
        const double ns = best * 1e9 / static_cast<double>(iterations);
        std::printf("%8d %12.0f %12.1f\n", depth, ns, ns / depth);
        for (bam1_t* b : reads) bam_destroy1(b);
    }
    std::free(bc.PL);
    bcf_call_destroy(bca);
    return 0;
}
