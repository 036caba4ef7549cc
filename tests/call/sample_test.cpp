// Sample registry: the samples a set of headers yields, in order, and the
// sample of each file and read group.  Header texts sit in buffers of their
// exact size, so a read past the end shows under the sanitizers.
#include "call/sample.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace {

struct file_input {
    const char* fn;
    const char* txt;  // null: read groups ignored
};
struct lookup {
    const char* fn;
    const char* rg;  // null: the file's default sample
    int id;
};
struct registry_case {
    const char* what;
    std::vector<file_input> files;
    std::vector<std::string> samples;
    std::vector<lookup> lookups;
};

const char* const two = "@HD\tVN:1.0\n@RG\tID:r1\tSM:A\n@RG\tID:r2\tSM:B\n";

TEST(SampleRegistry, SamplesAndLookupsPerHeaderSet) {
    const std::vector<registry_case> cases = {
        {"no @RG: the file name as given",
         {{"dir/a.bam", "@SQ\tSN:c\tLN:9\n"}},
         {"dir/a.bam"},
         {{"dir/a.bam", nullptr, 0}, {"dir/a.bam", "r1", -1}, {"a.bam", nullptr, -1}}},
        {"read groups ignored", {{"x.bam", two}, {"y.bam", nullptr}}, {"A", "B", "y.bam"}, {{"y.bam", nullptr, 2}}},
        {"shared SM across files",
         {{"a.bam", "@RG\tID:r1\tSM:S\n"}, {"b.bam", "@RG\tID:r2\tSM:S\n"}},
         {"S"},
         {{"a.bam", "r1", 0}, {"b.bam", "r2", 0}, {"b.bam", nullptr, 0}, {"a.bam", "r2", -1}}},
        {"two read groups: no default",
         {{"a.bam", two}},
         {"A", "B"},
         {{"a.bam", "r1", 0}, {"a.bam", "r2", 1}, {"a.bam", nullptr, -1}}},
        {"one read group is the default", {{"a.bam", "@RG\tID:r1\tSM:A\tPL:X\n@PG\tID:p\n"}}, {"A"}, {{"a.bam", nullptr, 0}}},
        {"no SM after the @RG", {{"a.bam", "@RG\tID:r1\tLB:x\n"}}, {"a.bam"}, {{"a.bam", "r1", -1}, {"a.bam", nullptr, 0}}},
        {"no SM borrowed from a later line",
         {{"a.bam", "@RG\tID:r1\n@RG\tID:r2\tSM:B\n"}},
         {"B"},
         {{"a.bam", "r1", -1}, {"a.bam", "r2", 0}, {"a.bam", nullptr, 0}}},
        {"no ID borrowed from a later line", {{"a.bam", "@RG\tSM:A\n@RG\tID:r2\tSM:B\n"}}, {"B"}, {{"a.bam", "r2", 0}}},
        {"the same file twice", {{"a.bam", two}, {"a.bam", two}, {"b.bam", ""}, {"b.bam", ""}}, {"A", "B", "b.bam"}, {}},
        {"values end at TAB", {{"a.bam", "@RG\tID:r1\tSM:A\tLB:l\n"}}, {"A"}, {{"a.bam", "r1", 0}}},
        {"SM ends the text", {{"a.bam", "@RG\tID:r1\tSM:Sample 1"}}, {"Sample 1"}, {{"a.bam", "r1", 0}}},
        {"ID ends the text", {{"a.bam", "@RG\tSM:A\tID:r1"}}, {"A"}, {{"a.bam", "r1", 0}}},
        {"ID ends at a newline", {{"a.bam", "@RG\tSM:A\tID:r1\n@CO\tx\n"}}, {"A"}, {{"a.bam", "r1", 0}}},
        {"@RG cut short", {{"a.bam", "@HD\tVN:1.0\n@RG"}}, {"a.bam"}, {{"a.bam", nullptr, 0}}},
        {"first registration of a key wins",
         {{"a.bam", "@RG\tID:r\tSM:A\n@RG\tID:r\tSM:B\n"}},
         {"A"},
         {{"a.bam", "r", 0}, {"a.bam", nullptr, -1}}},
        {"ids follow first appearance",
         {{"1.bam", "@RG\tID:x\tSM:B\n"}, {"2.bam", "@RG\tID:y\tSM:A\n@RG\tID:z\tSM:B\n"}},
         {"B", "A"},
         {{"2.bam", "z", 0}, {"2.bam", "y", 1}, {"1.bam", nullptr, 0}}},
    };
    for (const registry_case& c : cases) {
        SCOPED_TRACE(c.what);
        bam_sample_t* sm = bam_smpl_init();
        ASSERT_NE(sm, nullptr);
        for (const file_input& f : c.files) {
            const std::string_view t = f.txt ? f.txt : "";
            std::vector<char> txt(t.begin(), t.end());
            txt.push_back('\0');
            EXPECT_EQ(bam_smpl_add(sm, f.fn, f.txt ? txt.data() : nullptr), 0);
        }
        EXPECT_EQ(std::vector<std::string>(sm->smpl, sm->smpl + sm->n), c.samples);
        kstring_owner key;
        for (const lookup& l : c.lookups)
            EXPECT_EQ(bam_smpl_rg2smid(sm, l.fn, l.rg, key.get()), l.id) << l.fn << " / " << (l.rg ? l.rg : "(none)");
        bam_smpl_destroy(sm);
    }
    kstring_owner key;
    EXPECT_EQ(bam_smpl_rg2smid(nullptr, "a.bam", nullptr, key.get()), -1);
}

}  // namespace
