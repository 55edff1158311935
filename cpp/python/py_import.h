// Imports as the interpreter runs them, errors included.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <vector>

namespace tabrix {
namespace py {

// `import <name>`: the module itself (for a dotted name, the last part).
nanobind::object import_module(const char* name);

// `from <module> import <names...>` run with `globals` as the importing namespace: the values
// in order, or the interpreter's own ImportError when a name is absent.
std::vector<nanobind::object> from_import(PyObject* globals, const char* module,
                                          std::initializer_list<const char*> names);

}  // namespace py
}  // namespace tabrix
