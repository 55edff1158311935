// tabrix_libs._tableio.value_counts: the distinct str values of a column and how often each
// occurs, for the report's per-column summaries (tabrix_libs.summary). One pass, hashing each
// text once; a cell object met again (the reader shares the objects of short repeated fields) is
// found by its address without reading its text.
#include "python/numpy_api.h"

#include <nanobind/nanobind.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "kernels/hash_table.h"
#include "kernels/text_key.h"
#include "python/py_errors.h"
#include "python/value_match.h"

namespace nb = nanobind;
using tabrix::py::raise;
using tabrix::py::raise_current;

namespace {

struct Entry {
    tabrix::TextKey key;  // key.extra: the value's position in the counts
    const unsigned char* data;
    size_t nbytes;
};

class Counter {
public:
    Counter(size_t cap) : cap_(cap), recent_(kRecent, Recent{nullptr, 0}) {}

    // Adds a value counted whatever happens (a missing marker); before any cell.
    void add_kept(PyObject* o) {
        if (!PyUnicode_Check(o))
            raise(PyExc_TypeError, "value_counts: kept values must be str, not %.200s",
                  Py_TYPE(o)->tp_name);
        const size_t before = values_.size();
        find_or_add(o, true);
        kept_ += values_.size() - before;  // a value given twice is kept once
    }

    void count(PyObject* o) {
        Recent& r = recent_[(reinterpret_cast<uintptr_t>(o) >> 4) & (kRecent - 1)];
        if (r.object == o) {
            ++counts_[r.index];
            return;
        }
        if (!PyUnicode_Check(o))
            raise(PyExc_TypeError, "value_counts: cells must be str, not %.200s",
                  Py_TYPE(o)->tp_name);
        const uint32_t i = find_or_add(o, false);
        if (i == kNone) return;
        ++counts_[i];
        r = Recent{o, i};
    }

    nb::object result() const {
        nb::list values;
        for (PyObject* v : values_) values.append(nb::borrow(v));
        npy_intp n = static_cast<npy_intp>(counts_.size());
        nb::object counts = tabrix::py::checked(PyArray_SimpleNew(1, &n, NPY_INT64));
        auto* out =
            static_cast<int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(counts.ptr())));
        for (size_t i = 0; i < counts_.size(); ++i) out[i] = counts_[i];
        return nb::make_tuple(values, counts, over_);
    }

private:
    static constexpr uint32_t kNone = 0xFFFFFFFFu;
    static constexpr size_t kRecent = 512;
    struct Recent {
        PyObject* object;
        uint32_t index;
    };

    // The position of o's value, added when new (kNone once past the cap: not counted).
    uint32_t find_or_add(PyObject* o, bool kept) {
        const tabrix::py::StrView v = tabrix::py::str_view(o);
        const size_t nbytes = static_cast<size_t>(v.length) * static_cast<size_t>(v.kind);
        const auto* data = static_cast<const unsigned char*>(v.data);
        tabrix::TextKey key = tabrix::TextKey::make(data, nbytes, static_cast<unsigned>(v.kind));
        const uint64_t h = key.hash(data, nbytes);
        const Entry* found = table_.find(h, [&](const Entry& e) {
            return e.key.same_head(key) && e.nbytes == nbytes &&
                   (nbytes <= 16 || std::memcmp(e.data + 16, data + 16, nbytes - 16) == 0);
        });
        if (found) return found->key.extra;
        if (over_) return kNone;
        if (!kept && values_.size() - kept_ >= cap_) {
            drop_unkept();
            return kNone;
        }
        key.extra = static_cast<uint32_t>(values_.size());
        table_.insert(h, Entry{key, data, nbytes});
        entries_.push_back(Entry{key, data, nbytes});
        hashes_.push_back(h);
        values_.push_back(o);
        counts_.push_back(0);
        return key.extra;
    }

    // More distinct values than the cap: only the kept ones are counted from now on.
    void drop_unkept() {
        over_ = true;
        table_ = tabrix::FlatHashSet<Entry>();
        for (size_t i = 0; i < kept_; ++i) table_.insert(hashes_[i], entries_[i]);
        values_.resize(kept_);
        counts_.resize(kept_);
        std::fill(recent_.begin(), recent_.end(), Recent{nullptr, 0});
    }

    size_t cap_;
    size_t kept_ = 0;
    bool over_ = false;
    tabrix::FlatHashSet<Entry> table_;
    std::vector<Entry> entries_;
    std::vector<uint64_t> hashes_;
    std::vector<PyObject*> values_;  // borrowed: the column and the kept list hold them
    std::vector<int64_t> counts_;
    std::vector<Recent> recent_;
};

nb::object value_counts(nb::handle column, int64_t cap, nb::handle kept) {
    if (cap < 0) raise(PyExc_ValueError, "value_counts: cap must not be negative");
    Counter counter(static_cast<size_t>(cap));
    nb::object kept_seq =
        tabrix::py::checked(PySequence_Fast(kept.ptr(), "kept must be a sequence"));
    const Py_ssize_t nkept = PySequence_Fast_GET_SIZE(kept_seq.ptr());
    for (Py_ssize_t i = 0; i < nkept; ++i)
        counter.add_kept(PySequence_Fast_GET_ITEM(kept_seq.ptr(), i));
    if (PyList_Check(column.ptr())) {
        const Py_ssize_t n = PyList_GET_SIZE(column.ptr());
        for (Py_ssize_t i = 0; i < n; ++i) counter.count(PyList_GET_ITEM(column.ptr(), i));
        return counter.result();
    }
    if (!PyArray_Check(column.ptr()))
        raise(PyExc_TypeError, "value_counts: the column must be a list or a NumPy array");
    auto* a = reinterpret_cast<PyArrayObject*>(column.ptr());
    if (PyArray_NDIM(a) != 1 || PyArray_TYPE(a) != NPY_OBJECT)
        raise(PyExc_TypeError, "value_counts: the column must be a 1-D object array");
    const char* p = static_cast<const char*>(PyArray_DATA(a));
    const npy_intp stride = PyArray_STRIDE(a, 0), n = PyArray_DIM(a, 0);
    for (npy_intp i = 0; i < n; ++i, p += stride) {
        PyObject* o;
        std::memcpy(&o, p, sizeof o);
        if (!o) raise(PyExc_TypeError, "value_counts: the column holds an empty cell");
        counter.count(o);
    }
    return counter.result();
}

const char* const kValueCountsDoc = R"(The distinct values of a column of str and their counts.

value_counts(column, cap, kept=()) -> (values, counts, over)

column is a 1-D object array (any stride) or a list of str. values lists the distinct values in
the order first met, counts (int64) how many cells hold each. The values of `kept` come first
and are always counted. Past `cap` other distinct values, `over` is True and only the kept
values are returned, with their counts over the whole column.
)";

}  // namespace

void bind_summary(nb::module_& m) {
    m.def("value_counts", &value_counts, nb::arg("column"), nb::arg("cap"),
          nb::arg("kept") = nb::tuple(), kValueCountsDoc);
}
