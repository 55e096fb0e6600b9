#pragma once

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "cr/CRexpr.hpp"
#include "eval/extended_steps.hpp"
#include "eval/program.hpp"
#include "eval/vector4.hpp"

namespace vemiral {

// The steps of a block in plain doubles, for programs whose block steps are
// sums, products and rotations of one level (a constant ratio or angle per
// block) and additions and multiplications of their values. Every register
// has a tail beside it (tails[r * K + l]): a ratio or an angle is applied
// with its tail, so that a block's values drift only by one rounding per
// step, never by a rounded coefficient compounded over the block; a sum
// keeps its registers' tails and adds every rounding error to them; and
// additions and multiplications of values that tables and rows give (whose
// tails are known; a stepped register's tail is 0) are exact to
// double-double before their result is rounded, so that sums of large
// terms that cancel keep their digits.
//
// Pointwise operations whose values are exact or exact to double-double
// (rounding, comparisons, where, min, max; reciprocals and square roots)
// may take such values anywhere, and the tree's own value may be any other
// pointwise operation of them: nothing amplifies its last-bit error any more.
inline bool plainSteps(const Program &program) {
    const std::vector<double> &constants = program.seed.registers;
    auto exact = [&](const Step &st) {
        if (st.op == EXPR_ADD || st.op == EXPR_MUL || extended::exactFunction(st.op))
            return true;
        if (st.op != EXPR_POW)
            return false;
        // A constant exponent -1 or 1/2: a register no step writes.
        auto writes = [&](const std::vector<Step> &steps) {
            return std::any_of(steps.begin(), steps.end(), [&](const Step &w) { return w.first == st.other; });
        };
        const bool written = writes(program.row) || std::any_of(program.outer.begin(), program.outer.end(), writes);
        return !written && (constants[st.other] == -1.0 || constants[st.other] == 0.5);
    };
    for (const Step &st : program.row) {
        switch (st.kind) {
        case Step::Sum:
        case Step::Copy:
            break;
        case Step::Prod:
            if (st.count != 2)
                return false;
            break;
        case Step::Rotate: // a constant angle, or one that turns by a constant angle
            if (st.count != 2 && st.count != 3)
                return false;
            break;
        case Step::Expr:
            if (!exact(st) && st.first != program.rootValue)
                return false;
            break;
        case Step::Table:
            break;
        }
    }
    return true;
}

// a + b into (a, at), the rounding error of a + b and bt joining the tail at.
[[gnu::always_inline]] inline void compensatedAdd(V4 &a, V4 &at, const V4 &b, const V4 &bt) {
    const V4 s = a + b, bb = s - a, e = (a - (s - bb)) + (b - bb);
    at = at + (bt + e);
    a = s;
}

// A register's value with its tail added, where that is a number (a sum
// that reached an infinity has no tail worth adding).
[[gnu::always_inline]] inline void withTail(V4 &out, const V4 &value, const V4 &tail) {
    const V4 sum = value + tail;
    out = sum == sum ? sum : value;
}

template <int K>
inline void executePlain(const std::vector<Step> &steps, double *s, double *tails, const BlockTables *tables,
                         const uint64_t *entries) {
    for (const Step &st : steps) {
        double *f = s + size_t{st.first} * K;
        switch (st.kind) {
        case Step::Sum: {
            // Compensated: each addition's exact error joins the running
            // tails, so a sum drifts by nothing, however its terms cancel.
            double *t = tails + size_t{st.first} * K;
            for (uint32_t i = 0; i + 1 < st.count; ++i, f += K, t += K)
                for (int v = 0; v < K; v += 4) {
                    V4 a, at, b, bt;
                    load4(a, f + v);
                    load4(at, t + v);
                    load4(b, f + v + K);
                    load4(bt, t + v + K);
                    compensatedAdd(a, at, b, bt);
                    store4(f + v, a);
                    store4(t + v, at);
                }
            break;
        }
        case Step::Prod: {
            const double *t = tails + size_t{st.first + 1} * K;
            for (int v = 0; v < K; v += 4) {
                V4 x, r, rt, out;
                load4(x, f + v);
                load4(r, f + v + K);
                load4(rt, t + v);
                const V4 small = x * rt;
                fma4(out, x, r, small);
                store4(f + v, out);
            }
            break;
        }
        case Step::Rotate: {
            // Sines f[0], f[K] (, f[2K]), cosines after them; the angle's
            // tails beside its registers. Level 0 turns in plain doubles by
            // level 1 with its tails; a level 1 that turns itself (by level
            // 2, a constant) does so in double-double afterwards, its tails
            // kept, so the angle never drifts.
            const size_t n = size_t{st.count} * K;
            double *sine = f, *cosine = f + n;
            const double *s1 = f + K, *c1 = f + n + K;
            const double *ts = tails + size_t{st.first + 1} * K, *tc = tails + size_t{st.first + st.count + 1} * K;
            for (int v = 0; v < K; v += 4) {
                V4 S, C, s, c, tS, tC, a, b;
                load4(S, sine + v);
                load4(C, cosine + v);
                load4(s, s1 + v);
                load4(c, c1 + v);
                load4(tS, ts + v);
                load4(tC, tc + v);
                // S' = S c + C s and C' = C c - S s, the tails' terms first.
                const V4 minusS = -S, cts = C * tS, sts = -(S * tS);
                fma4(a, S, tC, cts);
                fma4(a, C, s, a);
                fma4(a, S, c, a);
                fma4(b, C, tC, sts);
                fma4(b, minusS, s, b);
                fma4(b, C, c, b);
                store4(sine + v, a);
                store4(cosine + v, b);
            }
            if (st.count == 3) {
                double *S = f + K, *C = f + n + K, *St = tails + size_t{st.first + 1} * K,
                       *Ct = tails + size_t{st.first + st.count + 1} * K;
                const double *s2 = f + 2 * K, *c2 = f + n + 2 * K, *s2t = tails + size_t{st.first + 2} * K,
                             *c2t = tails + size_t{st.first + st.count + 2} * K;
                alignas(32) double sh[K], sl[K];
                extended::twoProductsLanes<K, 1>(sh, sl, S, St, c2, c2t, C, Ct, s2, s2t);
                extended::twoProductsLanes<K, -1>(C, Ct, C, Ct, c2, c2t, S, St, s2, s2t);
                std::memcpy(S, sh, sizeof sh);
                std::memcpy(St, sl, sizeof sl);
            }
            break;
        }
        case Step::Copy:
            std::memcpy(f, s + size_t{st.source} * K, sizeof(double) * K);
            std::memcpy(tails + size_t{st.first} * K, tails + size_t{st.source} * K, sizeof(double) * K);
            break;
        case Step::Expr: {
            const size_t x = size_t{st.source} * K, y = size_t{st.other} * K, r = size_t{st.first} * K;
            if (st.op == EXPR_ADD) {
                extended::addLanes<K>(s + r, tails + r, s + x, tails + x, s + y, tails + y);
            } else if (st.op == EXPR_MUL) {
                extended::mulLanes<K>(s + r, tails + r, s + x, tails + x, s + y, tails + y);
            } else {
                const size_t z = size_t{st.third} * K;
                extended::applyLanes(K, st.op, false, s + x, tails + x, s + y, tails + y, s + z, tails + z, s + r,
                                        tails + r);
            }
            break;
        }
        case Step::Table:
            for (int g = 0; g < K / 4; ++g) {
                std::memcpy(f + 4 * g, tables->plain[st.source].data() + entries[g], sizeof(double) * 4);
                std::memcpy(tails + size_t{st.first} * K + 4 * g, tables->tail[st.source].data() + entries[g],
                            sizeof(double) * 4);
            }
            break;
        }
    }
}

} // namespace vemiral

namespace vemiral {

// A block whose steps are one short recurrence, the value its own, kept in
// vector registers over all its steps: `vectors` places (four lanes each) at
// a time, each place's values stored at to[place] + 4 * step. The same
// operations in the same order as executePlain.
template <Step::Kind kind, int count, int vectors>
[[gnu::always_inline]] inline void loneRecurrence(const double *registers, const double *tails, int K,
                                                  uint32_t first, uint32_t valueAt, double *const *to, int places,
                                                  uint64_t steps) {
    constexpr int regs = kind == Step::Rotate ? 2 * count : count;
    for (int p0 = 0; p0 < places; p0 += vectors) {
        // Rotations: sines r[0 .. count), cosines after; t1, t3 the tails of
        // level 1's sine and cosine, t5, t6 of level 2's (count 3).
        constexpr int c0 = kind == Step::Rotate ? count : 2;
        V4 r[regs][vectors], t1[vectors], t3[vectors], t5[vectors], t6[vectors],
            tails_[kind == Step::Sum ? regs : 1][vectors];
        for (int i = 0; i < regs; ++i)
            for (int v = 0; v < vectors; ++v) {
                const size_t at = size_t{first + static_cast<uint32_t>(i)} * static_cast<size_t>(K) +
                                  static_cast<size_t>(4 * (p0 + v));
                load4(r[i][v], registers + at);
                if constexpr (kind == Step::Sum)
                    load4(tails_[i][v], tails + at);
            }
        for (int v = 0; v < vectors; ++v) {
            load4(t1[v], tails + size_t{first + 1} * static_cast<size_t>(K) + static_cast<size_t>(4 * (p0 + v)));
            if constexpr (kind == Step::Rotate)
                load4(t3[v], tails + size_t{first + c0 + 1} * static_cast<size_t>(K) + static_cast<size_t>(4 * (p0 + v)));
            if constexpr (kind == Step::Rotate && count == 3) {
                load4(t5[v], tails + size_t{first + 2} * static_cast<size_t>(K) + static_cast<size_t>(4 * (p0 + v)));
                load4(t6[v], tails + size_t{first + 5} * static_cast<size_t>(K) + static_cast<size_t>(4 * (p0 + v)));
            }
        }
        for (uint64_t t = 0;; ++t) {
            for (int v = 0; v < vectors; ++v) {
                if constexpr (kind == Step::Sum) {
                    V4 out;
                    withTail(out, r[0][v], tails_[0][v]);
                    store4(to[p0 + v] + t * 4, out);
                } else
                    store4(to[p0 + v] + t * 4, r[valueAt][v]);
            }
            if (t + 1 == steps)
                break;
            for (int v = 0; v < vectors; ++v) {
                if constexpr (kind == Step::Sum) {
                    for (int i = 0; i + 1 < count; ++i)
                        compensatedAdd(r[i][v], tails_[i][v], r[i + 1][v], tails_[i + 1][v]);
                } else if constexpr (kind == Step::Prod) {
                    const V4 small = r[0][v] * t1[v];
                    fma4(r[0][v], r[0][v], r[1][v], small);
                } else {
                    const V4 S = r[0][v], C = r[c0][v], minusS = -S, cts = C * t1[v], sts = -(S * t1[v]);
                    V4 a, b;
                    fma4(a, S, t3[v], cts);
                    fma4(a, C, r[1][v], a);
                    fma4(a, S, r[c0 + 1][v], a);
                    fma4(b, C, t3[v], sts);
                    fma4(b, minusS, r[1][v], b);
                    fma4(b, C, r[c0 + 1][v], b);
                    r[0][v] = a;
                    r[c0][v] = b;
                    if constexpr (count == 3) {
                        V4 s1, s1t, k1, k1t;
                        extended::twoProducts4<1>(s1, s1t, r[1][v], t1[v], r[5][v], t6[v], r[4][v], t3[v], r[2][v],
                                                  t5[v]);
                        extended::twoProducts4<-1>(k1, k1t, r[4][v], t3[v], r[5][v], t6[v], r[1][v], t1[v], r[2][v],
                                                   t5[v]);
                        r[1][v] = s1;
                        t1[v] = s1t;
                        r[4][v] = k1;
                        t3[v] = k1t;
                    }
                }
            }
        }
    }
}

// Runs the block with loneRecurrence when its steps are one recurrence of a
// shape it knows; false otherwise.
template <int K>
[[gnu::always_inline]] inline bool runLonePlain(const std::vector<Step> &steps, uint32_t rootValue,
                                                const double *registers, const double *tails, double *const *to,
                                                uint64_t stepCount) {
    if (steps.size() != 1)
        return false;
    const Step &st = steps[0];
    const int places = K / 4;
    if (st.kind == Step::Sum && rootValue == st.first) {
        switch (st.count) {
        case 2: loneRecurrence<Step::Sum, 2, 4>(registers, tails, K, st.first, 0, to, places, stepCount); return true;
        case 3: loneRecurrence<Step::Sum, 3, 4>(registers, tails, K, st.first, 0, to, places, stepCount); return true;
        case 4: loneRecurrence<Step::Sum, 4, 2>(registers, tails, K, st.first, 0, to, places, stepCount); return true;
        default: return false;
        }
    }
    if (st.kind == Step::Prod && st.count == 2 && rootValue == st.first) {
        loneRecurrence<Step::Prod, 2, 4>(registers, tails, K, st.first, 0, to, places, stepCount);
        return true;
    }
    if (st.kind == Step::Rotate && st.count == 2 && (rootValue == st.first || rootValue == st.first + 2)) {
        if (rootValue == st.first)
            loneRecurrence<Step::Rotate, 2, 2>(registers, tails, K, st.first, 0, to, places, stepCount);
        else
            loneRecurrence<Step::Rotate, 2, 2>(registers, tails, K, st.first, 2, to, places, stepCount);
        return true;
    }
    if (st.kind == Step::Rotate && st.count == 3 && (rootValue == st.first || rootValue == st.first + 3)) {
        if (rootValue == st.first)
            loneRecurrence<Step::Rotate, 3, 1>(registers, tails, K, st.first, 0, to, places, stepCount);
        else
            loneRecurrence<Step::Rotate, 3, 1>(registers, tails, K, st.first, 3, to, places, stepCount);
        return true;
    }
    return false;
}

} // namespace vemiral
