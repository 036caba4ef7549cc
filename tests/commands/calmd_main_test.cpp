// The calmd command: MD/NM of a generated file against an independent
// computation written here, '=' replacement read back, every option on a
// crafted record, SAM/BAM in and out, standard input, usage and failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
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
using test_util::scratch_dir;
using test_util::write_file;
using args_t = std::vector<std::string>;

// 0 T, 1 A, 2 C, 3 C, 4 G, 5 G, 6 A, 7 T, 8 C, 9 C, 10-13 aggt, 14-15 NN, 16 A, ... 23 A.
const std::string small_ref = "TACCGGATCCaggtNNACGTTGCA";
const std::string small_header = "@SQ\tSN:chr1\tLN:24\n";

// A FASTA of `seqs` (name, bases) with its index built; returns the path.
std::string make_fasta(const scratch_dir& dir, const std::vector<std::pair<std::string, std::string>>& seqs) {
    std::string text;
    for (const auto& [name, bases] : seqs) {
        text += ">" + name + "\n";
        for (size_t at = 0; at < bases.size(); at += 10) text += bases.substr(at, 10) + "\n";
    }
    const std::string path = dir.file("ref.fa");
    write_file(path, text);
    EXPECT_EQ(run_alnkit({"faidx", path}).status, 0);
    return path;
}

std::vector<std::string> record_lines(const std::string& sam) {
    std::vector<std::string> out;
    for (const std::string& line : test_util::split(sam, '\n'))
        if (!line.empty() && line[0] != '@') out.push_back(line);
    return out;
}

const std::string usage_text =
    "\nUsage:   alnkit fillmd [-eubrS] <aln.bam> <ref.fasta>\n\n"
    "Options: -e       change identical bases to '='\n"
    "         -u       uncompressed BAM output (for piping)\n"
    "         -b       compressed BAM output\n"
    "         -S       the input is SAM with header\n"
    "         -A       modify the quality string\n"
    "         -r       compute the BQ tag (without -A) or cap baseQ by BAQ (with -A)\n"
    "         -E       extended BAQ for better sensitivity but lower specificity\n\n";

const std::string crafted_in =
    "r1\t0\tchr1\t1\t60\t3M1D2M\t*\t0\t0\tTGCGG\tIIIII\n"
    "r2\t4\t*\t0\t0\t*\t*\t0\t0\tACGT\tIIII\tXA:Z:x\n"
    "r3\t0\tchr1\t5\t60\t2M2I3M\t*\t0\t0\tGGTTATC\tIIIIIII\tNM:i:5\n"
    "r4\t4\tchr1\t5\t0\t*\t*\t0\t0\tGGTT\tIIII\n";
const std::string crafted_out =
    "r1\t0\tchr1\t1\t60\t3M1D2M\t*\t0\t0\tTGCGG\tIIIII\tNM:i:2\tMD:Z:1A1^C2\n"
    "r2\t4\t*\t0\t0\t*\t*\t0\t0\tACGT\tIIII\tXA:Z:x\n"
    "r3\t0\tchr1\t5\t60\t2M2I3M\t*\t0\t0\tGGTTATC\tIIIIIII\tNM:i:2\tMD:Z:5\n"
    "r4\t4\tchr1\t5\t0\t*\t*\t0\t0\tGGTT\tIIII\n";
const std::string crafted_err = "[bam_fillmd1] different NM for read 'r3': 5 -> 2\n";

TEST(Calmd, SamAndBamInputAndOutputAndStandardInput) {
    scratch_dir dir;
    const std::string ref = make_fasta(dir, {{"chr1", small_ref}});
    const std::string bam = test_util::bam_from_sam(dir, "in", small_header + crafted_in);
    const std::string sam = dir.file("in.sam");
    const std::string sam_notice = "[samopen] SAM header is present: 1 sequences.\n";
    struct io_case {
        args_t args;
        std::string input;
        std::string err;
    };
    for (const io_case& c : std::vector<io_case>{{{"calmd", bam, ref}, "", crafted_err},
                                                 {{"fillmd", "-S", sam, ref}, "", sam_notice + crafted_err},
                                                 {{"calmd", "-", ref}, read_file(bam), crafted_err},
                                                 {{"calmd", "-S", "-", ref}, read_file(sam), sam_notice + crafted_err}}) {
        run_result r = run_alnkit(c.args, c.input);
        EXPECT_EQ(r.status, 0) << c.args[1];
        EXPECT_EQ(r.err, c.err) << c.args[1];
        EXPECT_EQ(r.out, small_header + crafted_out) << c.args[1];
    }
    // BAM output, compressed and not: the same header and records.
    for (const char* mode : {"-b", "-u"}) {
        run_result r = run_alnkit({"calmd", mode, bam, ref});
        write_file(dir.file("out.bam"), r.out);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(test_util::view_header(dir.file("out.bam")) + test_util::view_records(dir.file("out.bam")),
                  small_header + crafted_out);
    }
}

TEST(Calmd, EachOptionChangesWhatItNames) {
    scratch_dir dir;
    const std::string ref = make_fasta(dir, {{"chr1", small_ref}});
    const std::string sam = dir.file("in.sam");
    const std::string head = "r1\t0\tchr1\t1\t60\t3M1D2M\t*\t0\t0\t";
    write_file(sam, small_header + head + "TGCGG\t#+5?I\tXA:Z:x\tRG:Z:g\n");
    struct option_case {
        args_t options;
        std::string record;  // the record after the header
    };
    for (const option_case& c : std::vector<option_case>{
             {{}, "TGCGG\t#+5?I\tXA:Z:x\tRG:Z:g\tNM:i:2\tMD:Z:1A1^C2"},
             {{"-h"}, "TGCGG\t#+5?I\tXA:Z:x\tRG:Z:g\tNM:i:2\tMD:Z:1A1^C2"},
             {{"-e"}, "=G===\t#+5?I\tXA:Z:x\tRG:Z:g\tNM:i:2\tMD:Z:1A1^C2"},
             {{"-d"}, "TGCGG\t#+5?I\tRG:Z:g"},
             {{"-q"}, "TGCGG\t#2<FP\tXA:Z:x\tRG:Z:g\tNM:i:2\tMD:Z:1A1^C2"},
             {{"-n", "2"}, "NGNNN\t!+!!!\tXA:Z:x\tRG:Z:g\tNM:i:2\tMD:Z:1A1^C2"},
             {{"-n", "3"}, "TGCGG\t#+5?I\tXA:Z:x\tRG:Z:g\tNM:i:2\tMD:Z:1A1^C2"},
             {{"-N"}, "TGCGG\t#+5?I\tXA:Z:x\tRG:Z:g"},
             {{"-N", "-e", "-q"}, "=G===\t#2<FP\tXA:Z:x\tRG:Z:g"},
         }) {
        args_t args = {"calmd", "-S"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.push_back(sam);
        args.push_back(ref);
        run_result r = run_alnkit(args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, small_header + head + c.record + "\n") << c.options[0];
    }
    // BAQ: -r stores offsets in BQ (before the new NM and MD); -A lowers the qualities by them and keeps them in ZQ.
    const std::vector<std::string> stored =
        test_util::split(record_lines(run_alnkit({"calmd", "-S", "-r", sam, ref}).out)[0], '\t');
    const std::vector<std::string> applied =
        test_util::split(record_lines(run_alnkit({"calmd", "-S", "-r", "-A", sam, ref}).out)[0], '\t');
    ASSERT_EQ(stored.size(), 16u);
    ASSERT_EQ(stored[13].substr(0, 5) + stored[14], "BQ:Z:NM:i:2");
    EXPECT_EQ(applied[13], "ZQ:Z:" + stored[13].substr(5));
    for (int i = 0; i < 5; ++i) EXPECT_EQ(applied[10][i], stored[10][i] - (stored[13][5 + i] - 64)) << i;
    // Capping above 10 only: the first read's mismatch has quality 10 and is skipped, so 60 becomes 11;
    // the second read's four mismatches exceed the threshold, and an untrusted read gets 0.
    write_file(sam, small_header + head + "TGCGG\t#+5?I\n" + "r2\t0\tchr1\t1\t60\t5M\t*\t0\t0\tAAAAA\tIIIII\n");
    for (const auto& [threshold, mapq] : std::vector<std::pair<std::string, std::string>>{{"11", "11 0"}, {"10", "60 60"}}) {
        run_result r = run_alnkit({"calmd", "-S", "-N", "-C", threshold, sam, ref});
        std::vector<std::string> lines = record_lines(r.out);
        ASSERT_EQ(lines.size(), 2u) << r.err;
        EXPECT_EQ(test_util::split(lines[0], '\t')[4] + " " + test_util::split(lines[1], '\t')[4], mapq);
    }
}

TEST(Calmd, MissingReferencesDamagedInputAndFailedWrites) {
    scratch_dir dir;
    const std::string ref = make_fasta(dir, {{"chr1", small_ref}});
    const std::string two = "@SQ\tSN:chr1\tLN:24\n@SQ\tSN:chr2\tLN:24\n";
    const std::string r1 = "r1\t0\tchr1\t1\t60\t3M1D2M\t*\t0\t0\tTGCGG\tIIIII";
    const std::string on2 = "x\t0\tchr2\t1\t60\t2M\t*\t0\t0\tAC\tII\tNM:i:9\n";
    const std::string bam = test_util::bam_from_sam(dir, "two", two + on2 + on2 + r1 + "\n" + on2);
    run_result r = run_alnkit({"calmd", bam, ref});
    EXPECT_EQ(r.status, 0);
    const std::string missing = "[bam_fillmd] fail to find sequence 'chr2' in the reference.\n";
    EXPECT_EQ(r.err, missing + missing);
    EXPECT_EQ(r.out, two + on2 + on2 + r1 + "\tNM:i:2\tMD:Z:1A1^C2\n" + on2);

    // A cut file: the records before the damage are written, then one line names the file.
    std::string data;
    corrupt::read_blocks(read_file(bam), &data);
    const std::string cut = dir.file("cut.bam");
    corrupt::write_bgzf(cut, data.substr(0, corrupt::parse_bam(data).records[3] + 5));
    r = run_alnkit({"calmd", cut, ref});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, missing + "[bam_fillmd] " + cut + ": damaged or truncated record after 3 records\n");
    EXPECT_EQ(r.out, two + on2 + on2 + r1 + "\tNM:i:2\tMD:Z:1A1^C2\n");
    // Malformed SAM text ends the input the same way.
    write_file(dir.file("bad.sam"), small_header + r1 + "\nr2\t0\tchr1\t1\t60\t2Q\t*\t0\t0\tAC\tII\n");
    r = run_alnkit({"calmd", "-S", dir.file("bad.sam"), ref});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "[samopen] SAM header is present: 1 sequences.\nParse error at line 3: invalid CIGAR operation\n[bam_fillmd] " +
                  dir.file("bad.sam") + ": damaged or truncated record after 1 records\n");
    EXPECT_EQ(r.out, small_header + r1 + "\tNM:i:2\tMD:Z:1A1^C2\n");

    // Failures before any output: usage, options, no reference, no input, a SAM input without header.
    write_file(dir.file("nohead.sam"), r1 + "\n");
    const std::string none = dir.file("none.fa");
    for (const auto& [args, message] : std::vector<std::pair<args_t, std::string>>{
             {{"calmd"}, usage_text},
             {{"fillmd", "-e", "-h", "in.bam"}, usage_text},
             {{"calmd", "-z", "in.bam", "ref.fa"}, "[bam_fillmd] unrecognized option '-z'\n"},
             {{"fillmd", "-e", "-Y", "in.bam", "ref.fa"}, "[bam_fillmd] unrecognized option '-Y'\n"},
             {{"calmd", bam, none}, "[bam_fillmd] fail to open the reference " + none + ".\n"},
             {{"calmd", dir.file("none.bam"), ref}, "[bam_fillmd] fail to open file " + dir.file("none.bam") + ".\n"},
             {{"calmd", "-S", dir.file("nohead.sam"), ref},
              "[samopen] no @SQ lines in the header.\n[bam_fillmd] input SAM does not have header. Abort!\n"},
         }) {
        r = run_alnkit(args);
        EXPECT_EQ(r.status, 1) << args.back();
        EXPECT_EQ(r.out, "");
        // The file layer may say first why it could not open a file.
        EXPECT_TRUE(r.err == message || (r.err.ends_with(message) && corrupt::count_lines(r.err) == 2)) << r.err;
    }
    // Output to a full disk, as SAM and as BAM.
    for (const char* mode : {"-S", "-b"}) {
        r = test_util::run_file_limited({ALNKIT_PATH, "calmd", mode, mode[1] == 'S' ? dir.file("two.sam") : bam, ref}, 1 << 30,
                                        "/dev/full");
        EXPECT_EQ(r.status, 1) << mode;
        EXPECT_NE(r.err.find("[bam_fillmd] fail to write to standard output.\n"), std::string::npos) << r.err;
    }
}

// ---------------------------------------------------------------------------
// Generated data against an independent MD/NM computation.

std::map<std::string, std::string> read_fasta(const std::string& path) {
    std::map<std::string, std::string> seqs;
    std::string* cur = nullptr;
    for (const std::string& line : test_util::split(read_file(path), '\n')) {
        if (!line.empty() && line[0] == '>') cur = &seqs[line.substr(1, line.find_first_of(" \t") - 1)];
        else if (cur) *cur += line;
    }
    return seqs;
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

bool equal_ignoring_case(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char p, char q) {
               return std::tolower(static_cast<unsigned char>(p)) == std::tolower(static_cast<unsigned char>(q));
           });
}

// Sets tag NM or MD of the fields `f` to `want` as calmd does, adding its message to `err`.
void update_tag(std::vector<std::string>* f, const std::string& tag, const std::string& want, std::string* err) {
    const bool is_nm = tag == "NM";
    const std::string quote = is_nm ? "" : "'";
    for (size_t k = 11; k < f->size(); ++k) {
        if ((*f)[k].compare(0, 3, tag + ":") != 0) continue;
        const std::string old = (*f)[k].substr(5);
        if (is_nm ? std::stol(old) == std::stol(want) : equal_ignoring_case(old, want)) return;
        *err += "[bam_fillmd1] different " + tag + " for read '" + (*f)[0] + "': " + quote + old + quote + " -> " + quote + want +
                quote + "\n";
        f->erase(f->begin() + static_cast<long>(k));
        break;
    }
    f->push_back(tag + (is_nm ? ":i:" : ":Z:") + want);
}

TEST(Calmd, GeneratedRecordsMatchAnIndependentMdNmAndEqualBasesReadBack) {
    scratch_dir dir;
    const std::string fa = dir.file("ref.fa");
    const std::string bam = test_util::make_bam(dir, "sim", 21, 100000, {"--refs", "2", "--ref-len", "300000", "--fasta", fa});
    const std::map<std::string, std::string> refs = read_fasta(fa);
    const std::vector<std::string> in = record_lines(test_util::view_records(bam));
    run_result plain = run_alnkit({"calmd", bam, fa}), equal = run_alnkit({"calmd", "-e", "-N", bam, fa});
    ASSERT_EQ(plain.status, 0);
    ASSERT_EQ(equal.status, 0);
    const std::vector<std::string> out = record_lines(plain.out), eq = record_lines(equal.out);
    ASSERT_GT(in.size(), 100000u);
    ASSERT_EQ(out.size(), in.size());
    ASSERT_EQ(eq.size(), in.size());
    std::string err;
    size_t n_wrong = 0, n_changed = 0, n_replaced = 0;
    for (size_t i = 0; i < in.size(); ++i) {
        std::vector<std::string> f = test_util::split(in[i], '\t'), e = test_util::split(eq[i], '\t');
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
        if ((out[i] != want || e != test_util::split(in[i], '\t')) && n_wrong++ < 5)
            ADD_FAILURE() << "record " << i << "\n got:  " << out[i] << "\n want: " << want << "\n with -e: " << eq[i];
    }
    EXPECT_EQ(n_wrong, 0u);
    EXPECT_GT(n_changed, in.size() / 10);  // many records lack a tag, so the check has teeth
    EXPECT_GT(n_replaced, in.size() * 50);
    EXPECT_TRUE(plain.err == "[fai_load] build FASTA index.\n" + err) << plain.err.substr(0, 2000);
}

}  // namespace
