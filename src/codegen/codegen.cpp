#include "codegen/codegen.hpp"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <vector>

#include "ast/ASTnode.hpp"

namespace vemiral {

namespace {

bool readsBackAs(std::string_view text, double value) {
    double back = 0.0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), back);
    return ec == std::errc() && end == text.data() + text.size() &&
           std::bit_cast<uint64_t>(back) == std::bit_cast<uint64_t>(value);
}

// Functions with the C library's IEEE results where Python's math module
// raises instead (domain errors, overflow). Each is emitted only when the
// program calls it.
struct Helper {
    const char *call;
    const char *definition;
};

constexpr std::array<Helper, 24> kHelpers{{
    {"_pow(", "def _pow(x, y):\n"
              "    try:\n"
              "        return math.pow(x, y)\n"
              "    except ValueError:\n"
              "        if x == 0.0:\n"
              "            odd = math.fmod(y, 2.0) in (1.0, -1.0)\n"
              "            return math.copysign(math.inf, x) if odd else math.inf\n"
              "        return math.nan\n"
              "    except OverflowError:\n"
              "        odd = math.fmod(y, 2.0) in (1.0, -1.0)\n"
              "        return -math.inf if x < 0.0 and odd else math.inf\n"},
    {"_exp(", "def _exp(x):\n"
              "    try:\n"
              "        return math.exp(x)\n"
              "    except OverflowError:\n"
              "        return math.inf\n"},
    {"_log(", "def _log(x):\n"
              "    try:\n"
              "        return math.log(x)\n"
              "    except ValueError:\n"
              "        return -math.inf if x == 0.0 else math.nan\n"},
    {"_sin(", "def _sin(x):\n"
              "    try:\n"
              "        return math.sin(x)\n"
              "    except ValueError:\n"
              "        return math.nan\n"},
    {"_cos(", "def _cos(x):\n"
              "    try:\n"
              "        return math.cos(x)\n"
              "    except ValueError:\n"
              "        return math.nan\n"},
    // Rounding keeps the argument's sign, as the C functions do (-0.0 for
    // ceil(-0.5)); Python's round() is half-to-even like rint.
    {"_floor(", "def _floor(x):\n"
                "    return math.copysign(float(math.floor(x)), x) if math.isfinite(x) else x\n"},
    {"_ceil(", "def _ceil(x):\n"
               "    return math.copysign(float(math.ceil(x)), x) if math.isfinite(x) else x\n"},
    {"_trunc(", "def _trunc(x):\n"
                "    return math.copysign(float(math.trunc(x)), x) if math.isfinite(x) else x\n"},
    {"_rint(", "def _rint(x):\n"
               "    return math.copysign(float(round(x)), x) if math.isfinite(x) else x\n"},
    {"_sign(", "def _sign(x):\n"
               "    return 1.0 if x > 0.0 else -1.0 if x < 0.0 else 0.0 if x == 0.0 else x\n"},
    {"_expm1(", "def _expm1(x):\n"
                "    try:\n"
                "        return math.expm1(x)\n"
                "    except OverflowError:\n"
                "        return math.inf\n"},
    // A logarithm's pole gives -inf, below its domain NaN.
    {"_logof(", "def _logof(f, pole, x):\n"
                "    try:\n"
                "        return f(x)\n"
                "    except ValueError:\n"
                "        return -math.inf if x == pole else math.nan\n"},
    {"_hyperbolic(", "def _hyperbolic(f, x):\n"
                     "    try:\n"
                     "        return f(x)\n"
                     "    except OverflowError:\n"
                     "        return math.copysign(math.inf, x) if f is math.sinh else math.inf\n"},
    {"_domain(", "def _domain(f, *x):\n"
                 "    try:\n"
                 "        return f(*x)\n"
                 "    except ValueError:\n"
                 "        return math.nan\n"},
    {"_atanh(", "def _atanh(x):\n"
                "    try:\n"
                "        return math.atanh(x)\n"
                "    except ValueError:\n"
                "        return math.copysign(math.inf, x) if abs(x) == 1.0 else math.nan\n"},
    {"_minimum(", "def _minimum(x, y):\n"
                  "    return x if x < y or x != x else y\n"},
    {"_maximum(", "def _maximum(x, y):\n"
                  "    return x if x > y or x != x else y\n"},
    {"_mod(", "def _mod(x, y):\n"
              "    try:\n"
              "        m = math.fmod(x, y)\n"
              "    except ValueError:\n"
              "        return math.nan\n"
              "    if m != 0.0:\n"
              "        return m + y if (y < 0.0) != (m < 0.0) else m\n"
              "    return math.copysign(0.0, y)\n"},
    {"_heaviside(", "def _heaviside(x, h):\n"
                    "    return 0.0 if x < 0.0 else 1.0 if x > 0.0 else h if x == 0.0 else x\n"},
    // CRexpr::apply's special functions, step for step.
    {"_lgamma(", "def _lgamma(x):\n"
                 "    return -math.inf if x == -math.inf else _libm('lgamma', x)\n"},
    {"_bessel(", "def _bessel(name, x):\n"
                 "    return math.nan if math.isinf(x) else _libm(name, x)\n"},
    {"_jn(", "def _jn(n, x):\n"
             "    if not (math.isfinite(n) and math.isfinite(x)) or math.trunc(n) != n:\n"
             "        return math.nan\n"
             "    order = abs(n)\n"
             "    if order > 1000.0 and abs(x) < order / 4.0:\n"
             "        odd = math.fmod(order, 2.0) != 0.0\n"
             "        return -0.0 if odd and (n < 0.0) != (math.copysign(1.0, x) < 0.0) else 0.0\n"
             "    if order > 2147483647.0:\n"
             "        return math.nan\n"
             "    return _libm('jn', int(n), x)\n"},
    {"_logaddexp(", "def _logaddexp(x, y):\n"
                    "    if x == y:\n"
                    "        return x + 0.6931471805599453\n"
                    "    d = x - y\n"
                    "    if d > 0.0:\n"
                    "        return x + math.log1p(math.exp(-d))\n"
                    "    if d <= 0.0:\n"
                    "        return y + math.log1p(math.exp(d))\n"
                    "    return d\n"},
    // The C library's functions by name, loaded on first use (last: the
    // helpers above call it).
    {"_libm(", "def _libm(name, *x):\n"
               "    if not _c_functions:\n"
               "        import ctypes, ctypes.util\n"
               "        c = ctypes.CDLL(ctypes.util.find_library('m') or 'libm.so.6')\n"
               "        d, i = ctypes.c_double, ctypes.c_int\n"
               "        for f, args in (('hypot', (d, d)), ('tgamma', (d,)), ('j0', (d,)), ('j1', (d,)), ('y0', (d,)),\n"
               "                        ('y1', (d,)), ('jn', (i, d)), ('lgamma_r', (d, ctypes.POINTER(i)))):\n"
               "            function = _c_functions[f] = getattr(c, f)\n"
               "            function.restype, function.argtypes = d, args\n"
               "        sign = ctypes.c_int()\n"
               "        _c_functions['lgamma'] = lambda v: c.lgamma_r(v, ctypes.byref(sign))\n"
               "    return _c_functions[name](*x)\n\n"
               "_c_functions = {}\n"},
}};

// A helper that others call comes after them, so one pass over the program
// and the helpers taken so far finds it.
std::string helpersFor(const std::string &program) {
    std::string text;
    for (const Helper &h : kHelpers)
        if (program.find(h.call) != std::string::npos || text.find(h.call) != std::string::npos)
            text += std::string(h.definition) + "\n";
    return text.empty() && program.find("math.") == std::string::npos ? text : "import math\n\n" + text;
}

// Names of all value arrays of the tree, in id order.
void collectArrays(const CRobj &chain, std::vector<std::string> &names) {
    if (chain.length > 0)
        names.push_back(chain.arrayName());
    for (const auto &op : chain.operands)
        if (!op->isnumber())
            collectArrays(*op, names);
}

std::string blanks(size_t levels) { return std::string(4 * levels, ' '); }

} // namespace

std::string pyNumber(double value) {
    if (std::isnan(value))
        return "float('nan')";
    if (std::isinf(value))
        return value > 0 ? "float('inf')" : "float('-inf')";
    // "%f" of the largest double has 309 digits before the point.
    std::array<char, 400> buf{};
    auto fixed = std::to_chars(buf.data(), buf.data() + buf.size(), value, std::chars_format::fixed, 6);
    std::string_view text(buf.data(), static_cast<size_t>(fixed.ptr - buf.data()));
    if (fixed.ec == std::errc() && readsBackAs(text, value))
        return std::string(text);
    auto shortest = std::to_chars(buf.data(), buf.data() + buf.size(), value);
    return std::string(buf.data(), shortest.ptr);
}

std::string CRobj::arrayName() const { return name + std::to_string(id); }

std::string CRobj::valueCode() const { return arrayName() + "[" + std::to_string(valuePosition()) + "]"; }

std::string operandsCode(const CRobj &chain, int64_t dim, const std::string &indent) {
    std::string text;
    for (uint64_t i = 0; i < chain.length; ++i)
        if (!chain.operands[i]->isnumber())
            text += chain.operands[i]->genCode(static_cast<uint64_t>(chain.id), dim, static_cast<int64_t>(i), indent);
    return text;
}

std::string writeBack(const CRobj &chain, uint64_t parentId, int64_t position, const std::string &indent) {
    return indent + chain.name + std::to_string(parentId) + "[" + std::to_string(position) +
           "]=" + chain.valueCode() + "\n";
}

std::string recurrenceLoop(const CRobj &chain, const char *update, const std::string &indent) {
    const std::string a = chain.arrayName();
    const uint64_t steps = chain.length > 0 ? chain.length - 1 : 0;
    return indent + "for i in range(" + std::to_string(steps) + "):\n" + indent + "    " + a + "[i]" + update +
           a + "[i+1]\n";
}

std::string CRobj::genInit(CRobj &root) {
    id = ++root.idcounter;
    std::string text;
    std::string line = arrayName() + "=[";
    for (uint64_t k = 0; k < length; ++k) {
        if (!operands[k]->isnumber())
            text += operands[k]->genInit(root);
        line += pyNumber(fastvalues[k]);
        if (k + 1 < length)
            line += ",";
    }
    line += "]\n";
    if (length > 0)
        text += line;
    return text;
}

// One loop per dimension. Grid evaluation keeps one working copy of the chain
// per dimension and re-seeds the inner copies from the outer one after a
// carry; the program mirrors that on its single set of arrays: the body of
// loop i saves every array before loop i+1 and restores them after it, then
// takes the step along dimension i.
std::string ASTnode::crgen() {
    if (!cr)
        throw std::runtime_error("crgen: crinit must come first");
    CRobj &root = *cr;
    const size_t n = params.size();

    std::string grid = "0";
    for (size_t j = n; j-- > 0;)
        grid = "[" + grid + " for _ in range(" + std::to_string(params[j]) + ")]";
    std::string text = "results = " + grid + "\n";
    text += root.genInit(root);
    text += "base = [";
    for (uint64_t k = 0; k < root.length; ++k) {
        if (k > 0)
            text += ',';
        text += pyNumber(root.fastvalues[k]);
    }
    text += "]\n";

    std::vector<std::string> fragments;
    for (size_t i = 0; i < n; ++i)
        fragments.push_back(root.genCode(0, static_cast<int64_t>(i), -1, blanks(i + 1)));

    std::vector<std::string> arrays;
    collectArrays(root, arrays);
    std::string names, copies;
    for (const std::string &a : arrays) {
        names += (names.empty() ? "" : ",") + a;
        copies += (copies.empty() ? "" : ",") + a + "[:]";
    }

    std::string subscript = "results";
    for (size_t i = 0; i < n; ++i) {
        const std::string loop = std::to_string(i);
        subscript += "[_" + loop + "]";
        if (i == 0)
            text += root.arrayName() + " = base[:]\n";
        else if (!arrays.empty())
            text += blanks(i) + "state" + std::to_string(i - 1) + " = [" + copies + "]\n";
        text += blanks(i) + "for _" + loop + " in range(" + std::to_string(params[i]) + "):\n";
    }
    if (n > 0)
        text += blanks(n) + subscript + " = " + root.valueCode() + "\n" + fragments[n - 1] + "\n";
    for (size_t i = n > 0 ? n - 1 : 0; i-- > 0;) {
        if (!arrays.empty())
            text += blanks(i + 1) + "[" + names + "] = state" + std::to_string(i) + "\n";
        text += fragments[i] + "\n";
    }
    return helpersFor(text) + text;
}

} // namespace vemiral
