#pragma once

#include <pybind11/pybind11.h>

// Python's arithmetic on expression nodes, the module functions sin, cos,
// tan, cot, exp, ln and log, a formula-like repr and read-only attributes.
// Called after the classes are registered; it only adds to them.
void bindExpressionSyntax(pybind11::module_ &m);

// The reductions of a node's values (ASTnode._reduce), which call `poll`
// with the interpreter lock released.
void bindReductions(pybind11::module_ &m, void (*poll)());

// pickle and copy support for every node class (called after the classes
// are registered; it only adds to them).
void bindPickling(pybind11::module_ &m);
