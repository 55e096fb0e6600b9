#pragma once

#include <algorithm>
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
    double *out = nullptr;
    // The default method may write float32 instead (each value rounded once
    // from the double it computes); then out is null.
    float *out32 = nullptr;
};

// The tiles a block touches, as both methods walk them: tile `linear` (in C
// order over the block's tiles) and the part of it inside the block.
class TileLayout {
protected:
    explicit TileLayout(const Block &block) : tileBlock_(block) {
        const size_t n = block.shape.size();
        firstTile.resize(n);
        tileCount.resize(n);
        strides.assign(n, 1);
        for (size_t d = 0; d < n; ++d) {
            const uint64_t t = block.tile[d], o = block.origin[d], s = block.shape[d];
            firstTile[d] = o / t;
            tileCount[d] = (o + s - 1) / t - firstTile[d] + 1;
        }
        for (size_t d = n - 1; d-- > 0;)
            strides[d] = strides[d + 1] * block.shape[d + 1];
    }

    std::vector<uint64_t> firstTile, tileCount;
    std::vector<uint64_t> strides; // of the block's output, in points

    uint64_t tiles() const {
        uint64_t count = 1;
        for (uint64_t c : tileCount)
            count *= c;
        return count;
    }

    // The grid index of tile `linear`'s first point.
    std::vector<uint64_t> corner(uint64_t linear) const {
        std::vector<uint64_t> c(firstTile.size());
        for (size_t d = c.size(); d-- > 0;) {
            c[d] = (firstTile[d] + linear % tileCount[d]) * tileBlock_.tile[d];
            linear /= tileCount[d];
        }
        return c;
    }

    // The part of the tile at corner `c` inside the block, in tile coordinates.
    uint64_t low(const std::vector<uint64_t> &c, size_t d) const {
        return std::max(tileBlock_.origin[d], c[d]) - c[d];
    }
    uint64_t high(const std::vector<uint64_t> &c, size_t d) const {
        return std::min(tileBlock_.origin[d] + tileBlock_.shape[d], c[d] + tileBlock_.tile[d]) - c[d];
    }

private:
    const Block &tileBlock_;
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
