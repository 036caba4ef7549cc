// The data generator: same arguments give the same bytes, sorted output is in
// coordinate order and holds the same records, every SEQ agrees with its CIGAR
// and lies inside its reference, and every optional-field type occurs. The SAM
// text is read here directly, independently of the library's reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "common/test_util.h"

namespace {

using fields_t = std::vector<std::string>;
using test_util::split;

struct sam_t {
    std::vector<std::string> header;
    std::vector<fields_t> records;
    std::map<std::string, long> ref_len;
    std::vector<std::string> ref_names;  // in header order
};

sam_t parse(const std::string& text) {
    sam_t sam;
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    for (const auto& line : split(text, '\n')) {
        if (line.empty() || line[0] == '@') {
            sam.header.push_back(line);
            if (line.rfind("@SQ\t", 0) == 0) {
                const auto f = split(line, '\t');
                sam.ref_names.push_back(f.at(1).substr(3));
                sam.ref_len[sam.ref_names.back()] = std::stol(f.at(2).substr(3));
            }
            continue;
        }
        sam.records.push_back(split(line, '\t'));
        EXPECT_GE(sam.records.back().size(), 11u) << line;
        EXPECT_NE(line.back(), '\t') << line;
    }
    return sam;
}

std::string generate(const std::vector<std::string>& args, const std::string& path) {
    std::vector<std::string> argv{ALNSIM_PATH, "--sam", path};
    argv.insert(argv.end(), args.begin(), args.end());
    const auto r = test_util::run(argv);
    EXPECT_EQ(r.status, 0) << r.err;
    return test_util::read_file(path);
}

const std::vector<std::string> k_small{"--records", "3000", "--refs", "4", "--ref-len", "20000"};

TEST(alnsim, same_arguments_give_same_bytes_and_seeds_differ) {
    test_util::scratch_dir dir;
    auto args = k_small;
    args.insert(args.end(), {"--fasta", dir.file("a.fa")});
    const std::string a = generate(args, dir.file("a.sam"));
    args.back() = dir.file("b.fa");
    const std::string b = generate(args, dir.file("b.sam"));
    EXPECT_EQ(a, b);
    EXPECT_EQ(test_util::read_file(dir.file("a.fa")), test_util::read_file(dir.file("b.fa")));
    args.insert(args.end(), {"--seed", "2"});
    EXPECT_NE(a, generate(args, dir.file("c.sam")));
    const size_t n = parse(a).records.size();
    EXPECT_TRUE(n >= 3000 && n <= 3004) << n;
}

TEST(alnsim, sorted_output_is_in_coordinate_order_with_the_same_records) {
    test_util::scratch_dir dir;
    const sam_t plain = parse(generate(k_small, dir.file("u.sam")));
    auto args = k_small;
    args.push_back("--sorted");
    const sam_t sorted = parse(generate(args, dir.file("s.sam")));
    EXPECT_EQ(plain.header.at(0), "@HD\tVN:1.0\tSO:unsorted");
    EXPECT_EQ(sorted.header.at(0), "@HD\tVN:1.0\tSO:coordinate");

    const auto& names = sorted.ref_names;
    std::tuple<long, long, bool> prev{-1, -1, false};
    for (const auto& f : sorted.records) {
        const auto it = std::find(names.begin(), names.end(), f[2]);
        const long tid = f[2] == "*" ? 1L << 40 : static_cast<long>(it - names.begin());
        ASSERT_TRUE(f[2] == "*" || it != names.end()) << f[2];
        const bool reverse = (std::stol(f[1]) & 16) != 0;
        const std::tuple<long, long, bool> key{tid, std::stol(f[3]), reverse};
        ASSERT_LE(prev, key) << f[0];  // forward before reverse at one position
        prev = key;
    }
    EXPECT_EQ(std::get<0>(prev), 1L << 40) << "unplaced records are expected at the end";
    EXPECT_EQ(std::multiset<fields_t>(plain.records.begin(), plain.records.end()),
              std::multiset<fields_t>(sorted.records.begin(), sorted.records.end()));
    EXPECT_NE(plain.records, sorted.records);
}

TEST(alnsim, sequences_agree_with_cigar_and_lie_inside_the_reference) {
    test_util::scratch_dir dir;
    const sam_t sam = parse(generate(k_small, dir.file("u.sam")));
    std::set<char> ops;
    for (const auto& f : sam.records) {
        const int flag = std::stoi(f[1]);
        if (f[5] == "*") {
            EXPECT_TRUE(flag & 4) << f[0];
            continue;
        }
        EXPECT_FALSE(flag & 4) << f[0];
        long qlen = 0, span = 0, num = 0;
        for (const char c : f[5]) {
            if (c >= '0' && c <= '9') {
                num = num * 10 + (c - '0');
                continue;
            }
            ASSERT_NE(std::string("MIDNSH=X").find(c), std::string::npos) << f[5];
            ASSERT_GT(num, 0) << f[5];
            if (std::string("MIS=X").find(c) != std::string::npos) qlen += num;
            if (std::string("MDN=X").find(c) != std::string::npos) span += num;
            ops.insert(c);
            num = 0;
        }
        EXPECT_TRUE(f[9] == "*" || static_cast<long>(f[9].size()) == qlen) << f[0];
        EXPECT_TRUE(f[9] == "*" || f[10] == "*" || f[10].size() == f[9].size()) << f[0];
        EXPECT_GE(std::stol(f[3]), 1) << f[0];
        EXPECT_LE(std::stol(f[3]) - 1 + span, sam.ref_len.at(f[2])) << f[0];
    }
    EXPECT_EQ(ops.size(), 8u) << "every CIGAR operation but P is expected";
}

TEST(alnsim, every_optional_field_type_occurs) {
    test_util::scratch_dir dir;
    const sam_t sam = parse(generate(k_small, dir.file("u.sam")));
    std::set<std::string> types;
    size_t without = 0;
    for (const auto& f : sam.records) {
        if (f.size() == 11) ++without;
        for (size_t k = 11; k < f.size(); ++k) {
            ASSERT_TRUE(f[k].size() >= 6 && f[k][2] == ':' && f[k][4] == ':') << f[k];
            types.insert(f[k].substr(3, 1));
            if (f[k][3] == 'B') types.insert(f[k].substr(3, 1) + f[k].substr(5, 1));
        }
    }
    const std::set<std::string> expected{"A", "i", "f", "d", "Z", "H", "B", "Bc", "BC", "Bs", "BS", "Bi", "BI", "Bf"};
    EXPECT_EQ(types, expected);
    EXPECT_GT(without, 0u);
}

TEST(alnsim, bad_arguments_print_the_usage_and_fail) {
    for (const std::vector<std::string>& bad : {std::vector<std::string>{"--records"}, {"--refs", "0"}, {"--bogus"}}) {
        std::vector<std::string> argv{ALNSIM_PATH};
        argv.insert(argv.end(), bad.begin(), bad.end());
        const auto r = test_util::run(argv);
        EXPECT_EQ(r.status, 1) << bad.at(0);
        EXPECT_NE(r.err.find("Usage: alnsim"), std::string::npos) << bad.at(0);
        EXPECT_TRUE(r.out.empty());
    }
}

}  // namespace
