// Redraw time of the alignment viewer: tv_draw_aln timed directly, on a
// curses screen of the given size whose output goes to /dev/null, at
// windows spread evenly over the first reference.  The floor, measured in
// the same run at the same windows, is fetching the windows' records through
// the index without piling them up or drawing.  Prints the median, 90th
// percentile and maximum of both, and their ratio.
//
// usage: bench_tview FILE.bam REF.fa [COLS ROWS] [DRAWS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tview/bam_tview.h"

namespace {

struct stats_t {
    double median, p90, max;
};

stats_t summarise(std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    return {ms[ms.size() / 2], ms[ms.size() * 9 / 10], ms.back()};
}

int count_record(const bam1_t*, void* data) {
    ++*static_cast<long*>(data);
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_tview FILE.bam REF.fa [COLS ROWS] [DRAWS]\n");
        return 1;
    }
    const int cols = argc > 4 ? std::atoi(argv[3]) : 100, rows = argc > 4 ? std::atoi(argv[4]) : 40;
    const int draws = argc > 5 ? std::atoi(argv[5]) : 200;
    // The screen size comes from the environment when the output is no terminal.
    setenv("TERM", "xterm-256color", 1);
    setenv("COLUMNS", std::to_string(cols).c_str(), 1);
    setenv("LINES", std::to_string(rows).c_str(), 1);
    tview_t* tv = tv_open(argv[1], argv[2]);
    FILE* out = std::fopen("/dev/null", "w");
    FILE* in = std::fopen("/dev/null", "r");
    if (!tv || !out || !in || tv_start_screen(tv, out, in) < 0 || tv->header->n_targets == 0) {
        std::fprintf(stderr, "bench_tview: cannot set up the viewer\n");
        return 1;
    }
    const long ref_len = tv->header->target_len[0];
    std::vector<int> positions;
    for (int i = 0; i < draws; ++i)
        positions.push_back(static_cast<int>((2 * i + 1) * std::max(ref_len - cols, 1L) / (2L * draws)));

    using clock = std::chrono::steady_clock;
    auto ms_since = [](clock::time_point t0) { return std::chrono::duration<double, std::milli>(clock::now() - t0).count(); };
    std::vector<double> draw_ms, fetch_ms;
    long records = 0;
    for (int pos : positions) {
        auto t0 = clock::now();
        bam_fetch(tv->fp, tv->idx, 0, pos, pos + tv->mcol, &records, count_record);
        fetch_ms.push_back(ms_since(t0));
        t0 = clock::now();
        tv_draw_aln(tv, 0, pos);
        draw_ms.push_back(ms_since(t0));
    }
    const int mcol = tv->mcol, mrow = tv->mrow;
    tv_destroy(tv);
    std::fclose(out);
    std::fclose(in);

    const stats_t d = summarise(draw_ms), f = summarise(fetch_ms);
    std::printf("screen %dx%d, %d windows, %.1f records per window\n", mcol, mrow, draws, static_cast<double>(records) / draws);
    std::printf("redraw (tv_draw_aln): median %.3f ms, 90%% %.3f ms, max %.3f ms\n", d.median, d.p90, d.max);
    std::printf("floor (index fetch only): median %.3f ms, 90%% %.3f ms, max %.3f ms\n", f.median, f.p90, f.max);
    std::printf("redraw / floor (medians): %.2f\n", d.median / f.median);
    return 0;
}
