#include "cr/CRsum.hpp"

#include <algorithm>
#include <cmath>
#include <iostream>

#include "codegen/codegen.hpp"
#include "cr/CRexpr.hpp"
#include "cr/CRnum.hpp"
#include "cr/CRprod.hpp"
#include "cr/CRtrig.hpp"

namespace vemiral {

namespace {

bool allConstant(const CRobj &c) {
    return std::all_of(c.operands.begin(), c.operands.end(),
                       [](const CRptr &op) { return op->isnumber(); });
}

double numberOf(const CRobj &c) { return static_cast<const CRnum &>(c).number; }
Extended extendedOf(const CRobj &c) { return static_cast<const CRnum &>(c).extended(); }

} // namespace

CRsum::CRsum(int64_t index_, uint64_t length_) : CRobj(index_, length_) {}

CRsum::CRsum(int64_t index_, double start, double step, double startTail) : CRobj(index_, 2) {
    operands[0] = std::make_unique<CRnum>(start, startTail);
    operands[1] = std::make_unique<CRnum>(step);
}

void CRsum::shift(int64_t dim) {
    if (dim == index) {
        for (uint64_t i = 0; i + 1 < length; ++i)
            fastvalues[i] = fastvalues[i + 1] + fastvalues[i];
    } else if (dim < index) {
        refreshOperands(dim);
    }
    // A step along a larger dimension cannot change a chain over `index`.
}

CRptr CRsum::add(const CRobj &other) const {
    if (other.index != index) {
        auto result = copy();
        result->operands[0] = orderedSum(*operands[0], other);
        result->simplify();
        return result;
    }
    if (auto s = dynamic_cast<const CRsum *>(&other)) {
        // Operand by operand, combined as chains so that operands over smaller
        // dimensions keep varying; a lone constant is added to 0.0.
        const uint64_t n = std::max(length, s->length);
        auto result = std::make_unique<CRsum>(index, n);
        for (uint64_t i = 0; i < n; ++i) {
            const CRobj *x = i < length ? operands[i].get() : nullptr;
            const CRobj *y = i < s->length ? s->operands[i].get() : nullptr;
            if (x && y)
                result->operands[i] = orderedSum(*x, *y);
            else {
                const CRobj &only = x ? *x : *y;
                result->operands[i] = only.isnumber() ? static_cast<const CRnum &>(only).with(0.0 + numberOf(only))
                                                      : only.copy();
            }
        }
        return result;
    }
    return std::make_unique<CRexpr>(EXPR_ADD, *this, other);
}

CRptr CRsum::mul(const CRobj &other) const {
    if (other.index != index) {
        auto result = copy();
        for (uint64_t i = 0; i < length; ++i)
            result->operands[i] = orderedProduct(*operands[i], other);
        result->simplify();
        return result;
    }
    if (auto s = dynamic_cast<const CRsum *>(&other)) {
        if (length < s->length)
            return s->mul(*this);
        if (length + s->length - 1 > operandLimit(*this, *s))
            return std::make_unique<CRexpr>(EXPR_MUL, *this, other);
        return mulSameDimension(*s);
    }
    return std::make_unique<CRexpr>(EXPR_MUL, *this, other);
}

// add and mul again, from operands the caller gives up (CRobj::addOwned):
// the same chains, with every operand that the const forms copy once moved.
CRptr CRsum::addOwned(CRptr self, CRptr other) {
    if (other->index != index) {
        operands[0] = orderedSumOf(std::move(operands[0]), std::move(other));
        simplify();
        return self;
    }
    if (auto s = dynamic_cast<CRsum *>(other.get())) {
        const uint64_t n = std::max(length, s->length);
        auto result = std::make_unique<CRsum>(index, n);
        for (uint64_t i = 0; i < n; ++i) {
            CRptr x = i < length ? std::move(operands[i]) : nullptr;
            CRptr y = i < s->length ? std::move(s->operands[i]) : nullptr;
            if (x && y)
                result->operands[i] = orderedSumOf(std::move(x), std::move(y));
            else {
                CRptr only = x ? std::move(x) : std::move(y);
                result->operands[i] = only->isnumber() ? static_cast<const CRnum &>(*only).with(0.0 + numberOf(*only))
                                                       : std::move(only);
            }
        }
        return result;
    }
    return std::make_unique<CRexpr>(EXPR_ADD, std::move(self), std::move(other));
}

CRptr CRsum::mulOwned(CRptr self, CRptr other) {
    if (other->index != index) {
        for (uint64_t i = 0; i < length; ++i) {
            CRptr factor = i + 1 < length ? other->copy() : std::move(other);
            operands[i] = orderedProductOf(std::move(operands[i]), std::move(factor));
        }
        simplify();
        return self;
    }
    if (auto s = dynamic_cast<const CRsum *>(other.get())) {
        if (length < s->length)
            return productOf(std::move(other), std::move(self));
        if (length + s->length - 1 > operandLimit(*this, *s))
            return std::make_unique<CRexpr>(EXPR_MUL, std::move(self), std::move(other));
        return mulSameDimension(*s);
    }
    return std::make_unique<CRexpr>(EXPR_MUL, std::move(self), std::move(other));
}

// The product rule of pure-sum chains:
//   c_i = sum_j B(i, j) * a_j * sum_q B(j, i - q) * b_q.
// Operands are combined as chains. When every operand is a constant the same
// operations run directly on doubles, in the same order and with the same
// operand order as the constant algebra would use, so the numbers are equal.
CRptr CRsum::mulSameDimension(const CRsum &other) const {
    const uint64_t n = length, m = other.length;
    const uint64_t k = n - 1, l = m - 1;
    Binomials binom;
    auto result = std::make_unique<CRsum>(index, n + m - 1);
    const bool numeric = allConstant(*this) && allConstant(other);
    const bool tails = numeric && extendedConstants();
    for (uint64_t i = 0; i < n + m - 1; ++i) {
        const uint64_t jlo = i > l ? i - l : 0, jhi = std::min(i, k);
        if (numeric) {
            double acc = 0.0;
            Extended accExact{}; // the same sums in double-double, when tails are kept
            for (uint64_t j = jlo; j <= jhi; ++j) {
                double s = 0.0;
                Extended sExact{};
                for (uint64_t q = i - j; q <= std::min(i, l); ++q) {
                    s = binom(j, i - q) * numberOf(*other.operands[q]) + s;
                    if (tails)
                        sExact = vemiral::add(vemiral::mul(binom.extended(j, i - q), extendedOf(*other.operands[q])), sExact);
                }
                const double t = binom(i, j) * s;
                acc = acc + t * numberOf(*operands[j]);
                if (tails)
                    accExact = vemiral::add(accExact, vemiral::mul(vemiral::mul(binom.extended(i, j), sExact), extendedOf(*operands[j])));
            }
            result->operands[i] = std::make_unique<CRnum>(acc, tails ? tailOf(acc, accExact) : 0.0);
            continue;
        }
        // The running sums are handed over to each next step, not copied.
        CRptr acc = std::make_unique<CRnum>(0.0);
        for (uint64_t j = jlo; j <= jhi; ++j) {
            CRptr s = std::make_unique<CRnum>(0.0);
            for (uint64_t q = i - j; q <= std::min(i, l); ++q) {
                CRptr p = productOf(other.operands[q]->copy(),
                                    std::make_unique<CRnum>(binom(j, i - q), binom.tail(j, i - q)));
                s = orderedSumOf(std::move(p), std::move(s));
            }
            CRptr t = productOf(std::move(s), std::make_unique<CRnum>(binom(i, j), binom.tail(i, j)));
            CRptr u = orderedProductOf(std::move(t), operands[j]->copy());
            acc = orderedSumOf(std::move(acc), std::move(u));
        }
        result->operands[i] = std::move(acc);
    }
    return result;
}

CRptr CRsum::pow(const CRobj &exponent) const {
    if (auto c = dynamic_cast<const CRnum *>(&exponent)) {
        const double e = c->number;
        // Exponentiation by squaring yields (n - 1) * e + 1 operands.
        const bool integral = e >= 0.0 && std::floor(e) == e;
        const bool fits = e < 9.2e18 &&
                          static_cast<double>(length - 1) * e + 1.0 <=
                              static_cast<double>(operandLimit(*this, *this));
        if (integral && fits) {
            CRptr result = std::make_unique<CRnum>(1.0);
            CRptr base = copy();
            for (auto c2 = static_cast<uint64_t>(e); c2 != 0;) {
                if (c2 & 1u)
                    result = orderedProduct(*result, *base);
                c2 /= 2;
                if (c2 == 0)
                    break;
                base = base->mul(*base);
            }
            return result;
        }
    }
    return std::make_unique<CRexpr>(EXPR_POW, *this, exponent);
}

CRptr CRsum::exp() const {
    auto result = std::make_unique<CRprod>(index, length);
    for (uint64_t i = 0; i < length; ++i)
        result->operands[i] = operands[i]->exp();
    result->simplify();
    return result;
}

CRptr CRsum::ln() const { return std::make_unique<CRexpr>(EXPR_LN, *this); }

// Level i holds the sine and cosine of operand i, built by the algebra so that
// operands over smaller dimensions become trigonometric chains of their own.
CRptr CRsum::trig(int32_t kind) const {
    auto result = std::make_unique<CRtrig>(index, kind, 2 * length);
    for (uint64_t i = 0; i < length; ++i) {
        result->operands[i] = operands[i]->sin();
        result->operands[length + i] = operands[i]->cos();
    }
    return result;
}

CRptr CRsum::sin() const { return trig(EXPR_SIN); }
CRptr CRsum::cos() const { return trig(EXPR_COS); }

void CRsum::simplify() {}

CRptr CRsum::copy() const {
    auto result = std::make_unique<CRsum>(index, length);
    copyInto(*result);
    return result;
}

void CRsum::print() const {
    std::cout << "CRsum[" << value() << "]";
    printOperands();
}

} // namespace vemiral

namespace vemiral {

// The textual twin of shift: the register loop along the own dimension,
// otherwise the operands' code and, when anything changed, the write-back of
// the new value into the parent's array. Every call also reports itself on
// standard output and traces the fragment's size on standard error.
std::string CRsum::genCode(uint64_t parentId, int64_t dim, int64_t position, std::string indent) const {
    std::cout << dim << " " << index << std::endl;
    std::string text = dim == index ? recurrenceLoop(*this, "+=", indent) : operandsCode(*this, dim, indent);
    if (position != -1 && !text.empty())
        text += writeBack(*this, parentId, position, indent);
    std::cerr << "[genCode:class CRsum] len=" << text.size()
              << " lines=" << std::count(text.begin(), text.end(), '\n') << "\n";
    return text;
}

} // namespace vemiral
