// Errors: messages, offsets, encoding and control-character rules, and the
// nesting limit.
#include <string>

#include "check.hpp"
#include "toml_helpers.hpp"

namespace {

struct ErrorCase {
    std::string doc;
    std::string message;
    std::size_t offset;
};

void check_errors(const ErrorCase* cases, std::size_t n, const char* file, int line) {
    for (std::size_t i = 0; i < n; ++i) {
        th::Parsed p(cases[i].doc);
        if (p.ok()) {
            ::check::fail(file, line, "accepted: " + cases[i].doc);
            continue;
        }
        if (p.error().message != cases[i].message || p.error().offset != cases[i].offset)
            ::check::fail(file, line,
                          "case " + std::to_string(i) + ": got \"" + p.error().message + "\" at " +
                              std::to_string(p.error().offset) + ", expected \"" + cases[i].message +
                              "\" at " + std::to_string(cases[i].offset));
        CHECK(p.error().offset <= cases[i].doc.size());
    }
}

std::string nested(std::size_t levels, const char* open, const char* close, const char* inner) {
    std::string s;
    for (std::size_t i = 0; i < levels; ++i) s += open;
    s += inner;
    for (std::size_t i = 0; i < levels; ++i) s += close;
    return s;
}

}  // namespace

TEST("syntax errors say what was expected and what was found, at the offending token") {
    const ErrorCase cases[] = {
        {"a 1", "expected `=` after a key, found `1`", 2},
        {"a\n= 1", "expected `=` after a key, found a newline", 1},
        {"a =", "expected a value, found end of input", 3},
        {"a = # no value", "expected a value, found `#`", 4},
        {"= 1", "expected a key, found `=`", 0},
        {"a = 1 b = 2", "expected a newline after a key/value pair, found `b`", 6},
        {"[t] x = 1", "expected a newline after a table header, found `x`", 4},
        {"[t", "expected `]` to close the table header, found end of input", 2},
        {"[[t]", "expected `]]` to close the array-of-tables header, found `]`", 3},
        {"[[t] ]", "expected `]]` to close the array-of-tables header, found `]`", 3},
        {"[]", "expected a key, found `]`", 1},
        {"[a.]", "expected a key, found `]`", 3},
        {"a..b = 1", "expected a key, found `.`", 2},
        {"a = [1 2]", "expected `,` or `]` after an array element, found `2`", 7},
        {"a = [1,,2]", "expected a value, found `,`", 7},
        {"a = [", "expected a value, found end of input", 5},
        {"a = {x = 1 y = 2}", "expected `,` or `}` after a key/value pair in an inline table, found `y`", 11},
        {"a = {,}", "expected a key, found `,`", 5},
        {"a = {x = 1,,}", "expected a key, found `,`", 11},
        {"a = {x\n= 1}", "expected `=` after a key, found a newline", 6},
        {"a = yes", "expected a value, found `yes` (strings must be quoted; true and false are lowercase)", 4},
        {"a = .5", "expected a value, found `.`", 4},
        {"a = truex", "invalid value `truex`", 4},
        {"a = \"\"\"k\"\"\"\n\"\"\"key\"\"\" = 1", "a key cannot be a multi-line string", 12},
        {"\"unclosed = 1\n", "unterminated string: a newline came before the closing `\"`", 0},
        {"a = \"abc", "unterminated string: no closing `\"` before the end of the input", 4},
        {"a = '''abc''", "unterminated string: no closing `'` before the end of the input", 4},
        {"a = \"\"\"x\"\"\"\"\"\"", "too many quotation marks: at most two may come right before the closing `\"\"\"`", 8},
        {"a = '''x''''''", "too many apostrophes: at most two may come right before the closing `'''`", 8},
        {"a = \"\\q\"", "invalid escape sequence `\\q`", 5},
        {"a = \"\\x4\"", "invalid escape sequence: `\\x` needs 2 hexadecimal digits", 5},
        {"a = \"\\u12G4\"", "invalid escape sequence: `\\u` needs 4 hexadecimal digits", 5},
        {"a = \"\\uD800\"", "invalid escape sequence `\\uD800`: not a Unicode scalar value", 5},
        {"a = \"\\uDFFF\"", "invalid escape sequence `\\uDFFF`: not a Unicode scalar value", 5},
        {"a = \"\\U00110000\"", "invalid escape sequence `\\U00110000`: not a Unicode scalar value", 5},
        {"a = \"\\ \n\"", "invalid escape sequence `\\` followed by a space", 5},
        {"a = \"\"\"\\ x\"\"\"", "invalid escape sequence: a backslash followed by whitespace must end the line", 7},
        {"a = 01", "invalid number `01...`: leading zeros are not allowed", 4},
        {"a = -00", "invalid number `-00...`: leading zeros are not allowed", 4},
        {"a = 1__0", "invalid number: an underscore must be between two digits", 5},
        {"a = 1_", "invalid number: an underscore must be between two digits", 5},
        {"a = 1.", "invalid float: a decimal point must be followed by a digit", 4},
        {"a = 1.e5", "invalid float: a decimal point must be followed by a digit", 4},
        {"a = 1e", "invalid float: the exponent must have digits", 4},
        {"a = 1e_5", "invalid float: the exponent must have digits", 4},
        {"a = 1.5_", "invalid float: an underscore must be between two digits", 7},
        {"a = 0x", "invalid hexadecimal integer: expected a digit after the prefix, found end of input", 4},
        {"a = 0x_1", "invalid hexadecimal integer: expected a digit after the prefix, found `_`", 4},
        {"a = +0x1", "a hexadecimal integer cannot have a sign", 4},
        {"a = -0o7", "an octal integer cannot have a sign", 4},
        {"a = 0b102", "invalid value `0b102`", 4},
        {"a = 0X1", "invalid value `0X1`", 4},
        {"a = 1.2.3", "invalid value `1.2.3`", 4},
        {"a = Inf", "expected a value, found `Inf` (strings must be quoted; true and false are lowercase)", 4},
        {"a = infinity", "invalid value `infinity`", 4},
        {"a = +nan2", "invalid value `+nan2`", 4},
    };
    check_errors(cases, sizeof cases / sizeof cases[0], __FILE__, __LINE__);
}

TEST("encoding: invalid UTF-8 anywhere, control characters, lone CR; a leading BOM is skipped") {
    const ErrorCase cases[] = {
        {"a = \"\xFF\"", "invalid UTF-8 in a string", 5},
        {"a = \"\xC0\xAF\"", "invalid UTF-8 in a string", 5},          // overlong
        {"a = \"\xE0\x80\xAF\"", "invalid UTF-8 in a string", 5},      // overlong
        {"a = \"\xED\xA0\x80\"", "invalid UTF-8 in a string", 5},      // surrogate
        {"a = \"\xF4\x90\x80\x80\"", "invalid UTF-8 in a string", 5},  // above U+10FFFF
        {"a = \"\xE2\x82\"", "invalid UTF-8 in a string", 5},          // truncated
        {"a = 'ok \xE2\x82'", "invalid UTF-8 in a string", 8},
        {"a = \"\xC3\xA9\xC3\"", "invalid UTF-8 in a string", 7},
        {"# \xFE comment", "invalid UTF-8 in a comment", 2},
        {"\xC3\xA9 = 1", "expected a key, found `\xC3\xA9`", 0},
        {"a = 1 \x80", "expected a newline after a key/value pair, found invalid UTF-8 (byte 0x80)", 6},
        {"a = \"\x01\"", "the control character U+0001 must be escaped in a string", 5},
        {"a = \"\x7F\"", "the control character U+007F must be escaped in a string", 5},
        {"a = \"\"\"\x0B\"\"\"", "the control character U+000B must be escaped in a string", 7},
        {std::string("a = 'x\0'", 8), "the control character U+0000 is not allowed in a literal string", 6},
        {"a = '''\x7F'''", "the control character U+007F is not allowed in a literal string", 7},
        {"# \x7F", "the control character U+007F is not allowed in a comment", 2},
        {std::string("# \0", 3), "the control character U+0000 is not allowed in a comment", 2},
        {"a = 1 # x\ry", "a carriage return must be followed by a line feed", 9},
        {"a = 1\r", "a carriage return must be followed by a line feed", 5},
        {"\r", "a carriage return must be followed by a line feed", 0},
        {"a = \"\"\"x\ry\"\"\"", "a carriage return must be followed by a line feed", 8},
        {"a = [\r]", "a carriage return must be followed by a line feed", 5},
        {"a = \"x\ry\"", "the control character U+000D must be escaped in a string", 6},
        {"a = 'x\ry'", "the control character U+000D is not allowed in a literal string", 6},
        {"a = \"x\r\ny\"", "unterminated string: a newline came before the closing `\"`", 4},
        {"\xEF\xBB\xBF\xEF\xBB\xBF", "expected a key, found `\xEF\xBB\xBF`", 3},
        {"\xEF\xBB\xBF" "a = ?", "expected a value, found `?`", 7},
        {"a = 1\x0B", "expected a newline after a key/value pair, found the control character U+000B", 5},
    };
    check_errors(cases, sizeof cases / sizeof cases[0], __FILE__, __LINE__);
    // Tabs are fine in strings and comments; non-ASCII is fine in strings, comments and quoted keys.
    th::Parsed ok("\xEF\xBB\xBF# t\there \xE2\x82\xAC\n\"\xE2\x82\xAC\" = \"\t\xF0\x9F\x98\x80\"\r\nb = '\t'\n");
    CHECK_PARSES(ok);
}

TEST("nesting: the default limit's levels parse, one more fails where the limit is crossed") {
    const int L = static_cast<int>(toml::ParseOptions{}.max_depth);
    CHECK_EQ(L, 127);
    const std::string message = "nesting too deep: more than " + std::to_string(L) + " levels of arrays and tables";
    // Arrays: the value of a root key is at level 1.
    th::Parsed arrays_ok("a = " + nested(L, "[", "]", "1"));
    CHECK_PARSES(arrays_ok);
    std::string deep = "a = " + nested(L + 1, "[", "]", "1");
    th::Parsed arrays_bad(deep);
    CHECK(!arrays_bad.ok());
    CHECK_EQ(arrays_bad.error().message, message);
    CHECK_EQ(arrays_bad.error().offset, std::size_t(4 + L));
    // Inline tables, and a mix (L is odd: the innermost `[1]` is level L + 1).
    CHECK(th::Parsed("a = " + nested(L, "{b = ", "}", "1")).ok());
    CHECK(!th::Parsed("a = " + nested(L + 1, "{b = ", "}", "1")).ok());
    CHECK(th::Parsed("a = " + nested(L / 2, "[{b = ", "}]", "[1]")).ok());
    CHECK(!th::Parsed("a = " + nested(L / 2 + 1, "[{b = ", "}]", "1")).ok());
    // Dotted keys: `k0.k1....k(L-1) = 1` makes tables at levels 1..L-1.
    auto dotted = [](int parts) {
        std::string s = "k0";
        for (int i = 1; i < parts; ++i) s += ".k" + std::to_string(i);
        return s;
    };
    CHECK(th::Parsed(dotted(L + 1) + " = 1").ok());
    CHECK(th::Parsed(dotted(L) + " = []").ok());
    CHECK(!th::Parsed(dotted(L + 1) + " = []").ok());
    CHECK(!th::Parsed(dotted(L + 2) + " = 1").ok());
    // Headers: [k0....k(L-1)] puts the last table at level L.
    CHECK(th::Parsed("[" + dotted(L) + "]").ok());
    std::string header = "[" + dotted(L + 1) + "]";
    th::Parsed header_bad(header);
    CHECK(!header_bad.ok());
    CHECK_EQ(header_bad.error().message, message);
    CHECK_EQ(header_bad.error().offset, header.find("k" + std::to_string(L)));
    // Depth adds up across headers, dotted keys and values.
    CHECK(th::Parsed("[" + dotted(100) + "]\n" + dotted(20) + " = " + nested(L - 119, "[", "]", "")).ok());
    CHECK(!th::Parsed("[" + dotted(100) + "]\n" + dotted(20) + " = " + nested(L - 118, "[", "]", "")).ok());
    // An array of tables is not a level; its tables are.
    CHECK(th::Parsed("[" + dotted(L - 1) + "]\n[[" + dotted(L) + "]]").ok());
    CHECK(!th::Parsed("[" + dotted(L) + "]\n[[" + dotted(L + 1) + "]]").ok());
    std::string tables;
    for (int i = 1; i <= L + 1; ++i) tables += "[[" + dotted(i) + "]]\n";
    th::Parsed tables_bad(tables);
    CHECK(!tables_bad.ok());
    CHECK_EQ(tables_bad.error().message, message);
    CHECK_EQ(tables_bad.error().offset, tables.rfind("k" + std::to_string(L)));
    // Larger limits are honoured.
    toml::ParseOptions large;
    large.max_depth = 256;
    CHECK(th::Parsed("a = " + nested(256, "[", "]", "1"), large).ok());
    CHECK(!th::Parsed("a = " + nested(257, "[", "]", "1"), large).ok());
    // The limit is an option.
    toml::ParseOptions small;
    small.max_depth = 2;
    CHECK(th::Parsed("a = [[1]]", small).ok());
    CHECK(!th::Parsed("a = [[[1]]]", small).ok());
    CHECK(!th::Parsed("[a.b.c]", small).ok());
    CHECK_EQ(th::error_of("[a.b.c]", small), std::string("nesting too deep: more than 2 levels of arrays and tables"));
}

TEST("errors are reported once, at the first problem") {
    th::Parsed p("a = 1\na = 2\nb = \"\\q\"\n");
    CHECK(!p.ok());
    CHECK_EQ(p.error().message, std::string("duplicate key: `a`"));
    CHECK_EQ(p.error().offset, std::size_t(6));
    // An error at the very end of the input has the input's length as offset.
    th::Parsed end("a = [1,");
    CHECK_EQ(end.error().offset, std::size_t(7));
}
