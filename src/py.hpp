// Small building blocks shared by the extension's source files: an owning
// reference, a result type for errors-as-values, borrowed UTF-8 text, the
// one-time cell used for the process-wide caches, and the conversion of a
// pending Python exception into message text.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace vexil {

// Owns one strong reference (or none). Every PyObject* the module creates is
// held by one of these until it is handed to the interpreter with release().
class PyRef {
public:
    PyRef() noexcept = default;
    static PyRef steal(PyObject* obj) noexcept { return PyRef(obj); }
    static PyRef borrow(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return PyRef(obj);
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(obj_, std::exchange(other.obj_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~PyRef() { Py_XDECREF(obj_); }

    PyObject* get() const noexcept { return obj_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    explicit PyRef(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

// Marks the error alternative when constructing a Result.
template <class E>
struct Err {
    E error;
};
template <class E>
Err<std::decay_t<E>> err(E&& e) {
    return Err<std::decay_t<E>>{std::forward<E>(e)};
}

// A value or an error, for errors that travel as values until they reach the
// interpreter boundary.
template <class T, class E>
class Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(Err<E> e) : v_(std::in_place_index<1>, std::move(e.error)) {}

    bool ok() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }
    T& value() noexcept { return *std::get_if<0>(&v_); }
    E& error() noexcept { return *std::get_if<1>(&v_); }

private:
    std::variant<T, E> v_;
};

// Success or an owned message, the return type of the writing operations.
using Status = std::optional<std::string>;  // nullopt on success
inline constexpr std::nullopt_t ok_status = std::nullopt;

// The optional none_value text, borrowed from the caller's str for the call.
using NoneValue = std::optional<std::string_view>;

// A process-wide cell filled once on first need and never emptied.
//
// Fast path: a filled cell is read without locking. To fill it, the caller
// detaches from the interpreter before taking the cell's lock, so a thread
// waiting for the cell never holds the GIL the filling thread needs; the
// filling thread re-attaches inside the locked section before creating the
// object. If creation fails (returns nullptr with a Python error set) the cell
// stays empty and the error goes to that caller; a later caller tries again.
template <class T>
class OnceCell {
public:
    template <class Create>
    T* get_or_init(Create&& create) {
        if (T* value = value_.load(std::memory_order_acquire)) {
            return value;
        }
        PyThreadState* state = PyEval_SaveThread();
        std::unique_lock<std::mutex> lock(mutex_);
        if (T* value = value_.load(std::memory_order_acquire)) {
            lock.unlock();
            PyEval_RestoreThread(state);
            return value;
        }
        PyEval_RestoreThread(state);
        T* value = create();
        if (value != nullptr) {
            value_.store(value, std::memory_order_release);
        }
        return value;
    }

    T* peek() const noexcept { return value_.load(std::memory_order_acquire); }

    // Fills an empty cell with an object made elsewhere (the package's second
    // native module takes _vexil's classes so that both modules share them).
    // A cell that is already filled keeps its object; returns the one in use.
    T* seed(T* value) noexcept {
        T* expected = nullptr;
        if (value_.compare_exchange_strong(expected, value, std::memory_order_acq_rel)) {
            return value;
        }
        return expected;
    }

private:
    std::atomic<T*> value_{nullptr};
    std::mutex mutex_;
};

// The qualified name of a type as UTF-8 text, or `fallback` (with any Python
// error cleared) when it cannot be had.
std::string type_qualname(PyTypeObject* type, std::string_view fallback = "<failed to extract type name>");

// The UTF-8 text of a str, with every lone surrogate replaced by U+FFFD, for
// texts that only go into messages. nullopt (no error set) if `str` is not a
// str.
std::optional<std::string> utf8_replacing(PyObject* str);

// Takes the pending exception (a new reference, or nullptr when none is
// set) and clears it; restore_exception raises it again, stealing the
// reference. For exceptions that must reach the caller unchanged (raised by
// a user's callback) while the module first releases what it built.
PyObject* fetch_exception();
void restore_exception(PyObject* exc);

// Fetches and clears the pending Python exception and renders it as
// "QualifiedTypeName: str(exc)", or "QualifiedTypeName: <exception str() failed>"
// when str() raises. Lone surrogates in the text become U+FFFD. Nothing is
// chained or kept.
std::string take_exception_text();

// Attaches the note "while processing '<parameter>'" to the pending
// exception with its add_note method. If that fails, the failure is dropped
// and the original exception stays pending.
void note_parameter(const char* parameter);

// Raises TypeError "'{}' object is not an instance of '{}'" for `obj`, or the
// "'None' is not an instance of '{}'" form when obj is None.
void raise_not_instance(PyObject* obj, const char* expected_qualname);

// Reads the arguments of a METH_FASTCALL | METH_KEYWORDS call into `out`
// (one slot per parameter, nullptr for an omitted optional one). Positional
// arguments fill the parameters from the left; keywords are matched by exact
// UTF-8 comparison with the parameter names. On a mismatch raises TypeError
// with CPython's usual wording and returns false.
struct Signature {
    const char* display_name;  // e.g. "deserialize()"
    const char* const* names;
    Py_ssize_t count;     // number of parameters
    Py_ssize_t required;  // the first `required` parameters must be given
};
bool parse_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** out);

}  // namespace vexil
