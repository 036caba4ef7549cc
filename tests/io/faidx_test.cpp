// FASTA index: indexes of generated FASTA (plain, gzip, RAZF; line widths 60
// and 70) against values computed here from the text, fetches against
// direct slices of the sequences, layout errors and accepted layouts, index
// validation, and region clipping.
#include "io/faidx.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "common/test_util.h"
#include "io/razf_writer.h"

namespace {

using test_util::read_file;
using test_util::write_file;

struct seq_t {
    std::string name, bases;
    long long offset;
    int line_blen, line_len;
};

// Independent reading of a well-formed FASTA: name up to white space, bases
// are the graphic characters, layout from the first sequence line.
std::vector<seq_t> parse_fasta(const std::string& text) {
    std::vector<seq_t> seqs;
    for (size_t pos = 0, next; pos < text.size(); pos = next) {
        next = std::min(text.find('\n', pos), text.size()) + 1;
        const std::string line = text.substr(pos, next - 1 - pos);
        if (line[0] == '>') {
            const size_t sp = line.find_first_of(" \t\r");
            seqs.push_back({line.substr(1, sp == std::string::npos ? sp : sp - 1), "", static_cast<long long>(next), 0, 0});
            continue;
        }
        seq_t& s = seqs.back();
        if (s.bases.empty()) {
            s.line_blen =
                static_cast<int>(std::count_if(line.begin(), line.end(), [](unsigned char c) { return std::isgraph(c); }));
            s.line_len = static_cast<int>(line.size()) + 1;
        }
        for (unsigned char c : line)
            if (std::isgraph(c)) s.bases += static_cast<char>(c);
    }
    return seqs;
}

std::string expected_fai(const std::vector<seq_t>& seqs) {
    std::string s;
    for (const auto& q : seqs)
        s += q.name + "\t" + std::to_string(q.bases.size()) + "\t" + std::to_string(q.offset) + "\t" +
             std::to_string(q.line_blen) + "\t" + std::to_string(q.line_len) + "\n";
    return s;
}

// Bases of 1-based [b, e] as fai_fetch defines them (begin below 1 reads as 1).
std::string slice(const std::string& s, long long b, long long e) {
    const long long n = static_cast<long long>(s.size());
    b = std::min(std::max(b - 1, 0LL), n);
    e = std::clamp(e, 0LL, n);
    return b < e ? s.substr(static_cast<size_t>(b), static_cast<size_t>(e - b)) : "";
}

std::string fetch(faidx_t* fai, const std::string& region, bool* found = nullptr) {
    int len = -1;
    char* s = fai_fetch(fai, region.c_str(), &len);
    if (found) *found = s != nullptr;
    std::string out = s ? std::string(s) : "";
    EXPECT_EQ(len, static_cast<int>(out.size())) << region;
    std::free(s);
    return out;
}

std::string fetch_seq(faidx_t* fai, const std::string& name, int b, int e) {
    int len = -1;
    char* s = faidx_fetch_seq(fai, name.c_str(), b, e, &len);
    std::string out = s ? std::string(s) : "<null>";
    if (s) {
        EXPECT_EQ(len, static_cast<int>(out.size()));
    }
    std::free(s);
    return out;
}

struct Fai : ::testing::Test {
    test_util::scratch_dir dir;
    // Builds the index of `text` saved as `name`; returns the status.
    int build(const std::string& name, const std::string& text) {
        write_file(dir.file(name), text);
        return fai_build(dir.file(name).c_str());
    }
    fai_ptr load(const std::string& name) { return fai_ptr(fai_load(dir.file(name).c_str())); }
};

class FaiGenerated : public Fai, public ::testing::WithParamInterface<int> {};

TEST_P(FaiGenerated, IndexAndFetchesMatchTheText) {
    const int width = GetParam();
    const std::string fa = dir.file("gen.fa");
    ASSERT_EQ(test_util::run({ALNSIM_PATH, "--seed", std::to_string(width), "--refs", "4", "--ref-len", "30000", "--records", "0",
                              "--fasta", fa, "--line-width", std::to_string(width), "--sam", dir.file("gen.sam")})
                  .status,
              0);
    const std::string text = read_file(fa);
    const std::vector<seq_t> seqs = parse_fasta(text);
    ASSERT_EQ(seqs.size(), 4u);
    ASSERT_TRUE(std::any_of(seqs.begin(), seqs.end(), [&](const seq_t& q) {
        return q.bases.size() % static_cast<size_t>(width);
    })) << "no sequence with a short last line";
    test_util::write_gzip_file(dir.file("gen.fa.gz"), text);
    write_file(dir.file("gen.fa.rz"), razf_test::make_razf(text).bytes);

    for (const std::string name : {"gen.fa", "gen.fa.gz", "gen.fa.rz"}) {
        SCOPED_TRACE(name);
        const bool is_gz = name == "gen.fa.gz";
        ASSERT_EQ(fai_build(dir.file(name).c_str()), 0);
        EXPECT_EQ(read_file(dir.file(name + ".fai")), expected_fai(seqs));
        fai_ptr fai = load(name);
        ASSERT_TRUE(fai);
        ASSERT_EQ(faidx_fetch_nseq(fai.get()), 4);
        std::mt19937 rng(static_cast<unsigned>(width));
        // In file order without overlap, which a gzip stream can serve too.
        for (const auto& q : seqs) {
            const long long n = static_cast<long long>(q.bases.size());
            for (long long b = 1 + rng() % 500; b <= n; b += 1 + rng() % 3000) {
                const long long e = b + static_cast<long long>(rng() % 400);
                const std::string region = q.name + ":" + std::to_string(b) + "-" + std::to_string(e);
                ASSERT_EQ(fetch(fai.get(), region), slice(q.bases, b, e)) << region;
                b = e;
            }
        }
        if (is_gz) {
            testing::internal::CaptureStderr();
            bool found = true;
            EXPECT_EQ(fetch(fai.get(), seqs[0].name + ":1-10", &found), "");
            EXPECT_FALSE(found);
            EXPECT_EQ(testing::internal::GetCapturedStderr(), "[fai_fetch] fail to position the FASTA file at offset " +
                                                                  std::to_string(seqs[0].offset) +
                                                                  " (a gzip file only seeks forward).\n");
            continue;
        }
        for (int i = 0; i < 300; ++i) {
            const seq_t& q = seqs[rng() % seqs.size()];
            const int n = static_cast<int>(q.bases.size());
            const int b = static_cast<int>(rng() % static_cast<unsigned>(n + 40)) - 20;
            const int e = b + static_cast<int>(rng() % 700) - 50;
            const std::string region = q.name + ":" + std::to_string(b) + "-" + std::to_string(e);
            ASSERT_EQ(fetch(fai.get(), region), b < 0 ? "" : slice(q.bases, b, e)) << region;
            const int cb = std::clamp(std::min(b, e), 0, n - 1), ce = std::clamp(e, 0, n - 1);
            ASSERT_EQ(fetch_seq(fai.get(), q.name, b, e),
                      q.bases.substr(static_cast<size_t>(cb), static_cast<size_t>(ce - cb + 1)))
                << b << " " << e;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Fai, FaiGenerated, ::testing::Values(60, 70));

TEST_F(Fai, RegionStringsAndClipping) {
    std::string bases;
    for (int i = 0; i < 150; ++i) bases += "ACGT"[(i * 7 + i / 5) % 4];
    std::string text = ">chr1\n";
    for (size_t i = 0; i < bases.size(); i += 60) text += bases.substr(i, 60) + "\n";
    text += ">x:1-5 described\nACGTACGT\n";
    ASSERT_EQ(build("c.fa", text), 0);
    fai_ptr fai = load("c.fa");
    ASSERT_TRUE(fai);
    const struct {
        const char* region;
        std::string want;
    } cases[] = {
        {"chr1:61-61", bases.substr(60, 1)},  // first base of the second line
        {"chr1", bases},
        {"chr1:100", bases.substr(99)},
        {"chr1:140-1000", bases.substr(139)},  // clipped at the end
        {"chr1:50-10", ""},                    // reversed
        {"chr1:100-", ""},                     // an empty end reads as 0
        {"chr1:-3", bases.substr(0, 3)},       // a negative begin reads as the first base
        {"chr1:0-3", bases.substr(0, 3)},
        {"chr1:200-300", ""},
        {" chr1 : 1,01 - 1,10 ", bases.substr(100, 10)},
        {"x:1-5", "ACGTACGT"},  // the whole text names a sequence
        {"x:1-5:2-3", "CG"},
    };
    for (const auto& c : cases) {
        bool found = false;
        EXPECT_EQ(fetch(fai.get(), c.region, &found), c.want) << c.region;
        EXPECT_TRUE(found) << c.region;  // an empty result is still a string
    }
    for (const char* unknown : {"chr2", "chr2:1-10", "chr1:1-2-3", ""}) {
        bool found = true;
        EXPECT_EQ(fetch(fai.get(), unknown, &found), "");
        EXPECT_FALSE(found) << unknown;
    }
    EXPECT_EQ(fetch_seq(fai.get(), "chr1", 10, 5), bases.substr(5, 1));
    EXPECT_EQ(fetch_seq(fai.get(), "chr1", -5, 2), bases.substr(0, 3));
    EXPECT_EQ(fetch_seq(fai.get(), "chr1", 500, 900), bases.substr(149));
    EXPECT_EQ(fetch_seq(fai.get(), "chr2", 0, 5), "<null>");
}

// A FASTA cut or rewritten after its index was built: a fetch that the data
// cannot fill is an error (null, length -1), never a shorter sequence.
TEST_F(Fai, DataShorterThanItsIndexIsAnError) {
    std::string bases;
    for (int i = 0; i < 150; ++i) bases += "ACGT"[(i * 3 + i / 7) % 4];
    const std::string text =
        ">chr1\n" + bases.substr(0, 60) + "\n" + bases.substr(60, 60) + "\n" + bases.substr(120) + "\n>chr2\nACGTACGT\n";
    ASSERT_EQ(build("c.fa", text), 0);
    const std::string fai_text = read_file(dir.file("c.fa.fai"));
    const size_t chr2_at = text.find(">chr2");
    struct fetch_case {
        std::string what, fasta, region;
        std::optional<std::string> want;  // none: the fetch must fail
    };
    const std::string shorter = ">chr1\n" + bases.substr(0, 60) + "\n" + bases.substr(60, 40) + "\n>chr2\nACGTACGT\n";
    const std::vector<fetch_case> cases = {
        {"cut in chr2", text.substr(0, text.size() - 4), "chr2", std::nullopt},
        {"cut in chr2", text.substr(0, text.size() - 4), "chr2:1-5", "ACGTA"},
        {"cut in chr1", text.substr(0, 6 + 61 + 20), "chr1:1-80", bases.substr(0, 80)},
        {"cut in chr1", text.substr(0, 6 + 61 + 20), "chr1:60-81", std::nullopt},
        {"cut in chr1", text.substr(0, 6 + 61 + 20), "chr1", std::nullopt},
        {"cut in chr1", text.substr(0, 6 + 61 + 20), "chr2", std::nullopt},  // its offset lies beyond the file
        {"cut before chr2's bases", text.substr(0, chr2_at + 6), "chr2", std::nullopt},
        {"chr1 rewritten shorter", shorter, "chr1:1-100", bases.substr(0, 100)},
        {"chr1 rewritten shorter", shorter, "chr1", std::nullopt},  // runs into chr2's header
        {"chr1 rewritten shorter", shorter, "chr1:95-110", std::nullopt},
    };
    for (const fetch_case& c : cases) {
        SCOPED_TRACE(c.what + ", " + c.region);
        write_file(dir.file("c.fa"), c.fasta);
        write_file(dir.file("c.fa.fai"), fai_text);  // the index of the intact file
        fai_ptr fai = load("c.fa");
        ASSERT_TRUE(fai);
        int len = 0;
        char* s = fai_fetch(fai.get(), c.region.c_str(), &len);
        if (c.want) {
            ASSERT_NE(s, nullptr);
            EXPECT_EQ(std::string(s), *c.want);
            EXPECT_EQ(len, static_cast<int>(c.want->size()));
        } else {
            EXPECT_EQ(s, nullptr);
            EXPECT_EQ(len, -1);
        }
        std::free(s);
    }
    // The 0-based interface, and a gzip copy of the cut file.
    write_file(dir.file("c.fa"), text.substr(0, 6 + 61 + 20));
    write_file(dir.file("c.fa.fai"), fai_text);
    fai_ptr fai = load("c.fa");
    ASSERT_TRUE(fai);
    int len = 0;
    char* s = faidx_fetch_seq(fai.get(), "chr1", 10, 200, &len);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(len, -1);
    s = faidx_fetch_seq(fai.get(), "chr1", 10, 19, &len);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(std::string(s), bases.substr(10, 10));
    std::free(s);
    test_util::write_gzip_file(dir.file("g.fa.gz"), text.substr(0, text.size() - 4));
    write_file(dir.file("g.fa.gz.fai"), fai_text);
    fai = load("g.fa.gz");
    ASSERT_TRUE(fai);
    EXPECT_EQ(fai_fetch(fai.get(), "chr2", &len), nullptr);
    EXPECT_EQ(len, -1);
}

TEST_F(Fai, AcceptedLayouts) {
    const struct {
        std::string fasta, fai, region, want;
    } cases[] = {
        {">chr1 some description\nACGTACGT\nACG\n\n\n>chr2\n\nACGT\nAC\n", "chr1\t11\t23\t8\t9\nchr2\t6\t45\t4\t5\n", "chr2:3-6",
         "GTAC"},
        {">a\r\nACGTA\r\nACG\r\n", "a\t8\t4\t5\t7\n", "a:5-7", "AAC"},  // CRLF: two terminator bytes
        {">e\n>f\nAC\n", "e\t0\t3\t0\t0\nf\t2\t6\t2\t3\n", "e", ""},    // empty sequence
        {">a\nACGT\nAC", "a\t6\t3\t4\t5\n", "a:4-6", "TAC"},            // no final newline
        {">a\nACGT\nACGT\n \n\n>b\nAC\n", "a\t8\t3\t4\t5\nb\t2\t19\t2\t3\n", "b", "AC"},
        {">a\nAC\n>a\nGGGG\n", "a\t4\t9\t4\t5\na\t4\t9\t4\t5\n", "a", "GGGG"},  // the later entry wins
        {"\n\n>a\nAC\n", "a\t2\t5\t2\t3\n", "a", "AC"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fasta);
        ASSERT_EQ(build("ok.fa", c.fasta), 0);
        EXPECT_EQ(read_file(dir.file("ok.fa.fai")), c.fai);
        fai_ptr fai = load("ok.fa");
        ASSERT_TRUE(fai);
        EXPECT_EQ(fetch(fai.get(), c.region), c.want);
    }
}

TEST_F(Fai, LayoutErrorsFailWithoutIndex) {
    const struct {
        const char* fasta;
        const char* err;
    } cases[] = {
        {">a\nACGT\nAC\nACGT\n", "[fai_build_core] different line length in sequence 'a'.\n"},
        {">a\nACGT\n\nACGT\n", "[fai_build_core] different line length in sequence 'a'.\n"},
        {">a\nACGT\nAC\n \nAC\n", "[fai_build_core] inlined empty line is not allowed in sequence 'a'.\n"},
        {">a\nACGT\n>b", "[fai_build_core] the last entry has no sequence\n"},
        {"ACGT\n>a\nAC\n", "[fai_build_core] sequence data before the first header line.\n"},
    };
    for (const auto& c : cases) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(build("bad.fa", c.fasta), -1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
        EXPECT_FALSE(std::filesystem::exists(dir.file("bad.fa.fai"))) << c.fasta;
    }
}

TEST_F(Fai, IndexLinesAreValidatedOnLoad) {
    write_file(dir.file("v.fa"), ">a\nACGT\n");
    const struct {
        std::string fai;
        bool ok;
    } cases[] = {
        {"a\t4\t3\t4\t5\n", true},  {"a\t4\t3\t4\t5\n\n", true}, {"a\t0\t3\t0\t0\n", true},
        {"a\t4\t3\n", false},       {"a\t4\t3\t0\t5\n", false},  {"a\t-4\t3\t4\t5\n", false},
        {"a\t4\t3\t6\t5\n", false}, {"a\tx\t3\t4\t5\n", false},  {"a\t4\t3\t4\t99999999999\n", false},
    };
    for (const auto& c : cases) {
        write_file(dir.file("v.fa.fai"), c.fai);
        testing::internal::CaptureStderr();
        fai_ptr fai = load("v.fa");
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(static_cast<bool>(fai), c.ok) << c.fai;
        if (c.ok) {
            EXPECT_EQ(fetch(fai.get(), "a:2-3"), c.fai[2] == '4' ? "CG" : "");
        } else {
            EXPECT_TRUE(err.starts_with("[fai_read] invalid entry for sequence 'a' on line 1 of the FASTA index")) << err;
        }
    }
}

// A remote FASTA's index is taken from a local copy named after the URL's
// last component when one exists; nothing is created when the server is
// unreachable.
TEST_F(Fai, RemoteIndexUsesTheWorkingDirectory) {
    const std::filesystem::path old_cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    const char* url = "http://127.0.0.1:1/data/r.fa";
    testing::internal::CaptureStderr();
    EXPECT_EQ(fai_load(url), nullptr);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("[download_from_remote] fail to open remote file http://127.0.0.1:1/data/r.fa.fai\n"), std::string::npos);
    EXPECT_NE(err.find("[fai_load] failed to open remote FASTA index http://127.0.0.1:1/data/r.fa.fai\n"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists("r.fa.fai"));

    write_file("r.fa.fai", "a\t4\t3\t4\t5\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(fai_load(url), nullptr);  // the index is local, the FASTA is not reachable
    err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.find("[download_from_remote]"), std::string::npos);
    EXPECT_TRUE(err.ends_with("[fai_load] fail to open FASTA file.\n")) << err;
    std::filesystem::current_path(old_cwd);
}

}  // namespace
