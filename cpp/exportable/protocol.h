// The fit/transform protocol every transformer shares: input checks, the feature-count
// check, and the trace lines switched by the module flags.
//
// Everything a method uses from the module namespace is looked up at each call, so rebinding a
// module attribute (exportable.debug, exportable.check_array, ...) changes what existing
// instances do on their next call.
#pragma once

#include <nanobind/nanobind.h>

#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "python/compat.h"
#include "python/native_method.h"

namespace tabrix::exportable {

namespace nb = nanobind;

// Raises a Python exception from C++: sets the error and unwinds to the method boundary.
[[noreturn]] void raise(PyObject* type, const char* message);
[[noreturn]] void raise_format(PyObject* type, const char* format, ...);
// Unwinds with the Python error that is already set.
[[noreturn]] void raise_current();

// Returns a new reference or raises the pending Python error.
inline nb::object checked(PyObject* result) {
    if (!result) raise_current();
    return nb::steal(result);
}

// The defining module's namespace, read at call time.
class Globals {
public:
    explicit Globals(PyObject* dict) : dict_(dict) {}
    // Module global, then builtin, as name lookup in a function body; NameError when absent.
    nb::object operator[](const char* name) const;
    bool flag(const char* name) const;
    PyObject* dict() const { return dict_; }

private:
    PyObject* dict_;
};

// One call of a native method: the bound parameters and the module namespace.
struct Call {
    PyObject* const* bound;
    Globals g;
    nb::handle operator[](size_t i) const { return bound[i]; }
};

// The interned Python string for a name given as a string literal (cached by address).
PyObject* interned(const char* name);

// Python truth value; raises what the object's __bool__ raises.
bool truthy(nb::handle value);
// getattr / hasattr / setattr with Python semantics.
nb::object attr(nb::handle obj, const char* name);
bool has_attr(nb::handle obj, const char* name);
void set_attr(nb::handle obj, const char* name, nb::handle value);
// Calls with positional arguments and, when kwnames is given, that many trailing keywords.
nb::object call(nb::handle fn, std::initializer_list<nb::handle> args, nb::handle kwnames = nb::handle());
// A tuple of interned keyword names, built once per call site.
nb::handle kw_names(std::initializer_list<const char*> names);
nb::object str_of(nb::handle obj);

// Wraps a method body written with nanobind objects into the native calling convention.
template <nb::object (*Body)(const Call&)>
PyObject* native(PyObject* const* bound, PyObject* globals) noexcept {
    try {
        return Body(Call{bound, Globals(globals)}).release().ptr();
    } catch (nb::python_error& e) {
        e.restore();
    } catch (const nb::cast_error& e) {
        PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

// The four trace texts of a class, fixed when the class is defined. They carry the name of the
// class that defines the method, also when it runs on an instance of a subclass.
struct TraceTexts {
    std::string fit_start, fit_end, transform_start, transform_end;
    explicit TraceTexts(const char* class_name);
};

// How the untimed end line of transform closes.
enum class EndLine {
    Paren,            // "...(150x4)"
    NoParen,          // "...(150x4"
    ParenThenNewline  // "...(150x4)\n": an empty line follows
};

// The start and end trace lines around one method's own work.
class Trace {
public:
    explicit Trace(const Call& call) : call_(call) {}
    void start(const std::string& text, nb::handle described);
    void start_sized(const std::string& text, const std::string& size_text);
    void end(const std::string& text, nb::handle described, EndLine style = EndLine::Paren);
    void end_sized(const std::string& text, const std::string& size_text, EndLine style = EndLine::Paren);
    // The end line without timing, whatever debug_timings says.
    void end_untimed(const std::string& text, nb::handle described, EndLine style = EndLine::Paren);

private:
    void take_start_time();
    const Call& call_;
    nb::object start_time_;
};

// "150x4": rows, "x", and columns of A.reshape(rows, -1).
std::string shape_text(nb::handle A);
// print(text) through the builtin print, so redirections of sys.stdout see it.
void print_line(const Call& call, nb::handle text);
void print_line(const Call& call, const std::string& text);
// Class name of the instance, ".transform(", str(X), ")->", str(Y), when debug_transform_return is set.
void return_trace(const Call& call, nb::handle self, nb::handle X, nb::handle Y);

// assert X.ndim == 2 (skipped when Python runs with assertions disabled).
void assert_2d(nb::handle X);
// A bare `assert condition`.
void assert_true(bool condition);
bool assertions_enabled();

// check_array(X, ensure_min_features=1, ensure_min_samples=1, dtype=None,
//             force_all_finite="allow-nan", accept_sparse=True), result discarded.
void check_array(const Call& call, nb::handle X);
// self._check_n_features(X, reset=...), or its replacement in releases that dropped the method.
void check_n_features(nb::handle self, nb::handle X, bool reset);
// The transform-side check: only for fitted instances.
void check_fitted_n_features(nb::handle self, nb::handle X);

// Records scikit-learn's own functions at start-up, to know when a global was rebound.
void init_compat(nb::handle module);

// ---- class definition ----

// "\n    line1\n    line2\n    ": the docstring of an indented class body.
std::string class_doc(std::initializer_list<const char*> lines);
// The same for a method body (eight spaces).
std::string method_doc(std::initializer_list<const char*> lines);

struct ClassDef {
    const char* name;
    std::string doc;  // empty: no docstring
    bool has_doc;
    MethodDef init, fit, transform;
};

// Methods every class shares the shape of.
inline std::vector<Param> fit_params() {
    std::vector<Param> p;
    p.push_back(required("self"));
    p.push_back(required("X"));
    p.push_back(optional("y", Py_None));
    return p;
}
inline std::vector<Param> transform_params() {
    std::vector<Param> p;
    p.push_back(required("self"));
    p.push_back(required("X"));
    return p;
}

// type(name, (BaseEstimator, TransformerMixin), namespace) with the three methods.
nb::object make_class(nb::handle module, ClassDef def);
// A plain module-level function.
nb::object make_function(nb::handle module, MethodDef def);

}  // namespace tabrix::exportable
