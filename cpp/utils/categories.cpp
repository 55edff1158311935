// numpy_get_categories: the distinct values of each column, in order of first appearance.
#include <atomic>
#include <cmath>
#include <type_traits>
#include <vector>

#include "kernels/hash_table.h"
#include "kernels/parallel.h"
#include "python/array_walk.h"
#include "python/py_args.h"
#include "python/py_errors.h"
#include "python/value_match.h"
#include "utils/threads.h"
#include "utils/utils.h"

namespace tabrix {
namespace utils {

using namespace py;

namespace {

const char* const kFn = "numpy_get_categories";

std::vector<nb::list> object_categories(PyArrayObject* a, const std::vector<npy_intp>& rows,
                                        const ValueSet& markers) {
    const npy_intp ncols = PyArray_DIM(a, 1);
    const npy_intp s0 = PyArray_STRIDE(a, 0), s1 = PyArray_STRIDE(a, 1);
    const npy_intp n = static_cast<npy_intp>(rows.size());
    std::vector<nb::list> out;
    for (npy_intp j = 0; j < ncols; ++j) {
        const char* col = static_cast<const char*>(PyArray_DATA(a)) + j * s1;
        // Most cells repeat a value already found: look there first, and test the markers only
        // for values not seen yet (those that match a marker are remembered in `excluded`).
        ValueSet found, excluded;
        const bool any_marker = !markers.empty();
        // Whether some value in play is of no plain kind: lookups may then run Python code.
        bool others = any_marker && markers.has_other();
        auto visit = [&](PyObject* cell, const Probe& p) {
            if (found.contains(cell, p) || (any_marker && excluded.contains(cell, p))) return;
            if (any_marker && markers.contains(cell, p))
                excluded.add(cell, p);
            else
                found.add_new(cell, p);
        };
        walk_with_probes(
            n, found,
            [&](npy_intp k) {
                PyObject* c = load<PyObject*>(col + rows[static_cast<size_t>(k)] * s0);
                return c ? c : Py_None;
            },
            [&](npy_intp, PyObject* cell, const Probe& p) {
                if (!others && p.kind != Kind::kOther) {
                    visit(cell, p);
                    return false;
                }
                // Python code may rebind cells and free this one: it is held meanwhile, and
                // the cells ahead are read again.
                others = true;
                nb::object hold = nb::borrow(cell);
                visit(cell, p);
                return true;
            });
        nb::list values;
        for (const nb::object& v : found.values()) values.append(v);
        out.push_back(std::move(values));
    }
    return out;
}

// The distinct values of a run of cells: in order of first appearance, the position (in the
// row list) and probe of each value's first cell, markers left out.
class Distinct {
public:
    struct First {
        npy_intp k;
        PyObject* cell;
        Probe probe;
    };

    // Adds the cell unless a value equal to it is in; false when added. keep() tells whether
    // a new value is listed (a marker is remembered, not listed).
    template <class Keep>
    bool seen_or_add(npy_intp k, PyObject* cell, const Probe& p, Keep&& keep) {
        if (p.kind == Kind::kNone || p.kind == Kind::kNan) {
            bool& seen = p.kind == Kind::kNone ? none_ : nan_;
            if (seen) return true;
            seen = true;
        } else {
            const TextKey* e = table_.find(p.hash, [&](const TextKey& t) {
                // Numbers and texts up to 16 bytes are whole in the key.
                const bool whole = p.key.meta == 0 || (p.key.meta >> 3) <= 16;
                return t.same_head(p.key) && (whole || same_text(cell, cells_[t.extra]));
            });
            if (e) return true;
            TextKey key = p.key;
            key.extra = static_cast<uint32_t>(cells_.size());
            cells_.push_back(cell);
            table_.insert(p.hash, key);
        }
        if (keep()) firsts.push_back(First{k, cell, p});
        return false;
    }

    std::vector<First> firsts;

private:
    FlatHashSet<TextKey> table_;
    std::vector<PyObject*> cells_;  // of the entries, for texts beyond 16 bytes
    bool none_ = false, nan_ = false;
};

// object_categories with the cells probed and their distinct values found by threads, a task
// per column and run of rows, merged in order here (see utils/threads.h). False, with nothing
// done, when some cell is of a kind whose lookup needs Python: the caller then does it all on
// one thread.
bool object_categories_parallel(PyArrayObject* a, const std::vector<npy_intp>& rows,
                                const ValueSet& markers, unsigned threads,
                                std::vector<nb::list>* out) {
    const npy_intp ncols = PyArray_DIM(a, 1);
    const npy_intp s0 = PyArray_STRIDE(a, 0), s1 = PyArray_STRIDE(a, 1);
    const size_t n = rows.size();
    const char* base = static_cast<const char*>(PyArray_DATA(a));
    if (n == 0 || ncols == 0) return false;
    // About eight tasks per thread over all columns.
    const size_t per_column =
        (8 * size_t(threads) + static_cast<size_t>(ncols) - 1) / static_cast<size_t>(ncols);
    const size_t chunk = (n + per_column - 1) / per_column;
    const size_t chunks = (n + chunk - 1) / chunk;
    std::vector<Distinct> found(chunks * static_cast<size_t>(ncols));
    std::atomic<bool> not_plain{false};
    const bool any_marker = !markers.empty();
    // Every cell is held while the threads read it, whatever its kind.
    HeldCells held(found.size() * chunk, other_python_threads());
    auto bounds = [&](size_t task, size_t* begin, size_t* end) {
        *begin = (task % chunks) * chunk;
        *end = *begin + chunk < n ? *begin + chunk : n;
    };
    run_released(
        found.size(), threads, held.strong(),
        [&](size_t task) {
            const npy_intp j = static_cast<npy_intp>(task / chunks);
            size_t begin, end;
            bounds(task, &begin, &end);
            for (size_t k = begin; k < end; ++k) {
                PyObject* c = load<PyObject*>(base + rows[k] * s0 + j * s1);
                held.hold(task * chunk + (k - begin), c ? c : Py_None);
            }
        },
        [&](size_t task, unsigned) {
            size_t begin, end;
            bounds(task, &begin, &end);
            Distinct& d = found[task];
            const size_t at = task * chunk - begin;
            for (size_t k = begin; k < end; ++k) {
                if (not_plain.load(std::memory_order_relaxed)) return;
                if (k + size_t(kPrefetchFar) < end)
                    prefetch_pyobject(held[at + k + size_t(kPrefetchFar)]);
                PyObject* cell = held[at + k];
                Probe p;
                if (!make_probe_without_python(cell, &p)) {
                    not_plain.store(true, std::memory_order_relaxed);
                    return;
                }
                // A value is looked up among the markers once, when first found in the run.
                d.seen_or_add(static_cast<npy_intp>(k), cell, p,
                              [&] { return !(any_marker && markers.contains(cell, p)); });
            }
        },
        [&](size_t) { return !not_plain.load(std::memory_order_relaxed); });
    if (not_plain.load()) return false;
    for (npy_intp j = 0; j < ncols; ++j) {
        Distinct merged;
        nb::list values;
        for (size_t c = 0; c < chunks; ++c) {
            for (const Distinct::First& f : found[static_cast<size_t>(j) * chunks + c].firsts) {
                if (merged.seen_or_add(f.k, f.cell, f.probe, [] { return true; })) continue;
                values.append(nb::borrow(f.cell));
            }
        }
        out->push_back(std::move(values));
    }
    return true;
}

template <class T>
std::vector<nb::list> numeric_categories(PyArrayObject* a, const std::vector<npy_intp>& rows,
                                         const NumKeySet& markers) {
    using V = typename Cell<T>::Value;
    const npy_intp ncols = PyArray_DIM(a, 1);
    const npy_intp s0 = PyArray_STRIDE(a, 0), s1 = PyArray_STRIDE(a, 1);
    std::vector<std::vector<npy_intp>> first_rows(static_cast<size_t>(ncols));
    {
        nb::gil_scoped_release nogil;
        for (npy_intp j = 0; j < ncols; ++j) {
            const char* col = static_cast<const char*>(PyArray_DATA(a)) + j * s1;
            NumKeySet seen;
            bool nan_seen = false;
            for (npy_intp r : rows) {
                V v = Cell<T>::read(col + r * s0);
                bool fresh;
                if constexpr (std::is_floating_point<V>::value) {
                    if (std::isnan(v)) {
                        if (markers.has_nan) continue;
                        fresh = !nan_seen;
                        nan_seen = true;
                    } else {
                        NumKey key = NumKey::from_double(static_cast<double>(v));
                        if (markers.contains(key)) continue;
                        fresh = seen.insert(key);
                    }
                } else {
                    NumKey key = std::is_signed<V>::value
                                     ? NumKey::from_int64(static_cast<int64_t>(v))
                                     : NumKey::from_uint64(static_cast<uint64_t>(v));
                    if (markers.contains(key)) continue;
                    fresh = seen.insert(key);
                }
                if (fresh) first_rows[static_cast<size_t>(j)].push_back(r);
            }
        }
    }
    std::vector<nb::list> out;
    for (npy_intp j = 0; j < ncols; ++j) {
        nb::list values;
        const char* col = static_cast<const char*>(PyArray_DATA(a)) + j * s1;
        for (npy_intp r : first_rows[static_cast<size_t>(j)]) {
            PyObject* v = PyArray_GETITEM(a, const_cast<char*>(col + r * s0));
            check(v != nullptr);
            values.append(nb::steal(v));
        }
        out.push_back(std::move(values));
    }
    return out;
}

}  // namespace

nb::object numpy_get_categories(nb::handle X, nb::handle rows,
                                nb::handle missing_values_reference_list,
                                nb::handle categories_list2) {
    PyArrayObject* x = require_array(X.ptr(), kFn, "X");
    require_ndim(x, 2, kFn, "X");
    if (!categories_list2.is_none() && !PyList_Check(categories_list2.ptr()))
        raise(PyExc_TypeError, "%s: categories_list2 must be a list or None, got %s", kFn,
              type_name(categories_list2.ptr()));
    ValueSet markers =
        read_value_list(missing_values_reference_list.ptr(), kFn, "missing_values_reference_list");
    std::vector<npy_intp> row_idx =
        read_index_list(rows.ptr(), PyArray_DIM(x, 0), kFn, "rows", "rows");

    std::vector<nb::list> columns;
    const int type_num = PyArray_TYPE(x);
    if (type_num == NPY_OBJECT) {
        const size_t cells = row_idx.size() * static_cast<size_t>(PyArray_DIM(x, 1));
        const unsigned threads = kernel_threads(cells, kMinCellsCategories, kFn);
        // Markers of no plain kind make every lookup run Python code: those stay on one thread.
        if (threads <= 1 || markers.has_other() ||
            !object_categories_parallel(x, row_idx, markers, threads, &columns))
            columns = object_categories(x, row_idx, markers);
    } else {
        nb::object native = native_order(x);
        NumKeySet keys = markers.numeric_keys();
        if (!dispatch_numeric(type_num, [&](auto tag) {
                columns = numeric_categories<decltype(tag)>(arr(native), row_idx, keys);
            })) {
            nb::object objects = cast_to(x, NPY_OBJECT);
            columns = object_categories(arr(objects), row_idx, markers);
        }
    }

    nb::list result =
        categories_list2.is_none() ? nb::list() : nb::borrow<nb::list>(categories_list2);
    for (nb::list& c : columns) result.append(c);
    return std::move(result);
}

}  // namespace utils
}  // namespace tabrix
