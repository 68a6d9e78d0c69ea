// plenx_glue/dicts.hpp: dicts with fixed string keys, made from a template and filled in place.
//
// The keys are in the new dict before its values are, which nobody sees before it is handed out.
#pragma once

#include <initializer_list>

#include "names.hpp"
#include "ref.hpp"

namespace glue {

/// Fixed keys in a fixed order, with room for `room` keys in all (more can be added later).
class DictShape {
public:
    DictShape(std::initializer_list<const Name*> keys, Py_ssize_t room) noexcept;
    DictShape(const DictShape&) = delete;
    DictShape& operator=(const DictShape&) = delete;

    /// A new dict to fill in key order: the keys with None values, or, where the dict layout
    /// was not recognised, an empty dict sized for `room` keys.
    Ref make() const;
    /// Gives the i-th key its value in a dict from make().
    void fill(PyObject* dict, size_t i, PyObject* value) const;

private:
    static constexpr size_t max_keys = 16;
    const Name* keys_[max_keys];
    size_t count_;
    Py_ssize_t room_;
    mutable PyObject* template_ = nullptr;  // strong, kept for the process
};

/// The value under `key` in a small compact dict whose entry holds that very string object (as
/// dicts keyed by interned names do), found without hashing; null when not found that way.
PyObject* find_by_identity(PyObject* dict, PyObject* key) noexcept;

/// Starts fetching every value object of `dict` at once, so that reading them one by one does
/// not wait on memory for each in turn. Reads the table only where its layout is known.
void prefetch_values(PyObject* dict) noexcept;

/// Checks once, on a probe dict, that dict copies are laid out as DictShape expects.
void probe_dict_layout();

}  // namespace glue
