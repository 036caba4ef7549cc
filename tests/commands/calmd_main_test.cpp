// The calmd command: MD/NM of a generated file against an independent
// computation written here, '=' replacement read back, the options on a
// crafted record, SAM/BAM in and out, standard input, usage and failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <string>
#include <vector>

#include "common/bam_file_util.h"
#include "common/test_util.h"
#include "hardening/corrupt_util.h"

namespace {

using test_util::read_file;
using test_util::run_alnkit;
using test_util::run_result;
using test_util::split;
using test_util::write_file;
using args_t = std::vector<std::string>;

// 0 T, 1 A, 2 C, 3 C, 4 G, 5 G, 6 A, 7 T, 8 C, 9 C, 10-13 aggt, 14-15 NN, 16 A, ... 23 A.
const std::string small_fasta = ">chr1\nTACCGGATCCaggtNN\nACGTTGCA\n", small_header = "@SQ\tSN:chr1\tLN:24\n";
const std::string r1 = "r1\t0\tchr1\t1\t60\t3M1D2M\t*\t0\t0\tTGCGG\tIIIII", r1_tags = "\tNM:i:2\tMD:Z:1A1^C2";

std::vector<std::string> record_lines(const std::string& sam) {
    std::vector<std::string> out;
    for (const std::string& line : split(sam, '\n'))
        if (line[0] != '@') out.push_back(line);
    return out;
}

TEST(Calmd, SamAndBamInputAndOutputAndStandardInput) {
    test_util::scratch_dir dir;
    write_file(dir.file("ref.fa"), small_fasta);
    const std::string ref = dir.file("ref.fa"), in = r1 + "\nr2\t4\t*\t0\t0\t*\t*\t0\t0\tACGT\tIIII\tXA:Z:x\n" +
                                                     "r3\t0\tchr1\t5\t60\t2M2I3M\t*\t0\t0\tGGTTATC\tIIIIIII\tNM:i:5\n" +
                                                     "r4\t4\tchr1\t5\t0\t*\t*\t0\t0\tGGTT\tIIII\n";
    std::string out = in;
    out.replace(out.find("\tNM:i:5"), 7, "\tNM:i:2\tMD:Z:5").insert(r1.size(), r1_tags);
    const std::string bam = test_util::bam_from_sam(dir, "in", small_header + in), sam = dir.file("in.sam");
    const std::string notice = "[samopen] SAM header is present: 1 sequences.\n",
                      nm = "[bam_fillmd1] different NM for read 'r3': 5 -> 2\n";
    // The first run builds the FASTA index.
    for (const auto& [args, input, err] : std::vector<std::tuple<args_t, std::string, std::string>>{
             {{"calmd", bam, ref}, "", "[fai_load] build FASTA index.\n" + nm},
             {{"fillmd", "-S", sam, ref}, "", notice + nm},
             {{"calmd", "-", ref}, read_file(bam), nm},
             {{"calmd", "-S", "-", ref}, read_file(sam), notice + nm}}) {
        run_result r = run_alnkit(args, input);
        EXPECT_EQ(r.status, 0) << args[1];
        EXPECT_EQ(r.err, err) << args[1];
        EXPECT_EQ(r.out, small_header + out) << args[1];
    }
    for (const char* mode : {"-b", "-u"}) {
        write_file(dir.file("out.bam"), run_alnkit({"calmd", mode, bam, ref}).out);
        EXPECT_EQ(test_util::view_header(dir.file("out.bam")) + test_util::view_records(dir.file("out.bam")), small_header + out);
    }
}

TEST(Calmd, OptionsChangeWhatTheyName) {
    test_util::scratch_dir dir;
    write_file(dir.file("ref.fa"), small_fasta);
    const std::string ref = dir.file("ref.fa"), sam = dir.file("in.sam"), head = r1.substr(0, r1.find("TGCGG"));
    write_file(sam, small_header + head + "TGCGG\t#+5?I\tXA:Z:x\tRG:Z:g\n");
    for (const auto& [options, record] : std::vector<std::pair<args_t, std::string>>{
             {{"-h"}, "TGCGG\t#+5?I\tXA:Z:x\tRG:Z:g" + r1_tags},
             {{"-e", "-q"}, "=G===\t#2<FP\tXA:Z:x\tRG:Z:g" + r1_tags},
             {{"-d"}, "TGCGG\t#+5?I\tRG:Z:g"},
             {{"-n", "2"}, "NGNNN\t!+!!!\tXA:Z:x\tRG:Z:g" + r1_tags},
             {{"-n", "3"}, "TGCGG\t#+5?I\tXA:Z:x\tRG:Z:g" + r1_tags},
             {{"-N", "-e"}, "=G===\t#+5?I\tXA:Z:x\tRG:Z:g"},
         }) {
        args_t args = {"calmd", "-S"};
        args.insert(args.end(), options.begin(), options.end());
        args.insert(args.end(), {sam, ref});
        run_result r = run_alnkit(args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, small_header + head + record + "\n") << options[0];
    }
    // BAQ: -r stores offsets in BQ (before the new NM and MD); -A lowers the qualities by them and keeps them in ZQ.
    const args_t stored = split(record_lines(run_alnkit({"calmd", "-S", "-r", sam, ref}).out)[0], '\t');
    const args_t applied = split(record_lines(run_alnkit({"calmd", "-S", "-r", "-A", sam, ref}).out)[0], '\t');
    ASSERT_EQ(stored.size(), 16u);
    ASSERT_EQ(stored[13].substr(0, 5) + stored[14], "BQ:Z:NM:i:2");
    EXPECT_EQ(applied[13], "ZQ:Z:" + stored[13].substr(5));
    for (int i = 0; i < 5; ++i) EXPECT_EQ(applied[10][i], stored[10][i] - (stored[13][5 + i] - 64)) << i;
    // Capping above 10 only: r1's one mismatch has quality 10 and is skipped, so 60 becomes 11; the four
    // mismatches of r2 exceed the threshold, and such an untrusted read gets 0.
    write_file(sam, small_header + head + "TGCGG\t#+5?I\nr2\t0\tchr1\t1\t60\t5M\t*\t0\t0\tAAAAA\tIIIII\n");
    for (const auto& [threshold, mapq] : std::vector<std::pair<std::string, std::string>>{{"11", "11 0"}, {"10", "60 60"}}) {
        const std::vector<std::string> lines = record_lines(run_alnkit({"calmd", "-S", "-N", "-C", threshold, sam, ref}).out);
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(split(lines[0], '\t')[4] + " " + split(lines[1], '\t')[4], mapq);
    }
}

TEST(Calmd, MissingReferencesDamagedInputAndFailures) {
    test_util::scratch_dir dir;
    write_file(dir.file("ref.fa"), small_fasta);
    const std::string ref = dir.file("ref.fa"), two = small_header + "@SQ\tSN:chr2\tLN:24\n";
    const std::string on2 = "x\t0\tchr2\t1\t60\t2M\t*\t0\t0\tAC\tII\tNM:i:9\n";
    const std::string bam = test_util::bam_from_sam(dir, "two", two + on2 + on2 + r1 + "\n" + on2);
    const std::string missing = "[bam_fillmd] fail to find sequence 'chr2' in the reference.\n";
    run_result r = run_alnkit({"calmd", bam, ref});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "[fai_load] build FASTA index.\n" + missing + missing);
    EXPECT_EQ(r.out, two + on2 + on2 + r1 + r1_tags + "\n" + on2);
    // Cut input: the records before the damage are written, then one line names the file.
    std::string data;
    corrupt::read_blocks(read_file(bam), &data);
    const std::string cut = dir.file("cut.bam"), bad = dir.file("bad.sam");
    corrupt::write_bgzf(cut, data.substr(0, corrupt::parse_bam(data).records[3] + 5));
    write_file(bad, small_header + r1 + "\nr2\t0\tchr1\t1\t60\t2Q\t*\t0\t0\tAC\tII\n");
    for (const auto& [args, err, out] : std::vector<std::tuple<args_t, std::string, std::string>>{
             {{"calmd", cut, ref},
              missing + "[bam_fillmd] " + cut + ": damaged or truncated record after 3 records\n",
              two + on2 + on2 + r1 + r1_tags + "\n"},
             {{"calmd", "-S", bad, ref},
              "[samopen] SAM header is present: 1 sequences.\nParse error at line 3: invalid CIGAR operation\n[bam_fillmd] " +
                  bad + ": damaged or truncated record after 1 records\n",
              small_header + r1 + r1_tags + "\n"}}) {
        r = run_alnkit(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, err);
        EXPECT_EQ(r.out, out);
    }
    // Failures before any output: usage, options, no reference, no input, a SAM input without header.
    const std::string usage =
        "\nUsage:   alnkit fillmd [-eubrS] <aln.bam> <ref.fasta>\n\nOptions: -e       change identical bases to '='\n"
        "         -u       uncompressed BAM output (for piping)\n         -b       compressed BAM output\n"
        "         -S       the input is SAM with header\n         -A       modify the quality string\n"
        "         -r       compute the BQ tag (without -A) or cap baseQ by BAQ (with -A)\n"
        "         -E       extended BAQ for better sensitivity but lower specificity\n\n";
    write_file(dir.file("nohead.sam"), r1 + "\n");
    const std::string none = dir.file("none.fa");
    for (const auto& [args, message] : std::vector<std::pair<args_t, std::string>>{
             {{"calmd"}, usage},
             {{"fillmd", "-e", "-h", "in.bam"}, usage},
             {{"calmd", "-z", "in.bam", "ref.fa"}, "[bam_fillmd] unrecognized option '-z'\n"},
             {{"calmd", bam, none}, "[bam_fillmd] fail to open the reference " + none + ".\n"},
             {{"calmd", none, ref}, "[bam_fillmd] fail to open file " + none + ".\n"},
             {{"calmd", "-S", dir.file("nohead.sam"), ref},
              "[samopen] no @SQ lines in the header.\n[bam_fillmd] input SAM does not have header. Abort!\n"},
         }) {
        r = run_alnkit(args);
        EXPECT_EQ(r.status, 1) << args.back();
        EXPECT_EQ(r.out, "");
        // The file layer may say first why it could not open a file.
        EXPECT_TRUE(r.err == message || (r.err.ends_with(message) && corrupt::count_lines(r.err) == 2)) << r.err;
    }
    for (const char* mode : {"-S", "-b"}) {  // a full disk
        r = test_util::run_file_limited({ALNKIT_PATH, "calmd", mode, mode[1] == 'S' ? dir.file("two.sam") : bam, ref}, 1 << 30,
                                        "/dev/full");
        EXPECT_EQ(r.status, 1) << mode;
        EXPECT_TRUE(r.err.ends_with("[bam_fillmd] fail to write to standard output.\n")) << r.err;
    }
}

// 4-bit code of a base letter, either case; 15 for N and anything unknown.
int base_code(char c) {
    const size_t k = std::string("=ACMGRSVTWYHKDBN").find(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    return k == std::string::npos ? 15 : static_cast<int>(k);
}

struct walked_t {
    std::string md, restored;  // MD, and the bases with each '=' replaced by the reference's
    int nm = 0;
};

// Walks a read's SAM fields along its CIGAR text against `ref`.
walked_t walk_read(const std::string& ref, const std::vector<std::string>& f) {
    walked_t w{"", f[9], 0};
    long x = std::stol(f[3]) - 1, y = 0, u = 0, n = 0;
    for (char c : f[5]) {
        if (std::isdigit(static_cast<unsigned char>(c))) {
            n = n * 10 + (c - '0');
            continue;
        }
        for (long j = 0; j < n && (c == 'M' || c == '=' || c == 'X'); ++j, ++x, ++y) {
            const int q = base_code(f[9][y]), t = base_code(ref[x]);
            if (q == 0) w.restored[y] = ref[x];
            if (q == 0 || (q == t && q != 15)) ++u;
            else w.md += std::to_string(u) + ref[x], u = 0, ++w.nm;
        }
        if (c == 'D') w.md += std::to_string(u) + "^" + ref.substr(x, n), u = 0;
        w.nm += c == 'D' || c == 'I' ? n : 0;
        y += c == 'I' || c == 'S' ? n : 0;
        x += c == 'D' || c == 'N' ? n : 0;
        n = 0;
    }
    w.md += std::to_string(u);
    return w;
}

// Sets tag NM or MD of the fields `f` to `want` as calmd does, adding its message to `err`.
void update_tag(std::vector<std::string>* f, const std::string& tag, const std::string& want, std::string* err) {
    const bool is_nm = tag == "NM";
    const std::string quote = is_nm ? "" : "'";
    auto lower = [](std::string s) {
        for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return s;
    };
    for (size_t k = 11; k < f->size(); ++k) {
        if ((*f)[k].compare(0, 3, tag + ":") != 0) continue;
        const std::string old = (*f)[k].substr(5);
        if (is_nm ? std::stol(old) == std::stol(want) : lower(old) == lower(want)) return;
        *err += "[bam_fillmd1] different " + tag + " for read '" + (*f)[0] + "': " + quote + old + quote + " -> " + quote + want +
                quote + "\n";
        f->erase(f->begin() + static_cast<long>(k));
        break;
    }
    f->push_back(tag + (is_nm ? ":i:" : ":Z:") + want);
}

TEST(Calmd, GeneratedRecordsMatchAnIndependentMdNmAndEqualBasesReadBack) {
    test_util::scratch_dir dir;
    const std::string fa = dir.file("ref.fa");
    const std::string bam = test_util::make_bam(dir, "sim", 21, 100000, {"--refs", "2", "--ref-len", "300000", "--fasta", fa});
    std::map<std::string, std::string> refs;
    std::string* cur = nullptr;
    for (const std::string& line : split(read_file(fa), '\n'))
        if (line[0] == '>') cur = &refs[line.substr(1)];
        else *cur += line;
    const std::vector<std::string> in = record_lines(test_util::view_records(bam));
    run_result plain = run_alnkit({"calmd", bam, fa}), equal = run_alnkit({"calmd", "-e", "-N", bam, fa});
    const std::vector<std::string> out = record_lines(plain.out), eq = record_lines(equal.out);
    ASSERT_GT(in.size(), 100000u);
    ASSERT_EQ(out.size(), in.size());
    ASSERT_EQ(eq.size(), in.size());
    std::string err;
    size_t n_wrong = 0, n_changed = 0, n_replaced = 0;
    for (size_t i = 0; i < in.size(); ++i) {
        std::vector<std::string> f = split(in[i], '\t'), e = split(eq[i], '\t');
        const auto ref = refs.find(f[2]);
        if (ref != refs.end() && !(std::stoi(f[1]) & 4) && f[9] != "*") {
            const walked_t w = walk_read(ref->second, f);
            // '=' bases read back as the bases before; nothing else changes.
            n_replaced += std::count(e[9].begin(), e[9].end(), '=');
            if (walk_read(ref->second, e).restored != w.restored) ++n_wrong;
            e[9] = f[9];
            update_tag(&f, "NM", std::to_string(w.nm), &err);
            update_tag(&f, "MD", w.md, &err);
        }
        std::string want;
        for (const std::string& x : f) want += (want.empty() ? "" : "\t") + x;
        n_changed += want != in[i];
        if ((out[i] != want || e != split(in[i], '\t')) && n_wrong++ < 5)
            ADD_FAILURE() << "record " << i << "\n got:  " << out[i] << "\n want: " << want << "\n with -e: " << eq[i];
    }
    EXPECT_EQ(n_wrong, 0u);
    EXPECT_GT(n_changed, in.size() / 10);  // many records lack a tag, so the check has teeth
    EXPECT_GT(n_replaced, in.size() * 50);
    EXPECT_TRUE(plain.status == 0 && equal.status == 0 && plain.err == "[fai_load] build FASTA index.\n" + err)
        << plain.err.substr(0, 2000);
}

}  // namespace
