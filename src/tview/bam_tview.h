// tview: a full-screen terminal viewer of an indexed, coordinate-sorted BAM
// file against its reference.  Row 0 is a coordinate ruler, row 1 the
// reference, row 2 a consensus called from the reads, and every read below
// on the row its level (the level pileup) gives it.  Keys scroll, jump to a
// region and switch the display and colour modes.
//
// Every redraw starts from scratch: the reference window is fetched from the
// FASTA index, the reads overlapping the window from the BAM index, and the
// level pileup is reset and fed those reads.  Curses is started through
// newterm, which reports an unusable terminal instead of ending the process;
// windows that do not fit the terminal are shrunk and their text clipped.
#pragma once

#include <cstdint>
#include <cstdio>

#include "bam/bam.h"
#include "call/bam2bcf.h"
#include "index/bam_index.h"
#include "io/bgzf.h"
#include "io/faidx.h"
#include "tview/bam_lpileup.h"

// Curses types, kept out of this header: <curses.h> defines macros such as
// clear() and move() that would collide with ordinary names.
struct _win_st;
struct screen;

struct tview_t {
    int mrow, mcol;  // screen height and width
    _win_st* wgoto;  // goto prompt, 3 x 50 at row 10, column 5 (shrunk to fit)
    _win_st* whelp;  // help, 29 x 40 at row 5, column 5 (shrunk to fit)
    bam_index_t* idx;
    bam_lplbuf_t* lplbuf;
    bam_header_t* header;
    bamFile fp;
    int curr_tid;  // reference shown
    int left_pos;  // 0-based position of the leftmost column
    faidx_t* fai;  // null without a FASTA
    bcf_callaux_t* bca;
    int ccol;       // next screen column to draw
    int last_pos;   // last reference position drawn
    int row_shift;  // vertical scroll, >= 0
    int base_for;   // 0 nucleotides, 1 colour-space colours
    int color_for;  // 0 mapping quality, 1 base quality, 2 nucleotide, 3 cs colour, 4 cs quality
    int is_dot;     // bases equal to the reference as "." / ","
    int l_ref;
    int ins;        // show insertion columns
    int no_skip;    // show reference skips as deletions
    int show_name;  // read names instead of bases
    char* ref;      // reference text of the window (malloc'd), or null
    screen* scr;    // the curses screen, null until started
};

// Display modes of tview_t::base_for and color_for.
enum { TV_BASE_NT = 0, TV_BASE_CS = 1 };
enum { TV_COLOR_MAPQ = 0, TV_COLOR_BASEQ = 1, TV_COLOR_NT = 2, TV_COLOR_CS = 3, TV_COLOR_CSQ = 4 };

// Opens the BAM file, its header and index, the FASTA index when `fn_fa` is
// given (a failure leaves the viewer without reference text) and the
// consensus caller.  Null after a message when the BAM file, its header or
// its index cannot be read.
tview_t* tv_open(const char* fn, const char* fn_fa);
// Starts curses on the given terminal streams, takes the screen size and
// sets up the windows and colours.  0, or -1 when the terminal cannot be used.
int tv_start_screen(tview_t* tv, FILE* out, FILE* in);
// tv_open, then tv_start_screen on standard output and input; null after a
// message on failure.
tview_t* tv_init(const char* fn, const char* fn_fa);
// Ends curses mode (when started) and releases everything.
void tv_destroy(tview_t* tv);

// Redraws the whole screen for reference `tid` from 0-based position `pos`.
void tv_draw_aln(tview_t* tv, int tid, int pos);
// Reads keys and acts on them until "q" or Escape (or the input ends).
void tv_loop(tview_t* tv);

// The bam_fetch callback: turns reference skips into deletions when asked,
// then pushes the record into the level pileup.  Returns 0.
int tv_fetch_func(const bam1_t* b, void* data);
// The level pileup's column callback: draws one position and its insertion
// columns.  Returns 0.
int tv_pl_func(uint32_t tid, uint32_t pos, int n, const bam_pileup1_t* pl, void* data);

// The quality band (colour pairs 1 to 4) of a quality value.
int tv_quality_band(int q);
