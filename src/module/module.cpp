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
            [](ASTnode &self, const std::vector<uint64_t> &params) {
                FlushOnReturn flush;
                self.crinit(params);
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
        .def(py::init([](const py::int_ &index, double start, double step) {
                 // Loop dimensions are signed 64-bit inside the chains.
                 if (index < py::int_(0))
                     throw py::type_error("ASTvar: index must be a non-negative int");
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

    bindPickling(m);
}
