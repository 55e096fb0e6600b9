#include <pybind11/pybind11.h>

#include <string>

#include "ast/ASTnode.hpp"
#include "ast/serialize.hpp"
#include "module/bindings.hpp"

namespace py = pybind11;
using namespace vemiral;

namespace {

// A node pickles as _node_from_state(format, records), the records being the
// flat encoding of its whole subtree (serialize.hpp), so pickling and copying
// never recurse through Python whatever the depth. A reduce rather than
// __getstate__ with pybind11's __setstate__: unpickling never holds an
// instance made by __new__ alone, on which any method would read a node that
// was never built.
//
// The instance __dict__ of an ASTbin or ASTun, when not empty, is the reduce's
// state, applied by __setstate__ once the node exists: pickle and deepcopy
// have registered the new node by then, so an attribute that refers back to
// the node itself comes back as the copy.
constexpr int kStateFormat = 1;

py::tuple reduce(const py::object &self) {
    const ASTnode &node = *self.cast<ASTptr>();
    const py::object rebuild = py::module_::import("vemiral").attr("_node_from_state");
    const py::tuple arguments = py::make_tuple(kStateFormat, py::bytes(encodeTree(node)));
    const py::object own = py::getattr(self, "__dict__", py::none());
    if (py::isinstance<py::dict>(own) && !py::reinterpret_borrow<py::dict>(own).empty())
        return py::make_tuple(rebuild, arguments, own);
    return py::make_tuple(rebuild, arguments);
}

py::object fromState(const py::object &format, const py::object &records) {
    const std::string where = "_node_from_state: ";
    if (!PyLong_CheckExact(format.ptr()))
        throw py::type_error(where + "format must be an int");
    if (!format.equal(py::int_(kStateFormat)))
        throw py::value_error(where + "unknown state format " + std::string(py::str(format)) + " (this module reads format " +
                              std::to_string(kStateFormat) + ")");
    if (!PyBytes_Check(records.ptr()))
        throw py::type_error(where + "records must be bytes");
    char *data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(records.ptr(), &data, &size) != 0)
        throw py::error_already_set();
    return py::cast(decodeTree(data, static_cast<size_t>(size)));
}

// Checked whole before anything is set, so a refused state changes nothing.
void setAttributes(const py::object &self, const py::object &state) {
    const std::string where = "__setstate__: ";
    if (!PyDict_Check(state.ptr()))
        throw py::type_error(where + "the state of a node is a dict of attributes, not " +
                             std::string(py::str(py::type::handle_of(state).attr("__name__"))));
    const auto attributes = py::reinterpret_borrow<py::dict>(state);
    for (const auto &item : attributes)
        if (!PyUnicode_Check(item.first.ptr()))
            throw py::type_error(where + "attribute names must be str");
    if (attributes.empty())
        return;
    const py::object own = py::getattr(self, "__dict__", py::none());
    if (!py::isinstance<py::dict>(own))
        throw py::value_error(where + std::string(py::str(py::type::handle_of(self).attr("__name__"))) +
                              " nodes carry no attributes");
    if (PyDict_Update(own.ptr(), attributes.ptr()) != 0)
        throw py::error_already_set();
}

} // namespace

void bindPickling(py::module_ &m) {
    py::class_<ASTnode, ASTptr> node(m.attr("ASTnode"));
    node.def("__reduce__", &reduce);
    // Bound under another name: pybind11 runs a method it registers as
    // __setstate__ as a constructor, and skips it on a node that exists.
    node.attr("__setstate__") =
        py::cpp_function(&setAttributes, py::name("_set_attributes"), py::is_method(node), py::arg("state"));
    m.def("_node_from_state", &fromState, py::arg("format"), py::arg("records"),
          "Rebuilds a pickled node (private: the target of ASTnode.__reduce__).");
}
