// toml-test decoder: reads TOML on stdin; on success prints the document as
// toml-test's tagged JSON on stdout and exits 0, on failure prints
// "<message> at byte <offset>" on stderr and exits 1.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>

#include "toml/toml.hpp"

namespace {

void put_json_string(std::string& out, std::string_view s) {
    static const char kHex[] = "0123456789abcdef";
    out += '"';
    for (char c : s) {
        unsigned char u = static_cast<unsigned char>(c);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            default:
                if (u < 0x20 || u == 0x7F) {
                    out += "\\u00";
                    out += kHex[u >> 4];
                    out += kHex[u & 15];
                } else {
                    out += c;
                }
        }
    }
    out += '"';
}

std::string integer_text(const toml::Integer& v) {
    char buf[48];
    char* p = buf + sizeof buf;
    toml::uint128 m = v.magnitude;
    do {
        *--p = static_cast<char>('0' + static_cast<int>(m % 10));
        m /= 10;
    } while (m != 0);
    if (v.negative) *--p = '-';
    return std::string(p, buf + sizeof buf);
}

std::string float_text(double d) {
    if (std::isnan(d)) return "nan";
    if (std::isinf(d)) return d < 0 ? "-inf" : "inf";
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, d);
    return std::string(buf, r.ptr);
}

void put2(std::string& out, unsigned v) {
    out += static_cast<char>('0' + v / 10);
    out += static_cast<char>('0' + v % 10);
}

std::string datetime_text(const toml::DateTime& dt) {
    std::string out;
    if (dt.has_date) {
        put2(out, dt.date.year / 100);
        put2(out, dt.date.year % 100);
        out += '-';
        put2(out, dt.date.month);
        out += '-';
        put2(out, dt.date.day);
    }
    if (dt.has_date && dt.has_time) out += 'T';
    if (dt.has_time) {
        put2(out, dt.time.hour);
        out += ':';
        put2(out, dt.time.minute);
        out += ':';
        put2(out, dt.time.second);
        if (dt.time.has_fraction) {
            char digits[10];
            std::uint32_t ns = dt.time.nanosecond;
            for (int i = 8; i >= 0; --i) {
                digits[i] = static_cast<char>('0' + ns % 10);
                ns /= 10;
            }
            int n = 9;
            while (n > 1 && digits[n - 1] == '0') --n;
            out += '.';
            out.append(digits, static_cast<std::size_t>(n));
        }
    }
    if (dt.offset == toml::OffsetKind::Utc) {
        out += 'Z';
    } else if (dt.offset == toml::OffsetKind::Minutes) {
        int m = dt.offset_minutes;
        out += m < 0 ? '-' : '+';
        if (m < 0) m = -m;
        put2(out, static_cast<unsigned>(m / 60));
        out += ':';
        put2(out, static_cast<unsigned>(m % 60));
    }
    return out;
}

void put_tagged(std::string& out, const char* type, const std::string& value) {
    out += "{\"type\":\"";
    out += type;
    out += "\",\"value\":";
    put_json_string(out, value);
    out += '}';
}

void put_value(std::string& out, toml::Value v);

void put_table(std::string& out, toml::Table t) {
    out += '{';
    bool first = true;
    for (auto entry : t) {
        if (!first) out += ',';
        first = false;
        put_json_string(out, entry.key.text);
        out += ':';
        put_value(out, entry.value);
    }
    out += '}';
}

void put_value(std::string& out, toml::Value v) {
    switch (v.type()) {
        case toml::Type::Table:
            put_table(out, v.table());
            return;
        case toml::Type::Array: {
            out += '[';
            bool first = true;
            for (toml::Value item : v.array()) {
                if (!first) out += ',';
                first = false;
                put_value(out, item);
            }
            out += ']';
            return;
        }
        case toml::Type::String:
            put_tagged(out, "string", std::string(v.string()));
            return;
        case toml::Type::Integer:
            put_tagged(out, "integer", integer_text(v.integer()));
            return;
        case toml::Type::Float:
            put_tagged(out, "float", float_text(v.floating().value));
            return;
        case toml::Type::Boolean:
            put_tagged(out, "bool", v.boolean() ? "true" : "false");
            return;
        case toml::Type::DateTime: {
            const toml::DateTime& dt = v.datetime();
            const char* type = dt.offset != toml::OffsetKind::None ? "datetime"
                               : dt.has_date && dt.has_time      ? "datetime-local"
                               : dt.has_date                     ? "date-local"
                                                                 : "time-local";
            put_tagged(out, type, datetime_text(dt));
            return;
        }
    }
}

// Finds the first integer or float whose literal was out of range.
bool overflowed(toml::Value v, std::size_t* offset, const char** what) {
    switch (v.type()) {
        case toml::Type::Integer:
            if (v.integer().overflow) {
                *offset = v.offset();
                *what = "integer number overflowed";
                return true;
            }
            return false;
        case toml::Type::Float:
            if (v.floating().overflow) {
                *offset = v.offset();
                *what = "floating-point number overflowed";
                return true;
            }
            return false;
        case toml::Type::Array:
            for (toml::Value item : v.array())
                if (overflowed(item, offset, what)) return true;
            return false;
        case toml::Type::Table:
            for (auto entry : v.table())
                if (overflowed(entry.value, offset, what)) return true;
            return false;
        default:
            return false;
    }
}

}  // namespace

int main() {
    std::string input;
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, stdin)) > 0) input.append(buf, n);

    toml::ParseResult result = toml::parse(input);
    if (!result) {
        std::fprintf(stderr, "%s at byte %zu\n", result.error().message.c_str(), result.error().offset);
        return 1;
    }
    // Values beyond what the module can represent are errors there, as in
    // toml-test's expectations for out-of-range integers.
    toml::Table root = result.document().root();
    for (auto entry : root) {
        std::size_t offset = 0;
        const char* what = nullptr;
        if (overflowed(entry.value, &offset, &what)) {
            std::fprintf(stderr, "%s at byte %zu\n", what, offset);
            return 1;
        }
    }
    std::string out;
    put_table(out, root);
    out += '\n';
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
}
