#include "exportable/protocol.h"

#include <cstdarg>
#include <string>
#include <unordered_map>

#include "exportable/sklearn_compat.h"

namespace tabrix::exportable {

// ---------------------------------------------------------------- errors and basic calls

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw nb::python_error();
}

void raise_format(PyObject* type, const char* format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type, format, args);
    va_end(args);
    throw nb::python_error();
}

void raise_current() {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    throw nb::python_error();
}

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

nb::object Globals::operator[](const char* name) const {
    PyObject* key = interned(name);
    PyObject* value = PyDict_GetItemWithError(dict_, key);  // borrowed
    if (!value && !PyErr_Occurred()) {
        PyObject* builtins = PyEval_GetBuiltins();  // borrowed
        value = builtins ? PyDict_GetItemWithError(builtins, key) : nullptr;
    }
    if (!value && PyErr_Occurred()) raise_current();
    if (!value) raise_format(PyExc_NameError, "name '%s' is not defined", name);
    return nb::borrow(value);
}

bool Globals::flag(const char* name) const { return truthy((*this)[name]); }

bool truthy(nb::handle value) {
    int r = PyObject_IsTrue(value.ptr());
    if (r < 0) raise_current();
    return r != 0;
}

nb::object attr(nb::handle obj, const char* name) { return checked(PyObject_GetAttr(obj.ptr(), interned(name))); }

bool has_attr(nb::handle obj, const char* name) {
    // hasattr(): only AttributeError means "absent"; anything else propagates.
    PyObject* value = nullptr;
    const int found = tabrix_lookup_attr(obj.ptr(), interned(name), &value);
    if (found < 0) raise_current();
    Py_XDECREF(value);
    return found == 1;
}

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

nb::handle kw_names(std::initializer_list<const char*> names) {
    // Leaked on purpose: call sites keep these for the life of the process.
    PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(names.size()));
    if (!t) raise_current();
    Py_ssize_t i = 0;
    for (const char* name : names) {
        PyObject* s = PyUnicode_InternFromString(name);
        if (!s) raise_current();
        PyTuple_SET_ITEM(t, i++, s);
    }
    return t;
}

nb::object str_of(nb::handle obj) { return checked(PyObject_Str(obj.ptr())); }

bool equals(nb::handle a, nb::handle b) { return truthy(checked(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ))); }

Py_ssize_t as_size(nb::handle value) {
    const Py_ssize_t n = PyNumber_AsSsize_t(value.ptr(), PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) raise_current();
    return n;
}

nb::object shape_item(nb::handle X, Py_ssize_t axis) {
    nb::object shape = attr(X, "shape");
    return checked(PySequence_GetItem(shape.ptr(), axis));
}

nb::handle full_slice() {
    static PyObject* all = PySlice_New(nullptr, nullptr, nullptr);
    if (!all) raise_current();
    return all;
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

nb::object reshape_rows(nb::handle A, nb::handle rows) {
    static nb::handle minus_one = PyLong_FromLong(-1);
    return call(attr(A, "reshape"), {rows, minus_one});
}

std::vector<nb::object> from_import(PyObject* globals, const char* module, std::initializer_list<const char*> names) {
    nb::object fromlist = checked(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (const char* name : names) {
        PyObject* s = PyUnicode_FromString(name);
        if (!s) raise_current();
        PyTuple_SET_ITEM(fromlist.ptr(), i++, s);
    }
    nb::object module_name = nb::str(module);
    nb::object mod = checked(PyImport_ImportModuleLevelObject(module_name.ptr(), globals, nullptr, fromlist.ptr(), 0));
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
                ? checked(PyUnicode_FromFormat("cannot import name '%s' from %R (%S)", name, package.ptr(),
                                               path_obj.ptr()))
                : checked(PyUnicode_FromFormat("cannot import name '%s' from %R (unknown location)", name,
                                               package.ptr()));
        PyErr_SetImportError(message.ptr(), package.ptr(), path_obj.is_valid() ? path_obj.ptr() : nullptr);
        raise_current();
    }
    return values;
}

namespace {
std::string utf8(nb::handle s) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(s.ptr(), &size);
    if (!data) raise_current();
    return std::string(data, static_cast<size_t>(size));
}
}  // namespace

// ---------------------------------------------------------------- traces

TraceTexts::TraceTexts(const char* class_name)
    : fit_start(std::string(class_name) + ": Starting fit("),
      fit_end(std::string(class_name) + ": Ending fit("),
      transform_start(std::string(class_name) + ": Starting transform("),
      transform_end(std::string(class_name) + ": Ending transform(") {}

std::string shape_text(nb::handle A) {
    nb::object rows = shape_item(A, 0);
    nb::object columns = shape_item(reshape_rows(A, rows), 1);
    return utf8(str_of(rows)) + "x" + utf8(str_of(columns));
}

void print_line(const Call& c, nb::handle text) { call(c.g["print"], {text}); }

void print_line(const Call& c, const std::string& text) {
    nb::object s = checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
    print_line(c, s);
}

void Trace::print(const std::string& line) const { print_line(call_, line); }

void Trace::take_start_time() {
    if (call_.g.flag("debug_timings")) start_time_ = call(call_.g["time"], {});
}

void Trace::print_end(const std::string& text, const std::string& size_text, EndLine style, bool timed) {
    // A start time exists only when debug and debug_timings were both on before the work; if
    // another thread switched them on meanwhile, the untimed line is printed.
    if (timed && call_.g.flag("debug_timings") && start_time_.is_valid()) {
        nb::object now = call(call_.g["time"], {});
        nb::object elapsed = checked(PyNumber_Subtract(now.ptr(), start_time_.ptr()));
        print(text + size_text + "), elapsed_time (s): " + utf8(str_of(elapsed)));
        return;
    }
    switch (style) {
        case EndLine::Paren: print(text + size_text + ")"); break;
        case EndLine::NoParen: print(text + size_text); break;
        case EndLine::ParenThenNewline: print(text + size_text + ")\n"); break;
    }
}

void return_trace(const Call& c, nb::handle self, nb::handle X, nb::handle Y) {
    if (!c.g.flag("debug_transform_return")) return;
    nb::object class_name = attr(attr(self, "__class__"), "__name__");
    nb::object pieces = nb::steal(PyTuple_New(5));
    if (!pieces.is_valid()) raise_current();
    nb::object parts[5] = {class_name, nb::steal(PyUnicode_FromString(".transform(")), str_of(X),
                           nb::steal(PyUnicode_FromString(")->")), str_of(Y)};
    for (int i = 0; i < 5; ++i) {
        if (!parts[i].is_valid()) raise_current();
        PyTuple_SET_ITEM(pieces.ptr(), i, parts[i].release().ptr());
    }
    nb::object empty = checked(PyUnicode_FromString(""));
    print_line(c, checked(PyUnicode_Join(empty.ptr(), pieces.ptr())));
}

// ---------------------------------------------------------------- checks

bool assertions_enabled() {
    // `assert` statements are compiled out under python -O; __debug__ tells which mode runs.
    static const bool enabled = [] {
        PyObject* builtins = PyEval_GetBuiltins();
        PyObject* flag = builtins ? PyDict_GetItemString(builtins, "__debug__") : nullptr;
        return flag == nullptr || PyObject_IsTrue(flag) == 1;
    }();
    return enabled;
}

void assert_true(bool condition) {
    if (!condition) {
        PyErr_SetNone(PyExc_AssertionError);
        throw nb::python_error();
    }
}

void assert_2d(nb::handle X) {
    if (!assertions_enabled()) return;
    nb::object ndim = attr(X, "ndim");
    static nb::handle two = PyLong_FromLong(2);
    nb::object equal = checked(PyObject_RichCompare(ndim.ptr(), two.ptr(), Py_EQ));
    assert_true(truthy(equal));
}

void check_array(const Call& c, nb::handle X) {
    nb::object fn = c.g["check_array"];
    static nb::handle allow_nan = PyUnicode_InternFromString("allow-nan");
    static nb::handle one = PyLong_FromLong(1);
    call(fn, {X, one, one, Py_None, allow_nan, Py_True}, sklearn_compat::check_array_keywords(fn));
}

// ---------------------------------------------------------------- the protocol

std::string Protocol::size_text(nb::handle X, nb::handle described) const {
    if (row.list_size_text && PyList_Check(X.ptr())) {
        const Py_ssize_t n = PyObject_Length(X.ptr());
        if (n < 0) raise_current();
        return std::to_string(n) + "x1";
    }
    return shape_text(described);
}

void Protocol::start(Trace& trace, const std::string& text, nb::handle X) const {
    if (!trace.debug()) return;
    trace.print(text + size_text(X, X) + ")");
    // Classes without timings never read debug_timings.
    if (row.transform_timed) trace.take_start_time();
}

void Protocol::end(Trace& trace, const std::string& text, nb::handle X, nb::handle described, EndLine style,
                   bool timed) const {
    if (!trace.debug()) return;
    trace.print_end(text, size_text(X, described), style, timed);
}

nb::object pass_through(const Call&, nb::handle, nb::handle X) { return nb::borrow(X); }

bool Protocol::switched_on(nb::handle self) const {
    return row.switch_name == nullptr || truthy(attr(self, row.switch_name));
}

nb::object Protocol::fit(const Call& c) const {
    nb::handle self = c.self(), X = c.X(), y = c.y();
    if (row.fit_asserts) assert_2d(X);
    sklearn_compat::check_n_features(self, X, true);
    Trace trace(c);
    if (row.fit_traces) start(trace, texts_.fit_start, X);
    // The switch is read even by a class that learns nothing, so a flag without a truth value
    // fails in fit as it does in transform.
    if (!row.fit_reads_switch || switched_on(self)) {
        if (work.fit) work.fit(c, self, X, y);
    }
    if (row.fit_traces) end(trace, texts_.fit_end, X, X, EndLine::Paren, true);
    return nb::borrow(self);
}

nb::object Protocol::transform(const Call& c) const {
    nb::handle self = c.self(), X = c.X();
    if (row.transform_asserts) assert_2d(X);
    check_array(c, X);
    if (has_attr(self, "n_features_in_") && (!row.n_features_check_needs_switch || switched_on(self))) {
        sklearn_compat::check_n_features(self, X, false);
    }
    Trace trace(c);
    start(trace, texts_.transform_start, X);
    nb::object Y;
    if (switched_on(self)) {
        Y = work.transform(c, self, X);
    } else {
        if (work.when_off) work.when_off(self);
        Y = nb::borrow(X);
    }
    end(trace, texts_.transform_end, X, row.end_line_describes_input ? X : nb::handle(Y), row.end_line,
        row.transform_timed);
    if (work.after_end_line) Y = work.after_end_line(std::move(Y));
    return_trace(c, self, X, Y);
    if (work.before_return) work.before_return(X, Y);
    return Y;
}

}  // namespace tabrix::exportable
