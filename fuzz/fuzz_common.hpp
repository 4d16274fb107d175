// Shared by the fuzz targets: a check that aborts with a message (so the
// fuzzer records the input) and a strict UTF-8 validator.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string_view>

[[noreturn]] inline void broken(const char* what) {
    __builtin_printf("invariant broken: %s\n", what);
    std::abort();
}

#define REQUIRE(cond)               \
    do {                            \
        if (!(cond)) broken(#cond); \
    } while (0)

// Whether `s` is well-formed UTF-8 (no overlongs, surrogates or code points
// past U+10FFFF); `ascii` tells whether every byte is below 0x80.
inline bool valid_utf8(std::string_view s, bool* ascii) {
    *ascii = true;
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const auto* end = p + s.size();
    while (p < end) {
        unsigned c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        *ascii = false;
        int n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
        if (n == 0 || c > 0xF4 || end - p < n) return false;
        std::uint32_t cp = c & (0x7F >> n);
        for (int i = 1; i < n; ++i) {
            if ((p[i] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[i] & 0x3F);
        }
        if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF))) return false;
        if (cp >= 0xD800 && cp <= 0xDFFF) return false;
        p += n;
    }
    return true;
}
