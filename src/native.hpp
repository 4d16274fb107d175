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

// native_io.cpp: loads(data, /, *, none_value=None, parse_float=None,
// toml_version="1.1.0") and dumps(obj, /, *, pretty=False, none_value=None,
// multiline_strings=False, indent=4, sort_keys=False, default=None,
// as_bytes=False).
PyObject* loads(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* dumps(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace vexil::native
