// BCF output: a binary container of genotype likelihoods inside a BGZF
// stream.  A header (magic "BCF\4", reference names, sample names and a text
// block, each with its int32 byte length) is followed by a flush, so that the
// first record starts a new block; each record holds tid, pos, qual and the
// string block (ID, REF, ALT, FILTER, INFO, FORMAT, each NUL-terminated)
// followed by one block of per-sample data per FORMAT key.  Integers and
// floats are little-endian.
//
// Records are checked before their bytes are trusted: bcf_sync scans only the
// `l_str` bytes it is given and refuses a block that does not end in a NUL,
// sizes are computed in 64 bits, and writes report failures of the stream
// (a full disk or closed pipe) as -1.  Memory is malloc'd so that callers can
// hand over buffers built with kstring_t.
#pragma once

#include <cstdint>

#include "containers/khash.h"
#include "io/bgzf.h"

struct bcf_t {
    int is_vcf;  // always 0: only BCF is written
    void* v;     // unused by the writer
    bcfFile fp;
};

struct bcf_hdr_t {
    int32_t n_ref, n_smpl;        // derived by bcf_hdr_sync
    int32_t l_nm, l_smpl, l_txt;  // byte lengths of name, sname and txt
    char *name, *sname, *txt;     // NUL-terminated names, concatenated; text with its NUL
    char **ns, **sns;             // start of each name, derived by bcf_hdr_sync
};

// One FORMAT key's per-sample data: n_smpl x len bytes, samples in header order.
struct bcf_ginfo_t {
    uint32_t fmt;  // the key packed by bcf_str2int
    int len;       // bytes per sample
    void* data;
};

struct bcf1_t {
    int32_t tid, pos;
    int32_t l_str, m_str;  // length and capacity of str
    float qual;
    char* str;                           // ID, REF, ALT, FILTER, INFO, FORMAT, each NUL-terminated
    char *ref, *alt, *flt, *info, *fmt;  // into str, set by bcf_sync
    int n_gi, m_gi;
    bcf_ginfo_t* gi;
    int n_alleles;  // 1 + the number of ALT alleles, set by bcf_sync
    int n_smpl;
};

// String -> int map that borrows its keys; values are insertion ranks.
using kh_str2id_t = kh_str2int_t;

// Opens `fn` in `mode` ("w" compressed, "wu" uncompressed, "r" reading);
// "-" is standard output when writing and standard input otherwise, which
// stay open after bcf_close.  Null when the file cannot be opened.
bcf_t* bcf_open(const char* fn, const char* mode);
// Closes the stream and frees the handle; the stream's result (-1 when
// pending data could not be written).  Null gives 0.
int bcf_close(bcf_t* bp);

// Derives n_ref/ns and n_smpl/sns from name and sname.  0; -1 for null, a
// negative length, or a name block whose last byte is not NUL (the counts are
// then 0).
int bcf_hdr_sync(bcf_hdr_t* h);
// Writes the magic and the header, then flushes the stream.  0, or -1 for a
// null argument, inconsistent lengths or a failed write.
int bcf_hdr_write(bcf_t* bp, const bcf_hdr_t* h);
// A synchronised header with the given reference and sample names and the
// text "##alnkitVersion=<version>\n"; null when memory runs out.
bcf_hdr_t* bcf_hdr_make(int n_ref, const char* const* ref_names, int n_smpl, const char* const* sample_names);
void bcf_hdr_destroy(bcf_hdr_t* h);

// A FORMAT key packed from its first up to four characters, first character
// most significant: "PL" is ('P' << 8) | 'L'.
uint32_t bcf_str2int(const char* str, int l);
// Bytes per sample of a FORMAT key for a site with `n_alleles` alleles; -1
// when that does not fit an int.
int64_t bcf_fmt_width(uint32_t fmt, int n_alleles);

// Derives the field pointers, n_alleles and the FORMAT blocks (n_smpl x
// width bytes each) from the string block.  0; -1 with a one-line message for
// a malformed block, or -1 when memory runs out.
int bcf_sync(bcf1_t* b);
// Writes one synchronised record with its FORMAT blocks for the header's
// samples: the number of bytes written, or -1 for a null argument, a record
// with fewer samples than the header, a record above 2 GiB or a failed write.
int bcf_write(bcf_t* bp, const bcf_hdr_t* h, const bcf1_t* b);
// Frees the string block, every FORMAT block (up to m_gi) and the record.
// 0, or -1 for null.
int bcf_destroy(bcf1_t* b);

kh_str2id_t* bcf_str2id_init();
// The value of `str`, or -1 when `hash` is null or `str` absent.
int bcf_str2id(const kh_str2id_t* hash, const char* str);
// The value of `str`, inserting the pointer itself with value = number of
// entries - 1 when it is new.  -1 for a null map or when memory runs out.
int bcf_str2id_add(kh_str2id_t* hash, const char* str);
// Frees every key (malloc'd by the caller) and the map; null is ignored.
void bcf_str2id_thorough_destroy(kh_str2id_t* hash);
