// toml++ as the benchmark's peer. Kept in its own translation unit: both
// libraries use the namespace `toml`.
#define TOML_HEADER_ONLY 1
#define TOML_ENABLE_FORMATTERS 0
#include <toml++/toml.h>

#include <string_view>

// Parses `text` with toml++; returns the root table's size, or -1 on error.
long tomlpp_parse(std::string_view text) {
    try {
        toml::table t = toml::parse(text);
        return static_cast<long>(t.size());
    } catch (const toml::parse_error&) {
        return -1;
    }
}
