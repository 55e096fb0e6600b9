#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "eval/kernels.hpp"

namespace vemiral {

class Program;

uint64_t physicalMemoryBytes();
// What this process may allocate at most: the machine's memory, or less
// where a limit on the address space or the data segment says so.
uint64_t usableMemoryBytes();
// A count of bytes for a message ("3.5 GiB").
std::string bytesText(double bytes);
// Tile edges for a message ("(2048, 2048)").
std::string tileText(const std::vector<uint64_t> &tile);

// The number of points of a grid, refusing (with the method's name) an
// extent of 0, a count beyond 64 bits and, when the points are to be
// allocated, more than the machine's memory holds.
uint64_t storablePoints(const std::vector<uint64_t> &extents, const char *method, bool allocating);

// Fills out (the program's whole grid, C order) on up to `threads` threads;
// `wait` as for runTasks.
void evaluateGrid(const Program &program, double *out, unsigned threads, const Poll &wait);

} // namespace vemiral
