// Damaged companions of the alignment files and damaged text inputs: ".bai"
// files with wrong counts or cut short, ".fai" lines with missing, negative
// or huge numbers, FASTA and RAZF files cut or flipped, and SAM lines with
// bad fields.  Each command must fail with a message or give its defined
// result, never crash, hang or exhaust memory.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/bam_file_util.h"
#include "common/test_util.h"
#include "hardening/corrupt_util.h"
#include "io/razf_writer.h"

namespace {

using corrupt::count_lines;
using corrupt::outcome;
using corrupt::run_guarded;
using test_util::flip_bit;
using test_util::read_file;
using test_util::run_alnkit;
using test_util::scratch_dir;
using test_util::write_file;

// ---- .bai ----

// The name and length columns of idxstats output.
std::string reference_columns(const std::string& stats) {
    std::string out;
    for (const std::string& line : corrupt::split_lines(stats)) {
        size_t t2 = line.find('\t', line.find('\t') + 1);
        out += line.substr(0, t2) + "\n";
    }
    return out;
}

struct bai_fixture {
    scratch_dir dir;
    std::string bam, bai_bytes;
    std::vector<std::string> regions = {"chr1:1000-60000", "chr2", "chr3:100000-120000"};
    std::vector<std::string> region_out;
    std::string stats;
    // Positions of the counts in the ".bai" bytes.
    std::vector<std::pair<std::string, size_t>> counts;
    int serial = 0;

    bai_fixture() {
        bam = test_util::make_bam(dir, "good", 5, 1500, {"--sorted", "--refs", "3", "--ref-len", "150000"});
        test_util::run_result i = run_alnkit({"index", bam});
        EXPECT_EQ(i.err, "");
        bai_bytes = read_file(bam + ".bai");
        for (const std::string& reg : regions) region_out.push_back(run_alnkit({"view", bam, reg}).out);
        stats = run_alnkit({"idxstats", bam}).out;
        counts.push_back({"n_ref", 4});
        size_t at = 8;
        const uint32_t n_ref = corrupt::load_le(bai_bytes, 4, 4);
        for (uint32_t r = 0; r < n_ref; ++r) {
            const std::string ref = "ref " + std::to_string(r) + " ";
            counts.push_back({ref + "n_bin", at});
            const uint32_t n_bin = corrupt::load_le(bai_bytes, at, 4);
            at += 4;
            for (uint32_t b = 0; b < n_bin; ++b) {
                const uint32_t n_chunk = corrupt::load_le(bai_bytes, at + 4, 4);
                if (b < 2 || b + 1 == n_bin) counts.push_back({ref + "bin " + std::to_string(b) + " n_chunk", at + 4});
                at += 8 + 16 * static_cast<size_t>(n_chunk);
            }
            counts.push_back({ref + "n_intv", at});
            at += 4 + 8 * static_cast<size_t>(corrupt::load_le(bai_bytes, at, 4));
        }
        EXPECT_EQ(at + 8, bai_bytes.size());
    }

    // A copy of the BAM file whose index holds `bai`.
    std::string with_index(const std::string& bai) {
        std::string path = dir.file("case-" + std::to_string(++serial) + ".bam");
        std::filesystem::create_symlink(bam, path);
        write_file(path + ".bai", bai);
        return path;
    }

    // Region queries and idxstats: a failure says so, a success matches the
    // intact index (`stats_may_lose_no_coor`: the optional final count is gone).
    // The counts idxstats prints have no redundancy in the file: a flip that
    // keeps the layout consistent changes them undetectably, so with
    // `counts_may_differ` only the reference columns are compared.
    void exercise(const std::string& what, const std::string& bai, bool stats_may_lose_no_coor = false,
                  bool counts_may_differ = false) {
        const std::string path = with_index(bai);
        for (size_t k = 0; k < regions.size(); ++k) {
            outcome r = run_guarded({"view", path, regions[k]});
            corrupt::check_run(what + ": view " + regions[k], r);
            if (r.status == 0) {
                EXPECT_EQ(r.out, region_out[k]) << what << ": view " << regions[k] << "\n" << r.err;
            }
        }
        outcome s = run_guarded({"idxstats", path});
        corrupt::check_run(what + ": idxstats", s);
        if (s.status != 0) return;
        if (counts_may_differ) {
            EXPECT_EQ(reference_columns(s.out), reference_columns(stats)) << what;
        } else if (stats_may_lose_no_coor) {
            EXPECT_EQ(s.out.substr(0, s.out.rfind('*')), stats.substr(0, stats.rfind('*'))) << what;
        } else {
            EXPECT_EQ(s.out, stats) << what << "\n" << s.err;
        }
    }
};

TEST(CorruptIndex, BaiCutAtEveryOffsetOfItsStartAndAcrossTheRest) {
    bai_fixture f;
    const size_t size = f.bai_bytes.size();
    std::vector<size_t> cuts;
    for (size_t cut = 0; cut < std::min<size_t>(size, 64); ++cut) cuts.push_back(cut);
    for (int k = 1; k < 20; ++k) cuts.push_back(size * k / 20);
    for (size_t cut = size - 12; cut < size; ++cut) cuts.push_back(cut);
    for (size_t i = 0; i < cuts.size(); ++i) {
        const size_t cut = cuts[i];
        if (!corrupt::sampled(i) && cut != size - 8) continue;
        f.exercise("bai cut at " + std::to_string(cut), f.bai_bytes.substr(0, cut), cut == size - 8);
        if (HasFatalFailure()) return;
    }
}

TEST(CorruptIndex, BaiCountsWithFlippedBits) {
    bai_fixture f;
    ASSERT_GE(f.counts.size(), 10u);
    // The reference count takes every bit; each other count takes every
    // other one, low and high (off by a little, or huge and negative), and
    // the next count the rest, so each kind of count meets all of them
    // across the references.
    const int bits[] = {0, 1, 2, 7, 15, 23, 30, 31};
    for (size_t c = 0; c < f.counts.size(); ++c)
        for (size_t j = 0; j < std::size(bits); ++j) {
            if (c > 0 && (c + j) % 2 != 0) continue;
            if (!corrupt::sampled(c * std::size(bits) + j)) continue;
            const auto& [name, at] = f.counts[c];
            f.exercise(name + " bit " + std::to_string(bits[j]), flip_bit(f.bai_bytes, at, bits[j]), false, true);
            if (HasFatalFailure()) return;
        }
}

// A hand-made ".bai" whose one reference has the chunk [u, v) in bin 0 and
// no linear index.
std::string one_chunk_bai(uint64_t u, uint64_t v) {
    std::string s("BAI\1", 4);
    auto put = [&](uint64_t x, int n) {
        for (int i = 0; i < n; ++i) s += static_cast<char>(x >> (8 * i));
    };
    put(1, 4), put(1, 4), put(0, 4), put(1, 4), put(u, 8), put(v, 8), put(0, 4), put(0, 8);
    return s;
}

// Chunks that the file cannot answer: past its end, starting inside a
// record, or ending past the data of a file cut after indexing.  The region
// query must fail (status 1), never print a shorter result.
TEST(CorruptIndex, BaiChunksThatDoNotFitTheFileFailTheRegion) {
    scratch_dir dir;
    const std::string bam = test_util::make_bam(dir, "one", 9, 1500, {"--sorted", "--refs", "1", "--ref-len", "400000"});
    const std::string file = read_file(bam);
    std::string data;
    const std::vector<corrupt::block_t> blocks = corrupt::read_blocks(file, &data);
    const corrupt::bam_layout_t l = corrupt::parse_bam(data);
    ASSERT_GE(blocks.size(), 4u);
    // Virtual offset of a position in the decompressed stream.
    auto voff = [&](size_t p) {
        size_t k = 0;
        while (p >= blocks[k].data_start + blocks[k].data_len) ++k;
        return static_cast<uint64_t>(blocks[k].offset) << 16 | (p - blocks[k].data_start);
    };
    const uint64_t first = voff(l.records[0]), last_end = voff(corrupt::rec_end(data, l.records[1000]));
    // The file cut at the start of the block that holds record 1000.
    const size_t cut_at = static_cast<size_t>(voff(l.records[1000]) >> 16);
    ASSERT_GT(cut_at, first >> 16);
    const std::string cut = dir.file("cut.bam");
    write_file(cut, file.substr(0, cut_at));
    const std::string retrieval =
        "[main_samview] retrieval of region \"chr1\" failed due to truncated file or corrupt BAM index file\n";
    struct chunk_case {
        std::string what, bam;
        uint64_t u, v;
        bool fails;
    };
    const std::vector<chunk_case> cases = {
        {"intact", bam, first, last_end, false},
        {"past the end of the file", bam, static_cast<uint64_t>(file.size() + 4096) << 16, (file.size() + 4097ULL) << 16, true},
        {"at the end-of-file block", bam, static_cast<uint64_t>(blocks.back().offset) << 16, (file.size() + 100ULL) << 16, true},
        {"inside the first record", bam, first + 9, last_end, true},
        {"inside a later record", bam, voff(l.records[500] + 21), last_end, true},
        {"data cut inside the chunk", cut, first, last_end, true},
    };
    const std::string whole = test_util::view_records(bam);
    const std::vector<std::string> lines = corrupt::split_lines(whole);
    ASSERT_GT(lines.size(), 1001u);
    std::string expected;
    for (size_t i = 0; i <= 1000; ++i) expected += lines[i] + "\n";
    for (const chunk_case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = dir.file("case.bam");
        std::filesystem::remove(path);
        std::filesystem::create_symlink(c.bam, path);
        write_file(path + ".bai", one_chunk_bai(c.u, c.v));
        outcome r = run_guarded({"view", path, "chr1"});
        corrupt::check_run(c.what, r);
        if (!c.fails) {
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_TRUE(r.out == expected);
            continue;
        }
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(r.err.ends_with(retrieval)) << r.err;  // after the EOF-marker warning of a cut file
        EXPECT_TRUE(expected.compare(0, r.out.size(), r.out) == 0 && r.out.size() < expected.size())
            << "not a proper prefix: " << count_lines(r.out) << " records";
    }
}

// ---- .fai and FASTA ----

struct fasta_fixture {
    scratch_dir dir;
    std::string fasta, fasta_bytes, fai_bytes;
    int serial = 0;

    fasta_fixture() {
        fasta = dir.file("ref.fa");
        test_util::run_result g = test_util::run({ALNSIM_PATH, "--seed", "3", "--refs", "3", "--ref-len", "4000", "--records",
                                                  "0", "--fasta", fasta, "--sam", dir.file("unused.sam")});
        EXPECT_EQ(g.status, 0) << g.err;
        fasta_bytes = read_file(fasta);
        EXPECT_EQ(run_alnkit({"faidx", fasta}).status, 0);
        fai_bytes = read_file(fasta + ".fai");
    }

    std::string fresh() { return dir.file("case-" + std::to_string(++serial) + ".fa"); }
};

// Fetches named, bounded and out-of-range regions of every sequence.
void fetch_all(const std::string& what, const std::string& fasta) {
    outcome r = run_guarded({"faidx", fasta, "chr1", "chr2:100-3000", "chr3:3900-5000", "chr1:5000-6000", "nosuch"});
    corrupt::check_run(what + ": faidx fetch", r);
}

TEST(CorruptIndex, FaiLinesWithBadNumbers) {
    fasta_fixture f;
    const std::vector<std::string> lines = corrupt::split_lines(f.fai_bytes);
    ASSERT_EQ(lines.size(), 3u);
    const std::vector<std::string> bad = {
        "chr1\n",
        "chr1\t100\n",
        "chr1\t-5\t6\t60\t61\n",
        "chr1\t4000\t-100\t60\t61\n",
        "chr1\t4000\t6\t-60\t61\n",
        "chr1\t4000\t6\t60\t-61\n",
        "chr1\t4000\t6\t0\t61\n",
        "chr1\t4000\t6\t60\t0\n",
        "chr1\t4000\t6\t61\t60\n",
        "chr1\t2147483647\t6\t60\t61\n",
        "chr1\t4000\t9223372036854775807\t60\t61\n",
        "chr1\t4000\t6\t2147483647\t2147483647\n",
        "chr1\t99999999999999999999\t6\t60\t61\n",
        "chr1\t400000\t6\t60\t61\n",  // longer than the sequence: reads into the next ones
        "chr1\t4000\t6\t60\t61\textra\tfields\n",
        "chr1\tabc\tdef\tghi\tjkl\n",
        "\t\t\t\t\n",
        "chr1\t4000\t6\t60\n",
        std::string(70000, 'n') + "\t4000\t6\t60\t61\n",
    };
    for (size_t i = 0; i < bad.size(); ++i) {
        const std::string fasta = f.fresh();
        write_file(fasta, f.fasta_bytes);
        write_file(fasta + ".fai", bad[i] + lines[1] + "\n" + lines[2] + "\n");
        fetch_all("fai line " + std::to_string(i), fasta);
        if (HasFatalFailure()) return;
    }
}

TEST(CorruptIndex, FastaCutOrMisshapenIsRefusedOrIndexed) {
    fasta_fixture f;
    std::vector<std::string> variants;
    for (int k = 0; k <= 24; ++k) variants.push_back(f.fasta_bytes.substr(0, f.fasta_bytes.size() * k / 24));
    for (size_t cut : {size_t{1}, size_t{5}, size_t{6}}) variants.push_back(f.fasta_bytes.substr(0, cut));
    variants.push_back("no header line\nACGT\n");
    variants.push_back(">only_a_name");
    variants.push_back(">s\nACGT\nAC\nACGT\n");
    variants.push_back(">s\nACGT\n\nACGT\n");
    variants.push_back(">s\r\nACGT\r\nACG\r\n");
    variants.push_back(std::string(">s\nAC\0GT\n", 10));
    for (size_t i = 0; i < variants.size(); ++i) {
        const std::string fasta = f.fresh();
        write_file(fasta, variants[i]);
        outcome b = run_guarded({"faidx", fasta});
        corrupt::check_run("fasta " + std::to_string(i) + ": build", b);
        EXPECT_EQ(b.status, 0) << "fasta " << i;  // the build command's status does not depend on its outcome
        fetch_all("fasta " + std::to_string(i), fasta);
        if (HasFatalFailure()) return;
    }
}

// A RAZF-compressed FASTA damaged in its gzip header, its deflate data, its
// block index and its trailer, fetched both through a prebuilt index (which
// seeks through the block index) and by building the index from it.
TEST(CorruptIndex, RazfFastaDamaged) {
    scratch_dir dir;
    // Long enough for several 32 KiB blocks.
    const std::string plain = dir.file("plain.fa");
    test_util::run_result g = test_util::run({ALNSIM_PATH, "--seed", "4", "--refs", "3", "--ref-len", "30000", "--records", "0",
                                              "--fasta", plain, "--sam", dir.file("unused.sam")});
    ASSERT_EQ(g.status, 0) << g.err;
    ASSERT_EQ(run_alnkit({"faidx", plain}).status, 0);
    const std::string fai = read_file(plain + ".fai");
    const razf_test::razf_file rz = razf_test::make_razf(read_file(plain));
    ASSERT_GE(rz.entries.size(), 2u);
    int serial = 0;

    std::vector<std::pair<std::string, std::string>> variants;
    for (size_t at = 0; at < static_cast<size_t>(rz.header_size); ++at)
        variants.push_back({"header byte " + std::to_string(at), flip_bit(rz.bytes, at, static_cast<int>(at % 8))});
    for (int k = 1; k < 10; ++k) {
        size_t at = static_cast<size_t>(rz.header_size + (rz.end - rz.header_size) * k / 10);
        variants.push_back({"data byte " + std::to_string(at), flip_bit(rz.bytes, at, k % 8)});
    }
    for (size_t at = static_cast<size_t>(rz.end); at < rz.bytes.size(); ++at)
        for (int bit : {0, 7})
            variants.push_back({"index byte " + std::to_string(at) + " bit " + std::to_string(bit), flip_bit(rz.bytes, at, bit)});
    for (int k = 0; k <= 16; ++k) {
        size_t cut = rz.bytes.size() * k / 16;
        variants.push_back({"cut at " + std::to_string(cut), rz.bytes.substr(0, cut)});
    }
    for (size_t i = 0; i < variants.size(); ++i) {
        if (!corrupt::sampled(i)) continue;
        const std::string& what = variants[i].first;
        std::string fasta = dir.file("case-" + std::to_string(++serial) + ".fa");
        write_file(fasta, variants[i].second);
        write_file(fasta + ".fai", fai);
        outcome w = run_guarded({"faidx", fasta, "chr1:100-200", "chr3:20000-20100", "chr2", "chr1:1-5"});
        corrupt::check_run("razf " + what + ": fetch with index", w);
        fasta = dir.file("case-" + std::to_string(++serial) + ".fa");
        write_file(fasta, variants[i].second);
        outcome r = run_guarded({"faidx", fasta, "chr3:20000-20100"});
        corrupt::check_run("razf " + what + ": build and fetch", r);
        if (HasFatalFailure()) return;
    }
}

// ---- SAM text ----

TEST(CorruptIndex, SamLinesWithBadFields) {
    scratch_dir dir;
    const std::string head = "@SQ\tSN:chr1\tLN:1000\n@SQ\tSN:chr2\tLN:500\n";
    const std::string good = "r0\t0\tchr1\t10\t30\t4M\t*\t0\t0\tACGT\tIIII\tNM:i:0\n";
    const std::vector<std::string> bad = {
        "r1\t0\tchr1\n",
        "r1\tx\tchr1\t10\t30\t4M\t*\t0\t0\tACGT\tIIII\n",
        "r1\t0\tchr1\t-10\t30\t4M\t*\t0\t0\tACGT\tIIII\n",
        "r1\t0\tchr1\t99999999999\t30\t4M\t*\t0\t0\tACGT\tIIII\n",
        "r1\t0\tchr1\t10\t9999\t4M\t*\t0\t0\tACGT\tIIII\n",
        "r1\t0\tchr1\t10\t30\t4Q\t*\t0\t0\tACGT\tIIII\n",
        "r1\t0\tchr1\t10\t30\tM\t*\t0\t0\tACGT\tIIII\n",
        "r1\t0\tchr1\t10\t30\t4294967296M\t*\t0\t0\tACGT\tIIII\n",
        "r1\t0\tchr1\t10\t30\t" + std::string(70000, '1') + "M\t*\t0\t0\tACGT\tIIII\n",
        "r1\t0\tchr1\t10\t30\t4M\t*\t0\t0\tACGT\tIII\n",
        "r1\t0\tchr1\t10\t30\t4M\t*\t0\t0\tACGT\tIIIII\n",
        "r1\t0\tchr1\t10\t30\t4M\t*\t0\t0\t*\tIIII\n",
        "r1\t0\tnosuch\t10\t30\t4M\t*\t0\t0\tACGT\tIIII\n",
        "r1\t0\tchr1\t10\t30\t4M\tnosuch\t0\t0\tACGT\tIIII\n",
        std::string(300, 'q') + "\t0\tchr1\t10\t30\t4M\t*\t0\t0\tACGT\tIIII\n",
        "r1\t0\tchr1\t10\t30\t4M\t*\t0\t0\tACGT\tIIII\tNM:i:abc\n",
        "r1\t0\tchr1\t10\t30\t4M\t*\t0\t0\tACGT\tIIII\tXX:Q:1\n",
        "r1\t0\tchr1\t10\t30\t4M\t*\t0\t0\tACGT\tIIII\tXB:B:z,1,2\n",
        "r1\t0\tchr1\t10\t30\t4M\t*\t0\t0\tACGT\tIIII\tXB:B:c,\n",
        "r1\t0\tchr1\t10\t30\t4M\t*\t0\t0\tACGT\tIIII\tXB:B:i," + std::string(100000, '9') + "\n",
        "r1\t0\tchr1\t10\t30\t4M\t*\t0\t0\tACGT\tIIII\tX\n",
        "r1\t0\tchr1\t10\t30\t4M\t*\t0\t0\tACGT\tIIII\tXX:Z\n",
        "r1\t0\tchr1\t10\t30\t4M\t*\t0\t0\tACGT\tIIII\tXH:H:ABC\n",
        std::string("r1\t0\tchr1\t10\t30\t4M\t*\t0\t0\tAC") + '\0' + "T\tIIII\n",
    };
    // Blank lines and empty fields are skipped while looking for a record.
    const std::vector<std::string> blank = {"\n", "\t\t\t\t\t\t\t\t\t\t\n"};
    for (size_t i = 0; i < bad.size() + blank.size(); ++i) {
        const std::string sam = dir.file("bad" + std::to_string(i) + ".sam");
        const bool is_blank = i >= bad.size();
        const size_t n_records = is_blank ? 2 : 3;
        const std::string text = head + good + (is_blank ? blank[i - bad.size()] : bad[i]) + good;
        write_file(sam, text);
        const std::string what = "SAM line " + std::to_string(i);
        outcome r = run_guarded({"view", "-S", sam});
        corrupt::check_run(what + ": view -S", r);
        // Accepted input keeps every line; refused input says why.
        if (r.status == 0) {
            EXPECT_EQ(count_lines(r.out), n_records) << what << "\n" << r.err;
        }
        const std::string bam = sam + ".bam";
        outcome w = run_guarded({"view", "-bS", "-o", bam, sam});
        corrupt::check_run(what + ": view -bS", w);
        if (w.status == 0) {
            outcome back = run_guarded({"view", bam});
            corrupt::check_run(what + ": view of the BAM written", back);
            EXPECT_EQ(back.status, 0) << what << "\n" << back.err;
            EXPECT_EQ(count_lines(back.out), n_records) << what;
        }
        if (HasFatalFailure()) return;
    }
}

TEST(CorruptIndex, SamCutAtManyOffsets) {
    scratch_dir dir;
    const std::string sam = dir.file("gen.sam");
    test_util::run_result g = test_util::run({ALNSIM_PATH, "--seed", "9", "--records", "300", "--sam", sam});
    ASSERT_EQ(g.status, 0);
    const std::string text = read_file(sam);
    for (int k = 0; k <= 40; ++k) {
        const size_t cut = text.size() * k / 40;
        const std::string part = dir.file("cut" + std::to_string(k) + ".sam");
        write_file(part, text.substr(0, cut));
        size_t whole = 0;
        for (const std::string& line : corrupt::split_lines(text.substr(0, text.rfind('\n', cut ? cut - 1 : 0) + 1)))
            whole += !line.empty() && line[0] != '@';
        if (cut == 0) whole = 0;
        outcome r = run_guarded({"view", "-S", part});
        const std::string what = "SAM cut at " + std::to_string(cut);
        corrupt::check_run(what, r);
        // The last, partial line may still be a valid record.
        if (r.status == 0) {
            EXPECT_LE(count_lines(r.out) - whole, 1u) << what << " " << count_lines(r.out);
        }
        if (r.status == 0) {
            EXPECT_GE(count_lines(r.out), whole) << what;
        }
        if (HasFatalFailure()) return;
    }
}

}  // namespace
