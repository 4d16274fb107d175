// The serializer: walks a Python object once and appends its TOML text to one
// buffer. Tables are written with headers, values and arrays inline; the text
// forms of single strings, keys, numbers and date-times come from
// toml/writer.hpp.
//
// Every writing operation returns a Status: nullopt on success, else the
// message of the first failure, which every caller hands back unchanged. No
// operation leaves a Python exception pending; one met on the way becomes
// message text ("TypeName: message").
#include "ser.hpp"

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_set>
#include <vector>


#include "datetime.hpp"
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
    toml::StackGuard stack;       // this thread's C stack, checked at each level
    bool pretty = false;          // multi-line arrays

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

Status write_value(Writer& w, PyObject* obj);
Status write_table(Writer& w, PyObject* dict, TableKind kind);

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
bool key_kind_text(const Writer& w, PyObject* key, std::string_view* out, Status* error) {
    if (PyUnicode_Check(key)) {
        Py_ssize_t length = 0;
        const char* data = PyUnicode_AsUTF8AndSize(key, &length);
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

// Collects the dict's entries as strong references, leaving out None keys
// and None values when there is no none_value text. One pass over the dict:
// plain entries go straight onto the entry stack, the others wait on the
// deferred stack and follow them, arrays first. No Python code runs here.
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
            bool table = Py_TYPE(w.deferred[i].value.get()) == types.dict;
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
// layout decision).
template <class Element, class Write>
Status write_array(Writer& w, std::size_t count, Element&& element, Write&& write, bool skip_none) {
    Level level(w);
    if (Status error = level.enter()) {
        return error;
    }
    const bool multiline = w.pretty && count >= 2;
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
            w.output.append("\n    ", 5);
        } else if (written != 0) {
            w.output.append(", ", 2);
        }
        if (Status error = write(item)) {
            return error;
        }
        if (multiline) {
            w.output.push_back(',');
        }
        ++written;
    }
    if (multiline && written != 0) {
        w.output.push_back('\n');
    }
    w.output.push_back(']');
    return ok_status;
}

Status write_sequence(Writer& w, PyObject* obj) {
    const bool skip_none = !w.none_value;
    auto write = [&w](PyObject* item) { return write_value(w, item); };
    if (Py_TYPE(obj) == w.lookup->tuple) {
        // A tuple cannot change, and the caller holds it: its items stay.
        std::size_t count = static_cast<std::size_t>(PyTuple_GET_SIZE(obj));
        return write_array(w, count, [obj](std::size_t i) { return PyTuple_GET_ITEM(obj, static_cast<Py_ssize_t>(i)); },
                           write, skip_none);
    }
    StackScope scope(w.elements);
    std::size_t count = array_elements(w, obj);
    std::size_t base = scope.begin();
    return write_array(w, count, [&w, base](std::size_t i) { return w.elements[base + i].get(); }, write, skip_none);
}

Status write_bytes(Writer& w, const unsigned char* data, std::size_t count) {
    return write_array(
        w, count, [data](std::size_t i) { return data[i]; },
        [&w](unsigned char b) {
            toml::write_integer(w.output, std::int64_t{b});
            return Status();
        },
        false);
}

Status write_int(Writer& w, PyObject* obj) {
    int overflow = 0;
    long value = PyLong_AsLongAndOverflow(obj, &overflow);
    if (overflow == 0) {
        if (value == -1 && PyErr_Occurred()) {
            return take_exception_text();
        }
        toml::write_integer(w.output, std::int64_t{value});
        return ok_status;
    }
    // Beyond 64 bits: the signed 128-bit two's-complement form.
    PyRef index = PyRef::steal(PyNumber_Index(obj));
    if (!index) {
        return take_exception_text();
    }
    unsigned char bytes[16];
    auto* as_long = reinterpret_cast<PyLongObject*>(index.get());
#if PY_VERSION_HEX >= 0x030D0000
    int rc = _PyLong_AsByteArray(as_long, bytes, sizeof bytes, /*little_endian=*/1, /*is_signed=*/1,
                                 /*with_exceptions=*/1);
#else
    int rc = _PyLong_AsByteArray(as_long, bytes, sizeof bytes, /*little_endian=*/1, /*is_signed=*/1);
#endif
    if (rc < 0) {
        return take_exception_text();
    }
    __extension__ unsigned __int128 bits = 0;
    for (int i = 15; i >= 0; --i) {
        bits = (bits << 8) | bytes[i];
    }
    toml::write_integer(w.output, static_cast<toml::int128>(bits));
    return ok_status;
}

Status write_str(Writer& w, PyObject* obj) {
    Py_ssize_t length = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &length);
    if (data == nullptr) {
        return take_exception_text();
    }
    toml::write_string(w.output, std::string_view(data, static_cast<std::size_t>(length)));
    return ok_status;
}

// Appends "{ k = v, ... }" ("{}" when empty): plain values, then arrays, then
// tables, each inline. Arrays of dicts become arrays of inline tables.
Status write_inline_table(Writer& w, PyObject* dict) {
    Level level(w);
    if (Status error = level.enter()) {
        return error;
    }
    StackScope scope(w.entries);
    Groups g = partition(w, dict);
    if (g.odd_keys) {
        if (Status error = check_duplicate_keys(w, g)) {
            return error;
        }
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
        if (Status error = write_value(w, value)) {
            return error;
        }
    }
    if (g.end != g.plain_begin) {
        w.output.push_back(' ');
    }
    w.output.push_back('}');
    return ok_status;
}

Status write_value(Writer& w, PyObject* obj) {
    const PyTypeLookup& types = *w.lookup;
    PyTypeObject* type = Py_TYPE(obj);
    if (type == types.none) {
        toml::write_string(w.output, w.none_value ? *w.none_value : std::string_view("null"));
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
        return write_str(w, obj);
    }
    if (type == types.dict) {
        return write_inline_table(w, obj);
    }
    if (type == types.list || type == types.tuple) {
        return write_sequence(w, obj);
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
        return write_bytes(w, reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(obj)),
                           static_cast<std::size_t>(PyBytes_GET_SIZE(obj)));
    }
    if (type == types.bytearray) {
        // Copied first: writing runs no Python code today, but the buffer of
        // a bytearray can move whenever it does.
        std::string copy(PyByteArray_AS_STRING(obj), static_cast<std::size_t>(PyByteArray_GET_SIZE(obj)));
        return write_bytes(w, reinterpret_cast<const unsigned char*>(copy.data()), copy.size());
    }
    return any_repr(obj) + " is not serializable to TOML";
}

// --- Tables -------------------------------------------------------------------

// An empty line before every header but one at the very start, then
// "[path]" or "[[path]]".
void write_header(Writer& w, bool array_of_tables) {
    if (!w.output.empty()) {
        w.output.push_back('\n');
    }
    w.output.append(array_of_tables ? "[[" : "[", array_of_tables ? 2 : 1);
    w.output.append(w.path);
    w.output.append(array_of_tables ? "]]\n" : "]\n", array_of_tables ? 3 : 2);
}

Status write_key_value(Writer& w, std::size_t entry) {
    PyObject* key = w.entries[entry].key.get();
    PyObject* value = w.entries[entry].value.get();
    if (Status error = write_key(w, key)) {
        return error;
    }
    w.output.append(" = ", 3);
    if (Status error = write_value(w, value)) {
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
        return encode_key(w_, key, w_.path);
    }

private:
    Writer& w_;
    std::size_t size_;
};

// Writes one table: its header (when it needs one), its plain values, its
// arrays written as values, then its arrays of tables and its nested tables,
// each with their own headers.
Status write_table(Writer& w, PyObject* dict, TableKind kind) {
    Level level(w);
    if (Status error = level.enter()) {
        return error;
    }
    StackScope entries_scope(w.entries);
    StackScope elements_scope(w.elements);
    const PyTypeLookup& types = *w.lookup;
    const bool drop_none = !w.none_value;
    Groups g = partition(w, dict);
    if (g.odd_keys) {
        if (Status error = check_duplicate_keys(w, g)) {
            return error;
        }
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
            if (type == types.dict) {
                ++tables;
            } else if (!(drop_none && type == types.none)) {
                all_tables = false;
            }
        }
        if (all_tables && tables != 0) {
            Entry& entry = w.entries[i];
            entry.array_of_tables = true;
            entry.table_count = array_elements(w, array);
            has_arrays_of_tables = true;
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
        if (Status error = write_key_value(w, i)) {
            return error;
        }
    }
    for (std::size_t i = g.arrays_begin; i < g.tables_begin; ++i) {
        if (!w.entries[i].array_of_tables) {
            if (Status error = write_key_value(w, i)) {
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
            if (Status error = write_table(w, item, TableKind::ArrayItem)) {
                return error;
            }
        }
    }

    for (std::size_t i = g.tables_begin; i < g.end; ++i) {
        PathScope path(w);
        if (Status error = path.push(w.entries[i].key.get())) {
            return error;
        }
        if (Status error = write_table(w, w.entries[i].value.get(), TableKind::SubTable)) {
            return error;
        }
    }
    return ok_status;
}

}  // namespace

Result<std::string, std::string> to_toml(PyObject* obj, NoneValue none_value, bool pretty) {
    const PyTypeLookup* lookup = PyTypeLookup::cached();
    if (lookup == nullptr) {
        PyErr_Clear();
        return err(std::string("failed to import `datetime` C API"));
    }
    Writer w;
    w.stack = toml::StackGuard::current();
    w.output.reserve(256);
    w.lookup = lookup;
    w.none_value = none_value;
    Status error;
    if (Py_TYPE(obj) == lookup->dict) {
        w.pretty = pretty;
        error = write_table(w, obj, TableKind::Root);
    } else {
        error = write_value(w, obj);
    }
    if (error) {
        return err(std::move(*error));
    }
    // A large text gives back its growth slack before the caller makes a str
    // of it. The copy is cheap next to what it saves: with the slack held,
    // the buffer and the str can together pass glibc's heap trim threshold,
    // so every call would hand the heap back to the kernel and take it again
    // page by page (about 800 page faults per call for citm_catalog).
    if (w.output.size() >= (std::size_t{1} << 16) && w.output.capacity() - w.output.size() >= w.output.size() / 8) {
        w.output.shrink_to_fit();
    }
    return std::move(w.output);
}

}  // namespace vexil
