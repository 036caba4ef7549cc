// Opening, reading, writing and closing SAM or BAM through one handle.
#include "bam/sam.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "bam/bam_codec.h"
#include "bam/sam_format.h"
#include "io/faidx.h"

namespace {

bool mode_has(const char* mode, char c) { return std::strchr(mode, c) != nullptr; }

// Header text followed by synthesized @SQ lines when the text has none.
void write_sam_header(text_out_t* out, const bam_header_t* h) {
    // Count the @SQ lines through a temporary header sharing the text.
    bam_header_t* tmp = bam_header_init();
    tmp->text = h->text;
    tmp->l_text = h->l_text;
    int n_sq = sam_header_parse(tmp);
    tmp->text = nullptr;
    bam_header_destroy(tmp);
    if (h->l_text) text_out_write(out, h->text, h->l_text);
    if (n_sq == 0) {
        for (int i = 0; i < h->n_targets; ++i)
            text_out_printf(out, "@SQ\tSN:%s\tLN:%d\n", h->target_name[i], static_cast<int>(h->target_len[i]));
    } else if (n_sq != h->n_targets && bam_verbose > 0) {
        std::fprintf(stderr, "[samopen] inconsistent number of target sequences. Output the text header.\n");
    }
}

samfile_t* open_sam_read(samfile_t* fp, const char* fn, const char* fn_list) {
    fp->x.tamr = sam_open(fn);
    if (!fp->x.tamr) return nullptr;
    fp->header = sam_header_read(fp->x.tamr);
    if (fp->header->n_targets == 0) {
        if (fn_list) {
            bam_header_t* list = sam_header_read2(fn_list);
            if (!list) return nullptr;
            // The list's header takes over the SAM header's text.
            if (fp->header->l_text) {
                list->text = static_cast<char*>(std::malloc(fp->header->l_text + 1));
                std::memcpy(list->text, fp->header->text, fp->header->l_text + 1);
                list->l_text = list->n_text = fp->header->l_text;
            }
            bam_header_destroy(fp->header);
            fp->header = list;
            if (list->n_targets) return fp;
        }
        if (bam_verbose > 0) std::fprintf(stderr, "[samopen] no @SQ lines in the header.\n");
    } else if (bam_verbose > 1) {
        std::fprintf(stderr, "[samopen] SAM header is present: %d sequences.\n", fp->header->n_targets);
    }
    return fp;
}

samfile_t* open_bam_write(samfile_t* fp, const char* fn, const char* mode) {
    char bgzf_mode[3] = {'w', 0, 0};
    if (mode_has(mode, 'u')) {
        bgzf_mode[1] = '0';
    } else {
        for (const char* p = mode; *p; ++p)
            if (*p >= '0' && *p <= '9') {
                bgzf_mode[1] = *p;
                break;
            }
    }
    fp->x.bam = std::strcmp(fn, "-") == 0 ? bgzf_fdopen(STDOUT_FILENO, bgzf_mode) : bgzf_open(fn, bgzf_mode);
    if (!fp->x.bam) return nullptr;
    bam_header_write(fp->x.bam, fp->header);
    return fp;
}

}  // namespace

samfile_t* samopen(const char* fn, const char* mode, const void* aux) {
    auto* fp = static_cast<samfile_t*>(std::calloc(1, sizeof(samfile_t)));
    if (!fp) return nullptr;
    samfile_t* ok = nullptr;
    if (mode_has(mode, 'r')) {
        fp->type |= TYPE_READ;
        if (mode_has(mode, 'b')) {
            fp->type |= TYPE_BAM;
            fp->x.bam = std::strcmp(fn, "-") == 0 ? bgzf_fdopen(STDIN_FILENO, "r") : bgzf_open(fn, "r");
            if (fp->x.bam) {
                fp->header = bam_header_read(fp->x.bam);
                ok = fp;
            }
        } else {
            ok = open_sam_read(fp, fn, static_cast<const char*>(aux));
        }
    } else if (mode_has(mode, 'w')) {
        auto* h = static_cast<const bam_header_t*>(aux);
        fp->header = h ? bam_header_dup(h) : bam_header_init();
        if (mode_has(mode, 'b')) {
            fp->type |= TYPE_BAM;
            ok = open_bam_write(fp, fn, mode);
        } else {
            if (mode_has(mode, 'X')) fp->type |= TYPE_SAM_STR_FLAG;
            else if (mode_has(mode, 'x')) fp->type |= TYPE_SAM_HEX_FLAG;
            fp->x.tamw = text_out_open(fn);
            if (fp->x.tamw) {
                if (mode_has(mode, 'h')) write_sam_header(fp->x.tamw, fp->header);
                ok = fp;
            }
        }
    }
    if (!ok) {
        samclose(fp);
        return nullptr;
    }
    return fp;
}

int samclose(samfile_t* fp) {
    if (!fp) return 0;
    int status = 0;
    bam_header_destroy(fp->header);
    if (fp->type & TYPE_BAM) {
        if (fp->x.bam && bgzf_close(fp->x.bam) < 0) status = -1;
    } else if (fp->type & TYPE_READ) {
        sam_close(fp->x.tamr);
    } else if (fp->x.tamw) {
        if (text_out_close(fp->x.tamw) < 0) status = -1;
    }
    ks_free(&fp->line);
    std::free(fp);
    return status;
}

int samread(samfile_t* fp, bam1_t* b) {
    if (!fp || !(fp->type & TYPE_READ)) return -1;
    if (fp->type & TYPE_BAM) return bam_read1_bounded(fp->x.bam, b, fp->header ? fp->header->n_targets : INT32_MAX);
    return sam_read1(fp->x.tamr, fp->header, b);
}

int samwrite(samfile_t* fp, const bam1_t* b) {
    if (!fp || (fp->type & TYPE_READ)) return -1;
    if (fp->type & TYPE_BAM) return bam_write1(fp->x.bam, b);
    int of = fp->type & TYPE_SAM_HEX_FLAG ? 1 : fp->type & TYPE_SAM_STR_FLAG ? 2 : 0;
    fp->line.l = 0;
    if (bam_format1_append(&fp->line, fp->header, b, of) < 0) return -1;
    kputc('\n', &fp->line);
    // A failed write is remembered by the output and reported by samclose.
    text_out_write(fp->x.tamw, fp->line.s, fp->line.l);
    return static_cast<int>(fp->line.l);
}

char* samfaipath(const char* fn_ref) {
    if (!fn_ref) return nullptr;
    size_t l = std::strlen(fn_ref);
    auto* fn_list = static_cast<char*>(std::malloc(l + 5));
    std::memcpy(fn_list, fn_ref, l);
    std::memcpy(fn_list + l, ".fai", 5);
    if (access(fn_list, R_OK) == 0) return fn_list;
    if (access(fn_ref, R_OK) != 0) {
        std::fprintf(stderr, "[samfaipath] fail to read file %s.\n", fn_ref);
        return fn_list;
    }
    if (bam_verbose > 2) std::fprintf(stderr, "[samfaipath] build FASTA index...\n");
    if (fai_build(fn_ref) < 0) {
        std::fprintf(stderr, "[samfaipath] fail to build FASTA index.\n");
        std::free(fn_list);
        return nullptr;
    }
    return fn_list;
}

bam_header_t* bam_header_dup(const bam_header_t* h0) {
    bam_header_t* h = bam_header_init();
    h->n_targets = h0->n_targets;
    h->l_text = h0->l_text;
    h->n_text = h0->n_text;
    if (h0->text) {
        h->text = static_cast<char*>(std::malloc(h0->l_text + 1));
        std::memcpy(h->text, h0->text, h0->l_text);
        h->text[h0->l_text] = 0;
    }
    if (h0->n_targets) {
        h->target_name = static_cast<char**>(std::calloc(h0->n_targets, sizeof(char*)));
        h->target_len = static_cast<uint32_t*>(std::calloc(h0->n_targets, sizeof(uint32_t)));
        for (int i = 0; i < h0->n_targets; ++i) {
            h->target_name[i] = strdup(h0->target_name[i]);
            h->target_len[i] = h0->target_len[i];
        }
    }
    return h;
}
