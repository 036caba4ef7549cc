// The read utilities on a large coordinate-sorted BAM, each as a ratio to a
// zlib floor measured in the same run:
//   flagstat and depth against inflating the file's blocks with zlib
//   (targets: at most 0.6 and 1.5 times);
//   rmdup, and fixmate on the same records sorted by name, against zlib
//   inflating the input blocks plus deflating the output's block inputs at
//   the default level (target: at most 1.2 times);
// and the peak resident size of depth and rmdup, read from /usr/bin/time -v
// (target: below 100 MB).
//
// usage: bench_tools ALNKIT SORTED.bam [RUNS] [reading]
// With "reading" only flagstat and depth run (no name sort, no writers).
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

void report(const char* name, const std::vector<double>& t, const std::vector<double>& floor, const char* target) {
    std::printf("%-9s %7.2f s, floor %7.2f s: %.3f times (target %s)\n", name, median(t), median(floor),
                median(t) / median(floor), target);
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_tools ALNKIT SORTED.bam [RUNS] [reading]\n");
        return 1;
    }
    const std::string alnkit = argv[1], bam = argv[2];
    const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
    const bool reading_only = argc > 4 && std::string(argv[4]) == "reading";
    const std::string by_name = bam + ".byname", rmdup_out = bam + ".rmdup.bam", fixmate_out = bam + ".fixmate.bam",
                      log = bam + ".time.log";
    if (!reading_only) time_command({alnkit, "sort", "-n", "-m", "2G", bam, by_name});

    const std::string file = slurp(bam);
    const auto blocks = list_blocks(file);
    std::vector<double> inflate, flagstat, depth, rmdup, rmdup_floor, fixmate, fixmate_floor;
    for (int i = 0; i < runs; ++i) {
        inflate.push_back(zlib_inflate_all(file, blocks, nullptr));
        flagstat.push_back(time_command({alnkit, "flagstat", bam}));
        depth.push_back(time_command({alnkit, "depth", bam}));
        if (reading_only) continue;
        rmdup.push_back(time_command({alnkit, "rmdup", bam, rmdup_out}, "/dev/null", log));
        rmdup_floor.push_back(zlib_floor({bam}, rmdup_out));
        fixmate.push_back(time_command({alnkit, "fixmate", by_name + ".bam", fixmate_out}));
        fixmate_floor.push_back(zlib_floor({by_name + ".bam"}, fixmate_out));
    }
    const double depth_mb = peak_mb({alnkit, "depth", bam}, log);
    std::printf("file: %s, %.1f MB compressed; medians of %d runs\n", bam.c_str(), static_cast<double>(file.size()) / 1e6, runs);
    report("flagstat", flagstat, inflate, "<= 0.6 of zlib inflate");
    report("depth", depth, inflate, "<= 1.5 of zlib inflate");
    if (reading_only) {
        std::printf("peak resident size: depth %.1f MB (target < 100)\n", depth_mb);
        std::remove(log.c_str());
        return 0;
    }
    const double rmdup_mb = peak_mb({alnkit, "rmdup", bam, rmdup_out}, log);
    report("rmdup", rmdup, rmdup_floor, "<= 1.2 of inflate + deflate");
    report("fixmate", fixmate, fixmate_floor, "<= 1.2 of inflate + deflate");
    std::printf("peak resident size: depth %.1f MB, rmdup %.1f MB (target < 100)\n", depth_mb, rmdup_mb);
    for (const auto& f : {by_name + ".bam", rmdup_out, fixmate_out, log}) std::remove(f.c_str());
    return 0;
}
