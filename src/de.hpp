// Builds Python objects from a parsed TOML document.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "py.hpp"
#include "toml/toml.hpp"

namespace vexil {

// A failed read: the message and, usually, the byte offset in the UTF-8
// input it belongs to.
struct ReadFailure {
    std::string message;
    std::optional<std::size_t> position;
    PyRef raised;  // set instead when a user's callback raised: that exception, to raise unchanged
};

// Builds the root dict of `document`. String values whose text equals
// `none_value` become None. Returns a new reference or the first failure,
// with no Python exception left pending.
Result<PyRef, ReadFailure> build_document(const toml::Document& document, NoneValue none_value);

// The package's reading options. With parse_float, every float is the
// result of calling it with the float's text as written in `input` (the
// text the document was parsed from), as tomllib does; a dict or list result
// is refused with ValueError.
struct BuildOptions {
    NoneValue none_value;
    PyObject* parse_float = nullptr;  // borrowed
    std::string_view input;
};
Result<PyRef, ReadFailure> build_document(const toml::Document& document, const BuildOptions& options);

}  // namespace vexil
