// continuous_interval.cpp: the continuous statistics interval, one value range of a numeric feature.
//
// Ordered by change percentage, then lower bound, then upper bound.
#include "interval.hpp"

namespace interval {

using namespace glue;

namespace {

/// ContinuousStatisticsInterval(lower_bound, upper_bound)
constexpr Param init_params[] = {{"self"}, {"lower_bound", "Union[int, float]"}, {"upper_bound", "Union[int, float]"}};
Ref init(const Args& a) {
    PyObject *self = a[0], *lower_bound = a[1], *upper_bound = a[2];
    const void* restoration = fast::handed_over(self, continuous_init);
    fast::setattr(self, names::lower_bound, rounded(a, lower_bound));
    fast::setattr(self, names::upper_bound, rounded(a, upper_bound));
    fast::SuperMethod base_init(a.owner(), self, names::init);
    // The field's text is made, and the bounds it was made of let go, before the call (as an
    // f-string argument is).
    Ref field = [&] {
        RangeText text(Ref(fast::getattr(self, names::lower_bound)));
        return text.with(Ref(fast::getattr(self, names::upper_bound)));
    }();
    const fast::HandOver over(self, interval_init, restoration && base_init.runs_directly(interval_init, 1) ? restoration : nullptr);
    base_init(field.get());
    return none();
}

/// self < other: by change percentage, then lower bound, then upper bound.
/// What the intervals are ordered by, first to last.
const Name* const order_keys[] = {&names::absolute_change_percentage, &names::lower_bound, &names::upper_bound};

const PeekPair lt_in_place{order_keys, compare_ordered};

Ref less(const Args& a) {
    return ordered_less(a[0], a[1], order_keys);
}

/// self == other: change percentage, lower bound and upper bound all equal.
Ref equal(const Args& a) {
    return ordered_equal(a[0], a[1], order_keys);
}

/// to_dict(): the base entries, then both bounds.
Ref to_dict(const Args& a) { return to_dict_with(a, continuous_dict_shape); }

/// from_dict(dict_): a new interval from the stored bounds, id and measurements.
Ref from_dict(const Args& a) {
    PyObject* dict_ = a[1];
    require_exact(dict_, &PyDict_Type, "dict_");
    KeyReads stored(dict_);
    stored.prefetch();
    return restoring(
        [&] {
            Ref lower = stored[names::lower_bound];
            Ref upper = stored[names::upper_bound];
            Ref cls = a.global(names::ContinuousStatisticsInterval);
            bool id_given;
            Ref interval = construct_restored(a, cls, continuous_init, stored, {}, &id_given, lower.get(), upper.get());
            restore_stored(interval, stored, {}, id_given);
            return interval;
        },
        [&](PyObject* error) {
            Ref key = formatted(error);
            Ref dict_text = formatted(dict_);
            return check(PyUnicode_FromFormat("Missing key %U in dict %U", key.get(), dict_text.get()));
        });
}

}  // namespace

const FunctionDef continuous_init{"__init__", init_params, "None", init, nullptr,
    "Start an empty interval for the values from `lower_bound` to `upper_bound`.\n"
    "\n"
    "Each bound is rounded to 2 decimals; `field` is the text \"lower-upper\" of the rounded bounds."};
const FunctionDef continuous_lt{"__lt__", compare_params, "bool", less, nullptr,
    "Return whether this interval sorts before `other`: by absolute_change_percentage, then\n"
    "lower_bound, then upper_bound.", &lt_in_place};
const FunctionDef continuous_eq{"__eq__", compare_params, "bool", equal, nullptr,
    "Return whether absolute_change_percentage, lower_bound and upper_bound are all equal (counts,\n"
    "id and field are not compared)."};
const FunctionDef continuous_to_dict{"to_dict", self_only, "dict", to_dict, nullptr,
    "Return the interval as a new plain dict: the base entries, then lower_bound and upper_bound."};
const FunctionDef continuous_from_dict{"from_dict", from_dict_params, "'ContinuousStatisticsInterval'", from_dict, nullptr,
    "Return a new interval restored from a dict that to_dict made.\n"
    "\n"
    "The id, bounds, measurements and insights_available are restored; the change is computed\n"
    "again from the measurements. ValueError when a key is missing."};

}  // namespace interval
