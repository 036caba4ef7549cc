// calmd on a large coordinate-sorted BAM with its reference, BAM output at
// the default level:
//   without BAQ against zlib inflating the input blocks plus deflating the
//   output's block inputs, measured in the same run (target: at most 1.2);
//   with BAQ (-r) the added time per record;
// and the peak resident size of calmd -r, read from /usr/bin/time -v.
//
// usage: bench_calmd ALNKIT SORTED.bam REF.fa [RUNS]
// The output goes next to SORTED.bam and is removed at the end.
#include <cstdio>
#include <string>
#include <vector>

#include "command_timer.h"
#include "zlib_floor.h"

using namespace bench;

int main(int argc, char* argv[]) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: bench_calmd ALNKIT SORTED.bam REF.fa [RUNS]\n");
        return 1;
    }
    const std::string alnkit = argv[1], bam = argv[2], ref = argv[3];
    const int runs = argc > 4 ? std::max(1, std::atoi(argv[4])) : 3;
    const std::string out = bam + ".calmd.bam", count = bam + ".count", log = bam + ".time.log";
    time_command({alnkit, "view", "-c", bam}, count);
    const long long n_records = std::atoll(slurp(count).c_str());
    std::vector<double> plain, plain_floor, baq, baq_floor;
    for (int i = 0; i < runs; ++i) {
        plain.push_back(time_command({alnkit, "calmd", "-b", bam, ref}, out, "/dev/null"));
        plain_floor.push_back(zlib_floor({bam}, out));
        baq.push_back(time_command({alnkit, "calmd", "-b", "-r", bam, ref}, out, "/dev/null"));
        baq_floor.push_back(zlib_floor({bam}, out));
    }
    time_command({"/usr/bin/time", "-v", alnkit, "calmd", "-b", "-r", bam, ref}, "/dev/null", log);
    const double peak_mb = static_cast<double>(max_rss_kb(slurp(log))) / 1024.0;
    std::printf("file: %s, %lld records; medians of %d runs\n", bam.c_str(), n_records, runs);
    std::printf("calmd -b    %7.2f s, floor %7.2f s: %.3f times (target <= 1.2 of inflate + deflate)\n", median(plain),
                median(plain_floor), median(plain) / median(plain_floor));
    std::printf("calmd -b -r %7.2f s, floor %7.2f s: %.3f times; BAQ adds %.2f us per record\n", median(baq), median(baq_floor),
                median(baq) / median(baq_floor), (median(baq) - median(plain)) * 1e6 / static_cast<double>(n_records));
    std::printf("peak resident size of calmd -b -r: %.1f MB\n", peak_mb);
    for (const auto& f : {out, count, log}) std::remove(f.c_str());
    return 0;
}
