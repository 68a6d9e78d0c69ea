// plenx_glue/names.hpp: interned attribute names, created once per process.
//
// A Name declared at namespace scope registers itself; intern_names() creates them all.
#pragma once

#include <cstdint>

#include "ref.hpp"

namespace glue {

#if PLENX_FAST_LAYER
/// What a class, at one version, makes of this name (see attributes.hpp).
struct SlotMemo {
    unsigned int version = 0;             // the class's version tag; 0 never matches
    bool in_place = false;                // a plain instance attribute, read and written at `index`
    Py_ssize_t index = -1;                // the name's place among the shared keys, or -1: not there
    Py_ssize_t keys_seen = 0;             // how many shared keys there were when `index` was found
    PyObject* class_attribute = nullptr;  // borrowed: `holder` holds it while holder_version holds
    PyObject* holder = nullptr;           // the dict of the MRO that class_attribute was found in
    uint64_t holder_version = 0;
};

/// What `super(owner, self).name` found for instances of one class, at one version.
struct SuperMemo {
    unsigned int version = 0;    // type(self)'s version tag: it changes with any class of its MRO
    PyObject* owner = nullptr;   // compared by identity only
    PyObject* found = nullptr;   // borrowed: `holder` holds it while holder_version holds
    PyObject* holder = nullptr;  // the dict of the MRO that `found` was found in
    uint64_t holder_version = 0;
};
#endif

/// An interned Python string for a fixed attribute, key or global name.
class Name {
public:
    explicit Name(const char* text) noexcept;
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;

    /// The interned string (borrowed; alive for the whole process).
    PyObject* get() const noexcept { return object_; }
    operator PyObject*() const noexcept { return object_; }

#if PLENX_FAST_LAYER
    /// The two classes most recently seen with this attribute (Continuous and Discrete alternate).
    mutable SlotMemo slots[2];
    /// The same for super() lookups of this name.
    mutable SuperMemo supers[2];
#endif

private:
    friend void intern_names();
    const char* text_;
    PyObject* object_ = nullptr;
    Name* next_;
};

/// Interns every Name of this shared library that is not interned yet.
void intern_names();

}  // namespace glue
