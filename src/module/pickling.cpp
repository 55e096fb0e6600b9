#include <pybind11/pybind11.h>

#include <string>

#include "ast/ASTnode.hpp"
#include "ast/serialize.hpp"
#include "module/bindings.hpp"

namespace py = pybind11;
using namespace vemiral;

namespace {

// A node pickles as a call of _node_from_state(format, records, attributes):
// the records are the flat encoding of the whole subtree (serialize.hpp), so
// pickling and copying never recurse through Python whatever the depth, and
// attributes is the instance's __dict__ (ASTbin and ASTun; empty otherwise).
// A __reduce__ rather than __getstate__/__setstate__: unpickling then never
// holds an instance made by __new__ alone, on which a method call would read
// a node that was never built.
constexpr int kStateFormat = 1;

py::tuple reduce(const py::object &self) {
    const auto &node = self.cast<const ASTnode &>();
    py::dict attributes;
    if (py::object own = py::getattr(self, "__dict__", py::none()); py::isinstance<py::dict>(own))
        attributes = py::reinterpret_borrow<py::dict>(own);
    py::module_ module = py::module_::import("vemiral");
    return py::make_tuple(module.attr("_node_from_state"),
                          py::make_tuple(kStateFormat, py::bytes(encodeTree(node)), attributes));
}

// Everything is checked before the node is handed out, so a refused state
// leaves nothing behind.
py::object fromState(const py::object &format, const py::object &records, const py::object &attributes) {
    const std::string where = "_node_from_state: ";
    if (!PyLong_CheckExact(format.ptr()))
        throw py::type_error(where + "format must be an int");
    if (!format.equal(py::int_(kStateFormat)))
        throw py::value_error(where + "unknown state format " + std::string(py::str(format)) + " (this module reads format " +
                              std::to_string(kStateFormat) + ")");
    if (!PyBytes_Check(records.ptr()))
        throw py::type_error(where + "records must be bytes");
    if (!PyDict_Check(attributes.ptr()))
        throw py::type_error(where + "attributes must be a dict");
    const auto names = py::reinterpret_borrow<py::dict>(attributes);
    for (const auto &item : names)
        if (!PyUnicode_CheckExact(item.first.ptr()))
            throw py::type_error(where + "attribute names must be str");

    char *data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(records.ptr(), &data, &size) != 0)
        throw py::error_already_set();
    ASTptr root = decodeTree(data, static_cast<size_t>(size));
    const bool takesAttributes = dynamic_cast<const ASTbin *>(root.get()) || dynamic_cast<const ASTun *>(root.get());
    if (!takesAttributes && !names.empty())
        throw py::value_error(where + "ASTnum and ASTvar nodes carry no attributes");

    py::object node = py::cast(root);
    if (!names.empty()) {
        py::object own = node.attr("__dict__");
        if (PyDict_Update(own.ptr(), names.ptr()) != 0)
            throw py::error_already_set();
    }
    return node;
}

} // namespace

void bindPickling(py::module_ &m) {
    py::class_<ASTnode, ASTptr> node(m.attr("ASTnode"));
    node.def("__reduce__", &reduce);
    m.def("_node_from_state", &fromState, py::arg("format"), py::arg("records"), py::arg("attributes"),
          "Rebuilds a pickled node (private: the target of ASTnode.__reduce__).");
}
