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

// True for a float NaN or a NumPy NaN of any float type.
bool is_nan_object(PyObject* o);

// Content hash of a str (kind and code units).
uint64_t str_content_hash(PyObject* s);

// Content equality of two str objects.
bool str_equal(PyObject* a, PyObject* b);

// Text of a string object: code units of 1, 2 or 4 bytes.
struct StrView {
    const void* data;
    Py_ssize_t length;
    int kind;  // 1, 2 or 4
    bool ascii;
};
StrView str_view(PyObject* s);  // s must satisfy PyUnicode_Check

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
    bool add(PyObject* v) { return add(v, classify(v)); }
    bool add(PyObject* v, const CellInfo& info);

    // Adds a reference value as add() does, but also keeps a value equal to one already in
    // for the comparisons of other objects: equality across types is not always transitive
    // (numpy.int64(2) == Decimal(2) fails, 2 == Decimal(2) holds).
    void add_reference(PyObject* v);

    bool contains(PyObject* cell) const { return contains(cell, classify(cell)); }
    bool contains(PyObject* cell, const CellInfo& info) const {
        switch (info.kind) {
            case Kind::kNan: return has_nan_;
            case Kind::kNone:
                if (has_none_) return true;
                break;
            case Kind::kStr:
                if (str_may_contain(cell) && find_str(cell) >= 0) return true;
                break;
            case Kind::kNum:
                if (has_num_ && find_num(info.key) >= 0) return true;
                break;
            case Kind::kOther: return contains_by_python(cell, false);
        }
        return has_other_ && contains_by_python(cell, true);
    }

    bool empty() const { return values_.empty(); }
    // Whether the str s (classified kStr) matches, for callers that classified it already.
    bool contains_str(PyObject* s) const {
        if (str_may_contain(s) && find_str(s) >= 0) return true;
        return has_other_ && contains_by_python(s, true);
    }
    size_t size() const { return values_.size(); }
    bool has_nan() const { return has_nan_; }
    // The values in insertion order (with add_reference, equal values of other types too).
    const std::vector<nanobind::object>& values() const { return values_; }

    // Keys of the numbers a numeric cell can equal, and whether NaN is in: what numeric
    // arrays are matched against (strings and None never equal a number).
    NumKeySet numeric_keys() const;

private:
    struct Typed {
        PyObject* obj;
        NumKey key;
        Kind kind;
    };
    struct Hashed {
        PyObject* obj;
        bool other;
    };

    // Cheap filter before hashing: the length (mod 64) and the first code unit of a string
    // must be those of some string value.
    bool str_may_contain(PyObject* s) const {
        Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        if (!((str_lengths_ >> (n & 63)) & 1)) return false;
        if (n == 0) return true;
        Py_UCS4 c = PyUnicode_READ_CHAR(s, 0);
        return c < 128 ? (str_first_[c >> 6] >> (c & 63)) & 1 : str_first_wide_;
    }
    int64_t find_str(PyObject* s) const;
    int64_t find_num(const NumKey& k) const {
        return typed_.find(k.hash(), [&](const Typed& e) {
            return e.kind == Kind::kNum && e.key == k;
        });
    }
    bool contains_by_python(PyObject* cell, bool only_other) const;

    OrderedHashTable<Typed> typed_;     // strings and numbers, by content / value
    OrderedHashTable<Hashed> hashed_;   // every hashable value, by Python's hash
    std::vector<PyObject*> unhashable_;
    std::vector<nanobind::object> values_;  // owns the references
    uint64_t str_lengths_ = 0;  // bit (length % 64) set for each string value
    uint64_t str_first_[2] = {0, 0};  // bit c set when a string value starts with ASCII c
    bool str_first_wide_ = false;     // some string value starts beyond ASCII
    bool has_nan_ = false, has_none_ = false, has_num_ = false;
    bool has_other_ = false;  // values of kind kOther (they may equal anything)
};

// Reads a list of reference values: None gives an empty set; a str, bytes or non-iterable
// object is a TypeError naming func and arg.
ValueSet read_value_list(PyObject* list, const char* func, const char* arg);

}  // namespace py
}  // namespace tabrix
