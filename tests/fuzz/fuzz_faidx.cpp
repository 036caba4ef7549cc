// Fuzzes the FASTA index.  The input is FASTA bytes, optionally followed by
// a NUL byte and the text of a ".fai" index.  An index is built from the
// FASTA and each of its sequences is fetched whole and in pieces; the given
// index text is then loaded and used for the same fetches on the FASTA,
// however little it matches the data.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_util.h"
#include "io/faidx.h"

namespace {

void fetch_all(faidx_t* fai) {
    for (int i = 0; i < fai->n && i < 50; ++i) {
        const std::string name = fai->name[i];
        int len = 0;
        for (const std::string& region : {name, name + ":2-5", name + ":70-10000", name + ":-3"}) {
            char* s = fai_fetch(fai, region.c_str(), &len);
            if (s && static_cast<int>(std::strlen(s)) != len) __builtin_trap();
            std::free(s);
        }
        std::free(faidx_fetch_seq(fai, name.c_str(), 59, 130, &len));
        std::free(faidx_fetch_seq(fai, name.c_str(), 1 << 30, 3, &len));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto* nul = static_cast<const uint8_t*>(std::memchr(data, 0, size));
    const size_t fasta_size = nul ? static_cast<size_t>(nul - data) : size;
    char path[64];
    int fd = fuzz_memory_file(data, fasta_size, path);
    if (fd < 0) return 0;

    if (RAZF* rz = razf_open(path, "r")) {
        faidx_t* fai = fai_build_core(rz);
        if (fai) {
            fai->rz = rz;  // the index owns the stream from here
            fetch_all(fai);
            fai_destroy(fai);
        } else {
            razf_close(rz);
        }
    }

    if (nul) {
        const size_t fai_size = size - fasta_size - 1;
        FILE* text = fmemopen(const_cast<uint8_t*>(nul + 1), fai_size ? fai_size : 1, "r");
        if (text) {
            faidx_t* fai = fai_size ? fai_read(text) : nullptr;
            std::fclose(text);
            if (fai) {
                fai->rz = razf_open(path, "r");
                if (fai->rz) fetch_all(fai);
                fai_destroy(fai);
            }
        }
    }
    close(fd);
    return 0;
}
