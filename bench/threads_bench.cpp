// Worker threads for BGZF on a large BAM: each command with -@ 0, 1, ... as
// its own process, with the output of every thread count compared byte for
// byte against -@ 0, and the opt-in libdeflate deflation against zlib.
// Floors measured in the same run: zlib inflating the input's blocks (for
// readers) plus deflating the output's block inputs (for writers).
//
// Also the peak resident size of each run (from /usr/bin/time -v).
//
// usage: bench_threads ALNKIT SORTED.bam [RUNS] [MAX_THREADS] [UNSORTED.bam]
// sort takes UNSORTED.bam when given (a sorted input spares it most
// comparisons), else SORTED.bam.
// Outputs go next to SORTED.bam (a SAM copy of it among them) and are
// removed at the end.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "command_timer.h"
#include "zlib_floor.h"

using namespace bench;

namespace {

struct job {
    const char* name;
    std::vector<std::string> args;  // after the command name, with OUT for the output
    std::string output;             // file compared across thread counts ("" for standard output)
};

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_threads ALNKIT SORTED.bam [RUNS] [MAX_THREADS] [UNSORTED.bam]\n");
        return 1;
    }
    const std::string alnkit = argv[1], bam = argv[2];
    const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
    const int max_threads = argc > 4 ? std::max(0, std::atoi(argv[4])) : 1;
    const std::string sort_input = argc > 5 ? argv[5] : bam;
    const std::string out = bam + ".threads.bam", sorted_prefix = bam + ".threads.sort", sam = bam + ".threads.sam",
                      log = bam + ".threads.log";
    time_command({alnkit, "view", "-h", "-o", sam, bam});

    const std::string file = slurp(bam);
    const auto blocks = list_blocks(file);
    std::vector<double> inflate;
    for (int i = 0; i < runs; ++i) inflate.push_back(zlib_inflate_all(file, blocks, nullptr));
    std::printf("file: %s, %.1f MB compressed; medians of %d runs; zlib inflate %.2f s\n", bam.c_str(),
                static_cast<double>(file.size()) / 1e6, runs, median(inflate));

    const std::vector<job> jobs = {
        {"view -b", {"view", "-b", "-o", out, bam}, out},
        {"view -bS", {"view", "-bS", "-o", out, sam}, out},
        {"sort -m 1G", {"sort", "-m", "1G", sort_input, sorted_prefix}, sorted_prefix + ".bam"},
        {"merge", {"merge", "-f", out, bam, bam}, out},
        {"view -c", {"view", "-c", bam}, ""},
        {"flagstat", {"flagstat", bam}, ""},
        {"index", {"index", bam, out}, out},
    };
    for (const job& j : jobs) {
        std::string reference;
        double floor = 0;
        for (int t = 0; t <= max_threads; ++t) {
            std::vector<std::string> cmd = {alnkit, j.args[0], "-@", std::to_string(t)};
            cmd.insert(cmd.end(), j.args.begin() + 1, j.args.end());
            std::vector<double> times;
            for (int i = 0; i < runs; ++i) times.push_back(time_command(cmd));
            std::vector<std::string> timed = {"/usr/bin/time", "-v"};
            timed.insert(timed.end(), cmd.begin(), cmd.end());
            time_command(timed, "/dev/null", log);
            const double peak_mb = static_cast<double>(max_rss_kb(slurp(log))) / 1024.0;
            if (t == 0) {
                // SAM input has no blocks to inflate: its floor is the deflation alone.
                const std::vector<std::string> inputs = j.args[1] == "-bS"     ? std::vector<std::string>{}
                                                        : j.args[0] == "merge" ? std::vector<std::string>{bam, bam}
                                                        : j.args[0] == "sort"  ? std::vector<std::string>{sort_input}
                                                                               : std::vector<std::string>{bam};
                floor = j.output.empty() || j.args[0] == "index" ? median(inflate) : zlib_floor(inputs, j.output);
                reference = j.output.empty() ? "" : slurp(j.output);
            }
            const bool same = j.output.empty() || slurp(j.output) == reference;
            std::printf("%-11s -@ %d: %7.2f s, %.3f of the floor (%.2f s), peak %.1f MB%s\n", j.name, t, median(times),
                        median(times) / floor, floor, peak_mb, same ? "" : "  OUTPUT DIFFERS");
            std::fflush(stdout);
        }
    }

    // Deflation engines on one thread: the same commands with zlib and with
    // libdeflate.
    for (const job& j : {jobs[0], jobs[2]}) {
        std::vector<double> zlib_times, fast_times;
        for (int i = 0; i < runs; ++i) {
            std::vector<std::string> cmd = {alnkit};
            cmd.insert(cmd.end(), j.args.begin(), j.args.end());
            zlib_times.push_back(time_command(cmd));
            cmd.insert(cmd.begin(), {"/usr/bin/env", "ALNKIT_DEFLATE=libdeflate"});
            fast_times.push_back(time_command(cmd));
        }
        std::printf("%-11s one thread: zlib %.2f s, libdeflate %.2f s: %.3f of the zlib time (output %.1f MB)\n", j.name,
                    median(zlib_times), median(fast_times), median(fast_times) / median(zlib_times),
                    static_cast<double>(slurp(j.output).size()) / 1e6);
    }
    for (const auto& f : {out, sorted_prefix + ".bam", sam, log}) std::remove(f.c_str());
    return 0;
}
