#pragma once

#include <vector>

#include "eval/plan.hpp"

namespace vemiral {

// Bounds every value of an operation lies within, whatever the grid: the
// constants', the bounded functions' (sine, cosine, tanh, ...) and a closed
// range's coordinates, carried through the arithmetic. Wide (an infinite
// end) where nothing is known. NaN is outside every bound: the rules that
// read them concern the numbers a formula takes.
struct ValueRange {
    double low = -INFINITY, high = INFINITY;

    // The largest magnitude a value may have.
    double magnitude() const;
    // The smallest magnitude: 0 when the range holds 0.
    double least() const;
};

// The range of each operation of a plan (children before parents).
std::vector<ValueRange> valueRanges(const std::vector<FormulaPlan::Operation> &operations);

} // namespace vemiral
