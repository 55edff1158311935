// One declaration per transformer class: its name, docstrings, constructor parameters (name,
// default, what None stands for), protocol row and own work. Start-up turns a declaration into
// the Python class: the constructor that stores each parameter, and the fit and transform that
// run the protocol around the class's work.
//
//   extern const ClassDecl boolean2float;  // families.h
//   const ClassDecl boolean2float =        // cleaning.cpp
//       ClassDecl("boolean2float")
//           .doc({"This is a template for classes"})
//           .params({arg("activate_flag", true)})
//           .row(ProtocolRow().switched_by("activate_flag"))
//           .transform(booleans_to_floats);
//
// Adding a parameter is one entry in .params(): the constructor stores it, generated or not
// (a constructor of its own names only the parameters it treats apart). Adding a class is a
// declaration, its extern line in families.h and its place in the class table of module.cpp.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "exportable/protocol.h"

namespace tabrix::exportable {

// ---- parameters

// A module global, or an attribute of one ("np", "nan"), read when needed.
struct ModuleValue {
    const char* global = nullptr;
    const char* attribute = nullptr;  // nullptr: the global itself
};

// The default of a parameter in the signature.
struct Default {
    enum Kind { None, True, False, Text, AtCreation } kind;
    const char* text = nullptr;  // Text
    ModuleValue value{};         // AtCreation
};
constexpr Default None{Default::None};
// A module value read once, when the class is created: at_creation("np", "nan").
constexpr Default at_creation(const char* global, const char* attribute = nullptr) {
    return Default{Default::AtCreation, nullptr, ModuleValue{global, attribute}};
}

// What the constructor stores for an argument that is None.
struct IfNone {
    enum Kind { Keep, NewList, Zero, AtCall } kind;
    ModuleValue value{};  // AtCall
};
constexpr IfNone fresh_list{IfNone::NewList};  // a new empty list for each instance
constexpr IfNone zero{IfNone::Zero};
// A module value read at each construction: at_call("global_missing_values_reference_list").
constexpr IfNone at_call(const char* global, const char* attribute = nullptr) {
    return IfNone{IfNone::AtCall, ModuleValue{global, attribute}};
}

struct Arg {
    const char* name;
    ParamKind kind = ParamKind::PositionalOrKeyword;
    bool required = true;
    Default default_value{Default::None};
    IfNone if_none{IfNone::Keep};

    // The argument None is stored as `fallback` instead.
    Arg none_as(IfNone fallback) const {
        Arg a = *this;
        a.if_none = fallback;
        return a;
    }
};

// A required parameter.
inline Arg arg(const char* name) { return Arg{name}; }
// A parameter with a default: None, true or false, a string, or at_creation(...).
inline Arg arg(const char* name, Default value) {
    return Arg{name, ParamKind::PositionalOrKeyword, false, value};
}
inline Arg arg(const char* name, bool value) {
    return arg(name, Default{value ? Default::True : Default::False, nullptr, {}});
}
inline Arg arg(const char* name, const char* text) {
    return arg(name, Default{Default::Text, text, {}});
}
// *name and **name.
inline Arg star_args(const char* name) { return Arg{name, ParamKind::VarPositional, false}; }
inline Arg star_kwargs(const char* name) { return Arg{name, ParamKind::VarKeyword, false}; }

// The arguments of one call of a constructor or a plain function, read by name.
class Args {
public:
    // A method's arguments follow self; `protocol` gives the class's switch.
    Args(const std::vector<Arg>& params, const Call& call, bool method,
         const Protocol* protocol = nullptr)
        : params_(params), call_(call), first_(method ? 1 : 0), protocol_(protocol) {}

    nb::handle self() const { return call_.self(); }
    const Call& call() const { return call_; }
    // The argument as passed (or its signature default).
    nb::handle get(const char* name) const;
    // The argument, or what the declaration stores for None.
    nb::object value(const char* name) const;
    // self.<name> = value(name), or the value given.
    void store(const char* name);
    void store(const char* name, nb::handle value);
    // Leaves a parameter to store_rest() unstored (or for a later store()).
    void skip(const char* name);
    // store() for every parameter not stored or skipped yet, in signature order.
    void store_rest();
    // The class's on/off switch, as the protocol reads it.
    bool switched_on() const;

private:
    size_t index(const char* name) const;
    nb::object value_at(size_t i) const;

    const std::vector<Arg>& params_;
    const Call& call_;
    size_t first_;
    const Protocol* protocol_;
    unsigned done_ = 0;  // bit i: parameter i stored or skipped (native methods take at most 16)
};

// The constructor's own work; without one, the constructor is Args::store_rest(): each
// parameter stored as an attribute of the same name.
using InitWork = void (*)(Args& args);

// ---- the declaration

class ClassDecl {
public:
    explicit ClassDecl(const char* name) : name_(name), protocol_(name) {}

    // Lines of the class docstring (none: __doc__ is None).
    ClassDecl& doc(std::initializer_list<const char*> lines);
    // The constructor's parameters after self, in signature order.
    ClassDecl& params(std::initializer_list<Arg> params);
    ClassDecl& init_doc(std::initializer_list<const char*> lines);
    ClassDecl& init(InitWork work);
    ClassDecl& row(ProtocolRow row);
    ClassDecl& fit(FitWork work);
    ClassDecl& transform(TransformWork work);
    ClassDecl& when_off(OffWork work);
    ClassDecl& after_end_line(AfterEndLine work);
    ClassDecl& before_return(BeforeReturn work);

    const char* name() const { return name_; }
    const std::vector<Arg>& arg_list() const { return params_; }
    const Protocol& protocol() const { return protocol_; }

    // The constructor's work, then the class's methods.
    void construct(const Call& c) const;
    // type(name, (BaseEstimator, TransformerMixin), namespace) with the three native methods.
    nb::object make_class(nb::handle module, const Globals& g, NativeImpl init_impl,
                          NativeImpl fit_impl, NativeImpl transform_impl) const;

private:
    const char* name_;
    std::string doc_;
    bool has_doc_ = false;
    std::string init_doc_;
    bool has_init_doc_ = false;
    std::vector<Arg> params_;
    InitWork init_ = nullptr;
    Protocol protocol_;
};

// The three method entries of a declared class: one template, so no class repeats them.
template <const ClassDecl& D>
struct DeclaredMethods {
    static nb::object init(const Call& c) {
        D.construct(c);
        return nb::none();
    }
    static nb::object fit(const Call& c) { return D.protocol().fit(c); }
    static nb::object transform(const Call& c) { return D.protocol().transform(c); }
};

template <const ClassDecl& D>
nb::object make_class(nb::handle module, const Globals& g) {
    using M = DeclaredMethods<D>;
    return D.make_class(module, g, native<M::init>, native<M::fit>, native<M::transform>);
}

// A plain module-level function with the given parameters.
nb::object make_function(nb::handle module, const char* name, const std::vector<Arg>& params,
                         NativeImpl impl);

}  // namespace tabrix::exportable
