// Token scanners of vexil's TOML reader: strings (basic and literal, single-
// and multi-line, with escape decoding), numbers, date-times, simple keys, and
// the byte classes, UTF-8 checks and bulk (SSE2 / word-at-a-time) skips they
// are built on. parser.cpp builds the data tree from these tokens and keeps
// whitespace, comments, newlines and all structure (headers, key/value
// lines, arrays, inline tables) to itself; a lossless reader can call the
// same scanners and get the same values and the same error messages.
//
// Everything here is inline so that it inlines into the parser's hot loops;
// the cold message helpers (describe, append_hex) live in scan.cpp.
//
// A scanner reads from a Cursor, moves its `p` past the token on success and
// returns true. On failure it records the message and offset in the Context
// (the first failure is kept) and returns false; `p` is then unspecified.
// The Context is also where anything every scanner needs lives: the buffer
// for decoded text, and the place for a reading mode should one be needed.
#pragma once

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "toml/toml.hpp"

#if defined(__SSE2__) && !defined(VEXIL_TOML_NO_SIMD)
#include <emmintrin.h>
#define VEXIL_TOML_SSE2 1
#endif

namespace toml {
namespace scan {

// The bytes left to read: [p, end).
struct Cursor {
    const char* p;
    const char* end;
};

// What the scanners share with their caller: the first failure, and a buffer
// for decoded text (strings with escapes or CRLF line ends, long floats).
struct Context {
    explicit Context(const char* input_begin) noexcept : begin(input_begin) {}

    const char* begin;  // start of the input: error offsets count from here
    bool toml_1_0 = false;  // reading TOML 1.0.0: what 1.1.0 added is refused
    bool failed = false;
    Error error{};
    std::string scratch;

    // Records the failure (unless one is already recorded) and returns false.
    bool fail(const char* at, std::string message) {
        if (!failed) {
            failed = true;
            error.message = std::move(message);
            error.offset = static_cast<std::size_t>(at - begin);
        }
        return false;
    }
    // "expected <expected>, found <what is at `at`>".
    bool fail_expected(const char* at, const char* end, const char* expected);
    // For a TOML 1.1.0 construct met while reading TOML 1.0.0: a message
    // that names it.
    bool fail_newer(const char* at, const char* construct);
};

// What the input holds at `at` (before `end`), for "found ..." messages:
// "end of input", "a newline", "`x`", "the control character U+0001"...
std::string describe(const char* at, const char* end);

// Appends v as `digits` upper-case hexadecimal digits.
void append_hex(std::string& out, std::uint32_t v, int digits);

// A scanned string. Its text is either a slice of the input (`decoded`
// false) or, when escapes or CRLF line ends had to be rewritten, the whole
// of Context::scratch (`decoded` true), valid until the next scanner call.
struct StringToken {
    const char* data;
    std::size_t size;
    bool decoded;
    bool ascii;  // every byte of the text < 0x80
};

// A scanned number: an integer or a float.
struct NumberToken {
    bool is_float;
    Integer integer;  // when !is_float; magnitude is 0 on overflow
    Float floating;   // when is_float
};

// Character classes for the byte-at-a-time paths.
enum : std::uint8_t {
    kBare = 1,       // A-Z a-z 0-9 - _
    kDigit = 2,      // 0-9
    kHex = 4,        // 0-9 A-F a-f
    kWordChar = 8,   // characters that may continue a number or date-time token
};

struct CharTable {
    std::uint8_t c[256];
    constexpr CharTable() : c{} {
        for (int i = 0; i < 256; ++i) {
            std::uint8_t v = 0;
            bool digit = i >= '0' && i <= '9';
            bool alpha = (i >= 'a' && i <= 'z') || (i >= 'A' && i <= 'Z');
            if (digit || alpha || i == '-' || i == '_') v |= kBare;
            if (digit) v |= kDigit;
            if (digit || (i >= 'a' && i <= 'f') || (i >= 'A' && i <= 'F')) v |= kHex;
            if (digit || alpha || i == '-' || i == '_' || i == '+' || i == '.' || i == ':') v |= kWordChar;
            c[i] = v;
        }
    }
};
inline constexpr CharTable kChars;

inline bool is(unsigned char ch, std::uint8_t cls) noexcept { return (kChars.c[ch] & cls) != 0; }
inline bool is_digit(char ch) noexcept { return static_cast<unsigned char>(ch - '0') < 10; }

// Whether all eight bytes of a little-endian word are ASCII digits.
inline bool all_digits8(std::uint64_t w) noexcept {
    return ((w & 0xF0F0F0F0F0F0F0F0ull) | (((w + 0x0606060606060606ull) & 0xF0F0F0F0F0F0F0F0ull) >> 4)) ==
           0x3333333333333333ull;
}

// The value of eight ASCII digits (first digit in the lowest byte).
inline std::uint32_t eight_digits_value(std::uint64_t w) noexcept {
    constexpr std::uint64_t mask = 0x000000FF000000FFull;
    constexpr std::uint64_t mul1 = 0x000F424000000064ull;  // 100 + (1000000 << 32)
    constexpr std::uint64_t mul2 = 0x0000271000000001ull;  // 1 + (10000 << 32)
    w -= 0x3030303030303030ull;
    w = w * 10 + (w >> 8);  // pairs of digits
    return static_cast<std::uint32_t>((((w & mask) * mul1) + (((w >> 16) & mask) * mul2)) >> 32);
}

// Reads up to 19 decimal digits from p (fewer than 10^19, so the value
// cannot overflow), eight a step while at least eight more fit. Returns
// where the digits end; the caller decides whether the token ends there.
inline const char* read_small_decimal(const char* p, const char* end, std::uint64_t& value) noexcept {
    const char* q = p;
    std::uint64_t small = 0;
    while (end - q >= 8 && q - p <= 11) {
        std::uint64_t w;
        std::memcpy(&w, q, 8);
        if (!all_digits8(w)) break;
        small = small * 100000000 + eight_digits_value(w);
        q += 8;
    }
    while (q < end && is_digit(*q) && q - p < 19) {
        small = small * 10 + static_cast<unsigned>(*q - '0');
        ++q;
    }
    value = small;
    return q;
}

inline int hex_value(char ch) noexcept {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
}

// Length of the well-formed UTF-8 sequence starting at p (whose first byte is
// >= 0x80), or 0 if it is ill-formed: overlong forms, surrogates and code
// points above U+10FFFF are rejected.
inline int utf8_sequence(const char* p, const char* end) noexcept {
    auto b = [p](int i) { return static_cast<unsigned char>(p[i]); };
    unsigned c = b(0);
    std::ptrdiff_t left = end - p;
    if (c < 0xC2) return 0;
    if (c < 0xE0) return left >= 2 && (b(1) & 0xC0) == 0x80 ? 2 : 0;
    if (c < 0xF0) {
        if (left < 3 || (b(1) & 0xC0) != 0x80 || (b(2) & 0xC0) != 0x80) return 0;
        if (c == 0xE0 && b(1) < 0xA0) return 0;   // overlong
        if (c == 0xED && b(1) >= 0xA0) return 0;  // surrogate
        return 3;
    }
    if (c < 0xF5) {
        if (left < 4 || (b(1) & 0xC0) != 0x80 || (b(2) & 0xC0) != 0x80 || (b(3) & 0xC0) != 0x80) return 0;
        if (c == 0xF0 && b(1) < 0x90) return 0;   // overlong
        if (c == 0xF4 && b(1) >= 0x90) return 0;  // above U+10FFFF
        return 4;
    }
    return 0;
}

// Moves p past a run of well-formed non-ASCII sequences (p is at the first
// one). Returns nullptr, or where an ill-formed sequence starts. Three-byte
// sequences whose second byte may be any continuation byte (lead E1..EC,
// EE, EF: most of the BMP) are checked in line; the rest by utf8_sequence.
inline const char* skip_non_ascii(const char*& p, const char* end) noexcept {
    do {
        unsigned c = static_cast<unsigned char>(*p);
        if (c - 0xE1 < 0x0F && c != 0xED && end - p >= 3) {
            unsigned tail = (static_cast<unsigned char>(p[1]) ^ 0x80u) | (static_cast<unsigned char>(p[2]) ^ 0x80u);
            if (tail < 0x40) {
                p += 3;
                continue;
            }
        }
        int n = utf8_sequence(p, end);
        if (n == 0) return p;
        p += n;
    } while (p < end && static_cast<unsigned char>(*p) >= 0x80);
    return nullptr;
}

inline void append_utf8(std::string& out, std::uint32_t cp) {
    char buf[4];
    std::size_t n;
    if (cp < 0x80) {
        buf[0] = static_cast<char>(cp);
        n = 1;
    } else if (cp < 0x800) {
        buf[0] = static_cast<char>(0xC0 | (cp >> 6));
        buf[1] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 2;
    } else if (cp < 0x10000) {
        buf[0] = static_cast<char>(0xE0 | (cp >> 12));
        buf[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        buf[2] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 3;
    } else {
        buf[0] = static_cast<char>(0xF0 | (cp >> 18));
        buf[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        buf[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        buf[3] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 4;
    }
    out.append(buf, n);
}

// ---------------------------------------------------------------------------
// Bulk scanners. Each returns the first byte in [p, end) that the caller's
// byte-at-a-time code must look at; plain bytes are skipped 16 (SSE2) or 8
// (word-at-a-time) at a time.

#if !defined(VEXIL_TOML_SSE2)
constexpr std::uint64_t kOnes = 0x0101010101010101ull;
constexpr std::uint64_t kHighs = 0x8080808080808080ull;
// High bit set in each byte of w that equals b (exact: no false positives).
inline std::uint64_t bytes_equal(std::uint64_t w, unsigned char b) noexcept {
    std::uint64_t x = w ^ (kOnes * b);
    return ~(((x & ~kHighs) + ~kHighs) | x) & kHighs;
}
// High bit set in each byte of w below 0x20 or at or above 0x80, or equal to 0x7F.
inline std::uint64_t bytes_special(std::uint64_t w) noexcept {
    std::uint64_t low7 = w & ~kHighs;
    std::uint64_t below20 = ~(low7 + (kOnes * (0x80 - 0x20))) & kHighs;  // low7 < 0x20
    return below20 | (w & kHighs) | bytes_equal(w, 0x7F);
}
inline int first_marked(std::uint64_t m) noexcept {
    // Little-endian bytes are in memory order from the low end.
    return __builtin_ctzll(m) >> 3;
}
#endif

// Bare keys: stop at the first byte that is not A-Z a-z 0-9 - _.
inline const char* bare_end(const char* p, const char* end) noexcept {
#if defined(VEXIL_TOML_SSE2)
    while (end - p >= 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        // Range checks as signed compares: shift the range to start at -128.
        __m128i lower = _mm_or_si128(v, _mm_set1_epi8(0x20));
        __m128i alpha = _mm_cmplt_epi8(_mm_add_epi8(lower, _mm_set1_epi8(static_cast<char>(0x80 - 'a'))),
                                       _mm_set1_epi8(static_cast<char>(-128 + 26)));
        __m128i digit = _mm_cmplt_epi8(_mm_add_epi8(v, _mm_set1_epi8(static_cast<char>(0x80 - '0'))),
                                       _mm_set1_epi8(static_cast<char>(-128 + 10)));
        __m128i punct = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('-')), _mm_cmpeq_epi8(v, _mm_set1_epi8('_')));
        int mask = ~_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(alpha, digit), punct)) & 0xFFFF;
        if (mask != 0) return p + __builtin_ctz(static_cast<unsigned>(mask));
        p += 16;
    }
#endif
    while (p < end && is(static_cast<unsigned char>(*p), kBare)) ++p;
    return p;
}

// String bodies: stop at the closing quote (`"` or `'`), at `\` when the
// string has escapes, and at control characters, DEL and non-ASCII bytes.
template <char Quote, bool Escapes>
inline const char* string_body_end(const char* p, const char* end) noexcept {
#if defined(VEXIL_TOML_SSE2)
    const __m128i quote = _mm_set1_epi8(Quote);
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i space = _mm_set1_epi8(0x20);
    const __m128i del = _mm_set1_epi8(0x7F);
    while (end - p >= 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        // Signed compare: bytes >= 0x80 are negative, so they count as < 0x20.
        __m128i m = _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmplt_epi8(v, space));
        if constexpr (Escapes) m = _mm_or_si128(m, _mm_cmpeq_epi8(v, backslash));
        m = _mm_or_si128(m, _mm_cmpeq_epi8(v, del));
        int mask = _mm_movemask_epi8(m);
        if (mask != 0) return p + __builtin_ctz(static_cast<unsigned>(mask));
        p += 16;
    }
#else
    while (end - p >= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        std::uint64_t m = bytes_special(w) | bytes_equal(w, Quote);
        if constexpr (Escapes) m |= bytes_equal(w, '\\');
        if (m != 0) return p + first_marked(m);
        p += 8;
    }
#endif
    while (p < end) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == Quote || (Escapes && c == '\\') || c < 0x20 || c >= 0x7F) return p;
        ++p;
    }
    return p;
}

// What tells the two kinds of string apart for scan_string.
struct BasicString {
    static constexpr char quote = '"';
    static constexpr bool escapes = true;
    static const char* body_end(const char* p, const char* end) noexcept {
        return string_body_end<quote, escapes>(p, end);
    }
    static constexpr const char* unterminated = "unterminated string: no closing `\"` before the end of the input";
    static constexpr const char* newline = "unterminated string: a newline came before the closing `\"`";
    static constexpr const char* too_many_quotes =
        "too many quotation marks: at most two may come right before the closing `\"\"\"`";
    static constexpr const char* control = " must be escaped in a string";
};

struct LiteralString {
    static constexpr char quote = '\'';
    static constexpr bool escapes = false;
    static const char* body_end(const char* p, const char* end) noexcept {
        return string_body_end<quote, escapes>(p, end);
    }
    static constexpr const char* unterminated = "unterminated string: no closing `'` before the end of the input";
    static constexpr const char* newline = "unterminated string: a newline came before the closing `'`";
    static constexpr const char* too_many_quotes =
        "too many apostrophes: at most two may come right before the closing `'''`";
    static constexpr const char* control = " is not allowed in a literal string";
};

// ---------------------------------------------------------------------------
// Small readers shared by the token scanners.

inline bool is_leap(unsigned year) noexcept { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

inline unsigned days_in_month(unsigned year, unsigned month) noexcept {
    static const std::uint8_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap(year) ? 29 : kDays[month - 1];
}

inline bool two_digits(const char* p, const char* end, unsigned& v) noexcept {
    if (end - p < 2 || !is_digit(p[0]) || !is_digit(p[1])) return false;
    v = static_cast<unsigned>((p[0] - '0') * 10 + (p[1] - '0'));
    return true;
}

// A number, boolean or date-time ran on into more word characters
// (`truex`, `1.2.3`, `12:3`); report the whole token from `start`.
bool fail_token(const Cursor& cur, Context& cx, const char* start);

// A number, boolean or date-time that started at `start` and ends at cur.p
// must not run on into more word characters.
inline bool check_token_end(const Cursor& cur, Context& cx, const char* start) {
    if (cur.p >= cur.end || !is(static_cast<unsigned char>(*cur.p), kWordChar)) return true;
    return fail_token(cur, cx, start);
}

// ---------------------------------------------------------------------------
// Plain decimal integers: the common case of a value, read without the
// general number machinery.

// Whether cur.p starts an integer of up to 19 digits (no leading zero) that
// ends the token; if so, its value is stored and cur.p moved past it. On
// false nothing is moved and nothing is reported: the general scanners
// (scan_number, scan_datetime) take over. cur.p must be at a digit.
inline bool scan_plain_decimal(Cursor& cur, std::uint64_t& value) noexcept {
    const char* q = read_small_decimal(cur.p, cur.end, value);
    if ((*cur.p != '0' || q - cur.p == 1) && (q >= cur.end || !is(static_cast<unsigned char>(*q), kWordChar))) {
        cur.p = q;
        return true;
    }
    return false;
}

// Whether the token at cur.p (a digit, sign, `i` or `n`) is a date or a
// time (YYYY-... or HH:...) rather than a number.
inline bool starts_datetime(const Cursor& cur) noexcept {
    const char* s = cur.p;
    std::ptrdiff_t left = cur.end - s;
    if (left >= 5 && is_digit(s[0]) && is_digit(s[1]) && is_digit(s[2]) && is_digit(s[3]) && s[4] == '-')
        return true;
    return left >= 3 && is_digit(s[0]) && is_digit(s[1]) && s[2] == ':';
}

// ---------------------------------------------------------------------------
// Strings

// One escape sequence of a basic string; p points at the backslash and is
// moved past it. The decoded text is appended to cx.scratch.
inline bool scan_escape(const char*& p, const char* end, Context& cx, bool& ascii, bool multiline) {
    const char* at = p;
    if (p + 1 >= end) return cx.fail(at, "incomplete escape sequence at the end of the input");
    char c = p[1];
    p += 2;
    switch (c) {
        case 'b': cx.scratch += '\b'; return true;
        case 't': cx.scratch += '\t'; return true;
        case 'n': cx.scratch += '\n'; return true;
        case 'f': cx.scratch += '\f'; return true;
        case 'r': cx.scratch += '\r'; return true;
        case 'e':
            if (cx.toml_1_0) return cx.fail_newer(at, "the escape sequence `\\e`");
            cx.scratch += '\x1B';
            return true;
        case '"': cx.scratch += '"'; return true;
        case '\\': cx.scratch += '\\'; return true;
        case 'x':
            if (cx.toml_1_0) return cx.fail_newer(at, "the escape sequence `\\xHH`");
            [[fallthrough]];
        case 'u':
        case 'U': {
            int digits = c == 'x' ? 2 : c == 'u' ? 4 : 8;
            std::uint32_t cp = 0;
            for (int i = 0; i < digits; ++i) {
                int v = p + i < end ? hex_value(p[i]) : -1;
                if (v < 0) {
                    std::string m = "invalid escape sequence: `\\";
                    m += c;
                    m += "` needs ";
                    m += std::to_string(digits);
                    m += " hexadecimal digits";
                    return cx.fail(at, std::move(m));
                }
                cp = cp * 16 + static_cast<std::uint32_t>(v);
            }
            if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
                std::string m = "invalid escape sequence `";
                m.append(at, static_cast<std::size_t>(digits + 2));
                m += "`: not a Unicode scalar value";
                return cx.fail(at, std::move(m));
            }
            p += digits;
            if (cp >= 0x80) ascii = false;
            append_utf8(cx.scratch, cp);
            return true;
        }
        default:
            break;
    }
    if (multiline && (c == ' ' || c == '\t' || c == '\n' || c == '\r')) {
        // A line-ending backslash: whitespace up to the newline, then all
        // whitespace and newlines up to the next other character, vanish.
        const char* q = at + 1;
        while (q < end && (*q == ' ' || *q == '\t')) ++q;
        if (q < end && *q == '\n') {
            ++q;
        } else if (q + 1 < end && q[0] == '\r' && q[1] == '\n') {
            q += 2;
        } else {
            return cx.fail(at, "invalid escape sequence: a backslash followed by whitespace must end the line");
        }
        while (q < end) {
            if (*q == ' ' || *q == '\t' || *q == '\n') {
                ++q;
            } else if (*q == '\r' && q + 1 < end && q[1] == '\n') {
                q += 2;
            } else {
                break;
            }
        }
        p = q;
        return true;
    }
    std::string m = "invalid escape sequence `\\";
    unsigned char u = static_cast<unsigned char>(c);
    if (u >= 0x21 && u < 0x7F) {
        m += c;
        m += '`';
    } else {
        m += "` followed by ";
        m += describe(at + 1, end);
    }
    return cx.fail(at, std::move(m));
}

// Basic and literal strings share one reader; the kind supplies the quote
// character, the scanner, the messages and whether backslash escapes exist.
// cur.p is at the opening delimiter (three quotes when `multiline`).
// Always inlined: in the caller's own string reader the cursor and the token
// then live in registers, and reading strings costs no more than one reader
// that writes the parser's nodes directly.
template <class Kind>
[[gnu::always_inline]] inline bool scan_string(Cursor& cur, Context& cx, StringToken& out, bool multiline) {
    constexpr char q = Kind::quote;
    const char* open = cur.p;
    const char* p = cur.p + (multiline ? 3 : 1);
    if (multiline) {
        // A newline right after the opening delimiter is not part of the text.
        if (p < cur.end && *p == '\n') {
            ++p;
        } else if (cur.end - p >= 2 && p[0] == '\r' && p[1] == '\n') {
            p += 2;
        }
    }
    const char* text = p;      // start of the text
    const char* pending = p;   // start of the bytes not yet copied (when decoding)
    bool decoding = false;     // escapes and CRLF normalisation copy the text into cx.scratch
    bool ascii = true;
    const char* close;         // where the text ends; p then moves past the delimiter
    while (true) {
        p = Kind::body_end(p, cur.end);
        if (p >= cur.end) return cx.fail(open, Kind::unterminated);
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == q) {
            if (!multiline) {
                close = p++;
                break;
            }
            std::size_t run = 1;
            while (p + run < cur.end && p[run] == q) ++run;
            if (run < 3) {
                p += run;
                continue;
            }
            if (run > 5) return cx.fail(p, Kind::too_many_quotes);
            close = p + (run - 3);  // up to two quotes belong to the text
            p += run;
            break;
        }
        if (Kind::escapes && c == '\\') {
            if (!decoding) {
                cx.scratch.clear();
                decoding = true;
            }
            cx.scratch.append(pending, p);
            if (!scan_escape(p, cur.end, cx, ascii, multiline)) return false;
            pending = p;
            continue;
        }
        if (c >= 0x80) {
            ascii = false;
            const char* bad = skip_non_ascii(p, cur.end);
            if (bad != nullptr) return cx.fail(bad, "invalid UTF-8 in a string");
            continue;
        }
        if (c == '\t') {
            ++p;
            continue;
        }
        if (multiline && c == '\n') {
            ++p;
            continue;
        }
        if (multiline && c == '\r') {
            if (!(p + 1 < cur.end && p[1] == '\n'))
                return cx.fail(p, "a carriage return must be followed by a line feed");
            // CRLF is stored as LF.
            if (!decoding) {
                cx.scratch.clear();
                decoding = true;
            }
            cx.scratch.append(pending, p);
            cx.scratch += '\n';
            p += 2;
            pending = p;
            continue;
        }
        if (c == '\n' || (c == '\r' && p + 1 < cur.end && p[1] == '\n')) return cx.fail(open, Kind::newline);
        std::string m = "the control character U+";
        append_hex(m, c, 4);
        m += Kind::control;
        return cx.fail(p, std::move(m));
    }
    if (decoding) {
        cx.scratch.append(pending, close);
        out.data = cx.scratch.data();
        out.size = cx.scratch.size();
    } else {
        out.data = text;
        out.size = static_cast<std::size_t>(close - text);
    }
    out.decoded = decoding;
    out.ascii = ascii;
    cur.p = p;
    return true;
}

// A basic ("...", """...""") or literal ('...', '''...''') string at cur.p.
inline bool scan_basic_string(Cursor& cur, Context& cx, StringToken& out, bool multiline) {
    return scan_string<BasicString>(cur, cx, out, multiline);
}
inline bool scan_literal_string(Cursor& cur, Context& cx, StringToken& out, bool multiline) {
    return scan_string<LiteralString>(cur, cx, out, multiline);
}

// One part of a key: a bare key, or a single-line basic or literal string.
inline bool scan_simple_key(Cursor& cur, Context& cx, StringToken& out) {
    const char* start = cur.p;
    if (cur.p < cur.end && is(static_cast<unsigned char>(*cur.p), kBare)) {
        const char* p = bare_end(cur.p + 1, cur.end);
        out.data = start;
        out.size = static_cast<std::size_t>(p - start);
        out.decoded = false;
        out.ascii = true;
        cur.p = p;
        return true;
    }
    if (cur.p < cur.end && (*cur.p == '"' || *cur.p == '\'')) {
        char q = *cur.p;
        if (cur.end - cur.p >= 3 && cur.p[1] == q && cur.p[2] == q)
            return cx.fail(cur.p, "a key cannot be a multi-line string");
        return q == '"' ? scan_basic_string(cur, cx, out, false) : scan_literal_string(cur, cx, out, false);
    }
    return cx.fail_expected(cur.p, cur.end, "a key");
}

// ---------------------------------------------------------------------------
// Numbers and date-times

// DIGIT *( DIGIT / "_" DIGIT ) for the digit class `cls`; p is at the first
// digit (already checked by the caller).
inline bool digits_with_underscores(const char*& p, const char* end, Context& cx, std::uint8_t cls,
                                    const char* what) {
    while (p < end) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (is(c, cls)) {
            ++p;
        } else if (c == '_') {
            if (!(p + 1 < end && is(static_cast<unsigned char>(p[1]), cls))) {
                std::string m = "invalid ";
                m += what;
                m += ": an underscore must be between two digits";
                return cx.fail(p, std::move(m));
            }
            p += 2;
        } else {
            break;
        }
    }
    return true;
}

// The literal in [start, end) is syntactically a float; convert it.
inline bool convert_float(Context& cx, NumberToken& out, const char* start, const char* end) {
    char local[64];
    char* buf = local;
    std::size_t cap = sizeof local;
    if (static_cast<std::size_t>(end - start) > cap) {
        cx.scratch.resize(static_cast<std::size_t>(end - start));
        buf = cx.scratch.data();
        cap = cx.scratch.size();
    }
    std::size_t n = 0;
    for (const char* q = start; q < end; ++q) {
        if (*q == '_' || (q == start && *q == '+')) continue;
        buf[n++] = *q;
    }
    double v = 0;
    auto r = std::from_chars(buf, buf + n, v, std::chars_format::general);
    out.is_float = true;
    out.floating.overflow = false;
    if (r.ec == std::errc::result_out_of_range) {
        // Either huge or tiny. Find the decimal exponent of the leading
        // significant digit to tell which.
        const char* d = buf;
        bool neg = *d == '-';
        if (neg) ++d;
        const char* bend = buf + n;
        long long lead = 0;
        bool seen = false;
        long long int_digits = 0;
        const char* x = d;
        for (; x < bend && is_digit(*x); ++x) {
            if (!seen && *x != '0') seen = true;
            if (seen) ++int_digits;
        }
        if (seen) {
            lead = int_digits - 1;
        } else if (x < bend && *x == '.') {
            long long zeros = 0;
            ++x;
            for (; x < bend && *x == '0'; ++x) ++zeros;
            lead = -(zeros + 1);
        }
        while (x < bend && *x != 'e' && *x != 'E') ++x;
        long long e = 0;
        if (x < bend) {
            ++x;
            bool eneg = false;
            if (x < bend && (*x == '+' || *x == '-')) eneg = *x++ == '-';
            for (; x < bend; ++x) {
                if (e < 100000000) e = e * 10 + (*x - '0');
            }
            if (eneg) e = -e;
        }
        if (lead + e > 0) {
            v = neg ? -__builtin_inf() : __builtin_inf();
            out.floating.overflow = true;
        } else {
            v = neg ? -0.0 : 0.0;
        }
    } else if (r.ec != std::errc() || r.ptr != buf + n) {
        return cx.fail(start, "invalid float `" + std::string(start, end) + "`");
    }
    out.floating.value = v;
    return true;
}

// `inf` or `nan` at cur.p, after an optional sign at `start`.
inline bool scan_special_float(Cursor& cur, Context& cx, NumberToken& out, const char* start, bool negative) {
    const char* p = cur.p;
    bool inf = cur.end - p >= 3 && std::memcmp(p, "inf", 3) == 0;
    bool nan = !inf && cur.end - p >= 3 && std::memcmp(p, "nan", 3) == 0;
    if (!inf && !nan) return cx.fail_expected(start, cur.end, "a value");
    cur.p = p + 3;
    out.is_float = true;
    out.floating.overflow = false;
    double v = inf ? __builtin_inf() : __builtin_nan("");
    out.floating.value = negative ? -v : v;
    return check_token_end(cur, cx, start);
}

// An integer or float (decimal, hexadecimal, octal, binary; inf, nan) at
// cur.p, which is at a digit, a sign, `i` or `n`.
inline bool scan_number(Cursor& cur, Context& cx, NumberToken& out) {
    const char* start = cur.p;
    const char* p = cur.p;
    bool negative = false;
    bool sign = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        sign = true;
        ++p;
    }
    if (p < cur.end && (*p == 'i' || *p == 'n')) {
        cur.p = p;
        return scan_special_float(cur, cx, out, start, negative);
    }
    if (!(p < cur.end && is_digit(*p))) return cx.fail_expected(start, cur.end, "a value");

    // Hexadecimal, octal, binary.
    if (*p == '0' && p + 1 < cur.end && (p[1] == 'x' || p[1] == 'o' || p[1] == 'b')) {
        char kind = p[1];
        unsigned shift = kind == 'x' ? 4 : kind == 'o' ? 3 : 1;
        const char* name = kind == 'x' ? "hexadecimal integer" : kind == 'o' ? "octal integer" : "binary integer";
        if (sign) return cx.fail(start, std::string(kind == 'o' ? "an " : "a ") + name + " cannot have a sign");
        p += 2;
        auto digit = [kind](char c) -> int {
            if (kind == 'x') return hex_value(c);
            if (kind == 'o') return c >= '0' && c <= '7' ? c - '0' : -1;
            return c == '0' || c == '1' ? c - '0' : -1;
        };
        if (!(p < cur.end && digit(*p) >= 0))
            return cx.fail(start, std::string("invalid ") + name + ": expected a digit after the prefix, found " +
                                   describe(p, cur.end));
        uint128 mag = 0;
        bool overflow = false;
        const uint128 limit = ~uint128(0) >> shift;
        while (p < cur.end) {
            int d = digit(*p);
            if (d >= 0) {
                if (mag > limit) overflow = true;
                mag = (mag << shift) | static_cast<unsigned>(d);
                ++p;
            } else if (*p == '_') {
                if (!(p + 1 < cur.end && digit(p[1]) >= 0))
                    return cx.fail(p, std::string("invalid ") + name + ": an underscore must be between two digits");
                ++p;
            } else {
                break;
            }
        }
        cur.p = p;
        out.is_float = false;
        out.integer.magnitude = overflow ? 0 : mag;
        out.integer.negative = false;
        out.integer.overflow = overflow;
        return check_token_end(cur, cx, start);
    }

    // Decimal integer part.
    const char* int_start = p;
    if (*p == '0' && p + 1 < cur.end && (is_digit(p[1]) || p[1] == '_'))
        return cx.fail(start, "invalid number `" + std::string(start, std::min(cur.end, p + 2)) +
                               "...`: leading zeros are not allowed");
    {
        // Fast path: up to 19 plain digits (below 10^19, so no overflow) not
        // followed by more of the number.
        std::uint64_t small;
        const char* q = read_small_decimal(p, cur.end, small);
        if (!(q < cur.end && (is_digit(*q) || *q == '_' || *q == '.' || *q == 'e' || *q == 'E'))) {
            cur.p = q;
            out.is_float = false;
            out.integer.magnitude = small;
            out.integer.negative = negative && small != 0;
            out.integer.overflow = false;
            return check_token_end(cur, cx, start);
        }
    }
    if (!digits_with_underscores(p, cur.end, cx, kDigit, "number")) return false;
    if (p < cur.end && (*p == '.' || *p == 'e' || *p == 'E')) {
        // Fraction and exponent.
        if (*p == '.') {
            ++p;
            if (!(p < cur.end && is_digit(*p)))
                return cx.fail(start, "invalid float: a decimal point must be followed by a digit");
            if (!digits_with_underscores(p, cur.end, cx, kDigit, "float")) return false;
        }
        if (p < cur.end && (*p == 'e' || *p == 'E')) {
            ++p;
            if (p < cur.end && (*p == '+' || *p == '-')) ++p;
            if (!(p < cur.end && is_digit(*p)))
                return cx.fail(start, "invalid float: the exponent must have digits");
            if (!digits_with_underscores(p, cur.end, cx, kDigit, "float")) return false;
        }
        cur.p = p;
        if (!convert_float(cx, out, start, p)) return false;
        return check_token_end(cur, cx, start);
    }

    // Integer value: 64-bit arithmetic while it cannot overflow, then 128-bit.
    const uint128 max = ~uint128(0);
    uint128 mag = 0;
    std::uint64_t small = 0;
    int count = 0;
    const char* q = int_start;
    bool overflow = false;
    for (; q < p && count < 19; ++q) {
        if (*q == '_') continue;
        small = small * 10 + static_cast<unsigned>(*q - '0');
        ++count;
    }
    mag = small;
    for (; q < p; ++q) {
        if (*q == '_') continue;
        unsigned d = static_cast<unsigned>(*q - '0');
        if (mag > (max - d) / 10) {
            overflow = true;
            break;
        }
        mag = mag * 10 + d;
    }
    if (negative && mag > (uint128(1) << 127)) overflow = true;
    cur.p = p;
    out.is_float = false;
    out.integer.magnitude = overflow ? 0 : mag;
    out.integer.negative = negative && mag != 0;
    out.integer.overflow = overflow;
    return check_token_end(cur, cx, start);
}

// HH:MM[:SS[.fraction]] at p, moving p past it; failures are reported at
// `start`, where the whole token began.
inline bool scan_time(const char*& p, const char* end, Context& cx, Time& t, const char* start) {
    const char* s = p;
    unsigned hour, minute, second = 0;
    if (!two_digits(p, end, hour) || end - p < 3 || p[2] != ':' || !two_digits(p + 3, end, minute))
        return cx.fail(start, "invalid time: expected HH:MM, found " + describe(p, end));
    p += 5;
    t.has_second = false;
    t.has_fraction = false;
    t.nanosecond = 0;
    if (p < end && *p == ':') {
        if (!two_digits(p + 1, end, second)) return cx.fail(start, "invalid time: expected two digits for the seconds");
        p += 3;
        t.has_second = true;
        if (p < end && *p == '.') {
            ++p;
            if (!(p < end && is_digit(*p)))
                return cx.fail(start, "invalid time: a decimal point must be followed by fraction digits");
            std::uint32_t ns = 0;
            int digits = 0;
            while (p < end && is_digit(*p)) {
                if (digits < 9) {
                    ns = ns * 10 + static_cast<unsigned>(*p - '0');
                    ++digits;
                }
                ++p;
            }
            while (digits < 9) {
                ns *= 10;
                ++digits;
            }
            t.has_fraction = true;
            t.nanosecond = ns;
        }
    } else if (cx.toml_1_0) {
        return cx.fail_newer(start, "a time without seconds");
    }
    if (hour > 23 || minute > 59 || second > 60) {
        std::string text(s, p);
        return cx.fail(start, "invalid time: " + text);
    }
    t.hour = static_cast<std::uint8_t>(hour);
    t.minute = static_cast<std::uint8_t>(minute);
    t.second = static_cast<std::uint8_t>(second);
    return true;
}

// A local time, or a date optionally followed by a time and an offset, at
// cur.p (see starts_datetime).
inline bool scan_datetime(Cursor& cur, Context& cx, DateTime& out) {
    const char* start = cur.p;
    const char* p = cur.p;
    DateTime dt{};
    if (cur.end - p >= 3 && p[2] == ':') {
        // Local time.
        if (!scan_time(p, cur.end, cx, dt.time, start)) return false;
        dt.has_time = true;
    } else {
        unsigned y0, y1, month, day;
        if (!two_digits(p, cur.end, y0) || !two_digits(p + 2, cur.end, y1) || cur.end - p < 10 || p[4] != '-' ||
            !two_digits(p + 5, cur.end, month) || p[7] != '-' || !two_digits(p + 8, cur.end, day)) {
            const char* q = p;
            while (q < cur.end && is(static_cast<unsigned char>(*q), kWordChar) && q - p < 40) ++q;
            return cx.fail(start, "invalid date `" + std::string(p, q) + "`: expected YYYY-MM-DD");
        }
        unsigned year = y0 * 100 + y1;
        if (month < 1 || month > 12 || day < 1 || day > days_in_month(year, month))
            return cx.fail(start, "invalid date: " + std::string(p, p + 10));
        dt.date = {static_cast<std::uint16_t>(year), static_cast<std::uint8_t>(month), static_cast<std::uint8_t>(day)};
        dt.has_date = true;
        p += 10;
        bool time_follows = false;
        if (p < cur.end && (*p == 'T' || *p == 't')) {
            time_follows = true;
        } else if (p < cur.end && *p == ' ' && cur.end - p >= 4 && is_digit(p[1]) && is_digit(p[2]) && p[3] == ':') {
            time_follows = true;
        }
        if (time_follows) {
            ++p;
            if (!scan_time(p, cur.end, cx, dt.time, start)) return false;
            dt.has_time = true;
            if (p < cur.end && (*p == 'Z' || *p == 'z')) {
                dt.offset = OffsetKind::Utc;
                ++p;
            } else if (p < cur.end && (*p == '+' || *p == '-')) {
                bool neg = *p == '-';
                unsigned oh, om;
                if (!two_digits(p + 1, cur.end, oh) || cur.end - p < 6 || p[3] != ':' ||
                    !two_digits(p + 4, cur.end, om))
                    return cx.fail(p, "invalid time offset: expected +HH:MM or -HH:MM, found " + describe(p, cur.end));
                if (oh > 23 || om > 59) return cx.fail(p, "invalid time offset: " + std::string(p, p + 6));
                int minutes = static_cast<int>(oh * 60 + om);
                dt.offset = OffsetKind::Minutes;
                dt.offset_minutes = static_cast<std::int16_t>(neg ? -minutes : minutes);
                p += 6;
            }
        }
    }
    cur.p = p;
    out = dt;
    return check_token_end(cur, cx, start);
}

}  // namespace scan
}  // namespace toml
