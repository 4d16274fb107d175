// vexil's TOML 1.1.0 parser: one pass over the bytes, building the tree of
// detail.hpp in an arena.
//
// What lives where: the tokens (strings, numbers, date-times, simple keys)
// are read by the scanners of scan.hpp, which know nothing of the tree. This
// file holds the rest: whitespace, comments and newlines, the document's
// structure (headers, key/value lines, arrays, inline tables), the tables
// with their entries and hash index, and the arena.
//
// Shape of the code: Parser walks the input with a raw pointer. Every
// function that can fail returns bool; the first failure records its message
// and offset (fail(), into the scanners' scan::Context) and every caller
// returns false straight away, so the first error is the one reported.
// Nothing throws except std::bad_alloc.
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
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "toml/scan.hpp"
#include "toml/stack.hpp"
#include "toml/toml.hpp"

namespace toml {

namespace detail {

Arena::~Arena() {
    for (void* block : large_) std::free(block);
    Chunk* c = head_;
    while (c != nullptr) {
        Chunk* next = c->next;
        ::operator delete(static_cast<void*>(c));
        c = next;
    }
}

std::size_t Arena::allocate_large(std::size_t size) {
    large_.reserve(large_.size() + 1);  // so that push_back cannot throw and leak the block
    void* block = std::malloc(size);
    if (block == nullptr) throw std::bad_alloc();
    large_.push_back(block);
    return large_.size() - 1;
}

void* Arena::resize_large(std::size_t id, std::size_t size) {
    void* block = std::realloc(large_[id], size);
    if (block == nullptr) throw std::bad_alloc();
    large_[id] = block;
    return block;
}

void Arena::renew_large(std::size_t id, std::size_t size) {
    std::free(large_[id]);
    large_[id] = std::malloc(size);
    if (large_[id] == nullptr) throw std::bad_alloc();
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
using scan::append_hex;
using scan::is;
using scan::kBare;
using scan::utf8_sequence;

Document::Document() noexcept = default;
Document::Document(Document&&) noexcept = default;
Document& Document::operator=(Document&&) noexcept = default;
Document::~Document() = default;

namespace {

constexpr std::size_t kIndexThreshold = 8;   // tables with more keys get a hash index
constexpr std::uint32_t kFirstEntries = 2;   // entries a new table has room for
// A static array with more elements than this moves them off the shared
// element stack into a block of its own (see parse_array).
constexpr std::size_t kSpillAt = std::size_t(1) << 14;
// A table's entries or index of this many bytes or more get a block of their own.
constexpr std::size_t kLargeBlock = std::size_t(1) << 20;
constexpr std::size_t kMaxDepthCap = 1024;   // recursion bound whatever the options say

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
        std::uint64_t m = scan::bytes_special(w);
        if (m != 0) return p + scan::first_marked(m);
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

}  // namespace

// ---------------------------------------------------------------------------

class Parser {
public:
    Parser(std::string_view input, const ParseOptions& options)
        : begin_(input.data()),
          p_(input.data()),
          end_(input.data() + input.size()),
          max_depth_(std::min(options.max_depth, kMaxDepthCap)),
          ctx_(input.data()) {
        ctx_.toml_1_0 = options.version == Version::V1_0_0;
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
    // The scanners report into ctx_ too, so the first failure of either is kept.
    bool fail(const char* at, std::string message) { return ctx_.fail(at, std::move(message)); }
    bool fail_expected(const char* at, const char* expected) { return ctx_.fail_expected(at, end_, expected); }
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
    bool skip_inline_table_space();  // the same, but whitespace only for TOML 1.0.0
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
    // A string token at p_ into `out`; Kind is scan::BasicString or scan::LiteralString.
    template <class Kind>
    bool parse_string(Node& out, bool multiline);
    bool parse_number_or_datetime(Node& out);

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
    scan::Context ctx_;               // the first failure; scratch text for the scanners
};

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
    m += scan::describe(p_, end_);
    return fail(p_, std::move(m));
}

// ---------------------------------------------------------------------------
// Keys

bool Parser::parse_simple_key(KeyPart& part) {
    part.offset = static_cast<std::size_t>(p_ - begin_);
    scan::Cursor cur{p_, end_};
    scan::StringToken key;
    if (!scan::scan_simple_key(cur, ctx_, key)) return false;
    p_ = cur.p;
    Node::StringPayload text = key.decoded ? store(ctx_.scratch) : Node::StringPayload{key.data, key.size};
    part.data = text.data;
    part.size = text.size;
    part.ascii = key.ascii;
    return true;
}

// The key of a header. Most are bare keys joined by bare dots and closed by
// `]`; those are read here, anything else by parse_key.
bool Parser::parse_header_key() {
    const char* q = p_;
    parts_.clear();
    while (q < end_ && is(static_cast<unsigned char>(*q), kBare)) {
        const char* e = scan::bare_end(q + 1, end_);
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
    t->entries_block = 0;
    t->index_block = 0;
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
    std::uint32_t* index;
    if (slots * sizeof(std::uint32_t) < kLargeBlock) {
        index = arena_->make_array<std::uint32_t>(slots);
    } else {
        // A large index is remade in a block of its own, given back to the
        // system at each rebuild, instead of abandoning the old one.
        std::size_t bytes = slots * sizeof(std::uint32_t);
        if (t->index_block == 0) {
            t->index_block = static_cast<std::uint32_t>(arena_->allocate_large(bytes) + 1);
        } else {
            arena_->renew_large(t->index_block - 1, bytes);
        }
        index = static_cast<std::uint32_t*>(arena_->large(t->index_block - 1));
    }
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
        if (cap * sizeof(Entry) >= kLargeBlock) {
            // A large table's entries move to a block of their own and grow
            // there, rather than leaving a trail of abandoned copies.
            if (t->entries_block == 0) {
                std::size_t id = arena_->allocate_large(cap * sizeof(Entry));
                auto* grown = static_cast<Entry*>(arena_->large(id));
                std::memcpy(static_cast<void*>(grown), t->entries, t->size * sizeof(Entry));
                t->entries = grown;
                t->entries_block = static_cast<std::uint32_t>(id + 1);
            } else {
                t->entries = static_cast<Entry*>(arena_->resize_large(t->entries_block - 1, cap * sizeof(Entry)));
            }
        } else if (!arena_->extend(t->entries, t->capacity * sizeof(Entry), cap * sizeof(Entry))) {
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
        const char* key_end = scan::bare_end(p_ + 1, end_);
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
        case '"':
            return parse_string<scan::BasicString>(out, end_ - p_ >= 3 && p_[1] == '"' && p_[2] == '"');
        case '\'':
            return parse_string<scan::LiteralString>(out, end_ - p_ >= 3 && p_[1] == '\'' && p_[2] == '\'');
        case 't':
            if (end_ - p_ >= 4 && std::memcmp(p_, "true", 4) == 0) {
                p_ += 4;
                out.type = Type::Boolean;
                out.as.boolean = true;
                return scan::check_token_end(scan::Cursor{p_, end_}, ctx_, p_ - 4);
            }
            break;
        case 'f':
            if (end_ - p_ >= 5 && std::memcmp(p_, "false", 5) == 0) {
                p_ += 5;
                out.type = Type::Boolean;
                out.as.boolean = false;
                return scan::check_token_end(scan::Cursor{p_, end_}, ctx_, p_ - 5);
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
            scan::Cursor cur{p_, end_};
            if (scan::scan_plain_decimal(cur, small)) {
                p_ = cur.p;
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
    // Elements wait on stack_ (shared by the arrays being read, so a small
    // array costs no allocation of its own) and are copied into the arena
    // with the array's header once it is complete. An array that grows past
    // kSpillAt elements moves them to a block of its own and goes on there:
    // a huge array then never exists twice (on the stack and in the arena).
    const std::size_t base = stack_.size();
    std::size_t block = 0;  // the large block's number once spilled
    Node* items = nullptr;  // its items, once spilled
    std::size_t count = 0, capacity = 0;
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
        if (items == nullptr) {
            stack_.push_back(element);
            if (stack_.size() - base == kSpillAt) {
                capacity = 4 * kSpillAt;
                block = arena_->allocate_large(capacity * sizeof(Node));
                items = static_cast<Node*>(arena_->large(block));
                std::memcpy(static_cast<void*>(items), stack_.data() + base, kSpillAt * sizeof(Node));
                count = kSpillAt;
                stack_.resize(base);
            }
        } else {
            if (count == capacity) {
                capacity *= 2;
                items = static_cast<Node*>(arena_->resize_large(block, capacity * sizeof(Node)));
            }
            items[count++] = element;
        }
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
    out.type = Type::Array;
    if (items != nullptr) {
        auto* a = static_cast<ArrayData*>(arena_->allocate(sizeof(ArrayData)));
        a->items = static_cast<Node*>(arena_->resize_large(block, count * sizeof(Node)));
        a->size = count;
        a->capacity = count;
        a->depth = depth;
        a->of_tables = false;
        out.as.array = a;
        return true;
    }
    const std::size_t n = stack_.size() - base;
    if (n == 0) {
        // Every empty static array shares one: nothing ever adds to it.
        out.as.array = const_cast<ArrayData*>(&detail::kEmptyArray);
        return true;
    }
    // The header and its items in one block, so reading the array back
    // touches one run of memory.
    constexpr std::size_t head = (sizeof(ArrayData) + 15) & ~std::size_t(15);
    char* mem = static_cast<char*>(arena_->allocate(head + n * sizeof(Node)));
    auto* a = reinterpret_cast<ArrayData*>(mem);
    a->items = reinterpret_cast<Node*>(mem + head);
    std::memcpy(static_cast<void*>(a->items), stack_.data() + base, n * sizeof(Node));
    a->size = n;
    a->capacity = n;
    a->depth = depth;
    a->of_tables = false;
    stack_.resize(base);
    out.as.array = a;
    return true;
}

// Between the entries of an inline table: TOML 1.1.0 allows newlines and
// comments there, TOML 1.0.0 only spaces and tabs.
bool Parser::skip_inline_table_space() {
    if (!ctx_.toml_1_0) return skip_ws_comment_newline();
    skip_ws();
    if (p_ < end_ && (*p_ == '\n' || (*p_ == '\r' && p_ + 1 < end_ && p_[1] == '\n')))
        return ctx_.fail_newer(p_, "a newline in an inline table");
    if (p_ < end_ && *p_ == '#') return ctx_.fail_newer(p_, "a comment in an inline table");
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
    const char* comma = nullptr;  // the comma before this entry, if any
    while (true) {
        if (!skip_inline_table_space()) return false;
        if (p_ < end_ && *p_ == '}') {
            if (comma != nullptr && ctx_.toml_1_0)
                return ctx_.fail_newer(comma, "a trailing comma in an inline table");
            ++p_;
            break;
        }
        if (!parse_keyval(t)) return false;
        if (!skip_inline_table_space()) return false;
        if (p_ < end_ && *p_ == ',') {
            comma = p_;
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
// Strings, numbers and date-times: the scanners read the token, the parser
// stores it in the node.

template <class Kind>
bool Parser::parse_string(Node& out, bool multiline) {
    scan::Cursor cur{p_, end_};
    scan::StringToken text;
    if (!scan::scan_string<Kind>(cur, ctx_, text, multiline)) return false;
    p_ = cur.p;
    out.type = Type::String;
    out.as.string = text.decoded ? store(ctx_.scratch) : Node::StringPayload{text.data, text.size};
    out.ascii = text.ascii;
    return true;
}

bool Parser::parse_number_or_datetime(Node& out) {
    scan::Cursor cur{p_, end_};
    if (scan::starts_datetime(cur)) {
        DateTime dt;
        if (!scan::scan_datetime(cur, ctx_, dt)) return false;
        p_ = cur.p;
        out.type = Type::DateTime;
        auto* stored = static_cast<DateTime*>(arena_->allocate(sizeof(DateTime)));
        *stored = dt;
        out.as.datetime = stored;
        return true;
    }
    scan::NumberToken n;
    if (!scan::scan_number(cur, ctx_, n)) return false;
    p_ = cur.p;
    if (n.is_float) {
        out.type = Type::Float;
        out.as.floating = n.floating;
    } else {
        out.type = Type::Integer;
        out.as.magnitude = n.integer.magnitude;
        out.integer_flags = static_cast<std::uint8_t>((n.integer.negative ? Node::kIntegerNegative : 0) |
                                                      (n.integer.overflow ? Node::kIntegerOverflow : 0));
    }
    return true;
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
    if (!ok) return ParseResult::failure(std::move(ctx_.error));
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
