#include <chrono>
#include <iostream>
#include <stdexcept>
#include <unistd.h>

#include "ast/ASTnode.hpp"
#include "ast/evaluator.hpp"

namespace vemiral {

namespace {

using Clock = std::chrono::steady_clock;

double millisecondsBetween(Clock::time_point a, Clock::time_point b) {
    return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(b - a).count()) / 1e6;
}

uint64_t physicalMemoryBytes() {
    const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0)
        return UINT64_MAX;
    return static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize);
}

// Number of grid points, refusing grids that cannot be stored.
uint64_t gridSize(const std::vector<uint64_t> &extents) {
    uint64_t points = 1;
    for (uint64_t e : extents) {
        if (e == 0)
            throw std::invalid_argument("crinit: every extent must be at least 1");
    }
    for (uint64_t e : extents) {
        if (points > UINT64_MAX / e)
            throw std::overflow_error("crinit: the number of grid points overflows 64 bits");
        points *= e;
    }
    if (points > physicalMemoryBytes() / sizeof(double))
        throw TooLarge("crinit: a grid of " + std::to_string(points) +
                       " points needs more memory than this machine has");
    return points;
}

} // namespace

void ASTnode::crinit(const std::vector<uint64_t> &extents) {
    const uint64_t points = gridSize(extents);
    CRptr chain = lower();
    chain->valueof();
    std::vector<double> storage(points, 0.0);
    chain->print();
    std::cout.flush();
    // Nothing above changed the node; commit the new state in one piece.
    params = extents;
    cr = std::move(chain);
    results = std::move(storage);
}

void ASTnode::requireGrid(const char *method) const {
    if (!cr)
        throw std::runtime_error(std::string(method) + ": crinit must come first");
    if (params.empty())
        throw std::invalid_argument(std::string(method) +
                                    ": the grid has no dimensions (crinit was given no extents)");
}

// The report keeps its five lines: the loop time covers the whole grid, and
// "copying" is the time spent re-seeding working state for a new row (the
// row's registers from the outer dimensions' state, and those from each other).
const std::vector<double> &ASTnode::creval(const InterruptCheck &interrupted) {
    const Evaluator evaluator = this->evaluator("creval");
    double copying = 0.0;
    const auto loopStart = Clock::now();
    evaluator.evaluate(0, evaluator.rows(), results.data(), interrupted, &copying);
    const auto loopEnd = Clock::now();
    std::cout << "Total loop time: " << millisecondsBetween(loopStart, loopEnd) << " ms\n"
              << "  valueof():     " << 0 << " ms\n"
              << "  push_back:     " << 0 << " ms\n"
              << "  shifting:      " << 0 << " ms\n"
              << "  copying:       " << copying << " ms\n";
    std::cout.flush();
    return results;
}

Evaluator ASTnode::evaluator(const char *method) const {
    requireGrid(method);
    return Evaluator(*cr, params);
}

} // namespace vemiral
