// The editor's native tree: a TOML text with its data tree and, built on
// first need, its layout (toml/lossless.hpp).
//
// A tree never changes. An edit computes replacement text for spans of the
// current text, splices it into a new text and parses that into a new tree;
// if the new text does not parse, the edit raises and the old tree stays.
// Reads go through the data tree and build Python objects only for what is
// asked, with the same builder as deserialize.
//
// Paths come from Python as tuples of str (table keys) and int (array
// indexes, negative counting from the end).
#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "de.hpp"
#include "lib.hpp"
#include "native.hpp"
#include "ser.hpp"
#include "toml/lossless.hpp"
#include "toml/toml.hpp"
#include "toml/writer.hpp"

namespace vexil::native {
namespace {

using toml::lossless::Layout;
using toml::lossless::npos;
using toml::lossless::Path;
using toml::lossless::Section;
using toml::lossless::SectionKind;
using toml::lossless::Span;
using toml::lossless::Statement;
using toml::lossless::Step;
using toml::lossless::ValueKind;
using toml::lossless::ValueText;

struct TreeState {
    // The text: a view of the caller's str (its UTF-8 form) or bytes, held
    // by `source`, so reading a document copies nothing; or, after an edit,
    // of the tree's own string.
    PyRef source;
    std::string owned;
    std::string_view text;
    PyRef str;  // the text as a str, once made (or given)
    toml::Document document;
    std::unique_ptr<Layout> layout;
    // False for the result of an edit that was checked locally (a scalar
    // put in place of a value): its text is parsed on first need only, so
    // an edit followed by writing the text costs no second parse.
    bool parsed = true;
    // Such a tree also keeps the tree it was made from and its one patch,
    // and writes its own text only when something needs it: an edit
    // followed by str() never copies the text.
    PyRef base;
    Span patch{};
    std::string patch_text;

    const Layout& get_layout() {
        if (!layout) {
            auto built = std::make_unique<Layout>();
            toml::lossless::build_layout(text, *built);
            layout = std::move(built);
        }
        return *layout;
    }
};

struct TreeObject {
    PyObject_HEAD
    TreeState* state;
};

OnceCell<PyObject> tree_type_cell;

void tree_dealloc(PyObject* self) {
    delete reinterpret_cast<TreeObject*>(self)->state;
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* tree_type();

// A new tree object that owns `state`.
PyObject* tree_object(std::unique_ptr<TreeState> state) {
    PyObject* type = tree_type();
    if (type == nullptr) {
        return nullptr;
    }
    PyObject* obj = PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(type), 0);
    if (obj == nullptr) {
        return nullptr;
    }
    reinterpret_cast<TreeObject*>(obj)->state = state.release();
    return obj;
}

PyObject* parsed_tree(std::unique_ptr<TreeState> state, PyObject* cls, std::string_view prefix);

TreeState& state_of(PyObject* self) { return *reinterpret_cast<TreeObject*>(self)->state; }

// Parses `text` into a new tree object; on failure raises `cls` with the
// parse message (TomlParsingError for input, TomlSerializationError for the
// result of an edit).
PyObject* make_tree(std::string text, PyObject* cls, std::string_view prefix) {
    auto state = std::make_unique<TreeState>();
    state->owned = std::move(text);
    state->text = state->owned;
    return parsed_tree(std::move(state), cls, prefix);
}

PyObject* parsed_tree(std::unique_ptr<TreeState> state, PyObject* cls, std::string_view prefix) {
    toml::ParseResult parsed = toml::parse(state->text);
    if (!parsed) {
        const toml::Error& error = parsed.error();
        std::string message(prefix);
        message += parsing_error({error.message, error.offset}, state->text);
        raise_module_error(cls, message);
        return nullptr;
    }
    state->document = std::move(parsed.document());
    return tree_object(std::move(state));
}

PyObject* edited_tree(std::string text) {
    return make_tree(std::move(text), serialization_error_class(), "the edit would not read back as TOML: ");
}

// A tree whose text is the text of `base` with `patch` replaced by `text`.
PyObject* patched_tree(PyObject* base, Span patch, std::string text) {
    auto state = std::make_unique<TreeState>();
    state->base = PyRef::borrow(base);
    state->patch = patch;
    state->patch_text = std::move(text);
    state->parsed = false;
    return tree_object(std::move(state));
}

// Parses a tree made by a locally checked edit. Such a text always parses
// (a value was replaced by another complete value); should it not, the
// failure is an error of the editor and is raised as such.
// Writes the text of a patched tree (its base always has its own text: a
// tree is only edited after a walk, which gets its text first).
void ensure_text(TreeState& st) {
    if (!st.base) {
        return;
    }
    TreeState& base = state_of(st.base.get());
    ensure_text(base);
    st.owned.reserve(base.text.size() - (st.patch.end - st.patch.begin) + st.patch_text.size());
    st.owned.append(base.text.substr(0, st.patch.begin));
    st.owned.append(st.patch_text);
    st.owned.append(base.text.substr(st.patch.end));
    st.text = st.owned;
    st.base = PyRef();
    std::string().swap(st.patch_text);
}

bool ensure_parsed(TreeState& st) {
    ensure_text(st);
    if (st.parsed) {
        return true;
    }
    toml::ParseResult parsed = toml::parse(st.text);
    if (!parsed) {
        const toml::Error& error = parsed.error();
        raise_internal_error(("edited text does not parse: " + parsing_error({error.message, error.offset}, st.text)).c_str());
        return false;
    }
    st.document = std::move(parsed.document());
    st.parsed = true;
    return true;
}

// --- paths --------------------------------------------------------------------

// Where a path leads in the data tree.
struct Cursor {
    bool root = true;
    toml::Value value{nullptr};

    bool is_table() const { return root || value.type() == toml::Type::Table; }
    bool is_array() const { return !root && value.type() == toml::Type::Array; }
};

std::string_view step_key(PyObject* item) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(item, &size);
    if (data == nullptr) {
        return {};
    }
    return {data, static_cast<std::size_t>(size)};
}

// Walks the first `count` steps of `path` (a tuple). Fills `out` with the
// steps, negative indexes made absolute. Raises KeyError, IndexError or
// TypeError and returns false when the path does not lead anywhere.
bool walk(TreeState& st, PyObject* path, Py_ssize_t count, Cursor* cursor, Path* out) {
    if (!ensure_parsed(st)) {
        return false;
    }
    if (!PyTuple_Check(path)) {
        PyErr_SetString(PyExc_TypeError, "a path is a tuple of keys and indexes");
        return false;
    }
    Cursor c;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PyTuple_GET_ITEM(path, i);
        Step step;
        if (PyUnicode_Check(item)) {
            if (!c.is_table()) {
                PyErr_Format(PyExc_TypeError, "cannot read key %R of a value that is not a table", item);
                return false;
            }
            step.key = step_key(item);
            if (step.key.data() == nullptr) {
                return false;
            }
            toml::Table table = c.root ? st.document.root() : c.value.table();
            toml::Value found{nullptr};
            if (!table.find(step.key, &found)) {
                PyErr_SetObject(PyExc_KeyError, item);
                return false;
            }
            c.root = false;
            c.value = found;
        } else if (PyLong_Check(item)) {
            if (!c.is_array()) {
                PyErr_Format(PyExc_TypeError, "cannot index a value that is not an array with %R", item);
                return false;
            }
            Py_ssize_t index = PyLong_AsSsize_t(item);
            if (index == -1 && PyErr_Occurred()) {
                PyErr_Clear();
                PyErr_SetString(PyExc_IndexError, "array index out of range");
                return false;
            }
            toml::Array array = c.value.array();
            auto size = static_cast<Py_ssize_t>(array.size());
            if (index < 0) {
                index += size;
            }
            if (index < 0 || index >= size) {
                PyErr_SetString(PyExc_IndexError, "array index out of range");
                return false;
            }
            step.is_index = true;
            step.index = static_cast<std::size_t>(index);
            c.value = array[step.index];
        } else {
            PyErr_SetString(PyExc_TypeError, "a path step is a str key or an int index");
            return false;
        }
        if (out != nullptr) {
            out->push_back(step);
        }
    }
    *cursor = c;
    return true;
}

bool walk_all(TreeState& st, PyObject* path, Cursor* cursor, Path* out) {
    if (!PyTuple_Check(path)) {
        PyErr_SetString(PyExc_TypeError, "a path is a tuple of keys and indexes");
        return false;
    }
    return walk(st, path, PyTuple_GET_SIZE(path), cursor, out);
}

bool check_args(Py_ssize_t nargs, Py_ssize_t expected, const char* name) {
    if (nargs != expected) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd arguments (%zd given)", name, expected, nargs);
        return false;
    }
    return true;
}

// --- text helpers -----------------------------------------------------------------

struct Patch {
    std::size_t begin;
    std::size_t end;
    std::string text;
};

std::string splice(std::string_view text, std::vector<Patch> patches) {
    std::stable_sort(patches.begin(), patches.end(),
                     [](const Patch& a, const Patch& b) { return a.begin < b.begin; });
    std::string out;
    out.reserve(text.size() + 64);
    std::size_t at = 0;
    for (const Patch& p : patches) {
        std::size_t begin = std::max(p.begin, at);
        out.append(text.substr(at, begin - at));
        out.append(p.text);
        at = std::max(at, p.end);
    }
    out.append(text.substr(at));
    return out;
}

// Removals may overlap (a table and a line inside it); merged into patches.
void add_removals(std::vector<Span> spans, std::vector<Patch>& patches) {
    std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.begin < b.begin; });
    std::vector<Span> merged;
    for (const Span& s : spans) {
        if (!merged.empty() && s.begin <= merged.back().end) {
            merged.back().end = std::max(merged.back().end, s.end);
        } else {
            merged.push_back(s);
        }
    }
    for (const Span& s : merged) {
        patches.push_back(Patch{s.begin, s.end, std::string()});
    }
}

std::size_t line_start(std::string_view text, std::size_t pos, std::size_t floor) {
    while (pos > floor && text[pos - 1] != '\n') --pos;
    return pos;
}

std::string_view indentation(std::string_view text, std::size_t start) {
    std::size_t i = start;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    return text.substr(start, i - start);
}

bool blank(std::string_view text, std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
        if (text[i] != ' ' && text[i] != '\t') return false;
    }
    return true;
}

// After `pos`: blanks, an optional comment, then a newline (whose end is
// returned) or the text's end; npos if anything else follows.
std::size_t rest_of_line(std::string_view text, std::size_t pos) {
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
    if (pos < text.size() && text[pos] == '#') {
        while (pos < text.size() && text[pos] != '\n') ++pos;
    }
    if (pos >= text.size()) return pos;
    if (text[pos] == '\n') return pos + 1;
    if (text[pos] == '\r' && pos + 1 < text.size() && text[pos + 1] == '\n') return pos + 2;
    return npos;
}

bool ends_with_newline(std::string_view text, std::size_t pos) { return pos > 0 && text[pos - 1] == '\n'; }

// The serializer writes "\n"; a CRLF document gets its own line ending.
std::string with_newline(std::string text, const std::string& newline) {
    if (newline == "\n") return text;
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (char c : text) {
        if (c == '\n') {
            out += newline;
        } else {
            out += c;
        }
    }
    return out;
}

// A header path as written: the keys, index steps left out (the position
// of a header decides which element of an array of tables it goes to).
std::string header_path(const Path& path, std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        if (path[i].is_index) continue;
        if (!out.empty()) out += '.';
        toml::write_key(out, path[i].key);
    }
    return out;
}

bool inline_text(PyObject* value, std::string* out) {
    Result<std::string, std::string> text = to_toml_inline(value);
    if (!text) {
        raise_module_error(serialization_error_class(), text.error());
        return false;
    }
    *out = std::move(text.value());
    return true;
}

// --- layout queries ---------------------------------------------------------------

// The written value that holds `path` (the path itself or a prefix of it),
// or npos: an inline table or array somewhere up the path.
std::size_t enclosing_value(const Layout& L, const Path& path, std::size_t* depth) {
    for (std::size_t n = path.size(); n > 0; --n) {
        Path prefix(path.begin(), path.begin() + static_cast<std::ptrdiff_t>(n));
        std::size_t v = L.find_value(prefix);
        if (v != npos) {
            *depth = n;
            return v;
        }
    }
    return npos;
}

const Section* header_section(const Layout& L, const Path& path) {
    for (const Section& s : L.sections) {
        if ((s.kind == SectionKind::Table || s.kind == SectionKind::ArrayTable) && s.path.size() == path.size() &&
            toml::lossless::starts_with(s.path, path)) {
            return &s;
        }
    }
    return nullptr;
}

// The last statement (in text order) whose key passes through `path` from
// a section above it (the dotted keys that make a table); nullptr if none.
const Statement* last_dotted(const Layout& L, const Path& path) {
    const Statement* best = nullptr;
    for (const Statement& s : L.statements) {
        const Section& sec = L.sections[s.section];
        if (sec.path.size() >= path.size() || !toml::lossless::starts_with(path, sec.path)) continue;
        std::size_t rest = path.size() - sec.path.size();
        if (s.key.size() <= rest) continue;
        bool through = true;
        for (std::size_t i = 0; i < rest && through; ++i) through = s.key[i] == path[sec.path.size() + i];
        if (through && (best == nullptr || s.line.begin > best->line.begin)) best = &s;
    }
    return best;
}

// The last non-inline section at or under `path`, or nullptr.
const Section* last_section_under(const Layout& L, const Path& path) {
    const Section* best = nullptr;
    for (const Section& s : L.sections) {
        if (s.kind == SectionKind::Inline || s.kind == SectionKind::Root) continue;
        if (toml::lossless::starts_with(s.path, path) && (best == nullptr || s.header.begin > best->header.begin)) {
            best = &s;
        }
    }
    return best;
}

const Section* first_section_under(const Layout& L, const Path& path) {
    const Section* best = nullptr;
    for (const Section& s : L.sections) {
        if (s.kind == SectionKind::Inline || s.kind == SectionKind::Root) continue;
        if (toml::lossless::starts_with(s.path, path) && (best == nullptr || s.header.begin < best->header.begin)) {
            best = &s;
        }
    }
    return best;
}

// Removes one entry of an inline table or one element of an array, given
// the spans of all of them: the entry with the separator after it, or
// (for the last) with the separator before it; a multi-line layout loses
// the whole line.
struct Item {
    Span span;
    std::size_t comma;
};

Span item_removal(std::string_view text, const std::vector<Item>& items, std::size_t i, std::size_t floor) {
    const Item& it = items[i];
    std::size_t after = it.comma != npos ? it.comma + 1 : it.span.end;
    std::size_t start = line_start(text, it.span.begin, floor);
    std::size_t line_end = rest_of_line(text, after);
    bool own_line = blank(text, start, it.span.begin) && line_end != npos &&
                    (line_end < text.size() || ends_with_newline(text, line_end)) &&
                    (i + 1 < items.size() || it.comma != npos);
    if (own_line) return Span{start, line_end};
    if (items.size() == 1) return Span{it.span.begin, after};
    if (i + 1 < items.size()) return Span{it.span.begin, items[i + 1].span.begin};
    const Item& before = items[i - 1];
    return Span{before.span.end, it.span.end};
}

std::vector<Item> array_items(const Layout& L, const ValueText& array) {
    std::vector<Item> items;
    for (std::uint32_t k = 0; k < array.element_count; ++k) {
        const ValueText& e = L.values[L.element_ids[array.first_element + k]];
        items.push_back(Item{e.span, e.comma});
    }
    return items;
}

std::vector<Item> inline_items(const Layout& L, const Section& sec) {
    std::vector<Item> items;
    for (std::uint32_t k = 0; k < sec.statement_count; ++k) {
        const Statement& s = L.statements[sec.first_statement + k];
        items.push_back(Item{s.line, s.separator});
    }
    return items;
}

// Whether the statement's full path (its section's path, then its key)
// starts with `path`, without building the full path.
bool statement_under(const Layout& L, const Statement& st, const Path& path) {
    const Path& base = L.sections[st.section].path;
    if (base.size() + st.key.size() < path.size()) return false;
    for (std::size_t i = 0; i < path.size(); ++i) {
        const Step& step = i < base.size() ? base[i] : st.key[i - base.size()];
        if (!(step == path[i])) return false;
    }
    return true;
}

// The spans that removing the value at `path` takes out. False with an
// exception set if the path cannot be removed.
bool removal(const Layout& L, std::string_view text, const Path& path, std::vector<Span>& spans) {
    if (path.empty()) {
        PyErr_SetString(PyExc_TypeError, "the document's root cannot be removed");
        return false;
    }
    // An element of a written array.
    if (path.back().is_index) {
        Path parent(path.begin(), path.end() - 1);
        std::size_t array = L.find_value(parent);
        if (array != npos) {
            const ValueText& a = L.values[array];
            spans.push_back(item_removal(text, array_items(L, a), path.back().index, a.span.begin + 1));
            return true;
        }
    }
    std::size_t s = L.find_statement(path);
    if (s != npos) {
        const Statement& st = L.statements[s];
        const Section& sec = L.sections[st.section];
        if (sec.kind == SectionKind::Inline) {
            spans.push_back(item_removal(text, inline_items(L, sec), s - sec.first_statement, sec.header.begin + 1));
        } else {
            spans.push_back(Span{st.leading, st.line.end});
        }
        return true;
    }
    // A table (or array of tables, or one of its elements) made by headers
    // and dotted keys: everything under it.
    for (const Section& sec : L.sections) {
        if (sec.kind == SectionKind::Inline || sec.kind == SectionKind::Root) continue;
        if (toml::lossless::starts_with(sec.path, path)) spans.push_back(Span{sec.leading, sec.next});
    }
    for (std::size_t i = 0; i < L.statements.size(); ++i) {
        const Statement& st = L.statements[i];
        const Section& sec = L.sections[st.section];
        if (toml::lossless::starts_with(sec.path, path)) continue;  // inside a removed section
        if (!statement_under(L, st, path)) continue;
        if (sec.kind == SectionKind::Inline) {
            spans.push_back(item_removal(text, inline_items(L, sec), i - sec.first_statement, sec.header.begin + 1));
        } else {
            spans.push_back(Span{st.leading, st.line.end});
        }
    }
    if (spans.empty()) {
        PyErr_SetString(PyExc_KeyError, "no text defines this value");
        return false;
    }
    return true;
}

// --- methods ----------------------------------------------------------------------

PyObject* tree_text(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        TreeState& st = state_of(self);
        if (!st.str) {
            ensure_text(st);
            st.str = PyRef::steal(PyUnicode_DecodeUTF8(st.text.data(), static_cast<Py_ssize_t>(st.text.size()), "strict"));
            if (!st.str) return nullptr;
        }
        return Py_NewRef(st.str.get());
    });
}

PyObject* tree_bytes(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        TreeState& st = state_of(self);
        ensure_text(st);
        return PyBytes_FromStringAndSize(st.text.data(), static_cast<Py_ssize_t>(st.text.size()));
    });
}

PyObject* tree_data(PyObject* self, PyObject* path) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        TreeState& st = state_of(self);
        Cursor c;
        if (!walk_all(st, path, &c, nullptr)) return nullptr;
        Result<PyRef, ReadFailure> built =
            c.root ? build_document(st.document, std::nullopt) : build_value(c.value, std::nullopt);
        if (!built) {
            raise_module_error(parsing_error_class(), parsing_error(std::move(built.error()), st.text));
            return nullptr;
        }
        return built.value().release();
    });
}

// 0: table, 1: array, 2: any other value.
PyObject* tree_kind(PyObject* self, PyObject* path) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Cursor c;
        if (!walk_all(state_of(self), path, &c, nullptr)) return nullptr;
        return PyLong_FromLong(c.is_table() ? 0 : c.is_array() ? 1 : 2);
    });
}

PyObject* tree_size(PyObject* self, PyObject* path) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        TreeState& st = state_of(self);
        Cursor c;
        if (!walk_all(st, path, &c, nullptr)) return nullptr;
        if (c.is_table()) {
            toml::Table t = c.root ? st.document.root() : c.value.table();
            return PyLong_FromSize_t(t.size());
        }
        if (c.is_array()) return PyLong_FromSize_t(c.value.array().size());
        PyErr_SetString(PyExc_TypeError, "the value is neither a table nor an array");
        return nullptr;
    });
}

PyObject* tree_keys(PyObject* self, PyObject* path) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        TreeState& st = state_of(self);
        Cursor c;
        if (!walk_all(st, path, &c, nullptr)) return nullptr;
        if (!c.is_table()) {
            PyErr_SetString(PyExc_TypeError, "the value is not a table");
            return nullptr;
        }
        toml::Table t = c.root ? st.document.root() : c.value.table();
        PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(t.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < t.size(); ++i) {
            toml::Key key = t[i].key;
            PyObject* s = PyUnicode_DecodeUTF8(key.text.data(), static_cast<Py_ssize_t>(key.text.size()), "strict");
            if (s == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), s);
        }
        return list.release();
    });
}

// True if the path leads to a value; no exception for a missing step.
PyObject* tree_contains(PyObject* self, PyObject* path) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Cursor c;
        if (walk_all(state_of(self), path, &c, nullptr)) Py_RETURN_TRUE;
        if (PyErr_ExceptionMatches(PyExc_KeyError) || PyErr_ExceptionMatches(PyExc_IndexError)) {
            PyErr_Clear();
            Py_RETURN_FALSE;
        }
        return nullptr;
    });
}

// How the table or array at a path is written: "root", "header" (a
// [header]), "array" (an array of tables), "dotted", "implicit" (only by
// its sub-tables' headers), or "value" (written as a value: inline table,
// array, scalar, or anything inside one).
const char* form_of(const Layout& L, const Path& path) {
    if (path.empty()) return "root";
    if (L.find_value(path) != npos) return "value";
    std::size_t depth = 0;
    if (enclosing_value(L, path, &depth) != npos) return "dotted";  // a dotted key inside an inline table
    if (header_section(L, path) != nullptr) return "header";
    Path with_index = path;
    Step first;
    first.is_index = true;
    with_index.push_back(first);
    if (header_section(L, with_index) != nullptr) return "array";
    if (last_dotted(L, path) != nullptr) return "dotted";
    return "implicit";
}

PyObject* tree_form(PyObject* self, PyObject* path) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        TreeState& st = state_of(self);
        Cursor c;
        Path steps;
        if (!walk_all(st, path, &c, &steps)) return nullptr;
        return PyUnicode_FromString(form_of(st.get_layout(), steps));
    });
}

// replace(path, value): the written value at path gets the value's inline text.
// The number of code points in UTF-8 text (its bytes that are not
// continuation bytes); a loop the compiler vectorizes.
std::size_t code_points(std::string_view text) {
    std::size_t count = 0;
    for (char c : text) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return count;
}

// The str of the edited text, made from `old` (the str of `text`) with the
// characters of `span` replaced by `written`, in one allocation: cheaper
// than decoding the whole new text, and than slicing and joining.
PyRef spliced_str(PyObject* old, std::string_view text, Span span, std::string_view written) {
    if (!PyUnicode_Check(old)) {
        raise_not_instance(old, "str");
        return PyRef();
    }
    PyRef middle = PyRef::steal(PyUnicode_DecodeUTF8(written.data(), static_cast<Py_ssize_t>(written.size()), "strict"));
    if (!middle) return PyRef();
    Py_ssize_t begin, end;
    if (PyUnicode_IS_ASCII(old)) {
        begin = static_cast<Py_ssize_t>(span.begin);
        end = static_cast<Py_ssize_t>(span.end);
    } else {
        begin = static_cast<Py_ssize_t>(code_points(text.substr(0, span.begin)));
        end = begin + static_cast<Py_ssize_t>(code_points(text.substr(span.begin, span.end - span.begin)));
    }
    const Py_ssize_t old_length = PyUnicode_GET_LENGTH(old);
    const Py_ssize_t middle_length = PyUnicode_GET_LENGTH(middle.get());
    Py_UCS4 max_char = std::max(PyUnicode_MAX_CHAR_VALUE(old), PyUnicode_MAX_CHAR_VALUE(middle.get()));
    PyRef out = PyRef::steal(PyUnicode_New(old_length - (end - begin) + middle_length, max_char));
    if (!out) return PyRef();
    if (PyUnicode_CopyCharacters(out.get(), 0, old, 0, begin) < 0 ||
        PyUnicode_CopyCharacters(out.get(), begin, middle.get(), 0, middle_length) < 0 ||
        PyUnicode_CopyCharacters(out.get(), begin + middle_length, old, end, old_length - end) < 0) {
        return PyRef();
    }
    return out;
}

// The first line ending of the text ("\n" when it has none).
std::string text_newline(std::string_view text) {
    std::size_t nl = text.find('\n');
    return nl != std::string_view::npos && nl > 0 && text[nl - 1] == '\r' ? "\r\n" : "\n";
}

// Whether `offset` starts a [[header]] (an array of tables is located at its
// first header) rather than an array value that starts with `[[`.
bool at_table_array_header(std::string_view text, std::size_t offset) {
    if (text.substr(offset, 2) != "[[") return false;
    std::size_t i = offset;
    while (i > 0 && (text[i - 1] == ' ' || text[i - 1] == '\t')) --i;
    return i == 0 || text[i - 1] == '\n' || (i == 3 && text.substr(0, 3) == "\xEF\xBB\xBF");
}

// Where the value at the cursor is written as a value (not a table made by
// headers or dotted keys, not an array of tables): its span, found from its
// start without the layout.
bool written_span(const TreeState& st, const Cursor& c, Span* span) {
    if (c.root) return false;
    const std::size_t offset = c.value.offset();
    if (c.value.type() == toml::Type::Table && st.text[offset] != '{') return false;
    if (c.value.type() == toml::Type::Array && at_table_array_header(st.text, offset)) return false;
    *span = toml::lossless::value_span_at(st.text, offset);
    return true;
}

// replace(path, value): the value written at path gets the value's inline
// text; None if the value at path is not written as a value.
PyObject* tree_replace(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!check_args(nargs, 2, "replace")) return nullptr;
        TreeState& st = state_of(self);
        Cursor c;
        if (!walk_all(st, args[0], &c, nullptr)) return nullptr;
        Span span;
        if (!written_span(st, c, &span)) Py_RETURN_NONE;
        std::string text;
        if (!inline_text(args[1], &text)) return nullptr;
        std::vector<Patch> patches{Patch{span.begin, span.end, with_newline(std::move(text), text_newline(st.text))}};
        return edited_tree(splice(st.text, std::move(patches)));
    });
}

// assign_scalar(path, value, text): the fast edit. When the path leads to a value
// written as a value and `value` is no container, the value's text is
// replaced by the new value's inline text, which is checked on its own:
// one complete value in place of another leaves the document's structure
// as it was, and a scalar adds no nesting. Returns (tree, value as read
// back from its text, new text as a str or None), or None when the edit
// needs the general path. `text` is the str of the current text when the
// caller has it (None otherwise): the new str is then spliced from it
// instead of decoded.
PyObject* tree_assign_scalar(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!check_args(nargs, 3, "assign_scalar")) return nullptr;
        PyObject* value = args[1];
        if (PyDict_Check(value) || PyList_Check(value) || PyTuple_Check(value)) Py_RETURN_NONE;
        TreeState& st = state_of(self);
        Cursor c;
        Path steps;
        if (!walk_all(st, args[0], &c, &steps)) {
            if (PyErr_ExceptionMatches(PyExc_KeyError)) {
                PyErr_Clear();
                Py_RETURN_NONE;
            }
            return nullptr;
        }
        const std::string_view text = st.text;
        Span span;
        if (!written_span(st, c, &span)) Py_RETURN_NONE;
        std::string written;
        if (!inline_text(value, &written)) return nullptr;
        written = with_newline(std::move(written), text_newline(text));
        std::string alone = "v = " + written;
        toml::ParseResult check = toml::parse(alone);
        if (!check) {
            const toml::Error& error = check.error();
            raise_module_error(serialization_error_class(),
                               "the edit would not read back as TOML: " + parsing_error({error.message, error.offset}, alone));
            return nullptr;
        }
        toml::Value readback{nullptr};
        if (!check.document().root().find("v", &readback)) {
            raise_internal_error("a checked value went missing");
            return nullptr;
        }
        Result<PyRef, ReadFailure> built = build_value(readback, std::nullopt);
        if (!built) {
            raise_module_error(serialization_error_class(), built.error().message);
            return nullptr;
        }
        PyRef str;
        if (args[2] != Py_None) {
            str = spliced_str(args[2], text, span, written);
            if (!str) return nullptr;
        }
        PyRef tree = PyRef::steal(patched_tree(self, span, std::move(written)));
        if (!tree) return nullptr;
        if (str) {
            state_of(tree.get()).str = PyRef::borrow(str.get());
        } else {
            str = PyRef::borrow(Py_None);
        }
        return PyTuple_Pack(3, tree.get(), built.value().get(), str.get());
    });
}

PyObject* tree_remove(PyObject* self, PyObject* path) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        TreeState& st = state_of(self);
        Cursor c;
        Path steps;
        if (!walk_all(st, path, &c, &steps)) return nullptr;
        const Layout& L = st.get_layout();
        std::vector<Span> spans;
        if (!removal(L, st.text, steps, spans)) return nullptr;
        std::vector<Patch> patches;
        add_removals(std::move(spans), patches);
        return edited_tree(splice(st.text, std::move(patches)));
    });
}

// Inserts `text` (complete lines) after the statement line `s`, which may
// end the text without a newline.
// A text without a final newline keeps it that way: the new lines go
// before the end instead of after it.
Patch after_line(const Layout& L, std::string_view text, std::size_t end, std::string lines) {
    if (!ends_with_newline(text, end)) {
        lines.insert(0, L.newline);
        if (end == text.size()) lines.resize(lines.size() - L.newline.size());
    }
    return Patch{end, end, std::move(lines)};
}

// insert(path, key, value, as_header): adds a new key to the table at path.
PyObject* tree_insert(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!check_args(nargs, 4, "insert")) return nullptr;
        TreeState& st = state_of(self);
        Cursor c;
        Path steps;
        if (!walk_all(st, args[0], &c, &steps)) return nullptr;
        if (!c.is_table()) {
            PyErr_SetString(PyExc_TypeError, "the value is not a table");
            return nullptr;
        }
        if (!PyUnicode_Check(args[1])) {
            raise_not_instance(args[1], "str");
            return nullptr;
        }
        std::string_view key = step_key(args[1]);
        if (key.data() == nullptr) return nullptr;
        const bool as_header = PyObject_IsTrue(args[3]) == 1;
        const Layout& L = st.get_layout();
        const std::string_view text = st.text;
        std::string written_key;
        toml::write_key(written_key, key);
        std::vector<Patch> patches;

        std::size_t depth = 0;
        std::size_t enclosing = enclosing_value(L, steps, &depth);
        if (enclosing != npos) {
            // Inside an inline table: the table itself, or one made by a
            // dotted key of it.
            std::string value;
            if (!inline_text(args[2], &value)) return nullptr;
            std::size_t v = L.find_value(steps);
            if (v != npos && L.values[v].kind == ValueKind::InlineTable) {
                const Section& sec = L.sections[L.values[v].section];
                std::string entry = written_key + " = " + value;
                if (sec.statement_count == 0) {
                    patches.push_back(Patch{sec.header.begin + 1, sec.header.begin + 1, entry});
                } else {
                    const Statement& last = L.statements[sec.first_statement + sec.statement_count - 1];
                    if (last.separator != npos) {
                        patches.push_back(Patch{last.separator + 1, last.separator + 1, " " + entry + ","});
                    } else {
                        patches.push_back(Patch{last.line.end, last.line.end, ", " + entry});
                    }
                }
            } else {
                const Statement* anchor = last_dotted(L, steps);
                if (anchor == nullptr) {
                    PyErr_SetString(PyExc_TypeError, "the table is not written where a key can be added");
                    return nullptr;
                }
                const Section& sec = L.sections[anchor->section];
                std::size_t parts = steps.size() - sec.path.size();
                std::string prefix(text.substr(anchor->parts[0].begin, anchor->parts[parts - 1].end - anchor->parts[0].begin));
                patches.push_back(Patch{anchor->line.end, anchor->line.end, ", " + prefix + "." + written_key + " = " + value});
            }
            return edited_tree(splice(text, std::move(patches)));
        }

        if (as_header) {
            // A table or array of tables under its own header: after the
            // last section under the parent, or at the end of the text.
            PyRef wrapper = PyRef::steal(PyDict_New());
            if (!wrapper || PyDict_SetItem(wrapper.get(), args[1], args[2]) < 0) return nullptr;
            Result<std::string, std::string> lines = to_toml_entries(wrapper.get(), header_path(steps, steps.size()));
            if (!lines) {
                raise_module_error(serialization_error_class(), lines.error());
                return nullptr;
            }
            std::string block = with_newline(std::move(lines.value()), L.newline);
            const Section* last = steps.empty() ? nullptr : last_section_under(L, steps);
            std::size_t at = last != nullptr ? last->content_end : text.size();
            std::string before;
            if (at > 0 && !ends_with_newline(text, at)) before += L.newline;
            if (at > L.body_start) before += L.newline;
            patches.push_back(Patch{at, at, before + block});
            return edited_tree(splice(text, std::move(patches)));
        }

        std::string value;
        if (!inline_text(args[2], &value)) return nullptr;
        value = with_newline(std::move(value), L.newline);
        const char* form = form_of(L, steps);
        const Section* own = steps.empty() ? &L.sections[0] : header_section(L, steps);
        if (own != nullptr) {
            std::string line;
            if (own->statement_count != 0) {
                const Statement& last = L.statements[own->first_statement + own->statement_count - 1];
                line.append(indentation(text, last.line.begin));
                line += written_key + " = " + value + L.newline;
                patches.push_back(after_line(L, text, last.line.end, std::move(line)));
            } else if (own->kind == SectionKind::Root) {
                // No key yet: before the first table (and its comments),
                // so that comments at the top stay where they are.
                std::size_t at = own->next;
                line = written_key + " = " + value + L.newline;
                if (at > own->body_begin && !ends_with_newline(text, at)) line.insert(0, L.newline);
                if (L.sections.size() > 1) line += L.newline;
                patches.push_back(Patch{at, at, std::move(line)});
            } else {
                line = written_key + " = " + value + L.newline;
                patches.push_back(after_line(L, text, own->body_begin, std::move(line)));
            }
        } else if (std::string_view(form) == "dotted") {
            const Statement* anchor = last_dotted(L, steps);
            const Section& sec = L.sections[anchor->section];
            std::size_t parts = steps.size() - sec.path.size();
            std::string line(indentation(text, anchor->line.begin));
            line.append(text.substr(anchor->parts[0].begin, anchor->parts[parts - 1].end - anchor->parts[0].begin));
            line += "." + written_key + " = " + value + L.newline;
            patches.push_back(after_line(L, text, anchor->line.end, std::move(line)));
        } else {
            // Made only by its sub-tables' headers: give it a header of its
            // own, right before the first of them.
            const Section* first = first_section_under(L, steps);
            if (first == nullptr) {
                PyErr_SetString(PyExc_TypeError, "the table is not written where a key can be added");
                return nullptr;
            }
            std::string block = "[" + header_path(steps, steps.size()) + "]" + L.newline + written_key + " = " + value +
                                L.newline + L.newline;
            patches.push_back(Patch{first->leading, first->leading, std::move(block)});
        }
        return edited_tree(splice(text, std::move(patches)));
    });
}

// insert_element(path, index, value): a new element of the array at path
// before `index` (its size appends).
PyObject* tree_insert_element(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!check_args(nargs, 3, "insert_element")) return nullptr;
        TreeState& st = state_of(self);
        Cursor c;
        Path steps;
        if (!walk_all(st, args[0], &c, &steps)) return nullptr;
        if (!c.is_array()) {
            PyErr_SetString(PyExc_TypeError, "the value is not an array");
            return nullptr;
        }
        Py_ssize_t index = PyLong_AsSsize_t(args[1]);
        if (index == -1 && PyErr_Occurred()) return nullptr;
        const std::size_t size = c.value.array().size();
        if (index < 0 || static_cast<std::size_t>(index) > size) {
            PyErr_SetString(PyExc_IndexError, "array index out of range");
            return nullptr;
        }
        const auto at_index = static_cast<std::size_t>(index);
        const Layout& L = st.get_layout();
        const std::string_view text = st.text;
        std::vector<Patch> patches;
        std::size_t v = L.find_value(steps);
        if (v != npos) {
            std::string value;
            if (!inline_text(args[2], &value)) return nullptr;
            value = with_newline(std::move(value), L.newline);
            const ValueText& a = L.values[v];
            std::vector<Item> items = array_items(L, a);
            if (items.empty()) {
                patches.push_back(Patch{a.span.begin + 1, a.span.begin + 1, value});
            } else {
                std::size_t ref = at_index < items.size() ? at_index : items.size() - 1;
                const Item& it = items[ref];
                std::size_t start = line_start(text, it.span.begin, a.span.begin + 1);
                std::size_t after = it.comma != npos ? it.comma + 1 : it.span.end;
                std::size_t end = rest_of_line(text, after);
                bool own_line = blank(text, start, it.span.begin) && end != npos && end > after &&
                                ends_with_newline(text, end);
                std::string indent(indentation(text, start));
                if (at_index < items.size()) {
                    if (own_line) {
                        patches.push_back(Patch{start, start, indent + value + "," + L.newline});
                    } else {
                        patches.push_back(Patch{it.span.begin, it.span.begin, value + ", "});
                    }
                } else if (own_line) {
                    if (it.comma == npos) patches.push_back(Patch{it.span.end, it.span.end, ","});
                    patches.push_back(Patch{end, end, indent + value + (it.comma == npos ? "" : ",") + L.newline});
                } else if (it.comma != npos) {
                    patches.push_back(Patch{it.comma + 1, it.comma + 1, " " + value + ","});
                } else {
                    patches.push_back(Patch{it.span.end, it.span.end, ", " + value});
                }
            }
            return edited_tree(splice(text, std::move(patches)));
        }
        // An array of tables: a new [[header]] element.
        if (!PyDict_Check(args[2])) {
            PyErr_SetString(PyExc_TypeError, "an element of an array of tables must be a dict");
            return nullptr;
        }
        PyRef list = PyRef::steal(PyList_New(1));
        if (!list) return nullptr;
        PyList_SET_ITEM(list.get(), 0, Py_NewRef(args[2]));
        PyRef wrapper = PyRef::steal(PyDict_New());
        PyRef key = PyRef::steal(
            PyUnicode_DecodeUTF8(steps.back().key.data(), static_cast<Py_ssize_t>(steps.back().key.size()), "strict"));
        if (!wrapper || !key || PyDict_SetItem(wrapper.get(), key.get(), list.get()) < 0) return nullptr;
        Result<std::string, std::string> lines = to_toml_entries(wrapper.get(), header_path(steps, steps.size() - 1));
        if (!lines) {
            raise_module_error(serialization_error_class(), lines.error());
            return nullptr;
        }
        std::string block = with_newline(std::move(lines.value()), L.newline);
        Path element = steps;
        Step step;
        step.is_index = true;
        if (at_index < size) {
            step.index = at_index;
            element.push_back(step);
            const Section* first = first_section_under(L, element);
            if (first == nullptr) {
                PyErr_SetString(PyExc_TypeError, "the array is not written where an element can be added");
                return nullptr;
            }
            patches.push_back(Patch{first->leading, first->leading, block + L.newline});
        } else {
            step.index = size - 1;
            element.push_back(step);
            const Section* last = last_section_under(L, element);
            if (last == nullptr) {
                PyErr_SetString(PyExc_TypeError, "the array is not written where an element can be added");
                return nullptr;
            }
            std::size_t at = last->content_end;
            std::string before;
            if (!ends_with_newline(text, at)) before += L.newline;
            before += L.newline;
            patches.push_back(Patch{at, at, before + block});
        }
        return edited_tree(splice(text, std::move(patches)));
    });
}

// The statement or header section that a comment belongs to.
struct Owner {
    const Statement* statement = nullptr;
    const Section* section = nullptr;
};

bool comment_owner(TreeState& st, PyObject* path, Owner* owner) {
    Cursor c;
    Path steps;
    if (!walk_all(st, path, &c, &steps)) return false;
    const Layout& L = st.get_layout();
    std::size_t s = L.find_statement(steps);
    if (s != npos) {
        owner->statement = &L.statements[s];
        if (L.sections[owner->statement->section].kind == SectionKind::Inline) {
            PyErr_SetString(PyExc_ValueError, "an entry of an inline table has no comments of its own");
            return false;
        }
        return true;
    }
    owner->section = header_section(L, steps);
    if (owner->section == nullptr) {
        PyErr_SetString(PyExc_ValueError, "the value has no line or header of its own for comments");
        return false;
    }
    return true;
}

// comment(path): the comment after an entry or a header on its line, `#`
// included, or None.
PyObject* tree_comment(PyObject* self, PyObject* path) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        TreeState& st = state_of(self);
        Owner owner;
        if (!comment_owner(st, path, &owner)) return nullptr;
        Span span = owner.statement != nullptr ? owner.statement->comment : owner.section->comment;
        if (span.end == span.begin) Py_RETURN_NONE;
        return PyUnicode_DecodeUTF8(st.text.data() + span.begin, static_cast<Py_ssize_t>(span.end - span.begin),
                                    "strict");
    });
}

// comments_above(path): the comment lines directly above, as written.
PyObject* tree_comments_above(PyObject* self, PyObject* path) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        TreeState& st = state_of(self);
        Owner owner;
        if (!comment_owner(st, path, &owner)) return nullptr;
        std::size_t begin = owner.statement != nullptr ? owner.statement->leading : owner.section->leading;
        std::size_t end = owner.statement != nullptr
                              ? owner.statement->line.begin
                              : line_start(st.text, owner.section->header.begin, st.get_layout().body_start);
        return PyUnicode_DecodeUTF8(st.text.data() + begin, static_cast<Py_ssize_t>(end - begin), "strict");
    });
}

bool text_argument_or_none(PyObject* obj, std::string* out, bool* none) {
    if (obj == Py_None) {
        *none = true;
        return true;
    }
    *none = false;
    if (!PyUnicode_Check(obj)) {
        raise_not_instance(obj, "str");
        return false;
    }
    std::string_view view = step_key(obj);
    if (view.data() == nullptr) return false;
    out->assign(view);
    return true;
}

// set_comment(path, text or None): `text` is the whole comment, `#` included.
PyObject* tree_set_comment(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!check_args(nargs, 2, "set_comment")) return nullptr;
        TreeState& st = state_of(self);
        Owner owner;
        if (!comment_owner(st, args[0], &owner)) return nullptr;
        std::string comment;
        bool none = false;
        if (!text_argument_or_none(args[1], &comment, &none)) return nullptr;
        const Layout& L = st.get_layout();
        std::size_t from = owner.statement != nullptr ? L.values[owner.statement->value].span.end
                                                      : owner.section->header.end;
        Span old = owner.statement != nullptr ? owner.statement->comment : owner.section->comment;
        std::size_t to = old.end != old.begin ? old.end : from;
        std::string replacement;
        if (!none) {
            replacement = old.end != old.begin ? std::string(st.text.substr(from, old.begin - from)) : " ";
            replacement += comment;
        }
        std::vector<Patch> patches{Patch{from, to, std::move(replacement)}};
        return edited_tree(splice(st.text, std::move(patches)));
    });
}

// set_comments_above(path, lines or None): `lines` is complete comment
// lines, each with its `#`, joined by "\n" (written with the text's line
// ending and the entry's indentation).
PyObject* tree_set_comments_above(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!check_args(nargs, 2, "set_comments_above")) return nullptr;
        TreeState& st = state_of(self);
        Owner owner;
        if (!comment_owner(st, args[0], &owner)) return nullptr;
        std::string lines;
        bool none = false;
        if (!text_argument_or_none(args[1], &lines, &none)) return nullptr;
        const Layout& L = st.get_layout();
        std::size_t begin = owner.statement != nullptr ? owner.statement->leading : owner.section->leading;
        std::size_t end = owner.statement != nullptr ? owner.statement->line.begin
                                                     : line_start(st.text, owner.section->header.begin, L.body_start);
        std::string block;
        if (!none) {
            std::string indent(indentation(st.text, end));
            std::size_t at = 0;
            while (at <= lines.size()) {
                std::size_t nl = lines.find('\n', at);
                if (nl == std::string::npos) nl = lines.size();
                block += indent;
                block.append(lines, at, nl - at);
                block += L.newline;
                at = nl + 1;
            }
        }
        std::vector<Patch> patches{Patch{begin, end, std::move(block)}};
        return edited_tree(splice(st.text, std::move(patches)));
    });
}

template <class F>
PyCFunction as_cfunction(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

PyMethodDef tree_methods[] = {
    {"text", tree_text, METH_NOARGS, "The text as a str."},
    {"bytes", tree_bytes, METH_NOARGS, "The text as UTF-8 bytes."},
    {"data", tree_data, METH_O, "data(path): the value at path, as vexil.loads builds it."},
    {"kind", tree_kind, METH_O, "kind(path): 0 for a table, 1 for an array, 2 for any other value."},
    {"size", tree_size, METH_O, "size(path): the number of entries or elements."},
    {"keys", tree_keys, METH_O, "keys(path): the table's keys in document order."},
    {"contains", tree_contains, METH_O, "contains(path): whether the path leads to a value."},
    {"form", tree_form, METH_O, "form(path): how the value at path is written."},
    {"replace", as_cfunction(tree_replace), METH_FASTCALL, "replace(path, value) -> EditTree or None"},
    {"assign_scalar", as_cfunction(tree_assign_scalar), METH_FASTCALL,
     "assign_scalar(path, value, text) -> (EditTree, value read back, new text) or None"},
    {"remove", tree_remove, METH_O, "remove(path) -> EditTree"},
    {"insert", as_cfunction(tree_insert), METH_FASTCALL, "insert(path, key, value, as_header) -> EditTree"},
    {"insert_element", as_cfunction(tree_insert_element), METH_FASTCALL,
     "insert_element(path, index, value) -> EditTree"},
    {"comment", tree_comment, METH_O, "comment(path): the comment on the line, or None."},
    {"comments_above", tree_comments_above, METH_O, "comments_above(path): the comment lines directly above."},
    {"set_comment", as_cfunction(tree_set_comment), METH_FASTCALL, "set_comment(path, text) -> EditTree"},
    {"set_comments_above", as_cfunction(tree_set_comments_above), METH_FASTCALL,
     "set_comments_above(path, lines) -> EditTree"},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* tree_type() {
    return tree_type_cell.get_or_init([]() -> PyObject* {
        static PyType_Slot slots[] = {
            {Py_tp_doc, const_cast<char*>("A parsed TOML text with its layout (vexil's editor core).")},
            {Py_tp_dealloc, reinterpret_cast<void*>(tree_dealloc)},
            {Py_tp_methods, tree_methods},
            {0, nullptr},
        };
        static PyType_Spec spec = {"vexil._native.EditTree", sizeof(TreeObject), 0,
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
        return PyType_FromSpec(&spec);
    });
}

}  // namespace

PyObject* edit_tree(PyObject*, PyObject* data) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        auto state = std::make_unique<TreeState>();
        if (PyBytes_Check(data)) {
            state->text = std::string_view(PyBytes_AS_STRING(data), static_cast<std::size_t>(PyBytes_GET_SIZE(data)));
        } else if (PyUnicode_Check(data)) {
            Py_ssize_t size = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(data, &size);
            if (utf8 == nullptr) {
                return nullptr;  // a lone surrogate: UnicodeEncodeError
            }
            state->text = std::string_view(utf8, static_cast<std::size_t>(size));
        } else {
            raise_not_instance(data, "str");
            return nullptr;
        }
        state->source = PyRef::borrow(data);
        return parsed_tree(std::move(state), parsing_error_class(), "");
    });
}

}  // namespace vexil::native
