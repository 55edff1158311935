// String cleaning: case folding with every character that is not a letter or a digit removed.
//
// The rule is that of Python: the result of a string s is
//     "".join(c for c in s.casefold() if c.isalnum())
// with the Unicode data of unicode::kUnicodeVersion. Case folding is full folding, one code
// point at a time ("ß" -> "ss"), so a code point becomes zero to three code points.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/swar.h"

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

// The same for ASCII text of n <= 16 bytes given as two little-endian words, zero padded
// beyond n (as TextKey holds it), computed without data-dependent branches. Inline: called
// once per cell.
inline int parse_bool_word_ascii16(uint64_t lo, uint64_t hi, size_t n) noexcept {
#if defined(__SIZEOF_INT128__)
    using swar::bytes_in_range;
    using swar::first_bytes;
    // Whitespace as str.isspace() sees it in ASCII: \t-\r and \x1c-' '.
    const uint64_t ws_lo = bytes_in_range(lo, 9, 13) | bytes_in_range(lo, 0x1c, 0x20);
    const uint64_t ws_hi = bytes_in_range(hi, 9, 13) | bytes_in_range(hi, 0x1c, 0x20);
    const uint64_t keep_lo = first_bytes(n) & ~ws_lo;
    const uint64_t keep_hi = first_bytes(n > 8 ? n - 8 : 0) & ~ws_hi;
    const unsigned __int128 keep = (static_cast<unsigned __int128>(keep_hi) << 64) | keep_lo;
    const unsigned __int128 text = (static_cast<unsigned __int128>(hi) << 64) | lo;
    // First and last non-blank bytes (keep | 1 and the top guard only avoid ctz/clz of 0).
    const int first =
        static_cast<int>(__builtin_ctzll(keep_lo ? keep_lo : (keep_hi | (uint64_t(1) << 63))) / 8) +
        (keep_lo ? 0 : 8);
    const int last =
        keep_hi ? 15 - __builtin_clzll(keep_hi) / 8 : 7 - __builtin_clzll(keep_lo | 1) / 8;
    const int len = last - first + 1;
    const uint64_t word = static_cast<uint64_t>(text >> ((8 * first) & 127)) | 0x2020202020ULL;
    const bool is_true = (keep != 0) & (len == 4) & ((word & 0xFFFFFFFFULL) == 0x65757274ULL);
    const bool is_false = (keep != 0) & (len == 5) & ((word & 0xFFFFFFFFFFULL) == 0x65736c6166ULL);
    return static_cast<int>(is_true) - static_cast<int>(!is_true & !is_false);
#else
    unsigned char b[16];
    for (int i = 0; i < 8; ++i) {
        b[i] = static_cast<unsigned char>(lo >> (8 * i));
        b[8 + i] = static_cast<unsigned char>(hi >> (8 * i));
    }
    return parse_bool_word_ucs1(b, n);
#endif
}

// Version of the Unicode data the tables were generated from.
const char* unicode_version() noexcept;

}  // namespace tabrix
