// The region-string grammar on its own: where the name ends, what counts as
// a coordinate part, and how begin and end are read from it.
#include "util/region_text.h"

#include <gtest/gtest.h>

namespace {

TEST(RegionText, SplitAtTheLastColonBeforeACoordinatePart) {
    struct split_case {
        const char* text;
        const char* name;
        const char* coords;
        bool has_colon, has_coords;
    };
    const split_case cases[] = {
        {"chr1", "chr1", "", false, false},
        {"chr1:1,000-2,000", "chr1", "1000-2000", true, true},
        {" chr1 :\t1,000 ", "chr1", "1000", true, true},
        {"chr1:", "chr1", "", true, true},
        {"a:b:10-20", "a:b", "10-20", true, true},
        {"HLA:x", "HLA:x", "", true, false},            // not a coordinate part: the whole text
        {"chr1:1-2-3", "chr1:1-2-3", "", true, false},  // two hyphens
        {"chr 1", "chr 1", "", false, false},           // without a colon the text stays as given
    };
    for (const auto& c : cases) {
        region_text_t r = region_split(c.text);
        EXPECT_EQ(r.name, c.name) << c.text;
        EXPECT_EQ(r.coords, c.coords) << c.text;
        EXPECT_EQ(r.has_colon, c.has_colon) << c.text;
        EXPECT_EQ(r.has_coords, c.has_coords) << c.text;
    }
}

TEST(RegionText, CoordinatesWithAndWithoutEnd) {
    struct coord_case {
        const char* coords;
        long long beg, end;
    };
    const coord_case cases[] = {
        {"1000-2000", 1000, 2000}, {"1000", 1000, -7},  {"", 0, -7},
        {"100-", 100, 0},          {"-200", -200, 200}, {"99999999999-5", 99999999999LL, 5},
    };
    for (const auto& c : cases) {
        long long beg = 1, end = 1;
        region_coords(c.coords, -7, &beg, &end);
        EXPECT_EQ(beg, c.beg) << c.coords;
        EXPECT_EQ(end, c.end) << c.coords;
    }
}

}  // namespace
