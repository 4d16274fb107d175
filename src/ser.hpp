// Writes Python objects as TOML text.
#pragma once

#include <string>
#include <string_view>

#include "py.hpp"

namespace vexil {

// The TOML text of `obj` (compact, or with multi-line arrays when `pretty`),
// or the message of the first failure. Leaves no Python exception pending.
Result<std::string, std::string> to_toml(PyObject* obj, NoneValue none_value, bool pretty);

// For the editor: `obj` written inline as a value (a dict as an inline
// table), and the entries of `dict` as lines and sub-tables of the table
// whose header path (encoded keys joined by ".") is `path`.
Result<std::string, std::string> to_toml_inline(PyObject* obj);
Result<std::string, std::string> to_toml_entries(PyObject* dict, std::string_view path);

}  // namespace vexil
