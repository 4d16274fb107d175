// vexil._native: the package's second native module. It holds what the
// package offers beyond _vexil's three functions (options of loads/dumps,
// the bytes path, the editor), built from the same C++ code as _vexil.
//
// Both modules compile the shared sources, so each has its own one-time
// cells; at import this module takes _vexil's exception classes and TzInfo
// type, so that errors and time zones are the same classes whichever module
// made them.
#pragma once

#include "py.hpp"

namespace vexil::native {

// Each feature file defines its functions and lists them here; native.cpp
// gathers them into the module's method table.

// edit.cpp: edit_tree(text: str | bytes) -> EditTree, the editor's parsed text.
PyObject* edit_tree(PyObject* module, PyObject* data);

}  // namespace vexil::native
