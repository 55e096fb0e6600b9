#include "cr/CRprod.hpp"

#include <algorithm>
#include <cmath>
#include <iostream>

#include "codegen/codegen.hpp"
#include "cr/CRexpr.hpp"
#include "cr/CRnum.hpp"
#include "cr/CRsum.hpp"

namespace vemiral {

CRprod::CRprod(int64_t index_, uint64_t length_) : CRobj(index_, length_) {}

void CRprod::shift(int64_t dim) {
    if (dim == index) {
        for (uint64_t i = 0; i + 1 < length; ++i)
            fastvalues[i] = fastvalues[i + 1] * fastvalues[i];
    } else if (dim < index) {
        refreshOperands(dim);
    }
}

CRptr CRprod::add(const CRobj &other) const { return std::make_unique<CRexpr>(EXPR_ADD, *this, other); }

CRptr CRprod::mul(const CRobj &other) const {
    if (other.index != index) {
        auto result = copy();
        result->operands[0] = orderedProduct(*operands[0], other);
        result->simplify();
        return result;
    }
    if (auto p = dynamic_cast<const CRprod *>(&other)) {
        // Operand by operand, combined as chains; a lone constant is
        // multiplied by 1.0.
        const uint64_t n = std::max(length, p->length);
        auto result = std::make_unique<CRprod>(index, n);
        for (uint64_t i = 0; i < n; ++i) {
            const CRobj *x = i < length ? operands[i].get() : nullptr;
            const CRobj *y = i < p->length ? p->operands[i].get() : nullptr;
            if (x && y)
                result->operands[i] = orderedProduct(*x, *y);
            else {
                const CRobj &only = x ? *x : *y;
                result->operands[i] =
                    only.isnumber() ? static_cast<const CRnum &>(only).with(static_cast<const CRnum &>(only).number * 1.0)
                                    : only.copy();
            }
        }
        result->simplify();
        return result;
    }
    return std::make_unique<CRexpr>(EXPR_MUL, *this, other);
}

// add and mul again, from operands the caller gives up (CRobj::addOwned).
CRptr CRprod::addOwned(CRptr self, CRptr other) {
    return std::make_unique<CRexpr>(EXPR_ADD, std::move(self), std::move(other));
}

CRptr CRprod::mulOwned(CRptr self, CRptr other) {
    if (other->index != index) {
        operands[0] = orderedProductOf(std::move(operands[0]), std::move(other));
        simplify();
        return self;
    }
    if (auto p = dynamic_cast<CRprod *>(other.get())) {
        const uint64_t n = std::max(length, p->length);
        auto result = std::make_unique<CRprod>(index, n);
        for (uint64_t i = 0; i < n; ++i) {
            CRptr x = i < length ? std::move(operands[i]) : nullptr;
            CRptr y = i < p->length ? std::move(p->operands[i]) : nullptr;
            if (x && y)
                result->operands[i] = orderedProductOf(std::move(x), std::move(y));
            else {
                CRptr only = x ? std::move(x) : std::move(y);
                result->operands[i] = only->isnumber()
                                          ? static_cast<const CRnum &>(*only).with(static_cast<const CRnum &>(*only).number * 1.0)
                                          : std::move(only);
            }
        }
        result->simplify();
        return result;
    }
    return std::make_unique<CRexpr>(EXPR_MUL, std::move(self), std::move(other));
}

CRptr CRprod::unaryOwned(int32_t code, CRptr self) {
    if (code == EXPR_LN)
        return ln();
    return std::make_unique<CRexpr>(code, std::move(self));
}

CRptr CRprod::pow(const CRobj &exponent) const {
    if (exponent.index < index) {
        // {φ0, *, φ1, ...}^c = {φ0^c, *, φ1^c, ...} for c constant along `index`.
        auto result = copy();
        for (uint64_t i = 0; i < length; ++i)
            result->operands[i] = operands[i]->pow(exponent);
        return result;
    }
    // An exponent over the same dimension closes only when it is a pure sum;
    // one over a larger dimension never does: raising the operands would leave
    // chains over a larger dimension inside this one.
    if (exponent.index == index && dynamic_cast<const CRsum *>(&exponent) &&
        length + exponent.length - 1 <= operandLimit(*this, exponent))
        return powSameDimension(exponent);
    return std::make_unique<CRexpr>(EXPR_POW, *this, exponent);
}

// The power rule chi_i = prod_j prod_q φj^(B(i,j) * (ψq * B(j,i-q))), each
// factor built by the algebra so that chain operands stay chains.
CRptr CRprod::powSameDimension(const CRobj &sum) const {
    const uint64_t n = length, m = sum.length;
    const uint64_t k = n - 1, l = m - 1;
    Binomials binom;
    auto result = std::make_unique<CRprod>(index, n + m - 1);
    for (uint64_t i = 0; i < n + m - 1; ++i) {
        CRptr outer = std::make_unique<CRnum>(1.0);
        const uint64_t jlo = i > l ? i - l : 0, jhi = std::min(i, k);
        for (uint64_t j = jlo; j <= jhi; ++j) {
            CRptr inner = std::make_unique<CRnum>(1.0);
            for (uint64_t q = i - j; q <= std::min(i, l); ++q) {
                CRptr x = orderedProduct(*sum.operands[q], CRnum(binom(j, i - q), binom.tail(j, i - q)));
                CRptr y = orderedProduct(CRnum(binom(i, j), binom.tail(i, j)), *x);
                CRptr factor = operands[j]->pow(*y);
                inner = orderedProduct(*inner, *factor);
            }
            outer = orderedProduct(*outer, *inner);
        }
        result->operands[i] = std::move(outer);
    }
    result->simplify();
    return result;
}

CRptr CRprod::ln() const {
    auto result = std::make_unique<CRsum>(index, length);
    for (uint64_t i = 0; i < length; ++i)
        result->operands[i] = operands[i]->ln();
    return result;
}

CRptr CRprod::exp() const { return std::make_unique<CRexpr>(EXPR_EXP, *this); }
CRptr CRprod::sin() const { return std::make_unique<CRexpr>(EXPR_SIN, *this); }
CRptr CRprod::cos() const { return std::make_unique<CRexpr>(EXPR_COS, *this); }

// Trailing factors that are exactly the constant 1.0 never change a register;
// a chain operand is kept whatever it reads now, since it still varies.
void CRprod::simplify() {
    if (initialized)
        return;
    auto isOne = [](const CRptr &op) {
        return op->isnumber() && op->value() == 1.0;
    };
    while (operands.size() > 1 && isOne(operands.back()))
        operands.pop_back();
    if (operands.empty())
        operands.push_back(std::make_unique<CRnum>(1.0));
    length = operands.size();
}

CRptr CRprod::copy() const {
    auto result = std::make_unique<CRprod>(index, length);
    copyInto(*result);
    return result;
}

void CRprod::print() const {
    std::cout << "CRprod[" << value() << "]";
    printOperands();
}

} // namespace vemiral

namespace vemiral {

// As for sums, with products in the register loop and without the
// diagnostic lines.
std::string CRprod::genCode(uint64_t parentId, int64_t dim, int64_t position, std::string indent) const {
    std::string text = dim == index ? recurrenceLoop(*this, "*=", indent) : operandsCode(*this, dim, indent);
    if (position != -1 && !text.empty())
        text += writeBack(*this, parentId, position, indent);
    return text;
}

} // namespace vemiral
