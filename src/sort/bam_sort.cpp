// Sorting: reads records into a block until their encoded size
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

#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "bam/bam_aux.h"
#include "bam/bam_codec.h"
#include "bam/bam_import.h"
#include "containers/ksort.h"
#include "index/bam_index.h"
#include "io/thread_pool.h"

int g_is_by_qname = 0;

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

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

// Merges block files of the sort into `out` ("-" for standard output).
int merge_block_files(const std::vector<std::string>& names, const char* out, int flag, thread_pool* pool) {
    std::vector<char*> fn;
    for (const auto& name : names) fn.push_back(const_cast<char*>(name.c_str()));
    return bam_merge_core(g_is_by_qname, out, nullptr, static_cast<int>(fn.size()), fn.data(), flag, nullptr, pool);
}

void remove_files(const std::vector<std::string>& names) {
    for (const auto& name : names) unlink(name.c_str());
}

// Merges the block files into "prefix.bam" (or standard output), in stages
// when there are more than the fan-in.  Removes every temporary file.
int merge_blocks(std::vector<std::string> names, const char* prefix, int is_stdout, thread_pool* pool) {
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
            ret = merge_block_files(group, name.c_str(), MERGE_LEVEL1, pool);
            remove_files(group);  // done with them: keep the disk use bounded
            merged.push_back(name);
        }
        names = std::move(merged);
    }
    if (ret == 0) {
        std::string out = is_stdout ? std::string("-") : std::string(prefix) + ".bam";
        ret = merge_block_files(names, out.c_str(), 0, pool);
    }
    remove_files(created);
    return ret;
}

// The records of one block, packed: each a bam1_t followed by its data in
// large chunks that are kept from block to block.  One copy per record
// instead of two allocations, and the pages are touched once per run rather
// than once per block.
class record_arena {
public:
    explicit record_arena(size_t max_mem) : chunk_size_(std::clamp<size_t>(max_mem / 4, 1 << 20, 64 << 20)) {}
    record_arena(const record_arena&) = delete;
    record_arena& operator=(const record_arena&) = delete;

    // A copy of `b` that lives until clear(); null when memory runs out.
    bam1_t* add(const bam1_t* b) {
        const size_t need = align(sizeof(bam1_t) + static_cast<size_t>(b->data_len));
        if (current_ == chunks_.size() || chunks_[current_].size - used_ < need) {
            if (!next_chunk(need)) return nullptr;
        }
        uint8_t* p = chunks_[current_].base + used_;
        used_ += need;
        auto* copy = reinterpret_cast<bam1_t*>(p);
        copy->core = b->core;
        copy->l_aux = b->l_aux;
        copy->data_len = copy->m_data = b->data_len;
        copy->data = p + sizeof(bam1_t);
        std::memcpy(copy->data, b->data, static_cast<size_t>(b->data_len));
        return copy;
    }
    void clear() { current_ = used_ = 0; }

private:
    struct chunk {
        chunk(uint8_t* base, size_t size) : base(base), size(size) {}
        chunk(const chunk&) = delete;
        chunk& operator=(const chunk&) = delete;
        ~chunk() { munmap(base, size); }
        uint8_t* base;
        size_t size;
    };
    static size_t align(size_t n) { return (n + 7) & ~size_t{7}; }

    // Moves to the next kept chunk that fits, or maps a new one.  Huge pages
    // are asked for because a block touches hundreds of megabytes at once.
    bool next_chunk(size_t need) {
        for (size_t i = current_ + (current_ < chunks_.size()); i < chunks_.size(); ++i)
            if (chunks_[i].size >= need) {
                current_ = i, used_ = 0;
                return true;
            }
        const size_t size = std::max(chunk_size_, need);
        void* base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) return false;
#ifdef MADV_HUGEPAGE
        madvise(base, size, MADV_HUGEPAGE);
#endif
        chunks_.emplace_back(static_cast<uint8_t*>(base), size);
        current_ = chunks_.size() - 1, used_ = 0;
        return true;
    }

    size_t chunk_size_;
    std::deque<chunk> chunks_;  // built in place, never moved
    size_t current_ = 0, used_ = 0;
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

bool bam1_lt(const bam1_t* a, const bam1_t* b) {
    if (g_is_by_qname) {
        int t = strnum_cmp(rec_qname(a), rec_qname(b));
        if (t != 0) return t < 0;
    }
    return bam_merge_key(a) < bam_merge_key(b);
}

size_t bam_sort_parse_mem(const char* s) {
    size_t v = 0;
    for (; is_digit(*s); ++s) v = v * 10 + static_cast<size_t>(*s - '0');
    switch (*s) {
    case 'k':
    case 'K': return v << 10;
    case 'm':
    case 'M': return v << 20;
    case 'g':
    case 'G': return v << 30;
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

namespace {

// A run of merges of one pass, or a whole chunk sorted alone.
struct sort_task : thread_task {
    bam1_t** src;
    bam1_t** dst;
    size_t n, step, begin, end;  // merge the pairs of runs starting in [begin, end)
};

void sort_chunk(thread_task* t) {
    auto* task = static_cast<sort_task*>(t);
    ks_mergesort(task->end - task->begin, task->src + task->begin, task->dst + task->begin, bam1_lt);
}

// The pass of ks_mergesort with width `step`, for the pairs in [begin, end).
void merge_pairs(thread_task* t) {
    auto* task = static_cast<sort_task*>(t);
    for (size_t i = task->begin; i < task->end; i += task->step << 1) {
        bam1_t** p = task->dst + i;
        bam1_t** j = task->src + i;
        bam1_t** ea = task->src + std::min(task->n, i + task->step);
        bam1_t** k = ea;
        bam1_t** eb = task->src + std::min(task->n, i + (task->step << 1));
        while (j < ea && k < eb) *p++ = bam1_lt(*k, *j) ? *k++ : *j++;
        while (j < ea) *p++ = *j++;
        while (k < eb) *p++ = *k++;
    }
}

void run_all(thread_pool* pool, std::vector<sort_task>& tasks) {
    for (auto& t : tasks) pool->submit(&t);
    for (auto& t : tasks) pool->wait(&t);
}

}  // namespace

// ks_mergesort merges runs of width 1, 2, 4, ... in turn.  Chunks of a
// power-of-two width see exactly the merges they would see in the whole
// array until the width reaches the chunk's, so they are sorted apart; the
// wider passes then merge independent pairs of runs, spread over the workers.
void sort_records(size_t n, bam1_t** records, thread_pool* pool) {
    const size_t workers = pool ? static_cast<size_t>(pool->size()) : 0;
    if (workers < 2 || n < 8192) {
        ks_mergesort(n, records, static_cast<bam1_t**>(nullptr), bam1_lt);
        return;
    }
    std::vector<bam1_t*> temp(n);
    size_t chunk = 1;
    while (chunk * workers < n) chunk <<= 1;
    std::vector<sort_task> tasks;
    for (size_t begin = 0; begin < n; begin += chunk)
        tasks.push_back(sort_task{{sort_chunk}, records, temp.data(), n, 0, begin, std::min(n, begin + chunk)});
    run_all(pool, tasks);
    bam1_t** src = records;
    bam1_t** dst = temp.data();
    for (size_t step = chunk; step < n; step <<= 1) {
        tasks.clear();
        const size_t pairs = (n + (step << 1) - 1) / (step << 1);
        const size_t per_task = (pairs + workers - 1) / workers;
        for (size_t first = 0; first < pairs; first += per_task) {
            const size_t begin = first * (step << 1);
            const size_t end = std::min(n, (first + per_task) * (step << 1));
            tasks.push_back(sort_task{{merge_pairs}, src, dst, n, step, begin, end});
        }
        run_all(pool, tasks);
        std::swap(src, dst);
    }
    if (src != records) std::copy(src, src + n, records);
}

int sort_blocks(int n, int k, bam1_t** buf, const char* prefix, const bam_header_t* header, int is_stdout, thread_pool* pool) {
    sort_records(static_cast<size_t>(k), buf, pool);
    std::string name = n < 0 ? std::string(prefix) + ".bam" : block_file_name(prefix, n);
    const char* mode = n < 0 ? "w" : "w1";
    bgzf_ptr fp(is_stdout ? bgzf_fdopen(STDOUT_FILENO, mode) : bgzf_open(name.c_str(), mode));
    if (!fp) {
        std::fprintf(stderr, "[sort_blocks] fail to create file %s.\n", name.c_str());
        return -1;
    }
    if (pool) bgzf_set_pool(fp.get(), pool);
    int ret = bam_header_write(fp.get(), header) < 0 ? -1 : 0;
    for (int i = 0; i < k && ret == 0; ++i)
        if (bam_write1_core(fp.get(), &buf[i]->core, buf[i]->data_len, buf[i]->data) < 0) ret = -1;
    if (ret < 0) {
        bgzf_abandon(fp.release());  // no end-of-file block: the file reads as truncated
    } else if (bgzf_close(fp.release()) < 0) {
        ret = -1;
    }
    if (ret < 0) std::fprintf(stderr, "[sort_blocks] fail to write file %s.\n", is_stdout ? "standard output" : name.c_str());
    return ret;
}

int bam_sort_core_ext(int is_by_qname, const char* fn, const char* prefix, size_t max_mem, int is_stdout, thread_pool* pool) {
    g_is_by_qname = is_by_qname;
    bgzf_ptr fp(std::strcmp(fn, "-") == 0 ? bgzf_fdopen(STDIN_FILENO, "r") : bgzf_open(fn, "r"));
    if (!fp) {
        std::fprintf(stderr, "[bam_sort_core] fail to open file %s\n", fn);
        return -1;
    }
    if (pool) bgzf_set_pool(fp.get(), pool);
    bam_header_ptr header(bam_header_read(fp.get()));
    if (!header) {
        std::fprintf(stderr, "[bam_sort_core] fail to open file %s\n", fn);
        return -1;
    }
    // A block ends once its counted size reaches max_mem and every record
    // counts at least 36 bytes, so max_mem / 36 + 1 slots always suffice.
    const size_t n_slots = std::max(max_mem / 32, max_mem / 36 + 1);
    std::unique_ptr<bam1_t*, decltype(&std::free)> slots(static_cast<bam1_t**>(std::calloc(n_slots, sizeof(bam1_t*))),
                                                         &std::free);
    bam1_ptr rec = bam1_make();
    if (!slots || !rec) {
        std::fprintf(stderr, "[bam_sort_core] fail to allocate memory\n");
        return -1;
    }
    record_arena arena(max_mem);
    std::vector<std::string> blocks;
    size_t k = 0, mem = 0;
    long long n_read = 0;
    int ret = 0, r;
    for (;;) {
        if ((r = bam_read1_bounded(fp.get(), rec.get(), header->n_targets)) < 0) break;
        if (!(slots.get()[k] = arena.add(rec.get()))) {
            ret = -1;
            break;
        }
        ++n_read;
        mem += static_cast<size_t>(r);
        ++k;
        if (mem >= max_mem) {
            int n = static_cast<int>(blocks.size());
            blocks.push_back(block_file_name(prefix, n));
            // A block that cannot be written is lost: stop rather than
            // produce an output that lacks it.
            if (sort_blocks(n, static_cast<int>(k), slots.get(), prefix, header.get(), 0, pool) < 0) {
                ret = -2;
                break;
            }
            mem = k = 0;
            arena.clear();
        }
    }
    const bool is_truncated = ret == 0 && r != -1;
    if (is_truncated) {
        std::fprintf(stderr, "[bam_sort_core] truncated file. Continue anyway.\n");
        bam_report_damage("bam_sort_core", fn, n_read, fp.get());
    }
    if (ret < 0) {
        if (ret == -1) std::fprintf(stderr, "[bam_sort_core] fail to allocate memory\n");
        remove_files(blocks);
        ret = -1;
    } else if (blocks.empty()) {
        ret = sort_blocks(-1, static_cast<int>(k), slots.get(), prefix, header.get(), is_stdout, pool);
    } else {
        std::fprintf(stderr, "[bam_sort_core] merging from %d files...\n", static_cast<int>(blocks.size()) + 1);
        int n = static_cast<int>(blocks.size());
        blocks.push_back(block_file_name(prefix, n));
        if (sort_blocks(n, static_cast<int>(k), slots.get(), prefix, header.get(), 0, pool) < 0) {
            remove_files(blocks);
            ret = -1;
        } else {
            ret = merge_blocks(std::move(blocks), prefix, is_stdout, pool);
        }
    }
    // The records read are sorted and written, but the run must not pass
    // for a complete sort of the input.
    return is_truncated ? -1 : ret;
}

// ---- merge ----

namespace {

struct tam_closer {
    void operator()(tamFile fp) const { sam_close(fp); }
};
using tam_ptr = std::unique_ptr<tamFile_t, tam_closer>;

// Read-group value of an input: the file name without a final ".bam" (when
// something precedes it) and without its directory.
std::string read_group_of(const char* fn) {
    std::string s(fn);
    if (s.size() > 4 && s.compare(s.size() - 4, 4, ".bam") == 0) s.resize(s.size() - 4);
    size_t slash = s.rfind('/');
    return slash == std::string::npos ? s : s.substr(slash + 1);
}

void swap_references(bam_header_t* a, bam_header_t* b) {
    bam_destroy_header_hash(a);  // the name maps borrow the names
    bam_destroy_header_hash(b);
    std::swap(a->n_targets, b->n_targets);
    std::swap(a->target_name, b->target_name);
    std::swap(a->target_len, b->target_len);
}

// Exchanges the header texts together with what was derived from them.
void swap_text(bam_header_t* a, bam_header_t* b) {
    std::swap(a->text, b->text);
    std::swap(a->l_text, b->l_text);
    std::swap(a->n_text, b->n_text);
    std::swap(a->dict, b->dict);
    std::swap(a->rg2lib, b->rg2lib);
}

struct merge_input {
    const char* name;
    bgzf_ptr fp;
    bam_iter_ptr iter;      // null: read sequentially
    bool is_empty = false;  // the region cannot hold any of its records
    std::string rg;
    long long n_read = 0;
    int32_t n_targets = 0;  // references in this input's own header
};

// Opens the inputs and builds the output header: the first input's text,
// the longest reference list; reference names must agree where both have
// them.  Null after a message.
bam_header_ptr open_inputs(int n, char* const* fn, std::vector<merge_input>& inputs, thread_pool* pool) {
    // Read-ahead shared out so that a merge of many files stays small.
    const int read_ahead = pool ? std::clamp(256 / std::max(n, 1), 2, 4 * pool->size() + 2) : 0;
    bam_header_ptr hout;
    for (int i = 0; i < n; ++i) {
        bgzf_ptr fp(bgzf_open(fn[i], "r"));
        if (!fp) {
            std::fprintf(stderr, "[bam_merge_core] fail to open file %s\n", fn[i]);
            return nullptr;
        }
        bam_header_ptr hin(bam_header_read(fp.get()));
        if (!hin) {
            std::fprintf(stderr, "[bam_merge_core] fail to read the BAM header of file %s\n", fn[i]);
            return nullptr;
        }
        if (pool) bgzf_set_pool(fp.get(), pool, read_ahead);
        inputs.push_back(merge_input{fn[i], std::move(fp), nullptr, false, {}, 0, hin->n_targets});
        if (!hout) {
            hout = std::move(hin);
            continue;
        }
        int common = std::min(hout->n_targets, hin->n_targets);
        for (int j = 0; j < common; ++j) {
            if (std::strcmp(hout->target_name[j], hin->target_name[j]) != 0) {
                std::fprintf(stderr, "[bam_merge_core] different target sequence name: '%s' != '%s' in file '%s'\n",
                             hout->target_name[j], hin->target_name[j], fn[i]);
                return nullptr;
            }
        }
        if (hin->n_targets > hout->n_targets) swap_references(hout.get(), hin.get());
    }
    return hout;
}

// Replaces the output header's text with that of the header file, after
// comparing their reference lists.  Differences are fatal (-1) unless
// `is_warning`.
int apply_header_file(bam_header_t* hout, bam_header_t* hheaders, const char* headers, bool is_warning) {
    bool differs = false;
    if (hheaders->n_targets > 0) {
        if (hheaders->n_targets != hout->n_targets) {
            std::fprintf(stderr, "[bam_merge_core] number of @SQ headers in '%s' differs from number of target sequences\n",
                         headers);
            differs = true;
        }
        int common = std::min(hout->n_targets, hheaders->n_targets);
        for (int j = 0; j < common && !(differs && !is_warning); ++j) {
            if (std::strcmp(hout->target_name[j], hheaders->target_name[j]) != 0) {
                std::fprintf(stderr, "[bam_merge_core] @SQ header '%s' in '%s' differs from target sequence\n",
                             hheaders->target_name[j], headers);
                differs = true;
            }
        }
    }
    if (differs && !is_warning) return -1;
    swap_text(hout, hheaders);
    return 0;
}

// Gives every input an iterator over the region.  -1 after a message.
int restrict_to_region(bam_header_t* hout, const char* reg, std::vector<merge_input>& inputs) {
    int tid, beg, end;
    if (bam_parse_region(hout, reg, &tid, &beg, &end) < 0) {
        std::fprintf(stderr, "[%s] Malformated region string or undefined reference name\n", "bam_merge_core");
        return -1;
    }
    for (auto& in : inputs) {
        bam_index_ptr idx(bam_index_load(in.name));
        if (!idx) {
            std::fprintf(stderr, "[bam_merge_core] fail to load the index of file %s\n", in.name);
            return -1;
        }
        in.iter.reset(bam_iter_query(idx.get(), tid, beg, end));
        in.is_empty = !in.iter;
    }
    return 0;
}

BGZF* open_merge_output(const char* out, int flag) {
    const char* mode = (flag & MERGE_UNCOMP) ? "wu" : (flag & MERGE_LEVEL1) ? "w1" : "w";
    return std::strcmp(out, "-") == 0 ? bgzf_fdopen(STDOUT_FILENO, mode) : bgzf_open(out, mode);
}

// Drops any RG field of `b` and appends RG:Z:<rg>.
int tag_read_group(bam1_t* b, const std::string& rg) {
    if (uint8_t* old = bam_aux_get(b, "RG")) bam_aux_del(b, old);
    return bam_aux_append(b, "RG", 'Z', static_cast<int>(rg.size() + 1), reinterpret_cast<const uint8_t*>(rg.c_str()));
}

}  // namespace

int bam_merge_core(int by_qname, const char* out, const char* headers, int n, char* const* fn, int flag, const char* reg,
                   thread_pool* pool) {
    bam_header_ptr hheaders;
    if (headers) {
        tam_ptr fpheaders(sam_open(headers));
        if (!fpheaders) {
            std::fprintf(stderr, "[bam_merge_core] cannot open '%s': %s\n", headers, std::strerror(errno));
            return -1;
        }
        hheaders.reset(sam_header_read(fpheaders.get()));
    }
    g_is_by_qname = by_qname;
    std::vector<merge_input> inputs;
    inputs.reserve(static_cast<size_t>(std::max(n, 0)));
    bam_header_ptr hout = open_inputs(n, fn, inputs, pool);
    if (!hout) return -1;
    if (flag & MERGE_RG)
        for (auto& in : inputs) in.rg = read_group_of(in.name);
    if (hheaders && apply_header_file(hout.get(), hheaders.get(), headers, reg != nullptr) < 0) return -1;
    if (reg && restrict_to_region(hout.get(), reg, inputs) < 0) return -1;

    BGZF* fpout = open_merge_output(out, flag);
    if (!fpout) {
        std::fprintf(stderr, "[%s] fail to create the output file.\n", "bam_merge_core");
        return -1;
    }
    if (pool) bgzf_set_pool(fpout, pool);
    int ret = bam_header_write(fpout, hout.get());
    hout.reset();
    bool is_truncated = false;
    auto read = [&](int i, bam1_t* b) {
        merge_input& in = inputs[static_cast<size_t>(i)];
        if (in.is_empty) return -1;
        int r = bam_iter_read(in.fp.get(), in.iter.get(), b);
        if (r >= 0 && !bam_refs_valid(&b->core, in.n_targets)) r = -4;  // a reference its header lacks: damaged
        if (r >= 0) {
            ++in.n_read;
        } else if (r < -1) {
            std::fprintf(stderr, "[bam_merge_core] '%s' is truncated. Continue anyway.\n", in.name);
            bam_report_damage("bam_merge_core", in.name, in.n_read, in.fp.get());
            is_truncated = true;
        }
        return r;
    };
    auto emit = [&](int i, bam1_t* b) {
        if ((flag & MERGE_RG) && tag_read_group(b, inputs[static_cast<size_t>(i)].rg) < 0) return -1;
        return bam_write1_core(fpout, &b->core, b->data_len, b->data);
    };
    if (ret >= 0) ret = bam_merge_heap(static_cast<int>(inputs.size()), read, emit);
    if (ret < 0) {
        std::fprintf(stderr, "[bam_merge_core] fail to write the output file: %s\n", fpout->error ? fpout->error : "write error");
        bgzf_abandon(fpout);
        return -1;
    }
    if (bgzf_close(fpout) < 0) {
        std::fprintf(stderr, "[bam_merge_core] fail to write the output file.\n");
        return -1;
    }
    return is_truncated ? -1 : 0;
}
