// Internal layout of the parse tree. toml.hpp includes this file at its end
// so that every accessor inlines into the tree walk; nothing here is part of
// the public interface, and only parser.cpp builds these structures.
//
// Memory: every Node, Entry array, ArrayData, TableData, hash index and
// decoded text lives in one Arena owned by the Document. Containers that can
// still grow while the document is read (tables, arrays of tables) double
// their storage inside the arena, in place when their block is the arena's
// last; otherwise the old block is simply abandoned, so the waste is bounded
// by the final size. Empty static arrays all share kEmptyArray. The items of
// a large static array get a block of their own (Arena::allocate_large).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace toml {
namespace detail {

// How a table came to exist; decides what may still add to it.
enum class TableKind : std::uint8_t {
    Root,      // the document's root table
    Implicit,  // made as a parent on a header path ([a.b] makes `a`); a header may still define it once
    Header,    // defined by a [header], or an element of an array of tables
    Dotted,    // made by a dotted key; extensible by dotted keys of the same section only
    Inline,    // an inline table: closed once its `}` is read
};

struct ArrayData;
struct TableData;

// One value in 32 bytes, so that two fit a cache line: the tree is written
// once and read back once, and its size is most of what that costs. The
// payload holds 16 bytes; a date-time (24) lives apart in the arena and an
// integer keeps its sign and overflow flags beside the payload. The
// table-entry fields (key_ascii, key_hash) use what would otherwise be padding.
struct alignas(16) Node {
    struct StringPayload {
        const char* data;
        std::size_t size;
    };
    union Payload {
        StringPayload string;
        uint128 magnitude;   // Integer
        Float floating;
        bool boolean;
        DateTime* datetime;
        ArrayData* array;
        TableData* table;
    } as;
    std::size_t offset;      // byte offset where the value starts
    std::uint32_t key_hash;  // in a table entry: hash of the key (valid once the table is indexed)
    Type type;
    bool ascii;              // String: every byte < 0x80
    bool key_ascii;          // in a table entry: the key's flag
    std::uint8_t integer_flags;  // Integer: kIntegerNegative | kIntegerOverflow

    static constexpr std::uint8_t kIntegerNegative = 1;
    static constexpr std::uint8_t kIntegerOverflow = 2;
};
static_assert(sizeof(Node) == 32, "two nodes per cache line");

// A table entry: the decoded key and its value.
struct Entry {
    const char* key;
    std::size_t key_size;
    Node value;
};

struct ArrayData {
    Node* items;
    std::size_t size;
    std::size_t capacity;  // > size only for arrays of tables, which grow
    std::uint32_t depth;   // nesting level of the array itself (root table = 0; an array of tables has its parent's)
    bool of_tables;        // made by [[header]]s; a static array otherwise
};

// 64 bytes, followed in the arena by room for its first entries.
struct TableData {
    Entry* entries;
    // Open-addressing index of entry numbers (+1; 0 = empty slot), built once
    // the table grows past a handful of keys; null below that (linear scan).
    std::uint32_t* index;
    std::size_t offset;      // where the table was first defined
    std::uint64_t seed;      // hash seed, chosen per parse so key collisions cannot be planned
    std::uint32_t size;
    std::uint32_t capacity;  // at most kMaxEntries
    std::uint32_t index_mask;
    std::uint32_t depth;     // nesting level (root = 0)
    std::uint32_t section;   // the header section or inline table that made it (Dotted tables)
    std::uint32_t entries_block;  // Arena::large number + 1 of the entries once large; 0 before
    std::uint32_t index_block;    // the same for the index
    TableKind kind;

    // Entry numbers and index slots are 32-bit; a table stops growing (with
    // std::bad_alloc) long before they could overflow.
    static constexpr std::uint32_t kMaxEntries = std::uint32_t(1) << 29;
};

inline constexpr TableData kEmptyTable{};
inline constexpr ArrayData kEmptyArray{};  // every empty static array of every document
inline constexpr std::size_t kNotFound = static_cast<std::size_t>(-1);

// Hash of a table key under a table's seed.
std::uint32_t hash_key(std::uint64_t seed, const char* data, std::size_t size) noexcept;

// The index of `key` in `table`, or kNotFound.
std::size_t find_key(const TableData* table, std::string_view key) noexcept;

// A bump allocator over a list of chunks; everything is freed with it.
struct Arena {
    struct Chunk {
        Chunk* next;
        std::size_t size;
    };

    explicit Arena(std::size_t first_chunk) noexcept : next_chunk_(first_chunk) {}
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;
    ~Arena();

    // 16-byte aligned storage for `size` bytes; throws std::bad_alloc only.
    void* allocate(std::size_t size) {
        size = (size + 15) & ~std::size_t(15);
        if (static_cast<std::size_t>(limit_ - cur_) < size) return grow(size);
        void* result = cur_;
        cur_ += size;
        return result;
    }

    template <class T>
    T* make_array(std::size_t count) {
        return static_cast<T*>(allocate(count * sizeof(T)));
    }

    // Grows the block at `block` of `size` bytes to `new_size` bytes where it
    // lies if it is the most recent allocation and the chunk has room;
    // returns false (changing nothing) otherwise.
    bool extend(void* block, std::size_t size, std::size_t new_size) noexcept {
        size = (size + 15) & ~std::size_t(15);
        new_size = (new_size + 15) & ~std::size_t(15);
        char* b = static_cast<char*>(block);
        if (b + size != cur_ || static_cast<std::size_t>(limit_ - b) < new_size) return false;
        cur_ = b + new_size;
        return true;
    }

    // A block of its own, outside the chunks, for the items of a large
    // array: grown (and finally trimmed) with realloc, which for blocks this
    // size remaps pages instead of copying them, so a growing array never
    // holds two copies of its items and only what is written is resident.
    // Blocks are known by number; each lives as long as the arena. Throws
    // std::bad_alloc only.
    std::size_t allocate_large(std::size_t size);
    void* large(std::size_t id) const noexcept { return large_[id]; }
    void* resize_large(std::size_t id, std::size_t size);
    // Replaces a large block by a new one of `size` bytes, contents not kept.
    void renew_large(std::size_t id, std::size_t size);

private:
    void* grow(std::size_t size);

    char* cur_ = nullptr;
    char* limit_ = nullptr;
    Chunk* head_ = nullptr;
    std::size_t next_chunk_;
    std::vector<void*> large_;
};

}  // namespace detail

inline Type Value::type() const noexcept { return node_->type; }
inline std::size_t Value::offset() const noexcept { return node_->offset; }
inline std::string_view Value::string() const noexcept {
    return {node_->as.string.data, node_->as.string.size};
}
inline bool Value::string_is_ascii() const noexcept { return node_->ascii; }
inline Integer Value::integer() const noexcept {
    return Integer{node_->as.magnitude, (node_->integer_flags & detail::Node::kIntegerNegative) != 0,
                   (node_->integer_flags & detail::Node::kIntegerOverflow) != 0};
}
inline const Float& Value::floating() const noexcept { return node_->as.floating; }
inline bool Value::boolean() const noexcept { return node_->as.boolean; }
inline const DateTime& Value::datetime() const noexcept { return *node_->as.datetime; }
inline Array Value::array() const noexcept { return Array(node_->as.array); }
inline Table Value::table() const noexcept { return Table(node_->as.table); }

inline std::size_t Array::size() const noexcept { return data_->size; }
inline Value Array::operator[](std::size_t index) const noexcept { return Value(&data_->items[index]); }

inline std::size_t Table::size() const noexcept { return data_->size; }
inline std::size_t Table::offset() const noexcept { return data_->offset; }
inline Table::Entry Table::operator[](std::size_t index) const noexcept {
    const detail::Entry& e = data_->entries[index];
    return Entry{Key{std::string_view(e.key, e.key_size), e.value.key_ascii}, Value(&e.value)};
}
inline bool Table::find(std::string_view key, Value* out) const noexcept {
    std::size_t i = detail::find_key(data_, key);
    if (i == detail::kNotFound) return false;
    if (out != nullptr) *out = Value(&data_->entries[i].value);
    return true;
}

inline Table Document::root() const noexcept { return Table(root_ != nullptr ? root_ : &detail::kEmptyTable); }

}  // namespace toml
