// Values written as text the way the tool's CSV files hold them: whole numbers in decimal, dates
// as YYYY-MM-DD and times as YYYY-MM-DD HH:MM:SS with a fraction only where there is one. Pure
// C++, no Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tabrix {
namespace text_format {

// Appends a double as Python's repr() writes it: the shortest digits that read back as the same
// double, in fixed notation with at least one digit after the point when the decimal exponent
// lies in [-4, 16), else as d.ddde+XX; "nan", "inf" and "-inf" for the others.
void append_double_repr(std::string& out, double value);

// Appends the decimal text of an integer.
void append_int(std::string& out, int64_t value);
void append_uint(std::string& out, uint64_t value);

// Appends the date `days` after 1970-01-01 (proleptic Gregorian, negative days before it) as
// YYYY-MM-DD; years outside 0..9999 are written with a sign and as many digits as they need.
void append_date(std::string& out, int64_t days);

// Appends the time `ticks` after 1970-01-01 00:00:00, in units of 1 / `ticks_per_second`
// seconds (1, 1000, 1000000 or 1000000000): the date alone at midnight, else
// "YYYY-MM-DD HH:MM:SS", followed by ".ffffff" (or nine digits where the nanoseconds need them)
// when the time has a fraction of a second.
void append_timestamp(std::string& out, int64_t ticks, int64_t ticks_per_second);

}  // namespace text_format
}  // namespace tabrix
