// Stable 64-bit string hash.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tabrix {

// 64-bit FNV-1a over a byte string: start from the offset basis 0xcbf29ce484222325 and,
// for each byte, xor it in then multiply by the prime 0x100000001b3 (mod 2^64). The value
// depends only on the bytes, so it is the same in every process, run and platform.
uint64_t fnv1a64(const void* data, size_t size) noexcept;

}  // namespace tabrix
