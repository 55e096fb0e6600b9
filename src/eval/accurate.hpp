#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "eval/tiles.hpp"

namespace vemiral {

// Evaluates a block by the accurate method: tiles as for evaluateTiled, but
// inside a tile the recurrences run in double-double from double-double
// seeds, so that every point is the tree's value at the exact grid point to
// within a few units in the last place, however long the tile. Checks
// nothing about its arguments (the caller did). A point's value depends on
// the tree, the tile and the point alone. See accurate.cpp for the layout.
void evaluateAccurate(const ASTnode &tree, const Block &block, unsigned threads, const Poll &wait);

// Takes a grid's values a row at a time, as they are computed: `first` is
// the row's first point (grid indices, one per dimension), `values` its
// `count` points along the last dimension. Called on the thread of the part
// being run, never from two threads for one part.
class RowSink {
public:
    virtual ~RowSink() = default;
    virtual void row(const uint64_t *first, const double *values, uint64_t count) = 0;
};

// The values evaluateAccurate writes for a block, handed out part by part
// instead (block.out is not used): the parts are cut by the block and its
// tiles alone, never by the number of threads, and a part's rows come in C
// order. Memory stays that of a few rows of a tile per running part.
class AccurateRows {
public:
    AccurateRows(const ASTnode &tree, const Block &block);
    ~AccurateRows();
    AccurateRows(const AccurateRows &) = delete;
    AccurateRows &operator=(const AccurateRows &) = delete;

    uint64_t parts() const;
    // The grid indices of part i's first point and of its last (inclusive
    // ends of every dimension's range).
    void bounds(uint64_t part, std::vector<uint64_t> &low, std::vector<uint64_t> &high) const;
    // Safe to call for different parts on several threads at once.
    void run(uint64_t part, RowSink &sink, const Poll &poll);
    // Keeps the tiles on the tree for the next call, as evaluateAccurate does.
    void finish();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The tile edge of the accurate method when the caller names none.
uint64_t accurateTile(size_t dimensions);

} // namespace vemiral
