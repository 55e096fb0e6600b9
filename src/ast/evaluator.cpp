#include "ast/evaluator.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "cr/CRexpr.hpp"
#include "cr/CRnum.hpp"
#include "cr/CRprod.hpp"
#include "cr/CRsum.hpp"
#include "cr/CRtrig.hpp"

namespace vemiral {

namespace {

using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start) {
    return static_cast<double>(
               std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count()) /
           1e6;
}

// Rows evaluated side by side: each row still runs its own operations in its
// own order, but the rows' dependency chains overlap in the pipeline, and the
// cost of walking the steps is shared by more points. Fewer when the rows'
// registers would leave the first-level cache.
constexpr int kMaxLanes = 32;
constexpr size_t kLaneBytes = 32 * 1024;

// Points between two calls of the poll within a long row.
constexpr uint64_t kPollPoints = uint64_t{1} << 20;

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

// Register r of lane l sits at s[r * K + l], so one instruction updates the
// same register of K rows with consecutive (vectorisable) operations. The
// expressions are those of the chains' own shift, operand order included.
template <int K>
inline void execute(const std::vector<Step> &steps, double *s,
                    const std::vector<std::vector<double>> &tables, uint64_t stepNumber) {
    for (const Step &st : steps) {
        switch (st.kind) {
        case Step::Sum: {
            double *f = s + size_t{st.a} * K;
            for (uint32_t i = 0; i + 1 < st.b; ++i, f += K)
                for (int l = 0; l < K; ++l)
                    f[l] = f[l + K] + f[l];
            break;
        }
        case Step::Prod: {
            double *f = s + size_t{st.a} * K;
            for (uint32_t i = 0; i + 1 < st.b; ++i, f += K)
                for (int l = 0; l < K; ++l)
                    f[l] = f[l + K] * f[l];
            break;
        }
        case Step::Trig: {
            const uint32_t n = st.b;
            double *sines = s + size_t{st.a} * K;
            double *cosines = sines + size_t{n} * K;
            for (uint32_t j = 0; j + 1 < n; ++j, sines += K, cosines += K) {
                for (int l = 0; l < K; ++l)
                    rotateLevel(sines[l], cosines[l], sines[l + K], cosines[l + K]);
            }
            break;
        }
        case Step::Copy:
            std::memcpy(s + size_t{st.a} * K, s + size_t{st.b} * K, sizeof(double) * K);
            break;
        case Step::Expr: {
            double *v = s + size_t{st.a} * K;
            const double *x = s + size_t{st.b} * K, *y = s + size_t{st.c} * K;
            // Addition and multiplication inline (a call per lane would cost
            // more than the operation), computed as CRexpr::apply does.
            if (st.op == EXPR_ADD) {
                lanewise<K, false>(v, x, y);
            } else if (st.op == EXPR_MUL) {
                lanewise<K, true>(v, x, y);
            } else {
                for (int l = 0; l < K; ++l)
                    v[l] = CRexpr::apply(st.op, x[l], y[l]);
            }
            break;
        }
        case Step::Table: {
            const double v = tables[st.b][stepNumber];
            for (int l = 0; l < K; ++l)
                s[size_t{st.a} * K + l] = v;
            break;
        }
        }
    }
}

} // namespace

// The chain tree laid out in registers: a node's fast values, then (for an
// expression node or a constant root) the register holding its value, then
// its chain operands' subtrees, so every subtree is one register range.
struct Evaluator::Node {
    enum Kind { Num, Sum, Prod, Trig, Expr } kind;
    int64_t index;
    uint32_t base, length, value, end;
    int32_t op;
    std::vector<std::pair<uint32_t, uint32_t>> chains; // (position, node)
};

class EvaluatorBuilder {
public:
    using Node = Evaluator::Node;

    explicit EvaluatorBuilder(Evaluator &ev) : ev_(ev) {}

    uint32_t layout(const CRobj &cr) {
        Node node{};
        node.index = cr.index;
        node.length = static_cast<uint32_t>(cr.length);
        node.base = registerCount();
        if (auto *num = dynamic_cast<const CRnum *>(&cr)) {
            node.kind = Node::Num;
            node.value = node.base;
            ev_.init_.push_back(num->number);
        } else {
            if (!cr.initialized || cr.fastvalues.size() != cr.length)
                throw std::logic_error("evaluator: the chain is not initialised");
            ev_.init_.insert(ev_.init_.end(), cr.fastvalues.begin(), cr.fastvalues.end());
            node.value = node.base;
            if (auto *expr = dynamic_cast<const CRexpr *>(&cr)) {
                node.kind = Node::Expr;
                node.op = expr->op;
                node.value = registerCount();
                ev_.init_.push_back(cr.value());
            } else if (auto *trig = dynamic_cast<const CRtrig *>(&cr)) {
                node.kind = Node::Trig;
                node.value = node.base + static_cast<uint32_t>(trig->valuePosition());
            } else if (dynamic_cast<const CRprod *>(&cr)) {
                node.kind = Node::Prod;
            } else if (dynamic_cast<const CRsum *>(&cr)) {
                node.kind = Node::Sum;
            } else {
                throw std::logic_error("evaluator: unknown kind of chain");
            }
        }
        const auto id = static_cast<uint32_t>(nodes_.size());
        nodes_.push_back(std::move(node));
        for (int32_t p : cr.crpositions) {
            const uint32_t child = layout(*cr.operands[static_cast<size_t>(p)]);
            nodes_[id].chains.emplace_back(static_cast<uint32_t>(p), child);
        }
        nodes_[id].end = registerCount();
        return id;
    }

    // Appends the steps by which node's shift along dim changes any register
    // of its subtree; returns whether there are any. A chain operand whose
    // subtree does not change needs no re-reading into its parent: outside a
    // shift, a parent that has never stepped along its own dimension (and an
    // expression node, always) holds its operands' current values, and a copy
    // is shifted only along dimensions in ascending order, so every parent
    // reached through a refresh is one of those.
    bool emit(uint32_t id, int64_t dim, std::vector<Step> &out, bool tabulate) {
        const Node &node = nodes_[id];
        switch (node.kind) {
        case Node::Num:
            return false;
        case Node::Sum:
        case Node::Prod:
        case Node::Trig:
            if (dim == node.index) {
                const uint32_t count = node.kind == Node::Trig ? node.length / 2 : node.length;
                if (count < 2)
                    return false;
                const Step::Kind kind = node.kind == Node::Sum    ? Step::Sum
                                        : node.kind == Node::Prod ? Step::Prod
                                                                  : Step::Trig;
                out.push_back(Step{kind, 0, node.base, count, 0});
                return true;
            }
            return dim < node.index && refresh(id, dim, out, tabulate);
        case Node::Expr:
            // Its value is its operation on its fast values whenever those are
            // current, so it is recomputed only when an operand changed.
            if (dim > node.index || !refresh(id, dim, out, tabulate))
                return false;
            out.push_back(Step{Step::Expr, node.op, node.value, node.base,
                               node.length > 1 ? node.base + 1 : node.base});
            return true;
        }
        return false;
    }

    // A subtree that no shift along an outer dimension touches starts every
    // row in its initial state, so its values along a row are the same for
    // every row: they are computed once into a table.
    bool rowInvariant(uint32_t id) const {
        const Node &node = nodes_[id];
        return writtenBefore_[node.end] - writtenBefore_[node.base] == 0;
    }

    void markOuterWrites() {
        std::vector<char> written(registerCount(), 0);
        for (const auto &steps : ev_.outer_) {
            for (const Step &st : steps) {
                if (st.kind == Step::Sum || st.kind == Step::Prod)
                    std::fill_n(written.begin() + st.a, st.b, 1);
                else if (st.kind == Step::Trig)
                    std::fill_n(written.begin() + st.a, 2 * st.b, 1);
                else
                    written[st.a] = 1;
            }
        }
        writtenBefore_.assign(written.size() + 1, 0);
        for (size_t r = 0; r < written.size(); ++r)
            writtenBefore_[r + 1] = writtenBefore_[r] + static_cast<uint32_t>(written[r]);
    }

    // The values of one row-invariant subtree along a row: entry t is its
    // value after t shifts, the number a parent re-reads at step t.
    std::vector<double> tabulate(const std::vector<Step> &steps, uint32_t value) const {
        std::vector<double> regs = ev_.init_;
        std::vector<double> table(ev_.rowLength_);
        for (uint64_t t = 0; t < ev_.rowLength_; ++t) {
            table[t] = regs[value];
            if (t + 1 < ev_.rowLength_)
                execute<1>(steps, regs.data(), ev_.tables_, 0);
        }
        return table;
    }

    const Node &node(uint32_t id) const { return nodes_[id]; }

    // Tables cost a row of memory each; the grid's rows pay for them.
    uint64_t tableBudget = 0;

private:
    Evaluator &ev_;
    std::vector<Node> nodes_;
    std::vector<uint32_t> writtenBefore_;

    uint32_t registerCount() const {
        if (ev_.init_.size() >= UINT32_MAX)
            throw std::length_error("evaluator: too many registers");
        return static_cast<uint32_t>(ev_.init_.size());
    }

    bool refresh(uint32_t id, int64_t dim, std::vector<Step> &out, bool tabulate) {
        bool changed = false;
        const uint32_t base = nodes_[id].base;
        for (const auto &[position, child] : nodes_[id].chains) {
            if (tabulate && tableBudget > 0 && rowInvariant(child)) {
                std::vector<Step> own;
                if (!emit(child, dim, own, false))
                    continue;
                ev_.tables_.push_back(this->tabulate(own, nodes_[child].value));
                --tableBudget;
                out.push_back(Step{Step::Table, 0, base + position,
                                   static_cast<uint32_t>(ev_.tables_.size() - 1), 0});
                changed = true;
            } else if (emit(child, dim, out, tabulate)) {
                out.push_back(Step{Step::Copy, 0, base + position, nodes_[child].value, 0});
                changed = true;
            }
        }
        return changed;
    }
};

Evaluator::Evaluator(const CRobj &root, const std::vector<uint64_t> &extents) : extents_(extents) {
    if (extents.empty())
        throw std::invalid_argument("evaluator: the grid has no dimensions");
    for (uint64_t e : extents)
        if (e == 0)
            throw std::invalid_argument("evaluator: every extent must be at least 1");
    const size_t inner = extents.size() - 1;
    rowLength_ = extents[inner];
    for (size_t j = 0; j < inner; ++j)
        rows_ *= extents[j];

    EvaluatorBuilder b(*this);
    const uint32_t rootId = b.layout(root);
    rootValue_ = b.node(rootId).value;
    outer_.resize(inner);
    for (size_t j = 0; j < inner; ++j)
        b.emit(rootId, static_cast<int64_t>(j), outer_[j], false);
    b.markOuterWrites();

    const auto innermost = static_cast<int64_t>(inner);
    if (rows_ < 2) {
        b.emit(rootId, innermost, row_, false);
    } else if (b.rowInvariant(rootId)) {
        // Every row is the same row.
        std::vector<Step> steps;
        b.emit(rootId, innermost, steps, false);
        tables_.push_back(b.tabulate(steps, rootValue_));
        rootTabulated_ = true;
    } else {
        b.tableBudget = rows_ / 2;
        b.emit(rootId, innermost, row_, true);
    }

    while (maxLanes_ > 1 && init_.size() * sizeof(double) * static_cast<size_t>(maxLanes_) > kLaneBytes)
        maxLanes_ /= 2;
}

namespace {

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

// Runs K consecutive rows side by side to their end: `value(l)` is row l's
// current value, `advance(t)` brings every row to step t. A lone row goes
// out point by point, a group through a short history of its values.
template <int K, class Value, class Advance>
inline void driveRows(double *out, uint64_t length, const Evaluator::Poll &poll, Value &&value,
                      Advance &&advance) {
    constexpr uint64_t pollEvery = kPollPoints / K;
    alignas(64) double history[K == 1 ? 1 : kHistory][K];
    uint64_t written = 0; // steps of every row already in out
    for (uint64_t t = 0;; ++t) {
        const bool last = t + 1 == length;
        if constexpr (K == 1) {
            out[t] = value(0);
        } else {
            for (int l = 0; l < K; ++l)
                history[t - written][l] = value(l);
            if (t + 1 - written == kHistory || last) {
                writeRows<K>(history, t + 1 - written, out + written, length);
                written = t + 1;
            }
        }
        if (last)
            break;
        advance(t + 1);
        if ((t + 1) % pollEvery == 0)
            poll();
    }
}

// Rows whose shift is one short recurrence of the value's own chain, its
// value at register V (0, or N for a cosine): the registers live in a local
// array that the compiler keeps in machine registers where they fit, with
// the very operations of execute() and no dispatch per step.
template <Step::Kind kind, int N, int V, int K>
void runRecurrence(const double *lanes, double *out, uint64_t length, const Evaluator::Poll &poll) {
    constexpr int count = kind == Step::Trig ? 2 * N : N;
    double f[count][K];
    std::memcpy(f, lanes, sizeof f);
    driveRows<K>(
        out, length, poll, [&f](int l) { return f[V][l]; },
        [&f](uint64_t) {
            for (int l = 0; l < K; ++l) {
                if constexpr (kind == Step::Sum) {
                    for (int i = 0; i + 1 < N; ++i)
                        f[i][l] = f[i + 1][l] + f[i][l];
                } else if constexpr (kind == Step::Prod) {
                    for (int i = 0; i + 1 < N; ++i)
                        f[i][l] = f[i + 1][l] * f[i][l];
                } else {
                    for (int j = 0; j + 1 < N; ++j)
                        rotateLevel(f[j][l], f[N + j][l], f[j + 1][l], f[N + j + 1][l]);
                }
            }
        });
}

template <Step::Kind kind, int N, int K>
void runRecurrenceAt(uint32_t value, const double *lanes, double *out, uint64_t length,
                     const Evaluator::Poll &poll) {
    if (kind == Step::Trig && value != 0)
        runRecurrence<kind, N, kind == Step::Trig ? N : 0, K>(lanes, out, length, poll);
    else
        runRecurrence<kind, N, 0, K>(lanes, out, length, poll);
}

} // namespace

template <int K>
bool Evaluator::runLoneRecurrence(const double *lanes, double *out, const Poll &poll) const {
    if (row_.size() != 1)
        return false;
    const Step &st = row_[0];
    if (st.kind != Step::Sum && st.kind != Step::Prod && st.kind != Step::Trig)
        return false;
    // The row's value must be this chain's own (register 0, or N for a cosine).
    const uint32_t value = rootValue_ - st.a;
    if (rootValue_ < st.a || (value != 0 && !(st.kind == Step::Trig && value == st.b)))
        return false;
    const double *regs = lanes + size_t{st.a} * K;
    const uint32_t n = st.b;
    if (st.kind == Step::Sum) {
        if (n == 2)
            runRecurrenceAt<Step::Sum, 2, K>(value, regs, out, rowLength_, poll);
        else if (n == 3)
            runRecurrenceAt<Step::Sum, 3, K>(value, regs, out, rowLength_, poll);
        else if (n == 4)
            runRecurrenceAt<Step::Sum, 4, K>(value, regs, out, rowLength_, poll);
        else
            return false;
    } else if (st.kind == Step::Prod) {
        if (n == 2)
            runRecurrenceAt<Step::Prod, 2, K>(value, regs, out, rowLength_, poll);
        else if (n == 3)
            runRecurrenceAt<Step::Prod, 3, K>(value, regs, out, rowLength_, poll);
        else
            return false;
    } else {
        if (n == 2)
            runRecurrenceAt<Step::Trig, 2, K>(value, regs, out, rowLength_, poll);
        else if (n == 3)
            runRecurrenceAt<Step::Trig, 3, K>(value, regs, out, rowLength_, poll);
        else
            return false;
    }
    return true;
}

template <int K>
void Evaluator::runRows(double *lanes, double *out, const Poll &poll) const {
    const double *values = lanes + size_t{rootValue_} * K;
    driveRows<K>(
        out, rowLength_, poll, [values](int l) { return values[l]; },
        [&](uint64_t t) { execute<K>(row_, lanes, tables_, t); });
}

// One group of k rows from their seeded lanes. A full group, and a lone
// row, may be one short recurrence; the other sizes only end a range.
[[gnu::always_inline]] inline void Evaluator::runGroupWith(int k, double *lanes, double *out,
                                                           const Poll &poll) const {
    switch (k) {
    case 32:
        if (!runLoneRecurrence<32>(lanes, out, poll))
            runRows<32>(lanes, out, poll);
        break;
    case 16: runRows<16>(lanes, out, poll); break;
    case 8: runRows<8>(lanes, out, poll); break;
    case 4: runRows<4>(lanes, out, poll); break;
    case 2: runRows<2>(lanes, out, poll); break;
    default:
        if (!runLoneRecurrence<1>(lanes, out, poll))
            runRows<1>(lanes, out, poll);
        break;
    }
}

// The group runner is compiled twice: for any processor of the family, and
// for AVX2, chosen once when the processor has it. AVX2 gives wider
// registers for the same correctly rounded additions, multiplications and
// divisions (no fused multiply-add either way), so the values are the same
// whichever runs. VEMIRAL_NO_AVX2 set in the environment (when the module is
// loaded) keeps the portable one, so that the two can be compared.
[[gnu::flatten]] void Evaluator::runGroupPortable(int k, double *lanes, double *out,
                                                  const Poll &poll) const {
    runGroupWith(k, lanes, out, poll);
}

#if defined(__x86_64__) || defined(__i386__)
[[gnu::flatten, gnu::target("avx2")]] void Evaluator::runGroupAvx2(int k, double *lanes, double *out,
                                                                   const Poll &poll) const {
    runGroupWith(k, lanes, out, poll);
}

namespace {
const bool useAvx2 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && std::getenv("VEMIRAL_NO_AVX2") == nullptr;
}();
} // namespace
#endif

void Evaluator::runGroup(int k, double *lanes, double *out, const Poll &poll) const {
#if defined(__x86_64__) || defined(__i386__)
    if (useAvx2)
        return runGroupAvx2(k, lanes, out, poll);
#endif
    runGroupPortable(k, lanes, out, poll);
}

namespace {

// Runs copy, adding the time it took to *copyingMs when the caller asked
// for it (creval's report); otherwise no clock is read.
template <class Copy>
void timedCopy(double *copyingMs, Copy &&copy) {
    if (!copyingMs) {
        copy();
        return;
    }
    const auto t0 = Clock::now();
    copy();
    *copyingMs += millisecondsSince(t0);
}

} // namespace

// The outer odometer: one working register array per outer dimension, work
// j holding the state at the current row with the coordinates beyond j at 0.
void Evaluator::advance(std::vector<double> &work, std::vector<uint64_t> &counter,
                        double *copyingMs) const {
    const size_t regs = init_.size();
    size_t j = counter.size() - 1;
    for (;;) {
        if (++counter[j] < extents_[j]) {
            execute<1>(outer_[j], work.data() + j * regs, tables_, 0);
            break;
        }
        counter[j] = 0;
        if (j == 0)
            return; // past the last row; only reached by a caller's mistake
        --j;
    }
    for (size_t m = j + 1; m < counter.size(); ++m)
        timedCopy(copyingMs, [&] {
            std::memcpy(work.data() + m * regs, work.data() + (m - 1) * regs, regs * sizeof(double));
        });
}

void Evaluator::evaluate(uint64_t first, uint64_t last, double *out, const Poll &poll,
                         double *copyingMs) const {
    if (first >= last)
        return;
    if (rootTabulated_) {
        const std::vector<double> &row = tables_[0];
        for (uint64_t r = first; r < last; ++r) {
            std::memcpy(out + (r - first) * rowLength_, row.data(), rowLength_ * sizeof(double));
            poll();
        }
        return;
    }

    // Seek: the state at row `first` is every outer dimension's shift
    // applied as often as its coordinate says, outermost first, exactly as
    // the odometer reaches it.
    const size_t outer = outer_.size(), regs = init_.size();
    std::vector<uint64_t> counter(outer, 0);
    std::vector<double> work(outer * regs);
    for (uint64_t rest = first, j = outer; j-- > 0;) {
        counter[j] = rest % extents_[j];
        rest /= extents_[j];
    }
    for (size_t j = 0; j < outer; ++j) {
        const double *from = j == 0 ? init_.data() : work.data() + (j - 1) * regs;
        timedCopy(j > 0 ? copyingMs : nullptr,
                  [&] { std::memcpy(work.data() + j * regs, from, regs * sizeof(double)); });
        for (uint64_t c = 0; c < counter[j]; ++c)
            execute<1>(outer_[j], work.data() + j * regs, tables_, 0);
    }
    const double *rowStart = outer == 0 ? init_.data() : work.data() + (outer - 1) * regs;

    std::vector<double> lanes(regs * kMaxLanes);
    for (uint64_t row = first; row < last;) {
        const int k = groupSize(row, last);
        for (int l = 0; l < k; ++l) {
            // With one dimension this is the chain's only copy, never a re-seed.
            timedCopy(outer > 0 ? copyingMs : nullptr, [&] {
                for (size_t r = 0; r < regs; ++r)
                    lanes[r * static_cast<size_t>(k) + static_cast<size_t>(l)] = rowStart[r];
            });
            if (row + static_cast<uint64_t>(l) + 1 < last)
                advance(work, counter, copyingMs);
        }
        // The group's rows are consecutive in out.
        runGroup(k, lanes.data(), out + (row - first) * rowLength_, poll);
        row += static_cast<uint64_t>(k);
        poll();
    }
}

// Rows go in groups at fixed places: whole groups of maxLanes_ from row 0,
// then the rest in halving groups. A row is thus always evaluated by the same
// code in the same lane, whichever range of rows a call covers, so even the
// NaNs (whose sign and payload follow the compiler's choice of operand order
// in a commutative operation) come out the same in creval and crarray.
int Evaluator::groupSize(uint64_t row, uint64_t last) const {
    const uint64_t remaining = std::min(last, rows_) - row;
    int k = maxLanes_;
    while (static_cast<uint64_t>(k) > remaining)
        k /= 2;
    return k;
}

namespace {
struct Cancelled {};
} // namespace

void evaluateInParallel(const Evaluator &ev, double *out, const Evaluator::Poll &poll) {
    const uint64_t rows = ev.rows(), points = rows * ev.rowLength();
    constexpr uint64_t kPointsPerThread = uint64_t{1} << 16;
    uint64_t threads = std::max(1u, std::thread::hardware_concurrency());
    threads = std::min({threads, rows, std::max<uint64_t>(1, points / kPointsPerThread)});
    if (points < kPointsPerThread) {
        ev.evaluate(0, rows, out, [] {}, nullptr);
        return;
    }

    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::condition_variable done;
    uint64_t running = threads;
    std::vector<std::exception_ptr> errors(threads);
    std::vector<std::thread> workers;
    workers.reserve(threads);
    // Whatever happens on this thread, the workers are told to stop and are
    // joined before out and the evaluator go away.
    struct JoinAll {
        std::atomic<bool> &stop;
        std::vector<std::thread> &workers;
        ~JoinAll() {
            stop.store(true);
            for (auto &w : workers)
                if (w.joinable())
                    w.join();
        }
    } joinAll{stop, workers};

    const Evaluator::Poll stopRequested = [&stop] {
        if (stop.load(std::memory_order_relaxed))
            throw Cancelled{};
    };
    for (uint64_t i = 0; i < threads; ++i) {
        // Group boundaries (multiples of any group size) between threads.
        auto boundary = [&](uint64_t t) {
            return t == threads ? rows : rows * t / threads / kMaxLanes * kMaxLanes;
        };
        const uint64_t first = boundary(i), last = boundary(i + 1);
        workers.emplace_back([&, i, first, last] {
            try {
                ev.evaluate(first, last, out + first * ev.rowLength(), stopRequested, nullptr);
            } catch (const Cancelled &) {
            } catch (...) {
                errors[i] = std::current_exception();
            }
            std::lock_guard<std::mutex> lock(mutex);
            if (--running == 0)
                done.notify_one();
        });
    }

    std::unique_lock<std::mutex> lock(mutex);
    while (!done.wait_for(lock, std::chrono::milliseconds(20), [&] { return running == 0; })) {
        lock.unlock();
        poll();
        lock.lock();
    }
    lock.unlock();
    for (auto &w : workers)
        w.join();
    for (auto &e : errors)
        if (e)
            std::rethrow_exception(e);
}

} // namespace vemiral
