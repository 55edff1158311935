#include "python/py_calls.h"

#include <unordered_map>
#include <utility>

namespace tabrix {
namespace py {

PyObject* interned(const char* name) {
    // Names are string literals: their address identifies them. Interned strings carry their
    // hash, so the lookups below allocate nothing. Only touched with the GIL held.
    static std::unordered_map<const char*, PyObject*> cache;
    auto it = cache.find(name);
    if (it != cache.end()) return it->second;
    PyObject* key = PyUnicode_InternFromString(name);
    if (!key) raise_current();
    cache.emplace(name, key);
    return key;
}

bool truthy(nb::handle value) {
    int r = PyObject_IsTrue(value.ptr());
    if (r < 0) raise_current();
    return r != 0;
}

nb::object attr(nb::handle obj, const char* name) {
    return checked(PyObject_GetAttr(obj.ptr(), interned(name)));
}

nb::object attr_if_present(nb::handle obj, const char* name) {
    // As hasattr(): only AttributeError means "absent"; anything else propagates.
    PyObject* value = nullptr;
    if (tabrix_lookup_attr(obj.ptr(), interned(name), &value) < 0) raise_current();
    return nb::steal(value);
}

bool has_attr(nb::handle obj, const char* name) { return attr_if_present(obj, name).is_valid(); }

void set_attr(nb::handle obj, const char* name, nb::handle value) {
    if (PyObject_SetAttr(obj.ptr(), interned(name), value.ptr()) < 0) raise_current();
}

nb::object call(nb::handle fn, std::initializer_list<nb::handle> args, nb::handle kwnames) {
    PyObject* stack[16];
    size_t n = 0;
    for (nb::handle a : args) stack[n++] = a.ptr();
    const size_t n_kw = kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames.ptr())) : 0;
    return checked(PyObject_Vectorcall(fn.ptr(), stack, n - n_kw, kwnames.ptr()));
}

nb::object name_tuple(std::initializer_list<const char*> names) {
    nb::object t = checked(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (const char* name : names) {
        PyObject* s = PyUnicode_InternFromString(name);
        if (!s) raise_current();
        PyTuple_SET_ITEM(t.ptr(), i++, s);
    }
    return t;
}

nb::handle kw_names(std::initializer_list<const char*> names) {
    // Leaked on purpose: call sites keep these for the life of the process.
    return name_tuple(names).release();
}

nb::object str_of(nb::handle obj) { return checked(PyObject_Str(obj.ptr())); }

std::string utf8(nb::handle s) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(s.ptr(), &size);
    if (!data) raise_current();
    return std::string(data, static_cast<size_t>(size));
}

bool equals(nb::handle a, nb::handle b) {
    return truthy(checked(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ)));
}

Py_ssize_t as_size(nb::handle value) {
    const Py_ssize_t n = PyNumber_AsSsize_t(value.ptr(), PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) raise_current();
    return n;
}

nb::object item_at(nb::handle seq, Py_ssize_t j) {
    if (PyList_CheckExact(seq.ptr()) && j >= 0 && j < PyList_GET_SIZE(seq.ptr())) {
        return nb::borrow(PyList_GET_ITEM(seq.ptr(), j));
    }
    nb::object index = checked(PyLong_FromSsize_t(j));
    return checked(PyObject_GetItem(seq.ptr(), index.ptr()));
}

std::pair<nb::object, nb::object> unpack_pair(nb::handle value) {
    PyObject* v = value.ptr();
    PyObject* it = PyObject_GetIter(v);
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(v)->tp_iter == nullptr &&
            !PySequence_Check(v)) {
            PyErr_Clear();
            raise(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(v)->tp_name);
        }
        raise_current();
    }
    nb::object iterator = nb::steal(it);
    nb::object items[2];
    for (int i = 0; i < 2; ++i) {
        PyObject* item = PyIter_Next(it);
        if (!item) {
            if (PyErr_Occurred()) raise_current();
            raise(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
        }
        items[i] = nb::steal(item);
    }
    PyObject* extra = PyIter_Next(it);
    if (extra) {
        Py_DECREF(extra);
#if PY_VERSION_HEX >= 0x030E0000
        // From 3.14 the interpreter also reports the length of containers that know it.
        if (PyList_CheckExact(v) || PyTuple_CheckExact(v) || PyDict_CheckExact(v)) {
            const Py_ssize_t n = PyDict_CheckExact(v) ? PyDict_Size(v) : Py_SIZE(v);
            raise(PyExc_ValueError, "too many values to unpack (expected 2, got %zd)", n);
        }
#endif
        raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    if (PyErr_Occurred()) raise_current();
    return {std::move(items[0]), std::move(items[1])};
}

nb::object Globals::operator[](const char* name) const {
    PyObject* key = interned(name);
    PyObject* value = PyDict_GetItemWithError(dict_, key);  // borrowed
    if (!value && !PyErr_Occurred()) {
        PyObject* builtins = PyEval_GetBuiltins();  // borrowed
        value = builtins ? PyDict_GetItemWithError(builtins, key) : nullptr;
    }
    if (!value && PyErr_Occurred()) raise_current();
    if (!value) raise(PyExc_NameError, "name '%s' is not defined", name);
    return nb::borrow(value);
}

// ---------------------------------------------------------------- indexing

nb::object shape_item(nb::handle X, Py_ssize_t axis) {
    nb::object shape = attr(X, "shape");
    return checked(PySequence_GetItem(shape.ptr(), axis));
}

nb::handle full_slice() {
    static PyObject* all = PySlice_New(nullptr, nullptr, nullptr);
    if (!all) raise_current();
    return all;
}

nb::object reshape_rows(nb::handle A, nb::handle rows) {
    static nb::handle minus_one = PyLong_FromLong(-1);
    return call(attr(A, "reshape"), {rows, minus_one});
}

nb::object index_2d(nb::handle X, nb::handle rows, nb::handle columns) {
    nb::object key = checked(PyTuple_Pack(2, rows.ptr(), columns.ptr()));
    return checked(PyObject_GetItem(X.ptr(), key.ptr()));
}

nb::object get_column(nb::handle X, Py_ssize_t j) {
    nb::object position = checked(PyLong_FromSsize_t(j));
    return index_2d(X, full_slice(), position);
}

void set_column(nb::handle Y, Py_ssize_t j, nb::handle value) {
    nb::object position = checked(PyLong_FromSsize_t(j));
    nb::object key = checked(PyTuple_Pack(2, full_slice().ptr(), position.ptr()));
    if (PyObject_SetItem(Y.ptr(), key.ptr(), value.ptr()) < 0) raise_current();
}

}  // namespace py
}  // namespace tabrix
