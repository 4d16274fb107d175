// The layout of a TOML document: where every statement, header, value,
// comment and separator is, as byte spans of the text, for the editor.
//
// build_layout() reads a text that parse() has already accepted, so it
// never reports errors: validation happens once, in the data parser, and
// this pass only finds boundaries (it skips strings, comments and nested
// brackets and decodes keys, which is all it needs). Nothing here is kept
// by the data parser, so reading data costs nothing extra.
//
// Paths: every table, array and value of the document has a path of steps
// from the root, a step being a decoded key or an array index (the element
// number of an array of tables too). Sections and statements carry the
// paths their keys lead to, so the editor finds the text of a value by the
// same path a user reads it by.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace toml::lossless {

inline constexpr std::size_t npos = static_cast<std::size_t>(-1);

struct Span {
    std::size_t begin = 0;
    std::size_t end = 0;  // one past the last byte
};

struct Step {
    std::string_view key;  // decoded; empty for an index step
    std::size_t index = 0;
    bool is_index = false;

    bool operator==(const Step& o) const noexcept {
        return is_index == o.is_index && (is_index ? index == o.index : key == o.key);
    }
};
using Path = std::vector<Step>;

// True if `prefix` is a prefix of `path` (equal counts).
bool starts_with(const Path& path, const Path& prefix) noexcept;
bool starts_with(const Path& path, const Path& prefix, std::size_t prefix_size) noexcept;

enum class ValueKind : std::uint8_t { Scalar, Array, InlineTable };

// One value as written. Arrays list their elements (indexes into
// Layout::values, through Layout::element_ids); inline tables own a section.
struct ValueText {
    Span span;
    ValueKind kind = ValueKind::Scalar;
    std::uint32_t first_element = 0;  // Array: first slot in element_ids
    std::uint32_t element_count = 0;
    std::uint32_t section = 0;        // InlineTable: its section
    std::size_t comma = npos;         // as an array element: the comma after it, if any
};

enum class SectionKind : std::uint8_t { Root, Table, ArrayTable, Inline };

// A header and the key/value lines under it, the root's lines before the
// first header, or the entries of one inline table.
struct Section {
    SectionKind kind = SectionKind::Root;
    Path path;                // the table the section's keys go to
    std::size_t leading = 0;  // start of the comment lines directly above the header (or the header line)
    Span header;              // `[a.b]` / `[[a.b]]`; inline: the braces `{...}`
    Span comment;             // the header line's comment, `#` included; empty if none
    std::size_t body_begin = 0;    // after the header line
    std::size_t content_end = 0;   // after the last non-blank line of the body (or the header line)
    std::size_t next = 0;          // where the next section's leading comments start, or the text's end
    std::uint32_t first_statement = 0;
    std::uint32_t statement_count = 0;
};

// One `key = value`: a line of a section, or an entry of an inline table.
struct Statement {
    std::uint32_t section = 0;
    Path key;                        // the decoded parts of the (dotted) key
    std::vector<Span> parts;         // the written span of each part
    std::uint32_t value = 0;         // in Layout::values
    std::size_t leading = 0;         // start of the comment lines directly above (line start if none)
    Span line;                       // the line, newline included; inline: key start to value end
    Span comment;                    // the comment after the value, `#` included; empty if none
    std::size_t separator = npos;    // inline: the comma after the entry, if any
};

struct Layout {
    std::vector<Section> sections;     // sections[0] is the root
    std::vector<Statement> statements; // grouped by section, in text order within one
    std::vector<ValueText> values;
    std::vector<std::uint32_t> element_ids;
    std::deque<std::string> decoded;   // keys that needed unescaping
    std::string newline = "\n";        // the first line ending of the text
    std::size_t body_start = 0;        // after the byte order mark, if any

    // The statement whose full path (section path + key) is `path`, or npos.
    std::size_t find_statement(const Path& path) const noexcept;
    // The written value at `path`: a statement's value or an element of a
    // written array; npos if the value is not written as one (a table made by
    // headers or dotted keys, an array of tables).
    std::size_t find_value(const Path& path) const noexcept;
    Path full_path(const Statement& s) const;
};

// The span of the value that starts at `begin` in `text` (which parse()
// accepted): a string, number, date-time, boolean, array or inline table.
// Costs only the length of that value.
Span value_span_at(std::string_view text, std::size_t begin);

// Builds the layout of `text`, which toml::parse must have accepted. The
// layout points into `text`, which must outlive it unchanged.
void build_layout(std::string_view text, Layout& out);

}  // namespace toml::lossless
