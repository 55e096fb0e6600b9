#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <iostream>
#include <optional>

#include "ast/ASTnode.hpp"
#include "cr/extended.hpp"
#include "eval/accurate.hpp"
#include "eval/direct.hpp"
#include "eval/plan.hpp"
#include "eval/grid.hpp"
#include "eval/pool.hpp"
#include "eval/program.hpp"
#include "eval/reference.hpp"
#include "eval/tiles.hpp"
#include "module/arguments.hpp"
#include "module/bindings.hpp"
#include "module/docstrings.hpp"
#include "module/numpy_loops.hpp"

namespace py = pybind11;
using namespace vemiral;

namespace {

// Integer arguments reach the bindings as they came, so that a refusal can say
// what was wrong with the value instead of the generic "incompatible function
// arguments"; the casters keep the signatures' documented types.
struct IndexArg {
    py::object value;
};
struct ExtentsArg {
    py::object value;
};

} // namespace

namespace pybind11::detail {
template <> struct type_caster<IndexArg> {
    PYBIND11_TYPE_CASTER(IndexArg, const_name("int"));
    bool load(handle src, bool) {
        value.value = reinterpret_borrow<object>(src);
        return true;
    }
};
template <> struct type_caster<ExtentsArg> {
    PYBIND11_TYPE_CASTER(ExtentsArg, const_name("collections.abc.Sequence[typing.SupportsIndex]"));
    bool load(handle src, bool) {
        value.value = reinterpret_borrow<object>(src);
        return true;
    }
};
} // namespace pybind11::detail

namespace {

// Native output goes through the C++ streams; flush them before control
// returns to Python so the two never interleave out of order.
struct FlushOnReturn {
    ~FlushOnReturn() {
        std::cout.flush();
        std::cerr.flush();
    }
};

ASTptr requireNode(const ASTptr &node, const char *what) {
    if (!node)
        throw py::type_error(std::string(what) + " must be an expression node, not None");
    return node;
}

void checkSignals() {
    if (PyErr_CheckSignals() != 0)
        throw py::error_already_set();
}

// One float object per value, straight into a preallocated list; pending
// signals are checked every 2^20 values.
py::list floatList(const std::vector<double> &values) {
    PyObject *list = PyList_New(static_cast<Py_ssize_t>(values.size()));
    if (!list)
        throw py::error_already_set();
    auto result = py::reinterpret_steal<py::list>(list);
    for (size_t i = 0; i < values.size(); ++i) {
        if ((i & 0xFFFFF) == 0xFFFFF)
            checkSignals();
        PyObject *item = PyFloat_FromDouble(values[i]);
        if (!item)
            throw py::error_already_set();
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    return result;
}

// Called while the interpreter lock is released: takes it back just long
// enough to run the pending signal handlers (Ctrl-C raises from there).
void checkSignalsUnlocked() {
    py::gil_scoped_acquire gil;
    checkSignals();
}

} // namespace

PYBIND11_MODULE(vemiral, m, py::multiple_interpreters::not_supported()) {
    m.doc() = "";
    m.attr("__version__") = VEMIRAL_VERSION;
    if (const std::string problem = threadSettingProblem(); !problem.empty())
        if (PyErr_WarnEx(PyExc_RuntimeWarning, problem.c_str(), 1) != 0)
            throw py::error_already_set();

    py::register_local_exception_translator([](std::exception_ptr p) {
        try {
            if (p)
                std::rethrow_exception(p);
        } catch (const TreeTooDeep &e) {
            PyErr_SetString(PyExc_RecursionError, e.what());
        } catch (const TooLarge &e) {
            PyErr_SetString(PyExc_MemoryError, e.what());
        } catch (const std::bad_alloc &) {
            // Calls that know what they were asked for say so (outOfMemory);
            // the allocation's own message would tell a user nothing.
            PyErr_SetString(PyExc_MemoryError, "out of memory: the engine could not allocate what this call needs");
        } catch (const std::length_error &e) {
            const bool ours = std::string(e.what()).starts_with("evaluation:");
            PyErr_SetString(PyExc_MemoryError,
                            ours ? e.what() : "out of memory: the engine could not allocate what this call needs");
        } catch (const py::cast_error &e) {
            // A node made by __new__ alone has nothing inside to work on.
            if (std::string(e.what()).find("non-held to held") == std::string::npos)
                throw;
            PyErr_SetString(PyExc_TypeError,
                            "this expression node was never built: create nodes by calling their class");
        }
    });

    py::enum_<bt>(m, "bt")
        .value("ADD", ADD)
        .value("SUB", SUB)
        .value("MUL", MUL)
        .value("DIV", DIV)
        .value("POW", POW)
        .export_values();

    py::enum_<ut>(m, "ut")
        .value("NEG", NEG)
        .value("FAC", FAC)
        .value("EXP", EXP)
        .value("LN", LN)
        .value("SIN", SIN)
        .value("COS", COS)
        .value("TAN", TAN)
        .value("COT", COT)
        .export_values();

    // Function nodes' codes, named as the functions in capitals.
    py::enum_<ft> functions(m, "ft");
    static std::vector<std::string> functionNames;
    for (int32_t op = 0; op < FUNCTION_COUNT; ++op) {
        std::string upper = kFunctions[op].name;
        for (char &c : upper)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        functionNames.push_back(upper);
    }
    for (int32_t op = 0; op < FUNCTION_COUNT; ++op)
        functions.value(functionNames[static_cast<size_t>(op)].c_str(), static_cast<ft>(op));

    py::class_<ASTnode, ASTptr> nodeClass(m, "ASTnode");
    nodeClass
        .def(
            "crinit",
            [](const ASTptr &self, const ExtentsArg &params) {
                const std::vector<uint64_t> extents = asExtents(params.value, "crinit");
                FlushOnReturn flush;
                self->crinit(extents);
            },
            py::arg("params"))
        .def("creval",
             [](const ASTptr &self) {
                 FlushOnReturn flush;
                 return floatList(self->creval(checkSignals));
             })
        .def("view",
             [](const ASTptr &self) {
                 FlushOnReturn flush;
                 self->print();
             })
        .def("crgen",
             [](const ASTptr &self) {
                 FlushOnReturn flush;
                 return py::str(self->crgen());
             })
        .def(
            "crarray",
            [](const ASTptr &self, const py::object &out) {
                // Taken with the lock held: a crinit meanwhile replaces the
                // node's program, not this one.
                const std::shared_ptr<const Program> program = self->gridProgram("crarray");
                py::array values = resultArray(out, program->extents);
                double *data = static_cast<double *>(values.mutable_data());
                {
                    py::gil_scoped_release unlocked;
                    evaluateGrid(*program, data, evaluationThreads(), checkSignalsUnlocked);
                }
                return values;
            },
            docstrings::crarray, py::kw_only(), py::arg("out") = py::none())
        .def(
            "evaluate",
            [](const ASTptr &self, const py::object &shape, const py::object &origin, const py::object &tile,
               const py::object &out, const py::object &threads, const py::object &method) {
                Block block = blockOf(shape, origin, tile, out, methodOf(method));
                checkVariables(*self, block);
                registerNumpyLoops(*self);
                const unsigned workers = threadsOf(threads, true);
                py::array values = resultArray(out, block.shape, block.method == Method::Accurate);
                if (values.dtype().equal(py::dtype::of<float>()))
                    block.out32 = static_cast<float *>(values.mutable_data());
                else
                    block.out = static_cast<double *>(values.mutable_data());
                try {
                    py::gil_scoped_release unlocked;
                    if (block.method == Method::Accurate)
                        evaluateFormula(*self, block, workers, checkSignalsUnlocked);
                    else
                        evaluateTiled(*self, block, workers, checkSignalsUnlocked);
                } catch (const std::bad_alloc &) {
                    outOfMemory("evaluate", block);
                } catch (const std::length_error &) {
                    outOfMemory("evaluate", block);
                }
                return values;
            },
            docstrings::evaluate, py::arg("shape"), py::kw_only(), py::arg("origin") = py::none(),
            py::arg("tile") = py::none(), py::arg("out") = py::none(), py::arg("threads") = py::none(),
            py::arg("method") = "accurate");

    nodeClass.def(
        "explain",
        [](const ASTptr &self, const py::object &shape) {
            const Block block = blockOf(shape, py::none(), py::none(), py::none(), Method::Accurate);
            checkVariables(*self, block);
            registerNumpyLoops(*self);
            return py::str(describePlan(*formulaOf(*self, block.shape.size()), block.shape));
        },
        docstrings::explain, py::arg("shape"));

    py::class_<ASTnum, ASTnode, std::shared_ptr<ASTnum>>(m, "ASTnum")
        .def(py::init<double>(), py::arg("value"));

    py::class_<ASTvar, ASTnode, std::shared_ptr<ASTvar>>(m, "ASTvar")
        .def(py::init([](const IndexArg &indexArg, double start, double step, std::optional<double> stop,
                         const py::object &num) {
                 const py::int_ index = asIndex(indexArg.value, "ASTvar: index");
                 // Loop dimensions are signed 64-bit inside the chains.
                 if (index < py::int_(0))
                     throw py::type_error("ASTvar: index must be non-negative, not " + std::string(py::str(index)));
                 if (index > py::int_(INT64_MAX))
                     throw py::value_error("ASTvar: index must be below 2**63");
                 if (stop.has_value() != !num.is_none())
                     throw py::type_error("ASTvar: stop and num go together (a closed range's end)");
                 uint64_t last = UINT64_MAX;
                 if (stop) {
                     const py::int_ count = asIndex(num, "ASTvar: num");
                     if (count < py::int_(1) || count > py::int_(INT64_MAX))
                         throw py::value_error("ASTvar: num must be from 1 to 2**63 - 1, not " +
                                               std::string(py::str(count)));
                     last = count.cast<uint64_t>() - 1;
                 }
                 return std::make_shared<ASTvar>(index.cast<uint64_t>(), start, step, last, stop.value_or(0.0));
             }),
             py::arg("index"), py::arg("start"), py::arg("step"), py::kw_only(), py::arg("stop") = py::none(),
             py::arg("num") = py::none());

    py::class_<ASTbin, ASTnode, std::shared_ptr<ASTbin>>(m, "ASTbin", py::dynamic_attr())
        .def(py::init([](bt op, const ASTptr &left, const ASTptr &right) {
                 return std::make_shared<ASTbin>(op, requireNode(left, "left"), requireNode(right, "right"));
             }),
             py::arg("op"), py::arg("left"), py::arg("right"));

    py::class_<ASTun, ASTnode, std::shared_ptr<ASTun>>(m, "ASTun", py::dynamic_attr())
        .def(py::init([](ut op, const ASTptr &child) {
                 return std::make_shared<ASTun>(op, requireNode(child, "child"));
             }),
             py::arg("op"), py::arg("child"));

    py::class_<ASTfun, ASTnode, std::shared_ptr<ASTfun>>(m, "ASTfun", py::dynamic_attr())
        .def(py::init([](ft op, const py::args &arguments) {
                 std::vector<ASTptr> nodes;
                 for (const py::handle a : arguments) {
                     if (!py::isinstance<ASTnode>(a))
                         throw py::type_error("ASTfun: the arguments must be expression nodes, not " +
                                              std::string(py::str(py::type::handle_of(a).attr("__name__"))));
                     nodes.push_back(a.cast<ASTptr>());
                 }
                 try {
                     return std::make_shared<ASTfun>(op, std::move(nodes));
                 } catch (const std::invalid_argument &e) {
                     throw py::value_error(e.what());
                 }
             }),
             py::arg("op"));

    m.def(
        "default_tile",
        [](const py::object &dimensions, const py::object &method) {
            const uint64_t n = nonNegative(dimensions, "dimensions", true);
            if (n < 1)
                throw py::value_error("dimensions must be at least 1");
            return defaultTile(n, methodOf(method));
        },
        docstrings::defaultTile, py::arg("dimensions"), py::arg("method") = "accurate");
    m.def("get_num_threads", [] { return evaluationThreads(); }, docstrings::getNumThreads);
    m.def(
        "set_num_threads",
        [](const py::object &threads) { setEvaluationThreads(threadsOf(threads, false)); }, docstrings::setNumThreads,
        py::arg("threads"));
    m.def("_shift_reference", [](const ASTptr &node) {
        const std::shared_ptr<const Program> program = node->gridProgram("_shift_reference");
        return floatList(referenceValues(*node->cr, node->params));
    });
    // The double-double functions of the algebra's constants, for the tests.
    m.def("_extended", [](const std::string &name, double xh, double xl, double yh, double yl) {
        const Extended x = normalized(xh, xl), y = normalized(yh, yl);
        Extended r;
        if (name == "add") r = add(x, y);
        else if (name == "mul") r = mul(x, y);
        else if (name == "reciprocal") r = reciprocal(x);
        else if (name == "exp") r = vemiral::exp(x);
        else if (name == "log") r = vemiral::log(x);
        else if (name == "sin") r = vemiral::sin(x);
        else if (name == "cos") r = vemiral::cos(x);
        else if (name == "pow") r = vemiral::pow(x, y);
        else throw py::value_error("unknown function " + name);
        return py::make_tuple(r.hi, r.lo);
    }, py::arg("name"), py::arg("xh"), py::arg("xl") = 0.0, py::arg("yh") = 0.0, py::arg("yl") = 0.0);
    // The pool's idle threads are joined when the interpreter ends.
    Py_AtExit(stopThreads);

    bindExpressionSyntax(m);
    bindPickling(m);
    bindReductions(m, checkSignalsUnlocked);
}
