// The fit/transform protocol every transformer shares: input checks, the feature-count
// check, the on/off switch, and the trace lines switched by the module flags.
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

#include "python/native_method.h"
#include "python/py_calls.h"
#include "python/py_errors.h"
#include "python/py_import.h"

namespace tabrix::exportable {

namespace nb = nanobind;
// The shared helpers (errors, calls and attributes, imports) by their short names.
using namespace tabrix::py;

// One call of a native method: the bound parameters, in declaration order, and the module
// namespace. Constructors and functions read their arguments by name (Args, class_decl.h);
// fit(self, X, y=None) and transform(self, X) have the fixed shape the accessors name.
struct Call {
    PyObject* const* bound;
    Globals g;
    nb::handle self() const { return bound[0]; }
    nb::handle X() const { return bound[1]; }
    nb::handle y() const { return bound[2]; }
};

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
    void print_end(const std::string& text, const std::string& size_text, EndLine style,
                   bool timed);

private:
    const Call& call_;
    nb::object start_time_;
};

// "150x4": rows, "x", and columns of A.reshape(rows, -1).
std::string shape_text(nb::handle A);
// print(text) through the builtin print, so redirections of sys.stdout see it.
void print_line(const Call& call, nb::handle text);
void print_line(const Call& call, const std::string& text);
// When debug_transform_return is set: the instance's class name, ".transform(", str(X), ")->",
// str(Y).
void return_trace(const Call& call, nb::handle self, nb::handle X, nb::handle Y);

// assert X.ndim == 2 (skipped when Python runs with assertions disabled).
void assert_2d(nb::handle X);
// A bare `assert condition`.
void assert_true(bool condition);
bool assertions_enabled();

// check_array(X, ensure_min_features=1, ensure_min_samples=1, dtype=None,
//             force_all_finite="allow-nan", accept_sparse=True), result discarded.
void check_array(const Call& call, nb::handle X);

// ---- the protocol, configured per class ----

// Which pieces of the protocol a class uses: one row per class, written as a chain of the
// departures from the common case:
//   ProtocolRow().asserts_in_fit().switched_by("activate_flag")
struct ProtocolRow {
    bool fit_asserts = false;       // assert X.ndim == 2 first in fit
    bool fit_traces = true;         // start and end lines around fit
    bool transform_asserts = true;  // assert X.ndim == 2 first in transform
    bool transform_timed = true;    // false: the untimed end line only, debug_timings never read
    EndLine end_line = EndLine::Paren;
    bool end_line_describes_input = false;  // the end line gives X's shape rather than Y's
    bool list_size_text = false;            // a list X is described as len(X)x1 in every line
    // The on/off attribute (activate_flag, use_scaler_flag), or none. Switched off, fit skips
    // the class's work and transform returns X itself.
    const char* switch_name = nullptr;
    bool fit_reads_switch = true;                // false: fit never reads it (and always works)
    bool n_features_check_needs_switch = false;  // a switched-off instance takes any width

    ProtocolRow asserts_in_fit() const { return with(&ProtocolRow::fit_asserts, true); }
    ProtocolRow untraced_fit() const { return with(&ProtocolRow::fit_traces, false); }
    ProtocolRow no_assert_in_transform() const {
        return with(&ProtocolRow::transform_asserts, false);
    }
    ProtocolRow untimed() const { return with(&ProtocolRow::transform_timed, false); }
    ProtocolRow end_line_closed(EndLine style) const { return with(&ProtocolRow::end_line, style); }
    ProtocolRow end_line_of_input() const {
        return with(&ProtocolRow::end_line_describes_input, true);
    }
    ProtocolRow list_sizes() const { return with(&ProtocolRow::list_size_text, true); }
    ProtocolRow switched_by(const char* name) const {
        return with(&ProtocolRow::switch_name, name);
    }
    ProtocolRow switch_unread_in_fit() const { return with(&ProtocolRow::fit_reads_switch, false); }
    ProtocolRow n_features_check_when_on() const {
        return with(&ProtocolRow::n_features_check_needs_switch, true);
    }

private:
    template <class T>
    ProtocolRow with(T ProtocolRow::*field, T value) const {
        ProtocolRow r = *this;
        r.*field = value;
        return r;
    }
};

// A class's own work, run by the protocol.
using FitWork = void (*)(const Call& c, nb::handle self, nb::handle X, nb::handle y);
using TransformWork = nb::object (*)(const Call& c, nb::handle self, nb::handle X);
using OffWork = void (*)(nb::handle self);          // besides returning X, when switched off
using AfterEndLine = nb::object (*)(nb::object Y);  // reshapes Y after the end line
using BeforeReturn = void (*)(nb::handle X, nb::handle Y);  // a last check, after the return trace

nb::object pass_through(const Call& c, nb::handle self, nb::handle X);

struct ClassWork {
    FitWork fit = nullptr;  // nullptr: nothing to learn
    TransformWork transform = pass_through;
    OffWork when_off = nullptr;
    AfterEndLine after_end_line = nullptr;
    BeforeReturn before_return = nullptr;
};

// fit and transform around a class's own work:
//   fit:       [assert] -> record n_features_in_ -> [start line] -> [switch] work(self, X, y)
//              -> [end line] -> self
//   transform: [assert] -> check_array -> n-features check -> start line
//              -> Y = [switch] work(self, X) -> end line -> after_end_line(Y) -> return trace
//              -> before_return(X, Y) -> Y
class Protocol {
public:
    explicit Protocol(const char* class_name) : texts_(class_name) {}

    nb::object fit(const Call& c) const;
    nb::object transform(const Call& c) const;
    // The switch's truth value (true for a class without one); raises what its __bool__ raises.
    bool switched_on(nb::handle self) const;

    ProtocolRow row;
    ClassWork work;

private:
    std::string size_text(nb::handle X, nb::handle described) const;
    void start(Trace& trace, const std::string& text, nb::handle X) const;
    void end(Trace& trace, const std::string& text, nb::handle X, nb::handle described,
             EndLine style, bool timed) const;

    TraceTexts texts_;
};

}  // namespace tabrix::exportable
