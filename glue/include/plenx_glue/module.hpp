// plenx_glue/module.hpp: what a module does at load: imports into its globals, then definitions.
//
// Imports follow the interpreter's `import` statement, builtins.__import__ included.
#pragma once

#include <initializer_list>

#include "names.hpp"
#include "ref.hpp"

namespace glue {

/// `import module`: the top-level package, as the statement binds it.
Ref import_module(PyObject* globals, const char* module);

/// `from module import name`: the interpreter's lookup, with its ImportError when absent.
Ref import_from(PyObject* globals, const char* module, const Name& name);

/// `from module import a, b, ...`, storing each name in `globals` in order.
void import_names(PyObject* globals, const char* module, std::initializer_list<const Name*> names);

/// Runs a module's body at exec time: interns names, then `body(globals)`; -1 with an exception set on failure.
int exec_module(PyObject* module, void (*body)(PyObject* globals)) noexcept;

}  // namespace glue
