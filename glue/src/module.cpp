// glue/src/module.cpp: the import statement's semantics, and the module exec boundary.
//
// A module that cannot import what it needs fails to load with the interpreter's ImportError.
#include "plenx_glue/module.hpp"

#include "plenx_glue/fast.hpp"

namespace glue {

namespace {

Name import_key{"__import__"};
Name name_key{"__name__"};

/// builtins.__import__(module, globals, None, fromlist, 0), as IMPORT_NAME calls it.
Ref import(PyObject* globals, const char* module, PyObject* fromlist) {
    PyObject* function = PyDict_GetItemWithError(PyEval_GetBuiltins(), import_key);
    if (function == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "__import__ not found");
        raise();
    }
    Ref keep = own(function);
    Ref level = integer(0);
    return call(keep, Ref(text(module)).get(), globals, Py_None, fromlist, level.get());
}

/// IMPORT_FROM: the attribute, else the submodule in sys.modules, else ImportError.
Ref attribute_or_submodule(PyObject* module, PyObject* name) {
    if (Ref found = lookup_attr(module, name)) return found;
    Ref package = lookup_attr(module, name_key);
    if (package && PyUnicode_Check(package)) {
        Ref full = check(PyUnicode_FromFormat("%U.%U", package.get(), name));
        if (Ref submodule = Ref::steal(PyImport_GetModule(full))) return submodule;
        if (PyErr_Occurred()) raise();
    } else {
        package = Ref();
        PyErr_Clear();
    }
    Ref package_text = package ? package : text("<unknown module name>");
    Ref path = Ref::steal(PyModule_GetFilenameObject(module));
    Ref message;
    if (!path || !PyUnicode_Check(path)) {
        PyErr_Clear();
        path = Ref();
        message = check(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)", name, package_text.get()));
    } else {
        message = check(PyUnicode_FromFormat("cannot import name %R from %R (%S)", name, package_text.get(), path.get()));
    }
    PyErr_SetImportError(message, package ? package.get() : nullptr, path ? path.get() : nullptr);
    raise();
}

}  // namespace

Ref import_module(PyObject* globals, const char* module) { return import(globals, module, Py_None); }

Ref import_from(PyObject* globals, const char* module, const Name& name) {
    Ref fromlist = check(PyTuple_Pack(1, name.get()));
    Ref imported = import(globals, module, fromlist);
    return attribute_or_submodule(imported, name);
}

void import_names(PyObject* globals, const char* module, std::initializer_list<const Name*> names) {
    Ref fromlist = name_tuple(names);
    Ref imported = import(globals, module, fromlist);
    for (const Name* name : names) check_status(PyDict_SetItem(globals, *name, attribute_or_submodule(imported, *name)));
}

void define_global(PyObject* globals, const Name& name, Ref value) { check_status(PyDict_SetItem(globals, name, value)); }

int exec_module(PyObject* module, void (*body)(PyObject* globals)) noexcept {
    return guarded(
        [&] {
            intern_names();
#if PLENX_FAST_LAYER
            read_shortcut_switch();
            fast::probe_property_layout();
            probe_inline_values();
            probe_dict_layout();
#endif
            body(PyModule_GetDict(module));
            return 0;
        },
        -1);
}

}  // namespace glue
