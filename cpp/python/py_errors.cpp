#include "python/py_errors.h"

#include <cstdarg>

namespace tabrix {
namespace py {

void raise(PyObject* type, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    PyErr_FormatV(type, fmt, ap);
    va_end(ap);
    throw nanobind::python_error();
}

void raise_current() {
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "internal error without a Python exception");
    throw nanobind::python_error();
}

void clear_inapplicable_error() {
    if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError) ||
        PyErr_ExceptionMatches(PyExc_ArithmeticError)) {
        PyErr_Clear();
        return;
    }
    raise_current();
}

std::string short_repr(PyObject* o) {
    std::string text;
    PyObject* r = PyObject_Repr(o);
    const char* u = r ? PyUnicode_AsUTF8(r) : nullptr;
    if (u)
        text = u;
    else
        text = std::string("<") + type_name(o) + " object>";
    Py_XDECREF(r);
    if (!u) PyErr_Clear();
    if (text.size() > 64) {
        // Cut on UTF-8 character boundaries.
        size_t head = 40, tail = text.size() - 16;
        while (head > 0 && (static_cast<unsigned char>(text[head]) & 0xC0) == 0x80) --head;
        while (tail < text.size() && (static_cast<unsigned char>(text[tail]) & 0xC0) == 0x80)
            ++tail;
        text = text.substr(0, head) + "..." + text.substr(tail);
    }
    return text;
}

Handling::Handling(const nanobind::python_error& e) {
    PyErr_GetExcInfo(&saved_type_, &saved_value_, &saved_tb_);
    PyObject* value = e.value().ptr();
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    PyObject* tb = PyException_GetTraceback(value);  // new reference or nullptr
    Py_INCREF(type);
    Py_INCREF(value);
    PyErr_SetExcInfo(type, value, tb);  // steals the three references
}

Handling::~Handling() { PyErr_SetExcInfo(saved_type_, saved_value_, saved_tb_); }

}  // namespace py
}  // namespace tabrix
