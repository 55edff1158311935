// The matching rule between cells and reference values (missing-value markers, known
// values, categories).
//
// A cell matches a value when they are equal in Python (so 1 matches 1.0 and True), except
// for NaN: NaN cells (a float NaN or a NumPy NaN of any float type) match only when a NaN is
// among the values, and never any other value. Strings compare by content, numbers by value
// whatever their Python or NumPy type; everything else goes through Python's hash and ==.
#pragma once

#include "python/numpy_api.h"

#include <numpy/arrayscalars.h>

#include <nanobind/nanobind.h>

#include <cstdint>
#include <vector>

#include "kernels/hash_table.h"
#include "kernels/num_key.h"
#include "kernels/text_key.h"
#include "python/array_walk.h"

namespace tabrix {
namespace py {

enum class Kind : uint8_t {
    kNan,    // float NaN of any float type
    kNone,   // None
    kNum,    // bool, int within [-2^63, 2^64), float or NumPy real number: keyed by value
    kStr,    // str (exact) or numpy.str_: keyed by content
    kOther,  // anything else: Python's hash and ==
};

struct CellInfo {
    Kind kind;
    NumKey key;  // for kNum
};

// Classifies a Python object; never fails.
CellInfo classify(PyObject* o);

// The value of a number classified kNum, as a double. Keys make -0.0 the integer 0 (right
// for matching); this keeps the sign of a float zero.
double number_value(PyObject* o, const CellInfo& info);

// True for a float NaN or a NumPy NaN of any float type.
bool is_nan_object(PyObject* o);

// Text of a string object: code units of 1, 2 or 4 bytes.
struct StrView {
    const void* data;
    Py_ssize_t length;
    int kind;  // 1, 2 or 4
    bool ascii;
};
inline StrView str_view(PyObject* s) {  // s must satisfy PyUnicode_Check
#if PY_VERSION_HEX < 0x030C0000
    if (!PyUnicode_IS_READY(s) && PyUnicode_READY(s) < 0) throw nanobind::python_error();
#endif
    return StrView{PyUnicode_DATA(s), PyUnicode_GET_LENGTH(s), static_cast<int>(PyUnicode_KIND(s)),
                   PyUnicode_IS_ASCII(s) != 0};
}

// What a lookup needs to know of a cell, computed once and usable with several sets: its
// kind and, for strings and numbers, its key and the key's hash.
struct Probe {
    Kind kind;
    TextKey key;    // strings: the text key; numbers: the number key (meta 0)
    uint64_t hash;  // of key
};

// Builds the probe of a cell (reads the cell's text for strings) in *out. Written field by
// field in place: a probe returned by value and copied is stored and loaded back in pieces of
// different sizes, which stalls the CPU in the hot loops.
void make_probe_general(PyObject* cell, Probe* out);
inline void make_probe(PyObject* cell, Probe* out) {
    // Inline for the common case, a compact str: its text follows the object header.
    if (Py_TYPE(cell) == &PyUnicode_Type && PyUnicode_IS_COMPACT(cell)
#if PY_VERSION_HEX < 0x030C0000
        && PyUnicode_IS_READY(cell)
#endif
    ) {
        const size_t kind = PyUnicode_KIND(cell);
        const size_t nbytes = static_cast<size_t>(PyUnicode_GET_LENGTH(cell)) * kind;
        const void* data = PyUnicode_DATA(cell);
        out->kind = Kind::kStr;
        out->key = TextKey::make_after_header(data, nbytes, static_cast<unsigned>(kind));
        out->hash = out->key.hash(data, nbytes);
        return;
    }
    make_probe_general(cell, out);
}
inline Probe make_probe(PyObject* cell) {
    Probe p;
    make_probe(cell, &p);
    return p;
}

// make_probe() for cells it can build without the GIL while another thread holds it, calling
// nothing that may set a Python error or run Python code: exact str (ready), float, bool,
// None, int within 64 bits and NumPy numbers. False for any other cell, *p untouched.
bool make_probe_without_python(PyObject* cell, Probe* p);

// Whether two texts (str objects, ready) are equal.
bool same_text(PyObject* a, PyObject* b);

// A set of Python values under the matching rule, remembering the order of insertion.
class ValueSet {
public:
    ValueSet() = default;
    ValueSet(const ValueSet&) = delete;
    ValueSet& operator=(const ValueSet&) = delete;
    ValueSet(ValueSet&&) = default;
    ValueSet& operator=(ValueSet&&) = default;

    // Adds v unless an equal value is already in; returns true when added. NaN values are
    // all one value here. Throws nanobind::python_error on a Python error.
    bool add(PyObject* v) { return add(v, make_probe(v)); }
    bool add(PyObject* v, const Probe& p);
    // Adds v, known not to be in yet.
    void add_new(PyObject* v, const Probe& p);

    // Adds a reference value as add() does, but also keeps a value equal to one already in
    // for the comparisons of other objects: equality across types is not always transitive
    // (numpy.int64(2) == Decimal(2) fails, 2 == Decimal(2) holds).
    void add_reference(PyObject* v);

    bool contains(PyObject* cell) const {
        if (Py_TYPE(cell) == &PyUnicode_Type) return contains_str(cell);
        return contains(cell, make_probe(cell));
    }
    // contains() for an exact str, filtering before building the probe.
    bool contains_str(PyObject* s) const {
        if (str_may_contain(s) && find_typed(make_probe(s), s) >= 0) return true;
        return has_other_ && contains_by_python(s, true);
    }
    bool contains(PyObject* cell, const Probe& p) const {
        switch (p.kind) {
            case Kind::kNan: return has_nan_;
            case Kind::kNone:
                if (has_none_) return true;
                break;
            case Kind::kStr:
                if (str_may_contain(cell) && find_typed(p, cell) >= 0) return true;
                break;
            case Kind::kNum:
                if (has_num_ && find_typed(p, cell) >= 0) return true;
                break;
            case Kind::kOther: return contains_by_python(cell, false);
        }
        if (!has_other_) return false;
        return p.kind == Kind::kNum ? contains_number_by_python(cell, p)
                                    : contains_by_python(cell, true);
    }

    // Starts loading the table slot a later lookup of p will read.
    void prefetch(const Probe& p) const {
        if (p.kind == Kind::kStr || p.kind == Kind::kNum) typed_.prefetch(p.hash);
    }

    // Whether contains(cell, p) may run Python code (hash or == of an object of no plain
    // kind), which may rebind array cells and free objects: callers then hold a strong
    // reference to the cell across the lookup, and treat what they read before as stale.
    bool may_run_python(const Probe& p) const { return p.kind == Kind::kOther || has_other_; }
    // Whether some value is of no plain kind: any lookup may then run Python code.
    bool has_other() const { return has_other_; }
    // New reference to `fill` when contains(cell, p) == fill_when (*filled), else to cell,
    // which is held through the lookup. Kept out of line, away from the callers' hot loops.
    PyObject* fill_or_keep_held(PyObject* cell, const Probe& p, bool fill_when, PyObject* fill,
                                bool* filled) const;

    bool empty() const { return values_.empty(); }
    size_t size() const { return values_.size(); }
    bool has_nan() const { return has_nan_; }
    // The values in insertion order (with add_reference, equal values of other types too).
    const std::vector<nanobind::object>& values() const { return values_; }

    // Keys of the numbers a numeric cell can equal, and whether NaN is in: what numeric
    // arrays are matched against (strings and None never equal a number).
    NumKeySet numeric_keys() const;

private:
    struct Hashed {
        PyObject* obj;
        bool other;
    };

    // Cheap filter before the table: the length (mod 64) and the first code unit of a
    // string must be those of some string value.
    bool str_may_contain(PyObject* s) const {
        if (!str_filter_) return true;
        Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        if (!((str_lengths_ >> (n & 63)) & 1)) return false;
        if (n == 0) return true;
        Py_UCS4 c = PyUnicode_READ_CHAR(s, 0);
        return c < 128 ? (str_first_[c >> 6] >> (c & 63)) & 1 : str_first_wide_;
    }
    // Position in values_ of the string or number equal to the probed cell, or -1.
    int64_t find_typed(const Probe& p, PyObject* cell) const {
        const TextKey* e = typed_.find(p.hash, [&](const TextKey& t) {
            if (!t.same_head(p.key)) return false;
            // Numbers and texts up to 16 bytes are whole in the key.
            return p.key.meta == 0 || (p.key.meta >> 3) <= 16 || long_text_equal(cell, t.extra);
        });
        return e ? static_cast<int64_t>(e->extra) : -1;
    }
    bool long_text_equal(PyObject* cell, uint32_t pos) const;
    bool contains_by_python(PyObject* cell, bool only_other) const;
    bool contains_number_by_python(PyObject* cell, const Probe& p) const;
    void add_hashed(PyObject* v, bool other);
    void add_hashed(PyObject* v, const Probe& p);

    // Strings by content and numbers by value; an entry's extra is its position in values_.
    FlatHashSet<TextKey> typed_;
    OrderedHashTable<Hashed> hashed_;  // every hashable value, by Python's hash
    std::vector<PyObject*> unhashable_;
    std::vector<nanobind::object> values_;         // owns the references
    std::vector<nanobind::object> plain_numbers_;  // what NumPy number values compare as
    uint64_t str_lengths_ = 0;                     // bit (length % 64) set for each string value
    uint64_t str_first_[2] = {0, 0};  // bit c set when a string value starts with ASCII c
    bool str_first_wide_ = false;     // some string value starts beyond ASCII
    bool str_filter_ = true;          // the filter pays off only for a few strings
    uint32_t str_count_ = 0;
    bool has_nan_ = false, has_none_ = false, has_num_ = false;
    bool has_other_ = false;  // values of kind kOther (they may equal anything)
};

// Walks cells 0..n-1 (cell_at(k) gives the PyObject*) calling f(k, cell, probe) in order,
// with the cell objects prefetched kPrefetchFar cells ahead and the probes computed,
// and their slots in `set` prefetched, kProbeAhead cells ahead. f returns true when it may
// have run Python code: cells may then have been rebound, so the probes built before are
// rebuilt from the cells as they are when reached.
constexpr npy_intp kProbeAhead = 16;
template <class CellAt, class F>
void walk_with_probes(npy_intp n, const ValueSet& set, CellAt&& cell_at, F&& f) {
    // Twice as many slots as probes ahead: the probe in use is read in place, never copied
    // (a copy is written and read back in pieces of different sizes, which stalls the CPU).
    constexpr npy_intp kSlots = 2 * kProbeAhead;
    Probe ring[kSlots];
    for (npy_intp k = 0; k < n && k < kProbeAhead; ++k) {
        make_probe(cell_at(k), &ring[k]);
        set.prefetch(ring[k]);
    }
    npy_intp stale_until = -1;  // probes of cells up to here predate Python code
    Probe fresh;
    for (npy_intp k = 0; k < n; ++k) {
        if (k + kPrefetchFar < n) prefetch_pyobject(cell_at(k + kPrefetchFar));
        if (k + kProbeAhead < n) {
            Probe& next = ring[(k + kProbeAhead) % kSlots];
            make_probe(cell_at(k + kProbeAhead), &next);
            set.prefetch(next);
        }
        PyObject* cell = cell_at(k);
        const Probe* p = &ring[k % kSlots];
        if (k <= stale_until) {
            make_probe(cell, &fresh);
            p = &fresh;
        }
        if (f(k, cell, *p)) stale_until = k + kProbeAhead;
    }
}

// Reads a list of reference values: None gives an empty set; a str, bytes or non-iterable
// object is a TypeError naming func and arg.
ValueSet read_value_list(PyObject* list, const char* func, const char* arg);

}  // namespace py
}  // namespace tabrix
