// 64-bit hashes: a stable one for values that leave the process, fast ones for tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tabrix {

// 64-bit FNV-1a over a byte string: start from the offset basis 0xcbf29ce484222325 and,
// for each byte, xor it in then multiply by the prime 0x100000001b3 (mod 2^64). The value
// depends only on the bytes, so it is the same in every process, run and platform.
uint64_t fnv1a64(const void* data, size_t size) noexcept;

// Finalizer that spreads every input bit over the whole word (from MurmurHash3's fmix64).
inline uint64_t mix64(uint64_t h) noexcept {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ULL;
    h ^= h >> 33;
    return h;
}

// Multiplies two words to 128 bits and folds the halves (the "mum" step of wyhash-style
// hashes): one multiplication that mixes every input bit.
inline uint64_t mum64(uint64_t a, uint64_t b) noexcept {
#if defined(__SIZEOF_INT128__)
    __uint128_t r = static_cast<__uint128_t>(a) * b;
    return static_cast<uint64_t>(r) ^ static_cast<uint64_t>(r >> 64);
#else
    return mix64(a * 0x9e3779b97f4a7c15ULL ^ mix64(b));
#endif
}

// Fast hash of a byte string for in-memory tables, eight bytes at a time. Not stable across
// versions of this library: never store it.
inline uint64_t table_hash_bytes(const void* data, size_t size, uint64_t seed) noexcept {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    uint64_t h = seed ^ (size * 0x9e3779b97f4a7c15ULL);
    while (size >= 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        h = (h ^ mix64(w)) * 0x9e3779b97f4a7c15ULL;
        p += 8;
        size -= 8;
    }
    if (size) {
        uint64_t w = 0;
        std::memcpy(&w, p, size);
        h = (h ^ mix64(w ^ (static_cast<uint64_t>(size) << 59))) * 0x9e3779b97f4a7c15ULL;
    }
    return mix64(h);
}

}  // namespace tabrix
