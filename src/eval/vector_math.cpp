#include "eval/vector_math.hpp"

#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <utility>

#include "cr/CRobj.hpp"
#include "eval/vector_kernels.hpp"

#if defined(VEMIRAL_LIBMVEC)
#include <immintrin.h>

// libmvec's AVX2 entry points (the vector function ABI's names); declared
// here because glibc's headers announce them only to -ffast-math builds.
#define VEMIRAL_VECTOR1(f) extern "C" [[gnu::target("avx2,fma")]] __m256d _ZGVdN4v_##f(__m256d);
#define VEMIRAL_VECTOR2(f) extern "C" [[gnu::target("avx2,fma")]] __m256d _ZGVdN4vv_##f(__m256d, __m256d);
VEMIRAL_VECTOR1(tanh)
VEMIRAL_VECTOR1(sinh)
VEMIRAL_VECTOR1(cosh)
VEMIRAL_VECTOR1(cbrt)
VEMIRAL_VECTOR1(log10)
VEMIRAL_VECTOR1(log1p)
VEMIRAL_VECTOR1(erfc)
VEMIRAL_VECTOR1(erf)
VEMIRAL_VECTOR2(hypot)
VEMIRAL_VECTOR1(sin)
VEMIRAL_VECTOR1(cos)
#endif

namespace vemiral {

#if defined(VEMIRAL_LIBMVEC)
namespace {

// Called through pointers, so callers compiled for any processor pass no
// vector registers.
#define VEMIRAL_WRAP1(f)                                                                                          \
    [[gnu::target("avx2,fma")]] void f##4(const double *x, const double *, double *r) {                          \
        _mm256_storeu_pd(r, _ZGVdN4v_##f(_mm256_loadu_pd(x)));                                                   \
    }
#define VEMIRAL_WRAP2(f)                                                                                          \
    [[gnu::target("avx2,fma")]] void f##4(const double *x, const double *y, double *r) {                         \
        _mm256_storeu_pd(r, _ZGVdN4vv_##f(_mm256_loadu_pd(x), _mm256_loadu_pd(y)));                              \
    }
VEMIRAL_WRAP1(tanh)
VEMIRAL_WRAP1(sinh)
VEMIRAL_WRAP1(cosh)
VEMIRAL_WRAP1(cbrt)
VEMIRAL_WRAP1(log10)
VEMIRAL_WRAP1(log1p)
VEMIRAL_WRAP1(erfc)
VEMIRAL_WRAP1(erf)
VEMIRAL_WRAP2(hypot)
VEMIRAL_WRAP1(sin)
VEMIRAL_WRAP1(cos)

const bool useVectorMath = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") &&
           std::getenv("VEMIRAL_NO_AVX2") == nullptr;
}();

} // namespace

// Left out: erf, expm1, log2, asin, acos, atan and atan2, whose vector
// forms err by 1.2 to 2.4 ulp more than the scalar library's on the same
// arguments, and asinh, acosh and atanh, which then err by more than an ulp
// beyond NumPy's (bench/functions.py measures both).
VectorFunction vectorFunction(int32_t op) {
    if (!useVectorMath)
        return nullptr;
    switch (op) {
    case EXPR_TANH: return tanh4;
    case EXPR_SINH: return sinh4;
    case EXPR_COSH: return cosh4;
    case EXPR_CBRT: return cbrt4;
    case EXPR_LOG10: return log104;
    case EXPR_LOG1P: return log1p4;
    case EXPR_ERFC: return erfc4;
    case EXPR_HYPOT: return hypot4;
    default: return nullptr;
    }
}
#else
VectorFunction vectorFunction(int32_t) { return nullptr; }
#endif

} // namespace vemiral

namespace vemiral {

namespace {

constexpr size_t kFunctions = static_cast<size_t>(LibraryFunction::Count);

struct Registered {
    UfuncLoop loop = nullptr;
    void *data = nullptr;
};
std::array<Registered, kFunctions> ufuncLoops;

bool binary(LibraryFunction f) {
    return f == LibraryFunction::Power || f == LibraryFunction::Arctan2 || f == LibraryFunction::Hypot;
}

template <size_t F>
void ufuncKernel(const double *const *args, double *r, size_t n) {
    const Registered &e = ufuncLoops[F];
    const bool two = binary(static_cast<LibraryFunction>(F));
    char *arrays[3] = {reinterpret_cast<char *>(const_cast<double *>(args[0])),
                       reinterpret_cast<char *>(two ? const_cast<double *>(args[1]) : r), reinterpret_cast<char *>(r)};
    const intptr_t dimensions[1] = {static_cast<intptr_t>(n)};
    const intptr_t steps[3] = {sizeof(double), sizeof(double), sizeof(double)};
    e.loop(arrays, dimensions, steps, e.data);
}

template <size_t... F>
constexpr std::array<ArrayKernel, kFunctions> ufuncKernels(std::index_sequence<F...>) {
    return {&ufuncKernel<F>...};
}
constexpr std::array<ArrayKernel, kFunctions> kUfuncKernels = ufuncKernels(std::make_index_sequence<kFunctions>{});

#if defined(VEMIRAL_LIBMVEC)
// Four arguments a call of four(x, r, second) (second: a second result
// where there is one, else null); the last few through padded copies,
// computed by the same code as the others: a lane's value never depends on
// its neighbours.
template <class Four>
void byFours(const double *x, double *r, double *second, size_t n, Four four) {
    size_t i = 0;
    for (; i + 4 <= n; i += 4)
        four(x + i, r + i, second ? second + i : nullptr);
    if (i < n) {
        double lanes[4] = {0.0, 0.0, 0.0, 0.0}, y[4], z[4];
        std::memcpy(lanes, x + i, sizeof(double) * (n - i));
        four(lanes, y, z);
        std::memcpy(r + i, y, sizeof(double) * (n - i));
        if (second)
            std::memcpy(second + i, z, sizeof(double) * (n - i));
    }
}

// glibc's vector sine and cosine reduce a large argument less carefully
// than the scalar library (sin(7e17) differs in sign); up to 2^23 they stay
// within 3 ulp of the value, next to multiples of pi/2 too (measured on 10^7
// arguments of each binade), and from there they call the scalar function
// themselves. Past the limit: the scalar function, as direct evaluation
// computes it, and a group of four past it all at once skips the vector call.
constexpr double kVectorTrigLimit = 8388608.0;

bool vectorArgument(double x) { return std::fabs(x) <= kVectorTrigLimit; }

// Four arguments at `x`, their lanes at or below the limit marked in `near`:
// how many there are.
int nearLanes(const double *x, bool near[4]) {
    int count = 0;
    for (int l = 0; l < 4; ++l)
        count += near[l] = vectorArgument(x[l]);
    return count;
}

double scalarSin(double x) { return std::sin(x); }
double scalarCos(double x) { return std::cos(x); }

template <VectorFunction F, double (*Scalar)(double)>
void trigonometricFour(const double *x, double *r) {
    bool near[4];
    const int count = nearLanes(x, near);
    if (count > 0)
        F(x, nullptr, r);
    if (count < 4)
        for (int l = 0; l < 4; ++l)
            if (!near[l])
                r[l] = Scalar(x[l]);
}

template <VectorFunction F, double (*Scalar)(double)>
void trigonometric(const double *const *args, double *r, size_t n) {
    byFours(args[0], r, nullptr, n, [](const double *x, double *y, double *) { trigonometricFour<F, Scalar>(x, y); });
}

// glibc's vector erf: within 3.5 ulp (1.2 to 2.4 more than the scalar
// library's) of a value at most 1, over the whole range.
void vectorErf(const double *const *args, double *r, size_t n) {
    byFours(args[0], r, nullptr, n, [](const double *x, double *y, double *) { erf4(x, nullptr, y); });
}

// Both vector kernels on four arguments: glibc's vector sincos rounds
// differently from its sin and cos (a last bit in one value of 25), so the
// lanes near zero take the two vector calls, and only the far ones share
// the scalar sincos, which gives the bits of sin and cos.
void vectorSinCosFour(const double *x, double *s, double *c) {
    bool near[4];
    const int count = nearLanes(x, near);
    if (count > 0) {
        sin4(x, nullptr, s);
        cos4(x, nullptr, c);
    }
    if (count < 4)
        for (int l = 0; l < 4; ++l)
            if (!near[l])
                ::sincos(x[l], &s[l], &c[l]);
}

void vectorSinCos(const double *x, double *s, double *c, size_t n) {
    byFours(x, s, c, n, vectorSinCosFour);
}
#endif

// SciPy's gamma, but for |x| > 170, where it gives 0 for results below the
// normal range and inf just below the overflow (gamma(171.62437695630271)):
// the C library's there.
void gammaWithEnds(const double *const *args, double *r, size_t n) {
    kUfuncKernels[static_cast<size_t>(LibraryFunction::Gamma)](args, r, n);
    const double *x = args[0];
    const bool far = anyBeyond(x, n, 170.0); // such points are rare
    for (size_t i = 0; far && i < n; ++i)
        if (std::fabs(x[i]) > 170.0)
            r[i] = std::tgamma(x[i]);
}

// ln(e^x + e^y) as NumPy's steps compute it (the larger plus log1p(exp(-|x
// - y|)), x + ln 2 where x == y, NaN where either is), each step a whole
// pass: NumPy's exp loop, glibc's vector log1p where the processor runs it.
// Within an ulp or two of 1 of the value, rather than NumPy's half an ulp
// of each step.
void logAddExpPasses(const double *const *args, double *r, size_t n) {
    constexpr size_t kBlock = 256;
    const ArrayKernel exp = kUfuncKernels[static_cast<size_t>(LibraryFunction::Exp)];
    double t[kBlock], e[kBlock];
    for (size_t first = 0; first < n; first += kBlock) {
        const size_t count = std::min(kBlock, n - first);
        const double *x = args[0] + first, *y = args[1] + first;
        double *out = r + first;
        for (size_t i = 0; i < count; ++i)
            t[i] = -std::fabs(x[i] - y[i]);
        const double *in[1] = {t};
        if (ufuncLoops[static_cast<size_t>(LibraryFunction::Exp)].loop)
            exp(in, e, count);
        else
            for (size_t i = 0; i < count; ++i)
                e[i] = std::exp(t[i]);
#if defined(VEMIRAL_LIBMVEC)
        if (useVectorMath) {
            byFours(e, t, nullptr, count, [](const double *a, double *b, double *) { log1p4(a, nullptr, b); });
        } else
#endif
        {
            for (size_t i = 0; i < count; ++i)
                t[i] = std::log1p(e[i]);
        }
        for (size_t i = 0; i < count; ++i) {
            const double d = x[i] - y[i];
            const double sum = (d > 0.0 ? x[i] : y[i]) + t[i];
            out[i] = x[i] == y[i] ? x[i] + std::numbers::ln2 : d != d ? d : sum;
        }
    }
}

} // namespace

ArrayKernel logAddExpKernel() { return logAddExpPasses; }

ArrayKernel erfKernel() {
#if defined(VEMIRAL_LIBMVEC)
    if (useVectorMath)
        return vectorErf;
#endif
    return nullptr;
}

const char *libraryName(LibraryFunction f) {
    static const char *const names[kFunctions] = {
        "exp", "log", "sin", "cos", "tan", "power", "exp2", "log2", "log10", "log1p", "expm1", "sinh",
        "cosh", "tanh", "arcsin", "arccos", "arctan", "arcsinh", "arccosh", "arctanh", "cbrt", "arctan2", "hypot",
        "j0", "j1", "y0", "y1", "gamma"};
    return names[static_cast<size_t>(f)];
}

void registerUfuncLoop(LibraryFunction f, UfuncLoop loop, void *data) {
    ufuncLoops[static_cast<size_t>(f)] = {loop, data};
}

ArrayKernel libraryKernel(LibraryFunction f) {
#if defined(VEMIRAL_LIBMVEC)
    // NumPy computes these two with the C library's scalar code, point by
    // point; glibc's vector forms are 10 times faster and within 3.5 ulp.
    if (useVectorMath && f == LibraryFunction::Sin)
        return trigonometric<sin4, scalarSin>;
    if (useVectorMath && f == LibraryFunction::Cos)
        return trigonometric<cos4, scalarCos>;
#endif
    const size_t i = static_cast<size_t>(f);
    if (!ufuncLoops[i].loop)
        return nullptr;
    return f == LibraryFunction::Gamma ? gammaWithEnds : kUfuncKernels[i];
}

const char *kernelSource(ArrayKernel kernel) {
    if (kernel == &vectorHypot)
        return "vemiral's vector kernel";
    if (kernel == &logAddExpPasses)
        return "NumPy's exp and glibc's vector log1p";
#if defined(VEMIRAL_LIBMVEC)
    if (kernel == &trigonometric<sin4, scalarSin> || kernel == &trigonometric<cos4, scalarCos> || kernel == &vectorErf)
        return "glibc's vector kernel";
#endif
    for (size_t f = static_cast<size_t>(kFirstSciPy); f < kFunctions; ++f)
        if (kernel == kUfuncKernels[f] || kernel == &gammaWithEnds)
            return "SciPy's own loop";
    return "NumPy's own loop";
}

namespace {
// The C library's sincos: one range reduction for both, and the very bits
// of its sin and cos (which the compiler itself relies on when it merges a
// sin and a cos of one argument).
void scalarSinCos(const double *x, double *s, double *c, size_t n) {
    for (size_t i = 0; i < n; ++i)
        ::sincos(x[i], &s[i], &c[i]);
}
} // namespace

PairKernel sinCosKernel(ArrayKernel sine, ArrayKernel cosine) {
    if (!sine && !cosine)
        return scalarSinCos;
#if defined(VEMIRAL_LIBMVEC)
    if (sine == &trigonometric<sin4, scalarSin> && cosine == &trigonometric<cos4, scalarCos>)
        return vectorSinCos;
#endif
    return nullptr;
}

} // namespace vemiral
