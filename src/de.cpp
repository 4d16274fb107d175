// The value builder: walks a parsed TOML document depth-first in document
// order and creates every Python object exactly once.
//
// Builders return an owned PyRef, empty on failure; the failure itself (its
// message and position) is a value kept in the Context and handed back by
// build_document. No Python exception is left pending.
#include "de.hpp"

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "datetime.hpp"
#include "toml/stack.hpp"
#include "unicode.hpp"

namespace vexil {

namespace {

// Per-call state shared by the nested builds: the first failure and the
// stack guard.
struct Context {
    ReadFailure failure;
    // Checked at each array and table: the parser's depth limit bounds the
    // recursion, but the read may start with little of the stack left.
    toml::StackGuard stack = toml::StackGuard::current();

    PyRef fail(std::string message, std::size_t position) {
        failure.message = std::move(message);
        failure.position = position;
        return PyRef();
    }
    // The pending Python exception becomes the failure's text.
    PyRef fail_with_exception(std::size_t position) { return fail(take_exception_text(), position); }
};

// A str from UTF-8 text with an explicit length, the same object the
// interpreter's UTF-8 decoder would make. Pure ASCII text (the parser knows)
// is copied straight into a compact one-byte str; one character below U+0100
// is the interpreter's shared str for it.
inline PyObject* make_str(std::string_view text, bool is_ascii) {
    if (!is_ascii) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
        if (text.size() == 2 && (bytes[0] == 0xC2 || bytes[0] == 0xC3) && (bytes[1] & 0xC0) == 0x80) {
            return PyUnicode_FromOrdinal(((bytes[0] & 0x1Fu) << 6) | (bytes[1] & 0x3F));
        }
        return str_from_utf8(text);
    }
    if (text.size() == 1) {
        return PyUnicode_FromOrdinal(static_cast<unsigned char>(text[0]));
    }
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
    if (str != nullptr) {
        std::memcpy(PyUnicode_1BYTE_DATA(str), text.data(), text.size());
    }
    return str;
}

// Builds the str for one table key; keys are never compared with none_value.
struct PyKeySeed {
    PyObject* build(const toml::Key& key) const { return make_str(key.text, key.is_ascii); }
};

constexpr toml::uint128 one128 = 1;
constexpr toml::uint128 max_u64 = UINT64_MAX;
constexpr toml::uint128 two_pow_63 = one128 << 63;
constexpr toml::uint128 two_pow_127 = one128 << 127;

// The int for a 128-bit two's-complement value, little-endian.
PyObject* long_from_bytes(toml::uint128 bits, bool is_signed) {
    unsigned char bytes[16];
    for (unsigned char& byte : bytes) {
        byte = static_cast<unsigned char>(bits);
        bits >>= 8;
    }
#if PY_VERSION_HEX >= 0x030D0000
    int flags = Py_ASNATIVEBYTES_LITTLE_ENDIAN | (is_signed ? 0 : Py_ASNATIVEBYTES_UNSIGNED_BUFFER);
    return PyLong_FromNativeBytes(bytes, sizeof bytes, flags);
#else
    return _PyLong_FromByteArray(bytes, sizeof bytes, /*little_endian=*/1, is_signed ? 1 : 0);
#endif
}

// The int of an integer literal: 64-bit paths first, 128 bits beyond them.
PyObject* make_int(const toml::Integer& integer) {
    toml::uint128 magnitude = integer.magnitude;
    if (!integer.negative) {
        if (magnitude < two_pow_63) {
            return PyLong_FromLongLong(static_cast<long long>(magnitude));
        }
        if (magnitude <= max_u64) {
            return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(magnitude));
        }
        // 2^64 .. 2^128-1: the same bits read as unsigned are the value.
        return long_from_bytes(magnitude, /*is_signed=*/false);
    }
    if (magnitude <= two_pow_63) {
        // -2^63 .. 0; negate in unsigned arithmetic so -2^63 does not overflow.
        return PyLong_FromLongLong(static_cast<long long>(static_cast<std::uint64_t>(0) -
                                                          static_cast<std::uint64_t>(magnitude)));
    }
    return long_from_bytes(static_cast<toml::uint128>(0) - magnitude, /*is_signed=*/true);
}

bool fits(const toml::Integer& integer) {
    if (integer.overflow) {
        return false;
    }
    // The parser's range is -2^127 .. 2^128-1; a negative magnitude past
    // 2^127 would not survive the two's-complement form, so guard it here.
    return !integer.negative || integer.magnitude <= two_pow_127;
}

// The text of the number token starting at `offset`: the parser has made
// sure that it ends at the first byte that cannot continue a number.
std::string_view number_text(std::string_view input, std::size_t offset) {
    std::size_t end = offset;
    while (end < input.size()) {
        char c = input[end];
        bool word = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' ||
                    c == '+' || c == '-' || c == '.';
        if (!word) {
            break;
        }
        ++end;
    }
    return input.substr(offset, end - offset);
}

// Builds the Python object of one TOML value, carrying the none_value text
// into every nested build. With Hooked, floats come from options.parse_float;
// without it (_vexil's deserialize) the instance has no trace of the hook.
template <bool Hooked>
class PyDeserializer {
public:
    explicit PyDeserializer(const BuildOptions& options) noexcept
        : none_value_(options.none_value), parse_float_(options.parse_float), input_(options.input) {}

    PyRef build(toml::Value value, Context& context) const {
        switch (value.type()) {
            case toml::Type::String:
                return build_string(value, context);
            case toml::Type::Integer: {
                const toml::Integer& integer = value.integer();
                if (!fits(integer)) {
                    return context.fail("integer number overflowed", value.offset());
                }
                return checked(make_int(integer), value.offset(), context);
            }
            case toml::Type::Float: {
                if constexpr (Hooked) {
                    return call_parse_float(value, context);
                }
                const toml::Float& number = value.floating();
                if (number.overflow) {
                    return context.fail("floating-point number overflowed", value.offset());
                }
                return checked(PyFloat_FromDouble(number.value), value.offset(), context);
            }
            case toml::Type::Boolean:
                return PyRef::steal(Py_NewRef(value.boolean() ? Py_True : Py_False));
            case toml::Type::DateTime:
                return checked(parse(value.datetime()), value.offset(), context);
            case toml::Type::Array:
                return build_array(value, context);
            case toml::Type::Table:
                return build_table(value.table(), context);
        }
        return context.fail("internal error: unknown value type", value.offset());
    }

    PyRef build_table(toml::Table table, Context& context) const {
        if (context.stack.exhausted()) {
            return context.fail(toml::kStackExhaustedMessage, table.offset());
        }
        PyRef dict = PyRef::steal(PyDict_New());
        if (!dict) {
            return context.fail_with_exception(table.offset());
        }
        PyKeySeed key_seed;
        for (const toml::Table::Entry& entry : table) {
            PyRef key = PyRef::steal(key_seed.build(entry.key));
            if (!key) {
                return context.fail_with_exception(table.offset());
            }
            PyRef value = build(entry.value, context);
            if (!value) {
                return PyRef();
            }
            Py_ssize_t size_before = PyDict_GET_SIZE(dict.get());
            if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) {
                return context.fail_with_exception(table.offset());
            }
            // The parser rejects keys defined twice; this guard makes sure no
            // value is ever silently replaced.
            if (PyDict_GET_SIZE(dict.get()) == size_before) {
                std::string message = "duplicate key: `";
                message.append(entry.key.text);
                message += '`';
                return context.fail(std::move(message), table.offset());
            }
        }
        return dict;
    }

private:
    static PyRef checked(PyObject* obj, std::size_t position, Context& context) {
        if (obj == nullptr) {
            return context.fail_with_exception(position);
        }
        return PyRef::steal(obj);
    }

    PyRef build_string(toml::Value value, Context& context) const {
        std::string_view text = value.string();
        if (none_value_ && none_value_->size() == text.size() &&
            std::memcmp(none_value_->data(), text.data(), text.size()) == 0) {
            return PyRef::steal(Py_NewRef(Py_None));
        }
        return checked(make_str(text, value.string_is_ascii()), value.offset(), context);
    }

    PyRef build_array(toml::Value value, Context& context) const {
        if (context.stack.exhausted()) {
            return context.fail(toml::kStackExhaustedMessage, value.offset());
        }
        toml::Array array = value.array();
        const std::size_t count = array.size();
        PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count)));
        if (!list) {
            return context.fail_with_exception(value.offset());
        }
        // The list is made at its final length and filled in place (no copy
        // of its elements is held anywhere else). Until it is full it is
        // kept out of the collector's sight, so nothing (gc.get_objects(), a
        // callback) ever sees its empty slots; freeing it half filled is
        // fine, the list's deallocator skips empty slots.
        PyObject_GC_UnTrack(list.get());
        for (std::size_t i = 0; i < count; ++i) {
            PyRef built = build(array[i], context);
            if (!built) {
                return PyRef();
            }
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), built.release());
        }
        PyObject_GC_Track(list.get());
        return list;
    }

    // parse_float(text): an exception it raises is kept to be raised
    // unchanged; so is the ValueError for a dict or list result (what
    // tomllib refuses, as it would stand for a table or an array).
    PyRef call_parse_float(toml::Value value, Context& context) const {
        std::string_view text = number_text(input_, value.offset());
        PyRef arg = PyRef::steal(make_str(text, /*is_ascii=*/true));
        if (!arg) {
            return context.fail_with_exception(value.offset());
        }
        PyRef result = PyRef::steal(PyObject_CallOneArg(parse_float_, arg.get()));
        if (result && (PyDict_Check(result.get()) || PyList_Check(result.get()))) {
            PyErr_SetString(PyExc_ValueError, "parse_float must not return dicts or lists");
            result = PyRef();
        }
        if (!result) {
            context.failure.raised = PyRef::steal(fetch_exception());
            return context.fail("parse_float raised", value.offset());
        }
        return result;
    }

    NoneValue none_value_;
    PyObject* parse_float_;
    std::string_view input_;
};

// Pauses the cyclic garbage collector for the life of a build.
//
// Every dict and list the build makes counts toward the collector's
// threshold, so a large document would otherwise set off collections in the
// middle of the build (3.11), or schedule one for the moment the call returns
// (3.12 and later); either way they walk the whole half-built or just-built
// tree, which cannot hold a cycle, and on 3.11 the older generations get
// walked again and again as the tree is promoted. Paused, the build sets
// off nothing: a caller who keeps the tree pays one young collection at the
// next allocation, as for any new objects, and one who drops it pays none.
//
// The collector's switch belongs to the interpreter, so the pause is safe
// only while no other code can observe it: the build holds the GIL from
// start to end and runs no Python code (it creates built-in objects only,
// and with the collector paused no finalizer runs), so no other thread and
// no reentrant call can see or change the switch in between. A build that
// ever calls back into Python code must not pause. The previous state is
// restored exactly, on every path: a collector the caller had disabled stays
// disabled.
class CollectorPause {
public:
    CollectorPause() noexcept : was_enabled_(PyGC_Disable() != 0) {}
    ~CollectorPause() {
        if (was_enabled_) {
            PyGC_Enable();
        }
    }
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;

private:
    bool was_enabled_;
};

}  // namespace

Result<PyRef, ReadFailure> build_value(toml::Value value, NoneValue none_value) {
    Context context;
    BuildOptions options;
    options.none_value = none_value;
    PyRef built = PyDeserializer<false>(options).build(value, context);
    if (!built) {
        return err(std::move(context.failure));
    }
    return built;
}

Result<PyRef, ReadFailure> build_document(const toml::Document& document, NoneValue none_value) {
    CollectorPause pause;
    Context context;
    BuildOptions options;
    options.none_value = none_value;
    PyRef root = PyDeserializer<false>(options).build_table(document.root(), context);
    if (!root) {
        return err(std::move(context.failure));
    }
    return root;
}

Result<PyRef, ReadFailure> build_document(const toml::Document& document, const BuildOptions& options) {
    if (options.parse_float == nullptr) {
        return build_document(document, options.none_value);
    }
    Context context;
    PyRef root = PyDeserializer<true>(options).build_table(document.root(), context);
    if (!root) {
        return err(std::move(context.failure));
    }
    return root;
}

}  // namespace vexil
