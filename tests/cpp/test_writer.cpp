// Tests of the TOML text writers: string forms and escapes, key forms,
// integers, floats and date-times.
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "check.hpp"
#include "toml/writer.hpp"

namespace {

std::string str(std::string_view text) {
    std::string out;
    toml::write_string(out, text);
    return out;
}

std::string key(std::string_view text) {
    std::string out;
    toml::write_key(out, text);
    return out;
}

std::string flt(double value) {
    std::string out;
    CHECK(toml::write_float(out, value));
    return out;
}

template <class T>
std::string integer(T value) {
    std::string out;
    toml::write_integer(out, value);
    return out;
}

std::string dt(const toml::DateTime& value) {
    std::string out;
    toml::write_datetime(out, value);
    return out;
}

using namespace std::string_literals;

}  // namespace

TEST("string values take the first form that can hold them") {
    struct Case {
        std::string text, written;
    } cases[] = {
        {"x", "\"x\""},                                     // 1: basic
        {"", "\"\""},                                       // 1: empty
        {"it's", "\"it's\""},                               // 1: a single quote is fine in basic
        {"caf\xC3\xA9 \xE6\x97\xA5", "\"caf\xC3\xA9 \xE6\x97\xA5\""},  // non-ASCII as it is
        {"a\tb", "\"a\\tb\""},                              // 1: tab escaped
        {"say \"hi\"", "'say \"hi\"'"},                     // 2: literal
        {"C:\\dir", "'C:\\dir'"},                           // 2: literal
        {"a'b\"c", "\"\"\"a'b\"c\"\"\""},                   // 3: no line feed after the quotes
        {"one\ntwo", "\"\"\"\none\ntwo\"\"\""},             // 3: line feed after the quotes
        {"\nlead", "\"\"\"\n\nlead\"\"\""},                 // 3: a leading line feed survives
        {"t\tab\n", "\"\"\"\nt\\tab\n\"\"\""},              // 3: tab escaped, line feed kept
        {"a'\"\"\"b\\", "'''a'\"\"\"b\\'''"},               // 4: backslash and a run of three "
        {"x\ny\\", "'''\nx\ny\\'''"},                       // 4: line feed and backslash
        {"a\r", "\"a\\r\""},                                // 6: control byte, no line feed
        {"a\r\nb", "\"\"\"\na\\r\nb\"\"\""},                // 5: control byte with a line feed
        {"\x7F", "\"\\u007F\""},                            // 6: DEL
        {"\x01\x1B\x1F", "\"\\u0001\\u001B\\u001F\""},      // 6: \u with upper-case hex
        {"\b\f", "\"\\b\\f\""},                             // 6: the short escapes
        {"'\"\\\x01", "\"'\\\"\\\\\\u0001\""},              // 6: everything escaped on one line
        {"\x01\n\"\"\"\"", "\"\"\"\n\\u0001\n\"\"\\\"\"\"\"\""},  // 5: every third " in a row escaped
        {"''' \"\"\" \\\n\x02", "\"\"\"\n''' \"\"\\\" \\\\\n\\u0002\"\"\""},  // 5: both runs
        {"\0"s, "\"\\u0000\""},                             // NUL
    };
    for (const auto& c : cases) {
        CHECK_EQ(str(c.text), c.written);
    }
}

TEST("the bulk scan finds escapes at every position of a long string") {
    // Strings longer than one scan block, with the special byte in each slot.
    for (char special : {'"', '\\', '\x01', '\x7F', '\t'}) {
        for (std::size_t at = 0; at < 40; ++at) {
            std::string text(40, 'a');
            text[at] = special;
            std::string written = str(text);
            CHECK(written != "\"" + text + "\"");
        }
    }
    std::string plain(1000, 'z');
    plain[500] = '\'';
    plain[999] = '\xC3';  // only a lead byte: passed on unchanged, not judged
    CHECK_EQ(str(plain), "\"" + plain + "\"");
}

TEST("keys are bare, literal or basic") {
    struct Case {
        std::string text, written;
    } cases[] = {
        {"a", "a"},
        {"A-b_9", "A-b_9"},
        {"123", "123"},
        {"a.b", "\"a.b\""},
        {"a b", "\"a b\""},
        {"\xC3\xA9", "\"\xC3\xA9\""},
        {"", "\"\""},
        {"say \"hi\"", "'say \"hi\"'"},
        {"C:\\dir", "'C:\\dir'"},
        {"tab\t\"", "'tab\t\"'"},          // a tab does not prevent the literal form
        {"it's", "\"it's\""},
        {"line\nfeed", "\"line\\nfeed\""},
        {"'\"", "\"'\\\"\""},
        {"\\\n", "\"\\\\\\n\""},           // a control character prevents the literal form
        {"\x7F\"", "\"\\u007F\\\"\""},
    };
    for (const auto& c : cases) {
        CHECK_EQ(key(c.text), c.written);
    }
}

TEST("integers in plain decimal up to 128 bits") {
    CHECK_EQ(integer(std::int64_t{0}), "0"s);
    CHECK_EQ(integer(std::int64_t{-1}), "-1"s);
    CHECK_EQ(integer(std::numeric_limits<std::int64_t>::max()), "9223372036854775807"s);
    CHECK_EQ(integer(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808"s);
    toml::int128 big = toml::int128(1) << 64;
    CHECK_EQ(integer(big), "18446744073709551616"s);
    CHECK_EQ(integer(-big), "-18446744073709551616"s);
    toml::int128 max = ~(toml::int128(1) << 127);
    CHECK_EQ(integer(max), "170141183460469231731687303715884105727"s);
    CHECK_EQ(integer(-max - 1), "-170141183460469231731687303715884105728"s);
    CHECK_EQ(integer(toml::int128(10000000000000000000ULL)), "10000000000000000000"s);
    CHECK_EQ(integer(toml::int128(10000000000000000000ULL) * 10), "100000000000000000000"s);
}

TEST("floats in shortest positional form") {
    CHECK_EQ(flt(1.0), "1.0"s);
    CHECK_EQ(flt(-3.0), "-3.0"s);
    CHECK_EQ(flt(0.1), "0.1"s);
    CHECK_EQ(flt(2.5), "2.5"s);
    CHECK_EQ(flt(0.0), "0.0"s);
    CHECK_EQ(flt(-0.0), "-0.0"s);
    CHECK_EQ(flt(std::nan("")), "nan"s);
    CHECK_EQ(flt(-std::nan("")), "nan"s);
    CHECK_EQ(flt(std::numeric_limits<double>::infinity()), "inf"s);
    CHECK_EQ(flt(-std::numeric_limits<double>::infinity()), "-inf"s);
    CHECK_EQ(flt(1e16), "10000000000000000.0"s);
    CHECK_EQ(flt(1e-7), "0.0000001"s);
    CHECK_EQ(flt(1e300), "1" + std::string(300, '0') + ".0");
    CHECK_EQ(flt(5e-324), "0." + std::string(323, '0') + "5");
    CHECK_EQ(flt(1e23), "100000000000000000000000.0"s);
    CHECK_EQ(flt(0.30000000000000004), "0.30000000000000004"s);
    CHECK_EQ(flt(4503599627370495.5), "4503599627370495.5"s);
    std::string largest = flt(std::numeric_limits<double>::max());
    CHECK_EQ(largest.size(), std::size_t{311});
    CHECK_EQ(largest.substr(0, 17), "17976931348623157"s);
}

TEST("the whole-number test on floats agrees with fmod") {
    // A spread of magnitudes and fractions, including values near 2^52/2^53
    // where whole and fractional doubles meet.
    double values[] = {0.5, 1.5, 123456.75, 4503599627370496.0, 4503599627370497.0, 9007199254740993.0,
                       1e15 + 0.5, 1e22, 123.0, 1e-300, 7e-10, 2.0 / 3.0, 1e308, 3.0e10 + 0.25};
    for (double v : {1.0, -1.0}) {
        for (double x : values) {
            double value = v * x;
            std::string text = flt(value);
            bool whole = std::fmod(value, 1.0) == 0.0;
            CHECK_EQ(text.size() > 2 && text.compare(text.size() - 2, 2, ".0") == 0 && whole, whole);
            CHECK(std::strtod(text.c_str(), nullptr) == value);
        }
    }
}

TEST("date-times from their components") {
    toml::DateTime v{};
    v.has_date = true;
    v.date = {1979, 5, 27};
    CHECK_EQ(dt(v), "1979-05-27"s);
    v.date = {5, 1, 2};
    CHECK_EQ(dt(v), "0005-01-02"s);

    v = {};
    v.has_time = true;
    v.time = {7, 32, 0, true, false, 0};
    CHECK_EQ(dt(v), "07:32:00"s);
    v.time = {7, 32, 0, false, false, 0};
    CHECK_EQ(dt(v), "07:32"s);
    v.time = {7, 32, 0, false, true, 500000000};
    CHECK_EQ(dt(v), "07:32:00.5"s);  // seconds written when a fraction is
    v.time = {7, 32, 5, true, true, 123000};
    CHECK_EQ(dt(v), "07:32:05.000123"s);
    v.time = {7, 32, 5, true, true, 120000000};
    CHECK_EQ(dt(v), "07:32:05.12"s);
    v.time = {7, 32, 5, true, true, 0};
    CHECK_EQ(dt(v), "07:32:05.0"s);
    v.time = {23, 59, 59, true, true, 999999999};
    CHECK_EQ(dt(v), "23:59:59.999999999"s);

    v = {};
    v.has_date = v.has_time = true;
    v.date = {1979, 5, 27};
    v.time = {0, 32, 0, true, true, 999999000};
    CHECK_EQ(dt(v), "1979-05-27T00:32:00.999999"s);
    v.offset = toml::OffsetKind::Utc;
    CHECK_EQ(dt(v), "1979-05-27T00:32:00.999999Z"s);
    v.offset = toml::OffsetKind::Minutes;
    v.offset_minutes = -420;
    CHECK_EQ(dt(v), "1979-05-27T00:32:00.999999-07:00"s);
    v.offset_minutes = 330;
    CHECK_EQ(dt(v), "1979-05-27T00:32:00.999999+05:30"s);
    v.offset_minutes = -30;
    CHECK_EQ(dt(v), "1979-05-27T00:32:00.999999-00:30"s);
    v.offset_minutes = 1439;
    CHECK_EQ(dt(v), "1979-05-27T00:32:00.999999+23:59"s);
}
