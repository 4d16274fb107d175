// Writes Python objects as TOML text.
#pragma once

#include <string>
#include <string_view>

#include "py.hpp"

namespace vexil {

// The TOML text of `obj` (compact, or with multi-line arrays when `pretty`),
// or the message of the first failure. Leaves no Python exception pending.
Result<std::string, std::string> to_toml(PyObject* obj, NoneValue none_value, bool pretty);

// A new str holding the text to_toml produced. That text is valid UTF-8 by
// construction (it is made of str contents and ASCII), so it is decoded in
// one pass straight into a str of the right size and kind, without the
// general decoder's validation and widening copies. nullptr with a Python
// error set on failure.
PyObject* toml_text_to_str(std::string_view text);

}  // namespace vexil
