#include <pybind11/pybind11.h>

#include <cmath>
#include <limits>
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
// Comparisons bind most loosely, then | and & (as Python reads them).
enum Strength { COMPARISON = 1, OR = 2, AND = 3, SUM = 4, PRODUCT = 5, SIGN = 6, POWER = 7, ATOM = 8 };

// The infix form of a function node, if it has one.
struct Infix {
    const char *symbol;
    Strength strength;
};

const Infix *infixOf(int32_t op) {
    static const Infix less{" < ", COMPARISON}, lessEqual{" <= ", COMPARISON}, greater{" > ", COMPARISON},
        greaterEqual{" >= ", COMPARISON}, equal{" == ", COMPARISON}, notEqual{" != ", COMPARISON}, both{" & ", AND},
        either{" | ", OR}, mod{" % ", PRODUCT}, invert{"~", SIGN};
    switch (op) {
    case LESS: return &less;
    case LESS_EQUAL: return &lessEqual;
    case GREATER: return &greater;
    case GREATER_EQUAL: return &greaterEqual;
    case EQUAL: return &equal;
    case NOT_EQUAL: return &notEqual;
    case LOGICAL_AND: return &both;
    case LOGICAL_OR: return &either;
    case MOD: return &mod;
    case LOGICAL_NOT: return &invert;
    default: return nullptr;
    }
}

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
    if (auto f = dynamic_cast<const ASTfun *>(&node))
        if (const Infix *infix = infixOf(f->op))
            return infix->strength;
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
        } else if (auto f = dynamic_cast<const ASTfun *>(&node)) {
            writeFunction(*f);
        }
    }

    void writeFunction(const ASTfun &f) {
        const Infix *infix = infixOf(f.op);
        if (!infix) {
            put(std::string(kFunctions[f.op].name) + "(");
            const char *separator = "";
            for (const ASTptr &a : f.arguments()) {
                put(separator);
                write(*a);
                separator = ", ";
            }
            put(")");
        } else if (f.op == LOGICAL_NOT) {
            put(infix->symbol);
            operand(*f.left, strength(*f.left) <= SIGN);
        } else {
            // A comparison's operands are never comparisons themselves:
            // Python would read a < b < c as a chain.
            const Strength own = infix->strength, l = strength(*f.left), r = strength(*f.right);
            operand(*f.left, own == COMPARISON ? l <= own : l < own);
            put(infix->symbol);
            operand(*f.right, r <= own);
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

ASTptr functionNode(ft op, std::vector<ASTptr> arguments) {
    return std::make_shared<ASTfun>(op, std::move(arguments));
}

// A function node from operator arguments; NotImplemented for operands that
// are neither nodes nor real numbers.
py::object functionOperator(ft op, std::initializer_list<py::handle> operands) {
    std::vector<ASTptr> arguments;
    for (py::handle h : operands) {
        ASTptr node = nodeOf(h);
        if (!node)
            return notImplemented();
        arguments.push_back(std::move(node));
    }
    return py::cast(functionNode(op, std::move(arguments)));
}

// NumPy's and scipy.special's ufuncs by name, as the module's functions that
// build the same operation on nodes.
const std::pair<const char *, const char *> kUfuncs[] = {
    {"add", "_add"}, {"subtract", "_subtract"}, {"multiply", "_multiply"}, {"divide", "_divide"},
    {"true_divide", "_divide"}, {"power", "power"}, {"float_power", "power"}, {"negative", "_negative"},
    {"positive", "_positive"}, {"square", "square"}, {"reciprocal", "_reciprocal"}, {"sqrt", "sqrt"},
    {"exp", "exp"}, {"log", "log"}, {"sin", "sin"}, {"cos", "cos"}, {"tan", "tan"}, {"absolute", "abs"},
    {"fabs", "abs"}, {"sign", "sign"}, {"floor", "floor"}, {"ceil", "ceil"}, {"trunc", "trunc"}, {"rint", "rint"},
    {"cbrt", "cbrt"}, {"exp2", "exp2"}, {"expm1", "expm1"}, {"log2", "log2"}, {"log10", "log10"},
    {"log1p", "log1p"}, {"sinh", "sinh"}, {"cosh", "cosh"}, {"tanh", "tanh"}, {"arcsin", "asin"},
    {"arccos", "acos"}, {"arctan", "atan"}, {"arcsinh", "asinh"}, {"arccosh", "acosh"}, {"arctanh", "atanh"},
    {"arctan2", "atan2"}, {"hypot", "hypot"}, {"minimum", "minimum"}, {"maximum", "maximum"}, {"fmod", "fmod"},
    {"remainder", "mod"}, {"copysign", "copysign"}, {"heaviside", "heaviside"}, {"less", "less"},
    {"less_equal", "less_equal"}, {"greater", "greater"}, {"greater_equal", "greater_equal"}, {"equal", "equal"},
    {"not_equal", "not_equal"}, {"logical_and", "logical_and"}, {"logical_or", "logical_or"},
    {"logical_not", "logical_not"}, {"deg2rad", "deg2rad"}, {"radians", "deg2rad"}, {"rad2deg", "rad2deg"},
    {"degrees", "rad2deg"}, {"logaddexp", "logaddexp"},
    // scipy.special's (jn is jv there): erf, erfc, the gamma and Bessel functions.
    {"erf", "erf"}, {"erfc", "erfc"}, {"gamma", "gamma"}, {"gammaln", "lgamma"}, {"loggamma", "loggamma"},
    {"j0", "j0"}, {"j1", "j1"}, {"y0", "y0"}, {"y1", "y1"}, {"jv", "jn"},
};

py::object arrayUfunc(const py::object &, const py::object &ufunc, const std::string &method, const py::args &inputs,
                      const py::kwargs &kwargs) {
    const std::string name = py::str(py::getattr(ufunc, "__name__", py::str("?")));
    if (method != "__call__")
        throw py::type_error("NumPy's " + name + "." + method + " does not apply to expression nodes");
    if (!kwargs.empty())
        throw py::type_error("NumPy's " + name + " on expression nodes takes no keyword arguments, got '" +
                             std::string(py::str(kwargs.begin()->first)) + "'");
    for (const auto &[ufuncName, function] : kUfuncs)
        if (name == ufuncName)
            return py::module_::import("vemiral").attr(function)(*inputs);
    throw py::type_error("NumPy's ufunc '" + name + "' has no counterpart on expression nodes");
}

// The argument at `index` or named `name` (NumPy has checked the call against
// the function's signature); null if not given.
py::object argumentOf(const py::tuple &args, const py::dict &kwargs, size_t index, const char *name) {
    if (index < args.size())
        return args[index];
    if (kwargs.contains(name))
        return kwargs[name];
    return py::object();
}

std::vector<ASTptr> operandsOf(const py::object &items, const char *function) {
    std::vector<ASTptr> nodes;
    for (py::handle item : py::list(items))
        nodes.push_back(requireOperand(Operand{py::reinterpret_borrow<py::object>(item)}, function));
    return nodes;
}

// np.select: nested wheres, the first condition that holds choosing.
ASTptr select(const py::tuple &args, const py::dict &kwargs) {
    const std::vector<ASTptr> conditions = operandsOf(argumentOf(args, kwargs, 0, "condlist"), "select"),
                              choices = operandsOf(argumentOf(args, kwargs, 1, "choicelist"), "select");
    if (conditions.size() != choices.size())
        throw py::value_error("list of cases must be same length as list of conditions");
    if (conditions.empty())
        throw py::value_error("select with an empty condition list is not possible");
    const py::object fallback = argumentOf(args, kwargs, 2, "default");
    ASTptr value = fallback ? requireOperand(Operand{fallback}, "select") : std::make_shared<ASTnum>(0.0);
    for (size_t i = conditions.size(); i-- > 0;)
        value = functionNode(WHERE, {conditions[i], choices[i], std::move(value)});
    return value;
}

// np.piecewise: as NumPy fills its output, piece by piece, a later condition
// that holds overrides an earlier one; 0 (or the extra function) where none
// holds. A function is called once, on the whole of x.
ASTptr piecewise(const py::tuple &args, const py::dict &kwargs) {
    const py::object x = argumentOf(args, kwargs, 0, "x"), given = argumentOf(args, kwargs, 1, "condlist");
    const py::list functions(argumentOf(args, kwargs, 2, "funclist"));
    // A lone condition, as NumPy takes a lone array.
    const ASTptr lone = nodeOf(given);
    const std::vector<ASTptr> conditions = lone ? std::vector<ASTptr>{lone} : operandsOf(given, "piecewise");
    const size_t n = conditions.size();
    if (functions.size() != n && functions.size() != n + 1)
        throw py::value_error("with " + std::to_string(n) + " condition(s), either " + std::to_string(n) + " or " +
                              std::to_string(n + 1) + " functions are expected");
    py::tuple extra(args.size() > 3 ? args.size() - 3 : 0);
    for (size_t i = 0; i < extra.size(); ++i)
        extra[i] = args[i + 3];
    py::dict keywords;
    for (const auto &[key, value] : kwargs) {
        const std::string word = py::str(key);
        if (word != "x" && word != "condlist" && word != "funclist")
            keywords[key] = value;
    }
    auto valueOf = [&](py::handle function) {
        py::object value = PyCallable_Check(function.ptr()) ? function(x, *extra, **keywords)
                                                              : py::reinterpret_borrow<py::object>(function);
        return requireOperand(Operand{value}, "piecewise");
    };
    ASTptr value = functions.size() > n ? valueOf(functions[n]) : std::make_shared<ASTnum>(0.0);
    for (size_t i = 0; i < n; ++i)
        value = functionNode(WHERE, {conditions[i], valueOf(functions[i]), std::move(value)});
    return value;
}

// np.where, np.clip, np.round (np.around), np.sinc, np.select and
// np.piecewise on nodes; NumPy raises TypeError for the rest.
py::object arrayFunction(const py::object &, const py::object &function, const py::object &, const py::tuple &args,
                         const py::dict &kwargs) {
    const std::string name = py::str(py::getattr(function, "__name__", py::str("?")));
    const py::module_ vm = py::module_::import("vemiral");
    if ((name == "where" || name == "clip") && kwargs.empty())
        return vm.attr(name.c_str())(*args);
    if ((name == "round" || name == "around") && kwargs.empty() && args.size() == 1)
        return vm.attr("rint")(args[0]);
    if (name == "sinc" && kwargs.empty() && args.size() == 1)
        return vm.attr("sinc")(args[0]);
    if (name == "select")
        return py::cast(select(args, kwargs));
    if (name == "piecewise")
        return py::cast(piecewise(args, kwargs));
    return notImplemented();
}

// Whose function a function node computes, for its docstring.
std::string whoseFunction(ft op) {
    switch (op) {
    case GAMMA: case J0: case J1: case Y0: case Y1: return std::string("SciPy's ") + kFunctions[op].name;
    case LGAMMA: return "SciPy's gammaln";
    case JN: return "SciPy's jv (an integer order n; NaN at any other)";
    default: return std::string("NumPy's ") + kFunctions[op].name;
    }
}

// jn's order: a node, or a number that is an integer. SciPy's jv takes other
// orders too, which jn does not compute: a number that says so is refused
// here rather than evaluated to NaN at every point.
ASTptr integerOrder(const Operand &n) {
    ASTptr order = requireOperand(n, "jn");
    const auto *number = dynamic_cast<const ASTnum *>(order.get());
    if (number && !(std::isfinite(number->value) && std::trunc(number->value) == number->value))
        throw py::value_error("jn() takes an integer order n, not " +
                              std::string(py::str(py::float_(number->value))) +
                              " (SciPy's jv of other orders has no counterpart)");
    return order;
}

// The functions of function nodes, their aliases, and the NumPy helpers.
void bindFunctions(py::module_ &m) {
    const ASTptr x = std::make_shared<ASTbin>(SUB, std::make_shared<ASTvar>(0, 0.0, 0.5), std::make_shared<ASTnum>(1.0));
    const ASTptr two = std::make_shared<ASTnum>(2.0);
    for (int32_t op = 0; op < FUNCTION_COUNT; ++op) {
        const ft code = static_cast<ft>(op);
        const FunctionInfo &f = kFunctions[op];
        std::string upper = f.name;
        for (char &c : upper)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        std::vector<ASTptr> example{x};
        if (f.arguments > 1)
            example.push_back(two);
        if (f.arguments > 2)
            example.push_back(std::make_shared<ASTnum>(0.0));
        static const char *const argumentNames[] = {"x, 2", "x, 2, 0"};
        std::string args = f.arguments == 1 ? "x" : argumentNames[f.arguments - 2];
        if (code == JN) {
            std::swap(example[0], example[1]);
            args = "2, x";
        }
        std::string doc = docstrings::function;
        for (const auto &[key, value] :
             {std::pair<std::string, std::string>{"{whose}", whoseFunction(code)},
              {"{name}", f.name},
              {"{args}", args},
              {"{op}", upper},
              {"{repr}", Formula().text(*functionNode(code, example))}})
            for (size_t at = doc.find(key); at != std::string::npos; at = doc.find(key, at + value.size()))
                doc.replace(at, key.size(), value);
        const char *name = f.name;
        if (code == JN)
            m.def(
                name,
                [](const Operand &n, const Operand &a) {
                    return functionNode(JN, {integerOrder(n), requireOperand(a, "jn")});
                },
                doc.c_str(), py::arg("n"), py::arg("x"));
        else if (f.arguments == 1)
            m.def(
                name,
                [code, name](const Operand &a) { return functionNode(code, {requireOperand(a, name)}); },
                doc.c_str(), py::arg("x"));
        else if (f.arguments == 2)
            m.def(
                name,
                [code, name](const Operand &a, const Operand &b) {
                    return functionNode(code, {requireOperand(a, name), requireOperand(b, name)});
                },
                doc.c_str(), py::arg("x1"), py::arg("x2"));
        else
            m.def(
                name,
                [code, name](const Operand &c, const Operand &a, const Operand &b) {
                    return functionNode(code, {requireOperand(c, name), requireOperand(a, name),
                                               requireOperand(b, name)});
                },
                doc.c_str(), py::arg("condition"), py::arg("x"), py::arg("y"));
    }
    // The names NumPy and people also use.
    for (const auto &[alias, name] : {std::pair{"absolute", "abs"}, std::pair{"arcsin", "asin"},
                                      std::pair{"arccos", "acos"}, std::pair{"arctan", "atan"},
                                      std::pair{"arctan2", "atan2"}, std::pair{"arcsinh", "asinh"},
                                      std::pair{"arccosh", "acosh"}, std::pair{"arctanh", "atanh"},
                                      std::pair{"round", "rint"}, std::pair{"remainder", "mod"},
                                      std::pair{"gammaln", "lgamma"}})
        m.attr(alias) = m.attr(name);

    auto binaryOf = [](bt op, const char *function) {
        return [op, function](const Operand &a, const Operand &b) -> ASTptr {
            return std::make_shared<ASTbin>(op, requireOperand(a, function), requireOperand(b, function));
        };
    };
    m.def("power", binaryOf(POW, "power"), docstrings::power, py::arg("x1"), py::arg("x2"));
    m.attr("pow") = m.attr("power");
    m.def(
        "sqrt",
        [](const Operand &a) -> ASTptr {
            return std::make_shared<ASTbin>(POW, requireOperand(a, "sqrt"), std::make_shared<ASTnum>(0.5));
        },
        docstrings::sqrt, py::arg("x"));
    m.def(
        "clip",
        [](const Operand &a, const Operand &lo, const Operand &hi) {
            return functionNode(MINIMUM, {functionNode(MAXIMUM, {requireOperand(a, "clip"), requireOperand(lo, "clip")}),
                                          requireOperand(hi, "clip")});
        },
        docstrings::clip, py::arg("a"), py::arg("a_min"), py::arg("a_max"));
    // Of existing nodes, so that every way of evaluating takes it; the where
    // picks 1 where the quotient is 0/0.
    m.def(
        "sinc",
        [](const Operand &a) -> ASTptr {
            ASTptr x = requireOperand(a, "sinc");
            ASTptr y = std::make_shared<ASTbin>(MUL, std::make_shared<ASTnum>(M_PI), x);
            return functionNode(WHERE, {functionNode(EQUAL, {x, std::make_shared<ASTnum>(0.0)}),
                                        std::make_shared<ASTnum>(1.0),
                                        std::make_shared<ASTbin>(DIV, std::make_shared<ASTun>(SIN, y), y)});
        },
        docstrings::sinc, py::arg("x"));
    // Of existing nodes, as NumPy computes them: x*x, and x times the ratio
    // rounded once (NumPy's deg2rad multiplies by pi/180, not by pi then /180).
    m.def(
        "square",
        [](const Operand &a) -> ASTptr {
            return std::make_shared<ASTbin>(POW, requireOperand(a, "square"), std::make_shared<ASTnum>(2.0));
        },
        docstrings::square, py::arg("x"));
    m.def(
        "deg2rad",
        [](const Operand &a) -> ASTptr {
            return std::make_shared<ASTbin>(MUL, requireOperand(a, "deg2rad"), std::make_shared<ASTnum>(M_PI / 180.0));
        },
        docstrings::deg2rad, py::arg("x"));
    m.def(
        "rad2deg",
        [](const Operand &a) -> ASTptr {
            return std::make_shared<ASTbin>(MUL, requireOperand(a, "rad2deg"), std::make_shared<ASTnum>(180.0 / M_PI));
        },
        docstrings::rad2deg, py::arg("x"));
    m.attr("radians") = m.attr("deg2rad");
    m.attr("degrees") = m.attr("rad2deg");
    // SciPy's loggamma of a real x: log(gamma(x)) where real, NaN below 0
    // (where it is complex), so -0 and -inf follow gammaln and SciPy.
    m.def(
        "loggamma",
        [](const Operand &a) -> ASTptr {
            ASTptr x = requireOperand(a, "loggamma");
            return functionNode(WHERE, {functionNode(LESS, {x, std::make_shared<ASTnum>(0.0)}),
                                        std::make_shared<ASTnum>(std::numeric_limits<double>::quiet_NaN()),
                                        functionNode(LGAMMA, {x})});
        },
        docstrings::loggamma, py::arg("x"));

    // NumPy's arithmetic ufuncs, for __array_ufunc__ (private: the
    // operators say the same).
    m.def("_add", binaryOf(ADD, "add"));
    m.def("_subtract", binaryOf(SUB, "subtract"));
    m.def("_multiply", binaryOf(MUL, "multiply"));
    m.def("_divide", binaryOf(DIV, "divide"));
    m.def("_negative", [](const Operand &a) -> ASTptr { return std::make_shared<ASTun>(NEG, requireOperand(a, "negative")); });
    m.def("_positive", [](const Operand &a) { return requireOperand(a, "positive"); });
    m.def("_reciprocal", [](const Operand &a) -> ASTptr {
        return std::make_shared<ASTbin>(DIV, std::make_shared<ASTnum>(1.0), requireOperand(a, "reciprocal"));
    });
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
    // NumPy's functions on nodes build nodes (np.exp(node), np.hypot(x, y),
    // np.where(x > 0, x, 0)), so a function written for arrays takes nodes.
    node.def("__array_ufunc__", &arrayUfunc, py::arg("ufunc"), py::arg("method"));
    node.def("__array_function__", &arrayFunction, py::arg("func"), py::arg("types"), py::arg("args"),
             py::arg("kwargs"));

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
    const auto functionOperators = {std::pair{LESS, "lt"}, std::pair{LESS_EQUAL, "le"}, std::pair{GREATER, "gt"},
                                    std::pair{GREATER_EQUAL, "ge"}};
    for (const auto &[op, name] : functionOperators) {
        const ft code = op;
        node.def(("__" + std::string(name) + "__").c_str(),
                 [code](py::object self, py::object other) { return functionOperator(code, {self, other}); },
                 py::arg("other"));
    }
    const auto reflected = {std::pair{MOD, "mod"}, std::pair{LOGICAL_AND, "and"}, std::pair{LOGICAL_OR, "or"}};
    for (const auto &[op, name] : reflected) {
        const ft code = op;
        node.def(("__" + std::string(name) + "__").c_str(),
                 [code](py::object self, py::object other) { return functionOperator(code, {self, other}); },
                 py::arg("other"));
        node.def(("__r" + std::string(name) + "__").c_str(),
                 [code](py::object self, py::object other) { return functionOperator(code, {other, self}); },
                 py::arg("other"));
    }
    // if, and, or, not, max, min and sorted would decide once, in Python, what
    // is to be decided at every point: they are refused rather than answered.
    node.def("__bool__", [](const py::object &) -> bool {
        throw py::type_error("the truth value of an expression node is not defined: use where(c, a, b) for "
                             "if-else, maximum/minimum for max/min, and & | ~ for and, or, not");
    });
    // == and != stay identity comparisons: nodes remain hashable keys.
    node.def("__invert__", [](const ASTptr &self) { return functionNode(LOGICAL_NOT, {self}); })
        .def("__abs__", [](const ASTptr &self) { return functionNode(ABS, {self}); })
        .def("__floor__", [](const ASTptr &self) { return functionNode(FLOOR, {self}); })
        .def("__ceil__", [](const ASTptr &self) { return functionNode(CEIL, {self}); })
        .def("__trunc__", [](const ASTptr &self) { return functionNode(TRUNC, {self}); })
        .def(
            "__round__",
            [](const ASTptr &self, const py::object &ndigits) {
                if (!ndigits.is_none())
                    throw py::type_error("round() of an expression node takes no number of digits");
                return functionNode(RINT, {self});
            },
            py::arg("ndigits") = py::none());

    node.def("__neg__", [](const ASTptr &self) { return std::make_shared<ASTun>(NEG, self); })
        .def("__pos__", [](py::object self) { return self; })
        .def("__repr__", [](const ASTptr &self) { return Formula().text(*self); });

    py::class_<ASTnum, ASTnode, std::shared_ptr<ASTnum>>(m.attr("ASTnum"))
        .def_property_readonly("value", [](const std::shared_ptr<ASTnum> &n) { return n->value; });
    py::class_<ASTvar, ASTnode, std::shared_ptr<ASTvar>>(m.attr("ASTvar"))
        .def_property_readonly("index", [](const std::shared_ptr<ASTvar> &v) { return v->index; })
        .def_property_readonly("start", [](const std::shared_ptr<ASTvar> &v) { return v->start; })
        .def_property_readonly("step", [](const std::shared_ptr<ASTvar> &v) { return v->step; })
        .def_property_readonly("stop",
                               [](const std::shared_ptr<ASTvar> &v) -> py::object {
                                   return v->last == UINT64_MAX ? py::object(py::none()) : py::float_(v->stop);
                               })
        .def_property_readonly("num", [](const std::shared_ptr<ASTvar> &v) -> py::object {
            return v->last == UINT64_MAX ? py::object(py::none()) : py::int_(v->last + 1);
        });

    const py::object bin = m.attr("ASTbin"), un = m.attr("ASTun");
    addField<ASTbin>(bin, "op", [](const std::shared_ptr<ASTbin> &b) { return py::cast(static_cast<bt>(b->op)); });
    addField<ASTbin>(bin, "left", [](const std::shared_ptr<ASTbin> &b) { return py::cast(b->left); });
    addField<ASTbin>(bin, "right", [](const std::shared_ptr<ASTbin> &b) { return py::cast(b->right); });
    addField<ASTun>(un, "op", [](const std::shared_ptr<ASTun> &u) { return py::cast(static_cast<ut>(u->op)); });
    addField<ASTun>(un, "child", [](const std::shared_ptr<ASTun> &u) { return py::cast(u->left); });
    const py::object fun = m.attr("ASTfun");
    addField<ASTfun>(fun, "op", [](const std::shared_ptr<ASTfun> &f) { return py::cast(static_cast<ft>(f->op)); });
    addField<ASTfun>(fun, "arguments", [](const std::shared_ptr<ASTfun> &f) {
        const std::vector<ASTptr> arguments = f->arguments();
        py::tuple items(arguments.size());
        for (size_t i = 0; i < arguments.size(); ++i)
            items[i] = py::cast(arguments[i]);
        return py::object(std::move(items));
    });

    struct Function {
        ut op;
        const char *name, *opName, *what;
    };
    const Function functions[] = {{SIN, "sin", "SIN", "sine"},           {COS, "cos", "COS", "cosine"},
                                  {TAN, "tan", "TAN", "tangent"},        {COT, "cot", "COT", "cotangent"},
                                  {EXP, "exp", "EXP", "exponential"},    {LN, "ln", "LN", "natural logarithm"}};
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

    m.def(
        "log",
        [](const Operand &x, const py::object &base) -> ASTptr {
            ASTptr ln = unaryNode(LN, x, "log");
            if (base.is_none())
                return ln;
            return std::make_shared<ASTbin>(DIV, std::move(ln),
                                            std::make_shared<ASTun>(LN, requireOperand(Operand{base}, "log")));
        },
        docstrings::log, py::arg("x"), py::arg("base") = py::none());

    bindFunctions(m);
}
