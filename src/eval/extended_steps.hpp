#pragma once

#include <cmath>
#include <cstring>
#include <vector>

#include "cr/CRexpr.hpp"
#include "cr/extended.hpp"
#include "eval/extended_functions.hpp"
#include "eval/program.hpp"
#include "eval/vector4.hpp"

namespace vemiral {

// Registers of K lanes in double-double: register r of lane l is
// hi[r * K + l] + lo[r * K + l], normalised after every operation (hi the
// rounded value, lo at most half its ulp): the functions' first-order
// corrections and the products' cross terms rely on it, and a pair whose hi
// drifted from its value would lose its digits there near a zero. A value
// that is not finite is hi alone (lo may then hold a NaN, which toDouble
// ignores).
struct ExtendedLanes {
    double *hi;
    double *lo;
};

// The tables of a program with block tables (Program::Options::blockTables):
// table k holds its part's value at every point of a tile's row, entry
// block * blockPoints + 4 * step + lane, in double-double (hi, lo) and
// rounded (plain, with tail = what plain misses).
struct BlockTables {
    std::vector<std::vector<double>> hi, lo, plain, tail;
};

namespace extended {

// Four lanes at a time in vector registers (K is a multiple of four); every
// operand is read before the results are written, so an output may be one
// of the inputs.

// The pair (s, t) normalised into (h, r). A result that is not finite keeps
// s and a zero tail rather than the NaN normalising would make: chains stay
// representable over their grid (see representable), but an operand may be
// an expression node's infinity.
[[gnu::always_inline]] inline void normalise(V4 &h, V4 &r, const V4 &s, const V4 &t) {
    const auto finite = (s - s) == V4{};
    const V4 sum = s + t, rest = t - (sum - s);
    h = finite ? sum : s;
    r = finite ? rest : V4{};
}

// (h, r) = a + b: the sum and its exact rounding error, with the tails added.
[[gnu::always_inline]] inline void add4(V4 &h, V4 &r, const V4 &a, const V4 &at, const V4 &b, const V4 &bt) {
    const V4 s = a + b;
    const V4 bb = s - a;
    const V4 e = (a - (s - bb)) + (b - bb);
    normalise(h, r, s, (at + bt) + e);
}

// (h, r) = a * b: the product, its exact rounding error and the cross terms.
[[gnu::always_inline]] inline void mul4(V4 &h, V4 &r, const V4 &a, const V4 &at, const V4 &b, const V4 &bt) {
    V4 e, t;
    const V4 p = a * b, minus = -p;
    fma4(e, a, b, minus);
    fma4(e, at, b, e);
    fma4(t, a, bt, e);
    normalise(h, r, p, t);
}

template <int K, bool multiply>
[[gnu::always_inline]] inline void arithmeticLanes(double *sh, double *sl, const double *ah, const double *al,
                                                   const double *bh, const double *bl) {
    for (int v = 0; v < K; v += 4) {
        V4 a, at, b, bt, h, r;
        load4(a, ah + v);
        load4(at, al + v);
        load4(b, bh + v);
        load4(bt, bl + v);
        if constexpr (multiply)
            mul4(h, r, a, at, b, bt);
        else
            add4(h, r, a, at, b, bt);
        store4(sh + v, h);
        store4(sl + v, r);
    }
}

template <int K>
[[gnu::always_inline]] inline void addLanes(double *sh, double *sl, const double *ah, const double *al,
                                            const double *bh, const double *bl) {
    arithmeticLanes<K, false>(sh, sl, ah, al, bh, bl);
}

template <int K>
[[gnu::always_inline]] inline void mulLanes(double *ph, double *pl, const double *ah, const double *al,
                                            const double *bh, const double *bl) {
    arithmeticLanes<K, true>(ph, pl, ah, al, bh, bl);
}

// a*b + c*d (sign +1) or a*b - c*d (sign -1), each product exact before the
// sum: one level of a rotation.
template <int sign>
[[gnu::always_inline]] inline void twoProducts4(V4 &h, V4 &r, const V4 &a, const V4 &at, const V4 &b, const V4 &bt,
                                                const V4 &c, const V4 &ct, const V4 &d, const V4 &dt) {
    V4 pe, qe;
    const V4 p = a * b, minusP = -p;
    fma4(pe, a, b, minusP);
    fma4(pe, at, b, pe);
    fma4(pe, a, bt, pe);
    V4 q = c * d;
    const V4 minusQ = -q;
    fma4(qe, c, d, minusQ);
    fma4(qe, ct, d, qe);
    fma4(qe, c, dt, qe);
    if constexpr (sign < 0) {
        q = -q;
        qe = -qe;
    }
    const V4 s = p + q;
    const V4 bb = s - p;
    const V4 e = (p - (s - bb)) + (q - bb);
    normalise(h, r, s, (pe + qe) + e);
}

template <int K, int sign>
[[gnu::always_inline]] inline void twoProductsLanes(double *rh, double *rl, const double *ah, const double *al,
                                                    const double *bh, const double *bl, const double *ch,
                                                    const double *cl, const double *dh, const double *dl) {
    for (int v = 0; v < K; v += 4) {
        V4 a, at, b, bt, c, ct, d, dt, h, r;
        load4(a, ah + v);
        load4(at, al + v);
        load4(b, bh + v);
        load4(bt, bl + v);
        load4(c, ch + v);
        load4(ct, cl + v);
        load4(d, dh + v);
        load4(dt, dl + v);
        twoProducts4<sign>(h, r, a, at, b, bt, c, ct, d, dt);
        store4(rh + v, h);
        store4(rl + v, r);
    }
}

// An expression node's operation on one lane: + and *, reciprocals and
// square roots exact to double-double; the other functions either in
// double-double too (`precise`: a value that other operations amplify, such
// as the argument of an exponential) or as the C library computes them at
// hi, corrected to first order for lo (within an ulp of the value: for a
// result that nothing amplifies any more).
inline void applyLane(int32_t op, bool precise, double xh, double xl, double yh, double yl, double &rh,
                      double &rl, double zh = 0.0, double zl = 0.0) {
    double r = 0.0, t = 0.0;
    if (precise && op >= EXPR_POW && op <= EXPR_COS && !(op == EXPR_POW && (yh == -1.0 || yh == 0.5))) {
        const Extended x{xh, xl}, y{yh, yl};
        const Extended v = op == EXPR_POW ? pow(x, y)
                           : op == EXPR_EXP ? exp(x)
                           : op == EXPR_LN  ? log(x)
                           : op == EXPR_SIN ? sin(x)
                                            : cos(x);
        rh = v.hi;
        rl = std::isfinite(v.hi) && std::isfinite(v.lo) ? v.lo : 0.0;
        return;
    }
    switch (op) {
    case EXPR_ADD: {
        const double s = xh + yh, bb = s - xh;
        const double e = ((xh - (s - bb)) + (yh - bb)) + (xl + yl);
        if (!std::isfinite(s))
            return void((rh = s, rl = 0.0));
        r = s + e;
        t = e - (r - s);
        break;
    }
    case EXPR_MUL: {
        const double p = xh * yh;
        const double e = std::fma(xh, yl, std::fma(xl, yh, std::fma(xh, yh, -p)));
        if (!std::isfinite(p))
            return void((rh = p, rl = 0.0));
        r = p + e;
        t = e - (r - p);
        break;
    }
    case EXPR_POW:
        if (yh == -1.0 && yl == 0.0) {
            r = 1.0 / xh;
            // 1/(x + xl) = r (1 + e) with e the residual of r * x.
            t = r * (std::fma(-r, xh, 1.0) - r * xl);
        } else if (yh == 0.5 && yl == 0.0) {
            // sqrt(x + xl) = r + (x + xl - r^2) / (2r).
            r = std::sqrt(xh);
            t = r > 0.0 ? (std::fma(-r, r, xh) + xl) / (2.0 * r) : 0.0;
        } else {
            r = std::pow(xh, yh);
            t = xh != 0.0 ? r * (yh * (xl / xh) + (yl != 0.0 ? yl * std::log(std::fabs(xh)) : 0.0)) : 0.0;
        }
        break;
    case EXPR_EXP:
        r = std::exp(xh);
        t = r * xl;
        break;
    case EXPR_LN:
        r = std::log(xh);
        t = xl / xh;
        break;
    case EXPR_SIN:
        r = std::sin(xh);
        // A tail is a correction only while the argument has a fraction.
        t = xl != 0.0 && std::fabs(xh) < 0x1p52 ? std::cos(xh) * xl : 0.0;
        break;
    case EXPR_COS:
        r = std::cos(xh);
        t = xl != 0.0 && std::fabs(xh) < 0x1p52 ? -std::sin(xh) * xl : 0.0;
        break;
    default: {
        applyFunctionLane(op, xh, xl, yh, yl, zh, zl, r, t);
        // The tail may exceed half an ulp of r (floor(3 - 1e-17) is 3 - 1).
        const double s = r + t, bb = s - r;
        if (std::isfinite(s) && std::isfinite(t)) {
            t = (r - (s - bb)) + (t - bb);
            r = s;
        }
        break;
    }
    }
    rh = r;
    rl = std::isfinite(r) && std::isfinite(t) ? t : 0.0;
}

} // namespace extended

// One shift of K lanes in double-double: the chains' own recurrences with
// every operation's rounding error kept. A table step reads, for every four
// lanes g, the four entries from entries[g] on.
template <int K>
inline void executeExtended(const std::vector<Step> &steps, const ExtendedLanes &s, const BlockTables *tables,
                            const uint64_t *entries) {
    using namespace extended;
    for (const Step &st : steps) {
        const size_t first = size_t{st.first} * K;
        switch (st.kind) {
        case Step::Sum:
            for (uint32_t i = 0; i + 1 < st.count; ++i) {
                const size_t a = first + size_t{i} * K;
                addLanes<K>(s.hi + a, s.lo + a, s.hi + a + K, s.lo + a + K, s.hi + a, s.lo + a);
            }
            break;
        case Step::Prod:
            for (uint32_t i = 0; i + 1 < st.count; ++i) {
                const size_t a = first + size_t{i} * K;
                mulLanes<K>(s.hi + a, s.lo + a, s.hi + a + K, s.lo + a + K, s.hi + a, s.lo + a);
            }
            break;
        case Step::Rotate: {
            // Level j turns by level j + 1 (still unturned): sine' = S c + C s,
            // cosine' = C c - S s.
            const size_t n = size_t{st.count} * K;
            for (uint32_t j = 0; j + 1 < st.count; ++j) {
                const size_t S = first + size_t{j} * K, C = S + n, s1 = S + K, c1 = C + K;
                alignas(32) double sh[K], sl[K];
                twoProductsLanes<K, 1>(sh, sl, s.hi + S, s.lo + S, s.hi + c1, s.lo + c1, s.hi + C, s.lo + C,
                                       s.hi + s1, s.lo + s1);
                twoProductsLanes<K, -1>(s.hi + C, s.lo + C, s.hi + C, s.lo + C, s.hi + c1, s.lo + c1, s.hi + S,
                                        s.lo + S, s.hi + s1, s.lo + s1);
                std::memcpy(s.hi + S, sh, sizeof sh);
                std::memcpy(s.lo + S, sl, sizeof sl);
            }
            break;
        }
        case Step::Copy:
            std::memcpy(s.hi + first, s.hi + size_t{st.source} * K, sizeof(double) * K);
            std::memcpy(s.lo + first, s.lo + size_t{st.source} * K, sizeof(double) * K);
            break;
        case Step::Expr: {
            const size_t x = size_t{st.source} * K, y = size_t{st.other} * K;
            if (st.op == EXPR_ADD) {
                addLanes<K>(s.hi + first, s.lo + first, s.hi + x, s.lo + x, s.hi + y, s.lo + y);
            } else if (st.op == EXPR_MUL) {
                mulLanes<K>(s.hi + first, s.lo + first, s.hi + x, s.lo + x, s.hi + y, s.lo + y);
            } else {
                // An expression step's count is 1 where its value must be
                // precise (see markPrecise).
                const size_t z = size_t{st.third} * K;
                for (int l = 0; l < K; ++l)
                    extended::applyLane(st.op, st.count == 1, s.hi[x + l], s.lo[x + l], s.hi[y + l], s.lo[y + l],
                                        s.hi[first + l], s.lo[first + l], s.hi[z + l], s.lo[z + l]);
            }
            break;
        }
        case Step::Table:
            for (int g = 0; g < K / 4; ++g) {
                std::memcpy(s.hi + first + 4 * g, tables->hi[st.source].data() + entries[g], sizeof(double) * 4);
                std::memcpy(s.lo + first + 4 * g, tables->lo[st.source].data() + entries[g], sizeof(double) * 4);
            }
            break;
        }
    }
}

} // namespace vemiral

namespace vemiral {

// executeExtended<4> compiled for any processor of the family and for AVX2
// with FMA (where a fused multiply-add is one instruction rather than a
// library call), chosen once; both give the same bits.
void executeExtended4(const std::vector<Step> &steps, const ExtendedLanes &lanes, const BlockTables *tables,
                      uint64_t entry);

} // namespace vemiral
