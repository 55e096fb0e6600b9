#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "eval/tiles.hpp"

namespace vemiral {

class ASTnode;

// What a reduction computes over the dimensions it reduces.
enum class Reduction : int {
    Sum,       // NaN propagates
    NanSum,    // NaN counts as 0
    Min,       // NaN wins, at its first point
    Max,
    NanMin,    // NaN ignored; a cell of NaN alone stays empty
    NanMax,
    Histogram, // counts over the whole block
    Weighted,  // the sum of weight * value, the weight a product of one per reduced dimension
    Count,     // the points that are numbers (not NaN), as a sum
};

struct ReduceRequest {
    std::vector<Reduction> kinds;  // all computed in one pass over the points
    std::vector<char> reduced;     // per dimension: reduced (1) or kept (0)
    // Weighted: per dimension, one weight per point of the block along it
    // (empty for kept dimensions).
    std::vector<std::vector<double>> weights;
    // Histogram: the increasing bin edges (the caller's, not copied); with
    // `uniform`, edges from numpy.linspace, binned by NumPy's arithmetic for
    // equal bins.
    std::span<const double> edges;
    bool uniform = false;
};

// One kind's result over the kept cells (C order over the kept dimensions).
struct ReducedCells {
    // Sums and counts: the double-double hi + lo (lo 0 where hi is not finite).
    // Extrema: the value in hi, and in index the C-order index of its point
    // among the block's reduced dimensions (kNoPoint for an empty cell).
    std::vector<double> hi, lo;
    std::vector<uint64_t> index;
    std::vector<uint64_t> counts; // Histogram: one per bin
};

constexpr uint64_t kNoPoint = UINT64_MAX;

// Reduces the block's values, as evaluateAccurate computes them, without
// holding more of them than a part (a few rows of a tile) per thread, and in
// memory of the results and a batch of parts whatever the block's size.
// Every value is deterministic: the points are grouped by the block and its
// tiles, never by the threads, and the groups' sums are added in a fixed
// order. Checks nothing about its arguments (the caller did) but refuses
// (TooLarge) results, histograms or parts that would not fit in memory,
// before any work; `wait` as for runTasks, and after it, `progress` (when
// set) with the points done and the points in all.
using Progress = std::function<void(uint64_t, uint64_t)>;
std::vector<ReducedCells> reduceAccurate(const ASTnode &tree, const Block &block, const ReduceRequest &request,
                                         unsigned threads, const Poll &wait, const Progress &progress = {});

// Per row of `rows` (`cells` rows of n values), the sum of (x - mean)^2 over
// its values (NaN counted as no value with `skipNaN`) as a double-double:
// each deviation exact (TwoSum) and its square to first order, the terms
// (never negative) summed in compensated lanes. What the variances fold.
void squaresOfRows(const double *rows, uint64_t cells, uint64_t n, const double *mean, bool skipNaN, double *hi,
                   double *lo);

// Per row of `rows` (`cells` rows of n values), what the products fold: the
// counts of NaN, infinities, zeros and values with the sign bit, and the
// product of the other values' magnitudes as mantissa * 2^exponent, the
// mantissa a double-double (high in [0.5, 1)) within about 2^-100 of it.
struct RowProducts {
    std::vector<int64_t> nan, inf, zero, negative, exponent;
    std::vector<double> high, low;
};
RowProducts productsOfRows(const double *rows, uint64_t cells, uint64_t n);

} // namespace vemiral
