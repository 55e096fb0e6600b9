#include <pybind11/pybind11.h>

#include <cmath>
#include <memory>
#include <string>

#include "ast/ASTnode.hpp"
#include "module/bindings.hpp"
#include "module/docstrings.hpp"

namespace py = pybind11;
using namespace vemiral;

namespace {

// An argument that may be a node or a real number; the functions check it
// themselves so that the signature reads as what they accept.
struct Operand {
    py::object value;
};

} // namespace

namespace pybind11::detail {
template <> struct type_caster<Operand> {
    PYBIND11_TYPE_CASTER(Operand, const_name("ASTnode | float"));
    bool load(handle src, bool) {
        value.value = reinterpret_borrow<object>(src);
        return true;
    }
};
} // namespace pybind11::detail

namespace {

// A node as it is, a real number as a new ASTnum; null for anything else, so
// that an operator can answer NotImplemented and let Python try the other side.
ASTptr nodeOf(py::handle value) {
    if (py::isinstance<ASTnode>(value))
        return value.cast<ASTptr>();
    // numbers.Real covers int, float, bool, Fraction and NumPy's real scalars.
    if (!PyFloat_Check(value.ptr()) && !PyLong_Check(value.ptr()) &&
        !py::isinstance(value, py::module_::import("numbers").attr("Real")))
        return nullptr;
    const double number = PyFloat_AsDouble(value.ptr());
    if (number == -1.0 && PyErr_Occurred())
        throw py::error_already_set(); // an int too large for a double: OverflowError
    return std::make_shared<ASTnum>(number);
}

ASTptr requireOperand(const Operand &operand, const char *function) {
    ASTptr node = nodeOf(operand.value);
    if (!node)
        throw py::type_error(std::string(function) + "() takes an expression node or a real number, not " +
                             std::string(py::str(py::type::handle_of(operand.value).attr("__name__"))));
    return node;
}

py::object notImplemented() { return py::reinterpret_borrow<py::object>(Py_NotImplemented); }

py::object binary(bt op, py::handle left, py::handle right) {
    ASTptr l = nodeOf(left), r = nodeOf(right);
    if (!l || !r)
        return notImplemented();
    return py::cast(std::make_shared<ASTbin>(op, std::move(l), std::move(r)));
}

// --- repr --------------------------------------------------------------------

// A tree shared many times over reads exponentially longer than it is deep;
// the text stops here.
constexpr size_t kReprLimit = size_t{1} << 20;

// Binding strength as Python reads the text: the repr parses back to a tree
// of the same shape, so operands of equal strength keep their parentheses.
enum Strength { SUM = 1, PRODUCT = 2, SIGN = 3, POWER = 4, ATOM = 5 };

const char *unaryName(int32_t op) {
    static const char *const names[] = {"-", "fac", "exp", "ln", "sin", "cos", "tan", "cot"};
    return op >= NEG && op <= COT ? names[op] : nullptr;
}

Strength strength(const ASTnode &node) {
    if (auto b = dynamic_cast<const ASTbin *>(&node)) {
        switch (b->op) {
        case ADD:
        case SUB:
            return SUM;
        case MUL:
        case DIV:
            return PRODUCT;
        case POW:
            return POWER;
        default:
            return ATOM;
        }
    }
    if (auto u = dynamic_cast<const ASTun *>(&node))
        return u->op == NEG ? SIGN : ATOM;
    if (auto n = dynamic_cast<const ASTnum *>(&node))
        return std::signbit(n->value) && !std::isnan(n->value) ? SIGN : ATOM;
    return ATOM;
}

class Formula {
public:
    std::string text(const ASTnode &root) {
        write(root);
        if (out_.size() > kReprLimit)
            out_ += "...";
        return std::move(out_);
    }

private:
    std::string out_;

    // Past the limit nothing more is written, not even the closing brackets
    // of the levels still being unwound.
    void put(const std::string &text) {
        if (out_.size() <= kReprLimit)
            out_ += text;
    }

    // Recurses once per level, like printing; trees are at most kMaxTreeDepth deep.
    void write(const ASTnode &node) {
        if (out_.size() > kReprLimit)
            return;
        if (auto n = dynamic_cast<const ASTnum *>(&node)) {
            // Python's own shortest round-trip form: 2.5, 1e-07, inf, nan.
            char *digits = PyOS_double_to_string(n->value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
            if (!digits)
                throw py::error_already_set();
            put(digits);
            PyMem_Free(digits);
        } else if (auto v = dynamic_cast<const ASTvar *>(&node)) {
            put("x" + std::to_string(v->index));
        } else if (auto b = dynamic_cast<const ASTbin *>(&node)) {
            writeBinary(*b);
        } else if (auto u = dynamic_cast<const ASTun *>(&node)) {
            const char *name = unaryName(u->op);
            if (u->op == NEG) {
                put("-");
                operand(*u->left, strength(*u->left) <= SIGN);
            } else {
                put(name ? std::string(name) : utName(u->op));
                operand(*u->left, true);
            }
        }
    }

    void writeBinary(const ASTbin &b) {
        static const char *const symbols[] = {" + ", " - ", "*", "/", "**"};
        if (b.op < ADD || b.op > POW) {
            put(btName(b.op) + "(");
            write(*b.left);
            put(", ");
            write(*b.right);
            put(")");
            return;
        }
        const Strength own = strength(b), l = strength(*b.left), r = strength(*b.right);
        if (b.op == POW) {
            // Right-associative, and its exponent may carry a sign: 2**-x0.
            operand(*b.left, l <= POWER);
            put(symbols[b.op]);
            operand(*b.right, r < SIGN);
        } else {
            operand(*b.left, l < own);
            put(symbols[b.op]);
            operand(*b.right, r <= own);
        }
    }

    void operand(const ASTnode &node, bool parenthesised) {
        if (parenthesised)
            put("(");
        write(node);
        if (parenthesised)
            put(")");
    }
};

// --- read-only fields ----------------------------------------------------------

// A class attribute that reads a field of the node. ASTbin and ASTun take
// attributes of their own (they have an instance dictionary), so this is a
// non-data descriptor: an attribute a user sets under the same name is kept
// in the instance as before, and no assignment ever changes the tree.
struct NodeField {
    py::object getter;
};

template <typename Node, typename Get> void addField(py::handle cls, const char *name, Get get) {
    NodeField field{py::cpp_function([get](const std::shared_ptr<Node> &node) { return get(node); })};
    py::setattr(cls, name, py::cast(std::move(field)));
}

ASTptr unaryNode(ut op, const Operand &operand, const char *function) {
    return std::make_shared<ASTun>(op, requireOperand(operand, function));
}

} // namespace

void bindExpressionSyntax(py::module_ &m) {
    py::class_<NodeField>(m, "_NodeField")
        .def(
            "__get__",
            [](py::object self, py::object instance, py::object) -> py::object {
                if (instance.is_none())
                    return self;
                return self.cast<const NodeField &>().getter(instance);
            },
            py::arg("instance"), py::arg("owner") = py::none());

    py::class_<ASTnode, ASTptr> node(m.attr("ASTnode"));
    // NumPy scalars on the left defer to the node's reflected operators
    // instead of wrapping the node in an object array.
    node.attr("__array_ufunc__") = py::none();

    const auto binaries = {std::pair{ADD, "add"}, std::pair{SUB, "sub"}, std::pair{MUL, "mul"},
                           std::pair{DIV, "truediv"}, std::pair{POW, "pow"}};
    for (const auto &[op, name] : binaries) {
        const bt code = op;
        node.def(("__" + std::string(name) + "__").c_str(),
                 [code](py::object self, py::object other) { return binary(code, self, other); },
                 py::arg("other"));
        node.def(("__r" + std::string(name) + "__").c_str(),
                 [code](py::object self, py::object other) { return binary(code, other, self); },
                 py::arg("other"));
    }
    node.def("__neg__", [](const ASTptr &self) { return std::make_shared<ASTun>(NEG, self); })
        .def("__pos__", [](py::object self) { return self; })
        .def("__repr__", [](const ASTptr &self) { return Formula().text(*self); });

    py::class_<ASTnum, ASTnode, std::shared_ptr<ASTnum>>(m.attr("ASTnum"))
        .def_property_readonly("value", [](const std::shared_ptr<ASTnum> &n) { return n->value; });
    py::class_<ASTvar, ASTnode, std::shared_ptr<ASTvar>>(m.attr("ASTvar"))
        .def_property_readonly("index", [](const std::shared_ptr<ASTvar> &v) { return v->index; })
        .def_property_readonly("start", [](const std::shared_ptr<ASTvar> &v) { return v->start; })
        .def_property_readonly("step", [](const std::shared_ptr<ASTvar> &v) { return v->step; });

    const py::object bin = m.attr("ASTbin"), un = m.attr("ASTun");
    addField<ASTbin>(bin, "op", [](const std::shared_ptr<ASTbin> &b) { return py::cast(static_cast<bt>(b->op)); });
    addField<ASTbin>(bin, "left", [](const std::shared_ptr<ASTbin> &b) { return py::cast(b->left); });
    addField<ASTbin>(bin, "right", [](const std::shared_ptr<ASTbin> &b) { return py::cast(b->right); });
    addField<ASTun>(un, "op", [](const std::shared_ptr<ASTun> &u) { return py::cast(static_cast<ut>(u->op)); });
    addField<ASTun>(un, "child", [](const std::shared_ptr<ASTun> &u) { return py::cast(u->left); });

    struct Function {
        ut op;
        const char *name, *opName, *what;
    };
    const Function functions[] = {{SIN, "sin", "SIN", "sine"},           {COS, "cos", "COS", "cosine"},
                                  {TAN, "tan", "TAN", "tangent"},        {COT, "cot", "COT", "cotangent"},
                                  {EXP, "exp", "EXP", "exponential"},    {LN, "ln", "LN", "natural logarithm"},
                                  {LN, "log", "LN", "natural logarithm"}};
    for (const Function &f : functions) {
        const ut code = f.op;
        const char *function = f.name;
        // The example's output is the node's own repr: ln prints for log too.
        const std::string shown = std::string(f.op == LN ? "ln" : f.name) + "(x0 + 1.0)";
        std::string doc = docstrings::unary;
        for (const auto &[key, value] : {std::pair<std::string, std::string>{"{what}", f.what},
                                         {"{op}", f.opName}, {"{name}", f.name}, {"{repr}", shown}})
            for (size_t at = doc.find(key); at != std::string::npos; at = doc.find(key, at + value.size()))
                doc.replace(at, key.size(), value);
        // pybind11 copies the docstring.
        m.def(
            function, [code, function](const Operand &x) { return unaryNode(code, x, function); }, doc.c_str(),
            py::arg("x"));
    }
}
