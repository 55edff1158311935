#include "kernels/num_key.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace tabrix {
namespace {

TEST(NumKey, EqualValuesOfDifferentTypesShareAKey) {
    EXPECT_EQ(NumKey::from_double(1.0), NumKey::from_int64(1));
    EXPECT_EQ(NumKey::from_double(-0.0), NumKey::from_int64(0));
    EXPECT_EQ(NumKey::from_double(-9223372036854775808.0), NumKey::from_int64(INT64_MIN));
    EXPECT_EQ(NumKey::from_double(9223372036854775808.0),
              NumKey::from_uint64(9223372036854775808ULL));
    EXPECT_EQ(NumKey::from_uint64(5), NumKey::from_int64(5));
    EXPECT_EQ(NumKey::from_double(static_cast<double>(static_cast<float>(0.5))),
              NumKey::from_double(0.5));
}

TEST(NumKey, DifferentValuesGetDifferentKeys) {
    // 2^53 + 1 is not a double: the integer and the rounded double differ.
    EXPECT_NE(NumKey::from_int64((1LL << 53) + 1), NumKey::from_double(9007199254740992.0));
    EXPECT_NE(NumKey::from_double(static_cast<float>(0.1)), NumKey::from_double(0.1));
    EXPECT_NE(NumKey::from_double(1.5), NumKey::from_int64(1));
    EXPECT_NE(NumKey::from_double(std::numeric_limits<double>::infinity()),
              NumKey::from_double(-std::numeric_limits<double>::infinity()));
    EXPECT_NE(NumKey::from_uint64(UINT64_MAX), NumKey::from_int64(-1));
    EXPECT_NE(NumKey::from_double(18446744073709551616.0), NumKey::from_uint64(0));
}

TEST(NumKeySet, InsertFindAndGrow) {
    NumKeySet s;
    for (int64_t i = 0; i < 10000; ++i) EXPECT_TRUE(s.insert(NumKey::from_int64(i * 7)));
    for (int64_t i = 0; i < 10000; ++i) EXPECT_FALSE(s.insert(NumKey::from_double(i * 7.0)));
    EXPECT_EQ(s.size(), 10000u);
    EXPECT_TRUE(s.contains_double(63.0));
    EXPECT_FALSE(s.contains_double(64.0));
    EXPECT_FALSE(s.contains_double(std::nan("")));
    s.has_nan = true;
    EXPECT_TRUE(s.contains_double(std::nan("")));
}

TEST(OrderedHashTable, KeepsInsertionOrderWithCollidingHashes) {
    OrderedHashTable<std::string> t;
    const char* words[] = {"b", "a", "c", "d"};
    // Every entry gets the same hash: lookups must fall back to the equality test.
    for (const char* w : words) {
        std::string s = w;
        ASSERT_EQ(t.find(42, [&](const std::string& e) { return e == s; }), -1);
        t.insert(42, s);
    }
    for (int i = 0; i < 4; ++i) {
        std::string s = words[i];
        EXPECT_EQ(t.find(42, [&](const std::string& e) { return e == s; }), i);
        EXPECT_EQ(t[i], s);
    }
    EXPECT_EQ(t.find(43ULL << 32, [](const std::string&) { return true; }), -1);
}

}  // namespace
}  // namespace tabrix
