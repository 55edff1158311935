// A C++ function that Python treats like a function defined in a class body.
//
// Binding libraries give callables that Python's introspection cannot read (no
// inspect.signature, no __defaults__), and scikit-learn reads constructor parameters through
// exactly that introspection. This type binds as a method, parses arguments with the
// interpreter's own rules and messages, and answers __signature__, __defaults__,
// __kwdefaults__, __name__, __qualname__, __doc__ and __module__.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <vector>

namespace tabrix {

enum class ParamKind { PositionalOrKeyword, VarPositional, VarKeyword };

struct Param {
    std::string name;
    ParamKind kind = ParamKind::PositionalOrKeyword;
    PyObject* default_value = nullptr;  // new reference, or nullptr when the parameter is required
};

inline Param required(const char* name) {
    return Param{name, ParamKind::PositionalOrKeyword, nullptr};
}
// `value` is a borrowed reference; the parameter keeps its own.
inline Param optional(const char* name, PyObject* value) {
    Py_INCREF(value);
    return Param{name, ParamKind::PositionalOrKeyword, value};
}
inline Param var_positional(const char* name) {
    return Param{name, ParamKind::VarPositional, nullptr};
}
inline Param var_keyword(const char* name) { return Param{name, ParamKind::VarKeyword, nullptr}; }

// The implementation receives one borrowed reference per declared parameter, in declaration
// order (a tuple for *args, a dict for **kwargs), and the globals dict of the defining module.
// It returns a new reference, or nullptr with a Python error set.
using NativeImpl = PyObject* (*)(PyObject* const* bound, PyObject* globals);

struct MethodDef {
    const char* name;
    const char* doc;  // nullptr: no docstring
    std::vector<Param> params;
    NativeImpl impl;
};

// Readies the type; call once from module initialisation. Returns false with an error set.
bool native_method_type_ready();

// Creates a method object. `module_name` and `globals` are borrowed. The qualified name is the
// bare name until the method is placed in a class body, which sets it to Owner.name.
// Steals the default references held in `def.params`.
PyObject* new_native_method(MethodDef def, PyObject* module_name, PyObject* globals);

}  // namespace tabrix
