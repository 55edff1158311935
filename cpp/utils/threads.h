// How the kernels share large object inputs among threads.
//
// The calling thread keeps the GIL for the whole call, so no Python code runs anywhere while
// the other threads work: no cell of the input can be rebound, and no object freed, under
// them. They read the cells in place and do the per-cell work on exact str objects (and, for
// categories, floats, ints within 64 bits, bools, None and NumPy numbers), touching no
// reference count and calling nothing that may set a Python error; the calling thread builds
// the Python results and handles every other cell, in the order of the cells. A cell whose
// handling may run Python code (a str subclass looked up among markers, an object of no plain
// kind) stops the shared work: once the threads have ended, the rest of the input is read
// again and handled on one thread, as a Python loop would.
//
// Measured, and left alone: holding a strong reference to each cell instead, so as to release
// the GIL, costs the calling thread about as much as the threads save; and where the result
// holds the cells themselves (numpy_replace_values), the calling thread touching each object
// after a thread read it costs more than the lookups the threads would take over.
#pragma once

#include "python/numpy_api.h"

#include <cstddef>

namespace tabrix {
namespace utils {

// Inputs of fewer cells than these run on one thread: below them, starting a thread (tens of
// microseconds) costs more than it saves (measured with benchmarks/bench_utils.py
// --thresholds).
constexpr size_t kMinCellsParse = 16384;
constexpr size_t kMinCellsCompress = 8192;
constexpr size_t kMinCellsCategories = 16384;

// The threads a kernel uses for an input of `cells` cells: 1 below min_cells, else the value
// of TABRIX_NUM_THREADS (default: the cores available to the process). Both variables are
// read at each call (TABRIX_PARALLEL_MIN_CELLS, when set, replaces min_cells); an invalid
// value is a ValueError naming func and the variable.
unsigned kernel_threads(size_t cells, size_t min_cells, const char* func);

// Cells 0..n-1 cut into chunks, enough for `threads` threads to share them evenly.
struct Chunks {
    size_t n, size, count;
    size_t begin(size_t t) const { return t * size; }
    size_t end(size_t t) const { return (t + 1) * size < n ? (t + 1) * size : n; }
};
Chunks split_cells(size_t n, unsigned threads);

}  // namespace utils
}  // namespace tabrix
