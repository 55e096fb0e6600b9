#pragma once

#include "cr/CRobj.hpp"
#include "cr/extended.hpp"

namespace vemiral {

// A constant: no operands, index -1, the same value along every dimension.
class CRnum final : public CRobj {
public:
    double number;
    // number + lo is the constant to double-double precision, where lowering
    // keeps tails (ExtendedConstants); otherwise lo is 0. The algebra's own
    // arithmetic and everything it prints read `number` alone.
    double lo = 0.0;
    // The algebra rounded a value that is not zero to zero or below the
    // normal range here (a product starting from it would lose it for good).
    bool underflowed = false;

    explicit CRnum(double number, double lo = 0.0);

    Extended extended() const { return normalized(number, lo); }
    // This constant with `number` in place of its own (the algebra's
    // `0.0 + c` and `c * 1.0`), keeping its tail and its underflow mark.
    CRptr with(double number) const;

    CRptr add(const CRobj &other) const override;
    CRptr mul(const CRobj &other) const override;
    CRptr pow(const CRobj &exponent) const override;
    CRptr exp() const override;
    CRptr ln() const override;
    CRptr sin() const override;
    CRptr cos() const override;
    CRptr addOwned(CRptr self, CRptr other) override;
    CRptr mulOwned(CRptr self, CRptr other) override;
    void simplify() override;
    CRptr copy() const override;
    ChainKind chainKind() const override { return ChainKind::Number; }
    double valueof() override;
    double value() const override;
    bool isnumber() const override;
    void print() const override;
    void shift(int64_t dim) override;
    std::string genCode(uint64_t parentId, int64_t dim, int64_t position,
                        std::string indent) const override;
    std::string valueCode() const override;
};

// Negation of a subtrahend and reciprocal of a divisor go through this
// constant; it lives from library load to unload and is never modified.
extern const CRnum minusone;

} // namespace vemiral
