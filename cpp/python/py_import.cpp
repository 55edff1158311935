#include "python/py_import.h"

#include <string>

#include "python/py_calls.h"

namespace nb = nanobind;

namespace tabrix {
namespace py {

nb::object import_module(const char* name) { return checked(PyImport_ImportModule(name)); }

namespace {

// The ImportError of `from <module> import <name>` for a name the module lacks, worded as the
// interpreter words it.
[[noreturn]] void raise_cannot_import(nb::handle mod, nb::handle module_name, const char* name) {
    nb::object package = nb::borrow(module_name);
    if (PyObject* real_name = PyObject_GetAttrString(mod.ptr(), "__name__")) {
        package = nb::steal(real_name);
    } else {
        PyErr_Clear();
    }
    PyObject* path = PyModule_Check(mod.ptr()) ? PyModule_GetFilenameObject(mod.ptr()) : nullptr;
    if (!path) PyErr_Clear();
    nb::object path_obj = nb::steal(path);
    nb::object message =
        path_obj.is_valid() && PyUnicode_Check(path_obj.ptr())
            ? checked(PyUnicode_FromFormat("cannot import name '%s' from %R (%S)", name,
                                           package.ptr(), path_obj.ptr()))
            : checked(PyUnicode_FromFormat("cannot import name '%s' from %R (unknown location)",
                                           name, package.ptr()));
    PyErr_SetImportError(message.ptr(), package.ptr(),
                         path_obj.is_valid() ? path_obj.ptr() : nullptr);
    raise_current();
}

}  // namespace

std::vector<nb::object> from_import(PyObject* globals, const char* module,
                                    std::initializer_list<const char*> names) {
    nb::object fromlist = name_tuple(names);
    nb::object module_name = nb::str(module);
    nb::object mod = checked(
        PyImport_ImportModuleLevelObject(module_name.ptr(), globals, nullptr, fromlist.ptr(), 0));
    std::vector<nb::object> values;
    for (const char* name : names) {
        PyObject* value = PyObject_GetAttrString(mod.ptr(), name);
        if (value) {
            values.push_back(nb::steal(value));
            continue;
        }
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_current();
        PyErr_Clear();
        // A submodule of that name imported meanwhile still satisfies the import.
        std::string full_name = std::string(module) + "." + name;
        nb::object full = nb::str(full_name.c_str());
        PyObject* submodule = PyImport_GetModule(full.ptr());
        if (submodule) {
            values.push_back(nb::steal(submodule));
            continue;
        }
        if (PyErr_Occurred()) raise_current();
        raise_cannot_import(mod, module_name, name);
    }
    return values;
}

}  // namespace py
}  // namespace tabrix
