// Command speed on a large BAM, each as a ratio to a zlib floor measured in
// the same run: view -c and index against inflating the file's blocks with
// zlib (targets: faster than the floor), BAM -> SAM against the same floor
// (target: at most 1.5 times), SAM -> BAM at the default level against
// deflating the BAM stream's blocks with zlib (target: at most 1.2 times).
//
// usage: bench_view ALNKIT FILE.bam FILE.sam [RUNS]
// FILE.bam must be FILE.sam converted at the default level.
#include <cstdio>
#include <string>
#include <vector>

#include "command_timer.h"
#include "zlib_floor.h"

using namespace bench;

int main(int argc, char* argv[]) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: bench_view ALNKIT FILE.bam FILE.sam [RUNS]\n");
        return 1;
    }
    const std::string alnkit = argv[1], bam = argv[2], sam = argv[3];
    const int runs = argc > 4 ? std::max(1, std::atoi(argv[4])) : 5;
    const std::string file = slurp(bam);
    const auto blocks = list_blocks(file);
    std::string stream;
    zlib_inflate_all(file, blocks, &stream);
    std::vector<size_t> inputs;
    for (const auto& b : blocks)
        if (b.isize) inputs.push_back(b.isize);

    std::vector<double> inflate, deflate, count, to_sam, to_bam, index;
    for (int i = 0; i < runs; ++i) {
        inflate.push_back(zlib_inflate_all(file, blocks, nullptr));
        deflate.push_back(zlib_deflate_blocks(stream, inputs));
        count.push_back(time_command({alnkit, "view", "-c", bam}));
        to_sam.push_back(time_command({alnkit, "view", bam}));
        to_bam.push_back(time_command({alnkit, "view", "-bS", "-o", "/dev/null", sam}));
        index.push_back(time_command({alnkit, "index", bam, bam + ".bench.bai"}));
    }
    std::remove((bam + ".bench.bai").c_str());
    const double fi = median(inflate), fd = median(deflate);
    std::printf("file: %s, %.1f MB compressed, %.1f MB uncompressed; medians of %d runs\n", bam.c_str(),
                static_cast<double>(file.size()) / 1e6, static_cast<double>(stream.size()) / 1e6, runs);
    std::printf("floor: zlib inflate of the blocks %.2f s; zlib deflate of the blocks %.2f s\n", fi, fd);
    std::printf("view -c      %.2f s  %.2f times the inflate floor (target < 1)\n", median(count), median(count) / fi);
    std::printf("BAM -> SAM   %.2f s  %.2f times the inflate floor (target <= 1.5)\n", median(to_sam), median(to_sam) / fi);
    std::printf("SAM -> BAM   %.2f s  %.3f times the deflate floor (target <= 1.2)\n", median(to_bam), median(to_bam) / fd);
    std::printf("index        %.2f s  %.2f times the inflate floor (target < 1)\n", median(index), median(index) / fi);
    return 0;
}
