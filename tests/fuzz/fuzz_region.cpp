// Fuzzes region strings against a header whose names include a colon.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bam/bam.h"
#include "bam/bam_aux.h"

namespace {

bam_header_t* make_header() {
    static const char* names[] = {"chr1", "chr2", "chr2:100", "chrX", "1"};
    bam_header_t* h = bam_header_init();
    h->n_targets = 5;
    h->target_name = static_cast<char**>(std::calloc(5, sizeof(char*)));
    h->target_len = static_cast<uint32_t*>(std::calloc(5, sizeof(uint32_t)));
    for (int i = 0; i < 5; ++i) {
        h->target_name[i] = strdup(names[i]);
        h->target_len[i] = 1000000;
    }
    return h;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bam_header_t* h = make_header();
    std::string text(reinterpret_cast<const char*>(data), size);  // NUL-terminated copy
    int tid, beg, end;
    int r = bam_parse_region(h, text.c_str(), &tid, &beg, &end);
    if (r == 0 && (tid < 0 || tid >= h->n_targets)) std::abort();
    if (r == 0 && beg > end) std::abort();
    return 0;
}
