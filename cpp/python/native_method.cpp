#include "python/native_method.h"

#include <structmember.h>

#include <cstddef>
#include <utility>

#include "python/compat.h"

namespace tabrix {
namespace {

struct NativeMethod {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    NativeImpl impl;
    PyObject* name;             // str
    PyObject* qualname;         // str
    PyObject* doc;              // str or None
    PyObject* module_name;      // str
    PyObject* globals;          // dict of the defining module
    PyObject* param_names;      // tuple of str, declaration order
    PyObject* defaults;         // tuple: defaults of the trailing positional parameters, or None
    PyObject* signature;        // inspect.Signature, built on first request
    Py_ssize_t n_positional;    // named positional-or-keyword parameters (self included)
    Py_ssize_t n_required;      // leading positional parameters without default
    Py_ssize_t var_positional;  // index in the bound array, or -1
    Py_ssize_t var_keyword;     // index in the bound array, or -1
    PyObject* kinds;            // tuple of int (ParamKind), for the signature
    bool owner_known;
};

PyTypeObject NativeMethodType = {PyVarObject_HEAD_INIT(nullptr, 0)};

// Name used in argument errors: the interpreter uses the qualified name from 3.10 on.
PyObject* display_name(NativeMethod* m) {
#if PY_VERSION_HEX >= 0x030A0000
    return m->qualname;
#else
    return m->name;
#endif
}

void quoted_list(std::string& out, const std::vector<std::string>& names) {
    // 'a' / 'a' and 'b' / 'a', 'b', and 'c'  (the interpreter's wording)
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2)
                out += " and ";
            else if (i + 1 == names.size())
                out += ", and ";
            else
                out += ", ";
        }
        out += "'" + names[i] + "'";
    }
}

const char* utf8_of(PyObject* s) {
    const char* text = PyUnicode_AsUTF8(s);
    if (!text) {
        PyErr_Clear();
        return "?";
    }
    return text;
}

void raise_missing(NativeMethod* m, const std::vector<std::string>& missing) {
    std::string list;
    quoted_list(list, missing);
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %s",
                 display_name(m), static_cast<Py_ssize_t>(missing.size()),
                 missing.size() == 1 ? "" : "s", list.c_str());
}

void raise_too_many(NativeMethod* m, Py_ssize_t given) {
    Py_ssize_t most = m->n_positional;
    if (m->n_required < most) {
        PyErr_Format(PyExc_TypeError,
                     "%U() takes from %zd to %zd positional arguments but %zd %s given",
                     display_name(m), m->n_required, most, given, given == 1 ? "was" : "were");
    } else {
        PyErr_Format(PyExc_TypeError, "%U() takes %zd positional argument%s but %zd %s given",
                     display_name(m), most, most == 1 ? "" : "s", given,
                     given == 1 ? "was" : "were");
    }
}

// Binds the call's arguments to the declared parameters and runs the implementation.
PyObject* native_method_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                                   PyObject* kwnames) {
    auto* m = reinterpret_cast<NativeMethod*>(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t n_params = PyTuple_GET_SIZE(m->param_names);
    const Py_ssize_t n_pos = m->n_positional;

    // Small fixed buffer: the widest constructor here has a handful of parameters.
    PyObject* bound[16] = {nullptr};
    if (n_params > 16) {
        PyErr_SetString(PyExc_SystemError, "too many parameters for a native method");
        return nullptr;
    }

    PyObject* extra_positional = nullptr;  // owned
    PyObject* extra_keywords = nullptr;    // owned
    PyObject* result = nullptr;

    if (nargs > n_pos && m->var_positional < 0) {
        raise_too_many(m, nargs);
        return nullptr;
    }
    const Py_ssize_t n_bound_pos = nargs < n_pos ? nargs : n_pos;
    for (Py_ssize_t i = 0; i < n_bound_pos; ++i) bound[i] = args[i];
    if (m->var_positional >= 0) {
        extra_positional = PyTuple_New(nargs > n_pos ? nargs - n_pos : 0);
        if (!extra_positional) return nullptr;
        for (Py_ssize_t i = n_pos; i < nargs; ++i) {
            Py_INCREF(args[i]);
            PyTuple_SET_ITEM(extra_positional, i - n_pos, args[i]);
        }
    }
    if (m->var_keyword >= 0) {
        extra_keywords = PyDict_New();
        if (!extra_keywords) goto done;
    }

    if (kwnames) {
        const Py_ssize_t n_kw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < n_kw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            PyObject* value = args[nargs + k];
            Py_ssize_t slot = -1;
            for (Py_ssize_t i = 0; i < n_pos; ++i) {
                PyObject* pname = PyTuple_GET_ITEM(m->param_names, i);
                if (key == pname) {
                    slot = i;
                    break;
                }
            }
            if (slot < 0) {
                for (Py_ssize_t i = 0; i < n_pos; ++i) {
                    int eq = PyUnicode_Compare(key, PyTuple_GET_ITEM(m->param_names, i));
                    if (eq == -1 && PyErr_Occurred()) goto done;
                    if (eq == 0) {
                        slot = i;
                        break;
                    }
                }
            }
            if (slot >= 0) {
                if (bound[slot]) {
                    PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%U'",
                                 display_name(m), key);
                    goto done;
                }
                bound[slot] = value;
            } else if (extra_keywords) {
                if (PyDict_SetItem(extra_keywords, key, value) < 0) goto done;
            } else {
                PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%U'",
                             display_name(m), key);
                goto done;
            }
        }
    }

    {
        // Defaults fill the trailing positional parameters; anything else missing is an error.
        const Py_ssize_t n_defaults = m->defaults == Py_None ? 0 : PyTuple_GET_SIZE(m->defaults);
        std::vector<std::string> missing;
        for (Py_ssize_t i = 0; i < n_pos; ++i) {
            if (bound[i]) continue;
            Py_ssize_t d = i - (n_pos - n_defaults);
            if (d >= 0) {
                bound[i] = PyTuple_GET_ITEM(m->defaults, d);
            } else {
                missing.emplace_back(utf8_of(PyTuple_GET_ITEM(m->param_names, i)));
            }
        }
        if (!missing.empty()) {
            raise_missing(m, missing);
            goto done;
        }
    }
    if (m->var_positional >= 0) bound[m->var_positional] = extra_positional;
    if (m->var_keyword >= 0) bound[m->var_keyword] = extra_keywords;

    result = m->impl(bound, m->globals);
    if (!result && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "native method returned no result and set no error");
    }

done:
    Py_XDECREF(extra_positional);
    Py_XDECREF(extra_keywords);
    return result;
}

PyObject* native_method_descr_get(PyObject* self, PyObject* obj, PyObject* /*type*/) {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

int native_method_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* m = reinterpret_cast<NativeMethod*>(self);
    Py_VISIT(m->globals);
    Py_VISIT(m->defaults);
    Py_VISIT(m->signature);
    Py_VISIT(m->doc);
    return 0;
}

int native_method_clear(PyObject* self) {
    auto* m = reinterpret_cast<NativeMethod*>(self);
    Py_CLEAR(m->globals);
    Py_CLEAR(m->defaults);
    Py_CLEAR(m->signature);
    Py_CLEAR(m->doc);
    return 0;
}

void native_method_dealloc(PyObject* self) {
    auto* m = reinterpret_cast<NativeMethod*>(self);
    PyObject_GC_UnTrack(self);
    native_method_clear(self);
    Py_CLEAR(m->name);
    Py_CLEAR(m->qualname);
    Py_CLEAR(m->module_name);
    Py_CLEAR(m->param_names);
    Py_CLEAR(m->kinds);
    PyObject_GC_Del(self);
}

PyObject* native_method_repr(PyObject* self) {
    auto* m = reinterpret_cast<NativeMethod*>(self);
    return PyUnicode_FromFormat("<native function %U>", m->qualname);
}

PyObject* get_name(PyObject* self, void*) {
    PyObject* v = reinterpret_cast<NativeMethod*>(self)->name;
    Py_INCREF(v);
    return v;
}
PyObject* get_qualname(PyObject* self, void*) {
    PyObject* v = reinterpret_cast<NativeMethod*>(self)->qualname;
    Py_INCREF(v);
    return v;
}
PyObject* get_doc(PyObject* self, void*) {
    PyObject* v = reinterpret_cast<NativeMethod*>(self)->doc;
    if (!v) v = Py_None;
    Py_INCREF(v);
    return v;
}
PyObject* get_module(PyObject* self, void*) {
    PyObject* v = reinterpret_cast<NativeMethod*>(self)->module_name;
    Py_INCREF(v);
    return v;
}
PyObject* get_defaults(PyObject* self, void*) {
    PyObject* v = reinterpret_cast<NativeMethod*>(self)->defaults;
    Py_INCREF(v);
    return v;
}
PyObject* get_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }

// inspect.Signature built from inspect.Parameter objects that hold the real default objects.
PyObject* get_signature(PyObject* self, void*) {
    auto* m = reinterpret_cast<NativeMethod*>(self);
    if (m->signature) {
        Py_INCREF(m->signature);
        return m->signature;
    }
    PyObject* inspect = PyImport_ImportModule("inspect");
    if (!inspect) return nullptr;
    PyObject* parameter_cls = PyObject_GetAttrString(inspect, "Parameter");
    PyObject* signature_cls = PyObject_GetAttrString(inspect, "Signature");
    Py_DECREF(inspect);
    PyObject* params = nullptr;
    const Py_ssize_t n = PyTuple_GET_SIZE(m->param_names);
    const Py_ssize_t n_defaults = m->defaults == Py_None ? 0 : PyTuple_GET_SIZE(m->defaults);
    if (!parameter_cls || !signature_cls) goto fail;
    params = PyList_New(0);
    if (!params) goto fail;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const long kind = PyLong_AsLong(PyTuple_GET_ITEM(m->kinds, i));
        const char* kind_name =
            kind == static_cast<long>(ParamKind::VarPositional) ? "VAR_POSITIONAL"
            : kind == static_cast<long>(ParamKind::VarKeyword)  ? "VAR_KEYWORD"
                                                                : "POSITIONAL_OR_KEYWORD";
        PyObject* kind_obj = PyObject_GetAttrString(parameter_cls, kind_name);
        if (!kind_obj) goto fail;
        PyObject* pargs = PyTuple_Pack(2, PyTuple_GET_ITEM(m->param_names, i), kind_obj);
        Py_DECREF(kind_obj);
        if (!pargs) goto fail;
        PyObject* pkw = nullptr;
        Py_ssize_t d = i - (m->n_positional - n_defaults);
        if (i < m->n_positional && d >= 0) {
            pkw = Py_BuildValue("{sO}", "default", PyTuple_GET_ITEM(m->defaults, d));
            if (!pkw) {
                Py_DECREF(pargs);
                goto fail;
            }
        }
        PyObject* p = PyObject_Call(parameter_cls, pargs, pkw);
        Py_DECREF(pargs);
        Py_XDECREF(pkw);
        if (!p) goto fail;
        int rc = PyList_Append(params, p);
        Py_DECREF(p);
        if (rc < 0) goto fail;
    }
    m->signature = PyObject_CallFunctionObjArgs(signature_cls, params, nullptr);
    Py_DECREF(params);
    Py_DECREF(parameter_cls);
    Py_DECREF(signature_cls);
    Py_XINCREF(m->signature);
    return m->signature;
fail:
    Py_XDECREF(params);
    Py_XDECREF(parameter_cls);
    Py_XDECREF(signature_cls);
    return nullptr;
}

// Placed in a class body: learn the owner's qualified name, as a def statement would.
PyObject* native_method_set_name(PyObject* self, PyObject* args) {
    auto* m = reinterpret_cast<NativeMethod*>(self);
    PyObject* owner;
    PyObject* name;
    if (!PyArg_ParseTuple(args, "OU:__set_name__", &owner, &name)) return nullptr;
    if (!m->owner_known) {
        PyObject* owner_qualname = PyObject_GetAttrString(owner, "__qualname__");
        if (!owner_qualname) return nullptr;
        PyObject* q = PyUnicode_FromFormat("%U.%U", owner_qualname, m->name);
        Py_DECREF(owner_qualname);
        if (!q) return nullptr;
        Py_SETREF(m->qualname, q);
        m->owner_known = true;
    }
    Py_RETURN_NONE;
}

// Pickled by reference, like a function: module plus qualified name.
PyObject* native_method_reduce(PyObject* self, PyObject*) {
    PyObject* v = reinterpret_cast<NativeMethod*>(self)->qualname;
    Py_INCREF(v);
    return v;
}

PyGetSetDef native_method_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef native_method_methods[] = {
    {"__set_name__", native_method_set_name, METH_VARARGS, nullptr},
    {"__reduce__", native_method_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool native_method_type_ready() {
    PyTypeObject& t = NativeMethodType;
    if (t.tp_flags & Py_TPFLAGS_READY) return true;
    t.tp_name = "tabrix_libs.native_function";
    t.tp_basicsize = sizeof(NativeMethod);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                 Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_vectorcall_offset = offsetof(NativeMethod, vectorcall);
    t.tp_call = PyVectorcall_Call;
    t.tp_dealloc = native_method_dealloc;
    t.tp_traverse = native_method_traverse;
    t.tp_clear = native_method_clear;
    t.tp_repr = native_method_repr;
    t.tp_descr_get = native_method_descr_get;
    t.tp_getset = native_method_getset;
    t.tp_methods = native_method_methods;
    return PyType_Ready(&t) == 0;
}

PyObject* new_native_method(MethodDef def, PyObject* module_name, PyObject* globals) {
    auto release_defaults = [&def]() {
        for (Param& p : def.params) Py_CLEAR(p.default_value);
    };
    if (!native_method_type_ready()) {
        release_defaults();
        return nullptr;
    }
    auto* m = PyObject_GC_New(NativeMethod, &NativeMethodType);
    if (!m) {
        release_defaults();
        return nullptr;
    }
    m->vectorcall = native_method_vectorcall;
    m->impl = def.impl;
    m->name = PyUnicode_FromString(def.name);
    m->qualname = m->name;
    Py_XINCREF(m->qualname);
    m->doc = nullptr;
    if (def.doc) m->doc = PyUnicode_FromString(def.doc);
    m->module_name = module_name;
    Py_INCREF(module_name);
    m->globals = globals;
    Py_INCREF(globals);
    m->signature = nullptr;
    m->owner_known = false;
    m->var_positional = -1;
    m->var_keyword = -1;
    m->n_positional = 0;
    m->n_required = 0;
    const Py_ssize_t n = static_cast<Py_ssize_t>(def.params.size());
    m->param_names = PyTuple_New(n);
    m->kinds = PyTuple_New(n);
    std::vector<PyObject*> defaults;
    bool ok = m->name && m->param_names && m->kinds && (!def.doc || m->doc);
    for (Py_ssize_t i = 0; ok && i < n; ++i) {
        Param& p = def.params[static_cast<size_t>(i)];
        PyObject* pname = PyUnicode_InternFromString(p.name.c_str());
        PyObject* kind = PyLong_FromLong(static_cast<long>(p.kind));
        if (!pname || !kind) {
            Py_XDECREF(pname);
            Py_XDECREF(kind);
            ok = false;
            break;
        }
        PyTuple_SET_ITEM(m->param_names, i, pname);
        PyTuple_SET_ITEM(m->kinds, i, kind);
        if (p.kind == ParamKind::VarPositional) {
            m->var_positional = i;
        } else if (p.kind == ParamKind::VarKeyword) {
            m->var_keyword = i;
        } else {
            // Positional parameters come first, as in a def statement.
            m->n_positional = i + 1;
            if (p.default_value) {
                defaults.push_back(p.default_value);
            } else {
                m->n_required = i + 1;
            }
        }
    }
    if (ok) {
        if (defaults.empty()) {
            m->defaults = Py_None;
            Py_INCREF(Py_None);
        } else {
            m->defaults = PyTuple_New(static_cast<Py_ssize_t>(defaults.size()));
            ok = m->defaults != nullptr;
            for (size_t i = 0; ok && i < defaults.size(); ++i) {
                Py_INCREF(defaults[i]);
                PyTuple_SET_ITEM(m->defaults, static_cast<Py_ssize_t>(i), defaults[i]);
            }
        }
    } else {
        m->defaults = nullptr;
    }
    release_defaults();
    PyObject_GC_Track(m);
    if (!ok) {
        Py_DECREF(m);
        return nullptr;
    }
    return reinterpret_cast<PyObject*>(m);
}

}  // namespace tabrix
