// Text pileup entries at the edges the command-line tests do not reach:
// query positions past the read, indels past the read or the reference end,
// missing qualities; and the byte bound of an entry list.
#include "pileup/bam_plcmd.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// A record of `seq` with qualities `qual` (as text; empty: missing, 0xff);
// the text formatter needs no CIGAR.
bam1_ptr make_read(const std::string& seq, const std::string& qual, int mapq, bool is_rev) {
    bam1_ptr b = bam1_make();
    b->core = bam1_core_t{};
    b->core.l_qname = 2;
    b->core.l_qseq = static_cast<int32_t>(seq.size());
    b->core.qual = static_cast<uint8_t>(mapq);
    b->core.flag = is_rev ? BAM_FREVERSE : 0;
    b->data_len = rec_data_len(&b->core, 0);
    EXPECT_EQ(bam_grow_data(b.get(), static_cast<size_t>(b->data_len)), 0);
    std::memset(b->data, 0, static_cast<size_t>(b->data_len));
    for (size_t i = 0; i < seq.size(); ++i) {
        rec_seq(b.get())[i / 2] |= static_cast<uint8_t>(bam_nt16_table[static_cast<uint8_t>(seq[i])] << (i % 2 ? 0 : 4));
        rec_qual(b.get())[i] = static_cast<uint8_t>(qual.empty() ? 0xff : qual[i] - 33);
    }
    return b;
}

bam_pileup1_t entry(const bam1_t* b, int qpos, int indel = 0, bool is_del = false) {
    bam_pileup1_t e{};
    e.b = const_cast<bam1_t*>(b);
    e.qpos = qpos;
    e.indel = indel;
    e.is_del = is_del;
    return e;
}

TEST(MplpText, EntriesAtTheEdgesOfReadsAndReference) {
    const char ref[] = "ACGTN";
    const bam1_ptr fwd = make_read("ACGTA", "ABCDE", 200, false), rev = make_read("NCG", "", 10, true);
    struct text_case {
        std::vector<bam_pileup1_t> plp;
        int pos;
        const char* ref;
        std::string want;
    };
    const text_case cases[] = {
        {{entry(fwd.get(), 5, 0, true)}, 4, ref, "\t1\t*\t~"},                                 // a deletion at the read end
        {{entry(fwd.get(), 3, 3), entry(rev.get(), 2, -3)}, 3, ref, "\t2\t.+3ANNg-3nnn\tD~"},  // past read and reference
        {{entry(rev.get(), 0)}, 4, ref, "\t1\t,\t~"},                                          // N against N; missing quality
        {{entry(rev.get(), 0)}, 9, ref, "\t1\t,\t~"},                          // past the reference end the base is N
        {{entry(rev.get(), 7), entry(fwd.get(), -1)}, 0, ref, "\t2\tnN\t~~"},  // query positions outside the read
        {{entry(rev.get(), 0), entry(fwd.get(), 0)}, 0, nullptr, "\t2\tnA\t~A"},
    };
    for (const text_case& c : cases) {
        const size_t bound = mplp_text_bound(static_cast<int>(c.plp.size()), c.plp.data());
        std::vector<char> buf(bound);
        char* end = mplp_put_entries(buf.data(), static_cast<int>(c.plp.size()), c.plp.data(), c.pos, c.ref, 5, 0);
        EXPECT_EQ(std::string(buf.data(), end), c.want) << c.want;
    }
}

}  // namespace
