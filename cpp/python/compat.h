// Names the supported CPython releases spell differently.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// 3.8 has vectorcall under provisional, underscored names.
#if PY_VERSION_HEX < 0x03090000
#define PyObject_Vectorcall _PyObject_Vectorcall
#define Py_TPFLAGS_HAVE_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL
#endif

// getattr that reports "absent" without raising and clearing an AttributeError.
// Returns 1 with a new reference in *result, 0 when absent, -1 with an error set.
static inline int tabrix_lookup_attr(PyObject* obj, PyObject* name, PyObject** result) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, result);
#else
    return _PyObject_LookupAttr(obj, name, result);
#endif
}
