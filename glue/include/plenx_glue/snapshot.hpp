// plenx_glue/snapshot.hpp: a Python function as it was when its behaviour was vouched for.
//
// While its code, defaults and every object its code reads are unchanged, it does what it did.
#pragma once

#include "ref.hpp"

#if !PLENX_FAST_LAYER
#include "watch.hpp"

namespace glue {

/// The stable-ABI build vouches with what the Limited API shows (watch.hpp).
using FunctionSnapshot = WatchedFunction;

}  // namespace glue
#else

#include <array>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <utility>
#include <vector>

#include "cpython/access.hpp"

namespace glue {

class SnapshotNote;

class FunctionSnapshot {
public:
    /// Takes the snapshot of a plain function without a closure; false where it cannot without running code.
    bool take(PyObject* function);
    /// Whether `function` is the function of the snapshot, still as it was then.
    bool unchanged(PyObject* function) const noexcept {
        if (function != function_.get() || function == nullptr) return false;
        // Every word the snapshot rests on at once, with no branch per word (3.12's watcher bits
        // can take a dict's version down, so a sum could cancel out).
        uintptr_t moved = 0;
        for (size_t i = 0; i < pointers_; i++) moved |= word<uintptr_t>(pointer_[i].at) ^ pointer_[i].held;
        uint64_t versions_moved = 0;
        for (size_t i = 0; i < versions_; i++) versions_moved |= word<uint64_t>(version_[i].at) ^ version_[i].held;
        return (moved | versions_moved) == 0 || (moved == 0 && names_unchanged());
    }
    /// The function of the snapshot (borrowed), or null when none was taken.
    PyObject* function() const noexcept { return function_; }

private:
    friend class SnapshotNote;
    /// Whether every name read from a dict that changed still gives the same (then remembered).
    bool names_unchanged() const noexcept;

    /// A dict the function reads from; `entries` are the names read from it and what they gave
    /// (null: absent). A dict read as a whole has no entries and must not change at all.
    struct Watch {
        PyObject* dict;  // borrowed: held by function_ or by a value in another watch
        std::vector<std::pair<Ref, Ref>> entries;
        bool whole;
    };
    /// A word of memory that must still hold what it held when the snapshot was taken.
    template <class T>
    struct Probe {
        const void* at;  // inside an object the snapshot holds
        T held;
    };
    template <class T>
    static T word(const void* at) noexcept {
        T value;
        std::memcpy(&value, at, sizeof value);
        return value;
    }
    static constexpr size_t most_probes = 12;  // more than any helper reads; beyond that, no snapshot

    Ref function_;
    std::array<Ref, 3> held_;  // what the function's replaceable fields held
    std::vector<Watch> watches_;
    // The function's code and defaults (replaceable in place, with no version to tell), and the
    // class of each module read from (a subclass's __getattribute__ would answer the reads).
    std::array<Probe<uintptr_t>, most_probes> pointer_{};
    size_t pointers_ = 0;
    mutable std::array<Probe<uint64_t>, most_probes> version_{};  // each watch's dict version, in order
    size_t versions_ = 0;
};

/// The words some snapshots (and a few more words) rest on, each once, as they were when all of
/// them were last found unchanged: while every word still holds that, every one of them would
/// be found unchanged again, so one pass over the words stands for all their checks.
class SnapshotNote {
public:
    SnapshotNote() noexcept { forget(); }
    /// Whether every noted word still holds what it held when noted (never while nothing is).
    bool holds() const noexcept {
        uint64_t moved = 0;
        for (size_t i = 0; i < most_words; i++) moved |= read(at_[i]) ^ held_[i];  // unrolled: no count
        return moved == 0;
    }
    /// Notes the words of `snapshots` and `words` (each a 64-bit word inside an object the
    /// snapshots hold), as they are now: only right after each snapshot was found unchanged and
    /// each of `words` found as the check wants it. Where they do not fit, nothing is noted.
    void note(std::initializer_list<const FunctionSnapshot*> snapshots, std::initializer_list<const void*> words) noexcept;
    /// Notes nothing: holds() is false until the next note.
    void forget() noexcept;

private:
    static uint64_t read(const void* at) noexcept {
        uint64_t value;
        std::memcpy(&value, at, sizeof value);
        return value;
    }
    bool add(const void* at) noexcept;

    static constexpr size_t most_words = 16;
    std::array<const void*, most_words> at_{};  // past the noted ones, a word that is always 0
    std::array<uint64_t, most_words> held_{};
    size_t count_ = 0;
};

}  // namespace glue
#endif
