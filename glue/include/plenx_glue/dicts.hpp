// plenx_glue/dicts.hpp: dicts with fixed string keys, built as `d = {}; d[k] = v; ...` builds them.
//
// Filled in place from a template, unless a value would make the collector track the dict.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "names.hpp"
#include "ops.hpp"
#include "ref.hpp"
#if PLENX_FAST_LAYER
#include "cpython/dict_tables.hpp"
#endif

namespace glue {

/// A new dict of `keys` holding `values`, laid out as one grown key by key; `cache` keeps a template.
Ref filled_dict(std::span<const Name* const> keys, std::span<Ref> values, Ref& cache);

/// Whether storing `value` in an untracked dict makes the collector track it (MAINTAIN_TRACKING).
inline bool tracked_in_containers(PyObject* value) noexcept {
    // _PyObject_GC_MAY_BE_TRACKED: a collected type (whose instance says it is collected), and
    // for a tuple, one the collector still tracks.
    PyTypeObject* type = Py_TYPE(value);
    if (!PyType_IS_GC(type)) return false;
    if (auto is_gc = reinterpret_cast<inquiry>(PyType_GetSlot(type, Py_tp_is_gc)); is_gc && !is_gc(value)) return false;
    return !PyTuple_CheckExact(value) || PyObject_GC_IsTracked(value);
}

/// Fixed keys in a fixed order.
template <size_t N>
class DictShape {
public:
    explicit DictShape(const Name* const (&keys)[N]) noexcept : keys_(std::to_array(keys)) {}
    explicit DictShape(const std::array<const Name*, N>& keys) noexcept : keys_(keys) {}
    DictShape(const DictShape&) = delete;
    DictShape& operator=(const DictShape&) = delete;

    /// One dict being filled: add() gives the next key its value; finish() hands the dict out.
    class Fill {
    public:
        explicit Fill(const DictShape& shape) noexcept : shape_(shape) {}

        /// Whether it only took the value (it made nothing and released nothing).
        bool add(Ref value) {
            if (count_ == N) raise(PyExc_SystemError, "more values than keys");
            if (!dict_ && !tracked_in_containers(value)) {
                pending_[count_++] = std::move(value);
                return true;
            }
            if (!dict_) {
                dict_ = check(PyDict_New());
                for (size_t i = 0; i < count_; i++) check_status(PyDict_SetItem(dict_, *shape_.keys_[i], pending_[i]));
            }
            check_status(PyDict_SetItem(dict_, *shape_.keys_[count_++], value));
            return false;
        }

        Ref finish() {
            if (count_ != N) raise(PyExc_SystemError, "fewer values than keys");
            if (dict_) return std::move(dict_);
            return filled_dict(shape_.keys_, pending_, shape_.template_.get());
        }

    private:
        const DictShape& shape_;
        std::array<Ref, N> pending_;
        size_t count_ = 0;
        Ref dict_;
    };

    /// The key at `i`, in order.
    const Name& key(size_t i) const noexcept { return *keys_[i]; }

private:
    std::array<const Name*, N> keys_;
    PerContext<Ref> template_;  // each interpreter's template of the dict
};

#if PLENX_FAST_LAYER
/// Looks `key` up where that runs no code (every key an exact str); false, with nothing done, elsewhere.
bool lookup_without_code(PyObject* dict, PyObject* key, PyObject** found) noexcept;
/// Whether looking a string up in the dicts of type's MRO runs nothing: each holds exact strs only
/// (a class made from a namespace with other keys may hold any, whose __eq__ a lookup would ask).
bool lookups_run_nothing(PyTypeObject* type) noexcept;

/// The value under `key` in a small dict of exact strs holding that very string, found without
/// hashing: first where this key was found last (dicts written by one hand share their order).
PyObject* find_by_identity(PyObject* dict, const Name& key) noexcept;

/// Checks once, on a probe dict, that dict copies are laid out as filled_dict expects.
void probe_dict_layout();

/// One dict read key by key, as `dict[key]` reads it, with its table checked once: while the
/// dict is unchanged (its version), a key found where the last read of it found it is the entry.
class KeyReads {
public:
    explicit KeyReads(PyObject* dict) noexcept;

    /// dict[key] (borrowed) where found without running code; null where subscript decides.
    PyObject* find(const Name& key) noexcept {
        if (entries_ != nullptr && dict_version(dict_) == version_) {
            const Py_ssize_t hint = key.state().entry_hint;
            if (hint < count_ && entries_[hint].key == key.get()) return entries_[hint].value;
        }
        return find_by_identity(dict_, key);
    }
    Ref operator[](const Name& key) {
        if (PyObject* found = find(key)) return own(found);
        return glue::subscript(dict_, key.get());
    }
    /// Starts fetching every value at once: stored values lie wherever their owners were made.
    void prefetch() const noexcept {
        for (Py_ssize_t i = 0; i < count_; i++) __builtin_prefetch(entries_[i].value);
    }

private:
    PyObject* dict_;
    UnicodeEntry* entries_ = nullptr;  // a small table of exact strs, while version_ holds
    Py_ssize_t count_ = 0;
    uint64_t version_ = 0;
};
#else
/// The stable-ABI build reads every key through the dict's own lookup.
class KeyReads {
public:
    explicit KeyReads(PyObject* dict) noexcept : dict_(dict) {}
    Ref operator[](const Name& key) { return glue::subscript(dict_, key.get()); }
    void prefetch() const noexcept {}

private:
    PyObject* dict_;
};
#endif

}  // namespace glue
