// ASTnode._reduce: the native half of vemiral_grid's reductions (the Python
// half checks what a user passes and gives the results their NumPy forms).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "ast/ASTnode.hpp"
#include "eval/reduce.hpp"
#include "module/arguments.hpp"
#include "module/bindings.hpp"
#include "module/numpy_loops.hpp"

namespace py = pybind11;
using namespace vemiral;

namespace {

const std::map<std::string, Reduction> kReductions = {
    {"sum", Reduction::Sum},       {"nansum", Reduction::NanSum}, {"min", Reduction::Min},
    {"max", Reduction::Max},       {"nanmin", Reduction::NanMin}, {"nanmax", Reduction::NanMax},
    {"histogram", Reduction::Histogram}, {"weighted", Reduction::Weighted}, {"count", Reduction::Count},
};

using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;

Doubles doubleArray(const py::handle &values, const std::string &what) {
    auto array = Doubles::ensure(values);
    if (!array || array.ndim() != 1)
        throw py::value_error(what + " must be a one-dimensional sequence of numbers");
    return array;
}

std::vector<double> doubles(const py::handle &values, const std::string &what) {
    const Doubles array = doubleArray(values, what);
    return {array.data(), array.data() + array.size()};
}

// `edgeArray` holds the edges the request points to.
ReduceRequest requestOf(const Block &block, const std::vector<std::string> &kinds, const std::vector<bool> &reduced,
                        const py::object &weights, const py::object &edges, bool uniform, Doubles &edgeArray) {
    const size_t n = block.shape.size();
    ReduceRequest request;
    if (kinds.empty())
        throw py::value_error("no reduction named");
    for (const std::string &name : kinds) {
        const auto found = kReductions.find(name);
        if (found == kReductions.end())
            throw py::value_error("unknown reduction '" + name + "'");
        request.kinds.push_back(found->second);
    }
    if (reduced.size() != n)
        throw py::value_error("reduced has " + std::to_string(reduced.size()) + " entries, shape has " +
                              std::to_string(n));
    request.reduced.assign(reduced.begin(), reduced.end());
    bool weighted = false, histogram = false;
    for (Reduction kind : request.kinds) {
        weighted = weighted || kind == Reduction::Weighted;
        histogram = histogram || kind == Reduction::Histogram;
    }
    if (weighted) {
        const auto list = py::cast<py::sequence>(weights);
        if (list.size() != n)
            throw py::value_error("weights must have one entry per dimension");
        request.weights.resize(n);
        for (size_t d = 0; d < n; ++d) {
            if (list[d].is_none()) {
                if (reduced[d]) // unweighted: every point counts once
                    request.weights[d].assign(block.shape[d], 1.0);
                continue;
            }
            request.weights[d] = doubles(list[d], "weights[" + std::to_string(d) + "]");
            if (request.weights[d].size() != block.shape[d] || !reduced[d])
                throw py::value_error("weights[" + std::to_string(d) +
                                      "] must hold one weight per point of a reduced dimension");
        }
    }
    if (histogram) {
        edgeArray = doubleArray(edges, "edges");
        request.edges = {edgeArray.data(), static_cast<size_t>(edgeArray.size())};
        if (request.edges.size() < 2)
            throw py::value_error("edges must hold at least two numbers");
        for (size_t i = 0; i < request.edges.size(); ++i)
            if (!std::isfinite(request.edges[i]) || (i > 0 && !(request.edges[i - 1] < request.edges[i])))
                throw py::value_error("edges must be finite and increase");
        for (bool r : reduced)
            if (!r)
                throw py::value_error("a histogram reduces every dimension");
        request.uniform = uniform;
    }
    return request;
}

// An array of `shape` over the values, which it takes over rather than copies.
template <typename T, typename From>
py::array_t<T> shaped(std::vector<From> &&values, const std::vector<py::ssize_t> &shape) {
    static_assert(sizeof(T) == sizeof(From));
    auto *owned = new std::vector<From>(std::move(values));
    const py::capsule owner(owned, [](void *p) { delete static_cast<std::vector<From> *>(p); });
    return py::array_t<T>(shape, reinterpret_cast<T *>(owned->data()), owner);
}

} // namespace

void bindReductions(py::module_ &m, void (*poll)()) {
    m.def(
        "_products",
        [](const py::array_t<double, py::array::c_style | py::array::forcecast> &rows) {
            if (rows.ndim() != 2)
                throw py::value_error("rows must be two-dimensional");
            const auto cells = static_cast<uint64_t>(rows.shape(0)), n = static_cast<uint64_t>(rows.shape(1));
            RowProducts p;
            {
                py::gil_scoped_release unlocked;
                p = productsOfRows(rows.data(), cells, n);
            }
            const std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(cells)};
            return py::make_tuple(shaped<int64_t>(std::move(p.nan), shape), shaped<int64_t>(std::move(p.inf), shape),
                                  shaped<int64_t>(std::move(p.zero), shape),
                                  shaped<int64_t>(std::move(p.negative), shape),
                                  shaped<int64_t>(std::move(p.exponent), shape),
                                  shaped<double>(std::move(p.high), shape), shaped<double>(std::move(p.low), shape));
        },
        "Per row: the counts of NaN, infinities, zeros and values with the sign bit, and the product of "
        "the other values' magnitudes as (exponent, high, low): (high + low) * 2**exponent, high in [0.5, 1).",
        py::arg("rows"));
    m.def(
        "_squares",
        [](const py::array_t<double, py::array::c_style | py::array::forcecast> &rows, const py::object &mean,
           bool skipNaN) {
            if (rows.ndim() != 2)
                throw py::value_error("rows must be two-dimensional");
            const auto cells = static_cast<uint64_t>(rows.shape(0)), n = static_cast<uint64_t>(rows.shape(1));
            const Doubles means = doubleArray(mean, "mean");
            if (static_cast<uint64_t>(means.size()) != cells)
                throw py::value_error("mean must have one number per row");
            py::array_t<double> hi(static_cast<py::ssize_t>(cells)), lo(static_cast<py::ssize_t>(cells));
            {
                py::gil_scoped_release unlocked;
                squaresOfRows(rows.data(), cells, n, means.data(), skipNaN, hi.mutable_data(), lo.mutable_data());
            }
            return py::make_tuple(hi, lo);
        },
        "Per row, the sum of (x - mean[row])**2 over the row's values (NaN skipped with skip_nan) as "
        "double-double (hi, lo): the deviations exact, their squares to first order, compensated sums.",
        py::arg("rows"), py::arg("mean"), py::arg("skip_nan"));
    py::class_<ASTnode, ASTptr> node(m.attr("ASTnode"));
    node.def(
        "_reduce",
        [poll](const ASTptr &self, const py::object &shape, const std::vector<std::string> &kinds,
               const std::vector<bool> &reduced, const py::object &origin, const py::object &tile,
               const py::object &weights, const py::object &edges, bool uniform, const py::object &threads,
               const py::object &progress) {
            const Block block = blockOf(shape, origin, tile, Method::Accurate);
            checkVariables(*self, block);
            registerNumpyLoops(*self);
            Doubles edgeArray;
            const ReduceRequest request = requestOf(block, kinds, reduced, weights, edges, uniform, edgeArray);
            const unsigned workers = threadsOf(threads, true);
            Progress report;
            if (!progress.is_none())
                report = [&progress](uint64_t done, uint64_t all) {
                    py::gil_scoped_acquire gil;
                    progress(done, all);
                };
            std::vector<ReducedCells> cells;
            try {
                py::gil_scoped_release unlocked;
                cells = reduceAccurate(*self, block, request, workers, poll, report);
            } catch (const std::bad_alloc &) {
                outOfMemory("a reduction", block);
            } catch (const std::length_error &) {
                outOfMemory("a reduction", block);
            }
            std::vector<py::ssize_t> kept;
            for (size_t d = 0; d < block.shape.size(); ++d)
                if (!reduced[d])
                    kept.push_back(static_cast<py::ssize_t>(block.shape[d]));
            py::list results;
            for (size_t k = 0; k < cells.size(); ++k) {
                ReducedCells &c = cells[k];
                switch (request.kinds[k]) {
                case Reduction::Histogram: {
                    // Counts below 2**63: a block has fewer points.
                    const auto bins = static_cast<py::ssize_t>(c.counts.size());
                    results.append(shaped<int64_t>(std::move(c.counts), {bins}));
                    break;
                }
                case Reduction::Sum:
                case Reduction::NanSum:
                case Reduction::Weighted:
                case Reduction::Count:
                    results.append(py::make_tuple(shaped<double>(std::move(c.hi), kept),
                                                  shaped<double>(std::move(c.lo), kept)));
                    break;
                default:
                    results.append(py::make_tuple(shaped<double>(std::move(c.hi), kept),
                                                  shaped<uint64_t>(std::move(c.index), kept)));
                }
            }
            return results;
        },
        "The reductions `kinds` of the values evaluate(shape, origin=..., tile=...) gives, over the "
        "dimensions marked in `reduced`, computed block by block without the array: per kind, "
        "(hi, lo) double-double sums, (value, index) extrema (index in C order over the reduced "
        "dimensions, 2**64-1 where a cell has no number) or histogram counts. `progress`, if given, "
        "is called every 20 ms with the points done and the points in all.",
        py::arg("shape"), py::arg("kinds"), py::arg("reduced"), py::kw_only(), py::arg("origin") = py::none(),
        py::arg("tile") = py::none(), py::arg("weights") = py::none(), py::arg("edges") = py::none(),
        py::arg("uniform") = false, py::arg("threads") = py::none(), py::arg("progress") = py::none());
}
