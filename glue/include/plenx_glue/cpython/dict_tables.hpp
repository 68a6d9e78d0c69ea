// plenx_glue/cpython/dict_tables.hpp: dict key tables (PyDictKeysObject) of 3.11 to 3.13.
//
// As Objects/dict-common.h lays them out with the GIL; each shortcut checks them on a probe first.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "access.hpp"

namespace glue {

/// One entry of a table whose keys are all strings.
struct UnicodeEntry {
    PyObject* key;
    PyObject* value;
};

/// One entry of a table of any keys (the kind a presized dict starts with).
struct GeneralEntry {
    Py_hash_t hash;
    PyObject* key;
    PyObject* value;
};

/// The head of a dict's keys table (PyDictKeysObject); a class's shared keys are one too.
struct KeysHead {
    static constexpr uint8_t general = 0;  // a dict's own table of any keys
    static constexpr uint8_t unicode = 1;  // a dict's own table of string keys
    static constexpr uint8_t split = 2;    // a class's shared keys

    Py_ssize_t refcnt;
    uint8_t log2_size;
    uint8_t log2_index_bytes;
    uint8_t kind;
    uint32_t version;
    Py_ssize_t usable;
    Py_ssize_t nentries;
    char indices[];

    /// The entries follow the hash index.
    UnicodeEntry* entries() noexcept { return reinterpret_cast<UnicodeEntry*>(entry_bytes()); }
    GeneralEntry* general_entries() noexcept { return reinterpret_cast<GeneralEntry*>(entry_bytes()); }
    char* entry_bytes() noexcept { return indices + (size_t{1} << log2_index_bytes); }

    /// The table of a dict, or of a class's shared keys.
    static KeysHead* of(void* keys) noexcept { return static_cast<KeysHead*>(keys); }

    /// A dict's own table (not a class's shared keys), whose entries hold values.
    bool holds_values() const noexcept { return kind == general || kind == unicode; }
    /// Entry i's key (null for a deleted entry) and value, in a table that holds_values().
    PyObject* key_at(Py_ssize_t i) noexcept { return kind == general ? general_entries()[i].key : entries()[i].key; }
    PyObject** value_at(Py_ssize_t i) noexcept {
        return kind == general ? &general_entries()[i].value : &entries()[i].value;
    }
};

}  // namespace glue
