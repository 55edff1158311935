// Number parsing with the syntax and rounding of Python's float() on a string.
//
// Accepted, after removing leading and trailing whitespace:
//     [sign] ("inf" | "infinity" | "nan")          letters in any case
//     [sign] digits ["." [digits]] [exponent]
//     [sign] "." digits [exponent]
//     exponent: ("e" | "E") [sign] digits
// where digits may hold single underscores between two digits ("1_000"). The value is the
// correctly rounded double (overflow gives an infinity, underflow a zero or subnormal), "-0"
// keeps its sign, and "nan" / "-nan" are the quiet NaNs 0x7ff8... / 0xfff8....
//
// The ASCII form sees only ASCII: whitespace is " \t\n\v\f\r". The UCS forms take Python's
// code units and, like float(), also accept Unicode whitespace as blanks and Unicode decimal
// digits (for example Arabic-Indic digits) as digits.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tabrix {

// Returns false (out untouched) when the text is not a number.
bool parse_float_ascii(const char* s, size_t n, double* out);
bool parse_float_ucs1(const uint8_t* s, size_t n, double* out);
bool parse_float_ucs2(const uint16_t* s, size_t n, double* out);
bool parse_float_ucs4(const uint32_t* s, size_t n, double* out);

// Short cut for the most common numbers: ASCII text of n <= 16 bytes of the form
// [sign] digits ["." digits] (no blanks, exponent or underscores), given as two little-endian
// words zero padded beyond n (as TextKey holds it). Returns false, leaving *out alone, for
// anything else, which the general functions above then parse. Few data-dependent branches.
bool parse_simple_decimal16(uint64_t lo, uint64_t hi, size_t n, double* out);

}  // namespace tabrix
