// The cold parts of the token scanners (scan.hpp): building error messages.
#include "toml/scan.hpp"

namespace toml {
namespace scan {

void append_hex(std::string& out, std::uint32_t v, int digits) {
    static const char kHexDigits[] = "0123456789ABCDEF";
    for (int i = digits - 1; i >= 0; --i) out += kHexDigits[(v >> (4 * i)) & 0xF];
}

std::string describe(const char* at, const char* end) {
    if (at >= end) return "end of input";
    unsigned char c = static_cast<unsigned char>(*at);
    switch (c) {
        case '\n': return "a newline";
        case '\r': return at + 1 < end && at[1] == '\n' ? "a newline" : "a carriage return";
        case '\t': return "a tab";
        case ' ': return "a space";
        default: break;
    }
    std::string out;
    if (c < 0x20 || c == 0x7F) {
        out = "the control character U+";
        append_hex(out, c, 4);
        return out;
    }
    if (c < 0x80) {
        out = "`";
        out += static_cast<char>(c);
        out += '`';
        return out;
    }
    int n = utf8_sequence(at, end);
    if (n == 0) {
        out = "invalid UTF-8 (byte 0x";
        append_hex(out, c, 2);
        out += ')';
        return out;
    }
    out = "`";
    out.append(at, static_cast<std::size_t>(n));
    out += '`';
    return out;
}

bool Context::fail_expected(const char* at, const char* end, const char* expected) {
    std::string m = "expected ";
    m += expected;
    m += ", found ";
    m += describe(at, end);
    return fail(at, std::move(m));
}

bool Context::fail_newer(const char* at, const char* construct) {
    std::string m = "TOML 1.0.0 does not allow ";
    m += construct;
    m += " (added in TOML 1.1.0)";
    return fail(at, std::move(m));
}

bool fail_token(const Cursor& cur, Context& cx, const char* start) {
    const char* q = cur.p;
    while (q < cur.end && is(static_cast<unsigned char>(*q), kWordChar) && q - start < 60) ++q;
    return cx.fail(start, "invalid value `" + std::string(start, q) + "`");
}

}  // namespace scan
}  // namespace toml
