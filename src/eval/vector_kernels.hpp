#pragma once

#include <cstddef>

namespace vemiral {

// hypot of n pairs, r[i] = hypot(args[0][i], args[1][i]): sqrt(x*x + y*y),
// within about an ulp of the value, where neither square can overflow and
// the larger cannot underflow; the C library's hypot at the other points
// (huge and tiny operands, infinities, NaN), as IEEE's hypot has them. A
// loop the compiler vectorises, where the C library's is a call a point.
void vectorHypot(const double *const *args, double *r, size_t n);

// The remainders of n pairs, exactly: the C library's fmod (the sign of a)
// or, `floored`, Python's and NumPy's modulo (the sign of b), the bits of
// CRexpr::apply's. A truncated quotient and one fused multiply-add a point
// wherever |a/b| < 2^52; the C library's fmod elsewhere.
void remainders(bool floored, const double *a, const double *b, double *r, size_t n);

// Whether any of n values exceeds `limit` in magnitude (NaN does not): a
// scan for the rare points a kernel hands to another.
bool anyBeyond(const double *x, size_t n, double limit);

} // namespace vemiral
