#pragma once

#include <pybind11/pybind11.h>

namespace vemiral {

// Takes NumPy's float64 loops of its math ufuncs for the direct evaluation
// of functions, once per process; called with the interpreter lock held
// before the first plan is made.
void registerNumpyLoops();

} // namespace vemiral
