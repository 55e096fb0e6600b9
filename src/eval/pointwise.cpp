// The kernels of direct evaluation: a tight loop per operation, which the
// compiler vectorises for the widest instruction set the processor has
// (the same bits on any: the operations are IEEE's, never fused).
#include "eval/pointwise.hpp"

#include <algorithm>
#include <cmath>

#include "cr/CRexpr.hpp"
#include "eval/clones.hpp"
#include "eval/vector_kernels.hpp"

namespace vemiral {

namespace {

using Kind = FormulaPlan::Kind;

VEMIRAL_CLONES void arithmetic(Kind kind, const double *__restrict a, const double *__restrict b,
                               double *__restrict r, size_t n) {
    switch (kind) {
    case Kind::Add: for (size_t i = 0; i < n; ++i) r[i] = a[i] + b[i]; break;
    case Kind::Subtract: for (size_t i = 0; i < n; ++i) r[i] = a[i] - b[i]; break;
    case Kind::Multiply: for (size_t i = 0; i < n; ++i) r[i] = a[i] * b[i]; break;
    case Kind::Divide: for (size_t i = 0; i < n; ++i) r[i] = a[i] / b[i]; break;
    case Kind::Negate: for (size_t i = 0; i < n; ++i) r[i] = -a[i]; break;
    case Kind::Square: for (size_t i = 0; i < n; ++i) r[i] = a[i] * a[i]; break;
    case Kind::Reciprocal: for (size_t i = 0; i < n; ++i) r[i] = 1.0 / a[i]; break;
    case Kind::SquareRoot: for (size_t i = 0; i < n; ++i) r[i] = std::sqrt(a[i]); break;
    default: break;
    }
}

VEMIRAL_CLONES void withNumber(Kind kind, const double *__restrict a, double b, bool numberFirst,
                               double *__restrict r, size_t n) {
    // In the tree's operand order: a NaN's payload comes from the first.
    switch (kind) {
    case Kind::Add:
        if (numberFirst) {
            for (size_t i = 0; i < n; ++i)
                r[i] = b + a[i];
        } else {
            for (size_t i = 0; i < n; ++i)
                r[i] = a[i] + b;
        }
        break;
    case Kind::Subtract:
        if (numberFirst) {
            for (size_t i = 0; i < n; ++i)
                r[i] = b - a[i];
        } else {
            for (size_t i = 0; i < n; ++i)
                r[i] = a[i] - b;
        }
        break;
    case Kind::Multiply:
        if (numberFirst) {
            for (size_t i = 0; i < n; ++i)
                r[i] = b * a[i];
        } else {
            for (size_t i = 0; i < n; ++i)
                r[i] = a[i] * b;
        }
        break;
    case Kind::Divide:
        if (numberFirst) {
            for (size_t i = 0; i < n; ++i)
                r[i] = b / a[i];
        } else {
            for (size_t i = 0; i < n; ++i)
                r[i] = a[i] / b;
        }
        break;
    default:
        break;
    }
}

// The exact functions, which vectorise; the others call the C library.
VEMIRAL_CLONES void exactFunction(int32_t code, const double *__restrict a, const double *__restrict b,
                                  const double *__restrict c, double *__restrict r, size_t n) {
    switch (code) {
    case EXPR_ABS: for (size_t i = 0; i < n; ++i) r[i] = std::fabs(a[i]); break;
    case EXPR_FLOOR: for (size_t i = 0; i < n; ++i) r[i] = std::floor(a[i]); break;
    case EXPR_CEIL: for (size_t i = 0; i < n; ++i) r[i] = std::ceil(a[i]); break;
    case EXPR_TRUNC: for (size_t i = 0; i < n; ++i) r[i] = std::trunc(a[i]); break;
    case EXPR_MIN: for (size_t i = 0; i < n; ++i) r[i] = a[i] < b[i] || a[i] != a[i] ? a[i] : b[i]; break;
    case EXPR_MAX: for (size_t i = 0; i < n; ++i) r[i] = a[i] > b[i] || a[i] != a[i] ? a[i] : b[i]; break;
    case EXPR_LT: for (size_t i = 0; i < n; ++i) r[i] = a[i] < b[i] ? 1.0 : 0.0; break;
    case EXPR_LE: for (size_t i = 0; i < n; ++i) r[i] = a[i] <= b[i] ? 1.0 : 0.0; break;
    case EXPR_GT: for (size_t i = 0; i < n; ++i) r[i] = a[i] > b[i] ? 1.0 : 0.0; break;
    case EXPR_GE: for (size_t i = 0; i < n; ++i) r[i] = a[i] >= b[i] ? 1.0 : 0.0; break;
    case EXPR_EQ: for (size_t i = 0; i < n; ++i) r[i] = a[i] == b[i] ? 1.0 : 0.0; break;
    case EXPR_NE: for (size_t i = 0; i < n; ++i) r[i] = a[i] != b[i] ? 1.0 : 0.0; break;
    case EXPR_WHERE: for (size_t i = 0; i < n; ++i) r[i] = a[i] != 0.0 ? b[i] : c[i]; break;
    case EXPR_AND: for (size_t i = 0; i < n; ++i) r[i] = a[i] != 0.0 && b[i] != 0.0 ? 1.0 : 0.0; break;
    case EXPR_OR: for (size_t i = 0; i < n; ++i) r[i] = a[i] != 0.0 || b[i] != 0.0 ? 1.0 : 0.0; break;
    case EXPR_NOT: for (size_t i = 0; i < n; ++i) r[i] = a[i] == 0.0 ? 1.0 : 0.0; break;
    case EXPR_COPYSIGN: for (size_t i = 0; i < n; ++i) r[i] = std::copysign(a[i], b[i]); break;
    // As CRexpr::apply: NaN stays, and either zero gives +0 (sign) or the value at 0 (heaviside).
    case EXPR_SIGN:
        for (size_t i = 0; i < n; ++i)
            r[i] = a[i] > 0.0 ? 1.0 : a[i] < 0.0 ? -1.0 : a[i] == 0.0 ? 0.0 : a[i];
        break;
    case EXPR_HEAVISIDE:
        for (size_t i = 0; i < n; ++i)
            r[i] = a[i] < 0.0 ? 0.0 : a[i] > 0.0 ? 1.0 : a[i] == 0.0 ? b[i] : a[i];
        break;
    default:
        for (size_t i = 0; i < n; ++i)
            r[i] = CRexpr::apply(code, a[i], b[i], c[i]);
    }
}

// x^n for a whole n, 3 <= |n| <= 64, by squarings in double-double (each
// product exact with fma, its low part carried), rounded once: within about
// half an ulp, as the C library's pow, and a few vector operations a point
// instead of a call. Points where the double-double would leave the range
// of doubles (zeros, infinities, results past 2^±960) take pow itself.
VEMIRAL_FMA_CLONES void wholePower(int32_t exponent, const double *__restrict x, double *__restrict r, size_t n) {
    constexpr size_t kBlock = 256;
    const unsigned m = static_cast<unsigned>(exponent < 0 ? -exponent : exponent);
    double ph[kBlock], pl[kBlock], bh[kBlock], bl[kBlock];
    for (size_t first = 0; first < n; first += kBlock) {
        const size_t count = std::min(kBlock, n - first);
        const double *a = x + first;
        for (size_t i = 0; i < count; ++i) {
            ph[i] = 1.0;
            pl[i] = 0.0;
            bh[i] = a[i];
            bl[i] = 0.0;
        }
        for (unsigned bits = m; bits; bits >>= 1) {
            if (bits & 1)
                for (size_t i = 0; i < count; ++i) {
                    const double h = ph[i] * bh[i];
                    const double l = std::fma(ph[i], bh[i], -h) + (ph[i] * bl[i] + pl[i] * bh[i]);
                    ph[i] = h + l;
                    pl[i] = l - (ph[i] - h);
                }
            if (bits > 1)
                for (size_t i = 0; i < count; ++i) {
                    const double h = bh[i] * bh[i];
                    const double l = std::fma(bh[i], bh[i], -h) + 2.0 * (bh[i] * bl[i]);
                    bh[i] = h + l;
                    bl[i] = l - (bh[i] - h);
                }
        }
        double *out = r + first;
        if (exponent > 0) {
            for (size_t i = 0; i < count; ++i)
                out[i] = ph[i] + pl[i];
        } else {
            // 1 / (ph + pl): the quotient of the high part, corrected by its
            // remainder and the low part.
            for (size_t i = 0; i < count; ++i) {
                const double q = 1.0 / ph[i];
                const double e = (std::fma(-q, ph[i], 1.0) - q * pl[i]) / ph[i];
                out[i] = q + e;
            }
        }
        for (size_t i = 0; i < count; ++i) {
            const double v = std::fabs(out[i]);
            if (!(v > 0x1p-960 && v < 0x1p960))
                out[i] = std::pow(a[i], static_cast<double>(exponent));
        }
    }
}

bool vectorises(int32_t code) {
    switch (code) {
    case EXPR_ABS: case EXPR_FLOOR: case EXPR_CEIL: case EXPR_TRUNC: case EXPR_MIN: case EXPR_MAX:
    case EXPR_LT: case EXPR_LE: case EXPR_GT: case EXPR_GE: case EXPR_EQ: case EXPR_NE: case EXPR_WHERE:
    case EXPR_AND: case EXPR_OR: case EXPR_NOT: case EXPR_COPYSIGN: case EXPR_SIGN: case EXPR_HEAVISIDE:
        return true;
    default:
        return false;
    }
}

template <class F>
void map(const double *a, double *r, size_t n, F f) {
    for (size_t i = 0; i < n; ++i)
        r[i] = f(a[i]);
}

} // namespace

void arithmeticWithNumber(Kind kind, const double *a, double number, bool numberFirst, double *r, size_t n) {
    withNumber(kind, a, number, numberFirst, r, n);
}

void computeOperation(Kind kind, int32_t code, const double *const *args, double *r, size_t n) {
    const double *a = args[0], *b = args[1];
    switch (kind) {
    case Kind::Add: case Kind::Subtract: case Kind::Multiply: case Kind::Divide: case Kind::Negate:
    case Kind::Square: case Kind::Reciprocal: case Kind::SquareRoot:
        arithmetic(kind, a, b, r, n);
        return;
    case Kind::Power:
        if (code != 0)
            wholePower(code, a, r, n);
        else
            for (size_t i = 0; i < n; ++i)
                r[i] = std::pow(a[i], b[i]);
        return;
    case Kind::Exp: map(a, r, n, [](double x) { return std::exp(x); }); return;
    case Kind::Log: map(a, r, n, [](double x) { return std::log(x); }); return;
    case Kind::Sin: map(a, r, n, [](double x) { return std::sin(x); }); return;
    case Kind::Cos: map(a, r, n, [](double x) { return std::cos(x); }); return;
    case Kind::Tan: map(a, r, n, [](double x) { return std::tan(x); }); return;
    case Kind::Cot: map(a, r, n, [](double x) { return std::cos(x) / std::sin(x); }); return;
    case Kind::Sec: map(a, r, n, [](double x) { return 1.0 / std::cos(x); }); return;
    case Kind::Csc: map(a, r, n, [](double x) { return 1.0 / std::sin(x); }); return;
    case Kind::Exp2: map(a, r, n, [](double x) { return std::exp2(x); }); return;
    case Kind::Function:
        if (code == EXPR_FMOD || code == EXPR_MOD) {
            remainders(code == EXPR_MOD, a, b, r, n);
        } else if (vectorises(code)) {
            exactFunction(code, a, b, args[2], r, n);
        } else if (const CRexpr::Unary f = CRexpr::unary(code)) {
            map(a, r, n, f);
        } else {
            const double *c = args[2];
            for (size_t i = 0; i < n; ++i)
                r[i] = CRexpr::apply(code, a[i], b[i], c[i]);
        }
        return;
    case Kind::Constant: case Kind::Variable: case Kind::Recurrence:
        return;
    }
}

} // namespace vemiral
