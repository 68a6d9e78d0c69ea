// glue/src/dicts.cpp: dicts of a fixed shape, copied from a template and filled in place.
//
// A copy of a compact dict of string keys holds its entries in order: values are written there.
#include "plenx_glue/dicts.hpp"

#include <algorithm>
#include <span>

#include "plenx_glue/ops.hpp"

#if PLENX_FAST_LAYER
#include "plenx_glue/cpython/dict_tables.hpp"
#endif

namespace glue {

#if PLENX_FAST_LAYER
namespace {

// The probe's keys.
Name probe_first{"_glue_probe_key_first"};
Name probe_second{"_glue_probe_key_second"};

/// The table of an exact dict that keeps its own entries (no split table), or null.
KeysHead* own_table(PyObject* dict) noexcept {
    if (!PyDict_CheckExact(dict)) return nullptr;
    KeysHead* keys = KeysHead::of(dict_keys_of(dict));
    return dict_is_combined(dict) && keys->holds_values() ? keys : nullptr;
}

/// The table of `dict` when it holds exactly `count` keys, none deleted, in its entries; else null.
KeysHead* full_table(PyObject* dict, size_t count) noexcept {
    KeysHead* keys = own_table(dict);
    const auto n = static_cast<Py_ssize_t>(count);
    return keys && keys->nentries == n && dict_used(dict) == n ? keys : nullptr;
}

/// Each key mapped to None, grown key by key, so a copy is laid out (and sized) as `d[k] = v` makes it.
Ref make_template(std::span<const Name* const> keys) {
    Ref dict = check(PyDict_New());
    for (const Name* key : keys) check_status(PyDict_SetItem(dict, *key, Py_None));
    return dict;
}

/// The template for filled_in_place: a table of string keys, `keys` in order, each mapped to None;
/// None where the dict made is not laid out so (its copies are then filled key by key).
Ref checked_template(std::span<const Name* const> keys) {
    Ref dict = make_template(keys);
    KeysHead* table = full_table(dict, keys.size());
    if (table == nullptr || table->kind != KeysHead::unicode) return none();
    for (size_t i = 0; i < keys.size(); i++)
        if (table->entries()[i].key != keys[i]->get() || table->entries()[i].value != Py_None) return none();
    return dict;
}

/// filled_dict where dict copies are laid out as expected.
Ref filled_in_place(std::span<const Name* const> keys, std::span<Ref> values, Ref& cache) {
    if (!cache) cache = checked_template(keys);
    if (cache.get() == Py_None) {
        Ref dict = check(PyDict_New());
        for (size_t i = 0; i < keys.size(); i++) check_status(PyDict_SetItem(dict, *keys[i], values[i]));
        return dict;
    }
    // The copy is as untracked as the template; none of the values asks for tracking.
    Ref dict = check(PyDict_Copy(cache));
    // A copy holds the template's keys in its order (a clone of its table, or the template's
    // entries inserted one by one): where it holds them all, and nothing else, in a table of
    // string keys, entry i is keys[i], mapped to None.
    KeysHead* table = full_table(dict, keys.size());
    if (table != nullptr && table->kind == KeysHead::unicode) {
        UnicodeEntry* entries = table->entries();
        for (size_t i = 0; i < keys.size(); i++) {
            PyObject* old = entries[i].value;
            entries[i].value = values[i].release();  // over None, which the template still holds
            Py_XDECREF(old);
        }
        return dict;
    }
    for (size_t i = 0; i < keys.size(); i++) {
        const auto at = static_cast<Py_ssize_t>(i);
        if (table && table->key_at(at) == keys[i]->get())
            replace_slot(table->value_at(at), std::move(values[i]));  // over None
        else
            check_status(PyDict_SetItem(dict, *keys[i], values[i]));
    }
    return dict;
}

}  // namespace
#endif

Ref filled_dict(std::span<const Name* const> keys, std::span<Ref> values, Ref& cache) {
#if PLENX_FAST_LAYER
    if (context().dict_layout_known) return filled_in_place(keys, values, cache);
#endif
    (void)cache;
    Ref dict = check(PyDict_New());
    for (size_t i = 0; i < keys.size(); i++) check_status(PyDict_SetItem(dict, *keys[i], values[i]));
    return dict;
}

#if PLENX_FAST_LAYER
bool lookup_without_code(PyObject* dict, PyObject* key, PyObject** found) noexcept {
    // A table of the string kind holds exact strs only; comparing one with an exact str runs nothing.
    KeysHead* keys = context().dict_layout_known && PyUnicode_CheckExact(key) ? own_table(dict) : nullptr;
    if (keys == nullptr || keys->kind != KeysHead::unicode) return false;
    *found = PyDict_GetItemWithError(dict, key);
    return *found != nullptr || !PyErr_Occurred();
}

bool lookups_run_nothing(PyTypeObject* type) noexcept {
    PyObject* mro = type->tp_mro;
    if (!context().dict_layout_known || mro == nullptr || !PyTuple_CheckExact(mro)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); i++) {
        PyObject* dict = type_dict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i)));
        KeysHead* keys = dict != nullptr ? own_table(dict) : nullptr;
        if (keys == nullptr || keys->kind != KeysHead::unicode) return false;
    }
    return true;
}

PyObject* find_by_identity(PyObject* dict, const Name& name) noexcept {
    KeysHead* keys = context().dict_layout_known ? own_table(dict) : nullptr;
    // Only a table of exact strs: another key equal to `key` could come first in the dict's own
    // lookup, and its __eq__ would be asked. Past a few dozen entries that lookup is quicker.
    if (keys == nullptr || keys->kind != KeysHead::unicode || keys->nentries > 32) return nullptr;
    // A dict holds no two equal keys, so the very string, wherever it stands, is the entry.
    PyObject* key = name.get();
    Py_ssize_t& hint = name.state().entry_hint;
    if (hint < keys->nentries && keys->key_at(hint) == key) return *keys->value_at(hint);
    for (Py_ssize_t i = 0; i < keys->nentries; i++)
        if (keys->key_at(i) == key) {
            hint = i;
            return *keys->value_at(i);
        }
    return nullptr;
}

KeyReads::KeyReads(PyObject* dict) noexcept : dict_(dict) {
    KeysHead* keys = context().dict_layout_known ? own_table(dict) : nullptr;
    // As find_by_identity: only a small table of exact strs is read by identity.
    if (keys == nullptr || keys->kind != KeysHead::unicode || keys->nentries > 32) return;
    entries_ = keys->entries();
    count_ = keys->nentries;
    version_ = dict_version(dict);
}

void probe_dict_layout() {
    if (!mirrors_layouts || !shortcuts() || context().dict_layout_known) return;
    const Name* keys[] = {&probe_first, &probe_second};
    Ref original = make_template(keys);
    Ref copy = check(PyDict_Copy(original));
    KeysHead* table = full_table(copy, 2);
    if (!table || table->key_at(0) != probe_first.get() || table->key_at(1) != probe_second.get() ||
        *table->value_at(0) != Py_None || *table->value_at(1) != Py_None)
        return;
    // The dict must then answer with what was written, and leave the template alone.
    Ref value = integer(424242);
    replace_slot(table->value_at(1), value);
    // A table of string keys must read as the string kind, and one with another key must not.
    Ref mixed = check(PyDict_Copy(original));
    check_status(PyDict_SetItem(mixed, value, value));
    KeysHead* strings = own_table(original);
    KeysHead* others = own_table(mixed);
    context().dict_layout_known = PyDict_GetItemWithError(copy, probe_second) == value.get() &&
                        PyDict_GetItemWithError(original, probe_second) == Py_None && !PyErr_Occurred() &&
                        strings && strings->kind == KeysHead::unicode && others && others->kind == KeysHead::general;
}
#endif

}  // namespace glue
