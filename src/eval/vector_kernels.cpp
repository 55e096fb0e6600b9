// Kernels of our own for functions the C library computes a call a point.
#include "eval/vector_kernels.hpp"

#include <cfloat>
#include <cmath>
#include <cstdint>

#include "cr/CRexpr.hpp"
#include "cr/CRobj.hpp"
#include "eval/clones.hpp"

namespace vemiral {

namespace {

// Below 2^500 two squares sum to no more than 2^1001; from 2^-450 on the
// larger square is normal, and a smaller one lost to underflow is below
// 2^-122 of it.
constexpr double kHypotHigh = 0x1p500, kHypotLow = 0x1p-450;

inline bool squaresInRange(double x, double y) {
    const double ax = std::fabs(x), ay = std::fabs(y);
    return (ax <= kHypotHigh) & (ay <= kHypotHigh) & ((ax >= kHypotLow) | (ay >= kHypotLow));
}

// Where the truncated quotient d = a/b is a whole quotient and b a finite divisor.
inline bool quotientInRange(double d, double b) { return (std::fabs(d) < 0x1p52) & (std::fabs(b) <= DBL_MAX); }

// Each loop counts the points it leaves to the library: a count, unlike a
// flag, is a reduction the compiler vectorises.
VEMIRAL_CLONES uint64_t hypotLoop(const double *__restrict x, const double *__restrict y, double *__restrict r,
                                  size_t n) {
    uint64_t elsewhere = 0;
    for (size_t i = 0; i < n; ++i) {
        r[i] = std::sqrt(x[i] * x[i] + y[i] * y[i]);
        elsewhere += squaresInRange(x[i], y[i]) ? 0 : 1;
    }
    return elsewhere;
}

// The quotient truncated is |a/b|'s integer part or one more (the division
// rounds monotonically and the integer part is a double), so a - q*b, exact
// in one fused multiply-add, is the remainder or the remainder less |b| with
// a's sign turned: both doubles, and the second corrected exactly. NaN,
// infinities, b = 0 and quotients from 2^52 on are counted for the library.
VEMIRAL_FMA_CLONES uint64_t remainderLoop(bool floored, const double *__restrict a, const double *__restrict b,
                                          double *__restrict r, size_t n) {
    uint64_t elsewhere = 0;
    for (size_t i = 0; i < n; ++i) {
        const double x = a[i], y = b[i], d = x / y;
        // Each correction computed, then chosen (GCC keeps this loop scalar
        // all the same: no call a point is what it gains over fmod).
        double m = std::fma(-std::trunc(d), y, x);
        const double corrected = m + std::copysign(std::fabs(y), x);
        m = ((m != 0.0) & ((m < 0.0) ^ (x < 0.0))) ? corrected : m;
        const double zeroOfX = std::copysign(0.0, x);
        m = m == 0.0 ? zeroOfX : m;
        if (floored) { // CRexpr's floorMod, step for step
            const double shifted = m + y, zeroOfY = std::copysign(0.0, y);
            const double moved = ((y < 0.0) ^ (m < 0.0)) ? shifted : m;
            m = m == 0.0 ? zeroOfY : moved;
        }
        r[i] = m;
        elsewhere += quotientInRange(d, y) ? 0 : 1;
    }
    return elsewhere;
}

VEMIRAL_CLONES uint64_t countBeyond(const double *__restrict x, size_t n, double limit) {
    uint64_t count = 0;
    for (size_t i = 0; i < n; ++i)
        count += std::fabs(x[i]) > limit ? 1 : 0;
    return count;
}

} // namespace

bool anyBeyond(const double *x, size_t n, double limit) { return countBeyond(x, n, limit) != 0; }

void vectorHypot(const double *const *args, double *r, size_t n) {
    const double *x = args[0], *y = args[1];
    if (hypotLoop(x, y, r, n) == 0)
        return;
    for (size_t i = 0; i < n; ++i)
        if (!squaresInRange(x[i], y[i]))
            r[i] = std::hypot(x[i], y[i]);
}

void remainders(bool floored, const double *a, const double *b, double *r, size_t n) {
    if (remainderLoop(floored, a, b, r, n) == 0)
        return;
    const int32_t code = floored ? EXPR_MOD : EXPR_FMOD;
    for (size_t i = 0; i < n; ++i)
        if (!quotientInRange(a[i] / b[i], b[i]))
            r[i] = CRexpr::apply(code, a[i], b[i], 0.0);
}

} // namespace vemiral
