// Reading BCF back in tests: the BGZF stream inflated, the header and the
// records decoded field by field, independently of the writer.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
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
    std::string ref, alt, info, fmt;
    std::vector<std::vector<int>> pl;  // per sample
    std::vector<int> dp, sp;           // per sample, when in FORMAT
};

struct bcf_file {
    std::vector<std::string> refs, samples;
    std::string text;
    std::vector<bcf_record> records;
};

// Decodes uncompressed BCF; throws when the bytes end inside a field.
inline bcf_file decode_bcf(const std::string& d) {
    bcf_file f;
    size_t at = 0;
    auto take = [&](size_t n) {
        if (at + n > d.size()) throw std::runtime_error("BCF cut short");
        at += n;
        return d.substr(at - n, n);
    };
    auto i32 = [&] {
        int32_t v;
        std::memcpy(&v, take(4).data(), 4);
        return v;
    };
    EXPECT_EQ(take(4), std::string("BCF\4"));
    f.refs = split(take(static_cast<size_t>(i32())), '\0');
    f.samples = split(take(static_cast<size_t>(i32())), '\0');
    f.text = take(static_cast<size_t>(i32()));
    while (at < d.size()) {
        bcf_record r;
        r.tid = i32();
        r.pos = i32();
        i32();  // QUAL
        std::vector<std::string> s = split(take(static_cast<size_t>(i32())), '\0');
        EXPECT_EQ(s.size(), 6U);
        s.resize(6);
        r.ref = s[1], r.alt = s[2], r.info = s[4], r.fmt = s[5];
        const size_t n_alleles = 1 + split(r.alt, ',').size();
        for (const std::string& key : split(r.fmt, ':')) {
            const size_t w = key == "PL" ? n_alleles * (n_alleles + 1) / 2 : key == "DP" ? 2 : 4;
            const std::string data = take(w * f.samples.size());
            for (size_t i = 0; i < f.samples.size(); ++i) {
                const auto* p = reinterpret_cast<const uint8_t*>(data.data() + i * w);
                int32_t v = 0;
                std::memcpy(&v, p, key == "SP" ? 4 : 0);
                if (key == "PL") r.pl.emplace_back(p, p + w);
                else if (key == "DP") r.dp.push_back(p[0] | p[1] << 8);
                else r.sp.push_back(v);
            }
        }
        f.records.push_back(std::move(r));
    }
    return f;
}

// Decodes BCF bytes as written (BGZF-compressed), through a scratch file.
inline bcf_file decode_bcf_output(const scratch_dir& dir, const std::string& bytes) {
    write_file(dir.file("decode.bcf"), bytes);
    return decode_bcf(inflate_file(dir.file("decode.bcf")));
}

}  // namespace test_util
