// Writes Python objects as TOML text.
#pragma once

#include <string>

#include "py.hpp"

namespace vexil {

// The TOML text of `obj` (compact, or with multi-line arrays when `pretty`),
// or the message of the first failure. Leaves no Python exception pending.
// When `ascii` is given, it is set to whether the text is pure ASCII.
Result<std::string, std::string> to_toml(PyObject* obj, NoneValue none_value, bool pretty, bool* ascii = nullptr);

}  // namespace vexil
