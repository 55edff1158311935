#include "exportable/class_decl.h"

#include <cstring>
#include <utility>

namespace tabrix::exportable {
namespace {

// The global (a literal, as Globals caches names by address), then its attribute.
nb::object lookup(const Globals& g, const ModuleValue& v) {
    nb::object value = g[v.global];
    return v.attribute ? attr(value, v.attribute) : value;
}

// "\n" + indent + line + "\n" ... + indent: a docstring written in an indented body.
std::string indented_doc(std::initializer_list<const char*> lines, const char* indent) {
    std::string doc = "\n";
    for (const char* line : lines) doc += std::string(indent) + line + "\n";
    return doc + indent;
}

// The native method signature of self (for a method) and the declared parameters. Defaults
// computed from the module are read now, once.
std::vector<Param> signature(const std::vector<Arg>& params, bool method, const Globals& g) {
    std::vector<Param> out;
    if (method) out.push_back(required("self"));
    for (const Arg& a : params) {
        switch (a.kind) {
            case ParamKind::VarPositional: out.push_back(var_positional(a.name)); continue;
            case ParamKind::VarKeyword: out.push_back(var_keyword(a.name)); continue;
            case ParamKind::PositionalOrKeyword: break;
        }
        if (a.required) {
            out.push_back(required(a.name));
            continue;
        }
        nb::object value;
        switch (a.default_value.kind) {
            case Default::None: value = nb::none(); break;
            case Default::True: value = nb::borrow(Py_True); break;
            case Default::False: value = nb::borrow(Py_False); break;
            case Default::Text: value = checked(PyUnicode_FromString(a.default_value.text)); break;
            case Default::AtCreation: value = lookup(g, a.default_value.value); break;
        }
        out.push_back(optional(a.name, value.ptr()));
    }
    return out;
}

std::vector<Param> fit_signature() {
    std::vector<Param> p;
    p.push_back(required("self"));
    p.push_back(required("X"));
    p.push_back(optional("y", Py_None));
    return p;
}

std::vector<Param> transform_signature() {
    std::vector<Param> p;
    p.push_back(required("self"));
    p.push_back(required("X"));
    return p;
}

}  // namespace

// ---------------------------------------------------------------- arguments by name

size_t Args::index(const char* name) const {
    // The declaration and the read usually spell the name with one merged literal.
    for (size_t i = 0; i < params_.size(); ++i) {
        if (params_[i].name == name) return i;
    }
    for (size_t i = 0; i < params_.size(); ++i) {
        if (std::strcmp(params_[i].name, name) == 0) return i;
    }
    raise(PyExc_SystemError, "no parameter named '%s'", name);
}

nb::handle Args::get(const char* name) const { return call_.bound[first_ + index(name)]; }

nb::object Args::value_at(size_t i) const {
    nb::handle given = call_.bound[first_ + i];
    const IfNone& fallback = params_[i].if_none;
    if (fallback.kind == IfNone::Keep || !given.is_none()) return nb::borrow(given);
    switch (fallback.kind) {
        case IfNone::NewList: return new_list();
        case IfNone::Zero: return checked(PyLong_FromLong(0));
        case IfNone::AtCall: return lookup(call_.g, fallback.value);
        case IfNone::Keep: break;
    }
    return nb::borrow(given);
}

nb::object Args::value(const char* name) const { return value_at(index(name)); }

void Args::store(const char* name) {
    const size_t i = index(name);
    set_attr(self(), params_[i].name, value_at(i));
    done_ |= 1u << i;
}

void Args::store(const char* name, nb::handle value) {
    const size_t i = index(name);
    set_attr(self(), params_[i].name, value);
    done_ |= 1u << i;
}

void Args::skip(const char* name) { done_ |= 1u << index(name); }

void Args::store_rest() {
    for (size_t i = 0; i < params_.size(); ++i) {
        if (done_ & (1u << i)) continue;
        set_attr(self(), params_[i].name, value_at(i));
        done_ |= 1u << i;
    }
}

bool Args::switched_on() const { return protocol_ == nullptr || protocol_->switched_on(self()); }

// ---------------------------------------------------------------- the declaration

ClassDecl& ClassDecl::doc(std::initializer_list<const char*> lines) {
    doc_ = indented_doc(lines, "    ");
    has_doc_ = true;
    return *this;
}

ClassDecl& ClassDecl::params(std::initializer_list<Arg> params) {
    params_.assign(params);
    return *this;
}

ClassDecl& ClassDecl::init_doc(std::initializer_list<const char*> lines) {
    init_doc_ = indented_doc(lines, "        ");
    has_init_doc_ = true;
    return *this;
}

ClassDecl& ClassDecl::init(InitWork work) {
    init_ = work;
    return *this;
}

ClassDecl& ClassDecl::row(ProtocolRow row) {
    protocol_.row = row;
    return *this;
}

ClassDecl& ClassDecl::fit(FitWork work) {
    protocol_.work.fit = work;
    return *this;
}

ClassDecl& ClassDecl::transform(TransformWork work) {
    protocol_.work.transform = work;
    return *this;
}

ClassDecl& ClassDecl::when_off(OffWork work) {
    protocol_.work.when_off = work;
    return *this;
}

ClassDecl& ClassDecl::after_end_line(AfterEndLine work) {
    protocol_.work.after_end_line = work;
    return *this;
}

ClassDecl& ClassDecl::before_return(BeforeReturn work) {
    protocol_.work.before_return = work;
    return *this;
}

void ClassDecl::construct(const Call& c) const {
    Args args(params_, c, true, &protocol_);
    if (init_) {
        init_(args);
    } else {
        args.store_rest();
    }
}

nb::object ClassDecl::make_class(nb::handle module, const Globals& g, NativeImpl init_impl,
                                 NativeImpl fit_impl, NativeImpl transform_impl) const {
    nb::object module_name = attr(module, "__name__");
    PyObject* globals = PyModule_GetDict(module.ptr());  // borrowed
    auto method = [&](const char* name, const char* doc, std::vector<Param> params,
                      NativeImpl impl) {
        return checked(new_native_method(MethodDef{name, doc, std::move(params), impl},
                                         module_name.ptr(), globals));
    };
    nb::object ns = checked(PyDict_New());
    auto put = [&ns](const char* key, nb::handle value) {
        if (PyDict_SetItemString(ns.ptr(), key, value.ptr()) < 0) raise_current();
    };
    // Without __module__, a class created while the module initialises claims importlib's
    // bootstrap module, and pickling its instances fails.
    put("__module__", module_name);
    put("__qualname__", nb::str(name_));
    put("__doc__", has_doc_ ? nb::object(nb::str(doc_.c_str())) : nb::none());
    put("__init__", method("__init__", has_init_doc_ ? init_doc_.c_str() : nullptr,
                           signature(params_, true, g), init_impl));
    put("fit", method("fit", nullptr, fit_signature(), fit_impl));
    put("transform", method("transform", nullptr, transform_signature(), transform_impl));

    nb::object bases = checked(PyTuple_Pack(2, attr(module, "BaseEstimator").ptr(),
                                            attr(module, "TransformerMixin").ptr()));
    // type() itself, so that __init_subclass__ hooks of the bases run as for a class statement.
    return call(nb::handle(reinterpret_cast<PyObject*>(&PyType_Type)), {nb::str(name_), bases, ns});
}

nb::object make_function(nb::handle module, const char* name, const std::vector<Arg>& params,
                         NativeImpl impl) {
    nb::object module_name = attr(module, "__name__");
    PyObject* globals = PyModule_GetDict(module.ptr());  // borrowed
    const Globals g(globals);
    return checked(new_native_method(MethodDef{name, nullptr, signature(params, false, g), impl},
                                     module_name.ptr(), globals));
}

}  // namespace tabrix::exportable
