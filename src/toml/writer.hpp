// vexil's TOML text writers: the forms in which single values are written.
//
// Every function appends to a caller-owned std::string and chooses its form
// from the bytes of its input alone. They know nothing about documents or
// layout (that is the caller's business); they only guarantee that what they
// append reads back, in any TOML 1.1.0 reader, as exactly the value given.
//
// Texts are UTF-8 and are never validated or transcoded here: bytes of
// non-ASCII characters are copied as they are.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "toml/toml.hpp"

namespace toml {

__extension__ typedef __int128 int128;

// A string value in the first of these forms that can hold it:
//   1. basic "..."            no double quote, backslash, line feed or control byte
//   2. literal '...'          no single quote, line feed or control byte
//   3. multi-line basic       no control byte, no backslash, no run of three double quotes
//   4. multi-line literal     no control byte, no run of three single quotes
//   5. multi-line basic       anything else that holds a line feed (with escapes)
//   6. basic                  anything else
// A control byte is one below 0x20 other than tab and line feed, or 0x7F.
// The multi-line forms start with a line feed after the opening quotes when
// the text holds one, so the reader's dropped first newline costs nothing.
void write_string(std::string& out, std::string_view text);
// The same, or with `multiline` false never a multi-line form: rule 2 when
// it applies, else basic with escapes (a line feed written as \n).
void write_string(std::string& out, std::string_view text, bool multiline);

// How a key is written: bare when it is non-empty and only ASCII letters,
// digits, '-' and '_'; literal ('...') when it holds a backslash or a double
// quote but no single quote and no control character (tab allowed); basic
// ("..." with escapes) otherwise.
enum class KeyForm : std::uint8_t { Bare, Literal, Basic };
KeyForm key_form(std::string_view text) noexcept;

// Appends the key in the form key_form() chooses.
void write_key(std::string& out, std::string_view text);
// Appends the key in the given form (the caller guarantees it can hold it).
void write_key(std::string& out, std::string_view text, KeyForm form);

// Integers in plain decimal: a '-' for negatives, no '+', no separators.
void write_integer(std::string& out, std::int64_t value);
void write_integer(std::string& out, int128 value);
void write_integer(std::string& out, uint128 value);  // up to 2^128-1

// A float in shortest round-trip positional notation (never an exponent):
// "nan" for any NaN, "inf"/"-inf", "0.0"/"-0.0", whole numbers with ".0"
// appended (1e16 -> "10000000000000000.0"), others as they are (1e-7 ->
// "0.0000001"). Returns false only if the number could not be formatted.
bool write_float(std::string& out, double value);

// A date-time value from its components: the date as YYYY-MM-DD, "T" between
// date and time, the time as HH:MM[:SS][.fraction] (seconds written when
// present or when a fraction is), the fraction as its nanoseconds in nine
// digits with trailing zeros removed, then "Z" or +HH:MM / -HH:MM.
void write_datetime(std::string& out, const DateTime& value);

}  // namespace toml
