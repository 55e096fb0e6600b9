#pragma once

#include "cr/CRobj.hpp"

namespace vemiral {

// The sine or cosine of a pure-sum chain over dimension `index`: level i keeps
// the pair (S_i, C_i) of operand i, and one step rotates every pair by the
// angle of the next level. Sines sit at 0..n-1, cosines at n..2n-1.
class CRtrig final : public CRobj {
public:
    int32_t kind; // EXPR_SIN or EXPR_COS

    CRtrig(int64_t index, int32_t kind, uint64_t length);

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
    void simplify() override;
    CRptr copy() const override;
    ChainKind chainKind() const override { return ChainKind::Rotation; }
    double value() const override;
    void print() const override;
    void shift(int64_t dim) override;
    std::string genCode(uint64_t parentId, int64_t dim, int64_t position,
                        std::string indent) const override;
    uint64_t valuePosition() const override;

    uint64_t levels() const { return length / 2; }

private:
    CRptr mulSameDimension(const CRobj &product) const;
};

// One level of the rotation: the pair (sine, cosine) turned by the angle whose
// sine and cosine are s and c. Every product is rounded on its own before it
// is added, in the order the generated program uses, so the recurrence, the
// fast evaluator and the program agree bit for bit.
// (Also on vectors of doubles, lane by lane, with the same operations; s and
// c by reference, since a vector passed by value changes the calling
// convention where AVX is off, which Clang refuses under -Werror. Every read
// comes before the writes, so they may even alias.)
template <class T>
inline void rotateLevel(T &sine, T &cosine, const T &s, const T &c) {
    const T r1 = sine * c;
    const T r2 = cosine * s;
    const T z = r1 + r2;
    const T r3 = cosine * c;
    const T r4 = sine * s;
    cosine = r3 - r4;
    sine = z;
}

} // namespace vemiral
