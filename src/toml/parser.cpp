// vexil's TOML 1.1.0 parser: one pass over the bytes, building the tree of
// detail.hpp in an arena.
//
// Shape of the code: Parser walks the input with a raw pointer. Every
// function that can fail returns bool; the first failure records its message
// and offset (fail()) and every caller returns false straight away, so the
// first error is the one reported. Nothing throws except std::bad_alloc.
//
// Table rules. Each table remembers how it was made (detail::TableKind):
//  - a header defines a table once; parents on its path that do not exist yet
//    are made Implicit and may be defined by a later header;
//  - dotted keys make Dotted tables and may only walk through Dotted tables
//    made in the same section (the same header's block, or the same inline
//    table), so they can never add to a table defined elsewhere;
//  - headers may walk through Dotted tables (to add sub-tables) but never
//    define one, never walk into an inline table or a static array, and walk
//    into the last element of an array of tables;
//  - inline tables are closed once their `}` is read.

#include <algorithm>
#include <charconv>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "toml/toml.hpp"
#include "toml/stack.hpp"

#if defined(__SSE2__) && !defined(VEXIL_TOML_NO_SIMD)
#include <emmintrin.h>
#define VEXIL_TOML_SSE2 1
#endif

namespace toml {

namespace detail {

Arena::~Arena() {
    Chunk* c = head_;
    while (c != nullptr) {
        Chunk* next = c->next;
        ::operator delete(static_cast<void*>(c));
        c = next;
    }
}

void* Arena::grow(std::size_t size) {
    constexpr std::size_t header = (sizeof(Chunk) + 15) & ~std::size_t(15);
    std::size_t chunk = std::max(next_chunk_, size + header);
    auto* c = static_cast<Chunk*>(::operator new(chunk));
    c->next = head_;
    c->size = chunk;
    head_ = c;
    if (next_chunk_ < (std::size_t(64) << 20)) next_chunk_ *= 2;
    char* base = reinterpret_cast<char*>(c) + header;
    cur_ = base + size;
    limit_ = reinterpret_cast<char*>(c) + chunk;
    return base;
}

namespace {

inline std::uint64_t load64(const char* p) noexcept {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}
inline std::uint32_t load32(const char* p) noexcept {
    std::uint32_t w;
    std::memcpy(&w, p, 4);
    return w;
}
inline std::uint16_t load16(const char* p) noexcept {
    std::uint16_t w;
    std::memcpy(&w, p, 2);
    return w;
}

// The 128-bit product of a and b folded to 64 bits.
inline std::uint64_t mix(std::uint64_t a, std::uint64_t b) noexcept {
    uint128 m = static_cast<uint128>(a) * b;
    return static_cast<std::uint64_t>(m) ^ static_cast<std::uint64_t>(m >> 64);
}

}  // namespace

// Hash for table keys: whole words, multiply-fold mixing, no byte loop.
// Keys up to 16 bytes are read as two overlapping words (or three bytes),
// which identify the key exactly for its length; longer keys are folded
// 16 bytes at a time. Both factors of every product depend on the seed,
// which differs between parses (see Parser::Parser), so a document cannot be
// crafted to make keys collide, nor to zero a product.
std::uint32_t hash_key(std::uint64_t seed, const char* p, std::size_t n) noexcept {
    constexpr std::uint64_t k1 = 0x9E3779B97F4A7C15ull, k2 = 0xC2B2AE3D27D4EB4Full;
    const std::uint64_t s1 = seed, s2 = ((seed << 29) | (seed >> 35)) ^ k1;
    std::uint64_t h = s2 ^ (n * k2);
    std::uint64_t a, b;
    if (n <= 16) {
        if (n >= 8) {
            a = load64(p);
            b = load64(p + n - 8);
        } else if (n >= 4) {
            a = load32(p);
            b = load32(p + n - 4);
        } else if (n > 0) {
            a = static_cast<std::uint64_t>(static_cast<unsigned char>(p[0])) << 16 |
                static_cast<std::uint64_t>(static_cast<unsigned char>(p[n / 2])) << 8 |
                static_cast<unsigned char>(p[n - 1]);
            b = 0;
        } else {
            a = b = 0;
        }
    } else {
        std::size_t left = n;
        while (left > 16) {
            h = mix(load64(p) ^ s1, load64(p + 8) ^ h);
            p += 16;
            left -= 16;
        }
        // The last 16 bytes, overlapping the block before when shorter.
        a = load64(p + left - 16);
        b = load64(p + left - 8);
    }
    std::uint64_t r = mix(a ^ s1, b ^ h);
    r = mix(r ^ s2, n ^ s1 ^ k2);
    return static_cast<std::uint32_t>(r ^ (r >> 32));
}

// Whether the n bytes at a and b are equal; short keys without a call.
inline bool same_key(const char* a, const char* b, std::size_t n) noexcept {
    if (n >= 8) {
        if (n > 16) return std::memcmp(a, b, n) == 0;
        return ((load64(a) ^ load64(b)) | (load64(a + n - 8) ^ load64(b + n - 8))) == 0;
    }
    if (n >= 4) return ((load32(a) ^ load32(b)) | (load32(a + n - 4) ^ load32(b + n - 4))) == 0;
    if (n >= 2) return ((load16(a) ^ load16(b)) | (load16(a + n - 2) ^ load16(b + n - 2))) == 0;
    return n == 0 || a[0] == b[0];
}

// The index of a key in a table without an index: a scan.
inline std::size_t scan_key(const TableData* t, const char* key, std::size_t n) noexcept {
    for (std::size_t i = 0; i < t->size; ++i) {
        const Entry& e = t->entries[i];
        if (e.key_size == n && same_key(e.key, key, n)) return i;
    }
    return kNotFound;
}

// The index of a key in an indexed table, given the key's hash.
inline std::size_t probe_key(const TableData* t, const char* key, std::size_t n, std::uint32_t h) noexcept {
    std::size_t slot = h & t->index_mask;
    while (true) {
        std::uint32_t v = t->index[slot];
        if (v == 0) return kNotFound;
        const Entry& e = t->entries[v - 1];
        if (e.value.key_hash == h && e.key_size == n && same_key(e.key, key, n)) return v - 1;
        slot = (slot + 1) & t->index_mask;
    }
}

std::size_t find_key(const TableData* t, std::string_view key) noexcept {
    if (t->index == nullptr) return scan_key(t, key.data(), key.size());
    return probe_key(t, key.data(), key.size(), hash_key(t->seed, key.data(), key.size()));
}

}  // namespace detail

using detail::ArrayData;
using detail::Entry;
using detail::Node;
using detail::TableData;
using detail::TableKind;

Document::Document() noexcept = default;
Document::Document(Document&&) noexcept = default;
Document& Document::operator=(Document&&) noexcept = default;
Document::~Document() = default;

namespace {

constexpr std::size_t kIndexThreshold = 8;   // tables with more keys get a hash index
constexpr std::uint32_t kFirstEntries = 2;   // entries a new table has room for
constexpr std::size_t kMaxDepthCap = 1024;   // recursion bound whatever the options say

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
constexpr CharTable kChars;

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
inline const char* scan_bare(const char* p, const char* end) noexcept {
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
inline const char* scan_string(const char* p, const char* end) noexcept {
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

// What tells the two kinds of string apart for Parser::parse_string.
struct BasicString {
    static constexpr char quote = '"';
    static constexpr bool escapes = true;
    static const char* scan(const char* p, const char* end) noexcept { return scan_string<quote, escapes>(p, end); }
    static constexpr const char* unterminated = "unterminated string: no closing `\"` before the end of the input";
    static constexpr const char* newline = "unterminated string: a newline came before the closing `\"`";
    static constexpr const char* too_many_quotes =
        "too many quotation marks: at most two may come right before the closing `\"\"\"`";
    static constexpr const char* control = " must be escaped in a string";
};

struct LiteralString {
    static constexpr char quote = '\'';
    static constexpr bool escapes = false;
    static const char* scan(const char* p, const char* end) noexcept { return scan_string<quote, escapes>(p, end); }
    static constexpr const char* unterminated = "unterminated string: no closing `'` before the end of the input";
    static constexpr const char* newline = "unterminated string: a newline came before the closing `'`";
    static constexpr const char* too_many_quotes =
        "too many apostrophes: at most two may come right before the closing `'''`";
    static constexpr const char* control = " is not allowed in a literal string";
};

// Comment bodies: stop at control characters (the line end among them), DEL, non-ASCII.
inline const char* scan_comment(const char* p, const char* end) noexcept {
#if defined(VEXIL_TOML_SSE2)
    const __m128i space = _mm_set1_epi8(0x20);
    const __m128i del = _mm_set1_epi8(0x7F);
    while (end - p >= 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i m = _mm_or_si128(_mm_cmplt_epi8(v, space), _mm_cmpeq_epi8(v, del));
        int mask = _mm_movemask_epi8(m);
        if (mask != 0) return p + __builtin_ctz(static_cast<unsigned>(mask));
        p += 16;
    }
#else
    while (end - p >= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        std::uint64_t m = bytes_special(w);
        if (m != 0) return p + first_marked(m);
        p += 8;
    }
#endif
    while (p < end) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c >= 0x7F) return p;
        ++p;
    }
    return p;
}

// ---------------------------------------------------------------------------
// Text helpers for messages.

const char* type_phrase(Type t) noexcept {
    switch (t) {
        case Type::Table: return "a table";
        case Type::Array: return "an array";
        case Type::String: return "a string";
        case Type::Integer: return "an integer";
        case Type::Float: return "a float";
        case Type::Boolean: return "a boolean";
        case Type::DateTime: return "a date-time";
    }
    return "a value";
}

void append_hex(std::string& out, std::uint32_t v, int digits) {
    static const char kHexDigits[] = "0123456789ABCDEF";
    for (int i = digits - 1; i >= 0; --i) out += kHexDigits[(v >> (4 * i)) & 0xF];
}

// A key as it could be written back: bare if it can be, else quoted.
void append_key(std::string& out, std::string_view key) {
    bool bare = !key.empty();
    for (char c : key) bare = bare && is(static_cast<unsigned char>(c), kBare);
    if (bare) {
        out += key;
        return;
    }
    out += '"';
    for (char c : key) {
        unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20 || u == 0x7F) {
            out += "\\u";
            append_hex(out, u, 4);
        } else {
            out += c;
        }
    }
    out += '"';
}

struct KeyPart {
    const char* data;
    std::size_t size;
    std::size_t offset;  // where the key part starts in the input
    bool ascii;
    bool hashed = false;     // `hash` is valid (every table of a parse shares one seed)
    std::uint32_t hash = 0;
    std::string_view text() const noexcept { return {data, size}; }
};

std::string key_path(const KeyPart* parts, std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) out += '.';
        append_key(out, parts[i].text());
    }
    return out;
}

std::string quoted(std::string_view key) {
    std::string out = "`";
    append_key(out, key);
    out += '`';
    return out;
}

inline bool is_leap(unsigned year) noexcept { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

inline unsigned days_in_month(unsigned year, unsigned month) noexcept {
    static const std::uint8_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap(year) ? 29 : kDays[month - 1];
}

}  // namespace

// ---------------------------------------------------------------------------

class Parser {
public:
    Parser(std::string_view input, const ParseOptions& options)
        : begin_(input.data()),
          p_(input.data()),
          end_(input.data() + input.size()),
          max_depth_(std::min(options.max_depth, kMaxDepthCap)) {
        // Roughly the tree's size for typical documents, so most parses need
        // one or two chunks.
        std::size_t first = std::clamp<std::size_t>(input.size() * 2, 4096, std::size_t(8) << 20);
        arena_ = std::make_unique<detail::Arena>(first);
        // Hash seed: the addresses of this parse's arena, input and stack,
        // mixed. They vary from parse to parse and with address-space
        // randomisation, which is enough to keep collisions unplannable
        // without a system call per parse.
        std::uint64_t a = reinterpret_cast<std::uintptr_t>(arena_.get());
        std::uint64_t b = reinterpret_cast<std::uintptr_t>(input.data());
        std::uint64_t c = reinterpret_cast<std::uintptr_t>(&first);
        std::uint64_t m = (a ^ (b << 17) ^ (c << 31) ^ (c >> 7)) * 0x9E3779B97F4A7C15ull;
        m ^= m >> 31;
        seed_ = m * 0xC2B2AE3D27D4EB4Full;
    }

    ParseResult run();

private:
    // --- failure ----------------------------------------------------------
    bool fail(const char* at, std::string message) {
        if (!failed_) {
            failed_ = true;
            error_.message = std::move(message);
            error_.offset = static_cast<std::size_t>(at - begin_);
        }
        return false;
    }
    bool fail_expected(const char* at, const char* expected) {
        std::string m = "expected ";
        m += expected;
        m += ", found ";
        m += describe(at);
        return fail(at, std::move(m));
    }
    std::string describe(const char* at) const;
    bool fail_stack(const char* at) { return fail(at, kStackExhaustedMessage); }
    bool fail_depth(const char* at) {
        return fail(at, "nesting too deep: more than " + std::to_string(max_depth_) +
                            " levels of arrays and tables");
    }

    // --- whitespace, comments, newlines -----------------------------------
    void skip_ws() noexcept {
        while (p_ < end_ && (*p_ == ' ' || *p_ == '\t')) ++p_;
    }
    bool skip_comment();             // at `#`; stops at the line end
    bool skip_ws_comment_newline();  // inside arrays and inline tables
    bool end_of_line(const char* what) {
        if (p_ < end_ && *p_ == '\n') {  // the usual case
            ++p_;
            return true;
        }
        return end_of_line_slow(what);
    }
    bool end_of_line_slow(const char* what);

    // --- keys -------------------------------------------------------------
    bool parse_key(std::vector<KeyPart>& parts);
    bool parse_header_key();
    bool parse_simple_key(KeyPart& part);

    // --- tables -----------------------------------------------------------
    TableData* new_table(TableKind kind, std::size_t offset, std::uint32_t depth);
    Node* append_entry(TableData* t, KeyPart& key);
    // The key's hash under this parse's seed, computed at most once per key.
    std::uint32_t key_hash(KeyPart& key) const noexcept {
        if (!key.hashed) {
            key.hash = detail::hash_key(seed_, key.data, key.size);
            key.hashed = true;
        }
        return key.hash;
    }
    std::size_t lookup(const TableData* t, KeyPart& key) const noexcept {
        if (t->index == nullptr) return detail::scan_key(t, key.data, key.size);
        return detail::probe_key(t, key.data, key.size, key_hash(key));
    }
    void rebuild_index(TableData* t);
    bool parse_header();
    bool parse_keyval(TableData* table);

    // --- values -----------------------------------------------------------
    bool parse_value(Node& out, std::uint32_t depth);
    bool parse_array(Node& out, std::uint32_t depth);
    bool parse_inline_table(Node& out, std::uint32_t depth);
    // Kind is BasicString or LiteralString.
    template <class Kind>
    bool parse_string(Node::StringPayload& out, bool& ascii, bool multiline);
    bool parse_escape(const char*& p, bool& ascii, bool multiline);
    bool parse_number_or_datetime(Node& out);
    bool parse_number(Node& out);
    bool parse_float(Node& out, const char* start, const char* end);
    bool parse_special_float(Node& out, const char* start, bool negative);
    bool parse_datetime(Node& out);
    bool parse_time(const char*& p, Time& t, const char* start);
    // A number, boolean or date-time must not run on into more word characters.
    bool check_token_end(const char* start) {
        if (p_ >= end_ || !is(static_cast<unsigned char>(*p_), kWordChar)) return true;
        return fail_token(start);
    }
    bool fail_token(const char* start);
    bool digits_with_underscores(const char*& p, std::uint8_t cls, const char* what);

    Node::StringPayload store(const std::string& text) {
        char* mem = static_cast<char*>(arena_->allocate(text.size() == 0 ? 1 : text.size()));
        if (!text.empty()) std::memcpy(mem, text.data(), text.size());
        return {mem, text.size()};
    }

    const char* begin_;
    const char* p_;
    const char* end_;
    std::size_t max_depth_;
    StackGuard stack_guard_ = StackGuard::current();  // checked at each nested array and inline table
    std::unique_ptr<detail::Arena> arena_;
    TableData* root_ = nullptr;
    TableData* current_ = nullptr;    // the table that key/value lines go to
    std::uint64_t seed_ = 0;          // hash seed of every table of this parse
    std::uint32_t section_ = 0;       // current header section or inline table
    std::uint32_t next_section_ = 1;
    std::vector<Node> stack_;         // elements of the arrays being read
    std::vector<KeyPart> parts_;      // the key being read
    std::vector<KeyPart> header_parts_;      // the last header's path
    std::vector<TableData*> header_tables_;  // the table each part of it led to
    std::string scratch_;             // decoded strings, float digits
    bool failed_ = false;
    Error error_{};
};

// What the parser found at `at`, for "expected ..., found ..." messages.
std::string Parser::describe(const char* at) const {
    if (at >= end_) return "end of input";
    unsigned char c = static_cast<unsigned char>(*at);
    switch (c) {
        case '\n': return "a newline";
        case '\r': return at + 1 < end_ && at[1] == '\n' ? "a newline" : "a carriage return";
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
    int n = utf8_sequence(at, end_);
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

// ---------------------------------------------------------------------------
// Whitespace and comments

bool Parser::skip_comment() {
    const char* p = p_ + 1;
    while (true) {
        p = scan_comment(p, end_);
        if (p >= end_) break;
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == '\n') break;
        if (c == '\t') {
            ++p;
            continue;
        }
        if (c == '\r') {
            if (p + 1 < end_ && p[1] == '\n') break;
            return fail(p, "a carriage return must be followed by a line feed");
        }
        if (c >= 0x80) {
            int n = utf8_sequence(p, end_);
            if (n == 0) return fail(p, "invalid UTF-8 in a comment");
            p += n;
            continue;
        }
        std::string m = "the control character U+";
        append_hex(m, c, 4);
        m += " is not allowed in a comment";
        return fail(p, std::move(m));
    }
    p_ = p;
    return true;
}

bool Parser::skip_ws_comment_newline() {
    while (p_ < end_) {
        char c = *p_;
        if (c == ' ' || c == '\t' || c == '\n') {
            ++p_;
        } else if (c == '\r') {
            if (p_ + 1 < end_ && p_[1] == '\n') {
                p_ += 2;
            } else {
                return fail(p_, "a carriage return must be followed by a line feed");
            }
        } else if (c == '#') {
            if (!skip_comment()) return false;
        } else {
            break;
        }
    }
    return true;
}

// After a key/value pair or a header: optional whitespace and comment, then
// a newline or the end of the input.
bool Parser::end_of_line_slow(const char* what) {
    skip_ws();
    if (p_ < end_ && *p_ == '#' && !skip_comment()) return false;
    if (p_ >= end_) return true;
    if (*p_ == '\n') {
        ++p_;
        return true;
    }
    if (*p_ == '\r' && p_ + 1 < end_ && p_[1] == '\n') {
        p_ += 2;
        return true;
    }
    if (*p_ == '\r') return fail(p_, "a carriage return must be followed by a line feed");
    std::string m = "expected a newline after ";
    m += what;
    m += ", found ";
    m += describe(p_);
    return fail(p_, std::move(m));
}

// ---------------------------------------------------------------------------
// Keys

bool Parser::parse_simple_key(KeyPart& part) {
    const char* start = p_;
    part.offset = static_cast<std::size_t>(start - begin_);
    if (p_ < end_ && is(static_cast<unsigned char>(*p_), kBare)) {
        const char* p = scan_bare(p_ + 1, end_);
        part.data = start;
        part.size = static_cast<std::size_t>(p - start);
        part.ascii = true;
        p_ = p;
        return true;
    }
    if (p_ < end_ && (*p_ == '"' || *p_ == '\'')) {
        char q = *p_;
        if (end_ - p_ >= 3 && p_[1] == q && p_[2] == q)
            return fail(p_, "a key cannot be a multi-line string");
        Node::StringPayload s;
        bool ascii = true;
        bool ok = q == '"' ? parse_string<BasicString>(s, ascii, false) : parse_string<LiteralString>(s, ascii, false);
        if (!ok) return false;
        part.data = s.data;
        part.size = s.size;
        part.ascii = ascii;
        return true;
    }
    return fail_expected(p_, "a key");
}

// The key of a header. Most are bare keys joined by bare dots and closed by
// `]`; those are read here, anything else by parse_key.
bool Parser::parse_header_key() {
    const char* q = p_;
    parts_.clear();
    while (q < end_ && is(static_cast<unsigned char>(*q), kBare)) {
        const char* e = scan_bare(q + 1, end_);
        KeyPart& part = parts_.emplace_back();
        part.data = q;
        part.size = static_cast<std::size_t>(e - q);
        part.offset = static_cast<std::size_t>(q - begin_);
        part.ascii = true;
        if (e < end_ && *e == '.') {
            q = e + 1;
            continue;
        }
        if (e < end_ && *e == ']') {
            p_ = e;
            return true;
        }
        break;
    }
    return parse_key(parts_);
}

// simple-key *( ws "." ws simple-key ), leaving trailing whitespace unread.
bool Parser::parse_key(std::vector<KeyPart>& parts) {
    parts.clear();
    while (true) {
        if (!parse_simple_key(parts.emplace_back())) return false;
        const char* after = p_;
        skip_ws();
        if (p_ < end_ && *p_ == '.') {
            ++p_;
            skip_ws();
            continue;
        }
        p_ = after;
        return true;
    }
}

// ---------------------------------------------------------------------------
// Tables

TableData* Parser::new_table(TableKind kind, std::size_t offset, std::uint32_t depth) {
    // The table and room for its first entries in one block: most tables
    // are small, and reading one back then touches one run of memory.
    constexpr std::size_t head = (sizeof(TableData) + 15) & ~std::size_t(15);
    char* block = static_cast<char*>(arena_->allocate(head + kFirstEntries * sizeof(Entry)));
    auto* t = reinterpret_cast<TableData*>(block);
    t->entries = reinterpret_cast<Entry*>(block + head);
    t->size = 0;
    t->capacity = kFirstEntries;
    t->index = nullptr;
    t->index_mask = 0;
    t->offset = offset;
    t->depth = depth;
    t->section = section_;
    t->seed = seed_;
    t->kind = kind;
    return t;
}

void Parser::rebuild_index(TableData* t) {
    std::size_t slots = 32;
    while (slots < t->size * 4) slots *= 2;
    auto* index = arena_->make_array<std::uint32_t>(slots);
    std::memset(index, 0, slots * sizeof(std::uint32_t));
    std::size_t mask = slots - 1;
    for (std::size_t i = 0; i < t->size; ++i) {
        std::size_t slot = t->entries[i].value.key_hash & mask;
        while (index[slot] != 0) slot = (slot + 1) & mask;
        index[slot] = static_cast<std::uint32_t>(i + 1);
    }
    t->index = index;
    t->index_mask = static_cast<std::uint32_t>(mask);
}

// Appends a new entry for `key` (known to be absent) and returns its value
// node, whose payload the caller fills in.
Node* Parser::append_entry(TableData* t, KeyPart& key) {
    if (t->size == t->capacity) {
        // A table is usually filled by consecutive lines with nothing else
        // allocated in between, so its entries can mostly grow in place.
        if (t->capacity >= TableData::kMaxEntries) throw std::bad_alloc();
        std::size_t cap = std::size_t(t->capacity) * 2;
        if (!arena_->extend(t->entries, t->capacity * sizeof(Entry), cap * sizeof(Entry))) {
            Entry* grown = arena_->make_array<Entry>(cap);
            std::memcpy(static_cast<void*>(grown), t->entries, t->size * sizeof(Entry));
            t->entries = grown;
        }
        t->capacity = static_cast<std::uint32_t>(cap);
    }
    Entry& e = t->entries[t->size];
    e.key = key.data;
    e.key_size = key.size;
    e.value.key_ascii = key.ascii;
    e.value.integer_flags = 0;
    e.value.key_hash = 0;
    std::size_t n = ++t->size;
    if (t->index != nullptr) {
        std::uint32_t h = key_hash(key);
        e.value.key_hash = h;
        if (n * 2 > t->index_mask + 1) {
            rebuild_index(t);
        } else {
            std::size_t slot = h & t->index_mask;
            while (t->index[slot] != 0) slot = (slot + 1) & t->index_mask;
            t->index[slot] = static_cast<std::uint32_t>(n);
        }
    } else if (n > kIndexThreshold) {
        for (std::size_t i = 0; i < n; ++i) {
            Entry& x = t->entries[i];
            x.value.key_hash = i + 1 == n ? key_hash(key) : detail::hash_key(seed_, x.key, x.key_size);
        }
        rebuild_index(t);
    }
    return &e.value;
}

namespace {

inline void set_table(Node* n, TableData* t, std::size_t offset) {
    n->type = Type::Table;
    n->ascii = false;
    n->offset = offset;
    n->as.table = t;
}

}  // namespace

bool Parser::parse_header() {
    const char* open = p_;
    std::size_t offset = static_cast<std::size_t>(open - begin_);
    bool array = end_ - p_ >= 2 && p_[1] == '[';
    p_ += array ? 2 : 1;
    skip_ws();
    if (!parse_header_key()) return false;
    skip_ws();
    if (array) {
        if (!(end_ - p_ >= 2 && p_[0] == ']' && p_[1] == ']'))
            return fail_expected(p_, "`]]` to close the array-of-tables header");
        p_ += 2;
    } else {
        if (!(p_ < end_ && *p_ == ']')) return fail_expected(p_, "`]` to close the table header");
        ++p_;
    }

    const std::size_t count = parts_.size();
    TableData* t = root_;
    // Headers tend to repeat the path of the one before ([[a.b.c]] after
    // [[a.b.c]], [a.b.d] after [a.b]), and the walk may resume where the two
    // paths part: the lines since the last header only added to that
    // header's own table (and to dotted tables below it), so each part of
    // its path still leads to the table it led to then.
    std::size_t i = 0;
    while (i + 1 < count && i < header_parts_.size() && header_parts_[i].size == parts_[i].size &&
           detail::same_key(header_parts_[i].data, parts_[i].data, parts_[i].size))
        ++i;
    if (i > 0) t = header_tables_[i - 1];
    header_tables_.resize(count);
    for (; i + 1 < count; ++i) {
        KeyPart& part = parts_[i];
        std::size_t idx = lookup(t, part);
        if (idx == detail::kNotFound) {
            if (t->depth + 1 > max_depth_) return fail_depth(begin_ + part.offset);
            TableData* child = new_table(TableKind::Implicit, offset, t->depth + 1);
            set_table(append_entry(t, part), child, offset);
            t = child;
            header_tables_[i] = t;
            continue;
        }
        Node& v = t->entries[idx].value;
        if (v.type == Type::Table) {
            TableData* child = v.as.table;
            if (child->kind == TableKind::Inline)
                return fail(begin_ + part.offset,
                            "cannot add to the inline table `" + key_path(parts_.data(), i + 1) +
                                "`: inline tables are closed");
            t = child;
        } else if (v.type == Type::Array && v.as.array->of_tables) {
            ArrayData* a = v.as.array;
            t = a->items[a->size - 1].as.table;
        } else {
            return fail(begin_ + part.offset, "cannot use `" + key_path(parts_.data(), i + 1) +
                                                  "` as a table: it is already " + type_phrase(v.type));
        }
        header_tables_[i] = t;
    }

    KeyPart& last = parts_[count - 1];
    const char* last_at = begin_ + last.offset;
    std::size_t idx = lookup(t, last);
    if (!array) {
        if (idx == detail::kNotFound) {
            if (t->depth + 1 > max_depth_) return fail_depth(last_at);
            TableData* child = new_table(TableKind::Header, offset, t->depth + 1);
            set_table(append_entry(t, last), child, offset);
            t = child;
        } else {
            Node& v = t->entries[idx].value;
            if (v.type == Type::Table && v.as.table->kind == TableKind::Implicit) {
                t = v.as.table;
                t->kind = TableKind::Header;
            } else if (v.type == Type::Table) {
                return fail(open, "table `" + key_path(parts_.data(), count) + "` defined twice");
            } else if (v.type == Type::Array && v.as.array->of_tables) {
                return fail(open, "table `" + key_path(parts_.data(), count) +
                                      "` conflicts with the array of tables of the same name");
            } else {
                return fail(open, "cannot define table `" + key_path(parts_.data(), count) +
                                      "`: the key is already " + type_phrase(v.type));
            }
        }
    } else {
        ArrayData* a;
        if (idx == detail::kNotFound) {
            // The array is not a level of its own (as in the Python writer,
            // which writes it back the same way); its tables are.
            if (t->depth + 1 > max_depth_) return fail_depth(last_at);
            a = static_cast<ArrayData*>(arena_->allocate(sizeof(ArrayData)));
            a->items = nullptr;
            a->size = 0;
            a->capacity = 0;
            a->depth = t->depth;
            a->of_tables = true;
            Node* n = append_entry(t, last);
            n->type = Type::Array;
            n->ascii = false;
            n->offset = offset;
            n->as.array = a;
        } else {
            Node& v = t->entries[idx].value;
            if (v.type == Type::Array && v.as.array->of_tables) {
                a = v.as.array;
            } else if (v.type == Type::Array) {
                return fail(open, "cannot append to the array `" + key_path(parts_.data(), count) +
                                      "`: it is a static array, not an array of tables");
            } else if (v.type == Type::Table) {
                return fail(open, "array of tables `" + key_path(parts_.data(), count) +
                                      "` conflicts with the table of the same name");
            } else {
                return fail(open, "cannot define array of tables `" + key_path(parts_.data(), count) +
                                      "`: the key is already " + type_phrase(v.type));
            }
        }
        if (a->size == a->capacity) {
            std::size_t cap = a->capacity == 0 ? 4 : a->capacity * 2;
            if (a->capacity == 0 || !arena_->extend(a->items, a->capacity * sizeof(Node), cap * sizeof(Node))) {
                Node* grown = arena_->make_array<Node>(cap);
                if (a->size != 0) std::memcpy(static_cast<void*>(grown), a->items, a->size * sizeof(Node));
                a->items = grown;
            }
            a->capacity = cap;
        }
        TableData* element = new_table(TableKind::Header, offset, a->depth + 1);
        Node& n = a->items[a->size++];
        set_table(&n, element, offset);
        n.key_ascii = false;
        n.integer_flags = 0;
        n.key_hash = 0;
        t = element;
    }
    section_ = next_section_++;
    t->section = section_;
    current_ = t;
    header_tables_[count - 1] = t;
    std::swap(header_parts_, parts_);  // keep this path; parts_ is refilled by the next key
    return true;
}

// key ws "=" ws value, into `table` (the current header's table or an inline table).
bool Parser::parse_keyval(TableData* table) {
    const char* key_start = p_;
    // Most lines are `bare-key = value`: read those without the general
    // key machinery. Anything else (dotted or quoted keys) starts over below.
    if (p_ < end_ && is(static_cast<unsigned char>(*p_), kBare)) {
        const char* key_end = scan_bare(p_ + 1, end_);
        const char* q = key_end;
        while (q < end_ && (*q == ' ' || *q == '\t')) ++q;
        if (q < end_ && *q == '=') {
            KeyPart key;
            key.data = key_start;
            key.size = static_cast<std::size_t>(key_end - key_start);
            key.offset = static_cast<std::size_t>(key_start - begin_);
            key.ascii = true;
            if (lookup(table, key) != detail::kNotFound)
                return fail(key_start, "duplicate key: " + quoted(key.text()));
            p_ = q + 1;
            skip_ws();
            std::uint32_t depth = table->depth + 1;
            Node* slot = append_entry(table, key);
            return parse_value(*slot, depth);
        }
    }
    if (!parse_key(parts_)) return false;
    const std::size_t count = parts_.size();
    TableData* t = table;
    for (std::size_t i = 0; i + 1 < count; ++i) {
        KeyPart& part = parts_[i];
        std::size_t idx = lookup(t, part);
        if (idx == detail::kNotFound) {
            if (t->depth + 1 > max_depth_) return fail_depth(begin_ + part.offset);
            std::size_t offset = static_cast<std::size_t>(key_start - begin_);
            TableData* child = new_table(TableKind::Dotted, offset, t->depth + 1);
            set_table(append_entry(t, part), child, offset);
            t = child;
            continue;
        }
        Node& v = t->entries[idx].value;
        if (v.type == Type::Table) {
            TableData* child = v.as.table;
            if (child->kind == TableKind::Dotted && child->section == section_) {
                t = child;
                continue;
            }
            if (child->kind == TableKind::Inline)
                return fail(begin_ + part.offset, "cannot add to the inline table `" +
                                                      key_path(parts_.data(), i + 1) +
                                                      "`: inline tables are closed");
            return fail(begin_ + part.offset, "cannot add to table `" + key_path(parts_.data(), i + 1) +
                                                  "` with dotted keys: it is defined elsewhere");
        }
        if (v.type == Type::Array && v.as.array->of_tables)
            return fail(begin_ + part.offset, "cannot add to the array of tables `" +
                                                  key_path(parts_.data(), i + 1) + "` with dotted keys");
        return fail(begin_ + part.offset, "cannot use `" + key_path(parts_.data(), i + 1) +
                                              "` as a table: it is already " + type_phrase(v.type));
    }
    KeyPart& last = parts_[count - 1];
    if (lookup(t, last) != detail::kNotFound)
        return fail(begin_ + last.offset, "duplicate key: " + quoted(last.text()));

    skip_ws();
    if (!(p_ < end_ && *p_ == '=')) return fail_expected(p_, "`=` after a key");
    ++p_;
    skip_ws();
    // Nothing but this value can touch `t` until it is read, so the entry can
    // be appended first and filled in place.
    std::uint32_t depth = t->depth + 1;
    Node* slot = append_entry(t, last);
    return parse_value(*slot, depth);
}

// ---------------------------------------------------------------------------
// Values

bool Parser::parse_value(Node& out, std::uint32_t depth) {
    out.offset = static_cast<std::size_t>(p_ - begin_);
    out.ascii = false;
    if (p_ >= end_) return fail_expected(p_, "a value");
    switch (*p_) {
        case '"': {
            bool ml = end_ - p_ >= 3 && p_[1] == '"' && p_[2] == '"';
            bool ascii = true;
            out.type = Type::String;
            if (!parse_string<BasicString>(out.as.string, ascii, ml)) return false;
            out.ascii = ascii;
            return true;
        }
        case '\'': {
            bool ml = end_ - p_ >= 3 && p_[1] == '\'' && p_[2] == '\'';
            bool ascii = true;
            out.type = Type::String;
            if (!parse_string<LiteralString>(out.as.string, ascii, ml)) return false;
            out.ascii = ascii;
            return true;
        }
        case 't':
            if (end_ - p_ >= 4 && std::memcmp(p_, "true", 4) == 0) {
                p_ += 4;
                out.type = Type::Boolean;
                out.as.boolean = true;
                return check_token_end(p_ - 4);
            }
            break;
        case 'f':
            if (end_ - p_ >= 5 && std::memcmp(p_, "false", 5) == 0) {
                p_ += 5;
                out.type = Type::Boolean;
                out.as.boolean = false;
                return check_token_end(p_ - 5);
            }
            break;
        case '[':
            return parse_array(out, depth);
        case '{':
            return parse_inline_table(out, depth);
        case 'i':
            if (end_ - p_ >= 3 && std::memcmp(p_, "inf", 3) == 0) return parse_number_or_datetime(out);
            break;
        case 'n':
            if (end_ - p_ >= 3 && std::memcmp(p_, "nan", 3) == 0) return parse_number_or_datetime(out);
            break;
        case '0': case '1': case '2': case '3': case '4':
        case '5': case '6': case '7': case '8': case '9': {
            // A plain decimal integer: up to 19 digits (no leading zero)
            // ending the token. Everything else, dates and times among it,
            // runs on into a word character and takes the general path.
            std::uint64_t small;
            const char* q = read_small_decimal(p_, end_, small);
            if ((*p_ != '0' || q - p_ == 1) && (q >= end_ || !is(static_cast<unsigned char>(*q), kWordChar))) {
                p_ = q;
                out.type = Type::Integer;
                out.as.magnitude = small;
                out.integer_flags = 0;
                return true;
            }
            return parse_number_or_datetime(out);
        }
        case '+':
        case '-':
            return parse_number_or_datetime(out);
        default:
            break;
    }
    if (is(static_cast<unsigned char>(*p_), kBare)) {
        const char* q = p_;
        while (q < end_ && is(static_cast<unsigned char>(*q), kBare) && q - p_ < 40) ++q;
        return fail(p_, "expected a value, found `" + std::string(p_, q) +
                            "` (strings must be quoted; true and false are lowercase)");
    }
    return fail_expected(p_, "a value");
}

// A number, boolean or date-time ran on into more word characters
// (`truex`, `1.2.3`, `12:3`); report the whole token.
bool Parser::fail_token(const char* start) {
    const char* q = p_;
    while (q < end_ && is(static_cast<unsigned char>(*q), kWordChar) && q - start < 60) ++q;
    return fail(start, "invalid value `" + std::string(start, q) + "`");
}

bool Parser::parse_array(Node& out, std::uint32_t depth) {
    if (depth > max_depth_) return fail_depth(p_);
    if (stack_guard_.exhausted()) return fail_stack(p_);
    ++p_;
    if (p_ < end_ && *p_ == ']') {  // `[]`, common enough to skip the loop
        ++p_;
        out.type = Type::Array;
        out.as.array = const_cast<ArrayData*>(&detail::kEmptyArray);
        return true;
    }
    const std::size_t base = stack_.size();
    while (true) {
        if (!skip_ws_comment_newline()) return false;
        if (p_ < end_ && *p_ == ']') {
            ++p_;
            break;
        }
        Node element;
        element.key_ascii = false;
        element.integer_flags = 0;
        element.key_hash = 0;
        if (!parse_value(element, depth + 1)) return false;
        stack_.push_back(element);
        if (!skip_ws_comment_newline()) return false;
        if (p_ < end_ && *p_ == ',') {
            ++p_;
            continue;
        }
        if (p_ < end_ && *p_ == ']') {
            ++p_;
            break;
        }
        return fail_expected(p_, "`,` or `]` after an array element");
    }
    const std::size_t n = stack_.size() - base;
    out.type = Type::Array;
    if (n == 0) {
        // Every empty static array shares one: nothing ever adds to it.
        out.as.array = const_cast<ArrayData*>(&detail::kEmptyArray);
        return true;
    }
    // The header and its items in one block, so reading the array back
    // touches one run of memory.
    constexpr std::size_t head = (sizeof(ArrayData) + 15) & ~std::size_t(15);
    char* block = static_cast<char*>(arena_->allocate(head + n * sizeof(Node)));
    auto* a = reinterpret_cast<ArrayData*>(block);
    a->items = reinterpret_cast<Node*>(block + head);
    std::memcpy(static_cast<void*>(a->items), stack_.data() + base, n * sizeof(Node));
    a->size = n;
    a->capacity = n;
    a->depth = depth;
    a->of_tables = false;
    stack_.resize(base);
    out.as.array = a;
    return true;
}

bool Parser::parse_inline_table(Node& out, std::uint32_t depth) {
    if (depth > max_depth_) return fail_depth(p_);
    if (stack_guard_.exhausted()) return fail_stack(p_);
    std::size_t offset = static_cast<std::size_t>(p_ - begin_);
    ++p_;
    std::uint32_t outer_section = section_;
    section_ = next_section_++;
    TableData* t = new_table(TableKind::Inline, offset, depth);
    out.type = Type::Table;
    out.as.table = t;
    while (true) {
        if (!skip_ws_comment_newline()) return false;
        if (p_ < end_ && *p_ == '}') {
            ++p_;
            break;
        }
        if (!parse_keyval(t)) return false;
        if (!skip_ws_comment_newline()) return false;
        if (p_ < end_ && *p_ == ',') {
            ++p_;
            continue;
        }
        if (p_ < end_ && *p_ == '}') {
            ++p_;
            break;
        }
        return fail_expected(p_, "`,` or `}` after a key/value pair in an inline table");
    }
    section_ = outer_section;
    return true;
}

// ---------------------------------------------------------------------------
// Strings

// One escape sequence; p points at the backslash and is moved past it. The
// decoded text is appended to scratch_.
bool Parser::parse_escape(const char*& p, bool& ascii, bool multiline) {
    const char* at = p;
    if (p + 1 >= end_) return fail(at, "incomplete escape sequence at the end of the input");
    char c = p[1];
    p += 2;
    switch (c) {
        case 'b': scratch_ += '\b'; return true;
        case 't': scratch_ += '\t'; return true;
        case 'n': scratch_ += '\n'; return true;
        case 'f': scratch_ += '\f'; return true;
        case 'r': scratch_ += '\r'; return true;
        case 'e': scratch_ += '\x1B'; return true;
        case '"': scratch_ += '"'; return true;
        case '\\': scratch_ += '\\'; return true;
        case 'x':
        case 'u':
        case 'U': {
            int digits = c == 'x' ? 2 : c == 'u' ? 4 : 8;
            std::uint32_t cp = 0;
            for (int i = 0; i < digits; ++i) {
                int v = p + i < end_ ? hex_value(p[i]) : -1;
                if (v < 0) {
                    std::string m = "invalid escape sequence: `\\";
                    m += c;
                    m += "` needs ";
                    m += std::to_string(digits);
                    m += " hexadecimal digits";
                    return fail(at, std::move(m));
                }
                cp = cp * 16 + static_cast<std::uint32_t>(v);
            }
            if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
                std::string m = "invalid escape sequence `";
                m.append(at, static_cast<std::size_t>(digits + 2));
                m += "`: not a Unicode scalar value";
                return fail(at, std::move(m));
            }
            p += digits;
            if (cp >= 0x80) ascii = false;
            append_utf8(scratch_, cp);
            return true;
        }
        default:
            break;
    }
    if (multiline && (c == ' ' || c == '\t' || c == '\n' || c == '\r')) {
        // A line-ending backslash: whitespace up to the newline, then all
        // whitespace and newlines up to the next other character, vanish.
        const char* q = at + 1;
        while (q < end_ && (*q == ' ' || *q == '\t')) ++q;
        if (q < end_ && *q == '\n') {
            ++q;
        } else if (q + 1 < end_ && q[0] == '\r' && q[1] == '\n') {
            q += 2;
        } else {
            return fail(at, "invalid escape sequence: a backslash followed by whitespace must end the line");
        }
        while (q < end_) {
            if (*q == ' ' || *q == '\t' || *q == '\n') {
                ++q;
            } else if (*q == '\r' && q + 1 < end_ && q[1] == '\n') {
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
        m += describe(at + 1);
    }
    return fail(at, std::move(m));
}

// Basic and literal strings share one reader; the kind supplies the quote
// character, the scanner, the messages and whether backslash escapes exist.
template <class Kind>
bool Parser::parse_string(Node::StringPayload& out, bool& ascii, bool multiline) {
    constexpr char q = Kind::quote;
    const char* open = p_;
    const char* p = p_ + (multiline ? 3 : 1);
    if (multiline) {
        // A newline right after the opening delimiter is not part of the text.
        if (p < end_ && *p == '\n') {
            ++p;
        } else if (end_ - p >= 2 && p[0] == '\r' && p[1] == '\n') {
            p += 2;
        }
    }
    const char* text = p;      // start of the text
    const char* pending = p;   // start of the bytes not yet copied (when decoding)
    bool decoding = false;     // escapes and CRLF normalisation copy the text into scratch_
    // The text ends at `close`; parsing resumes at `next`.
    auto finish = [&](const char* close, const char* next) {
        if (decoding) {
            scratch_.append(pending, close);
            out = store(scratch_);
        } else {
            out = {text, static_cast<std::size_t>(close - text)};
        }
        p_ = next;
        return true;
    };
    while (true) {
        p = Kind::scan(p, end_);
        if (p >= end_) return fail(open, Kind::unterminated);
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == q) {
            if (!multiline) return finish(p, p + 1);
            std::size_t run = 1;
            while (p + run < end_ && p[run] == q) ++run;
            if (run < 3) {
                p += run;
                continue;
            }
            if (run > 5) return fail(p, Kind::too_many_quotes);
            return finish(p + (run - 3), p + run);  // up to two quotes belong to the text
        }
        if (Kind::escapes && c == '\\') {
            if (!decoding) {
                scratch_.clear();
                decoding = true;
            }
            scratch_.append(pending, p);
            if (!parse_escape(p, ascii, multiline)) return false;
            pending = p;
            continue;
        }
        if (c >= 0x80) {
            ascii = false;
            const char* bad = skip_non_ascii(p, end_);
            if (bad != nullptr) return fail(bad, "invalid UTF-8 in a string");
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
            if (!(p + 1 < end_ && p[1] == '\n'))
                return fail(p, "a carriage return must be followed by a line feed");
            // CRLF is stored as LF.
            if (!decoding) {
                scratch_.clear();
                decoding = true;
            }
            scratch_.append(pending, p);
            scratch_ += '\n';
            p += 2;
            pending = p;
            continue;
        }
        if (c == '\n' || (c == '\r' && p + 1 < end_ && p[1] == '\n')) return fail(open, Kind::newline);
        std::string m = "the control character U+";
        append_hex(m, c, 4);
        m += Kind::control;
        return fail(p, std::move(m));
    }
}

// ---------------------------------------------------------------------------
// Numbers and date-times

bool Parser::parse_number_or_datetime(Node& out) {
    const char* s = p_;
    std::ptrdiff_t left = end_ - s;
    if (left >= 5 && is_digit(s[0]) && is_digit(s[1]) && is_digit(s[2]) && is_digit(s[3]) && s[4] == '-')
        return parse_datetime(out);
    if (left >= 3 && is_digit(s[0]) && is_digit(s[1]) && s[2] == ':') return parse_datetime(out);
    return parse_number(out);
}

// DIGIT *( DIGIT / "_" DIGIT ) for the digit class `cls`; p is at the first
// digit (already checked by the caller).
bool Parser::digits_with_underscores(const char*& p, std::uint8_t cls, const char* what) {
    while (p < end_) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (is(c, cls)) {
            ++p;
        } else if (c == '_') {
            if (!(p + 1 < end_ && is(static_cast<unsigned char>(p[1]), cls))) {
                std::string m = "invalid ";
                m += what;
                m += ": an underscore must be between two digits";
                return fail(p, std::move(m));
            }
            p += 2;
        } else {
            break;
        }
    }
    return true;
}

bool Parser::parse_special_float(Node& out, const char* start, bool negative) {
    const char* p = p_;
    bool inf = end_ - p >= 3 && std::memcmp(p, "inf", 3) == 0;
    bool nan = !inf && end_ - p >= 3 && std::memcmp(p, "nan", 3) == 0;
    if (!inf && !nan) return fail_expected(start, "a value");
    p_ = p + 3;
    out.type = Type::Float;
    out.as.floating.overflow = false;
    double v = inf ? __builtin_inf() : __builtin_nan("");
    out.as.floating.value = negative ? -v : v;
    return check_token_end(start);
}

bool Parser::parse_number(Node& out) {
    const char* start = p_;
    const char* p = p_;
    bool negative = false;
    bool sign = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        sign = true;
        ++p;
    }
    if (p < end_ && (*p == 'i' || *p == 'n')) {
        p_ = p;
        return parse_special_float(out, start, negative);
    }
    if (!(p < end_ && is_digit(*p))) return fail_expected(start, "a value");

    // Hexadecimal, octal, binary.
    if (*p == '0' && p + 1 < end_ && (p[1] == 'x' || p[1] == 'o' || p[1] == 'b')) {
        char kind = p[1];
        unsigned shift = kind == 'x' ? 4 : kind == 'o' ? 3 : 1;
        const char* name = kind == 'x' ? "hexadecimal integer" : kind == 'o' ? "octal integer" : "binary integer";
        if (sign) return fail(start, std::string(kind == 'o' ? "an " : "a ") + name + " cannot have a sign");
        p += 2;
        auto digit = [kind](char c) -> int {
            if (kind == 'x') return hex_value(c);
            if (kind == 'o') return c >= '0' && c <= '7' ? c - '0' : -1;
            return c == '0' || c == '1' ? c - '0' : -1;
        };
        if (!(p < end_ && digit(*p) >= 0))
            return fail(start, std::string("invalid ") + name + ": expected a digit after the prefix, found " +
                                   describe(p));
        uint128 mag = 0;
        bool overflow = false;
        const uint128 limit = ~uint128(0) >> shift;
        while (p < end_) {
            int d = digit(*p);
            if (d >= 0) {
                if (mag > limit) overflow = true;
                mag = (mag << shift) | static_cast<unsigned>(d);
                ++p;
            } else if (*p == '_') {
                if (!(p + 1 < end_ && digit(p[1]) >= 0))
                    return fail(p, std::string("invalid ") + name + ": an underscore must be between two digits");
                ++p;
            } else {
                break;
            }
        }
        p_ = p;
        out.type = Type::Integer;
        out.as.magnitude = overflow ? 0 : mag;
        out.integer_flags = overflow ? Node::kIntegerOverflow : 0;
        return check_token_end(start);
    }

    // Decimal integer part.
    const char* int_start = p;
    if (*p == '0' && p + 1 < end_ && (is_digit(p[1]) || p[1] == '_'))
        return fail(start, "invalid number `" + std::string(start, std::min(end_, p + 2)) +
                               "...`: leading zeros are not allowed");
    {
        // Fast path: up to 19 plain digits (below 10^19, so no overflow) not
        // followed by more of the number.
        std::uint64_t small;
        const char* q = read_small_decimal(p, end_, small);
        if (!(q < end_ && (is_digit(*q) || *q == '_' || *q == '.' || *q == 'e' || *q == 'E'))) {
            p_ = q;
            out.type = Type::Integer;
            out.as.magnitude = small;
            out.integer_flags = negative && small != 0 ? Node::kIntegerNegative : 0;
            return check_token_end(start);
        }
    }
    if (!digits_with_underscores(p, kDigit, "number")) return false;
    if (p < end_ && (*p == '.' || *p == 'e' || *p == 'E')) {
        // Fraction and exponent.
        if (*p == '.') {
            ++p;
            if (!(p < end_ && is_digit(*p)))
                return fail(start, "invalid float: a decimal point must be followed by a digit");
            if (!digits_with_underscores(p, kDigit, "float")) return false;
        }
        if (p < end_ && (*p == 'e' || *p == 'E')) {
            ++p;
            if (p < end_ && (*p == '+' || *p == '-')) ++p;
            if (!(p < end_ && is_digit(*p)))
                return fail(start, "invalid float: the exponent must have digits");
            if (!digits_with_underscores(p, kDigit, "float")) return false;
        }
        p_ = p;
        if (!parse_float(out, start, p)) return false;
        return check_token_end(start);
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
    p_ = p;
    out.type = Type::Integer;
    out.as.magnitude = overflow ? 0 : mag;
    out.integer_flags = static_cast<std::uint8_t>((negative && mag != 0 ? Node::kIntegerNegative : 0) |
                                                  (overflow ? Node::kIntegerOverflow : 0));
    return check_token_end(start);
}

// The literal in [start, end) is syntactically a float; convert it.
bool Parser::parse_float(Node& out, const char* start, const char* end) {
    char local[64];
    char* buf = local;
    std::size_t cap = sizeof local;
    if (static_cast<std::size_t>(end - start) > cap) {
        scratch_.resize(static_cast<std::size_t>(end - start));
        buf = scratch_.data();
        cap = scratch_.size();
    }
    std::size_t n = 0;
    for (const char* q = start; q < end; ++q) {
        if (*q == '_' || (q == start && *q == '+')) continue;
        buf[n++] = *q;
    }
    double v = 0;
    auto r = std::from_chars(buf, buf + n, v, std::chars_format::general);
    out.type = Type::Float;
    out.as.floating.overflow = false;
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
            out.as.floating.overflow = true;
        } else {
            v = neg ? -0.0 : 0.0;
        }
    } else if (r.ec != std::errc() || r.ptr != buf + n) {
        return fail(start, "invalid float `" + std::string(start, end) + "`");
    }
    out.as.floating.value = v;
    return true;
}

namespace {

inline bool two_digits(const char* p, const char* end, unsigned& v) noexcept {
    if (end - p < 2 || !is_digit(p[0]) || !is_digit(p[1])) return false;
    v = static_cast<unsigned>((p[0] - '0') * 10 + (p[1] - '0'));
    return true;
}

}  // namespace

// HH:MM[:SS[.fraction]] at p.
bool Parser::parse_time(const char*& p, Time& t, const char* start) {
    const char* s = p;
    unsigned hour, minute, second = 0;
    if (!two_digits(p, end_, hour) || end_ - p < 3 || p[2] != ':' || !two_digits(p + 3, end_, minute))
        return fail(start, "invalid time: expected HH:MM, found " + describe(p));
    p += 5;
    t.has_second = false;
    t.has_fraction = false;
    t.nanosecond = 0;
    if (p < end_ && *p == ':') {
        if (!two_digits(p + 1, end_, second)) return fail(start, "invalid time: expected two digits for the seconds");
        p += 3;
        t.has_second = true;
        if (p < end_ && *p == '.') {
            ++p;
            if (!(p < end_ && is_digit(*p)))
                return fail(start, "invalid time: a decimal point must be followed by fraction digits");
            std::uint32_t ns = 0;
            int digits = 0;
            while (p < end_ && is_digit(*p)) {
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
    }
    if (hour > 23 || minute > 59 || second > 60) {
        std::string text(s, p);
        return fail(start, "invalid time: " + text);
    }
    t.hour = static_cast<std::uint8_t>(hour);
    t.minute = static_cast<std::uint8_t>(minute);
    t.second = static_cast<std::uint8_t>(second);
    return true;
}

bool Parser::parse_datetime(Node& out) {
    const char* start = p_;
    const char* p = p_;
    DateTime dt{};
    if (end_ - p >= 3 && p[2] == ':') {
        // Local time.
        if (!parse_time(p, dt.time, start)) return false;
        dt.has_time = true;
    } else {
        unsigned y0, y1, month, day;
        if (!two_digits(p, end_, y0) || !two_digits(p + 2, end_, y1) || end_ - p < 10 || p[4] != '-' ||
            !two_digits(p + 5, end_, month) || p[7] != '-' || !two_digits(p + 8, end_, day)) {
            const char* q = p;
            while (q < end_ && is(static_cast<unsigned char>(*q), kWordChar) && q - p < 40) ++q;
            return fail(start, "invalid date `" + std::string(p, q) + "`: expected YYYY-MM-DD");
        }
        unsigned year = y0 * 100 + y1;
        if (month < 1 || month > 12 || day < 1 || day > days_in_month(year, month))
            return fail(start, "invalid date: " + std::string(p, p + 10));
        dt.date = {static_cast<std::uint16_t>(year), static_cast<std::uint8_t>(month), static_cast<std::uint8_t>(day)};
        dt.has_date = true;
        p += 10;
        bool time_follows = false;
        if (p < end_ && (*p == 'T' || *p == 't')) {
            time_follows = true;
        } else if (p < end_ && *p == ' ' && end_ - p >= 4 && is_digit(p[1]) && is_digit(p[2]) && p[3] == ':') {
            time_follows = true;
        }
        if (time_follows) {
            ++p;
            if (!parse_time(p, dt.time, start)) return false;
            dt.has_time = true;
            if (p < end_ && (*p == 'Z' || *p == 'z')) {
                dt.offset = OffsetKind::Utc;
                ++p;
            } else if (p < end_ && (*p == '+' || *p == '-')) {
                bool neg = *p == '-';
                unsigned oh, om;
                if (!two_digits(p + 1, end_, oh) || end_ - p < 6 || p[3] != ':' || !two_digits(p + 4, end_, om))
                    return fail(p, "invalid time offset: expected +HH:MM or -HH:MM, found " + describe(p));
                if (oh > 23 || om > 59) return fail(p, "invalid time offset: " + std::string(p, p + 6));
                int minutes = static_cast<int>(oh * 60 + om);
                dt.offset = OffsetKind::Minutes;
                dt.offset_minutes = static_cast<std::int16_t>(neg ? -minutes : minutes);
                p += 6;
            }
        }
    }
    p_ = p;
    out.type = Type::DateTime;
    auto* stored = static_cast<DateTime*>(arena_->allocate(sizeof(DateTime)));
    *stored = dt;
    out.as.datetime = stored;
    return check_token_end(start);
}

// ---------------------------------------------------------------------------

ParseResult Parser::run() {
    if (end_ - p_ >= 3 && std::memcmp(p_, "\xEF\xBB\xBF", 3) == 0) p_ += 3;
    root_ = new_table(TableKind::Root, 0, 0);
    current_ = root_;
    bool ok = true;
    while (ok) {
        skip_ws();
        if (p_ >= end_) break;
        char c = *p_;
        if (c == '\n') {
            ++p_;
        } else if (c == '\r') {
            if (p_ + 1 < end_ && p_[1] == '\n') {
                p_ += 2;
            } else {
                ok = fail(p_, "a carriage return must be followed by a line feed");
            }
        } else if (c == '#') {
            ok = skip_comment();
        } else if (c == '[') {
            ok = parse_header() && end_of_line("a table header");
        } else {
            ok = parse_keyval(current_) && end_of_line("a key/value pair");
        }
    }
    if (!ok) return ParseResult::failure(std::move(error_));
    Document doc;
    doc.arena_ = std::move(arena_);
    doc.root_ = root_;
    return ParseResult::success(std::move(doc));
}

ParseResult parse(std::string_view input, const ParseOptions& options) {
    Parser parser(input, options);
    return parser.run();
}

}  // namespace toml
