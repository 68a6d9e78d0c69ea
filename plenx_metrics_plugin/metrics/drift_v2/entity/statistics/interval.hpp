// interval.hpp: what the files of the interval module share.
//
// Attribute and global names, the member tables of each class, and the numeric shortcuts.
#pragma once

#include <plenx_glue/dicts.hpp>
#include <plenx_glue/fast.hpp>
#include <plenx_glue/function.hpp>
#include <plenx_glue/klass.hpp>
#include <plenx_glue/lookup.hpp>
#include <plenx_glue/ops.hpp>
#include <plenx_glue/snapshot.hpp>

#include <array>
#include <bit>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

namespace interval {

namespace fast = glue::fast;
using glue::Args;
using glue::Name;
using glue::Ref;

namespace names {
// Module globals: imported at load, looked up at each use.
inline glue::Lookup total_ordering{"total_ordering"};
inline glue::Lookup Union{"Union"};
inline glue::Lookup uuid4{"uuid4"};
inline glue::Lookup np{"np"};
inline glue::Lookup get_python_types{"get_python_types"};
inline glue::Lookup round_{"round_"};
inline glue::Lookup INFINITY_{"INFINITY"};
inline glue::Lookup DataSetType{"DataSetType"};
inline glue::Lookup ControlBoxManager{"ControlBoxManager"};
inline glue::Lookup IntervalValue{"IntervalValue"};
inline glue::Lookup Interval{"Interval"};
inline glue::Lookup ContinuousStatisticsInterval{"ContinuousStatisticsInterval"};
inline glue::Lookup DiscreteStatisticsInterval{"DiscreteStatisticsInterval"};

// Attributes, properties and methods.
inline Name id{"id"};
inline Name field{"field"};
inline Name values{"values"};
inline Name absolute_change_percentage_cache{"_absolute_change_percentage"};
inline Name eligible_for_insights_cache{"_eligible_for_insights"};
inline Name insights_available{"insights_available"};
inline Name type{"type"};
inline Name absolute_count{"absolute_count"};
inline Name percentage{"percentage"};
inline Name absolute_change_percentage{"absolute_change_percentage"};
inline Name eligible_for_insights{"eligible_for_insights"};
inline Name is_change_significant{"is_change_significant"};
inline Name calculate_absolute_change_percentage{"_calculate_absolute_change_percentage"};
inline Name add_baseline_value{"add_baseline_value"};
inline Name add_production_value{"add_production_value"};
inline Name get_baseline_value{"get_baseline_value"};
inline Name get_production_value{"get_production_value"};
inline Name has_increased_in_production{"has_increased_in_production"};
inline Name to_dict{"to_dict"};
inline Name lower_bound{"lower_bound"};
inline Name upper_bound{"upper_bound"};
inline Name statistical_buffer{"statistical_buffer"};
inline Name contribution_to_distance{"contribution_to_distance"};
inline Name init{"__init__"};
inline Name str_method{"__str__"};
inline Name int_slot{"int"};
inline Name is_safe{"is_safe"};
inline Name NUMPY_TO_PLAIN{"_NUMPY_TO_PLAIN"};
// Looked up on DataSetType and numpy at each use, remembered while nothing they read changes.
inline glue::Lookup BASELINE{"BASELINE"};
inline glue::Lookup PRODUCTION{"PRODUCTION"};
inline glue::Lookup abs{"abs"};
inline Name get_control_box{"get_control_box"};
inline Name get_interval_percent_threshold_for_insights{"get_interval_percent_threshold_for_insights"};
inline Name get_interval_count_threshold_for_insights{"get_interval_count_threshold_for_insights"};

// Keys of the dictionary form that are not attribute names.
inline Name increased_in_production{"increased_in_production"};
inline Name baseline_absolute_count{"baseline_absolute_count"};
inline Name baseline_percentage{"baseline_percentage"};
inline Name production_absolute_count{"production_absolute_count"};
inline Name production_percentage{"production_percentage"};
}  // namespace names

// ---- class members, defined beside the behaviour they carry ----
inline constexpr glue::Param compare_params[] = {{"self"}, {"other"}};
inline constexpr glue::Param from_dict_params[] = {{"cls"}, {"dict_", "dict"}};

extern const glue::FunctionDef interval_value_init;
extern const glue::FunctionDef interval_init;
extern const glue::FunctionDef add_baseline_value;
extern const glue::FunctionDef add_production_value;
extern const glue::FunctionDef get_baseline_value;
extern const glue::FunctionDef get_production_value;

extern const glue::FunctionDef absolute_change_percentage;
extern const glue::FunctionDef is_change_significant;
extern const glue::FunctionDef eligible_for_insights;
extern const glue::FunctionDef calculate_absolute_change_percentage;
extern const glue::FunctionDef has_increased_in_production;

extern const glue::FunctionDef interval_value_repr;
extern const glue::FunctionDef interval_repr_def;

extern const glue::FunctionDef interval_lt;
extern const glue::FunctionDef interval_eq;
extern const glue::FunctionDef interval_to_dict;
extern const glue::FunctionDef interval_from_dict;

extern const glue::FunctionDef continuous_init;
extern const glue::FunctionDef continuous_lt;
extern const glue::FunctionDef continuous_eq;
extern const glue::FunctionDef continuous_to_dict;
extern const glue::FunctionDef continuous_from_dict;

extern const glue::FunctionDef discrete_init;
extern const glue::FunctionDef discrete_is_change_significant;
extern const glue::FunctionDef discrete_lt;
extern const glue::FunctionDef discrete_eq;
extern const glue::FunctionDef discrete_to_dict;
extern const glue::FunctionDef discrete_from_dict;

// ---- shared helpers ----

/// `convert(value)` from the function `a` runs; while `convert` is still the helpers' own
/// get_python_types and no tracer would see it called, a value of a type
/// that it declares it returns as it is is not passed to it.
Ref python_types(const Args& a, PyObject* convert, Ref value);

/// `round_(bound)` with the module's `round_`; the helpers' own is done here for ints and floats.
Ref rounded(const Args& a, PyObject* bound);

/// f"{lower}-{upper}", the field text of a continuous interval, with each bound formatted as
/// soon as it is given (the f-string's order). Plain ints and short floats are written here.
class RangeText {
public:
    explicit RangeText(PyObject* lower);
    Ref with(PyObject* upper);

private:
    char buffer_[64];
    char* out_ = buffer_;
    Ref lower_text_;  // set when the lower bound was not written into the buffer
};

/// Whether get_python_types may be done here now: `convert` is the helpers' own, unchanged, and
/// no tracer would see it called (the stable-ABI build runs the work due first, which may raise).
#if PLENX_FAST_LAYER
bool python_types_native(const Args& a, PyObject* convert) noexcept;
#else
bool python_types_native(const Args& a, PyObject* convert);
#endif
/// The types get_python_types returns as they are and those it returns as float(value), each
/// found by its address in a probe or two: open addressing over a table at least twice their
/// number, where an empty entry ends the search (a type in neither).
class TypeTable {
public:
    enum Verdict : uint8_t { other, passed, floated };
    /// False, with the table left as it was, where there are too many types for it.
    bool fill(const std::vector<PyTypeObject*>& passed_types, const std::vector<PyTypeObject*>& float_types) noexcept {
        if (passed_types.size() + float_types.size() > size / 2) return false;
        std::array<Entry, size> filled{};
        auto put = [&](PyTypeObject* type, Verdict verdict) {
            size_t i = slot(type);
            while (filled[i].type != nullptr && filled[i].type != type) i = (i + 1) % size;
            if (filled[i].type == nullptr) filled[i] = {type, verdict};  // the first list is asked first
        };
        for (PyTypeObject* type : passed_types) put(type, passed);
        for (PyTypeObject* type : float_types) put(type, floated);
        entries_ = filled;
        return true;
    }
    Verdict of(PyTypeObject* type) const noexcept {
        for (size_t i = slot(type);; i = (i + 1) % size) {
            if (entries_[i].type == type) return entries_[i].verdict;
            if (entries_[i].type == nullptr) return other;
        }
    }

private:
    static constexpr size_t size = 32;
    static size_t slot(PyTypeObject* type) noexcept {
        return static_cast<size_t>((reinterpret_cast<uintptr_t>(type) * uint64_t{0x9E3779B97F4A7C15}) >> 59);
    }
    struct Entry {
        PyTypeObject* type = nullptr;
        Verdict verdict = other;
    };
    std::array<Entry, size> entries_{};
};

/// The running interpreter's table of the types get_python_types passes through or converts
/// (empty where its load vouched for no helper).
const TypeTable& python_types_table() noexcept;
/// get_python_types(value) for a value of a type the table says is converted to float: the
/// float (the stable-ABI build first reads the helper's dict of conversions as it would; null
/// where that says otherwise).
Ref python_types_floated(PyObject* value);
/// get_python_types(value) done here, where python_types_native() holds; null where the helper
/// must be called. It runs nothing: the only object it makes is a float, which the collector
/// does not track, so no collection is started or scheduled by it.
inline Ref python_types_here(const TypeTable& types, PyObject* value) {
    switch (types.of(Py_TYPE(value))) {
    case TypeTable::passed:
        return glue::own(value);
    case TypeTable::floated:
        return python_types_floated(value);
    default:
        return Ref();
    }
}

/// The entries of one dict, each get_python_types(<read>) with the module's get_python_types
/// looked up first, as `get_python_types(self.x)` runs. While nothing at all has happened since
/// the last entry's lookup (no code run, nothing released, no tracked object made), the global and
/// the helper are still what its check found: a value read without running anything is then
/// converted at once.
class PythonTypes {
public:
    explicit PythonTypes(const Args& a) noexcept : a_(&a), types_(&python_types_table()) {}

    /// The entry of the value `read()` gives; `peek()` gives it where that runs nothing (borrowed), or null.
    template <class Peek, class Read>
    Ref operator()(Peek peek, Read read) {
        if (quiet_)
            if (PyObject* peeked = peek()) {
                if (Ref done = python_types_here(*types_, peeked)) return done;
                quiet_ = false;
                Ref value = glue::own(peeked);
                return glue::call(convert_, value.get());
            }
        convert_ = a_->global(names::get_python_types);
        PyObject* peeked = peek();
        Ref value = peeked ? glue::own(peeked) : read();
        // Checked after the read, as the call would find the helper. A read that ran code may
        // have rebound the global meanwhile: the next entry then looks it up again. So does one
        // whose lookup runs code (a key of the host's in the globals): only a lookup remembered
        // ran nothing, so only then may the next ones be left out.
        quiet_ = python_types_native(*a_, convert_);
        Ref converted = convert(std::move(value));
        quiet_ = quiet_ && peeked != nullptr && names::get_python_types.peek_global(a_->globals()) == convert_.get();
        return converted;
    }
    /// Says whether storing the entry made or released anything.
    void stored(bool quietly) noexcept { quiet_ = quiet_ && quietly; }
    /// Whether nothing has run since the last entry was found in place and converted here.
    bool quiet() const noexcept { return quiet_; }
    /// The next entries are those of the function `a` runs: the function this one was handed to
    /// ran the ones before, and has returned (or `a` calls it now, before any entry). What the
    /// last lookup found still holds only where `a` looks get_python_types up in the same globals
    /// and builtins.
    void continue_in(const Args& a) noexcept {
        quiet_ = quiet_ && a.globals() == a_->globals() && a.builtins() == a_->builtins();
        a_ = &a;
    }

private:
    Ref convert(Ref value) {
        if (quiet_)
            if (Ref done = python_types_here(*types_, value.get())) return done;
        quiet_ = false;
        return glue::call(convert_, value.get());
    }

    const Args* a_;
    const TypeTable* types_;  // of the interpreter running the call, as seen is
    Ref convert_;
    bool quiet_ = false;  // nothing happened since convert_ was found to be the helpers' own
};

/// The next key of a dict being filled gets get_python_types(read()) (see PythonTypes).
template <class Fill, class Peek, class Read>
void fill_entry(PythonTypes& convert, Fill& dict, Peek peek, Read read) {
    convert.stored(dict.add(convert(peek, read)));
}

/// `self.<method>()` for get_baseline_value or get_production_value: the measurement found in
/// place where the method is our own and finding it runs nothing, else the call.
inline Ref measurement(PyObject* self, const Name& method) {
    if (PyObject* found = fast::peek_method(self, method)) return glue::own(found);
    return fast::call_method(self, method);
}

/// `obj.<name>` for a property or attribute; our own properties run without the call machinery.
inline Ref read(PyObject* obj, const Name& name) { return fast::get_property(obj, name); }

/// `other.<name>` for a comparison: null when `other` has no such attribute.
inline Ref other_attribute(PyObject* other, const Name& name) { return fast::lookup_property(other, name); }

/// The host's marker for an unsupported comparison.
inline Ref not_implemented() noexcept { return glue::own(Py_NotImplemented); }

/// The ordering rule of the concrete intervals over `keys`: equal on a key moves on to the next;
/// otherwise both are read again and compared with `<`; the last key is compared with `<` directly.
/// Returns that comparison's own result, or NotImplemented when `other` lacks a key.
/// The keys a class orders its intervals by, first to last (at least one): an array of static
/// storage (its address tells one comparison's keys from another's, fast::KeyReader).
using OrderKeys = std::span<const Name* const>;
Ref ordered_less(PyObject* self, PyObject* other, OrderKeys keys);
/// The comparison slot's work while it remembers the __lt__ of a concrete class (their PeekPair's
/// compare): two instances of that class whose keys can all be read in place and are numbers
/// are compared as ordered_less compares them, where nothing runs and every read again would
/// give the same; anything else calls the method.
PyObject* compare_ordered(PyObject* self, PyObject* other, int op, glue::Context* c) noexcept;

/// The equality rule over `keys`: the first comparison that is false, else the last one.
Ref ordered_equal(PyObject* self, PyObject* other, OrderKeys keys);

/// The keys of a concrete interval's dict form: the base class's 11, then two attributes of its own.
using ConcreteDictShape = glue::DictShape<13>;
extern const ConcreteDictShape continuous_dict_shape;
extern const ConcreteDictShape discrete_dict_shape;

/// to_dict() of a concrete interval: the base class's entries, then each of its own attributes
/// (the last keys of `shape`), read at its turn and passed through get_python_types.
Ref to_dict_with(const Args& a, const ConcreteDictShape& shape);

/// Restores onto a new interval what the dict read through `stored` holds: the id, the baseline then production
/// measurement, each of `own` attributes, then (once the change is computed and cached) whether
/// insights are available. A missing key raises KeyError. `id_given`: its __init__ gave it the
/// dict's id, and nothing has run since (construct_restored), so storing it again would store
/// the very object over itself.
void restore_stored(PyObject* interval, glue::KeyReads& stored, std::initializer_list<const Name*> own, bool id_given);

/// Runs `restore`; a KeyError inside it is handled as `except KeyError as e: raise
/// ValueError(message_for(e)) from e` handles it (the message made while e is being handled).
template <class Restore, class Message>
Ref restoring(Restore restore, Message message_for) {
    try {
        return restore();
    } catch (const glue::python_error&) {
        if (!glue::pending_is(PyExc_KeyError)) throw;
    }
    Ref error = glue::fetch_error();
    glue::Handling handling(error);
    Ref message = message_for(error.get());
    glue::raise_new(PyExc_ValueError, message, error);
}

/// Refuses `value` for `argument` as typed arguments are refused: its type is not `expected`.
[[noreturn]] void wrong_argument_type(PyObject* value, PyTypeObject* expected, const char* argument);
/// Refuses an argument whose type is not exactly `expected`.
inline void require_exact(PyObject* value, PyTypeObject* expected, const char* argument) {
    if (Py_TYPE(value) != expected) wrong_argument_type(value, expected, argument);
}

/// format(value, ""), as an f-string's replacement field formats it.
inline Ref formatted(PyObject* value) { return glue::check(PyObject_Format(value, nullptr)); }

/// `DataSetType.<member>`, with DataSetType looked up afresh.
Ref data_set(const Args& a, const glue::Lookup& member);

#if PLENX_FAST_LAYER
/// DataSetType's two members as last found through one module's globals, and what the three
/// lookups rest on, taken together: the globals, DataSetType and its metaclass as they were,
/// and the dicts that hold the members. While each is unchanged, each lookup finds the same.
struct MembersMemo {
    PyObject* globals = nullptr;  // compared by identity only
    uint64_t globals_version = 0;
    PyObject* type = nullptr;  // held by `globals` while its version holds
    unsigned int tag = 0;      // 0: nothing remembered
    unsigned int meta_tag = 0;
    PyObject* holders[2] = {};
    uint64_t holder_versions[2] = {};
    PyObject* members[2] = {};  // held by their holders while their versions hold
};
inline glue::PerContext<MembersMemo> members_memo;

/// peek_members past its memory: each lookup as last made, where that holds, then remembered together.
bool remember_members(PyObject* globals, PyObject** baseline, PyObject** production) noexcept;

/// DataSetType.BASELINE and DataSetType.PRODUCTION as functions with `globals` would look them
/// up, where both lookups would find what they found last (borrowed); false where they must be made.
inline bool peek_members(PyObject* globals, PyObject** baseline, PyObject** production) noexcept {
    const MembersMemo& m = members_memo.get();
    if (globals != m.globals || m.tag == 0 || glue::dict_version(globals) != m.globals_version ||
        glue::version_tag(reinterpret_cast<PyTypeObject*>(m.type)) != m.tag || glue::version_tag(Py_TYPE(m.type)) != m.meta_tag ||
        glue::dict_version(m.holders[0]) != m.holder_versions[0] || glue::dict_version(m.holders[1]) != m.holder_versions[1])
        return remember_members(globals, baseline, production);
    *baseline = m.members[0];
    *production = m.members[1];
    return true;
}
#endif

/// The first entry of `values` whose `type` equals `member`, or null when there is none.
Ref find_value(PyObject* values, PyObject* member);

/// self.get_baseline_value() and self.get_production_value() where both are our own and would
/// find their measurement in place (as fast::peek_method finds each): one walk finds both, and
/// their two calls, one after the other, count against the recursion limit as one does. False
/// where either call must be made.
bool measurements_in_place(PyObject* self, Ref* baseline, Ref* production) noexcept;

/// The id of a new interval: the text of a fresh random UUID from the module's `uuid4`.
Ref new_id(const Args& a);
/// The same with `uuid4` the module's global, already looked up.
Ref new_id(const Args& a, PyObject* uuid4);

/// What from_dict tells the __init__ chain of the interval it restores (fast::Construction): the
/// dict it restores from, the attributes the class's own __init__ stores after the base's returns,
/// and the class as it stood when from_dict called it.
struct Restoration {
    glue::KeyReads* stored;                 // from_dict's argument, read by key
    std::span<const Name* const> own_tail;  // an array of static storage, maybe empty
    fast::ClassState classes;
    bool* id_given;                         // set where restored_id gave the dict's id
};

/// The id Interval.__init__ gives an interval that from_dict is restoring: where a fresh one would
/// be made here unseen and nothing at all can run before the restore stores the dict's id over it,
/// the dict's id at once (nobody could tell); otherwise new_id(). `stored`: what Interval.__init__
/// stores from the id on (an array of static storage).
Ref restored_id(const Args& a, PyObject* self, const Restoration& restoration, std::span<const Name* const> stored);

/// `cls(args...)` for from_dict restoring from `dict`: where `cls` is the class `a` belongs to, its
/// __init__ `init` is told of the restore (`own_tail` as Restoration has it). `*id_given` says
/// whether the instance got the dict's id (restored_id): nothing has run since it did, as its
/// __init__ chain stores its remaining attributes in empty places and makes nothing that could
/// run code, and what the call lets go the classes still hold.
template <class... A>
Ref construct_restored(const Args& a, PyObject* cls, const glue::FunctionDef& init, glue::KeyReads& stored,
                       std::span<const Name* const> own_tail, bool* id_given, A... args) {
    *id_given = false;
    const bool own_class = cls == a.owner();
    const Restoration restoration{&stored, own_tail, fast::ClassState(cls), id_given};
    const fast::Construction told(cls, init, own_class ? &restoration : nullptr);
    return fast::call_class(cls, args...);
}

/// `np.abs(quotient)` where `np` is the module's global; made directly while it is numpy's own.
Ref absolute(const Args& a, PyObject* np_module, PyObject* abs_function, PyObject* production, PyObject* baseline);

/// What a load in this interpreter found to be the genuine originals, for native work to stand
/// in for (empty where it found none): interval_numbers.cpp and interval_ids.cpp fill it.
struct Originals {
    // numpy's own module, absolute ufunc, float64 type and booleans.
    Ref numpy_module, numpy_absolute, numpy_true, numpy_false;
    Ref float64;
    PyTypeObject* float64_type = nullptr;  // float64 as a type, or null
    // The package's value helpers as shipped, and what their code does to plain values: the types
    // get_python_types returns as they are, the float subclasses it returns as float(value), and
    // the digits round_ rounds floats to.
    glue::FunctionSnapshot get_python_types_seen;
    TypeTable python_types_by_type;
    glue::FunctionSnapshot round_seen;
    int round_digits = 0;
    // The standard uuid4 and the two UUID methods it runs, and the UUID class they live in.
    glue::FunctionSnapshot uuid4_seen, uuid_init_seen, uuid_str_seen;
    Ref uuid_class;
    unsigned int uuid_class_tag = 0;
    uint64_t uuid_class_dict_version = 0;
    // The keyword-only defaults of UUID.__init__ are a dict, changed in place without a new identity.
    uint64_t uuid_init_kwdefaults_version = 0;
#if PLENX_FAST_LAYER
    // What the three snapshots and the keyword-only defaults rested on when last found unchanged.
    mutable glue::SnapshotNote uuid_note;
    // The drift control box's methods as shipped: the manager's get_control_box, the box's getters.
    glue::FunctionSnapshot get_control_box_seen, percent_threshold_seen, count_threshold_seen;
    glue::Ref manager_global;  // what get_control_box's global ControlBoxManager named then (or null)
    glue::InstancePlaces box_places;  // where the box's class has the getters and their attributes
    // The whole way to the thresholds as last found standing for calls nobody could see: the
    // manager class not made, its method, the box it returns, the box's getters. Each part is
    // remembered as those checks found it; `note` holds the snapshots' words and the versions
    // of the dicts the method and the box were found in.
    struct ThresholdsRoute {
        PyObject* manager_class = nullptr;  // compared by identity only
        unsigned int manager_tag = 0;       // 0: no route remembered
        unsigned int box_owner_tag = 0;     // manager_global's, whose MRO holds the box
        PyObject* box = nullptr;            // borrowed: held by its holder while the note holds
        unsigned int box_type_tag = 0;
        PyObject* method = nullptr;         // get_control_box as the manager class finds it
        glue::SnapshotNote note;
    } thresholds_route;
#endif
#if !PLENX_FAST_LAYER
    // What the stable-ABI build reads again at each use, having no versions to compare: the dict
    // of conversions, and the UUID class's own dict (a live view), members and slots.
    Ref conversions;
    Ref uuid_class_dict, uuid_int_member, uuid_is_safe_member;
    void *object_new = nullptr, *object_getattro = nullptr, *uuid_tp_init = nullptr, *uuid_tp_str = nullptr;
#endif
};
inline glue::PerContext<Originals> seen;

namespace detail {

/// The value of a plain float, a numpy.float64 (`float64`, null where numpy is not vouched for)
/// or an int exactly representable as a double. Without `calls`, nothing is called to find it
/// (for the comparison slot's work, fast::compare_in_place): an int of more than one digit is
/// then not read.
template <bool calls = true>
inline bool number(PyObject* o, double* value, bool* numpy, PyTypeObject* float64) noexcept {
    PyTypeObject* type = Py_TYPE(o);
    if (type == float64) {  // never, where float64 is null
        *numpy = true;
        *value = glue::float_value(o);
        return true;
    }
    if (type == &PyFloat_Type) {
        *value = glue::float_value(o);
        return true;
    }
    if (type != &PyLong_Type) return false;
    long v;
    constexpr long exact = 1L << 53;
    if constexpr (calls) {
        if (!fast::small_int(o, &v)) return false;
    } else if (!fast::one_digit_int(o, &v)) {
        return false;
    }
    if (v > exact || v < -exact) return false;
    *value = static_cast<double>(v);
    return true;
}
/// The same, numpy.float64 where this interpreter's load found numpy genuine.
inline bool number(PyObject* o, double* value, bool* numpy) noexcept { return number(o, value, numpy, seen->float64_type); }
}  // namespace detail

/// Whether a kept change percentage of this number is the change itself: -1 marks "not computed
/// yet", which absolute_change_percentage computes and keeps instead (compared as
/// NumberComparison(kept, -1, Py_NE) finds it).
inline bool change_is_kept(double kept) noexcept {
    // -1.0 equals nothing but itself, and has one representation: its bits tell it (in one compare).
    return std::bit_cast<uint64_t>(kept) != std::bit_cast<uint64_t>(-1.0);
}

/// `a <op> b` for the numbers intervals hold: plain floats, numpy.float64s and ints a double
/// holds exactly are compared here (while shortcuts are on, in either build), where nothing of the
/// host's can run; anything else is the interpreter's comparison, made only when its result is
/// asked for.
class NumberComparison {
public:
    NumberComparison(PyObject* a, PyObject* b, int op) noexcept : a_(a), b_(b), op_(op) {
        known_ = glue::basic_shortcuts() && detail::number(a, &x_, &numpy_) && detail::number(b, &y_, &numpy_);
        answer_ = known_ && glue::apply_comparison(x_, y_, op);
    }
    /// Whether the answer was found here (then nothing ran, and answer() is it).
    bool known() const noexcept { return known_; }
    bool answer() const noexcept { return answer_; }
    /// The same operands compared with another operator (read once, so the same numbers).
    NumberComparison again(int op) const noexcept {
        NumberComparison other = *this;
        other.op_ = op;
        other.answer_ = known_ && glue::apply_comparison(x_, y_, op);
        return other;
    }
    /// The comparison's own result object (numpy answers with its own booleans).
    Ref result() const;
    /// result() where the answer is known (borrowed: the interpreter's or numpy's own booleans), else null.
    PyObject* known_result() const noexcept;
    /// `bool(a <op> b)`, without making a result object where the answer is known.
    bool holds() const { return known_ ? answer_ : glue::truthy(result()); }

private:
    PyObject* a_;
    PyObject* b_;
    int op_;
    double x_ = 0, y_ = 0;
    bool known_ = false;
    bool answer_ = false;
    bool numpy_ = false;
};

/// `bool(o <op> k)` for a small int constant `k`, as NumberComparison(o, k, op).holds() finds it,
/// without making the int where `o` is a number read here.
inline bool holds_against(PyObject* o, long k, int op) {
    double x;
    bool numpy = false;
    if (glue::basic_shortcuts() && detail::number(o, &x, &numpy)) return glue::apply_comparison(x, static_cast<double>(k), op);
    return NumberComparison(o, glue::Ref(glue::integer(k)), op).holds();
}

/// Takes note of the originals the module may stand in for, among what it imported: numpy's
/// absolute, the standard uuid4, the package's helpers as shipped. Runs once the load has
/// succeeded, and never raises: what cannot be vouched for is called as it is.
void remember_originals(PyObject* globals) noexcept;
/// The same for numpy, the standard uuid4 and the helpers, each taken in full or not at all.
void remember_numpy(PyObject* np) noexcept;
void remember_standard_uuid4(PyObject* uuid4) noexcept;
void remember_helpers(PyObject* convert, PyObject* round) noexcept;
/// The same for the control box's methods, found from the manager class imported.
void remember_control_box(PyObject* manager_class) noexcept;

/// `ControlBoxManager().get_control_box()` with `manager_class` the module's global. Where the
/// method is the shipped one, unchanged, and nothing would see it called, its answer is read here,
/// and a manager nobody could see made is not made.
Ref control_box(const Args& a, PyObject* manager_class);
/// `box.get_interval_percent_threshold_for_insights()` and then the count's getter, done here
/// where both are the shipped getters, unchanged and unseen, and the attributes they return are
/// plain ones; false where the calls must be made.
bool shipped_thresholds(const Args& a, PyObject* box, Ref* percent, Ref* count) noexcept;
/// Both thresholds as control_box and shipped_thresholds would find them without a call, where
/// every check they made last still holds (one check of the words they rest on): false where
/// they must be asked.
bool thresholds_as_last_found(const Args& a, PyObject* manager_class, Ref* percent, Ref* count) noexcept;

namespace trust {
/// The entry `name` of a dict or of an exact module's dict, found without running code
/// (borrowed; null when absent or when finding it could run code).
glue::Ref entry(PyObject* dict, const char* name) noexcept;
glue::Ref module_entry(PyObject* module, const char* name) noexcept;
/// Whether `value` is a static type (one host code cannot make) of that tp_name.
bool static_type_named(PyObject* value, const char* tp_name) noexcept;
/// Whether `value` is the builtin of that name: the interpreter's own type or function.
bool genuine_builtin(PyObject* value, const char* name);
/// Whether `value` is one of numpy's own ufuncs, of that name.
bool genuine_ufunc(PyObject* value, const char* name);
/// Whether `function` is a Python function whose code is that of `qualname` in `source`.
bool same_code_as(PyObject* function, const char* source, const char* qualname);
/// A global the caller has checked itself: the function must find `value` under `name`
/// (null: any value, on a path the native work never takes).
struct Checked {
    const char* name;
    PyObject* value;
};
/// Whether every name `function` reads from its globals or builtins is the genuine builtin of
/// that name (an alias ending in `_` too), or one of `checked`.
bool reads_genuine_names(PyObject* function, std::initializer_list<Checked> checked);
/// Runs `check`; an error in it means "not vouched for" and is cleared.
template <class F>
bool vouch(F check) noexcept {
    const bool vouched = glue::guarded([&] { return check(); }, false);
    PyErr_Clear();
    return vouched;
}
}  // namespace trust

}  // namespace interval
