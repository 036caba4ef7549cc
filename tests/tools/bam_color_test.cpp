// Colour-space lookups against colours worked out by hand from the two-base
// code (colour = code(a) XOR code(b)), on forward and reverse reads, with
// fields missing, of the wrong type, too short or unterminated.
#include "tools/bam_color.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "common/record_util.h"

namespace {

// A mapped read with sequence `seq` (CIGAR all M) and the given fields.
bam1_ptr make_read(const std::string& seq, uint16_t flag, const char* cs, const char* cq = nullptr) {
    bam1_ptr b = bam1_make();
    bam1_core_t* c = &b->core;
    c->tid = 0;
    c->flag = flag;
    c->l_qname = 2;
    c->n_cigar = 1;
    c->l_qseq = static_cast<int32_t>(seq.size());
    c->mtid = c->mpos = -1;
    b->data_len = rec_data_len(c, 0);
    EXPECT_EQ(bam_grow_data(b.get(), static_cast<size_t>(b->data_len)), 0);
    std::memcpy(b->data, "r", 2);
    cigar_set(rec_cigar(b.get()), 0, static_cast<uint32_t>(seq.size()) << BAM_CIGAR_SHIFT | BAM_CMATCH);
    uint8_t* s = rec_seq(b.get());
    std::memset(s, 0, (seq.size() + 1) / 2);
    for (size_t i = 0; i < seq.size(); ++i)
        s[i / 2] |= static_cast<uint8_t>(bam_nt16_table[static_cast<uint8_t>(seq[i])] << ((~i & 1) << 2));
    std::memset(rec_qual(b.get()), 30, seq.size());
    if (cs) test_util::append_aux_string(b.get(), "CS", 'Z', cs);
    if (cq) test_util::append_aux_string(b.get(), "CQ", 'Z', cq);
    return b;
}

// Each lookup at positions -1 to the read length, as one string with '#'
// standing for a 0 result.
std::string lookups(const bam1_t* b, char (*f)(const bam1_t*, int)) {
    std::string out;
    for (int i = -1; i <= b->core.l_qseq; ++i) {
        char c = f(b, i);
        out += c ? c : '#';
    }
    return out;
}

struct colour_case {
    const char* name;
    const char* seq;
    uint16_t flag;
    const char* cs;
    const char* cq;
    const char* colours;  // bam_aux_getCSi at -1 .. length
    const char* errors;   // bam_aux_getCEi
    const char* quals;    // bam_aux_getCQi
};

// Primer T with colours 0 1 2 3 spells T G A T forward (3^0=3, 3^1=2,
// 2^2=0, 0^3=3).  On the reverse strand the colours run from the last query
// position back, the first joining the primer's complement A: A C T A read
// backwards from position 3 (0^0=0, 0^1=1, 1^2=3, 3^3=0), stored as ATCA.
const colour_case colour_cases[] = {
    {"forward_consistent", "TGAT", 0, "T0123", "ABCD", "#0123#", "#----#", "#ABCD#"},
    {"forward_first_base_A", "AGAT", 0, "T0123", "ABCD", "#0123#", "#01--#", "#ABCD#"},
    {"forward_two_mismatches", "TGCT", 0, "T0123", "ABCD", "#0123#", "#--23#", "#ABCD#"},
    {"lower_case_primer", "TGAT", 0, "t0123", nullptr, "#0123#", "#----#", "######"},
    {"N_gives_colour_4", "TNAT", 0, "T0443", nullptr, "#0443#", "#----#", "######"},
    {"N_against_a_real_colour", "TNAT", 0, "T0123", nullptr, "#0123#", "#-12-#", "######"},
    {"reverse_consistent", "ATCA", BAM_FREVERSE, "T0123", "ABCD", "#3210#", "#----#", "#DCBA#"},
    // The base sequenced first (position 3) is off: both colours touching it
    // disagree, the one from the primer's complement and the next one.
    {"reverse_first_sequenced_base_off", "ATCG", BAM_FREVERSE, "T0123", "ABCD", "#3210#", "#--10#", "#DCBA#"},
    // Fields shorter or longer than the read: positions past the field or
    // the sequence have no value.
    {"short_cs_forward", "TGAT", 0, "T01", "AB", "#01###", "#--###", "#AB###"},
    {"short_cs_reverse", "TGAT", BAM_FREVERSE, "T01", "AB", "#10###", "#-0###", "#BA###"},
    {"long_cs_forward", "TGAT", 0, "T01231", nullptr, "#01231", "#----#", "######"},
    {"empty_cs", "TGAT", 0, "", "", "######", "######", "######"},
    {"primer_only", "TGAT", 0, "T", nullptr, "######", "######", "######"},
    {"no_fields", "TGAT", 0, nullptr, nullptr, "######", "######", "######"},
};

void PrintTo(const colour_case& c, std::ostream* os) { *os << c.name; }

class ColourLookup : public ::testing::TestWithParam<colour_case> {};

TEST_P(ColourLookup, MatchesHandWorkedColours) {
    const colour_case& c = GetParam();
    bam1_ptr b = make_read(c.seq, c.flag, c.cs, c.cq);
    EXPECT_EQ(lookups(b.get(), bam_aux_getCSi), c.colours);
    EXPECT_EQ(lookups(b.get(), bam_aux_getCEi), c.errors);
    EXPECT_EQ(lookups(b.get(), bam_aux_getCQi), c.quals);
}

INSTANTIATE_TEST_SUITE_P(Cases, ColourLookup, ::testing::ValuesIn(colour_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ColourLookup, FieldsOfAnotherTypeOrUnterminatedHaveNoValue) {
    bam1_ptr typed = make_read("TGAT", 0, nullptr);
    test_util::append_aux<int32_t>(typed.get(), "CS", 'i', 1234);
    test_util::append_aux<char>(typed.get(), "CQ", 'A', 'A');
    EXPECT_EQ(bam_aux_getCSi(typed.get(), 0), 0);
    EXPECT_EQ(bam_aux_getCEi(typed.get(), 0), 0);
    EXPECT_EQ(bam_aux_getCQi(typed.get(), 0), 0);

    // A string field cut off at the end of the data block, without its NUL.
    bam1_ptr cut = make_read("TGAT", 0, nullptr);
    ASSERT_EQ(bam_aux_append(cut.get(), "CS", 'Z', 5, reinterpret_cast<const uint8_t*>("T0123")), 0);
    EXPECT_EQ(bam_aux_getCSi(cut.get(), 0), 0);
    EXPECT_EQ(bam_aux_getCEi(cut.get(), 0), 0);
}

TEST(ColourCodes, NucleotideCodesAndTransitions) {
    const std::string letters = "ACGTacgtN-x*=";
    const std::vector<int> codes = {0, 1, 2, 3, 0, 1, 2, 3, 4, 4, 4, 4, 4};
    for (size_t i = 0; i < letters.size(); ++i) EXPECT_EQ(bam_aux_nt2int(letters[i]), codes[i]) << letters[i];
    // Rows: first base A C G T N; columns: second base A C G T N.
    const char* table[] = {"01234", "10324", "23014", "32104", "44444"};
    const char* bases = "ACGTN";
    for (int x = 0; x < 5; ++x)
        for (int y = 0; y < 5; ++y) {
            EXPECT_EQ(bam_aux_ntnt2cs(bases[x], bases[y]), table[x][y]) << bases[x] << bases[y];
            EXPECT_EQ(bam_aux_ntnt2cs(static_cast<char>(std::tolower(bases[x])), bases[y]), table[x][y]);
        }
}

}  // namespace
