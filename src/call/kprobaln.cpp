// Banded pair hidden Markov model: forward pass with per-row scaling, backward
// pass and maximum a posteriori placement of every query base.
//
// Only the band is stored.  Row i keeps columns i - bw .. i + bw in slots
// 1 .. 2bw + 1 with one zero guard slot at each side, so the neighbours
// (i - 1, k - 1), (i - 1, k) and (i, k - 1) of slot u are the slots u, u + 1
// and u - 1 of their rows without any bounds test; slots outside the band
// (columns below 1 or above l_ref included) are kept at zero.  The forward M
// and I values of every row are kept for the posterior; forward D and the
// backward rows live for two rows only, and the placement of row i is taken as
// soon as its backward row is known.
//
// Results are compared bit for bit with other tools: the gap parameters are
// combined in single precision and widened, everything else is double, and
// every sum is added in the order written here.  Do not reorder or simplify.
#include "call/kprobaln.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
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
          f_(2 * static_cast<size_t>(l_query) * width_ + 7 * width_),
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
    // Rolling rows after the forward matrix: forward D of two rows, backward M
    // and I of two rows and backward D of one (roll r = 0 or 1).
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
    void place_row(int i, const double* bm, const double* bi, int* state, uint8_t* q);

    const uint8_t* ref_;
    const uint8_t* query_;
    const uint8_t* iqual_;
    int l_ref_, l_query_, bw_;
    size_t width_;
    trans_t t_;
    std::vector<uint8_t> code_;  // reference codes clamped to 0..4, then k_past_end
    std::vector<double> f_;      // forward M rows, forward I rows, rolling rows
    std::vector<double> s_;      // scaling factors
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
        double sum = 0.;
        for (int k = beg(i), u = slot(i, k), e = end(i); k <= e; ++k, ++u) {
            m[u] = em.e[code_[k - 1]] * (t_.mm * pm[u] + t_.im * pi[u] + t_.dm * pd[u]);
            in[u] = k_insert_emit * (t_.mi * pm[u + 1] + t_.ii * pi[u + 1]);
            d[u] = t_.md * m[u - 1] + t_.dd * d[u - 1];
            sum += m[u] + in[u] + d[u];
        }
        if (!(sum > 0.)) return false;
        s_[i] = sum;
        divide_row(m, i, sum);
        divide_row(in, i, sum);
        divide_row(d, i, sum);
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

void band_hmm_t::backward_and_place(int* state, uint8_t* q) {
    double* nm = roll(1, 0);
    double* ni = roll(2, 0);
    clear_outside(nm, l_query_);
    clear_outside(ni, l_query_);
    const double last_m = t_.sm / s_[l_query_] / s_[l_query_ + 1];
    const double last_i = t_.si / s_[l_query_] / s_[l_query_ + 1];
    for (int u = slot(l_query_, beg(l_query_)), e = slot(l_query_, end(l_query_)); u <= e; ++u) {
        nm[u] = last_m;
        ni[u] = last_i;
    }
    place_row(l_query_, nm, ni, state, q);
    double* cm = roll(1, 1);
    double* ci = roll(2, 1);
    double* cd = roll(3, 0);  // D is only needed within its own row
    const double ins_m = k_insert_emit * t_.mi;
    const double ins_i = k_insert_emit * t_.ii;
    for (int i = l_query_ - 1; i >= 1; --i) {
        clear_outside(cm, i);
        clear_outside(ci, i);
        clear_outside(cd, i);
        const emit_t em = emit(i + 1);  // the next row's base against reference base k
        const int lo = beg(i);
        if (i > 1) {
            for (int k = end(i), u = slot(i, k); k >= lo; --k, --u) {
                const double t = em.e[code_[k]] * nm[u];
                cm[u] = t_.mm * t + ins_m * ni[u - 1] + t_.md * cd[u + 1];
                ci[u] = t_.im * t + ins_i * ni[u - 1];
                cd[u] = t_.dm * t + t_.dd * cd[u + 1];
            }
        } else {  // no deletion before the first query base
            for (int k = end(i), u = slot(i, k); k >= lo; --k, --u) {
                const double t = em.e[code_[k]] * nm[u];
                cm[u] = t_.mm * t + ins_m * ni[u - 1] + t_.md * cd[u + 1];
                ci[u] = t_.im * t + ins_i * ni[u - 1];
                cd[u] = 0.;
            }
        }
        divide_row(cm, i, s_[i]);
        divide_row(ci, i, s_[i]);
        divide_row(cd, i, s_[i]);
        place_row(i, cm, ci, state, q);
        std::swap(nm, cm);
        std::swap(ni, ci);
    }
}

void band_hmm_t::place_row(int i, const double* bm, const double* bi, int* state, uint8_t* q) {
    const double* m = fm(i);
    const double* in = fi(i);
    double best = 0., sum = 0.;
    int best_state = -1;
    for (int k = beg(i), u = slot(i, k), e = end(i); k <= e; ++k, ++u) {
        const double pm = m[u] * bm[u];
        if (pm > best) best = pm, best_state = (k - 1) << 2;
        sum += pm;
        const double pi = in[u] * bi[u];
        if (pi > best) best = pi, best_state = (k - 1) << 2 | 1;
        sum += pi;
    }
    state[i - 1] = best_state;
    q[i - 1] = placement_quality(best, sum);
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
