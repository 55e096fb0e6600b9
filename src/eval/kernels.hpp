#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "cr/CRexpr.hpp"
#include "cr/CRtrig.hpp"
#include "eval/program.hpp"

namespace vemiral {

// Called by long loops at safe points; it throws to abandon the work.
using Poll = std::function<void()>;

// Where a group of rows goes: lane l's points from column `begin` up to
// `end` (exclusive) land at out + l * stride, the point of column `begin`
// first. Columns before `begin` are stepped through but not written.
struct RowsOut {
    double *out;
    uint64_t stride;
    uint64_t begin;
    uint64_t end;
};

// v[l] = x[l] * y[l] (or x[l] + y[l]) for the K lanes, four at a time in
// vector registers where K allows: the compiler cannot tell that v never
// overlaps x or y (an expression node's value register is none of its
// operands), and would otherwise go lane by lane.
template <int K, bool multiply>
inline void lanewise(double *v, const double *x, const double *y) {
    if constexpr (K % 4 == 0) {
        using V = double __attribute__((vector_size(32)));
        for (int l = 0; l < K; l += 4) {
            V a, b;
            std::memcpy(&a, x + l, sizeof a);
            std::memcpy(&b, y + l, sizeof b);
            const V r = multiply ? a * b : a + b;
            std::memcpy(v + l, &r, sizeof r);
        }
    } else {
        for (int l = 0; l < K; ++l)
            v[l] = multiply ? x[l] * y[l] : x[l] + y[l];
    }
}

// One shift of K lanes. Register r of lane l sits at s[r * K + l], so one
// step updates the same register of K rows with consecutive (vectorisable)
// operations. The expressions are those of the chains' own shift, operand
// order included.
template <int K>
inline void execute(const std::vector<Step> &steps, double *s,
                    const std::vector<std::vector<double>> &tables, uint64_t stepNumber) {
    for (const Step &st : steps) {
        switch (st.kind) {
        case Step::Sum: {
            double *f = s + size_t{st.first} * K;
            for (uint32_t i = 0; i + 1 < st.count; ++i, f += K)
                for (int l = 0; l < K; ++l)
                    f[l] = f[l + K] + f[l];
            break;
        }
        case Step::Prod: {
            double *f = s + size_t{st.first} * K;
            for (uint32_t i = 0; i + 1 < st.count; ++i, f += K)
                for (int l = 0; l < K; ++l)
                    f[l] = f[l + K] * f[l];
            break;
        }
        case Step::Rotate: {
            const uint32_t n = st.count;
            double *sines = s + size_t{st.first} * K;
            double *cosines = sines + size_t{n} * K;
            for (uint32_t j = 0; j + 1 < n; ++j, sines += K, cosines += K) {
                for (int l = 0; l < K; ++l)
                    rotateLevel(sines[l], cosines[l], sines[l + K], cosines[l + K]);
            }
            break;
        }
        case Step::Copy:
            std::memcpy(s + size_t{st.first} * K, s + size_t{st.source} * K, sizeof(double) * K);
            break;
        case Step::Expr: {
            double *v = s + size_t{st.first} * K;
            const double *x = s + size_t{st.source} * K, *y = s + size_t{st.other} * K,
                         *z = s + size_t{st.third} * K;
            // Addition and multiplication inline (a call per lane would cost
            // more than the operation), computed as CRexpr::apply does.
            if (st.op == EXPR_ADD) {
                lanewise<K, false>(v, x, y);
            } else if (st.op == EXPR_MUL) {
                lanewise<K, true>(v, x, y);
            } else {
                for (int l = 0; l < K; ++l)
                    v[l] = CRexpr::apply(st.op, x[l], y[l], z[l]);
            }
            break;
        }
        case Step::Table: {
            const double v = tables[st.source][stepNumber];
            for (int l = 0; l < K; ++l)
                s[size_t{st.first} * K + l] = v;
            break;
        }
        }
    }
}

// Runs k rows (a power of two up to the program's maxLanes) side by side
// from their seeded lanes (register r of lane l at lanes[r * k + l]) along
// the innermost dimension, writing columns [out.begin, out.end). Each row
// runs its own operations in its own order; `poll` runs every 2^20 points.
void runGroup(const Program &program, const Seed &seed, int k, double *lanes, const RowsOut &out,
              const Poll &poll);

// One row of a program whose row is an operation between a table and a
// steady register (Program::tableRow), from the row's starting registers.
void runTableRow(const Program &program, const Seed &seed, const double *registers, const RowsOut &out);

} // namespace vemiral
