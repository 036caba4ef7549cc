// The sort command: reads records into a block until their encoded size
// reaches the memory bound, sorts the block stably (only pointers move) and
// spills it to a level-1 temporary BAM file; the blocks are then combined by
// the heap merge.  A run that fits into one block is written directly.
//
// The merge never holds more block files open than the process may: when
// there are more blocks than the fan-in allows, consecutive runs of blocks
// are merged into further temporary files first.  Merging consecutive runs
// keeps the order of the single-pass merge, because that order breaks ties
// by block number and then by reading order.  Every temporary file is
// removed at the end, whether the merge worked or not.
#include "sort/bam_sort.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "containers/ksort.h"

int g_is_by_qname = 0;

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Owner of an input or output BGZF stream.
struct bgzf_closer {
    void operator()(BGZF* fp) const { bgzf_close(fp); }
};
using bgzf_ptr = std::unique_ptr<BGZF, bgzf_closer>;

std::string block_file_name(const char* prefix, int n) {
    char num[16];
    std::snprintf(num, sizeof num, "%.4d", n);
    return std::string(prefix) + "." + num + ".bam";
}

// Most block files one merge opens: what the descriptor limit leaves after
// the standard streams, the input, the output and a few spare, and never so
// many that the read buffers (about 128 KiB per file) dominate memory.
int merge_fan_in() {
    constexpr long max_fan_in = 256;
    long fan_in = max_fan_in;
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY)
        fan_in = std::min<long>(fan_in, static_cast<long>(rl.rlim_cur) - 16);
    return static_cast<int>(std::max<long>(fan_in, 2));
}

// Merges sorted BAM files that share one header (the first file's is
// written) into `out` ("-" for standard output) with BGZF mode `mode`.
int merge_block_files(const std::vector<std::string>& names, const char* out, const char* mode) {
    std::vector<bgzf_ptr> inputs;
    bam_header_ptr header;
    for (const auto& name : names) {
        bgzf_ptr fp(bgzf_open(name.c_str(), "r"));
        if (!fp) {
            std::fprintf(stderr, "[bam_merge_core] fail to open file %s\n", name.c_str());
            return -1;
        }
        bam_header_ptr h(bam_header_read(fp.get()));
        if (!h) {
            std::fprintf(stderr, "[bam_merge_core] fail to open file %s\n", name.c_str());
            return -1;
        }
        if (!header) header = std::move(h);
        inputs.push_back(std::move(fp));
    }
    bgzf_ptr fpout(std::strcmp(out, "-") == 0 ? bgzf_fdopen(STDOUT_FILENO, mode) : bgzf_open(out, mode));
    if (!fpout) {
        std::fprintf(stderr, "[%s] fail to create the output file.\n", "bam_merge_core");
        return -1;
    }
    if (bam_header_write(fpout.get(), header.get()) < 0) return -1;
    header.reset();
    auto read = [&](int i, bam1_t* b) {
        int r = bam_read1(inputs[i].get(), b);
        if (r < -1) std::fprintf(stderr, "[bam_merge_core] '%s' is truncated. Continue anyway.\n", names[i].c_str());
        return r;
    };
    auto emit = [&](int, bam1_t* b) { return bam_write1_core(fpout.get(), &b->core, b->data_len, b->data); };
    int ret = bam_merge_heap(static_cast<int>(inputs.size()), read, emit);
    if (bgzf_close(fpout.release()) < 0) ret = -1;
    return ret;
}

void remove_files(const std::vector<std::string>& names) {
    for (const auto& name : names) unlink(name.c_str());
}

// Merges the block files into "prefix.bam" (or standard output), in stages
// when there are more than the fan-in.  Removes every temporary file.
int merge_blocks(std::vector<std::string> names, const char* prefix, int is_stdout) {
    const int fan_in = merge_fan_in();
    std::vector<std::string> created = names;
    int next_number = static_cast<int>(names.size());
    int ret = 0;
    while (ret == 0 && static_cast<int>(names.size()) > fan_in) {
        std::vector<std::string> merged;
        for (size_t s = 0; s < names.size() && ret == 0; s += fan_in) {
            size_t e = std::min(names.size(), s + fan_in);
            if (e - s == 1) {
                merged.push_back(names[s]);
                continue;
            }
            std::vector<std::string> group(names.begin() + static_cast<std::ptrdiff_t>(s),
                                           names.begin() + static_cast<std::ptrdiff_t>(e));
            std::string name = block_file_name(prefix, next_number++);
            created.push_back(name);
            ret = merge_block_files(group, name.c_str(), "w1");
            remove_files(group);  // done with them: keep the disk use bounded
            merged.push_back(name);
        }
        names = std::move(merged);
    }
    if (ret == 0) {
        std::string out = is_stdout ? std::string("-") : std::string(prefix) + ".bam";
        ret = merge_block_files(names, out.c_str(), "w");
    }
    remove_files(created);
    return ret;
}

// Owner of the block's record slots: allocated once, zero-filled; records are
// created on first use and keep their grown data between blocks.
struct slot_array {
    explicit slot_array(size_t n) : n(n), b(static_cast<bam1_t**>(std::calloc(n, sizeof(bam1_t*)))) {}
    ~slot_array() {
        if (!b) return;
        for (size_t i = 0; i < n && b[i]; ++i) bam_destroy1(b[i]);
        std::free(b);
    }
    slot_array(const slot_array&) = delete;
    slot_array& operator=(const slot_array&) = delete;
    size_t n;
    bam1_t** b;
};

}  // namespace

int strnum_cmp(const char* a, const char* b) {
    const char *pa = a, *pb = b;
    while (*pa && *pb) {
        if (is_digit(*pa) && is_digit(*pb)) {
            char *ea, *eb;
            long ai = std::strtol(pa, &ea, 10);
            long bi = std::strtol(pb, &eb, 10);
            pa = ea;
            pb = eb;
            if (ai != bi) return ai < bi ? -1 : 1;
        } else {
            if (*pa != *pb) break;
            ++pa;
            ++pb;
        }
    }
    if (*pa == *pb) return (pa - a) < (pb - b) ? -1 : (pa - a) > (pb - b) ? 1 : 0;
    return static_cast<signed char>(*pa) - static_cast<signed char>(*pb);
}

uint64_t bam_sort_key(const bam1_t* b) {
    return static_cast<uint64_t>(static_cast<int64_t>(b->core.tid)) << 32 |
           static_cast<uint64_t>(static_cast<int64_t>(b->core.pos) + 1);
}

bool bam1_lt(const bam1_t* a, const bam1_t* b) {
    if (g_is_by_qname) {
        int t = strnum_cmp(rec_qname(a), rec_qname(b));
        return t < 0 || (t == 0 && bam_sort_key(a) < bam_sort_key(b));
    }
    return bam_sort_key(a) < bam_sort_key(b);
}

size_t bam_sort_parse_mem(const char* s) {
    size_t v = 0;
    for (; is_digit(*s); ++s) v = v * 10 + static_cast<size_t>(*s - '0');
    switch (*s) {
    case 'k': case 'K': return v << 10;
    case 'm': case 'M': return v << 20;
    case 'g': case 'G': return v << 30;
    default: return v;
    }
}

uint64_t bam_merge_key(const bam1_t* b) {
    uint32_t pos1 = static_cast<uint32_t>(static_cast<int64_t>(b->core.pos) + 1);
    return static_cast<uint64_t>(static_cast<int64_t>(b->core.tid)) << 32 | static_cast<uint32_t>(pos1 << 1) |
           (rec_is_reverse(b) ? 1U : 0U);
}

bool heap_lt(const heap1_t& a, const heap1_t& b) {
    if (g_is_by_qname) {
        if (!a.b || !b.b) return !a.b && b.b;
        int t = strnum_cmp(rec_qname(a.b), rec_qname(b.b));
        if (t != 0) return t > 0;
    }
    if (a.pos != b.pos) return a.pos > b.pos;
    if (a.i != b.i) return a.i > b.i;
    return a.idx > b.idx;
}

int bam_merge_heap(int n, const merge_read_fn& read, const merge_emit_fn& emit) {
    if (n <= 0) return 0;
    std::vector<heap1_t> heap(static_cast<size_t>(n));
    uint64_t serial = 0;
    auto mark_exhausted = [](heap1_t& h) {
        h.pos = UINT64_MAX;
        bam_destroy1(h.b);
        h.b = nullptr;
    };
    auto advance = [&](heap1_t& h) {
        if (read(h.i, h.b) >= 0) {
            h.idx = serial++;
            h.pos = bam_merge_key(h.b);
        } else {
            mark_exhausted(h);  // the end of the data, or an error the reader reported
        }
    };
    for (int i = 0; i < n; ++i) {
        heap[i] = heap1_t{i, 0, 0, bam_init1()};
        advance(heap[i]);
    }
    const size_t size = heap.size();
    ks_heapmake(size, heap.data(), heap_lt);
    int ret = 0;
    while (heap[0].b) {
        if (emit(heap[0].i, heap[0].b) < 0) {
            ret = -1;
            break;
        }
        advance(heap[0]);
        ks_heapadjust(0, size, heap.data(), heap_lt);
    }
    for (auto& h : heap) bam_destroy1(h.b);
    return ret;
}

int sort_blocks(int n, int k, bam1_t** buf, const char* prefix, const bam_header_t* header, int is_stdout) {
    ks_mergesort(static_cast<size_t>(k), buf, static_cast<bam1_t**>(nullptr), bam1_lt);
    std::string name = n < 0 ? std::string(prefix) + ".bam" : block_file_name(prefix, n);
    const char* mode = n < 0 ? "w" : "w1";
    bgzf_ptr fp(is_stdout ? bgzf_fdopen(STDOUT_FILENO, mode) : bgzf_open(name.c_str(), mode));
    if (!fp) {
        std::fprintf(stderr, "[sort_blocks] fail to create file %s.\n", name.c_str());
        return -1;
    }
    int ret = bam_header_write(fp.get(), header) < 0 ? -1 : 0;
    for (int i = 0; i < k && ret == 0; ++i)
        if (bam_write1_core(fp.get(), &buf[i]->core, buf[i]->data_len, buf[i]->data) < 0) ret = -1;
    if (bgzf_close(fp.release()) < 0) ret = -1;
    return ret;
}

int bam_sort_core_ext(int is_by_qname, const char* fn, const char* prefix, size_t max_mem, int is_stdout) {
    g_is_by_qname = is_by_qname;
    bgzf_ptr fp(std::strcmp(fn, "-") == 0 ? bgzf_fdopen(STDIN_FILENO, "r") : bgzf_open(fn, "r"));
    if (!fp) {
        std::fprintf(stderr, "[bam_sort_core] fail to open file %s\n", fn);
        return -1;
    }
    bam_header_ptr header(bam_header_read(fp.get()));
    if (!header) {
        std::fprintf(stderr, "[bam_sort_core] fail to open file %s\n", fn);
        return -1;
    }
    // A block ends once its counted size reaches max_mem and every record
    // counts at least 36 bytes, so max_mem / 36 + 1 slots always suffice.
    slot_array slots(std::max(max_mem / 32, max_mem / 36 + 1));
    if (!slots.b) {
        std::fprintf(stderr, "[bam_sort_core] fail to allocate memory\n");
        return -1;
    }
    std::vector<std::string> blocks;
    size_t k = 0, mem = 0;
    int ret = 0, r;
    for (;;) {
        if (!slots.b[k] && !(slots.b[k] = bam_init1())) {
            ret = -1;
            break;
        }
        if ((r = bam_read1(fp.get(), slots.b[k])) < 0) break;
        mem += static_cast<size_t>(r);
        ++k;
        if (mem >= max_mem) {
            int n = static_cast<int>(blocks.size());
            sort_blocks(n, static_cast<int>(k), slots.b, prefix, header.get(), 0);
            blocks.push_back(block_file_name(prefix, n));
            mem = k = 0;
        }
    }
    if (ret == 0 && r != -1) std::fprintf(stderr, "[bam_sort_core] truncated file. Continue anyway.\n");
    if (ret < 0) {
        std::fprintf(stderr, "[bam_sort_core] fail to allocate memory\n");
        remove_files(blocks);
    } else if (blocks.empty()) {
        ret = sort_blocks(-1, static_cast<int>(k), slots.b, prefix, header.get(), is_stdout);
    } else {
        std::fprintf(stderr, "[bam_sort_core] merging from %d files...\n", static_cast<int>(blocks.size()) + 1);
        int n = static_cast<int>(blocks.size());
        sort_blocks(n, static_cast<int>(k), slots.b, prefix, header.get(), 0);
        blocks.push_back(block_file_name(prefix, n));
        ret = merge_blocks(std::move(blocks), prefix, is_stdout);
    }
    return ret;
}

int bam_sort(int argc, char* argv[]) {
    size_t max_mem = 500000000;
    int is_by_qname = 0, is_stdout = 0, c;
    optind = 0;  // the dispatcher may have used getopt before
    while ((c = getopt(argc, argv, "nom:")) >= 0) {
        switch (c) {
        case 'o': is_stdout = 1; break;
        case 'n': is_by_qname = 1; break;
        case 'm': max_mem = bam_sort_parse_mem(optarg); break;
        default: break;
        }
    }
    if (optind + 2 > argc) {
        std::fprintf(stderr, "Usage: alnkit sort [-on] [-m <maxMem>] <in.bam> <out.prefix>\n");
        return 1;
    }
    bam_sort_core_ext(is_by_qname, argv[optind], argv[optind + 1], max_mem, is_stdout);
    return 0;
}
