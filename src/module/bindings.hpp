#pragma once

#include <pybind11/pybind11.h>

// Parts of the module registered from their own files, each called at the end
// of the module's initialisation, after the node classes exist.

// pickle and copy support for every node class.
void bindPickling(pybind11::module_ &m);
