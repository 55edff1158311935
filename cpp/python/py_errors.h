// Raising Python exceptions from C++ code: a Python error is set, then thrown as
// nanobind::python_error, which unwinds to the function boundary (nanobind's, or native<> in
// cpp/exportable/protocol.h) where it becomes the Python exception again.
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

// Takes ownership of a new reference returned by the C API, or throws the error it set.
inline nanobind::object checked(PyObject* result) {
    if (!result) raise_current();
    return nanobind::steal(result);
}

// An exception a bare `except Exception` would handle (not KeyboardInterrupt or SystemExit).
inline bool is_ordinary(const nanobind::python_error& e) { return e.matches(PyExc_Exception); }

// Clears the pending exception when it is a TypeError, ValueError or ArithmeticError (a
// comparison or conversion that does not apply); throws any other one.
void clear_inapplicable_error();

// repr(o) for messages, shortened in the middle when long; never fails.
std::string short_repr(PyObject* o);

// Name of the type of o, for messages.
inline const char* type_name(PyObject* o) { return Py_TYPE(o)->tp_name; }

// While alive, makes `e` the exception being handled, as inside an `except` block: anything
// raised meanwhile gets `e` as its __context__, the way the interpreter chains them.
class Handling {
public:
    explicit Handling(const nanobind::python_error& e);
    ~Handling();
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    PyObject* saved_type_ = nullptr;
    PyObject* saved_value_ = nullptr;
    PyObject* saved_tb_ = nullptr;
};

}  // namespace py
}  // namespace tabrix
