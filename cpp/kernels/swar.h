// Byte tests over a 64-bit word at once ("SIMD within a register"), for short ASCII texts
// held in words as text keys hold them: the first byte in the lowest bits.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tabrix {
namespace swar {

constexpr uint64_t kOnes = 0x0101010101010101ULL;
constexpr uint64_t kHigh = 0x8080808080808080ULL;

// High bit of each byte of x (bytes below 0x80) set when lo <= byte <= hi.
inline uint64_t bytes_in_range(uint64_t x, unsigned lo, unsigned hi) noexcept {
    const uint64_t above_hi = x + (127 - hi) * kOnes;
    const uint64_t from_lo = x + (128 - lo) * kOnes;
    return from_lo & ~above_hi & kHigh;
}

// High bits of the bytes below n (0 <= n <= 8) of a word.
inline uint64_t first_bytes(size_t n) noexcept {
    const uint64_t partial = kHigh & ((uint64_t(1) << ((8 * n) & 63)) - 1);
    return n >= 8 ? kHigh : partial;
}

}  // namespace swar
}  // namespace tabrix
