#pragma once

#include "cr/CRobj.hpp"

namespace vemiral {

// The pure-sum chain {φ0, +, φ1, ..., +, φn-1} over dimension `index`: one
// step adds every register's successor into it.
class CRsum final : public CRobj {
public:
    CRsum(int64_t index, uint64_t length);
    // The chain of a loop variable; startTail extends the start (CRnum::lo).
    CRsum(int64_t index, double start, double step, double startTail = 0.0);

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
    ChainKind chainKind() const override { return ChainKind::Sum; }
    void print() const override;
    void shift(int64_t dim) override;
    std::string genCode(uint64_t parentId, int64_t dim, int64_t position,
                        std::string indent) const override;

private:
    CRptr mulSameDimension(const CRsum &other) const;
    CRptr trig(int32_t kind) const;
};

} // namespace vemiral
