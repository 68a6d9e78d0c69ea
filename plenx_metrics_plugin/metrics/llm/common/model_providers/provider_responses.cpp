// provider_responses.cpp: model and judge responses.
//
// Each request is one batch to the client, whose result is handed back untouched.
#include "provider.hpp"

namespace provider {

using namespace glue;

namespace {

/// get_model_responses(prompts): the generation model built at construction.
constexpr Param prompts_params[] = {{"self"}, {"prompts"}};
Ref model_responses(const Args& a) {
    PyObject *self = a[0], *prompts = a[1];
    Ref model = getattr(self, names::model);
    return generate(model, prompts);
}

/// Short answers unless the caller asks otherwise; built afresh so no request sees another's.
Ref default_judge_params(PyObject* param_names) {
    Ref params = check(PyDict_New());
    set_item(params, getattr(param_names, names::MAX_NEW_TOKENS), Ref(integer(60)));
    set_item(params, getattr(param_names, names::MIN_NEW_TOKENS), Ref(integer(1)));
    return params;
}

/// get_judge_model_responses(prompts, judge_model_name, judge_model_params={}): a judge model
/// object for this request alone.
constexpr Param judge_params[] = {
    {"self"},
    {"prompts"},
    {"judge_model_name"},
    {"judge_model_params", nullptr, empty_mapping},
};
Ref judge_responses(const Args& a) {
    PyObject *self = a[0], *prompts = a[1], *judge_model_name = a[2], *judge_model_params = a[3];
    Ref param_names = import_client_name(a, client_metanames, names::GenTextParamsMetaNames);
    // A caller's non-empty mapping goes to the client as is, never merged with the defaults.
    Ref params = truthy(judge_model_params) ? own(judge_model_params) : default_judge_params(param_names);
    Ref keywords = name_tuple({&names::model_name, &names::generate_params});
    Ref judge = call_method_kw(self, names::get_model_object, keywords, judge_model_name, params.get());
    return generate(judge, prompts);
}

}  // namespace

const FunctionDef get_model_responses{"get_model_responses", prompts_params, nullptr, model_responses, nullptr,
    "Return the configured model's generated text for the list `prompts`, as the client returns it."};
const FunctionDef get_judge_model_responses{"get_judge_model_responses", judge_params, nullptr, judge_responses, nullptr,
    "Return the judge model's generated text for the list `prompts`, as the client returns it.\n"
    "\n"
    "The judge is `judge_model_name` (the provider's model_name when None), made for this request\n"
    "with `judge_model_params`; when those are empty or None, at most 60 and at least 1 new tokens."};

}  // namespace provider
