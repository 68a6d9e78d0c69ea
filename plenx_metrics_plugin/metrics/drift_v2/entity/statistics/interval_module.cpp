// interval_module.cpp: the interval module: its imports at load and its four classes.
//
// Imports land in the module's globals, in the order the module states them, before any class.
#include <plenx_glue/module.hpp>

#include "interval.hpp"

namespace interval {

using namespace glue;

namespace {

constexpr Member interval_value_members[] = {
    {Member::method, &interval_value_init},
    {Member::method, &interval_value_repr},
};

constexpr Member interval_members[] = {
    {Member::method, &interval_init},
    {Member::property, &absolute_change_percentage},
    {Member::property, &is_change_significant},
    {Member::property, &eligible_for_insights},
    {Member::method, &calculate_absolute_change_percentage},
    {Member::method, &add_baseline_value},
    {Member::method, &add_production_value},
    {Member::method, &get_baseline_value},
    {Member::method, &get_production_value},
    {Member::method, &has_increased_in_production},
    {Member::method, &interval_lt},
    {Member::method, &interval_eq},
    {Member::method, &interval_to_dict},
    {Member::class_method, &interval_from_dict},
    {Member::method, &interval_repr_def},
};

constexpr Member continuous_members[] = {
    {Member::method, &continuous_init},
    {Member::method, &continuous_lt},
    {Member::method, &continuous_eq},
    {Member::method, &continuous_to_dict},
    {Member::class_method, &continuous_from_dict},
};

constexpr Member discrete_members[] = {
    {Member::method, &discrete_init},
    {Member::property, &discrete_is_change_significant},
    {Member::method, &discrete_lt},
    {Member::method, &discrete_eq},
    {Member::method, &discrete_to_dict},
    {Member::class_method, &discrete_from_dict},
};

constexpr const char* interval_value_doc =
    "One measurement of a bin in one data set.\n"
    "\n"
    "`type` is the data set (DataSetType.BASELINE or PRODUCTION), `absolute_count` the number of its\n"
    "records in the bin and `percentage` their share of the data set, 0 to 100.";

constexpr const char* interval_doc =
    "One bin of a feature, measured in the baseline and in the production data set.\n"
    "\n"
    "The base of ContinuousStatisticsInterval (a value range) and DiscreteStatisticsInterval (a\n"
    "category), which define how intervals compare and are restored; its `<`, `==` and from_dict\n"
    "raise NotImplementedError.";

constexpr const char* continuous_doc =
    "The interval of a numeric feature: the values from lower_bound to upper_bound.\n"
    "\n"
    "Intervals sort by absolute_change_percentage, then lower_bound, then upper_bound.";

constexpr const char* discrete_doc =
    "The interval of a categorical feature: the one category `field`.\n"
    "\n"
    "You set statistical_buffer and contribution_to_distance (both -1 at first). Intervals sort by\n"
    "absolute_change_percentage, then contribution_to_distance.";

void load(PyObject* globals) {
    import_names(globals, "functools", {&names::total_ordering});
    import_names(globals, "typing", {&names::Union});
    import_names(globals, "uuid", {&names::uuid4});
    define_global(globals, names::np, import_module(globals, "numpy"));
    import_names(globals, "plenx_metrics_plugin.common.utils.python_utils", {&names::get_python_types, &names::round_});
    import_names(globals, "plenx_metrics_plugin.metrics.drift_v2.utils.constants", {&names::INFINITY_, &names::DataSetType});
    import_names(globals, "plenx_metrics_plugin.metrics.drift_v2.utils.control_box", {&names::ControlBoxManager});

    Ref no_bases = check(PyTuple_New(0));
    define_global(globals, names::IntervalValue,
           make_class(globals, "IntervalValue", no_bases, interval_value_members, interval_value_doc));
    Ref interval = make_class(globals, "Interval", no_bases, interval_members, interval_doc);
    interval = call(global(globals, names::total_ordering), interval.get());
    define_global(globals, names::Interval, interval);
    Ref interval_base = check(PyTuple_Pack(1, interval.get()));
    define_global(globals, names::ContinuousStatisticsInterval,
           make_class(globals, "ContinuousStatisticsInterval", interval_base, continuous_members,
                      continuous_doc));
    define_global(globals, names::DiscreteStatisticsInterval,
           make_class(globals, "DiscreteStatisticsInterval", interval_base, discrete_members, discrete_doc));
    // Only a load that succeeded leaves anything behind.
    remember_originals(globals);
}

}  // namespace

}  // namespace interval

PyMODINIT_FUNC PyInit_interval() {
    return glue::init_module<interval::load>(
        "interval",
        "Statistics intervals of drift monitoring: one bin of a feature's distribution, measured in\n"
        "the baseline and in the production data set.");
}
