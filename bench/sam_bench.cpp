// SAM text speed: parsing a file into records and formatting records back
// into text, in MB of SAM text per second on one core (median of several
// runs), and a check that formatting the parsed records gives back the
// input byte for byte.
//
// usage: bench_sam FILE.sam [RUNS]
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <zlib.h>

#include "bam/bam.h"
#include "bam/bam_import.h"
#include "bam/sam_format.h"

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point t0) { return std::chrono::duration<double>(clock_type::now() - t0).count(); }

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct parsed_file {
    bam_header_t* header = nullptr;
    std::vector<bam1_t*> records;
    ~parsed_file() {
        for (bam1_t* b : records) bam_destroy1(b);
        bam_header_destroy(header);
    }
};

// Parses the whole file once; returns the seconds taken.
double parse_once(const char* fn, parsed_file* keep) {
    auto t0 = clock_type::now();
    tamFile fp = sam_open(fn);
    if (!fp) {
        std::fprintf(stderr, "bench_sam: cannot open %s\n", fn);
        std::exit(1);
    }
    bam_header_t* h = sam_header_read(fp);
    bam1_t* b = bam_init1();
    int r;
    while ((r = sam_read1(fp, h, b)) >= 0)
        if (keep) keep->records.push_back(bam_dup1(b));
    double t = seconds_since(t0);
    if (r != -1) {
        std::fprintf(stderr, "bench_sam: truncated input (%d)\n", r);
        std::exit(1);
    }
    bam_destroy1(b);
    sam_close(fp);
    if (keep) keep->header = h;
    else bam_header_destroy(h);
    return t;
}

// Reads the file through the same gz interface the parser uses, without
// parsing: the floor that parsing is compared with.
double read_once(const char* fn) {
    auto t0 = clock_type::now();
    gzFile gz = gzopen(fn, "rb");
    if (!gz) std::exit(1);
    std::vector<char> buf(16384);
    while (gzread(gz, buf.data(), static_cast<unsigned>(buf.size())) > 0) {}
    gzclose(gz);
    return seconds_since(t0);
}

// Formats every record the way SAM output does (line plus newline) into a
// reused buffer; returns the seconds taken and the bytes produced.
double format_once(const parsed_file& pf, size_t* bytes) {
    kstring_t s{0, 0, nullptr};
    size_t total = 0;
    auto t0 = clock_type::now();
    for (const bam1_t* b : pf.records) {
        s.l = 0;
        bam_format1_append(&s, pf.header, b, 0);
        kputc('\n', &s);
        total += s.l;
    }
    double t = seconds_since(t0);
    ks_free(&s);
    *bytes = total;
    return t;
}

bool round_trip_matches(const char* fn, const parsed_file& pf) {
    std::ifstream in(fn, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string original = ss.str();
    std::string text(pf.header->text ? pf.header->text : "", pf.header->l_text);
    kstring_t s{0, 0, nullptr};
    for (const bam1_t* b : pf.records) {
        s.l = 0;
        bam_format1_append(&s, pf.header, b, 0);
        text.append(s.s, s.l);
        text += '\n';
    }
    ks_free(&s);
    if (text == original) return true;
    size_t i = 0;
    while (i < text.size() && i < original.size() && text[i] == original[i]) ++i;
    size_t line_start = original.rfind('\n', i);
    line_start = line_start == std::string::npos ? 0 : line_start + 1;
    std::fprintf(stderr, "bench_sam: round trip differs at byte %zu, in the line:\n%s\n", i,
                 original.substr(line_start, original.find('\n', line_start) - line_start).c_str());
    return false;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_sam FILE.sam [RUNS]\n");
        return 1;
    }
    const char* fn = argv[1];
    int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    if (runs < 1) runs = 1;
    struct stat st;
    if (stat(fn, &st) != 0) {
        std::perror(fn);
        return 1;
    }
    const double mb = static_cast<double>(st.st_size) / 1e6;

    parsed_file pf;
    parse_once(fn, &pf);  // also warms the page cache
    std::vector<double> read_times, parse_times, format_times;
    size_t formatted = 0;
    for (int i = 0; i < runs; ++i) {
        read_times.push_back(read_once(fn));
        parse_times.push_back(parse_once(fn, nullptr));
        format_times.push_back(format_once(pf, &formatted));
    }
    bool same = round_trip_matches(fn, pf);
    std::printf("file: %s, %.1f MB, %zu records\n", fn, mb, pf.records.size());
    std::printf("parse:  %.0f MB/s (median of %d runs; reading the same bytes without parsing: %.0f MB/s)\n",
                mb / median(parse_times), runs, mb / median(read_times));
    std::printf("format: %.0f MB/s (median of %d runs)\n", static_cast<double>(formatted) / 1e6 / median(format_times), runs);
    std::printf("round trip: %s\n", same ? "identical" : "DIFFERENT");
    return same ? 0 : 2;
}
