#include "cr/CRnum.hpp"

#include <cmath>
#include <iostream>

#include "codegen/codegen.hpp"
#include "cr/CRexpr.hpp"
#include "cr/CRprod.hpp"
#include "cr/CRsum.hpp"

namespace vemiral {

const CRnum minusone(-1.0);

CRnum::CRnum(double number_) : CRobj(-1, 0), number(number_) {}

// The calling convention hands a constant only constant arguments; anything
// else has the larger index and is the proper receiver.
CRptr CRnum::add(const CRobj &other) const {
    if (!other.isnumber())
        return other.add(*this);
    return std::make_unique<CRnum>(static_cast<const CRnum &>(other).number + number);
}

CRptr CRnum::mul(const CRobj &other) const {
    if (!other.isnumber())
        return other.mul(*this);
    return std::make_unique<CRnum>(static_cast<const CRnum &>(other).number * number);
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
        return std::make_unique<CRnum>(std::pow(number, e->number));
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

CRptr CRnum::exp() const { return std::make_unique<CRnum>(std::exp(number)); }
CRptr CRnum::ln() const { return std::make_unique<CRnum>(std::log(number)); }
CRptr CRnum::sin() const { return std::make_unique<CRnum>(std::sin(number)); }
CRptr CRnum::cos() const { return std::make_unique<CRnum>(std::cos(number)); }

void CRnum::simplify() {}

CRptr CRnum::copy() const { return std::make_unique<CRnum>(number); }

double CRnum::valueof() { return number; }
double CRnum::value() const { return number; }
bool CRnum::isnumber() const { return true; }

void CRnum::print() const { std::cout << "CRnum(" << number << ")"; }

void CRnum::shift(int64_t) {}

std::string CRnum::genCode(uint64_t, int64_t, int64_t, std::string) const { return {}; }
std::string CRnum::valueCode() const { return pyNumber(number); }

} // namespace vemiral
