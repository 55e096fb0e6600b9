#pragma once

#include <cstdint>
#include <vector>

#include "cr/CRobj.hpp"

namespace vemiral {

// The grid a lowering on this thread builds chains for: the number of steps
// along every dimension (a dimension beyond the list never steps). While one
// is alive, lowering checks that every chain it builds stays representable
// over that grid (representable below) and falls back to an expression node,
// which evaluates the operation directly at every point, where it does not.
class LoweringGrid {
public:
    explicit LoweringGrid(const std::vector<uint64_t> &extents);
    ~LoweringGrid();
    LoweringGrid(const LoweringGrid &) = delete;
    LoweringGrid &operator=(const LoweringGrid &) = delete;

private:
    const std::vector<uint64_t> *previous_;
};

// Whether a chain can be stepped over the current lowering grid without its
// registers leaving the normal range of doubles: every constant finite, no
// factor of a product 0 or below the normal range, and no product (or
// scaled rotation) whose logarithm's bound over the grid exceeds 650 in
// magnitude, nor a sum whose bound exceeds 1e300. A product that starts from
// an underflowed value would stay 0 forever, one that passes through one
// would lose its digits: such chains are the operation's direct evaluation's
// business. Expression nodes are always representable (their operands were
// checked when built). Without a lowering grid every chain is.
bool representable(const CRobj &chain);

// Whether the sum (code EXPR_ADD) or product (EXPR_MUL, one operand a
// number) of two representable chains is known to be representable too,
// from their bounds alone: then lowering need not keep copies of the
// operands to fall back on, which in a long run of sums would cost time in
// proportion to the square of its length. False means "not known".
bool combinationInRange(int32_t code, const CRobj &a, const CRobj &b);

// Whether a LoweringGrid is in force on this thread.
bool checkingRange();

} // namespace vemiral
