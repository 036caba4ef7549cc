// A FASTA file served over HTTP and FTP: its index is downloaded into the
// working directory and fetches give the same bases as the local file.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "common/test_server.h"
#include "common/test_util.h"
#include "io/faidx.h"
#include "io/knetfile.h"

namespace {

using test_util::read_file;
using test_util::run;
using test_util::scoped_value;
using test_util::scratch_dir;
using test_util::test_server;

std::string fetch(faidx_t* fai, const char* region) {
    int len = 0;
    char* s = fai_fetch(fai, region, &len);
    std::string out = s ? std::string(s, static_cast<size_t>(len)) : "<null>";
    std::free(s);
    return out;
}

TEST(FaiRemote, DownloadsTheIndexAndFetchesOverHttpAndFtp) {
    scratch_dir served, work;
    const std::string fa = served.file("ref.fa");
    ASSERT_EQ(run({ALNSIM_PATH, "--seed", "3", "--refs", "3", "--ref-len", "30000", "--records", "0", "--fasta", fa}).status, 0);
    ASSERT_EQ(fai_build(fa.c_str()), 0);
    faidx_t* local = fai_load(fa.c_str());
    ASSERT_NE(local, nullptr);
    const char* regions[] = {"chr1:1-100", "chr2:20,001-20,333", "chr3:29000-40000", "chr1"};

    test_server http({"http", served.path()}, work.file("http.err"));
    test_server ftp({"ftp", served.path()}, work.file("ftp.err"));
    ASSERT_GT(http.port(), 0);
    ASSERT_GT(ftp.port(), 0);
    const std::filesystem::path old_cwd = std::filesystem::current_path();
    std::filesystem::current_path(work.path());
    std::string port = std::to_string(ftp.port());
    scoped_value<const char*> redirect(knet_ftp_port, port.c_str());
    for (const std::string& url : {http.url("http", "/ref.fa"), std::string("ftp://127.0.0.1/ref.fa")}) {
        SCOPED_TRACE(url);
        std::filesystem::remove("ref.fa.fai");
        faidx_t* remote = fai_load(url.c_str());
        ASSERT_NE(remote, nullptr);
        EXPECT_EQ(read_file("ref.fa.fai"), read_file(fa + ".fai"));  // the downloaded copy
        for (const char* region : regions) EXPECT_EQ(fetch(remote, region), fetch(local, region)) << region;
        fai_destroy(remote);
    }
    std::filesystem::current_path(old_cwd);
    fai_destroy(local);
}

}  // namespace
