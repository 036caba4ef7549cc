// alnsim: deterministic generator of reference sequences (FASTA) and short-read
// alignments (SAM) for tests and benchmarks.
//
// The output depends only on the arguments. All randomness comes from our own
// splitmix64/xoshiro256** generators, seeded from the seed, the template index
// and the record index; library distributions are never used because they
// differ between standard libraries.
//
// Records come in templates: a read pair or a single read, sometimes followed
// by a secondary alignment and a duplicate copy. Template i is anchored at a
// sweep coordinate that never decreases with i, and every record of it lies at
// or after its anchor, so coordinate order needs only a min-heap of records
// waiting for the sweep to pass them, not the whole data set in memory.
// Unsorted output visits the templates in a pseudo-random permutation; sorted
// output orders by position, forward strand before reverse, and breaks the
// remaining ties by that permutation rank and then by the order inside the
// template, so it equals a stable coordinate sort of the unsorted output.
//
// Every line is in the canonical form the SAM writer produces, so parsing and
// formatting it again gives the same bytes. The NM and MD values follow the
// usual rule of comparing 4-bit base codes, where N never matches.
#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <queue>
#include <string>
#include <string_view>
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// Random numbers

constexpr uint64_t k_golden = 0x9E3779B97F4A7C15ULL;

uint64_t mix64(uint64_t x) {
    x += k_golden;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

// xoshiro256**, seeded through splitmix64.
struct rng_t {
    uint64_t s[4];

    explicit rng_t(uint64_t seed) {
        for (auto& w : s) {
            seed += k_golden;
            w = mix64(seed);
        }
    }

    static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

    uint64_t next() {
        const uint64_t result = rotl(s[1] * 5, 7) * 9;
        const uint64_t t = s[1] << 17;
        s[2] ^= s[0];
        s[3] ^= s[1];
        s[1] ^= s[2];
        s[0] ^= s[3];
        s[2] ^= t;
        s[3] = rotl(s[3], 45);
        return result;
    }

    // Uniform in [0, n) for n >= 1; the modulo bias is irrelevant here.
    uint64_t below(uint64_t n) { return (next() >> 11) % n; }
    int32_t below32(int64_t n) { return static_cast<int32_t>(below(static_cast<uint64_t>(n))); }
    // Uniform in [lo, hi].
    int64_t range(int64_t lo, int64_t hi) { return lo + static_cast<int64_t>(below(static_cast<uint64_t>(hi - lo) + 1)); }
    bool per_mille(uint32_t p) { return below(1000) < p; }
};

// Bijection on [0, n): a four-round Feistel network on the smallest even
// number of bits covering n, walked until the value falls inside the range.
struct permutation_t {
    uint64_t n = 0;
    int half_bits = 1;
    uint64_t half_mask = 1;
    uint64_t keys[4] = {};

    permutation_t(uint64_t size, uint64_t seed) : n(size) {
        int bits = 2;
        while (bits < 64 && (uint64_t{1} << bits) < n) bits += 2;
        half_bits = bits / 2;
        half_mask = (uint64_t{1} << half_bits) - 1;
        for (int k = 0; k < 4; ++k) keys[k] = mix64(seed ^ (0x5045524DULL + static_cast<uint64_t>(k)));
    }

    uint64_t round_fn(uint64_t x, int k) const { return mix64(x ^ keys[k]) & half_mask; }

    uint64_t encrypt(uint64_t x) const {
        uint64_t l = x >> half_bits, r = x & half_mask;
        for (int k = 0; k < 4; ++k) {
            const uint64_t t = l ^ round_fn(r, k);
            l = r;
            r = t;
        }
        return (l << half_bits) | r;
    }

    uint64_t decrypt(uint64_t x) const {
        uint64_t l = x >> half_bits, r = x & half_mask;
        for (int k = 3; k >= 0; --k) {
            const uint64_t t = r ^ round_fn(l, k);
            r = l;
            l = t;
        }
        return (l << half_bits) | r;
    }

    uint64_t forward(uint64_t x) const {
        do x = encrypt(x);
        while (x >= n);
        return x;
    }

    uint64_t inverse(uint64_t x) const {
        do x = decrypt(x);
        while (x >= n);
        return x;
    }
};

// ---------------------------------------------------------------------------
// Options

struct options_t {
    uint64_t seed = 1;
    uint64_t n_refs = 3;
    uint64_t ref_len = 100000;
    uint64_t n_records = 1000;
    uint64_t line_width = 60;
    uint64_t read_len = 100;
    std::string fasta_path;
    std::string sam_path = "-";
    bool sorted = false;
    bool header = true;
    // Diploid mode: reads from two haplotypes with planted variants.
    bool diploid = false;
    uint64_t depth = 20;
    std::string truth_path;
    std::string sample = "S1";
};

void print_usage(FILE* fp) {
    std::fputs(
        "Usage: alnsim [options]\n"
        "  --seed N        PRNG seed [1]\n"
        "  --refs N        number of reference sequences [3]\n"
        "  --ref-len N     approximate reference length, varied by up to 30% [100000]\n"
        "  --records N     approximate number of SAM records [1000]\n"
        "  --fasta FILE    write the references as FASTA to FILE\n"
        "  --line-width N  FASTA line width [60]\n"
        "  --sam FILE      write SAM to FILE; '-' is standard output [-]\n"
        "  --sorted        coordinate order with SO:coordinate (default: unsorted)\n"
        "  --no-header     omit the header lines\n"
        "  --read-len N    read length [100]\n"
        "Diploid mode (coordinate-sorted read pairs from two haplotypes with planted\n"
        "SNPs and short indels; ignores --records, --sorted and --no-header):\n"
        "  --diploid       turn it on\n"
        "  --truth FILE    write the sample's variant genotypes to FILE\n"
        "  --depth N       mean read depth [20]\n"
        "  --sample NAME   sample and read-group name [S1]\n",
        fp);
}

bool parse_number(const char* text, uint64_t lo, uint64_t hi, uint64_t& out) {
    const char* end = text + std::strlen(text);
    uint64_t v = 0;
    auto [p, ec] = std::from_chars(text, end, v);
    if (ec != std::errc() || p != end || p == text || v < lo || v > hi) return false;
    out = v;
    return true;
}

// Returns 0 on success, 1 on bad arguments, 2 when --help was asked for.
int parse_options(int argc, char** argv, options_t& opt) {
    struct numeric_t {
        const char* name;
        uint64_t* target;
        uint64_t lo, hi;
    };
    const numeric_t numeric[] = {
        {"--seed", &opt.seed, 0, UINT64_MAX},
        {"--refs", &opt.n_refs, 1, 100000},
        {"--ref-len", &opt.ref_len, 1, uint64_t{1} << 30},
        {"--records", &opt.n_records, 0, uint64_t{1} << 40},
        {"--line-width", &opt.line_width, 1, uint64_t{1} << 30},
        {"--read-len", &opt.read_len, 1, 100000},
        {"--depth", &opt.depth, 1, 100000},
    };
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a == "--help" || a == "-h") return 2;
        if (a == "--sorted") {
            opt.sorted = true;
            continue;
        }
        if (a == "--no-header") {
            opt.header = false;
            continue;
        }
        if (a == "--diploid") {
            opt.diploid = true;
            continue;
        }
        const bool is_path = a == "--fasta" || a == "--sam" || a == "--truth" || a == "--sample";
        const numeric_t* num = nullptr;
        for (const auto& n : numeric)
            if (a == n.name) num = &n;
        if (!is_path && !num) {
            std::fprintf(stderr, "alnsim: unknown option: %s\n", argv[i]);
            return 1;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "alnsim: missing value for %s\n", argv[i]);
            return 1;
        }
        const char* value = argv[++i];
        if (is_path) {
            if (value[0] == '\0') {
                std::fprintf(stderr, "alnsim: empty file name for %s\n", argv[i - 1]);
                return 1;
            }
            (a == "--fasta"   ? opt.fasta_path
             : a == "--sam"   ? opt.sam_path
             : a == "--truth" ? opt.truth_path
                              : opt.sample) = value;
        } else if (!parse_number(value, num->lo, num->hi, *num->target)) {
            std::fprintf(stderr, "alnsim: bad value for %s: %s\n", argv[i - 1], value);
            return 1;
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Buffered output: large fwrite calls, the buffer is reused for the whole run.

struct output_t {
    FILE* fp = nullptr;
    bool owned = false;
    std::vector<char> buf;
    size_t used = 0;
    bool failed = false;

    bool open(const std::string& path, size_t capacity) {
        if (path == "-") {
            fp = stdout;
        } else {
            fp = std::fopen(path.c_str(), "wb");
            if (!fp) return false;
            owned = true;
        }
        buf.resize(capacity);
        return true;
    }

    void flush() {
        if (used && std::fwrite(buf.data(), 1, used, fp) != used) failed = true;
        used = 0;
    }

    // Room for at least n more bytes; the caller writes through the pointer
    // and hands the advanced pointer back to commit().
    char* reserve(size_t n) {
        if (buf.size() - used < n) {
            flush();
            if (buf.size() < n) buf.resize(n);
        }
        return buf.data() + used;
    }

    void commit(const char* end) { used = static_cast<size_t>(end - buf.data()); }

    void write(std::string_view s) {
        char* w = reserve(s.size());
        std::memcpy(w, s.data(), s.size());
        commit(w + s.size());
    }

    bool close() {
        flush();
        if (std::fflush(fp) != 0) failed = true;
        if (owned && std::fclose(fp) != 0) failed = true;
        fp = nullptr;
        return !failed;
    }
};

char* put(char* w, std::string_view s) {
    std::memcpy(w, s.data(), s.size());
    return w + s.size();
}

char* put_u64(char* w, uint64_t v) {
    char tmp[20];
    int n = 0;
    do {
        tmp[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v);
    while (n) *w++ = tmp[--n];
    return w;
}

char* put_i64(char* w, int64_t v) {
    if (v < 0) {
        *w++ = '-';
        return put_u64(w, ~static_cast<uint64_t>(v) + 1);
    }
    return put_u64(w, static_cast<uint64_t>(v));
}

// "%g" of an exactly representable value. A "%g" string has at most six
// significant digits, so it reads back to a float or double that prints the
// same string again.
char* put_g(char* w, double v) {
    char tmp[48];
    const int n = std::snprintf(tmp, sizeof tmp, "%g", v);
    return put(w, std::string_view(tmp, static_cast<size_t>(n)));
}

// ---------------------------------------------------------------------------
// Nucleotides and CIGAR operations

// Character to 4-bit code over "=ACMGRSVTWYHKDBN"; everything else is 15 (N).
constexpr std::array<uint8_t, 256> make_nt16() {
    std::array<uint8_t, 256> t{};
    for (auto& c : t) c = 15;
    const char* alphabet = "=ACMGRSVTWYHKDBN";
    for (int i = 0; i < 16; ++i) t[static_cast<uint8_t>(alphabet[i])] = static_cast<uint8_t>(i);
    return t;
}
constexpr std::array<uint8_t, 256> k_nt16 = make_nt16();

// Base to 2-bit code over "ACGT" (anything else reads as A).
constexpr std::array<uint8_t, 256> make_nt4() {
    std::array<uint8_t, 256> t{};
    t['C'] = 1;
    t['G'] = 2;
    t['T'] = 3;
    return t;
}
constexpr std::array<uint8_t, 256> k_nt4 = make_nt4();

constexpr char k_acgt[] = "ACGT";
constexpr char k_iupac[] = "MRSVWYHKDB";  // ambiguity codes other than N
constexpr char k_cigar_letters[] = "MIDNSHP=X";

enum cigar_op_t : uint32_t { op_m = 0, op_i = 1, op_d = 2, op_n = 3, op_s = 4, op_h = 5, op_eq = 7, op_x = 8 };

constexpr uint32_t cigar_word(uint32_t len, uint32_t op) { return len << 4 | op; }
constexpr uint32_t cigar_len(uint32_t w) { return w >> 4; }
constexpr uint32_t cigar_op(uint32_t w) { return w & 0xF; }
constexpr bool consumes_query(uint32_t op) { return op == op_m || op == op_i || op == op_s || op == op_eq || op == op_x; }
constexpr bool consumes_ref(uint32_t op) { return op == op_m || op == op_d || op == op_n || op == op_eq || op == op_x; }

constexpr int k_max_ops = 16;

struct cigar_t {
    uint32_t ops[k_max_ops];
    int n = 0;
    int32_t span = 0;  // reference bases covered

    void push(uint32_t len, uint32_t op) {
        if (len) ops[n++] = cigar_word(len, op);
    }
};

// A CIGAR for a read of read_len bases whose alignment covers at most room
// reference bases: hard and soft clips, and up to three insertions,
// deletions or skips between match blocks. When the read does not fit, the
// events are dropped and then the excess is soft-clipped at the right end.
cigar_t make_cigar(rng_t& rng, int32_t read_len, int32_t room) {
    int32_t hl = 0, hr = 0, sl = 0, sr = 0;
    if (read_len >= 20) {
        if (rng.per_mille(15)) hl = 1 + rng.below32(std::min(30, read_len / 5));
        if (rng.per_mille(15)) hr = 1 + rng.below32(std::min(30, read_len / 5));
    }
    const int32_t q = read_len - hl - hr;
    if (q >= 8) {
        if (rng.per_mille(70)) sl = 1 + rng.below32(std::min(30, q / 4));
        if (rng.per_mille(70)) sr = 1 + rng.below32(std::min(30, q / 4));
    }
    int32_t body = q - sl - sr;

    struct event_t {
        uint32_t op;
        int32_t len;
    } ev[3];
    int n_ev = 0;
    if (body >= 20) {
        const uint64_t roll = rng.below(1000);
        n_ev = roll < 780 ? 0 : roll < 930 ? 1 : roll < 980 ? 2 : 3;
    }
    int32_t ins = 0, ref_extra = 0;
    for (int k = 0; k < n_ev; ++k) {
        const uint64_t kind = rng.below(10);
        if (kind < 4) {
            ev[k] = {op_i, 1 + rng.below32(std::min(6, body / 8))};
            ins += ev[k].len;
        } else if (kind < 8) {
            ev[k] = {op_d, 1 + rng.below32(rng.per_mille(100) ? 30 : 8)};
            ref_extra += ev[k].len;
        } else {
            ev[k] = {op_n, rng.per_mille(200) ? static_cast<int32_t>(rng.range(2000, 12000))
                                              : static_cast<int32_t>(rng.range(20, 2000))};
            ref_extra += ev[k].len;
        }
    }
    int32_t matched = body - ins;
    int32_t cut[3];
    for (int k = 0; k < n_ev; ++k) cut[k] = 1 + rng.below32(matched - 1);
    std::sort(cut, cut + n_ev);
    for (int k = 1; k < n_ev; ++k)
        if (cut[k] == cut[k - 1]) n_ev = 0;  // rare: two events at one place
    if (n_ev == 0 || matched + ref_extra > room) {
        n_ev = 0;
        matched = body;
        ref_extra = 0;
    }
    if (n_ev == 0 && body > room) {
        sr += body - room;
        body = matched = room;
    }

    cigar_t c;
    c.push(static_cast<uint32_t>(hl), op_h);
    c.push(static_cast<uint32_t>(sl), op_s);
    int32_t prev = 0;
    for (int k = 0; k < n_ev; ++k) {
        c.push(static_cast<uint32_t>(cut[k] - prev), op_m);
        c.push(static_cast<uint32_t>(ev[k].len), ev[k].op);
        prev = cut[k];
    }
    c.push(static_cast<uint32_t>(matched - prev), op_m);
    c.push(static_cast<uint32_t>(sr), op_s);
    c.push(static_cast<uint32_t>(hr), op_h);
    c.span = matched + ref_extra;
    return c;
}

// ---------------------------------------------------------------------------
// References

struct reference_set_t {
    std::vector<std::string> names;
    std::vector<std::string> seqs;
    std::vector<uint64_t> offsets;  // global coordinate of each first base
    uint64_t total = 0;

    int32_t length(int32_t tid) const { return static_cast<int32_t>(seqs[static_cast<size_t>(tid)].size()); }

    // Reference index and position of a global coordinate below total.
    void locate(uint64_t g, int32_t& tid, int32_t& pos) const {
        const auto it = std::upper_bound(offsets.begin(), offsets.end(), g);
        tid = static_cast<int32_t>(it - offsets.begin()) - 1;
        pos = static_cast<int32_t>(g - offsets[static_cast<size_t>(tid)]);
    }
};

// Random ACGT with a few runs of N, lengths spread over +-30% of ref_len.
reference_set_t make_references(const options_t& opt) {
    reference_set_t refs;
    for (uint64_t t = 0; t < opt.n_refs; ++t) {
        rng_t rng(mix64(opt.seed ^ 0x52454653ULL) + t * k_golden);
        const uint64_t len = std::max<uint64_t>(1, opt.ref_len * (700 + rng.below(601)) / 1000);
        std::string s(len, 'A');
        for (uint64_t i = 0; i < len; i += 32) {
            uint64_t bits = rng.next();
            const uint64_t n = std::min<uint64_t>(32, len - i);
            for (uint64_t j = 0; j < n; ++j, bits >>= 2) s[i + j] = k_acgt[bits & 3];
        }
        if (len >= 1000) {
            const uint64_t runs = len / 40000 + rng.below(2);
            for (uint64_t r = 0; r < runs; ++r) {
                const uint64_t run_len = 1 + rng.below(std::min<uint64_t>(500, len / 20));
                const uint64_t start = rng.below(len - run_len + 1);
                std::memset(&s[start], 'N', run_len);
            }
        }
        refs.names.push_back("chr" + std::to_string(t + 1));
        refs.offsets.push_back(refs.total);
        refs.total += len;
        refs.seqs.push_back(std::move(s));
    }
    return refs;
}

bool write_fasta(const reference_set_t& refs, const options_t& opt) {
    output_t out;
    if (!out.open(opt.fasta_path, size_t{1} << 22)) return false;
    const size_t width = static_cast<size_t>(opt.line_width);
    for (size_t t = 0; t < refs.seqs.size(); ++t) {
        out.write(">");
        out.write(refs.names[t]);
        out.write("\n");
        const std::string& s = refs.seqs[t];
        for (size_t i = 0; i < s.size(); i += width) {
            const size_t n = std::min(width, s.size() - i);
            char* w = out.reserve(n + 1);
            w = put(w, std::string_view(s.data() + i, n));
            *w++ = '\n';
            out.commit(w);
        }
    }
    return out.close();
}

// ---------------------------------------------------------------------------
// Templates

enum : uint16_t {
    f_paired = 0x1,
    f_proper = 0x2,
    f_unmap = 0x4,
    f_munmap = 0x8,
    f_reverse = 0x10,
    f_mreverse = 0x20,
    f_read1 = 0x40,
    f_read2 = 0x80,
    f_secondary = 0x100,
    f_qcfail = 0x200,
    f_dup = 0x400,
};

constexpr uint8_t k_no_rg = 0xFF;
constexpr const char* k_read_groups[] = {"grpA", "grpB", "grpC", "grpD"};

// Everything about one record that its mate or the sort order depends on;
// sequence, qualities and optional fields are derived from (tmpl, sub) when
// the record is formatted.
struct rec_plan_t {
    uint64_t tmpl = 0;
    int32_t tid = -1, pos = -1, mtid = -1, mpos = -1;
    int32_t tlen = 0;
    int32_t read_len = 0;
    uint16_t flag = 0;
    uint8_t sub = 0;  // position inside the template; seeds the content
    uint8_t mapq = 0;
    int16_t mate_mapq = -1;  // -1: no mapped mate
    uint8_t rg = k_no_rg;
    bool dup_name = false;
    bool no_seq = false;  // SEQ and QUAL both "*"
    cigar_t cigar;

    bool is_unmapped() const { return flag & f_unmap; }
    // 5' end: the start of a forward read, one past the end of a reverse one.
    int64_t five_prime() const { return (flag & f_reverse) ? int64_t{pos} + cigar.span : pos; }
    uint64_t coord() const { return (static_cast<uint64_t>(static_cast<int64_t>(tid)) << 32) | static_cast<uint32_t>(pos + 1); }
};

constexpr int k_max_template_records = 5;

// Fills the mate fields of two primary records of one template.
void link_mates(rec_plan_t& a, rec_plan_t& b) {
    a.mtid = b.tid;
    a.mpos = b.pos;
    b.mtid = a.tid;
    b.mpos = a.pos;
    if (b.flag & f_reverse) a.flag |= f_mreverse;
    if (a.flag & f_reverse) b.flag |= f_mreverse;
    if (b.is_unmapped()) a.flag |= f_munmap;
    if (a.is_unmapped()) b.flag |= f_munmap;
    a.mate_mapq = b.is_unmapped() ? -1 : b.mapq;
    b.mate_mapq = a.is_unmapped() ? -1 : a.mapq;
    if (!a.is_unmapped() && !b.is_unmapped() && a.tid == b.tid) {
        a.tlen = static_cast<int32_t>(b.five_prime() - a.five_prime());
        b.tlen = -a.tlen;
    } else {
        a.tlen = b.tlen = 0;
    }
}

// The choices of a template that fix how many records it has; they come from
// their own stream so that the count depends on the template index alone.
struct template_shape_t {
    uint64_t kind;  // per mille: proper pair, odd pair, distant mate, one or both mates unmapped, single
    bool secondary, second_of_pair, dup, dup_marked;

    bool is_pair() const { return kind < 845; }
    bool is_mapped() const { return !(kind >= 830 && kind < 845) && kind < 980; }
    bool can_dup() const { return kind < 700 || (kind >= 845 && kind < 980); }
    int n_records() const {
        const int primaries = is_pair() ? 2 : 1;
        return primaries + (is_mapped() && secondary) + (can_dup() && dup ? primaries : 0);
    }
};

struct simulator_t {
    options_t opt;
    reference_set_t refs;
    uint64_t n_templates = 0;
    uint64_t seed_tmpl = 0, seed_shape = 0, seed_content = 0, seed_anchor = 0, seed_name = 0;
    int32_t read_len = 100;

    // Illumina-style run identity shared by all names of one seed.
    std::string run_prefix;

    // Scratch reused for every record.
    std::vector<char> seq;
    std::vector<char> qual;
    std::vector<int32_t> ref_of;  // reference position of each query base, -1 if none
    std::vector<uint8_t> match;   // 1 when the base matches the reference
    std::string md;

    void init(const options_t& o) {
        opt = o;
        read_len = static_cast<int32_t>(opt.read_len);
        refs = make_references(opt);
        seed_tmpl = mix64(opt.seed ^ 0x544D504CULL);
        seed_shape = mix64(opt.seed ^ 0x53484150ULL);
        seed_content = mix64(opt.seed ^ 0x434F4E54ULL);
        seed_anchor = mix64(opt.seed ^ 0x414E4348ULL);
        seed_name = mix64(opt.seed ^ 0x4E414D45ULL);
        // As many templates as it takes to reach the requested record count
        // (overshooting by at most four records).
        for (uint64_t n = 0; n < opt.n_records; ++n_templates) n += static_cast<uint64_t>(shape(n_templates).n_records());
        rng_t rng(seed_name);
        static const char base36[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
        // One draw per statement: the order of operand evaluation is unspecified.
        const uint64_t instrument = 1 + rng.below(9);
        const uint64_t run = 1 + rng.below(999);
        run_prefix = "SIM" + std::to_string(instrument) + ":" + std::to_string(run) + ":H";
        for (int k = 0; k < 8; ++k) run_prefix += base36[rng.below(36)];
        const size_t cap = 16 * static_cast<size_t>(read_len) + 8192;
        seq.resize(cap);
        qual.resize(cap);
        ref_of.resize(cap);
        match.resize(cap);
    }

    template_shape_t shape(uint64_t i) const {
        rng_t rng(seed_shape ^ mix64(i));
        template_shape_t t;
        t.kind = rng.below(1000);
        t.secondary = rng.per_mille(25);
        t.second_of_pair = rng.below(2);
        t.dup = rng.per_mille(40);
        t.dup_marked = rng.per_mille(850);
        return t;
    }

    // Global sweep coordinate of template i: non-decreasing in i.
    uint64_t anchor(uint64_t i) const {
        const uint64_t g = refs.total;
        const uint64_t base = static_cast<uint64_t>((static_cast<unsigned __int128>(i) * g) / n_templates);
        const uint64_t step = g / n_templates;
        return base + (step > 1 ? mix64(seed_anchor ^ i) % step : 0);
    }

    uint8_t draw_mapq(rng_t& rng) const {
        const uint64_t roll = rng.below(1000);
        if (roll < 550) return 60;
        if (roll < 555) return 255;
        return static_cast<uint8_t>(rng.below(60));
    }

    // A mapped record placed at (tid, pos) with a CIGAR that fits the reference.
    void place(rng_t& rng, rec_plan_t& r, int32_t tid, int32_t pos) const {
        r.tid = tid;
        r.pos = pos;
        r.cigar = make_cigar(rng, read_len, refs.length(tid) - pos);
    }

    // A random global location strictly after g, or false when there is none.
    bool later_location(rng_t& rng, uint64_t g, int32_t& tid, int32_t& pos) const {
        if (refs.total - g < 2) return false;
        refs.locate(g + 1 + rng.below(refs.total - g - 1), tid, pos);
        return true;
    }

    // The records of template i in output order; *anchor_coord receives the
    // lowest coordinate any of them may have (UINT64_MAX for unplaced ones).
    int plan_template(uint64_t i, rec_plan_t* out, uint64_t* anchor_coord) const;

    void format_record(const rec_plan_t& r, output_t& out);
    char* put_name(char* w, uint64_t tmpl, bool dup) const;
    char* put_optional(char* w, rng_t& rng, const rec_plan_t& r, int32_t nm, int32_t aligned);
    void write_header(output_t& out) const;
};

int simulator_t::plan_template(uint64_t i, rec_plan_t* out, uint64_t* anchor_coord) const {
    rng_t rng(seed_tmpl ^ mix64(i));
    const template_shape_t shape_i = shape(i);
    const uint64_t kind = shape_i.kind;
    const uint64_t rg_roll = rng.below(100);
    const uint8_t rg = rg_roll < 40 ? 0 : rg_roll < 65 ? 1 : rg_roll < 90 ? 2 : rg_roll < 95 ? 3 : k_no_rg;
    const bool qcfail = rng.per_mille(10);

    const uint64_t g = anchor(i);
    int32_t tid = 0, s = 0;
    refs.locate(g, tid, s);
    *anchor_coord = (static_cast<uint64_t>(tid) << 32) | static_cast<uint32_t>(s + 1);
    const int32_t room = refs.length(tid) - s;

    rec_plan_t& a = out[0];
    rec_plan_t& b = out[1];
    a = rec_plan_t{};
    b = rec_plan_t{};
    a.tmpl = b.tmpl = i;
    a.rg = b.rg = rg;
    a.read_len = b.read_len = read_len;
    int n = 0;

    if (kind < 845) {
        // Read pairs. a is the leftmost (or the mapped) read.
        a.flag = b.flag = f_paired;
        a.mapq = draw_mapq(rng);
        b.mapq = draw_mapq(rng);
        place(rng, a, tid, s);
        if (kind < 750) {
            // Proper FR pairs (kind < 700) and same-reference pairs in an odd
            // orientation or with a long insert.
            cigar_t c2 = make_cigar(rng, read_len, room);
            int64_t frag = read_len + 60;
            for (int k = 0; k < 3; ++k) frag += static_cast<int64_t>(rng.below(200));
            uint16_t sa = 0, sb = f_reverse;
            if (kind >= 700) {
                const uint64_t v = rng.below(10);
                if (v < 4) {
                    sa = sb = rng.below(2) ? f_reverse : 0;
                } else if (v < 7) {
                    sa = f_reverse;
                    sb = 0;
                } else {
                    frag = rng.range(2000, 50000);
                }
            } else {
                a.flag |= f_proper;
                b.flag |= f_proper;
            }
            const int64_t d = std::min<int64_t>(std::max<int64_t>(0, frag - c2.span), room - c2.span);
            b.tid = tid;
            b.pos = s + static_cast<int32_t>(d);
            b.cigar = c2;
            a.flag |= sa;
            b.flag |= sb;
        } else if (kind < 780) {
            // Mate far away, usually on another reference.
            a.flag |= rng.below(2) ? f_reverse : 0;
            b.flag |= rng.below(2) ? f_reverse : 0;
            int32_t t2 = 0, p2 = 0;
            if (later_location(rng, g, t2, p2)) {
                place(rng, b, t2, p2);
            } else {
                place(rng, b, tid, s);
            }
        } else if (kind < 830) {
            // One mate unmapped, placed at the position of the other.
            a.flag |= rng.below(2) ? f_reverse : 0;
            b.flag |= f_unmap;
            b.tid = a.tid;
            b.pos = a.pos;
            b.mapq = 0;
        } else {
            // Both mates unmapped and unplaced.
            a = rec_plan_t{};
            b = rec_plan_t{};
            a.tmpl = b.tmpl = i;
            a.rg = b.rg = rg;
            a.read_len = b.read_len = read_len;
            a.flag = b.flag = f_paired | f_unmap | f_munmap;
        }
        link_mates(a, b);
        const bool a_first = rng.below(2);
        a.flag |= a_first ? f_read1 : f_read2;
        b.flag |= a_first ? f_read2 : f_read1;
        if (!a_first) std::swap(a, b);
        n = 2;
    } else if (kind < 980) {
        a.flag = rng.below(2) ? f_reverse : 0;
        a.mapq = draw_mapq(rng);
        place(rng, a, tid, s);
        n = 1;
    } else {
        a.flag = f_unmap;
        n = 1;
    }
    if (!shape_i.is_mapped()) *anchor_coord = UINT64_MAX;

    // A secondary alignment of a mapped primary record, further along (at
    // the anchor when nothing lies further along).
    if (shape_i.is_mapped() && shape_i.secondary) {
        const int k = n == 2 && (out[0].is_unmapped() || (shape_i.second_of_pair && !out[1].is_unmapped())) ? 1 : 0;
        int32_t t2 = tid, p2 = s;
        later_location(rng, g, t2, p2);
        rec_plan_t& sec = out[n++];
        sec = out[k];
        sec.flag = static_cast<uint16_t>((sec.flag & ~(f_proper | f_reverse)) | f_secondary | (rng.below(2) ? f_reverse : 0));
        sec.mapq = static_cast<uint8_t>(rng.per_mille(900) ? rng.below(4) : rng.below(61));
        sec.tlen = 0;
        sec.no_seq = rng.per_mille(300);
        place(rng, sec, t2, p2);
    }

    // A duplicate copy under a new name at the same positions.
    if (shape_i.can_dup() && shape_i.dup) {
        const bool marked = shape_i.dup_marked;
        const int primaries = shape_i.is_pair() ? 2 : 1;
        for (int k = 0; k < primaries; ++k) {
            rec_plan_t& d = out[n++];
            d = out[k];
            d.dup_name = true;
            if (marked) d.flag |= f_dup;
        }
    }

    for (int k = 0; k < n; ++k) {
        out[k].sub = static_cast<uint8_t>(k);
        if (qcfail) out[k].flag |= f_qcfail;
    }
    return n;
}

// Names: mostly r<number>, some Illumina-style, a few long ones (<= 200
// characters); all contain the template number, so they are unique.
char* simulator_t::put_name(char* w, uint64_t tmpl, bool dup) const {
    const uint64_t h = mix64(seed_name ^ tmpl);
    const uint64_t style = h % 1000;
    char* start = w;
    if (style < 760) {
        *w++ = 'r';
        w = put_u64(w, tmpl + 1);
    } else {
        w = put(w, run_prefix);
        *w++ = ':';
        w = put_u64(w, 1 + (h >> 10) % 8);
        *w++ = ':';
        w = put_u64(w, 1101 + (h >> 20) % 1128);
        *w++ = ':';
        w = put_u64(w, tmpl + 1);
        *w++ = ':';
        w = put_u64(w, (h >> 32) % 100000);
        if (style >= 985) {
            static const char alnum[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
            rng_t rng(h);
            const int64_t target = rng.range(100, 196);
            while (w - start < target) {
                *w++ = rng.below(3) ? ':' : '_';
                for (int k = 0; k < 8 && w - start < target; ++k) *w++ = alnum[rng.below(62)];
            }
        }
    }
    if (dup) w = put(w, "_dup");
    return w;
}

int64_t draw_spread_int(rng_t& rng) {
    static const int64_t edges[] = {255, 256, 65535, 65536, 2147483647, 2147483648LL, -127, -32767, 0, -1};
    switch (rng.below(12)) {
    case 0: return rng.range(-127, -1);
    case 1: return -128;
    case 2: return rng.range(-32767, -129);
    case 3: return -32768;
    case 4: return rng.range(-2147483647LL, -32769);
    case 5: return -2147483648LL;
    case 6: return rng.range(0, 255);
    case 7: return rng.range(256, 65535);
    case 8: return rng.range(65536, 2147483647LL);
    case 9: return rng.range(2147483648LL, 4294967295LL);
    case 10: return 4294967295LL;
    default: return edges[rng.below(std::size(edges))];
    }
}

// Floating values exactly representable as floats: eighths, small integers
// and mantissas below 100000 scaled by a power of two.
double draw_float(rng_t& rng) {
    const uint64_t roll = rng.below(10);
    if (roll < 4) return static_cast<double>(rng.range(-7999, 7999)) / 8.0;
    if (roll < 6) return static_cast<double>(rng.range(-1000, 1000));
    const double m = static_cast<double>(rng.range(1, 99999));
    const double sign = rng.below(2) ? -1.0 : 1.0;
    return std::ldexp(sign * m, static_cast<int>(rng.range(-20, 20)));
}

double draw_double(rng_t& rng) {
    if (rng.below(2)) return draw_float(rng);
    const double m = static_cast<double>(rng.range(1, int64_t{1} << 40));
    const double sign = rng.below(2) ? -1.0 : 1.0;
    return std::ldexp(sign * m, static_cast<int>(rng.range(-200, 200)));
}

char* put_b_array(char* w, rng_t& rng, const char* tag) {
    static const char types[] = "cCsSiIf";
    const char type = types[rng.below(7)];
    const int64_t count = rng.per_mille(50) ? rng.range(9, 40) : rng.range(1, 8);
    w = put(w, "\t");
    w = put(w, tag);
    w = put(w, ":B:");
    *w++ = type;
    for (int64_t k = 0; k < count; ++k) {
        *w++ = ',';
        const bool edge = rng.per_mille(100);
        const bool high = rng.below(2);
        switch (type) {
        case 'c': w = put_i64(w, edge ? (high ? 127 : -128) : rng.range(-128, 127)); break;
        case 'C': w = put_i64(w, edge ? (high ? 255 : 0) : rng.range(0, 255)); break;
        case 's': w = put_i64(w, edge ? (high ? 32767 : -32768) : rng.range(-32768, 32767)); break;
        case 'S': w = put_i64(w, edge ? (high ? 65535 : 0) : rng.range(0, 65535)); break;
        case 'i': w = put_i64(w, edge ? (high ? 2147483647LL : -2147483648LL) : rng.range(-2147483648LL, 2147483647LL)); break;
        case 'I': w = put_i64(w, edge ? (high ? 4294967295LL : 0) : rng.range(0, 4294967295LL)); break;
        default: w = put_g(w, draw_float(rng)); break;
        }
    }
    return w;
}

char* simulator_t::put_optional(char* w, rng_t& rng, const rec_plan_t& r, int32_t nm, int32_t aligned) {
    if (rng.per_mille(40)) return w;  // no optional fields at all
    if (r.rg != k_no_rg) {
        w = put(w, "\tRG:Z:");
        w = put(w, k_read_groups[r.rg]);
    }
    const bool mapped = !r.is_unmapped();
    if (mapped && rng.per_mille(850)) {
        w = put(w, "\tNM:i:");
        w = put_i64(w, nm);
    }
    if (mapped && !r.no_seq && rng.per_mille(600)) {
        w = put(w, "\tMD:Z:");
        w = put(w, md);
    }
    if (mapped && rng.per_mille(700)) {
        const int32_t as = std::max(0, aligned - 5 * nm);
        w = put(w, "\tAS:i:");
        w = put_i64(w, as);
        if (rng.per_mille(300)) {
            w = put(w, "\tXS:i:");
            w = put_i64(w, rng.range(0, as));
        }
    }
    if (mapped && r.mate_mapq >= 0 && rng.per_mille(500)) {
        w = put(w, "\tMQ:i:");
        w = put_i64(w, r.mate_mapq);
    }
    if (rng.per_mille(250)) {
        w = put(w, "\tXI:i:");
        w = put_i64(w, draw_spread_int(rng));
    }
    if (rng.per_mille(100)) {
        w = put(w, "\tXA:A:");
        *w++ = static_cast<char>(33 + rng.below(94));
    }
    if (rng.per_mille(100)) {
        w = put(w, "\tXF:f:");
        w = put_g(w, draw_float(rng));
    }
    if (rng.per_mille(60)) {
        w = put(w, "\tXD:d:");
        w = put_g(w, draw_double(rng));
    }
    if (rng.per_mille(60)) {
        static const char hex[] = "0123456789ABCDEF";
        w = put(w, "\tXH:H:");
        for (int64_t k = rng.range(1, 16); k > 0; --k) {
            *w++ = hex[rng.below(16)];
            *w++ = hex[rng.below(16)];
        }
    }
    if (rng.per_mille(100)) {
        static const char* words[] = {"alpha", "beta", "gamma", "read",  "pair", "x",      "42",    "a:b",
                                      "p=0.5", "tag",  "hello", "world", "N/A",  "[ok]",   "#1",    "100%",
                                      "{x,y}", "~!@$", "^&*()", "a\\b",  "'q'",  "\"dq\"", "<tab>", "-_+="};
        w = put(w, "\tXZ:Z:");
        for (int64_t k = rng.range(1, 5); k > 0; --k) {
            w = put(w, words[rng.below(std::size(words))]);
            if (k > 1) *w++ = ' ';
        }
    }
    if (rng.per_mille(120)) w = put_b_array(w, rng, "XB");
    if (rng.per_mille(30)) w = put_b_array(w, rng, "YB");
    return w;
}

void simulator_t::format_record(const rec_plan_t& r, output_t& out) {
    rng_t rng(seed_content ^ mix64(r.tmpl * 8 + r.sub));
    const bool mapped = !r.is_unmapped();
    const std::string* ref = mapped ? &refs.seqs[static_cast<size_t>(r.tid)] : nullptr;

    // Sequence: reference bases under the match blocks, random bases in
    // clips and insertions and for unmapped reads.
    int32_t qlen = 0;
    if (!mapped) {
        qlen = r.read_len;
        for (int32_t k = 0; k < qlen; k += 32) {
            uint64_t bits = rng.next();
            for (int32_t j = k; j < std::min(qlen, k + 32); ++j, bits >>= 2) {
                seq[static_cast<size_t>(j)] = k_acgt[bits & 3];
                ref_of[static_cast<size_t>(j)] = -1;
            }
        }
    } else {
        int32_t rp = r.pos;
        for (int k = 0; k < r.cigar.n; ++k) {
            const uint32_t op = cigar_op(r.cigar.ops[k]);
            const int32_t len = static_cast<int32_t>(cigar_len(r.cigar.ops[k]));
            if (op == op_m) {
                std::memcpy(&seq[static_cast<size_t>(qlen)], ref->data() + rp, static_cast<size_t>(len));
                for (int32_t j = 0; j < len; ++j) ref_of[static_cast<size_t>(qlen + j)] = rp + j;
                qlen += len;
                rp += len;
            } else if (op == op_i || op == op_s) {
                for (int32_t j = 0; j < len; ++j, ++qlen) {
                    seq[static_cast<size_t>(qlen)] = k_acgt[rng.below(4)];
                    ref_of[static_cast<size_t>(qlen)] = -1;
                }
            } else if (consumes_ref(op)) {
                rp += len;
            }
        }
        // Substitutions, scaled with the read length.
        const uint64_t roll = rng.below(1000);
        int64_t subs = roll < 400   ? 0
                       : roll < 650 ? 1
                       : roll < 800 ? 2
                       : roll < 900 ? 3
                       : roll < 970 ? rng.range(4, 6)
                                    : rng.range(7, 12);
        subs *= std::max<int64_t>(1, qlen / 100);
        for (int64_t k = 0, tries = 0; k < subs && tries < 4 * subs; ++tries) {
            const size_t q = rng.below(static_cast<uint64_t>(qlen));
            if (ref_of[q] < 0) continue;
            const char old = seq[q];
            seq[q] = k_acgt[(k_nt4[static_cast<uint8_t>(old)] + 1 + rng.below(3)) & 3];
            if (old == 'N') seq[q] = k_acgt[rng.below(4)];
            ++k;
        }
    }
    if (qlen > 0 && rng.per_mille(20))
        for (int64_t k = rng.range(1, 3); k > 0; --k) seq[rng.below(static_cast<uint64_t>(qlen))] = 'N';
    if (qlen > 0 && rng.per_mille(3)) {
        const uint64_t q = rng.below(static_cast<uint64_t>(qlen));
        seq[q] = k_iupac[rng.below(10)];
    }

    // Match status per aligned base, NM and MD: bases match when their 4-bit
    // codes are equal and not N.
    int32_t nm = 0, aligned = 0;
    md.clear();
    if (mapped) {
        int32_t qp = 0, rp = r.pos, run = 0;
        char num[24];
        for (int k = 0; k < r.cigar.n; ++k) {
            const uint32_t op = cigar_op(r.cigar.ops[k]);
            const int32_t len = static_cast<int32_t>(cigar_len(r.cigar.ops[k]));
            if (op == op_m) {
                for (int32_t j = 0; j < len; ++j, ++qp, ++rp) {
                    const uint8_t c1 = k_nt16[static_cast<uint8_t>(seq[static_cast<size_t>(qp)])];
                    const uint8_t c2 = k_nt16[static_cast<uint8_t>((*ref)[static_cast<size_t>(rp)])];
                    const bool same = c1 == c2 && c1 != 15;
                    match[static_cast<size_t>(qp)] = same;
                    if (same) {
                        ++run;
                    } else {
                        md.append(num, static_cast<size_t>(put_u64(num, static_cast<uint64_t>(run)) - num));
                        md.push_back((*ref)[static_cast<size_t>(rp)]);
                        run = 0;
                        ++nm;
                    }
                }
                aligned += len;
            } else if (op == op_i || op == op_s) {
                if (op == op_i) nm += len;
                qp += len;
            } else if (op == op_d) {
                md.append(num, static_cast<size_t>(put_u64(num, static_cast<uint64_t>(run)) - num));
                md.push_back('^');
                md.append(ref->data() + rp, static_cast<size_t>(len));
                run = 0;
                nm += len;
                rp += len;
            } else if (op == op_n) {
                rp += len;
            }
        }
        md.append(num, static_cast<size_t>(put_u64(num, static_cast<uint64_t>(run)) - num));
    }

    // Qualities: mostly a declining Illumina-like profile, some binned, some
    // over the whole printable range, a few absent.
    const uint64_t qmode = rng.below(1000);
    const bool no_qual = r.no_seq || qmode >= 985;
    if (!no_qual) {
        const int64_t top = rng.range(34, 39);
        int32_t tail = rng.per_mille(100) ? static_cast<int32_t>(rng.range(1, 15)) : 0;
        uint64_t bits = 0;
        for (int32_t j = 0; j < qlen; ++j) {
            if ((j & 15) == 0) bits = rng.next();
            const int64_t noise = static_cast<int64_t>(bits & 7) - 3;
            bits >>= 4;
            int64_t q;
            if (qmode < 900) {
                q = std::clamp<int64_t>(top - (int64_t{12} * j) / std::max(1, qlen) + noise, 2, 41);
                if (j >= qlen - tail) q = 2;
            } else if (qmode < 950) {
                static const int binned[] = {7, 12, 22, 27, 32, 37, 41, 2};
                q = binned[(bits >> 8) & 7];
            } else if (qmode < 970) {
                q = static_cast<int64_t>(rng.below(94));
            } else {
                q = 2 + static_cast<int64_t>((bits >> 8) % 19);
            }
            if (seq[static_cast<size_t>(j)] == 'N' && qmode < 950) q = 2;
            qual[static_cast<size_t>(j)] = static_cast<char>(33 + q);
        }
        if (r.flag & f_reverse) std::reverse(qual.begin(), qual.begin() + qlen);
    }

    const bool eqx = mapped && !r.no_seq && rng.per_mille(50);

    // Bound on the line length: the fixed fields, an =/X CIGAR of at most one
    // operation per base, SEQ, QUAL, MD and the other optional fields.
    char* w = out.reserve(static_cast<size_t>(qlen) * 12 + md.size() + 4096);
    w = put_name(w, r.tmpl, r.dup_name);
    *w++ = '\t';
    w = put_u64(w, r.flag);
    *w++ = '\t';
    w = r.tid < 0 ? put(w, "*") : put(w, refs.names[static_cast<size_t>(r.tid)]);
    *w++ = '\t';
    w = put_i64(w, int64_t{r.pos} + 1);
    *w++ = '\t';
    w = put_u64(w, r.mapq);
    *w++ = '\t';
    if (r.cigar.n == 0 || !mapped) {
        *w++ = '*';
    } else {
        int32_t qp = 0;
        for (int k = 0; k < r.cigar.n; ++k) {
            const uint32_t op = cigar_op(r.cigar.ops[k]);
            const uint32_t len = cigar_len(r.cigar.ops[k]);
            if (op == op_m && eqx) {
                // Runs of = and X.
                uint32_t j = 0;
                while (j < len) {
                    const uint8_t m = match[static_cast<size_t>(qp) + j];
                    uint32_t e = j + 1;
                    while (e < len && match[static_cast<size_t>(qp) + e] == m) ++e;
                    w = put_u64(w, e - j);
                    *w++ = m ? '=' : 'X';
                    j = e;
                }
            } else {
                w = put_u64(w, len);
                *w++ = k_cigar_letters[op];
            }
            if (consumes_query(op)) qp += static_cast<int32_t>(len);
        }
    }
    *w++ = '\t';
    if (r.mtid < 0) {
        *w++ = '*';
    } else if (r.mtid == r.tid) {
        *w++ = '=';
    } else {
        w = put(w, refs.names[static_cast<size_t>(r.mtid)]);
    }
    *w++ = '\t';
    w = put_i64(w, int64_t{r.mpos} + 1);
    *w++ = '\t';
    w = put_i64(w, r.tlen);
    *w++ = '\t';
    if (r.no_seq || qlen == 0) {
        w = put(w, "*\t*");
    } else {
        w = put(w, std::string_view(seq.data(), static_cast<size_t>(qlen)));
        *w++ = '\t';
        w = no_qual ? put(w, "*") : put(w, std::string_view(qual.data(), static_cast<size_t>(qlen)));
    }
    w = put_optional(w, rng, r, nm, aligned);
    *w++ = '\n';
    out.commit(w);
}

void simulator_t::write_header(output_t& out) const {
    std::string h = "@HD\tVN:1.0\tSO:";
    h += opt.sorted ? "coordinate\n" : "unsorted\n";
    for (size_t t = 0; t < refs.seqs.size(); ++t)
        h += "@SQ\tSN:" + refs.names[t] + "\tLN:" + std::to_string(refs.seqs[t].size()) + "\n";
    h += "@RG\tID:grpA\tSM:sample1\tLB:libA\tPL:ILLUMINA\n";
    h += "@RG\tID:grpB\tSM:sample1\tLB:libA\tPL:ILLUMINA\n";
    h += "@RG\tID:grpC\tSM:sample2\tLB:libB\tPL:ILLUMINA\n";
    h += "@RG\tID:grpD\tSM:sample2\tPL:ILLUMINA\n";
    h += "@PG\tID:alnsim\tPN:alnsim\tVN:1.0\tCL:alnsim --seed " + std::to_string(opt.seed) + " --refs " +
         std::to_string(opt.n_refs) + " --ref-len " + std::to_string(opt.ref_len) + " --records " +
         std::to_string(opt.n_records) + " --read-len " + std::to_string(opt.read_len) + (opt.sorted ? " --sorted" : "") + "\n";
    h += "@CO\tsimulated alignments: " + std::to_string(n_templates) + " templates, seed " + std::to_string(opt.seed) + "\n";
    out.write(h);
}

void write_unsorted(simulator_t& sim, const permutation_t& perm, output_t& out) {
    rec_plan_t plans[k_max_template_records];
    uint64_t anchor = 0;
    for (uint64_t rank = 0; rank < sim.n_templates; ++rank) {
        const int n = sim.plan_template(perm.forward(rank), plans, &anchor);
        for (int k = 0; k < n; ++k) sim.format_record(plans[k], out);
    }
}

// Templates are planned in sweep order; their records wait in a min-heap
// keyed by (coordinate, strand, unsorted rank, place in template) until no later
// template can produce a smaller key. Unplaced templates are written last,
// in unsorted order.
void write_sorted(simulator_t& sim, const permutation_t& perm, output_t& out) {
    struct pending_t {
        uint64_t coord, rank;
        uint32_t slot;
        uint8_t sub;
        bool reverse;
        bool operator>(const pending_t& o) const {
            if (coord != o.coord) return coord > o.coord;
            if (reverse != o.reverse) return reverse;
            if (rank != o.rank) return rank > o.rank;
            return sub > o.sub;
        }
    };
    std::vector<pending_t> storage;
    storage.reserve(1 << 16);
    std::priority_queue<pending_t, std::vector<pending_t>, std::greater<pending_t>> heap(std::greater<pending_t>(),
                                                                                         std::move(storage));
    std::vector<rec_plan_t> slab;
    std::vector<uint32_t> free_slots;
    std::vector<uint64_t> unplaced;
    rec_plan_t plans[k_max_template_records];

    auto pop_one = [&]() {
        const pending_t top = heap.top();
        heap.pop();
        sim.format_record(slab[top.slot], out);
        free_slots.push_back(top.slot);
    };

    for (uint64_t i = 0; i < sim.n_templates; ++i) {
        uint64_t anchor = 0;
        const int n = sim.plan_template(i, plans, &anchor);
        const uint64_t rank = perm.inverse(i);
        if (anchor == UINT64_MAX) {
            unplaced.push_back(rank);
            continue;
        }
        while (!heap.empty() && heap.top().coord < anchor) pop_one();
        for (int k = 0; k < n; ++k) {
            uint32_t slot;
            if (free_slots.empty()) {
                slot = static_cast<uint32_t>(slab.size());
                slab.push_back(plans[k]);
            } else {
                slot = free_slots.back();
                free_slots.pop_back();
                slab[slot] = plans[k];
            }
            heap.push({plans[k].coord(), rank, slot, plans[k].sub, (plans[k].flag & f_reverse) != 0});
        }
    }
    while (!heap.empty()) pop_one();

    std::sort(unplaced.begin(), unplaced.end());
    for (const uint64_t rank : unplaced) {
        uint64_t anchor = 0;
        const int n = sim.plan_template(perm.forward(rank), plans, &anchor);
        for (int k = 0; k < n; ++k) sim.format_record(plans[k], out);
    }
}

// ---------------------------------------------------------------------------
// Diploid mode
//
// Variant sites depend only on the seed; each sample's genotypes depend on
// the seed and the sample name, so several samples share their sites. Planted
// indels are chosen so that they cannot slide left or right along the
// reference: their alignment, and the position a caller reports, is unique.

struct variant_t {
    int32_t tid, pos;  // SNP base or the anchor base before an indel
    int32_t del;       // deleted reference bases after pos
    std::string ins;   // bases inserted after pos
    char alt;          // SNP base; 0 for an indel
    uint8_t gt;        // bit h set: haplotype h carries the variant
};

uint64_t name_hash(std::string_view s) {
    uint64_t h = 0x6A09E667F3BCC909ULL;
    for (const char c : s) h = mix64(h ^ static_cast<uint8_t>(c));
    return h;
}

bool has_n(const std::string& seq, int64_t from, int64_t to) {
    for (int64_t i = std::max<int64_t>(0, from); i < std::min<int64_t>(static_cast<int64_t>(seq.size()), to); ++i)
        if (seq[static_cast<size_t>(i)] == 'N') return true;
    return false;
}

std::vector<variant_t> plant_variants(const reference_set_t& refs, const options_t& opt) {
    std::vector<variant_t> vars;
    const uint64_t seed_gt = mix64(opt.seed ^ name_hash(opt.sample));
    for (size_t t = 0; t < refs.seqs.size(); ++t) {
        const std::string& ref = refs.seqs[t];
        const int64_t len = static_cast<int64_t>(ref.size());
        rng_t rng(mix64(opt.seed ^ 0x56415253ULL) + t * k_golden);
        for (int64_t p = 50 + rng.range(0, 200); p + 60 < len; p += rng.range(100, 600)) {
            variant_t v{static_cast<int32_t>(t), static_cast<int32_t>(p), 0, {}, 0, 0};
            const uint64_t kind = rng.below(100);
            const int32_t k = static_cast<int32_t>(1 + rng.below(6));
            const char anchor = ref[static_cast<size_t>(p)];
            if (kind < 75) {
                v.alt = k_acgt[(k_nt4[static_cast<uint8_t>(anchor)] + 1 + rng.below(3)) & 3];
            } else if (kind < 88) {
                // A deletion slides left when its last base equals the anchor
                // and right when its first base equals the base after it.
                v.del = k;
                if (ref[static_cast<size_t>(p + k)] == anchor ||
                    ref[static_cast<size_t>(p + 1)] == ref[static_cast<size_t>(p + k + 1)])
                    continue;
            } else {
                // An insertion slides left when its last base equals the
                // anchor and right when its first base equals the next base.
                for (int32_t i = 0; i < k; ++i) v.ins += k_acgt[rng.below(4)];
                const char next = ref[static_cast<size_t>(p + 1)];
                if (v.ins.back() == anchor) v.ins.back() = k_acgt[(k_nt4[static_cast<uint8_t>(anchor)] + 1) & 3];
                if (v.ins.front() == next) {
                    v.ins.front() = k_acgt[(k_nt4[static_cast<uint8_t>(next)] + 1) & 3];
                    if (k == 1 && v.ins.front() == anchor) v.ins.front() = k_acgt[(k_nt4[static_cast<uint8_t>(next)] + 2) & 3];
                }
            }
            if (has_n(ref, p - 1, p + v.del + 2)) continue;
            rng_t g(seed_gt ^ mix64(vars.size() ^ (t << 40) ^ static_cast<uint64_t>(p)));
            const uint64_t roll = g.below(100);
            v.gt = roll < 20 ? 0 : roll < 47 ? 1 : roll < 74 ? 2 : 3;
            vars.push_back(std::move(v));
        }
    }
    return vars;
}

bool write_truth(const reference_set_t& refs, const std::vector<variant_t>& vars, const std::string& path) {
    output_t out;
    if (!out.open(path, size_t{1} << 20)) return false;
    for (const variant_t& v : vars) {
        if (v.gt == 0) continue;
        const std::string& ref = refs.seqs[static_cast<size_t>(v.tid)];
        std::string line = refs.names[static_cast<size_t>(v.tid)] + "\t" + std::to_string(v.pos + 1) + "\t";
        line += ref.substr(static_cast<size_t>(v.pos), static_cast<size_t>(1 + v.del));
        line += '\t';
        line += v.alt ? std::string(1, v.alt) : ref[static_cast<size_t>(v.pos)] + v.ins;
        line += v.gt == 1 ? "\t1|0\n" : v.gt == 2 ? "\t0|1\n" : "\t1|1\n";
        out.write(line);
    }
    return out.close();
}

// One haplotype of one reference: its bases and, for each, the reference
// position it is aligned to (-1 for inserted bases).
struct haplotype_t {
    std::string seq;
    std::vector<int32_t> ref_pos;
    std::vector<int32_t> first_at;  // haplotype index of the first base at or after each reference position

    void build(const std::string& ref, const variant_t* v, const variant_t* v_end, int h) {
        seq.clear();
        ref_pos.clear();
        first_at.assign(ref.size() + 1, 0);
        int32_t p = 0;
        const int32_t len = static_cast<int32_t>(ref.size());
        auto put_base = [&](char c, int32_t rp) {
            seq += c;
            ref_pos.push_back(rp);
        };
        for (; v != v_end; ++v) {
            if (!(v->gt >> h & 1)) continue;
            for (; p < v->pos; ++p)
                first_at[static_cast<size_t>(p)] = static_cast<int32_t>(seq.size()), put_base(ref[static_cast<size_t>(p)], p);
            first_at[static_cast<size_t>(p)] = static_cast<int32_t>(seq.size());
            put_base(v->alt ? v->alt : ref[static_cast<size_t>(p)], p);
            ++p;
            for (const char c : v->ins) put_base(c, -1);
            for (int32_t d = 0; d < v->del; ++d, ++p) first_at[static_cast<size_t>(p)] = static_cast<int32_t>(seq.size());
        }
        for (; p < len; ++p)
            first_at[static_cast<size_t>(p)] = static_cast<int32_t>(seq.size()), put_base(ref[static_cast<size_t>(p)], p);
        first_at[static_cast<size_t>(len)] = static_cast<int32_t>(seq.size());
    }
};

// A read is a stretch [start, start + len) of one haplotype.
struct diploid_read_t {
    int32_t pos;  // reference position of its first aligned base
    int32_t end;  // one past its last aligned reference base
    int32_t start;
    uint32_t pair;
    uint16_t flag;
    uint8_t hap;
};

// Aligned start and end of a haplotype stretch; leading and trailing
// inserted bases are soft-clipped.
void read_span(const haplotype_t& hp, int32_t start, int32_t len, int32_t& pos, int32_t& end) {
    int32_t i = start, j = start + len - 1;
    while (hp.ref_pos[static_cast<size_t>(i)] < 0) ++i;
    while (hp.ref_pos[static_cast<size_t>(j)] < 0) --j;
    pos = hp.ref_pos[static_cast<size_t>(i)];
    end = hp.ref_pos[static_cast<size_t>(j)] + 1;
}

void put_diploid_cigar(std::string& line, const haplotype_t& hp, int32_t start, int32_t len) {
    char op = 0;
    int32_t run = 0;
    auto emit = [&](char o, int32_t n) {
        if (o == op) {
            run += n;
            return;
        }
        if (run) line += std::to_string(run) + op;
        op = o;
        run = n;
    };
    int32_t prev = -1;
    int32_t last_aligned = start + len - 1;
    while (hp.ref_pos[static_cast<size_t>(last_aligned)] < 0) --last_aligned;
    for (int32_t i = start; i < start + len; ++i) {
        const int32_t rp = hp.ref_pos[static_cast<size_t>(i)];
        if (rp < 0) {
            emit(prev < 0 || i > last_aligned ? 'S' : 'I', 1);
            continue;
        }
        if (prev >= 0 && rp > prev + 1) emit('D', rp - prev - 1);
        emit('M', 1);
        prev = rp;
    }
    line += std::to_string(run) + op;
}

// Phred qualities mostly 30-40 with a tenth of the bases at 2-19; each base
// is wrong with the probability its quality states.
void put_diploid_bases(std::string& seq, std::string& qual, const haplotype_t& hp, int32_t start, int32_t len, uint64_t seed) {
    static const std::array<uint32_t, 41> err_per_million = [] {
        std::array<uint32_t, 41> t{};
        for (int q = 0; q <= 40; ++q) t[static_cast<size_t>(q)] = static_cast<uint32_t>(1e6 * std::pow(10.0, -q / 10.0));
        return t;
    }();
    rng_t rng(seed);
    seq.assign(hp.seq, static_cast<size_t>(start), static_cast<size_t>(len));
    qual.resize(static_cast<size_t>(len));
    for (size_t i = 0; i < seq.size(); ++i) {
        const uint64_t q = rng.per_mille(100) ? 2 + rng.below(18) : 30 + rng.below(11);
        qual[i] = static_cast<char>(33 + q);
        if (rng.below(1000000) < err_per_million[q])
            seq[i] = k_acgt[(k_nt4[static_cast<uint8_t>(seq[i])] + 1 + rng.below(3)) & 3];
    }
}

bool write_diploid(const options_t& opt) {
    const reference_set_t refs = make_references(opt);
    if (!opt.fasta_path.empty() && !write_fasta(refs, opt)) {
        std::fprintf(stderr, "alnsim: cannot write %s: %s\n", opt.fasta_path.c_str(), std::strerror(errno));
        return false;
    }
    const std::vector<variant_t> vars = plant_variants(refs, opt);
    if (!opt.truth_path.empty() && !write_truth(refs, vars, opt.truth_path)) {
        std::fprintf(stderr, "alnsim: cannot write %s: %s\n", opt.truth_path.c_str(), std::strerror(errno));
        return false;
    }
    output_t out;
    if (!out.open(opt.sam_path, size_t{1} << 22)) {
        std::fprintf(stderr, "alnsim: cannot open %s: %s\n", opt.sam_path.c_str(), std::strerror(errno));
        return false;
    }
    std::string h = "@HD\tVN:1.0\tSO:coordinate\n";
    for (size_t t = 0; t < refs.seqs.size(); ++t)
        h += "@SQ\tSN:" + refs.names[t] + "\tLN:" + std::to_string(refs.seqs[t].size()) + "\n";
    h += "@RG\tID:" + opt.sample + "\tSM:" + opt.sample + "\tPL:ILLUMINA\n";
    out.write(h);

    const int32_t rl = static_cast<int32_t>(opt.read_len);
    const uint64_t seed_reads = mix64(opt.seed ^ name_hash(opt.sample) ^ 0x52454144ULL);
    haplotype_t hap[2];
    std::vector<diploid_read_t> reads;
    std::string line, seq, qual;
    const variant_t* v = vars.data();
    for (size_t t = 0; t < refs.seqs.size(); ++t) {
        const std::string& ref = refs.seqs[t];
        const variant_t* v_end = v;
        while (v_end != vars.data() + vars.size() && v_end->tid == static_cast<int32_t>(t)) ++v_end;
        for (int k = 0; k < 2; ++k) hap[k].build(ref, v, v_end, k);
        v = v_end;

        // Pairs: a fragment of 250-550 haplotype bases starting at a uniform
        // reference position, read from both ends.
        reads.clear();
        rng_t rng(seed_reads + t * k_golden);
        const int64_t len = static_cast<int64_t>(ref.size());
        const uint64_t n_pairs = opt.depth * static_cast<uint64_t>(len) / (2 * static_cast<uint64_t>(rl));
        for (uint32_t i = 0; i < n_pairs; ++i) {
            const uint8_t k = static_cast<uint8_t>(rng.below(2));
            const int32_t frag = static_cast<int32_t>(std::max<int64_t>(rl, rng.range(250, 550)));
            const int32_t s = static_cast<int32_t>(rng.below(static_cast<uint64_t>(len)));
            const bool first_forward = rng.below(2) == 0;
            const haplotype_t& hp = hap[k];
            const int32_t a = hp.first_at[static_cast<size_t>(s)];
            if (a + frag > static_cast<int32_t>(hp.seq.size()) || has_n(hp.seq, a, a + frag)) continue;
            diploid_read_t fwd{}, rev{};
            fwd.start = a;
            rev.start = a + frag - rl;
            read_span(hp, fwd.start, rl, fwd.pos, fwd.end);
            read_span(hp, rev.start, rl, rev.pos, rev.end);
            fwd.pair = rev.pair = i;
            fwd.hap = rev.hap = k;
            fwd.flag = first_forward ? 99 : 163;
            rev.flag = first_forward ? 147 : 83;
            reads.push_back(fwd);
            reads.push_back(rev);
        }
        std::stable_sort(reads.begin(), reads.end(), [](const diploid_read_t& x, const diploid_read_t& y) {
            if (x.pos != y.pos) return x.pos < y.pos;
            return (x.flag & f_reverse) < (y.flag & f_reverse);
        });

        // The mate of a read is found through the pair index: the forward read
        // of pair i is reads[fwd_of[i]].
        std::vector<uint32_t> idx_of(2 * static_cast<size_t>(n_pairs), UINT32_MAX);
        for (uint32_t r = 0; r < reads.size(); ++r)
            idx_of[2 * static_cast<size_t>(reads[r].pair) + ((reads[r].flag & f_reverse) ? 1 : 0)] = r;
        for (const diploid_read_t& r : reads) {
            const bool reverse = (r.flag & f_reverse) != 0;
            const diploid_read_t& m = reads[idx_of[2 * static_cast<size_t>(r.pair) + (reverse ? 0 : 1)]];
            const diploid_read_t& f = reverse ? m : r;
            const diploid_read_t& b = reverse ? r : m;
            const int32_t tlen = b.end - f.pos;
            line = opt.sample + ":h" + std::to_string(r.hap) + ":" + std::to_string(t) + ":" + std::to_string(r.pair);
            line += "\t" + std::to_string(r.flag) + "\t" + refs.names[t] + "\t" + std::to_string(r.pos + 1) + "\t60\t";
            put_diploid_cigar(line, hap[r.hap], r.start, rl);
            line += "\t=\t" + std::to_string(m.pos + 1) + "\t" + std::to_string(reverse ? -tlen : tlen) + "\t";
            put_diploid_bases(seq, qual, hap[r.hap], r.start, rl,
                              seed_reads ^ mix64((static_cast<uint64_t>(t) << 33) | (uint64_t{r.pair} << 1) | reverse));
            line += seq + "\t" + qual + "\tRG:Z:" + opt.sample + "\n";
            out.write(line);
        }
    }
    if (!out.close()) {
        std::fprintf(stderr, "alnsim: write error on %s\n", opt.sam_path == "-" ? "standard output" : opt.sam_path.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    options_t opt;
    const int status = parse_options(argc, argv, opt);
    if (status == 2) {
        print_usage(stdout);
        return 0;
    }
    if (status != 0) {
        print_usage(stderr);
        return 1;
    }

    if (opt.diploid) {
        if (opt.read_len < 20) {
            std::fprintf(stderr, "alnsim: --diploid needs --read-len of at least 20\n");
            return 1;
        }
        return write_diploid(opt) ? 0 : 1;
    }
    if (!opt.truth_path.empty()) {
        std::fprintf(stderr, "alnsim: --truth needs --diploid\n");
        return 1;
    }

    simulator_t sim;
    sim.init(opt);

    if (!opt.fasta_path.empty() && !write_fasta(sim.refs, opt)) {
        std::fprintf(stderr, "alnsim: cannot write %s: %s\n", opt.fasta_path.c_str(), std::strerror(errno));
        return 1;
    }

    output_t out;
    if (!out.open(opt.sam_path, size_t{1} << 22)) {
        std::fprintf(stderr, "alnsim: cannot open %s: %s\n", opt.sam_path.c_str(), std::strerror(errno));
        return 1;
    }
    if (opt.header) sim.write_header(out);
    const permutation_t perm(sim.n_templates, mix64(opt.seed ^ 0x5045524DULL));
    if (opt.sorted) {
        write_sorted(sim, perm, out);
    } else {
        write_unsorted(sim, perm, out);
    }
    if (!out.close()) {
        std::fprintf(stderr, "alnsim: write error on %s\n", opt.sam_path == "-" ? "standard output" : opt.sam_path.c_str());
        return 1;
    }
    return 0;
}
