#include "utils/threads.h"

#include <cstdlib>

#include <nanobind/nanobind.h>

#include "kernels/parallel.h"
#include "python/py_errors.h"

namespace tabrix {
namespace utils {

namespace {

// More threads than this are never started, whatever TABRIX_NUM_THREADS says.
constexpr size_t kMaxThreads = 256;

// The value of a count variable, or `fallback` when it is unset or empty. getenv is called
// with the GIL held, as Python's os.environ changes the environment under it.
size_t env_count(const char* name, size_t fallback, bool zero_allowed, const char* func) {
    const char* text = std::getenv(name);
    if (!text || !*text) return fallback;
    size_t v = 0;
    if (parse_positive_count(text, &v)) return v;
    if (zero_allowed) {
        const char* p = text;
        while (*p == ' ' || *p == '\t') ++p;
        while (*p == '0') ++p;
        while (*p == ' ' || *p == '\t') ++p;
        if (*p == '\0' && p != text) return 0;
    }
    PyObject* shown = PyUnicode_DecodeFSDefault(text);
    if (!shown) {
        PyErr_Clear();
        shown = PyUnicode_FromString("?");
        if (!shown) py::raise_current();
    }
    nanobind::object hold = nanobind::steal(shown);
    py::raise(PyExc_ValueError, "%s: the environment variable %s must be a whole number %s, got %R",
              func, name, zero_allowed ? "of cells (0 or more)" : "of threads (1 or more)", shown);
}

}  // namespace

unsigned kernel_threads(size_t cells, size_t min_cells, const char* func) {
    const size_t threads = env_count("TABRIX_NUM_THREADS", 0, false, func);
    const size_t threshold = env_count("TABRIX_PARALLEL_MIN_CELLS", min_cells, true, func);
    if (cells < 2 || cells < threshold) return 1;
    const size_t n = threads ? threads : available_cores();
    return static_cast<unsigned>(n < kMaxThreads ? n : kMaxThreads);
}

bool other_python_threads() {
    PyThreadState* me = PyThreadState_Get();
    for (PyThreadState* t = PyInterpreterState_ThreadHead(me->interp); t; t = PyThreadState_Next(t))
        if (t != me) return true;
    return false;
}

Chunks split_cells(size_t n, unsigned threads) {
    // At least eight chunks per thread, so that a thread slowed down by others on the machine
    // leaves its share to the rest; small enough that the calling thread, which builds the
    // results of each chunk in turn, finds the cells still in cache.
    size_t size = (n + 8 * size_t(threads) - 1) / (8 * size_t(threads));
    if (size > 4096) size = 4096;
    if (size < 1) size = 1;
    return Chunks{n, size, (n + size - 1) / size};
}

}  // namespace utils
}  // namespace tabrix
