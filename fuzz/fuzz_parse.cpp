// libFuzzer target: parse arbitrary bytes, then walk the whole tree through
// the public accessors and check the invariants a caller relies on:
//  - errors have a message and an offset within the input;
//  - every offset is within the input;
//  - strings and keys are well-formed UTF-8 and their ascii flags are right;
//  - keys are unique and find() returns each entry's own value;
//  - date-time components are in range;
//  - a document accepted under a small depth limit is accepted under the
//    default one too, and a smaller limit never turns a failure into success.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz_common.hpp"
#include "toml/toml.hpp"

namespace {

void check_datetime(const toml::DateTime& dt) {
    REQUIRE(dt.has_date || dt.has_time);
    if (dt.offset != toml::OffsetKind::None) REQUIRE(dt.has_date && dt.has_time);
    if (dt.has_date) {
        REQUIRE(dt.date.year <= 9999);
        REQUIRE(dt.date.month >= 1 && dt.date.month <= 12);
        REQUIRE(dt.date.day >= 1 && dt.date.day <= 31);
    }
    if (dt.has_time) {
        REQUIRE(dt.time.hour <= 23 && dt.time.minute <= 59 && dt.time.second <= 60);
        REQUIRE(dt.time.nanosecond < 1000000000u);
        if (!dt.time.has_second) REQUIRE(dt.time.second == 0 && !dt.time.has_fraction);
    }
    if (dt.offset == toml::OffsetKind::Minutes) REQUIRE(dt.offset_minutes > -1440 && dt.offset_minutes < 1440);
}

void walk(toml::Value v, std::size_t size, unsigned depth);

void walk_table(toml::Table t, std::size_t size, unsigned depth) {
    REQUIRE(t.offset() <= size);
    std::size_t n = 0;
    for (auto entry : t) {
        bool ascii;
        REQUIRE(valid_utf8(entry.key.text, &ascii));
        REQUIRE(ascii == entry.key.is_ascii);
        toml::Value found(nullptr);
        REQUIRE(t.find(entry.key.text, &found));
        // Pointer identity: the first entry with this key is this one.
        REQUIRE(t[n].value.offset() == found.offset() && t[n].value.type() == found.type());
        walk(entry.value, size, depth + 1);
        ++n;
    }
    REQUIRE(n == t.size());
}

void walk(toml::Value v, std::size_t size, unsigned depth) {
    REQUIRE(depth <= 600);
    REQUIRE(v.offset() <= size);
    switch (v.type()) {
        case toml::Type::Table:
            REQUIRE(v.table().offset() == v.offset());
            walk_table(v.table(), size, depth);
            break;
        case toml::Type::Array:
            for (toml::Value item : v.array()) walk(item, size, depth + 1);
            break;
        case toml::Type::String: {
            bool ascii;
            REQUIRE(valid_utf8(v.string(), &ascii));
            REQUIRE(ascii == v.string_is_ascii());
            break;
        }
        case toml::Type::Integer:
            if (v.integer().negative) REQUIRE(v.integer().magnitude <= (toml::uint128(1) << 127));
            break;
        case toml::Type::Float:
            if (v.floating().overflow) REQUIRE(__builtin_isinf(v.floating().value));
            break;
        case toml::Type::Boolean:
            break;
        case toml::Type::DateTime:
            check_datetime(v.datetime());
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    toml::ParseResult result = toml::parse(input);
    if (!result) {
        REQUIRE(!result.error().message.empty());
        REQUIRE(result.error().offset <= size);
    } else {
        walk_table(result.document().root(), size, 0);
    }
    toml::ParseOptions shallow;
    shallow.max_depth = 3;
    toml::ParseResult limited = toml::parse(input, shallow);
    if (limited) REQUIRE(result.ok());
    if (!result) REQUIRE(!limited.ok());
    // Up to a depth failure, both parses read the same bytes the same way.
    if (!limited && limited.error().message.rfind("nesting too deep", 0) != 0) {
        REQUIRE(!result);
        REQUIRE(result.error().message == limited.error().message);
        REQUIRE(result.error().offset == limited.error().offset);
    }
    return 0;
}
