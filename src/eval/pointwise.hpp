#pragma once

#include <cstddef>
#include <cstdint>

#include "eval/plan.hpp"

namespace vemiral {

// One operation of a plan over n points: r[i] = op(args[0][i], args[1][i],
// args[2][i]), in plain doubles, each operation rounded once and each
// function the C library's (the one direct evaluation calls), so a value is
// direct evaluation's, bit for bit, wherever it is computed: the same
// number for a constant folded once, a row's number and a point of a chunk.
// r may not overlap an argument. Variables and recurrences are not
// operations of this kind (the caller computes them).
void computeOperation(FormulaPlan::Kind kind, int32_t code, const double *const *args, double *r, size_t n);

// r[i] = a[i] op number (or number op a[i] when `numberFirst`) for the
// binary arithmetic operations (add, subtract, multiply, divide): the same
// bits as computeOperation on a chunk filled with the number, without it.
void arithmeticWithNumber(FormulaPlan::Kind kind, const double *a, double number, bool numberFirst, double *r,
                          size_t n);

// True for the operations arithmeticWithNumber computes.
inline bool takesNumber(FormulaPlan::Kind kind) {
    using Kind = FormulaPlan::Kind;
    return kind == Kind::Add || kind == Kind::Subtract || kind == Kind::Multiply || kind == Kind::Divide;
}

// The same, by the operation's library kernel where the plan gave it one.
inline void computeOperation(const FormulaPlan::Operation &op, const double *const *args, double *r, size_t n) {
    if (op.fast)
        op.fast(args, r, n);
    else
        computeOperation(op.kind, op.code, args, r, n);
}

} // namespace vemiral
