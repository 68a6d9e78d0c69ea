// plenx_glue/lookup.hpp: names looked up in a module's globals, a module or a class, remembered.
//
// A memory owns nothing: it holds while the version of the dict that holds the value is unchanged.
// It lives in the running interpreter's context (context.hpp), as do the versions it compares.
#pragma once

#include "function.hpp"
#include "names.hpp"
#include "ops.hpp"
#include "ref.hpp"

#if !PLENX_FAST_LAYER
namespace glue {

/// The stable-ABI build remembers nothing: each use looks the name up afresh.
class Lookup : public Name {
public:
    explicit Lookup(const char* text) noexcept : Name(text) {}
    Ref global(PyObject* globals, PyObject* builtins) const { return glue::global(globals, builtins, get()); }
    Ref attribute(PyObject* owner) const { return getattr(owner, get()); }
    PyObject* peek_global(PyObject*) const noexcept { return nullptr; }
    PyObject* peek_attribute(PyObject*) const noexcept { return nullptr; }
};

}  // namespace glue
#else

#include "cpython/access.hpp"

namespace glue {

/// The first dict of `type`'s MRO with `name`, if its entry is `value`; null where code would run to tell.
PyObject* holder_of(PyTypeObject* type, PyObject* name, PyObject* value) noexcept;

/// A name whose last lookup in one namespace is remembered.
class Lookup : public Name {
public:
    explicit Lookup(const char* text) noexcept : Name(text) {}

    /// The module global: `globals[name]`, else the builtin, else NameError (LOAD_GLOBAL's rule).
    Ref global(PyObject* globals, PyObject* builtins) const {
        if (PyObject* remembered = peek_global(globals)) return Ref::borrow(remembered);
        return lookup_global(globals, builtins);
    }

    /// `getattr(owner, name)`, remembered for an exact module, or a plain class's non-descriptor.
    Ref attribute(PyObject* owner) const {
        if (PyObject* remembered = peek_attribute(owner)) return Ref::borrow(remembered);
        return lookup_attribute(owner);
    }

    /// The global while the last lookup of it still holds (borrowed), else null: nothing is looked up.
    PyObject* peek_global(PyObject* globals) const noexcept {
        const LookupMemo& m = state().lookup;
        return globals == m.owner && dict_version(globals) == m.version ? m.value : nullptr;
    }

    /// The class attribute while the last lookup of it still holds (borrowed), else null.
    PyObject* peek_attribute(PyObject* owner) const noexcept {
        const LookupMemo& m = state().lookup;
        // Matching tags make it the very class remembered, so the holder of the value is alive.
        if (owner == m.owner && m.tag != 0 && PyType_Check(owner) &&
            version_tag(reinterpret_cast<PyTypeObject*>(owner)) == m.tag &&
            version_tag(Py_TYPE(owner)) == m.meta_tag && dict_version(m.dict) == m.version)
            return m.value;
        return nullptr;
    }

private:
    Ref lookup_global(PyObject* globals, PyObject* builtins) const;
    Ref lookup_attribute(PyObject* owner) const;
    PyObject* find_plainly(PyObject* owner) const;
    void remember(PyObject* owner, PyObject* dict, PyObject* value) const noexcept;
};

}  // namespace glue
#endif

/// A global read by one of our functions, from the builtins it was made with (as a Python frame).
inline glue::Ref glue::Args::global(const Lookup& name) const { return name.global(globals_, builtins_); }
