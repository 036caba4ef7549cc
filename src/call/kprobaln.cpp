// Banded pair hidden Markov model: forward pass with per-row scaling, backward
// pass and maximum a posteriori placement of every query base.
//
// Only the band is stored.  Row i keeps columns i - bw .. i + bw in slots
// 1 .. 2bw + 1 with one zero guard slot at each side, so the neighbours
// (i - 1, k - 1), (i - 1, k) and (i, k - 1) of slot u are the slots u, u + 1
// and u - 1 of their rows without any bounds test; slots outside the band
// (columns below 1 or above l_ref included) are kept at zero.  The forward M
// and I values of every row are kept for the posterior; forward D and the
// backward rows live for two rows only, and the placement of row i is taken
// while backward row i - 1 is computed.  Work and memory are proportional to
// l_query * (2bw + 3); the cost per cell is bound by the row divisions and by
// the chains of dependent additions that the fixed summation order imposes.
//
// Results are compared bit for bit with other tools: the gap parameters are
// combined in single precision and widened, everything else is double, and
// every sum is added in the order written here.  Do not reorder or simplify.
#include "call/kprobaln.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <utility>
#include <vector>

const kpa_par_t kpa_par_def = {0.001f, 0.1f, 10};

namespace {

constexpr double k_mismatch_share = 0.33333333333;  // a wrong base is one of three others
constexpr double k_insert_emit = 0.25;              // an inserted base is any of four
constexpr int k_default_qual = 30;
constexpr double k_phred_per_ln = -4.343;
constexpr double k_rescale_below = 1e-100;
constexpr int k_q_limit = 100;  // placement qualities above it ...
constexpr int k_q_capped = 99;  // ... are stored as this
constexpr uint8_t k_unknown = 4;
constexpr uint8_t k_past_end = 5;  // reference code after the last base: emits 0

int phred_round(double x) { return static_cast<int>(x + .499); }

// g_qual2prob[i] = float(10^(-i/10)), the error probability of phred value i.
struct qual2prob_t {
    float p[256];
    qual2prob_t() {
        for (int i = 0; i < 256; ++i) p[i] = static_cast<float>(std::pow(10.0, -i / 10.0));
    }
};

// Band half-width after widening, in 64 bits (the lengths may be anything).
int64_t band_width(int l_ref, int l_query, int bw) {
    const int64_t w = std::min<int64_t>(bw, std::max(l_ref, l_query));
    return std::max<int64_t>(w, std::abs(int64_t{l_ref} - int64_t{l_query}));
}

// Transition and boundary probabilities.
struct trans_t {
    double mm, mi, md;  // from M
    double im, ii;      // from I
    double dm, dd;      // from D
    double bm, bi;      // begin -> M, begin -> I
    double sm, si;      // M -> end, I -> end
};

trans_t make_trans(const kpa_par_t& c, int l_ref, int l_query) {
    trans_t t;
    t.sm = t.si = 1. / static_cast<double>(2 * int64_t{l_query} + 2);
    const float one_minus_2d = (1.0f - c.d) - c.d;
    const float one_minus_e = 1.0f - c.e;
    t.mm = static_cast<double>(one_minus_2d) * (1. - t.sm);
    t.mi = t.md = static_cast<double>(c.d) * (1. - t.sm);
    t.im = static_cast<double>(one_minus_e) * (1. - t.si);
    t.ii = static_cast<double>(c.e) * (1. - t.si);
    t.dm = static_cast<double>(one_minus_e);
    t.dd = static_cast<double>(c.e);
    t.bm = static_cast<double>((1.0f - c.d) / static_cast<float>(l_ref));
    t.bi = static_cast<double>(c.d / static_cast<float>(l_ref));
    return t;
}

// Emission of one query base against each reference code (0..3, unknown,
// past the end).
struct emit_t {
    double e[6];
};

emit_t make_emit(uint8_t base, float err) {
    emit_t m;
    const double eps = err;
    for (int r = 0; r < 4; ++r) m.e[r] = base > 3 ? 1. : r == base ? 1. - eps : eps * k_mismatch_share;
    m.e[k_unknown] = 1.;
    m.e[k_past_end] = 0.;
    return m;
}

// Phred quality of a placement holding `best` of the row's posterior `sum`.
uint8_t placement_quality(double best, double sum) {
    if (!(sum > 0.)) return 0;  // no cell of the row carries any probability
    const double z = 1. - best / sum;
    if (!(z > 0.)) return k_q_capped;  // all mass in one cell: -ln(0) is infinite, so the cap applies
    const int v = phred_round(k_phred_per_ln * std::log(z));
    return static_cast<uint8_t>(v > k_q_limit ? k_q_capped : v);
}

// One call's band geometry and working storage.
class band_hmm_t {
public:
    band_hmm_t(const uint8_t* ref, int l_ref, const uint8_t* query, int l_query, const uint8_t* iqual, const kpa_par_t& c, int bw)
        : ref_(ref),
          query_(query),
          iqual_(iqual),
          l_ref_(l_ref),
          l_query_(l_query),
          bw_(bw),
          width_(static_cast<size_t>(2 * int64_t{bw} + 3)),
          t_(make_trans(c, l_ref, l_query)),
          code_(static_cast<size_t>(l_ref) + 1),
          f_(std::make_unique_for_overwrite<double[]>(2 * static_cast<size_t>(l_query) * width_ + 6 * width_)),
          s_(static_cast<size_t>(l_query) + 2) {
        for (int k = 0; k < l_ref; ++k) code_[k] = std::min(ref_[k], k_unknown);
        code_[l_ref] = k_past_end;
    }

    // Fills s_[0..l_query + 1]; false when a row has no probability at all.
    bool forward();
    // The phred-scaled probability from the scaling factors.
    int result() const;
    // Backward rows from the last to the first, each followed by its placement.
    void backward_and_place(int* state, uint8_t* q);

private:
    double* fm(int i) { return &f_[static_cast<size_t>(i - 1) * width_]; }
    double* fi(int i) { return &f_[(static_cast<size_t>(l_query_) + static_cast<size_t>(i - 1)) * width_]; }
    // Rolling rows after the forward matrix: forward D, backward M and backward
    // I of two rows each (roll r = 0 or 1).
    double* roll(int which, int r) { return &f_[(2 * static_cast<size_t>(l_query_) + 2 * which + r) * width_]; }

    int beg(int i) const { return std::max(1, i - bw_); }
    int end(int i) const { return std::min(l_ref_, i + bw_); }
    int slot(int i, int k) const { return k - i + bw_ + 1; }
    emit_t emit(int i) const { return make_emit(query_[i - 1], kpa_qual2prob()[iqual_ ? iqual_[i - 1] : k_default_qual]); }
    // Zeroes the slots of row i outside its band.
    void clear_outside(double* row, int i) const {
        std::fill(row, row + slot(i, beg(i)), 0.);
        std::fill(row + slot(i, end(i)) + 1, row + width_, 0.);
    }
    void divide_row(double* row, int i, double by) const {
        for (int u = slot(i, beg(i)), e = slot(i, end(i)); u <= e; ++u) row[u] /= by;
    }

    const uint8_t* ref_;
    const uint8_t* query_;
    const uint8_t* iqual_;
    int l_ref_, l_query_, bw_;
    size_t width_;
    trans_t t_;
    std::vector<uint8_t> code_;    // reference codes clamped to 0..4, then k_past_end
    std::unique_ptr<double[]> f_;  // forward M rows, forward I rows, rolling rows; slots outside a band are zeroed per row
    std::vector<double> s_;        // scaling factors
};

bool band_hmm_t::forward() {
    s_[0] = 1.;
    {  // row 1: entered from the begin state
        double* m = fm(1);
        double* in = fi(1);
        const emit_t em = emit(1);
        const double ins = k_insert_emit * t_.bi;
        clear_outside(m, 1);
        clear_outside(in, 1);
        double sum = 0.;
        for (int k = beg(1), u = slot(1, k), e = end(1); k <= e; ++k, ++u) {
            m[u] = em.e[code_[k - 1]] * t_.bm;
            in[u] = ins;
            sum += m[u] + in[u];
        }
        if (!(sum > 0.)) return false;
        s_[1] = sum;
        divide_row(m, 1, sum);
        divide_row(in, 1, sum);
        std::fill(roll(0, 0), roll(0, 0) + width_, 0.);  // row 1 has no deletions
    }
    for (int i = 2; i <= l_query_; ++i) {
        const double* pm = fm(i - 1);
        const double* pi = fi(i - 1);
        const double* pd = roll(0, i & 1);
        double* m = fm(i);
        double* in = fi(i);
        double* d = roll(0, (i - 1) & 1);
        clear_outside(m, i);
        clear_outside(in, i);
        clear_outside(d, i);
        const emit_t em = emit(i);
        const uint8_t* code = &code_[static_cast<size_t>(beg(i) - 1)];
        double sum = 0., m_left = 0., d_left = 0.;  // the cell left of the band is zero
        for (int u = slot(i, beg(i)), e = slot(i, end(i)); u <= e; ++u, ++code) {
            const double mv = em.e[*code] * (t_.mm * pm[u] + t_.im * pi[u] + t_.dm * pd[u]);
            const double iv = k_insert_emit * (t_.mi * pm[u + 1] + t_.ii * pi[u + 1]);
            const double dv = t_.md * m_left + t_.dd * d_left;
            m[u] = mv, in[u] = iv, d[u] = dv;
            sum += mv + iv + dv;
            m_left = mv, d_left = dv;
        }
        if (!(sum > 0.)) return false;
        s_[i] = sum;
        divide_row(m, i, sum);
        divide_row(in, i, sum);
        if (i < l_query_) divide_row(d, i, sum);  // the last row's D is never read
    }
    const double* m = fm(l_query_);
    const double* in = fi(l_query_);
    double sum = 0.;
    for (int u = slot(l_query_, beg(l_query_)), e = slot(l_query_, end(l_query_)); u <= e; ++u)
        sum += t_.sm * m[u] + t_.si * in[u];
    if (!(sum > 0.)) return false;
    s_[l_query_ + 1] = sum;
    return true;
}

int band_hmm_t::result() const {
    double p = 1., total = 0.;
    for (int i = 0; i <= l_query_ + 1; ++i) {
        p *= s_[i];
        if (p < k_rescale_below) total += k_phred_per_ln * std::log(p), p = 1.;
    }
    return phred_round(k_phred_per_ln * std::log(static_cast<double>(l_ref_) * p * static_cast<double>(l_query_)) + total);
}

// Placement of one row, accumulated cell by cell with k increasing.
struct place_acc_t {
    double best = 0., sum = 0.;
    int state = -1;
    void add(double pm, double pi, int k) {
        if (pm > best) best = pm, state = (k - 1) << 2;
        sum += pm;
        if (pi > best) best = pi, state = (k - 1) << 2 | 1;
        sum += pi;
    }
};

// The backward row i - 1 (right to left) and the placement of row i (left to
// right) both only read row i, and each is one chain of dependent additions,
// so they run in one loop where the two chains overlap.
void band_hmm_t::backward_and_place(int* state, uint8_t* q) {
    double* nm = roll(1, 0);
    double* ni = roll(2, 0);
    clear_outside(nm, l_query_);
    clear_outside(ni, l_query_);
    const double last_m = t_.sm / s_[l_query_] / s_[l_query_ + 1];
    const double last_i = t_.si / s_[l_query_] / s_[l_query_ + 1];
    for (int u = slot(l_query_, beg(l_query_)), e = slot(l_query_, end(l_query_)); u <= e; ++u) nm[u] = last_m, ni[u] = last_i;
    double* cm = roll(1, 1);
    double* ci = roll(2, 1);
    const double ins_m = k_insert_emit * t_.mi;
    const double ins_i = k_insert_emit * t_.ii;
    for (int i = l_query_; i >= 2; --i) {
        // Placement of row i over its band, with k increasing.
        const double* pf_m = fm(i);
        const double* pf_i = fi(i);
        place_acc_t acc;
        int pk = beg(i), pu = slot(i, pk);
        const int p_end = end(i);
        // Backward row i - 1, with k decreasing.  Its D is used only by the
        // left neighbour in the same row, so it lives in a register; it is 0
        // throughout the first row.
        const int r = i - 1;
        clear_outside(cm, r);
        clear_outside(ci, r);
        const emit_t em = emit(i);  // row i's base against reference base k
        const double dm = r > 1 ? t_.dm : 0., dd = r > 1 ? t_.dd : 0.;
        int bk = end(r), bu = slot(r, bk);
        const int b_beg = beg(r);
        double d_right = 0.;  // the cell right of the band is zero
        auto place_step = [&] {
            acc.add(pf_m[pu] * nm[pu], pf_i[pu] * ni[pu], pk);
            ++pk, ++pu;
        };
        auto back_step = [&] {
            const double t = em.e[code_[static_cast<size_t>(bk)]] * nm[bu];
            const double ni_left = ni[bu - 1];
            cm[bu] = t_.mm * t + ins_m * ni_left + t_.md * d_right;
            ci[bu] = t_.im * t + ins_i * ni_left;
            d_right = dm * t + dd * d_right;
            --bk, --bu;
        };
        for (int n = std::min(p_end - pk, bk - b_beg) + 1; n > 0; --n) place_step(), back_step();
        while (pk <= p_end) place_step();
        while (bk >= b_beg) back_step();
        state[i - 1] = acc.state;
        q[i - 1] = placement_quality(acc.best, acc.sum);
        divide_row(cm, r, s_[r]);
        divide_row(ci, r, s_[r]);
        std::swap(nm, cm);
        std::swap(ni, ci);
    }
    place_acc_t acc;
    for (int k = beg(1), u = slot(1, k), e = end(1); k <= e; ++k, ++u) acc.add(fm(1)[u] * nm[u], fi(1)[u] * ni[u], k);
    state[0] = acc.state;
    q[0] = placement_quality(acc.best, acc.sum);
}

}  // namespace

const float* kpa_qual2prob() {
    static const qual2prob_t g_qual2prob;  // built once, on first use, thread-safely
    return g_qual2prob.p;
}

int64_t kpa_cells(int l_ref, int l_query, const kpa_par_t* c) {
    if (l_ref <= 0 || l_query <= 0) return 0;
    return int64_t{l_query} * (2 * band_width(l_ref, l_query, c->bw) + 1);
}

int kpa_glocal(const uint8_t* ref, int l_ref, const uint8_t* query, int l_query, const uint8_t* iqual, const kpa_par_t* c,
               int* state, uint8_t* q) {
    if (l_ref <= 0 || l_query <= 0 || kpa_cells(l_ref, l_query, c) > kpa_max_cells) return kpa_no_result;
    band_hmm_t hmm(ref, l_ref, query, l_query, iqual, *c, static_cast<int>(band_width(l_ref, l_query, c->bw)));
    if (!hmm.forward()) return kpa_no_result;
    const int r = hmm.result();
    if (state && q) hmm.backward_and_place(state, q);
    return r;
}
