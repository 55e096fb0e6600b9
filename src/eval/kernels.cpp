// What happens per grid point: rows of a flattened program stepped side by
// side, their values written out.
#include "eval/kernels.hpp"

#include <algorithm>
#include <cstdlib>

namespace vemiral {

namespace {

// Points between two calls of the poll within a long row.
constexpr uint64_t kPollPoints = uint64_t{1} << 20;

// Steps of a group of rows gathered before they go out.
constexpr uint64_t kHistory = 16;

// Picks lanes of two vectors (indexes 0-3 from a, 4-7 from b): GCC's
// spelling, or Clang's, which has no __builtin_shuffle.
#if defined(__clang__)
#define VEMIRAL_SHUFFLE(a, b, i0, i1, i2, i3) __builtin_shufflevector(a, b, i0, i1, i2, i3)
#else
using ShuffleMask = long long __attribute__((vector_size(32)));
#define VEMIRAL_SHUFFLE(a, b, i0, i1, i2, i3) __builtin_shuffle(a, b, ShuffleMask{i0, i1, i2, i3})
#endif

// Writes `count` steps of K rows from history (step-major: history[t][l] is
// row l at step t) to out, row l at out + l * stride. Blocks of 4 rows by 4
// steps are transposed in vector registers, so every row receives
// contiguous stores instead of one scattered store per point.
template <int K>
inline void writeRows(const double (&history)[kHistory][K], uint64_t count, double *out,
                      uint64_t stride) {
    uint64_t t0 = 0;
    if constexpr (K % 4 == 0) {
        using V = double __attribute__((vector_size(32)));
        for (; t0 + 4 <= count; t0 += 4) {
            for (int l = 0; l < K; l += 4) {
                V a0, a1, a2, a3;
                std::memcpy(&a0, &history[t0][l], sizeof(V));
                std::memcpy(&a1, &history[t0 + 1][l], sizeof(V));
                std::memcpy(&a2, &history[t0 + 2][l], sizeof(V));
                std::memcpy(&a3, &history[t0 + 3][l], sizeof(V));
                const V e0 = VEMIRAL_SHUFFLE(a0, a1, 0, 4, 2, 6);
                const V o0 = VEMIRAL_SHUFFLE(a0, a1, 1, 5, 3, 7);
                const V e1 = VEMIRAL_SHUFFLE(a2, a3, 0, 4, 2, 6);
                const V o1 = VEMIRAL_SHUFFLE(a2, a3, 1, 5, 3, 7);
                const V r0 = VEMIRAL_SHUFFLE(e0, e1, 0, 1, 4, 5);
                const V r1 = VEMIRAL_SHUFFLE(o0, o1, 0, 1, 4, 5);
                const V r2 = VEMIRAL_SHUFFLE(e0, e1, 2, 3, 6, 7);
                const V r3 = VEMIRAL_SHUFFLE(o0, o1, 2, 3, 6, 7);
                double *o = out + static_cast<uint64_t>(l) * stride + t0;
                std::memcpy(o, &r0, sizeof(V));
                std::memcpy(o + stride, &r1, sizeof(V));
                std::memcpy(o + 2 * stride, &r2, sizeof(V));
                std::memcpy(o + 3 * stride, &r3, sizeof(V));
            }
        }
    }
    for (int l = 0; l < K; ++l)
        for (uint64_t t = t0; t < count; ++t)
            out[static_cast<uint64_t>(l) * stride + t] = history[t][l];
}

// Runs K rows side by side up to column out.end: `value(l)` is row l's
// current value, `advance(t)` brings every row to step t. A lone row goes
// out point by point, a group through a short history of its values.
template <int K, class Value, class Advance>
inline void driveRows(const RowsOut &out, const Poll &poll, Value &&value, Advance &&advance) {
    constexpr uint64_t pollEvery = kPollPoints / K;
    alignas(64) double history[K == 1 ? 1 : kHistory][K];
    uint64_t written = out.begin; // columns of every row already in out
    for (uint64_t t = 0;; ++t) {
        const bool last = t + 1 == out.end;
        if (t >= out.begin) {
            if constexpr (K == 1) {
                out.out[t - out.begin] = value(0);
            } else {
                for (int l = 0; l < K; ++l)
                    history[t - written][l] = value(l);
                if (t + 1 - written == kHistory || last) {
                    writeRows<K>(history, t + 1 - written, out.out + (written - out.begin), out.stride);
                    written = t + 1;
                }
            }
        }
        if (last)
            break;
        advance(t + 1);
        if ((t + 1) % pollEvery == 0)
            poll();
    }
}

// One step of a short recurrence of `kind` over N levels, on one lane's
// registers r(0) .. r(count - 1) (doubles, or vectors of lanes): the very
// operations of execute(), without dispatch.
template <Step::Kind kind, int N, class Reg>
inline void stepRecurrence(Reg &&r) {
    if constexpr (kind == Step::Sum) {
        for (int i = 0; i + 1 < N; ++i)
            r(i) = r(i + 1) + r(i);
    } else if constexpr (kind == Step::Prod) {
        for (int i = 0; i + 1 < N; ++i)
            r(i) = r(i + 1) * r(i);
    } else {
        for (int j = 0; j + 1 < N; ++j)
            rotateLevel(r(j), r(N + j), r(j + 1), r(N + j + 1));
    }
}

// Rows whose shift is one short recurrence of the value's own chain, its
// value at register V (0, or N for a cosine), kept in machine registers.
// A full group of K rows (a multiple of 8) goes in vectors of four lanes, a
// few vectors at a time (as many as keep their registers within eight vector
// registers) stepping kHistory steps before the next few take their turn.
// Every lane still runs its own operations in its own order.
template <Step::Kind kind, int N, int V, int K>
void runRecurrenceInRegisters(const double *lanes, const RowsOut &out, const Poll &poll) {
    using Vec = double __attribute__((vector_size(32)));
    constexpr int count = kind == Step::Rotate ? 2 * N : N;
    constexpr int vectors = K / 4;
    constexpr int together = count <= 2 ? 4 : count <= 4 ? 2 : 1;
    static_assert(vectors % together == 0);
    Vec f[count][vectors];
    std::memcpy(f, lanes, sizeof f);
    alignas(64) double history[kHistory][K];
    constexpr uint64_t pollEvery = kPollPoints / K;
    uint64_t sincePoll = 0;
    // Steps [t, t + steps) of every lane into history, the state left at t + steps.
    auto chunk = [&](uint64_t steps) {
        for (int g = 0; g < vectors; g += together) {
            Vec r[count][together];
            for (int i = 0; i < count; ++i)
                for (int v = 0; v < together; ++v)
                    r[i][v] = f[i][g + v];
            for (uint64_t j = 0; j < steps; ++j) {
                for (int v = 0; v < together; ++v)
                    std::memcpy(&history[j][4 * (g + v)], &r[V][v], sizeof(Vec));
                for (int v = 0; v < together; ++v)
                    stepRecurrence<kind, N>([&r, v](int i) -> Vec & { return r[i][v]; });
            }
            for (int i = 0; i < count; ++i)
                for (int v = 0; v < together; ++v)
                    f[i][g + v] = r[i][v];
        }
        if ((sincePoll += steps) >= pollEvery) {
            sincePoll = 0;
            poll();
        }
    };
    for (uint64_t t = 0; t < out.begin;) {
        const uint64_t steps = std::min(kHistory, out.begin - t);
        chunk(steps);
        t += steps;
    }
    for (uint64_t t = out.begin; t < out.end;) {
        const uint64_t steps = std::min(kHistory, out.end - t);
        chunk(steps);
        writeRows<K>(history, steps, out.out + (t - out.begin), out.stride);
        t += steps;
    }
}

template <Step::Kind kind, int N, int V, int K>
void runRecurrence(const double *lanes, const RowsOut &out, const Poll &poll) {
    if constexpr (K % 8 == 0) {
        runRecurrenceInRegisters<kind, N, V, K>(lanes, out, poll);
    } else {
        constexpr int count = kind == Step::Rotate ? 2 * N : N;
        double f[count][K];
        std::memcpy(f, lanes, sizeof f);
        driveRows<K>(
            out, poll, [&f](int l) { return f[V][l]; },
            [&f](uint64_t) {
                for (int l = 0; l < K; ++l)
                    stepRecurrence<kind, N>([&f, l](int i) -> double & { return f[i][l]; });
            });
    }
}

template <Step::Kind kind, int N, int K>
void runRecurrenceAt(uint32_t value, const double *lanes, const RowsOut &out, const Poll &poll) {
    if (kind == Step::Rotate && value != 0)
        runRecurrence<kind, N, kind == Step::Rotate ? N : 0, K>(lanes, out, poll);
    else
        runRecurrence<kind, N, 0, K>(lanes, out, poll);
}

// A row program of one short recurrence whose value is the row's value runs
// without walking any step list; false when the program is not of that shape.
template <int K>
bool runLoneRecurrence(const Program &program, const double *lanes, const RowsOut &out,
                       const Poll &poll) {
    if (program.row.size() != 1)
        return false;
    const Step &st = program.row[0];
    if (st.kind != Step::Sum && st.kind != Step::Prod && st.kind != Step::Rotate)
        return false;
    // The row's value must be this chain's own (register 0, or N for a cosine).
    const uint32_t value = program.rootValue - st.first;
    if (program.rootValue < st.first || (value != 0 && !(st.kind == Step::Rotate && value == st.count)))
        return false;
    const double *regs = lanes + size_t{st.first} * K;
    const uint32_t n = st.count;
    if (st.kind == Step::Sum) {
        if (n == 2)
            runRecurrenceAt<Step::Sum, 2, K>(value, regs, out, poll);
        else if (n == 3)
            runRecurrenceAt<Step::Sum, 3, K>(value, regs, out, poll);
        else if (n == 4)
            runRecurrenceAt<Step::Sum, 4, K>(value, regs, out, poll);
        else
            return false;
    } else if (st.kind == Step::Prod) {
        if (n == 2)
            runRecurrenceAt<Step::Prod, 2, K>(value, regs, out, poll);
        else if (n == 3)
            runRecurrenceAt<Step::Prod, 3, K>(value, regs, out, poll);
        else
            return false;
    } else {
        if (n == 2)
            runRecurrenceAt<Step::Rotate, 2, K>(value, regs, out, poll);
        else if (n == 3)
            runRecurrenceAt<Step::Rotate, 3, K>(value, regs, out, poll);
        else
            return false;
    }
    return true;
}

template <int K>
void runRows(const Program &program, const Seed &seed, double *lanes, const RowsOut &out,
             const Poll &poll) {
    const double *values = lanes + size_t{program.rootValue} * K;
    driveRows<K>(
        out, poll, [values](int l) { return values[l]; },
        [&](uint64_t t) { execute<K>(program.row, lanes, seed.tables, t); });
}

// A full group, and a lone row, may be one short recurrence; the other sizes
// only end a range.
[[gnu::always_inline]] inline void runGroupWith(const Program &program, const Seed &seed, int k,
                                                double *lanes, const RowsOut &out, const Poll &poll) {
    switch (k) {
    case 32:
        if (!runLoneRecurrence<32>(program, lanes, out, poll))
            runRows<32>(program, seed, lanes, out, poll);
        break;
    case 16: runRows<16>(program, seed, lanes, out, poll); break;
    case 8: runRows<8>(program, seed, lanes, out, poll); break;
    case 4: runRows<4>(program, seed, lanes, out, poll); break;
    case 2: runRows<2>(program, seed, lanes, out, poll); break;
    default:
        if (!runLoneRecurrence<1>(program, lanes, out, poll))
            runRows<1>(program, seed, lanes, out, poll);
        break;
    }
}

// The group runner is compiled twice: for any processor of the family, and
// for AVX2, chosen once when the processor has it. AVX2 gives wider
// registers for the same correctly rounded additions, multiplications and
// divisions (no fused multiply-add either way), so the values are the same
// whichever runs. VEMIRAL_NO_AVX2 set in the environment (when the module is
// loaded) keeps the portable one, so that the two can be compared.
[[gnu::flatten]] void runGroupPortable(const Program &program, const Seed &seed, int k,
                                       double *lanes, const RowsOut &out, const Poll &poll) {
    runGroupWith(program, seed, k, lanes, out, poll);
}

#if defined(__x86_64__) || defined(__i386__)
[[gnu::flatten, gnu::target("avx2")]] void runGroupAvx2(const Program &program, const Seed &seed,
                                                        int k, double *lanes, const RowsOut &out,
                                                        const Poll &poll) {
    runGroupWith(program, seed, k, lanes, out, poll);
}

const bool useAvx2 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && std::getenv("VEMIRAL_NO_AVX2") == nullptr;
}();
#endif

// Point t is op(left, right) with the table's entry t in place of the
// table's register: CRexpr::apply's operations, inline for + and * so that
// the loop runs in vector registers along the row.
template <int32_t op>
inline void tableRowWith(const Program::TableRow &row, const double *table, const double *registers,
                         const RowsOut &out) {
    const double left = registers[row.left], right = registers[row.right];
    const bool tableLeft = row.left == row.tableAt, tableRight = row.right == row.tableAt;
    double *o = out.out;
    for (uint64_t t = out.begin; t < out.end; ++t) {
        const double x = tableLeft ? table[t] : left, y = tableRight ? table[t] : right;
        if constexpr (op == EXPR_ADD)
            o[t - out.begin] = x + y;
        else if constexpr (op == EXPR_MUL)
            o[t - out.begin] = x * y;
        else
            o[t - out.begin] = CRexpr::apply(row.op, x, y);
    }
}

[[gnu::always_inline]] inline void tableRow(const Program &program, const Seed &seed, const double *registers,
                                            const RowsOut &out) {
    const Program::TableRow &row = program.tableRow;
    const double *table = seed.tables[row.table].data();
    if (row.op == EXPR_ADD)
        tableRowWith<EXPR_ADD>(row, table, registers, out);
    else if (row.op == EXPR_MUL)
        tableRowWith<EXPR_MUL>(row, table, registers, out);
    else
        tableRowWith<-1>(row, table, registers, out);
}

[[gnu::flatten]] void tableRowPortable(const Program &program, const Seed &seed, const double *registers,
                                       const RowsOut &out) {
    tableRow(program, seed, registers, out);
}

#if defined(__x86_64__) || defined(__i386__)
[[gnu::flatten, gnu::target("avx2")]] void tableRowAvx2(const Program &program, const Seed &seed,
                                                        const double *registers, const RowsOut &out) {
    tableRow(program, seed, registers, out);
}
#endif

} // namespace

void runTableRow(const Program &program, const Seed &seed, const double *registers, const RowsOut &out) {
#if defined(__x86_64__) || defined(__i386__)
    if (useAvx2)
        return tableRowAvx2(program, seed, registers, out);
#endif
    tableRowPortable(program, seed, registers, out);
}

void runGroup(const Program &program, const Seed &seed, int k, double *lanes, const RowsOut &out,
              const Poll &poll) {
    if (out.begin >= out.end)
        return;
#if defined(__x86_64__) || defined(__i386__)
    if (useAvx2)
        return runGroupAvx2(program, seed, k, lanes, out, poll);
#endif
    runGroupPortable(program, seed, k, lanes, out, poll);
}

} // namespace vemiral
