// libFuzzer target for the value text writers: whatever they write must read
// back through the parser as exactly the value given. The first input byte
// picks what is written (a string value, a key, an integer, a float or a
// date-time); the rest supplies it.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz_common.hpp"
#include "toml/toml.hpp"
#include "toml/writer.hpp"

namespace {

// Parses `document` and returns the value of its one key `v`.
toml::Value only_value(const toml::ParseResult& result) {
    if (!result) {
        __builtin_printf("rejected: %s at %zu\n", result.error().message.c_str(), result.error().offset);
        broken("written text parses");
    }
    toml::Table root = result.document().root();
    REQUIRE(root.size() == 1);
    return root[0].value;
}

void string_round_trip(std::string_view text) {
    bool ascii;
    if (!valid_utf8(text, &ascii)) return;  // callers hand over UTF-8 only
    std::string doc = "v = ";
    toml::write_string(doc, text);
    doc += '\n';
    toml::ParseResult result = toml::parse(doc);
    toml::Value v = only_value(result);
    REQUIRE(v.type() == toml::Type::String);
    REQUIRE(v.string() == text);
}

void key_round_trip(std::string_view text) {
    bool ascii;
    if (!valid_utf8(text, &ascii)) return;
    std::string doc;
    toml::write_key(doc, text);
    doc += " = 1\n";
    toml::ParseResult result = toml::parse(doc);
    only_value(result);
    REQUIRE(result.document().root()[0].key.text == text);
}

void integer_round_trip(const std::uint8_t* data, std::size_t size) {
    unsigned char bytes[16] = {};
    std::memcpy(bytes, data, size < 16 ? size : 16);
    toml::int128 value;
    std::memcpy(&value, bytes, 16);
    std::string doc = "v = ";
    toml::write_integer(doc, value);
    toml::ParseResult result = toml::parse(doc);
    toml::Value v = only_value(result);
    REQUIRE(v.type() == toml::Type::Integer);
    toml::Integer got = v.integer();
    REQUIRE(!got.overflow);
    toml::uint128 magnitude = value < 0 ? toml::uint128(0) - toml::uint128(value) : toml::uint128(value);
    REQUIRE(got.negative == (value < 0));
    REQUIRE(got.magnitude == magnitude);
}

void float_round_trip(const std::uint8_t* data, std::size_t size) {
    double value = 0;
    std::memcpy(&value, data, size < 8 ? size : 8);
    std::string doc = "v = ";
    REQUIRE(toml::write_float(doc, value));
    toml::ParseResult result = toml::parse(doc);
    toml::Value v = only_value(result);
    REQUIRE(v.type() == toml::Type::Float);
    double got = v.floating().value;
    if (std::isnan(value)) {
        REQUIRE(std::isnan(got));
    } else {
        REQUIRE(std::memcmp(&got, &value, sizeof value) == 0);  // same bits: -0.0 stays -0.0
    }
}

void datetime_round_trip(const std::uint8_t* data, std::size_t size) {
    std::uint8_t b[12] = {};
    std::memcpy(b, data, size < 12 ? size : 12);
    static const std::uint8_t month_days[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    toml::DateTime dt{};
    unsigned kind = b[0] % 4;  // offset date-time, local date-time, local date, local time
    dt.has_date = kind != 3;
    dt.has_time = kind != 2;
    if (dt.has_date) {
        dt.date.year = static_cast<std::uint16_t>((b[1] | b[2] << 8) % 10000);
        dt.date.month = static_cast<std::uint8_t>(b[3] % 12 + 1);
        dt.date.day = static_cast<std::uint8_t>(b[4] % month_days[dt.date.month - 1] + 1);
        bool leap = dt.date.year % 4 == 0 && (dt.date.year % 100 != 0 || dt.date.year % 400 == 0);
        if (dt.date.month == 2 && dt.date.day == 29 && !leap) dt.date.day = 28;
    }
    if (dt.has_time) {
        dt.time.hour = static_cast<std::uint8_t>(b[5] % 24);
        dt.time.minute = static_cast<std::uint8_t>(b[6] % 60);
        dt.time.has_second = true;
        dt.time.second = static_cast<std::uint8_t>(b[7] % 60);
        std::uint32_t micro = (b[8] | b[9] << 8 | (b[10] & 0x0F) << 16) % 1000000;
        dt.time.has_fraction = micro != 0;
        dt.time.nanosecond = micro * 1000;
    }
    if (kind == 0) {
        int minutes = (b[11] | (b[10] >> 4) << 8) % 2879 - 1439;
        dt.offset = minutes == 0 ? toml::OffsetKind::Utc : toml::OffsetKind::Minutes;
        dt.offset_minutes = static_cast<std::int16_t>(minutes);
    }
    std::string doc = "v = ";
    toml::write_datetime(doc, dt);
    toml::ParseResult result = toml::parse(doc);
    toml::Value v = only_value(result);
    REQUIRE(v.type() == toml::Type::DateTime);
    const toml::DateTime& got = v.datetime();
    REQUIRE(got.has_date == dt.has_date && got.has_time == dt.has_time && got.offset == dt.offset);
    if (dt.has_date) {
        REQUIRE(got.date.year == dt.date.year && got.date.month == dt.date.month && got.date.day == dt.date.day);
    }
    if (dt.has_time) {
        REQUIRE(got.time.hour == dt.time.hour && got.time.minute == dt.time.minute);
        REQUIRE(got.time.second == dt.time.second && got.time.has_fraction == dt.time.has_fraction);
        REQUIRE(got.time.nanosecond == dt.time.nanosecond);
    }
    REQUIRE(got.offset_minutes == dt.offset_minutes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t* rest = data + 1;
    std::size_t rest_size = size - 1;
    std::string_view text(reinterpret_cast<const char*>(rest), rest_size);
    switch (data[0] % 5) {
        case 0: string_round_trip(text); break;
        case 1: key_round_trip(text); break;
        case 2: integer_round_trip(rest, rest_size); break;
        case 3: float_round_trip(rest, rest_size); break;
        case 4: datetime_round_trip(rest, rest_size); break;
    }
    return 0;
}
