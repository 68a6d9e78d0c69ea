// interval_change.cpp: interval change measures.
//
// The change percentage and the eligibility are computed on first read and cached on the instance.
#include <plenx_glue/module.hpp>

#include "interval.hpp"

namespace interval {

using namespace glue;

namespace {

/// `o == 0`, by the host's truth rule.
bool equals_zero(PyObject* o) { return holds_against(o, 0, Py_EQ); }
/// `o != 0`, by the host's truth rule.
bool differs_from_zero(PyObject* o) { return holds_against(o, 0, Py_NE); }

/// INFINITY when the production side is non-zero, else the integer 0.
Ref infinity_unless_zero(const Args& a, PyObject* production_side) {
    if (differs_from_zero(production_side)) return a.global(names::INFINITY_);
    return integer(0);
}

/// Both measurements of `values` found in one walk where the two lookups and searches would run
/// nothing: `values` an exact list, DataSetType and both members as last looked up, compared by
/// identity (object's own equality), as each entry's `type`, read in place, up to the last one
/// either search reaches. False where any step would be another: then they are looked up in turn.
/// `globals`: those of the function that looks them up.
bool found_in_place(PyObject* globals, PyObject* values, Ref* baseline, Ref* production) noexcept {
#if PLENX_FAST_LAYER
    if (!PyList_CheckExact(values) || !shortcuts()) return false;
    PyObject *wanted_baseline, *wanted_production;
    if (!peek_members(globals, &wanted_baseline, &wanted_production)) return false;
    const richcmpfunc identity = PyBaseObject_Type.tp_richcompare;
    if (Py_TYPE(wanted_baseline)->tp_richcompare != identity || Py_TYPE(wanted_production)->tp_richcompare != identity)
        return false;
    PyObject *found_baseline = nullptr, *found_production = nullptr;
    fast::SlotReader type_of(names::type);
    for (Py_ssize_t i = 0; i < list_size(values) && !(found_baseline && found_production); i++) {
        PyObject* value = list_item(values, i);
        PyObject** slot = type_of(value);
        PyObject* type = slot ? *slot : nullptr;
        if (type == nullptr || Py_TYPE(type)->tp_richcompare != identity) return false;
        // Each search stops at its first match (the members may be one object).
        if (type == wanted_baseline && !found_baseline) found_baseline = value;
        if (type == wanted_production && !found_production) found_production = value;
    }
    *baseline = found_baseline ? own(found_baseline) : Ref();
    *production = found_production ? own(found_production) : Ref();
    return true;
#else
    (void)globals, (void)values, (void)baseline, (void)production;
    return false;
#endif
}

/// _calculate_absolute_change_percentage(): the change relative to the baseline share, uncached.
Ref calculate(const Args& a) {
    Ref values = fast::getattr(a[0], names::values);
    if (length(values) != 2) return integer(-1);
    // Both are looked for before either is missed.
    Ref baseline, production;
    if (!found_in_place(globals_of(a.function()), values, &baseline, &production)) {
        Ref baseline_type = data_set(a, names::BASELINE);
        baseline = find_value(values, baseline_type);
        Ref production_type = data_set(a, names::PRODUCTION);
        production = find_value(values, production_type);
    }
    if (!baseline || !production) return integer(-1);

    // A zero count on the baseline side wins over the percentages.
    Ref baseline_count = fast::getattr(baseline, names::absolute_count);
    if (equals_zero(baseline_count)) return infinity_unless_zero(a, fast::getattr(production, names::absolute_count));
    Ref baseline_share = fast::getattr(baseline, names::percentage);
    if (equals_zero(baseline_share)) return infinity_unless_zero(a, fast::getattr(production, names::percentage));

    Ref np = a.global(names::np);
    Ref abs = names::abs.attribute(np);
    Ref production_share = fast::getattr(production, names::percentage);
    return absolute(a, np, abs, production_share, baseline_share);
}

/// absolute_change_percentage: the cached value; -1 is the marker of "not computed yet".
Ref cached_change(const Args& a) {
    PyObject* self = a[0];
    Ref cached = fast::getattr(self, names::absolute_change_percentage_cache);
    if (holds_against(cached, -1, Py_NE)) return cached;
    Ref computed = fast::call_method(self, names::calculate_absolute_change_percentage);
    fast::setattr(self, names::absolute_change_percentage_cache, computed);
    return fast::getattr(self, names::absolute_change_percentage_cache);
}

/// The cached change percentage when reading the property would just return it: a number,
/// compared with the -1 marker without running anything.
PyObject* peek_cached_change(PyObject* cached) noexcept {
    // As NumberComparison(cached, -1, Py_NE) finds it.
    double value;
    bool numpy = false;
    if (!glue::shortcuts() || !detail::number(cached, &value, &numpy)) return nullptr;
    return change_is_kept(value) ? cached : nullptr;
}

/// The same, read from the instance.
PyObject* peek_change(PyObject* self) noexcept {
    PyObject** slot = fast::instance_slot(self, names::absolute_change_percentage_cache);
    return slot && *slot ? peek_cached_change(*slot) : nullptr;
}

/// is_change_significant: every change of a plain Interval is significant.
Ref always_significant(const Args&) { return boolean(true); }
PyObject* peek_always_significant(PyObject*) noexcept { return Py_True; }

/// Both thresholds reached by one measurement; the count is tested only when the share passes.
Ref reaches_thresholds(PyObject* value, PyObject* percent_threshold, PyObject* count_threshold) {
    Ref share = fast::getattr(value, names::percentage);
    Ref condition = NumberComparison(share, percent_threshold, Py_GE).result();
    if (!truthy(condition)) return condition;
    Ref count = fast::getattr(value, names::absolute_count);
    return NumberComparison(count, count_threshold, Py_GE).result();
}

/// A number as NumberComparison reads it (known: one it compares here).
struct Operand {
    double value = 0;
    bool numpy = false;
    bool known = false;
    Operand(PyObject* o, PyTypeObject* float64) noexcept : known(detail::number(o, &value, &numpy, float64)) {}
};

/// The share and the count of the measurements, read one measurement after another.
struct MeasurementReads {
    fast::SlotReader shares{names::percentage};
    fast::SlotReader counts{names::absolute_count};
};

/// reaches_thresholds(value, ...) where it runs nothing: the share and, where the share passes,
/// the count kept in place and compared as numbers. Its answer and whether numpy made it (the
/// result is then numpy's boolean); false where the comparisons must be made.
bool reaches_in_place(PyObject* value, const Operand& percent, const Operand& count, PyTypeObject* float64,
                      MeasurementReads& reads, bool* reached, bool* numpy) noexcept {
    PyObject** share_slot = reads.shares(value);
    if (share_slot == nullptr || *share_slot == nullptr) return false;
    const Operand share(*share_slot, float64);
    if (!share.known) return false;
    if (!glue::apply_comparison(share.value, percent.value, Py_GE)) {
        *reached = false;
        *numpy = share.numpy || percent.numpy;
        return true;
    }
    PyObject** count_slot = reads.counts(value);
    if (count_slot == nullptr || *count_slot == nullptr) return false;
    const Operand counted(*count_slot, float64);
    if (!counted.known) return false;
    *reached = glue::apply_comparison(counted.value, count.value, Py_GE);
    *numpy = counted.numpy || count.numpy;
    return true;
}

/// What cached_eligibility keeps, `baseline and production` of the first two measurements'
/// conditions, where finding both runs nothing (borrowed: the interpreter's or numpy's own
/// booleans); else null, and nothing has run.
PyObject* eligibility_in_place(PyObject* values, PyObject* percent_threshold, PyObject* count_threshold) noexcept {
    if (!glue::basic_shortcuts() || !PyList_CheckExact(values) || list_size(values) < 2) return nullptr;
    const Originals& o = seen.get();
    PyTypeObject* float64 = o.float64_type;
    const Operand percent(percent_threshold, float64), count(count_threshold, float64);
    if (!percent.known || !count.known) return nullptr;
    bool reached[2], numpy[2];
    MeasurementReads reads;
    for (Py_ssize_t i = 0; i < 2; i++)
        if (!reaches_in_place(list_item(values, i), percent, count, float64, reads, &reached[i], &numpy[i])) return nullptr;
    const int kept = reached[0] ? 1 : 0;
    if (!numpy[kept]) return reached[kept] ? Py_True : Py_False;
    return reached[kept] ? o.numpy_true.get() : o.numpy_false.get();
}

/// The kept eligibility, where reading the property would just return it.
PyObject* peek_eligibility(PyObject* self) noexcept {
    PyObject** slot = fast::instance_slot(self, names::eligible_for_insights_cache);
    PyObject* cached = slot ? *slot : nullptr;
    return cached != Py_None ? cached : nullptr;
}

/// eligible_for_insights: the first two measurements, by position, against the control box.
Ref cached_eligibility(const Args& a) {
    PyObject* self = a[0];
    Ref cached = fast::getattr(self, names::eligible_for_insights_cache);
    if (cached.get() != Py_None) return cached;
    Ref manager_class = a.global(names::ControlBoxManager);
    Ref percent_threshold, count_threshold;
    if (!thresholds_as_last_found(a, manager_class, &percent_threshold, &count_threshold)) {
        Ref box = control_box(a, manager_class);
        if (!shipped_thresholds(a, box, &percent_threshold, &count_threshold)) {
            percent_threshold = fast::call_method(box, names::get_interval_percent_threshold_for_insights);
            count_threshold = fast::call_method(box, names::get_interval_count_threshold_for_insights);
        }
    }
    Ref values = fast::getattr(self, names::values);
    if (PyObject* kept = eligibility_in_place(values, percent_threshold, count_threshold)) {
        fast::setattr(self, names::eligible_for_insights_cache, kept);
        return fast::getattr(self, names::eligible_for_insights_cache);
    }
    Ref baseline_condition = reaches_thresholds(item(values, 0), percent_threshold, count_threshold);
    Ref production_condition = reaches_thresholds(item(values, 1), percent_threshold, count_threshold);
    fast::setattr(self, names::eligible_for_insights_cache, truthy(baseline_condition) ? production_condition : baseline_condition);
    return fast::getattr(self, names::eligible_for_insights_cache);
}

}  // namespace

bool measurements_in_place(PyObject* self, Ref* baseline, Ref* production) noexcept {
#if PLENX_FAST_LAYER
    PyObject* get_baseline = glue::own_method(self, names::get_baseline_value);
    PyObject* get_production = get_baseline ? glue::own_method(self, names::get_production_value) : nullptr;
    if (get_production == nullptr || definition_of(get_baseline) != &get_baseline_value ||
        definition_of(get_production) != &get_production_value)
        return false;
    PyObject* globals = globals_of(get_baseline);
    PyObject** slot = fast::instance_slot(self, names::values);
    if (globals == nullptr || globals_of(get_production) != globals || slot == nullptr || *slot == nullptr ||
        !found_in_place(globals, *slot, baseline, production) || !*baseline || !*production)
        return false;
    if (count_frame()) return true;
    PyErr_Clear();  // past the limit the calls are made, and raise
    return false;
#else
    (void)self, (void)baseline, (void)production;
    return false;
#endif
}

namespace {

/// has_increased_in_production(): the production share strictly above the baseline share.
Ref increased(const Args& a) {
    PyObject* self = a[0];
    Ref baseline, production;
    if (!measurements_in_place(self, &baseline, &production)) {
        baseline = measurement(self, names::get_baseline_value);
        production = measurement(self, names::get_production_value);
    }
    Ref production_share = fast::getattr(production, names::percentage);
    Ref baseline_share = fast::getattr(baseline, names::percentage);
    return NumberComparison(production_share, baseline_share, Py_GT).result();
}


}  // namespace

const FunctionDef absolute_change_percentage{"absolute_change_percentage", self_only, "float", cached_change, peek_change,
    "The change of the bin's share, as a ratio of the baseline share.\n"
    "\n"
    "|production percentage - baseline percentage| / baseline percentage: 20.0 to 30.0 gives 0.5,\n"
    "not 50. INFINITY (inf) when the bin is empty in the baseline but not in production, 0 when\n"
    "it is empty in both, -1 while the interval lacks one of its two measurements. Computed on the\n"
    "first read that can compute it, then kept.",
    nullptr, &names::absolute_change_percentage_cache, peek_cached_change};
const FunctionDef is_change_significant{"is_change_significant", self_only, "bool", always_significant, peek_always_significant,
    "Whether the change counts as significant: always True here.\n"
    "\n"
    "DiscreteStatisticsInterval has a rule of its own."};
const FunctionDef eligible_for_insights{"eligible_for_insights", self_only, "bool", cached_eligibility, peek_eligibility,
    "Whether both measurements reach the insight thresholds of the drift control box.\n"
    "\n"
    "Each measurement's percentage and count must be at least the control box's percent and count\n"
    "thresholds. Computed on the first read, then kept."};
const FunctionDef calculate_absolute_change_percentage{"_calculate_absolute_change_percentage", self_only, "float", calculate, nullptr,
    "Return the change as absolute_change_percentage defines it, computed afresh and not kept."};
const FunctionDef has_increased_in_production{"has_increased_in_production", self_only, "bool", increased, nullptr,
    "Return whether the bin's share is larger in production than in the baseline."};

}  // namespace interval
