// tview in a real terminal: the viewer runs in a tmux pane (private server
// per test, 100x40, 80x24 or smaller), keys go in through send-keys and the
// screen comes back through capture-pane, with -e for the colours.  Screens
// are worked out by hand from the crafted reads below.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/test_util.h"

using namespace test_util;

namespace {

const std::string chr1 =
    "GTTGTCTATGCCAGGGCGACGACATTGCGGGTAGTTCGAGAAGCTCGGGTTACTATTATATATACCTGAATGTACGAAACATAAATCGCCACCAACGTTA"
    "TTTTGAAACTGTACATAGATTCTCCCTTCTCGTCTCTATGGAAGTCTCTCTAAGATATAGCAGTGTACCTCAACGTCAGATACCCGACTTGCTCACAAGG";
const std::string chr2 = "ACACACGCTACATAACCCCTAGATTGATCGTGTAGCACTTACTGATGACTCGCTATATTA";

// Reads (0-based starts): r01-r05 overlap with insertions of 2 and 3 bases
// after position 8 and a deletion; r02 has a base of quality 10 (ignored by
// the consensus) off the reference; r06/r07 are spliced; r08 is an orphan
// (underlined), r10 secondary (never drawn); r11-r13 share a SNP at 64; r14
// carries colour-space fields with one colour error at its position 4.
struct viewer_files {
    scratch_dir dir;
    std::string bam = dir.file("a.bam"), fa = dir.file("ref.fa");
    viewer_files() {
        std::string sam = "@SQ\tSN:chr1\tLN:200\n@SQ\tSN:chr2\tLN:60\n";
        auto add = [&](const char* name, int flag, const char* ref, int pos, int mapq, const char* cigar, const std::string& seq,
                       std::string qual = "", const std::string& tags = "") {
            if (qual.empty()) qual.assign(seq.size(), 'I');
            sam += std::string(name) + "\t" + std::to_string(flag) + "\t" + ref + "\t" + std::to_string(pos + 1) + "\t" +
                   std::to_string(mapq) + "\t" + cigar + "\t*\t0\t0\t" + seq + "\t" + qual + (tags.empty() ? "" : "\t") + tags +
                   "\n";
        };
        add("r01", 0, "chr1", 0, 60, "20M", chr1.substr(0, 20));
        add("r02", 16, "chr1", 2, 60, "20M", "TGTCTCTGCCAGGGCGACGA", "IIIII+IIIIIIIIIIIIII");
        add("r03", 0, "chr1", 4, 60, "5M2I10M", chr1.substr(4, 5) + "GG" + chr1.substr(9, 10));
        add("r04", 0, "chr1", 5, 60, "4M3I10M", chr1.substr(5, 4) + "TTT" + chr1.substr(9, 10));
        add("r05", 0, "chr1", 11, 60, "3M4D5M", chr1.substr(11, 3) + chr1.substr(18, 5));
        add("r06", 0, "chr1", 29, 60, "3M10N3M", chr1.substr(29, 3) + chr1.substr(42, 3));
        add("r07", 16, "chr1", 29, 60, "3M10N3M", chr1.substr(29, 3) + chr1.substr(42, 3));
        add("r08", 1, "chr1", 49, 5, "10M", chr1.substr(49, 10));
        add("r09", 0, "chr1", 49, 25, "10M", chr1.substr(49, 10), "##++55??II");
        add("r10", 256, "chr1", 49, 60, "10M", chr1.substr(49, 10));
        for (const char* n : {"r11", "r12", "r13"}) add(n, 0, "chr1", 59, 60, "10M", "ATATAGCTGA");
        add("r14", 0, "chr1", 70, 15, "10M", "TGTACGAAAC", "", "CS:Z:T0113232001\tCQ:Z:??????????");
        add("r15", 16, "chr1", 150, 60, "20M", chr1.substr(150, 20));
        add("r16", 0, "chr2", 9, 60, "15M", chr2.substr(9, 15));
        write_file(dir.file("a.sam"), sam);
        EXPECT_EQ(run_alnkit({"view", "-bS", "-o", bam, dir.file("a.sam")}).status, 0);
        EXPECT_EQ(run_alnkit({"index", bam}).status, 0);
        write_file(fa, ">chr1\n" + chr1.substr(0, 60) + "\n" + chr1.substr(60, 60) + "\n" + chr1.substr(120, 60) + "\n" +
                           chr1.substr(180) + "\n>chr2\n" + chr2 + "\n");
        EXPECT_EQ(run_alnkit({"faidx", fa}).status, 0);
    }
};

using screen_t = std::vector<std::string>;

// The top rows of a screen above blank rows, as capture-pane prints it.
std::string join(const screen_t& top, int rows) {
    std::string s;
    for (int r = 0; r < rows; ++r) s += (r < static_cast<int>(top.size()) ? top[r] : "") + "\n";
    return s;
}

// One viewer in a detached tmux session on its own server socket; the
// server and its socket go with the object.  The shell line after the
// viewer reports its exit status.
class tmux_pane {
public:
    tmux_pane(const viewer_files& f, int cols, int rows, const std::string& args = "")
        : socket_("alnkit-tview-" + std::to_string(getpid()) + "-" + std::to_string(serial_++)), rows_(rows) {
        const char* path = std::getenv("PATH");
        for (const std::string& d : split(path ? path : "/usr/bin", ':'))
            if (tmux_.empty() && access((d + "/tmux").c_str(), X_OK) == 0) tmux_ = d + "/tmux";
        const std::string conf = f.dir.file(socket_ + ".conf");
        write_file(conf, "set -g status off\nset -g remain-on-exit on\nset -g default-terminal tmux-256color\n");
        const std::string cmd = "ESCDELAY=25 " + std::string(ALNKIT_PATH) + " tview " +
                                (args.empty() ? f.bam + " " + f.fa : args) + "; echo \"[exit $?]\"";
        started_ = !tmux_.empty() && tmux({"-f", conf, "new-session", "-d", "-s", "main", "-x", std::to_string(cols), "-y",
                                           std::to_string(rows), cmd})
                                             .status == 0;
    }
    ~tmux_pane() {
        if (tmux_.empty()) return;
        std::string path = tmux({"display-message", "-p", "#{socket_path}"}).out;
        tmux({"kill-server"});
        if (!path.empty()) unlink(path.substr(0, path.size() - 1).c_str());  // the server leaves it behind
    }
    bool started() const { return started_; }
    run_result tmux(std::vector<std::string> args) const {
        args.insert(args.begin(), {tmux_, "-L", socket_});
        return run(args);
    }
    void keys(const std::vector<std::string>& keys) const {
        for (const auto& k : keys) tmux({"send-keys", "-t", "main", k});
    }
    void resize(int cols, int rows) {
        tmux({"resize-window", "-t", "main", "-x", std::to_string(cols), "-y", std::to_string(rows)});
        rows_ = rows;
    }
    // Polls capture-pane (with extra options: -e for colours, -S - for the
    // lines scrolled off too) until `done` holds or 10 seconds pass; the
    // last capture.
    std::string wait_until(const std::function<bool(const std::string&)>& done,
                           const std::vector<std::string>& options = {}) const {
        std::vector<std::string> args = {"capture-pane", "-p", "-t", "main"};
        args.insert(args.end(), options.begin(), options.end());
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        std::string s = tmux(args).out;
        for (; !done(s) && std::chrono::steady_clock::now() < deadline; s = tmux(args).out)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return s;
    }
    // Expects the screen to come to show `top` above blank rows.
    void expect(const screen_t& top) const {
        const std::string want = join(top, rows_);
        EXPECT_EQ(wait_until([&](const std::string& s) { return s == want; }), want);
    }

private:
    static inline int serial_ = 0;
    std::string tmux_, socket_;
    int rows_;
    bool started_ = false;
};

// Reference position 0 at 100x40: insertion columns 9-11, then position p at column p + 3.
const screen_t initial = {
    "1            11        21        31        41        51        61        71        81",
    "GTTGTCTAT***GCCAGGGCGACGACATTGCGGGTAGTTCGAGAAGCTCGGGTTACTATTATATATACCTGAATGTACGAAACATAAATCGCCACCAACG",
    ".........   ..............      ...K...K.K.KK...    ...............G.... ..........",
    ".........***...........         ...>>>>>>>>>>...              .....G....",
    "  ,,,,,c,***,,,,,,,,,,,,,                           ..........           ..........",
    "    .....GG*..........          ,,,<<<<<<<<<<,,,              .....G....",
    "     ....TTT..........                              ..........",
    "              ...****.....                                    .....G....",
};

// Bases instead of dots: upper case forward, lower case reverse.
const screen_t dot_off = {initial[0],
                          initial[1],
                          initial[2],
                          "GTTGTCTAT***GCCAGGGCGAC         GGT>>>>>>>>>>GCT              ATATAGCTGA",
                          "  tgtctct***gccagggcgacga                           TTACTATTAT           TGTACGAAAC",
                          "    TCTATGG*GCCAGGGCGA          ggt<<<<<<<<<<gct              ATATAGCTGA",
                          "     CTATTTTGCCAGGGCGA                              TTACTATTAT",
                          "              CAG****ACGAC                                    ATATAGCTGA"};

// `box` drawn over `base` with its corner at (y, x), trailing blanks dropped
// as capture-pane does; an empty box only cuts the rows to `x` columns.
screen_t overlay(screen_t base, const screen_t& box, size_t y, size_t x) {
    if (box.empty())
        for (auto& row : base) row = row.substr(0, x);
    for (size_t r = 0; r < box.size(); ++r) {
        if (base.size() <= y + r) base.resize(y + r + 1);
        std::string& row = base[y + r];
        row.resize(std::max(row.size(), x + box[r].size()), ' ');
        row.replace(x, box[r].size(), box[r]);
    }
    for (auto& row : base) row.erase(row.find_last_not_of(' ') + 1);
    return base;
}

// `top` with its first rows replaced by `head`.
screen_t with_head(screen_t top, const screen_t& head) {
    if (top.size() < head.size()) top.resize(head.size());
    std::copy(head.begin(), head.end(), top.begin());
    return top;
}

std::string box_edge(size_t cols) {
    std::string edge(cols, '-');
    edge.front() = edge.back() = '+';
    return edge;
}

screen_t goto_box(const std::string& text, size_t cols = 50) {
    const std::string edge = box_edge(cols);
    return {edge, "| Goto: " + text + std::string(cols - 9 - text.size(), ' ') + "|", edge};
}

// The help window, its lines clipped to `cols` - 3 and its rows to `rows`.
screen_t help_box(size_t rows, size_t cols) {
    // clang-format off
    const char* lines[] = {"        -=-    Help    -=- ", "", "?          This window", "Arrows     Small scroll movement",
        "h,j,k,l    Small scroll movement", "H,J,K,L    Large scroll movement", "ctrl-H     Scroll 1k left",
        "ctrl-L     Scroll 1k right", "space      Scroll one screen", "backspace  Scroll back one screen",
        "g          Go to specific location", "m          Color for mapping qual", "n          Color for nucleotide",
        "b          Color for base quality", "c          Color for cs color", "z          Color for cs qual",
        ".          Toggle on/off dot view", "s          Toggle on/off ref skip", "r          Toggle on/off rd name",
        "N          Turn on nt view", "C          Turn on cs view", "i          Toggle on/off ins", "q          Exit", "",
        "Underline:      Secondary or orphan", "Blue:    0-9    Green: 10-19", "Yellow: 20-29   White: >=30"};
    // clang-format on
    const std::string edge = box_edge(cols);
    screen_t box = {edge};
    for (size_t r = 1; r + 1 < rows; ++r) {
        std::string text = r - 1 < std::size(lines) ? std::string(lines[r - 1]).substr(0, cols - 3) : "";
        box.push_back("| " + text + std::string(cols - 3 - text.size(), ' ') + "|");
    }
    box.push_back(edge);
    return box;
}

// Ruler and reference rows of a window without insertion columns, then `reads`.
screen_t bare_window(const std::string& seq, size_t left, size_t cols, const screen_t& reads = {}) {
    std::string ruler(cols, ' '), ref;
    for (size_t c = 0; c < cols; ++c) {
        const std::string label = std::to_string(left + c + 1);
        if ((left + c) % 10 == 0 && cols - c > 9) ruler.replace(c, label.size(), label);
        ref += left + c < seq.size() ? seq[left + c] : 'N';
    }
    screen_t top = {ruler.substr(0, cols), ref};
    top.insert(top.end(), reads.begin(), reads.end());
    return overlay(top, {}, 0, cols);
}

struct key_case {
    const char* name;
    std::vector<std::string> keys;
    screen_t screen;
};

void PrintTo(const key_case& c, std::ostream* os) { *os << c.name; }

const screen_t shifted = {initial[0], initial[1], initial[2], initial[4], initial[5], initial[6], initial[7]};
const screen_t chr2_reads = {std::string(15, '.'), std::string(15, '.')};
const screen_t pos100_reads = {std::string(50, ' ') + std::string(20, '.'), std::string(50, ' ') + std::string(20, ',')};
// Window 20: r01, r03, r04 are not fetched, so every level is new.
const screen_t pos20_reads = {"...      ...K...K.K.KK...    ...............G.... ..........",
                              ",,       ...>>>>>>>>>>...              .....G....",
                              "...                          ..........           ..........",
                              "         ,,,<<<<<<<<<<,,,              .....G....",
                              "                             ..........",
                              "                                       .....G...."};
// Window 50: r08 and r09 start left of it and keep rows 1 and 2.
const screen_t pos50_reads = {"..............G.... ..........",
                              ".........           ..........",
                              ".........",
                              "         .....G....",
                              "         .....G....",
                              "         .....G...."};

// clang-format off
const key_case key_cases[] = {
    {"space_scrolls_one_screen", {"Space"}, bare_window(chr1, 100, 100, pos100_reads)},
    {"backspace_scrolls_back", {"Space", "BSpace"}, initial},
    {"h_and_left_arrow_step_back", {"Space", "h", "Left"}, bare_window(chr1, 98, 100, overlay({}, pos100_reads, 0, 2))},
    {"L_jumps_20", {"L"}, bare_window(chr1, 20, 100, pos20_reads)},
    {"shifted_right_arrow_jumps_20", {"S-Right"}, bare_window(chr1, 20, 100, pos20_reads)},
    {"H_from_5_lands_on_0", {"l", "Right", "l", "l", "l", "H"}, initial},
    {"ctrl_l_past_the_reads_shows_ruler_and_N", {"C-l"}, bare_window(chr1, 1000, 100)},
    {"ctrl_h_back", {"C-l", "C-h"}, initial},
    {"unbound_keys_ignored", {"x", "J", "K", "l", "h"}, initial},
    {"k_scrolls_rows_up", {"k"}, shifted},
    {"row_shift_never_below_0", {"j", "Up", "Down"}, shifted},
    {"goto_other_reference", {"g", "chr2:10", "Enter"}, bare_window(chr2, 9, 100, chr2_reads)},
    {"slash_goto_with_backspace_and_ctrl_w", {"/", "zzz", "C-w", "chr2:1x", "BSpace", "0", "Enter"}, bare_window(chr2, 9, 100, chr2_reads)},
    {"goto_position_on_this_reference", {"g", "=51", "Enter"}, bare_window(chr1, 50, 100, pos50_reads)},
    {"goto_eq2_jumps_to_position_1", {"g", "=2", "Enter", "L", "h"}, bare_window(chr1, 20, 100, pos20_reads)},
    {"goto_eq1_stays_open", {"g", "=1", "Enter"}, overlay(initial, goto_box("=1"), 10, 5)},
    {"goto_unknown_name_stays_open", {"g", "chrX", "Enter"}, overlay(initial, goto_box("chrX"), 10, 5)},
    {"goto_keeps_40_characters", {"g", std::string(41, 'A')}, overlay(initial, goto_box(std::string(40, 'A')), 10, 5)},
    {"goto_escape_returns", {"g", "=1", "Enter", "Escape"}, initial},
    {"help_window", {"?"}, overlay(initial, help_box(29, 40), 5, 5)},
    {"help_closes_on_any_key", {"?", "x"}, initial},
    {"dot_view_off", {"."}, dot_off},
    {"insertions_off", {"i"}, bare_window(chr1, 0, 100, {
        ".......................      ...K...K.K.KK...    ...............G.... ..........",
        "....................         ...>>>>>>>>>>...              .....G....",
        "  ,,,,,c,,,,,,,,,,,,,,                           ..........           ..........",
        "    ...............          ,,,<<<<<<<<<<,,,              .....G....",
        "     ..............                              ..........",
        "           ...****.....                                    .....G...."})},
    {"skips_as_deletions", {"s"}, with_head(initial, {initial[0], initial[1], initial[2],
        ".........***...........         ...**********...              .....G....", initial[4],
        "    .....GG*..........          ,,,**********,,,              .....G...."})},
    {"read_names", {"r"}, with_head(initial, {initial[0], initial[1], initial[2],
        "R01      ***                    R06>>>>>>>>>>                 R11",
        "  r02    ***                                        R08                  R14",
        "    R03    *                    r07<<<<<<<<<<                 R12",
        "     R04                                            R09",
        "              R05****                                         R13"})},
    {"colour_space_view", {"C"}, overlay(initial, {"....2....."}, 4, 73)},
    {"colour_space_without_dots", {"C", "."}, overlay(dot_off, {"0113232001"}, 4, 73)},
    {"nucleotide_view_again", {"C", "N"}, initial},
};

// The same window at 80x24: 77 positions, the last ruler label at column 63.
const screen_t initial80 = with_head(overlay(initial, {}, 0, 80), {"1            11        21        31        41        51        61"});

const key_case key_cases80[] = {
    {"start", {}, initial80},
    {"space_scrolls_one_screen", {"Space"}, bare_window(chr1, 80, 80, {std::string(70, ' ') + "..........", std::string(70, ' ') + ",,,,,,,,,,"})},
    {"k_scrolls_rows_up", {"Down"}, overlay(with_head(shifted, {initial80[0]}), {}, 0, 80)},
    {"goto_other_reference", {"g", "chr2:10", "Enter"}, bare_window(chr2, 9, 80, chr2_reads)},
    {"help_window_clipped", {"?"}, overlay(initial80, help_box(24, 40), 0, 5)},
    {"dot_view_off", {"."}, with_head(overlay(dot_off, {}, 0, 80), {initial80[0]})},
};
// clang-format on

void check_keys(int cols, int rows, const screen_t& start, const key_case& c) {
    viewer_files f;
    tmux_pane pane(f, cols, rows);
    ASSERT_TRUE(pane.started()) << "the terminal tests need tmux";
    pane.expect(start);
    pane.keys(c.keys);
    pane.expect(c.screen);
}

class TviewKeys : public ::testing::TestWithParam<key_case> {};
TEST_P(TviewKeys, ScreenAt100x40) { check_keys(100, 40, initial, GetParam()); }
INSTANTIATE_TEST_SUITE_P(Cases, TviewKeys, ::testing::ValuesIn(key_cases),
                         [](const auto& info) { return std::string(info.param.name); });

class TviewKeys80 : public ::testing::TestWithParam<key_case> {};
TEST_P(TviewKeys80, ScreenAt80x24) { check_keys(80, 24, initial80, GetParam()); }
INSTANTIATE_TEST_SUITE_P(Cases, TviewKeys80, ::testing::ValuesIn(key_cases80),
                         [](const auto& info) { return std::string(info.param.name); });

// The foreground colour of every cell as a letter (blue, green, yellow,
// white, red, cyan; '-' for the default), upper case when underlined, read
// from the SGR sequences of capture-pane -e.
std::vector<std::string> colour_grid(const std::string& text) {
    std::vector<std::string> grid(1);
    int fg = 39;
    bool underline = false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\033' && i + 1 < text.size() && text[i + 1] == '[') {
            size_t end = text.find_first_of("ABCDEFGHJKSTfmsu", i + 2);
            if (end == std::string::npos) break;
            std::vector<std::string> params = split(text.substr(i + 2, end - i - 2), ';');
            if (params.empty()) params.push_back("0");
            for (size_t k = 0; text[end] == 'm' && k < params.size(); ++k) {
                int v = params[k].empty() ? 0 : std::stoi(params[k]);
                if (v == 0) fg = 39, underline = false;
                else if (v == 4) underline = true;
                else if (v == 24) underline = false;
                else if ((v >= 30 && v <= 37) || v == 39) fg = v;
                else if (v == 38 || v == 48) k += 2;  // 256-colour form: 38;5;n
            }
            i = end;
        } else if (text[i] == '\n') {
            grid.emplace_back();
        } else {
            const char c = fg >= 30 && fg <= 37 ? "krgybmcw"[fg - 30] : '-';
            grid.back() += underline ? static_cast<char>(std::toupper(c)) : c;
        }
    }
    return grid;
}

struct colour_case {
    const char* name;
    std::vector<std::string> keys;
    int row, col;
    std::string colours;
};

void PrintTo(const colour_case& c, std::ostream* os) { *os << c.name; }

const colour_case colour_cases[] = {
    // By mapping quality: r08 (5, an orphan) blue underlined, r09 (25) yellow, r14 (15) green, r01 (60) white.
    {"mapq_orphan", {}, 4, 51, "wBBBBBBBBBBw"},
    {"mapq_bands", {}, 6, 52, "yyyyyyyyyy"},
    {"mapq_green", {}, 4, 73, "gggggggggg"},
    {"reference_insertion_stars_red", {}, 1, 8, "wrrrw"},
    // Consensus underlined: "." of quality 30+ white, "K" of quality 3 blue, the SNP (quality 6) blue.
    {"consensus_bands", {}, 2, 32, "WWWBW"},
    {"consensus_snp", {}, 2, 66, "WBW"},
    {"base_quality", {"b"}, 6, 52, "bbggyywwww"},
    {"base_quality_low_base", {"b"}, 4, 6, "wgw"},
    {"mapq_again", {"b", "m"}, 6, 52, "yyyyyyyyyy"},
    // By nucleotide: G yellow, T red, C cyan, A green; insertion columns take the colour at the entry's own base.
    {"nucleotide", {"n"}, 3, 0, "yrryrcrgr"},
    {"nucleotide_insertion_columns", {"n"}, 5, 8, "rrrr"},
    {"cs_colour", {"c"}, 4, 73, "gccryryggc"},
    {"cs_colour_falls_back_to_base", {"c"}, 3, 0, "yrryrcrgr"},
    {"cs_quality", {"z"}, 4, 73, "wwwwwwwwww"},
    {"cs_quality_falls_back_to_base_quality", {"z"}, 6, 52, "bbggyywwww"},
};

class TviewColours : public ::testing::TestWithParam<colour_case> {};

TEST_P(TviewColours, CellsCarryTheirColourPairs) {
    const colour_case& c = GetParam();
    viewer_files f;
    tmux_pane pane(f, 100, 40);
    ASSERT_TRUE(pane.started()) << "the terminal tests need tmux";
    pane.expect(initial);
    pane.keys(c.keys);
    auto cells = [&](const std::string& s) {
        std::vector<std::string> g = colour_grid(s);
        return static_cast<int>(g.size()) > c.row && static_cast<int>(g[c.row].size()) > c.col
                   ? g[c.row].substr(c.col, c.colours.size())
                   : "";
    };
    EXPECT_EQ(cells(pane.wait_until([&](const std::string& s) { return cells(s) == c.colours; }, {"-e"})), c.colours);
}

INSTANTIATE_TEST_SUITE_P(Cases, TviewColours, ::testing::ValuesIn(colour_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// The window at 30x8; reads run past its right edge.
const screen_t start30 = with_head(overlay(initial, {}, 0, 30), {"1            11"});

// Quitting leaves curses mode without a word: the normal screen is back
// with only the exit status the shell printed, and the keypad is out of
// application mode.
TEST(Tview, QuitAndEscapeRestoreTheTerminal) {
    for (const char* key : {"q", "Escape"}) {
        viewer_files f;
        tmux_pane pane(f, 30, 8);
        ASSERT_TRUE(pane.started()) << "the terminal tests need tmux";
        pane.expect(start30);
        pane.keys({key});
        // The shell's line may scroll off when tmux reports the pane's end.
        std::string s = pane.wait_until([](const std::string& t) { return t.find("[exit") != std::string::npos; }, {"-S", "-"});
        EXPECT_EQ(s.substr(0, 9), "[exit 0]\n") << key << "\n" << s;
        EXPECT_EQ(pane.tmux({"display-message", "-p", "-t", "main", "#{alternate_on} #{keypad_flag}"}).out, "0 0\n") << key;
    }
}

// Without reference text every reference character is N: reads show their
// bases, and the consensus is called against N (no bases in the skip: K).
TEST(Tview, MissingFastaShowsNAndCallsAgainstIt) {
    viewer_files f;
    tmux_pane pane(f, 100, 40, f.bam + " " + f.dir.file("missing.fa"));
    ASSERT_TRUE(pane.started()) << "the terminal tests need tmux";
    screen_t want = dot_off;
    want[1] = "NNNNNNNNN***" + std::string(88, 'N');
    want[2] = chr1.substr(0, 9) + "   " + chr1.substr(9, 14) + "      " + chr1.substr(29, 3) + "KKKKKKKKKK" + chr1.substr(42, 3) +
              "    " + chr1.substr(49, 10) + "ATATAGCTGA " + chr1.substr(70, 10);
    pane.expect(want);
}

// A terminal smaller than the help and goto windows: both are shrunk and
// clipped; resizing redraws for the new size.
TEST(Tview, SmallAndResizedTerminals) {
    viewer_files f;
    tmux_pane pane(f, 30, 8);
    ASSERT_TRUE(pane.started()) << "the terminal tests need tmux";
    pane.expect(start30);
    pane.keys({"?"});
    pane.expect(help_box(8, 30));
    pane.keys({"x", "g", "chr2:10"});
    pane.expect(overlay(start30, goto_box("chr2:10", 30), 5, 0));
    pane.keys({"Enter"});
    pane.expect(bare_window(chr2, 9, 30, chr2_reads));
    pane.resize(80, 24);
    pane.expect(bare_window(chr2, 9, 80, chr2_reads));
}

struct failure_case {
    const char* name;
    std::vector<std::string> args;  // after "tview"
    const char* term;
    int status;
    std::string err;
};

// Failures before the screen starts: the messages, status 1; input that
// ends at once quits the viewer.
TEST(Tview, FailuresBeforeTheScreen) {
    viewer_files f;
    const std::string none = f.dir.file("none.bam"), text = f.dir.file("text.bam"), noidx = f.dir.file("noidx.bam");
    write_file(text, "not a BAM file\n");
    write_file(f.dir.file("noidx.sam"), "@SQ\tSN:chr1\tLN:200\n");
    ASSERT_EQ(run_alnkit({"view", "-bS", "-o", noidx, f.dir.file("noidx.sam")}).status, 0);
    // clang-format off
    const failure_case cases[] = {
        {"no_arguments", {}, "xterm", 1, "Usage: alnkit tview <aln.bam> [ref.fasta]\n"},
        {"missing_file", {none}, "xterm", 1, "open: No such file or directory\n[tv_init] fail to open file " + none + "\n"},
        {"not_bam", {text}, "xterm", 1, "[bam_header_read] bgzf_check_EOF: Invalid argument\n[bam_header_read] invalid BAM binary "
            "header (this is not a BAM file).\n[tv_init] fail to read the BAM header of file " + text + "\n"},
        {"missing_index", {noidx}, "xterm", 1, "[bam_index_load] fail to load BAM index.\n"},
        {"unknown_terminal", {f.bam}, "no-such-terminal", 1, "[tv_init] fail to start the terminal screen.\n"},
        {"input_ends", {f.bam, f.fa}, "xterm", 0, ""},
    };
    // clang-format on
    for (const auto& c : cases) {
        std::vector<std::string> argv = {ALNKIT_PATH, "tview"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        run_result r = run(argv, "", [&] { setenv("TERM", c.term, 1); });
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_EQ(r.err, c.err) << c.name;
    }
}

}  // namespace
