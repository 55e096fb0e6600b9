// NumPy's own float64 loops, taken from its ufuncs for the direct
// evaluation of functions (eval/vector_math): the loops NumPy itself runs on
// arrays, vectorised where NumPy has vector code, with NumPy's accuracy.
#include "module/numpy_loops.hpp"

#include <cstring>
#include <unordered_set>
#include <vector>

#include "ast/ASTnode.hpp"
#include "cr/CRobj.hpp"

#include "eval/vector_math.hpp"

namespace py = pybind11;

namespace vemiral {

namespace {

// The head of NumPy's ufunc object, the same in NumPy 1.x and 2.x: the
// loops, their data and their type numbers. Checked against the ufunc's
// name and argument counts before anything is read from it.
struct UfuncHead {
    PyObject_HEAD
    int nin, nout, nargs;
    int identity;
    UfuncLoop *functions;
    void *const *data;
    int ntypes;
    int flags;
    const char *name;
    const char *types;
};

constexpr char kDouble = 12; // NPY_DOUBLE

void registerFrom(const py::module_ &module, LibraryFunction f) {
    const char *name = libraryName(f);
    if (!py::hasattr(module, name))
        return;
    const py::object ufunc = module.attr(name);
    if (!py::isinstance(ufunc, py::module_::import("numpy").attr("ufunc")))
        return;
    const auto *head = reinterpret_cast<const UfuncHead *>(ufunc.ptr());
    const int nin = ufunc.attr("nin").cast<int>(), nout = ufunc.attr("nout").cast<int>();
    if (head->nin != nin || head->nout != nout || nout != 1 || head->nargs != nin + 1 || !head->name ||
        std::strcmp(head->name, name) != 0 || !head->functions || !head->types || head->ntypes <= 0)
        return;
    for (int t = 0; t < head->ntypes; ++t) {
        const char *types = head->types + t * head->nargs;
        bool doubles = true;
        for (int a = 0; a < head->nargs; ++a)
            doubles = doubles && types[a] == kDouble;
        if (doubles && head->functions[t]) {
            registerUfuncLoop(f, head->functions[t], head->data ? head->data[t] : nullptr);
            return;
        }
    }
}

} // namespace

// A tree calling a function SciPy computes.
bool callsSciPy(const ASTnode &tree) {
    std::vector<const ASTnode *> todo{&tree};
    std::unordered_set<const ASTnode *> seen{&tree};
    while (!todo.empty()) {
        const ASTnode *node = todo.back();
        todo.pop_back();
        if (const auto *f = dynamic_cast<const ASTfun *>(node)) {
            const int32_t code = kFunctions[f->op].pointwise;
            if (code == EXPR_J0 || code == EXPR_J1 || code == EXPR_Y0 || code == EXPR_Y1 || code == EXPR_GAMMA)
                return true;
        }
        for (const ASTnode *child : node->children())
            if (child && seen.insert(child).second)
                todo.push_back(child);
    }
    return false;
}

// Called with the interpreter lock held, so no flag of its own: a second
// caller while the first imports NumPy registers the same loops again
// before it plans anything.
void registerNumpyLoops(const ASTnode &tree) {
    static bool numpyTaken = false, scipyTaken = false;
    const auto take = [](const char *module, size_t first, size_t last) {
        try {
            const py::module_ m = py::module_::import(module);
            for (size_t f = first; f < last; ++f)
                registerFrom(m, static_cast<LibraryFunction>(f));
        } catch (const py::error_already_set &) {
            // Without the module's loops those functions take the C library's.
        }
    };
    if (!numpyTaken) {
        take("numpy", 0, static_cast<size_t>(kFirstSciPy));
        numpyTaken = true;
    }
    if (!scipyTaken && callsSciPy(tree)) {
        take("scipy.special", static_cast<size_t>(kFirstSciPy), static_cast<size_t>(LibraryFunction::Count));
        scipyTaken = true;
    }
}

} // namespace vemiral
