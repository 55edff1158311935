#include "kernels/hash64.h"

#include <gtest/gtest.h>

#include <string>

namespace tabrix {
namespace {

// Published FNV-1a 64 test vectors: the hash is part of the stored output, so it must never
// change.
TEST(Fnv1a64, KnownVectors) {
    EXPECT_EQ(fnv1a64("", 0), 0xcbf29ce484222325ULL);
    EXPECT_EQ(fnv1a64("a", 1), 0xaf63dc4c8601ec8cULL);
    EXPECT_EQ(fnv1a64("foobar", 6), 0x85944171f73967e8ULL);
}

TEST(TableHash, DependsOnEveryByteAndLength) {
    std::string a = "abcdefghijklmnopq";
    for (size_t n = 0; n <= a.size(); ++n) {
        uint64_t h = table_hash_bytes(a.data(), n, 1);
        if (n) {
            std::string b = a.substr(0, n);
            b[n - 1] ^= 1;
            EXPECT_NE(h, table_hash_bytes(b.data(), n, 1)) << n;
        }
        if (n < a.size()) EXPECT_NE(h, table_hash_bytes(a.data(), n + 1, 1)) << n;
    }
    std::string zeros(3, '\0');
    EXPECT_NE(table_hash_bytes(zeros.data(), 2, 1), table_hash_bytes(zeros.data(), 3, 1));
}

}  // namespace
}  // namespace tabrix
