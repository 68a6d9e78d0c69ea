// plenx_glue/names.hpp: interned attribute names, created once per process.
//
// A Name declared at namespace scope registers itself; intern_names() creates them all.
#pragma once

#include "ref.hpp"

namespace glue {

/// An interned Python string for a fixed attribute, key or global name.
class Name {
public:
    explicit Name(const char* text) noexcept;
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;

    /// The interned string (borrowed; alive for the whole process).
    PyObject* get() const noexcept { return object_; }
    operator PyObject*() const noexcept { return object_; }
    const char* text() const noexcept { return text_; }

private:
    friend void intern_names();
    const char* text_;
    PyObject* object_ = nullptr;
    Name* next_;
};

/// Interns every Name of this shared library that is not interned yet.
void intern_names();

}  // namespace glue
