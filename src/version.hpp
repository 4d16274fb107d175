// The module's version string, derived from the package version text.
#pragma once

#include <string>
#include <string_view>

namespace vexil {

// Replaces every occurrence of `from` in `text` with `to`.
inline std::string replace_all(std::string text, std::string_view from, std::string_view to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// "1.2.0-alpha1" -> "1.2.0a1", "1.2.0-beta2" -> "1.2.0b2"; other texts unchanged.
inline std::string version_string(std::string_view build_version) {
    return replace_all(replace_all(std::string(build_version), "-alpha", "a"), "-beta", "b");
}

}  // namespace vexil
