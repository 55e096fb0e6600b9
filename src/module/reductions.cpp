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

std::vector<double> doubles(const py::handle &values, const std::string &what) {
    const auto array = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(values);
    if (!array || array.ndim() != 1)
        throw py::value_error(what + " must be a one-dimensional sequence of numbers");
    return {array.data(), array.data() + array.size()};
}

ReduceRequest requestOf(const Block &block, const std::vector<std::string> &kinds, const std::vector<bool> &reduced,
                        const py::object &weights, const py::object &edges, bool uniform) {
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
        request.edges = doubles(edges, "edges");
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

template <typename T>
py::array_t<T> shaped(const std::vector<T> &values, const std::vector<py::ssize_t> &shape) {
    py::array_t<T> array(shape);
    std::copy(values.begin(), values.end(), array.mutable_data());
    return array;
}

} // namespace

void bindReductions(py::module_ &m, void (*poll)()) {
    py::class_<ASTnode, ASTptr> node(m.attr("ASTnode"));
    node.def(
        "_reduce",
        [poll](const ASTptr &self, const py::object &shape, const std::vector<std::string> &kinds,
               const std::vector<bool> &reduced, const py::object &origin, const py::object &tile,
               const py::object &weights, const py::object &edges, bool uniform, const py::object &threads,
               const py::object &progress) {
            const Block block = blockOf(shape, origin, tile, Method::Accurate);
            checkVariables(*self, block);
            registerNumpyLoops();
            const ReduceRequest request = requestOf(block, kinds, reduced, weights, edges, uniform);
            const unsigned workers = threadsOf(threads, true);
            Progress report;
            if (!progress.is_none())
                report = [&progress](uint64_t done, uint64_t all) {
                    py::gil_scoped_acquire gil;
                    progress(done, all);
                };
            std::vector<ReducedCells> cells;
            {
                py::gil_scoped_release unlocked;
                cells = reduceAccurate(*self, block, request, workers, poll, report);
            }
            std::vector<py::ssize_t> kept;
            for (size_t d = 0; d < block.shape.size(); ++d)
                if (!reduced[d])
                    kept.push_back(static_cast<py::ssize_t>(block.shape[d]));
            py::list results;
            for (size_t k = 0; k < cells.size(); ++k) {
                const ReducedCells &c = cells[k];
                switch (request.kinds[k]) {
                case Reduction::Histogram: {
                    std::vector<int64_t> counts(c.counts.begin(), c.counts.end());
                    results.append(shaped(counts, {static_cast<py::ssize_t>(counts.size())}));
                    break;
                }
                case Reduction::Sum:
                case Reduction::NanSum:
                case Reduction::Weighted:
                case Reduction::Count:
                    results.append(py::make_tuple(shaped(c.hi, kept), shaped(c.lo, kept)));
                    break;
                default:
                    results.append(py::make_tuple(shaped(c.hi, kept), shaped(c.index, kept)));
                }
            }
            return results;
        },
        "The reductions `kinds` of the values evaluate(shape, origin=..., tile=...) gives, over the "
        "dimensions marked in `reduced`, computed block by block without the array: per kind, "
        "(hi, lo) double-double sums, (value, index) extrema (index in C order over the reduced "
        "dimensions, 2**64-1 where a cell has no number) or histogram counts. `progress`, if given, "
        "is called every 20 ms with the parts done and the parts in all.",
        py::arg("shape"), py::arg("kinds"), py::arg("reduced"), py::kw_only(), py::arg("origin") = py::none(),
        py::arg("tile") = py::none(), py::arg("weights") = py::none(), py::arg("edges") = py::none(),
        py::arg("uniform") = false, py::arg("threads") = py::none(), py::arg("progress") = py::none());
}
