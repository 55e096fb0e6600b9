#pragma once

#include <cmath>
#include <cstring>
#include <vector>

#include "cr/CRexpr.hpp"
#include "cr/extended.hpp"
#include "eval/extended_functions.hpp"
#include "eval/program.hpp"
#include "eval/vector4.hpp"
#include "eval/vector_math.hpp"

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
                      double &rl, double zh = 0.0, double zl = 0.0, const double *value = nullptr) {
    double r = value ? *value : 0.0, t = 0.0;
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
        }
        if (yl == 0.0 && (yh == -1.0 || yh == 0.5)) {
            // Normalised, as the four-lane forms give them.
            const double s = r + t, bb = s - r;
            if (std::isfinite(s) && std::isfinite(t)) {
                t = (r - (s - bb)) + (t - bb);
                r = s;
            }
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
        applyFunctionLane(op, xh, xl, yh, yl, zh, zl, r, t, value != nullptr);
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

// Stores a value and its tail, normalised while both are finite (as
// applyLane does), the tail 0 unless both are finite.
[[gnu::always_inline]] inline void finish4(const V4 &value, const V4 &tail, double *rh, double *rl) {
    const V4 zero{}, s = value + tail, bb = s - value, rest = (value - (s - bb)) + (tail - bb);
    const auto normal = (s - s == zero) & (tail - tail == zero);
    const V4 r = normal ? s : value, t = normal ? rest : tail;
    store4(rh, r);
    store4(rl, ((r - r == zero) & (t - t == zero)) ? t : zero);
}

// 1/x and sqrt(x) of four lanes, as applyLane computes them.
[[gnu::always_inline]] inline void reciprocal4(const double *xh, const double *xl, double *rh, double *rl) {
    V4 x, xt, e;
    load4(x, xh);
    load4(xt, xl);
    const V4 r = 1.0 / x;
    fma4(e, -r, x, V4{} + 1.0);
    finish4(r, r * (e - r * xt), rh, rl);
}

[[gnu::always_inline]] inline void sqrt4(const double *xh, const double *xl, double *rh, double *rl) {
    V4 x, xt, r, e;
    load4(x, xh);
    load4(xt, xl);
    for (int i = 0; i < 4; ++i)
        r[i] = __builtin_sqrt(x[i]);
    fma4(e, -r, r, x);
    const V4 t = (e + xt) / (2.0 * r);
    finish4(r, r > 0.0 ? t : V4{}, rh, rl);
}

// Those four lanes at a time, with the tail and normalisation applyLane
// gives them.
template <int32_t op>
[[gnu::always_inline]] inline void exactFunction4(const double *xh, const double *xl, const double *yh,
                                                  const double *yl, const double *zh, const double *zl, double *rh,
                                                  double *rl) {
    V4 x, xt, y, yt, r, t{};
    load4(x, xh);
    load4(xt, xl);
    load4(y, yh);
    load4(yt, yl);
    const V4 zero{}, one = zero + 1.0;
    if constexpr (op == EXPR_ABS) {
        for (int i = 0; i < 4; ++i)
            r[i] = __builtin_fabs(x[i]);
        t = x < zero ? -xt : xt;
    } else if constexpr (op == EXPR_FLOOR || op == EXPR_CEIL || op == EXPR_TRUNC || op == EXPR_RINT) {
        for (int i = 0; i < 4; ++i)
            r[i] = op == EXPR_FLOOR  ? __builtin_floor(x[i])
                   : op == EXPR_CEIL ? __builtin_ceil(x[i])
                   : op == EXPR_TRUNC ? __builtin_trunc(x[i])
                                      : __builtin_nearbyint(x[i]);
    } else if constexpr (op == EXPR_SIGN) {
        r = x > zero ? one : x < zero ? -one : x == zero ? zero : x;
    } else if constexpr (op == EXPR_NOT) {
        r = (x == zero) ? one : zero;
    } else if constexpr (op == EXPR_LT) {
        r = (x < y) ? one : zero;
    } else if constexpr (op == EXPR_LE) {
        r = (x <= y) ? one : zero;
    } else if constexpr (op == EXPR_GT) {
        r = (x > y) ? one : zero;
    } else if constexpr (op == EXPR_GE) {
        r = (x >= y) ? one : zero;
    } else if constexpr (op == EXPR_EQ) {
        r = (x == y) ? one : zero;
    } else if constexpr (op == EXPR_NE) {
        r = (x != y) ? one : zero;
    } else if constexpr (op == EXPR_AND) {
        r = ((x != zero) & (y != zero)) ? one : zero;
    } else if constexpr (op == EXPR_OR) {
        r = ((x != zero) | (y != zero)) ? one : zero;
    } else if constexpr (op == EXPR_MIN || op == EXPR_MAX) {
        const auto first = (op == EXPR_MIN ? x < y : x > y) | (x != x);
        r = first ? x : y;
        t = first ? xt : yt;
    } else {
        static_assert(op == EXPR_WHERE);
        V4 z, zt;
        load4(z, zh);
        load4(zt, zl);
        r = x != zero ? y : z;
        t = x != zero ? yt : zt;
    }
    finish4(r, t, rh, rl);
}

// An exact function over `count` lanes (a multiple of four): one loop per
// function, so that no lane group chooses it again.
template <int32_t op>
[[gnu::always_inline]] inline void exactLanesOf(int count, const double *xh, const double *xl, const double *yh,
                                                const double *yl, const double *zh, const double *zl, double *rh,
                                                double *rl) {
    for (int v = 0; v < count; v += 4)
        exactFunction4<op>(xh + v, xl + v, yh + v, yl + v, zh + v, zl + v, rh + v, rl + v);
}

inline void exactLanes(int count, int32_t op, const double *xh, const double *xl, const double *yh, const double *yl,
                       const double *zh, const double *zl, double *rh, double *rl) {
#define VEMIRAL_EXACT(code)                                                                                        \
    case code:                                                                                                    \
        return exactLanesOf<code>(count, xh, xl, yh, yl, zh, zl, rh, rl);
    switch (op) {
        VEMIRAL_EXACT(EXPR_ABS)
        VEMIRAL_EXACT(EXPR_SIGN)
        VEMIRAL_EXACT(EXPR_FLOOR)
        VEMIRAL_EXACT(EXPR_CEIL)
        VEMIRAL_EXACT(EXPR_TRUNC)
        VEMIRAL_EXACT(EXPR_RINT)
        VEMIRAL_EXACT(EXPR_NOT)
        VEMIRAL_EXACT(EXPR_MIN)
        VEMIRAL_EXACT(EXPR_MAX)
        VEMIRAL_EXACT(EXPR_LT)
        VEMIRAL_EXACT(EXPR_LE)
        VEMIRAL_EXACT(EXPR_GT)
        VEMIRAL_EXACT(EXPR_GE)
        VEMIRAL_EXACT(EXPR_EQ)
        VEMIRAL_EXACT(EXPR_NE)
        VEMIRAL_EXACT(EXPR_AND)
        VEMIRAL_EXACT(EXPR_OR)
        VEMIRAL_EXACT(EXPR_WHERE)
    default:
        return;
    }
#undef VEMIRAL_EXACT
}

// The tails of four values r = f(x) (or f(x, y)) that vectorFunction gave,
// as applyLane computes them for a known value, then its normalisation;
// false for a function whose tail this does not vectorise.
[[gnu::always_inline]] inline bool vectorTails4(int32_t op, const double *xh, const double *xl, const double *yh,
                                                const double *yl, const double *value, double *rh, double *rl) {
    V4 x, dx, y, dy, r, t;
    load4(x, xh);
    load4(dx, xl);
    load4(y, yh);
    load4(dy, yl);
    load4(r, value);
    const V4 zero{};
    switch (op) {
    case EXPR_TANH: t = (1.0 - r * r) * dx; break;
    case EXPR_SINH: {
        const V4 base = 1.0 + r * r;
        V4 root;
        for (int i = 0; i < 4; ++i)
            root[i] = __builtin_sqrt(base[i]);
        t = root * dx;
        break;
    }
    case EXPR_LOG10: t = dx / (x * 2.302585092994046); break;
    case EXPR_LOG1P: t = dx / (1.0 + x); break;
    case EXPR_CBRT: t = r != zero ? dx / (3.0 * r * r) : zero; break;
    case EXPR_HYPOT: t = r != zero ? (x * dx + y * dy) / r : zero; break;
    default: return false;
    }
    finish4(r, ((dx == zero) & (dy == zero)) ? zero : t, rh, rl);
    return true;
}

// An expression step's operation other than + and * over `count` lanes (a
// multiple of four): exact functions, reciprocals and square roots four
// lanes at a time, functions with a vector form (vectorFunction) four
// values at a time, the rest lane by lane; every lane as applyLane gives it
// (given the same value of the function).
inline void applyLanesNormalised(int count, int32_t op, bool precise, const double *xh, const double *xl,
                                 const double *yh, const double *yl, const double *zh, const double *zl, double *rh,
                                 double *rl) {
    if (exactFunction(op))
        return exactLanes(count, op, xh, xl, yh, yl, zh, zl, rh, rl);
    const VectorFunction vector = vectorFunction(op);
    for (int v = 0; v < count; v += 4) {
        if (op == EXPR_POW && yl[v] == 0.0 && yl[v + 1] == 0.0 && yl[v + 2] == 0.0 && yl[v + 3] == 0.0) {
            const bool sameY = yh[v] == yh[v + 1] && yh[v] == yh[v + 2] && yh[v] == yh[v + 3];
            if (sameY && yh[v] == -1.0) {
                reciprocal4(xh + v, xl + v, rh + v, rl + v);
                continue;
            }
            if (sameY && yh[v] == 0.5) {
                sqrt4(xh + v, xl + v, rh + v, rl + v);
                continue;
            }
        }
        if (vector) {
            alignas(32) double value[4];
            vector(xh + v, yh + v, value);
            if (vectorTails4(op, xh + v, xl + v, yh + v, yl + v, value, rh + v, rl + v))
                continue;
            for (int l = v; l < v + 4; ++l)
                applyLane(op, precise, xh[l], xl[l], yh[l], yl[l], rh[l], rl[l], zh[l], zl[l], &value[l - v]);
            continue;
        }
        for (int l = v; l < v + 4; ++l)
            applyLane(op, precise, xh[l], xl[l], yh[l], yl[l], rh[l], rl[l], zh[l], zl[l]);
    }
}

// The most lanes an expression step runs at once (a pipeline's chunk).
constexpr int kMaxApplyLanes = 256;

// A pair (value, tail) as a rounded value and what it misses: a compensated
// sum's register may hold 0 with its whole value in the tail.
[[gnu::always_inline]] inline void normalise4(const double *h, const double *l, double *nh, double *nl) {
    V4 x, t;
    load4(x, h);
    load4(t, l);
    const V4 zero{}, s = x + t, bb = s - x, e = (x - (s - bb)) + (t - bb);
    const auto finite = s - s == zero;
    store4(nh, finite ? s : x);
    store4(nl, finite ? e : t);
}

// applyLanesNormalised on the operands normalised first.
inline void applyLanes(int count, int32_t op, bool precise, const double *xh, const double *xl, const double *yh,
                       const double *yl, const double *zh, const double *zl, double *rh, double *rl) {
    alignas(32) double x[kMaxApplyLanes], xt[kMaxApplyLanes], y[kMaxApplyLanes], yt[kMaxApplyLanes],
        z[kMaxApplyLanes], zt[kMaxApplyLanes];
    const int n = operandsOf(op);
    for (int v = 0; v < count; v += 4) {
        normalise4(xh + v, xl + v, x + v, xt + v);
        normalise4(n > 1 ? yh + v : xh + v, n > 1 ? yl + v : xl + v, y + v, yt + v);
        if (n > 2)
            normalise4(zh + v, zl + v, z + v, zt + v);
    }
    applyLanesNormalised(count, op, precise, x, xt, y, yt, n > 2 ? z : x, n > 2 ? zt : xt, rh, rl);
}

// applyLanes for one value (the seeds' expression registers): the same
// function values as every other lane.
inline void applyOneLane(int32_t op, double xh, double xl, double yh, double yl, double zh, double zl, double &rh,
                         double &rl) {
    alignas(32) double x[4] = {xh, xh, xh, xh}, xt[4] = {xl, xl, xl, xl}, y[4] = {yh, yh, yh, yh},
                       yt[4] = {yl, yl, yl, yl}, z[4] = {zh, zh, zh, zh}, zt[4] = {zl, zl, zl, zl}, r[4], t[4];
    applyLanes(4, op, false, x, xt, y, yt, z, zt, r, t);
    rh = r[0];
    rl = t[0];
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
                extended::applyLanesNormalised(K, st.op, st.count == 1, s.hi + x, s.lo + x, s.hi + y, s.lo + y, s.hi + z,
                                        s.lo + z, s.hi + first, s.lo + first);
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
