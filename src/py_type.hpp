// The type objects against which the writer classifies values, by identity.
#pragma once

#include "py.hpp"

namespace vexil {

// Borrowed references to the exact types the writer knows. They stay valid
// for the life of the process: static built-in types, and the datetime types
// that the datetime module's C API capsule keeps alive. A subclass of one of
// these is not that type for the writer.
struct PyTypeLookup {
    PyTypeObject* none;
    PyTypeObject* int_;
    PyTypeObject* bool_;
    PyTypeObject* float_;
    PyTypeObject* str;
    PyTypeObject* bytes;
    PyTypeObject* bytearray;
    PyTypeObject* list;
    PyTypeObject* tuple;
    PyTypeObject* dict;
    PyTypeObject* datetime;
    PyTypeObject* date;
    PyTypeObject* time;

    // The process-wide lookup (the TYPE_LOOKUP cell), built on first use.
    // nullptr with a Python error set if the datetime C API cannot be imported.
    static const PyTypeLookup* cached();
};

}  // namespace vexil
