#pragma once

#include <cmath>

namespace vemiral {

// A number held as the unevaluated sum hi + lo of two doubles (a
// double-double): about 106 significant bits, the range of a double.
struct Extended {
    double hi = 0.0;
    double lo = 0.0;
};

// Error-free transformations: s.hi + s.lo is exactly a + b (a * b), s.hi the
// rounded result. They rely on every operation being rounded on its own
// (-ffp-contract=off, no fast-math), and twoProd on a correctly rounded fma.
inline Extended twoSum(double a, double b) {
    const double s = a + b;
    const double bb = s - a;
    return {s, (a - (s - bb)) + (b - bb)};
}

// Exact when |a| >= |b| (or a is zero).
inline Extended fastTwoSum(double a, double b) {
    const double s = a + b;
    return {s, b - (s - a)};
}

inline Extended twoProd(double a, double b) {
    const double p = a * b;
    return {p, std::fma(a, b, -p)};
}

// The pair normalised (|lo| at most half an ulp of hi); a value that is not
// finite keeps no tail.
Extended normalized(double hi, double lo);

// Sums and products to about 2^-104 relative; the reciprocal likewise.
Extended add(Extended a, Extended b);
Extended mul(Extended a, Extended b);
Extended reciprocal(Extended a);
Extended quotient(Extended a, double d);

// The functions of the algebra's constants, to about 2^-100 relative (sine
// and cosine to about 2^-100 absolute, whatever the size of the argument):
// a coefficient's error is multiplied by up to t^d/d! over t steps of a
// chain of degree d, so the tiles' thousands of steps need this much.
Extended exp(Extended a);
Extended log(Extended a);
Extended sin(Extended a);
Extended cos(Extended a);
Extended pow(Extended base, Extended exponent);

// hi + lo rounded to a double; a value that is not finite is hi itself.
inline double toDouble(Extended a) { return std::isfinite(a.hi) ? a.hi + a.lo : a.hi; }

// The tail that makes `number` (a double the algebra computed its own way)
// stand for `value`: number + tail is value to double-double precision. Zero
// when either is not finite.
double tailOf(double number, Extended value);

// While one is alive, the algebra's constants on this thread carry their
// tails (CRnum::lo); otherwise tails stay zero and cost nothing.
class ExtendedConstants {
public:
    explicit ExtendedConstants(bool on = true);
    ~ExtendedConstants();
    ExtendedConstants(const ExtendedConstants &) = delete;
    ExtendedConstants &operator=(const ExtendedConstants &) = delete;

private:
    bool previous_;
};
bool extendedConstants();


} // namespace vemiral
