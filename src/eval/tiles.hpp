#pragma once

#include <cstdint>
#include <vector>

#include "eval/kernels.hpp"

namespace vemiral {

class ASTnode;

// How evaluate computes a tile: by the accurate method (accurate.hpp), or by
// the chains' own recurrences in double precision (evaluateTiled).
enum class Method { Accurate, Recurrence };

// A block of the infinite grid: the points origin + index for every index
// below shape, written in C order to out.
struct Block {
    Method method = Method::Accurate;
    std::vector<uint64_t> shape;
    std::vector<uint64_t> origin;
    std::vector<uint64_t> tile; // tile edge along every dimension
    double *out;
};

// Evaluates a block by tiles. The grid is cut into tiles of `tile` points
// along every dimension from index 0; at a tile's first point the tree is
// lowered afresh as if every loop variable started there, and inside the tile
// the chain steps as a whole grid of the tile's extents would. A point's value
// depends on the tree, the tile and the point alone, never on the block.
// Checks nothing about its arguments (the caller did). Runs on up to
// `threads` threads; `wait` as for runTasks.
void evaluateTiled(const ASTnode &tree, const Block &block, unsigned threads, const Poll &wait);

} // namespace vemiral
