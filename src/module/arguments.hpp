#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <vector>

#include "eval/direct.hpp"
#include "eval/tiles.hpp"

namespace vemiral {

// An int, or any object with __index__ (NumPy integers); floats are refused
// even when integral, as Python's own indexing does, and bools (TypeError).
pybind11::int_ asIndex(pybind11::handle value, const std::string &what);

// A non-negative integer below 2**64, negative ones refused with ValueError
// (or TypeError, where the caller's signature promises it).
uint64_t nonNegative(pybind11::handle value, const std::string &what, bool valueError);

// crinit's extents, with a message naming the first offending element.
std::vector<uint64_t> asExtents(const pybind11::object &params, const char *method);

// The tile edge along every dimension of a grid of `dimensions` when the
// caller names none.
uint64_t defaultTile(size_t dimensions, Method method);

// evaluate's method by name ("accurate" or "recurrence").
Method methodOf(const pybind11::object &method);

// Threads: an int >= 1, or None for the module setting where
// `noneIsSetting` (one call's threads; set_num_threads refuses it).
unsigned threadsOf(const pybind11::object &threads, bool noneIsSetting);

// A new float64 array of `shape`, or the caller's `out` once it is checked
// to be a writable, C-contiguous float64 array of that shape.
// `singles`: a float32 `out` is taken too.
pybind11::array resultArray(const pybind11::object &out, const std::vector<uint64_t> &shape, bool singles = false);

// Where a formula of several computed together writes: a writable float64
// or float32 array of `shape` whose elements follow in C order evenly
// spaced (a complex array's .real or .imag too).
Output stridedOutput(const pybind11::handle &out, const std::vector<uint64_t> &shape);

// The block a call of evaluate asks for (its `out` not yet set), every
// argument checked before anything is computed or written.
Block blockOf(const pybind11::object &shape, const pybind11::object &origin, const pybind11::object &tile,
              const pybind11::object &out, Method method);

// Refuses (ValueError) a tree with a variable of a dimension the block does
// not have: its value there would be a guess.
void checkVariables(const ASTnode &tree, const Block &block);
// The same, for a block whose points are not stored (a reduction's).
Block blockOf(const pybind11::object &shape, const pybind11::object &origin, const pybind11::object &tile,
              Method method);

// Refuses (MemoryError) a call whose allocation failed inside the engine,
// naming what it was asked for: the message of the allocation itself would
// tell a user nothing.
[[noreturn]] void outOfMemory(const std::string &call, const Block &block);

} // namespace vemiral
