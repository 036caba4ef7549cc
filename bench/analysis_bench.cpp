// phase and targetcut on a large coordinate-sorted BAM, each as a ratio to
// zlib inflating the file's blocks, measured in the same run; phase -b also
// against inflating plus deflating the block inputs of its outputs.  Then the
// peak resident size (/usr/bin/time -v) of both commands on that file, and
// of targetcut on fosmid-pool-like reads over one reference of 250 Mbp, for
// which it keeps two bytes per position.
//
// usage: bench_analysis ALNKIT SORTED.bam [RUNS]
// Outputs go next to SORTED.bam and are removed at the end.
#include <cstdio>
#include <string>
#include <vector>

#include "command_timer.h"
#include "zlib_floor.h"

using namespace bench;

namespace {

double peak_mb(const std::vector<std::string>& command, const std::string& log) {
    std::vector<std::string> argv = {"/usr/bin/time", "-v"};
    argv.insert(argv.end(), command.begin(), command.end());
    time_command(argv, "/dev/null", log);
    return static_cast<double>(max_rss_kb(slurp(log))) / 1024.0;
}

void report(const char* name, const std::vector<double>& t, const std::vector<double>& floor, const char* what) {
    std::printf("%-10s %7.2f s, floor %7.2f s: %.3f times %s\n", name, median(t), median(floor), median(t) / median(floor), what);
}

// Reads of 100 bases every 20 positions over 25 stretches of 40 kbp spread
// along one reference of 250 Mbp, as SAM text.
std::string fosmid_pool_sam() {
    const long long ref_len = 250'000'000;
    std::string sam = "@HD\tVN:1.0\tSO:coordinate\n@SQ\tSN:pool\tLN:" + std::to_string(ref_len) + "\n";
    const std::string seq(100, 'A'), qual(100, 'I');
    long long serial = 0;
    for (long long beg = 1'000'000; beg + 40'000 < ref_len; beg += 10'000'000)
        for (long long p = beg; p + 100 <= beg + 40'000; p += 20) {
            sam.append("r").append(std::to_string(serial++)).append("\t0\tpool\t").append(std::to_string(p + 1));
            sam.append("\t60\t100M\t*\t0\t0\t").append(seq).append("\t").append(qual).append("\n");
        }
    return sam;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_analysis ALNKIT SORTED.bam [RUNS]\n");
        return 1;
    }
    const std::string alnkit = argv[1], bam = argv[2];
    const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
    const std::string prefix = bam + ".phase", log = bam + ".time.log", pool_sam = bam + ".pool.sam",
                      pool_bam = bam + ".pool.bam";
    const std::string outputs[3] = {prefix + ".0.bam", prefix + ".1.bam", prefix + ".chimera.bam"};

    const std::string file = slurp(bam);
    const auto blocks = list_blocks(file);
    std::vector<double> inflate, phase, phase_b, phase_b_floor, cut;
    for (int i = 0; i < runs; ++i) {
        inflate.push_back(zlib_inflate_all(file, blocks, nullptr));
        phase.push_back(time_command({alnkit, "phase", bam}));
        phase_b.push_back(time_command({alnkit, "phase", "-b", prefix, bam}));
        double floor = zlib_floor({bam}, outputs[0]);
        for (int k = 1; k < 3; ++k) floor += zlib_floor({}, outputs[k]);
        phase_b_floor.push_back(floor);
        cut.push_back(time_command({alnkit, "targetcut", bam}));
    }
    std::printf("file: %s, %.1f MB compressed; medians of %d runs\n", bam.c_str(), static_cast<double>(file.size()) / 1e6, runs);
    report("phase", phase, inflate, "of zlib inflate");
    report("phase -b", phase_b, phase_b_floor, "of inflate + deflate of the outputs");
    report("targetcut", cut, inflate, "of zlib inflate");
    const double phase_mb = peak_mb({alnkit, "phase", bam}, log);
    const double cut_mb = peak_mb({alnkit, "targetcut", bam}, log);
    std::printf("peak resident size: phase %.1f MB, targetcut %.1f MB\n", phase_mb, cut_mb);

    {
        std::FILE* fp = std::fopen(pool_sam.c_str(), "w");
        const std::string text = fosmid_pool_sam();
        if (!fp || std::fwrite(text.data(), 1, text.size(), fp) != text.size() || std::fclose(fp) != 0) {
            std::fprintf(stderr, "bench: cannot write %s\n", pool_sam.c_str());
            return 1;
        }
    }
    time_command({alnkit, "view", "-bS", "-o", pool_bam, pool_sam}, "/dev/null", "/dev/null");
    const double t_pool = time_command({alnkit, "targetcut", pool_bam});
    const double pool_mb = peak_mb({alnkit, "targetcut", pool_bam}, log);
    std::printf("targetcut, one 250 Mbp reference with 25 covered stretches: %.2f s, peak resident size %.1f MB\n", t_pool,
                pool_mb);
    for (const auto& f : {outputs[0], outputs[1], outputs[2], log, pool_sam, pool_bam}) std::remove(f.c_str());
    return 0;
}
