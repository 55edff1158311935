// Walking NumPy arrays of any dimension, strides and alignment.
#pragma once

#include "python/numpy_api.h"

#include <numpy/arrayscalars.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace tabrix {
namespace py {

// Flat loops over numbers compiled also for AVX2, picked at load time where the processor has
// it (baseline x86-64 only has 16-byte vectors).
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__)
#define TABRIX_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define TABRIX_VECTOR_CLONES
#endif

// Reads a value that may be unaligned.
template <class T>
inline T load(const char* p) {
    T v;
    std::memcpy(&v, p, sizeof(T));
    return v;
}

// Calls f(char* first, npy_intp stride, npy_intp count, npy_intp start) for each run of
// cells along the last axis, in C order; start is the C-order position of the run's first
// cell. A C-contiguous array is one run of all its cells, a 0-d array one run of one cell;
// an empty array has no runs.
template <class F>
void for_each_run(PyArrayObject* a, F&& f) {
    const int nd = PyArray_NDIM(a);
    char* base = static_cast<char*>(PyArray_DATA(a));
    if (nd == 0) {
        f(base, npy_intp(0), npy_intp(1), npy_intp(0));
        return;
    }
    if (PyArray_SIZE(a) == 0) return;
    if (PyArray_IS_C_CONTIGUOUS(a)) {
        f(base, static_cast<npy_intp>(PyArray_ITEMSIZE(a)), PyArray_SIZE(a), npy_intp(0));
        return;
    }
    const npy_intp* dims = PyArray_DIMS(a);
    const npy_intp* strides = PyArray_STRIDES(a);
    const npy_intp inner = dims[nd - 1];
    const npy_intp inner_stride = strides[nd - 1];
    std::vector<npy_intp> idx(static_cast<size_t>(nd), 0);
    npy_intp start = 0;
    for (;;) {
        char* p = base;
        for (int d = 0; d < nd - 1; ++d) p += idx[static_cast<size_t>(d)] * strides[d];
        f(p, inner_stride, inner, start);
        start += inner;
        int d = nd - 2;
        for (; d >= 0; --d) {
            if (++idx[static_cast<size_t>(d)] < dims[d]) break;
            idx[static_cast<size_t>(d)] = 0;
        }
        if (d < 0) return;
    }
}

// How far ahead object walks prefetch the cell objects: far enough to hide a cache miss,
// near enough to stay in cache. Loops doing little per cell need to look further ahead.
constexpr npy_intp kPrefetchDistance = 16;
constexpr npy_intp kPrefetchFar = 40;

// Prefetches the object (two cache lines: header and the start of a string's text) that
// the pointer cell at p refers to.
inline void prefetch_object(const char* p, bool two_lines = true) {
#if defined(__GNUC__) || defined(__clang__)
    const char* o = load<const char*>(p);
    __builtin_prefetch(o);
    if (two_lines) __builtin_prefetch(o + 64);
#else
    (void)p;
    (void)two_lines;
#endif
}

// Prefetches a Python object (header and the start of a string's text).
inline void prefetch_pyobject(const void* o) {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(o);
    __builtin_prefetch(static_cast<const char*>(o) + 64);
#else
    (void)o;
#endif
}

// IEEE half precision to double.
inline double half_to_double(uint16_t h) {
    const int sign = h >> 15;
    const int exp = (h >> 10) & 0x1f;
    const int mant = h & 0x3ff;
    double v;
    if (exp == 0)
        v = mant * (1.0 / (1 << 24));
    else if (exp == 31)
        v = mant ? __builtin_nan("") : __builtin_inf();
    else
        v = (1024 + mant) * static_cast<double>(1LL << exp) / (1LL << 25);
    return sign ? -v : v;
}

// Bool cells read as a byte, so any non-zero byte is true.
struct BoolCell {};

// Calls f(T()) with T the C type of a plain numeric dtype (BoolCell for bool) and returns
// true; returns false for any other dtype (float16, long double, complex, object, text...).
template <class F>
bool dispatch_numeric(int type_num, F&& f) {
    switch (type_num) {
        case NPY_BOOL: f(BoolCell()); return true;
        case NPY_BYTE: f(npy_byte()); return true;
        case NPY_UBYTE: f(npy_ubyte()); return true;
        case NPY_SHORT: f(npy_short()); return true;
        case NPY_USHORT: f(npy_ushort()); return true;
        case NPY_INT: f(npy_int()); return true;
        case NPY_UINT: f(npy_uint()); return true;
        case NPY_LONG: f(npy_long()); return true;
        case NPY_ULONG: f(npy_ulong()); return true;
        case NPY_LONGLONG: f(npy_longlong()); return true;
        case NPY_ULONGLONG: f(npy_ulonglong()); return true;
        case NPY_FLOAT: f(npy_float()); return true;
        case NPY_DOUBLE: f(npy_double()); return true;
        default: return false;
    }
}

// Value of a cell of the dispatched type T as stored (bool as 0/1).
template <class T>
struct Cell {
    using Value = T;
    static T read(const char* p) { return load<T>(p); }
};
template <>
struct Cell<BoolCell> {
    using Value = unsigned char;
    static unsigned char read(const char* p) { return load<unsigned char>(p) != 0; }
};

}  // namespace py
}  // namespace tabrix
