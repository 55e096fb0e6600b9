#pragma once

#include "cr/CRobj.hpp"

namespace vemiral {

// The pure-product chain {φ0, *, φ1, ..., *, φn-1} over dimension `index`: one
// step multiplies every register by its successor.
class CRprod final : public CRobj {
public:
    CRprod(int64_t index, uint64_t length);

    CRptr add(const CRobj &other) const override;
    CRptr mul(const CRobj &other) const override;
    CRptr pow(const CRobj &exponent) const override;
    CRptr exp() const override;
    CRptr ln() const override;
    CRptr sin() const override;
    CRptr cos() const override;
    CRptr addOwned(CRptr self, CRptr other) override;
    CRptr mulOwned(CRptr self, CRptr other) override;
    CRptr unaryOwned(int32_t code, CRptr self) override;
    void simplify() override;
    CRptr copy() const override;
    ChainKind chainKind() const override { return ChainKind::Product; }
    void print() const override;
    void shift(int64_t dim) override;
    std::string genCode(uint64_t parentId, int64_t dim, int64_t position,
                        std::string indent) const override;

private:
    CRptr powSameDimension(const CRobj &sum) const;
};

} // namespace vemiral
