#include "kernels/parallel.h"

#include <cerrno>
#include <cstdint>
#include <thread>

#if defined(__linux__)
#include <sched.h>
#endif

namespace tabrix {

unsigned available_cores() noexcept {
#if defined(__linux__)
    // The affinity mask, which taskset, cgroups' cpusets and batch schedulers narrow; grown
    // until it holds every CPU the kernel knows.
    for (int ncpus = 1024; ncpus <= (1 << 20); ncpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(ncpus);
        if (!set) break;
        const size_t size = CPU_ALLOC_SIZE(ncpus);
        CPU_ZERO_S(size, set);
        const int rc = sched_getaffinity(0, size, set);
        const int count = rc == 0 ? CPU_COUNT_S(size, set) : 0;
        CPU_FREE(set);
        if (rc == 0) return count > 0 ? static_cast<unsigned>(count) : 1u;
        if (errno != EINVAL) break;
    }
#endif
    const unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? n : 1u;
}

bool parse_positive_count(const char* text, size_t* out) noexcept {
    if (!text) return false;
    const char* p = text;
    while (*p == ' ' || *p == '\t') ++p;
    uint64_t v = 0;
    const char* digits = p;
    for (; *p >= '0' && *p <= '9'; ++p) {
        v = v * 10 + static_cast<uint64_t>(*p - '0');
        if (v > 0x7FFFFFFFu) return false;
    }
    if (p == digits) return false;
    while (*p == ' ' || *p == '\t') ++p;
    if (*p != '\0' || v == 0) return false;
    *out = static_cast<size_t>(v);
    return true;
}

}  // namespace tabrix
