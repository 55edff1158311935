#include "kernels/text_format.h"

#include <charconv>
#include <cmath>

namespace tabrix {
namespace text_format {

namespace {

void append_digits(std::string& out, uint64_t value, int width) {
    char buf[24];
    int n = 0;
    do {
        buf[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value && n < 24);
    for (int k = n; k < width; ++k) out.push_back('0');
    while (n) out.push_back(buf[--n]);
}

}  // namespace

void append_double_repr(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "nan";
        return;
    }
    if (std::isinf(value)) {
        out += value < 0 ? "-inf" : "inf";
        return;
    }
    // The shortest digits, closest to the value among the shortest (as Python's repr picks
    // them), read off the scientific form d.ddde[+-]X.
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    const char* p = buf;
    const char* end = r.ptr;
    if (*p == '-') {
        out.push_back('-');
        ++p;
    }
    char digits[32];
    int n = 0;
    for (; p < end && *p != 'e'; ++p) {
        if (*p != '.') digits[n++] = *p;
    }
    int exponent = 0;
    std::from_chars(p + 1 + (p[1] == '+'), end, exponent);
    if (exponent >= -4 && exponent < 16) {
        if (exponent < 0) {
            out += "0.";
            out.append(static_cast<size_t>(-exponent - 1), '0');
            out.append(digits, static_cast<size_t>(n));
        } else if (n <= exponent + 1) {
            out.append(digits, static_cast<size_t>(n));
            out.append(static_cast<size_t>(exponent + 1 - n), '0');
            out += ".0";
        } else {
            out.append(digits, static_cast<size_t>(exponent + 1));
            out.push_back('.');
            out.append(digits + exponent + 1, static_cast<size_t>(n - exponent - 1));
        }
        return;
    }
    out.push_back(digits[0]);
    if (n > 1) {
        out.push_back('.');
        out.append(digits + 1, static_cast<size_t>(n - 1));
    }
    out.push_back('e');
    out.push_back(exponent < 0 ? '-' : '+');
    append_digits(out, static_cast<uint64_t>(exponent < 0 ? -exponent : exponent), 2);
}

void append_int(std::string& out, int64_t value) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, r.ptr);
}

void append_uint(std::string& out, uint64_t value) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, r.ptr);
}

namespace {

// Days since 1970-01-01 to a civil date (Howard Hinnant's algorithm, exact for every int64 day
// count that does not overflow the year).
void civil_from_days(int64_t z, int64_t* year, unsigned* month, unsigned* day) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const uint64_t doe = static_cast<uint64_t>(z - era * 146097);                // [0, 146096]
    const uint64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;  // [0, 399]
    const uint64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);                // [0, 365]
    const uint64_t mp = (5 * doy + 2) / 153;                                     // [0, 11]
    *day = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
    *month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
    *year = static_cast<int64_t>(yoe) + era * 400 + (*month <= 2);
}

// Floor division and the matching non-negative remainder.
int64_t floor_div(int64_t a, int64_t b, int64_t* rem) {
    int64_t q = a / b, r = a % b;
    if (r < 0) {
        r += b;
        --q;
    }
    *rem = r;
    return q;
}

}  // namespace

void append_date(std::string& out, int64_t days) {
    int64_t year;
    unsigned month, day;
    civil_from_days(days, &year, &month, &day);
    if (year < 0) {
        out.push_back('-');
        append_digits(out, static_cast<uint64_t>(-year), 4);
    } else {
        if (year > 9999) out.push_back('+');
        append_digits(out, static_cast<uint64_t>(year), 4);
    }
    out.push_back('-');
    append_digits(out, month, 2);
    out.push_back('-');
    append_digits(out, day, 2);
}

void append_timestamp(std::string& out, int64_t ticks, int64_t ticks_per_second) {
    if (ticks_per_second < 1) ticks_per_second = 1;
    int64_t fraction;
    const int64_t seconds = floor_div(ticks, ticks_per_second, &fraction);
    int64_t second_of_day;
    const int64_t days = floor_div(seconds, 86400, &second_of_day);
    append_date(out, days);
    if (second_of_day == 0 && fraction == 0) return;
    out.push_back(' ');
    append_digits(out, static_cast<uint64_t>(second_of_day / 3600), 2);
    out.push_back(':');
    append_digits(out, static_cast<uint64_t>(second_of_day / 60 % 60), 2);
    out.push_back(':');
    append_digits(out, static_cast<uint64_t>(second_of_day % 60), 2);
    if (fraction == 0) return;
    // As nanoseconds, written with six digits unless the last three are needed.
    int64_t nanos = fraction;
    for (int64_t t = ticks_per_second; t < 1000000000; t *= 10) nanos *= 10;
    for (int64_t t = ticks_per_second; t > 1000000000; t /= 10) nanos /= 10;
    out.push_back('.');
    if (nanos % 1000 == 0) {
        append_digits(out, static_cast<uint64_t>(nanos / 1000), 6);
    } else {
        append_digits(out, static_cast<uint64_t>(nanos), 9);
    }
}

}  // namespace text_format
}  // namespace tabrix
