// NumPy's C API for both extension modules. Each module is its own shared object, so each
// one imports the API table once at start-up: the translation unit that defines the module
// defines TABRIX_NUMPY_OWNER before including this header and calls import_numpy_api().
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL tabrix_ARRAY_API
#ifndef TABRIX_NUMPY_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

#ifdef TABRIX_NUMPY_OWNER
namespace tabrix {
// Returns false with a Python error set when NumPy cannot be imported.
inline bool import_numpy_api() {
    import_array1(false);
    return true;
}
}  // namespace tabrix
#endif
