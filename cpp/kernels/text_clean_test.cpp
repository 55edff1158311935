#include "kernels/text_clean.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace tabrix {
namespace {

std::string clean(const std::string& s) {
    std::string out(s.size(), '\0');
    out.resize(clean_ascii(s.data(), s.size(), &out[0]));
    return out;
}

std::u32string clean32(const std::u32string& s) {
    std::vector<uint32_t> out(3 * s.size() + 1);
    size_t n = clean_ucs4(reinterpret_cast<const uint32_t*>(s.data()), s.size(), out.data());
    return std::u32string(out.begin(), out.begin() + n);
}

TEST(CleanAscii, FoldsCaseAndDropsNonAlnum) {
    EXPECT_EQ(clean(" New-York  City! "), "newyorkcity");
    EXPECT_EQ(clean("ABC_def 123\t\n"), "abcdef123");
    EXPECT_EQ(clean(""), "");
    EXPECT_EQ(clean("!@#$%^&*()"), "");
    EXPECT_TRUE(ascii_is_clean("abc123", 6));
    EXPECT_FALSE(ascii_is_clean("abC", 3));
    EXPECT_FALSE(ascii_is_clean("a b", 3));
    EXPECT_FALSE(ascii_is_clean("a\0b", 3));
    EXPECT_EQ(clean(std::string("a\0b", 3)), "ab");
}

TEST(CleanUnicode, FullCaseFolding) {
    EXPECT_EQ(clean32(U"Straße"), U"strasse");
    EXPECT_EQ(clean32(U"ΣΑΣ"), U"σασ");  // no final-sigma rule in case folding
    EXPECT_EQ(clean32(U"ﬁ"), U"fi");     // ligature unfolds
    EXPECT_EQ(clean32(U"İ"), U"i");      // dotted capital I: the combining dot goes
    EXPECT_EQ(clean32(U"Ǆ"), U"ǆ");      // digraph folds to its one-letter lower form
    EXPECT_EQ(clean32(U"ΐ"), U"ι");      // folds to ι + two combining marks, dropped
}

TEST(CleanUnicode, KeepsLettersAndDigitsOfAllScripts) {
    EXPECT_EQ(clean32(U"東京 2020!"), U"東京2020");
    EXPECT_EQ(clean32(U"١٢٣-٤"), U"١٢٣٤");  // Arabic-Indic digits are decimal
    EXPECT_EQ(clean32(U"½ ²"), U"½²");      // numeric characters count as alnum
    EXPECT_EQ(clean32(U"é\u0301"), U"é");   // combining marks are not alnum
    EXPECT_EQ(clean32(U"\u00a0\u2003\U0001F600"), U"");
    uint32_t out[3];
    EXPECT_EQ(clean_codepoint(0xD800, out), 0u);    // lone surrogate
    EXPECT_EQ(clean_codepoint(0x110000, out), 0u);  // beyond Unicode
}

TEST(Utf8, EncodesEveryLength) {
    const uint32_t cps[] = {0x41, 0xE9, 0x6771, 0x1F600};
    char out[16];
    size_t n = utf8_encode(cps, 4, out);
    EXPECT_EQ(std::string(out, n), "A\xC3\xA9\xE6\x9D\xB1\xF0\x9F\x98\x80");
}

TEST(BoolWord, TrueFalseInAnyCaseWithBlanks) {
    auto word = [](const std::string& s) {
        return parse_bool_word_ucs1(reinterpret_cast<const uint8_t*>(s.data()), s.size());
    };
    EXPECT_EQ(word("true"), 1);
    EXPECT_EQ(word("  TRUE\t"), 1);
    EXPECT_EQ(word("fAlSe"), 0);
    EXPECT_EQ(word("\x1c"
                   "false\xa0"),
              0);  // Python whitespace includes these
    EXPECT_EQ(word("truee"), -1);
    EXPECT_EQ(word("t rue"), -1);
    EXPECT_EQ(word(""), -1);
    EXPECT_EQ(word("1"), -1);
    const uint16_t wide[] = {0x2003, 't', 'R', 'u', 'e'};
    EXPECT_EQ(parse_bool_word_ucs2(wide, 5), 1);
}

// The branch-free form must agree with the general one on every short ASCII text.
TEST(BoolWord, ShortAsciiFormAgrees) {
    const char* texts[] = {"true",
                           "TRUE",
                           "false",
                           "FaLsE",
                           " true",
                           "true ",
                           "\ttrue\n",
                           "  false   ",
                           "\x1c"
                           "false\x1f",
                           "tru",
                           "truee",
                           "t rue",
                           "",
                           "    ",
                           "false!",
                           "xtrue",
                           "0000000000000000",
                           "   true       x",
                           "true\x0b",
                           "\x0c\x0d false",
                           "fals",
                           "true false",
                           "TRUE@"};
    for (const char* t : texts) {
        std::string s = t;
        ASSERT_LE(s.size(), 16u);
        uint64_t w[2] = {0, 0};
        std::memcpy(w, s.data(), s.size());
        EXPECT_EQ(parse_bool_word_ascii16(w[0], w[1], s.size()),
                  parse_bool_word_ucs1(reinterpret_cast<const uint8_t*>(s.data()), s.size()))
            << '"' << s << '"';
    }
}

}  // namespace
}  // namespace tabrix
