// glue/src/dicts.cpp: dicts of a fixed shape, copied from a template and filled in place.
//
// A copy of a compact dict of string keys is its entries in insertion order; values are
// written there directly, as the dict's own store would after finding the key.
#include "plenx_glue/dicts.hpp"

#include <algorithm>

#include "layout.hpp"
#include "plenx_glue/ops.hpp"

namespace glue {

namespace {

bool dict_layout_known = false;

/// The table of an exact dict that keeps its own entries (no split table), or null.
KeysHead* own_table(PyObject* dict) noexcept {
    if (!PyDict_CheckExact(dict)) return nullptr;
    auto* d = reinterpret_cast<PyDictObject*>(dict);
    auto* keys = reinterpret_cast<KeysHead*>(d->ma_keys);
    return d->ma_values == nullptr && keys->holds_values() ? keys : nullptr;
}

/// Where the value of the i-th key of `dict` is kept, when `dict` holds exactly `count` keys,
/// none deleted, and that key is `key`; null otherwise.
PyObject** value_place(PyObject* dict, size_t count, size_t i, PyObject* key) noexcept {
    KeysHead* keys = own_table(dict);
    const auto n = static_cast<Py_ssize_t>(count);
    if (keys == nullptr || keys->nentries != n || reinterpret_cast<PyDictObject*>(dict)->ma_used != n || i >= count)
        return nullptr;
    const auto at = static_cast<Py_ssize_t>(i);
    return keys->key_at(at) == key ? keys->value_at(at) : nullptr;
}

/// A template: each key mapped to None, in order, with room for `room` keys. Grown from empty,
/// its table is the compact kind kept for string keys, as a dict display's is; presized, it
/// would be the general kind, larger and slower to look up.
Ref make_template(const Name* const* keys, size_t count, Py_ssize_t room) {
    Ref dict = check(PyDict_New());
    for (size_t i = 0; i < count; i++) check_status(PyDict_SetItem(dict, *keys[i], Py_None));
    auto* table = reinterpret_cast<KeysHead*>(reinterpret_cast<PyDictObject*>(dict.get())->ma_keys);
    if (table->nentries + table->usable >= room) return dict;
    Ref presized = check(_PyDict_NewPresized(room));
    for (size_t i = 0; i < count; i++) check_status(PyDict_SetItem(presized, *keys[i], Py_None));
    return presized;
}

}  // namespace

DictShape::DictShape(std::initializer_list<const Name*> keys, Py_ssize_t room) noexcept
    : count_(std::min(keys.size(), max_keys)), room_(room) {
    std::copy_n(keys.begin(), count_, keys_);
}

Ref DictShape::make() const {
    if (!dict_layout_known) return check(_PyDict_NewPresized(room_));
    if (template_ == nullptr) template_ = make_template(keys_, count_, room_).release();
    return check(PyDict_Copy(template_));
}

void DictShape::fill(PyObject* dict, size_t i, PyObject* value) const {
    if (dict_layout_known) {
        if (PyObject** place = value_place(dict, count_, i, *keys_[i])) {
            PyObject* old = *place;
            *place = Py_NewRef(value);
            Py_DECREF(old);
            return;
        }
    }
    check_status(PyDict_SetItem(dict, *keys_[i], value));
}

PyObject* find_by_identity(PyObject* dict, PyObject* key) noexcept {
    KeysHead* keys = dict_layout_known ? own_table(dict) : nullptr;
    // Past a few dozen entries the dict's own lookup is the quicker.
    if (keys == nullptr || keys->nentries > 32) return nullptr;
    for (Py_ssize_t i = 0; i < keys->nentries; i++)
        if (keys->key_at(i) == key) return *keys->value_at(i);
    return nullptr;
}

void prefetch_values(PyObject* dict) noexcept {
    KeysHead* keys = dict_layout_known ? own_table(dict) : nullptr;
    if (keys == nullptr) return;
    for (Py_ssize_t i = 0, n = std::min<Py_ssize_t>(keys->nentries, 32); i < n; i++) __builtin_prefetch(*keys->value_at(i));
}

void probe_dict_layout() {
    if (!layout_mirrored || dict_layout_known) return;
    static Name probe_first{"_glue_probe_key_first"};
    static Name probe_second{"_glue_probe_key_second"};
    intern_names();
    const Name* keys[] = {&probe_first, &probe_second};
    Ref original = make_template(keys, 2, 3);
    Ref copy = check(PyDict_Copy(original));
    PyObject** first = value_place(copy, 2, 0, probe_first);
    PyObject** second = value_place(copy, 2, 1, probe_second);
    if (first == nullptr || second == nullptr || *first != Py_None || *second != Py_None) return;
    // The dict must then answer with what was written, and leave the template alone.
    Ref value = integer(424242);
    PyObject* old = *second;
    *second = Py_NewRef(value.get());
    Py_DECREF(old);
    dict_layout_known = PyDict_GetItemWithError(copy, probe_second) == value.get() &&
                        PyDict_GetItemWithError(original, probe_second) == Py_None && !PyErr_Occurred();
}

}  // namespace glue
