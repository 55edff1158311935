// Names the supported CPython releases spell differently.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x03090000
#define PyObject_Vectorcall _PyObject_Vectorcall
#endif
