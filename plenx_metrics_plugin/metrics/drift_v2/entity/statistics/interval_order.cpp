// interval_order.cpp: interval ordering and dictionary form.
//
// The base class leaves ordering and restoring to its subclasses; it owns the 11 shared entries.
#include "interval.hpp"

#include <array>

namespace interval {

using namespace glue;

namespace {

Ref not_implemented_error(const Args&) {
    PyErr_SetNone(PyExc_NotImplementedError);
    raise();
}

/// The keys of to_dict's 11 base entries, in order.
constexpr std::array<const Name*, 11> base_keys{
    &names::id, &names::field, &names::absolute_change_percentage, &names::eligible_for_insights,
    &names::insights_available, &names::is_change_significant, &names::increased_in_production,
    &names::baseline_absolute_count, &names::baseline_percentage, &names::production_absolute_count,
    &names::production_percentage};
const DictShape<11> shape(base_keys);

/// The base keys, then a concrete class's own two.
constexpr std::array<const Name*, 13> concrete_keys(const Name* first, const Name* second) {
    std::array<const Name*, 13> keys{};
    for (size_t i = 0; i < base_keys.size(); i++) keys[i] = base_keys[i];
    keys[11] = first;
    keys[12] = second;
    return keys;
}

/// What a concrete class's to_dict hands its base's, run directly: the dict of the final shape,
/// for the base entries to go into, and the conversions of both.
struct Extension {
    ConcreteDictShape::Fill* dict;
    PythonTypes* convert;
    bool filled = false;
};

/// The attributes and properties to_dict's entries read of the interval, and of a measurement.
constexpr std::array<const Name*, 6> attribute_names{
    &names::id, &names::field, &names::absolute_change_percentage, &names::eligible_for_insights,
    &names::insights_available, &names::is_change_significant};
constexpr std::array<const Name*, 2> measurement_names{&names::absolute_count, &names::percentage};

/// Where the classes read last keep them, per interpreter.
struct EntryPlaces {
    fast::Places<attribute_names.size()> interval;
    fast::Places<measurement_names.size()> measurement;
};
glue::PerContext<EntryPlaces> entry_places;

#if PLENX_FAST_LAYER
/// self.has_increased_in_production() where that is our own method and its answer is found
/// without running anything, borrowed (else null, and the call must be made): its two
/// measurements in place (each counted as its call, one frame deeper), their shares numbers
/// compared here. `baseline` and `production` then receive the measurements found.
PyObject* peek_increased(PyObject* self, EntryPlaces& places, PyObject** baseline, PyObject** production) noexcept {
    PyObject* function = glue::own_method(self, names::has_increased_in_production);
    if (function == nullptr || definition_of(function) != &has_increased_in_production || globals_of(function) == nullptr)
        return nullptr;
    // The call it stands for counts against the recursion limit: past it, the call is made (and raises).
    PyThreadState* thread = enter_frame();
    if (thread == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    // Both in one walk where it finds them; they are borrowed below (the interval's list holds
    // them while nothing runs).
    PyObject *base, *production_value;
    if (Ref found_baseline, found_production; measurements_in_place(self, &found_baseline, &found_production)) {
        base = found_baseline.get();
        production_value = found_production.get();
    } else {
        base = fast::peek_method(self, names::get_baseline_value);
        production_value = base ? fast::peek_method(self, names::get_production_value) : nullptr;
    }
    PyObject* production_share = production_value ? places.measurement.peek(production_value, 1, measurement_names) : nullptr;
    PyObject* baseline_share = production_share ? places.measurement.peek(base, 1, measurement_names) : nullptr;
    leave_frame(thread);
    if (baseline_share == nullptr) return nullptr;
    PyObject* answer = NumberComparison(production_share, baseline_share, Py_GT).known_result();
    if (answer != nullptr) {
        *baseline = base;
        *production = production_value;
    }
    return answer;
}
#else
PyObject* peek_increased(PyObject*, EntryPlaces&, PyObject**, PyObject**) noexcept { return nullptr; }
#endif

/// The 11 base entries, each value passed through get_python_types, into `dict`.
template <class Fill>
void base_entries(PyObject* self, PythonTypes& convert, Fill& dict) {
    // Sorted intervals lie in no order memory favours: start fetching what the entries read.
    fast::prefetch_attributes(self);
    if (PyObject** slot = fast::instance_slot(self, names::values); slot && *slot && PyList_CheckExact(*slot)) {
        PyObject* list = *slot;
        for (Py_ssize_t i = 0; i < list_size(list) && i < 2; i++) fast::prefetch_attributes(list_item(list, i));
    }
    // An attribute or property that can be read without running anything may be taken at once.
    EntryPlaces& places = entry_places.get();
    auto attribute = [&](size_t i) {
        fill_entry(convert, dict, [&] { return places.interval.peek(self, i, attribute_names); },
                   [&] { return read(self, *attribute_names[i]); });
    };
    // The measurements last found in place (borrowed: the interval's list holds them while
    // nothing runs). Where nothing ran since, finding one again would give it (at the same depth
    // or shallower, so its frame would be allowed again too).
    PyObject* kept_baseline = nullptr;
    PyObject* kept_production = nullptr;
    for (size_t i = 0; i < attribute_names.size(); i++) attribute(i);
    fill_entry(
        convert, dict, [&] { return peek_increased(self, places, &kept_baseline, &kept_production); },
        [&] { return fast::call_method(self, names::has_increased_in_production); });
    // Each measurement entry looks its value up afresh; found in place, it runs nothing.
    auto measured = [&](const Name& method, PyObject*& kept, size_t i) {
        const Name& name = *measurement_names[i];
        if (!convert.quiet()) kept_baseline = kept_production = nullptr;  // code may have run since
        fill_entry(
            convert, dict,
            [&]() -> PyObject* {
                PyObject* value = kept ? kept : fast::peek_method(self, method);
                kept = nullptr;  // a second try follows a lookup that may have run code
                if (value == nullptr) return nullptr;
                PyObject* found = places.measurement.peek(value, i, measurement_names);
                if (found != nullptr) kept = value;
                return found;
            },
            [&] { return fast::getattr(measurement(self, method), name); });
    };
    measured(names::get_baseline_value, kept_baseline, 0);
    measured(names::get_baseline_value, kept_baseline, 1);
    measured(names::get_production_value, kept_production, 0);
    measured(names::get_production_value, kept_production, 1);
}

/// to_dict(): the 11 base entries, each value passed through get_python_types.
Ref to_dict(const Args& a) {
    PyObject* self = a[0];
    if (auto* extension = static_cast<Extension*>(const_cast<void*>(fast::handed_over(self, interval_to_dict)))) {
        // A concrete class's to_dict called this directly: the entries go into its dict.
        extension->convert->continue_in(a);
        base_entries(self, *extension->convert, *extension->dict);
        extension->filled = true;
        return none();
    }
    decltype(shape)::Fill dict(shape);
    PythonTypes convert(a);
    base_entries(self, convert, dict);
    return dict.finish();
}

/// Interval.from_dict(dict_): only a plain dict is accepted, and the base class restores nothing.
Ref from_dict(const Args& a) {
    PyObject* dict_ = a[1];
    require_exact(dict_, &PyDict_Type, "dict_");
    return not_implemented_error(a);
}

/// `self.<key> <op> other.<key>`, both read now; null when `other` has no such attribute.
Ref compare_key(PyObject* self, PyObject* other, const Name& key, int op) {
    Ref mine = read(self, key);
    Ref theirs = other_attribute(other, key);
    if (!theirs) return Ref();
    return NumberComparison(mine, theirs, op).result();
}

}  // namespace

namespace {

/// ordered_less's answer from the keys `keys` reads (an ordering rule has at least one), where
/// each is read in place and is a number (borrowed); else null. Only while shortcuts are on.
/// `in_slot`: for the comparison slot's work, which calls nothing (fast::compare_in_place): it
/// leaves the rarer keys to the method (a getter other than the change percentage's, an int of
/// more than one digit).
template <bool in_slot>
inline PyObject* less_from(const fast::KeyReader& keys) noexcept {
    const size_t count = keys.size();
    const Originals& o = seen.get();
    // As NumberComparison finds `mine == theirs`, then `mine < theirs` of the deciding key.
    for (size_t i = 0;; i++) {
        PyObject *mine, *theirs;
        const FunctionDef* getter;
        if (!keys.read(i, &mine, &theirs, &getter)) return nullptr;
        // The change percentage's getter answers the kept number itself (tested below, on the
        // number read anyway); any other getter answers what its peek makes of the kept value.
        const bool change = getter == &absolute_change_percentage;
        if (getter != nullptr && !change) {
            if (in_slot) return nullptr;
            if ((mine = getter->peek_value(mine)) == nullptr || (theirs = getter->peek_value(theirs)) == nullptr)
                return nullptr;
        }
        double x, y;
        bool numpy = false;
        if (!detail::number<!in_slot>(mine, &x, &numpy, o.float64_type) ||
            !detail::number<!in_slot>(theirs, &y, &numpy, o.float64_type))
            return nullptr;
        if (change && !(change_is_kept(x) && change_is_kept(y))) return nullptr;
        if (x == y && i + 1 != count) continue;
        const bool less = x < y;
        if (!numpy) return less ? Py_True : Py_False;
        return less ? o.numpy_true.get() : o.numpy_false.get();
    }
}

}  // namespace

PyObject* compare_ordered(PyObject* self, PyObject* other, int op, Context* c) noexcept {
    return fast::compare_in_place<less_from<true>>(self, other, op, c);
}

Ref ordered_less(PyObject* self, PyObject* other, OrderKeys keys) {
    if (basic_shortcuts())
        if (PyObject* known = less_from<false>(fast::KeyReader(self, other, keys))) return own(known);
    const Name* last = *(keys.end() - 1);
    for (const Name* key : keys) {
        if (key == last) break;
        Ref mine = read(self, *key);
        Ref theirs = other_attribute(other, *key);
        if (!theirs) return not_implemented();
        if (!NumberComparison(mine, theirs, Py_EQ).holds()) {
            last = key;  // decided here: read this key again and compare with <
            break;
        }
    }
    Ref result = compare_key(self, other, *last, Py_LT);
    return result ? result : not_implemented();
}

Ref ordered_equal(PyObject* self, PyObject* other, OrderKeys keys) {
    const Name* last = *(keys.end() - 1);
    for (const Name* key : keys) {
        Ref result = compare_key(self, other, *key, Py_EQ);
        if (!result) return not_implemented();
        // `a and b and c`: each result but the last is truth-tested; the last is returned as it is.
        if (key == last || !truthy(result)) return result;
    }
    return not_implemented();  // no keys
}

const ConcreteDictShape continuous_dict_shape(concrete_keys(&names::lower_bound, &names::upper_bound));
const ConcreteDictShape discrete_dict_shape(concrete_keys(&names::contribution_to_distance, &names::statistical_buffer));

Ref to_dict_with(const Args& a, const ConcreteDictShape& shape) {
    PyObject* self = a[0];
    fast::SuperMethod base(a.owner(), self, names::to_dict);
    if (base.runs_directly(interval_to_dict, 0)) {
        // Our base to_dict, run directly, puts its entries straight into the dict of the final
        // shape (laid out as the one grown key by key), as the call counts its frame as ever;
        // its conversions go on here, where nothing ran since its last entry.
        ConcreteDictShape::Fill dict(shape);
        PythonTypes convert(a);
        Extension extension{&dict, &convert};
        {
            const fast::HandOver over(self, interval_to_dict, &extension);
            base();
        }
        if (!extension.filled) raise(PyExc_SystemError, "to_dict was not handed its dict");
        convert.continue_in(a);
        for (size_t i = base_keys.size(); i < std::tuple_size_v<decltype(concrete_keys(nullptr, nullptr))>; i++) {
            const Name& name = shape.key(i);
            fill_entry(convert, dict, [&] {
                PyObject** slot = fast::instance_slot(self, name);
                return slot ? *slot : nullptr;
            }, [&] { return fast::getattr(self, name); });
        }
        return dict.finish();
    }
    Ref dict = base();
    for (size_t i = base_keys.size(); i < std::tuple_size_v<decltype(concrete_keys(nullptr, nullptr))>; i++) {
        const Name& name = shape.key(i);
        Ref convert = a.global(names::get_python_types);
        glue::set_item(dict, name, python_types(a, convert, fast::getattr(self, name)));
    }
    return dict;
}

/// The keywords that add_baseline_value and add_production_value are called with.
glue::PerContext<Ref> value_keywords;

void restore_stored(PyObject* interval, KeyReads& stored, std::initializer_list<const Name*> own, bool id_given) {
    // The id first: __init__ may have given it already, on the promise that nothing runs before this.
    if (!id_given) fast::setattr(interval, names::id, stored[names::id]);
    Ref& keywords = value_keywords.get();
    if (!keywords) keywords = name_tuple({&names::absolute_count, &names::percentage});
    Ref baseline_count = stored[names::baseline_absolute_count];
    Ref baseline_share = stored[names::baseline_percentage];
    fast::call_method_kw(interval, names::add_baseline_value, keywords, baseline_count.get(), baseline_share.get());
    Ref production_count = stored[names::production_absolute_count];
    Ref production_share = stored[names::production_percentage];
    fast::call_method_kw(interval, names::add_production_value, keywords, production_count.get(), production_share.get());
    for (const Name* name : own) fast::setattr(interval, *name, stored[*name]);
    read(interval, names::absolute_change_percentage);  // computes and caches it
    fast::setattr(interval, names::insights_available, stored[names::insights_available]);
}

const FunctionDef interval_lt{"__lt__", compare_params, "bool", not_implemented_error, nullptr,
    "Not defined for the base class (NotImplementedError); the concrete intervals define it."};
const FunctionDef interval_eq{"__eq__", compare_params, "bool", not_implemented_error, nullptr,
    "Not defined for the base class (NotImplementedError); the concrete intervals define it."};
const FunctionDef interval_to_dict{"to_dict", self_only, "dict", to_dict, nullptr,
    "Return the interval as a new plain dict, for storage.\n"
    "\n"
    "Its entries: id, field, absolute_change_percentage, eligible_for_insights, insights_available,\n"
    "is_change_significant, increased_in_production, and the baseline and production counts and\n"
    "percentages."};
const FunctionDef interval_from_dict{"from_dict", from_dict_params, "'Interval'", from_dict, nullptr,
    "Not defined for the base class (NotImplementedError): use the concrete class's from_dict."};

}  // namespace interval
