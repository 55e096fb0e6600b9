// NumPy's own float64 loops, taken from its ufuncs for the direct
// evaluation of functions (eval/vector_math): the loops NumPy itself runs on
// arrays, vectorised where NumPy has vector code, with NumPy's accuracy.
#include "module/numpy_loops.hpp"

#include <cstring>

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

void registerFrom(const py::module_ &numpy, LibraryFunction f) {
    const char *name = libraryName(f);
    const py::object ufunc = numpy.attr(name);
    if (!py::isinstance(ufunc, numpy.attr("ufunc")))
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

// Called with the interpreter lock held, so no flag of its own: a second
// caller while the first imports NumPy registers the same loops again
// before it plans anything.
void registerNumpyLoops() {
    static bool registered = false;
    if (registered)
        return;
    try {
        const py::module_ numpy = py::module_::import("numpy");
        for (size_t f = 0; f < static_cast<size_t>(LibraryFunction::Count); ++f)
            registerFrom(numpy, static_cast<LibraryFunction>(f));
    } catch (const py::error_already_set &) {
        // Without NumPy's loops every function takes the C library's.
    }
    registered = true;
}

} // namespace vemiral
