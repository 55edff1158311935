// How the kernels share large object inputs among threads.
//
// The input is cut into chunks. The calling thread, with the GIL, gathers the cells of each
// chunk when the threads cannot read them where they are (see below); the per-cell work (number
// parsing, cleaning, hashing, lookups among plain markers) runs on the threads, the calling thread
// one of them, on exact str objects (for categories also floats, ints, bools, None and NumPy
// numbers): it touches no reference count and calls nothing that allocates, caches or may set a
// Python error. The calling thread then builds the Python results of each chunk in order, with the
// GIL, and handles every cell the threads left. Gathering, work and results overlap.
//
// When other Python threads exist, the calling thread takes a strong reference to each cell
// it gathers and releases the GIL while it works, so that they run meanwhile and nothing they
// do to the input frees a cell being read. When none does, it keeps the GIL and the threads
// read the cells in place: no Python code can run anywhere meanwhile, and taking and dropping
// a reference to each cell (a write to every object, which the threads then read from
// another core) was measured to cost about what the threads save on two cores.
//
// A cell whose handling may run Python code (a str subclass looked up among markers, an
// object of no plain kind) stops the shared work: once the threads have ended, the rest of
// the input is read again and handled on one thread, as a Python loop would.
#pragma once

#include "python/numpy_api.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <vector>

#include "kernels/parallel.h"
#include "python/array_walk.h"

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

// Prefetches, to be written, the header of the object that the pointer cell at p refers to.
inline void prefetch_for_hold(const char* p) {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(py::load<const char*>(p), 1);
#else
    (void)p;
#endif
}

// Whether this interpreter has Python threads other than the calling one, which may run
// (and change the input) while the GIL is released.
bool other_python_threads();

// Cell pointers gathered for the threads (null where none is). With `strong`, each holds a
// strong reference, so that the GIL can be released while the threads read the cells;
// without, the calling thread keeps the GIL for the whole call, no Python code runs anywhere
// meanwhile, and the pointers are borrowed from the input. Used and destroyed with the GIL.
class HeldCells {
public:
    HeldCells(size_t n, bool strong) : cells_(n, nullptr), strong_(strong) {}
    HeldCells(const HeldCells&) = delete;
    HeldCells& operator=(const HeldCells&) = delete;
    ~HeldCells() {
        if (strong_)
            for (PyObject* o : cells_) Py_XDECREF(o);
    }
    bool strong() const { return strong_; }
    void hold(size_t i, PyObject* o) {
        if (strong_) Py_XINCREF(o);
        cells_[i] = o;
    }
    void release(size_t i) {
        PyObject* o = cells_[i];
        cells_[i] = nullptr;
        if (strong_) Py_XDECREF(o);
    }
    // Readable by the threads between gather and finish of the cell's chunk.
    PyObject* operator[](size_t i) const { return cells_[i]; }

private:
    std::vector<PyObject*> cells_;
    bool strong_;
};

// The cells of a 1-D object column as the threads read them. Without `strong`, in place:
// the calling thread keeps the GIL for the whole call, so no Python code can run anywhere
// and change the column meanwhile, and nothing is copied. With `strong`, from the strong
// references that gather() takes to the cells `wanted` accepts (the others read as null),
// so that the GIL can be released. gather and release are called with the GIL.
class ColumnCells {
public:
    ColumnCells(const char* base, npy_intp stride, size_t n, bool strong)
        : base_(base), stride_(stride), held_(strong ? n : 0, strong) {}
    bool strong() const { return held_.strong(); }
    template <class Wanted>
    void gather(size_t begin, size_t end, Wanted&& wanted) {
        if (!strong()) return;
        for (size_t i = begin; i < end; ++i) {
            if (i + kFar < end) prefetch_for_hold(at(i + kFar));
            PyObject* o = py::load<PyObject*>(at(i));
            if (wanted(o)) held_.hold(i, o);
        }
    }
    void release(size_t begin, size_t end) {
        if (strong())
            for (size_t i = begin; i < end; ++i) held_.release(i);
    }
    // Null for an empty cell, and for one gather() did not take.
    PyObject* operator[](size_t i) const {
        return strong() ? held_[i] : py::load<PyObject*>(at(i));
    }

private:
    static constexpr size_t kFar = static_cast<size_t>(py::kPrefetchFar);
    const char* at(size_t i) const { return base_ + static_cast<npy_intp>(i) * stride_; }
    const char* base_;
    npy_intp stride_;
    HeldCells held_;
};

// Runs, for chunks 0..nchunks-1, gather(c) then task(c, worker) then finish(c). Called with
// the GIL held; gather and finish run on the calling thread with the GIL, in the order of c;
// task runs on up to `threads` threads (worker 0 is the calling thread) once gather(c) has
// returned, without the GIL when release_gil is set (else the calling thread keeps it). finish(c)
// returns false to stop: no task starts after that, the running ones are waited for, and c is
// returned (nchunks when all were finished). The first exception from any of them stops the threads
// and is rethrown, with the GIL held.
template <class Gather, class Task, class Finish>
size_t run_released(size_t nchunks, unsigned threads, bool release_gil, Gather&& gather,
                    Task&& task, Finish&& finish) {
    if (nchunks == 0) return 0;
    struct State {
        std::mutex mutex;
        std::condition_variable wake;
        size_t gathered = 0, next = 0;
        bool stop = false;
        std::exception_ptr error;
        std::vector<uint8_t> done;
    } st;
    st.done.assign(nchunks, 0);
    // Tasks taken in order once gathered; false when none is left or the work stopped.
    auto take = [&](std::unique_lock<std::mutex>& lock, size_t* c, bool wait) {
        if (wait)
            st.wake.wait(lock,
                         [&] { return st.stop || st.next < st.gathered || st.next >= nchunks; });
        if (st.stop || st.next >= st.gathered) return false;
        *c = st.next++;
        return true;
    };
    auto mark_done = [&](size_t c) {
        {
            std::lock_guard<std::mutex> lock(st.mutex);
            st.done[c] = 1;
        }
        st.wake.notify_all();
    };
    auto fail = [&](std::exception_ptr e) {
        {
            std::lock_guard<std::mutex> lock(st.mutex);
            if (!st.error) st.error = std::move(e);
            st.stop = true;
        }
        st.wake.notify_all();
    };
    auto work = [&](unsigned worker) {
        try {
            for (;;) {
                size_t c;
                {
                    std::unique_lock<std::mutex> lock(st.mutex);
                    if (!take(lock, &c, true)) return;
                }
                task(c, worker);
                mark_done(c);
            }
        } catch (...) {
            fail(std::current_exception());
        }
    };

    PyThreadState* saved = nullptr;  // set while this thread has released the GIL
    auto release = [&] {
        if (release_gil && !saved) saved = PyEval_SaveThread();
    };
    auto reacquire = [&] {
        if (saved) PyEval_RestoreThread(saved);
        saved = nullptr;
    };
    // Chunks gathered ahead of those finished. With references taken: enough to keep the
    // threads busy, few enough that the cells the calling thread has just touched are still
    // in cache for the threads. Without: all of them (gathering only copies pointers), so
    // that the calling thread never waits for a thread slowed down by others on the machine
    // while it could take the next chunk itself.
    const size_t ahead = release_gil ? 16 * size_t(threads > 0 ? threads : 1) : nchunks;
    size_t finished = 0;
    {
        detail::Crew crew;
        const unsigned extra =
            static_cast<unsigned>(std::min<size_t>(nchunks, threads > 0 ? threads : 1) - 1);
        try {
            crew.start(extra, work);
            while (finished < nchunks) {
                std::unique_lock<std::mutex> lock(st.mutex);
                if (st.stop) break;
                if (st.done[finished]) {
                    lock.unlock();
                    reacquire();
                    if (!finish(finished)) break;
                    ++finished;
                } else if (st.gathered < nchunks && st.gathered < finished + ahead) {
                    lock.unlock();
                    reacquire();
                    gather(st.gathered);
                    lock.lock();
                    ++st.gathered;
                    lock.unlock();
                    st.wake.notify_all();
                } else {
                    size_t c;
                    if (take(lock, &c, false)) {
                        lock.unlock();
                        release();
                        task(c, 0u);
                        mark_done(c);
                    } else {
                        release();
                        st.wake.wait(lock, [&] { return st.stop || st.done[finished]; });
                    }
                }
            }
        } catch (...) {
            fail(std::current_exception());
        }
        {
            std::lock_guard<std::mutex> lock(st.mutex);
            st.stop = true;
        }
        st.wake.notify_all();
        crew.join();
        reacquire();
    }
    if (st.error) std::rethrow_exception(st.error);
    return finished;
}

}  // namespace utils
}  // namespace tabrix
