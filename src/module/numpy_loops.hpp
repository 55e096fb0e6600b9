#pragma once

#include <pybind11/pybind11.h>

namespace vemiral {

class ASTnode;

// Takes NumPy's float64 loops of its math ufuncs for the direct evaluation
// of functions, once per process, and SciPy's of the special functions once
// a tree calls one (importing SciPy costs a first call of any other formula
// too much); called with the interpreter lock held before `tree` is planned.
void registerNumpyLoops(const ASTnode &tree);

} // namespace vemiral
