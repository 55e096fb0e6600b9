#pragma once

#include <cmath>
#include <cstdint>

#include "cr/CRexpr.hpp"

namespace vemiral::extended {

// The pointwise functions whose values are exact: rounding, sign, min and
// max, comparisons, logic, where.
inline bool exactFunction(int32_t op) {
    switch (op) {
    case EXPR_ABS:
    case EXPR_SIGN:
    case EXPR_FLOOR:
    case EXPR_CEIL:
    case EXPR_TRUNC:
    case EXPR_RINT:
    case EXPR_NOT:
    case EXPR_MIN:
    case EXPR_MAX:
    case EXPR_LT:
    case EXPR_LE:
    case EXPR_GT:
    case EXPR_GE:
    case EXPR_EQ:
    case EXPR_NE:
    case EXPR_AND:
    case EXPR_OR:
    case EXPR_WHERE:
        return true;
    default:
        return false;
    }
}

// The pointwise functions on double-double operands x = xh + xl, y, z:
// the C library's value at the high parts (CRexpr::apply; or, with `known`,
// the value r already holds), with a tail that carries the operands' tails to
// first order. Piecewise functions decide on the rounded values, as direct
// evaluation does: a grid point that lies exactly on an integer or a bound (a
// double-double a hair off it) stays on it; what they return is exact.
inline void applyFunctionLane(int32_t op, double xh, double xl, double yh, double yl, double zh, double zl,
                              double &r, double &t, bool known = false) {
    t = 0.0;
    if (exactFunction(op)) {
        // An exact value; its tail is the tail of the operand it is, if any.
        switch (op) {
        case EXPR_ABS:
            r = std::fabs(xh);
            t = xh < 0.0 ? -xl : xl;
            return;
        case EXPR_MIN:
        case EXPR_MAX: {
            const bool first = op == EXPR_MIN ? xh < yh || xh != xh : xh > yh || xh != xh;
            r = first ? xh : yh;
            t = first ? xl : yl;
            return;
        }
        case EXPR_WHERE:
            r = xh != 0.0 ? yh : zh;
            t = xh != 0.0 ? yl : zl;
            return;
        default:
            r = CRexpr::apply(op, xh, yh);
            return;
        }
    }
    switch (op) {
    case EXPR_HEAVISIDE:
        r = CRexpr::apply(op, xh, yh);
        t = xh == 0.0 ? yl : 0.0;
        return;
    case EXPR_COPYSIGN:
        r = std::copysign(xh, yh);
        t = r == xh ? xl : -xl;
        return;
    case EXPR_FMOD:
    case EXPR_MOD: {
        r = CRexpr::apply(op, xh, yh);
        // x - n y for the whole number n of divisors taken away.
        const double n = std::nearbyint((xh - r) / yh);
        t = std::fabs(n) < 0x1p53 ? xl - n * yl : 0.0;
        break;
    }
    default: {
        constexpr double kLn2 = 0.6931471805599453, kLn10 = 2.302585092994046, kTwoOverSqrtPi = 1.1283791670955126;
        if (!known)
            r = CRexpr::apply(op, xh, yh);
        const double dx = xl, dy = yl;
        switch (op) {
        case EXPR_CBRT: t = r != 0.0 ? dx / (3.0 * r * r) : 0.0; break;
        case EXPR_EXPM1: t = (r + 1.0) * dx; break;
        case EXPR_LOG2: t = dx / (xh * kLn2); break;
        case EXPR_LOG10: t = dx / (xh * kLn10); break;
        case EXPR_LOG1P: t = dx / (1.0 + xh); break;
        case EXPR_SINH: t = std::sqrt(1.0 + r * r) * dx; break;
        case EXPR_COSH: t = std::copysign(std::sqrt(r * r - 1.0), xh) * dx; break;
        case EXPR_TANH: t = (1.0 - r * r) * dx; break;
        case EXPR_ASIN: t = dx / std::sqrt(1.0 - xh * xh); break;
        case EXPR_ACOS: t = -dx / std::sqrt(1.0 - xh * xh); break;
        case EXPR_ATAN: t = dx / (1.0 + xh * xh); break;
        case EXPR_ASINH: t = dx / std::sqrt(1.0 + xh * xh); break;
        case EXPR_ACOSH: t = dx / std::sqrt(xh * xh - 1.0); break;
        case EXPR_ATANH: t = dx / (1.0 - xh * xh); break;
        case EXPR_ERF: t = kTwoOverSqrtPi * std::exp(-xh * xh) * dx; break;
        case EXPR_ERFC: t = -kTwoOverSqrtPi * std::exp(-xh * xh) * dx; break;
        case EXPR_ATAN2: t = (yh * dx - xh * dy) / (xh * xh + yh * yh); break;
        case EXPR_HYPOT: t = r != 0.0 ? (xh * dx + yh * dy) / r : 0.0; break;
        default: break;
        }
        break;
    }
    }
    // Corrections of zero tails stay zero (0 * inf would be NaN).
    if (xl == 0.0 && yl == 0.0)
        t = 0.0;
}

} // namespace vemiral::extended
