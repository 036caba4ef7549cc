// A BAM file read over HTTP and FTP from loopback servers gives the same
// header and records as the local file.
#include <gtest/gtest.h>

#include <string>

#include "bam/sam.h"
#include "bam/sam_format.h"
#include "common/test_server.h"
#include "common/test_util.h"
#include "io/knetfile.h"

namespace {

using test_util::run;
using test_util::scoped_value;
using test_util::scratch_dir;
using test_util::test_server;

// Header text and every record as SAM text, read through `samopen`.
std::string dump(const std::string& fn, size_t* n) {
    samfile_ptr in(samopen(fn.c_str(), "rb", nullptr));
    if (!in || !in->header) return "<cannot open " + fn + ">";
    std::string text(in->header->text, in->header->l_text);
    bam1_ptr b = bam1_make();
    kstring_t s{0, 0, nullptr};
    int r;
    *n = 0;
    while ((r = samread(in.get(), b.get())) >= 0) {
        s.l = 0;
        bam_format1_append(&s, in->header, b.get(), 0);
        text.append(s.s, s.l).append("\n");
        ++*n;
    }
    ks_free(&s);
    if (r != -1) text += "<read error " + std::to_string(r) + ">";
    return text;
}

TEST(BamRemote, HttpAndFtpGiveTheLocalRecords) {
    scratch_dir dir;
    const std::string sam = dir.file("in.sam"), bam = dir.file("reads.bam");
    ASSERT_EQ(run({ALNSIM_PATH, "--seed", "31", "--records", "20000", "--sam", sam}).status, 0);
    {
        samfile_ptr in(samopen(sam.c_str(), "r", nullptr));
        samfile_ptr out(samopen(bam.c_str(), "wb", in->header));
        bam1_ptr b = bam1_make();
        while (samread(in.get(), b.get()) >= 0) samwrite(out.get(), b.get());
    }
    size_t n_local = 0;
    const std::string local = dump(bam, &n_local);
    ASSERT_GT(n_local, 19000u);

    test_server http({"http", dir.path()}, dir.file("http.err"));
    ASSERT_GT(http.port(), 0);
    size_t n_http = 0;
    testing::internal::CaptureStderr();
    const std::string over_http = dump(http.url("http", "/reads.bam"), &n_http);
    // The end-of-file check cannot seek from the end over HTTP; only the
    // remote layer says so, the BAM reader stays silent.
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[knet_seek] SEEK_END is not supported for HTTP. Offset is unchanged.\n");
    EXPECT_EQ(n_http, n_local);
    EXPECT_TRUE(over_http == local);

    test_server ftp({"ftp", dir.path()}, dir.file("ftp.err"));
    ASSERT_GT(ftp.port(), 0);
    std::string port = std::to_string(ftp.port());
    scoped_value<const char*> redirect(knet_ftp_port, port.c_str());
    size_t n_ftp = 0;
    const std::string over_ftp = dump("ftp://127.0.0.1/reads.bam", &n_ftp);
    EXPECT_EQ(n_ftp, n_local);
    EXPECT_TRUE(over_ftp == local);
}

}  // namespace
