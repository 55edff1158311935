// Checking and reading arguments: arrays, index lists, flags.
#pragma once

#include "python/numpy_api.h"

#include <nanobind/nanobind.h>

#include <vector>

namespace tabrix {
namespace py {

// X as an array, or a TypeError naming func and arg.
PyArrayObject* require_array(PyObject* x, const char* func, const char* arg);

// A ValueError unless a has ndim dimensions.
void require_ndim(PyArrayObject* a, int ndim, const char* func, const char* arg);

// The array itself when its data are in native byte order, else a native-order copy.
nanobind::object native_order(PyArrayObject* a);

// The array cast to another dtype (new array).
nanobind::object cast_to(PyArrayObject* a, int type_num);

// A new C-ordered array (object arrays start filled with NULL, which NumPy reads as None).
nanobind::object new_array(int nd, const npy_intp* dims, int type_num);

inline PyArrayObject* arr(const nanobind::object& o) {
    return reinterpret_cast<PyArrayObject*>(o.ptr());
}

// Reads integers from any iterable (a range is read without iterating it) and checks each
// against size: -size <= i < size, negative values counting from the end. Bools, floats and
// other non-integers are a TypeError; an index out of range is an IndexError naming it and
// the size ("what" names the unit, e.g. "columns").
std::vector<npy_intp> read_index_list(PyObject* indices, npy_intp size, const char* func,
                                      const char* arg, const char* what);
// The same checks, with negative indices returned as given: for a container whose size may
// change while the indices are read (their __index__ and iteration run Python code).
std::vector<npy_intp> read_index_list_unresolved(PyObject* indices, npy_intp size, const char* func,
                                                 const char* arg, const char* what);

// Truth value of a flag given as bool, numpy.bool_ or integer; TypeError for anything else.
bool read_flag(PyObject* flag, const char* func, const char* arg);

// Text of the cell position for messages: "row 3, column 1" for 2-D arrays, "row 3" for
// 1-D, "cell (1, 2, 3)" beyond; pos is the C-order position.
std::string cell_position(PyArrayObject* a, npy_intp pos);

// Pointer to the cell at C-order position pos.
char* cell_pointer(PyArrayObject* a, npy_intp pos);

}  // namespace py
}  // namespace tabrix
