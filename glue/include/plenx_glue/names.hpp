// plenx_glue/names.hpp: interned attribute names, one string per name in each interpreter.
//
// A Name declared at namespace scope registers itself; each interpreter's context interns them all.
#pragma once

#include "context.hpp"
#include "ref.hpp"

namespace glue {

/// An interned Python string for a fixed attribute, key or global name.
class Name {
public:
    explicit Name(const char* text) noexcept;
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;

    /// The interned string of the running interpreter (borrowed; alive as long as its context).
    PyObject* get() const noexcept { return state().object; }
    operator PyObject*() const noexcept { return get(); }

    /// The name's state in the running interpreter: its string and what its lookups remember.
    NameState& state() const noexcept { return detail::running.current->name_at(offset_); }

private:
    friend bool intern_names(Context* context) noexcept;
    const char* text_;
    size_t offset_;  // of its NameState from the start of a context
    Name* next_;
};

/// Interns every Name of this shared library into a new context; false with an error set.
bool intern_names(Context* context) noexcept;
/// How many Names this shared library declares.
size_t name_count() noexcept;

}  // namespace glue
