// The serializer: walks a Python object once and appends its TOML text to one
// buffer. Tables are written with headers, values and arrays inline; the text
// forms of single strings, keys, numbers and date-times come from
// toml/writer.hpp.
//
// Every writing operation returns a Status: nullopt on success, else the
// message of the first failure, which every caller hands back unchanged. No
// operation leaves a Python exception pending; one met on the way becomes
// message text ("TypeName: message").
//
// The writing functions are templates on Extended: false for _vexil's
// serialize (exact types, no options), true for the package's dumps. The
// two are compiled apart: this file defines the plain to_toml, and
// native_ser.cpp includes it with VEXIL_SER_EXTENDED set to define the one
// with options. So the Extended writer's code never shares a translation
// unit with the plain one, whose inlining (and speed) it would change.
#ifndef VEXIL_SER_EXTENDED
#define VEXIL_SER_EXTENDED 0
#endif

#include "ser.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_set>
#include <vector>


#include "datetime.hpp"
#include "lib.hpp"
#include "py_type.hpp"
#include "toml/stack.hpp"
#include "toml/writer.hpp"

namespace vexil {

namespace {

// Tables, inline tables and arrays may nest this deep; a container that
// contains itself ends here instead of recursing without end.
constexpr std::uint64_t nesting_limit = 128;

// One key/value pair of a dict, both held as strong references so that
// Python code run later in the walk (a repr, a tzinfo's utcoffset) cannot
// free them under us. For an entry of a table's arrays group, write_table
// also records whether the array is written as an array of tables and how
// many of its elements it put on the element stack.
struct Entry {
    PyRef key;
    PyRef value;
    bool array_of_tables = false;
    std::size_t table_count = 0;
};

// The state of one to_toml call.
struct Writer {
    std::string output;           // the TOML text so far
    const PyTypeLookup* lookup;   // the exact types values are classified by
    NoneValue none_value;         // the text None is written as, if any
    std::uint64_t depth = 0;      // containers being written
    toml::StackGuard stack = toml::StackGuard::current();  // this thread's C stack, checked at each level
    bool pretty = false;          // multi-line arrays
    // No byte of the output is above 0x7F. Only the text of strs (keys,
    // values) and none_value can bring such bytes; everything else the
    // writer makes is ASCII. Lets the caller copy the text into an ASCII str
    // without looking at it again.
    bool ascii = true;

    // The package API's options (WriteOptions). They are read only by the
    // Extended instances of the writing functions below, so _vexil's
    // serialize pays nothing for them.
    bool multiline_strings = true;
    bool nested_indent = false;
    bool sort_keys = false;
    std::size_t indent = 4;
    std::size_t margin = 0;         // indentation of the enclosing multi-line array's elements
    PyObject* default_ = nullptr;
    PyRef raised;                   // the exception `default_` raised, handed to the caller

    // Scratch stacks shared by the nested operations, so that a table or an
    // array costs no allocation of its own once they have grown: each
    // operation pushes what it collects and truncates back on return (on
    // every path, through StackScope). Access is by index, since a nested
    // operation may reallocate them.
    std::vector<Entry> entries;    // the entries of every table being written
    std::vector<Entry> deferred;   // partition's holding place for arrays and tables
    std::vector<PyRef> elements;   // the elements of every array being written
    std::string path;              // header path: encoded keys joined by "."
};

// Truncates a scratch stack to its size on entry when the scope ends,
// releasing the references it holds.
template <class Stack>
class StackScope {
public:
    explicit StackScope(Stack& stack) : stack_(stack), size_(stack.size()) {}
    ~StackScope() { stack_.erase(stack_.begin() + static_cast<std::ptrdiff_t>(size_), stack_.end()); }
    StackScope(const StackScope&) = delete;
    StackScope& operator=(const StackScope&) = delete;
    std::size_t begin() const noexcept { return size_; }

private:
    Stack& stack_;
    std::size_t size_;
};

enum class TableKind { Root, SubTable, ArrayItem };

// The C stack ran low: named like the interpreter's own recursion error,
// which is what ends the same chain on a thread with a larger stack.
[[gnu::cold]] std::string stack_error() {
    return "RecursionError: maximum recursion depth exceeded while writing TOML (the thread's C stack is nearly full)";
}

std::string nesting_error() {
    return "TOML nesting too deep, the limit is " + std::to_string(nesting_limit) +
           " levels, does the object contain itself?";
}

// One container level (a table, an inline table, an array), open for the
// life of the object. enter() fails once more than nesting_limit levels are
// open. Each level also counts toward the interpreter's recursion limit:
// Python code run in the middle of the walk (a tzinfo's utcoffset, a repr)
// may call serialize again, and the levels of every walk in progress on the
// thread then add up on one C stack; the recursion limit ends such a chain
// with RecursionError before the stack overflows. On a thread with a small
// stack the recursion limit comes too late, so each level also checks the
// stack itself. Both counts are given back when the level ends, on every
// path.
class Level {
public:
    explicit Level(Writer& w) noexcept : w_(w) { ++w_.depth; }
    ~Level() {
        if (entered_) {
            Py_LeaveRecursiveCall();
        }
        --w_.depth;
    }
    Level(const Level&) = delete;
    Level& operator=(const Level&) = delete;

    Status enter() {
        if (w_.depth > nesting_limit) {
            return nesting_error();
        }
        if (w_.stack.exhausted()) {
            return stack_error();
        }
        if (Py_EnterRecursiveCall(" while writing TOML") != 0) {
            return take_exception_text();
        }
        entered_ = true;
        return ok_status;
    }

private:
    Writer& w_;
    bool entered_ = false;
};

// The message for a number, date-time or string that could not be
// formatted into the output.
std::string fmt_err() { return "error writing TOML"; }

// The text that names an offending object in a message: "repr (TypeName)",
// or the type name alone when repr raises.
std::string any_repr(PyObject* obj) {
    std::string type_name = "unknown";
    if (PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(obj)))) {
        type_name = utf8_replacing(name.get()).value_or("unknown");
    } else {
        PyErr_Clear();
    }
    PyRef repr = PyRef::steal(PyObject_Repr(obj));
    if (!repr) {
        PyErr_Clear();
        return type_name;
    }
    std::string text = utf8_replacing(repr.get()).value_or("?");
    text += " (";
    text += type_name;
    text += ")";
    return text;
}

// The writing functions come in two instances: Extended false is
// _vexil's serializer (exact types only, no options), Extended true the
// package's dumps() with its options.
template <bool Extended>
Status write_value(Writer& w, PyObject* obj);
template <bool Extended>
Status write_table(Writer& w, PyObject* dict, TableKind kind);

// The UTF-8 form of a str, or nullptr with a Python exception set (lone
// surrogates). A compact ASCII str is its own UTF-8 form, read in place;
// most keys and values are such strs, and this spares them a call.
inline const char* utf8_of(PyObject* str, Py_ssize_t* length) {
    if (PyUnicode_IS_COMPACT_ASCII(str)) {
        *length = PyUnicode_GET_LENGTH(str);
        return static_cast<const char*>(PyUnicode_DATA(str));
    }
    return PyUnicode_AsUTF8AndSize(str, length);
}

// --- Keys ---------------------------------------------------------------------

// numpy's boolean scalar is accepted as a key like bool. Looked for only when
// a key is neither a str, None nor a bool. Returns true with *value set when
// `key` is one; a failing truth test is reported through *error.
bool numpy_bool_key(PyObject* key, bool* value, Status* error) {
    PyTypeObject* type = Py_TYPE(key);
    PyRef module = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
    if (!module) {
        PyErr_Clear();
        return false;
    }
    if (!PyUnicode_Check(module.get()) || PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) {
        return false;
    }
    PyRef name = PyRef::steal(PyType_GetName(type));
    if (!name) {
        PyErr_Clear();
        return false;
    }
    if (PyUnicode_CompareWithASCIIString(name.get(), "bool_") != 0 &&
        PyUnicode_CompareWithASCIIString(name.get(), "bool") != 0) {
        return false;
    }
    inquiry truth = type->tp_as_number != nullptr ? type->tp_as_number->nb_bool : nullptr;
    if (truth == nullptr) {
        return false;
    }
    int result = truth(key);
    if (result < 0) {
        *error = take_exception_text();
        return true;
    }
    *value = result != 0;
    return true;
}

// The text a key stands for, before quoting: a str's own characters (a
// subclass's __str__ is not consulted), none_value (or "null") for None,
// "true"/"false" for booleans. The view lives as long as the key and the
// none_value argument. Returns false for a key of no key kind; *error is set
// for a key of a key kind whose text cannot be had (lone surrogates, a
// failing truth test).
[[gnu::always_inline]] inline bool key_kind_text(const Writer& w, PyObject* key, std::string_view* out, Status* error) {
    if (PyUnicode_Check(key)) {
        Py_ssize_t length = 0;
        const char* data = utf8_of(key, &length);
        if (data == nullptr) {
            *error = take_exception_text();
        } else {
            *out = std::string_view(data, static_cast<std::size_t>(length));
        }
        return true;
    }
    if (key == Py_None) {
        *out = w.none_value ? *w.none_value : std::string_view("null");
        return true;
    }
    bool truth = false;
    if (Py_TYPE(key) == w.lookup->bool_) {
        truth = key == Py_True;
    } else if (!numpy_bool_key(key, &truth, error)) {
        return false;
    } else if (*error) {
        return true;
    }
    *out = truth ? std::string_view("true") : std::string_view("false");
    return true;
}

// As key_kind_text, with the message for a key of no key kind.
Status key_text(const Writer& w, PyObject* key, std::string_view* out) {
    Status error;
    if (!key_kind_text(w, key, out, &error)) {
        return any_repr(key) + " is not serializable as a TOML key";
    }
    return error;
}

// Appends the key to the output, bare, literal or basic.
Status write_key(Writer& w, PyObject* key) {
    std::string_view text;
    if (Status error = key_text(w, key, &text)) {
        return error;
    }
    if (PyUnicode_Check(key) && !PyUnicode_IS_ASCII(key)) {
        w.ascii = false;
    }
    toml::write_key(w.output, text);
    return ok_status;
}

// Appends the encoded key to `target` (a header path).
Status encode_key(const Writer& w, PyObject* key, std::string& target) {
    std::string_view text;
    if (Status error = key_text(w, key, &text)) {
        return error;
    }
    toml::write_key(target, text);
    return ok_status;
}

// --- Partition ----------------------------------------------------------------

// The entries of one dict on the entry stack, grouped: plain values first,
// then lists and tuples, then dicts, each group in the dict's order.
struct Groups {
    std::size_t plain_begin, arrays_begin, tables_begin, end;
    bool odd_keys;  // some key is not an exact str, so keys may collide
};

// Types written as tables or arrays only by the Extended writer: any
// Mapping that is not exactly a dict (subclasses, mappingproxy, Mapping
// classes; written through a dict copy made by as_dict), and subclasses of
// list and tuple (written through a list). Decided by type flags alone, so
// that no Python code runs while a dict is being iterated.
inline bool sequence_subtype(PyTypeObject* type) {
    return (type->tp_flags & (Py_TPFLAGS_LIST_SUBCLASS | Py_TPFLAGS_TUPLE_SUBCLASS)) != 0;
}
inline bool mapping_type(PyTypeObject* type) {
    return (type->tp_flags & Py_TPFLAGS_MAPPING) != 0 && !sequence_subtype(type);
}
inline bool container_subtype(PyTypeObject* type) {
    return (type->tp_flags & (Py_TPFLAGS_MAPPING | Py_TPFLAGS_LIST_SUBCLASS | Py_TPFLAGS_TUPLE_SUBCLASS)) != 0;
}

// A new dict with the items of a mapping, in the mapping's own order (an
// OrderedDict's, not that of the dict beneath it). Empty with the Python
// error pending on failure.
[[maybe_unused]] PyRef as_dict(PyObject* mapping) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (dict && PyDict_Merge(dict.get(), mapping, 1) < 0) {
        return PyRef();
    }
    return dict;
}

// Collects the dict's entries as strong references, leaving out None keys
// and None values when there is no none_value text. One pass over the dict:
// plain entries go straight onto the entry stack, the others wait on the
// deferred stack and follow them, arrays first. No Python code runs here.
template <bool Extended>
Groups partition(Writer& w, PyObject* dict) {
    const PyTypeLookup& types = *w.lookup;
    const bool drop_none = !w.none_value;
    Groups g{};
    g.plain_begin = w.entries.size();
    const std::size_t deferred = w.deferred.size();
    std::size_t arrays = 0;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        PyTypeObject* type = Py_TYPE(value);
        if (drop_none && (key == Py_None || type == types.none)) {
            continue;
        }
        g.odd_keys |= Py_TYPE(key) != types.str;
        if (type == types.dict) {
            w.deferred.push_back(Entry{PyRef::borrow(key), PyRef::borrow(value)});
        } else if (type == types.list || type == types.tuple) {
            w.deferred.push_back(Entry{PyRef::borrow(key), PyRef::borrow(value)});
            ++arrays;
        } else if (Extended && container_subtype(type)) {
            w.deferred.push_back(Entry{PyRef::borrow(key), PyRef::borrow(value)});
            arrays += sequence_subtype(type);
        } else {
            w.entries.push_back(Entry{PyRef::borrow(key), PyRef::borrow(value)});
        }
    }
    g.arrays_begin = w.entries.size();
    g.tables_begin = g.arrays_begin + arrays;
    std::size_t end = w.deferred.size();
    if (end != deferred) {
        w.entries.resize(g.arrays_begin + (end - deferred));
        std::size_t next_array = g.arrays_begin, next_table = g.tables_begin;
        for (std::size_t i = deferred; i < end; ++i) {
            PyTypeObject* type = Py_TYPE(w.deferred[i].value.get());
            bool table = type == types.dict || (Extended && mapping_type(type));
            w.entries[table ? next_table++ : next_array++] = std::move(w.deferred[i]);
        }
        w.deferred.resize(deferred);
    }
    g.end = w.entries.size();
    return g;
}

// Keys that are not exact str objects (None, booleans, str subclasses) can
// stand for the same text as another key of the same dict, which would write
// the key twice. Only dicts holding such a key are checked. Keys with no text
// are passed over here; writing them reports their error.
Status check_duplicate_keys(const Writer& w, const Groups& g) {
    std::unordered_set<std::string_view> seen;
    seen.reserve(g.end - g.plain_begin);
    for (std::size_t i = g.plain_begin; i < g.end; ++i) {
        std::string_view text;
        Status error;
        if (!key_kind_text(w, w.entries[i].key.get(), &text, &error) || error) {
            continue;
        }
        if (!seen.insert(text).second) {
            std::string message = "duplicate key: `";
            message += text;
            message += "`";
            return message;
        }
    }
    return ok_status;
}

// The Extended writer's containers of other types become a list or a dict
// in their entries, once the dict's iteration is over (converting may run
// Python code).
[[maybe_unused]] Status resolve_containers(Writer& w, const Groups& g) {
    const PyTypeLookup& types = *w.lookup;
    for (std::size_t i = g.arrays_begin; i < g.end; ++i) {
        PyRef& value = w.entries[i].value;
        PyTypeObject* type = Py_TYPE(value.get());
        if (type == types.list || type == types.tuple || type == types.dict) {
            continue;
        }
        PyRef resolved = i < g.tables_begin ? PyRef::steal(PySequence_List(value.get())) : as_dict(value.get());
        if (!resolved) {
            return take_exception_text();
        }
        value = std::move(resolved);
    }
    return ok_status;
}

// sort_keys: each group of entries in the order of the keys' texts (UTF-8
// byte order, which is code point order). Keys with no text keep their
// place among the others at the front; writing them reports their error.
[[maybe_unused]] void sort_groups(Writer& w, const Groups& g) {
    const std::size_t bounds[] = {g.plain_begin, g.arrays_begin, g.tables_begin, g.end};
    std::vector<std::pair<std::string_view, std::size_t>> order;
    std::vector<Entry> sorted;
    for (int group = 0; group < 3; ++group) {
        std::size_t begin = bounds[group], end = bounds[group + 1];
        if (end - begin < 2) {
            continue;
        }
        order.clear();
        for (std::size_t i = begin; i < end; ++i) {
            std::string_view text;
            Status error;
            if (!key_kind_text(w, w.entries[i].key.get(), &text, &error) || error) {
                text = std::string_view();
            }
            order.emplace_back(text, i);
        }
        std::stable_sort(order.begin(), order.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        sorted.clear();
        for (const auto& item : order) {
            sorted.push_back(std::move(w.entries[item.second]));
        }
        for (std::size_t i = begin; i < end; ++i) {
            w.entries[i] = std::move(sorted[i - begin]);
        }
    }
}

// A table's entries, grouped (and for the Extended writer converted and
// sorted), with colliding keys refused.
template <bool Extended>
Status collect(Writer& w, PyObject* dict, Groups& g) {
    g = partition<Extended>(w, dict);
    if constexpr (Extended) {
        if (Status error = resolve_containers(w, g)) {
            return error;
        }
        if (w.sort_keys) {
            sort_groups(w, g);
        }
    }
    if (g.odd_keys) {
        return check_duplicate_keys(w, g);
    }
    return ok_status;
}

// --- Values -------------------------------------------------------------------

// The elements of a list as strong references on the element stack (a list
// may change while its elements are written). Returns how many.
std::size_t array_elements(Writer& w, PyObject* obj) {
    if (PyList_Check(obj)) {
        Py_ssize_t n = PyList_GET_SIZE(obj);
        for (Py_ssize_t i = 0; i < n; ++i) {
            w.elements.push_back(PyRef::borrow(PyList_GET_ITEM(obj, i)));
        }
        return static_cast<std::size_t>(n);
    }
    if (PyTuple_Check(obj)) {
        Py_ssize_t n = PyTuple_GET_SIZE(obj);
        for (Py_ssize_t i = 0; i < n; ++i) {
            w.elements.push_back(PyRef::borrow(PyTuple_GET_ITEM(obj, i)));
        }
        return static_cast<std::size_t>(n);
    }
    return 0;
}

// Appends "[", the elements, "]": compact "[1, 2]", or in pretty mode with
// two or more elements one element per line, indented four spaces, each
// followed by a comma. `element(i)` yields element i and `write(obj)` writes
// it; None elements are skipped when `skip_none` (they still count for the
// layout decision). The Extended writer indents by its `indent` option and,
// with nested_indent, indents the elements of an inner array one step more
// than the line the array starts on, its "]" level with that line.
template <bool Extended, class Element, class Write>
Status write_array(Writer& w, std::size_t count, Element&& element, Write&& write, bool skip_none) {
    Level level(w);
    if (Status error = level.enter()) {
        return error;
    }
    const bool multiline = w.pretty && count >= 2;
    const std::size_t margin = w.margin;
    const std::size_t inner = Extended ? margin + w.indent : 4;
    w.output.push_back('[');
    std::size_t written = 0;
    for (std::size_t i = 0; i < count; ++i) {
        auto item = element(i);
        if constexpr (std::is_same_v<decltype(item), PyObject*>) {
            if (skip_none && item == Py_None) {
                continue;
            }
        }
        if (multiline) {
            if constexpr (Extended) {
                w.output.push_back('\n');
                w.output.append(inner, ' ');
            } else {
                w.output.append("\n    ", 5);
            }
        } else if (written != 0) {
            w.output.append(", ", 2);
        }
        if constexpr (Extended) {
            if (multiline && w.nested_indent) {
                w.margin = inner;
            }
        }
        Status error = write(item);
        if constexpr (Extended) {
            w.margin = margin;
        }
        if (error) {
            return error;
        }
        if (multiline) {
            w.output.push_back(',');
        }
        ++written;
    }
    if (multiline && written != 0) {
        w.output.push_back('\n');
        if constexpr (Extended) {
            w.output.append(margin, ' ');
        }
    }
    w.output.push_back(']');
    return ok_status;
}

template <bool Extended>
Status write_sequence(Writer& w, PyObject* obj) {
    const bool skip_none = !w.none_value;
    auto write = [&w](PyObject* item) { return write_value<Extended>(w, item); };
    if (Py_TYPE(obj) == w.lookup->tuple) {
        // A tuple cannot change, and the caller holds it: its items stay.
        std::size_t count = static_cast<std::size_t>(PyTuple_GET_SIZE(obj));
        return write_array<Extended>(
            w, count, [obj](std::size_t i) { return PyTuple_GET_ITEM(obj, static_cast<Py_ssize_t>(i)); }, write,
            skip_none);
    }
    StackScope scope(w.elements);
    std::size_t count = array_elements(w, obj);
    std::size_t base = scope.begin();
    return write_array<Extended>(
        w, count, [&w, base](std::size_t i) { return w.elements[base + i].get(); }, write, skip_none);
}

template <bool Extended>
Status write_bytes(Writer& w, const unsigned char* data, std::size_t count) {
    return write_array<Extended>(
        w, count, [data](std::size_t i) { return data[i]; },
        [&w](unsigned char b) {
            toml::write_integer(w.output, std::int64_t{b});
            return Status();
        },
        false);
}

// Beyond 64 bits: the 128-bit form, signed for negative values (overflow
// -1) and unsigned for positive ones (overflow 1), so that every integer
// TOML reads (from -2^127 to 2^128-1) is written back. Out of line: rare.
[[gnu::noinline]] Status write_big_int(Writer& w, PyObject* obj, int overflow) {
    PyRef index = PyRef::steal(PyNumber_Index(obj));
    if (!index) {
        return take_exception_text();
    }
    const int is_signed = overflow < 0;
    unsigned char bytes[16];
    auto* as_long = reinterpret_cast<PyLongObject*>(index.get());
#if PY_VERSION_HEX >= 0x030D0000
    int rc = _PyLong_AsByteArray(as_long, bytes, sizeof bytes, /*little_endian=*/1, is_signed, /*with_exceptions=*/1);
#else
    int rc = _PyLong_AsByteArray(as_long, bytes, sizeof bytes, /*little_endian=*/1, is_signed);
#endif
    if (rc < 0) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
            return take_exception_text();
        }
        PyErr_Clear();
        return any_repr(obj) + " is not serializable to TOML: integers must be between -2**127 and 2**128-1";
    }
    toml::uint128 bits = 0;
    for (int i = 15; i >= 0; --i) {
        bits = (bits << 8) | bytes[i];
    }
    if (is_signed) {
        toml::write_integer(w.output, static_cast<toml::int128>(bits));
    } else {
        toml::write_integer(w.output, bits);
    }
    return ok_status;
}

// Integers in 64 bits inline (the common case), larger ones by write_big_int.
[[gnu::always_inline]] inline Status write_int(Writer& w, PyObject* obj) {
    int overflow = 0;
    long value = PyLong_AsLongAndOverflow(obj, &overflow);
    if (overflow == 0) {
        if (value == -1 && PyErr_Occurred()) {
            return take_exception_text();
        }
        toml::write_integer(w.output, std::int64_t{value});
        return ok_status;
    }
    return write_big_int(w, obj, overflow);
}

template <bool Extended>
void write_text(Writer& w, std::string_view text) {
    if constexpr (Extended) {
        toml::write_string(w.output, text, w.multiline_strings);
    } else {
        toml::write_string(w.output, text);
    }
}

template <bool Extended>
Status write_str(Writer& w, PyObject* obj) {
    Py_ssize_t length = 0;
    const char* data = utf8_of(obj, &length);
    if (data == nullptr) {
        return take_exception_text();
    }
    if (!PyUnicode_IS_ASCII(obj)) {
        w.ascii = false;
    }
    write_text<Extended>(w, std::string_view(data, static_cast<std::size_t>(length)));
    return ok_status;
}

// Appends "{ k = v, ... }" ("{}" when empty): plain values, then arrays, then
// tables, each inline. Arrays of dicts become arrays of inline tables.
template <bool Extended>
Status write_inline_table(Writer& w, PyObject* dict) {
    Level level(w);
    if (Status error = level.enter()) {
        return error;
    }
    StackScope scope(w.entries);
    Groups g;
    if (Status error = collect<Extended>(w, dict, g)) {
        return error;
    }
    w.output.push_back('{');
    for (std::size_t i = g.plain_begin; i < g.end; ++i) {
        PyObject* key = w.entries[i].key.get();
        PyObject* value = w.entries[i].value.get();
        if (i == g.plain_begin) {
            w.output.push_back(' ');
        } else {
            w.output.append(", ", 2);
        }
        if (Status error = write_key(w, key)) {
            return error;
        }
        w.output.append(" = ", 3);
        if (Status error = write_value<Extended>(w, value)) {
            return error;
        }
    }
    if (g.end != g.plain_begin) {
        w.output.push_back(' ');
    }
    w.output.push_back('}');
    return ok_status;
}

// decimal.Decimal, when the decimal module is loaded (else no object can be
// one). -1 with the error pending if the test itself fails.
[[maybe_unused]] int is_decimal(PyObject* obj) {
    PyRef name = PyRef::steal(PyUnicode_FromString("decimal"));
    if (!name) {
        return -1;
    }
    PyRef module = PyRef::steal(PyImport_GetModule(name.get()));
    if (!module) {
        return PyErr_Occurred() ? -1 : 0;
    }
    PyRef cls = PyRef::steal(PyObject_GetAttrString(module.get(), "Decimal"));
    if (!cls) {
        return -1;
    }
    return PyObject_IsInstance(obj, cls.get());
}

// A Decimal as a TOML float that reads back as the same number: its own
// digits and exponent ("1.10", "1e+5", "-0.0"), ".0" added to whole numbers
// written without an exponent; NaNs as nan, infinities as inf or -inf.
[[maybe_unused]] Status write_decimal(Writer& w, PyObject* obj) {
    PyRef str = PyRef::steal(PyObject_Str(obj));
    if (!str) {
        return take_exception_text();
    }
    Py_ssize_t length = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str.get(), &length);
    if (data == nullptr) {
        return take_exception_text();
    }
    std::string_view text(data, static_cast<std::size_t>(length));
    const bool negative = !text.empty() && text[0] == '-';
    if (text.find_first_of("iI") != std::string_view::npos) {  // Infinity
        w.output.append(negative ? "-inf" : "inf");
        return ok_status;
    }
    if (text.find_first_of("nN") != std::string_view::npos) {  // NaN, sNaN
        w.output.append("nan", 3);
        return ok_status;
    }
    bool fraction_or_exponent = false;
    for (char c : text) {
        if (c == 'E' || c == 'e') {
            c = 'e';
            fraction_or_exponent = true;
        } else if (c == '.') {
            fraction_or_exponent = true;
        } else if (!(c == '-' || c == '+' || (c >= '0' && c <= '9'))) {
            return any_repr(obj) + " is not serializable to TOML";
        }
        w.output.push_back(c);
    }
    if (!fraction_or_exponent) {
        w.output.append(".0", 2);
    }
    return ok_status;
}

// Whether objects of this type are written by write_value's exact-type tests.
[[maybe_unused]] bool exact_type(const PyTypeLookup& t, PyTypeObject* type) {
    return type == t.none || type == t.int_ || type == t.bool_ || type == t.float_ || type == t.str ||
           type == t.dict || type == t.list || type == t.tuple || type == t.datetime || type == t.date ||
           type == t.time || type == t.bytes || type == t.bytearray;
}

// The Extended writer's values of no exact built-in type: subclasses of the
// scalar and container types, Mappings, Decimals; then `default`, whose
// result is written in the object's place. Default is called once per
// object: if it returns something just as unwritable, that is the error
// (calling it again could go on for ever).
[[maybe_unused]] Status write_other(Writer& w, PyObject* obj, bool allow_default) {
    const PyTypeLookup& types = *w.lookup;
    PyTypeObject* type = Py_TYPE(obj);
    if (PyLong_Check(obj)) {
        return write_int(w, obj);
    }
    if (PyFloat_Check(obj)) {
        if (!toml::write_float(w.output, PyFloat_AS_DOUBLE(obj))) {
            return fmt_err();
        }
        return ok_status;
    }
    if (PyUnicode_Check(obj)) {
        return write_str<true>(w, obj);
    }
    if (sequence_subtype(type)) {
        PyRef list = PyRef::steal(PySequence_List(obj));
        if (!list) {
            return take_exception_text();
        }
        return write_sequence<true>(w, list.get());
    }
    if (mapping_type(type)) {
        PyRef dict = as_dict(obj);
        if (!dict) {
            return take_exception_text();
        }
        return write_inline_table<true>(w, dict.get());
    }
    if (PyObject_TypeCheck(obj, types.datetime)) {
        toml::DateTime components;
        if (!datetime_to_toml(obj, &components)) {
            return take_exception_text();
        }
        toml::write_datetime(w.output, components);
        return ok_status;
    }
    if (PyObject_TypeCheck(obj, types.date)) {
        toml::write_datetime(w.output, date_to_toml(obj));
        return ok_status;
    }
    if (PyObject_TypeCheck(obj, types.time)) {
        toml::write_datetime(w.output, time_to_toml(obj));
        return ok_status;
    }
    int decimal = is_decimal(obj);
    if (decimal < 0) {
        return take_exception_text();
    }
    if (decimal) {
        return write_decimal(w, obj);
    }
    if (w.default_ != nullptr && allow_default) {
        PyRef result = PyRef::steal(PyObject_CallOneArg(w.default_, obj));
        if (!result) {
            w.raised = PyRef::steal(fetch_exception());
            return std::string("default raised");
        }
        if (exact_type(types, Py_TYPE(result.get()))) {
            return write_value<true>(w, result.get());
        }
        Status error = write_other(w, result.get(), false);
        if (error && !w.raised && error->ends_with(" is not serializable to TOML")) {
            return any_repr(result.get()) + ", returned by default for " + any_repr(obj) +
                   ", is not serializable to TOML";
        }
        return error;
    }
    return any_repr(obj) + " is not serializable to TOML";
}

template <bool Extended>
Status write_value(Writer& w, PyObject* obj) {
    const PyTypeLookup& types = *w.lookup;
    PyTypeObject* type = Py_TYPE(obj);
    if (type == types.none) {
        write_text<Extended>(w, w.none_value ? *w.none_value : std::string_view("null"));
        return ok_status;
    }
    if (type == types.int_) {
        return write_int(w, obj);
    }
    if (type == types.bool_) {
        if (obj == Py_True) {
            w.output.append("true", 4);
        } else {
            w.output.append("false", 5);
        }
        return ok_status;
    }
    if (type == types.float_) {
        if (!toml::write_float(w.output, PyFloat_AS_DOUBLE(obj))) {
            return fmt_err();
        }
        return ok_status;
    }
    if (type == types.str) {
        return write_str<Extended>(w, obj);
    }
    if (type == types.dict) {
        return write_inline_table<Extended>(w, obj);
    }
    if (type == types.list || type == types.tuple) {
        return write_sequence<Extended>(w, obj);
    }
    if (type == types.datetime) {
        toml::DateTime components;
        if (!datetime_to_toml(obj, &components)) {
            return take_exception_text();
        }
        toml::write_datetime(w.output, components);
        return ok_status;
    }
    if (type == types.date) {
        toml::write_datetime(w.output, date_to_toml(obj));
        return ok_status;
    }
    if (type == types.time) {
        toml::write_datetime(w.output, time_to_toml(obj));
        return ok_status;
    }
    if (type == types.bytes) {
        return write_bytes<Extended>(w, reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(obj)),
                                     static_cast<std::size_t>(PyBytes_GET_SIZE(obj)));
    }
    if (type == types.bytearray) {
        // Copied first: writing runs no Python code today, but the buffer of
        // a bytearray can move whenever it does.
        std::string copy(PyByteArray_AS_STRING(obj), static_cast<std::size_t>(PyByteArray_GET_SIZE(obj)));
        return write_bytes<Extended>(w, reinterpret_cast<const unsigned char*>(copy.data()), copy.size());
    }
    if constexpr (Extended) {
        return write_other(w, obj, true);
    }
    return any_repr(obj) + " is not serializable to TOML";
}

// --- Tables -------------------------------------------------------------------

// An empty line before every header but one at the very start, then
// "[path]" or "[[path]]".
[[gnu::always_inline]] inline void write_header(Writer& w, bool array_of_tables) {
    if (!w.output.empty()) {
        w.output.push_back('\n');
    }
    w.output.append(array_of_tables ? "[[" : "[", array_of_tables ? 2 : 1);
    w.output.append(w.path);
    w.output.append(array_of_tables ? "]]\n" : "]\n", array_of_tables ? 3 : 2);
}

template <bool Extended>
Status write_key_value(Writer& w, std::size_t entry) {
    PyObject* key = w.entries[entry].key.get();
    PyObject* value = w.entries[entry].value.get();
    if (Status error = write_key(w, key)) {
        return error;
    }
    w.output.append(" = ", 3);
    if (Status error = write_value<Extended>(w, value)) {
        return error;
    }
    w.output.push_back('\n');
    return ok_status;
}

// Extends the header path by one encoded key and restores it on scope exit.
class PathScope {
public:
    explicit PathScope(Writer& w) : w_(w), size_(w.path.size()) {}
    ~PathScope() { w_.path.resize(size_); }
    PathScope(const PathScope&) = delete;
    PathScope& operator=(const PathScope&) = delete;
    Status push(PyObject* key) {
        if (!w_.path.empty()) {
            w_.path.push_back('.');
        }
        if (PyUnicode_Check(key) && !PyUnicode_IS_ASCII(key)) {
            w_.ascii = false;  // the path goes into every header below it
        }
        return encode_key(w_, key, w_.path);
    }

private:
    Writer& w_;
    std::size_t size_;
};

// Writes one table: its header (when it needs one), its plain values, its
// arrays written as values, then its arrays of tables and its nested tables,
// each with their own headers.
template <bool Extended>
Status write_table(Writer& w, PyObject* dict, TableKind kind) {
    Level level(w);
    if (Status error = level.enter()) {
        return error;
    }
    StackScope entries_scope(w.entries);
    StackScope elements_scope(w.elements);
    const PyTypeLookup& types = *w.lookup;
    const bool drop_none = !w.none_value;
    Groups g;
    if (Status error = collect<Extended>(w, dict, g)) {
        return error;
    }

    // Which arrays are arrays of tables: all elements exact dicts (None
    // elements ignored without a none_value), at least one dict. The
    // elements of those are kept on the element stack for writing below.
    bool has_lines = g.arrays_begin != g.plain_begin;
    bool has_arrays_of_tables = false;
    for (std::size_t i = g.arrays_begin; i < g.tables_begin; ++i) {
        PyObject* array = w.entries[i].value.get();
        Py_ssize_t n = PySequence_Fast_GET_SIZE(array);  // a list or a tuple
        PyObject** items = PySequence_Fast_ITEMS(array);
        std::size_t tables = 0;
        bool all_tables = n != 0;
        for (Py_ssize_t k = 0; k < n && all_tables; ++k) {
            PyTypeObject* type = Py_TYPE(items[k]);
            if (type == types.dict || (Extended && mapping_type(type))) {
                ++tables;
            } else if (!(drop_none && type == types.none)) {
                all_tables = false;
            }
        }
        if (all_tables && tables != 0) {
            Entry& entry = w.entries[i];
            entry.array_of_tables = true;
            std::size_t first = w.elements.size();
            entry.table_count = array_elements(w, array);
            has_arrays_of_tables = true;
            if constexpr (Extended) {
                // Mappings of other types are written through dict copies.
                for (std::size_t k = first; k < w.elements.size(); ++k) {
                    PyObject* item = w.elements[k].get();
                    if (Py_TYPE(item) != types.dict && item != Py_None) {
                        PyRef dict_copy = as_dict(item);
                        if (!dict_copy) {
                            return take_exception_text();
                        }
                        w.elements[k] = std::move(dict_copy);
                    }
                }
            }
        } else {
            has_lines = true;
        }
    }

    if (kind == TableKind::ArrayItem) {
        write_header(w, true);
    } else if (kind == TableKind::SubTable &&
               (has_lines || (g.tables_begin == g.end && !has_arrays_of_tables))) {
        write_header(w, false);
    }

    for (std::size_t i = g.plain_begin; i < g.arrays_begin; ++i) {
        if (Status error = write_key_value<Extended>(w, i)) {
            return error;
        }
    }
    for (std::size_t i = g.arrays_begin; i < g.tables_begin; ++i) {
        if (!w.entries[i].array_of_tables) {
            if (Status error = write_key_value<Extended>(w, i)) {
                return error;
            }
        }
    }

    std::size_t element = elements_scope.begin();
    for (std::size_t i = g.arrays_begin; i < g.tables_begin; ++i) {
        if (!w.entries[i].array_of_tables) {
            continue;
        }
        PathScope path(w);
        if (Status error = path.push(w.entries[i].key.get())) {
            return error;
        }
        std::size_t count = w.entries[i].table_count;
        for (std::size_t k = 0; k < count; ++k, ++element) {
            PyObject* item = w.elements[element].get();
            if (item == Py_None) {
                continue;
            }
            if (Status error = write_table<Extended>(w, item, TableKind::ArrayItem)) {
                return error;
            }
        }
    }

    for (std::size_t i = g.tables_begin; i < g.end; ++i) {
        PathScope path(w);
        if (Status error = path.push(w.entries[i].key.get())) {
            return error;
        }
        if (Status error = write_table<Extended>(w, w.entries[i].value.get(), TableKind::SubTable)) {
            return error;
        }
    }
    return ok_status;
}

}  // namespace

namespace {

// Hands back the finished text, and whether it is all ASCII. A large text
// gives back its growth slack before the caller makes a str of it. The copy
// is cheap next to what it saves: with the slack held, the buffer and the str
// can together pass glibc's heap trim threshold, so every call would hand the
// heap back to the kernel and take it again page by page (about 800 page
// faults per call for citm_catalog).
Result<std::string, std::string> finish(Writer& w, Status error, bool* ascii) {
    if (error) {
        return err(std::move(*error));
    }
    if (w.output.size() >= (std::size_t{1} << 16) && w.output.capacity() - w.output.size() >= w.output.size() / 8) {
        w.output.shrink_to_fit();
    }
    if (ascii != nullptr) {
        *ascii = w.ascii;
    }
    return std::move(w.output);
}

// The none_value text reaches the output as it is.
void note_none_value(Writer& w, NoneValue none_value) {
    if (none_value) {
        for (char c : *none_value) {
            w.ascii &= static_cast<unsigned char>(c) < 0x80;
        }
    }
}

}  // namespace

#if !VEXIL_SER_EXTENDED

// The editor's writers: one value inline (a dict as an inline table), and
// the entries of a dict as they would stand in a table whose header path is
// `path` (encoded keys joined by "."): plain values as key/value lines,
// tables and arrays of tables under headers that start with `path`.
Result<std::string, std::string> to_toml_inline(PyObject* obj) {
    const PyTypeLookup* lookup = PyTypeLookup::cached();
    if (lookup == nullptr) {
        PyErr_Clear();
        return err(std::string("failed to import `datetime` C API"));
    }
    Writer w;
    w.lookup = lookup;
    if (Status error = write_value<false>(w, obj)) {
        return err(std::move(*error));
    }
    return std::move(w.output);
}

Result<std::string, std::string> to_toml_entries(PyObject* dict, std::string_view path) {
    const PyTypeLookup* lookup = PyTypeLookup::cached();
    if (lookup == nullptr) {
        PyErr_Clear();
        return err(std::string("failed to import `datetime` C API"));
    }
    Writer w;
    w.lookup = lookup;
    w.path.assign(path);
    if (Status error = write_table<false>(w, dict, TableKind::Root)) {
        return err(std::move(*error));
    }
    return std::move(w.output);
}

Result<std::string, std::string> to_toml(PyObject* obj, NoneValue none_value, bool pretty, bool* ascii) {
    const PyTypeLookup* lookup = PyTypeLookup::cached();
    if (lookup == nullptr) {
        PyErr_Clear();
        return err(std::string("failed to import `datetime` C API"));
    }
    Writer w;
    w.output.reserve(256);
    w.lookup = lookup;
    w.none_value = none_value;
    note_none_value(w, none_value);
    Status error;
    if (Py_TYPE(obj) == lookup->dict) {
        w.pretty = pretty;
        error = write_table<false>(w, obj, TableKind::Root);
    } else {
        error = write_value<false>(w, obj);
    }
    return finish(w, std::move(error), ascii);
}

#else

Result<std::string, std::string> to_toml(PyObject* obj, const WriteOptions& options, PyRef* raised, bool* ascii) {
    if (!options.extended) {
        return to_toml(obj, options.none_value, options.pretty, ascii);
    }
    const PyTypeLookup* lookup = PyTypeLookup::cached();
    if (lookup == nullptr) {
        PyErr_Clear();
        return err(std::string("failed to import `datetime` C API"));
    }
    Writer w;
    w.output.reserve(256);
    w.lookup = lookup;
    w.none_value = options.none_value;
    note_none_value(w, options.none_value);
    w.multiline_strings = options.multiline_strings;
    w.nested_indent = options.nested_indent;
    w.indent = options.indent;
    w.sort_keys = options.sort_keys;
    w.default_ = options.default_;
    PyRef root = PyRef::borrow(obj);
    if (Py_TYPE(obj) != lookup->dict && mapping_type(Py_TYPE(obj))) {
        root = as_dict(obj);
        if (!root) {
            return err(take_exception_text());
        }
    }
    Status error;
    if (Py_TYPE(root.get()) == lookup->dict) {
        w.pretty = options.pretty;
        error = write_table<true>(w, root.get(), TableKind::Root);
    } else {
        error = write_value<true>(w, root.get());
    }
    if (w.raised) {
        *raised = std::move(w.raised);
    }
    return finish(w, std::move(error), ascii);
}

#endif

}  // namespace vexil
