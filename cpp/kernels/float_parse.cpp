#include "kernels/float_parse.h"

#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <system_error>
#include <vector>

#include "kernels/swar.h"
#include "kernels/unicode_tables.h"

#if !defined(__cpp_lib_to_chars) || __cpp_lib_to_chars < 201611L
#define TABRIX_STRTOD_FALLBACK 1
#include <clocale>
#if defined(_WIN32)
#include <locale.h>
#else
#include <locale.h>
#if defined(__APPLE__)
#include <xlocale.h>
#endif
#endif
#endif

namespace tabrix {

namespace {

inline bool ascii_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
inline bool is_digit(char c) { return c >= '0' && c <= '9'; }
inline char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool word_eq(const char* s, size_t n, const char* word) {
    size_t m = std::strlen(word);
    if (n != m) return false;
    for (size_t i = 0; i < n; ++i)
        if (lower(s[i]) != word[i]) return false;
    return true;
}

// Reads digits with single underscores between digits starting at s[*i], appending the
// digits to buf. Returns the number of digits read (0 when s[*i] is not a digit); false in
// *ok on a misplaced underscore.
size_t read_digits(const char* s, size_t n, size_t* i, char* buf, size_t* k, bool* ok) {
    size_t count = 0;
    size_t j = *i;
    while (j < n) {
        if (is_digit(s[j])) {
            buf[(*k)++] = s[j++];
            ++count;
        } else if (s[j] == '_' && count > 0 && j + 1 < n && is_digit(s[j + 1])) {
            ++j;
        } else {
            break;
        }
    }
    if (j < n && s[j] == '_') *ok = false;
    *i = j;
    return count;
}

#ifdef TABRIX_STRTOD_FALLBACK
// strtod in the C locale, whatever LC_NUMERIC the process has set.
double c_locale_strtod(const char* s) {
#if defined(_WIN32)
    static _locale_t c_locale = _create_locale(LC_NUMERIC, "C");
    return _strtod_l(s, nullptr, c_locale);
#else
    static locale_t c_locale = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
    return strtod_l(s, nullptr, c_locale);
#endif
}
#endif

// Decimal exponent of the leading non-zero digit of the normalized text (digits, optional
// '.', optional 'e' and a signed exponent), saturated; only its sign is used.
long long leading_exponent(const char* buf, size_t k) {
    size_t i = 0;
    long long pos = 0;  // digits before the point minus leading zeros
    bool seen_point = false, nonzero = false;
    long long point_shift = 0;
    for (; i < k && buf[i] != 'e'; ++i) {
        if (buf[i] == '.') {
            seen_point = true;
            continue;
        }
        if (!nonzero && buf[i] == '0') {
            if (seen_point) --point_shift;
            continue;
        }
        if (!nonzero) nonzero = true;
        if (!seen_point) ++pos;
    }
    long long exponent = 0;
    if (i < k) {
        ++i;
        bool neg = false;
        if (i < k && (buf[i] == '+' || buf[i] == '-')) neg = buf[i++] == '-';
        for (; i < k; ++i) {
            if (exponent < 1000000000LL) exponent = exponent * 10 + (buf[i] - '0');
        }
        if (neg) exponent = -exponent;
    }
    return exponent + (pos > 0 ? pos : point_shift);
}

// Converts the normalized text buf[0..k) (digits, optional '.', optional 'e' and a signed
// exponent, no sign in front) to a double.
double convert(const char* buf, size_t k) {
#ifndef TABRIX_STRTOD_FALLBACK
    double v = 0.0;
    auto r = std::from_chars(buf, buf + k, v, std::chars_format::general);
    if (r.ec == std::errc()) return v;
    // Out of range: beyond the largest double or below half the smallest subnormal.
    return leading_exponent(buf, k) > 0 ? std::numeric_limits<double>::infinity() : 0.0;
#else
    std::string z(buf, k);
    return c_locale_strtod(z.c_str());
#endif
}

// Decimal mantissa being read: up to 19 significant digits, times 10^exp10.
struct Mantissa {
    uint64_t value = 0;
    int digits = 0;  // significant digits held in value
    long long exp10 = 0;
    bool lost = false;  // a non-zero digit did not fit in value
};

// Reads digits with single underscores between them from p[*i..m) into mt (digits after the
// point when fraction). Returns the number of digits read.
inline size_t read_run(const char* p, size_t m, size_t* i, Mantissa* mt, bool fraction) {
    size_t count = 0, j = *i;
    for (;;) {
        while (j < m) {
            const unsigned d = static_cast<unsigned>(static_cast<unsigned char>(p[j]) - '0');
            if (d >= 10) break;
            if (mt->digits < 19) {
                mt->value = mt->value * 10 + d;
                mt->digits += mt->value != 0;  // leading zeros are not significant
                mt->exp10 -= fraction;
            } else {
                mt->exp10 += !fraction;
                mt->lost |= d != 0;
            }
            ++j;
            ++count;
        }
        if (count && j + 1 < m && p[j] == '_' &&
            static_cast<unsigned>(static_cast<unsigned char>(p[j + 1]) - '0') < 10) {
            ++j;
            continue;
        }
        *i = j;
        return count;
    }
}

// Scans p[0..m) as digits ["." digits] [exponent] with Python's underscore rule and returns
// whether the text has that form. When the value is exactly computable -- at most 19
// significant digits, mantissa <= 2^53 and a power of ten <= 10^22, so that one IEEE
// multiplication or division rounds it correctly -- stores it in *out and sets *done.
bool scan_decimal(const char* p, size_t m, double* out, bool* done) {
    static const double kPow10[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                      1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                      1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    Mantissa mt;
    size_t i = 0;
    size_t digits = read_run(p, m, &i, &mt, false);
    if (i < m && p[i] == '.') {
        ++i;
        digits += read_run(p, m, &i, &mt, true);
    }
    if (digits == 0) return false;
    if (i < m && (p[i] == 'e' || p[i] == 'E')) {
        ++i;
        bool negative = false;
        if (i < m && (p[i] == '+' || p[i] == '-')) negative = p[i++] == '-';
        Mantissa ex;
        if (read_run(p, m, &i, &ex, false) == 0) return false;
        // More than 19 exponent digits: the value is 0 or infinite anyway.
        long long e = ex.digits + ex.exp10 > 18 ? 1000000000LL : static_cast<long long>(ex.value);
        mt.exp10 += negative ? -e : e;
    }
    if (i != m) return false;
#if !defined(FLT_EVAL_METHOD) || FLT_EVAL_METHOD == 0
    if (!mt.lost && mt.value <= (uint64_t(1) << 53)) {
        if (mt.value == 0) {
            *out = 0.0;
            *done = true;
        } else if (mt.exp10 >= -22 && mt.exp10 <= 22) {
            const double v = static_cast<double>(mt.value);
            *out = mt.exp10 < 0 ? v / kPow10[-mt.exp10] : v * kPow10[mt.exp10];
            *done = true;
        }
    }
#endif
    return true;
}

bool parse_core(const char* s, size_t n, double* out) {
    size_t b = 0, e = n;
    while (b < e && ascii_space(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && ascii_space(static_cast<unsigned char>(s[e - 1]))) --e;
    if (b == e) return false;
    bool negative = false;
    if (s[b] == '+' || s[b] == '-') {
        negative = s[b] == '-';
        ++b;
    }
    const char* p = s + b;
    size_t m = e - b;
    if (m == 0) return false;
    if (!is_digit(p[0]) && p[0] != '.') {
        if (word_eq(p, m, "inf") || word_eq(p, m, "infinity")) {
            *out = negative ? -std::numeric_limits<double>::infinity()
                            : std::numeric_limits<double>::infinity();
            return true;
        }
        if (word_eq(p, m, "nan")) {
            *out = std::copysign(std::numeric_limits<double>::quiet_NaN(), negative ? -1.0 : 1.0);
            return true;
        }
        return false;
    }
    bool done = false;
    double fast = 0.0;
    if (!scan_decimal(p, m, &fast, &done)) return false;
    if (done) {
        *out = negative ? -fast : fast;
        return true;
    }
    // Long or extreme numbers: normalize the text (no underscores) for the exact conversion.
    char small[128];
    std::vector<char> big;
    char* buf = small;
    if (m + 1 > sizeof(small)) {
        big.resize(m + 1);
        buf = big.data();
    }
    size_t k = 0, i = 0;
    bool ok = true;
    size_t int_digits = read_digits(p, m, &i, buf, &k, &ok);
    size_t frac_digits = 0;
    if (ok && i < m && p[i] == '.') {
        buf[k++] = '.';
        ++i;
        frac_digits = read_digits(p, m, &i, buf, &k, &ok);
    }
    if (!ok || int_digits + frac_digits == 0) return false;
    if (i < m && (p[i] == 'e' || p[i] == 'E')) {
        buf[k++] = 'e';
        ++i;
        if (i < m && (p[i] == '+' || p[i] == '-')) buf[k++] = p[i++];
        if (read_digits(p, m, &i, buf, &k, &ok) == 0 || !ok) return false;
    }
    if (i != m) return false;
    double v = convert(buf, k);
    *out = negative ? -v : v;
    return true;
}

// Python maps non-ASCII whitespace to ' ' and non-ASCII decimal digits to '0'-'9' before
// parsing; any other non-ASCII character makes the text invalid.
template <class T>
bool parse_ucs(const T* s, size_t n, double* out) {
    char small[128];
    std::vector<char> big;
    char* buf = small;
    if (n > sizeof(small)) {
        big.resize(n);
        buf = big.data();
    }
    for (size_t i = 0; i < n; ++i) {
        uint32_t c = static_cast<uint32_t>(s[i]);
        if (c < 128) {
            if (c == 0) return false;
            buf[i] = static_cast<char>(c);
            continue;
        }
        uint8_t v = c < 0x110000 ? unicode::numeric_value(c) : 0xFF;
        if (v == 0xFF) return false;
        buf[i] = v == 0x20 ? ' ' : static_cast<char>('0' + v);
    }
    return parse_core(buf, n, out);
}

}  // namespace

namespace {

using swar::bytes_in_range;
using swar::kHigh;
using swar::kOnes;

// Eight ASCII digits, the first in the lowest byte, to their value (the SWAR method of
// fast_float and simdjson).
inline uint64_t eight_digits(uint64_t v) {
    v -= 0x3030303030303030ULL;
    v = v * 10 + (v >> 8);
    return (((v & 0x000000FF000000FFULL) * 0x000F424000000064ULL) +
            (((v >> 16) & 0x000000FF000000FFULL) * 0x0000271000000001ULL)) >>
           32;
}

}  // namespace

bool parse_simple_decimal16(uint64_t lo, uint64_t hi, size_t n, double* out) {
#if defined(__SIZEOF_INT128__) && (!defined(FLT_EVAL_METHOD) || FLT_EVAL_METHOD == 0)
    using u128 = unsigned __int128;
    static const double kPow10[17] = {1e0, 1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7, 1e8,
                                      1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16};
    if (n == 0 || n > 16 || ((lo | hi) & kHigh)) return false;
    // Byte classes, one bit per byte (bit 8i + 7), over the 16 bytes.
    const u128 valid = n == 16 ? ~u128(0) : ((u128(1) << (8 * n)) - 1);
    const u128 high = ((u128(kHigh) << 64) | kHigh) & valid;
    const u128 digit =
        ((u128(bytes_in_range(hi, '0', '9')) << 64) | bytes_in_range(lo, '0', '9')) & valid;
    const u128 dot =
        ((u128(bytes_in_range(hi, '.', '.')) << 64) | bytes_in_range(lo, '.', '.')) & valid;
    const unsigned first = static_cast<unsigned>(lo & 0xFF);
    const bool sign = first == '-' || first == '+';
    const u128 allowed = digit | dot | (sign ? u128(0x80) : u128(0));
    if (allowed != high || (dot & (dot - 1)) != 0) return false;  // stray byte, two dots
    // Drop the sign, then close up the dot: the digits in order, first digit in byte 0.
    u128 text = ((u128(hi) << 64) | lo) >> (sign ? 8 : 0);
    const size_t len = n - (sign ? 1 : 0);
    size_t ndigits = len;
    size_t frac = 0;
    if (dot) {
        const unsigned pos =
            static_cast<unsigned>((static_cast<uint64_t>(dot)
                                       ? __builtin_ctzll(static_cast<uint64_t>(dot))
                                       : 64 + __builtin_ctzll(static_cast<uint64_t>(dot >> 64))) /
                                  8) -
            (sign ? 1 : 0);  // index of the dot after the sign is dropped
        const u128 before = pos ? (text & ((u128(1) << (8 * pos)) - 1)) : 0;
        // A dot in the last of the 16 bytes leaves nothing after it (and a shift by 128 is
        // undefined).
        const u128 after = pos + 1 < 16 ? text >> (8 * (pos + 1)) : u128(0);
        text = before | (after << (8 * pos));
        ndigits = len - 1;
        frac = len - 1 - pos;
    }
    if (ndigits == 0) return false;
    // Right-align the digits in 16 bytes behind leading '0's, then convert 8 at a time.
    const size_t pad = 16 - ndigits;
    const u128 zeros =
        pad ? (u128(kOnes * 0x30) << 64 | (kOnes * 0x30)) & ((u128(1) << (8 * pad)) - 1) : 0;
    const u128 aligned = (text << (8 * pad)) | zeros;
    const uint64_t mant = eight_digits(static_cast<uint64_t>(aligned)) * 100000000ULL +
                          eight_digits(static_cast<uint64_t>(aligned >> 64));
    if (mant > (uint64_t(1) << 53)) return false;
    const double v = static_cast<double>(mant) / kPow10[frac];
    // The sign bit set without a branch: signs in a column come in no predictable order.
    uint64_t b;
    std::memcpy(&b, &v, 8);
    b |= static_cast<uint64_t>(first == '-') << 63;
    std::memcpy(out, &b, 8);
    return true;
#else
    (void)lo;
    (void)hi;
    (void)n;
    (void)out;
    return false;
#endif
}

bool parse_float_ascii(const char* s, size_t n, double* out) {
    // An embedded NUL, which Python rejects, fails the grammar like any other stray byte.
    return parse_core(s, n, out);
}

bool parse_float_ucs1(const uint8_t* s, size_t n, double* out) { return parse_ucs(s, n, out); }
bool parse_float_ucs2(const uint16_t* s, size_t n, double* out) { return parse_ucs(s, n, out); }
bool parse_float_ucs4(const uint32_t* s, size_t n, double* out) { return parse_ucs(s, n, out); }

}  // namespace tabrix
