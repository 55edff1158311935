// Canonical keys for numbers, so that numbers equal in value get equal keys whatever their
// type: 1, 1.0, True and a uint8 1 are one key; 0.1 as a float32 is not 0.1 as a float64.
//
// Integral values in [-2^63, 2^64) are keyed by their integer value, every other non-NaN
// double by its bits (-0.0 is the integer 0). NaN has no key: callers treat it apart.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#include "kernels/hash64.h"
#include "kernels/hash_table.h"

namespace tabrix {

struct NumKey {
    enum Tag : uint8_t { kInt = 0, kBigUnsigned = 1, kDouble = 2 };
    uint64_t bits;
    Tag tag;

    bool operator==(const NumKey& o) const { return bits == o.bits && tag == o.tag; }
    bool operator!=(const NumKey& o) const { return !(*this == o); }

    static NumKey from_int64(int64_t v) { return NumKey{static_cast<uint64_t>(v), kInt}; }
    static NumKey from_uint64(uint64_t v) {
        return v <= static_cast<uint64_t>(INT64_MAX) ? NumKey{v, kInt} : NumKey{v, kBigUnsigned};
    }
    // d must not be NaN.
    static NumKey from_double(double d) {
        if (d >= -9223372036854775808.0 && d < 9223372036854775808.0) {
            int64_t i = static_cast<int64_t>(d);
            if (static_cast<double>(i) == d) return NumKey{static_cast<uint64_t>(i), kInt};
        } else if (d >= 9223372036854775808.0 && d < 18446744073709551616.0) {
            // Doubles this large are integral.
            return NumKey{static_cast<uint64_t>(d), kBigUnsigned};
        }
        uint64_t b;
        std::memcpy(&b, &d, 8);
        return NumKey{b, kDouble};
    }

    // The value as a double (integers round to nearest, as Python's float() does).
    double to_double() const {
        if (tag == kInt) return static_cast<double>(static_cast<int64_t>(bits));
        if (tag == kBigUnsigned) return static_cast<double>(bits);
        double d;
        std::memcpy(&d, &bits, 8);
        return d;
    }

    uint64_t hash() const { return mix64(bits ^ (static_cast<uint64_t>(tag) << 62) ^ tag); }
};

// Set of number keys (plus a NaN flag) for numeric arrays.
class NumKeySet {
public:
    // Returns true when the key was not there yet.
    bool insert(NumKey k) {
        uint64_t h = k.hash();
        if (table_.find(h, [&](const NumKey& e) { return e == k; })) return false;
        table_.insert(h, k);
        return true;
    }
    bool contains(NumKey k) const {
        return !table_.empty() && table_.find(k.hash(), [&](const NumKey& e) { return e == k; });
    }
    bool contains_double(double d) const {
        return std::isnan(d) ? has_nan : contains(NumKey::from_double(d));
    }
    size_t size() const { return table_.size(); }
    bool empty() const { return table_.empty() && !has_nan; }

    bool has_nan = false;

private:
    FlatHashSet<NumKey> table_;
};

}  // namespace tabrix
