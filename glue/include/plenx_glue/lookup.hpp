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

#include <iterator>
#include <span>

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

/// Where instances of one class, at one version, find `methods` (Python functions of the class,
/// found the generic way and not shadowed: plain_method) and keep `attributes` (plain ones, set:
/// instance_slot), remembered together so that an instance is answered with one check of its
/// class and reads of its own inline values. Owns nothing, as the memories it copies.
class InstancePlaces {
public:
    static constexpr size_t most = 2;
    /// plain_method(o, methods[i]) into found_methods and the values instance_slot(o,
    /// attributes[i]) holds into found_values (all borrowed); false where any is missing or must
    /// be found the generic way. Both lists are arrays of static storage, of equal length.
    bool find(PyObject* o, std::span<const Name* const> methods, std::span<const Name* const> attributes,
              PyObject** found_methods, PyObject** found_values) noexcept {
        PyTypeObject* type = Py_TYPE(o);
        // The lists are told apart by their addresses (arrays of static storage).
        if (type != type_ || methods.data() != methods_site_ || attributes.data() != attributes_site_ || version_ == 0 || version_tag(type) != version_ || methods.size() != count_) return false;
        for (size_t i = 0; i < std::size(holders_); i++)
            if (holders_[i] && dict_version(holders_[i]) != holder_versions_[i]) return false;
        PyObject** values = inline_values(o);
        if (values == nullptr || (keys_watched_ && shared_key_count(type) != keys_seen_)) return false;
        for (size_t i = 0; i < count_; i++) {
            // A name among the shared keys may be set on the instance, shadowing the method.
            PyObject** shadow = method_index_[i] >= 0 ? inline_slot(values, method_index_[i]) : nullptr;
            PyObject** slot = inline_slot(values, attribute_index_[i]);
            if ((method_index_[i] >= 0 && (shadow == nullptr || *shadow != nullptr)) || slot == nullptr || *slot == nullptr)
                return false;
            found_methods[i] = methods_[i];
            found_values[i] = *slot;
        }
        return true;
    }
    /// find() the generic way, remembered for the next instance of o's class where that holds.
    bool find_and_remember(PyObject* o, std::span<const Name* const> methods, std::span<const Name* const> attributes,
                           PyObject** found_methods, PyObject** found_values) noexcept;

private:
    static Py_ssize_t shared_key_count(PyTypeObject* type) noexcept;

    PyTypeObject* type_ = nullptr;  // compared by identity only
    const void* methods_site_ = nullptr;
    const void* attributes_site_ = nullptr;
    unsigned int version_ = 0;      // its version tag; 0 never matches
    size_t count_ = 0;
    bool keys_watched_ = false;     // a method's name was not among the shared keys: none may join
    Py_ssize_t keys_seen_ = 0;
    PyObject* methods_[most] = {};  // borrowed: their holders hold them while those versions hold
    Py_ssize_t method_index_[most] = {};
    Py_ssize_t attribute_index_[most] = {};
    PyObject* holders_[2 * most] = {};
    uint64_t holder_versions_[2 * most] = {};
};

}  // namespace glue
#endif

/// A global read by one of our functions, from the builtins it was made with (as a Python frame).
inline glue::Ref glue::Args::global(const Lookup& name) const { return name.global(globals_, builtins_); }
