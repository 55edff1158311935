#include "kernels/text_key.h"

#include <gtest/gtest.h>

#include <string>

namespace tabrix {
namespace {

TextKey key(const std::string& s) { return TextKey::make(s.data(), s.size(), 1); }

// The inline head must hold exactly the text's bytes, zero padded, for every length.
TEST(TextKey, HeadHoldsTheBytesZeroPadded) {
    std::string text = "abcdefghijklmnopqrstuvwxyz";
    for (size_t n = 0; n <= text.size(); ++n) {
        // Surround the text with other bytes: loads must not pick them up.
        std::string buf = "##" + text.substr(0, n) + "##";
        TextKey k = TextKey::make(buf.data() + 2, n, 1);
        // Eight readable bytes before the text for make_after_header.
        std::string padded = "########" + text.substr(0, n) + "##";
        TextKey k2 = TextKey::make_after_header(padded.data() + 8, n, 1);
        EXPECT_TRUE(k2.same_head(k)) << n;
        unsigned char expect[16] = {0};
        for (size_t i = 0; i < n && i < 16; ++i) expect[i] = static_cast<unsigned char>(text[i]);
        EXPECT_EQ(std::memcmp(k.head, expect, 16), 0) << n;
        EXPECT_EQ(k.meta, (n << 3) | 1u) << n;
    }
}

TEST(TextKey, EqualTextsEqualKeysAndHashes) {
    std::string a = "a long text beyond sixteen bytes", b = a;
    EXPECT_TRUE(key(a).same_head(key(b)));
    EXPECT_EQ(key(a).hash(a.data(), a.size()), key(b).hash(b.data(), b.size()));
    std::string c = a;
    c.back() = '!';  // differs only beyond the head
    EXPECT_TRUE(key(a).same_head(key(c)));
    EXPECT_NE(key(a).hash(a.data(), a.size()), key(c).hash(c.data(), c.size()));
    EXPECT_FALSE(key("ab").same_head(key(std::string("ab\0", 3))));
    EXPECT_FALSE(TextKey::make("ab", 2, 1).same_head(TextKey::make("ab", 2, 2)));
}

}  // namespace
}  // namespace tabrix
