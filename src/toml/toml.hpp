// vexil's TOML 1.1.0 parser: the public interface.
//
// parse() reads a whole UTF-8 document in one pass into a read-only tree.
// All nodes and decoded texts live in an arena owned by the Document and are
// released together; string and key views that needed no unescaping point
// straight into the caller's input, so the input must outlive the Document.
//
// Errors are values: parse() never throws for bad input. The only exception
// that can escape is std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace toml {

__extension__ typedef unsigned __int128 uint128;

enum class Type : std::uint8_t { Table, Array, String, Integer, Float, Boolean, DateTime };

// An integer literal's exact value as sign and 128-bit magnitude, so every
// value from -2^127 to 2^128-1 is representable. A literal outside even that
// range still parses; `overflow` is then set and `magnitude` is meaningless.
// Hexadecimal, octal and binary literals are never negative.
struct Integer {
    uint128 magnitude;
    bool negative;
    bool overflow;
};

// The correctly rounded double of a float literal. `overflow` is set when a
// finite literal (not inf) rounds to infinity, e.g. 1e400.
struct Float {
    double value;
    bool overflow;
};

struct Date {
    std::uint16_t year;   // 0..9999
    std::uint8_t month;   // 1..12
    std::uint8_t day;     // 1..31, valid for the month and year
};

struct Time {
    std::uint8_t hour;    // 0..23
    std::uint8_t minute;  // 0..59
    std::uint8_t second;  // 0..60; 0 when has_second is false
    bool has_second;      // TOML 1.1 allows HH:MM without seconds
    bool has_fraction;
    std::uint32_t nanosecond;  // fraction digits as nanoseconds (digits past the ninth dropped)
};

enum class OffsetKind : std::uint8_t { None, Utc, Minutes };

// One date-time value. The four TOML kinds are the combinations
//   offset date-time: has_date, has_time, offset != None
//   local date-time:  has_date, has_time
//   local date:       has_date
//   local time:       has_time
struct DateTime {
    Date date;
    Time time;
    bool has_date;
    bool has_time;
    OffsetKind offset;            // Z (or z) gives Utc; +00:00 and -00:00 give Minutes with 0
    std::int16_t offset_minutes;  // signed ±(HH*60+MM) when offset == Minutes; 0 otherwise
};

class Value;
class Array;
class Table;
struct TableEntry;
namespace detail {
struct Arena;
struct Node;
struct ArrayData;
struct TableData;
}  // namespace detail

// A read-only view of one value of the tree; cheap to copy.
class Value {
public:
    Type type() const noexcept;
    // Byte offset in the input where the value starts. For a table: where it
    // was first defined: the `[` of the header that made it (also for the
    // parent tables a header path creates, and for arrays of tables and
    // their elements), its opening brace, the start of the first dotted key
    // that made it, or 0 for the root table.
    std::size_t offset() const noexcept;

    // Accessors; each may only be called for the matching type().
    std::string_view string() const noexcept;  // decoded text, may hold U+0000
    bool string_is_ascii() const noexcept;     // every byte < 0x80
    Integer integer() const noexcept;  // assembled from the compact node
    const Float& floating() const noexcept;
    bool boolean() const noexcept;
    const DateTime& datetime() const noexcept;
    Array array() const noexcept;
    Table table() const noexcept;

    explicit Value(const detail::Node* node) noexcept : node_(node) {}

private:
    const detail::Node* node_;
};

// A key of a table with its decoded text.
struct Key {
    std::string_view text;  // may hold U+0000
    bool is_ascii;
};

class Array {
public:
    std::size_t size() const noexcept;
    bool empty() const noexcept { return size() == 0; }
    Value operator[](std::size_t index) const noexcept;

    class iterator;
    iterator begin() const noexcept;
    iterator end() const noexcept;

    explicit Array(const detail::ArrayData* data) noexcept : data_(data) {}

private:
    const detail::ArrayData* data_;
};

// A table's entries in order of first appearance of their keys.
class Table {
public:
    std::size_t size() const noexcept;
    bool empty() const noexcept { return size() == 0; }
    std::size_t offset() const noexcept;  // as Value::offset()

    struct Entry {
        Key key;
        Value value;
    };
    Entry operator[](std::size_t index) const noexcept;  // in document order
    // The entry's value for a key, or nullptr-like absence: returns false if missing.
    bool find(std::string_view key, Value* out) const noexcept;

    class iterator;
    iterator begin() const noexcept;
    iterator end() const noexcept;

    explicit Table(const detail::TableData* data) noexcept : data_(data) {}

private:
    const detail::TableData* data_;
};

class Array::iterator {
public:
    iterator(const detail::ArrayData* data, std::size_t i) noexcept : data_(data), i_(i) {}
    Value operator*() const noexcept { return Array(data_)[i_]; }
    iterator& operator++() noexcept { ++i_; return *this; }
    bool operator==(const iterator& o) const noexcept { return i_ == o.i_; }
    bool operator!=(const iterator& o) const noexcept { return i_ != o.i_; }
private:
    const detail::ArrayData* data_;
    std::size_t i_;
};

class Table::iterator {
public:
    iterator(const detail::TableData* data, std::size_t i) noexcept : data_(data), i_(i) {}
    Table::Entry operator*() const noexcept { return Table(data_)[i_]; }
    iterator& operator++() noexcept { ++i_; return *this; }
    bool operator==(const iterator& o) const noexcept { return i_ == o.i_; }
    bool operator!=(const iterator& o) const noexcept { return i_ != o.i_; }
private:
    const detail::TableData* data_;
    std::size_t i_;
};

inline Array::iterator Array::begin() const noexcept { return iterator(data_, 0); }
inline Array::iterator Array::end() const noexcept { return iterator(data_, size()); }
inline Table::iterator Table::begin() const noexcept { return iterator(data_, 0); }
inline Table::iterator Table::end() const noexcept { return iterator(data_, size()); }

// The first error of a failed parse: a readable message saying what was
// expected and what was found, and the byte offset where the offending token
// starts (at most the input's length).
struct Error {
    std::string message;
    std::size_t offset;
};

// Owns the tree (one arena). Movable, not copyable.
class Document {
public:
    Document() noexcept;
    Document(Document&&) noexcept;
    Document& operator=(Document&&) noexcept;
    ~Document();

    Table root() const noexcept;

private:
    friend class Parser;
    std::unique_ptr<detail::Arena> arena_;
    const detail::TableData* root_ = nullptr;
};

// The language version a document is read as. TOML 1.0.0 lacks what 1.1.0
// added: newlines, comments and a trailing comma in inline tables, the
// escapes \e and \xHH, and times without seconds; reading as 1.0.0 refuses
// each of them with a message that names it.
enum class Version : std::uint8_t { V1_1_0, V1_0_0 };

struct ParseOptions {
    // Containers (arrays, inline tables, and tables made by headers or dotted
    // keys) may nest this deep; one level more fails the parse.
    //
    // Depth counts containers from the root table, which is level 0: in
    // `a.b.c = [[1]]` the tables a and b are at levels 1 and 2 and the arrays
    // at 3 and 4; `[x.y]` puts x at 1 and y at 2; `[[t]]` puts each table of
    // the array t at 1 (an array of tables is not a level of its own). Nested
    // arrays and inline tables are read recursively, so values above 1024
    // are treated as 1024.
    //
    // The default matches the Python writer's 128 levels, which count the
    // same way with the root table as level 1 (and a static array of inline
    // tables, written as an array of tables, as no level): every document
    // read can be written back, and everything written can be read back.
    std::size_t max_depth = 127;
    Version version = Version::V1_1_0;
};

// The outcome of parse(): either a document or the first error.
class ParseResult {
public:
    bool ok() const noexcept { return ok_; }
    explicit operator bool() const noexcept { return ok_; }
    Document& document() noexcept { return document_; }
    const Document& document() const noexcept { return document_; }
    const Error& error() const noexcept { return error_; }

    static ParseResult success(Document doc) noexcept {
        ParseResult r;
        r.ok_ = true;
        r.document_ = std::move(doc);
        return r;
    }
    static ParseResult failure(Error err) noexcept {
        ParseResult r;
        r.ok_ = false;
        r.error_ = std::move(err);
        return r;
    }

private:
    bool ok_ = false;
    Document document_;
    Error error_{};
};

// Parses a whole UTF-8 document (a UTF-8 byte order mark at the very start is
// skipped). The input must stay alive and unchanged while the Document lives.
ParseResult parse(std::string_view input, const ParseOptions& options = {});

}  // namespace toml

#include "detail.hpp"  // the tree's layout and the inline accessors
