#pragma once

#include <cstddef>
#include <cstdint>

#include "eval/tiles.hpp"

namespace vemiral {

// Evaluates a block by the accurate method: tiles as for evaluateTiled, but
// inside a tile the recurrences run in double-double from double-double
// seeds, so that every point is the tree's value at the exact grid point to
// within a few units in the last place, however long the tile. Checks
// nothing about its arguments (the caller did). A point's value depends on
// the tree, the tile and the point alone. See accurate.cpp for the layout.
void evaluateAccurate(const ASTnode &tree, const Block &block, unsigned threads, const Poll &wait);

// The tile edge of the accurate method when the caller names none.
uint64_t accurateTile(size_t dimensions);

} // namespace vemiral
