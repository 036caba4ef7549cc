// Level pileup: gives every read a display row (its level, from 1) that
// stays the same for all pileup columns the read covers, on top of the
// callback pileup.
//
// A row freed at a read's last column becomes reusable two column callbacks
// later, so two reads on one row are at least one covered column apart; a
// new read takes the lowest reusable row, else a row just above the highest
// one in use.  Rows above the highest level of a column are forgotten after
// it, so numbering never skips upwards.
//
// Levels are carried from column to column by position in the pileup's
// entry list; entries that break the engine's ordering (a continuing read
// with no level carried over) get a fresh row instead of reading past the
// carried levels.
#pragma once

#include <cstdint>

#include "pileup/bam_pileup.h"

// One free row and its gap counter: columns still to pass before reuse.
struct freenode_t {
    uint32_t level : 28, cnt : 4;
    freenode_t* next;
};

// Recycled free-list nodes.
struct freenode_pool_t {
    int cnt;  // nodes handed out and not returned
    int n;    // nodes held
    int max;  // capacity of buf; starts at 256 and doubles
    freenode_t** buf;
};

struct bam_lplbuf_t {
    int max;        // capacity of cur_level and pre_level
    int n_cur;      // reads of the current column
    int n_pre;      // levels carried over from the previous column
    int max_level;  // highest level handed out in the current stretch
    int* cur_level;
    int* pre_level;  // levels of the continuing reads, in pileup order
    freenode_pool_t* mp;
    freenode_t** aux;  // scratch for sorting the free list
    freenode_t* head;
    freenode_t* tail;  // empty sentinel, always present: empty list when head == tail
    int n_nodes;       // free rows in the list, sentinel excluded
    int m_aux;         // capacity of aux
    bam_pileup_f func;
    void* user_data;
    bam_plbuf_t* plbuf;  // calls tview_func for every column
};

// The level pileup calling `func` with `data` for every column, after the
// entries' `level` fields are set.  Null when memory runs out.
bam_lplbuf_t* bam_lplbuf_init(bam_pileup_f func, void* data);
// Pushes one record in coordinate order; null flushes the remaining columns.
// 0, or the negative result of the pileup's push.
int bam_lplbuf_push(const bam1_t* b, bam_lplbuf_t* tv);
// bam_lplbuf_push for a caller that looks only at the columns from `beg` to
// before `end` of one reference (a viewer's window): the columns before
// `beg` in which no read starts or ends are passed over without calling
// back (their gap countdown still applies, so levels come out the same),
// and no column from `end` on is reported; such columns stay buffered until
// bam_lplbuf_reset.  A long reference skip of a read overlapping the window
// thus costs nothing.
int bam_lplbuf_push_window(const bam1_t* b, bam_lplbuf_t* tv, int beg, int end);
// Forgets all reads and rows: the next column starts again from level 1.
void bam_lplbuf_reset(bam_lplbuf_t* tv);
void bam_lplbuf_destroy(bam_lplbuf_t* tv);

// The column callback given to the pileup (`data` is the bam_lplbuf_t):
// sets every entry's level, then calls the caller's function.  Returns 0.
int tview_func(uint32_t tid, uint32_t pos, int n, const bam_pileup1_t* pl, void* data);
