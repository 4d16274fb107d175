// Writes Python objects as TOML text.
#pragma once

#include <cstddef>
#include <string>

#include "py.hpp"

namespace vexil {

// How to_toml writes. The defaults are _vexil.serialize's behaviour; the
// package's dumps() turns on `extended` and the options after it.
struct WriteOptions {
    NoneValue none_value;         // the text None is written as, if any
    bool pretty = false;          // multi-line arrays (root dict only)
    // Accept what has no exact built-in type: subclasses of int, float, str,
    // list, tuple, dict and the date-time types, any Mapping (as a table),
    // decimal.Decimal, and whatever `default` turns an object into.
    bool extended = false;
    bool multiline_strings = true;  // a text with a line feed may use a multi-line form
    bool nested_indent = false;     // inner multi-line arrays indent one more step
    std::size_t indent = 4;         // spaces before each element of a multi-line array
    bool sort_keys = false;         // each group of a table's entries in key order
    PyObject* default_ = nullptr;   // borrowed; called for objects without a TOML form
};

// The TOML text of `obj` (compact, or with multi-line arrays when `pretty`),
// or the message of the first failure. Leaves no Python exception pending.
Result<std::string, std::string> to_toml(PyObject* obj, NoneValue none_value, bool pretty);

// The same with every option. When the failure is an exception raised by
// options.default_, that exception is handed back in *raised (its message
// is then of no use) for the caller to raise unchanged.
Result<std::string, std::string> to_toml(PyObject* obj, const WriteOptions& options, PyRef* raised);

}  // namespace vexil
