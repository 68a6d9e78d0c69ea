// provider_module.cpp: the provider module: its imports at load and its one class.
//
// The client package is not imported here, so the module loads where the client is missing.
#include "provider.hpp"

namespace provider {

using namespace glue;

namespace {

constexpr Member provider_members[] = {
    {Member::method, &provider_init},
    {Member::method, &get_model_object},
    {Member::method, &get_paraphrasing_responses},
    {Member::method, &get_model_responses},
    {Member::method, &get_judge_model_responses},
    {Member::method, &get_paraphrasing_model},
    {Member::method, &validate},
};

constexpr Member logger_members[] = {
    {Member::method, &log_warning},
};

void load(PyObject* globals) {
    define_global(globals, names::time, import_module(globals, "time"));
    import_names(globals, "plenx_metrics_plugin.common.utils.python_utils", {&names::get});
    import_names(globals, "plenx_metrics_plugin.metrics.llm.utils.constants", {&names::ParaphrasingModel});

    Ref no_bases = check(PyTuple_New(0));
    define_global(globals, names::PLENXAuvrixAIProvider,
           make_class(globals, "PLENXAuvrixAIProvider", no_bases, provider_members));
    // Nothing attaches a logger to a provider, yet the retry path must be able to warn. The class
    // is a global, as a class statement leaves it, so that pickle finds it by name.
    Ref logger_class = make_class(globals, "_WarningLogger", no_bases, logger_members);
    define_global(globals, names::WarningLogger, logger_class);
    define_global(globals, names::default_logger, call(logger_class));
}

}  // namespace

}  // namespace provider

PyMODINIT_FUNC PyInit_plenx_auvrix_ai_provider() {
    return glue::init_module<provider::load>(
        "plenx_auvrix_ai_provider",
        "The provider of foundation models of the AI platform: model, judge-model and paraphrase\n"
        "responses through the platform's client package.");
}
