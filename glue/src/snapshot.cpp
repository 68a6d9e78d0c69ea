// glue/src/snapshot.cpp: checking that a Python function still is what it was.
//
// Only identities of objects we hold, and the dicts' versions, are compared: nothing runs code.
#include "plenx_glue/snapshot.hpp"

#include "plenx_glue/dicts.hpp"
#include "plenx_glue/cpython/access.hpp"
#include "plenx_glue/ops.hpp"

namespace glue {

namespace {

/// What each of `names` gives in `dict`, found without running code; false where that cannot be.
bool read_names(PyObject* dict, PyObject* names, std::vector<std::pair<Ref, Ref>>& entries) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names); i++) {
        PyObject* name = PyTuple_GET_ITEM(names, i);
        PyObject* value = nullptr;
        if (!lookup_without_code(dict, name, &value)) return false;
        entries.emplace_back(own(name), Ref::borrow(value));
    }
    return true;
}

}  // namespace

bool FunctionSnapshot::take(PyObject* function) {
    if (!PyFunction_Check(function) || PyFunction_GET_CLOSURE(function) != nullptr) return false;
    PyObject* globals = PyFunction_GET_GLOBALS(function);
    // The builtins it reads were fixed when it was made; the function keeps them.
    Ref builtins_ref = getattr(function, Ref(text("__builtins__")));
    PyObject* builtins = builtins_ref.get();
    if (!PyDict_CheckExact(globals) || !PyDict_CheckExact(builtins)) return false;
    Ref code = own(PyFunction_GET_CODE(function));
    Ref names = getattr(code, Ref(text("co_names")));
    if (!PyTuple_CheckExact(names)) return false;
    // Names the code reads come from its globals, else its builtins; an attribute it reads of a
    // module it holds comes from that module's dict; a dict it holds it may read as a whole.
    std::vector<Watch> watches(2);
    watches[0] = Watch{globals, {}, false};
    watches[1] = Watch{builtins, {}, false};
    if (!read_names(globals, names, watches[0].entries) || !read_names(builtins, names, watches[1].entries)) return false;
    std::vector<PyObject*> values, modules;  // what the names gave; watches grows below
    for (const Watch& watch : watches)
        for (const auto& [name, value] : watch.entries)
            if (value) values.push_back(value);
    for (PyObject* value : values) {
        if (PyDict_CheckExact(value)) {
            watches.push_back(Watch{value, {}, true});
        } else if (PyModule_CheckExact(value)) {
            Watch watch{PyModule_GetDict(value), {}, false};
            if (!read_names(watch.dict, names, watch.entries)) return false;
            watches.push_back(std::move(watch));
            modules.push_back(value);
        } else if (PyModule_Check(value)) {
            return false;  // a module of a subclass may answer reads with code of its own
        }
    }
    if (watches.size() > most_probes || modules.size() + 3 > most_probes) return false;
    // Filled whole before anything is kept: the probes point into objects the watches hold.
    function_ = own(function);
    watches_ = std::move(watches);
    pointers_ = 0;
    const auto fields = replaceable_fields(function);
    for (size_t i = 0; i < fields.size(); i++) {
        held_[i] = Ref::borrow(*fields[i]);  // so no other object can come to stand at its address
        pointer_[pointers_++] = {fields[i], reinterpret_cast<uintptr_t>(*fields[i])};
    }
    for (PyObject* module : modules)
        pointer_[pointers_++] = {&module->ob_type, reinterpret_cast<uintptr_t>(&PyModule_Type)};
    versions_ = watches_.size();
    for (size_t i = 0; i < versions_; i++) version_[i] = {dict_version_at(watches_[i].dict), dict_version(watches_[i].dict)};
    return true;
}

bool FunctionSnapshot::names_unchanged() const noexcept {
    for (size_t i = 0; i < watches_.size(); i++) {
        const Watch& watch = watches_[i];
        if (dict_version(watch.dict) == version_[i].held) continue;
        if (watch.whole) return false;
        // Something else in that dict changed: all is well while every name read gives the same.
        for (const auto& [name, value] : watch.entries) {
            PyObject* now = nullptr;
            if (!lookup_without_code(watch.dict, name, &now) || now != value.get()) return false;
        }
        version_[i].held = dict_version(watch.dict);
    }
    return true;
}

}  // namespace glue
