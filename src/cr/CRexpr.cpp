#include "cr/CRexpr.hpp"

#include <cmath>
#include <iostream>

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

double CRexpr::apply(int32_t op, double x, double y) {
    switch (op) {
    case EXPR_ADD: return x + y;
    case EXPR_MUL: return x * y;
    case EXPR_POW: return std::pow(x, y);
    case EXPR_EXP: return std::exp(x);
    case EXPR_LN: return std::log(x);
    case EXPR_SIN: return std::sin(x);
    case EXPR_COS: return std::cos(x);
    default: return 0.0;
    }
}

// Once initialised, register i always holds operand i's current value: an
// operand changes only when this node shifts it, and the node re-reads it
// right then. Reading the registers gives the same number as asking the
// operands, without walking the whole subtree at every call.
double CRexpr::value() const {
    if (op < EXPR_ADD || op > EXPR_COS)
        return 0.0;
    if (initialized)
        return apply(op, fastvalues[0], length > 1 ? fastvalues[1] : 0.0);
    const double x = operands[0]->value();
    const double y = length > 1 ? operands[1]->value() : 0.0;
    return apply(op, x, y);
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
    const std::string x = arrayName() + "[0]", y = arrayName() + "[1]";
    switch (op) {
    case EXPR_ADD: return x + " + " + y;
    case EXPR_MUL: return x + " * " + y;
    case EXPR_POW: return "_pow(" + x + ", " + y + ")";
    case EXPR_EXP: return "_exp(" + x + ")";
    case EXPR_LN: return "_log(" + x + ")";
    case EXPR_SIN: return "_sin(" + x + ")";
    case EXPR_COS: return "_cos(" + x + ")";
    default: return "0.0";
    }
}

} // namespace vemiral
