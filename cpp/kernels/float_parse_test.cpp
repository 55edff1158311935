#include "kernels/float_parse.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

namespace tabrix {
namespace {

bool parse(const std::string& s, double* v) { return parse_float_ascii(s.data(), s.size(), v); }

uint64_t bits(double d) {
    uint64_t b;
    std::memcpy(&b, &d, 8);
    return b;
}

struct Case {
    const char* text;
    uint64_t bits;
};

class ParsesTo : public ::testing::TestWithParam<Case> {};

TEST_P(ParsesTo, BitIdentical) {
    double v = 12345.0;
    ASSERT_TRUE(parse(GetParam().text, &v)) << GetParam().text;
    EXPECT_EQ(bits(v), GetParam().bits) << GetParam().text;
}

// Expected bits come from Python's float() on the same text.
INSTANTIATE_TEST_SUITE_P(
    PythonSyntax, ParsesTo,
    ::testing::Values(Case{" 1 ", 0x3ff0000000000000ULL}, Case{"\t-0.5\n", 0xbfe0000000000000ULL},
                      Case{"1_0.5_5", 0x402519999999999aULL}, Case{"1e1_0", 0x4202a05f20000000ULL},
                      Case{"+.5e-3", 0x3f40624dd2f1a9fcULL}, Case{"5.", 0x4014000000000000ULL},
                      Case{"-0", 0x8000000000000000ULL}, Case{"-Infinity", 0xfff0000000000000ULL},
                      Case{"nan", 0x7ff8000000000000ULL}, Case{"-NaN", 0xfff8000000000000ULL},
                      Case{"-1e400", 0xfff0000000000000ULL}, Case{"1e-400", 0}, Case{"2.5e-324", 1},
                      Case{"1.7976931348623159e308", 0x7ff0000000000000ULL},
                      Case{"1000000000000000000000000000000000000000e300", 0x7ff0000000000000ULL},
                      Case{"9007199254740993", 0x4340000000000000ULL},
                      Case{"2.2250738585072011e-308", 0x000fffffffffffffULL}));

TEST(ParseFloat, RejectsWhatPythonRejects) {
    const char* bad[] = {"",
                         " ",
                         "+",
                         "-",
                         ".",
                         "e5",
                         "1e",
                         "1e+",
                         "_1",
                         "1_",
                         "1__0",
                         "1_.5",
                         "1._5",
                         "1_e5",
                         "1e_5",
                         "1e5_",
                         "in f",
                         "infi",
                         "nanx",
                         "0x10",
                         "1.5j",
                         "1 5",
                         "--1",
                         "+-1",
                         "1..5",
                         "1e5e5",
                         "\x1c"
                         "1",
                         "1,5",
                         "١"};
    for (const char* s : bad) {
        double v = 7.0;
        EXPECT_FALSE(parse(s, &v)) << s;
        EXPECT_EQ(v, 7.0);
    }
    double v;
    EXPECT_FALSE(parse(std::string("1.5\0", 4), &v));
}

TEST(ParseFloat, LongInputsRoundCorrectly) {
    std::string s = "0." + std::string(300, '0') + "1";
    double v;
    ASSERT_TRUE(parse(s, &v));
    EXPECT_EQ(v, 1e-301);
    std::string digits = "1" + std::string(400, '0');
    ASSERT_TRUE(parse(digits, &v));
    EXPECT_TRUE(std::isinf(v));
}

TEST(ParseFloat, UnicodeDigitsAndBlanks) {
    double v = 0;
    const uint16_t arabic[] = {0x0661, 0x0662, 0x0663};  // "١٢٣"
    ASSERT_TRUE(parse_float_ucs2(arabic, 3, &v));
    EXPECT_EQ(v, 123.0);
    const uint16_t spaced[] = {0x2003, '1', '.', '5', 0x00a0};
    ASSERT_TRUE(parse_float_ucs2(spaced, 5, &v));
    EXPECT_EQ(v, 1.5);
    const uint32_t math_one[] = {0x1D7CF};  // MATHEMATICAL BOLD DIGIT ONE
    ASSERT_TRUE(parse_float_ucs4(math_one, 1, &v));
    EXPECT_EQ(v, 1.0);
    const uint16_t inner_space[] = {'1', 0x2001, '5'};
    EXPECT_FALSE(parse_float_ucs2(inner_space, 3, &v));
    const uint16_t arabic_point[] = {0x0661, 0x066B, 0x0665};  // Arabic decimal separator
    EXPECT_FALSE(parse_float_ucs2(arabic_point, 3, &v));
    const uint8_t latin1[] = {0x85, '2'};  // NEL is whitespace
    ASSERT_TRUE(parse_float_ucs1(latin1, 2, &v));
    EXPECT_EQ(v, 2.0);
}

}  // namespace
}  // namespace tabrix

namespace tabrix {
namespace {

// The exact short-cut and the general conversion must agree on numbers near the edges of
// the short-cut (19 digits, 2^53, 10^22).
TEST(ParseFloat, ShortCutEdges) {
    const char* texts[] = {"9007199254740992",
                           "9007199254740993",
                           "9007199254740993e-5",
                           "1e22",
                           "1e23",
                           "123456789e-22",
                           "123456789e-23",
                           "1234567890123456789",
                           "12345678901234567890",
                           "0.1234567890123456789",
                           "1000000000000000000000.0",
                           "0.000000000000000000000000001",
                           "4.35679E-06",
                           "-8.1e+12",
                           "1_2.3_4e-1_0",
                           "0000000000000000000001.5"};
    for (const char* t : texts) {
        double a = 0, b = 0;
        ASSERT_TRUE(parse(t, &a)) << t;
        std::string plain;
        for (const char* c = t; *c; ++c)
            if (*c != '_') plain += *c;
        b = std::strtod(plain.c_str(), nullptr);
        EXPECT_EQ(bits(a), bits(b)) << t;
    }
}

}  // namespace
}  // namespace tabrix

namespace tabrix {
namespace {

// The short cut must agree with the general parser wherever it answers, and answer for the
// plain forms.
TEST(ParseFloat, SimpleDecimalShortCut) {
    const char* texts[] = {"0", "7", "-7", "+7", "12.5", "-0.001", "123456789012345", ".5", "5.",
                           "-.5", "0000000000000001", "9007199254740992", "9007199254740993",
                           "99999999999999.9", "-0", "1.2.3", "1e5", " 1", "1_0", "", "-", ".",
                           "-.", "12a", "+-1", "1234567890123456", "0.1234567890123",
                           "1.000000000000001",
                           // Two dots eight bytes apart, one in each word; a dot in the last byte.
                           "1.3456789.234567", "020.1111010.1114", "1.2345678.", "222222228222240.",
                           "-22222222822224."};
    for (const char* t : texts) {
        std::string s = t;
        // Longer texts are passed with their true length (which the short cut must refuse)
        // but only their first 16 bytes, all the two words hold.
        uint64_t w[2] = {0, 0};
        std::memcpy(w, s.data(), std::min(s.size(), sizeof w));
        double fast = 99.0, general = 99.0;
        bool ok_fast = parse_simple_decimal16(w[0], w[1], s.size(), &fast);
        bool ok_general = parse(s, &general);
        if (ok_fast) {
            ASSERT_TRUE(ok_general) << s;
            EXPECT_EQ(bits(fast), bits(general)) << s;
        } else {
            EXPECT_EQ(fast, 99.0) << s;
        }
        bool plain = !s.empty() && s.find_first_not_of("+-0123456789.") == std::string::npos &&
                     ok_general && s.size() <= 15;
        if (plain) EXPECT_TRUE(ok_fast) << s;
        if (s.size() > sizeof w) EXPECT_FALSE(ok_fast) << s;
    }
}

}  // namespace
}  // namespace tabrix
