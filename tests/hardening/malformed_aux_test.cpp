// A record whose optional fields cannot be read to their end (an unknown
// type byte, a field cut short) must not turn into a SAM line that silently
// lacks its remaining fields: view reports it and exits non-zero, while the
// other records are written and BAM output copies the record unchanged.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "bam/bam.h"
#include "bam/bam_codec.h"
#include "bam/bam_import.h"
#include "bam/sam_format.h"
#include "common/bam_file_util.h"
#include "common/record_util.h"
#include "common/test_util.h"
#include "io/bgzf.h"

namespace {

using test_util::run_alnkit;
using test_util::run_result;
using test_util::scratch_dir;

const std::string sam_text =
    "@SQ\tSN:chr1\tLN:1000\n"
    "good1\t0\tchr1\t10\t30\t4M\t*\t0\t0\tACGT\tIIII\tNM:i:1\n"
    "bad\t0\tchr1\t20\t30\t4M\t*\t0\t0\tACGT\tIIII\tXA:i:7\tXB:Z:kept\n"
    "good2\t0\tchr1\t30\t30\t4M\t*\t0\t0\tACGT\tIIII\tNM:i:2\n";

// Rewrites dir/in.bam with the type byte of the "bad" record's first field
// replaced by `type`.
std::string damaged_bam(const scratch_dir& dir, char type) {
    std::string in = test_util::bam_from_sam(dir, "in", sam_text);
    BGZF* fp = bgzf_open(in.c_str(), "r");
    bam_header_ptr h(bam_header_read(fp));
    std::string out = dir.file(std::string("damaged-") + type + ".bam");
    BGZF* w = bgzf_open(out.c_str(), "w");
    EXPECT_EQ(bam_header_write(w, h.get()), 0);
    bam1_ptr b = bam1_make();
    while (bam_read1(fp, b.get()) >= 0) {
        if (std::strcmp(rec_qname(b.get()), "bad") == 0) rec_aux(b.get())[2] = static_cast<uint8_t>(type);
        EXPECT_GT(bam_write1(w, b.get()), 0);
    }
    bgzf_close(fp);
    EXPECT_EQ(bgzf_close(w), 0);
    return out;
}

std::string inflate_file(const std::string& path) {
    BGZF* fp = bgzf_open(path.c_str(), "r");
    EXPECT_NE(fp, nullptr);
    if (!fp) return "";
    std::string data;
    char buf[4096];
    for (int n; (n = bgzf_read(fp, buf, sizeof buf)) > 0;) data.append(buf, static_cast<size_t>(n));
    bgzf_close(fp);
    return data;
}

TEST(MalformedAux, FormattingFailsInsteadOfDroppingFields) {
    bam_header_ptr h(bam_header_init());
    bam1_ptr b = bam1_make();
    b->core.tid = -1;
    b->core.pos = -1;
    b->core.mtid = -1;
    b->core.mpos = -1;
    b->core.l_qname = 2;
    ASSERT_EQ(bam_grow_data(b.get(), 2), 0);
    std::memcpy(b->data, "r", 2);
    b->data_len = 2;
    test_util::append_aux_string(b.get(), "XA", 'Z', "abc");
    char* line = bam_format1_core(h.get(), b.get(), 0);
    ASSERT_NE(line, nullptr);
    EXPECT_NE(std::strstr(line, "\tXA:Z:abc"), nullptr);
    std::free(line);
    rec_aux(b.get())[2] = 'Q';  // unknown type
    EXPECT_EQ(bam_format1_core(h.get(), b.get(), 0), nullptr);
    rec_aux(b.get())[2] = 'i';  // four bytes wanted, "abc\0" has four: fine
    line = bam_format1_core(h.get(), b.get(), 0);
    EXPECT_NE(line, nullptr);
    std::free(line);
    rec_aux(b.get())[2] = 'd';  // eight bytes wanted, four left
    EXPECT_EQ(bam_format1_core(h.get(), b.get(), 0), nullptr);
}

TEST(MalformedAux, ViewReportsTheRecordAndKeepsTheOthers) {
    scratch_dir dir;
    const std::string bam = damaged_bam(dir, 'Q');
    run_result r = run_alnkit({"view", bam});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "[main_samview] " + bam + ": 1 records with malformed optional fields were not written (the first is bad).\n");
    EXPECT_EQ(r.out,
              "good1\t0\tchr1\t10\t30\t4M\t*\t0\t0\tACGT\tIIII\tNM:i:1\n"
              "good2\t0\tchr1\t30\t30\t4M\t*\t0\t0\tACGT\tIIII\tNM:i:2\n");
    // BAM output copies the record as it is, nothing is lost.
    r = run_alnkit({"view", "-b", "-o", dir.file("copy.bam"), bam});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(inflate_file(dir.file("copy.bam")), inflate_file(bam));
}

}  // namespace
