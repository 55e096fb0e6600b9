#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <iostream>

#include "ast/ASTnode.hpp"
#include "module/bindings.hpp"

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
    PYBIND11_TYPE_CASTER(ExtentsArg, const_name("collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex]"));
    bool load(handle src, bool) {
        value.value = reinterpret_borrow<object>(src);
        return true;
    }
};
} // namespace pybind11::detail

namespace {

std::string typeName(py::handle value) { return py::str(py::type::handle_of(value).attr("__name__")); }

// An int, or any object with __index__ (NumPy integers); floats are refused
// even when integral, as Python's own indexing does.
py::int_ asIndex(py::handle value, const std::string &what) {
    if (PyFloat_Check(value.ptr()) || !PyIndex_Check(value.ptr()))
        throw py::type_error(what + " must be an int, not " + typeName(value));
    PyObject *index = PyNumber_Index(value.ptr());
    if (!index)
        throw py::error_already_set();
    return py::reinterpret_steal<py::int_>(index);
}

// The extents exactly as the sequence caster takes them; when it refuses, the
// first offending element says why (still a TypeError, as before).
std::vector<uint64_t> asExtents(const py::object &params, const char *method) {
    py::detail::make_caster<std::vector<uint64_t>> caster;
    if (caster.load(params, true))
        return py::detail::cast_op<std::vector<uint64_t>>(std::move(caster));
    const std::string prefix = std::string(method) + ": ";
    if (!PySequence_Check(params.ptr()) || PyUnicode_Check(params.ptr()) || PyBytes_Check(params.ptr()))
        throw py::type_error(prefix + "the extents must be a sequence of ints, not " + typeName(params));
    const py::sequence items = py::reinterpret_borrow<py::sequence>(params);
    for (size_t i = 0; i < items.size(); ++i) {
        const std::string what = prefix + "extents[" + std::to_string(i) + "]";
        const py::int_ extent = asIndex(items[i], what);
        if (extent < py::int_(0))
            throw py::type_error(what + " is " + std::string(py::str(extent)) +
                                 ", negative; every extent must be at least 1");
        if (extent > py::int_(UINT64_MAX))
            throw py::type_error(what + " is " + std::string(py::str(extent)) + ", beyond 64 bits");
    }
    throw py::type_error(prefix + "the extents must be a sequence of ints");
}

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

// One float object per value, straight into a preallocated list.
py::list floatList(const std::vector<double> &values) {
    PyObject *list = PyList_New(static_cast<Py_ssize_t>(values.size()));
    if (!list)
        throw py::error_already_set();
    auto result = py::reinterpret_steal<py::list>(list);
    for (size_t i = 0; i < values.size(); ++i) {
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

    py::register_local_exception_translator([](std::exception_ptr p) {
        try {
            if (p)
                std::rethrow_exception(p);
        } catch (const TreeTooDeep &e) {
            PyErr_SetString(PyExc_RecursionError, e.what());
        } catch (const TooLarge &e) {
            PyErr_SetString(PyExc_MemoryError, e.what());
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

    py::class_<ASTnode, ASTptr>(m, "ASTnode")
        .def(
            "crinit",
            [](ASTnode &self, const ExtentsArg &params) {
                const std::vector<uint64_t> extents = asExtents(params.value, "crinit");
                FlushOnReturn flush;
                self.crinit(extents);
            },
            py::arg("params"))
        .def("creval",
             [](ASTnode &self) {
                 FlushOnReturn flush;
                 return floatList(self.creval(checkSignals));
             })
        .def("view",
             [](const ASTnode &self) {
                 FlushOnReturn flush;
                 self.print();
             })
        .def("crgen",
             [](ASTnode &self) {
                 FlushOnReturn flush;
                 return py::str(self.crgen());
             })
        .def("crarray",
             [](const ASTnode &self) {
                 // Compiled with the lock held: no crinit can change the node
                 // meanwhile, and the evaluation needs nothing of it after.
                 const Evaluator evaluator = self.evaluator("crarray");
                 std::vector<py::ssize_t> shape(self.params.begin(), self.params.end());
                 py::array_t<double, py::array::c_style> values(shape);
                 double *out = values.mutable_data();
                 {
                     py::gil_scoped_release unlocked;
                     evaluateInParallel(evaluator, out, checkSignalsUnlocked);
                 }
                 return values;
             });

    py::class_<ASTnum, ASTnode, std::shared_ptr<ASTnum>>(m, "ASTnum")
        .def(py::init<double>(), py::arg("value"));

    py::class_<ASTvar, ASTnode, std::shared_ptr<ASTvar>>(m, "ASTvar")
        .def(py::init([](const IndexArg &indexArg, double start, double step) {
                 const py::int_ index = asIndex(indexArg.value, "ASTvar: index");
                 // Loop dimensions are signed 64-bit inside the chains.
                 if (index < py::int_(0))
                     throw py::type_error("ASTvar: index must be non-negative, not " + std::string(py::str(index)));
                 if (index > py::int_(INT64_MAX))
                     throw py::value_error("ASTvar: index must be below 2**63");
                 return std::make_shared<ASTvar>(index.cast<uint64_t>(), start, step);
             }),
             py::arg("index"), py::arg("start"), py::arg("step"));

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

    bindExpressionSyntax(m);
    bindPickling(m);
}
