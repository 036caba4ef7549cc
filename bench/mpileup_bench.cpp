// mpileup on a large coordinate-sorted BAM with its reference:
//   text pileup without BAQ (-B -f) against zlib inflating the file's blocks
//   (target: at most 2.5 times), and the same without a reference;
//   text pileup with BAQ, and BCF output (-g -f, with BAQ and with -B), as
//   reads per second;
//   peak resident size of text -B and of -g with BAQ, read from
//   /usr/bin/time -v (target: one reference sequence plus 100 MB).
//
// usage: bench_mpileup ALNKIT SORTED.bam REF.fa [RUNS] [text]
// The text runs without BAQ and the floor are repeated RUNS times (default
// 3, medians reported); the BAQ and BCF runs go once.  With "text" only
// those without BAQ run.
#include <cstdio>
#include <string>
#include <vector>

#include "command_timer.h"
#include "zlib_floor.h"

using namespace bench;

namespace {

// Runs `command` under /usr/bin/time -v: seconds, and the peak resident
// size in MB into *mb.
double timed_with_peak(const std::vector<std::string>& command, const std::string& log, double* mb) {
    std::vector<std::string> argv = {"/usr/bin/time", "-v"};
    argv.insert(argv.end(), command.begin(), command.end());
    const double t = time_command(argv, "/dev/null", log);
    *mb = static_cast<double>(max_rss_kb(slurp(log))) / 1024.0;
    return t;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: bench_mpileup ALNKIT SORTED.bam REF.fa [RUNS] [text]\n");
        return 1;
    }
    const std::string alnkit = argv[1], bam = argv[2], ref = argv[3];
    const int runs = argc > 4 ? std::max(1, std::atoi(argv[4])) : 3;
    const bool text_only = argc > 5 && std::string(argv[5]) == "text";
    const std::string log = bam + ".mpileup.log", count = bam + ".count";

    time_command({alnkit, "view", "-c", bam}, count);
    const double n_reads = std::atof(slurp(count).c_str());
    const std::string file = slurp(bam);
    const auto blocks = list_blocks(file);
    std::vector<double> inflate, text, text_noref;
    for (int i = 0; i < runs; ++i) {
        inflate.push_back(zlib_inflate_all(file, blocks, nullptr));
        text.push_back(time_command({alnkit, "mpileup", "-B", "-f", ref, bam}, "/dev/null", log));
        text_noref.push_back(time_command({alnkit, "mpileup", "-B", bam}, "/dev/null", log));
    }
    const double floor = median(inflate);
    std::printf("file: %s, %.1f MB compressed, %.0f records; floor (zlib inflate) %.2f s, median of %d runs\n", bam.c_str(),
                static_cast<double>(file.size()) / 1e6, n_reads, floor, runs);
    std::printf("text -B -f   %8.2f s: %.3f times the floor (target <= 2.5), %.0f reads/s\n", median(text), median(text) / floor,
                n_reads / median(text));
    std::printf("text -B      %8.2f s: %.3f times the floor, %.0f reads/s\n", median(text_noref), median(text_noref) / floor,
                n_reads / median(text_noref));
    std::fflush(stdout);
    double text_mb = 0, baq_mb = 0, glf_mb = 0, glf_nobaq_mb = 0;
    timed_with_peak({alnkit, "mpileup", "-B", "-f", ref, bam}, log, &text_mb);
    if (!text_only) {
        const double baq = timed_with_peak({alnkit, "mpileup", "-f", ref, bam}, log, &baq_mb);
        std::printf("text -f (BAQ)%8.2f s: %.0f reads/s\n", baq, n_reads / baq);
        std::fflush(stdout);
        const double glf_nobaq = timed_with_peak({alnkit, "mpileup", "-g", "-B", "-f", ref, bam}, log, &glf_nobaq_mb);
        std::printf("-g -B -f     %8.2f s: %.0f reads/s\n", glf_nobaq, n_reads / glf_nobaq);
        std::fflush(stdout);
        const double glf = timed_with_peak({alnkit, "mpileup", "-g", "-f", ref, bam}, log, &glf_mb);
        std::printf("-g -f (BAQ)  %8.2f s: %.0f reads/s\n", glf, n_reads / glf);
    }
    std::printf("peak resident size: text -B -f %.1f MB, text -f %.1f MB, -g -B -f %.1f MB, -g -f %.1f MB\n", text_mb, baq_mb,
                glf_nobaq_mb, glf_mb);
    std::remove(log.c_str());
    std::remove(count.c_str());
    return 0;
}
