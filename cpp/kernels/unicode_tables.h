// Unicode property tables used by the text kernels (generated, see tools/gen_unicode_tables.py).
#pragma once

#include <cstdint>

namespace tabrix {
namespace unicode {

constexpr int kBlockShift = 7;
constexpr uint32_t kBlockMask = (1u << kBlockShift) - 1;

extern const char kUnicodeVersion[];

// Case folding with non-alphanumerics removed: 0 = drop, 1 = keep, k >= 2 = sequence k - 2,
// stored in clean_sequences as {length, cp0, cp1, cp2}.
extern const uint16_t clean_index[];
extern const uint16_t clean_blocks[];
extern const uint32_t clean_sequences[];

// 0-9: decimal digit value, 0x20: whitespace, 0xFF: anything else.
extern const uint16_t numeric_index[];
extern const uint8_t numeric_blocks[];

inline uint16_t clean_value(uint32_t cp) {
    return clean_blocks[(static_cast<uint32_t>(clean_index[cp >> kBlockShift]) << kBlockShift) |
                        (cp & kBlockMask)];
}

inline uint8_t numeric_value(uint32_t cp) {
    return numeric_blocks[(static_cast<uint32_t>(numeric_index[cp >> kBlockShift]) << kBlockShift) |
                          (cp & kBlockMask)];
}

}  // namespace unicode
}  // namespace tabrix
