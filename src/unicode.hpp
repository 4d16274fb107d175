// str objects from UTF-8 text the module already knows to be well-formed:
// the parser's decoded strings and the serializer's output.
//
// One pass measures the text (its length in code points and its largest
// byte, which tells the str's kind: a lead byte of C2 or C3 starts
// U+0080..U+00FF, C4 to EF the rest of the BMP, F0 and above the
// supplementary planes); the str is then created once at its final size and
// kind and decoded straight into. The result is the same compact str that
// PyUnicode_FromStringAndSize makes, without the interpreter's widening and
// resizing on the way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "py.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vexil {

namespace unicode_detail {

// The number of continuation bytes (10xxxxxx) in [p, end) and the largest byte.
inline void measure_utf8(const unsigned char* p, const unsigned char* end, std::size_t& continuation,
                         unsigned& largest) {
    std::size_t count = 0;
    unsigned top = 0;
#if defined(__SSE2__)
    if (end - p >= 16) {
        const __m128i zero = _mm_setzero_si128();
        const __m128i below = _mm_set1_epi8(static_cast<char>(0xC0));  // continuation bytes are < 0xC0 signed
        __m128i most = zero;
        while (end - p >= 16) {
            // Per-lane counts (a true compare is -1) for at most 255 blocks,
            // then summed across lanes.
            __m128i lanes = zero;
            for (int block = 0; block < 255 && end - p >= 16; ++block) {
                __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
                most = _mm_max_epu8(most, v);
                lanes = _mm_sub_epi8(lanes, _mm_cmplt_epi8(v, below));
                p += 16;
            }
            __m128i sums = _mm_sad_epu8(lanes, zero);
            count += static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) +
                     static_cast<std::size_t>(_mm_cvtsi128_si32(_mm_unpackhi_epi64(sums, sums)));
        }
        alignas(16) unsigned char bytes[16];
        _mm_store_si128(reinterpret_cast<__m128i*>(bytes), most);
        for (unsigned char b : bytes) {
            top = b > top ? b : top;
        }
    }
#endif
    for (; p < end; ++p) {
        count += (*p & 0xC0) == 0x80;
        top = *p > top ? *p : top;
    }
    continuation = count;
    largest = top;
}

// Copies a run of ASCII bytes into code units, sixteen (SSE2) or eight bytes
// at a time while the run lasts; returns where the run ends.
template <class Unit>
inline const unsigned char* copy_ascii_run(const unsigned char* p, const unsigned char* end, Unit*& out) {
#if defined(__SSE2__)
    if constexpr (sizeof(Unit) > 1) {
        const __m128i zero = _mm_setzero_si128();
        while (end - p >= 16) {
            __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            if (_mm_movemask_epi8(bytes) != 0) {
                break;
            }
            __m128i low = _mm_unpacklo_epi8(bytes, zero), high = _mm_unpackhi_epi8(bytes, zero);
            auto* dst = reinterpret_cast<__m128i*>(out);
            if constexpr (sizeof(Unit) == 2) {
                _mm_storeu_si128(dst, low);
                _mm_storeu_si128(dst + 1, high);
            } else {
                _mm_storeu_si128(dst, _mm_unpacklo_epi16(low, zero));
                _mm_storeu_si128(dst + 1, _mm_unpackhi_epi16(low, zero));
                _mm_storeu_si128(dst + 2, _mm_unpacklo_epi16(high, zero));
                _mm_storeu_si128(dst + 3, _mm_unpackhi_epi16(high, zero));
            }
            out += 16;
            p += 16;
        }
    }
#endif
    while (end - p >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        if ((word & 0x8080808080808080ull) != 0) {
            break;
        }
        for (int i = 0; i < 8; ++i) {
            out[i] = static_cast<Unit>(p[i]);
        }
        out += 8;
        p += 8;
    }
    while (p < end && *p < 0x80) {
        *out++ = static_cast<Unit>(*p++);
    }
    return p;
}

// Decodes UTF-8 into the code units of a str (one, two or four bytes each).
// Returns false on a malformed sequence. A continuation byte XOR 0x80 is its
// six payload bits and anything else comes out at 0x40 or above, so one
// compare checks a whole sequence's tail. Each unit written consumes one
// byte that is not a continuation byte, so a malformed text can never write
// past the measured length: decoding stops at the first bad sequence.
template <class Unit>
bool decode_utf8(const unsigned char* p, const unsigned char* end, Unit* out) {
    while (p < end) {
        std::uint32_t c = *p;
        if (c < 0x80) {
            p = copy_ascii_run(p, end, out);
            continue;
        }
        std::ptrdiff_t left = end - p;
        if (c >= 0xE0) {
            if (c < 0xF0) {
                if (left < 3) {
                    return false;
                }
                std::uint32_t b1 = p[1] ^ 0x80u, b2 = p[2] ^ 0x80u;
                if ((b1 | b2) >= 0x40) {
                    return false;
                }
                c = ((c & 0x0F) << 12) | (b1 << 6) | b2;
                if (c < 0x800 || c - 0xD800 < 0x800) {  // overlong, or a surrogate
                    return false;
                }
                p += 3;
            } else {
                if (c > 0xF4 || left < 4) {
                    return false;
                }
                std::uint32_t b1 = p[1] ^ 0x80u, b2 = p[2] ^ 0x80u, b3 = p[3] ^ 0x80u;
                if ((b1 | b2 | b3) >= 0x40) {
                    return false;
                }
                c = ((c & 0x07) << 18) | (b1 << 12) | (b2 << 6) | b3;
                if (c < 0x10000 || c > 0x10FFFF) {
                    return false;
                }
                p += 4;
            }
        } else {
            if (c < 0xC2 || left < 2) {
                return false;
            }
            std::uint32_t b1 = p[1] ^ 0x80u;
            if (b1 >= 0x40) {
                return false;
            }
            c = ((c & 0x1F) << 6) | b1;
            p += 2;
        }
        *out++ = static_cast<Unit>(c);
    }
    return true;
}

}  // namespace unicode_detail

// A new str holding `text`, which should be well-formed UTF-8; if it is not
// after all, the interpreter's decoder is asked and reports what is wrong.
// Returns nullptr with a Python exception set on failure.
inline PyObject* str_from_utf8(std::string_view text) {
    using namespace unicode_detail;
    const auto* begin = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = begin + text.size();
    std::size_t continuation = 0;
    unsigned largest = 0;
    measure_utf8(begin, end, continuation, largest);
    auto length = static_cast<Py_ssize_t>(text.size() - continuation);
    Py_UCS4 maxchar = largest >= 0xF0 ? 0x10FFFF : largest >= 0xC4 ? 0xFFFF : largest >= 0x80 ? 0xFF : 0x7F;
    PyRef str = PyRef::steal(PyUnicode_New(length, maxchar));
    if (!str) {
        return nullptr;
    }
    bool decoded = true;
    switch (PyUnicode_KIND(str.get())) {
        case PyUnicode_1BYTE_KIND:
            if (maxchar == 0x7F) {
                std::memcpy(PyUnicode_1BYTE_DATA(str.get()), begin, text.size());
            } else {
                decoded = decode_utf8(begin, end, PyUnicode_1BYTE_DATA(str.get()));
            }
            break;
        case PyUnicode_2BYTE_KIND:
            decoded = decode_utf8(begin, end, PyUnicode_2BYTE_DATA(str.get()));
            break;
        default:
            decoded = decode_utf8(begin, end, PyUnicode_4BYTE_DATA(str.get()));
            break;
    }
    if (!decoded) {
        return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
    }
    return str.release();
}

// A new str holding the writer's output: text known to be ASCII is already
// the str's own form and takes one copy, anything else is decoded.
inline PyObject* str_from_output(std::string_view text, bool ascii) {
    if (!ascii) {
        return str_from_utf8(text);
    }
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
    if (str != nullptr) {
        std::memcpy(PyUnicode_1BYTE_DATA(str), text.data(), text.size());
    }
    return str;
}

}  // namespace vexil
