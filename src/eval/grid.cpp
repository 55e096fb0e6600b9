// The drivers of a node's own grid: crinit, creval and the arrays of the
// whole grid (crarray).
#include "eval/grid.hpp"

#include <algorithm>
#include <chrono>
#include <iostream>
#include <stdexcept>
#include <cstdio>
#include <iterator>
#include <sys/resource.h>
#include <unistd.h>

#include "ast/ASTnode.hpp"
#include "eval/pool.hpp"
#include "eval/program.hpp"
#include "eval/rows.hpp"

namespace vemiral {

namespace {

using Clock = std::chrono::steady_clock;

double millisecondsBetween(Clock::time_point a, Clock::time_point b) {
    return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(b - a).count()) / 1e6;
}

// Below this many points a grid runs on the calling thread alone.
constexpr uint64_t kParallelPoints = uint64_t{1} << 16;

} // namespace

uint64_t physicalMemoryBytes() {
    const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0)
        return UINT64_MAX;
    return static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize);
}

uint64_t usableMemoryBytes() {
    uint64_t bytes = physicalMemoryBytes();
    for (const int resource : {RLIMIT_AS, RLIMIT_DATA}) {
        struct rlimit limit {};
        if (getrlimit(resource, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
            bytes = std::min<uint64_t>(bytes, limit.rlim_cur);
    }
    return bytes;
}

std::string bytesText(double bytes) {
    static const char *const units[] = {"bytes", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB", "ZiB", "YiB"};
    size_t unit = 0;
    while (bytes >= 1024.0 && unit + 1 < std::size(units)) {
        bytes /= 1024.0;
        ++unit;
    }
    char text[64];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

std::string tileText(const std::vector<uint64_t> &tile) {
    std::string text = "(";
    for (size_t d = 0; d < tile.size(); ++d)
        text += (d ? ", " : "") + std::to_string(tile[d]);
    return text + (tile.size() == 1 ? ",)" : ")");
}

uint64_t storablePoints(const std::vector<uint64_t> &extents, const char *method, bool allocating) {
    uint64_t points = 1;
    for (uint64_t e : extents) {
        if (e == 0)
            throw std::invalid_argument(std::string(method) + ": every extent must be at least 1");
    }
    for (uint64_t e : extents) {
        if (points > UINT64_MAX / e)
            throw std::overflow_error(std::string(method) + ": the number of grid points overflows 64 bits");
        points *= e;
    }
    if (allocating && points > physicalMemoryBytes() / sizeof(double))
        throw TooLarge(std::string(method) + ": a grid of " + std::to_string(points) +
                       " points needs more memory than this machine has");
    return points;
}

// The result storage is sized when creval needs it: a grid that is only
// ever read through arrays never pays for it.
void ASTnode::crinit(const std::vector<uint64_t> &extents) {
    storablePoints(extents, "crinit", true);
    ASTnode::LoweringPlan plan;
    plan.extents = extents;
    CRptr chain = lowerWith(plan);
    chain->valueof();
    std::shared_ptr<const Program> flat;
    if (!extents.empty())
        flat = std::make_shared<const Program>(*chain, extents);
    chain->print();
    std::cout.flush();
    // Nothing above changed the node; commit the new state in one piece.
    params = extents;
    cr = std::move(chain);
    program = std::move(flat);
    results.clear();
    results.shrink_to_fit();
}

std::shared_ptr<const Program> ASTnode::gridProgram(const char *method) const {
    if (!cr)
        throw std::runtime_error(std::string(method) + ": crinit must come first");
    if (params.empty())
        throw std::invalid_argument(std::string(method) +
                                    ": the grid has no dimensions (crinit was given no extents)");
    return program;
}

// The report keeps its five lines: the loop time covers the whole grid, and
// "copying" is the time spent re-seeding working state for a new row (the
// row's registers from the outer dimensions' state, and those from each other).
const std::vector<double> &ASTnode::creval(const InterruptCheck &interrupted) {
    const std::shared_ptr<const Program> flat = gridProgram("creval");
    results.assign(storablePoints(params, "creval", true), 0.0);
    double copying = 0.0;
    const auto loopStart = Clock::now();
    const RowsOut out{results.data(), flat->rowLength, 0, flat->rowLength};
    evaluateRows(*flat, flat->seed, 0, flat->rows, out, interrupted, &copying);
    const auto loopEnd = Clock::now();
    std::cout << "Total loop time: " << millisecondsBetween(loopStart, loopEnd) << " ms\n"
              << "  valueof():     " << 0 << " ms\n"
              << "  push_back:     " << 0 << " ms\n"
              << "  shifting:      " << 0 << " ms\n"
              << "  copying:       " << copying << " ms\n";
    std::cout.flush();
    return results;
}

void evaluateGrid(const Program &program, double *out, unsigned threads, const Poll &wait) {
    const uint64_t rows = program.rows, points = rows * program.rowLength;
    if (points < kParallelPoints)
        threads = 1;
    // Ranges of whole groups (multiples of every group size), a few per
    // thread so that a slower thread does not hold the others up.
    const auto lanes = static_cast<uint64_t>(program.maxLanes);
    const uint64_t groups = (rows + lanes - 1) / lanes;
    const uint64_t tasks = std::min<uint64_t>(groups, threads == 1 ? 1 : 4 * uint64_t{threads});
    auto boundary = [&](uint64_t t) { return t == tasks ? rows : groups * t / tasks * lanes; };
    runTasks(tasks, threads,
             [&](uint64_t t, const Poll &poll) {
                 const uint64_t first = boundary(t), last = boundary(t + 1);
                 const RowsOut o{out + first * program.rowLength, program.rowLength, 0, program.rowLength};
                 evaluateRows(program, program.seed, first, last, o, poll);
             },
             wait);
}

} // namespace vemiral
