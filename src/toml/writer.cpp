// vexil's TOML text writers. See writer.hpp for the forms.
#include "toml/writer.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

#if defined(__SSE2__) && !defined(VEXIL_TOML_NO_SIMD)
#define VEXIL_WRITER_SSE2 1
#include <emmintrin.h>
#endif

namespace toml {

namespace {

constexpr char hex_digits[] = "0123456789ABCDEF";

// Byte classes for the string and key rules.
enum : std::uint8_t {
    kPlain = 0,
    kEscape = 1,   // must be escaped in a single-line basic string
    kControl = 2,  // below 0x20 except tab and line feed, or 0x7F
    kNewline = 4,  // 0x0A
    kDquote = 8,
    kSquote = 16,
    kBackslash = 32,
    kBare = 64,  // allowed in a bare key
};

constexpr auto make_classes() {
    struct Table {
        std::uint8_t c[256];
    } t{};
    for (int b = 0; b < 0x20; ++b) {
        t.c[b] = kEscape | kControl;
    }
    t.c[std::uint8_t('\t')] = kEscape;
    t.c[std::uint8_t('\n')] = kEscape | kNewline;
    t.c[0x7F] = kEscape | kControl;
    t.c[std::uint8_t('"')] = kEscape | kDquote;
    t.c[std::uint8_t('\\')] = kEscape | kBackslash;
    t.c[std::uint8_t('\'')] = kSquote;
    for (int b = 'A'; b <= 'Z'; ++b) t.c[b] = kBare;
    for (int b = 'a'; b <= 'z'; ++b) t.c[b] = kBare;
    for (int b = '0'; b <= '9'; ++b) t.c[b] = kBare;
    t.c[std::uint8_t('-')] = kBare;
    t.c[std::uint8_t('_')] = kBare;
    return t;
}
constexpr auto byte_classes = make_classes();

inline std::uint8_t class_of(char c) noexcept { return byte_classes.c[static_cast<unsigned char>(c)]; }

// The length of the leading stretch of `text` that a single-line basic
// string can hold unescaped: no byte below 0x20, no 0x7F, '"' or '\\'.
// Most strings are nothing but such a stretch, so this runs 16 (or 8) bytes
// at a time.
std::size_t plain_prefix(std::string_view text) noexcept {
    const char* begin = text.data();
    const char* p = begin;
    const char* end = begin + text.size();
#if defined(VEXIL_WRITER_SSE2)
    const __m128i low = _mm_set1_epi8(0x1F);
    const __m128i dquote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i del = _mm_set1_epi8(0x7F);
    while (end - p >= 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i hit = _mm_or_si128(
            _mm_or_si128(_mm_cmpeq_epi8(_mm_max_epu8(v, low), low), _mm_cmpeq_epi8(v, dquote)),
            _mm_or_si128(_mm_cmpeq_epi8(v, backslash), _mm_cmpeq_epi8(v, del)));
        int mask = _mm_movemask_epi8(hit);
        if (mask != 0) {
            return static_cast<std::size_t>(p - begin) + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
        }
        p += 16;
    }
#else
    constexpr std::uint64_t ones = 0x0101010101010101ULL;
    constexpr std::uint64_t highs = 0x8080808080808080ULL;
    auto has_zero = [](std::uint64_t v) { return (v - ones) & ~v & highs; };
    while (end - p >= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        std::uint64_t hit = ((w - ones * 0x20) & ~w & highs) | has_zero(w ^ (ones * '"')) |
                            has_zero(w ^ (ones * '\\')) | has_zero(w ^ (ones * 0x7F));
        if (hit != 0) {
            break;  // the byte loop below finds the exact position
        }
        p += 8;
    }
#endif
    while (p < end && (class_of(*p) & kEscape) == 0) {
        ++p;
    }
    return static_cast<std::size_t>(p - begin);
}

void append_unicode_escape(std::string& out, unsigned char b) {
    char esc[6] = {'\\', 'u', '0', '0', hex_digits[b >> 4], hex_digits[b & 15]};
    out.append(esc, 6);
}

// Appends `text` with the escapes of the basic forms. In the single-line
// form line feeds become \n and every double quote \"; in the multi-line
// form line feeds stay and only a third double quote in a row is escaped.
template <bool Multiline>
void append_escaped(std::string& out, std::string_view text) {
    const char* p = text.data();
    const char* end = p + text.size();
    const char* run = p;  // start of the bytes not yet copied
    int quotes = 0;       // double quotes written in a row (multi-line form)
    for (; p < end; ++p) {
        unsigned char b = static_cast<unsigned char>(*p);
        std::uint8_t cls = byte_classes.c[b];
        if ((cls & kEscape) == 0) {
            quotes = 0;
            continue;
        }
        if (Multiline) {
            if (b == '\n') {
                quotes = 0;
                continue;
            }
            if (b == '"') {
                if (++quotes < 3) {
                    continue;
                }
                quotes = 0;
            } else {
                quotes = 0;
            }
        }
        out.append(run, static_cast<std::size_t>(p - run));
        run = p + 1;
        switch (b) {
            case '\b': out.append("\\b", 2); break;
            case '\t': out.append("\\t", 2); break;
            case '\n': out.append("\\n", 2); break;
            case '\f': out.append("\\f", 2); break;
            case '\r': out.append("\\r", 2); break;
            case '"': out.append("\\\"", 2); break;
            case '\\': out.append("\\\\", 2); break;
            default: append_unicode_escape(out, b); break;
        }
    }
    out.append(run, static_cast<std::size_t>(end - run));
}

// What the string rule needs to know about a text, from one pass.
struct StringFacts {
    bool dquote = false, squote = false, backslash = false, newline = false, control = false;
    bool dquote_run3 = false, squote_run3 = false;
};

StringFacts scan(std::string_view text) noexcept {
    StringFacts f;
    int dq_run = 0, sq_run = 0;
    for (char c : text) {
        std::uint8_t cls = class_of(c);
        if (cls == kPlain || cls == kBare) {
            dq_run = sq_run = 0;
            continue;
        }
        f.control |= (cls & kControl) != 0;
        f.newline |= (cls & kNewline) != 0;
        f.backslash |= (cls & kBackslash) != 0;
        if (cls & kDquote) {
            f.dquote = true;
            f.dquote_run3 |= ++dq_run >= 3;
        } else {
            dq_run = 0;
        }
        if (cls & kSquote) {
            f.squote = true;
            f.squote_run3 |= ++sq_run >= 3;
        } else {
            sq_run = 0;
        }
    }
    return f;
}

void append_basic(std::string& out, std::string_view text) {
    out.push_back('"');
    append_escaped<false>(out, text);
    out.push_back('"');
}

void append_multiline_basic(std::string& out, std::string_view text, bool newline) {
    out.append(newline ? "\"\"\"\n" : "\"\"\"", newline ? 4 : 3);
    append_escaped<true>(out, text);
    out.append("\"\"\"", 3);
}

void append_two_digits(char* at, unsigned value) noexcept {
    at[0] = static_cast<char>('0' + value / 10 % 10);
    at[1] = static_cast<char>('0' + value % 10);
}

}  // namespace

void write_string(std::string& out, std::string_view text) {
    std::size_t plain = plain_prefix(text);
    if (plain == text.size()) {
        // Rule 1 with nothing to escape: the common case.
        out.push_back('"');
        out.append(text);
        out.push_back('"');
        return;
    }
    StringFacts f = scan(text);
    if (!f.dquote && !f.backslash && !f.newline && !f.control) {
        append_basic(out, text);  // rule 1 (a tab needs escaping)
    } else if (!f.squote && !f.newline && !f.control) {
        out.push_back('\'');  // rule 2
        out.append(text);
        out.push_back('\'');
    } else if (!f.control && !f.backslash && !f.dquote_run3) {
        append_multiline_basic(out, text, f.newline);  // rule 3
    } else if (!f.control && !f.squote_run3) {
        out.append(f.newline ? "'''\n" : "'''", f.newline ? 4 : 3);  // rule 4
        out.append(text);
        out.append("'''", 3);
    } else if (f.newline) {
        append_multiline_basic(out, text, true);  // rule 5
    } else {
        append_basic(out, text);  // rule 6
    }
}

void write_string(std::string& out, std::string_view text, bool multiline) {
    if (multiline) {
        write_string(out, text);
        return;
    }
    std::size_t plain = plain_prefix(text);
    if (plain == text.size()) {
        out.push_back('"');
        out.append(text);
        out.push_back('"');
        return;
    }
    StringFacts f = scan(text);
    if (!f.squote && !f.newline && !f.control && (f.dquote || f.backslash)) {
        out.push_back('\'');  // rule 2
        out.append(text);
        out.push_back('\'');
    } else {
        append_basic(out, text);  // rules 1 and 6
    }
}

KeyForm key_form(std::string_view text) noexcept {
    if (text.empty()) {
        return KeyForm::Basic;
    }
    std::size_t i = 0;
    while (i < text.size() && class_of(text[i]) == kBare) {
        ++i;
    }
    if (i == text.size()) {
        return KeyForm::Bare;  // the common case, decided in one tight loop
    }
    bool special = false, squote = false, control = false;
    for (char c : text) {
        std::uint8_t cls = class_of(c);
        special |= (cls & (kBackslash | kDquote)) != 0;
        squote |= (cls & kSquote) != 0;
        control |= (cls & (kControl | kNewline)) != 0;
    }
    if (special && !squote && !control) {
        return KeyForm::Literal;
    }
    return KeyForm::Basic;
}

void write_key(std::string& out, std::string_view text, KeyForm form) {
    switch (form) {
        case KeyForm::Bare:
            out.append(text);
            break;
        case KeyForm::Literal:
            out.push_back('\'');
            out.append(text);
            out.push_back('\'');
            break;
        case KeyForm::Basic:
            append_basic(out, text);
            break;
    }
}

void write_key(std::string& out, std::string_view text) { write_key(out, text, key_form(text)); }

void write_integer(std::string& out, std::int64_t value) {
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, static_cast<std::size_t>(res.ptr - buf));
}

namespace {

void write_magnitude(std::string& out, uint128 magnitude, bool negative) {
    char buf[48];
    char* end = buf + sizeof buf;
    char* p = end;
    // Peel off 19 decimal digits at a time so the inner divisions are 64-bit.
    constexpr std::uint64_t chunk = 10000000000000000000ULL;
    while (magnitude >= chunk) {
        std::uint64_t low = static_cast<std::uint64_t>(magnitude % chunk);
        magnitude /= chunk;
        for (int i = 0; i < 19; ++i) {
            *--p = static_cast<char>('0' + low % 10);
            low /= 10;
        }
    }
    std::uint64_t high = static_cast<std::uint64_t>(magnitude);
    do {
        *--p = static_cast<char>('0' + high % 10);
        high /= 10;
    } while (high != 0);
    if (negative) {
        *--p = '-';
    }
    out.append(p, static_cast<std::size_t>(end - p));
}

}  // namespace

void write_integer(std::string& out, int128 value) {
    if (value >= INT64_MIN && value <= INT64_MAX) {
        write_integer(out, static_cast<std::int64_t>(value));
        return;
    }
    write_magnitude(out, value < 0 ? uint128(0) - static_cast<uint128>(value) : static_cast<uint128>(value), value < 0);
}

void write_integer(std::string& out, uint128 value) { write_magnitude(out, value, false); }

bool write_float(std::string& out, double value) {
    if (std::isnan(value)) {
        out.append("nan", 3);
        return true;
    }
    if (std::isinf(value)) {
        if (value < 0) {
            out.append("-inf", 4);
        } else {
            out.append("inf", 3);
        }
        return true;
    }
    if (value == 0.0) {
        if (std::signbit(value)) {
            out.append("-0.0", 4);
        } else {
            out.append("0.0", 3);
        }
        return true;
    }
    // The shortest digits that read back as the same double come from the
    // scientific form ("d.ddde+XX"); they are then laid out positionally.
    // (The positional form of to_chars is no help: among texts of equal
    // length it picks the exact value, 1e23 -> 99999999999999991611392.)
    char sci[32];
    auto res = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
    if (res.ec != std::errc()) {
        return false;
    }
    const char* p = sci;
    const char* end = res.ptr;
    if (*p == '-') {
        out.push_back('-');
        ++p;
    }
    char digits[20];
    int count = 0;
    for (; p < end && *p != 'e'; ++p) {
        if (*p != '.') {
            digits[count++] = *p;
        }
    }
    if (p == end || count == 0) {
        return false;
    }
    int exponent = 0;
    auto exp = std::from_chars(p + 1 + (p[1] == '+'), end, exponent);
    if (exp.ec != std::errc()) {
        return false;
    }
    // value = d1.d2...dn x 10^exponent
    if (exponent >= count - 1) {
        // A whole number: the digits, the zeros up to the decimal point, ".0".
        out.append(digits, static_cast<std::size_t>(count));
        out.append(static_cast<std::size_t>(exponent - (count - 1)), '0');
        out.append(".0", 2);
    } else if (exponent >= 0) {
        out.append(digits, static_cast<std::size_t>(exponent + 1));
        out.push_back('.');
        out.append(digits + exponent + 1, static_cast<std::size_t>(count - exponent - 1));
    } else {
        out.append("0.", 2);
        out.append(static_cast<std::size_t>(-exponent - 1), '0');
        out.append(digits, static_cast<std::size_t>(count));
    }
    return true;
}

void write_datetime(std::string& out, const DateTime& value) {
    char buf[48];
    char* p = buf;
    if (value.has_date) {
        unsigned year = value.date.year;
        append_two_digits(p, year / 100);
        append_two_digits(p + 2, year % 100);
        p[4] = '-';
        append_two_digits(p + 5, value.date.month);
        p[7] = '-';
        append_two_digits(p + 8, value.date.day);
        p += 10;
        if (value.has_time) {
            *p++ = 'T';
        }
    }
    if (value.has_time) {
        append_two_digits(p, value.time.hour);
        p[2] = ':';
        append_two_digits(p + 3, value.time.minute);
        p += 5;
        if (value.time.has_second || value.time.has_fraction) {
            *p++ = ':';
            append_two_digits(p, value.time.has_second ? value.time.second : 0);
            p += 2;
        }
        if (value.time.has_fraction) {
            *p++ = '.';
            char digits[9];
            std::uint32_t ns = value.time.nanosecond;
            for (int i = 8; i >= 0; --i) {
                digits[i] = static_cast<char>('0' + ns % 10);
                ns /= 10;
            }
            int n = 9;
            while (n > 1 && digits[n - 1] == '0') {
                --n;
            }
            std::memcpy(p, digits, static_cast<std::size_t>(n));
            p += n;
        }
    }
    out.append(buf, static_cast<std::size_t>(p - buf));
    if (value.offset == OffsetKind::Utc) {
        out.push_back('Z');
    } else if (value.offset == OffsetKind::Minutes) {
        int minutes = value.offset_minutes;
        out.push_back(minutes < 0 ? '-' : '+');
        unsigned magnitude = static_cast<unsigned>(minutes < 0 ? -minutes : minutes);
        unsigned hours = magnitude / 60;
        char off[8];
        std::size_t n = 0;
        if (hours >= 100) {
            off[n++] = static_cast<char>('0' + hours / 100);
        }
        append_two_digits(off + n, hours % 100);
        n += 2;
        off[n++] = ':';
        append_two_digits(off + n, magnitude % 60);
        n += 2;
        out.append(off, n);
    }
}

}  // namespace toml
