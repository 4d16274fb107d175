// The module surface shared with the other source files: the exception
// classes and the rule by which a module error becomes a raised exception.
#pragma once

#include <exception>
#include <new>
#include <string>
#include <string_view>

#include "de.hpp"
#include "py.hpp"

namespace vexil {

// The cached exception classes (borrowed; created on first use). nullptr
// with a Python error set if a class cannot be created.
PyObject* parsing_error_class();
PyObject* serialization_error_class();

// Makes this copy of the module code use the given exception classes (new
// references are kept). False if it already uses others.
bool share_exception_classes(PyObject* parsing, PyObject* serialization);

// The class for internal failures: derived directly from BaseException, so
// that a defect is not mistaken for bad input by `except Exception`.
PyObject* internal_error_class();
void raise_internal_error(const char* text);

// Runs the body of a function that the interpreter calls, turning a C++
// exception that escapes it into a Python exception (MemoryError for
// std::bad_alloc, the internal-failure class for anything else) instead of
// letting it unwind into the interpreter. `failed` is what the function
// returns with an exception set: nullptr, or -1.
template <class R, class Body>
R guarded(R failed, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_internal_error(e.what());
    } catch (...) {
        raise_internal_error("unknown internal error");
    }
    return failed;
}

// Raises `cls` with `message` as its single argument.
void raise_module_error(PyObject* cls, std::string_view message);

// The TomlParsingError message for a read failure: its text, plus
// " at line L column C" when it has a position in `input` (UTF-8).
std::string parsing_error(ReadFailure failure, std::string_view input);

}  // namespace vexil
