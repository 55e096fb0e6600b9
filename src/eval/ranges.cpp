// Interval bounds of a plan's values, for the choice of kernels: a bound is
// widened outward at every step, so rounding never puts a value outside it.
#include "eval/ranges.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "cr/CRobj.hpp"

namespace vemiral {

double ValueRange::magnitude() const { return std::max(std::fabs(low), std::fabs(high)); }

double ValueRange::least() const {
    if (low <= 0.0 && high >= 0.0)
        return 0.0;
    return std::min(std::fabs(low), std::fabs(high));
}

namespace {

using Kind = FormulaPlan::Kind;
constexpr ValueRange kAnything{};

// Outward by a few ulps: the bounds of computed values, not exact ones.
ValueRange widened(double low, double high) {
    if (std::isnan(low) || std::isnan(high))
        return kAnything;
    const auto out = [](double v, double toward) {
        for (int i = 0; i < 4; ++i)
            v = std::nextafter(v, toward);
        return v;
    };
    return {out(low, -INFINITY), out(high, INFINITY)};
}

ValueRange between(double a, double b) { return widened(std::min(a, b), std::max(a, b)); }

ValueRange product(const ValueRange &a, const ValueRange &b) {
    const double p[4] = {a.low * b.low, a.low * b.high, a.high * b.low, a.high * b.high};
    double low = INFINITY, high = -INFINITY;
    for (double v : p) {
        if (std::isnan(v)) // 0 * inf: no bound from here
            return kAnything;
        low = std::min(low, v);
        high = std::max(high, v);
    }
    return widened(low, high);
}

ValueRange reciprocal(const ValueRange &a) {
    if (a.least() == 0.0)
        return kAnything;
    return between(1.0 / a.low, 1.0 / a.high);
}

// A monotone increasing function's image.
template <class F>
ValueRange increasing(const ValueRange &a, F f) {
    return widened(f(a.low), f(a.high));
}

ValueRange ofFunction(const FormulaPlan::Operation &op, const std::vector<ValueRange> &r) {
    const auto arg = [&](int k) { return r[op.args[k]]; };
    switch (op.code) {
    case EXPR_ABS: {
        const ValueRange a = arg(0);
        ValueRange image = widened(a.least(), a.magnitude());
        image.low = std::max(image.low, 0.0); // never below 0, however the bound was widened
        return image;
    }
    case EXPR_TANH: case EXPR_ERF: case EXPR_SIGN: return {-1.0, 1.0};
    case EXPR_ERFC: return {0.0, 2.0};
    case EXPR_ATAN: return widened(-std::numbers::pi / 2, std::numbers::pi / 2);
    case EXPR_ATAN2: return widened(-std::numbers::pi, std::numbers::pi);
    case EXPR_ASIN: return widened(-std::numbers::pi / 2, std::numbers::pi / 2);
    case EXPR_ACOS: return widened(0.0, std::numbers::pi);
    case EXPR_COSH: return {1.0, INFINITY};
    case EXPR_HYPOT: return {0.0, INFINITY};
    case EXPR_LT: case EXPR_LE: case EXPR_GT: case EXPR_GE: case EXPR_EQ: case EXPR_NE:
    case EXPR_AND: case EXPR_OR: case EXPR_NOT:
        return {0.0, 1.0};
    case EXPR_MIN: return widened(std::min(arg(0).low, arg(1).low), std::min(arg(0).high, arg(1).high));
    case EXPR_MAX: return widened(std::max(arg(0).low, arg(1).low), std::max(arg(0).high, arg(1).high));
    case EXPR_WHERE: return widened(std::min(arg(1).low, arg(2).low), std::max(arg(1).high, arg(2).high));
    default: return kAnything;
    }
}

ValueRange rangeOf(const FormulaPlan::Operation &op, const std::vector<ValueRange> &r) {
    const auto arg = [&](int k) { return r[op.args[k]]; };
    switch (op.kind) {
    case Kind::Constant: return {op.value, op.value};
    case Kind::Variable:
        // A closed range's coordinates lie between its ends; a range by
        // steps has no known end.
        if (op.last != UINT64_MAX)
            return between(op.start, op.stop);
        return kAnything;
    case Kind::Add: return widened(arg(0).low + arg(1).low, arg(0).high + arg(1).high);
    case Kind::Subtract: return widened(arg(0).low - arg(1).high, arg(0).high - arg(1).low);
    case Kind::Negate: return {-arg(0).high, -arg(0).low};
    case Kind::Multiply: return product(arg(0), arg(1));
    case Kind::Divide: return product(arg(0), reciprocal(arg(1)));
    case Kind::Reciprocal: return reciprocal(arg(0));
    case Kind::Square: {
        const ValueRange a = arg(0);
        return widened(a.least() * a.least(), a.magnitude() * a.magnitude());
    }
    case Kind::SquareRoot: return widened(std::sqrt(std::max(arg(0).low, 0.0)), std::sqrt(std::max(arg(0).high, 0.0)));
    case Kind::Exp: return increasing(arg(0), [](double v) { return std::exp(v); });
    case Kind::Exp2: return increasing(arg(0), [](double v) { return std::exp2(v); });
    case Kind::Sin: case Kind::Cos: return {-1.0, 1.0};
    case Kind::Function: return ofFunction(op, r);
    default: return kAnything;
    }
}

} // namespace

std::vector<ValueRange> valueRanges(const std::vector<FormulaPlan::Operation> &operations) {
    std::vector<ValueRange> ranges;
    ranges.reserve(operations.size());
    for (const FormulaPlan::Operation &op : operations)
        ranges.push_back(rangeOf(op, ranges));
    return ranges;
}

} // namespace vemiral
