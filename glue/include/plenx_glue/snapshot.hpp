// plenx_glue/snapshot.hpp: a Python function as it was when its behaviour was vouched for.
//
// While its code, defaults and every object its code reads are unchanged, it does what it did.
#pragma once

#include "ref.hpp"

#if !PLENX_FAST_LAYER
namespace glue {

/// The stable-ABI build vouches for no function: every one is called.
class FunctionSnapshot {
public:
    bool take(PyObject*) noexcept { return false; }
    bool unchanged(PyObject*) const noexcept { return false; }
    PyObject* function() const noexcept { return nullptr; }
};

}  // namespace glue
#else

#include <cstdint>
#include <utility>
#include <vector>

#include "cpython/access.hpp"

namespace glue {

class FunctionSnapshot {
public:
    /// Takes the snapshot of a plain function without a closure; false where it cannot without running code.
    bool take(PyObject* function);
    /// Whether `function` is the function of the snapshot, still as it was then.
    bool unchanged(PyObject* function) const noexcept {
        // A function's code and defaults can be replaced in place, without any version to tell.
        if (function != function_.get() || function == nullptr || PyFunction_GET_CODE(function) != code_.get() ||
            PyFunction_GET_DEFAULTS(function) != defaults_.get() || PyFunction_GET_KW_DEFAULTS(function) != kwdefaults_.get())
            return false;
        // Each dict against its own version, with no branch per dict: any bit that moved shows
        // (3.12's watcher bits can go down, so a sum could cancel out).
        uint64_t moved = 0;
        for (const auto& [dict, version] : watched_) moved |= dict_version(dict) ^ version;
        moved |= modules_moved();
        return moved == 0 || names_unchanged();
    }
    /// The function of the snapshot (borrowed), or null when none was taken.
    PyObject* function() const noexcept { return function_; }

private:
    /// Whether every name read from a dict that changed still gives the same (then remembered).
    bool names_unchanged() const noexcept;
    /// Nonzero once a module read from is of a subclass now: its __getattribute__ would answer the reads.
    uint64_t modules_moved() const noexcept {
        uint64_t moved = 0;
        for (PyObject* module : modules_) moved |= !Py_IS_TYPE(module, &PyModule_Type);
        return moved;
    }

    /// A dict the function reads from, with the version it had; `entries` are the names read
    /// from it and what they gave (null: absent). A dict read as a whole has no entries and
    /// must not change at all.
    struct Watch {
        PyObject* dict;  // borrowed: held by function_ or by a value in another watch
        mutable uint64_t version;
        std::vector<std::pair<Ref, Ref>> entries;
        bool whole;
    };

    Ref function_, code_, defaults_, kwdefaults_;
    std::vector<Watch> watches_;
    mutable std::vector<std::pair<PyObject*, uint64_t>> watched_;  // each watch's dict and version, for the quick check
    std::vector<PyObject*> modules_;  // the modules whose dicts are watched; borrowed, held as values of a watch
};

}  // namespace glue
#endif
