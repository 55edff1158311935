// Raising Python exceptions from C++ code bound with nanobind.
#pragma once

#include "python/numpy_api.h"

#include <nanobind/nanobind.h>

#include <string>

namespace tabrix {
namespace py {

// Sets a Python exception of the given type (printf-style message, with Python's %R, %S,
// %zd...) and throws it as nanobind::python_error.
[[noreturn]] void raise(PyObject* type, const char* fmt, ...);

// Throws the Python exception already set.
[[noreturn]] void raise_current();

inline void check(bool ok) {
    if (!ok) raise_current();
}

// Clears the pending exception when it is a TypeError, ValueError or ArithmeticError (a
// comparison or conversion that does not apply); throws any other one.
void clear_inapplicable_error();

// repr(o) for messages, shortened in the middle when long; never fails.
std::string short_repr(PyObject* o);

// Name of the type of o, for messages.
inline const char* type_name(PyObject* o) { return Py_TYPE(o)->tp_name; }

}  // namespace py
}  // namespace tabrix
