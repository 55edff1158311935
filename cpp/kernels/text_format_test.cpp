#include "kernels/text_format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace tabrix {
namespace text_format {
namespace {

std::string date(int64_t days) {
    std::string s;
    append_date(s, days);
    return s;
}

std::string timestamp(int64_t ticks, int64_t per_second) {
    std::string s;
    append_timestamp(s, ticks, per_second);
    return s;
}

TEST(TextFormat, Dates) {
    EXPECT_EQ(date(0), "1970-01-01");
    EXPECT_EQ(date(-1), "1969-12-31");
    EXPECT_EQ(date(59), "1970-03-01");
    EXPECT_EQ(date(11016), "2000-02-29");   // a leap day of a year divisible by 400
    EXPECT_EQ(date(-25508), "1900-03-01");  // 1900 had no 29 February
    EXPECT_EQ(date(2932896), "9999-12-31");
    EXPECT_EQ(date(2932897), "+10000-01-01");
    EXPECT_EQ(date(-719529), "-0001-12-31");
}

TEST(TextFormat, TimestampsAtEveryUnit) {
    const int64_t noon = 86400 * 18262 + 12 * 3600 + 34 * 60 + 56;  // 2020-01-01 12:34:56
    EXPECT_EQ(timestamp(noon, 1), "2020-01-01 12:34:56");
    EXPECT_EQ(timestamp(noon * 1000 + 5, 1000), "2020-01-01 12:34:56.005000");
    EXPECT_EQ(timestamp(noon * 1000000 + 123456, 1000000), "2020-01-01 12:34:56.123456");
    EXPECT_EQ(timestamp(noon * 1000000000 + 123456789, 1000000000),
              "2020-01-01 12:34:56.123456789");
    EXPECT_EQ(timestamp(noon * 1000000000 + 1000, 1000000000), "2020-01-01 12:34:56.000001");
    EXPECT_EQ(timestamp(86400 * 18262, 1), "2020-01-01");  // midnight: the date alone
    EXPECT_EQ(timestamp(-1, 1000000), "1969-12-31 23:59:59.999999");
}

std::string repr(double v) {
    std::string s;
    append_double_repr(s, v);
    return s;
}

TEST(TextFormat, DoublesAsPythonsRepr) {
    EXPECT_EQ(repr(0.1), "0.1");
    EXPECT_EQ(repr(3.0), "3.0");
    EXPECT_EQ(repr(-0.0), "-0.0");
    EXPECT_EQ(repr(123456789.0), "123456789.0");
    EXPECT_EQ(repr(1e15), "1000000000000000.0");
    EXPECT_EQ(repr(1e16), "1e+16");
    EXPECT_EQ(repr(1.5e16), "1.5e+16");
    EXPECT_EQ(repr(0.0001), "0.0001");
    EXPECT_EQ(repr(0.00001), "1e-05");
    EXPECT_EQ(repr(1.7976931348623157e308), "1.7976931348623157e+308");
    EXPECT_EQ(repr(5e-324), "5e-324");
    EXPECT_EQ(repr(-2.5e-7), "-2.5e-07");
    EXPECT_EQ(repr(176405234596.7664), "176405234596.7664");
    EXPECT_EQ(repr(-1.0 / 0.0), "-inf");
}

TEST(TextFormat, Numbers) {
    std::string s;
    append_int(s, INT64_MIN);
    s += ' ';
    append_uint(s, UINT64_MAX);
    EXPECT_EQ(s, "-9223372036854775808 18446744073709551615");
}

}  // namespace
}  // namespace text_format
}  // namespace tabrix
