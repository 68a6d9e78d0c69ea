// plenx_glue/module.hpp: what a module does at load: imports into its globals, then definitions.
//
// Imports call the `__import__` of the module's own builtins, as a Python module's code does.
#pragma once

#include <initializer_list>

#include "names.hpp"
#include "ref.hpp"

namespace glue {

class Args;

/// `import module` at module level: the top-level package, as the statement binds it.
Ref import_module(PyObject* globals, const char* module);
/// `import module` inside one of the module's functions.
Ref import_module(const Args& a, const char* module);

/// `from module import name` inside one of the module's functions, with the interpreter's ImportError.
Ref import_from(const Args& a, const char* module, const Name& name);

/// `from module import a, b, ...`, storing each name in `globals` in order.
void import_names(PyObject* globals, const char* module, std::initializer_list<const Name*> names);

/// Interns names, sets `__builtins__` as importlib does, then runs `body(globals)`; -1 on failure.
int exec_module(PyObject* module, void (*body)(PyObject* globals)) noexcept;

/// Stores `value` as the module global `name`.
void define_global(PyObject* globals, const Name& name, Ref value);

/// A module's state: the context of the interpreter it was made in, held (released when it goes).
void free_module_state(void* module) noexcept;

/// The PyInit_ result of a module that is loaded by running `Load` on its globals (multi-phase).
/// Each interpreter that imports it gets a module of its own, sharing nothing with another.
template <void (*Load)(PyObject* globals)>
PyObject* init_module(const char* name, const char* doc) noexcept {
    static PyModuleDef_Slot slots[] = {
        {Py_mod_exec, reinterpret_cast<void*>(+[](PyObject* module) noexcept { return exec_module(module, Load); })},
#ifdef Py_mod_multiple_interpreters
        {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
        {0, nullptr},
    };
    static PyModuleDef definition = {PyModuleDef_HEAD_INIT, name, doc, sizeof(Context*), nullptr, slots, nullptr,
                                     nullptr, free_module_state};
    return PyModuleDef_Init(&definition);
}

}  // namespace glue
