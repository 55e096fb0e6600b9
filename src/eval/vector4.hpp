#pragma once

#include <cstring>

namespace vemiral {

// Four doubles in one vector register where the processor has them (two
// halves otherwise). Helpers take and give vectors by reference: a vector
// passed or returned by value changes the calling convention where AVX is
// off, which both compilers refuse under -Werror.
using V4 = double __attribute__((vector_size(32)));

[[gnu::always_inline]] inline void load4(V4 &v, const double *p) { std::memcpy(&v, p, sizeof v); }
[[gnu::always_inline]] inline void store4(double *p, const V4 &v) { std::memcpy(p, &v, sizeof v); }

// r = a * b + c rounded once, lane by lane: one instruction where the caller
// is compiled for FMA, a library call otherwise; the same bits either way.
[[gnu::always_inline]] inline void fma4(V4 &r, const V4 &a, const V4 &b, const V4 &c) {
    V4 t;
    for (int i = 0; i < 4; ++i)
        t[i] = __builtin_fma(a[i], b[i], c[i]);
    r = t;
}

} // namespace vemiral
