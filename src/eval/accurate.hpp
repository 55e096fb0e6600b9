#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

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

// A part of a block's rows as AccurateRows and FormulaRows hand them out:
// the grid indices of the first and last points of a box that holds it, its
// number of points, and where its source finds it.
struct RowPart {
    std::vector<uint64_t> low, high;
    uint64_t points = 0;
    uint64_t tile = 0, rowFirst = 0, rowLast = 0, columnFirst = 0, columnLast = 0;
};

// The values evaluateAccurate writes for a block, handed out part by part
// instead (block.out is not used): the parts are cut by the block and its
// tiles alone, never by the number of threads, and a part's rows come in C
// order. The parts are handed out in order a batch at a time, so memory
// stays that of a batch's tiles and a few rows of a tile per running part,
// whatever the block's size.
class AccurateRows {
public:
    AccurateRows(const ASTnode &tree, const Block &block);
    ~AccurateRows();
    AccurateRows(const AccurateRows &) = delete;
    AccurateRows &operator=(const AccurateRows &) = delete;

    // Appends the next parts in order to `parts`, until it holds `most`;
    // false when there were none left. The parts of the batch before are
    // done with: their tiles are let go.
    bool next(size_t most, std::vector<RowPart> &parts);
    // A part of the last batch; safe to call for different parts on several
    // threads at once.
    void run(const RowPart &part, RowSink &sink, const Poll &poll);
    // Keeps the tiles on the tree for the next call, as evaluateAccurate does.
    void finish();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The tile edge of the accurate method when the caller names none.
uint64_t accurateTile(size_t dimensions);

} // namespace vemiral
