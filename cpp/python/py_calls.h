// Calls, attributes and indexing with Python's own semantics, from C++: every helper returns a
// new reference or throws the Python error (py_errors.h), so code reads like the Python it
// replaces.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <string>
#include <utility>

#include "python/compat.h"
#include "python/py_errors.h"

namespace tabrix {
namespace py {

namespace nb = nanobind;

// The interned Python string for a name given as a string literal (cached by address).
PyObject* interned(const char* name);

// Python truth value; raises what the object's __bool__ raises.
bool truthy(nb::handle value);
// getattr / hasattr / setattr with Python semantics.
nb::object attr(nb::handle obj, const char* name);
bool has_attr(nb::handle obj, const char* name);
// getattr, or an invalid object when the attribute is absent (AttributeError, cleared).
nb::object attr_if_present(nb::handle obj, const char* name);
void set_attr(nb::handle obj, const char* name, nb::handle value);
// Calls with positional arguments and, when kwnames is given, that many trailing keywords.
nb::object call(nb::handle fn, std::initializer_list<nb::handle> args,
                nb::handle kwnames = nb::handle());
// A tuple of the names as interned strings.
nb::object name_tuple(std::initializer_list<const char*> names);
// A tuple of keyword names for call(), built once per call site and kept for good.
nb::handle kw_names(std::initializer_list<const char*> names);
nb::object str_of(nb::handle obj);
// The text of a str object.
std::string utf8(nb::handle s);
// `a == b` in Python's truth sense.
bool equals(nb::handle a, nb::handle b);
// An index or size as C++ integer (OverflowError beyond Py_ssize_t).
Py_ssize_t as_size(nb::handle value);
inline nb::object new_list() { return checked(PyList_New(0)); }
// seq[j]
nb::object item_at(nb::handle seq, Py_ssize_t j);
// `first, second = value`, failing with the interpreter's own unpacking errors.
std::pair<nb::object, nb::object> unpack_pair(nb::handle value);

// The namespace of a module, read the way a function body reads its globals.
class Globals {
public:
    explicit Globals(PyObject* dict) : dict_(dict) {}
    // Module global, then builtin; NameError when absent.
    nb::object operator[](const char* name) const;
    bool flag(const char* name) const { return truthy((*this)[name]); }
    PyObject* dict() const { return dict_; }

private:
    PyObject* dict_;
};

// ---- NumPy-style indexing through Python, so any array-like behaves as it would in Python

// X.shape[axis] as a Python object.
nb::object shape_item(nb::handle X, Py_ssize_t axis);
// `:` as an index part.
nb::handle full_slice();
// A.reshape(rows, -1)
nb::object reshape_rows(nb::handle A, nb::handle rows);
// X[rows, columns]
nb::object index_2d(nb::handle X, nb::handle rows, nb::handle columns);
// X[:, j]
nb::object get_column(nb::handle X, Py_ssize_t j);
// Y[:, j] = value, with NumPy's own conversions and errors.
void set_column(nb::handle Y, Py_ssize_t j, nb::handle value);

}  // namespace py
}  // namespace tabrix
