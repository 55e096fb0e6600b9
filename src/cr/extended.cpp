// Double-double arithmetic for the algebra's constants.
#include "cr/extended.hpp"

namespace vemiral {

namespace {

thread_local bool keepTails = false;

// Constants as sums of three doubles (about 160 bits).
constexpr double kTwoPi[3] = {6.283185307179586, 2.4492935982947064e-16, -5.989539619436679e-33};
constexpr double kHalfPi[3] = {1.5707963267948966, 6.123233995736766e-17, -1.4973849048591698e-33};
constexpr double kLn2[3] = {0.6931471805599453, 2.3190468138462996e-17, 5.707708438416212e-34};

Extended negated(Extended a) { return {-a.hi, -a.lo}; }

// a - k * c for an integer-valued k and a three-part constant c: the
// products with the leading parts are exact.
Extended minusMultiple(Extended a, double k, const double (&c)[3]) {
    Extended r = add(a, negated(twoProd(k, c[0])));
    r = add(r, negated(twoProd(k, c[1])));
    return add(r, {-k * c[2], 0.0});
}

Extended scaled(Extended a, int e) { return {std::ldexp(a.hi, e), std::ldexp(a.lo, e)}; }

// 1/n! for the Taylor series.
struct InverseFactorials {
    Extended v[32];
    InverseFactorials() {
        Extended f{1.0, 0.0};
        v[0] = f;
        for (int n = 1; n < 32; ++n) {
            f = quotient(f, static_cast<double>(n));
            v[n] = f;
        }
    }
};
const InverseFactorials &inverseFactorials() {
    static const InverseFactorials table;
    return table;
}

// exp(x) - 1 for |x| below about 2^-9, to about 2^-104 relative: eleven
// terms of the series.
Extended expm1Small(Extended x) {
    const InverseFactorials &f = inverseFactorials();
    Extended p = f.v[11];
    for (int n = 10; n >= 1; --n)
        p = add(mul(p, x), f.v[n]);
    return mul(p, x);
}

// sin and cos of |x| <= pi/4 by their series (terms below 2^-110).
Extended sinSmall(Extended x) {
    const InverseFactorials &f = inverseFactorials();
    const Extended x2 = mul(x, x);
    Extended p = f.v[27];
    for (int n = 25; n >= 1; n -= 2)
        p = add(mul(p, negated(x2)), f.v[n]);
    return mul(p, x);
}
Extended cosSmall(Extended x) {
    const InverseFactorials &f = inverseFactorials();
    const Extended x2 = mul(x, x);
    Extended p = f.v[26];
    for (int n = 24; n >= 0; n -= 2)
        p = add(mul(p, negated(x2)), f.v[n]);
    return p;
}

// The argument reduced to [-pi/4, pi/4] and its quadrant: first modulo 2*pi,
// so that a large phase keeps its absolute precision, then by pi/2.
Extended quadrantOf(Extended a, int &quadrant) {
    Extended r = a;
    // k is an integer (every double beyond 2^52 is), and each product of it
    // with a part of 2*pi is exact: the remainder keeps the argument's own
    // absolute precision however large the argument.
    for (int pass = 0; pass < 2 && std::fabs(r.hi) > 4.0; ++pass)
        r = minusMultiple(r, std::nearbyint(r.hi / kTwoPi[0]), kTwoPi);
    const double j = std::nearbyint(r.hi / kHalfPi[0]);
    r = minusMultiple(r, j, kHalfPi);
    quadrant = static_cast<int>(j) & 3;
    return r;
}

} // namespace

Extended normalized(double hi, double lo) {
    if (!std::isfinite(hi) || !std::isfinite(lo))
        return {hi + lo, 0.0};
    return twoSum(hi, lo);
}

Extended add(Extended a, Extended b) {
    Extended s = twoSum(a.hi, b.hi);
    const Extended t = twoSum(a.lo, b.lo);
    if (!std::isfinite(s.hi))
        return {s.hi, 0.0};
    s.lo += t.hi;
    s = fastTwoSum(s.hi, s.lo);
    s.lo += t.lo;
    return fastTwoSum(s.hi, s.lo);
}

Extended mul(Extended a, Extended b) {
    Extended p = twoProd(a.hi, b.hi);
    if (!std::isfinite(p.hi))
        return {p.hi, 0.0};
    p.lo += a.hi * b.lo + a.lo * b.hi;
    return fastTwoSum(p.hi, p.lo);
}

Extended reciprocal(Extended a) {
    const double q1 = 1.0 / a.hi;
    if (!std::isfinite(q1) || q1 == 0.0)
        return {q1, 0.0};
    Extended r = add({1.0, 0.0}, negated(mul(a, {q1, 0.0})));
    const double q2 = r.hi / a.hi;
    r = add(r, negated(mul(a, {q2, 0.0})));
    const double q3 = r.hi / a.hi;
    return add(fastTwoSum(q1, q2), {q3, 0.0});
}

Extended quotient(Extended a, double d) {
    const double q1 = a.hi / d;
    if (!std::isfinite(q1))
        return {q1, 0.0};
    const Extended r = add(a, negated(twoProd(q1, d)));
    return normalized(q1, r.hi / d);
}

// exp(a) = 2^k exp(r), r = a - k ln 2, and exp(r) = (1 + expm1(r / 256))^256
// by squaring expm1 (e <- 2e + e^2), which keeps its relative precision.
Extended exp(Extended a) {
    if (!std::isfinite(a.hi) || a.hi > 709.8 || a.hi < -745.2)
        return {std::exp(a.hi), 0.0};
    const double k = std::nearbyint(a.hi / kLn2[0]);
    Extended e = expm1Small(scaled(minusMultiple(a, k, kLn2), -8));
    for (int i = 0; i < 8; ++i)
        e = add(scaled(e, 1), mul(e, e));
    const Extended r = add({1.0, 0.0}, e);
    // 2^k in two steps, so that neither factor over- or underflows early.
    const int half = static_cast<int>(k) / 2;
    return normalized(std::ldexp(std::ldexp(r.hi, half), static_cast<int>(k) - half),
                      std::ldexp(std::ldexp(r.lo, half), static_cast<int>(k) - half));
}

// One Newton step on exp from the double logarithm doubles its digits.
Extended log(Extended a) {
    if (!std::isfinite(a.hi) || a.hi <= 0.0)
        return {std::log(a.hi), 0.0};
    const double y = std::log(a.hi);
    return add({y, 0.0}, add(mul(a, exp({-y, 0.0})), {-1.0, 0.0}));
}

Extended sin(Extended a) {
    if (!std::isfinite(a.hi))
        return {std::sin(a.hi), 0.0};
    int q = 0;
    const Extended r = quadrantOf(a, q);
    switch (q) {
    case 0: return sinSmall(r);
    case 1: return cosSmall(r);
    case 2: return negated(sinSmall(r));
    default: return negated(cosSmall(r));
    }
}

Extended cos(Extended a) {
    if (!std::isfinite(a.hi))
        return {std::cos(a.hi), 0.0};
    int q = 0;
    const Extended r = quadrantOf(a, q);
    switch (q) {
    case 0: return cosSmall(r);
    case 1: return negated(sinSmall(r));
    case 2: return negated(cosSmall(r));
    default: return sinSmall(r);
    }
}

// Integer powers by squaring; others as exp(y ln x), with the sign of a
// negative base raised to an integer. The special cases are the C library's.
Extended pow(Extended base, Extended exponent) {
    const double c = std::pow(base.hi, exponent.hi);
    if (!std::isfinite(base.hi) || !std::isfinite(exponent.hi) || !std::isfinite(c) || c == 0.0 ||
        base.hi == 0.0)
        return {c, 0.0};
    if (exponent.lo == 0.0 && exponent.hi == std::nearbyint(exponent.hi) && std::fabs(exponent.hi) <= 64.0) {
        auto n = static_cast<int64_t>(std::fabs(exponent.hi));
        Extended result{1.0, 0.0}, square = base;
        for (; n != 0; n /= 2) {
            if (n & 1)
                result = mul(result, square);
            if (n > 1)
                square = mul(square, square);
        }
        return exponent.hi < 0.0 ? reciprocal(result) : result;
    }
    if (base.hi < 0.0) {
        // A negative base: finite only for an integer exponent (c is finite).
        const Extended magnitude = exp(mul(exponent, log(negated(base))));
        const bool odd = std::fmod(std::fabs(exponent.hi), 2.0) == 1.0;
        return odd ? negated(magnitude) : magnitude;
    }
    return exp(mul(exponent, log(base)));
}

double tailOf(double number, Extended value) {
    if (!std::isfinite(number) || !std::isfinite(value.hi) || !std::isfinite(value.lo))
        return 0.0;
    return (value.hi - number) + value.lo;
}

ExtendedConstants::ExtendedConstants(bool on) : previous_(keepTails) { keepTails = on; }
ExtendedConstants::~ExtendedConstants() { keepTails = previous_; }
bool extendedConstants() { return keepTails; }

} // namespace vemiral
