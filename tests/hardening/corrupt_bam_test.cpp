// Damaged BAM files through every command that reads them: files cut at many
// offsets, flipped bits in the header fields, in BGZF block sizes and
// compressed bytes, and in record fields (damaged in the decompressed stream
// and compressed again so that the damage reaches the record parser).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/bam_file_util.h"
#include "common/test_util.h"
#include "hardening/corrupt_util.h"

namespace {

using corrupt::count_lines;
using corrupt::expectation;
using corrupt::outcome;
using corrupt::run_guarded;
using test_util::flip_bit;
using test_util::read_file;
using test_util::run_alnkit;
using test_util::scratch_dir;
using test_util::write_file;

enum : unsigned {
    cmd_view = 1,
    cmd_bam2fq = 2,
    cmd_sort = 4,
    cmd_merge = 8,
    cmd_index = 16,
    cmd_cat = 32,
    cmd_reheader = 64,
    cmd_all = 127,
};

// One generated, coordinate-sorted BAM file and what is known about it.
struct bam_fixture {
    scratch_dir dir;
    std::string bam, empty_bam, header_sam;
    std::string file, data;  // compressed and decompressed bytes
    std::string records;     // the records as SAM text
    std::vector<corrupt::block_t> blocks;
    corrupt::bam_layout_t layout;
    size_t n = 0;
    int serial = 0;

    bam_fixture() {
        bam = test_util::make_bam(dir, "good", 11, 1500, {"--sorted", "--refs", "3", "--ref-len", "150000"});
        records = test_util::view_records(bam);
        n = count_lines(records);
        header_sam = dir.file("header.sam");
        write_file(header_sam, test_util::view_header(bam));
        empty_bam = test_util::bam_from_sam(dir, "empty", read_file(header_sam));
        file = read_file(bam);
        blocks = corrupt::read_blocks(file, &data);
        layout = corrupt::parse_bam(data);
    }

    std::string fresh(const std::string& stem) { return dir.file(stem + "-" + std::to_string(++serial)); }

    // Records whose bytes all lie before decompressed position `end`.
    size_t records_before(size_t end) const {
        size_t k = 0;
        for (size_t r : layout.records)
            if (corrupt::rec_end(data, r) <= end) ++k;
        return k;
    }
};

bam_fixture& fixture() {
    static bam_fixture* f = new bam_fixture();  // shared by all cases of this file
    return *f;
}

size_t count_fastq(const std::string& out) { return count_lines(out) / 4; }

// Views `path` with limits and checks it against `e`, crediting `first`'s
// messages and status as well (the command that wrote `path`).
void check_output_bam(const std::string& what, const outcome& first, const std::string& path, const expectation& e) {
    outcome v = run_guarded({"view", path});
    outcome joined = v;
    joined.err = first.err + v.err;
    corrupt::check_records(what, joined, count_lines(v.out), e);
}

// Runs the selected commands on the damaged BAM file `path`.
void exercise(const std::string& label, const std::string& path, const expectation& e, unsigned cmds) {
    bam_fixture& f = fixture();
    if (cmds & cmd_view) {
        outcome r = run_guarded({"view", path});
        corrupt::check_records(label + ": view", r, count_lines(r.out), e);
    }
    if (cmds & cmd_bam2fq) {
        outcome r = run_guarded({"bam2fq", path});
        corrupt::check_records(label + ": bam2fq", r, count_fastq(r.out), e);
    }
    if (cmds & cmd_sort) {
        std::string prefix = f.fresh("sorted");
        outcome r = run_guarded({"sort", path, prefix});
        corrupt::check_run(label + ": sort", r);
        if (r.status == 0) check_output_bam(label + ": sort", r, prefix + ".bam", e);
    }
    if (cmds & cmd_merge) {
        std::string out = f.fresh("merged") + ".bam";
        outcome r = run_guarded({"merge", out, path, f.empty_bam});
        corrupt::check_run(label + ": merge", r);
        if (r.status == 0) check_output_bam(label + ": merge", r, out, e);
    }
    if (cmds & cmd_index) {
        // A failed build exits 1 with its message; a silent build must
        // account for every record.
        outcome r = run_guarded({"index", path});
        corrupt::check_run(label + ": index", r);
        EXPECT_TRUE(r.status == 0 || r.status == 1) << label << ": index\n" << r.err;
        if (r.err.empty()) {
            outcome s = run_guarded({"idxstats", path});
            corrupt::check_run(label + ": idxstats", s);
            size_t total = 0;
            for (const std::string& line : corrupt::split_lines(s.out)) {
                size_t t1 = line.find('\t'), t2 = line.find('\t', t1 + 1), t3 = line.find('\t', t2 + 1);
                if (t3 == std::string::npos) continue;
                total += std::stoull(line.substr(t2 + 1, t3 - t2 - 1)) + std::stoull(line.substr(t3 + 1));
            }
            if (s.status == 0) {
                EXPECT_EQ(total, e.complete) << label << ": silent index build lost records";
            }
        }
    }
    if (cmds & cmd_cat) {
        std::string out = f.fresh("cat") + ".bam";
        outcome r = run_guarded({"cat", "-o", out, path, f.bam});
        corrupt::check_run(label + ": cat", r);
        expectation both{e.complete + f.n, e.allow_partial, e.partial + f.n};
        if (r.status == 0) check_output_bam(label + ": cat", r, out, both);
    }
    if (cmds & cmd_reheader) {
        outcome r = run_guarded({"reheader", f.header_sam, path});
        corrupt::check_run(label + ": reheader", r);
        if (r.status == 0) {
            std::string out = f.fresh("reheader") + ".bam";
            write_file(out, r.out);
            check_output_bam(label + ": reheader", r, out, e);
        }
    }
}


// Damages the decompressed stream and writes it compressed again.
std::string write_damaged_stream(const std::string& stem, const std::string& data) {
    std::string path = fixture().fresh(stem) + ".bam";
    corrupt::write_bgzf(path, data);
    return path;
}

TEST(CorruptBam, GeneratedFileIsWhatTheCasesAssume) {
    bam_fixture& f = fixture();
    ASSERT_GE(f.n, 1400u);
    ASSERT_GE(f.blocks.size(), 4u);  // header block, record blocks, end-of-file block
    EXPECT_EQ(f.layout.records.size(), f.n);
    EXPECT_EQ(f.layout.end, f.data.size());
    EXPECT_EQ(f.blocks.back().data_len, 0u);
    // The header is flushed into blocks of its own.
    EXPECT_EQ(f.blocks[0].data_start + f.blocks[0].data_len, f.layout.records[0]);
}

TEST(CorruptBam, CutThroughTheHeaderBlockAtEveryOffset) {
    bam_fixture& f = fixture();
    const size_t header_end = f.blocks[1].offset;
    for (size_t cut = 0; cut <= header_end + 1; ++cut) {
        if (!corrupt::sampled(cut) && cut != header_end) continue;
        std::string path = f.fresh("cut") + ".bam";
        write_file(path, f.file.substr(0, cut));
        expectation e{f.n, cut == header_end, 0};
        exercise("cut at " + std::to_string(cut), path, e, cut % 32 == 0 || cut == header_end ? cmd_all : cmd_view);
        if (HasFatalFailure()) return;
    }
}

TEST(CorruptBam, CutAcrossTheRecordBlocks) {
    bam_fixture& f = fixture();
    std::vector<size_t> cuts;
    for (size_t i = 1; i < f.blocks.size(); ++i)
        for (size_t d : {f.blocks[i].offset - 1, f.blocks[i].offset, f.blocks[i].offset + 1, f.blocks[i].offset + 17,
                         f.blocks[i].offset + 18, f.blocks[i].offset + f.blocks[i].size - 8})
            cuts.push_back(d);
    for (int k = 1; k < 12; ++k) cuts.push_back(f.file.size() * k / 12);  // a spread of offsets
    cuts.push_back(f.file.size() - 1);
    size_t k = 0;
    for (size_t cut : cuts) {
        if (!corrupt::sampled(k++)) continue;
        std::string path = f.fresh("cut") + ".bam";
        write_file(path, f.file.substr(0, cut));
        // Cut exactly between two blocks, the file reads as a shorter file
        // without its end-of-file block: the warning and the whole records.
        expectation e{f.n, false, 0};
        for (const auto& b : f.blocks)
            if (b.offset == cut) e = expectation{f.n, true, f.records_before(b.data_start)};
        exercise("cut at " + std::to_string(cut), path, e, e.allow_partial || cut % 2 ? cmd_all : cmd_view | cmd_index);
        if (HasFatalFailure()) return;
    }
}

TEST(CorruptBam, FlippedBitsInHeaderFields) {
    bam_fixture& f = fixture();
    const corrupt::bam_layout_t& l = f.layout;
    struct field {
        std::string name;
        size_t at;
        std::vector<int> bits;
    };
    std::vector<field> fields = {{"magic", 0, {0, 7, 8, 17, 24, 25}},
                                 {"l_text", l.l_text_at, {0, 1, 7, 8, 15, 20, 30, 31}},
                                 {"n_ref", l.n_ref_at, {0, 1, 2, 8, 16, 27, 31}}};
    for (size_t i = 0; i < l.l_name_at.size(); ++i) {
        fields.push_back({"l_name[" + std::to_string(i) + "]", l.l_name_at[i], {0, 1, 4, 8, 24, 31}});
        fields.push_back({"l_ref[" + std::to_string(i) + "]", l.l_ref_at[i], {0, 20, 31}});
    }
    size_t k = 0;
    for (const field& fd : fields)
        for (int bit : fd.bits) {
            if (!corrupt::sampled(k++)) continue;
            std::string path = write_damaged_stream("hdr", flip_bit(f.data, fd.at, bit));
            exercise(fd.name + " bit " + std::to_string(bit), path, expectation{f.n},
                     bit % 2 ? cmd_view | cmd_sort | cmd_merge | cmd_index | cmd_bam2fq : cmd_view | cmd_index);
            if (HasFatalFailure()) return;
        }
}

TEST(CorruptBam, FlippedBitsInRecordFields) {
    bam_fixture& f = fixture();
    const std::vector<size_t>& recs = f.layout.records;
    std::vector<size_t> chosen = {0, recs.size() / 2, recs.size() - 1};
    // A record that has optional fields, for the type-byte cases.
    size_t with_aux = 0;
    while (with_aux < recs.size() && corrupt::rec_aux_at(f.data, recs[with_aux]) + 3 > corrupt::rec_end(f.data, recs[with_aux]))
        ++with_aux;
    ASSERT_LT(with_aux, recs.size());
    chosen.push_back(with_aux);
    for (size_t c = 0; c < chosen.size(); ++c) {
        const size_t i = chosen[c];
        const size_t r = recs[i];
        struct field {
            std::string name;
            size_t at;
            std::vector<int> bits;
        };
        std::vector<field> fields = {
            {"block_size", r, {0, 1, 2, 5, 10, 20, 30, 31}},
            {"l_read_name", corrupt::rec_l_qname_at(r), {0, 1, 2, 3, 4, 5, 6, 7}},
            {"n_cigar_op", corrupt::rec_n_cigar_at(r), {0, 1, 4, 15}},
            {"l_seq", corrupt::rec_l_seq_at(r), {0, 1, 5, 12, 24, 31}},
        };
        if (corrupt::load_le(f.data, corrupt::rec_n_cigar_at(r), 2) > 0)
            fields.push_back({"cigar op", corrupt::rec_cigar_at(f.data, r), {0, 1, 2, 3, 4, 31}});
        const size_t aux = corrupt::rec_aux_at(f.data, r);
        if (aux + 3 <= corrupt::rec_end(f.data, r)) fields.push_back({"aux type", aux + 2, {0, 1, 2, 5, 6, 7}});
        // The first record takes every case through view and index, and each
        // case also through one of bam2fq, sort and merge in turn (every
        // field meets all three).  The other three records take every third
        // case, each a different third; the record with optional fields also
        // takes all its type-byte cases.
        size_t k = 0;
        for (const field& fd : fields)
            for (int bit : fd.bits) {
                const size_t n = k++;
                if (c > 0 && n % 3 != c - 1 && !(c == 3 && fd.name == "aux type")) continue;
                if (!corrupt::sampled(n + c)) continue;
                unsigned cmds = cmd_view | cmd_index;
                if (c == 0) cmds |= std::array<unsigned, 3>{cmd_bam2fq, cmd_sort, cmd_merge}[n % 3];
                std::string path = write_damaged_stream("rec", flip_bit(f.data, fd.at, bit));
                exercise("record " + std::to_string(i) + " " + fd.name + " bit " + std::to_string(bit), path, expectation{f.n},
                         cmds);
                if (HasFatalFailure()) return;
            }
    }
}

TEST(CorruptBam, FlippedBitsInBlockSizes) {
    bam_fixture& f = fixture();
    size_t k = 0;
    for (const auto& b : f.blocks)
        for (int bit : {0, 4, 8, 15}) {
            if (!corrupt::sampled(k++)) continue;
            std::string path = f.fresh("bsize") + ".bam";
            write_file(path, flip_bit(f.file, b.offset + 16, bit));
            exercise("BSIZE of block at " + std::to_string(b.offset) + " bit " + std::to_string(bit), path, expectation{f.n},
                     cmd_view | cmd_cat | cmd_reheader | cmd_sort | cmd_index);
            if (HasFatalFailure()) return;
        }
}

// A flipped bit inside a block's deflate data, CRC32 or ISIZE: the block
// checks must catch it, so reading commands fail with a message, unless the
// bit was padding and the data is unchanged.
TEST(CorruptBam, FlippedBitsInCompressedBytesAreDetected) {
    bam_fixture& f = fixture();
    int k = 0;
    for (const auto& b : f.blocks) {
        std::vector<size_t> spots = {b.offset + 18,         b.offset + b.size - 9, b.offset + b.size - 8,
                                     b.offset + b.size - 5, b.offset + b.size - 4, b.offset + b.size - 1};
        for (int j = 1; j < 4; ++j) spots.push_back(b.offset + 18 + (b.size - 26) * j / 4);
        for (size_t at : spots) {
            int bit = k++ % 8;
            if (!corrupt::sampled(static_cast<size_t>(k))) continue;
            std::string path = f.fresh("crc") + ".bam";
            write_file(path, flip_bit(f.file, at, bit));
            const std::string what = "compressed byte " + std::to_string(at) + " bit " + std::to_string(bit);
            outcome r = run_guarded({"view", path});
            corrupt::check_run(what + ": view", r);
            // Padding bits after the last deflate code carry no data.
            if (r.status == 0) {
                EXPECT_EQ(r.out, f.records) << what << ": damage not detected by view";
            }
            if (k % 3 == 0) exercise(what, path, expectation{f.n}, cmd_bam2fq | cmd_sort | cmd_cat | cmd_index);
            if (HasFatalFailure()) return;
        }
    }
}

// The extra line that names the file and how many records were read whole.
TEST(CorruptBam, DamageMessageNamesFileAndRecordCount) {
    bam_fixture& f = fixture();
    const size_t k = f.n / 2;
    std::string damaged = f.data;
    damaged[corrupt::rec_l_qname_at(f.layout.records[k])] = 0;  // no room for the name's NUL
    std::string path = write_damaged_stream("msg", damaged);
    const std::string line = path + ": damaged or truncated record after " + std::to_string(k) + " records\n";

    outcome v = run_guarded({"view", path});
    EXPECT_EQ(v.status, 1);
    EXPECT_EQ(count_lines(v.out), k);
    EXPECT_EQ(v.err, "[main_samview] truncated file.\n[main_samview] " + line);

    outcome q = run_guarded({"bam2fq", path});
    EXPECT_EQ(q.status, 1);
    EXPECT_EQ(q.err, "[main_bam2fq] truncated file.\n[main_bam2fq] " + line);

    // The index of the records before the damage is written, but the build failed.
    outcome i = run_guarded({"index", path});
    EXPECT_EQ(i.status, 1);
    EXPECT_TRUE(std::filesystem::exists(path + ".bai"));
    EXPECT_NE(i.err.find("[bam_index_core] truncated file? Continue anyway. (-4)\n"), std::string::npos) << i.err;
    EXPECT_NE(i.err.find("[bam_index_core] " + line), std::string::npos) << i.err;
}

// Records with impossible values but intact sizes, as a faulty writer would
// leave them: each is a damaged record for every reader, which stops there
// with the damage line and status 1 and prints nothing after it.
TEST(CorruptBam, ImpossibleRecordFieldsAreDamage) {
    bam_fixture& f = fixture();
    const size_t n_targets = f.layout.l_name_at.size();
    ASSERT_EQ(n_targets, 3u);
    // A mapped record with CIGAR operations in the middle of the file.
    size_t k = f.n / 2;
    while (static_cast<int32_t>(corrupt::load_le(f.data, corrupt::rec_tid_at(f.layout.records[k]), 4)) < 0 ||
           corrupt::load_le(f.data, corrupt::rec_n_cigar_at(f.layout.records[k]), 2) == 0)
        ++k;
    const size_t r = f.layout.records[k];
    const std::vector<std::string> lines = corrupt::split_lines(f.records);
    std::string before;  // what may be printed: the records before the damaged one
    for (size_t i = 0; i < k; ++i) before += lines[i] + "\n";

    // A region covering the damaged record, answered with the index of the
    // intact file; stored blocks keep both files' block offsets equal.
    const std::string intact = f.fresh("intact") + ".bam";
    corrupt::write_bgzf(intact, f.data, "w0");
    ASSERT_EQ(run_alnkit({"index", intact}).status, 0);
    const int32_t tid = static_cast<int32_t>(corrupt::load_le(f.data, corrupt::rec_tid_at(r), 4));
    const int32_t pos = static_cast<int32_t>(corrupt::load_le(f.data, corrupt::rec_pos_at(r), 4));
    const size_t name_at = f.layout.l_name_at[static_cast<size_t>(tid)];
    const std::string region = f.data.substr(name_at + 4, corrupt::load_le(f.data, name_at, 4) - 1) + ":" +
                               std::to_string(pos + 1) + "-" + std::to_string(pos + 1);
    const outcome whole = run_alnkit({"view", intact, region});
    ASSERT_EQ(whole.status, 0) << whole.err;
    const size_t at = whole.out.find(lines[k] + "\n");
    ASSERT_NE(at, std::string::npos) << region;
    const std::string region_before = whole.out.substr(0, at);

    auto set32 = [](size_t field, uint32_t v) { return [field, v](std::string& d) { corrupt::store_le32(d, field, v); }; };
    auto set_op = [&](uint8_t op) {
        return [at = corrupt::rec_cigar_at(f.data, r), op](std::string& d) {
            d[at] = static_cast<char>((static_cast<uint8_t>(d[at]) & 0xf0) | op);
        };
    };
    struct field_case {
        std::string name;
        std::function<void(std::string&)> damage;
    };
    const std::vector<field_case> cases = {
        {"tid -2", set32(corrupt::rec_tid_at(r), static_cast<uint32_t>(-2))},
        {"tid = n_targets", set32(corrupt::rec_tid_at(r), n_targets)},
        {"mtid -2", set32(corrupt::rec_mtid_at(r), static_cast<uint32_t>(-2))},
        {"mtid = n_targets", set32(corrupt::rec_mtid_at(r), n_targets)},
        {"CIGAR op 9", set_op(9)},
        {"CIGAR op 15", set_op(15)},
    };
    for (const field_case& fc : cases) {
        SCOPED_TRACE(fc.name);
        std::string damaged = f.data;
        fc.damage(damaged);
        const std::string path = f.fresh("field") + ".bam";
        corrupt::write_bgzf(path, damaged, "w0");
        const std::string line = path + ": damaged or truncated record after " + std::to_string(k) + " records\n";

        outcome v = run_guarded({"view", path});
        EXPECT_EQ(v.status, 1);
        EXPECT_EQ(v.err, "[main_samview] truncated file.\n[main_samview] " + line);
        EXPECT_TRUE(v.out == before) << "view printed " << count_lines(v.out) << " records, expected " << k;

        outcome q = run_guarded({"bam2fq", path});
        EXPECT_EQ(q.status, 1);
        EXPECT_EQ(count_fastq(q.out), k);

        outcome i = run_guarded({"index", path});
        EXPECT_EQ(i.status, 1);
        EXPECT_NE(i.err.find("[bam_index_core] truncated file? Continue anyway. (-4)\n[bam_index_core] " + line),
                  std::string::npos)
            << i.err;

        const std::string prefix = f.fresh("sorted");
        outcome s = run_guarded({"sort", path, prefix});
        EXPECT_EQ(s.status, 1);
        EXPECT_NE(s.err.find("[bam_sort_core] " + line), std::string::npos) << s.err;

        outcome m = run_guarded({"merge", f.fresh("merged") + ".bam", path, f.empty_bam});
        EXPECT_EQ(m.status, 1);
        EXPECT_NE(m.err.find("[bam_merge_core] " + line), std::string::npos) << m.err;

        // In place of the partial index that `index` left.
        std::filesystem::copy_file(intact + ".bai", path + ".bai", std::filesystem::copy_options::overwrite_existing);
        outcome g = run_guarded({"view", path, region});
        EXPECT_EQ(g.status, 1);
        EXPECT_EQ(g.err, "[main_samview] retrieval of region \"" + region +
                             "\" failed due to truncated file or corrupt BAM index file\n");
        EXPECT_TRUE(g.out == region_before) << g.out;
    }
}

// Reference names in the header that the stored lengths do not describe.
TEST(CorruptBam, HeaderNamesWithoutTheirNulOrEmptyAreRefused) {
    bam_fixture& f = fixture();
    const corrupt::bam_layout_t& l = f.layout;
    // Reference 1's name and its length field, replaced by `bytes`.
    auto with_name = [&](const std::string& bytes) {
        return f.data.substr(0, l.l_name_at[1]) + bytes + f.data.substr(l.l_ref_at[1]);
    };
    std::string no_nul = f.data;
    no_nul[l.l_ref_at[1] - 1] = 'x';  // the NUL ending "chr2"
    struct header_case {
        std::string name, data;
    };
    const std::vector<header_case> cases = {
        {"name without NUL", no_nul},
        {"NUL inside the stored length", with_name(std::string("\x06\0\0\0chr2\0\0", 10))},
        {"NUL first", with_name(std::string("\x05\0\0\0\0chr2", 9))},
        {"name length 0", with_name(std::string(4, '\0'))},
        {"empty name", with_name(std::string("\x01\0\0\0\0", 5))},
    };
    for (const header_case& hc : cases) {
        SCOPED_TRACE(hc.name);
        const std::string path = write_damaged_stream("name", hc.data);
        outcome v = run_guarded({"view", path});
        EXPECT_EQ(v.status, 1);
        EXPECT_EQ(v.out, "");
        EXPECT_EQ(v.err, "[bam_header_read] truncated or corrupt BAM header.\n[main_samview] fail to read the header from \"" +
                             path + "\".\n");
        outcome i = run_guarded({"index", path});
        EXPECT_EQ(i.status, 1);
        EXPECT_NE(i.err.find("[bam_header_read] truncated or corrupt BAM header.\n"), std::string::npos) << i.err;
        outcome g = run_guarded({"view", path, "chr1"});
        EXPECT_EQ(g.status, 1);
        EXPECT_EQ(g.out, "");
    }
}

}  // namespace
