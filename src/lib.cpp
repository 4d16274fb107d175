// The _vexil module: definition and exec step, the exception classes, the
// entry points with their argument handling, and the TomlParsingError report.
#include "lib.hpp"

#include <cstring>
#include <string>
#include <string_view>

#include "de.hpp"
#include "py.hpp"
#include "ser.hpp"
#include "toml/toml.hpp"
#include "unicode.hpp"
#include "version.hpp"

#ifndef VEXIL_VERSION
#error "VEXIL_VERSION must be defined by the build"
#endif

namespace vexil {

// ---------------------------------------------------------------------------
// Python exception helpers shared by the module's source files.

// The pending exception as an object (3.12's single-object API, emulated on 3.11).
PyObject* fetch_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        return nullptr;
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

void restore_exception(PyObject* exc) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc, PyException_GetTraceback(exc));
#endif
}

// The codec's "replace" handler would write "?" for a lone surrogate, so the
// slow path encodes code point by code point.
std::optional<std::string> utf8_replacing(PyObject* str) {
    if (!PyUnicode_Check(str)) {
        return std::nullopt;
    }
    Py_ssize_t length = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(str, &length)) {
        return std::string(data, static_cast<std::size_t>(length));
    }
    PyErr_Clear();
    const int kind = PyUnicode_KIND(str);
    const void* data = PyUnicode_DATA(str);
    std::string text;
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(str); i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            text += static_cast<char>(c);
        } else if (c < 0x800) {
            text += static_cast<char>(0xC0 | (c >> 6));
            text += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            text += static_cast<char>(0xE0 | (c >> 12));
            text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            text += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            text += static_cast<char>(0xF0 | (c >> 18));
            text += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            text += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return text;
}

std::string type_qualname(PyTypeObject* type, std::string_view fallback) {
    PyRef name = PyRef::steal(PyType_GetQualName(type));
    if (name) {
        if (auto text = utf8_replacing(name.get())) {
            return *text;
        }
    }
    PyErr_Clear();
    return std::string(fallback);
}

std::string take_exception_text() {
    PyRef exc = PyRef::steal(fetch_exception());
    if (!exc) {
        return "SystemError: error return without exception set";
    }
    std::string text = type_qualname(Py_TYPE(exc.get()), "<unknown>");
    PyRef str = PyRef::steal(PyObject_Str(exc.get()));
    std::optional<std::string> message;
    if (str) {
        message = utf8_replacing(str.get());
    } else {
        PyErr_Clear();
    }
    text += ": ";
    text += message ? *message : std::string("<exception str() failed>");
    return text;
}

void note_parameter(const char* parameter) {
    PyRef exc = PyRef::steal(fetch_exception());
    if (!exc) {
        return;
    }
    std::string note = "while processing '";
    note += parameter;
    note += "'";
    PyRef result = PyRef::steal(PyObject_CallMethod(exc.get(), "add_note", "s", note.c_str()));
    if (!result) {
        PyErr_Clear();
    }
    restore_exception(exc.release());
}

void raise_not_instance(PyObject* obj, const char* expected_qualname) {
    if (obj == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected_qualname);
        return;
    }
    std::string name = type_qualname(Py_TYPE(obj));
    PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of '%s'", name.c_str(), expected_qualname);
}

bool parse_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** out) {
    for (Py_ssize_t i = 0; i < sig.count; ++i) {
        out[i] = nullptr;
    }
    if (nargs > sig.count) {
        if (sig.required == sig.count) {
            PyErr_Format(PyExc_TypeError, "%s takes %zd positional argument%s but %zd %s given", sig.display_name,
                         sig.count, sig.count == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
        } else {
            PyErr_Format(PyExc_TypeError, "%s takes from %zd to %zd positional arguments but %zd %s given",
                         sig.display_name, sig.required, sig.count, nargs, nargs == 1 ? "was" : "were");
        }
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        out[i] = args[i];
    }
    Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t length = 0;
        const char* name = PyUnicode_AsUTF8AndSize(keyword, &length);
        Py_ssize_t match = -1;
        if (name == nullptr) {
            PyErr_Clear();  // a name without a UTF-8 form matches no parameter
        } else {
            for (Py_ssize_t i = 0; i < sig.count; ++i) {
                if (std::string_view(name, static_cast<std::size_t>(length)) == sig.names[i]) {
                    match = i;
                    break;
                }
            }
        }
        if (match < 0) {
            PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", sig.display_name, keyword);
            return false;
        }
        if (out[match] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.display_name,
                         sig.names[match]);
            return false;
        }
        out[match] = args[nargs + k];
    }
    for (Py_ssize_t i = 0; i < sig.required; ++i) {
        if (out[i] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s missing %d required %s %s: '%s'", sig.display_name, 1, "positional",
                         "argument", sig.names[i]);
            return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------------------
// Exception classes, each created once per process.

namespace {

OnceCell<PyObject> parsing_error_cell;
OnceCell<PyObject> serialization_error_cell;
OnceCell<PyObject> internal_error_cell;

PyObject* new_exception_class(const char* dotted_name, PyObject* base) {
    PyObject* cls = PyErr_NewExceptionWithDoc(dotted_name, nullptr, base, nullptr);
    if (cls == nullptr && base != PyExc_BaseException) {
        std::string why = take_exception_text();
        raise_internal_error(("Failed to initialize new exception type. " + why).c_str());
    }
    return cls;
}

}  // namespace

PyObject* internal_error_class() {
    return internal_error_cell.get_or_init(
        [] { return PyErr_NewExceptionWithDoc("_vexil.InternalError", nullptr, PyExc_BaseException, nullptr); });
}

void raise_internal_error(const char* text) {
    PyObject* cls = internal_error_class();
    if (cls != nullptr) {
        PyErr_SetString(cls, text);
    }
}

PyObject* parsing_error_class() {
    return parsing_error_cell.get_or_init([] { return new_exception_class("_vexil.TomlParsingError", PyExc_ValueError); });
}

PyObject* serialization_error_class() {
    return serialization_error_cell.get_or_init(
        [] { return new_exception_class("_vexil.TomlSerializationError", PyExc_ValueError); });
}

namespace {
bool share_class(OnceCell<PyObject>& cell, PyObject* cls) {
    if (cell.seed(Py_NewRef(cls)) == cls) {
        return true;  // the cell keeps the new reference for the process's life
    }
    Py_DECREF(cls);
    return false;
}
}  // namespace

bool share_exception_classes(PyObject* parsing, PyObject* serialization) {
    return share_class(parsing_error_cell, parsing) && share_class(serialization_error_cell, serialization);
}

void raise_module_error(PyObject* cls, std::string_view message) {
    if (cls == nullptr) {
        return;  // the class could not be created; its error is pending
    }
    // Messages are UTF-8; should one ever hold a broken sequence (a quoted
    // token cut short), it still reaches the caller as this error rather than
    // as a UnicodeDecodeError.
    PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) {
        PyErr_SetObject(cls, text.get());
    }
}

// ---------------------------------------------------------------------------
// The parse error report: the failure's text followed by its line and column.

std::string parsing_error(ReadFailure failure, std::string_view input) {
    if (!failure.position) {
        return std::move(failure.message);
    }
    std::size_t offset = *failure.position < input.size() ? *failure.position : input.size();
    // A position inside a multi-byte character counts as that character's start.
    while (offset > 0 && offset < input.size() && (static_cast<unsigned char>(input[offset]) & 0xC0) == 0x80) {
        --offset;
    }
    const char* begin = input.data();
    const char* end = begin + offset;
    std::size_t line = 1;
    const char* line_start = begin;
    for (const char* p = begin; p < end;) {
        const void* nl = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
        if (nl == nullptr) {
            break;
        }
        ++line;
        p = static_cast<const char*>(nl) + 1;
        line_start = p;
    }
    std::size_t column = 1;
    for (const char* p = line_start; p < end; ++p) {
        // Count code points: every byte that is not a UTF-8 continuation byte.
        column += (static_cast<unsigned char>(*p) & 0xC0) != 0x80;
    }
    std::string message = std::move(failure.message);
    message += " at line ";
    message += std::to_string(line);
    message += " column ";
    message += std::to_string(column);
    return message;
}

// ---------------------------------------------------------------------------
// Entry points.

namespace {

// Borrows the UTF-8 form of a str argument. On failure the exception (a
// TypeError for a non-str, the interpreter's UnicodeEncodeError for lone
// surrogates) is pending with the note naming the parameter.
bool text_argument(PyObject* obj, const char* parameter, std::string_view* out) {
    if (!PyUnicode_Check(obj)) {
        raise_not_instance(obj, "str");
    } else {
        Py_ssize_t length = 0;
        const char* data = PyUnicode_AsUTF8AndSize(obj, &length);
        if (data != nullptr) {
            *out = std::string_view(data, static_cast<std::size_t>(length));
            return true;
        }
    }
    note_parameter(parameter);
    return false;
}

// The optional none_value argument: absent when omitted or None.
bool none_value_argument(PyObject* obj, NoneValue* out) {
    if (obj == nullptr || obj == Py_None) {
        *out = std::nullopt;
        return true;
    }
    std::string_view text;
    if (!text_argument(obj, "none_value", &text)) {
        return false;
    }
    *out = text;
    return true;
}

const char* const deserialize_names[] = {"toml_data", "none_value"};
const Signature deserialize_signature{"deserialize()", deserialize_names, 2, 1};

PyObject* deserialize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* argv[2];
        if (!parse_arguments(deserialize_signature, args, nargs, kwnames, argv)) {
            return nullptr;
        }
        std::string_view text;
        if (!text_argument(argv[0], "toml_data", &text)) {
            return nullptr;
        }
        NoneValue none_value;
        if (!none_value_argument(argv[1], &none_value)) {
            return nullptr;
        }
        toml::ParseResult parsed = toml::parse(text);
        if (!parsed) {
            const toml::Error& error = parsed.error();
            raise_module_error(parsing_error_class(), parsing_error({error.message, error.offset}, text));
            return nullptr;
        }
        Result<PyRef, ReadFailure> built = build_document(parsed.document(), none_value);
        if (!built) {
            raise_module_error(parsing_error_class(), parsing_error(std::move(built.error()), text));
            return nullptr;
        }
        return built.value().release();
    });
}

template <class F>
PyCFunction as_cfunction(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

constexpr int entry_flags = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;

PyMethodDef deserialize_def = {"deserialize", as_cfunction(deserialize), entry_flags,
                               "deserialize(toml_data, none_value=None)\n--\n\n"};

const char* const serialize_names[] = {"obj", "none_value"};
const Signature serialize_signature{"serialize()", serialize_names, 2, 1};
const Signature serialize_pretty_signature{"serialize_pretty()", serialize_names, 2, 1};

// serialize and serialize_pretty: the same body, compact or pretty layout.
PyObject* serialize_call(const Signature& signature, bool pretty, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* argv[2];
        if (!parse_arguments(signature, args, nargs, kwnames, argv)) {
            return nullptr;
        }
        PyRef obj = PyRef::borrow(argv[0]);
        NoneValue none_value;  // a bad none_value is reported before obj is looked at
        if (!none_value_argument(argv[1], &none_value)) {
            return nullptr;
        }
        Result<std::string, std::string> text = to_toml(obj.get(), none_value, pretty);
        if (!text) {
            raise_module_error(serialization_error_class(), text.error());
            return nullptr;
        }
        return str_from_utf8(text.value());
    });
}

PyObject* serialize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return serialize_call(serialize_signature, false, args, nargs, kwnames);
}

PyObject* serialize_pretty(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return serialize_call(serialize_pretty_signature, true, args, nargs, kwnames);
}

PyMethodDef serialize_def = {"serialize", as_cfunction(serialize), entry_flags,
                             "serialize(obj, none_value=None)\n--\n\n"};
PyMethodDef serialize_pretty_def = {"serialize_pretty", as_cfunction(serialize_pretty), entry_flags,
                                    "serialize_pretty(obj, none_value=None)\n--\n\n"};

// ---------------------------------------------------------------------------
// Module definition and exec step.

// Appends `name` to the module's __all__ (creating the list if missing) and
// sets the attribute.
int add_attribute(PyObject* module, PyObject* name, PyObject* value) {
    PyRef all_name = PyRef::steal(PyUnicode_FromString("__all__"));
    if (!all_name) {
        return -1;
    }
    PyRef all = PyRef::steal(PyObject_GetAttr(module, all_name.get()));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return -1;
        }
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttr(module, all_name.get(), all.get()) < 0) {
            return -1;
        }
    } else if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
        return -1;
    }
    if (PyList_Append(all.get(), name) < 0) {
        return -1;
    }
    return PyObject_SetAttr(module, name, value);
}

int add_attribute(PyObject* module, const char* name, PyObject* value) {
    PyRef key = PyRef::steal(PyUnicode_FromString(name));
    if (!key) {
        return -1;
    }
    return add_attribute(module, key.get(), value);
}

// Creates a function object with no self, module or defining class (so its
// __self__ and __module__ are None) and adds it under its own __name__.
int add_function(PyObject* module, PyMethodDef* def) {
    PyRef function = PyRef::steal(PyCMethod_New(def, nullptr, nullptr, nullptr));
    if (!function) {
        return -1;
    }
    PyRef name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) {
        return -1;
    }
    return add_attribute(module, name.get(), function.get());
}

int add_class(PyObject* module, const char* name, PyObject* cls) {
    if (cls == nullptr) {
        return -1;
    }
    return add_attribute(module, name, cls);
}

int fill_module(PyObject* module) {
    // The one-time caches (the exception classes, the TzInfo type, the
    // datetime C API, the type table) are process-wide and hold objects of
    // the interpreter that filled them; another interpreter would use them
    // after that one is gone. So the module loads in the main interpreter
    // only (on 3.12+ a module-level slot could say this, but 3.11 has none).
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError, "module _vexil does not support loading in subinterpreters");
        return -1;
    }
    if (add_class(module, "TomlParsingError", parsing_error_class()) < 0 ||
        add_class(module, "TomlSerializationError", serialization_error_class()) < 0) {
        return -1;
    }
    std::string version = version_string(VEXIL_VERSION);
    PyRef version_copy =
        PyRef::steal(PyUnicode_FromStringAndSize(version.data(), static_cast<Py_ssize_t>(version.size())));
    PyRef version_text =
        PyRef::steal(PyUnicode_FromStringAndSize(version.data(), static_cast<Py_ssize_t>(version.size())));
    if (!version_copy || !version_text || add_attribute(module, "__version__", version_copy.get()) < 0 ||
        add_attribute(module, "VERSION", version_text.get()) < 0) {
        return -1;
    }
    if (add_function(module, &deserialize_def) < 0) {
        return -1;
    }
    if (add_function(module, &serialize_def) < 0 || add_function(module, &serialize_pretty_def) < 0) {
        return -1;
    }
    return 0;
}

int module_exec(PyObject* module) {
    return guarded(-1, [module] { return fill_module(module); });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_vexil",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace vexil

extern "C" PyMODINIT_FUNC PyInit__vexil(void) {
    return PyModuleDef_Init(&vexil::module_def);
}
