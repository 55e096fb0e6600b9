// Reductions of a block's values as they are computed: each fixed part of
// the block (FormulaRows) reduces its rows into cells of its own, and the
// parts' cells join the result in the parts' order. The parts come a batch
// at a time, so memory does not grow with the block. Sums are carried as
// double-doubles: within a row four compensated lanes, between rows and
// parts the double-double sum, so a sum of 10^10 points keeps about 100 bits
// before its one rounding.
#include "eval/reduce.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <mutex>

#include "cr/CRobj.hpp"
#include "eval/accurate.hpp"
#include "eval/clones.hpp"
#include "eval/direct.hpp"
#include "eval/grid.hpp"
#include "eval/pool.hpp"

namespace vemiral {

namespace {

constexpr uint64_t kParallelPoints = uint64_t{1} << 16;
// Parts per thread in a batch: few enough that their cells stay small, many
// enough that a batch's last part seldom keeps the other threads waiting.
constexpr uint64_t kBatchPartsPerThread = 32;
// What the cells of a batch's parts may take, at most, when they are large.
constexpr double kBatchCellBytes = 256.0 * (1 << 20);
// Histograms of up to this many bins count in a part's own bins; larger ones
// count straight into the result's (atomically: the counts are the same in
// any order), so a part never holds a copy of many bins.
constexpr size_t kDenseBins = 4096;

struct DD {
    double hi, lo;
};

// s + e == a + b exactly.
inline void twoSum(double a, double b, double &s, double &e) {
    s = a + b;
    const double bb = s - a;
    e = (a - (s - bb)) + (b - bb);
}

// Where hi is infinite or NaN it carries IEEE's sum alone.
inline DD settled(DD a) { return std::isfinite(a.hi) ? a : DD{a.hi, 0.0}; }

// a + b to about 2^-104 of their magnitudes (both settled).
inline DD add(DD a, DD b) {
    double s, e, t, f;
    twoSum(a.hi, b.hi, s, e);
    if (!std::isfinite(s))
        return {s, 0.0};
    twoSum(a.lo, b.lo, t, f);
    e += t;
    double h = s + e;
    e = e - (h - s);
    e += f;
    s = h + e;
    return {s, e - (s - h)};
}

// Two doubles: the vectors every x86-64 processor has, so that comparisons
// and selections stay vector instructions without AVX too. Loops keep two of
// them, four lanes: lane l takes the points 4k + l.
using V2 = double __attribute__((vector_size(16)));
using M2 = long long __attribute__((vector_size(16)));

[[gnu::always_inline]] inline void load2(V2 &v, const double *p) { std::memcpy(&v, p, sizeof v); }

// x where it is a number, else 0.
[[gnu::always_inline]] inline V2 numbersOf(const V2 &x) { return (V2)((M2)x & (M2)(x == x)); }

// The sum of a row: four lanes of compensated sums, then their double-double sum.
template <bool skipNaN>
DD sumRow(const double *x, uint64_t n) {
    V2 s[2] = {}, c[2] = {};
    uint64_t i = 0;
    for (; i + 4 <= n; i += 4)
        for (int h = 0; h < 2; ++h) {
            V2 v;
            load2(v, x + i + 2 * h);
            if constexpr (skipNaN)
                v = numbersOf(v);
            const V2 t = s[h] + v, back = t - s[h];
            c[h] += (s[h] - (t - back)) + (v - back);
            s[h] = t;
        }
    double hs[4] = {s[0][0], s[0][1], s[1][0], s[1][1]}, cs[4] = {c[0][0], c[0][1], c[1][0], c[1][1]};
    for (int l = 0; i < n; ++i, ++l) {
        const double v = skipNaN && x[i] != x[i] ? 0.0 : x[i];
        double t, e;
        twoSum(hs[l], v, t, e);
        hs[l] = t;
        cs[l] += e;
    }
    DD total = settled({hs[0], cs[0]});
    for (int l = 1; l < 4; ++l)
        total = add(total, settled({hs[l], cs[l]}));
    return total;
}

// The sum of (x - m)^2 over a row, as squaresOfRows says: eight lanes of
// compensated sums (lane l takes the points 8k + l) in one vector of eight
// doubles, without branches, then the lanes' double-double sum in order.
using V8 = double __attribute__((vector_size(64)));
using M8 = long long __attribute__((vector_size(64)));

template <bool skipNaN>
[[gnu::always_inline]] inline void squareTerms(const V8 &v, const V8 &m, V8 &terms) {
    const V8 d = v - m, bb = d - v;
    const V8 e = (v - (d - bb)) + (-m - bb); // d + e == v - m exactly
    V8 first = (e * d) * 2.0;
    const V8 magnitude = (V8)((M8)first & (M8{} + std::numeric_limits<long long>::max())); // |first|
    first = (V8)((M8)first & (M8)(magnitude <= std::numeric_limits<double>::max())); // overflows only where d * d does
    const V8 t = d * d + first;
    terms = skipNaN ? (V8)((M8)t & (M8)(v == v)) : t;
}

template <bool skipNaN>
[[gnu::always_inline]] inline void squaresRow(const double *x, uint64_t n, double m, DD &out) {
    constexpr int kLanes = 8;
    V8 s = {}, c = {};
    const V8 mean = V8{} + m;
    uint64_t i = 0;
    for (; i + kLanes <= n; i += kLanes) {
        V8 v;
        std::memcpy(&v, x + i, sizeof v);
        V8 term;
        squareTerms<skipNaN>(v, mean, term);
        const V8 t = s + term, back = t - s;
        c += (s - (t - back)) + (term - back);
        s = t;
    }
    double hs[kLanes], cs[kLanes];
    std::memcpy(hs, &s, sizeof s);
    std::memcpy(cs, &c, sizeof c);
    if (i < n) {
        V8 v = V8{} + m; // the missing lanes: deviations of 0
        std::memcpy(&v, x + i, (n - i) * sizeof(double));
        V8 term;
        squareTerms<skipNaN>(v, mean, term);
        for (int l = 0; i < n; ++i, ++l) {
            double t, e;
            twoSum(hs[l], term[l], t, e);
            hs[l] = t;
            cs[l] += e;
        }
    }
    DD total = settled({hs[0], cs[0]});
    for (int l = 1; l < kLanes; ++l)
        total = add(total, settled({hs[l], cs[l]}));
    out = total;
}

// The row loops for each processor (not templates: Clang clones no template).
VEMIRAL_CLONES void squaresOfAll(const double *x, uint64_t n, double m, DD &out) { squaresRow<false>(x, n, m, out); }
VEMIRAL_CLONES void squaresOfNumbers(const double *x, uint64_t n, double m, DD &out) {
    squaresRow<true>(x, n, m, out);
}

// The product of a row's magnitudes (finite, nonzero), as productsOfRows
// says: eight lanes of double-double products of mantissas in [0.5, 1) (each
// product's error exact with fma), scaled back to [0.5, 1) every 32 points
// of a lane, then the lanes' product in order.
struct Scaled {
    double high = 1.0, low = 0.0;
    int64_t exponent = 0;
};

inline void multiply(Scaled &a, double bh, double bl) {
    const double p = a.high * bh;
    const double e = std::fma(a.high, bh, -p) + (a.high * bl + a.low * bh);
    a.high = p + e;
    a.low = e - (a.high - p);
}

inline void rescale(Scaled &a) {
    int k;
    a.high = std::frexp(a.high, &k);
    a.low = std::ldexp(a.low, -k);
    a.exponent += k;
}

// One value's part of a product: whether it is a number other than 0 and
// not infinite, and then its mantissa in [0.5, 1) and exponent, as frexp of
// its magnitude gives them (from the bits, a subnormal scaled up first).
[[gnu::always_inline]] inline bool factorOf(double v, double &mantissa, int64_t &exponent) {
    constexpr uint64_t kFraction = (uint64_t{1} << 52) - 1;
    const double a = std::fabs(v);
    uint64_t bits;
    std::memcpy(&bits, &a, sizeof bits);
    const bool subnormal = (bits >> 52) == 0;
    const double scaled = subnormal ? a * 0x1p54 : a;
    std::memcpy(&bits, &scaled, sizeof bits);
    const uint64_t field = bits >> 52, fraction = (bits & kFraction) | (uint64_t{1022} << 52);
    std::memcpy(&mantissa, &fraction, sizeof mantissa);
    exponent = static_cast<int64_t>(field) - 1022 - (subnormal ? 54 : 0);
    return a != 0.0 && field != 0x7ff;
}

VEMIRAL_FMA_CLONES void productRow(const double *x, uint64_t n, Scaled &out, int64_t *counts) {
    constexpr int kLanes = 8, kBetweenScaling = 32;
    double high[kLanes], low[kLanes];
    int64_t exponent[kLanes] = {};
    std::fill_n(high, kLanes, 1.0);
    std::fill_n(low, kLanes, 0.0);
    int64_t nan = 0, inf = 0, zero = 0, negative = 0;
    for (uint64_t j = 0; j < n; ++j) {
        uint64_t bits;
        std::memcpy(&bits, x + j, sizeof bits);
        negative += static_cast<int64_t>(bits >> 63);
        bits &= ~(uint64_t{1} << 63);
        nan += bits > (uint64_t{0x7ff} << 52);
        inf += bits == (uint64_t{0x7ff} << 52);
        zero += bits == 0;
    }
    uint64_t i = 0;
    auto rescaleLanes = [&] {
        for (int l = 0; l < kLanes; ++l) {
            Scaled lane{high[l], low[l], exponent[l]};
            rescale(lane);
            high[l] = lane.high;
            low[l] = lane.low;
            exponent[l] = lane.exponent;
        }
    };
    // Whole groups of eight points, one a lane, without branches: a point
    // that is no factor leaves its lane as it was.
    for (uint64_t groups = 0; i + kLanes <= n; i += kLanes) {
        double m[kLanes];
        int64_t k[kLanes];
        bool factor[kLanes];
        for (int l = 0; l < kLanes; ++l)
            factor[l] = factorOf(x[i + l], m[l], k[l]);
        for (int l = 0; l < kLanes; ++l) {
            const double p = high[l] * m[l];
            const double e = std::fma(high[l], m[l], -p) + low[l] * m[l];
            const double h = p + e;
            high[l] = factor[l] ? h : high[l];
            low[l] = factor[l] ? e - (h - p) : low[l];
            exponent[l] += factor[l] ? k[l] : 0;
        }
        if (++groups % kBetweenScaling == 0)
            rescaleLanes();
    }
    for (int l = 0; i < n; ++i, ++l) {
        const double v = x[i];
        double m;
        int64_t k;
        if (factorOf(v, m, k)) {
            Scaled lane{high[l], low[l], exponent[l] + k};
            multiply(lane, m, 0.0);
            high[l] = lane.high;
            low[l] = lane.low;
            exponent[l] = lane.exponent;
        }
    }
    rescaleLanes();
    Scaled lanes[kLanes];
    for (int l = 0; l < kLanes; ++l)
        lanes[l] = Scaled{high[l], low[l], exponent[l]};
    Scaled total = lanes[0];
    for (int l = 1; l < kLanes; ++l) {
        multiply(total, lanes[l].high, lanes[l].low);
        total.exponent += lanes[l].exponent;
        rescale(total);
    }
    out = total;
    counts[0] = nan;
    counts[1] = inf;
    counts[2] = zero;
    counts[3] = negative;
}

// Extrema order the points totally: NaN before every number (unless NaN is
// skipped) and among equal values the first point, where for the minimum
// -0.0 comes before 0.0 and for the maximum 0.0 before -0.0. Whatever the
// grouping of the points, the same one wins.
template <bool isMax>
inline bool better(double v, uint64_t i, double w, uint64_t k) {
    if (k == kNoPoint)
        return true;
    if (w != w)
        return v != v && i < k;
    if (v != v)
        return true;
    if (v != w)
        return isMax ? v > w : v < w;
    if (v == 0 && std::signbit(v) != std::signbit(w))
        return isMax ? !std::signbit(v) : std::signbit(v);
    return i < k;
}

// The row's best number m (false when it has none) and whether it holds a NaN.
template <bool isMax>
bool extremumOfRow(const double *x, uint64_t n, double &m, bool &nan) {
    const double start = isMax ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
    V2 best[2] = {{start, start}, {start, start}};
    M2 nans[2] = {}, numbers[2] = {};
    uint64_t i = 0;
    for (; i + 4 <= n; i += 4)
        for (int h = 0; h < 2; ++h) {
            V2 v;
            load2(v, x + i + 2 * h);
            best[h] = isMax ? (v > best[h] ? v : best[h]) : (v < best[h] ? v : best[h]);
            nans[h] |= v != v;
            numbers[h] |= v == v;
        }
    m = start;
    nan = false;
    bool any = false;
    for (int l = 0; l < 4; ++l) {
        m = isMax ? std::max(m, best[l / 2][l % 2]) : std::min(m, best[l / 2][l % 2]);
        nan = nan || nans[l / 2][l % 2];
        any = any || numbers[l / 2][l % 2];
    }
    for (; i < n; ++i) {
        if (x[i] != x[i]) {
            nan = true;
            continue;
        }
        any = true;
        m = isMax ? std::max(m, x[i]) : std::min(m, x[i]);
    }
    return any;
}

// The first point of a row that wins with the best value m.
template <bool isMax>
uint64_t firstBest(const double *x, uint64_t n, double m) {
    if (m != 0) {
        for (uint64_t j = 0;; ++j)
            if (x[j] == m)
                return j;
    }
    uint64_t zero = kNoPoint;
    for (uint64_t j = 0; j < n; ++j)
        if (x[j] == 0) {
            if (std::signbit(x[j]) != isMax)
                return j;
            zero = std::min(zero, j);
        }
    return zero;
}

// The kept and reduced dimensions of a block, and the strides that number
// its kept cells and, for extrema, the points of a cell.
struct Geometry {
    size_t n;
    const Block &block;
    const ReduceRequest &request;
    std::vector<uint64_t> keptStride;    // over the kept extents; 0 where reduced
    std::vector<uint64_t> reducedStride; // over the reduced extents; 0 where kept
    uint64_t cells = 1;

    Geometry(const Block &b, const ReduceRequest &r)
        : n(b.shape.size()), block(b), request(r), keptStride(n, 0), reducedStride(n, 0) {
        uint64_t kept = 1, reduced = 1;
        for (size_t d = n; d-- > 0;) {
            if (r.reduced[d]) {
                reducedStride[d] = reduced;
                reduced *= b.shape[d];
            } else {
                keptStride[d] = kept;
                kept *= b.shape[d];
            }
        }
        cells = kept;
    }
};

// The cells of one kind over a part's box of kept cells (or the block's).
ReducedCells emptyCells(Reduction kind, uint64_t cells, size_t bins) {
    ReducedCells c;
    switch (kind) {
    case Reduction::Histogram:
        c.counts.assign(bins, 0);
        break;
    case Reduction::Sum:
    case Reduction::NanSum:
    case Reduction::Weighted:
    case Reduction::Count:
        c.hi.assign(cells, 0.0);
        c.lo.assign(cells, 0.0);
        break;
    default:
        c.hi.assign(cells, std::numeric_limits<double>::quiet_NaN());
        c.index.assign(cells, kNoPoint);
    }
    return c;
}

// The bin of x (false: outside the edges, or NaN), as numpy.histogram finds it.
inline bool binOf(const ReduceRequest &r, double x, uint64_t &bin) {
    const std::span<const double> e = r.edges;
    const uint64_t bins = e.size() - 1;
    if (!(x >= e.front() && x <= e.back()))
        return false;
    if (r.uniform) {
        // NumPy's arithmetic for equal bins, then its correction by the edges.
        const double f = ((x - e.front()) / (e.back() - e.front())) * static_cast<double>(bins);
        uint64_t i = static_cast<uint64_t>(f);
        if (i == bins)
            --i;
        if (x < e[i])
            --i;
        else if (x >= e[i + 1] && i != bins - 1)
            ++i;
        bin = i;
        return true;
    }
    // The last bin holds its upper edge.
    const uint64_t above = static_cast<uint64_t>(std::upper_bound(e.begin(), e.end(), x) - e.begin());
    bin = std::min(above, bins) - 1;
    return true;
}

// One part's cells: its rows reduced into the box of kept cells it touches.
class PartCells : public RowSink {
public:
    // `counts`: the result's bins of each kind, for histograms too large to
    // count in the part's own.
    PartCells(const Geometry &g, const std::vector<uint64_t> &low, const std::vector<uint64_t> &high,
              const std::vector<uint64_t *> &counts)
        : g_(g), low_(low), extent_(g.n, 1), boxStride_(g.n, 0), shared_(counts) {
        for (size_t d = g.n; d-- > 0;)
            if (!g.request.reduced[d]) {
                boxStride_[d] = boxCells_;
                extent_[d] = high[d] - low_[d] + 1;
                boxCells_ *= extent_[d];
            }
        const size_t bins = g.request.edges.empty() ? 0 : g.request.edges.size() - 1;
        for (Reduction kind : g.request.kinds)
            cells_.push_back(emptyCells(kind, boxCells_, bins <= kDenseBins ? bins : 0));
    }

    void row(const uint64_t *first, const double *x, uint64_t count) override {
        const size_t last = g_.n - 1;
        const std::vector<uint64_t> &origin = g_.block.origin;
        uint64_t cell = 0, point = 0; // the row's first cell, and its first point within a cell
        double weight = 1.0;          // the product of the outer reduced dimensions' weights
        for (size_t d = 0; d < last; ++d) {
            const uint64_t at = first[d] - origin[d];
            if (g_.request.reduced[d]) {
                point += at * g_.reducedStride[d];
                if (!g_.request.weights.empty() && !g_.request.weights[d].empty())
                    weight *= g_.request.weights[d][at];
            } else {
                cell += (first[d] - low_[d]) * boxStride_[d];
            }
        }
        const uint64_t column = first[last] - origin[last];
        const bool along = g_.request.reduced[last]; // the row reduces into one cell
        if (along)
            point += column;
        else
            cell += first[last] - low_[last];
        for (size_t k = 0; k < cells_.size(); ++k) {
            ReducedCells &c = cells_[k];
            switch (g_.request.kinds[k]) {
            case Reduction::Sum:
                sum<false>(c, x, count, cell, along);
                break;
            case Reduction::NanSum:
                sum<true>(c, x, count, cell, along);
                break;
            case Reduction::Min:
                extremum<false, false>(c, x, count, cell, point, along);
                break;
            case Reduction::Max:
                extremum<true, false>(c, x, count, cell, point, along);
                break;
            case Reduction::NanMin:
                extremum<false, true>(c, x, count, cell, point, along);
                break;
            case Reduction::NanMax:
                extremum<true, true>(c, x, count, cell, point, along);
                break;
            case Reduction::Histogram:
                if (uint64_t *shared = shared_[k]; c.counts.empty()) {
                    for (uint64_t j = 0; j < count; ++j)
                        if (uint64_t bin; binOf(g_.request, x[j], bin))
                            std::atomic_ref<uint64_t>(shared[bin]).fetch_add(1, std::memory_order_relaxed);
                } else {
                    for (uint64_t j = 0; j < count; ++j)
                        if (uint64_t bin; binOf(g_.request, x[j], bin))
                            ++c.counts[bin];
                }
                break;
            case Reduction::Weighted:
                weighted(c, x, count, cell, along, weight, along ? &g_.request.weights[last][column] : nullptr);
                break;
            case Reduction::Count:
                for (uint64_t j = 0; j < count; ++j)
                    c.hi[along ? cell : cell + j] += x[j] == x[j] ? 1.0 : 0.0;
                break;
            }
        }
    }

    // Sums settled, ready to be added.
    void settle() {
        for (ReducedCells &c : cells_)
            for (size_t i = 0; i < c.lo.size(); ++i)
                if (!std::isfinite(c.hi[i]))
                    c.lo[i] = 0.0;
    }

    // Adds this part's cells into the block's (in the parts' order, for sums).
    void addTo(std::vector<ReducedCells> &block) const {
        const size_t n = g_.n;
        std::vector<uint64_t> at(n, 0); // the box cell's kept coordinates, C order
        for (uint64_t i = 0; i < boxCells_; ++i) {
            uint64_t target = 0;
            for (size_t d = 0; d < n; ++d)
                target += (low_[d] + at[d] - g_.block.origin[d]) * g_.keptStride[d];
            for (size_t k = 0; k < cells_.size(); ++k)
                join(g_.request.kinds[k], cells_[k], i, block[k], target);
            for (size_t d = n; d-- > 0;) {
                if (g_.request.reduced[d])
                    continue;
                if (++at[d] < extent_[d])
                    break;
                at[d] = 0;
            }
        }
        for (size_t k = 0; k < cells_.size(); ++k)
            for (size_t b = 0; b < cells_[k].counts.size(); ++b)
                block[k].counts[b] += cells_[k].counts[b];
    }

private:
    const Geometry &g_;
    std::vector<uint64_t> low_, extent_;
    std::vector<uint64_t> boxStride_; // over the box's kept cells; 0 where reduced
    uint64_t boxCells_ = 1;
    std::vector<ReducedCells> cells_;
    const std::vector<uint64_t *> &shared_;

    template <bool isMax>
    static void joinExtremum(const ReducedCells &from, uint64_t i, ReducedCells &to, uint64_t j) {
        if (from.index[i] != kNoPoint && better<isMax>(from.hi[i], from.index[i], to.hi[j], to.index[j])) {
            to.hi[j] = from.hi[i];
            to.index[j] = from.index[i];
        }
    }

    static void join(Reduction kind, const ReducedCells &from, uint64_t i, ReducedCells &to, uint64_t j) {
        switch (kind) {
        case Reduction::Sum:
        case Reduction::NanSum:
        case Reduction::Weighted:
        case Reduction::Count: {
            const DD total = add({to.hi[j], to.lo[j]}, {from.hi[i], from.lo[i]});
            to.hi[j] = total.hi;
            to.lo[j] = total.lo;
            break;
        }
        case Reduction::Min:
        case Reduction::NanMin:
            joinExtremum<false>(from, i, to, j);
            break;
        case Reduction::Max:
        case Reduction::NanMax:
            joinExtremum<true>(from, i, to, j);
            break;
        case Reduction::Histogram:
            break;
        }
    }

    template <bool skipNaN>
    static void sum(ReducedCells &c, const double *x, uint64_t count, uint64_t cell, bool along) {
        if (along) {
            const DD row = sumRow<skipNaN>(x, count);
            const DD total = add(settled({c.hi[cell], c.lo[cell]}), row);
            c.hi[cell] = total.hi;
            c.lo[cell] = total.lo;
            return;
        }
        double *hi = c.hi.data() + cell, *lo = c.lo.data() + cell;
        for (uint64_t j = 0; j < count; ++j) {
            const double v = skipNaN && x[j] != x[j] ? 0.0 : x[j];
            double s, e;
            twoSum(hi[j], v, s, e);
            hi[j] = s;
            lo[j] += e;
        }
    }

    template <bool isMax, bool skipNaN>
    static void extremum(ReducedCells &c, const double *x, uint64_t count, uint64_t cell, uint64_t point, bool along) {
        if (!along) {
            for (uint64_t j = 0; j < count; ++j) {
                if (skipNaN && x[j] != x[j])
                    continue;
                if (better<isMax>(x[j], point, c.hi[cell + j], c.index[cell + j])) {
                    c.hi[cell + j] = x[j];
                    c.index[cell + j] = point;
                }
            }
            return;
        }
        double m;
        bool nan;
        uint64_t j;
        const bool any = extremumOfRow<isMax>(x, count, m, nan);
        if (!skipNaN && nan) {
            j = 0;
            while (x[j] == x[j])
                ++j;
        } else if (!any) {
            return;
        } else {
            const double w = c.hi[cell];
            // A row no better than the cell's best needs no search.
            if (c.index[cell] != kNoPoint && (w != w || (isMax ? m < w : m > w)))
                return;
            j = firstBest<isMax>(x, count, m);
        }
        if (better<isMax>(x[j], point + j, c.hi[cell], c.index[cell])) {
            c.hi[cell] = x[j];
            c.index[cell] = point + j;
        }
    }

    // weight * x[j] (times weights[j] along a reduced last dimension), each
    // product exact as a double and its error, added into the sums.
    static void weighted(ReducedCells &c, const double *x, uint64_t count, uint64_t cell, bool along, double weight,
                         const double *weights) {
        for (uint64_t j = 0; j < count; ++j) {
            const double w = along ? weight * weights[j] : weight;
            const double p = w * x[j], pe = std::fma(w, x[j], -p);
            const uint64_t k = along ? cell : cell + j;
            double s, e;
            twoSum(c.hi[k], p, s, e);
            c.hi[k] = s;
            c.lo[k] += e + pe;
        }
    }
};

// The parts' cells join the block's in the parts' order, whichever thread
// finishes first: a part that finishes early waits for those before it
// (within its batch).
class Joiner {
public:
    explicit Joiner(const Geometry &g) {
        const size_t bins = g.request.edges.empty() ? 0 : g.request.edges.size() - 1;
        for (Reduction kind : g.request.kinds) {
            cells_.push_back(emptyCells(kind, g.cells, bins));
            counts_.push_back(bins > kDenseBins ? cells_.back().counts.data() : nullptr);
        }
    }

    void add(uint64_t part, uint64_t points, std::unique_ptr<PartCells> cells) {
        const std::lock_guard<std::mutex> lock(mutex_);
        waiting_.emplace(part, std::pair{points, std::move(cells)});
        while (!waiting_.empty() && waiting_.begin()->first == next_) {
            waiting_.begin()->second.second->addTo(cells_);
            points_.fetch_add(waiting_.begin()->second.first, std::memory_order_relaxed);
            waiting_.erase(waiting_.begin());
            ++next_;
        }
    }

    // Bins that the parts count in straight (null for a kind that has none).
    const std::vector<uint64_t *> &sharedCounts() const { return counts_; }
    std::vector<ReducedCells> take() { return std::move(cells_); }
    uint64_t points() const { return points_.load(std::memory_order_relaxed); }

private:
    std::mutex mutex_;
    std::map<uint64_t, std::pair<uint64_t, std::unique_ptr<PartCells>>> waiting_;
    uint64_t next_ = 0;
    std::atomic<uint64_t> points_{0};
    std::vector<ReducedCells> cells_;
    std::vector<uint64_t *> counts_;
};

double product(const std::vector<uint64_t> &v) {
    double p = 1;
    for (uint64_t x : v)
        p *= static_cast<double>(x);
    return p;
}

// Refuses, before any work, a reduction whose results, or whose parts at
// work on every thread, would not fit in memory; the parts in a batch, so
// that the cells of a batch stay within kBatchCellBytes where they can.
uint64_t batchParts(const Geometry &g, const FormulaRows &rows, unsigned threads) {
    const double limit = static_cast<double>(usableMemoryBytes());
    const double kinds = static_cast<double>(g.request.kinds.size());
    const double cells = static_cast<double>(g.cells);
    // The cells, and their copies as the caller's arrays.
    if (double bytes = cells * kinds * 32.0; bytes > limit) {
        std::vector<uint64_t> kept;
        for (size_t d = 0; d < g.n; ++d)
            if (!g.request.reduced[d])
                kept.push_back(g.block.shape[d]);
        throw TooLarge("reduction over a grid of shape " + tileText(g.block.shape) + ": the results' " +
                       std::to_string(g.cells) + " cells (the kept dimensions, " + tileText(kept) + ") would take " +
                       bytesText(bytes) + ", more than the memory this process may use (" + bytesText(limit) + ")");
    }
    if (!g.request.edges.empty()) {
        const double bins = static_cast<double>(g.request.edges.size() - 1);
        if (double bytes = bins * 16.0; bytes > limit)
            throw TooLarge("histogram of " + std::to_string(g.request.edges.size() - 1) + " bins: its counts would take " +
                           bytesText(bytes) + ", more than the memory this process may use (" + bytesText(limit) + ")");
    }
    // A part's values, and its cells: a box of at most its points.
    const double part = static_cast<double>(rows.largestPart());
    const double partCells = std::min(part, cells) * kinds * 16.0;
    if (double bytes = (part * 8.0 + partCells) * threads; bytes > limit)
        throw TooLarge("tile " + tileText(g.block.tile) + ": a reduction computes a part of up to " +
                       std::to_string(rows.largestPart()) + " points of a tile on each of " + std::to_string(threads) +
                       " threads, which would take " + bytesText(bytes) +
                       ", more than the memory this process may use (" + bytesText(limit) + "): choose a shorter tile");
    const uint64_t most = kBatchPartsPerThread * threads;
    const auto fit = static_cast<uint64_t>(std::max(1.0, kBatchCellBytes / std::max(partCells, 1.0)));
    return std::max<uint64_t>(threads, std::min(most, fit));
}

} // namespace

std::vector<ReducedCells> reduceAccurate(const ASTnode &tree, const Block &block, const ReduceRequest &request,
                                         unsigned threads, const Poll &wait, const Progress &progress) {
    const Geometry geometry(block, request);
    const double points = product(block.shape);
    if (points < static_cast<double>(kParallelPoints))
        threads = 1;
    FormulaRows rows(tree, block);
    const uint64_t batch = batchParts(geometry, rows, threads);
    Joiner joiner(geometry);
    const auto all = static_cast<uint64_t>(points); // below 2**63: the block's origin + shape are
    // A batch may take less than the pool's 20 ms between polls: the caller
    // is also polled between batches, on a clock that runs across them, so
    // Ctrl-C and progress reach a reduction of many short batches.
    using Clock = std::chrono::steady_clock;
    auto polled = Clock::now();
    const Poll poll = [&] {
        polled = Clock::now();
        wait();
        if (progress)
            progress(joiner.points(), all);
    };
    std::vector<RowPart> parts;
    for (uint64_t first = 0; rows.next(batch, parts); first += parts.size(), parts.clear()) {
        runTasks(
            parts.size(), threads,
            [&](uint64_t i, const Poll &partPoll) {
                const RowPart &part = parts[i];
                auto cells = std::make_unique<PartCells>(geometry, part.low, part.high, joiner.sharedCounts());
                rows.run(part, *cells, partPoll);
                cells->settle();
                joiner.add(first + i, part.points, std::move(cells));
            },
            poll);
        if (Clock::now() - polled >= std::chrono::milliseconds(20))
            poll();
    }
    rows.finish();
    std::vector<ReducedCells> result = joiner.take();
    for (ReducedCells &c : result)
        for (size_t i = 0; i < c.lo.size(); ++i)
            if (!std::isfinite(c.hi[i]))
                c.lo[i] = 0.0;
    return result;
}

void squaresOfRows(const double *rows, uint64_t cells, uint64_t n, const double *mean, bool skipNaN, double *hi,
                   double *lo) {
    for (uint64_t r = 0; r < cells; ++r) {
        DD sum;
        if (skipNaN)
            squaresOfNumbers(rows + r * n, n, mean[r], sum);
        else
            squaresOfAll(rows + r * n, n, mean[r], sum);
        hi[r] = sum.hi;
        lo[r] = sum.lo;
    }
}

RowProducts productsOfRows(const double *rows, uint64_t cells, uint64_t n) {
    RowProducts r;
    for (auto *v : {&r.nan, &r.inf, &r.zero, &r.negative, &r.exponent})
        v->resize(cells);
    r.high.resize(cells);
    r.low.resize(cells);
    for (uint64_t c = 0; c < cells; ++c) {
        Scaled product;
        int64_t counts[4];
        productRow(rows + c * n, n, product, counts);
        r.nan[c] = counts[0];
        r.inf[c] = counts[1];
        r.zero[c] = counts[2];
        r.negative[c] = counts[3];
        r.exponent[c] = product.exponent;
        r.high[c] = product.high;
        r.low[c] = product.low;
    }
    return r;
}

} // namespace vemiral
