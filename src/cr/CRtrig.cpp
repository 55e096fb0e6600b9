#include "cr/CRtrig.hpp"

#include <algorithm>
#include <iostream>

#include "codegen/codegen.hpp"
#include "cr/CRexpr.hpp"
#include "cr/CRnum.hpp"
#include "cr/CRprod.hpp"

namespace vemiral {

CRtrig::CRtrig(int64_t index_, int32_t kind_, uint64_t length_) : CRobj(index_, length_), kind(kind_) {}

uint64_t CRtrig::valuePosition() const { return kind == EXPR_COS ? levels() : 0; }

double CRtrig::value() const { return initialized ? fastvalues[valuePosition()] : 0.0; }

void CRtrig::shift(int64_t dim) {
    if (dim == index) {
        // Rotate level j by level j+1, still unrotated since j ascends.
        const uint64_t n = levels();
        double *f = fastvalues.data();
        for (uint64_t j = 0; j + 1 < n; ++j)
            rotateLevel(f[j], f[n + j], f[j + 1], f[n + j + 1]);
    } else if (dim < index) {
        refreshOperands(dim);
    }
}

CRptr CRtrig::mul(const CRobj &other) const {
    if (other.index != index) {
        // Scaling S_0 and C_0 by a factor constant along this dimension scales
        // the value, and the rotation preserves it.
        auto result = copy();
        const uint64_t n = levels();
        result->operands[0] = orderedProduct(*operands[0], other);
        result->operands[n] = orderedProduct(*operands[n], other);
        return result;
    }
    if (dynamic_cast<const CRprod *>(&other) != nullptr)
        return mulSameDimension(other);
    return std::make_unique<CRexpr>(EXPR_MUL, *this, other);
}

// g * sin(f) with g = {ψ0, *, ψ1, ...}: scaling level i by ψi keeps the
// rotation exact, since rotating (g_i sin θ_i, g_i cos θ_i) by
// (g_{i+1} sin θ_{i+1}, g_{i+1} cos θ_{i+1}) gives the pair of the angle sum
// scaled by g_i g_{i+1}, which is the product chain's own step. The shorter
// side is padded: the product with 1.0, the levels with angle zero (0, 1).
CRptr CRtrig::mulSameDimension(const CRobj &product) const {
    const uint64_t n = levels(), m = product.length;
    const uint64_t levelsOut = std::max(n, m);
    if (2 * levelsOut > operandLimit(*this, product))
        return std::make_unique<CRexpr>(EXPR_MUL, *this, product);
    auto result = std::make_unique<CRtrig>(index, kind, 2 * levelsOut);
    const CRnum zero(0.0), one(1.0);
    for (uint64_t i = 0; i < levelsOut; ++i) {
        const CRobj &s = i < n ? *operands[i] : static_cast<const CRobj &>(zero);
        const CRobj &c = i < n ? *operands[n + i] : static_cast<const CRobj &>(one);
        const CRobj &g = i < m ? *product.operands[i] : static_cast<const CRobj &>(one);
        result->operands[i] = orderedProduct(s, g);
        result->operands[levelsOut + i] = orderedProduct(c, g);
    }
    return result;
}

CRptr CRtrig::add(const CRobj &other) const { return std::make_unique<CRexpr>(EXPR_ADD, *this, other); }
CRptr CRtrig::pow(const CRobj &exponent) const {
    return std::make_unique<CRexpr>(EXPR_POW, *this, exponent);
}
CRptr CRtrig::exp() const { return std::make_unique<CRexpr>(EXPR_EXP, *this); }
CRptr CRtrig::ln() const { return std::make_unique<CRexpr>(EXPR_LN, *this); }
CRptr CRtrig::sin() const { return std::make_unique<CRexpr>(EXPR_SIN, *this); }
CRptr CRtrig::cos() const { return std::make_unique<CRexpr>(EXPR_COS, *this); }

// The same chains as above from operands the caller gives up (CRobj::addOwned).
CRptr CRtrig::mulOwned(CRptr self, CRptr other) {
    if (other->index != index) {
        const uint64_t n = levels();
        operands[0] = orderedProductOf(std::move(operands[0]), other->copy());
        operands[n] = orderedProductOf(std::move(operands[n]), std::move(other));
        return self;
    }
    if (dynamic_cast<const CRprod *>(other.get()) != nullptr)
        return mulSameDimension(*other);
    return std::make_unique<CRexpr>(EXPR_MUL, std::move(self), std::move(other));
}

CRptr CRtrig::addOwned(CRptr self, CRptr other) {
    return std::make_unique<CRexpr>(EXPR_ADD, std::move(self), std::move(other));
}
CRptr CRtrig::powOwned(CRptr self, CRptr exponent) {
    return std::make_unique<CRexpr>(EXPR_POW, std::move(self), std::move(exponent));
}
CRptr CRtrig::unaryOwned(int32_t code, CRptr self) { return std::make_unique<CRexpr>(code, std::move(self)); }

void CRtrig::simplify() {}

CRptr CRtrig::copy() const {
    auto result = std::make_unique<CRtrig>(index, kind, length);
    copyInto(*result);
    return result;
}

void CRtrig::print() const { std::cout << "CRtrig[" << value() << "]()"; }

} // namespace vemiral

namespace vemiral {

// Along the own dimension the rotation of shift, product by product in the
// same order; otherwise the operands' code. The write-back reads element n
// for the cosine kind.
std::string CRtrig::genCode(uint64_t parentId, int64_t dim, int64_t position, std::string indent) const {
    std::string text;
    if (dim == index) {
        const std::string v = arrayName(), n = std::to_string(levels());
        const std::string body = indent + "    ";
        text = indent + "for j in range(" + std::to_string(levels() > 0 ? levels() - 1 : 0) + "):\n" +
               body + "r1 = " + v + "[j] * " + v + "[j+" + n + "+1]\n" +
               body + "r2 = " + v + "[j+" + n + "] * " + v + "[j+1]\n" +
               body + "z  = r1 + r2\n" +
               body + "r3 = " + v + "[j+" + n + "] * " + v + "[j+" + n + "+1]\n" +
               body + "r4 = " + v + "[j] * " + v + "[j+1]\n" +
               body + v + "[j+" + n + "] = r3 - r4\n" +
               body + v + "[j] = z\n";
    } else {
        text = operandsCode(*this, dim, indent);
    }
    if (position != -1 && !text.empty())
        text += writeBack(*this, parentId, position, indent);
    return text;
}

} // namespace vemiral
