// Reading BCF back in tests: the BGZF stream inflated, the header and the
// records decoded field by field, independently of the writer.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/test_util.h"
#include "io/bgzf.h"

namespace test_util {

// The uncompressed content of a BGZF file.
inline std::string inflate_file(const std::string& path) {
    BGZF* fp = bgzf_open(path.c_str(), "r");
    std::string out;
    char buf[4096];
    for (int n; fp && (n = bgzf_read(fp, buf, sizeof buf)) > 0;) out.append(buf, n);
    if (fp) bgzf_close(fp);
    return out;
}

struct bcf_record {
    int32_t tid = 0, pos = 0;
    float qual = 0;
    std::string ref, alt, info, fmt;
    int n_alleles = 0;
    std::vector<std::vector<int>> pl;  // per sample
    std::vector<int> dp, sp;           // per sample, when in FORMAT
};

struct bcf_file {
    std::vector<std::string> refs, samples;
    std::string text;
    std::vector<bcf_record> records;
};

// Decodes an uncompressed BCF byte string; a failed expectation marks
// anything malformed.
inline bcf_file decode_bcf(const std::string& d) {
    bcf_file f;
    size_t at = 0;
    auto take = [&](size_t n) {
        if (at + n > d.size()) throw std::runtime_error("BCF cut short");
        std::string s = d.substr(at, n);
        at += n;
        return s;
    };
    auto i32 = [&] {
        std::string s = take(4);
        int32_t v;
        std::memcpy(&v, s.data(), 4);
        return v;
    };
    auto names = [&](std::vector<std::string>* out) {
        std::string block = take(static_cast<size_t>(i32()));
        if (!block.empty()) *out = split(block, '\0');
    };
    EXPECT_EQ(take(4), std::string("BCF\4"));
    names(&f.refs);
    names(&f.samples);
    f.text = take(static_cast<size_t>(i32()));
    const size_t n_smpl = f.samples.size();
    while (at < d.size()) {
        bcf_record r;
        r.tid = i32();
        r.pos = i32();
        int32_t q = i32();
        std::memcpy(&r.qual, &q, 4);
        std::vector<std::string> s = split(take(static_cast<size_t>(i32())), '\0');
        EXPECT_EQ(s.size(), 6U);
        s.resize(6);
        r.ref = s[1], r.alt = s[2], r.info = s[4], r.fmt = s[5];
        r.n_alleles = 1 + (r.alt.empty() ? 0 : static_cast<int>(split(r.alt, ',').size()));
        for (const std::string& key : split(r.fmt, ':')) {
            const size_t w = key == "PL" ? static_cast<size_t>(r.n_alleles * (r.n_alleles + 1) / 2) : key == "DP" ? 2 : 4;
            std::string data = take(w * n_smpl);
            for (size_t i = 0; i < n_smpl; ++i) {
                const auto* p = reinterpret_cast<const uint8_t*>(data.data() + i * w);
                if (key == "PL") {
                    r.pl.emplace_back(p, p + w);
                } else if (key == "DP") {
                    r.dp.push_back(p[0] | p[1] << 8);
                } else {
                    int32_t v;
                    std::memcpy(&v, p, 4);
                    r.sp.push_back(v);
                }
            }
        }
        f.records.push_back(std::move(r));
    }
    return f;
}

// Decodes BCF bytes as written (BGZF-compressed), through a scratch file.
inline bcf_file decode_bcf_output(const scratch_dir& dir, const std::string& bytes) {
    const std::string path = dir.file("decode.bcf");
    write_file(path, bytes);
    return decode_bcf(inflate_file(path));
}

}  // namespace test_util
