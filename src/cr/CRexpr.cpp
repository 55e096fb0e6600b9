#include "cr/CRexpr.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <iostream>
#include <limits>
#include <numbers>

#include "codegen/codegen.hpp"

namespace vemiral {

CRexpr::CRexpr(int32_t op_, const CRobj &a, const CRobj &b)
    : CRobj(a.index > b.index ? a.index : b.index, 2), op(op_) {
    operands[0] = a.copy();
    operands[1] = b.copy();
}

CRexpr::CRexpr(int32_t op_, const CRobj &a) : CRobj(a.index, 1), op(op_) {
    operands[0] = a.copy();
}

CRexpr::CRexpr(int32_t op_, CRptr a, CRptr b) : CRobj(a->index > b->index ? a->index : b->index, 2), op(op_) {
    operands[0] = std::move(a);
    operands[1] = std::move(b);
}

CRexpr::CRexpr(int32_t op_, CRptr a) : CRobj(a->index, 1), op(op_) { operands[0] = std::move(a); }

CRexpr::CRexpr(int32_t op_, CRptr a, CRptr b, CRptr c)
    : CRobj(std::max({a->index, b->index, c->index}), 3), op(op_) {
    operands[0] = std::move(a);
    operands[1] = std::move(b);
    operands[2] = std::move(c);
}

CRexpr::CRexpr(int32_t op_, int64_t index_, uint64_t length_) : CRobj(index_, length_), op(op_) {}

CRptr CRexpr::add(const CRobj &other) const { return std::make_unique<CRexpr>(EXPR_ADD, *this, other); }
CRptr CRexpr::mul(const CRobj &other) const { return std::make_unique<CRexpr>(EXPR_MUL, *this, other); }
CRptr CRexpr::pow(const CRobj &exponent) const {
    return std::make_unique<CRexpr>(EXPR_POW, *this, exponent);
}
CRptr CRexpr::exp() const { return std::make_unique<CRexpr>(EXPR_EXP, *this); }
CRptr CRexpr::ln() const { return std::make_unique<CRexpr>(EXPR_LN, *this); }
CRptr CRexpr::sin() const { return std::make_unique<CRexpr>(EXPR_SIN, *this); }
CRptr CRexpr::cos() const { return std::make_unique<CRexpr>(EXPR_COS, *this); }

// An expression node wraps its whole receiver in every operation: the
// receiver itself, handed over, instead of a deep copy per level, which would
// make a long nest of expression nodes cost the square of its depth.
CRptr CRexpr::addOwned(CRptr self, CRptr other) {
    return std::make_unique<CRexpr>(EXPR_ADD, std::move(self), std::move(other));
}
CRptr CRexpr::mulOwned(CRptr self, CRptr other) {
    return std::make_unique<CRexpr>(EXPR_MUL, std::move(self), std::move(other));
}
CRptr CRexpr::powOwned(CRptr self, CRptr exponent) {
    return std::make_unique<CRexpr>(EXPR_POW, std::move(self), std::move(exponent));
}
CRptr CRexpr::unaryOwned(int32_t code, CRptr self) { return std::make_unique<CRexpr>(code, std::move(self)); }

CRptr CRexpr::copy() const {
    auto result = CRptr(new CRexpr(op, index, length));
    copyInto(*result);
    return result;
}

namespace {

double truth(bool b) { return b ? 1.0 : 0.0; }

// Floor modulo as Python and NumPy define it: the sign of the divisor.
double floorMod(double x, double y) {
    double m = std::fmod(x, y);
    if (y == 0.0)
        return m;
    if (m != 0.0) {
        if ((y < 0.0) != (m < 0.0))
            m += y;
    } else {
        m = std::copysign(0.0, y);
    }
    return m;
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// SciPy's gammaln, by the C library's reentrant lgamma (lgamma writes the sign
// to a global); SciPy's limit at -inf is -inf, the C library's +inf.
double logGamma(double x) {
    if (x == -kInf)
        return -kInf;
    int sign = 0;
    return ::lgamma_r(x, &sign);
}

// The C library's Bessel functions are 0 at infinities; SciPy's are NaN.
double bessel(double (*f)(double), double x) { return std::isinf(x) ? kNaN : f(x); }

// SciPy's jv for an integer order n, by the C library's jn; NaN for any other
// order. |J_n(x)| <= |x/2|^|n| / |n|!, which rounds to 0 for |n| > 1000 and
// |x| < |n|/4: answered at once, where the C library's recurrence would take
// |n| steps (seconds for n near 2**31). Other orders beyond an int are NaN.
double besselJn(double n, double x) {
    if (!std::isfinite(n) || !std::isfinite(x) || std::trunc(n) != n)
        return kNaN;
    const double order = std::fabs(n);
    if (order > 1000.0 && std::fabs(x) < order / 4.0) {
        const bool odd = std::fmod(order, 2.0) != 0.0;
        return odd && (n < 0.0) != std::signbit(x) ? -0.0 : 0.0;
    }
    if (order > static_cast<double>(INT_MAX))
        return kNaN;
    return ::jn(static_cast<int>(n), x);
}

// NumPy's logaddexp, step for step: equal arguments (infinities of one sign
// included) give x + ln 2, NaN gives x - y.
double logAddExp(double x, double y) {
    if (x == y)
        return x + std::numbers::ln2;
    const double d = x - y;
    if (d > 0.0)
        return x + std::log1p(std::exp(-d));
    if (d <= 0.0)
        return y + std::log1p(std::exp(d));
    return d;
}

} // namespace

CRexpr::Unary CRexpr::unary(int32_t op) {
    switch (op) {
    case EXPR_ERF: return [](double x) { return std::erf(x); };
    case EXPR_ERFC: return [](double x) { return std::erfc(x); };
    case EXPR_LGAMMA: return logGamma;
    case EXPR_GAMMA: return [](double x) { return std::tgamma(x); };
    case EXPR_J0: return [](double x) { return bessel(::j0, x); };
    case EXPR_J1: return [](double x) { return bessel(::j1, x); };
    case EXPR_Y0: return [](double x) { return bessel(::y0, x); };
    case EXPR_Y1: return [](double x) { return bessel(::y1, x); };
    case EXPR_RINT: return [](double x) { return std::nearbyint(x); };
    default: return nullptr;
    }
}

double CRexpr::apply(int32_t op, double x, double y, double z) {
    switch (op) {
    case EXPR_ADD: return x + y;
    case EXPR_MUL: return x * y;
    case EXPR_POW: return std::pow(x, y);
    case EXPR_EXP: return std::exp(x);
    case EXPR_LN: return std::log(x);
    case EXPR_SIN: return std::sin(x);
    case EXPR_COS: return std::cos(x);
    case EXPR_ABS: return std::fabs(x);
    case EXPR_SIGN: return x > 0.0 ? 1.0 : x < 0.0 ? -1.0 : x == 0.0 ? 0.0 : x;
    case EXPR_FLOOR: return std::floor(x);
    case EXPR_CEIL: return std::ceil(x);
    case EXPR_TRUNC: return std::trunc(x);
    case EXPR_RINT: return std::nearbyint(x);
    case EXPR_CBRT: return std::cbrt(x);
    case EXPR_EXPM1: return std::expm1(x);
    case EXPR_LOG2: return std::log2(x);
    case EXPR_LOG10: return std::log10(x);
    case EXPR_LOG1P: return std::log1p(x);
    case EXPR_SINH: return std::sinh(x);
    case EXPR_COSH: return std::cosh(x);
    case EXPR_TANH: return std::tanh(x);
    case EXPR_ASIN: return std::asin(x);
    case EXPR_ACOS: return std::acos(x);
    case EXPR_ATAN: return std::atan(x);
    case EXPR_ASINH: return std::asinh(x);
    case EXPR_ACOSH: return std::acosh(x);
    case EXPR_ATANH: return std::atanh(x);
    case EXPR_ERF: return std::erf(x);
    case EXPR_ERFC: return std::erfc(x);
    case EXPR_NOT: return truth(x == 0.0);
    // SciPy's gamma has the C library's values at the poles: +-inf at +-0,
    // NaN at the negative integers and -inf.
    case EXPR_GAMMA: return std::tgamma(x);
    case EXPR_LGAMMA: return logGamma(x);
    case EXPR_J0: return bessel(::j0, x);
    case EXPR_J1: return bessel(::j1, x);
    case EXPR_Y0: return bessel(::y0, x);
    case EXPR_Y1: return bessel(::y1, x);
    case EXPR_ATAN2: return std::atan2(x, y);
    case EXPR_HYPOT: return std::hypot(x, y);
    // NaN in either operand gives NaN; of two equal values, the second.
    case EXPR_MIN: return x < y || x != x ? x : y;
    case EXPR_MAX: return x > y || x != x ? x : y;
    case EXPR_FMOD: return std::fmod(x, y);
    case EXPR_MOD: return floorMod(x, y);
    case EXPR_COPYSIGN: return std::copysign(x, y);
    case EXPR_HEAVISIDE: return x < 0.0 ? 0.0 : x > 0.0 ? 1.0 : x == 0.0 ? y : x;
    case EXPR_LT: return truth(x < y);
    case EXPR_LE: return truth(x <= y);
    case EXPR_GT: return truth(x > y);
    case EXPR_GE: return truth(x >= y);
    case EXPR_EQ: return truth(x == y);
    case EXPR_NE: return truth(x != y);
    case EXPR_AND: return truth(x != 0.0 && y != 0.0);
    case EXPR_OR: return truth(x != 0.0 || y != 0.0);
    case EXPR_JN: return besselJn(x, y);
    case EXPR_LOGADDEXP: return logAddExp(x, y);
    case EXPR_WHERE: return x != 0.0 ? y : z;
    default: return 0.0;
    }
}

// Once initialised, register i always holds operand i's current value: an
// operand changes only when this node shifts it, and the node re-reads it
// right then. Reading the registers gives the same number as asking the
// operands, without walking the whole subtree at every call.
double CRexpr::value() const {
    if (op < EXPR_ADD || op > EXPR_LAST)
        return 0.0;
    if (initialized)
        return apply(op, fastvalues[0], length > 1 ? fastvalues[1] : 0.0, length > 2 ? fastvalues[2] : 0.0);
    const double x = operands[0]->value();
    const double y = length > 1 ? operands[1]->value() : 0.0;
    const double z = length > 2 ? operands[2]->value() : 0.0;
    return apply(op, x, y, z);
}

void CRexpr::print() const {
    std::cout << "CRexpr[" << value() << "]";
    printOperands();
}

// No recurrence of its own: every step is passed to the operands. A step
// along a dimension beyond every operand's cannot change any of them.
void CRexpr::shift(int64_t dim) {
    if (dim > index)
        return;
    refreshOperands(dim);
}

} // namespace vemiral

namespace vemiral {

// No recurrence of its own: the operands' code, then the node's value
// recomputed from its refreshed slots into the parent's array.
std::string CRexpr::genCode(uint64_t parentId, int64_t dim, int64_t position, std::string indent) const {
    std::string text = operandsCode(*this, dim, indent);
    if (position != -1 && !text.empty())
        text += writeBack(*this, parentId, position, indent);
    return text;
}

// The operation over the node's own slots, with the C library's IEEE results
// (the _-prefixed helpers are emitted at the top of the program).
std::string CRexpr::valueCode() const {
    const std::string x = arrayName() + "[0]", y = arrayName() + "[1]", z = arrayName() + "[2]";
    auto call = [&](const char *f, const std::string &args) { return std::string(f) + "(" + args + ")"; };
    auto truth = [](const std::string &condition) { return "(1.0 if " + condition + " else 0.0)"; };
    switch (op) {
    case EXPR_ADD: return x + " + " + y;
    case EXPR_MUL: return x + " * " + y;
    case EXPR_POW: return "_pow(" + x + ", " + y + ")";
    case EXPR_EXP: return "_exp(" + x + ")";
    case EXPR_LN: return "_log(" + x + ")";
    case EXPR_SIN: return "_sin(" + x + ")";
    case EXPR_COS: return "_cos(" + x + ")";
    case EXPR_ABS: return call("abs", x);
    case EXPR_SIGN: return call("_sign", x);
    case EXPR_FLOOR: return call("_floor", x);
    case EXPR_CEIL: return call("_ceil", x);
    case EXPR_TRUNC: return call("_trunc", x);
    case EXPR_RINT: return call("_rint", x);
    case EXPR_CBRT: return call("math.cbrt", x);
    case EXPR_EXPM1: return call("_expm1", x);
    case EXPR_LOG2: return call("_logof", "math.log2, 0.0, " + x);
    case EXPR_LOG10: return call("_logof", "math.log10, 0.0, " + x);
    case EXPR_LOG1P: return call("_logof", "math.log1p, -1.0, " + x);
    case EXPR_SINH: return call("_hyperbolic", "math.sinh, " + x);
    case EXPR_COSH: return call("_hyperbolic", "math.cosh, " + x);
    case EXPR_TANH: return call("math.tanh", x);
    case EXPR_ASIN: return call("_domain", "math.asin, " + x);
    case EXPR_ACOS: return call("_domain", "math.acos, " + x);
    case EXPR_ATAN: return call("math.atan", x);
    case EXPR_ASINH: return call("math.asinh", x);
    case EXPR_ACOSH: return call("_domain", "math.acosh, " + x);
    case EXPR_ATANH: return call("_atanh", x);
    case EXPR_ERF: return call("math.erf", x);
    case EXPR_ERFC: return call("math.erfc", x);
    case EXPR_NOT: return truth(x + " == 0.0");
    // Python's math.gamma and math.lgamma are its own, not the C library's.
    case EXPR_GAMMA: return call("_libm", "'tgamma', " + x);
    case EXPR_LGAMMA: return call("_lgamma", x);
    case EXPR_J0: return call("_bessel", "'j0', " + x);
    case EXPR_J1: return call("_bessel", "'j1', " + x);
    case EXPR_Y0: return call("_bessel", "'y0', " + x);
    case EXPR_Y1: return call("_bessel", "'y1', " + x);
    case EXPR_ATAN2: return call("math.atan2", x + ", " + y);
    // Python's math.hypot rounds differently from the C library's.
    case EXPR_HYPOT: return call("_libm", "'hypot', " + x + ", " + y);
    case EXPR_MIN: return call("_minimum", x + ", " + y);
    case EXPR_MAX: return call("_maximum", x + ", " + y);
    case EXPR_FMOD: return call("_domain", "math.fmod, " + x + ", " + y);
    case EXPR_MOD: return call("_mod", x + ", " + y);
    case EXPR_COPYSIGN: return call("math.copysign", x + ", " + y);
    case EXPR_HEAVISIDE: return call("_heaviside", x + ", " + y);
    case EXPR_LT: return truth(x + " < " + y);
    case EXPR_LE: return truth(x + " <= " + y);
    case EXPR_GT: return truth(x + " > " + y);
    case EXPR_GE: return truth(x + " >= " + y);
    case EXPR_EQ: return truth(x + " == " + y);
    case EXPR_NE: return truth(x + " != " + y);
    case EXPR_AND: return truth(x + " != 0.0 and " + y + " != 0.0");
    case EXPR_OR: return truth(x + " != 0.0 or " + y + " != 0.0");
    case EXPR_JN: return call("_jn", x + ", " + y);
    case EXPR_LOGADDEXP: return call("_logaddexp", x + ", " + y);
    case EXPR_WHERE: return "(" + y + " if " + x + " != 0.0 else " + z + ")";
    default: return "0.0";
    }
}

} // namespace vemiral
