// vexil._native.loads and vexil._native.dumps: the package's reading and
// writing with their options. Text comes as a str or straight as UTF-8
// bytes; the parser checks the encoding itself, so bytes are never decoded
// to a str first.
#include <cstring>
#include <string>
#include <string_view>

#include "de.hpp"
#include "lib.hpp"
#include "native.hpp"
#include "ser.hpp"
#include "toml/toml.hpp"
#include "unicode.hpp"

namespace vexil::native {
namespace {

// The document text for the length of a loads() call. An exact bytes object
// cannot change and is read in place, as is a str's UTF-8 form; any other
// buffer (bytearray, memoryview, mmap, ...) is copied first, since Python
// code may run while the document is built (parse_float, finalizers) and
// could otherwise change bytes the parsed tree still points into.
class InputText {
public:
    InputText() = default;
    InputText(const InputText&) = delete;
    InputText& operator=(const InputText&) = delete;

    // False with the exception pending (and a note naming the parameter).
    bool read(PyObject* obj) {
        if (PyUnicode_Check(obj)) {
            Py_ssize_t length = 0;
            const char* data = PyUnicode_AsUTF8AndSize(obj, &length);
            if (data == nullptr) {
                note_parameter("data");
                return false;
            }
            text_ = std::string_view(data, static_cast<std::size_t>(length));
            return true;
        }
        is_bytes_ = true;
        if (PyBytes_CheckExact(obj)) {
            text_ = std::string_view(PyBytes_AS_STRING(obj), static_cast<std::size_t>(PyBytes_GET_SIZE(obj)));
            return true;
        }
        if (!PyObject_CheckBuffer(obj)) {
            std::string name = type_qualname(Py_TYPE(obj));
            PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of 'str' or a bytes-like object",
                         name.c_str());
            note_parameter("data");
            return false;
        }
        Py_buffer view;
        if (PyObject_GetBuffer(obj, &view, PyBUF_SIMPLE) < 0) {
            note_parameter("data");
            return false;
        }
        copy_.assign(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len));
        PyBuffer_Release(&view);
        text_ = copy_;
        return true;
    }

    std::string_view text() const noexcept { return text_; }
    bool is_bytes() const noexcept { return is_bytes_; }

private:
    std::string_view text_;
    std::string copy_;
    bool is_bytes_ = false;
};

// The offset of the first ill-formed UTF-8 sequence in `text`, or npos.
std::size_t first_invalid_utf8(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        unsigned c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        auto cont = [&](std::size_t k) { return i + k < n && (p[i + k] & 0xC0) == 0x80; };
        std::size_t length = 0;
        if (c >= 0xC2 && c < 0xE0) {
            length = cont(1) ? 2 : 0;
        } else if (c >= 0xE0 && c < 0xF0) {
            bool ok = cont(1) && cont(2) && !(c == 0xE0 && p[i + 1] < 0xA0) && !(c == 0xED && p[i + 1] >= 0xA0);
            length = ok ? 3 : 0;
        } else if (c >= 0xF0 && c < 0xF5) {
            bool ok = cont(1) && cont(2) && cont(3) && !(c == 0xF0 && p[i + 1] < 0x90) &&
                      !(c == 0xF4 && p[i + 1] >= 0x90);
            length = ok ? 4 : 0;
        }
        if (length == 0) {
            return i;
        }
        i += length;
    }
    return std::string_view::npos;
}

// "invalid UTF-8 (byte 0xHH at offset N) at line L column C": the column
// counts the characters before the byte on its line (every byte that is not
// a continuation byte), so a stray continuation byte is not folded into the
// character before it.
std::string invalid_utf8_error(std::string_view text, std::size_t offset) {
    std::size_t line = 1, line_start = 0;
    for (std::size_t i = 0; i < offset; ++i) {
        if (text[i] == '\n') {
            ++line;
            line_start = i + 1;
        }
    }
    std::size_t column = 1;
    for (std::size_t i = line_start; i < offset; ++i) {
        column += (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
    }
    static const char hex[] = "0123456789abcdef";
    unsigned byte = static_cast<unsigned char>(text[offset]);
    std::string message = "invalid UTF-8 (byte 0x";
    message += hex[byte >> 4];
    message += hex[byte & 0xF];
    message += " at offset " + std::to_string(offset) + ") at line " + std::to_string(line) + " column " +
               std::to_string(column);
    return message;
}

// Raises the TomlParsingError for a failed parse or build. For bytes, an
// ill-formed UTF-8 sequence at or before the failure's position is what is
// reported: the parser stops at the first one it meets, and a failure
// further on would only be a consequence of it.
void raise_read_failure(ReadFailure failure, const InputText& input) {
    std::string_view text = input.text();
    if (input.is_bytes()) {
        std::size_t bad = first_invalid_utf8(text);
        if (bad != std::string_view::npos && (!failure.position || bad <= *failure.position)) {
            raise_module_error(parsing_error_class(), invalid_utf8_error(text, bad));
            return;
        }
    }
    raise_module_error(parsing_error_class(), parsing_error(std::move(failure), text));
}

bool is_true(PyObject* obj, const char* parameter, bool* out) {
    if (obj == nullptr) {
        return true;
    }
    int truth = PyObject_IsTrue(obj);
    if (truth < 0) {
        note_parameter(parameter);
        return false;
    }
    *out = truth != 0;
    return true;
}

// None_value: absent when omitted or None, else a str.
bool none_value_argument(PyObject* obj, NoneValue* out) {
    if (obj == nullptr || obj == Py_None) {
        return true;
    }
    if (!PyUnicode_Check(obj)) {
        raise_not_instance(obj, "str");
        note_parameter("none_value");
        return false;
    }
    Py_ssize_t length = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &length);
    if (data == nullptr) {
        note_parameter("none_value");
        return false;
    }
    *out = std::string_view(data, static_cast<std::size_t>(length));
    return true;
}

// A callable or None (omitted) for parse_float and default.
bool callable_argument(PyObject* obj, const char* parameter, PyObject** out) {
    if (obj == nullptr || obj == Py_None) {
        *out = nullptr;
        return true;
    }
    if (!PyCallable_Check(obj)) {
        std::string name = type_qualname(Py_TYPE(obj));
        PyErr_Format(PyExc_TypeError, "%s must be callable or None, not '%s'", parameter, name.c_str());
        return false;
    }
    *out = obj;
    return true;
}

// "1.1.0" (the default) or "1.0.0".
bool version_argument(PyObject* obj, toml::Version* out) {
    if (obj == nullptr) {
        return true;
    }
    if (PyUnicode_Check(obj)) {
        if (PyUnicode_CompareWithASCIIString(obj, "1.1.0") == 0) {
            *out = toml::Version::V1_1_0;
            return true;
        }
        if (PyUnicode_CompareWithASCIIString(obj, "1.0.0") == 0) {
            *out = toml::Version::V1_0_0;
            return true;
        }
    }
    PyErr_Format(PyExc_ValueError, "toml_version must be \"1.1.0\" or \"1.0.0\", not %R", obj);
    return false;
}

// The first argument is positional only; the options are keyword only.
bool check_positional(const char* name, Py_ssize_t nargs, Py_ssize_t count) {
    if (nargs == count) {
        return true;
    }
    if (nargs < count) {
        PyErr_Format(PyExc_TypeError, "%s missing %zd required positional argument%s", name, count - nargs,
                     count - nargs == 1 ? "" : "s");
    } else {
        PyErr_Format(PyExc_TypeError, "%s takes %zd positional argument%s but %zd were given", name, count,
                     count == 1 ? "" : "s", nargs);
    }
    return false;
}

const char* const loads_names[] = {"data", "none_value", "parse_float", "toml_version"};
const Signature loads_signature{"loads()", loads_names, 4, 1};

}  // namespace

PyObject* loads(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!check_positional("loads()", nargs, 1)) {
            return nullptr;
        }
        PyObject* argv[4];
        if (!parse_arguments(loads_signature, args, nargs, kwnames, argv)) {
            return nullptr;
        }
        BuildOptions build;
        toml::ParseOptions parse;
        if (!none_value_argument(argv[1], &build.none_value) ||
            !callable_argument(argv[2], "parse_float", &build.parse_float) ||
            !version_argument(argv[3], &parse.version)) {
            return nullptr;
        }
        InputText input;
        if (!input.read(argv[0])) {
            return nullptr;
        }
        build.input = input.text();
        toml::ParseResult parsed = toml::parse(input.text(), parse);
        if (!parsed) {
            const toml::Error& error = parsed.error();
            raise_read_failure(ReadFailure{error.message, error.offset, PyRef()}, input);
            return nullptr;
        }
        Result<PyRef, ReadFailure> built = build_document(parsed.document(), build);
        if (!built) {
            if (built.error().raised) {
                restore_exception(built.error().raised.release());
                return nullptr;
            }
            raise_read_failure(std::move(built.error()), input);
            return nullptr;
        }
        return built.value().release();
    });
}

namespace {

const char* const dumps_names[] = {"obj",     "pretty",    "none_value", "multiline_strings", "indent",
                                   "sort_keys", "default", "as_bytes"};
const Signature dumps_signature{"dumps()", dumps_names, 8, 1};

bool is_mapping(PyObject* obj) {
    return PyDict_Check(obj) || (Py_TYPE(obj)->tp_flags & Py_TPFLAGS_MAPPING) != 0;
}

}  // namespace

PyObject* dumps(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!check_positional("dumps()", nargs, 1)) {
            return nullptr;
        }
        PyObject* argv[8];
        if (!parse_arguments(dumps_signature, args, nargs, kwnames, argv)) {
            return nullptr;
        }
        WriteOptions options;
        options.extended = true;
        options.multiline_strings = true;  // vexil's own form unless the caller asks for tomli_w's default
        options.nested_indent = true;
        bool as_bytes = false;
        if (!is_true(argv[1], "pretty", &options.pretty) || !none_value_argument(argv[2], &options.none_value) ||
            !is_true(argv[3], "multiline_strings", &options.multiline_strings) ||
            !is_true(argv[5], "sort_keys", &options.sort_keys) ||
            !callable_argument(argv[6], "default", &options.default_) || !is_true(argv[7], "as_bytes", &as_bytes)) {
            return nullptr;
        }
        if (argv[4] != nullptr) {
            if (!PyLong_Check(argv[4]) || PyBool_Check(argv[4])) {
                std::string name = type_qualname(Py_TYPE(argv[4]));
                PyErr_Format(PyExc_TypeError, "indent must be an int, not '%s'", name.c_str());
                return nullptr;
            }
            Py_ssize_t indent = PyLong_AsSsize_t(argv[4]);
            if (indent == -1 && PyErr_Occurred()) {
                note_parameter("indent");
                return nullptr;
            }
            // No layout needs more; a huge width would only end in a
            // memory error deep in the writer.
            constexpr Py_ssize_t max_indent = 1024;
            if (indent < 0 || indent > max_indent) {
                PyErr_Format(PyExc_ValueError, "indent must be from 0 to %zd, not %zd", max_indent, indent);
                return nullptr;
            }
            options.indent = static_cast<std::size_t>(indent);
        }
        // A TOML document is a table: the object must be a mapping, or
        // default must make one of it.
        PyRef obj = PyRef::borrow(argv[0]);
        if (!is_mapping(obj.get()) && options.default_ != nullptr) {
            PyRef converted = PyRef::steal(PyObject_CallOneArg(options.default_, obj.get()));
            if (!converted) {
                return nullptr;
            }
            if (is_mapping(converted.get())) {
                obj = std::move(converted);
            }
        }
        if (!is_mapping(obj.get())) {
            std::string name = type_qualname(Py_TYPE(argv[0]));
            PyErr_Format(PyExc_TypeError, "a TOML document is a table: dumps() needs a mapping, not '%s'",
                         name.c_str());
            return nullptr;
        }
        PyRef raised;
        Result<std::string, std::string> text = to_toml(obj.get(), options, &raised);
        if (raised) {
            restore_exception(raised.release());
            return nullptr;
        }
        if (!text) {
            raise_module_error(serialization_error_class(), text.error());
            return nullptr;
        }
        const std::string& out = text.value();
        if (as_bytes) {
            return PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
        }
        return str_from_utf8(out);
    });
}

}  // namespace vexil::native
