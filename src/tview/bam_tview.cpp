#include "tview/bam_tview.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bam/bam_aux.h"
#include "bam/bam_codec.h"
#include "tools/bam_color.h"

// The pseudo-functions of curses (clear, move, erase, ...) as real functions
// rather than macros.
#define NCURSES_NOMACROS
#include <curses.h>
#include <term.h>

namespace {

constexpr int cache_bytes = 8 * 1024 * 1024;
constexpr int consensus_min_baseQ = 13;
constexpr double consensus_theta = 0.83;

constexpr int ruler_row = 0, ref_row = 1, consensus_row = 2, first_read_row = 3;
constexpr int ruler_room = 10;  // a label needs more than 9 columns to the right edge

constexpr int goto_rows = 3, goto_cols = 50, goto_y = 10, goto_x = 5;
constexpr int goto_text_col = 8, goto_max_text = 40;
constexpr int help_rows = 29, help_cols = 40, help_y = 5, help_x = 5;

// Colour pairs: 1-4 quality bands, 5-9 bases A C G T other (and colours 0-4).
constexpr int pair_base_a = 5, pair_ins_star = 8;

constexpr int key_escape = 27, key_ctrl_h = 8, key_ctrl_l = 12, key_ctrl_w = 23, key_delete = 127;

int round_quality(double x) { return static_cast<int>(x + .499); }

// Characters that take exactly one cell; anything else is shown as '?'.
chtype cell(int c) { return c >= 0x20 && c < 0x7f ? static_cast<chtype>(c) : static_cast<chtype>('?'); }

WINDOW* win(_win_st* w) { return reinterpret_cast<WINDOW*>(w); }

// A window of the given size and place, moved up or left and shrunk as far
// as needed to lie inside an mrow x mcol screen; null when nothing fits.
WINDOW* fit_window(int rows, int cols, int y, int x, int mrow, int mcol) {
    if (y + rows > mrow) y = std::max(0, mrow - rows);
    if (x + cols > mcol) x = std::max(0, mcol - cols);
    rows = std::min(rows, mrow - y);
    cols = std::min(cols, mcol - x);
    if (rows < 1 || cols < 1) return nullptr;
    return newwin(rows, cols, y, x);
}

void delete_windows(tview_t* tv) {
    if (tv->wgoto) delwin(win(tv->wgoto));
    if (tv->whelp) delwin(win(tv->whelp));
    tv->wgoto = tv->whelp = nullptr;
}

void make_windows(tview_t* tv) {
    delete_windows(tv);
    tv->mrow = getmaxy(stdscr);
    tv->mcol = getmaxx(stdscr);
    WINDOW* g = fit_window(goto_rows, goto_cols, goto_y, goto_x, tv->mrow, tv->mcol);
    WINDOW* h = fit_window(help_rows, help_cols, help_y, help_x, tv->mrow, tv->mcol);
    if (g) keypad(g, TRUE);
    if (h) keypad(h, TRUE);
    tv->wgoto = reinterpret_cast<_win_st*>(g);
    tv->whelp = reinterpret_cast<_win_st*>(h);
}

bool has_reference(const tview_t* tv, int tid) { return tid >= 0 && tid < tv->header->n_targets && tid < tv->idx->n; }

// The reference character at position `pos` of the window, or 'N'.
int ref_char(const tview_t* tv, long pos) {
    const long off = pos - tv->left_pos;
    return tv->ref && off >= 0 && off < tv->l_ref ? static_cast<unsigned char>(tv->ref[off]) : 'N';
}

void draw_ruler(const tview_t* tv, long pos) {
    if (pos % 10 == 0 && tv->mcol - tv->ccol >= ruler_room) mvprintw(ruler_row, tv->ccol, "%-ld", pos + 1);
}

// A position without reads: its ruler label and reference character.
void draw_bare_column(tview_t* tv, long pos) {
    draw_ruler(tv, pos);
    mvaddch(ref_row, tv->ccol, cell(ref_char(tv, pos)));
    ++tv->ccol;
}

// The base at query position `i`, or 'N' outside the stored sequence.
int base_at(const bam1_t* b, long i) {
    if (i < 0 || i >= b->core.l_qseq) return 'N';
    return bam_nt16_rev_table[rec_seqi(rec_seq(b), static_cast<int>(i))];
}

// The name's character at `i`, or a blank past its end.
int name_at(const bam1_t* b, long i) {
    const char* name = rec_qname(b);
    const long len = static_cast<long>(strnlen(name, b->core.l_qname));
    return i >= 0 && i < len ? static_cast<unsigned char>(name[i]) : ' ';
}

int base_qual_at(const bam1_t* b, long i) { return i >= 0 && i < b->core.l_qseq ? rec_qual(b)[i] : 0; }

int base_pair(int base) { return pair_base_a + bam_nt16_nt4_table[bam_nt16_table[static_cast<uint8_t>(base)]]; }

// The colour at query position `i` in colour-space view, "."/"," when it
// agrees with the bases in dot view; 0 when the read has none there.
int colour_char(const tview_t* tv, const bam1_t* b, long i, bool is_rev) {
    if (i < 0 || i > INT_MAX) return 0;
    const char cs = bam_aux_getCSi(b, static_cast<int>(i));
    if (!cs) return 0;
    if (tv->is_dot && bam_aux_getCEi(b, static_cast<int>(i)) == '-') return is_rev ? ',' : '.';
    return static_cast<unsigned char>(cs);
}

// The character of entry `p` in column `j` (0 the position itself, 1 and
// up the insertion columns after it), before the strand's case.
int read_char(const tview_t* tv, const bam_pileup1_t* p, int j, int rb) {
    const bam1_t* b = p->b;
    const bool is_rev = rec_is_reverse(b);
    const long i = static_cast<long>(p->qpos) + j;
    if (j == 0 && p->is_del) return p->is_refskip ? (is_rev ? '<' : '>') : '*';
    if (j > 0 && p->indel < j) return '*';
    if (tv->base_for == TV_BASE_CS)
        if (int c = colour_char(tv, b, i, is_rev)) return c;
    if (tv->show_name) return name_at(b, i);
    const int c = base_at(b, i);
    if (j == 0 && tv->is_dot && std::toupper(c) == std::toupper(rb)) return is_rev ? ',' : '.';
    return c;
}

// The colour pair of entry `p`, always taken at its own query position.
int read_pair(const tview_t* tv, const bam_pileup1_t* p) {
    const bam1_t* b = p->b;
    const long q = p->qpos;
    switch (tv->color_for) {
    case TV_COLOR_BASEQ: return tv_quality_band(base_qual_at(b, q));
    case TV_COLOR_NT: return base_pair(base_at(b, q));
    case TV_COLOR_CS: {
        const char cs = bam_aux_getCSi(b, p->qpos);
        return cs >= '0' && cs <= '4' ? pair_base_a + (cs - '0') : base_pair(base_at(b, q));
    }
    case TV_COLOR_CSQ: {
        const char cq = bam_aux_getCQi(b, p->qpos);
        return tv_quality_band(cq ? static_cast<unsigned char>(cq) : base_qual_at(b, q));
    }
    default: return tv_quality_band(b->core.qual);
    }
}

chtype read_attr(const bam1_t* b) {
    const uint16_t flag = b->core.flag;
    const bool is_orphan = (flag & BAM_FPAIRED) && !(flag & BAM_FPROPER_PAIR);
    return is_orphan || (flag & BAM_FSECONDARY) ? A_UNDERLINE : A_NORMAL;
}

void draw_read(const tview_t* tv, const bam_pileup1_t* p, int j, int rb) {
    const long row = static_cast<long>(p->level) + 2 - tv->row_shift;
    if (row < first_read_row || row >= tv->mrow) return;
    int c = read_char(tv, p, j, rb);
    c = rec_is_reverse(p->b) ? std::tolower(c) : std::toupper(c);
    mvaddch(static_cast<int>(row), tv->ccol, cell(c) | read_attr(p->b) | COLOR_PAIR(read_pair(tv, p)));
}

// The consensus of one column against reference character `rb`: the one or
// two alleles with the largest quality sums, called from their genotype
// likelihoods, drawn underlined in the band of the call's quality.
void draw_consensus(tview_t* tv, int n, const bam_pileup1_t* pl, int rb) {
    bcf_callret1_t r;
    bcf_call_glfgen(n, pl, bam_nt16_table[static_cast<uint8_t>(rb)], tv->bca, &r);
    int order[4] = {0, 1, 2, 3};
    std::sort(order, order + 4, [&r](int x, int y) { return r.qsum[x] != r.qsum[y] ? r.qsum[x] > r.qsum[y] : x > y; });
    const int a1 = order[0], a2 = order[1];
    const int ref_upper = std::toupper(rb);
    float d = r.p[a1 * 5 + a1], e = r.p[a1 * 5 + a2] + 30, f = r.p[a2 * 5 + a2];
    if ("ACGT"[a1] != ref_upper) d += 33;
    if ("ACGT"[a2] != ref_upper) f += 33;
    int set, qual;
    if (d < e && d < f) {
        set = 1 << a1;
        qual = round_quality(std::min(e, f) - d);
    } else if (f < e && f < d) {
        set = 1 << a2;
        qual = round_quality(std::min(d, e) - f);
    } else {
        // Ties land here too and may give a negative quality: it is shown in
        // the lowest band.
        set = 1 << a1 | 1 << a2;
        qual = round_quality(std::min(d, f) - e);
    }
    int c = ",ACMGRSVTWYHKDBN"[set];
    if (c == ref_upper) c = '.';
    mvaddch(consensus_row, tv->ccol, cell(c) | A_UNDERLINE | COLOR_PAIR(tv_quality_band(qual)));
}

// Whole reference skips become deletions (CIGAR code 3 to 2), in place.
void skips_to_deletions(bam1_t* b) {
    uint8_t* cigar = rec_cigar(b);
    for (int k = 0; k < b->core.n_cigar; ++k) {
        const uint32_t w = cigar_get(cigar, k);
        if (bam_cigar_op(w) == BAM_CREF_SKIP) cigar_set(cigar, k, bam_cigar_oplen(w) << BAM_CIGAR_SHIFT | BAM_CDEL);
    }
}

// The goto prompt's text row: blank, then the text.
void show_goto_text(WINDOW* w, const std::string& text) {
    const int width = getmaxx(w);
    for (int x = goto_text_col; x < goto_text_col + goto_max_text && x < width - 1; ++x) mvwaddch(w, 1, x, ' ');
    if (width - 1 > goto_text_col) mvwaddnstr(w, 1, goto_text_col, text.c_str(), width - 1 - goto_text_col);
}

void draw_border(WINDOW* w) { wborder(w, '|', '|', '-', '-', '+', '+', '+', '+'); }

// Runs the goto prompt; true with the new reference and position when the
// text named one, false when the prompt was left.
bool tv_win_goto(tview_t* tv, int* tid, int* pos) {
    WINDOW* w = win(tv->wgoto);
    if (!w) return false;
    werase(w);
    draw_border(w);
    mvwaddnstr(w, 1, 2, "Goto: ", std::max(0, getmaxx(w) - 3));
    std::string text;
    for (;;) {
        const int c = wgetch(w);
        if (c == ERR || c == key_escape) return false;
        if (c == KEY_BACKSPACE || c == key_ctrl_h || c == key_delete) {
            if (!text.empty()) text.pop_back();
        } else if (c == KEY_ENTER || c == '\n' || c == '\r') {
            if (text[0] == '=') {
                const long long n = std::strtoll(text.c_str() + 1, nullptr, 10);
                if (n - 1 > 0) {
                    *tid = tv->curr_tid;
                    *pos = static_cast<int>(std::min<long long>(n - 1, bam_region_max));
                    return true;
                }
            } else if (!text.empty()) {
                int t, beg, end;
                // A rejected text leaves the prompt open without a word: keep
                // the region parser's message off the screen.
                const int verbose = bam_verbose;
                bam_verbose = 0;
                bam_parse_region(tv->header, text.c_str(), &t, &beg, &end);
                bam_verbose = verbose;
                if (t >= 0) {
                    *tid = t;
                    *pos = beg;
                    return true;
                }
            }
        } else if (c >= 0 && c < 0x80 && std::isgraph(c)) {
            if (static_cast<int>(text.size()) < goto_max_text) text += static_cast<char>(c);
        } else if (c == key_ctrl_w) {
            text.clear();
        }
        show_goto_text(w, text);
    }
}

const struct {
    int row;
    const char* text;
} help_lines[] = {
    {1, "        -=-    Help    -=- "},          {3, "?          This window"},
    {4, "Arrows     Small scroll movement"},     {5, "h,j,k,l    Small scroll movement"},
    {6, "H,J,K,L    Large scroll movement"},     {7, "ctrl-H     Scroll 1k left"},
    {8, "ctrl-L     Scroll 1k right"},           {9, "space      Scroll one screen"},
    {10, "backspace  Scroll back one screen"},   {11, "g          Go to specific location"},
    {12, "m          Color for mapping qual"},   {13, "n          Color for nucleotide"},
    {14, "b          Color for base quality"},   {15, "c          Color for cs color"},
    {16, "z          Color for cs qual"},        {17, ".          Toggle on/off dot view"},
    {18, "s          Toggle on/off ref skip"},   {19, "r          Toggle on/off rd name"},
    {20, "N          Turn on nt view"},          {21, "C          Turn on cs view"},
    {22, "i          Toggle on/off ins"},        {23, "q          Exit"},
    {25, "Underline:      Secondary or orphan"}, {26, "Blue:    0-9    Green: 10-19"},
    {27, "Yellow: 20-29   White: >=30"},
};

// Shows the help until a key is pressed; lines that do not fit a small
// terminal are clipped.
void tv_win_help(tview_t* tv) {
    WINDOW* w = win(tv->whelp);
    if (!w) {
        getch();
        return;
    }
    werase(w);
    draw_border(w);
    const int rows = getmaxy(w), cols = getmaxx(w);
    for (const auto& line : help_lines)
        if (line.row < rows - 1 && cols > 3) mvwaddnstr(w, line.row, 2, line.text, cols - 3);
    wrefresh(w);
    wgetch(w);
}

}  // namespace

int tv_quality_band(int q) { return std::clamp(q / 10 + 1, 1, 4); }

tview_t* tv_open(const char* fn, const char* fn_fa) {
    auto* tv = static_cast<tview_t*>(std::calloc(1, sizeof(tview_t)));
    if (!tv) return nullptr;
    tv->is_dot = 1;
    tv->ins = 1;
    tv->fp = bgzf_open(fn, "r");
    if (!tv->fp) {
        std::fprintf(stderr, "[tv_init] fail to open file %s\n", fn);
        tv_destroy(tv);
        return nullptr;
    }
    bgzf_set_cache_size(tv->fp, cache_bytes);
    tv->header = bam_header_read(tv->fp);
    if (!tv->header) {
        std::fprintf(stderr, "[tv_init] fail to read the BAM header of file %s\n", fn);
        tv_destroy(tv);
        return nullptr;
    }
    tv->idx = bam_index_load(fn);  // reports its own failure
    if (!tv->idx) {
        tv_destroy(tv);
        return nullptr;
    }
    tv->lplbuf = bam_lplbuf_init(tv_pl_func, tv);
    if (fn_fa) tv->fai = fai_load(fn_fa);
    tv->bca = bcf_call_init(consensus_theta, consensus_min_baseQ);
    if (!tv->lplbuf || !tv->bca) {
        std::fprintf(stderr, "[tv_init] out of memory\n");
        tv_destroy(tv);
        return nullptr;
    }
    return tv;
}

int tv_start_screen(tview_t* tv, FILE* out, FILE* in) {
    // Look the terminal type up first: newterm does not release what it has
    // set up when the type is unknown.
    int err = 0;
    if (setupterm(nullptr, fileno(out), &err) != OK) return -1;
    del_curterm(cur_term);
    SCREEN* s = newterm(nullptr, out, in);
    if (!s) return -1;
    tv->scr = reinterpret_cast<screen*>(s);
    set_term(s);
    keypad(stdscr, TRUE);
    clear();
    noecho();
    cbreak();
    make_windows(tv);
    if (has_colors()) {
        start_color();
        const short fg[] = {COLOR_BLUE, COLOR_GREEN,  COLOR_YELLOW, COLOR_WHITE, COLOR_GREEN,
                            COLOR_CYAN, COLOR_YELLOW, COLOR_RED,    COLOR_BLUE};
        for (short i = 0; i < 9; ++i) init_pair(static_cast<short>(i + 1), fg[i], COLOR_BLACK);
    }
    return 0;
}

tview_t* tv_init(const char* fn, const char* fn_fa) {
    tview_t* tv = tv_open(fn, fn_fa);
    if (!tv) return nullptr;
    if (tv_start_screen(tv, stdout, stdin) < 0) {
        std::fprintf(stderr, "[tv_init] fail to start the terminal screen.\n");
        tv_destroy(tv);
        return nullptr;
    }
    return tv;
}

void tv_destroy(tview_t* tv) {
    if (!tv) return;
    if (tv->scr) {
        delete_windows(tv);
        endwin();
        delscreen(reinterpret_cast<SCREEN*>(tv->scr));
    }
    bam_lplbuf_destroy(tv->lplbuf);
    bcf_call_destroy(tv->bca);
    if (tv->idx) bam_index_destroy(tv->idx);
    if (tv->fai) fai_destroy(tv->fai);
    std::free(tv->ref);
    if (tv->header) bam_header_destroy(tv->header);
    if (tv->fp) bgzf_close(tv->fp);
    std::free(tv);
}

void tv_draw_aln(tview_t* tv, int tid, int pos) {
    clear();
    attrset(A_NORMAL);
    tv->curr_tid = tid;
    tv->left_pos = pos;
    tv->ccol = 0;
    tv->last_pos = pos - 1;
    if (tv->fai) {
        std::free(tv->ref);
        tv->ref = nullptr;
        tv->l_ref = 0;
        if (has_reference(tv, tid)) {
            const std::string region = std::string(tv->header->target_name[tid]) + ":" + std::to_string(tv->left_pos + 1) + "-" +
                                       std::to_string(static_cast<long>(tv->left_pos) + tv->mcol);
            int len = 0;
            tv->ref = fai_fetch(tv->fai, region.c_str(), &len);
            tv->l_ref = tv->ref ? len : 0;
        }
    }
    bam_lplbuf_reset(tv->lplbuf);
    if (has_reference(tv, tid)) {
        // A damaged stretch of the file ends the fetch early; what was read is shown.
        bam_fetch(tv->fp, tv->idx, tid, tv->left_pos, tv->left_pos + tv->mcol, tv, tv_fetch_func);
        bam_lplbuf_push_window(nullptr, tv->lplbuf, tv->left_pos, tv->left_pos + tv->mcol);
    }
    while (tv->ccol < tv->mcol) draw_bare_column(tv, ++tv->last_pos);
    refresh();
}

int tv_fetch_func(const bam1_t* b, void* data) {
    auto* tv = static_cast<tview_t*>(data);
    // bam_fetch lends its own record, which it rereads for the next one.
    if (tv->no_skip) skips_to_deletions(const_cast<bam1_t*>(b));
    // Only the window's columns are drawn: the level pileup may pass over
    // the others (long reference skips reach far beyond the window).
    bam_lplbuf_push_window(b, tv->lplbuf, tv->left_pos, tv->left_pos + tv->mcol);
    return 0;
}

int tv_pl_func(uint32_t, uint32_t upos, int n, const bam_pileup1_t* pl, void* data) {
    auto* tv = static_cast<tview_t*>(data);
    const long pos = upos;
    if (pos < tv->left_pos || tv->ccol > tv->mcol) return 0;
    const int rb = ref_char(tv, pos);
    // Positions without reads before this one; columns past the right edge
    // are not drawn, so the fill stops there.
    while (tv->last_pos + 1 < pos && tv->ccol < tv->mcol) draw_bare_column(tv, ++tv->last_pos);
    draw_ruler(tv, pos);
    draw_consensus(tv, n, pl, rb);
    int max_ins = 0;
    if (tv->ins)
        for (int i = 0; i < n; ++i) max_ins = std::max(max_ins, pl[i].indel);
    for (int j = 0; j <= max_ins; ++j) {
        for (int i = 0; i < n; ++i) draw_read(tv, &pl[i], j, rb);
        if (j == 0 && rb != '*') mvaddch(ref_row, tv->ccol, cell(rb));
        else mvaddch(ref_row, tv->ccol, '*' | COLOR_PAIR(pair_ins_star));
        ++tv->ccol;
    }
    tv->last_pos = static_cast<int>(pos);
    return 0;
}

void tv_loop(tview_t* tv) {
    for (;;) {
        const int c = getch();
        int tid = tv->curr_tid;
        long pos = tv->left_pos;
        switch (c) {
        case ERR:  // the input has ended
        case 'q':
        case key_escape: return;
        case 'h':
        case KEY_LEFT: --pos; break;
        case 'l':
        case KEY_RIGHT: ++pos; break;
        case 'H':
        case KEY_SLEFT: pos -= 20; break;
        case 'L':
        case KEY_SRIGHT: pos += 20; break;
        case key_ctrl_h: pos -= 1000; break;
        case key_ctrl_l: pos += 1000; break;
        case ' ': pos += tv->mcol; break;
        case KEY_BACKSPACE:
        case key_delete: pos -= tv->mcol; break;
        case 'j':
        case KEY_UP: --tv->row_shift; break;
        case 'k':
        case KEY_DOWN: ++tv->row_shift; break;
        case 'g':
        case '/': {
            int t = tid, p = tv->left_pos;
            if (tv_win_goto(tv, &t, &p)) tid = t, pos = p;
            break;
        }
        case '?': tv_win_help(tv); break;
        case 'm': tv->color_for = TV_COLOR_MAPQ; break;
        case 'b': tv->color_for = TV_COLOR_BASEQ; break;
        case 'n': tv->color_for = TV_COLOR_NT; break;
        case 'c': tv->color_for = TV_COLOR_CS; break;
        case 'z': tv->color_for = TV_COLOR_CSQ; break;
        case 'N': tv->base_for = TV_BASE_NT; break;
        case 'C': tv->base_for = TV_BASE_CS; break;
        case '.': tv->is_dot = !tv->is_dot; break;
        case 'i': tv->ins = !tv->ins; break;
        case 's': tv->no_skip = !tv->no_skip; break;
        case 'r': tv->show_name = !tv->show_name; break;
        case KEY_RESIZE: break;  // the size is taken below
        default: continue;       // unbound: no redraw
        }
        // The terminal may have changed size while a window had the keys.
        if (getmaxy(stdscr) != tv->mrow || getmaxx(stdscr) != tv->mcol) make_windows(tv);
        pos = std::clamp<long>(pos, 0, bam_region_max);
        tv->row_shift = std::max(tv->row_shift, 0);
        tv_draw_aln(tv, tid, static_cast<int>(pos));
    }
}
