// Genotype accuracy on generated diploid reads: every column of a pileup goes
// through the SNP and indel likelihood steps as a caller would drive them,
// and the genotype with the best PL at each planted variant covered by at
// least ten reads must equal the planted one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bam/bam.h"
#include "bam/sam.h"
#include "call/bam2bcf.h"
#include "call/bam2bcf_indel.h"
#include "common/test_util.h"
#include "pileup/bam_pileup.h"

namespace {

using test_util::split;

struct truth_t {
    std::string ref, alt, gt;
};

// A called genotype: the two alleles as text, ordered.
using genotype_t = std::pair<std::string, std::string>;

genotype_t ordered(std::string a, std::string b) {
    if (b < a) std::swap(a, b);
    return {a, b};
}

// The best genotype of a one-sample call; alleles are spelled as bases at a
// SNP ("A".."T", "N" for the unseen placeholder) and as the indel with its
// anchor ("A", "AC" for an insertion of C, "A-2" for a deletion of 2) at an
// indel site.
genotype_t best_genotype(const bcf_call_t& bc, const bcf_callaux_t* bca, char anchor, bool indel) {
    auto allele = [&](int k) -> std::string {
        if (!indel) return std::string(1, "ACGTN"[std::min(bc.a[k], 4)]);
        const int type = bca->indel_types[bc.a[k]];
        std::string s(1, anchor);
        if (type < 0) return s + std::to_string(type);
        for (int i = 0; i < type; ++i) s += "ACGTN"[std::min<int>(bca->inscns[bc.a[k] * bca->maxins + i], 4)];
        return s;
    };
    int best = 0, best_x = 0, best_y = 0;
    for (int x = 0, k = 0; x < bc.n_alleles; ++x) {
        for (int y = 0; y <= x; ++y, ++k) {
            if (bc.PL[k] < bc.PL[best]) best = k, best_x = x, best_y = y;
        }
    }
    return ordered(allele(best_y), allele(best_x));
}

genotype_t truth_genotype(const truth_t& t) {
    std::string alt = t.alt;
    if (t.ref.size() > t.alt.size()) alt = t.ref.substr(0, 1) + "-" + std::to_string(t.ref.size() - t.alt.size());
    const std::string ref = t.ref.substr(0, 1);
    return t.gt == "1|1" ? ordered(alt, alt) : ordered(ref, alt);
}

struct tally_t {
    int total = 0, right = 0;
    double fraction() const { return total ? static_cast<double>(right) / total : 0; }
};

int read_sam(void* data, bam1_t* b) { return samread(static_cast<samfile_t*>(data), b); }

TEST(genotype_accuracy, best_pl_genotypes_match_the_planted_variants) {
    test_util::scratch_dir dir;
    const auto g = test_util::run({ALNSIM_PATH, "--diploid", "--seed", "11", "--refs", "2", "--ref-len", "150000", "--depth",
                                   "15", "--truth", dir.file("t.tsv"), "--fasta", dir.file("r.fa"), "--sam", dir.file("r.sam")});
    ASSERT_EQ(g.status, 0) << g.err;

    std::map<std::string, std::string> refs;
    std::string* cur = nullptr;
    for (const auto& line : split(test_util::read_file(dir.file("r.fa")), '\n')) {
        if (!line.empty() && line[0] == '>') cur = &refs[line.substr(1)];
        else if (cur) *cur += line;
    }
    std::map<std::pair<std::string, long>, truth_t> truth;  // (chrom, 0-based pos)
    for (const auto& line : split(test_util::read_file(dir.file("t.tsv")), '\n')) {
        const auto f = split(line, '\t');
        ASSERT_EQ(f.size(), 5u);
        truth[{f[0], std::stol(f[1]) - 1}] = {f[2], f[3], f[4]};
    }

    samfile_t* fp = samopen(dir.file("r.sam").c_str(), "r", nullptr);
    ASSERT_NE(fp, nullptr);
    ASSERT_NE(fp->header, nullptr);
    bcf_callaux_t* bca = bcf_call_init(-1, 13);
    ASSERT_NE(bca, nullptr);
    bam_plp_t iter = bam_plp_init(read_sam, fp);
    bcf_callret1_t ret{};
    bcf_call_t bc{};

    tally_t snps, indels;
    long columns = 0, false_snps = 0;
    int tid = -1, pos = 0, n = 0;
    const bam_pileup1_t* plp;
    while ((plp = bam_plp_auto(iter, &tid, &pos, &n)) != nullptr) {
        const std::string chrom = fp->header->target_name[tid];
        const std::string& ref = refs.at(chrom);
        const auto t = truth.find({chrom, pos});
        const int ref16 = bam_nt16_table[static_cast<uint8_t>(ref[static_cast<size_t>(pos)])];

        genotype_t snp_call;
        if (bcf_call_glfgen(n, plp, ref16, bca, &ret) >= 0 && bcf_call_combine(1, &ret, ref16, &bc) == 0)
            snp_call = best_genotype(bc, bca, ref[static_cast<size_t>(pos)], false);
        const std::string ref_base(1, ref[static_cast<size_t>(pos)]);
        const bool snp_truth = t != truth.end() && t->second.ref.size() == t->second.alt.size();
        if (n >= 10) ++columns;
        // Without a prior, one high-quality error among ten reads can make a
        // heterozygote the best genotype: rare, but not zero.
        if (n >= 10 && !snp_truth && !snp_call.first.empty() && snp_call != genotype_t{ref_base, ref_base}) ++false_snps;

        genotype_t indel_call;
        auto* mutable_plp = const_cast<bam_pileup1_t*>(plp);
        if (bcf_call_gap_prep(1, &n, &mutable_plp, pos, bca, ref.c_str(), static_cast<int>(ref.size()), nullptr) >= 0 &&
            bcf_call_glfgen(n, plp, -1, bca, &ret) >= 0 && bcf_call_combine(1, &ret, -1, &bc) == 0)
            indel_call = best_genotype(bc, bca, ref[static_cast<size_t>(pos)], true);

        if (t == truth.end() || n < 10) continue;
        const genotype_t want = truth_genotype(t->second);
        tally_t& tally = snp_truth ? snps : indels;
        ++tally.total;
        const genotype_t& got = snp_truth ? snp_call : indel_call;
        tally.right += got == want;
        if (got != want && tally.total - tally.right <= 5)
            std::printf("missed %s:%d %s>%s %s, called %s/%s at depth %d\n", chrom.c_str(), pos + 1, t->second.ref.c_str(),
                        t->second.alt.c_str(), t->second.gt.c_str(), got.first.c_str(), got.second.c_str(), n);
    }
    bam_plp_destroy(iter);
    bcf_call_destroy(bca);
    std::free(bc.PL);
    samclose(fp);

    std::printf(
        "genotype accuracy: SNPs %d/%d (%.2f%%), indels %d/%d (%.2f%%), %ld non-variant columns with a non-reference "
        "best SNP genotype out of %ld at depth >= 10\n",
        snps.right, snps.total, 100 * snps.fraction(), indels.right, indels.total, 100 * indels.fraction(), false_snps, columns);
    EXPECT_GT(snps.total, 300);
    EXPECT_GT(indels.total, 80);
    EXPECT_GE(snps.fraction(), 0.98);
    EXPECT_GE(indels.fraction(), 0.90);
    EXPECT_LT(false_snps, columns / 1000);
}

}  // namespace
