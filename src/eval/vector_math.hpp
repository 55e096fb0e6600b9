#pragma once

#include <cstddef>
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

namespace vemiral {

// A whole-array kernel of a library made for it: r[i] = f(args[0][i]) (or
// of two arguments) for n points, each point's value independent of n and of
// where the point sits in the arrays.
using ArrayKernel = void (*)(const double *const *args, double *r, size_t n);

// The functions that may take such kernels, by the name NumPy gives them.
enum class LibraryFunction : uint8_t {
    Exp, Log, Sin, Cos, Tan, Power, Exp2, Log2, Log10, Log1p, Expm1, Sinh, Cosh, Tanh, Arcsin, Arccos, Arctan,
    Arcsinh, Arccosh, Arctanh, Cbrt, Arctan2, Hypot,
    // SciPy's (scipy.special), where it is installed: faster than the C
    // library's, and the values SciPy gives.
    J0, J1, Y0, Y1, Gamma, Count
};
constexpr LibraryFunction kFirstSciPy = LibraryFunction::J0;
const char *libraryName(LibraryFunction f);

// NumPy's own float64 loop of a ufunc (its inner loop, which NumPy runs with
// the interpreter lock released): registered by the module before any plan
// is made, so that every plan of the process sees the same kernels.
using UfuncLoop = void (*)(char **args, const intptr_t *dimensions, const intptr_t *steps, void *data);
void registerUfuncLoop(LibraryFunction f, UfuncLoop loop, void *data);

// The kernel for f: glibc's vector sine and cosine (libmvec) where the
// processor runs them, NumPy's loop for the others; null when there is none.
ArrayKernel libraryKernel(LibraryFunction f);

// logaddexp in passes of vector kernels (NumPy's exp, glibc's log1p), within
// an ulp or two of 1 where NumPy's steps are within half an ulp each: for
// values whose absolute error stays one.
ArrayKernel logAddExpKernel();

// glibc's vector erf where the processor runs it (null elsewhere): a few
// ulps of a value at most 1, for values whose error, absolute or relative,
// stays one, as the vector sine's.
ArrayKernel erfKernel();

// Whose code a kernel of libraryKernel is, in words: "NumPy's own loop",
// "SciPy's own loop" or "glibc's vector kernel".
const char *kernelSource(ArrayKernel kernel);

// Sine and cosine of the same n arguments in one pass: s[i] and c[i], each
// exactly the bits its own kernel gives (`sine` and `cosine`, kernels of
// libraryKernel, or null for the C library's sin and cos), the work they
// share done once. Null where the two kernels share nothing.
using PairKernel = void (*)(const double *x, double *s, double *c, size_t n);
PairKernel sinCosKernel(ArrayKernel sine, ArrayKernel cosine);

} // namespace vemiral
