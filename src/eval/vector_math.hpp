#pragma once

#include <cstdint>

namespace vemiral {

// A pointwise function of four lanes at a time: r[l] = f(x[l]) (or
// f(x[l], y[l])) for l = 0..3.
using VectorFunction = void (*)(const double *x, const double *y, double *r);

// The vector form of an expression node's function from glibc's vector math
// library (libmvec, AVX2), where the processor runs it and its measured
// error is within an ulp of the scalar C library's (and of NumPy's, but for
// sinh, which neither library computes that well); null otherwise (the
// caller computes the lanes one by one). The same function for every lane
// and every cut of a grid, so values never depend on where a point falls.
VectorFunction vectorFunction(int32_t op);

} // namespace vemiral
