#pragma once

#include <cstdint>

#include "eval/kernels.hpp"
#include "eval/program.hpp"

namespace vemiral {

// Evaluates rows [first, last) of the program's grid from `seed`: row r goes
// to out.out + (r - first) * out.stride, columns [out.begin, out.end) of it.
// The state at row `first` is reached as the odometer reaches it, so any
// range gives the same values as the whole grid. Rows run in groups of the
// program's maxLanes from `first`, then in halving groups at the end. `poll`
// runs after every group and within long rows; when copyingMs is given it
// accumulates the time spent re-seeding working state.
void evaluateRows(const Program &program, const Seed &seed, uint64_t first, uint64_t last,
                  const RowsOut &out, const Poll &poll, double *copyingMs = nullptr);

// The group size at `row` when rows run up to `last`: maxLanes, or the
// largest power of two that fits in what is left.
int groupSize(const Program &program, uint64_t row, uint64_t last);

} // namespace vemiral
