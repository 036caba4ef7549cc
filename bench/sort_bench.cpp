// Sort, merge, cat and reheader on large BAM files, each as a ratio to a
// floor measured in the same run:
//   sort of an unsorted BAM that fits in memory (-m 4G) and merge of four
//   sorted BAMs against zlib inflating the input blocks plus zlib deflating
//   the output's block inputs at the default level (targets: at most 1.3 and
//   1.2 times);
//   cat of the four sorted BAMs and reheader of the first against copying the
//   same bytes from file to file (target: at least 0.7 times the copy
//   throughput);
// and the peak resident size of `sort -m 100M` on the unsorted BAM, read
// from /usr/bin/time -v (target: below 250 MB for an input over 1 GB).
//
// usage: bench_sort ALNKIT UNSORTED.bam SORTED1.bam SORTED2.bam SORTED3.bam SORTED4.bam [RUNS]
// Outputs go next to UNSORTED.bam and are removed at the end.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "command_timer.h"
#include "zlib_floor.h"

namespace {

using namespace bench;

// Plain file copy of the inputs, concatenated, into `out`; returns seconds.
double copy_files(const std::vector<std::string>& inputs, const std::string& out) {
    std::vector<char> buf(65536);
    auto t0 = clock_type::now();
    int fo = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    for (const auto& in : inputs) {
        int fi = open(in.c_str(), O_RDONLY);
        ssize_t n;
        while ((n = read(fi, buf.data(), buf.size())) > 0)
            if (write(fo, buf.data(), static_cast<size_t>(n)) != n) std::exit(1);
        close(fi);
    }
    close(fo);
    return seconds_since(t0);
}

size_t file_size(const std::string& path) { return slurp(path).size(); }

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 7) {
        std::fprintf(stderr, "usage: bench_sort ALNKIT UNSORTED.bam SORTED1.bam SORTED2.bam SORTED3.bam SORTED4.bam [RUNS]\n");
        return 1;
    }
    const std::string alnkit = argv[1], unsorted = argv[2];
    const std::vector<std::string> sorted(argv + 3, argv + 7);
    const int runs = argc > 7 ? std::max(1, std::atoi(argv[7])) : 3;
    const std::string work = unsorted + ".bench";
    const std::string sort_out = work + ".sort", merge_out = work + ".merge.bam", cat_out = work + ".cat.bam",
                      reheader_out = work + ".reheader.bam", copy_out = work + ".copy", header = work + ".header.sam",
                      time_log = work + ".time";

    time_command({alnkit, "view", "-H", sorted[0]}, header);
    std::vector<double> sort_t, sort_floor, merge_t, merge_floor, cat_t, cat_copy, reheader_t, reheader_copy;
    for (int i = 0; i < runs; ++i) {
        sort_t.push_back(time_command({alnkit, "sort", "-m", "4G", unsorted, sort_out}));
        sort_floor.push_back(zlib_floor({unsorted}, sort_out + ".bam"));
        std::vector<std::string> merge = {alnkit, "merge", "-f", merge_out};
        merge.insert(merge.end(), sorted.begin(), sorted.end());
        merge_t.push_back(time_command(merge));
        merge_floor.push_back(zlib_floor(sorted, merge_out));
        std::vector<std::string> cat = {alnkit, "cat", "-o", cat_out};
        cat.insert(cat.end(), sorted.begin(), sorted.end());
        cat_t.push_back(time_command(cat));
        cat_copy.push_back(copy_files(sorted, copy_out));
        reheader_t.push_back(time_command({alnkit, "reheader", header, sorted[0]}, reheader_out));
        reheader_copy.push_back(copy_files({sorted[0]}, copy_out));
    }
    time_command({"/usr/bin/time", "-v", alnkit, "sort", "-m", "100M", unsorted, sort_out}, "/dev/null", time_log);
    const long rss = max_rss_kb(slurp(time_log));

    std::string in_file = slurp(unsorted), in_stream;
    zlib_inflate_all(in_file, list_blocks(in_file), &in_stream);
    size_t sorted_bytes = 0;
    for (const auto& s : sorted) sorted_bytes += file_size(s);
    std::printf("unsorted input: %s, %.1f MB compressed, %.1f MB uncompressed; medians of %d runs\n", unsorted.c_str(),
                static_cast<double>(in_file.size()) / 1e6, static_cast<double>(in_stream.size()) / 1e6, runs);
    std::printf("sort -m 4G    %.2f s, floor %.2f s: %.3f times (target <= 1.3)\n", median(sort_t), median(sort_floor),
                median(sort_t) / median(sort_floor));
    std::printf("merge of 4    %.2f s, floor %.2f s: %.3f times (target <= 1.2)\n", median(merge_t), median(merge_floor),
                median(merge_t) / median(merge_floor));
    std::printf("cat of 4      %.2f s, copy %.2f s (%.1f MB): %.2f times the copy throughput (target >= 0.7)\n", median(cat_t),
                median(cat_copy), static_cast<double>(sorted_bytes) / 1e6, median(cat_copy) / median(cat_t));
    std::printf("reheader      %.2f s, copy %.2f s (%.1f MB): %.2f times the copy throughput (target >= 0.7)\n",
                median(reheader_t), median(reheader_copy), static_cast<double>(file_size(sorted[0])) / 1e6,
                median(reheader_copy) / median(reheader_t));
    std::printf("sort -m 100M  peak resident size %.1f MB (target < 250)\n", static_cast<double>(rss) / 1024.0);
    for (const auto& f : {sort_out + ".bam", merge_out, cat_out, reheader_out, copy_out, header, time_log})
        std::remove(f.c_str());
    return 0;
}
