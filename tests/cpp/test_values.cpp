// Scalar values: strings and escapes, integers at the 64- and 128-bit edges,
// floats, booleans and date-times.
#include <cmath>
#include <cstring>
#include <string>

#include "check.hpp"
#include "toml_helpers.hpp"

namespace {

// Parses "v = <literal>" and returns the value (the document is kept alive
// in `holder`).
toml::Value value_of(th::Parsed& holder) {
    toml::Value v(nullptr);
    if (!holder.ok()) {
        ::check::fail(__FILE__, __LINE__, "parse failed: " + holder.error().message);
        return v;
    }
    if (!holder.root().find("v", &v)) ::check::fail(__FILE__, __LINE__, "no key v");
    return v;
}

bool inside(const th::Parsed& p, std::string_view s) {
    return s.data() >= p.text.data() && s.data() + s.size() <= p.text.data() + p.text.size();
}

}  // namespace

TEST("strings: decoded text, views for escape-free strings, the ascii flag") {
    struct Case {
        const char* literal;
        std::string_view expected;
        bool ascii;
        bool view;
    };
    const Case cases[] = {
        {"\"plain\"", "plain", true, true},
        {"\"\"", "", true, true},
        {"\"tab\there\"", "tab\there", true, true},
        {"\"caf\xC3\xA9\"", "caf\xC3\xA9", false, true},
        {"\"\\b\\t\\n\\f\\r\\e\\\"\\\\\"", "\b\t\n\f\r\x1B\"\\", true, false},
        {"\"\\x41\\xe9\\xE9\"", "A\xC3\xA9\xC3\xA9", false, false},
        {"\"\\u0000\"", std::string_view("\0", 1), true, false},
        {"\"\\x00end\"", std::string_view("\0end", 4), true, false},
        {"\"\\u20AC\\U0001F600\\U0010FFFF\"", "\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF", false, false},
        {"'C:\\Users\\nodejs'", "C:\\Users\\nodejs", true, true},
        {"'''\nfirst newline trimmed\n  kept'''", "first newline trimmed\n  kept", true, true},
        {"'''two '' quotes'''", "two '' quotes", true, true},
        {"''''one quote at each end''''", "'one quote at each end'", true, true},
        {"'''''two at the end'''''", "''two at the end''", true, true},
        {"\"\"\"\nRoses\nViolets\"\"\"", "Roses\nViolets", true, true},
        {"\"\"\"quotes: \"\" and \\\"\"\"\"\"", "quotes: \"\" and \"\"", true, false},
        {"\"\"\"\"\"\"\"", "\"", true, true},
        {"\"\"\"The quick \\\n\n   fox \\   \n  jumps\"\"\"", "The quick fox jumps", true, false},
        {"\"\"\"\\\n   \"\"\"", "", true, false},
        {"\"\"\"a\r\nb\"\"\"", "a\nb", true, false},
        {"'''a\r\nb'''", "a\nb", true, false},
        {"\"\"\"\r\nafter crlf\"\"\"", "after crlf", true, true},
    };
    for (const Case& c : cases) {
        th::Parsed p(std::string("v = ") + c.literal + "\n");
        toml::Value v = value_of(p);
        if (!p.ok()) continue;
        CHECK(v.type() == toml::Type::String);
        if (v.string() != c.expected)
            ::check::fail(__FILE__, __LINE__, std::string("string ") + c.literal + " decoded wrongly");
        CHECK_EQ(v.string_is_ascii(), c.ascii);
        CHECK_EQ(inside(p, v.string()), c.view);
    }
}

TEST("integers: decimal, hex, octal, binary, underscores, signs") {
    struct Case {
        const char* literal;
        const char* magnitude;
        bool negative;
    };
    const Case cases[] = {
        {"0", "0", false},
        {"+0", "0", false},
        {"-0", "0", false},
        {"+99", "99", false},
        {"-17", "17", true},
        {"1_000", "1000", false},
        {"5_349_221", "5349221", false},
        {"0xDEADbeef", "3735928559", false},
        {"0xdead_beef", "3735928559", false},
        {"0o755", "493", false},
        {"0o0123_4567", "342391", false},
        {"0b1101_0110", "214", false},
        {"0x0000_0001", "1", false},
        {"9223372036854775807", "9223372036854775807", false},      // 2^63-1
        {"-9223372036854775808", "9223372036854775808", true},      // -2^63
        {"9223372036854775808", "9223372036854775808", false},      // 2^63
        {"-9223372036854775809", "9223372036854775809", true},      // -2^63-1
        {"18446744073709551615", "18446744073709551615", false},    // 2^64-1
        {"0xffffffffffffffff", "18446744073709551615", false},
        {"18446744073709551616", "18446744073709551616", false},    // 2^64
        {"170141183460469231731687303715884105728", "170141183460469231731687303715884105728", false},   // 2^127
        {"-170141183460469231731687303715884105728", "170141183460469231731687303715884105728", true},   // -2^127
        {"340282366920938463463374607431768211455", "340282366920938463463374607431768211455", false},   // 2^128-1
        {"0xffff_ffff_ffff_ffff_ffff_ffff_ffff_ffff", "340282366920938463463374607431768211455", false},
        {"0b" "1111111111111111111111111111111111111111111111111111111111111111"
              "1111111111111111111111111111111111111111111111111111111111111111",
         "340282366920938463463374607431768211455", false},
        {"0o3777777777777777777777777777777777777777777", "340282366920938463463374607431768211455", false},
    };
    for (const Case& c : cases) {
        th::Parsed p(std::string("v = ") + c.literal);
        toml::Value v = value_of(p);
        if (!p.ok()) continue;
        CHECK(v.type() == toml::Type::Integer);
        CHECK(!v.integer().overflow);
        CHECK_EQ(th::str(v.integer().magnitude), std::string(c.magnitude));
        CHECK_EQ(v.integer().negative, c.negative);
    }
}

TEST("integers beyond the 128-bit range parse with the overflow flag") {
    const char* cases[] = {
        "340282366920938463463374607431768211456",     // 2^128
        "-170141183460469231731687303715884105729",    // -2^127-1
        "-340282366920938463463374607431768211455",
        "99999999999999999999999999999999999999999999999999999",
        "0x1_0000_0000_0000_0000_0000_0000_0000_0000",
        "0o4000000000000000000000000000000000000000000",
        "0b1" "0000000000000000000000000000000000000000000000000000000000000000"
              "0000000000000000000000000000000000000000000000000000000000000000",
    };
    for (const char* c : cases) {
        std::string doc = std::string("x = 1\nv = ") + c + "\n";
        th::Parsed p(doc);
        toml::Value v = value_of(p);
        if (!p.ok()) continue;
        CHECK(v.type() == toml::Type::Integer);
        CHECK(v.integer().overflow);
        CHECK_EQ(v.offset(), std::size_t(10));
    }
}

TEST("floats: correctly rounded values, specials, signed zero, overflow and underflow") {
    struct Case {
        const char* literal;
        double value;
        bool overflow;
    };
    const Case cases[] = {
        {"+1.0", 1.0, false},
        {"3.1415", 3.1415, false},
        {"-0.01", -0.01, false},
        {"5e+22", 5e22, false},
        {"1e06", 1e6, false},
        {"-2E-2", -2e-2, false},
        {"6.626e-34", 6.626e-34, false},
        {"224_617.445_991_228", 224617.445991228, false},
        {"0e0", 0.0, false},
        {"0.1", 0.1, false},
        {"1.7976931348623157e308", 1.7976931348623157e308, false},
        {"4.9e-324", 4.9e-324, false},
        {"1e-400", 0.0, false},
        {"1e400", HUGE_VAL, true},
        {"-1e400", -HUGE_VAL, true},
        {"1.7976931348623159e308", HUGE_VAL, true},
        {"0.000001e999", HUGE_VAL, true},
        {"100000e-330", 0.0, false},
        {"1e99999999999999999999", HUGE_VAL, true},
        {"1e-99999999999999999999", 0.0, false},
        {"inf", HUGE_VAL, false},
        {"+inf", HUGE_VAL, false},
        {"-inf", -HUGE_VAL, false},
    };
    for (const Case& c : cases) {
        th::Parsed p(std::string("v = ") + c.literal);
        toml::Value v = value_of(p);
        if (!p.ok()) continue;
        CHECK(v.type() == toml::Type::Float);
        if (!(v.floating().value == c.value))
            ::check::fail(__FILE__, __LINE__, std::string("float ") + c.literal + " -> " +
                                                  std::to_string(v.floating().value));
        CHECK_EQ(v.floating().overflow, c.overflow);
    }
    for (const char* z : {"-0.0", "-0e0", "-1e-400"}) {
        th::Parsed p(std::string("v = ") + z);
        toml::Value v = value_of(p);
        if (p.ok()) CHECK(v.floating().value == 0.0 && std::signbit(v.floating().value));
    }
    for (const char* n : {"nan", "+nan", "-nan"}) {
        th::Parsed p(std::string("v = ") + n);
        toml::Value v = value_of(p);
        if (p.ok()) CHECK(std::isnan(v.floating().value) && !v.floating().overflow);
    }
    // A very long literal still converts exactly.
    std::string longf = "v = 0." + std::string(500, '0') + "1e501";
    th::Parsed p(longf);
    toml::Value v = value_of(p);
    if (p.ok()) CHECK(v.floating().value == 1.0);
}

TEST("booleans") {
    th::Parsed p("t = true\nf = false\na = [true,false]");
    CHECK_PARSES(p);
    toml::Value t(nullptr), f(nullptr);
    CHECK(p.root().find("t", &t) && t.type() == toml::Type::Boolean && t.boolean());
    CHECK(p.root().find("f", &f) && f.type() == toml::Type::Boolean && !f.boolean());
}

TEST("date-times: the four kinds, optional seconds, fractions, offsets") {
    struct Case {
        const char* literal;
        bool has_date, has_time;
        toml::OffsetKind offset;
        int y, mo, d, h, mi, s;
        bool has_second, has_fraction;
        unsigned ns;
        int offset_minutes;
    };
    using K = toml::OffsetKind;
    const Case cases[] = {
        {"1979-05-27T07:32:00Z", true, true, K::Utc, 1979, 5, 27, 7, 32, 0, true, false, 0, 0},
        {"1979-05-27t07:32:00z", true, true, K::Utc, 1979, 5, 27, 7, 32, 0, true, false, 0, 0},
        {"1979-05-27 07:32:00Z", true, true, K::Utc, 1979, 5, 27, 7, 32, 0, true, false, 0, 0},
        {"1979-05-27T00:32:00.999999-07:00", true, true, K::Minutes, 1979, 5, 27, 0, 32, 0, true, true, 999999000, -420},
        {"1979-05-27T07:32:00+05:30", true, true, K::Minutes, 1979, 5, 27, 7, 32, 0, true, false, 0, 330},
        {"1979-05-27T07:32:00-00:00", true, true, K::Minutes, 1979, 5, 27, 7, 32, 0, true, false, 0, 0},
        {"1979-05-27T07:32:00+23:59", true, true, K::Minutes, 1979, 5, 27, 7, 32, 0, true, false, 0, 1439},
        {"1979-05-27 07:32Z", true, true, K::Utc, 1979, 5, 27, 7, 32, 0, false, false, 0, 0},
        {"1979-05-27 07:32-07:00", true, true, K::Minutes, 1979, 5, 27, 7, 32, 0, false, false, 0, -420},
        {"1979-05-27T07:32:00", true, true, K::None, 1979, 5, 27, 7, 32, 0, true, false, 0, 0},
        {"1979-05-27T07:32", true, true, K::None, 1979, 5, 27, 7, 32, 0, false, false, 0, 0},
        {"1979-05-27T00:32:00.5", true, true, K::None, 1979, 5, 27, 0, 32, 0, true, true, 500000000, 0},
        {"1979-05-27", true, false, K::None, 1979, 5, 27, 0, 0, 0, false, false, 0, 0},
        {"0000-01-01", true, false, K::None, 0, 1, 1, 0, 0, 0, false, false, 0, 0},
        {"2000-02-29", true, false, K::None, 2000, 2, 29, 0, 0, 0, false, false, 0, 0},
        {"2024-02-29", true, false, K::None, 2024, 2, 29, 0, 0, 0, false, false, 0, 0},
        {"0000-02-29", true, false, K::None, 0, 2, 29, 0, 0, 0, false, false, 0, 0},
        {"9999-12-31", true, false, K::None, 9999, 12, 31, 0, 0, 0, false, false, 0, 0},
        {"07:32:00", false, true, K::None, 0, 0, 0, 7, 32, 0, true, false, 0, 0},
        {"07:32", false, true, K::None, 0, 0, 0, 7, 32, 0, false, false, 0, 0},
        {"23:59:60", false, true, K::None, 0, 0, 0, 23, 59, 60, true, false, 0, 0},
        {"00:32:00.1234567891", false, true, K::None, 0, 0, 0, 0, 32, 0, true, true, 123456789, 0},
        {"00:32:00.000000001", false, true, K::None, 0, 0, 0, 0, 32, 0, true, true, 1, 0},
        {"00:32:00.0", false, true, K::None, 0, 0, 0, 0, 32, 0, true, true, 0, 0},
    };
    for (const Case& c : cases) {
        th::Parsed p(std::string("v = ") + c.literal + " # comment\n");
        toml::Value v = value_of(p);
        if (!p.ok()) continue;
        CHECK(v.type() == toml::Type::DateTime);
        const toml::DateTime& dt = v.datetime();
        bool ok = dt.has_date == c.has_date && dt.has_time == c.has_time && dt.offset == c.offset;
        if (c.has_date) ok = ok && dt.date.year == c.y && dt.date.month == c.mo && dt.date.day == c.d;
        if (c.has_time)
            ok = ok && dt.time.hour == c.h && dt.time.minute == c.mi && dt.time.second == c.s &&
                 dt.time.has_second == c.has_second && dt.time.has_fraction == c.has_fraction &&
                 dt.time.nanosecond == c.ns;
        ok = ok && dt.offset_minutes == c.offset_minutes;
        if (!ok) ::check::fail(__FILE__, __LINE__, std::string("date-time ") + c.literal + " has wrong components");
    }
}

TEST("date-times out of range are rejected") {
    struct Case {
        const char* literal;
        const char* message;
    };
    const Case cases[] = {
        {"2023-02-29", "invalid date: 2023-02-29"},
        {"2023-02-30", "invalid date: 2023-02-30"},
        {"1900-02-29", "invalid date: 1900-02-29"},
        {"2023-04-31", "invalid date: 2023-04-31"},
        {"2023-13-01", "invalid date: 2023-13-01"},
        {"2023-00-01", "invalid date: 2023-00-01"},
        {"2023-01-00", "invalid date: 2023-01-00"},
        {"2023-01-32", "invalid date: 2023-01-32"},
        {"24:00:00", "invalid time: 24:00:00"},
        {"23:60:00", "invalid time: 23:60:00"},
        {"23:59:61", "invalid time: 23:59:61"},
        {"24:00", "invalid time: 24:00"},
        {"2023-01-01T07:32:00+24:00", "invalid time offset: +24:00"},
        {"2023-01-01T07:32:00-23:60", "invalid time offset: -23:60"},
        {"2023-01-01T25:00:00Z", "invalid time: 25:00:00"},
        {"07:32:00Z", "invalid value `07:32:00Z`"},
        {"07:32:00+01:00", "invalid value `07:32:00+01:00`"},
        {"07:32.5", "invalid value `07:32.5`"},
        {"2023-1-01", "invalid date `2023-1-01`: expected YYYY-MM-DD"},
        {"2023-01-01T", "invalid time: expected HH:MM, found end of input"},
        {"2023-01-01T07:32:00+0100", "invalid time offset: expected +HH:MM or -HH:MM, found `+`"},
        {"07:32:00.", "invalid time: a decimal point must be followed by fraction digits"},
    };
    for (const Case& c : cases) CHECK_EQ(th::error_of(std::string("v = ") + c.literal), std::string(c.message));
    CHECK_EQ(th::error_offset("x = 1\nv = 2023-02-30"), std::size_t(10));
}

TEST("arrays: mixed types, nesting, comments, trailing commas") {
    th::Parsed p("v = [ 1, 'a', [2, [3]], {x = 1}, 1979-05-27,\n  # comment\n  2.5, # after\n]\n");
    toml::Value v = value_of(p);
    if (!p.ok()) return;
    toml::Array a = v.array();
    CHECK_EQ(a.size(), std::size_t(6));
    CHECK(a[0].type() == toml::Type::Integer);
    CHECK(a[1].type() == toml::Type::String);
    CHECK_EQ(a[2].array().size(), std::size_t(2));
    CHECK(a[2].array()[1].array()[0].integer().magnitude == 3);
    CHECK(a[3].type() == toml::Type::Table);
    CHECK(a[4].type() == toml::Type::DateTime);
    CHECK(a[5].floating().value == 2.5);
    std::size_t count = 0;
    for (toml::Value item : a) count += item.type() == toml::Type::Integer;
    CHECK_EQ(count, std::size_t(1));
}
