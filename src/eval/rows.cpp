// Rows of a grid: the outer odometer that seeds each row, and the groups in
// which the rows run.
#include "eval/rows.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace vemiral {

namespace {

using Clock = std::chrono::steady_clock;

// Runs copy, adding the time it took to *copyingMs when the caller asked
// for it (creval's report); otherwise no clock is read.
template <class Copy>
void timedCopy(double *copyingMs, Copy &&copy) {
    if (!copyingMs) {
        copy();
        return;
    }
    const auto t0 = Clock::now();
    copy();
    *copyingMs += static_cast<double>(
                      std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count()) /
                  1e6;
}

// The outer odometer: one working register array per outer dimension, work
// j holding the state at the current row with the coordinates beyond j at 0.
struct Odometer {
    const Program &program;
    const Seed &seed;
    std::vector<uint64_t> counter;
    std::vector<double> work;
    size_t regs;

    // Positioned at `row`: every outer dimension's shift applied as often as
    // its coordinate says, outermost first, exactly as stepping from row 0.
    Odometer(const Program &p, const Seed &s, uint64_t row, double *copyingMs)
        : program(p), seed(s), counter(p.outer.size(), 0), work(p.outer.size() * s.registers.size()),
          regs(s.registers.size()) {
        const size_t outer = counter.size();
        for (uint64_t rest = row, j = outer; j-- > 0;) {
            counter[j] = rest % program.extents[j];
            rest /= program.extents[j];
        }
        for (size_t j = 0; j < outer; ++j) {
            const double *from = j == 0 ? seed.registers.data() : work.data() + (j - 1) * regs;
            timedCopy(j > 0 ? copyingMs : nullptr,
                      [&] { std::memcpy(work.data() + j * regs, from, regs * sizeof(double)); });
            for (uint64_t c = 0; c < counter[j]; ++c)
                execute<1>(program.outer[j], work.data() + j * regs, seed.tables, 0);
        }
    }

    // The registers at the start of the current row.
    const double *rowStart() const {
        return counter.empty() ? seed.registers.data() : work.data() + (counter.size() - 1) * regs;
    }

    void advance(double *copyingMs) {
        size_t j = counter.size() - 1;
        for (;;) {
            if (++counter[j] < program.extents[j]) {
                execute<1>(program.outer[j], work.data() + j * regs, seed.tables, 0);
                break;
            }
            counter[j] = 0;
            if (j == 0)
                return; // past the last row; only reached by a caller's mistake
            --j;
        }
        for (size_t m = j + 1; m < counter.size(); ++m)
            timedCopy(copyingMs, [&] {
                std::memcpy(work.data() + m * regs, work.data() + (m - 1) * regs, regs * sizeof(double));
            });
    }
};

} // namespace

int groupSize(const Program &program, uint64_t row, uint64_t last) {
    const uint64_t remaining = std::min(last, program.rows) - row;
    int k = program.maxLanes;
    while (k > 1 && static_cast<uint64_t>(k) > remaining)
        k /= 2;
    return k;
}

void evaluateRows(const Program &program, const Seed &seed, uint64_t first, uint64_t last,
                  const RowsOut &out, const Poll &poll, double *copyingMs) {
    if (first >= last || out.begin >= out.end)
        return;
    if (program.rootTabulated) {
        const std::vector<double> &row = seed.tables[0];
        for (uint64_t r = first; r < last; ++r) {
            std::memcpy(out.out + (r - first) * out.stride, row.data() + out.begin,
                        (out.end - out.begin) * sizeof(double));
            poll();
        }
        return;
    }

    Odometer odometer(program, seed, first, copyingMs);
    if (program.tableRow.applies) {
        for (uint64_t row = first; row < last; ++row) {
            RowsOut one = out;
            one.out = out.out + (row - first) * out.stride;
            runTableRow(program, seed, odometer.rowStart(), one);
            if (row + 1 < last)
                odometer.advance(copyingMs);
            poll();
        }
        return;
    }
    const size_t regs = seed.registers.size();
    const bool outer = !program.outer.empty();
    std::vector<double> lanes(regs * static_cast<size_t>(program.maxLanes));
    for (uint64_t row = first; row < last;) {
        const int k = groupSize(program, row, last);
        for (int l = 0; l < k; ++l) {
            // With one dimension this is the chain's only copy, never a re-seed.
            timedCopy(outer ? copyingMs : nullptr, [&] {
                const double *start = odometer.rowStart();
                for (size_t r = 0; r < regs; ++r)
                    lanes[r * static_cast<size_t>(k) + static_cast<size_t>(l)] = start[r];
            });
            if (row + static_cast<uint64_t>(l) + 1 < last)
                odometer.advance(copyingMs);
        }
        // The group's rows are consecutive in out.
        RowsOut group = out;
        group.out = out.out + (row - first) * out.stride;
        runGroup(program, seed, k, lanes.data(), group, poll);
        row += static_cast<uint64_t>(k);
        poll();
    }
}

} // namespace vemiral
