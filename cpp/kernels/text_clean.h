// String cleaning: case folding with every character that is not a letter or a digit removed.
//
// The rule is that of Python: the result of a string s is
//     "".join(c for c in s.casefold() if c.isalnum())
// with the Unicode data of unicode::kUnicodeVersion. Case folding is full folding, one code
// point at a time ("ß" -> "ss"), so a code point becomes zero to three code points.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tabrix {

// ASCII fast path: writes the cleaned form of s[0..n) to out (room for n bytes) and returns
// its length. Every byte must be below 0x80.
size_t clean_ascii(const char* s, size_t n, char* out) noexcept;

// True when clean_ascii would return s unchanged (only lower-case letters and digits).
bool ascii_is_clean(const char* s, size_t n) noexcept;

// Writes the cleaned form of code point cp to out (room for 3) and returns its length (0-3).
size_t clean_codepoint(uint32_t cp, uint32_t* out) noexcept;

// Cleans a string of code units (1, 2 or 4 bytes each, as Python stores strings) into code
// points: out needs room for 3 * n. Returns the number of code points written.
size_t clean_ucs1(const uint8_t* s, size_t n, uint32_t* out) noexcept;
size_t clean_ucs2(const uint16_t* s, size_t n, uint32_t* out) noexcept;
size_t clean_ucs4(const uint32_t* s, size_t n, uint32_t* out) noexcept;

// UTF-8 encoding of code points (out needs room for 4 * n bytes). Surrogate code points are
// encoded as three bytes like any other (the cleaned text never holds them).
size_t utf8_encode(const uint32_t* cps, size_t n, char* out) noexcept;

// Python's str.isspace() for one code point.
bool is_space(uint32_t cp) noexcept;

// "true" -> 1, "false" -> 0 (any ASCII letter case, surrounding whitespace ignored), anything
// else -> -1.
int parse_bool_word_ucs1(const uint8_t* s, size_t n) noexcept;
int parse_bool_word_ucs2(const uint16_t* s, size_t n) noexcept;
int parse_bool_word_ucs4(const uint32_t* s, size_t n) noexcept;

// Version of the Unicode data the tables were generated from.
const char* unicode_version() noexcept;

}  // namespace tabrix
