// Python arguments read and checked before any native work starts, so that a
// refusal names what was wrong and nothing is half done.
#include "module/arguments.hpp"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <stdexcept>
#include <unordered_set>

#include "ast/ASTnode.hpp"
#include "cr/CRobj.hpp"
#include "eval/accurate.hpp"
#include "eval/grid.hpp"
#include "eval/pool.hpp"

namespace py = pybind11;

namespace vemiral {

namespace {

std::string typeName(py::handle value) { return py::str(py::type::handle_of(value).attr("__name__")); }

} // namespace

// An int, or any object with __index__ (NumPy integers); floats are refused
// even when integral, as Python's own indexing does, and so are bools, which
// are no count of anything.
py::int_ asIndex(py::handle value, const std::string &what) {
    if (PyFloat_Check(value.ptr()) || PyBool_Check(value.ptr()) || !PyIndex_Check(value.ptr()))
        throw py::type_error(what + " must be an int, not " + typeName(value));
    PyObject *index = PyNumber_Index(value.ptr());
    if (!index) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError))
            throw py::error_already_set();
        PyErr_Clear(); // an array of more than one element, for one
        throw py::type_error(what + " must be an int, not " + typeName(value));
    }
    return py::reinterpret_steal<py::int_>(index);
}

namespace {

// Text and bytes are sequences to Python, but never of counts.
bool textLike(py::handle value) {
    return PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()) || PyByteArray_Check(value.ptr()) ||
           PyMemoryView_Check(value.ptr());
}

// Whether `value` is taken as a sequence of integers: a list, a tuple, a
// one-dimensional NumPy array, ... (a zero-dimensional array has no length).
bool intSequence(py::handle value) {
    if (textLike(value) || !PySequence_Check(value.ptr()))
        return false;
    if (PyObject_Length(value.ptr()) < 0) {
        PyErr_Clear();
        return false;
    }
    return true;
}

} // namespace

// crinit's extents: a sequence of integers, each from 0 to 2**64 - 1; the
// first offending element says why (TypeError, as the sequence caster
// that read them before said).
std::vector<uint64_t> asExtents(const py::object &params, const char *method) {
    const std::string prefix = std::string(method) + ": ";
    if (!intSequence(params))
        throw py::type_error(prefix + "the extents must be a sequence of ints, not " + typeName(params));
    const py::sequence items = py::reinterpret_borrow<py::sequence>(params);
    std::vector<uint64_t> extents;
    for (size_t i = 0; i < items.size(); ++i) {
        const std::string what = prefix + "extents[" + std::to_string(i) + "]";
        const py::int_ extent = asIndex(items[i], what);
        if (extent < py::int_(0))
            throw py::type_error(what + " is " + std::string(py::str(extent)) +
                                 ", negative; every extent must be at least 1");
        if (extent > py::int_(UINT64_MAX))
            throw py::type_error(what + " is " + std::string(py::str(extent)) + ", beyond 64 bits");
        extents.push_back(extent.cast<uint64_t>());
    }
    return extents;
}

// The tile edge along every dimension unless the caller says otherwise. For
// the recurrences, chosen from measurements (README): long enough that
// seeding a tile costs little, short enough that the recurrences stay about
// as accurate as evaluating each point directly. A one-dimensional tile is a
// single row and pays its seed alone, so it is longer; 4000 rather than
// 4096, since tiles of one row run side by side and rows 2^k doubles apart
// compete for the same cache sets.
uint64_t defaultTile(size_t dimensions, Method method) {
    if (method == Method::Accurate)
        return accurateTile(dimensions);
    return dimensions == 1 ? 4000 : 2000;
}

Method methodOf(const py::object &method) {
    if (py::isinstance<py::str>(method)) {
        const std::string name = py::str(method);
        if (name == "accurate")
            return Method::Accurate;
        if (name == "recurrence")
            return Method::Recurrence;
    }
    throw py::value_error("method must be 'accurate' or 'recurrence', not " + std::string(py::repr(method)));
}

// A non-negative integer from anything with __index__ (NumPy integers
// included); floats and other objects are refused.
uint64_t nonNegative(py::handle value, const std::string &what, bool valueError) {
    const py::int_ number = asIndex(value, what);
    if (number < py::int_(0)) {
        const std::string text = what + " must not be negative, got " + std::string(py::str(number));
        if (valueError)
            throw py::value_error(text);
        throw py::type_error(text);
    }
    if (number > py::int_(UINT64_MAX))
        throw py::value_error(what + " must be below 2**64, got " + std::string(py::str(number)));
    return number.cast<uint64_t>();
}

// A sequence of non-negative integers, or a lone integer for one dimension.
static std::vector<uint64_t> nonNegatives(py::handle values, const std::string &what) {
    if (!intSequence(values)) {
        if (PyIndex_Check(values.ptr()) && !PyBool_Check(values.ptr()))
            return {nonNegative(values, what, true)};
        throw py::type_error(what + " must be an int or a sequence of ints, not " + typeName(values));
    }
    std::vector<uint64_t> out;
    const auto sequence = py::reinterpret_borrow<py::sequence>(values);
    for (size_t i = 0; i < sequence.size(); ++i)
        out.push_back(nonNegative(sequence[i], what + "[" + std::to_string(i) + "]", true));
    return out;
}

// Checks `out` for a result of `shape`: a writable, C-ordered float64 array.
static void outputArray(const py::object &out, const std::vector<uint64_t> &shape, bool singles) {
    if (!py::isinstance<py::array>(out))
        throw py::type_error("out must be a numpy.ndarray, not " + typeName(out));
    auto array = py::reinterpret_borrow<py::array>(out);
    const bool doubles = array.dtype().is(py::dtype::of<double>()) || array.dtype().equal(py::dtype::of<double>());
    if (!doubles && !(singles && array.dtype().equal(py::dtype::of<float>())))
        throw py::value_error(std::string("out must have dtype float64") + (singles ? " or float32" : "") + ", not " +
                              std::string(py::str(array.dtype())));
    if (!(array.flags() & py::array::c_style))
        throw py::value_error("out must be C-contiguous");
    if (!array.writeable())
        throw py::value_error("out is read-only");
    bool same = static_cast<size_t>(array.ndim()) == shape.size();
    for (size_t d = 0; same && d < shape.size(); ++d)
        same = static_cast<uint64_t>(array.shape(static_cast<py::ssize_t>(d))) == shape[d];
    if (!same) {
        py::tuple wanted(shape.size());
        for (size_t d = 0; d < shape.size(); ++d)
            wanted[d] = py::int_(shape[d]);
        throw py::value_error("out has shape " + std::string(py::str(py::getattr(array, "shape"))) +
                              ", the result has shape " + std::string(py::str(wanted)));
    }
}

Output stridedOutput(const py::handle &out, const std::vector<uint64_t> &shape) {
    if (!py::isinstance<py::array>(out))
        throw py::type_error("out must be a numpy.ndarray, not " + typeName(out));
    auto array = py::reinterpret_borrow<py::array>(out);
    const bool doubles = array.dtype().equal(py::dtype::of<double>());
    if (!doubles && !array.dtype().equal(py::dtype::of<float>()))
        throw py::value_error("out must have dtype float64 or float32, not " + std::string(py::str(array.dtype())));
    if (!array.writeable())
        throw py::value_error("out is read-only");
    bool fits = static_cast<size_t>(array.ndim()) == shape.size();
    for (size_t d = 0; fits && d < shape.size(); ++d)
        fits = static_cast<uint64_t>(array.shape(static_cast<py::ssize_t>(d))) == shape[d];
    if (!fits)
        throw py::value_error("out has shape " + std::string(py::str(py::getattr(array, "shape"))) +
                              ", the result has shape " + std::string(py::str(py::tuple(py::cast(shape)))));
    // Every step of C order the same number of elements: the innermost
    // moving dimension's stride, checked against every other one.
    const auto item = static_cast<uint64_t>(array.itemsize());
    uint64_t stride = 0, run = 1;
    for (size_t d = shape.size(); d-- > 0;) {
        const py::ssize_t step = array.strides(static_cast<py::ssize_t>(d));
        if (shape[d] > 1) {
            if (step <= 0 || static_cast<uint64_t>(step) % item != 0)
                throw py::value_error("out must step forward by whole elements");
            if (stride == 0)
                stride = static_cast<uint64_t>(step) / item;
            if (static_cast<uint64_t>(step) != stride * run * item)
                throw py::value_error("out must be in C order, its elements evenly spaced");
        }
        run *= shape[d];
    }
    Output o;
    o.stride = stride == 0 ? 1 : stride;
    if (doubles)
        o.values = static_cast<double *>(array.mutable_data());
    else
        o.singles = static_cast<float *>(array.mutable_data());
    return o;
}

// A new array of `shape`, or the caller's `out` after checking it.
py::array resultArray(const py::object &out, const std::vector<uint64_t> &shape, bool singles) {
    if (!out.is_none()) {
        outputArray(out, shape, singles);
        return py::reinterpret_borrow<py::array>(out);
    }
    std::vector<py::ssize_t> extents(shape.begin(), shape.end());
    return py::array_t<double, py::array::c_style>(extents);
}

unsigned threadsOf(const py::object &threads, bool noneIsSetting) {
    if (threads.is_none() && noneIsSetting)
        return evaluationThreads();
    if (threads.is_none())
        throw py::type_error("threads must be an int of at least 1, not None");
    const uint64_t n = nonNegative(threads, "threads", true);
    if (n < 1)
        throw py::value_error("threads must be at least 1");
    return static_cast<unsigned>(std::min<uint64_t>(n, 1024));
}

// Tile edges: one int for every dimension, or one per dimension. Every point
// lies below 2**63, so a larger edge is the same tile as 2**63.
static std::vector<uint64_t> tileOf(const py::object &tile, size_t n, Method method) {
    if (tile.is_none())
        return std::vector<uint64_t>(n, defaultTile(n, method));
    const bool lone = !intSequence(tile);
    if (lone && (!PyIndex_Check(tile.ptr()) || PyBool_Check(tile.ptr())))
        throw py::type_error("tile must be an int or a sequence of ints, not " + typeName(tile));
    const auto edges = lone ? py::list(py::make_tuple(tile)) : py::list(tile);
    if (!lone && edges.size() != n)
        throw py::value_error("tile has " + std::to_string(edges.size()) + " entries, shape has " +
                              std::to_string(n));
    std::vector<uint64_t> out;
    for (size_t i = 0; i < edges.size(); ++i) {
        const py::int_ value = asIndex(edges[i], lone ? std::string("tile") : "tile[" + std::to_string(i) + "]");
        if (value < py::int_(1))
            throw py::value_error("tile must be at least 1 along every dimension");
        const py::int_ largest(uint64_t{1} << 63);
        out.push_back(value > largest ? uint64_t{1} << 63 : value.cast<uint64_t>());
    }
    return lone ? std::vector<uint64_t>(n, out[0]) : out;
}

// The block a call of evaluate asks for, every argument checked before
// anything is computed or written.
Block blockOf(const py::object &shapeArg, const py::object &originArg, const py::object &tileArg,
              const py::object &out, Method method) {
    Block block = blockOf(shapeArg, originArg, tileArg, method);
    storablePoints(block.shape, "evaluate", out.is_none());
    return block;
}

Block blockOf(const py::object &shapeArg, const py::object &originArg, const py::object &tileArg, Method method) {
    Block block;
    block.method = method;
    block.shape = nonNegatives(shapeArg, "shape");
    const size_t n = block.shape.size();
    if (n == 0)
        throw py::value_error("shape must have at least one dimension");
    for (size_t d = 0; d < n; ++d)
        if (block.shape[d] == 0)
            throw py::value_error("shape[" + std::to_string(d) + "] must be at least 1");
    block.origin = originArg.is_none() ? std::vector<uint64_t>(n, 0) : nonNegatives(originArg, "origin");
    if (block.origin.size() != n)
        throw py::value_error("origin has " + std::to_string(block.origin.size()) +
                              " entries, shape has " + std::to_string(n));
    for (size_t d = 0; d < n; ++d)
        if (block.origin[d] > uint64_t{INT64_MAX} || block.shape[d] > uint64_t{INT64_MAX} + 1 - block.origin[d])
            throw std::overflow_error("origin + shape must stay within 2**63 along every dimension");
    block.tile = tileOf(tileArg, n, method);
    storablePoints(block.shape, "evaluate", false);
    return block;
}

void checkVariables(const ASTnode &tree, const Block &block) {
    std::vector<const ASTnode *> todo{&tree};
    std::unordered_set<const ASTnode *> seen{&tree};
    while (!todo.empty()) {
        const ASTnode *node = todo.back();
        todo.pop_back();
        if (const auto *v = dynamic_cast<const ASTvar *>(node); v && v->index >= block.shape.size())
            throw py::value_error("the formula reads x" + std::to_string(v->index) + " (dimension " +
                                  std::to_string(v->index) + ") but the shape has " +
                                  std::to_string(block.shape.size()) + " dimension" +
                                  (block.shape.size() == 1 ? "" : "s"));
        for (const ASTnode *child : node->children())
            if (child && seen.insert(child).second)
                todo.push_back(child);
    }
}

void outOfMemory(const std::string &call, const Block &block) {
    uint64_t points = 1;
    for (uint64_t s : block.shape)
        points *= s;
    throw TooLarge(call + " over a grid of shape " + tileText(block.shape) + " (" + std::to_string(points) +
                   " points) with tile " + tileText(block.tile) + " needs more memory than this process could get (" +
                   bytesText(static_cast<double>(usableMemoryBytes())) + " at most): choose a shorter tile or a "
                   "smaller grid");
}

} // namespace vemiral
