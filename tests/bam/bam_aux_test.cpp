// Optional-field access, libraries through read groups, and region strings.
#include "bam/bam_aux.h"
#include "bam/sam_format.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/record_util.h"

namespace {

using test_util::append_aux;
using test_util::append_aux_array;
using test_util::append_aux_string;
using test_util::make_header;

// A record with the name "r", no CIGAR and no sequence: 2 bytes before the
// optional fields.
bam1_ptr bare_record() {
    bam1_ptr b = bam1_make();
    b->core.tid = b->core.pos = b->core.mtid = b->core.mpos = -1;
    b->core.l_qname = 2;
    EXPECT_EQ(bam_grow_data(b.get(), 2), 0);
    std::memcpy(b->data, "r", 2);
    b->data_len = 2;
    return b;
}

// Tags of the optional fields in stored order, by walking the area.
std::string tags_of(const bam1_t* b) {
    std::string tags;
    std::string names = "AABBCCDDEEFFGGHHIIJJKKLLMMNNOOPPQQRRSSTTUUVVWWXXYYZZ";
    for (size_t i = 0; i < names.size(); i += 2)
        if (bam_aux_get(b, names.c_str() + i)) tags += names.substr(i, 2) + " ";
    return tags;
}

std::string format(const bam1_t* b) {
    char* s = bam_format1_core(nullptr, b, 0);
    std::string r = s;
    std::free(s);
    return r;
}

TEST(BamAux, GetWalksOverEveryType) {
    bam1_ptr b = bare_record();
    append_aux<float>(b.get(), "XF", 'f', 1.5f);
    append_aux<double>(b.get(), "XD", 'd', -2.25);
    append_aux_array<int16_t>(b.get(), "XB", 's', {1, -2, 3});
    append_aux_string(b.get(), "XZ", 'Z', "text");
    append_aux_string(b.get(), "XH", 'H', "1AE3");
    append_aux<char>(b.get(), "XA", 'A', 'q');
    append_aux<uint8_t>(b.get(), "XC", 'C', 200);
    append_aux<uint16_t>(b.get(), "XS", 'S', 60000);
    append_aux<uint32_t>(b.get(), "XI", 'I', 4000000000U);
    append_aux<int8_t>(b.get(), "XT", 'c', -3);
    append_aux<int8_t>(b.get(), "XT", 'c', 9);  // a repeated tag: the first one is found
    EXPECT_EQ(b->l_aux, 7 + 11 + 14 + 8 + 8 + 4 + 4 + 5 + 7 + 4 + 4);
    EXPECT_EQ(b->data_len, 2 + b->l_aux);

    struct {
        const char* tag;
        char type;
    } cases[] = {{"XF", 'f'}, {"XD", 'd'}, {"XB", 'B'}, {"XZ", 'Z'}, {"XH", 'H'},
                 {"XA", 'A'}, {"XC", 'C'}, {"XS", 'S'}, {"XI", 'I'}, {"XT", 'c'}};
    for (const auto& c : cases) {
        const uint8_t* v = bam_aux_get(b.get(), c.tag);
        ASSERT_NE(v, nullptr) << c.tag;
        EXPECT_EQ(static_cast<char>(v[0]), c.type) << c.tag;
    }
    EXPECT_EQ(bam_aux2i(bam_aux_get(b.get(), "XT")), -3);
    EXPECT_EQ(bam_aux_get(b.get(), "YY"), nullptr);
    EXPECT_EQ(bam_aux_get(b.get(), "X"), nullptr);
    EXPECT_EQ(format(b.get()),
              "r\t0\t*\t0\t0\t*\t*\t0\t0\t*\t*\tXF:f:1.5\tXD:d:-2.25\tXB:B:s,1,-2,3\tXZ:Z:text\tXH:H:1AE3"
              "\tXA:A:q\tXC:i:200\tXS:i:60000\tXI:i:4000000000\tXT:i:-3\tXT:i:9");
}

TEST(BamAux, AppendGrowsTheBlock) {
    bam1_ptr b = bare_record();
    append_aux<uint8_t>(b.get(), "NM", 'C', 3);
    std::string big(1000, 'x');
    append_aux_string(b.get(), "XZ", 'Z', big);
    EXPECT_EQ(b->data_len, 2 + 4 + 1004);
    EXPECT_EQ(b->l_aux, 4 + 1004);
    EXPECT_EQ(b->m_data, 1024);
    EXPECT_STREQ(rec_qname(b.get()), "r");
    EXPECT_EQ(bam_aux2i(bam_aux_get(b.get(), "NM")), 3);
    EXPECT_EQ(bam_aux2Z(bam_aux_get(b.get(), "XZ")), big);
}

TEST(BamAux, DeleteFirstMiddleOrLast) {
    // Field sizes: AA 4 bytes, BB 9 bytes, CC 11 bytes.
    struct {
        const char* tag;
        int size;
        std::string left;
    } cases[] = {{"AA", 4, "BB CC "}, {"BB", 9, "AA CC "}, {"CC", 11, "AA BB "}};
    for (const auto& c : cases) {
        bam1_ptr b = bare_record();
        append_aux<uint8_t>(b.get(), "AA", 'C', 7);
        append_aux_string(b.get(), "BB", 'Z', "hello");
        append_aux<double>(b.get(), "CC", 'd', 0.125);
        int l_aux = b->l_aux, data_len = b->data_len;
        EXPECT_EQ(bam_aux_del(b.get(), bam_aux_get(b.get(), c.tag)), 0);
        EXPECT_EQ(b->l_aux, l_aux - c.size) << c.tag;
        EXPECT_EQ(b->data_len, data_len - c.size) << c.tag;
        EXPECT_EQ(tags_of(b.get()), c.left) << c.tag;
        std::string expected = "r\t0\t*\t0\t0\t*\t*\t0\t0\t*\t*";
        if (c.left.find("AA") != std::string::npos) expected += "\tAA:i:7";
        if (c.left.find("BB") != std::string::npos) expected += "\tBB:Z:hello";
        if (c.left.find("CC") != std::string::npos) expected += "\tCC:d:0.125";
        EXPECT_EQ(format(b.get()), expected);
    }
}

TEST(BamAux, DropOther) {
    bam1_ptr b = bare_record();
    append_aux<uint8_t>(b.get(), "AA", 'C', 7);
    append_aux_string(b.get(), "BB", 'Z', "hello");
    append_aux<double>(b.get(), "CC", 'd', 0.125);
    EXPECT_EQ(bam_aux_drop_other(b.get(), bam_aux_get(b.get(), "BB")), 0);
    EXPECT_EQ(b->l_aux, 9);
    EXPECT_EQ(b->data_len, 2 + 9);
    EXPECT_EQ(bam_aux_get(b.get(), "BB"), rec_aux(b.get()) + 2);
    EXPECT_EQ(format(b.get()), "r\t0\t*\t0\t0\t*\t*\t0\t0\t*\t*\tBB:Z:hello");

    append_aux<double>(b.get(), "CC", 'd', 0.125);
    EXPECT_EQ(bam_aux_drop_other(b.get(), nullptr), 0);
    EXPECT_EQ(b->l_aux, 0);
    EXPECT_EQ(b->data_len, 2);
    EXPECT_EQ(tags_of(b.get()), "");
}

TEST(BamAux, TypedReads) {
    bam1_ptr b = bare_record();
    append_aux<int8_t>(b.get(), "Ic", 'c', -1);
    append_aux<uint8_t>(b.get(), "IC", 'C', 255);
    append_aux<int16_t>(b.get(), "Is", 's', -300);
    append_aux<uint16_t>(b.get(), "IS", 'S', 65535);
    append_aux<int32_t>(b.get(), "Ii", 'i', INT32_MIN);
    append_aux<uint32_t>(b.get(), "IU", 'I', 4294967295U);
    append_aux<uint32_t>(b.get(), "IV", 'I', 0x80000000U);
    append_aux<float>(b.get(), "Ff", 'f', 0.75f);
    append_aux<double>(b.get(), "Dd", 'd', -1e100);
    append_aux<char>(b.get(), "AA", 'A', 'q');
    append_aux_string(b.get(), "ZZ", 'Z', "zed");
    append_aux_string(b.get(), "HH", 'H', "0F");
    auto get = [&](const char* tag) { return bam_aux_get(b.get(), tag); };

    struct {
        const char* tag;
        int32_t value;
    } ints[] = {{"Ic", -1},        {"IC", 255}, {"Is", -300}, {"IS", 65535}, {"Ii", INT32_MIN}, {"IU", -1},
                {"IV", INT32_MIN}, {"Ff", 0},   {"Dd", 0},    {"AA", 0},     {"ZZ", 0}};
    for (const auto& c : ints) EXPECT_EQ(bam_aux2i(get(c.tag)), c.value) << c.tag;
    EXPECT_EQ(bam_aux2i(nullptr), 0);

    EXPECT_STREQ(bam_aux2Z(get("ZZ")), "zed");
    EXPECT_STREQ(bam_aux2Z(get("HH")), "0F");
    EXPECT_EQ(bam_aux2Z(get("Ic")), nullptr);
    EXPECT_EQ(bam_aux2Z(get("AA")), nullptr);

    EXPECT_EQ(bam_aux2f(get("Ff")), 0.75f);
    EXPECT_EQ(bam_aux2f(get("Dd")), 0.0f);
    EXPECT_EQ(bam_aux2f(get("IU")), 0.0f);
    EXPECT_EQ(bam_aux2d(get("Dd")), -1e100);
    EXPECT_EQ(bam_aux2d(get("Ff")), 0.0);
    EXPECT_EQ(bam_aux2A(get("AA")), 'q');
    EXPECT_EQ(bam_aux2A(get("IC")), '\0');
    EXPECT_EQ(bam_aux2A(get("ZZ")), '\0');
}

TEST(BamAux, LibraryThroughReadGroup) {
    bam_header_ptr h = make_header({}, "@HD\tVN:1.0\n@RG\tID:g1\tSM:s\tLB:libA\n@RG\tID:g2\tSM:s\n@RG\tID:g3\tLB:libB\n");
    struct {
        const char* rg;  // null: no RG field
        const char* library;
    } cases[] = {{"g1", "libA"}, {"g3", "libB"}, {"g2", nullptr}, {"g9", nullptr}, {nullptr, nullptr}};
    for (const auto& c : cases) {
        bam1_ptr b = bare_record();
        append_aux<uint8_t>(b.get(), "NM", 'C', 0);
        if (c.rg) append_aux_string(b.get(), "RG", 'Z', c.rg);
        const char* lib = bam_get_library(h.get(), b.get());
        if (c.library) {
            EXPECT_STREQ(lib, c.library) << c.rg;
        } else {
            EXPECT_EQ(lib, nullptr) << (c.rg ? c.rg : "no RG");
        }
    }
    EXPECT_NE(h->dict, nullptr);
    EXPECT_NE(h->rg2lib, nullptr);

    bam1_ptr b = bare_record();
    append_aux_string(b.get(), "RG", 'Z', "g1");
    bam_header_ptr no_groups = make_header({}, "@SQ\tSN:chr1\tLN:10\n");
    EXPECT_EQ(bam_get_library(no_groups.get(), b.get()), nullptr);
    bam_header_ptr no_text = make_header({});
    EXPECT_EQ(bam_get_library(no_text.get(), b.get()), nullptr);
}

struct region_case {
    const char* text;
    int ret, tid, beg, end;
    bool message;
};

void check_regions(bam_header_t* h, const std::vector<region_case>& cases) {
    const std::string message = "[bam_parse_region] fail to determine the sequence name.\n";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        int tid = 7, beg = 7, end = 7;
        testing::internal::CaptureStderr();
        EXPECT_EQ(bam_parse_region(h, c.text, &tid, &beg, &end), c.ret);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message ? message : "");
        EXPECT_EQ(tid, c.tid);
        EXPECT_EQ(beg, c.beg);
        EXPECT_EQ(end, c.end);
    }
}

TEST(BamParseRegion, Grammar) {
    constexpr int max = 1 << 29;
    bam_header_ptr h = make_header({"chr1", "chr2"});
    check_regions(h.get(), {
                               {"chr2", 0, 1, 0, max, false},
                               {"chr2:1,000", 0, 1, 999, max, false},
                               {"chr2:1,000-2,000", 0, 1, 999, 2000, false},
                               {" chr2 : 1, 000 - 2, 000 ", 0, 1, 999, 2000, false},
                               {"chr2:1000-\t2000\n", 0, 1, 999, 2000, false},
                               {"chr1:5-5", 0, 0, 4, 5, false},
                               {"chr2:1", 0, 1, 0, max, false},
                               {"chr2:0-10", 0, 1, 0, 10, false},
                               {"chr2:", 0, 1, 0, max, false},
                               {"chr2:-200", 0, 1, -200, 200, false},
                               {"chr2:2000-1000", -1, 1, 1999, 1000, false},
                               {"chr2:100-", -1, 1, 99, 0, false},
                               {"chr2:100-200-300", -1, -1, -1, -1, true},
                               {"chr2:x", -1, -1, -1, -1, true},
                               {"chr9:1-10", -1, -1, -1, -1, true},
                               {"chr9", -1, -1, -1, -1, false},
                               {"chr2 ", -1, -1, -1, -1, false},  // without a colon the text is the name as given
                           });
}

TEST(BamParseRegion, NameContainingColon) {
    constexpr int max = 1 << 29;
    bam_header_ptr h = make_header({"chr1", "chr2:100"});
    check_regions(h.get(), {
                               {"chr2:100", 0, 1, 0, max, false},
                               {"chr2:100-200", -1, -1, -1, -1, true},
                               {"chr1:100", 0, 0, 99, max, false},
                           });
}

TEST(BamParseRegion, HeaderWithoutReferences) {
    bam_header_ptr h = make_header({});
    check_regions(h.get(), {
                               {"chr1", -1, -1, -1, -1, false},
                               {"chr1:1-10", -1, -1, -1, -1, true},
                           });
}

}  // namespace
