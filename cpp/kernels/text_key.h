// Keys for hashing short texts without touching them again: the first 16 bytes inline.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kernels/hash64.h"

namespace tabrix {

// A text of `nbytes` bytes made of code units of `unit` bytes (1, 2 or 4). Two texts are equal
// when their keys are equal and, beyond 16 bytes, their remaining bytes are.
struct TextKey {
    uint64_t head[2];  // first 16 bytes, zero padded
    uint32_t meta;     // (nbytes, saturated at 2^29 - 1) << 3 | unit; never 0 for a text
    uint32_t extra;    // free for the caller

    static TextKey make(const void* data, size_t nbytes, unsigned unit) {
        // Built in registers and returned whole: partial writes to a key in memory would be
        // read back through slow store forwarding.
        const unsigned char* p = static_cast<const unsigned char*>(data);
        uint64_t h0 = 0, h1 = 0;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        // Overlapping word loads instead of a byte loop; every load stays within the text.
        if (nbytes >= 16) {
            std::memcpy(&h0, p, 8);
            std::memcpy(&h1, p + 8, 8);
        } else if (nbytes >= 8) {
            std::memcpy(&h0, p, 8);
            if (nbytes > 8) {
                uint64_t tail;
                std::memcpy(&tail, p + nbytes - 8, 8);
                h1 = tail >> (8 * (16 - nbytes));
            }
        } else if (nbytes >= 4) {
            uint32_t lo, hi;
            std::memcpy(&lo, p, 4);
            std::memcpy(&hi, p + nbytes - 4, 4);
            h0 = lo;
            if (nbytes > 4) h0 |= static_cast<uint64_t>(hi >> (8 * (8 - nbytes))) << 32;
        } else {
            for (size_t i = 0; i < nbytes; ++i) h0 |= static_cast<uint64_t>(p[i]) << (8 * i);
        }
#else
        unsigned char buf[16] = {0};
        std::memcpy(buf, p, nbytes < 16 ? nbytes : 16);
        std::memcpy(&h0, buf, 8);
        std::memcpy(&h1, buf + 8, 8);
#endif
        const size_t n = nbytes < 0x1FFFFFFF ? nbytes : 0x1FFFFFFF;
        return TextKey{{h0, h1}, static_cast<uint32_t>(n << 3) | unit, 0};
    }

    // make() without length-dependent branches for texts up to 16 bytes, for texts stored
    // after at least 8 readable bytes (such as an object header): the loads may start up to
    // 8 bytes before data, never after its end.
    static TextKey make_after_header(const void* data, size_t nbytes, unsigned unit) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        if (nbytes > 16) return make(data, nbytes, unit);
        const unsigned char* p = static_cast<const unsigned char*>(data);
        const size_t n8 = nbytes < 8 ? nbytes : 8;
        uint64_t a, b;
        std::memcpy(&a, p + n8 - 8, 8);      // ends at the last of the first 8 bytes
        std::memcpy(&b, p + nbytes - 8, 8);  // ends at the last byte
        const uint64_t h0 = n8 ? a >> ((64 - 8 * n8) & 63) : 0;
        const uint64_t h1 = nbytes > 8 ? b >> ((128 - 8 * nbytes) & 63) : 0;
        return TextKey{{h0, h1}, static_cast<uint32_t>(nbytes << 3) | unit, 0};
#else
        return make(data, nbytes, unit);
#endif
    }

    // Hash of the whole text; data and nbytes as given to make().
    uint64_t hash(const void* data, size_t nbytes) const {
        uint64_t h = mum64(head[0] ^ 0xa0761d6478bd642fULL, head[1] ^ 0xe7037ed1a0b428dbULL ^ meta);
        if (nbytes > 16)
            h ^= table_hash_bytes(static_cast<const unsigned char*>(data) + 16, nbytes - 16, meta);
        return h;
    }

    bool same_head(const TextKey& o) const {
        return meta == o.meta && head[0] == o.head[0] && head[1] == o.head[1];
    }
};

}  // namespace tabrix
