// Fuzzes header text parsing and the queries over the dictionary.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "bam/sam_header.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    list_t* dict = sam_header_parse2(text.c_str());
    int n = 0;
    const char** names = sam_header2list(dict, "SQ", "SN", &n);
    for (int i = 0; i < n; ++i)
        if (!names[i]) std::abort();
    std::free(names);
    sam_tbl_t* tbl = sam_header2tbl(dict, "RG", "ID", "LB");
    sam_tbl_get(tbl, "x");
    sam_tbl_destroy(tbl);
    sam_header_free(dict);
    return 0;
}
