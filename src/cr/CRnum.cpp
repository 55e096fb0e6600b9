#include "cr/CRnum.hpp"

#include <cfloat>
#include <cmath>
#include <iostream>

#include "codegen/codegen.hpp"
#include "cr/CRexpr.hpp"
#include "cr/CRprod.hpp"
#include "cr/CRsum.hpp"

namespace vemiral {

const CRnum minusone(-1.0);

CRnum::CRnum(double number_, double lo_) : CRobj(-1, 0), number(number_), lo(lo_) {}

namespace {

const CRnum &numberOf(const CRobj &c) { return static_cast<const CRnum &>(c); }

// The constant `number` (computed as the algebra always has), with the tail
// of `exact` when tails are kept; `nonzero` says the exact value is not 0.
template <class Exact>
CRptr constant(double number, bool nonzero, Exact &&exact) {
    auto c = std::make_unique<CRnum>(number, extendedConstants() ? tailOf(number, exact()) : 0.0);
    c->underflowed = nonzero && std::isfinite(number) && std::fabs(number) < DBL_MIN;
    return c;
}

} // namespace

// The calling convention hands a constant only constant arguments; anything
// else has the larger index and is the proper receiver.
CRptr CRnum::add(const CRobj &other) const {
    if (!other.isnumber())
        return other.add(*this);
    const CRnum &o = numberOf(other);
    return constant(o.number + number, false, [&] { return vemiral::add(o.extended(), extended()); });
}

CRptr CRnum::mul(const CRobj &other) const {
    if (!other.isnumber())
        return other.mul(*this);
    const CRnum &o = numberOf(other);
    return constant(o.number * number, o.number != 0.0 && number != 0.0,
                    [&] { return vemiral::mul(o.extended(), extended()); });
}

CRptr CRnum::addOwned(CRptr self, CRptr other) {
    if (!other->isnumber())
        return sumOf(std::move(other), std::move(self));
    return add(*other);
}

CRptr CRnum::mulOwned(CRptr self, CRptr other) {
    if (!other->isnumber())
        return productOf(std::move(other), std::move(self));
    return mul(*other);
}

CRptr CRnum::pow(const CRobj &exponent) const {
    if (auto e = dynamic_cast<const CRnum *>(&exponent))
        return constant(std::pow(number, e->number), number != 0.0,
                        [&] { return vemiral::pow(extended(), e->extended()); });
    if (auto s = dynamic_cast<const CRsum *>(&exponent)) {
        // c^{φ0, +, φ1, ...} = {c^φ0, *, c^φ1, ...}; each factor is built by
        // the algebra so that operands over smaller dimensions stay chains.
        auto result = std::make_unique<CRprod>(s->index, s->length);
        for (uint64_t i = 0; i < s->length; ++i)
            result->operands[i] = pow(*s->operands[i]);
        return result;
    }
    return std::make_unique<CRexpr>(EXPR_POW, *this, exponent);
}

CRptr CRnum::exp() const { return constant(std::exp(number), true, [&] { return vemiral::exp(extended()); }); }
CRptr CRnum::ln() const { return constant(std::log(number), false, [&] { return vemiral::log(extended()); }); }
CRptr CRnum::sin() const { return constant(std::sin(number), false, [&] { return vemiral::sin(extended()); }); }
CRptr CRnum::cos() const { return constant(std::cos(number), false, [&] { return vemiral::cos(extended()); }); }

void CRnum::simplify() {}

CRptr CRnum::with(double number_) const {
    auto c = std::make_unique<CRnum>(number_, lo);
    c->underflowed = underflowed;
    return c;
}

CRptr CRnum::copy() const {
    auto c = std::make_unique<CRnum>(number, lo);
    c->underflowed = underflowed;
    return c;
}

double CRnum::valueof() { return number; }
double CRnum::value() const { return number; }
bool CRnum::isnumber() const { return true; }

void CRnum::print() const { std::cout << "CRnum(" << number << ")"; }

void CRnum::shift(int64_t) {}

std::string CRnum::genCode(uint64_t, int64_t, int64_t, std::string) const { return {}; }
std::string CRnum::valueCode() const { return pyNumber(number); }

} // namespace vemiral
