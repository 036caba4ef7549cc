// The data generator: same arguments give the same bytes, sorted output is in
// coordinate order and holds the same records, every SEQ agrees with its CIGAR
// and lies inside its reference, and every optional-field type occurs. The SAM
// text is read here directly, independently of the library's reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "common/test_util.h"

namespace {

using fields_t = std::vector<std::string>;
using test_util::split;

struct sam_t {
    std::vector<std::string> header;
    std::vector<fields_t> records;
    std::map<std::string, long> ref_len;
    std::vector<std::string> ref_names;  // in header order
};

sam_t parse(const std::string& text) {
    sam_t sam;
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    for (const auto& line : split(text, '\n')) {
        if (line.empty() || line[0] == '@') {
            sam.header.push_back(line);
            if (line.rfind("@SQ\t", 0) == 0) {
                const auto f = split(line, '\t');
                sam.ref_names.push_back(f.at(1).substr(3));
                sam.ref_len[sam.ref_names.back()] = std::stol(f.at(2).substr(3));
            }
            continue;
        }
        sam.records.push_back(split(line, '\t'));
        EXPECT_GE(sam.records.back().size(), 11u) << line;
        EXPECT_NE(line.back(), '\t') << line;
    }
    return sam;
}

std::string generate(const std::vector<std::string>& args, const std::string& path) {
    std::vector<std::string> argv{ALNSIM_PATH, "--sam", path};
    argv.insert(argv.end(), args.begin(), args.end());
    const auto r = test_util::run(argv);
    EXPECT_EQ(r.status, 0) << r.err;
    return test_util::read_file(path);
}

const std::vector<std::string> k_small{"--records", "3000", "--refs", "4", "--ref-len", "20000"};

TEST(alnsim, same_arguments_give_same_bytes_and_seeds_differ) {
    test_util::scratch_dir dir;
    auto args = k_small;
    args.insert(args.end(), {"--fasta", dir.file("a.fa")});
    const std::string a = generate(args, dir.file("a.sam"));
    args.back() = dir.file("b.fa");
    const std::string b = generate(args, dir.file("b.sam"));
    EXPECT_EQ(a, b);
    EXPECT_EQ(test_util::read_file(dir.file("a.fa")), test_util::read_file(dir.file("b.fa")));
    args.insert(args.end(), {"--seed", "2"});
    EXPECT_NE(a, generate(args, dir.file("c.sam")));
    const size_t n = parse(a).records.size();
    EXPECT_TRUE(n >= 3000 && n <= 3004) << n;
}

TEST(alnsim, sorted_output_is_in_coordinate_order_with_the_same_records) {
    test_util::scratch_dir dir;
    const sam_t plain = parse(generate(k_small, dir.file("u.sam")));
    auto args = k_small;
    args.push_back("--sorted");
    const sam_t sorted = parse(generate(args, dir.file("s.sam")));
    EXPECT_EQ(plain.header.at(0), "@HD\tVN:1.0\tSO:unsorted");
    EXPECT_EQ(sorted.header.at(0), "@HD\tVN:1.0\tSO:coordinate");

    const auto& names = sorted.ref_names;
    std::tuple<long, long, bool> prev{-1, -1, false};
    for (const auto& f : sorted.records) {
        const auto it = std::find(names.begin(), names.end(), f[2]);
        const long tid = f[2] == "*" ? 1L << 40 : static_cast<long>(it - names.begin());
        ASSERT_TRUE(f[2] == "*" || it != names.end()) << f[2];
        const bool reverse = (std::stol(f[1]) & 16) != 0;
        const std::tuple<long, long, bool> key{tid, std::stol(f[3]), reverse};
        ASSERT_LE(prev, key) << f[0];  // forward before reverse at one position
        prev = key;
    }
    EXPECT_EQ(std::get<0>(prev), 1L << 40) << "unplaced records are expected at the end";
    EXPECT_EQ(std::multiset<fields_t>(plain.records.begin(), plain.records.end()),
              std::multiset<fields_t>(sorted.records.begin(), sorted.records.end()));
    EXPECT_NE(plain.records, sorted.records);
}

TEST(alnsim, sequences_agree_with_cigar_and_lie_inside_the_reference) {
    test_util::scratch_dir dir;
    const sam_t sam = parse(generate(k_small, dir.file("u.sam")));
    std::set<char> ops;
    for (const auto& f : sam.records) {
        const int flag = std::stoi(f[1]);
        if (f[5] == "*") {
            EXPECT_TRUE(flag & 4) << f[0];
            continue;
        }
        EXPECT_FALSE(flag & 4) << f[0];
        long qlen = 0, span = 0, num = 0;
        for (const char c : f[5]) {
            if (c >= '0' && c <= '9') {
                num = num * 10 + (c - '0');
                continue;
            }
            ASSERT_NE(std::string("MIDNSH=X").find(c), std::string::npos) << f[5];
            ASSERT_GT(num, 0) << f[5];
            if (std::string("MIS=X").find(c) != std::string::npos) qlen += num;
            if (std::string("MDN=X").find(c) != std::string::npos) span += num;
            ops.insert(c);
            num = 0;
        }
        EXPECT_TRUE(f[9] == "*" || static_cast<long>(f[9].size()) == qlen) << f[0];
        EXPECT_TRUE(f[9] == "*" || f[10] == "*" || f[10].size() == f[9].size()) << f[0];
        EXPECT_GE(std::stol(f[3]), 1) << f[0];
        EXPECT_LE(std::stol(f[3]) - 1 + span, sam.ref_len.at(f[2])) << f[0];
    }
    EXPECT_EQ(ops.size(), 8u) << "every CIGAR operation but P is expected";
}

TEST(alnsim, every_optional_field_type_occurs) {
    test_util::scratch_dir dir;
    const sam_t sam = parse(generate(k_small, dir.file("u.sam")));
    std::set<std::string> types;
    size_t without = 0;
    for (const auto& f : sam.records) {
        if (f.size() == 11) ++without;
        for (size_t k = 11; k < f.size(); ++k) {
            ASSERT_TRUE(f[k].size() >= 6 && f[k][2] == ':' && f[k][4] == ':') << f[k];
            types.insert(f[k].substr(3, 1));
            if (f[k][3] == 'B') types.insert(f[k].substr(3, 1) + f[k].substr(5, 1));
        }
    }
    const std::set<std::string> expected{"A", "i", "f", "d", "Z", "H", "B", "Bc", "BC", "Bs", "BS", "Bi", "BI", "Bf"};
    EXPECT_EQ(types, expected);
    EXPECT_GT(without, 0u);
}

TEST(alnsim, bad_arguments_print_the_usage_and_fail) {
    for (const std::vector<std::string>& bad : {std::vector<std::string>{"--records"}, {"--refs", "0"}, {"--bogus"}}) {
        std::vector<std::string> argv{ALNSIM_PATH};
        argv.insert(argv.end(), bad.begin(), bad.end());
        const auto r = test_util::run(argv);
        EXPECT_EQ(r.status, 1) << bad.at(0);
        EXPECT_NE(r.err.find("Usage: alnsim"), std::string::npos) << bad.at(0);
        EXPECT_TRUE(r.out.empty());
    }
}

// ---------------------------------------------------------------------------
// Diploid mode

struct truth_t {
    std::string chrom;
    long pos;  // 1-based
    std::string ref, alt, gt;
};

std::vector<truth_t> parse_truth(const std::string& text) {
    std::vector<truth_t> out;
    for (const auto& line : split(text, '\n')) {
        const auto f = split(line, '\t');
        EXPECT_EQ(f.size(), 5u) << line;
        if (f.size() == 5) out.push_back({f[0], std::stol(f[1]), f[2], f[3], f[4]});
    }
    return out;
}

std::map<std::string, std::string> parse_fasta(const std::string& text) {
    std::map<std::string, std::string> seqs;
    std::string* cur = nullptr;
    for (const auto& line : split(text, '\n')) {
        if (!line.empty() && line[0] == '>') {
            cur = &seqs[line.substr(1)];
        } else if (cur) {
            *cur += line;
        }
    }
    return seqs;
}

struct diploid_set_t {
    sam_t sam;
    std::vector<truth_t> truth;
    std::map<std::string, std::string> ref;
};

diploid_set_t generate_diploid(const test_util::scratch_dir& dir, const std::string& sample, const std::string& seed = "5") {
    diploid_set_t d;
    const std::string tag = sample + seed;
    d.sam = parse(generate({"--diploid", "--seed", seed, "--refs", "2", "--ref-len", "30000", "--depth", "12", "--sample", sample,
                            "--truth", dir.file(tag + ".tsv"), "--fasta", dir.file(tag + ".fa")},
                           dir.file(tag + ".sam")));
    d.truth = parse_truth(test_util::read_file(dir.file(tag + ".tsv")));
    d.ref = parse_fasta(test_util::read_file(dir.file(tag + ".fa")));
    return d;
}

// Every read walks its CIGAR against the reference with the variants of its
// own haplotype (named in the read) applied: indels must be planted ones of
// that haplotype, and the bases may differ only at its SNPs or by a
// sequencing error.
TEST(alnsim, diploid_reads_carry_the_variants_of_their_haplotype) {
    test_util::scratch_dir dir;
    const diploid_set_t d = generate_diploid(dir, "NA1");
    ASSERT_GT(d.truth.size(), 50u);
    // (chrom, 0-based anchor) -> variant, per haplotype.
    std::map<std::pair<std::string, long>, const truth_t*> on_hap[2];
    std::set<std::string> kinds;
    for (const auto& t : d.truth) {
        ASSERT_TRUE(t.gt == "1|0" || t.gt == "0|1" || t.gt == "1|1") << t.gt;
        ASSERT_EQ(d.ref.at(t.chrom).substr(static_cast<size_t>(t.pos - 1), t.ref.size()), t.ref);
        for (int h = 0; h < 2; ++h) {
            if (t.gt[h * 2] == '1') on_hap[h][{t.chrom, t.pos - 1}] = &t;
        }
        kinds.insert(t.ref.size() == t.alt.size() ? "snp" : t.ref.size() > t.alt.size() ? "del" : "ins");
        kinds.insert(t.gt == "1|1" ? "hom" : "het");
    }
    EXPECT_EQ(kinds, (std::set<std::string>{"snp", "del", "ins", "hom", "het"}));

    long bases = 0, errors = 0, snp_seen = 0, snp_alt = 0, indels_seen = 0;
    std::set<int> flags;
    long last_pos = 0;
    std::string last_chrom;
    for (const auto& f : d.sam.records) {
        const auto name = split(f[0], ':');
        ASSERT_EQ(name.size(), 4u) << f[0];
        ASSERT_EQ(name[0], "NA1");
        const int h = name[1] == "h0" ? 0 : name[1] == "h1" ? 1 : -1;
        ASSERT_GE(h, 0) << f[0];
        flags.insert(std::stoi(f[1]));
        EXPECT_EQ(f[4], "60");
        EXPECT_EQ(f.back(), "RG:Z:NA1");
        const long pos = std::stol(f[3]) - 1;
        if (f[2] == last_chrom) {
            EXPECT_GE(pos, last_pos) << "not sorted at " << f[0];
        }
        last_chrom = f[2];
        last_pos = pos;
        const std::string& ref = d.ref.at(f[2]);
        long r = pos, q = 0, num = 0;
        for (const char c : f[5]) {
            if (c >= '0' && c <= '9') {
                num = num * 10 + (c - '0');
                continue;
            }
            if (c == 'M') {
                for (long k = 0; k < num; ++k, ++r, ++q) {
                    char want = ref[static_cast<size_t>(r)];
                    const auto v = on_hap[h].find({f[2], r});
                    const bool snp = v != on_hap[h].end() && v->second->ref.size() == v->second->alt.size();
                    if (snp) want = v->second->alt[0];
                    ++bases;
                    if (f[9][static_cast<size_t>(q)] != want) ++errors;
                    if (snp) {
                        ++snp_seen;
                        snp_alt += f[9][static_cast<size_t>(q)] == want;
                    }
                }
            } else if (c == 'I' || c == 'D') {
                const auto v = on_hap[h].find({f[2], r - 1});
                ASSERT_NE(v, on_hap[h].end()) << f[0] << " " << f[5] << ": no planted indel before " << r;
                const long len = static_cast<long>(v->second->alt.size()) - static_cast<long>(v->second->ref.size());
                EXPECT_EQ(c == 'I' ? num : -num, len) << f[0] << " " << f[5];
                for (long k = 0; c == 'I' && k < num; ++k, ++bases)
                    errors += f[9][static_cast<size_t>(q + k)] != v->second->alt[static_cast<size_t>(k + 1)];
                ++indels_seen;
                (c == 'I' ? q : r) += num;
            } else {
                ASSERT_EQ(c, 'S') << f[5];
                q += num;
            }
            num = 0;
        }
        EXPECT_EQ(q, static_cast<long>(f[9].size())) << f[0];
    }
    EXPECT_EQ(flags, (std::set<int>{83, 99, 147, 163}));
    EXPECT_GT(indels_seen, 100);
    // Errors follow the qualities: mostly 30-40, a tenth at 2-19.
    EXPECT_GT(errors, bases / 400);
    EXPECT_LT(errors, bases / 40);
    EXPECT_GT(snp_alt, snp_seen * 9 / 10);
}

TEST(alnsim, diploid_samples_share_sites_but_not_genotypes) {
    test_util::scratch_dir dir;
    const diploid_set_t a1 = generate_diploid(dir, "A"), a2 = generate_diploid(dir, "A"), b = generate_diploid(dir, "B");
    const diploid_set_t other_seed = generate_diploid(dir, "A", "6");
    EXPECT_EQ(a1.sam.records, a2.sam.records) << "the same arguments must give the same reads";
    std::map<std::pair<std::string, long>, std::string> site_a, site_b;
    for (const auto& t : a1.truth) site_a[{t.chrom, t.pos}] = t.ref + ">" + t.alt;
    for (const auto& t : b.truth) site_b[{t.chrom, t.pos}] = t.ref + ">" + t.alt;
    size_t shared = 0, same_gt = 0;
    for (size_t i = 0; i < b.truth.size(); ++i) {
        const auto it = site_a.find({b.truth[i].chrom, b.truth[i].pos});
        if (it == site_a.end()) continue;
        ++shared;
        EXPECT_EQ(it->second, site_b.at(it->first)) << "the same site must carry the same alleles";
        for (const auto& t : a1.truth)
            if (t.chrom == b.truth[i].chrom && t.pos == b.truth[i].pos) same_gt += t.gt == b.truth[i].gt;
    }
    EXPECT_GT(shared, b.truth.size() / 2);
    EXPECT_LT(same_gt, shared * 3 / 4);
    EXPECT_EQ(a1.ref, b.ref) << "references depend on the seed only";
    EXPECT_NE(a1.ref, other_seed.ref);
    EXPECT_EQ(a1.truth.size(), a2.truth.size());
}

TEST(alnsim, diploid_references_equal_the_normal_mode) {
    test_util::scratch_dir dir;
    const diploid_set_t d = generate_diploid(dir, "S1");
    generate({"--seed", "5", "--refs", "2", "--ref-len", "30000", "--records", "10", "--fasta", dir.file("n.fa")},
             dir.file("n.sam"));
    EXPECT_EQ(parse_fasta(test_util::read_file(dir.file("n.fa"))), d.ref);
}

}  // namespace
