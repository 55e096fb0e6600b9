#pragma once

#include "cr/CRobj.hpp"

namespace vemiral {

// The fallback of the algebra: an operation the chains do not close, applied
// at every point to the current values of one or two operand chains.
class CRexpr final : public CRobj {
public:
    int32_t op;

    CRexpr(int32_t op, const CRobj &a, const CRobj &b);
    CRexpr(int32_t op, const CRobj &a);
    // The same nodes, taking the operands over instead of copying them.
    CRexpr(int32_t op, CRptr a, CRptr b);
    CRexpr(int32_t op, CRptr a);
    CRexpr(int32_t op, CRptr a, CRptr b, CRptr c);

    CRptr add(const CRobj &other) const override;
    CRptr mul(const CRobj &other) const override;
    CRptr pow(const CRobj &exponent) const override;
    CRptr exp() const override;
    CRptr ln() const override;
    CRptr sin() const override;
    CRptr cos() const override;
    CRptr addOwned(CRptr self, CRptr other) override;
    CRptr mulOwned(CRptr self, CRptr other) override;
    CRptr powOwned(CRptr self, CRptr exponent) override;
    CRptr unaryOwned(int32_t code, CRptr self) override;
    CRptr copy() const override;
    ChainKind chainKind() const override { return ChainKind::Expression; }
    double value() const override;
    void print() const override;
    void shift(int64_t dim) override;
    std::string genCode(uint64_t parentId, int64_t dim, int64_t position,
                        std::string indent) const override;
    std::string valueCode() const override;

    // The node's operation on operand values x (and y, z for the codes with
    // more operands), with NumPy's meaning for the functions.
    static double apply(int32_t op, double x, double y, double z = 0.0);

    // apply's function of one operand for the library functions (erf,
    // lgamma, the Bessel functions, ...), for loops that call it directly
    // rather than through apply's dispatch a point; null for other codes.
    using Unary = double (*)(double);
    static Unary unary(int32_t op);

private:
    CRexpr(int32_t op, int64_t index, uint64_t length); // for copy
};

} // namespace vemiral
