// The fit/transform protocol every transformer shares: input checks, the feature-count
// check, and the trace lines switched by the module flags.
//
// Everything a method uses from the module namespace is looked up at each call, so rebinding a
// module attribute (exportable.debug, exportable.check_array, ...) changes what existing
// instances do on their next call.
#pragma once

#include <nanobind/nanobind.h>

#include <new>
#include <type_traits>
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
// `a == b` in Python's truth sense.
bool equals(nb::handle a, nb::handle b);
// An index or size as C++ integer (OverflowError beyond Py_ssize_t).
Py_ssize_t as_size(nb::handle value);

// ---- NumPy-style indexing through Python, so any array-like behaves as it would in Python ----

// X.shape[axis] as a Python object.
nb::object shape_item(nb::handle X, Py_ssize_t axis);
// `:` as an index part.
nb::handle full_slice();
// X[rows, columns]
nb::object index_2d(nb::handle X, nb::handle rows, nb::handle columns);
// X[:, j]
nb::object get_column(nb::handle X, Py_ssize_t j);
// Y[:, j] = value, with NumPy's own conversions and errors.
void set_column(nb::handle Y, Py_ssize_t j, nb::handle value);

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

// The trace lines of one call. debug is read once before the work and once after it.
class Trace {
public:
    explicit Trace(const Call& call) : call_(call) {}
    bool debug() const { return call_.g.flag("debug"); }
    void print(const std::string& line) const;
    // After the start line: take the clock when debug_timings is on.
    void take_start_time();
    // The end line: text + size + "), elapsed_time (s): ..." when timed and a start time was
    // taken, else closed as `style` says.
    void print_end(const std::string& text, const std::string& size_text, EndLine style, bool timed);

private:
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

// Records scikit-learn's own functions at start-up, to know when a global was rebound.
void init_compat(nb::handle module);

// ---- the protocol, configured per class ----

// Which pieces of the protocol a class uses; one row per class.
struct ProtocolRow {
    bool fit_asserts = false;       // assert X.ndim == 2 first in fit
    bool fit_traces = true;         // start and end lines around fit
    bool transform_asserts = true;  // assert X.ndim == 2 first in transform
    bool transform_timed = true;    // false: the untimed end line only, debug_timings never read
    EndLine end_line = EndLine::Paren;
    bool end_line_describes_input = false;  // the end line gives X's shape rather than Y's
    bool list_size_text = false;            // a list X is described as len(X)x1 in every line
    bool n_features_check_needs_activate_flag = false;  // a switched-off instance takes any width
};

struct NoHook {};

// fit and transform around a class's own work:
//   fit:       [assert] -> record n_features_in_ -> [start line] -> work(self, X, y) -> [end line] -> self
//   transform: [assert] -> check_array -> n-features check -> start line -> Y = work(self, X)
//              -> end line -> after_end(Y) -> return trace -> before_return(X, Y) -> Y
class Protocol {
public:
    Protocol(const char* class_name, ProtocolRow row) : texts_(class_name), row_(row) {}

    // fit of a class that learns nothing of its own.
    nb::object fit(const Call& c) const {
        return fit(c, [](nb::handle, nb::handle, nb::handle) {});
    }

    template <class Work>
    nb::object fit(const Call& c, Work&& work) const {
        nb::handle self = c[0], X = c[1], y = c[2];
        if (row_.fit_asserts) assert_2d(X);
        check_n_features(self, X, true);
        Trace trace(c);
        if (row_.fit_traces) start(trace, texts_.fit_start, X);
        work(self, X, y);
        if (row_.fit_traces) end(trace, texts_.fit_end, X, X, EndLine::Paren, true);
        return nb::borrow(self);
    }

    template <class Work, class AfterEnd = NoHook, class BeforeReturn = NoHook>
    nb::object transform(const Call& c, Work&& work, AfterEnd after_end = {}, BeforeReturn before_return = {}) const {
        nb::handle self = c[0], X = c[1];
        if (row_.transform_asserts) assert_2d(X);
        check_array(c, X);
        if (has_attr(self, "n_features_in_") &&
            (!row_.n_features_check_needs_activate_flag || truthy(attr(self, "activate_flag")))) {
            check_n_features(self, X, false);
        }
        Trace trace(c);
        start(trace, texts_.transform_start, X);
        nb::object Y = work(self, X);
        end(trace, texts_.transform_end, X, row_.end_line_describes_input ? X : nb::handle(Y), row_.end_line,
            row_.transform_timed);
        if constexpr (!std::is_same_v<AfterEnd, NoHook>) Y = after_end(std::move(Y));
        return_trace(c, self, X, Y);
        if constexpr (!std::is_same_v<BeforeReturn, NoHook>) before_return(X, Y);
        return Y;
    }

private:
    std::string size_text(nb::handle X, nb::handle described) const;
    void start(Trace& trace, const std::string& text, nb::handle X) const;
    void end(Trace& trace, const std::string& text, nb::handle X, nb::handle described, EndLine style,
             bool timed) const;

    TraceTexts texts_;
    ProtocolRow row_;
};

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

inline nb::object new_list() { return checked(PyList_New(0)); }
inline std::vector<Param> params(std::initializer_list<Param> list) { return std::vector<Param>(list); }

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
