// Helpers for the parser tests: parse a document that must be valid (or
// invalid) and reach values by dotted path.
#pragma once

#include <string>
#include <string_view>

#include "check.hpp"
#include "toml/toml.hpp"

namespace th {

// A parsed document together with the text it views into.
struct Parsed {
    std::string text;
    toml::ParseResult result;
    explicit Parsed(std::string t, const toml::ParseOptions& options = {})
        : text(std::move(t)), result(toml::parse(text, options)) {}
    Parsed(const Parsed&) = delete;
    bool ok() const { return result.ok(); }
    toml::Table root() const { return result.document().root(); }
    const toml::Error& error() const { return result.error(); }
};

// The value at a dotted path of bare keys ("a.b.2.c": numbers index arrays),
// or a null-node Value when absent.
inline bool lookup(toml::Table table, std::string_view path, toml::Value* out) {
    toml::Value v(nullptr);
    bool in_table = true;
    toml::Table t = table;
    toml::Array a(nullptr);
    while (true) {
        std::size_t dot = path.find('.');
        std::string_view part = path.substr(0, dot);
        if (in_table) {
            if (!t.find(part, &v)) return false;
        } else {
            std::size_t i = std::stoul(std::string(part));
            if (i >= a.size()) return false;
            v = a[i];
        }
        if (dot == std::string_view::npos) break;
        path.remove_prefix(dot + 1);
        if (v.type() == toml::Type::Table) {
            t = v.table();
            in_table = true;
        } else if (v.type() == toml::Type::Array) {
            a = v.array();
            in_table = false;
        } else {
            return false;
        }
    }
    *out = v;
    return true;
}

inline std::string error_of(std::string text, const toml::ParseOptions& options = {}) {
    Parsed p(std::move(text), options);
    if (p.ok()) return "<no error>";
    return p.error().message;
}

inline std::size_t error_offset(std::string text) {
    Parsed p(std::move(text));
    if (p.ok()) return static_cast<std::size_t>(-1);
    return p.error().offset;
}

inline std::string str(const toml::uint128& v) {
    std::string s;
    toml::uint128 m = v;
    do {
        s.insert(s.begin(), static_cast<char>('0' + static_cast<int>(m % 10)));
        m /= 10;
    } while (m != 0);
    return s;
}

}  // namespace th

// A document that must parse; reports the error otherwise.
#define CHECK_PARSES(parsed)                                                                  \
    do {                                                                                      \
        if (!(parsed).ok())                                                                   \
            ::check::fail(__FILE__, __LINE__, "parse failed: " + (parsed).error().message +   \
                                                  " at " + std::to_string((parsed).error().offset)); \
    } while (0)
