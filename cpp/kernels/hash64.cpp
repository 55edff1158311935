#include "kernels/hash64.h"

namespace tabrix {

uint64_t fnv1a64(const void* data, size_t size) noexcept {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    uint64_t h = 0xcbf29ce484222325ULL;
    for (size_t i = 0; i < size; ++i) {
        h ^= p[i];
        h *= 0x100000001b3ULL;
    }
    return h;
}

}  // namespace tabrix
